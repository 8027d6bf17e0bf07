// The server's work between batches of requests.
#include "request_loop.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "test_util.h"

namespace {

// Between batches the metrics file is written on its own once it is due,
// and with the statistics whenever they are written: asked for, or due.
TEST(RequestLoop, TheMetricsFileIsWrittenWhenDueAndWithTheStatistics)
{
    Temp_dir dir;
    Log_capture capture;
    Serving serving;
    const std::string file = dir.file("ulvane_server.prom");
    serving.metrics = Metrics_file(file);
    const auto start = Statistics::Clock::now();
    // Whether the step at `at` wrote the file, and how many lines it logged.
    auto step = [&](bool asked, Statistics::Clock::duration at) {
        const std::size_t logged = capture.lines().size();
        std::remove(file.c_str());
        write_statistics(serving, asked, start + at);
        return std::make_pair(!read_file(file).empty(), capture.lines().size() - logged);
    };
    EXPECT_EQ(step(false, Metrics_file::period / 2), std::make_pair(false, std::size_t(0)));
    EXPECT_EQ(step(false, Metrics_file::period), std::make_pair(true, std::size_t(0)));
    EXPECT_EQ(step(true, Metrics_file::period * 3 / 2), std::make_pair(true, std::size_t(2)));
    EXPECT_EQ(step(false, Statistics::period * 2), std::make_pair(true, std::size_t(2)));
}

} // namespace

#include "metrics_file.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "database.h"
#include "log.h"
#include "platform_process.h"
#include "statistics.h"
#include "test_util.h"

namespace {

// The metrics file is written at the start by the caller, then once a
// minute after its last writing; none is ever due without a file.
TEST(MetricsFile, DueAMinuteAfterItsLastWriting)
{
    Temp_dir dir;
    Barcode_db db;
    Statistics statistics(db);
    const Metrics_file::Clock::time_point start = Metrics_file::Clock::now(), later = start + Metrics_file::period;
    Metrics_file metrics(dir.file("ulvane_server.prom"));
    EXPECT_FALSE(metrics.due(start));
    metrics.write(statistics, db, 9000, start, true);
    EXPECT_NE(read_file(dir.file("ulvane_server.prom")).find("\nulvane_received_total{port=\"9000\"} 0\n"), std::string::npos);
    EXPECT_FALSE(metrics.due(later - std::chrono::seconds(1)));
    EXPECT_TRUE(metrics.due(later));
    metrics.write(statistics, db, 9000, later, false);
    EXPECT_NE(read_file(dir.file("ulvane_server.prom")).find("\nulvane_serving{port=\"9000\"} 0\n"), std::string::npos);
    EXPECT_FALSE(metrics.due(later + std::chrono::seconds(1)));
    EXPECT_FALSE(Metrics_file().due(later + 10 * Metrics_file::period));
}

// Regression: -stats= wrote over whatever its path named (a FIFO, a device)
// and followed any link, and a leftover temporary file of the server's own
// process number stopped the writing for good. The file written is only
// ever a regular file, through a link only of root's or our own; what is
// refused is said once.
TEST(MetricsFile, WritesOnlyARegularFileOfItsOwn)
{
    namespace fs = std::filesystem;
    const std::string leftover = "m.prom.new-" + std::to_string(process_id());
    struct Case {
        const char* what;
        std::function<void(const Temp_dir&)> plant; // what lies at dir/m.prom before
        const char* said;                          // the WRN line's reason; nothing when written
        const char* victim;                        // a file of dir that must stay "precious"
    };
    std::vector<Case> cases = {
        {"a directory", [](const Temp_dir& d) { fs::create_directory(d.file("m.prom")); }, "it is no regular file", nullptr},
        {"a leftover of our process number", [&](const Temp_dir& d) { write_file(d.file(leftover), "old"); }, nullptr, nullptr},
    };
#ifndef _WIN32
    const std::vector<Case> posix_cases = {
        {"a FIFO", [](const Temp_dir& d) { mkfifo(d.file("m.prom").c_str(), 0644); }, "it is no regular file", nullptr},
        {"another user's link",
         [](const Temp_dir& d) {
             fs::create_symlink(d.file("victim"), d.file("m.prom"));
             (void)!lchown(d.file("m.prom").c_str(), 65534, 65534);
         },
         "is a symbolic link of another user (uid 65534)", "victim"},
        {"our own link",
         [](const Temp_dir& d) {
             write_file(d.file("target"), "old");
             fs::create_symlink(d.file("target"), d.file("m.prom"));
         },
         nullptr, nullptr},
        {"a leftover that is a link", [&](const Temp_dir& d) { fs::create_symlink(d.file("victim"), d.file(leftover)); },
         nullptr, "victim"},
    };
    for (const Case& c : posix_cases)
        if (geteuid() == 0 || std::string(c.what) != "another user's link") cases.push_back(c); // lchown needs root
#endif
    for (const auto& c : cases) {
        Temp_dir dir;
        write_file(dir.file("victim"), "precious");
        c.plant(dir);
        Barcode_db db;
        Statistics statistics(db);
        Log_capture capture;
        const bool was_link = fs::is_symlink(dir.file("m.prom"));
        Metrics_file metrics(dir.file("m.prom"));
        const auto now = Metrics_file::Clock::now();
        metrics.write(statistics, db, 9000, now, true);
        metrics.write(statistics, db, 9000, now + Metrics_file::period, true);
        const std::vector<std::string> lines = capture.lines();
        if (c.said != nullptr) {
            ASSERT_EQ(lines.size(), 1u) << c.what;
            EXPECT_NE(lines[0].find(c.said), std::string::npos) << c.what << ": " << lines[0];
        } else {
            EXPECT_TRUE(lines.empty()) << c.what << ": " << (lines.empty() ? "" : lines[0]);
            const std::string written = read_file(dir.file("m.prom"));
            EXPECT_NE(written.find("ulvane_received_total{port=\"9000\"} 0"), std::string::npos) << c.what;
            EXPECT_FALSE(fs::exists(fs::symlink_status(dir.file(leftover)))) << c.what;
        }
        EXPECT_EQ(fs::is_symlink(dir.file("m.prom")), was_link) << c.what << ": a link stays, the file it leads to is written";
        if (c.victim != nullptr) {
            EXPECT_EQ(read_file(dir.file(c.victim)), "precious") << c.what;
        }
    }
}

} // namespace

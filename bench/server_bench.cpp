// Benchmarks of the request path outside the database: handling one datagram
// (the lookup included, against a small database), and what the two loop
// rules add for a sender at the server's own port: the question whether the
// sender is this host, and the per-address limit.
//   build/bench/server_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>

#include "log.h"
#include "platform_network.h"
#include "answering.h"
#include "request_loop.h"

namespace {

const std::string& small_db_dir()
{
    static const std::string dir = [] {
        char d[] = "/tmp/ulvane_server_bench_XXXXXX";
        if (mkdtemp(d) == nullptr) std::abort();
        std::ofstream(std::string(d) + "/barcodes.ini")
            << "[12345]\nformat=price\ntag.description=Pen\ntag.price=1.99\n";
        std::ofstream(std::string(d) + "/formats.ini") << "[price]\n${description}\\n\nPrice: ${price}\n";
        return std::string(d);
    }();
    return dir;
}

// One datagram from a sender at another port than ours: the loop rules cost
// one comparison of the port here.
void BM_answer_datagram_other_port(benchmark::State& state)
{
    set_log_level(2);
    static Serving serving;
    serving.setup.db_dir = small_db_dir();
    Datagram_source from;
    from.endpoint = {0x0a000002, 5000};
    std::string answer;
    for (auto _ : state) {
        serving.begin_batch(); // a batch of one: the files (on Linux their watch) are asked each time
        benchmark::DoNotOptimize(answer_datagram("12345\n", from, serving, answer));
    }
    set_log_level(3);
}
BENCHMARK(BM_answer_datagram_other_port);

// A sender at our port: is it this host?
void BM_own_addresses_contains(benchmark::State& state)
{
    std::uint32_t address = 0x0a000002;
    Own_addresses own;
    for (auto _ : state) benchmark::DoNotOptimize(own.contains(address++ & 0x0a00ffff));
}
BENCHMARK(BM_own_addresses_contains);

// A sender at our port: the limit, for terminals at 4,096 addresses (spread
// over one second each, so none is limited).
void BM_answer_limit_admit(benchmark::State& state)
{
    Answer_limit limit;
    auto now = Answer_limit::Clock::now();
    std::int64_t i = 0;
    int admitted = 0;
    for (auto _ : state) {
        ++i;
        admitted += limit.admit({static_cast<std::uint32_t>(0x0a000000 + (i & 4095)), 9000},
                                now + std::chrono::microseconds(i * 250));
    }
    if (admitted != i) state.SkipWithError("a terminal was limited");
}
BENCHMARK(BM_answer_limit_admit);

} // namespace

BENCHMARK_MAIN();

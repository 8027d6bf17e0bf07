// Database benchmarks: loading a generated 1,000,000-barcode database, a load
// with both files unchanged, and a lookup with merge, of a barcode as it is
// listed and of a 2D code found by its GTIN.
//   build/bench/database_bench [--benchmark_filter=...]
// ULVANE_BENCH_COUNT sets the number of barcodes (default 1000000).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sys/stat.h>

#include "database.h"
#include "large_db.h"
#include "log.h"
#include "platform_files.h"

namespace {

long barcode_count()
{
    const char* env = std::getenv("ULVANE_BENCH_COUNT");
    return env ? std::atol(env) : 1000000;
}

// The generated database, written once into /tmp and kept there.
std::string large_db_dir(bool sorted = false)
{
    std::string d = large_db_path(barcode_count(), sorted);
    struct stat st;
    if (stat((d + "/barcodes.ini").c_str(), &st) != 0) {
        mkdir(d.c_str(), 0755);
        if (!write_large_db(d, barcode_count(), sorted)) std::perror(("cannot write " + d).c_str());
    }
    return d;
}

long file_size(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

// Peak resident memory of this process so far, in MiB.
double peak_rss_mib()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            long kib = 0;
            status >> kib;
            return kib / 1024.0;
        }
    }
    return 0;
}

// Loading the whole database into a fresh object; argument 1: barcodes in
// ascending order, 0: scrambled.
void BM_load_large_database(benchmark::State& state)
{
    set_log_level(2);
    const std::string dir = large_db_dir(state.range(0) != 0);
    long bytes = file_size(dir + "/barcodes.ini") + file_size(dir + "/formats.ini");
    for (auto _ : state) {
        auto db = std::make_unique<Barcode_db>();
        db->load(dir);
        benchmark::DoNotOptimize(db->barcodes().size());
        state.PauseTiming();
        db.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * bytes);
    state.SetItemsProcessed(state.iterations() * barcode_count());
    state.counters["peak_rss_MiB"] = peak_rss_mib();
    state.counters["file_MB"] = bytes / 1e6;
}
BENCHMARK(BM_load_large_database)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_load_unchanged(benchmark::State& state)
{
    set_log_level(3);
    const std::string dir = large_db_dir();
    static Barcode_db db;
    db.load(dir);
    for (auto _ : state) db.load(dir);
}
BENCHMARK(BM_load_unchanged);

// What BM_load_unchanged may cost at the least: the two last-write-time queries.
void BM_two_file_queries(benchmark::State& state)
{
    const std::string barcodes = large_db_dir() + "/barcodes.ini";
    const std::string formats = large_db_dir() + "/formats.ini";
    File_attributes attributes;
    for (auto _ : state) {
        file_attributes(barcodes, attributes);
        file_attributes(formats, attributes);
    }
}
BENCHMARK(BM_two_file_queries);

// A lookup with its merge as the server makes it (text and GS1 reading
// kept from one to the next), of a listed barcode asked (0) as it is
// listed, (1) as a Digital Link URI, (2) as a GS1 element string, (3) as a
// Digital Link of a GTIN the database lacks, (4) after a scanner's AIM
// identifier, (5) as a 1,600-byte Digital Link that repeats one AI (the
// cap on AIs ends its reading early).
void BM_lookup(benchmark::State& state)
{
    set_log_level(2);
    const std::string dir = large_db_dir();
    static Barcode_db db;
    db.load(dir);
    std::mt19937 random(42);
    std::uniform_int_distribution<long> pick(0, barcode_count() - 1);
    std::vector<std::string> codes;
    for (int i = 0; i < 4096; ++i) {
        const std::string ean13 = barcode_of(pick(random));
        const std::string unlisted = "0" + barcode_of(barcode_count() + i);
        const std::string forms[] = {ean13, "https://id.gs1.org/01/0" + ean13 + "/21/SN" + std::to_string(i),
                                     "]d2010" + ean13 + "17271231" "21SN" + std::to_string(i),
                                     "https://id.gs1.org/01/" + unlisted + "/21/SN" + std::to_string(i),
                                     "]E0" + ean13, [&] {
                                         std::string link = "https://id.gs1.org/01/0" + ean13 + "?17=271231";
                                         while (link.size() + 10 <= 1600) link += "&17=271231";
                                         return link;
                                     }()};
        codes.push_back(forms[state.range(0)]);
    }
    std::size_t i = 0;
    Gs1_code gs1;
    Lookup_route route;
    std::string text;
    for (auto _ : state) {
        const std::string& code = codes[i++ & 4095];
        db.lookup(code, Shown_barcode(code), gs1, route, text);
        benchmark::DoNotOptimize(text);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_lookup)->DenseRange(0, 5);

} // namespace

BENCHMARK_MAIN();

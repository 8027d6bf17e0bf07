// Writes a large generated database for the benchmarks and the load tests:
// `count` barcodes, each with format= and three or four tag. lines, and a
// formats file of a dozen formats. Barcodes are 13-digit GS1 codes of a
// shop's own numbers: 200000000000 + i and its check digit; barcode_of(i)
// names the i-th. Unless `sorted`, they are
// written in a scrambled order, as an article export gives them. False when
// a file cannot be written (errno tells why).
#ifndef ULVANE_BENCH_LARGE_DB_H
#define ULVANE_BENCH_LARGE_DB_H

#include <cstdio>
#include <fstream>
#include <numeric>
#include <string>

#include "gs1.h"

inline std::string barcode_of(long i)
{
    const std::string digits = std::to_string(200000000000L + i);
    return digits + gs1_check_digit(digits);
}

inline const char* const large_db_formats[] = {"price", "offer", "weight", "shelf", "label", "promo",
                                               "small", "large", "fresh", "frozen", "bulk", "info"};

// The directory the benchmarks and load tests keep a generated database in.
inline std::string large_db_path(long count, bool sorted)
{
    return "/tmp/ulvane_bench_gs1_db_" + std::to_string(count) + (sorted ? "_sorted" : "");
}

inline bool write_large_db(const std::string& dir, long count, bool sorted)
{
    {
        std::ofstream f(dir + "/formats.ini", std::ios::binary | std::ios::trunc);
        if (!f) return false;
        f << "# generated\n[]\n${description}\n";
        int n = 0;
        for (const char* name : large_db_formats) {
            f << "[" << name << "]\n\\e[1m${description}\\e[0m\\n\n";
            f << "Price: ${price} EUR\\n\n";
            if (n % 3 == 0) f << "Per ${unit}\\n\n";
            if (n % 4 == 1) f << "Was: ${was}\\x07\n";
            ++n;
        }
    }
    std::ofstream b(dir + "/barcodes.ini", std::ios::binary | std::ios::trunc);
    b << "# generated\n[]\nformat=info\ntag.description=Unknown article\ntag.price=-\n";
    char line[256];
    // A step coprime to count visits every barcode once, out of order.
    long step = 1;
    if (!sorted && count > 1) {
        step = count / 2 + 7919;
        while (std::gcd(step, count) != 1) ++step;
    }
    for (long k = 0; k < count; ++k) {
        const long i = static_cast<long>((static_cast<unsigned long long>(k) * step) % count);
        const char* format = large_db_formats[i % 12];
        int n = std::snprintf(line, sizeof line,
                              "[%s]\nformat=%s\ntag.description=Article number %ld, size %ld\n"
                              "tag.price=%ld.%02ld\n",
                              barcode_of(i).c_str(), format, i, i % 40, 1 + i % 97, i % 100);
        b.write(line, n);
        if (i % 3 == 0) b << "tag.unit=kg\n";
        if (i % 4 == 1) b << "tag.was=" << 2 + i % 89 << ".99\n";
    }
    b.close();
    return !b.fail();
}

#endif

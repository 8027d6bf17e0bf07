// What the server counts while it serves, and the hourly report of it:
// the counters, the state of both files and the most asked unknown barcodes.
#ifndef ULVANE_STATISTICS_H
#define ULVANE_STATISTICS_H

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class Barcode_db;

// The barcodes asked for most among many, in bounded memory: at most
// `tracked` of them are counted (the "space saving" way). A barcode not
// counted yet takes the place of the least counted one, and that count + 1,
// so a barcode asked for often is never lost among a flood of others. The
// counts are exact while no more than `tracked` different barcodes came;
// after that a count may be too high by at most the count it took over.
// Each place, once made, keeps room for a barcode of `room` bytes (the
// longest a datagram carries), so that counting allocates nothing once
// `tracked` places were made, whatever the barcodes.
class Top_barcodes {
public:
    static constexpr std::size_t tracked = 256;
    static constexpr std::size_t room = 1600;

    void add(std::string_view barcode);
    // The `n` most counted, most first (equal counts in byte order).
    std::vector<std::pair<std::string, unsigned long>> top(std::size_t n) const;
    // Forgets the counts; the places stay, with their memory.
    void clear() { my_used = 0; }

private:
    struct Place {
        std::string barcode;
        std::size_t hash = 0;
        unsigned long count = 0;
    };
    std::vector<Place> my_places; // the first my_used count a barcode
    std::size_t my_used = 0;
};

// What the server did, counted from its start, and written to the log in
// two INF lines: "Statistics since <time of the last report>: received=..."
// with every count for the time since the last report, then for the time
// since the start, then the state of both files; and "Unknown barcodes
// since <time>: ..." with the 20 most asked for since the last report that
// only the fallback barcode answered, or none answered.
class Statistics {
public:
    using Clock = std::chrono::steady_clock;
    // received = answered + the reasons for not answering, from failed to
    // echo. via_fallback_*, via_gtin, via_label and unsent are parts of answered.
    enum Counter {
        received, answered, via_fallback_barcode, via_fallback_format, via_gtin, via_label, failed, empty, too_long, own_socket,
        over_limit, echo, not_allowed, unsent, receive_errors, log_lines_left_out, barcodes_reloads, formats_reloads, counters
    };
    static constexpr std::chrono::hours period{1};

    explicit Statistics(const Barcode_db& db); // counting starts now, with what `db` counted so far left out
    void count(Counter counter) { ++my_counts[counter]; }
    void unknown_barcode(std::string_view barcode) { my_unknown.add(barcode); }
    // True when the last report is `period` old at `now`.
    bool due(Clock::time_point now) const { return now - my_reported_at >= period; }
    // Writes the report of `db`: at level 3 and up, or at every level when
    // `asked`. Starts the next period.
    void write(bool asked, const Barcode_db& db);
    // Writes the counts since the start in the text format that Prometheus's
    // exporters read: each counter as ulvane_<its name>_total, beside
    // gauges for both files (entries, how long the last reading took, when
    // a reading last succeeded), the start time and ulvane_build_info.
    // `written`, when (seconds since 1970), and `serving`, false in what is
    // written as the server stops, let monitoring tell a stopped or hung
    // server from one with nothing to count.
    void write_metrics(std::ostream& out, const Barcode_db& db, std::uint16_t port, std::time_t written,
                       bool serving) const;

private:
    using Counts = std::array<std::uint64_t, counters>;
    // The counts, with those that the log and `db` keep as they are now.
    Counts counts_now(const Barcode_db& db) const;

    Counts my_counts{};
    Counts my_counts_reported{}; // at the last report
    Counts my_counts_at_start{};
    std::time_t my_started;
    std::time_t my_reported;       // the last report's time, or the start
    Clock::time_point my_reported_at;
    Top_barcodes my_unknown;       // since the last report
};

#endif

#include "statistics.h"

#include <algorithm>
#include <ostream>

#include "database.h"
#include "log.h"

void Top_barcodes::add(const std::string& barcode)
{
    auto counted = my_counts.find(barcode);
    if (counted != my_counts.end()) {
        ++counted->second;
        return;
    }
    unsigned long count = 1;
    if (my_counts.size() >= tracked) {
        auto least = std::min_element(my_counts.begin(), my_counts.end(),
                                      [](const auto& a, const auto& b) { return a.second < b.second; });
        count = least->second + 1;
        my_counts.erase(least);
    }
    my_counts.emplace(barcode, count);
}

std::vector<std::pair<std::string, unsigned long>> Top_barcodes::top(std::size_t n) const
{
    std::vector<std::pair<std::string, unsigned long>> all(my_counts.begin(), my_counts.end());
    auto first = [](const auto& a, const auto& b) { return a.second != b.second ? a.second > b.second : a.first < b.first; };
    n = std::min(n, all.size());
    std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n), all.end(), first);
    all.resize(n);
    return all;
}

namespace {

const char* const counter_names[] = {
    "received",  "answered", "via_fallback_barcode", "via_fallback_format", "failed",
    "empty",     "too_long", "own_socket",           "over_limit",          "echo",
    "unsent",    "receive_errors", "log_lines_left_out", "barcodes_reloads", "formats_reloads",
};
static_assert(sizeof counter_names / sizeof counter_names[0] == Statistics::counters, "a name for each counter");

std::string time_text(std::time_t time)
{
    char text[80];
    local_time_text(time, text);
    return text;
}

// " barcodes_entries=100000 barcodes_last_reload_ms=120.5"
void write_file_state(std::ostream& out, const char* file, std::size_t entries, const File_reloads& reloads)
{
    const double ms = std::chrono::duration<double, std::milli>(reloads.last_took).count();
    char took[32];
    std::snprintf(took, sizeof took, "%.1f", ms);
    out << ' ' << file << "_entries=" << entries << ' ' << file << "_last_reload_ms=" << took;
}

} // namespace

constexpr std::chrono::hours Statistics::period;

Statistics::Statistics() : my_started(std::time(nullptr)), my_reported(my_started), my_reported_at(Clock::now())
{
    take_counts_kept_elsewhere();
    my_counts_at_start = my_counts_reported = my_counts; // what came before the start is not counted
}

void Statistics::take_counts_kept_elsewhere()
{
    my_counts[log_lines_left_out] = ::log_lines_left_out();
    my_counts[barcodes_reloads] = the_barcode_db.barcodes_reloads().count;
    my_counts[formats_reloads] = the_barcode_db.formats_reloads().count;
}

void Statistics::write(bool asked)
{
    take_counts_kept_elsewhere();

    if (asked || get_log_level() > 2) {
        std::ostream& out = log("INF");
        auto counts_since = [&](const std::array<std::uint64_t, counters>& before) {
            for (int i = 0; i < counters; ++i) out << ' ' << counter_names[i] << '=' << my_counts[i] - before[i];
        };
        out << "Statistics since " << time_text(my_reported) << ':';
        counts_since(my_counts_reported);
        out << "; since the start " << time_text(my_started) << ':';
        counts_since(my_counts_at_start);
        out << "; files:";
        write_file_state(out, "barcodes", the_barcode_db.barcodes().size(), the_barcode_db.barcodes_reloads());
        write_file_state(out, "formats", the_barcode_db.formats().size(), the_barcode_db.formats_reloads());
        log_end_line();

        std::ostream& unknown = log("INF");
        unknown << "Unknown barcodes since " << time_text(my_reported) << ", most asked first:";
        const auto top = my_unknown.top(20);
        for (const auto& barcode : top) unknown << " \"" << Shown_barcode(barcode.first) << "\"=" << barcode.second;
        if (top.empty()) unknown << " none";
        log_end_line();
    }
    my_counts_reported = my_counts;
    my_reported = std::time(nullptr);
    my_reported_at = Clock::now();
    my_unknown.clear();
}


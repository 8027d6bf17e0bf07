#include "statistics.h"

#include <algorithm>
#include <ostream>
#include <sstream>

#include "database.h"
#include "log.h"
#include "log_messages.h"
#include "version.h"

void Top_barcodes::add(std::string_view barcode)
{
    const std::size_t hash = std::hash<std::string_view>()(barcode);
    const auto counted = my_places.begin(), end = counted + static_cast<std::ptrdiff_t>(my_used);
    const auto found =
        std::find_if(counted, end, [&](const Place& p) { return p.hash == hash && p.barcode == barcode; });
    if (found != end) {
        ++found->count;
        return;
    }
    unsigned long count = 1;
    Place* place;
    if (my_used < tracked) {
        if (my_used == my_places.size()) {
            my_places.emplace_back();
            my_places.back().barcode.reserve(room);
        }
        place = &my_places[my_used++];
    } else {
        place = &*std::min_element(counted, end, [](const Place& a, const Place& b) { return a.count < b.count; });
        count = place->count + 1;
    }
    place->barcode.assign(barcode.data(), barcode.size());
    place->hash = hash;
    place->count = count;
}

std::vector<std::pair<std::string, unsigned long>> Top_barcodes::top(std::size_t n) const
{
    std::vector<std::pair<std::string, unsigned long>> all;
    for (std::size_t i = 0; i < my_used; ++i) all.emplace_back(my_places[i].barcode, my_places[i].count);
    auto first = [](const auto& a, const auto& b) { return a.second != b.second ? a.second > b.second : a.first < b.first; };
    n = std::min(n, all.size());
    std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n), all.end(), first);
    all.resize(n);
    return all;
}

namespace {

// Each counter's name in the statistics line (and, as ulvane_<name>_total,
// in the metrics) and what it counts.
const struct {
    const char* name;
    const char* help;
} counter_names[] = {
    {"received", "Datagrams received at the server's port (answered, or not for one of the reasons counted beside)."},
    {"answered", "Requests answered."},
    {"via_fallback_barcode", "Answers made with the fallback barcode, for a barcode not in barcodes.ini."},
    {"via_fallback_format", "Answers made with the fallback format, for a format not in formats.ini."},
    {"via_gtin", "Answers found by the GTIN of a barcode not in barcodes.ini as it came (a 2D code, another form)."},
    {"via_label", "Answers found by the article of a scale label (its value digits as zeros)."},
    {"failed", "Requests not answered because the database could not be loaded or had no answer."},
    {"empty", "Empty datagrams, not answered."},
    {"too_long", "Datagrams too long to be received whole, not answered."},
    {"own_socket", "Datagrams from the server's own socket, not answered."},
    {"over_limit", "Datagrams from the server's port over the sender's limit, not answered."},
    {"echo", "The server's own answers coming back, not answered."},
    {"not_allowed", "Datagrams from outside the networks answered (-allow), not answered."},
    {"unsent", "Answers that could not be sent."},
    {"receive_errors", "Receives that failed without a datagram."},
    {"log_lines_left_out", "Log lines left out while senders made more than the log takes."},
    {"barcodes_reloads", "Readings of barcodes.ini."},
    {"formats_reloads", "Readings of formats.ini."},
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
    figures::write(out, false, std::string(file) + "_entries", entries);
    figures::write(out, false, std::string(file) + "_last_reload_ms", took);
}

} // namespace

constexpr std::chrono::hours Statistics::period;

Statistics::Statistics(const Barcode_db& db)
    : my_started(std::time(nullptr)), my_reported(my_started), my_reported_at(Clock::now())
{
    my_counts_at_start = my_counts_reported = my_counts = counts_now(db); // what came before the start is not counted
}

Statistics::Counts Statistics::counts_now(const Barcode_db& db) const
{
    Counts counts = my_counts;
    counts[log_lines_left_out] = ::log_lines_left_out();
    counts[barcodes_reloads] = db.barcodes_reloads().count;
    counts[formats_reloads] = db.formats_reloads().count;
    return counts;
}

void Statistics::write(bool asked, const Barcode_db& db)
{
    my_counts = counts_now(db);

    if (asked || get_log_level() > 2) {
        std::ostringstream text;
        auto counts_since = [&](const Counts& before) {
            for (int i = 0; i < counters; ++i)
                figures::write(text, i == 0, counter_names[i].name, my_counts[i] - before[i]);
        };
        counts_since(my_counts_reported);
        text << figures::since_start << time_text(my_started) << ": ";
        counts_since(my_counts_at_start);
        text << figures::files;
        write_file_state(text, "barcodes", db.barcodes().size(), db.barcodes_reloads());
        write_file_state(text, "formats", db.formats().size(), db.formats_reloads());
        log("INF") << msg::statistics(time_text(my_reported), text.str());
        log_end_line();

        std::ostringstream most_asked;
        const auto top = my_unknown.top(20);
        for (const auto& barcode : top) most_asked << " \"" << Shown_barcode(barcode.first) << "\"=" << barcode.second;
        if (top.empty()) most_asked << " none";
        log("INF") << msg::unknown_barcodes(time_text(my_reported), most_asked.str());
        log_end_line();
    }
    my_counts_reported = my_counts;
    my_reported = std::time(nullptr);
    my_reported_at = Clock::now();
    my_unknown.clear();
}


namespace {

// One metric of the text exposition format: its HELP and TYPE lines, then
// its sample.
void write_metric(std::ostream& out, const std::string& name, const char* type, const char* help,
                  const std::string& sample)
{
    out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n' << name << sample << '\n';
}

void write_file_metrics(std::ostream& out, const std::string& labels, const std::string& file, std::size_t entries,
                        const File_reloads& reloads)
{
    const std::string name = "ulvane_" + file;
    const std::string ini = file + ".ini";
    write_metric(out, name + "_entries", "gauge", ("Entries loaded from " + ini + ".").c_str(),
                 labels + ' ' + std::to_string(entries));
    char took[32];
    std::snprintf(took, sizeof took, " %.6f", std::chrono::duration<double>(reloads.last_took).count());
    write_metric(out, name + "_last_reload_duration_seconds", "gauge",
                 ("How long the last reading of " + ini + " took.").c_str(), labels + took);
    write_metric(out, name + "_last_read_timestamp_seconds", "gauge",
                 ("When " + ini + " was last read whole, in seconds since 1970.").c_str(),
                 labels + ' ' + std::to_string(static_cast<long long>(reloads.last_read_whole)));
}

} // namespace

void Statistics::write_metrics(std::ostream& out, const Barcode_db& db, std::uint16_t port, std::time_t written,
                               bool serving) const
{
    const Counts counts = counts_now(db);
    // Every sample names its server by the port it answers at: two servers
    // of one host in one collector's directory stay apart.
    const std::string port_label = "port=\"" + std::to_string(port) + "\"", labels = "{" + port_label + "}";
    for (int i = 0; i < counters; ++i)
        write_metric(out, std::string("ulvane_") + counter_names[i].name + "_total", "counter", counter_names[i].help,
                     labels + ' ' + std::to_string(counts[i] - my_counts_at_start[i]));
    write_file_metrics(out, labels, "barcodes", db.barcodes().size(), db.barcodes_reloads());
    write_file_metrics(out, labels, "formats", db.formats().size(), db.formats_reloads());
    write_metric(out, "ulvane_start_time_seconds", "gauge", "When the server started, in seconds since 1970.",
                 labels + ' ' + std::to_string(static_cast<long long>(my_started)));
    write_metric(out, "ulvane_metrics_written_timestamp_seconds", "gauge",
                 "When the server wrote this file, in seconds since 1970: a minute at most while it serves.",
                 labels + ' ' + std::to_string(static_cast<long long>(written)));
    write_metric(out, "ulvane_serving", "gauge", "1 while the server serves; 0 once it has stopped.",
                 labels + (serving ? " 1" : " 0"));
    write_metric(out, "ulvane_build_info", "gauge", "The server's version, as a label; the value is always 1.",
                 "{" + port_label + ",version=\"" + ulvane_version + "\"} 1");
}

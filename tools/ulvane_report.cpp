// ulvane_report: what a server did, read from its log files.
//
//   ulvane_report [-csv] LOGFILE...
//
// Reads the log files in the order given (rotated ones first: server.log.1
// server.log) and writes, for the period they cover: the log's level and
// what that level leaves out, requests per hour as a text chart, requests
// answered and not answered, the server's own statistics lines summed, the
// barcodes the database lacks with their counts and first and last time
// (most asked first), and the warnings by kind with their counts. With
// -csv it writes only the unknown barcodes, as CSV (barcode,count,first,
// last). Lines that are not log lines (messages a log on standard error
// shares its file with) are read for failures and otherwise counted.
// Exit status: 0, or 2 for wrong usage or a file that cannot be read.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "csv.h"
#include "platform.h"

namespace {

bool starts_with(std::string_view s, std::string_view prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}

bool ends_with(std::string_view s, std::string_view suffix)
{
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// The kind of a warning: its message with the values in it replaced, so
// that the same warning about other barcodes, lines or addresses counts
// as one kind. The messages about a barcode, which anyone may fill with
// quotes of its own, and those that hold a value without quotes, are known
// by their fixed text around it; elsewhere quoted values become "*" and
// numbers N.
std::string kind_of(std::string_view message)
{
    static const std::pair<std::string_view, std::string_view> fixed[] = {
        {"Barcode \"", "\" not defined in database."},
        {"No format specified for barcode '", "'"},
        {"Unknown format for barcode '", "': using default."},
        {"Unknown barcode ", " and no backup barcode [] available"},
        {"Unknown format for barcode ", " and no backup format [] available"},
        {"Could not stat ", ": force reloading."},
        {"Read error in ", ": it is read again at the next request."},
        {"Could not open ", ""},
        {"Could not read ", ""},
    };
    for (const auto& f : fixed)
        if (starts_with(message, f.first) && ends_with(message, f.second))
            return std::string(f.first) + "*" + std::string(f.second);
    std::string kind;
    for (std::size_t i = 0; i < message.size(); ++i) {
        const char c = message[i];
        const std::size_t close = c == '"' || c == '\'' ? message.find(c, i + 1) : std::string_view::npos;
        if (close != std::string_view::npos && (c == '"' || close - i < 80)) { // an apostrophe is rarely a quote
            kind += c;
            kind += '*';
            kind += c;
            i = close;
        } else if (c >= '0' && c <= '9') {
            kind += 'N';
            while (i + 1 < message.size() && message[i + 1] >= '0' && message[i + 1] <= '9') ++i;
        } else {
            kind += c;
        }
    }
    return kind;
}

// Hours counted from 1970-01-01 00 for "2026-12-07 08", and back: the
// calendar's arithmetic, with no time zone (the log's local hours are
// counted as they stand).
long long hour_number(const std::string& hour)
{
    int y = 0, m = 0, d = 0, h = 0;
    if (std::sscanf(hour.c_str(), "%d-%d-%d %d", &y, &m, &d, &h) != 4) return 0;
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long year_of_era = y - era * 400;
    const long long day_of_year = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return (era * 146097 + day_of_era - 719468) * 24 + h;
}

std::string hour_text(long long number)
{
    const long long z = number / 24 + 719468, h = number % 24;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long day_of_era = z - era * 146097;
    const long long year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const long long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const long long mp = (5 * day_of_year + 2) / 153;
    const long long d = day_of_year - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
    char text[96];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld", year_of_era + era * 400 + (m <= 2), m, d, h);
    return text;
}

struct Seen {
    unsigned long count = 0;
    std::string first, last; // times
};

// A flood log may hold millions of different barcodes; at most twice this
// many are kept (see count_unknown).
constexpr std::size_t tracked_unknown = 20000;

// Everything read from the log files.
struct Report {
    unsigned long lines = 0, other_lines = 0;
    std::string first_time, last_time;
    bool has[4] = {}; // WRN, INF, DBG, DMP lines seen
    std::unordered_map<std::string, unsigned long> per_hour; // "2026-12-07 08" -> requests
    std::string hour;                // the last request's
    unsigned long* in_hour = nullptr; // its count in per_hour
    unsigned long requests = 0;
    unsigned long no_fallback = 0, file_failures = 0, unsent = 0, left_out = 0;
    unsigned long statistics_lines = 0;
    std::vector<std::pair<std::string, unsigned long long>> statistics; // summed, in the line's order
    std::unordered_map<std::string, Seen> unknown;
    unsigned long unknown_dropped = 0; // the highest count dropped; 0 while every count is exact
    std::unordered_map<std::string, unsigned long> warnings;
};

// Counts an unknown barcode in bounded memory, the "space saving" way: when
// twice `tracked_unknown` are kept, all but the most asked are dropped, and
// a barcode that comes afterwards starts from the highest count dropped. So
// a barcode asked for more often than that is never lost, and a count is
// too high by at most that much (its first time may be too late).
void count_unknown(Report& r, std::string_view barcode, std::string_view time)
{
    Seen& seen = r.unknown[std::string(barcode)];
    if (seen.count == 0) {
        seen.count = r.unknown_dropped;
        seen.first = std::string(time);
    }
    ++seen.count;
    seen.last = std::string(time);
    if (r.unknown.size() < 2 * tracked_unknown) return;
    std::vector<unsigned long> counts;
    counts.reserve(r.unknown.size());
    for (const auto& u : r.unknown) counts.push_back(u.second.count);
    std::nth_element(counts.begin(), counts.begin() + tracked_unknown, counts.end(), std::greater<unsigned long>());
    const unsigned long least_kept = counts[tracked_unknown];
    for (auto u = r.unknown.begin(); u != r.unknown.end();)
        u = u->second.count <= least_kept ? r.unknown.erase(u) : std::next(u);
    r.unknown_dropped = std::max(r.unknown_dropped, least_kept);
}

// A failure message, as a WRN line of a log file or as the line written to
// standard error.
bool count_failure(Report& r, std::string_view message)
{
    if (starts_with(message, "Unknown barcode ") || starts_with(message, "Unknown format for barcode ")) {
        if (!ends_with(message, " available")) return false;
        ++r.no_fallback;
    } else if (starts_with(message, "ERROR: ") && message.find(" not found") != std::string_view::npos) {
        ++r.file_failures;
    } else {
        return false;
    }
    return true;
}

// Adds the counts of a statistics line's first part, since the report
// before it: "received=12 answered=10 ...".
void add_statistics(Report& r, std::string_view message)
{
    std::string_view part = message.substr(message.find(": ") + 2);
    part = part.substr(0, part.find(';'));
    std::size_t n = 0;
    while (!part.empty()) {
        const std::size_t blank = part.find(' ');
        const std::string_view pair = part.substr(0, blank);
        const std::size_t eq = pair.find('=');
        if (eq != std::string_view::npos) {
            const std::string key(pair.substr(0, eq));
            const unsigned long long value = std::strtoull(std::string(pair.substr(eq + 1)).c_str(), nullptr, 10);
            if (n < r.statistics.size() && r.statistics[n].first == key)
                r.statistics[n].second += value;
            else if (n == r.statistics.size())
                r.statistics.emplace_back(key, value);
            ++n;
        }
        part = blank == std::string_view::npos ? std::string_view() : part.substr(blank + 1);
    }
    ++r.statistics_lines;
}

void read_line(Report& r, std::string_view line)
{
    ++r.lines;
    // "[2026-12-07 17:05:00 #7 WRN] message"
    const std::size_t end = line.find("] ");
    if (line.size() < 27 || line[0] != '[' || line[20] != ' ' || line[21] != '#' || end == std::string_view::npos ||
        end < 25) {
        if (!count_failure(r, line)) ++r.other_lines;
        return;
    }
    const std::string_view time = line.substr(1, 19), label = line.substr(end - 3, 3), message = line.substr(end + 2);
    if (r.first_time.empty()) r.first_time = std::string(time);
    r.last_time = std::string(time);
    if (label == "INF") {
        // A report asked for is written at every level: no sign of level 3.
        r.has[1] = r.has[1] || !(starts_with(message, "Statistics since ") || starts_with(message, "Unknown barcodes since "));
        if (starts_with(message, "Received barcode \"")) {
            ++r.requests;
            if (r.in_hour == nullptr || time.substr(0, 13) != r.hour) { // most lines share the last one's hour
                r.hour = std::string(time.substr(0, 13));
                r.in_hour = &r.per_hour[r.hour];
            }
            ++*r.in_hour;
        } else if (starts_with(message, "Statistics since ")) {
            add_statistics(r, message);
        }
    } else if (label == "WRN") {
        r.has[0] = true;
        ++r.warnings[kind_of(message)];
        const std::string_view unknown_end = "\" not defined in database.";
        if (starts_with(message, "Barcode \"") && ends_with(message, unknown_end)) {
            count_unknown(r, message.substr(9, message.size() - 9 - unknown_end.size()), time);
        } else if (starts_with(message, "Answer of ") && message.find(" not sent: ") != std::string_view::npos) {
            ++r.unsent;
        } else if (starts_with(message, "Left out ")) {
            r.left_out += std::strtoul(std::string(message.substr(9, 20)).c_str(), nullptr, 10);
        } else {
            count_failure(r, message);
        }
    } else if (label == "DBG") {
        r.has[2] = true;
    } else if (label == "DMP") {
        r.has[3] = true;
    }
}

std::vector<std::pair<std::string, Seen>> most_asked_first(const Report& r)
{
    std::vector<std::pair<std::string, Seen>> all(r.unknown.begin(), r.unknown.end());
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
        return a.second.count != b.second.count ? a.second.count > b.second.count : a.first < b.first;
    });
    return all;
}

// What a report says when there were too many different unknown barcodes
// to count each.
std::string estimates(const Report& r)
{
    return "More than " + std::to_string(tracked_unknown) + " different unknown barcodes: the counts are estimates, " +
           "each too high by at most " + std::to_string(r.unknown_dropped) + ", and barcodes asked for " +
           std::to_string(r.unknown_dropped) + " times or fewer may be missing.";
}

void write_csv(const Report& r)
{
    if (r.unknown_dropped > 0) std::cerr << "ulvane_report: " << estimates(r) << std::endl;
    std::cout << "barcode,count,first,last\n";
    for (const auto& u : most_asked_first(r)) {
        std::string barcode;
        append_csv_field(barcode, u.first, true);
        std::cout << barcode << ',' << u.second.count << ',' << u.second.first << ',' << u.second.last << '\n';
    }
}

void write_report(const Report& r, std::size_t files)
{
    std::cout << "Period: " << (r.first_time.empty() ? "none (no log lines)" : r.first_time + " to " + r.last_time) << ", "
              << files << (files == 1 ? " file, " : " files, ") << r.lines << " lines";
    if (r.other_lines > 0) std::cout << " (" << r.other_lines << " not in the log's form)";
    std::cout << '\n';

    const bool requests_logged = r.has[1];
    if (r.has[3] || r.has[2])
        std::cout << "Log level: " << (r.has[3] ? 5 : 4) << " (DBG lines" << (r.has[3] ? " and DMP lines" : "")
                  << "): nothing is left out.\n";
    else if (requests_logged)
        std::cout << "Log level: 3 (INF lines): every request is in it.\n";
    else
        std::cout << "Log level: 2 or lower (WRN lines only): the requests and the hourly statistics are INF lines, "
                     "which this level leaves out, so requests per hour and answers cannot be counted; unknown "
                     "barcodes and warnings are complete.\n";
    if (r.left_out > 0)
        std::cout << "Left out: " << r.left_out << " log lines of received datagrams over the log's budget (a flood): "
                  << "the counts below miss them.\n";

    if (requests_logged) {
        std::cout << "\nRequests per hour:\n";
        std::map<long long, unsigned long> hours;
        unsigned long most = 0;
        for (const auto& h : r.per_hour) {
            hours[hour_number(h.first)] += h.second;
            most = std::max(most, h.second);
        }
        // Quiet hours in between show as such, up to a month of them.
        if (!hours.empty() && hours.rbegin()->first - hours.begin()->first < 31 * 24)
            for (long long h = hours.begin()->first; h < hours.rbegin()->first; ++h) hours.emplace(h, 0);
        for (const auto& h : hours) {
            char row[64];
            std::snprintf(row, sizeof row, "  %s:00 %9lu ", hour_text(h.first).c_str(), h.second);
            std::cout << row << std::string(most > 0 ? (h.second * 50 + most - 1) / most : 0, '#') << '\n';
        }
        const unsigned long failed = r.no_fallback + r.file_failures;
        std::cout << "\nRequests: " << r.requests << " barcodes received, " << r.requests - std::min(failed, r.requests)
                  << " answered, " << failed << " not answered (" << r.no_fallback
                  << " without an entry or format and no fallback [], " << r.file_failures
                  << " with a database file missing or unreadable)";
        if (r.unsent > 0) std::cout << "; " << r.unsent << " answers could not be sent";
        std::cout << '\n';
    } else {
        std::cout << "\nNot answered (WRN lines): " << r.no_fallback
                  << " without an entry or format and no fallback [], " << r.file_failures
                  << " with a database file missing or unreadable; " << r.unsent << " answers could not be sent\n";
    }
    if (r.statistics_lines > 0) {
        std::cout << "The server's own counts (" << r.statistics_lines << " statistics reports, summed):";
        for (const auto& s : r.statistics) std::cout << ' ' << s.first << '=' << s.second;
        std::cout << '\n';
    }

    const auto unknown = most_asked_first(r);
    std::cout << "\nUnknown barcodes, most asked first (" << unknown.size() << "):\n";
    if (r.unknown_dropped > 0) std::cout << estimates(r) << '\n';
    for (const auto& u : unknown) {
        char count[32];
        std::snprintf(count, sizeof count, "  %9lu  ", u.second.count);
        std::cout << count << u.second.first << "  " << u.second.last << "  " << u.first << '\n';
    }

    std::vector<std::pair<std::string, unsigned long>> kinds(r.warnings.begin(), r.warnings.end());
    std::sort(kinds.begin(), kinds.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    std::cout << "\nWarnings by kind (" << kinds.size() << "):\n";
    for (const auto& k : kinds) {
        char count[32];
        std::snprintf(count, sizeof count, "  %9lu  ", k.second);
        std::cout << count << k.first << '\n';
    }
}

} // namespace

int main(int argc, char** argv)
{
    unbuffer_standard_streams();
    bool csv = false;
    std::vector<std::string> files;
    bool wrong = argc < 2;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-csv") == 0)
            csv = true;
        else if (argv[i][0] == '-')
            wrong = true;
        else
            files.push_back(argv[i]);
    }
    if (wrong || files.empty()) {
        std::cerr << "usage: ulvane_report [-csv] LOGFILE...\n"
                     "Reads the server's log files, rotated ones first, and tells what the server did." << std::endl;
        return 2;
    }
    Report report;
    static char buffer[1 << 20];
    std::string line;
    for (const std::string& name : files) {
        std::ifstream in;
        in.rdbuf()->pubsetbuf(buffer, sizeof buffer);
        in.open(name, std::ios::binary);
        if (!in.is_open()) {
            std::cerr << "ulvane_report: cannot read " << name << ": " << std::strerror(errno) << std::endl;
            return 2;
        }
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            read_line(report, line);
        }
    }
    if (csv)
        write_csv(report);
    else
        write_report(report, files.size());
    return 0;
}

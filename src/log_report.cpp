#include "log_report.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>

#include "escapes.h"
#include "findings.h"
#include "gs1.h"
#include "log_messages.h"

namespace {

// The kind of a warning: its message with the values in it replaced, so
// that the same warning about other barcodes, lines or addresses counts
// as one kind. The messages about a barcode, which anyone may fill with
// quotes of its own, and those that hold a value without quotes, are known
// by their fixed text around it; elsewhere quoted values become "*" and
// numbers N.
std::string kind_of(std::string_view message)
{
    using namespace msg;
    if (msg::lost_lines.read(message)) return msg::lost_lines.kind();
    static const Log_message<2>* const fixed[] = {
        &barcode_not_defined, &no_format_specified, &format_not_defined, &no_fallback_barcode, &no_fallback_format,
        &could_not_stat,      &read_error,          &could_not_open,     &could_not_read,
    };
    for (const Log_message<2>* f : fixed)
        if (f->read(message)) return f->kind();
    return values_blanked(message);
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
    if (msg::no_fallback_barcode.read(message) || msg::no_fallback_format.read(message)) {
        ++r.no_fallback;
    } else if (msg::file_not_found.read(message)) {
        ++r.file_failures;
    } else {
        return false;
    }
    if (r.in_hour != nullptr) ++r.in_hour->not_answered;
    return true;
}

// Adds the counts of a statistics line's first part, since the report
// before it: "received=12 answered=10 ...; since the start ...".
void add_statistics(Report& r, std::string_view text)
{
    std::string_view part = figures::part(text, figures::Part::since_report), name, count;
    for (std::size_t n = 0; figures::next(part, name, count); ++n) {
        const unsigned long long value = std::strtoull(std::string(count).c_str(), nullptr, 10);
        if (n < r.statistics.size() && r.statistics[n].first == name)
            r.statistics[n].second += value;
        else if (n == r.statistics.size())
            r.statistics.emplace_back(name, value);
    }
    ++r.statistics_lines;
}

} // namespace

namespace {

} // namespace

bool clock_never_set(std::string_view time)
{
    const std::string_view year = time.substr(0, 4);
    return year == "0000" || year == "1970" || year == "1980" || year == "2000";
}

namespace {

void note_wrong_clock(Report& r, std::string_view time, unsigned long line)
{
    if (r.wrong_clock++ > 0) return;
    r.first_wrong_clock = std::string(time);
    r.first_wrong_clock_line = line;
}

// The hour of `time` holds a line, and so its day is in the period.
void mark_hour(Report& r, std::string_view time)
{
    const std::string_view hour = time.substr(0, 13);
    if (hour == r.marked_hour) return;
    r.marked_hour = std::string(hour);
    r.per_hour.emplace(r.marked_hour, Hour_counts());
}

// A line more than a day after the latest is taken when the next one goes
// on from it (the server was off), and else is a clock that jumped ahead.
void settle_ahead(Report& r, std::string_view next)
{
    const std::string ahead = std::move(r.ahead_time);
    r.ahead_time.clear();
    if (!next.empty() && hour_number(std::string(next.substr(0, 13))) + 1 >= hour_number(ahead.substr(0, 13))) {
        r.last_time = ahead;
        mark_hour(r, ahead);
        if (r.ahead_request) ++r.per_hour[ahead.substr(0, 13)].requests;
    } else {
        note_wrong_clock(r, ahead, r.ahead_line);
    }
}

// Takes the time of a line; false when it goes in no hour: a wrong clock,
// a line a day ahead not yet settled, or one more than an hour earlier than
// the latest (an hour back is a clock put back from summer time, counted in
// its hour; more is a clock set back, or files out of order).
bool note_time(Report& r, std::string_view time)
{
    if (clock_never_set(time)) {
        note_wrong_clock(r, time, r.lines);
        return false;
    }
    if (!r.ahead_time.empty()) settle_ahead(r, time);
    if (r.first_time.empty()) r.first_time = std::string(time);
    if (!r.last_time.empty() && time.compare(0, 13, r.last_time, 0, 13) == 0) { // the latest line's hour, as most are
        if (time > r.last_time) r.last_time.assign(time.data(), time.size());
        mark_hour(r, time);
        return true;
    }
    const long long hour = hour_number(std::string(time.substr(0, 13)));
    const long long latest = r.last_time.empty() ? hour : hour_number(r.last_time.substr(0, 13));
    if (hour > latest + 24) {
        r.ahead_time = std::string(time);
        r.ahead_line = r.lines;
        r.ahead_request = false;
        return false;
    }
    if (time >= r.last_time) r.last_time.assign(time.data(), time.size());
    if (hour + 1 >= latest) {
        mark_hour(r, time);
        return true;
    }
    if (r.out_of_order++ == 0) {
        r.first_out_of_order = std::string(time);
        r.first_out_of_order_line = r.lines;
    }
    return false;
}

// What an unknown barcode (as shown) counts as, as the server counts it:
// serialised 2D codes of one article are one, each scale label of one
// article too.
std::string unknown_key(Report& r, std::string_view shown)
{
    if (shown == r.label_barcode) return r.label_key;
    const auto known = r.unknown_keys.find(std::string(shown));
    if (known != r.unknown_keys.end()) return known->second;
    const std::string bytes = text_to_bytes(shown);
    Gs1_code gs1;
    gs1.take(bytes);
    std::ostringstream key_shown;
    if (gs1.unknown_key().size() == bytes.size())
        key_shown << shown; // the whole code, as the log shows it
    else
        key_shown << Shown_barcode(gs1.unknown_key());
    const std::string key = key_shown.str();
    if (r.unknown_keys.size() >= 2 * tracked_unknown) r.unknown_keys.clear();
    r.unknown_keys.emplace(shown, key);
    return key;
}

void read_info(Report& r, std::string_view time, std::string_view message, bool in_order)
{
    // A report asked for is written at every level: no sign of level 3.
    Log_message<3>::Values statistics;
    const bool is_statistics = msg::statistics.read(message, &statistics);
    r.has[1] = r.has[1] || !(is_statistics || msg::unknown_barcodes.read(message));
    if (msg::received_barcode.read(message)) {
        ++r.requests;
        if (!in_order) {
            r.ahead_request = r.ahead_line == r.lines; // counted in its hour if the server was off
            r.in_hour = nullptr; // its failures go in no hour either
        } else if (r.in_hour == nullptr || time.substr(0, 13) != r.hour) { // most lines share the last one's hour
            r.hour = std::string(time.substr(0, 13));
            r.in_hour = &r.per_hour[r.hour];
        }
        if (r.in_hour != nullptr) ++r.in_hour->requests;
    } else if (is_statistics) {
        add_statistics(r, statistics[1]);
    } else if (msg::answered_as_gtin.read(message)) {
        ++r.via_gtin;
    } else if (msg::answered_as_label.read(message)) {
        ++r.via_label;
    } else if (Log_message<3>::Values label; msg::unlisted_label.read(message, &label)) {
        r.label_barcode = std::string(label[0]);
        r.label_key = std::string(label[1]);
    } else if (msg::refused.read(message)) {
        ++r.refused;
        if (r.in_hour != nullptr) ++r.in_hour->not_answered;
    }
}

void read_warning(Report& r, std::string_view time, std::string_view message)
{
    r.has[0] = true;
    ++r.warnings[kind_of(message)];
    Log_message<2>::Values barcode;
    Log_message<4>::Values left_out;
    Log_message<3>::Values lost;
    if (msg::barcode_not_defined.read(message, &barcode)) {
        count_unknown(r, unknown_key(r, barcode[0]), time);
    } else if (msg::answer_not_sent.read(message)) {
        ++r.unsent;
    } else if (msg::left_out.read(message, &left_out)) {
        r.left_out += std::strtoul(std::string(left_out[0]).c_str(), nullptr, 10);
    } else if (msg::lost_lines.read(message, &lost)) {
        r.lost += std::strtoul(std::string(lost[0]).c_str(), nullptr, 10);
        if (r.lost_why.empty()) r.lost_why = std::string(lost[1]);
    } else {
        count_failure(r, message);
    }
}

} // namespace

namespace {

// The server's line in a line of journalctl's output: after the prefix
// "Dec 07 17:05:00 host ulvane_server[812]: " (or its short-iso form),
// which ends at the first "]: " after a process number.
std::string_view without_journal_prefix(std::string_view line)
{
    if (line.empty() || line[0] == '[') return line;
    const std::size_t end = line.substr(0, 200).find("]: ");
    const std::size_t open = end == std::string_view::npos ? end : line.rfind('[', end);
    if (open == std::string_view::npos || open + 1 == end ||
        line.substr(open + 1, end - open - 1).find_first_not_of("0123456789") != std::string_view::npos)
        return line;
    return line.substr(end + 3);
}

} // namespace

std::string_view log_line_time(std::string_view line)
{
    Log_line parts;
    return parts.read(without_journal_prefix(line)) ? parts.time : std::string_view();
}

void read_log_line(Report& r, std::string_view line)
{
    ++r.lines;
    line = without_journal_prefix(line);
    Log_line parts;
    if (!parts.read(line)) {
        if (!count_failure(r, line)) ++r.other_lines;
        return;
    }
    const std::string_view time = parts.time, label = parts.label, message = parts.message;
    const bool in_order = note_time(r, time);
    if (label == "INF")
        read_info(r, time, message, in_order);
    else if (label == "WRN")
        read_warning(r, time, message);
    else if (label == "DBG")
        r.has[2] = true;
    else if (label == "DMP")
        r.has[3] = true;
}

void end_of_log(Report& r)
{
    if (!r.ahead_time.empty()) settle_ahead(r, "");
}

std::vector<std::pair<std::string, Seen>> most_asked_first(const Report& r)
{
    std::vector<std::pair<std::string, Seen>> all(r.unknown.begin(), r.unknown.end());
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
        return a.second.count != b.second.count ? a.second.count > b.second.count : a.first < b.first;
    });
    return all;
}


std::vector<std::pair<std::string, unsigned long>> warnings_by_kind(const Report& r)
{
    std::vector<std::pair<std::string, unsigned long>> kinds(r.warnings.begin(), r.warnings.end());
    std::sort(kinds.begin(), kinds.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    return kinds;
}

std::vector<std::pair<std::string, Hour_counts>> hours_in_order(const Report& r)
{
    std::map<long long, Hour_counts> hours;
    for (const auto& h : r.per_hour) {
        Hour_counts& counts = hours[hour_number(h.first)];
        counts.requests += h.second.requests;
        counts.not_answered += h.second.not_answered;
    }
    // Whole days; and the quiet days between, up to a closed week (a
    // longer gap is a server that was off, or a log that jumps).
    std::vector<long long> days;
    for (const auto& h : hours) {
        const long long day = h.first / 24;
        if (!days.empty() && day > days.back() && day - days.back() <= 8)
            for (long long quiet = days.back() + 1; quiet < day; ++quiet) days.push_back(quiet);
        if (days.empty() || days.back() != day) days.push_back(day);
    }
    for (long long day : days)
        for (long long h = day * 24; h < day * 24 + 24; ++h) hours.emplace(h, Hour_counts());
    std::vector<std::pair<std::string, Hour_counts>> in_order;
    for (const auto& h : hours) in_order.emplace_back(hour_text(h.first), h.second);
    return in_order;
}

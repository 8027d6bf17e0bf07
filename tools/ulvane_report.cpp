// ulvane_report: what a server did, read from its log files.
//
//   ulvane_report [-csv | -html | -json] LOGFILE...
//
// Reads the log files, plain or gzip (server.log.2.gz as logrotate leaves
// it), in the order of their times, or journalctl's output, and writes,
// for the period they cover: the log's level and
// what that level leaves out, requests per hour as a text chart, requests
// answered and not answered (and how many by their GTIN), the server's own statistics lines summed, the
// barcodes the database lacks (a 2D code by its GTIN) with their counts and first and last time
// (most asked first), and the warnings by kind with their counts. With
// -csv it writes only the unknown barcodes, as CSV (barcode,count,first,
// last); with -html, one self-contained page (a chart of the requests per
// hour, answered and not, and tables) for a person; with -json the same
// figures as one object for scripts. Lines that are not log lines (messages a log on standard error
// shares its file with) are read for failures and otherwise counted.
// Exit status: 0, or 2 for wrong usage or a file that cannot be read.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

#include "command_line.h"
#include "csv.h"
#include "log_file.h"
#include "log_report.h"
#include "platform_process.h"
#include "text_encoding.h"
#include "version.h"

namespace {

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

// The log's level as its lines show it, and what that level leaves out.
struct Level {
    std::string name;
    std::string leaves_out;
};

Level log_level(const Report& r)
{
    if (r.first_time.empty())
        return {"none", "the files hold no line of the server's log, so there is nothing to tell (is it the right file?)."};
    if (r.has[3] || r.has[2])
        return {std::string(r.has[3] ? "5" : "4") + " (DBG lines" + (r.has[3] ? " and DMP lines" : "") + ")",
                "nothing is left out."};
    if (r.has[1]) return {"3 (INF lines)", "every request is in it."};
    return {"2 or lower (WRN lines only)",
            "the requests and the hourly statistics are INF lines, which this level leaves out, so requests per hour "
            "and answers cannot be counted; unknown barcodes and warnings are complete."};
}

std::string out_of_order_text(const Report& r)
{
    return std::to_string(r.out_of_order) +
           (r.out_of_order == 1 ? " line more than an hour earlier than a line before it, at line "
                                : " lines more than an hour earlier than a line before them, the first at line ") +
           std::to_string(r.first_out_of_order_line) + " (" + r.first_out_of_order +
           "): the clock was set back, or the files are not in order; their requests are counted, but in no hour.";
}

std::string cut_text(const Report& r)
{
    return std::to_string(r.cut_lines) + (r.cut_lines == 1 ? " line" : " lines") + " longer than " +
           std::to_string(longest_report_line / 1024) + " kB, read up to there: the server writes none so long.";
}

std::string wrong_clock_text(const Report& r)
{
    return std::to_string(r.wrong_clock) + (r.wrong_clock == 1 ? " line" : " lines") +
           " whose clock was wrong, the first at line " + std::to_string(r.first_wrong_clock_line) + " (" +
           r.first_wrong_clock + "): a clock not set (a time in 1970, 1980 or 2000, where such clocks start, or 0000-00-00) or one that "
           "jumped a day or more ahead of the "
           "lines around it; their requests are counted, but in no hour and not in the period.";
}

// A barcode as a person reads it: blanks at its ends and blanks beside
// blanks as \x20, the log's own notation, so that "12345 " and "12345" never
// look alike.
std::string visible_blanks(std::string_view barcode)
{
    std::string out;
    for (std::size_t i = 0; i < barcode.size(); ++i) {
        const bool hidden = barcode[i] == ' ' && (i == 0 || i + 1 == barcode.size() || barcode[i - 1] == ' ' ||
                                                  barcode[i + 1] == ' ');
        if (hidden) out += "\\x20";
        else out += barcode[i];
    }
    return out;
}

std::string left_out_text(const Report& r)
{
    return std::to_string(r.left_out) + " log lines of received datagrams over the log's budget (a flood): "
           "the counts below miss them.";
}

unsigned long not_answered(const Report& r)
{
    return r.no_fallback + r.file_failures + r.refused;
}

std::string lost_text(const Report& r)
{
    return std::to_string(r.lost) + " log lines the server could not write (" + r.lost_why +
           "): the counts below miss them.";
}

unsigned long answered(const Report& r)
{
    return r.requests - std::min(not_answered(r), r.requests);
}

// The requests answered and not, and why not; where the requests are not
// logged (level 2), only those not answered.
std::string answers_text(const Report& r)
{
    const std::string why = std::to_string(r.no_fallback) + " without an entry or format and no fallback [], " +
                            std::to_string(r.file_failures) + " with a database file missing or unreadable" +
                            (r.refused > 0 ? ", " + std::to_string(r.refused) + " refused to end a loop" : "");
    if (!r.has[1])
        return "Not answered (WRN lines): " + why + "; " + std::to_string(r.unsent) + " answers could not be sent";
    return "Requests: " + std::to_string(r.requests) + " barcodes received, " + std::to_string(answered(r)) +
           " answered" +
           (r.via_gtin > 0 ? " (" + std::to_string(r.via_gtin) + " of them by their GTIN: 2D codes, other GTIN forms)"
                           : "") +
           (r.via_label > 0 ? " (" + std::to_string(r.via_label) + " of them by their scale label's article)" : "") +
           ", " + std::to_string(not_answered(r)) + " not answered (" + why + ")" +
           (r.unsent > 0 ? "; " + std::to_string(r.unsent) + " answers could not be sent" : "");
}

// The length of the UTF-8 character at s[i], or 0 when the bytes there
// are not one.
std::size_t utf8_length(std::string_view s, std::size_t i)
{
    char32_t c;
    return utf8_character(s, i, c);
}

// Text of the log (a barcode anyone chose, among others) in an HTML page:
// markup characters as entities, control bytes and bytes that are not
// UTF-8 as \xNN, the page being UTF-8.
std::string html_text(std::string_view s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8_length(s, i);
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (n == 0 || c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
            ++i;
            continue;
        }
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out.append(s.substr(i, n));
        }
        i += n;
    }
    return out;
}

// Log text in a cell of code, where any character may end a line: as
// html_text writes it, each escape (\x20, \\, \n) kept whole on its line.
std::string code_html(std::string_view s)
{
    const std::string text = html_text(s);
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const std::size_t length = std::min<std::size_t>(text[i + 1] == 'x' ? 4 : 2, text.size() - i);
        out.append("<span class=\"esc\">").append(text, i, length).append("</span>");
        i += length - 1;
    }
    return out;
}

// A JSON string for any bytes: quotes, backslashes and control bytes
// escaped, and a byte that is not UTF-8 as the character of its value
// (\u00NN, as Latin-1 reads it).
std::string json_string(std::string_view s)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8_length(s, i);
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (n == 0 || c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
            i += 1;
            continue;
        } else {
            out.append(s.substr(i, n));
        }
        i += n;
    }
    return out + "\"";
}

// The requests of up to three days as a bar an hour, the part not
// answered in red, a quiet hour as a grey line.
void write_hour_bars(const std::vector<std::pair<std::string, Hour_counts>>& hours)
{
    unsigned long most = 1;
    for (const auto& h : hours) most = std::max(most, h.second.requests);
    // About 600 pixels wide, narrower than the page, so that the labels keep
    // their size.
    const int slot = std::clamp(600 / std::max<int>(static_cast<int>(hours.size()), 1), 6, 40);
    const int top = 16, high = 140, bottom = 30;
    const int width = std::max<int>(static_cast<int>(hours.size()) * slot, 300) + 40;
    // A label ("08") needs some 24 pixels; a divisor of 24 keeps them on
    // the same hours every day.
    std::size_t label_every = 1;
    for (std::size_t every : {1, 2, 3, 4, 6, 12, 24})
        if ((label_every = every) * slot >= 24) break;
    std::cout << "<h2>Requests per hour</h2>\n<div class=\"chart\"><svg width=\"" << width << "\" height=\"" << top + high + bottom
              << "\" viewBox=\"0 0 " << width << ' ' << top + high + bottom
              << "\" role=\"img\" aria-label=\"Requests per hour\">\n"
              << "<text class=\"label\" x=\"0\" y=\"11\">the highest bar: " << most << " requests</text>\n";
    for (std::size_t k = 0; k < hours.size(); ++k) {
        const Hour_counts& c = hours[k].second;
        const int x = 40 + static_cast<int>(k) * slot;
        const unsigned long not_answered = std::min(c.not_answered, c.requests);
        const int all = static_cast<int>((c.requests * high + most - 1) / most);
        const int red = static_cast<int>((not_answered * high + most - 1) / most);
        std::cout << "<g class=\"hour\" data-hour=\"" << hours[k].first << "\" data-requests=\"" << c.requests
                  << "\" data-not-answered=\"" << not_answered << "\"><title>" << hours[k].first << ":00: "
                  << c.requests << " requests, " << not_answered << " not answered</title>";
        if (c.requests == 0)
            std::cout << "<rect class=\"quiet\" x=\"" << x << "\" y=\"" << top + high - 1 << "\" width=\"" << slot - 2
                      << "\" height=\"1\"/>";
        else
            std::cout << "<rect class=\"answered\" x=\"" << x << "\" y=\"" << top + high - (all - red) << "\" width=\""
                      << slot - 2 << "\" height=\"" << all - red << "\"/><rect class=\"not-answered\" x=\"" << x
                      << "\" y=\"" << top + high - all << "\" width=\"" << slot - 2 << "\" height=\"" << red << "\"/>";
        std::cout << "</g>\n";
        const int hour = std::atoi(hours[k].first.c_str() + 11);
        if (hour % label_every == 0)
            std::cout << "<text class=\"label\" x=\"" << x << "\" y=\"" << top + high + 13 << "\">"
                      << hours[k].first.substr(11, 2) << "</text>\n";
    }
    std::cout << "<text class=\"label\" x=\"40\" y=\"" << top + high + 28 << "\">"
              << html_text(hours.empty() ? "" : hours.front().first + ":00") << "</text>\n</svg></div>\n"
              << "<p><span class=\"key\" style=\"background:#3b8f5a\"></span> answered "
                 "<span class=\"key\" style=\"background:#d0453b\"></span> not answered "
                 "<span class=\"key\" style=\"background:#c8c8c8\"></span> quiet hour</p>\n";
}

// A longer period as a grid: a row a day, a column an hour, each hour's
// shade its requests (red where some were not answered), a quiet hour
// grey. A month's nights and closed days stay in sight at the page's
// width, and so does any period: rows get thinner, labels never smaller.
void write_day_grid(const std::vector<std::pair<std::string, Hour_counts>>& hours)
{
    unsigned long most = 1;
    for (const auto& h : hours) most = std::max(most, h.second.requests);
    // A row for each day that holds an hour: a day without a line has none.
    std::size_t days = 0;
    for (std::size_t k = 0; k < hours.size(); ++k)
        days += k == 0 || hours[k].first.compare(0, 10, hours[k - 1].first, 0, 10) != 0;
    const int left = 80, top = 30, cell = 27, width = left + 24 * cell;
    const int row = days <= 62 ? 14 : std::max(2, 900 / static_cast<int>(days));
    const std::size_t label_every = (14 + row - 1) / row; // labels 14 pixels apart at least
    const int height = top + static_cast<int>(days) * row + 4;
    std::cout << "<h2>Requests per hour, a row a day</h2>\n<div class=\"chart\"><svg width=\"" << width << "\" height=\"" << height
              << "\" viewBox=\"0 0 " << width << ' ' << height << "\" role=\"img\" aria-label=\"Requests per hour\">\n"
              << "<text class=\"label\" x=\"0\" y=\"11\">the darkest hour: " << most << " requests</text>\n";
    for (int h = 0; h < 24; h += 3)
        std::cout << "<text class=\"label\" x=\"" << left + h * cell << "\" y=\"" << top - 4 << "\">"
                  << (h < 10 ? "0" : "") << h << "</text>\n";
    std::size_t day = 0;
    for (std::size_t k = 0; k < hours.size(); ++k) {
        const Hour_counts& c = hours[k].second;
        const bool new_day = k == 0 || hours[k].first.compare(0, 10, hours[k - 1].first, 0, 10) != 0;
        day += new_day && k > 0;
        const int x = left + std::atoi(hours[k].first.c_str() + 11) * cell, y = top + static_cast<int>(day) * row;
        const unsigned long not_answered = std::min(c.not_answered, c.requests);
        if (new_day) {
            if (day % label_every == 0)
                std::cout << "<text class=\"label\" x=\"0\" y=\"" << y + std::min(row, 12) << "\">"
                          << hours[k].first.substr(0, 10) << "</text>\n";
        }
        char shade[16];
        std::snprintf(shade, sizeof shade, "%.2f", 0.2 + 0.8 * static_cast<double>(c.requests) / static_cast<double>(most));
        std::cout << "<g class=\"hour\" data-hour=\"" << hours[k].first << "\" data-requests=\"" << c.requests
                  << "\" data-not-answered=\"" << not_answered << "\"><title>" << hours[k].first << ":00: "
                  << c.requests << " requests, " << not_answered << " not answered</title><rect class=\""
                  << (c.requests == 0 ? "quiet" : not_answered > 0 ? "not-answered" : "answered") << "\" x=\"" << x
                  << "\" y=\"" << y << "\" width=\"" << cell - 1 << "\" height=\"" << std::max(row - 1, 1) << "\"";
        if (c.requests > 0) std::cout << " fill-opacity=\"" << shade << "\"";
        std::cout << "/></g>\n";
    }
    std::cout << "</svg></div>\n<p><span class=\"key\" style=\"background:#3b8f5a\"></span> answered (darker: more requests) "
                 "<span class=\"key\" style=\"background:#d0453b\"></span> some not answered "
                 "<span class=\"key\" style=\"background:#c8c8c8\"></span> quiet hour</p>\n";
}

// The page's table of unknown barcodes, the 100 most asked.
void write_unknown_html(const Report& r)
{
    const auto unknown = most_asked_first(r);
    const std::size_t shown = std::min<std::size_t>(unknown.size(), 100);
    std::cout << "<h2>Unknown barcodes, most asked first</h2>\n<p>" << unknown.size() << " barcodes the database lacks"
              << (shown < unknown.size() ? "; the " + std::to_string(shown) + " most asked" : "") << ".</p>\n";
    if (r.unknown_dropped > 0) std::cout << "<p class=\"note\">" << html_text(estimates(r)) << "</p>\n";
    if (shown > 0) {
        std::cout << "<table class=\"unknown\">\n<tr><th class=\"n\">Count</th><th>First</th><th>Last</th><th>Barcode</th></tr>\n";
        for (std::size_t k = 0; k < shown; ++k)
            std::cout << "<tr><td class=\"n\">" << unknown[k].second.count << "</td><td class=\"t\">"
                      << html_text(unknown[k].second.first) << "</td><td class=\"t\">" << html_text(unknown[k].second.last)
                      << "</td><td class=\"code\">"
                      << code_html(visible_blanks(unknown[k].first)) << "</td></tr>\n";
        std::cout << "</table>\n";
    }
}

// One self-contained page: inline CSS and SVG, no script, nothing fetched
// (its own policy forbids it), printable on A4.
void write_html(const Report& r, std::size_t files)
{
    const Level level = log_level(r);
    const std::string period = r.first_time.empty() ? "none (no log lines)" : r.first_time + " to " + r.last_time;
    std::cout << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                 "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n"
                 "<title>ulvane_server: " << html_text(period) << "</title>\n<style>\n"
                 "body { font: 13px/1.4 sans-serif; color: #222; margin: 1.5em auto; max-width: 60em; padding: 0 1em; }\n"
                 "h1 { font-size: 1.5em; margin-bottom: 0.2em; } h2 { font-size: 1.15em; margin: 1.4em 0 0.4em; }\n"
                 "table { border-collapse: collapse; } th, td { padding: 1px 0.8em 1px 0; text-align: left; vertical-align: top; }\n"
                 "td.n, th.n { text-align: right; } td.code { font-family: monospace; word-break: break-all; }\n"
                 "tr + tr td { border-top: 1px solid #e4e4e4; } .note { color: #a40; }\n"
                 "svg { max-width: 100%; height: auto; } .chart { overflow-x: auto; } .chart svg { min-width: 700px; }\n"
                 ".esc { white-space: nowrap; } td.t { white-space: nowrap; } .answered { fill: #3b8f5a; } .not-answered { fill: #d0453b; }\n"
                 ".quiet { fill: #c8c8c8; } .label { font-size: 11px; fill: #555; } .key { display: inline-block; width: 0.8em; height: 0.8em; }\n"
                 "@page { size: A4; margin: 14mm; } @media print { body { margin: 0; max-width: none; } h2 { break-after: avoid; } tr { break-inside: avoid; } }\n"
                 "</style>\n</head>\n<body>\n<h1>What the server did</h1>\n";
    std::cout << "<p>Period: " << html_text(period) << ", " << files << (files == 1 ? " file, " : " files, ") << r.lines
              << " lines" << (r.other_lines > 0 ? " (" + std::to_string(r.other_lines) + " not in the log's form)" : "")
              << ".</p>\n<p>Log level: " << html_text(level.name) << ": " << html_text(level.leaves_out) << "</p>\n";
    if (r.left_out > 0) std::cout << "<p class=\"note\">Left out: " << html_text(left_out_text(r)) << "</p>\n";
    if (r.lost > 0) std::cout << "<p class=\"note\">Lost: " << html_text(lost_text(r)) << "</p>\n";
    if (r.out_of_order > 0)
        std::cout << "<p class=\"note\">Out of order: " << html_text(out_of_order_text(r)) << "</p>\n";
    if (r.wrong_clock > 0) std::cout << "<p class=\"note\">Clock: " << html_text(wrong_clock_text(r)) << "</p>\n";
    if (r.cut_lines > 0) std::cout << "<p class=\"note\">Cut: " << html_text(cut_text(r)) << "</p>\n";
    for (const std::string& note : r.file_notes) std::cout << "<p class=\"note\">File: " << html_text(note) << "</p>\n";

    if (r.has[1]) {
        const auto hours = hours_in_order(r);
        if (hours.size() <= 72) write_hour_bars(hours);
        else write_day_grid(hours);
    }
    std::cout << "<p>" << html_text(answers_text(r)) << ".</p>\n";
    if (r.statistics_lines > 0) {
        std::cout << "<h2>The server's own counts</h2>\n<p>" << r.statistics_lines
                  << " statistics reports, summed.</p>\n<table>\n";
        for (const auto& st : r.statistics)
            std::cout << "<tr><td>" << html_text(st.first) << "</td><td class=\"n\">" << st.second << "</td></tr>\n";
        std::cout << "</table>\n";
    }

    write_unknown_html(r);
    const auto kinds = warnings_by_kind(r);
    std::cout << "<h2>Warnings by kind</h2>\n<p>" << kinds.size() << " kinds.</p>\n";
    if (!kinds.empty()) {
        std::cout << "<table class=\"warnings\">\n<tr><th class=\"n\">Count</th><th>Warning</th></tr>\n";
        for (const auto& k : kinds)
            std::cout << "<tr><td class=\"n\">" << k.second << "</td><td class=\"code\">" << code_html(k.first) << "</td></tr>\n";
        std::cout << "</table>\n";
    }
    std::cout << "</body>\n</html>\n";
}

// The same figures for scripts, as one JSON object.
void write_json(const Report& r, std::size_t files)
{
    const Level level = log_level(r);
    std::cout << "{\n  \"period\": {\"first\": " << json_string(r.first_time) << ", \"last\": " << json_string(r.last_time)
              << "},\n  \"files\": " << files << ",\n  \"lines\": " << r.lines << ",\n  \"other_lines\": " << r.other_lines
              << ",\n  \"level\": " << json_string(level.name) << ",\n  \"level_leaves_out\": " << json_string(level.leaves_out)
              << ",\n  \"left_out\": " << r.left_out << ",\n  \"lost\": " << r.lost << ",\n  \"out_of_order\": "
              << r.out_of_order << ",\n  \"wrong_clock\": " << r.wrong_clock << ",\n  \"cut_lines\": " << r.cut_lines
              << ",\n  \"file_notes\": [";
    for (std::size_t k = 0; k < r.file_notes.size(); ++k) std::cout << (k == 0 ? "" : ", ") << json_string(r.file_notes[k]);
    std::cout << "],\n  \"requests_logged\": " << (r.has[1] ? "true" : "false")
              << ",\n  \"hours\": [";
    const auto hours = hours_in_order(r);
    for (std::size_t k = 0; k < hours.size(); ++k)
        std::cout << (k == 0 ? "\n" : ",\n") << "    {\"hour\": " << json_string(hours[k].first)
                  << ", \"requests\": " << hours[k].second.requests << ", \"not_answered\": "
                  << std::min(hours[k].second.not_answered, hours[k].second.requests) << "}";
    std::cout << "\n  ],\n  \"requests\": {\"received\": " << r.requests << ", \"answered\": "
              << answered(r) << ", \"via_gtin\": " << r.via_gtin << ", \"via_label\": " << r.via_label << ", \"not_answered\": " << not_answered(r)
              << ", \"without_entry_or_format\": " << r.no_fallback << ", \"database_file_failures\": " << r.file_failures
              << ", \"refused\": " << r.refused << ", \"not_sent\": " << r.unsent << "},\n  \"statistics_reports\": " << r.statistics_lines
              << ",\n  \"statistics\": {";
    for (std::size_t k = 0; k < r.statistics.size(); ++k)
        std::cout << (k == 0 ? "" : ", ") << json_string(r.statistics[k].first) << ": " << r.statistics[k].second;
    std::cout << "},\n  \"unknown_counts_too_high_by_at_most\": " << r.unknown_dropped << ",\n  \"unknown\": [";
    const auto unknown = most_asked_first(r);
    for (std::size_t k = 0; k < unknown.size(); ++k)
        std::cout << (k == 0 ? "\n" : ",\n") << "    {\"barcode\": " << json_string(unknown[k].first)
                  << ", \"count\": " << unknown[k].second.count << ", \"first\": " << json_string(unknown[k].second.first)
                  << ", \"last\": " << json_string(unknown[k].second.last) << "}";
    std::cout << "\n  ],\n  \"warnings\": [";
    const auto kinds = warnings_by_kind(r);
    for (std::size_t k = 0; k < kinds.size(); ++k)
        std::cout << (k == 0 ? "\n" : ",\n") << "    {\"kind\": " << json_string(kinds[k].first) << ", \"count\": " << kinds[k].second << "}";
    std::cout << "\n  ]\n}\n";
}

void write_report(const Report& r, std::size_t files)
{
    std::cout << "Period: " << (r.first_time.empty() ? "none (no log lines)" : r.first_time + " to " + r.last_time) << ", "
              << files << (files == 1 ? " file, " : " files, ") << r.lines << " lines";
    if (r.other_lines > 0) std::cout << " (" << r.other_lines << " not in the log's form)";
    std::cout << '\n';

    const bool requests_logged = r.has[1];
    const Level level = log_level(r);
    std::cout << "Log level: " << level.name << ": " << level.leaves_out << '\n';
    if (r.left_out > 0) std::cout << "Left out: " << left_out_text(r) << '\n';
    if (r.lost > 0) std::cout << "Lost: " << lost_text(r) << '\n';
    if (r.out_of_order > 0) std::cout << "Out of order: " << out_of_order_text(r) << '\n';
    if (r.wrong_clock > 0) std::cout << "Clock: " << wrong_clock_text(r) << '\n';
    if (r.cut_lines > 0) std::cout << "Cut: " << cut_text(r) << '\n';
    for (const std::string& note : r.file_notes) std::cout << "File: " << note << '\n';

    if (requests_logged) {
        std::cout << "\nRequests per hour:\n";
        const auto hours = hours_in_order(r);
        unsigned long most = 0;
        for (const auto& h : hours) most = std::max(most, h.second.requests);
        for (const auto& h : hours) {
            char row[64];
            std::snprintf(row, sizeof row, "  %s:00 %9lu ", h.first.c_str(), h.second.requests);
            std::cout << row << std::string(most > 0 ? (h.second.requests * 50 + most - 1) / most : 0, '#') << '\n';
        }
    }
    std::cout << '\n' << answers_text(r) << '\n';
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
        std::cout << count << u.second.first << "  " << u.second.last << "  " << visible_blanks(u.first) << '\n';
    }

    const auto kinds = warnings_by_kind(r);
    std::cout << "\nWarnings by kind (" << kinds.size() << "):\n";
    for (const auto& k : kinds) {
        char count[32];
        std::snprintf(count, sizeof count, "  %9lu  ", k.second);
        std::cout << count << k.first << '\n';
    }
}

// The time of the first line in the log's form among a file's first
// thousand lines: when the file begins, the order to read it in.
std::string first_time_of(const std::string& path)
{
    Log_file file;
    std::string line;
    Error why;
    if (!file.open(path, why)) return "";
    for (int k = 0; k < 1000 && file.next(line, longest_report_line); ++k) {
        const std::string_view time = log_line_time(line);
        if (!time.empty()) return std::string(time);
    }
    return "";
}

// Reads a log file into the report, with a note when it is damaged or holds
// no line of the server's log; false, with why, when it cannot be opened.
bool read_file(Report& report, const std::string& path, Error& error)
{
    Log_file file;
    if (!file.open(path, error)) return false;
    const unsigned long in_form = report.lines - report.other_lines;
    unsigned long lines = 0;
    bool binary = false;
    std::string line;
    while (file.next(line, longest_report_line)) {
        binary = binary || line.find('\0') != std::string::npos;
        read_log_line(report, line);
        ++lines;
    }
    report.cut_lines += file.cut_lines();
    const std::string name = path + (file.compressed() ? " (gzip)" : "");
    std::string damage = file.error();
    if (damage.substr(0, path.size() + 2) == path + ": ") damage.erase(0, path.size() + 2); // zlib names the file
    if (!damage.empty())
        report.file_notes.push_back(name + " is damaged after its line " + std::to_string(lines) + " (" + damage +
                                    "): the lines before are read");
    else if (report.lines - report.other_lines == in_form)
        report.file_notes.push_back(name + " holds no line of the server's log: " +
                                    (lines == 0 ? "it is empty" : binary ? "it holds binary data" : "its lines are another program's"));
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    unbuffer_standard_streams();
    if (version_asked(argc, argv, "ulvane_report")) return 0;
    if (!arguments_are_whole("ulvane_report")) return 2;
    std::string output = "text";
    std::vector<std::string> files;
    bool wrong = argc < 2;
    Command_line args(argc, argv);
    while (args.next()) {
        if (args.flag("-csv") || args.flag("-html") || args.flag("-json"))
            output = args.argument() + 1;
        else if (args.is_option())
            wrong = true;
        else
            files.push_back(args.argument());
    }
    if (wrong || files.empty()) {
        std::cerr << "usage: ulvane_report [-csv | -html | -json] LOGFILE... | -version\n"
                     "Reads the server's log files (plain or gzip, in the order of their times) and tells what the "
                     "server did.\n(ulvane_report "
                  << ulvane_version << ")" << std::endl;
        return 2;
    }
    // Rotated files in the order of their times, whatever order they came in.
    std::vector<std::pair<std::string, std::string>> in_order; // first time, path
    for (const std::string& name : files) in_order.emplace_back(first_time_of(name), name);
    std::stable_sort(in_order.begin(), in_order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    Report report;
    for (const auto& file : in_order) {
        Error why;
        if (!read_file(report, file.second, why)) {
            std::cerr << "ulvane_report: cannot read " << file.second << ": " << why.text << std::endl;
            return 2;
        }
    }
    end_of_log(report);
    if (output == "csv")
        write_csv(report);
    else if (output == "html")
        write_html(report, files.size());
    else if (output == "json")
        write_json(report, files.size());
    else
        write_report(report, files.size());
    return 0;
}

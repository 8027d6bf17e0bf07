// The log's messages that ulvane_report reads, each written once: the server
// writes them through these and the report recognises them through these,
// so that rewording one changes both.
//
// A message is fixed texts with a value between each two of them:
//   LOG_WRN(msg::barcode_not_defined(shown));
//       writes  Barcode "<shown>" not defined in database.
//   msg::barcode_not_defined.read(message, &values)
//       tells whether a message is one, and gives its values.
// A message that ends with a value has "" as its last text.
#ifndef ULVANE_LOG_MESSAGES_H
#define ULVANE_LOG_MESSAGES_H

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

template <std::size_t N>
struct Log_message;

// A message with its values, written by operator<<.
template <std::size_t N, typename... Values>
struct Filled_message {
    const Log_message<N>& message;
    std::tuple<const Values&...> values;
};

template <std::size_t N>
struct Log_message {
    static_assert(N >= 2, "a message holds at least one value");
    using Values = std::array<std::string_view, N - 1>;

    std::array<std::string_view, N> texts;

    template <typename... Values_in>
    Filled_message<N, Values_in...> operator()(const Values_in&... values) const
    {
        static_assert(sizeof...(Values_in) == N - 1, "one value between each two texts");
        return {*this, std::tuple<const Values_in&...>(values...)};
    }

    // The message as a string (a failure to throw).
    template <typename... Values_in>
    std::string text(const Values_in&... values) const
    {
        std::ostringstream out;
        out << (*this)(values...);
        return out.str();
    }

    // True when `message` is this one: it begins with the first text, holds
    // the middle ones in their order (each found at its first place) and
    // ends with the last. `values`, if given, gets what lies between.
    bool read(std::string_view message, Values* values = nullptr) const
    {
        if (message.substr(0, texts[0].size()) != texts[0]) return false;
        std::size_t at = texts[0].size();
        for (std::size_t i = 1; i < N; ++i) {
            const std::string_view& text = texts[i];
            std::size_t found;
            if (i + 1 < N) {
                found = message.find(text, at);
                if (found == std::string_view::npos) return false;
            } else {
                if (message.size() < at + text.size() || message.substr(message.size() - text.size()) != text)
                    return false;
                found = message.size() - text.size();
            }
            if (values != nullptr) (*values)[i - 1] = message.substr(at, found - at);
            at = found + text.size();
        }
        return true;
    }

    // What the report calls the kind of warning: the texts with "*" for
    // each value.
    std::string kind() const
    {
        std::string kind(texts[0]);
        for (std::size_t i = 1; i < N; ++i) (kind += '*') += texts[i];
        return kind;
    }
};

template <std::size_t N, typename... Values, std::size_t... I>
void write_filled(std::ostream& out, const Filled_message<N, Values...>& filled, std::index_sequence<I...>)
{
    out << filled.message.texts[0];
    ((out << std::get<I>(filled.values) << filled.message.texts[I + 1]), ...);
}

template <std::size_t N, typename... Values>
std::ostream& operator<<(std::ostream& out, const Filled_message<N, Values...>& filled)
{
    write_filled(out, filled, std::index_sequence_for<Values...>());
    return out;
}

namespace msg {

// INF: a request, with its barcode as Shown_barcode writes it.
constexpr Log_message<2> received_barcode{{"Received barcode \"", "\""}};
// INF: a request answered by a form of its GTIN: <barcode>, <the GTIN's 14 digits>.
constexpr Log_message<3> answered_as_gtin{{"Barcode \"", "\" answered as GTIN ", ""}};
// INF: a request answered by the entry of a scale label's key: <barcode>,
// the key (the label with its value as zeros).
constexpr Log_message<3> answered_as_label{{"Barcode \"", "\" answered as label ", ""}};
// INF: a scale label whose key has no entry, before its barcode_not_defined:
// <barcode>, the key, which the unknown barcodes count it by.
constexpr Log_message<3> unlisted_label{{"Barcode \"", "\" is a label of ", ", which is not listed"}};
// WRN: a rule of scale labels that cannot be read: <its tag>, why.
constexpr Log_message<3> bad_label_rule{{"Scale label rule ", " skipped: ", "."}};
// INF: a request refused by the rules that end loops, after its answer was
// found: <barcode>, why (refusal_over_limit, refusal_echo).
constexpr Log_message<3> refused{{"Barcode \"", "\" not answered: ", ""}};
constexpr const char* refusal_over_limit = "over the limit for requests from the server's own port";
constexpr const char* refusal_echo = "it holds the answer just sent to its sender, come back";
// INF: the statistics (see Statistics): since <time>: <figures>.
constexpr Log_message<3> statistics{{"Statistics since ", ": ", ""}};
constexpr Log_message<3> unknown_barcodes{{"Unknown barcodes since ", ", most asked first:", ""}};

// WRN: a barcode that only the fallback barcode answers.
constexpr Log_message<2> barcode_not_defined{{"Barcode \"", "\" not defined in database."}};
constexpr Log_message<2> no_format_specified{{"No format specified for barcode '", "'"}};
constexpr Log_message<2> format_not_defined{{"Unknown format for barcode '", "': using default."}};
// WRN: <bytes>, <address>.<port>, <error code>.
constexpr Log_message<4> answer_not_sent{{"Answer of ", " bytes to ", " not sent: WSAGetLastError=", ""}};
// WRN: <lines>, <time>, <kB>.
constexpr Log_message<4> left_out{{"Left out ", " log lines of received datagrams since ", ": over the log's budget of ",
                                   " kB a second (a sender flooding the port?)."}};
// WRN: <lines> the log could not write, <the system's reason>.
constexpr Log_message<3> lost_lines{{"Lost ", " log lines: ", ""}};
constexpr Log_message<2> could_not_stat{{"Could not stat ", ": force reloading."}};
constexpr Log_message<2> read_error{{"Read error in ", ": it is read again at the next request."}};
// WRN: <path>: <why>.
constexpr Log_message<2> could_not_open{{"Could not open ", ""}};
constexpr Log_message<2> could_not_read{{"Could not read ", ""}};

// Failures, on standard error (and as WRN lines in a log file): a request
// not answered.
constexpr Log_message<2> no_fallback_barcode{{"Unknown barcode ", " and no backup barcode [] available"}};
constexpr Log_message<2> no_fallback_format{{"Unknown format for barcode ", " and no backup format [] available"}};
// <kind> ("barcodes file", "format file"), <path>, <end> ("." or "").
constexpr Log_message<4> file_not_found{{"ERROR: ", " \"", "\" not found", ""}};

} // namespace msg

// The frame of every line of the log, which the server writes and the report
// and the tests read:
//   [2026-12-07 17:05:00 #7 WRN] message
// the local time, the line's number (from 1 at each start, one more each
// line) and the level's label (INF, WRN, DBG, DMP).
struct Log_line {
    static constexpr std::size_t time_length = 19; // "2026-12-07 17:05:00"
    static constexpr std::size_t longest_frame = time_length + 30;

    std::string_view time;
    unsigned long number = 0;
    std::string_view label;
    std::string_view message;

    // Writes the frame up to the message, "[<time> #<number> <label>] ",
    // into `out`; returns its length.
    static std::size_t write_frame(char (&out)[longest_frame], const char* time, unsigned long number,
                                   const char* label)
    {
        const int n = std::snprintf(out, sizeof out, "[%s #%lu %s] ", time, number, label);
        return n < 0 ? 0 : std::min(static_cast<std::size_t>(n), sizeof out - 1);
    }

    // Splits `line` into its parts; false, with nothing set, for a line that
    // is not in the frame.
    bool read(std::string_view line)
    {
        const std::size_t hash = time_length + 1;
        if (line.size() < hash + 9 || line[0] != '[' || line.compare(hash, 2, " #") != 0) return false;
        std::size_t at = hash + 2;
        unsigned long n = 0;
        while (at < line.size() && at < hash + 22 && line[at] >= '0' && line[at] <= '9') n = n * 10 + (line[at++] - '0');
        if (at == hash + 2 || line.size() < at + 6 || line[at] != ' ' || line.compare(at + 4, 2, "] ") != 0)
            return false;
        time = line.substr(1, time_length);
        number = n;
        label = line.substr(at + 1, 3);
        message = line.substr(at + 6);
        return true;
    }
};

// The figures of a statistics line (msg::statistics's second value), in
// three parts:
//   received=12 answered=10 ...; since the start 2026-12-07 08:00:00: received=90 ...; files: barcodes_entries=3 ...
// the counts since the report before, the counts since the start, and each
// file's figures. Each figure is name=value, a blank between two.
namespace figures {

constexpr std::string_view since_start = "; since the start ";
constexpr std::string_view files = "; files:";

// Appends one figure to `out`, after a blank unless it is its part's first.
template <typename Value>
void write(std::ostream& out, bool first, std::string_view name, const Value& value)
{
    if (!first) out << ' ';
    out << name << '=' << value;
}

enum class Part { since_report, since_start, files };

// The figures of one part, without its marker.
inline std::string_view part(std::string_view figures, Part which)
{
    std::size_t begin = 0;
    if (which != Part::since_report) {
        const std::size_t marker = figures.find(which == Part::since_start ? since_start : files);
        begin = marker == std::string_view::npos ? marker : figures.find(": ", marker); // after the start's time
        if (begin == std::string_view::npos) return {};
        begin += 2;
    }
    const std::size_t end = figures.find(';', begin);
    return figures.substr(begin, end == std::string_view::npos ? end : end - begin);
}

// Takes the next figure off the front of `part` (as part() gives it);
// false when none is left.
inline bool next(std::string_view& part, std::string_view& name, std::string_view& value)
{
    for (;;) {
        const std::size_t start = part.find_first_not_of(' ');
        if (start == std::string_view::npos) return false;
        part.remove_prefix(start);
        const std::size_t blank = part.find(' ');
        const std::string_view pair = part.substr(0, blank);
        part.remove_prefix(pair.size());
        const std::size_t eq = pair.find('=');
        if (eq == std::string_view::npos) continue;
        name = pair.substr(0, eq);
        value = pair.substr(eq + 1);
        return true;
    }
}

} // namespace figures

#endif

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

#include <array>
#include <cstddef>
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

#endif

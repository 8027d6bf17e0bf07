#include "log_report.h"

#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

#include "escapes.h"
#include "log_messages.h"

// The hours are every hour of each day that holds a line, and of up to a
// week of quiet days between. A line more than
// an hour back is in none (an hour back is a clock put back from summer
// time); so is a clock not set or one that jumps a day ahead and back, and
// neither makes the period longer. A day ahead where the lines go on is a
// server that was off.
TEST(LogReport, TheHoursAreThoseOfTheDaysWithLines)
{
    const struct {
        const char* second_hour;
        const char* third_hour; // "": none
        std::size_t hours;
        unsigned long out_of_order, wrong_clock, not_answered;
        const char* first_hour = "2026-12-07 08";
    } cases[] = {
        {"2026-12-07 20", "2026-12-08 03", 48, 0, 0, 1},
        {"2026-12-07 07", "2026-12-07 09", 24, 0, 0, 1},
        {"2026-12-07 06", "2026-12-07 09", 24, 1, 0, 1},
        {"2026-12-09 14", "2026-12-09 15", 72, 0, 0, 1}, // off for two days: the quiet one shown
        {"2026-12-21 14", "2026-12-21 15", 48, 0, 0, 1}, // off for two weeks: none of them
        {"2126-12-07 08", "2026-12-07 09", 24, 0, 1, 1}, // a century ahead
        {"2000-01-01 00", "2026-12-07 09", 24, 0, 1, 1}, // a dead clock battery
        {"1970-01-03 05", "2026-12-07 09", 24, 0, 1, 1}, // a clock from the Unix epoch, run on
        {"1980-01-01 00", "2026-12-07 09", 24, 0, 1, 1},
        {"2026-01-01 00", "2026-01-01 01", 48, 0, 0, 1, "2025-12-31 23"}, // across a new year
        {"2025-06-01 00", "2025-06-01 01", 24, 0, 0, 1, "2025-06-01 00"}, // the year before this program
        {"0000-00-00 00", "2026-12-07 09", 24, 0, 1, 1}, // the server's time when it has none
        {"2026-12-09 14", "", 24, 0, 1, 0},              // the last line, a day ahead
        {"2026-12-08 14", "", 24, 0, 1, 0},              // 30 hours ahead is more than a day
        {"2026-12-09 14", "2026-12-07 09", 24, 0, 1, 1},
    };
    for (const auto& c : cases) {
        Report r;
        read_log_line(r, std::string("[") + c.first_hour + ":00:00 #1 INF] Received barcode \"1\"");
        for (const char* hour : {c.second_hour, c.third_hour})
            if (*hour) read_log_line(r, std::string("[") + hour + ":00:00 #2 INF] Received barcode \"1\"");
        read_log_line(r, "Unknown barcode 1 and no backup barcode [] available");
        end_of_log(r);
        const auto hours = hours_in_order(r);
        EXPECT_EQ(hours.size(), c.hours) << c.second_hour;
        EXPECT_EQ(r.out_of_order, c.out_of_order) << c.second_hour;
        EXPECT_EQ(r.wrong_clock, c.wrong_clock) << c.second_hour;
        EXPECT_EQ(r.requests, *c.third_hour ? 3u : 2u) << c.second_hour;
        unsigned long requests = 0, not_answered = 0;
        for (const auto& h : hours) requests += h.second.requests, not_answered += h.second.not_answered;
        EXPECT_EQ(requests, r.requests - c.out_of_order - c.wrong_clock) << c.second_hour;
        EXPECT_EQ(not_answered, c.not_answered) << c.second_hour << ": a failure goes in its request's hour";
        ASSERT_FALSE(hours.empty()) << c.second_hour;
        EXPECT_EQ(hours.front().first.substr(11), "00") << c.second_hour;
        EXPECT_TRUE(r.first_time == c.first_hour + std::string(":00:00") && r.last_time < "2026-12-22") << c.second_hour << ": "
                                                                                        << r.last_time;
    }
}

// Each message the report reads, written as the server writes it, is read
// back as what it is: its kind of warning and the figure it counts.
TEST(LogReport, ReadsEachMessageAsTheServerWritesIt)
{
    using namespace msg;
    const std::string barcode("a\" not defined in database.\x01", 29); // quotes and the end text in it
    const Shown_barcode shown(barcode); // a view of it
    auto text = [](const auto& filled) {
        std::ostringstream out;
        out << filled;
        return out.str();
    };
    const std::string shown_text = text(shown), path = "/db/barcodes.ini";
    const struct {
        const char* label; // "": a line of standard error
        std::string message;
        std::string kind; // the kind of a WRN line
        unsigned long Report::*counted;
        unsigned long by;
    } cases[] = {
        {"INF", text(received_barcode(shown)), "", &Report::requests, 1},
        {"INF", text(statistics("2026-12-07 07:00:00", "received=9 answered=7; since the start ...")), "",
         &Report::statistics_lines, 1},
        {"INF", text(unknown_barcodes("2026-12-07 07:00:00", " none")), "", &Report::other_lines, 0},
        {"INF", text(refused(shown, refusal_echo)), "", &Report::refused, 1},
        {"WRN", text(barcode_not_defined(shown)), "Barcode \"*\" not defined in database.", &Report::other_lines, 0},
        {"WRN", text(no_format_specified(shown)), "No format specified for barcode '*'", &Report::other_lines, 0},
        {"WRN", text(format_not_defined(shown)), "Unknown format for barcode '*': using default.", &Report::other_lines, 0},
        {"WRN", text(answer_not_sent(1601, "10.0.0.1.9000", 10040)),
         "Answer of N bytes to N.N.N.N.N not sent: WSAGetLastError=N", &Report::unsent, 1},
        {"WRN", text(left_out(12, "2026-12-07 07:59:00", 64)),
         "Left out N log lines of received datagrams since N-N-N N:N:N: over the log's budget of N kB a second (a sender "
         "flooding the port?).",
         &Report::left_out, 12},
        {"WRN", lost_lines.text(1528, "No space left on device"), "Lost * log lines: *", &Report::lost, 1528},
        {"WRN", text(could_not_stat(path)), "Could not stat *: force reloading.", &Report::other_lines, 0},
        {"WRN", text(read_error(path)), "Read error in *: it is read again at the next request.", &Report::other_lines, 0},
        {"WRN", could_not_open.text(path + ": No such file"), "Could not open *", &Report::other_lines, 0},
        {"WRN", could_not_read.text(path + ": out of memory."), "Could not read *", &Report::other_lines, 0},
        {"WRN", no_fallback_barcode.text(shown), "Unknown barcode * and no backup barcode [] available",
         &Report::no_fallback, 1},
        {"WRN", no_fallback_format.text(shown), "Unknown format for barcode * and no backup format [] available",
         &Report::no_fallback, 1},
        {"WRN", file_not_found.text("barcodes file", path, "."), "ERROR: barcodes file \"*\" not found.",
         &Report::file_failures, 1},
        {"", no_fallback_barcode.text(shown), "", &Report::no_fallback, 1},
        {"", file_not_found.text("format file", path, ""), "", &Report::file_failures, 1},
    };
    for (const auto& c : cases) {
        Report r;
        read_log_line(r, *c.label ? "[2026-12-07 08:00:00 #1 " + std::string(c.label) + "] " + c.message : c.message);
        EXPECT_EQ(r.*c.counted, c.by) << c.message;
        EXPECT_EQ(r.other_lines, 0u) << c.message;
        // Only a request's lines tell that the level was 3: a report asked for is written at every level.
        if (std::string(c.label) == "INF") {
            EXPECT_EQ(r.has[1], c.counted == &Report::requests || c.counted == &Report::refused) << c.message;
        }
        std::vector<std::pair<std::string, unsigned long>> kinds;
        if (!c.kind.empty()) kinds.emplace_back(c.kind, 1);
        EXPECT_EQ(warnings_by_kind(r), kinds) << c.message;
        // The values too, where the report keeps them.
        if (c.message == text(barcode_not_defined(shown))) {
            ASSERT_EQ(most_asked_first(r).size(), 1u);
            EXPECT_EQ(most_asked_first(r)[0].first, shown_text);
        }
        if (c.counted == &Report::statistics_lines) {
            EXPECT_EQ(r.statistics, (std::vector<std::pair<std::string, unsigned long long>>{{"received", 9}, {"answered", 7}}));
        }
    }
}

// A refusal is a request of its hour not answered; lost lines are summed.
TEST(LogReport, RefusalsAreNotAnsweredAndLostLinesAddUp)
{
    Report r;
    read_log_line(r, "[2026-12-07 08:00:00 #1 INF] Received barcode \"L1\"");
    read_log_line(r, "[2026-12-07 08:00:00 #2 INF] " + msg::refused.text("L1", msg::refusal_over_limit));
    for (int i = 0; i < 2; ++i) read_log_line(r, "[2026-12-07 08:00:01 #3 WRN] " + msg::lost_lines.text(7, "Disk full"));
    unsigned long not_answered = 0;
    for (const auto& h : hours_in_order(r)) not_answered += h.second.not_answered;
    EXPECT_EQ(not_answered, 1u);
    EXPECT_EQ(r.lost, 14u);
}

// A flood of different unknown barcodes keeps the keys read in bounded
// memory, as it keeps the counts.
TEST(LogReport, AFloodOfUnknownBarcodesKeepsTheirKeysBounded)
{
    Report r;
    for (std::size_t i = 0; i <= 2 * tracked_unknown; ++i)
        read_log_line(r, "[2026-12-07 08:00:00 #1 WRN] Barcode \"c" + std::to_string(i) + "\" not defined in database.");
    EXPECT_LE(r.unknown_keys.size(), 2 * tracked_unknown);
    EXPECT_GT(r.unknown_keys.size(), 0u);
}

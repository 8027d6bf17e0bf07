// What a server's log files tell: the figures that ulvane_report writes as
// text, CSV, an HTML page or JSON, read line by line in bounded memory.
#ifndef ULVANE_LOG_REPORT_H
#define ULVANE_LOG_REPORT_H

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// The requests of one hour, and those of them not answered (failures are
// counted in the hour of the last request before them).
struct Hour_counts {
    unsigned long requests = 0;
    unsigned long via_gtin = 0; // answered by a form of their GTIN
    unsigned long not_answered = 0;
};

struct Seen {
    unsigned long count = 0;
    std::string first, last; // times
};

// No line the server writes is longer (a datagram of 65,507 bytes, each
// written as \xNN, is 262 kB): a longer one is read up to here.
constexpr std::size_t longest_report_line = 512 * 1024;

// Whether `time` is that of a clock that was never set: the server's own
// 0000-00-00, or the year that such a clock starts from (1970 where the
// system counts from the Unix epoch, 1980 from DOS's, 2000 from a clock
// chip's) and runs on in. A year before this program's release is no such
// time: a shop may keep the logs of the server it ran before.
bool clock_never_set(std::string_view time);

// A flood log may hold millions of different barcodes; at most twice this
// many are kept (see count_unknown).
constexpr std::size_t tracked_unknown = 20000;

// Everything read from the log files.
struct Report {
    unsigned long lines = 0, other_lines = 0;
    unsigned long cut_lines = 0; // longer than longest_report_line, read up to there
    std::vector<std::string> file_notes; // a file with no line of the server's log, or a damaged one
    std::string first_time, last_time; // last_time: the latest, lines out of order aside
    // Lines more than an hour earlier than a line before them (a clock set
    // back, a file given out of order): counted, never put in an hour.
    unsigned long out_of_order = 0;
    std::string first_out_of_order; // its time
    unsigned long first_out_of_order_line = 0; // its number among all lines read
    // Lines whose clock was wrong: a time before the server was written
    // (a dead clock battery, the server's own 0000-00-00 00:00:00), or more
    // than a day after the line before it where the next line is not. They
    // are counted and said, and put in no hour and not in the period.
    unsigned long wrong_clock = 0;
    std::string first_wrong_clock;             // its time
    unsigned long first_wrong_clock_line = 0;  // its number among all lines read
    // A line more than a day after the latest, until the next line tells
    // whether the server was off that long or the clock jumped.
    std::string ahead_time;
    unsigned long ahead_line = 0;
    bool ahead_request = false;
    bool has[4] = {}; // WRN, INF, DBG, DMP lines seen
    std::unordered_map<std::string, Hour_counts> per_hour; // "2026-12-07 08" -> its counts, each hour with a line
    std::string marked_hour; // the last one that holds a line
    std::string hour;                // the last request's
    Hour_counts* in_hour = nullptr;  // its counts in per_hour
    unsigned long requests = 0;
    unsigned long via_gtin = 0; // answered by a form of their GTIN
    unsigned long via_label = 0; // answered by the article of a scale label
    unsigned long no_fallback = 0, file_failures = 0, unsent = 0, left_out = 0;
    unsigned long refused = 0; // by the rules that end loops, after their answer was found
    unsigned long lost = 0;    // lines the server could not write (a full disk)
    std::string lost_why;      // the system's reason, the first time
    unsigned long statistics_lines = 0;
    std::vector<std::pair<std::string, unsigned long long>> statistics; // summed, in the line's order
    std::unordered_map<std::string, Seen> unknown; // by Gs1_code::unknown_key, a scale label by its key
    // The key of each unknown barcode read so far (as shown), so that none
    // is read again; emptied when it holds as many as `unknown` may.
    std::unordered_map<std::string, std::string> unknown_keys;
    std::string label_barcode, label_key; // the last scale label whose article is not listed
    unsigned long unknown_dropped = 0; // the highest count dropped; 0 while every count is exact
    std::unordered_map<std::string, unsigned long> warnings;
};

// The time of a line in the log's form ("2026-12-07 17:05:00"), empty for
// any other line. The prefix journalctl gives a line ("Dec 07 17:05:00
// host ulvane_server[812]: ", or with -o short-iso) is passed over.
std::string_view log_line_time(std::string_view line);

// Reads one line of a log file, or of standard error beside it (without
// its line end), or of the journal's output.
void read_log_line(Report& r, std::string_view line);
// Settles what the last lines left open: call it after the last line.
void end_of_log(Report& r);

// The unknown barcodes, most asked first.
std::vector<std::pair<std::string, Seen>> most_asked_first(const Report& r);

// The warnings by kind, most frequent first.
std::vector<std::pair<std::string, unsigned long>> warnings_by_kind(const Report& r);

// The hours of the period in order ("2026-12-07 08"): every hour of each
// day that holds a line and of the days between that are at most a week
// (closed days), none of a longer gap (the server off, or a log that
// jumps): so never more than 8 days' hours for a line read.
std::vector<std::pair<std::string, Hour_counts>> hours_in_order(const Report& r);

#endif

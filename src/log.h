// The server's log.
//
// The log is one sequence of lines, each opened by
//   "[" local time "%Y-%m-%d %H:%M:%S" " #" line number " " label "] "
// and ended by a line feed. Lines go to the file chosen with set_log_file, or
// to standard error while none is open, each whole in one write, so that
// other writers of the same file cannot tear it. Write lines with the
// LOG_WRN / LOG_INF / LOG_DBG / LOG_DMP macros only: they test the level
// first, so nothing of a suppressed line is evaluated and it takes no number.
//   LOG_INF("Reloading " << path);
// DBG and DMP lines start with the statement's source position, e.g.
// "src/database.cpp:123 ". Lines that cannot be written (a full disk, a
// closed pipe) are counted, and the next line that can be written is
// preceded by a WRN line saying how many were lost; a line cut by a failed
// write is ended first. Lines that received datagrams cause draw on a budget
// (see Log_budget), so that no sender can fill the disk. Single-threaded:
// nothing here takes a lock.
#ifndef ULVANE_LOG_H
#define ULVANE_LOG_H


#include <chrono>
#include <cstdint>
#include <ctime>
#include <ostream>
#include <string>
#include <string_view>

// Starts a new line with `label` and returns the stream for its message;
// log_end_line then writes the line out. Tests no level. The line counter
// wraps after 4294967295 to 0.
std::ostream& log(const char* label);
void log_end_line();

// From log_hold on, lines are held back, to be written together, in one
// write, by log_flush, which then stops holding. A busy server writes the
// lines of a whole batch of requests so.
void log_hold();
void log_flush();

// While quiet, lines are dropped, WRN lines too (they are still counted).
void set_log_quiet(bool quiet);

// What any sender on the network can make the server log, bounded: lines
// caused by received datagrams may take `burst` bytes at once and
// `bytes_per_second` after that (a site of 200 terminals scanning once a
// second is logged in full at level 3, and so are bursts of thousands of
// lines). Once the budget is spent, such lines are left out and counted
// until the budget has refilled and none was left out for a second (a flood
// has ended), or until it is whole again (a flood goes on: a burst every
// 12.5 s then keeps the operator informed). A flood thus grows the log by
// at most about 100 kB a second averaged over a minute.
class Log_budget {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::int64_t bytes_per_second = 80000;
    static constexpr std::int64_t burst = 1000000;

    // What was left out before writing resumed.
    struct Left_out {
        unsigned long lines = 0;
        Clock::time_point since{}; // when the first line was left out
    };
    // True when a line may be written at `now`; else it is counted as left
    // out. On the first line written after some were left out, `resumed`
    // tells how many and since when (else its lines are 0).
    bool allows(Clock::time_point now, Left_out& resumed);
    // Takes a written line's size from the budget.
    void spend(std::size_t bytes) { my_balance -= static_cast<std::int64_t>(bytes); }
    // True, with `resumed` set, when lines were left out and none for a
    // second by `now`: the flood is over, and counting starts afresh.
    bool flood_over(Clock::time_point now, Left_out& resumed);
    // The lines left out so far (none: 0 lines), counting afresh from here.
    void take_left_out(Left_out& resumed);

private:
    void refill(Clock::time_point now);
    bool quiet_for_a_second(Clock::time_point now) const { return now - my_last_left_out >= std::chrono::seconds(1); }

    std::int64_t my_balance = burst; // may go below 0 by the last line's size
    Clock::time_point my_refilled{};
    bool my_started = false;
    Left_out my_left_out;
    Clock::time_point my_last_left_out{};
};

// While one lives, the lines written are caused by a received datagram, or
// by the request it carries (`request` true), and draw on the log's budget;
// or they are the server's own (false: start-up, reloads, file failures,
// signals), never left out. At its end the setting before it holds again.
class Log_scope {
public:
    explicit Log_scope(bool request);
    ~Log_scope();
    Log_scope(const Log_scope&) = delete;
    Log_scope& operator=(const Log_scope&) = delete;

private:
    bool my_was;
};

// Whether a line may be written now: always for the server's own lines; for
// a request's, when the budget allows. Asking writes nothing: when writing
// resumes after lines were left out, the WRN line that says how many, since
// when and why goes out before the next line. The LOG_ macros ask before
// anything of a line is built.
bool log_line_allowed();

// The same for a line of `bytes` that goes to another stream than the log
// (a failure message on standard error, a socket error line on standard
// output): when a request's line is allowed, its size is taken from the
// budget too, so that no stream escapes it.
bool stream_line_allowed(std::size_t bytes);

// Writes the WRN line on what was left out as soon as a flood is over (a
// second without lines left out), so that the log never looks complete
// without it for long. The request loop calls it at every turn.
void log_note_flood_over();

// Writes that WRN line now for the lines left out so far, the flood over or
// not: at the stop, so that the log's last lines say what they miss.
void log_note_left_out();

// How many WRN lines were started so far.
unsigned long log_warnings();

// How many lines of received datagrams were left out so far, over the
// log's budget.
unsigned long log_lines_left_out();

// "2026-12-07 17:05:00" in local time, as log lines begin; zeros when it
// cannot be converted.
void local_time_text(std::time_t time, char (&text)[80]);

// The current level, 0 to 5 (3 at start).
unsigned get_log_level();

// Stores `level`, or 5 when it is larger. Logs nothing.
void set_log_level(unsigned level);

// Closes the current log file, then opens `filename` for appending, or, when
// that fails, for writing from empty. When both fail the log goes to
// standard error, starting with a WRN line that names the file and the
// reason.
void set_log_file(std::string filename);

// Closes the log file, if any: the log goes to standard error again.
void close_log_file();
// A log file that reaches `bytes` is rotated: FILE.1 becomes FILE.2 and so
// on up to FILE.`keep` (the oldest goes), FILE becomes FILE.1, and a new
// FILE begins with an INF line that says so; with `keep` 0 the full file
// is dropped. `bytes` 0: never rotated. A rotation that fails (on Windows,
// another program holds a file without letting it be renamed) is said in
// a WRN line, and tried again once the file grew by another eighth of
// `bytes`. By default 10 MiB and 5 files: a log never takes more than
// 60 MiB, whatever floods the server.
struct Log_rotation {
    std::uint64_t bytes = 10 * 1024 * 1024;
    unsigned keep = 5;
};
void set_log_rotation(const Log_rotation& rotation);

// Opens the log file again by its name, as a file rotated away asks for, and
// says so with an INF line in the new file. Nothing while the log goes to
// standard error.
void reopen_log_file();

// True while the log goes to a file rather than to standard error.
bool log_goes_to_file();

// A failure message (a lookup's, a load's): to standard error, after the
// log lines before it, and into the log file when there is one. A
// request's draws on the log's budget.
void report_failure(const std::string& message);

#define LOG_WRN(message)                                                   \
    do {                                                                   \
        if (log_line_allowed()) {                                          \
            log("WRN") << message;                                         \
            log_end_line();                                                \
        }                                                                  \
    } while (0)

#define LOG_INF(message)                                                   \
    do {                                                                   \
        if (get_log_level() > 2 && log_line_allowed()) {                   \
            log("INF") << message;                                         \
            log_end_line();                                                \
        }                                                                  \
    } while (0)

#define LOG_DBG(message)                                                   \
    do {                                                                   \
        if (get_log_level() > 3 && log_line_allowed()) {                   \
            log("DBG") << __FILE__ ":" << __LINE__ << ' ' << message;      \
            log_end_line();                                                \
        }                                                                  \
    } while (0)

#define LOG_DMP(message)                                                   \
    do {                                                                   \
        if (get_log_level() > 4 && log_line_allowed()) {                   \
            log("DMP") << __FILE__ ":" << __LINE__ << ' ' << message;      \
            log_end_line();                                                \
        }                                                                  \
    } while (0)

#endif

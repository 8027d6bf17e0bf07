// The server's log and the conversion between raw bytes and escaped text.
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
// write is ended first. Single-threaded: nothing here takes a lock.
#ifndef ULVANE_MISC_H
#define ULVANE_MISC_H

#include <ostream>
#include <string>

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

// How many WRN lines were started so far.
unsigned long log_warnings();

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

// Opens the log file again by its name, as a file rotated away asks for, and
// says so with an INF line in the new file. Nothing while the log goes to
// standard error.
void reopen_log_file();

// True while the log goes to a file rather than to standard error.
bool log_goes_to_file();

#define LOG_WRN(message)                                                   \
    do {                                                                   \
        log("WRN") << message;                                             \
        log_end_line();                                                    \
    } while (0)

#define LOG_INF(message)                                                   \
    do {                                                                   \
        if (get_log_level() > 2) {                                         \
            log("INF") << message;                                         \
            log_end_line();                                                \
        }                                                                  \
    } while (0)

#define LOG_DBG(message)                                                   \
    do {                                                                   \
        if (get_log_level() > 3) {                                         \
            log("DBG") << __FILE__ ":" << __LINE__ << ' ' << message;      \
            log_end_line();                                                \
        }                                                                  \
    } while (0)

#define LOG_DMP(message)                                                   \
    do {                                                                   \
        if (get_log_level() > 4) {                                         \
            log("DMP") << __FILE__ ":" << __LINE__ << ' ' << message;      \
            log_end_line();                                                \
        }                                                                  \
    } while (0)

// Turns escaped text into the bytes it stands for: \n \r \t \e(0x1b) \\ \#
// \$ \[ \] and \x with up to two hexadecimal digits (either case). Reading of
// the digits stops at the first non-digit, but both characters after the x
// are consumed all the same; with no digit at all (\xG1, or \x at the very
// end) the escape yields the byte 0x00. A backslash before any other
// character, or at the end, stays as written.
std::string text_to_bytes(std::string line);

// Writes bytes as text that holds only bytes 0x20..0x7f: \t \n \r, \e for
// 0x1d, \\ \# \$ \[ \], \xNN (lower case) for other control bytes and for
// 0x80..0xff; everything else as itself.
std::string bytes_to_text(std::string txt);

// Writes bytes as a format in formats.ini would be written to give them: as
// bytes_to_text does, but ESC (0x1b) as \e and the byte 0x1d as \x1d, since
// text_to_bytes reads \e as ESC.
std::string bytes_to_format_text(const std::string& bytes);

// For bytes received from the network on their way into a log line or an
// error message: control bytes 0x00..0x1f, DEL 0x7f and every byte from 0x80
// up (8-bit controls such as 0x9b drive terminals too) are written as
// bytes_to_text writes them; every other byte stays as it is, so ordinary
// barcodes read unchanged.
std::string escape_control_bytes(const std::string& bytes);

#endif

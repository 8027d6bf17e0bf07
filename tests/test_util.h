// Helpers shared by the tests: temporary directories, files, the log, and
// running the built programs.
#ifndef ULVANE_TEST_UTIL_H
#define ULVANE_TEST_UTIL_H

#include <functional>
#include <string>
#include <vector>

// A fresh directory under /tmp, removed with everything in it at the end.
class Temp_dir {
public:
    Temp_dir();
    ~Temp_dir();
    Temp_dir(const Temp_dir&) = delete;
    Temp_dir& operator=(const Temp_dir&) = delete;
    const std::string& path() const { return my_path; }
    std::string file(const std::string& name) const { return my_path + "/" + name; }

private:
    std::string my_path;
};

// Asks `done` every `step_ms` until it says true or `ms` have passed;
// returns its last answer. Tests wait for the thing itself, never for a
// fixed time that may end too soon.
bool wait_until(const std::function<bool()>& done, int ms, int step_ms = 10);

void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
std::vector<std::string> split_lines(const std::string& text);

// Sets a file's last-write time to `seconds` + `nanoseconds` since the epoch.
void set_write_time(const std::string& path, long seconds, long nanoseconds = 0);

// Renames `from` over `to`, which may exist (as Windows' rename will not);
// false on failure.
bool rename_over(const std::string& from, const std::string& to);

// Sends the log to a temporary file while it lives; lines() gives the lines
// written so far, each as "LABEL message" (time stamp and number removed).
class Log_capture {
public:
    Log_capture();
    ~Log_capture();
    std::vector<std::string> lines() const;
    const std::string& path() const { return my_dir.path(); }

private:
    Temp_dir my_dir;
};

// Turns the raw log text into lines of the form "LABEL message".
std::vector<std::string> log_messages(const std::string& log_text);

// Such a line without the source position of a DBG or DMP line
// ("DBG src/log.cpp:12 text" -> "DBG text"): which statement wrote it is no
// matter of the log's readers.
std::string without_source_position(std::string line);

// Standard output and error of a program under test, with the line ends a
// Windows program writes ("\r\n") made "\n" when the tests run the Windows
// build (ULVANE_WINDOWS_BUILD); as they are otherwise.
std::string unix_lines(std::string text);

// The platform's codes for a datagram too long and an address in use.
#ifdef ULVANE_WINDOWS_BUILD
const int message_too_long = 10040; // WSAEMSGSIZE
const int address_in_use = 10048;   // WSAEADDRINUSE
#else
const int message_too_long = 90; // EMSGSIZE
const int address_in_use = 98;   // EADDRINUSE
#endif

struct Run_result {
    int status = 0;   // exit status, or 128 + signal
    std::string out;  // standard output
    std::string err;  // standard error
};

// In a forked child: replaces the process with the program argv[0] (a path),
// with no open file but the standard streams, or ends it with status 127.
[[noreturn]] void exec_program(const std::vector<std::string>& argv);

// Runs a program with arguments (argv[0] included), waits at most
// timeout_seconds (then kills it; status 137).
Run_result run_program(const std::vector<std::string>& argv, int timeout_seconds = 20,
                       const std::string& working_dir = "");

#endif

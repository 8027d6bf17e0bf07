// The thin layer between the programs and their operating system: the standard streams, the operator's signals, the service manager and the process itself.
// Nothing else in the programs calls the system for these; one
// implementation file per platform (platform_posix.cpp, platform_windows.cpp)
// provides the whole layer: platform_network.h, platform_files.h and
// platform_process.h.
// A call that can fail says so as error.h tells.
#ifndef ULVANE_PLATFORM_PROCESS_H
#define ULVANE_PLATFORM_PROCESS_H

#include <functional>
#include <cstdint>
#include <string>
#include <vector>

#include "error.h"

// Prepares the standard streams before anything is opened or written: any of
// standard input, output and error that is closed is opened on the null
// device (else the log file would take its place), and a write to a closed
// pipe fails instead of ending the process.
void protect_standard_streams();

// Makes every line written to standard output or standard error leave when
// the call that writes it returns, also when the stream is a file or a pipe
// (which Windows buffers until exit, and Linux buffers for standard output):
// standard error unbuffered, standard output flushed at each line where the
// platform can, else unbuffered. Every program calls it first.
void unbuffer_standard_streams();

// Makes standard output write bytes as they are given (Windows would turn
// each line feed into a carriage return and line feed).
void binary_standard_output();

// The operator's signals, as flags that the request loop looks at between
// batches: a stop (SIGTERM and SIGINT; on Windows Ctrl-C and closing the
// console), a reopening of the log file (SIGHUP; on Windows the service
// control PARAMCHANGE) and a statistics report (SIGUSR1; on Windows the
// service control service_control_statistics). A signal ends a wait for
// datagrams at once (udp_receive_batch returns 0); one that comes just
// before the wait ends it within a second.
void watch_operator_signals();
bool stop_requested();
bool reopen_requested();     // true once for each signal
bool statistics_requested(); // true once for each signal

// Tells the system's service manager, when the program runs as a service
// (see run_as_service), that it now serves. Nothing otherwise.
void report_serving();

// The Windows service manager (Windows only).
struct Service_config {
    std::string name;         // "ulvane_server"
    std::string display_name; // in the Services console
    std::string description;
    std::string command_line; // the program and its arguments, quoted
    std::string readable_dir; // the database directory: the account may read it
    std::string writable_dir; // the log's directory: the account may write there
};
// Registers an automatically started service that the manager restarts 10
// seconds after a failure (a crash, or a stop with an error code such as a
// start without its database), `service_restarts` times, then leaves
// stopped. It runs as the account NT AUTHORITY\LocalService, which has few
// rights, with no privilege but the one every process needs, and may read
// readable_dir and write in writable_dir (and what they hold). Where the
// system cannot limit the privileges, have a failed start retried or grant
// the access (Wine), `warning` says so and the service stays registered.
// Nothing stays registered when any other part fails.
const unsigned service_restarts = 30; // about 5 minutes of tries
bool service_register(const Service_config& config, std::string& warning, Error& error);
// Stops the service if it runs (waiting for it to stop), then removes it,
// waiting until the manager has let go of it (up to 30 s).
bool service_remove(const std::string& name, Error& error);
// Whether a service of that name is registered.
bool service_is_registered(const std::string& name);
// Starts the service and waits (up to 30 s) until it serves; false when it
// stopped instead or did not answer, with its exit codes in `error`.
bool service_start(const std::string& name, Error& error);
// Windows Defender Firewall's inbound rule `name`, admitting UDP datagrams
// to `port` of `program` from `remote` (netsh's remoteip: localsubnet, any,
// or addresses and networks, comma-separated), made with netsh; any rule of
// that name goes first, so that it is never doubled and a new port or
// remote replaces the old. `command` is the netsh command that made it.
bool firewall_rule_set(const std::string& name, const std::string& program, std::uint16_t port,
                       const std::string& remote, std::string& command, Error& error);
// Removes every rule named `name`, if any.
bool firewall_rule_remove(const std::string& name, Error& error);
// Asks the running service to reopen its log file (the control
// PARAMCHANGE) or to write its statistics (service_control_statistics).
enum class Service_request { reopen_log, write_statistics };
const unsigned service_control_statistics = 128; // the first user-defined control
bool service_ask(const std::string& name, Service_request request, Error& error);
// When the service manager started this process: runs `serve` as the
// service `name`, reporting it starting, then stopped with serve's result
// (0, or a service-specific code of failure); the stop and shutdown
// controls come as stop_requested(), PARAMCHANGE as reopen_requested(),
// service_control_statistics as statistics_requested().
// Returns false at once when the process was not started so.
bool run_as_service(const char* name, std::function<int()> serve);
// Writes an error where an administrator looks first: the Application event
// log, with `source` as its source.
void report_to_system_log(const std::string& source, const std::string& message);
// This program's own file.
std::string program_path();

// Whether the program's arguments reached it whole. On Windows a program
// gets them in its code page: UTF-8 where Windows honours the program's
// manifest (Windows 10 version 1903 on), else the system's ANSI code page,
// which turns a character it lacks into a look-alike ("Łódź" into "Lodz"),
// so that a path names another directory. False then, with `error` saying
// which argument; always true on POSIX.
bool arguments_arrived_whole(Error& error);
#ifdef _WIN32
// The index of the first of `arguments` that `code_page` cannot carry
// whole, or -1: what arguments_arrived_whole asks of the command line.
int first_argument_not_whole(unsigned code_page, const std::vector<std::wstring>& arguments);
#endif
// This process's id, as the system's tools show it.
unsigned long process_id();

#endif

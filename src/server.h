// The program: its command line and start-up; the serving itself is in
// request_loop.h.
#ifndef ULVANE_SERVER_H
#define ULVANE_SERVER_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "log.h"

// The whole program; main() only hands over to it. Returns the exit status:
// 0 after the help text and after a stop that the operator asked for
// (SIGTERM, SIGINT, Ctrl-C); -1 when the socket layer cannot start, for an
// unknown option, when the first database load fails and when the port
// cannot be bound. Otherwise it serves; SIGHUP reopens the log file (on
// Windows, the service control PARAMCHANGE). When it returns -1, `failure`
// (if given) tells why, for a caller that must tell (the Windows service).
// The server's options that take a value, which ulvane_service passes on.
namespace server_option {
constexpr char port[] = "-p=", db_dir[] = "-db=", log_file[] = "-log=", level[] = "-l=", stats_file[] = "-stats=",
               log_size[] = "-logsize=", log_files[] = "-logfiles=", allow[] = "-allow=",
               listen[] = "-listen=";
}

// Whether `argument` is -logsize= (MiB, up to 1048576) or -logfiles= (up to
// 99): then it is taken into `rotation`, or `refused` says why not
// ("-logsize= takes a whole number from 0 to 1048576, not \"10M\""). Whole
// numbers alone: a slip of the finger must not lift the cap on the log.
bool read_log_rotation(const std::string& argument, Log_rotation& rotation, std::string& refused);

// Reads -listen='s comma-separated IPv4 addresses into `addresses` (each
// once); "any", an empty list or 0.0.0.0 among them means every address
// (an empty vector). False, with `error` naming the entry, for one that is no
// address, and for more than 64.
bool read_listen_addresses(std::string_view list, std::vector<std::uint32_t>& addresses, Error& error);

// Whether the server's paths fit what the system's file calls take (see
// path_fits): the database directory with its files' names, the log file
// with a rotated file's number, the metrics file with its temporary name's
// suffix. False, with `error` saying which and why, when one does not: the
// server refuses it at the start rather than find the file missing later.
bool server_paths_fit(const std::string& db_dir, const std::string& log_file, const std::string& stats_file,
                      Error& error);

enum class Start_failure { none = 0, socket_layer = 1, option = 2, database = 3, port = 4, log = 5 };
int server_main(int argc, char** argv, Start_failure* failure = nullptr);

#endif

// The program: its command line and start-up; the serving itself is in
// request_loop.h.
#ifndef ULVANE_SERVER_H
#define ULVANE_SERVER_H

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
               log_size[] = "-logsize=", log_files[] = "-logfiles=";
// The largest values of -logsize= (MiB) and -logfiles=.
constexpr int log_size_most = 1048576, log_files_most = 99;
}

enum class Start_failure { none = 0, socket_layer = 1, option = 2, database = 3, port = 4, log = 5 };
int server_main(int argc, char** argv, Start_failure* failure = nullptr);

#endif

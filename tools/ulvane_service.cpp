// ulvane_service: the server as a Windows service, with the server's own
// command line untouched.
//
//   ulvane_service install [-p=nnnnn] [-db=dir] [-log=file] [-l=n] [-stats=file]
//   ulvane_service remove
//   ulvane_service reopen
//   ulvane_service stats
//   ulvane_service setup -examples=dir [install's options]   (the installer's step)
//
// Started by the service manager, it runs the server with the options it
// was registered with; the stop and shutdown controls end it between
// batches as Ctrl-C does. Statuses: 0 done, 1 refused (the reason on
// standard error), 2 wrong usage or not started as a service.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "database.h"
#include "platform_files.h"
#include "platform_process.h"
#include "version.h"
#include "server.h"

namespace {

const char* const service_name = "ulvane_server";

std::vector<std::string> the_server_arguments; // as registered

void usage()
{
    std::cerr << "usage: ulvane_service install [-p=nnnnn] [-db=dir] [-log=file] [-l=n] [-stats=file]\n"
                 "       ulvane_service remove\n"
                 "       ulvane_service reopen\n"
                 "       ulvane_service stats\n"
                 "       ulvane_service setup -examples=dir [install's options]\n"
                 "       ulvane_service -version\n"
                 "Installs the barcode server as the Windows service "
              << service_name
              << ", which the service manager then starts (sc start " << service_name
              << ", or the Services console).\n(ulvane_service " << ulvane_version << ")" << std::endl;
}

bool starts_with(const std::string& text, const char* prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// One argument of a command line, quoted; a trailing backslash would quote
// the closing quote, so a directory keeps none.
std::string quoted(std::string argument)
{
    if (argument.size() > 1 && argument.back() == '\\') argument += '.';
    return "\"" + argument + "\"";
}

// The directory a full file path names.
std::string directory_of(const std::string& path)
{
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? "." : path.substr(0, slash == 2 && path[1] == ':' ? 3 : slash);
}

// The options install takes, as given.
struct Service_options {
    std::string port, db_dir = ".", log_file, level, stats_file;
};

// Reads install's options; false, after the usage, for an unknown one.
bool read_options(const std::vector<std::string>& options, Service_options& o)
{
    for (const std::string& option : options) {
        if (starts_with(option, "-p="))
            o.port = option;
        else if (starts_with(option, "-db="))
            o.db_dir = option.substr(4);
        else if (starts_with(option, "-log="))
            o.log_file = option.substr(5);
        else if (starts_with(option, "-l="))
            o.level = option;
        else if (starts_with(option, "-stats="))
            o.stats_file = option.substr(7);
        else {
            std::cerr << "ulvane_service: unknown option \"" << option << "\"" << std::endl;
            usage();
            return false;
        }
    }
    return true;
}

// Makes the paths full, as a service that starts in the system directory
// needs them, and checks them; false, said why, when the service could not
// serve with them.
bool settle_paths(Service_options& o)
{
    o.db_dir = full_path(o.db_dir.empty() ? "." : o.db_dir);
    if (!is_directory(o.db_dir)) {
        std::cerr << "ulvane_service: the database directory " << o.db_dir << " does not exist" << std::endl;
        return false;
    }
    // Without a console, the log goes to a file beside the database. A
    // service has no standard error to fall back on: a log that cannot be
    // written would leave no trace at all.
    o.log_file = full_path(o.log_file.empty() ? o.db_dir + "\\..\\ulvane_server.log" : o.log_file);
    std::FILE* log = std::fopen(o.log_file.c_str(), "ab");
    if (log == nullptr) {
        std::cerr << "ulvane_service: the log file " << o.log_file << " cannot be written: " << std::strerror(errno)
                  << std::endl;
        return false;
    }
    std::fclose(log);
    // The metrics file's directory may come later (with the exporter that
    // reads it): the server writes the file once it can.
    if (!o.stats_file.empty()) {
        o.stats_file = full_path(o.stats_file);
        if (!is_directory(directory_of(o.stats_file)))
            std::cerr << "ulvane_service: warning: the directory of the metrics file " << o.stats_file
                      << " does not exist (yet): the server writes the file once it does" << std::endl;
    }
    return true;
}

int install(const std::vector<std::string>& options)
{
    Service_options o;
    if (!read_options(options, o)) return 2;
    if (!settle_paths(o)) return 1;
    std::string command_line = quoted(program_path());
    for (const std::string& argument :
         {o.port, "-db=" + o.db_dir, "-log=" + o.log_file, o.level, o.stats_file.empty() ? "" : "-stats=" + o.stats_file})
        if (!argument.empty()) command_line += " " + quoted(argument);
    std::string warning, why;
    if (!service_register({service_name, "Ulvane barcode server",
                           "Answers the barcodes that ulvane terminals scan, from the database in " + o.db_dir +
                               " (UDP).",
                           command_line, o.db_dir, directory_of(o.log_file)},
                          warning, why)) {
        std::cerr << "ulvane_service: " << why << std::endl;
        return 1;
    }
    if (!warning.empty()) std::cerr << "ulvane_service: warning: " << warning << std::endl;
    std::cout << "Registered the service " << service_name << " (automatic start, restarted 10 s after a failure, twice):"
              << std::endl
              << "  " << command_line << std::endl
              << "Start it now with: sc start " << service_name << std::endl;
    return 0;
}

// Where the installer's step keeps the options it registered the service
// with, one a line: an upgrade may remove the old version's service with it
// (Wine's installer does), and the new one is then registered as it was.
std::string remembered_options_path()
{
    const char* data = std::getenv("ProgramData");
    return std::string(data != nullptr ? data : "C:\\ProgramData") + "\\ulvane\\service.options";
}

// The installer's step (msiexec runs it as LocalSystem). The options are
// the ones given, else those remembered from the last setup, else the
// defaults (the database in ProgramData\ulvane\db); an empty one counts
// as not given, since the installer passes every property. The database
// directory is made and the example database copied into it when it holds
// neither file (never over a database); the service is registered as
// install does, unless it is registered already (an upgrade keeps it), and
// the options are remembered. The installer then starts it.
int setup(const std::vector<std::string>& given)
{
    std::vector<std::string> options;
    std::ifstream remembered(remembered_options_path());
    for (std::string line; std::getline(remembered, line);)
        if (!line.empty()) options.push_back(line);
    std::string examples;
    for (const std::string& option : given) {
        const std::size_t eq = option.find('=');
        if (starts_with(option, "-examples=")) examples = full_path(option.substr(10));
        if (starts_with(option, "-examples=") || eq == std::string::npos || eq + 1 == option.size()) continue;
        options.erase(std::remove_if(options.begin(), options.end(),
                                     [&](const std::string& o) { return o.compare(0, eq + 1, option, 0, eq + 1) == 0; }),
                      options.end());
        options.push_back(option);
    }
    if (examples.empty()) {
        usage();
        return 2;
    }
    auto db = std::find_if(options.begin(), options.end(), [](const std::string& o) { return starts_with(o, "-db="); });
    const std::string base = directory_of(remembered_options_path());
    const std::string db_dir = full_path(db != options.end() ? db->substr(4) : base + "\\db");
    if (db != options.end()) options.erase(db);
    options.push_back("-db=" + db_dir);

    std::error_code error;
    std::filesystem::create_directories(db_dir, error);
    if (!std::filesystem::exists(db_dir + "\\" + database_files[0]) &&
        !std::filesystem::exists(db_dir + "\\" + database_files[1])) {
        for (const char* file : database_files) {
            if (!std::filesystem::copy_file(examples + "\\" + file, db_dir + "\\" + file, error)) {
                std::cerr << "ulvane_service: cannot copy the example " << file << " into " << db_dir << ": "
                          << error.message() << std::endl;
                return 1;
            }
        }
        std::cout << "Copied the example database into " << db_dir << std::endl;
    }
    if (service_is_registered(service_name)) {
        std::cout << "The service " << service_name << " is registered already: its options are kept." << std::endl;
        return 0;
    }
    const int status = install(options);
    if (status != 0) return status;
    std::filesystem::create_directories(base, error);
    std::ofstream remember(remembered_options_path(), std::ios::trunc);
    for (const std::string& option : options) remember << option << '\n';
    return 0;
}

// The service's work: the server itself, with the registered options. A
// service has no standard error: a log file it cannot write ends the start,
// said in the Application event log.
int serve()
{
    for (const std::string& argument : the_server_arguments) {
        if (!starts_with(argument, "-log=")) continue;
        std::FILE* log = std::fopen(argument.c_str() + 5, "ab");
        if (log == nullptr) {
            report_to_system_log(service_name, "The service " + std::string(service_name) + " cannot write its log file " +
                                                   argument.substr(5) + ": " + std::strerror(errno) + ". Not started.");
            return static_cast<int>(Start_failure::log);
        }
        std::fclose(log);
    }
    std::vector<char*> argv;
    for (std::string& argument : the_server_arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    Start_failure failure = Start_failure::none;
    const int status = server_main(static_cast<int>(argv.size()) - 1, argv.data(), &failure);
    return status == 0 ? 0 : static_cast<int>(failure);
}

} // namespace

int main(int argc, char** argv)
{
    unbuffer_standard_streams();
    if (version_asked(argc, argv, "ulvane_service")) return 0;
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "install") return install(std::vector<std::string>(argv + 2, argv + argc));
    if (command == "setup") return setup(std::vector<std::string>(argv + 2, argv + argc));
    if (command == "remove" || command == "reopen" || command == "stats") {
        if (argc > 2) {
            usage();
            return 2;
        }
        std::string why;
        const bool done = command == "remove"   ? service_remove(service_name, why)
                          : command == "reopen" ? service_ask(service_name, Service_request::reopen_log, why)
                                                : service_ask(service_name, Service_request::write_statistics, why);
        if (!done) {
            std::cerr << "ulvane_service: " << why << std::endl;
            return 1;
        }
        std::cout << (command == "remove"   ? "Removed the service "
                      : command == "reopen" ? "Asked the service to reopen its log: "
                                            : "Asked the service to write its statistics to its log: ")
                  << service_name << std::endl;
        return 0;
    }
    // Otherwise the service manager started it, with the registered options.
    the_server_arguments.assign(argv, argv + argc);
    if (run_as_service(service_name, serve)) return 0;
    std::cerr << "ulvane_service: not started by the service manager." << std::endl;
    usage();
    return 2;
}

// ulvane_service: the server as a Windows service, with the server's own
// command line untouched.
//
//   ulvane_service install [-p=nnnnn] [-db=dir] [-log=file] [-l=n] [-stats=file] [-logsize=MiB] [-logfiles=n]
//                          [-listen=addresses] [-allow=networks]
//   ulvane_service remove
//   ulvane_service reopen
//   ulvane_service stats
//   ulvane_service setup -examples=dir [install's options]   (the installer's step)
//   ulvane_service undo-setup                                (its rollback)
//   ulvane_service setup-done                                (its commit)
//
// install also makes Windows Defender Firewall's inbound rule for the port
// (from -allow='s networks; without it from the local subnet, "any" from
// everywhere), and remove removes it. Started by the service manager, it
// runs the server with the options it was registered with; the stop and shutdown controls end it between
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
#include <iterator>
#include <string>
#include <vector>

#include "command_line.h"
#include "database.h"
#include "platform_files.h"
#include "platform_process.h"
#include "version.h"
#include "sender_rules.h"
#include "server.h"

namespace {

const char* const service_name = "ulvane_server";

void usage()
{
    std::cerr << "usage: ulvane_service install [-p=nnnnn] [-db=dir] [-log=file] [-l=n] [-stats=file]\n"
                 "                              [-logsize=MiB] [-logfiles=n] [-listen=addresses] [-allow=networks]\n"
                 "       ulvane_service remove\n"
                 "       ulvane_service reopen\n"
                 "       ulvane_service stats\n"
                 "       ulvane_service setup -examples=dir [install's options]\n"
                 "       ulvane_service undo-setup | setup-done\n"
                 "       ulvane_service -version\n"
                 "Installs the barcode server as the Windows service "
              << service_name
              << ", which the service manager then starts (sc start " << service_name
              << ", or the Services console).\n(ulvane_service " << ulvane_version << ")" << std::endl;
}

// A path of ours as the file system library takes it: our strings are
// UTF-8 (each program's manifest asks Windows for that code page).
std::filesystem::path path_of(const std::string& text)
{
    return std::filesystem::u8path(text);
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
    std::string port, db_dir = ".", log_file, level, stats_file, log_size, log_files, listen, allow;
    bool log_made = false; // settle_paths made the log file
};

// A port a terminal can reach: a number from 1 to 65535, digits alone (the
// server itself reads "-p=" as atoi does, so "abc" would be 0, and 70000
// would be 4464).
bool is_port(const std::string& text)
{
    int port = 0;
    return whole_number(text, 1, 65535, port);
}

// Reads install's options; false, after the usage, for an unknown one or a
// port no terminal could reach.
bool read_options(const std::vector<std::string>& options, Service_options& o)
{
    Log_rotation rotation; // checked here, passed on as given
    for (const std::string& option : options) {
        std::string value, refused;
        if (option_value(option, server_option::port, value)) {
            if (!is_port(value)) {
                std::cerr << "ulvane_service: the port \"" << value << "\" is not a number from 1 to 65535" << std::endl;
                return false;
            }
            o.port = option;
        } else if (option_value(option, server_option::level, value)) {
            o.level = option;
        } else if (read_log_rotation(option, rotation, refused)) {
            if (!refused.empty()) {
                std::cerr << "ulvane_service: " << refused << std::endl;
                return false;
            }
            (option_value(option, server_option::log_size, value) ? o.log_size : o.log_files) = option;
        } else if (option_value(option, server_option::listen, value) ||
                   option_value(option, server_option::allow, value)) {
            // Checked as the server checks them: a refusal here keeps a
            // service that would not start from being registered.
            const bool listen = option_value(option, server_option::listen, value);
            std::vector<std::uint32_t> addresses;
            Allowed_senders allowed;
            Error error;
            if (listen ? !read_listen_addresses(value, addresses, error) : !allowed.read(value, error)) {
                std::cerr << "ulvane_service: " << (listen ? server_option::listen : server_option::allow) << ": "
                          << error.text << std::endl;
                return false;
            }
            (listen ? o.listen : o.allow) = value.empty() ? "" : option;
        } else if (!option_value(option, server_option::db_dir, o.db_dir) &&
                   !option_value(option, server_option::log_file, o.log_file) &&
                   !option_value(option, server_option::stats_file, o.stats_file)) {
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
    // Without a console, the log goes to a file beside the database.
    o.log_file = full_path(o.log_file.empty() ? o.db_dir + "\\..\\ulvane_server.log" : o.log_file);
    if (!o.stats_file.empty()) o.stats_file = full_path(o.stats_file);
    Error too_long;
    if (!server_paths_fit(o.db_dir, o.log_file, o.stats_file, too_long)) {
        std::cerr << "ulvane_service: the path " << too_long.text << std::endl;
        return false;
    }
    if (!is_directory(o.db_dir)) {
        std::cerr << "ulvane_service: the database directory " << o.db_dir << " does not exist" << std::endl;
        return false;
    }
    // A service has no standard error to fall back on: a log that cannot be
    // written would leave no trace at all.
    o.log_made = !std::filesystem::exists(path_of(o.log_file));
    std::FILE* log = std::fopen(o.log_file.c_str(), "ab");
    if (log == nullptr) {
        std::cerr << "ulvane_service: " << errno_error("the log file " + o.log_file + " cannot be written").text
                  << std::endl;
        return false;
    }
    std::fclose(log);
    // The metrics file's directory may come later (with the exporter that
    // reads it): the server writes the file once it can.
    if (!o.stats_file.empty()) {
        if (!is_directory(directory_of(o.stats_file)))
            std::cerr << "ulvane_service: warning: the directory of the metrics file " << o.stats_file
                      << " does not exist (yet): the server writes the file once it does" << std::endl;
    }
    return true;
}

// Where the installer's step keeps its state: ProgramData\ulvane.
std::string state_dir();
// Where the firewall rule that install made is noted: the netsh command
// that made it, for an administrator (and a test) to see.
std::string firewall_record_path();

// Makes the firewall rule for the service's port from the networks of
// -allow= (without them, the local subnet); a rule the system refuses is a
// warning, with what to run by hand: the service serves all the same where
// no firewall stands in the way.
void make_firewall_rule(const Service_options& o)
{
    std::string port = "9000", allow;
    option_value(o.port, server_option::port, port);
    option_value(o.allow, server_option::allow, allow);
    const std::string remote = allow.empty() ? "localsubnet" : allow;
    std::string command;
    Error why;
    if (!firewall_rule_set(service_name, program_path(), static_cast<std::uint16_t>(std::stoi(port)), remote, command,
                           why)) {
        std::cerr << "ulvane_service: warning: the firewall rule for UDP port " << port << " cannot be made ("
                  << why.text << "): terminals may get no answer. Make it with: netsh " << command << std::endl;
        return;
    }
    std::filesystem::create_directories(path_of(state_dir()));
    std::ofstream(path_of(firewall_record_path())) << "netsh " << command << "\n";
    std::cout << "Made the firewall rule " << service_name << " (UDP port " << port << ", from " << remote << ")."
              << std::endl;
}

// Removes the service's firewall rule, and its note.
void remove_firewall_rule()
{
    Error why;
    if (!firewall_rule_remove(service_name, why)) std::cerr << "ulvane_service: warning: " << why.text << std::endl;
    std::error_code error;
    std::filesystem::remove(path_of(firewall_record_path()), error);
}

int install(const std::vector<std::string>& options)
{
    Service_options o;
    if (!read_options(options, o)) return 2;
    if (!settle_paths(o)) return 1;
    std::string command_line = quoted(program_path());
    for (const std::string& argument :
         {o.port, server_option::db_dir + o.db_dir, server_option::log_file + o.log_file, o.level,
          o.stats_file.empty() ? "" : server_option::stats_file + o.stats_file, o.log_size, o.log_files, o.listen,
          o.allow})
        if (!argument.empty()) command_line += " " + quoted(argument);
    std::string warning;
    Error why;
    if (!service_register({service_name, "Ulvane barcode server",
                           "Answers the barcodes that ulvane terminals scan, from the database in " + o.db_dir +
                               " (UDP).",
                           command_line, o.db_dir, directory_of(o.log_file)},
                          warning, why)) {
        std::cerr << "ulvane_service: " << why.text << std::endl;
        return 1;
    }
    if (!warning.empty()) std::cerr << "ulvane_service: warning: " << warning << std::endl;
    make_firewall_rule(o);
    std::cout << "Registered the service " << service_name << " (automatic start, restarted 10 s after a failure, "
              << service_restarts << " times):"
              << std::endl
              << "  " << command_line << std::endl
              << "Start it now with: sc start " << service_name << std::endl;
    return 0;
}

// Where the installer's step keeps its state: ProgramData\ulvane.
std::string state_dir()
{
    const char* data = std::getenv("ProgramData");
    return std::string(data != nullptr ? data : "C:\\ProgramData") + "\\ulvane";
}

std::string firewall_record_path()
{
    return state_dir() + "\\firewall.rule";
}

// The options the service was last set up with, one a line: an upgrade or
// a re-run that gives no property keeps them.
std::string remembered_options_path()
{
    return state_dir() + "\\service.options";
}

// What the last setup changed, for undo-setup: written before each change,
// removed by setup-done once the installation is through.
//   options=LINE      a line of the options remembered before it (each)
//   no-options        there were none
//   service           the service was registered before it
//   made=DIR          a directory it made
//   copied=FILE       an example file it copied
//   log=FILE          a log file it made
std::string undo_record_path()
{
    return state_dir() + "\\setup.undo";
}

// Remembers the options the service is set up with, one a line.
void remember_options(const std::vector<std::string>& options)
{
    std::ofstream remember(path_of(remembered_options_path()), std::ios::trunc);
    for (const std::string& option : options) remember << option << '\n';
}

std::vector<std::string> lines_of(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path_of(path));
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// Appends one entry to the undo record, at once on disk: a setup that dies
// halfway is undone as far as it went.
void record(const std::string& entry)
{
    std::ofstream(path_of(undo_record_path()), std::ios::app) << entry << '\n';
}

// Makes the directory and those above it that are missing, recording each.
void make_directories(const std::string& dir)
{
    std::vector<std::filesystem::path> missing;
    for (std::filesystem::path p = path_of(dir); !p.empty() && !std::filesystem::exists(p); p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path()) break;
    }
    for (auto made = missing.rbegin(); made != missing.rend(); ++made) {
        std::error_code error;
        if (std::filesystem::create_directory(*made, error)) record("made=" + made->u8string());
    }
}

// The options for this setup: those remembered (`options`), each replaced by the one
// given with the same name; an empty one given counts as not given, since
// the installer passes every property, given or not.
std::vector<std::string> options_for_setup(std::vector<std::string> options, const std::vector<std::string>& given)
{
    for (const std::string& option : given) {
        const std::size_t eq = option.find('=');
        if (eq == std::string::npos || eq + 1 == option.size()) continue;
        options.erase(std::remove_if(options.begin(), options.end(),
                                     [&](const std::string& o) { return o.compare(0, eq + 1, option, 0, eq + 1) == 0; }),
                      options.end());
        options.push_back(option);
    }
    return options;
}

// Copies the example database into db_dir when it holds neither file
// (never over a database); false, said why, when it cannot.
bool copy_examples(const std::string& examples, const std::string& db_dir)
{
    make_directories(db_dir);
    const std::filesystem::path db = path_of(db_dir);
    if (std::filesystem::exists(db / database_files[0]) || std::filesystem::exists(db / database_files[1])) return true;
    for (const char* file : database_files) {
        std::error_code error;
        record("copied=" + (db / file).u8string());
        if (!std::filesystem::copy_file(path_of(examples) / file, db / file, error)) {
            std::cerr << "ulvane_service: cannot copy the example " << file << " into " << db_dir << ": "
                      << error.message() << std::endl;
            return false;
        }
    }
    std::cout << "Copied the example database into " << db_dir << std::endl;
    return true;
}

// Whether `file` is an example database file as this program's package
// holds it (examples\ beside the program), untouched since it was copied.
// The undo record lies where a user may have planted entries: what undo
// removes is only ever such a file, an empty directory or an empty log.
bool is_untouched_example(const std::filesystem::path& file)
{
    const std::string name = file.filename().u8string();
    if (name != database_files[0] && name != database_files[1]) return false;
    const std::filesystem::path example = path_of(directory_of(program_path())) / "examples" / name;
    std::ifstream copied(file, std::ios::binary), original(example, std::ios::binary);
    const std::string copied_bytes{std::istreambuf_iterator<char>(copied), {}};
    const std::string original_bytes{std::istreambuf_iterator<char>(original), {}};
    return copied && original && copied_bytes == original_bytes;
}

// Undoes what the last setup recorded, last change first: the service it
// registered goes, the one registered before comes back with its options
// and is started, the remembered options are as they were, and the
// examples, log and directories it made are removed (an example only when
// untouched, a directory only when empty, a log only when empty: one that
// says why the start failed stays).
int undo_setup()
{
    const std::vector<std::string> entries = lines_of(undo_record_path());
    if (entries.empty()) return 0;
    Error why;
    if (service_is_registered(service_name) && !service_remove(service_name, why))
        std::cerr << "ulvane_service: " << why.text << std::endl;
    remove_firewall_rule();
    std::vector<std::string> old_options;
    std::string value;
    for (const std::string& entry : entries)
        if (option_value(entry, "options=", value)) old_options.push_back(value);
    const bool had_options = std::find(entries.begin(), entries.end(), "no-options") == entries.end();
    const bool had_service = std::find(entries.begin(), entries.end(), "service") != entries.end();
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        std::error_code error;
        const std::filesystem::path path = path_of(entry->substr(entry->find('=') + 1));
        if (option_value(*entry, "copied=", value) && is_untouched_example(path)) {
            std::filesystem::remove(path, error);
        } else if (option_value(*entry, "made=", value) && std::filesystem::is_directory(path, error)) {
            std::filesystem::remove(path, error); // only when empty
        } else if (option_value(*entry, "log=", value) && path.extension() == ".log" &&
                   std::filesystem::file_size(path, error) == 0 && !error) {
            std::filesystem::remove(path, error);
        }
    }
    std::error_code error;
    if (had_options)
        remember_options(old_options);
    else
        std::filesystem::remove(path_of(remembered_options_path()), error);
    std::filesystem::remove(path_of(undo_record_path()), error);
    std::filesystem::remove(path_of(state_dir()), error); // when nothing else is left in it
    if (had_service && had_options) {
        if (install(old_options) != 0 || !service_start(service_name, why)) {
            std::cerr << "ulvane_service: the service as it was before cannot be started again: " << why.text << std::endl;
            return 1;
        }
        std::cout << "Registered and started the service " << service_name << " as it was before." << std::endl;
    }
    return 0;
}

// The installer's step (msiexec runs it as LocalSystem; its rollback runs
// undo-setup, its commit setup-done). The options are the ones given, else
// those remembered from the last setup, else the defaults (the database in
// ProgramData\ulvane\db). The database directory is made and the example
// database copied into it when it holds neither file; the service is
// registered anew with the options (a service registered before, by an
// earlier installation or version, is replaced, so that the options given
// always win), the options are remembered and the service is started. A
// setup that fails, the service not starting among it, undoes itself and
// leaves everything as it was.
int setup(const std::vector<std::string>& given)
{
    std::string examples;
    std::vector<std::string> options;
    for (const std::string& option : given)
        if (!option_value(option, "-examples=", examples)) options.push_back(option);
    if (!examples.empty()) examples = full_path(examples);
    if (examples.empty()) {
        usage();
        return 2;
    }
    const std::vector<std::string> remembered = lines_of(remembered_options_path());
    options = options_for_setup(remembered, options);
    std::string db_dir = state_dir() + "\\db";
    auto db = std::find_if(options.begin(), options.end(),
                           [&](const std::string& o) { return option_value(o, server_option::db_dir, db_dir); });
    if (db != options.end()) options.erase(db);
    options.push_back(server_option::db_dir + full_path(db_dir));
    Service_options o;
    if (!read_options(options, o)) return 2;

    std::error_code error;
    std::filesystem::remove(path_of(undo_record_path()), error);
    make_directories(state_dir());
    if (remembered.empty() && !std::filesystem::exists(path_of(remembered_options_path()))) record("no-options");
    for (const std::string& option : remembered) record("options=" + option);
    const bool registered = service_is_registered(service_name);
    if (registered) record("service");

    const auto failed = [](int status) {
        undo_setup();
        return status;
    };
    if (!copy_examples(examples, db_dir) || !settle_paths(o)) return failed(1);
    if (o.log_made) record("log=" + o.log_file);
    Error why;
    if (registered && !service_remove(service_name, why)) {
        std::cerr << "ulvane_service: " << why.text << std::endl;
        return failed(1);
    }
    const int status = install(options);
    if (status != 0) return failed(status);
    remember_options(options);
    if (!service_start(service_name, why)) {
        std::cerr << "ulvane_service: " << why.text << std::endl;
        return failed(1);
    }
    std::cout << "Started the service " << service_name << "." << std::endl;
    return 0;
}

// The service's work: the server itself, with the registered options (its
// `arguments`, the program's name first). A
// service has no standard error: a log file it cannot write ends the start,
// said in the Application event log.
int serve(std::vector<std::string> arguments)
{
    for (const std::string& argument : arguments) {
        std::string log_file;
        if (!option_value(argument, server_option::log_file, log_file)) continue;
        std::FILE* log = std::fopen(log_file.c_str(), "ab");
        if (log == nullptr) {
            report_to_system_log(service_name, errno_error("The service " + std::string(service_name) +
                                                           " cannot write its log file " + log_file)
                                                       .text +
                                                   ". Not started.");
            return static_cast<int>(Start_failure::log);
        }
        std::fclose(log);
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(&argument[0]);
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
    if (!arguments_are_whole("ulvane_service")) return 2;
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "install") return install(std::vector<std::string>(argv + 2, argv + argc));
    if (command == "setup") return setup(std::vector<std::string>(argv + 2, argv + argc));
    if ((command == "undo-setup" || command == "setup-done") && argc == 2) {
        if (command == "undo-setup") return undo_setup();
        std::error_code error;
        std::filesystem::remove(path_of(undo_record_path()), error);
        return 0;
    }
    if (command == "remove" || command == "reopen" || command == "stats") {
        if (argc > 2) {
            usage();
            return 2;
        }
        Error why;
        if (command == "remove") remove_firewall_rule();
        const bool done = command == "remove"   ? service_remove(service_name, why)
                          : command == "reopen" ? service_ask(service_name, Service_request::reopen_log, why)
                                                : service_ask(service_name, Service_request::write_statistics, why);
        if (!done) {
            std::cerr << "ulvane_service: " << why.text << std::endl;
            return 1;
        }
        std::cout << (command == "remove"   ? "Removed the service "
                      : command == "reopen" ? "Asked the service to reopen its log: "
                                            : "Asked the service to write its statistics to its log: ")
                  << service_name << std::endl;
        return 0;
    }
    // Otherwise the service manager started it, with the registered options.
    if (run_as_service(service_name, [&] { return serve(std::vector<std::string>(argv, argv + argc)); })) return 0;
    std::cerr << "ulvane_service: not started by the service manager." << std::endl;
    usage();
    return 2;
}

#include "server.h"

#include <algorithm>
#include <cstring>
#include <iostream>

#include "command_line.h"
#include "database.h"
#include "log.h"
#include "platform_files.h"
#include "platform_network.h"
#include "platform_process.h"
#include "request_loop.h"
#include "version.h"

namespace {

const char* const version = "0.2";

void show_help()
{
    std::cout << "ulvane_server.exe [-h] | { [-log=file] [-d] [-p=nnnnn] [-db=dir] }" << std::endl
              << std::endl
              << "VERSION = " << version << std::endl
              << std::endl
              << "This is a fully functional example implementation for an ulvane server program." << std::endl
              << "ulvane_server.exe can function as a stand-alone database server and is" << std::endl
              << "configurable by comandline options." << std::endl
              << "It has a simple ini-file style database implementation that is seperated " << std::endl
              << "into two files (also see option -db):" << std::endl
              << "   formats.ini  - a file containing formats for sending to the ulvanes" << std::endl
              << "   barcodes.ini - a file containing all barcodes and their 'tags'." << std::endl
              << std::endl
              << "   -h|-help|/h/H  show this text" << std::endl
              << "   -p=nnnnn       [9000] use port nnnnn to listen to instead the default" << std::endl
              << "                  for now, only udp communication is supported" << std::endl
              << "   -db=dir        [.] use directory dir instead pf the current directory for" << std::endl
              << "                  looking for files formats.ini and barcodes.ini" << std::endl
              << "   -log=file      write logging to 'file'instead of standard out" << std::endl
              << "   -l=n           [3] log-level (1=fatal, 2=warning, 3=info, 4=debug, 5=dump (TODO)"
              << std::endl;
}

bool is_help_option(const char* arg)
{
    for (const char* help : {"-h", "/h", "/H", "-help", "/help"})
        if (std::strcmp(arg, help) == 0) return true;
    return false;
}

} // namespace

bool read_log_rotation(const std::string& argument, Log_rotation& rotation, std::string& refused)
{
    std::string value;
    const bool size = option_value(argument, server_option::log_size, value);
    if (!size && !option_value(argument, server_option::log_files, value)) return false;
    const int most = size ? 1048576 : 99;
    int number;
    refused.clear();
    if (!whole_number(value, 0, most, number))
        refused = std::string(size ? server_option::log_size : server_option::log_files) + " takes a whole number from 0 to " +
                  std::to_string(most) + ", not \"" + value + "\"";
    else if (size)
        rotation.bytes = static_cast<std::uint64_t>(number) * 1024 * 1024;
    else
        rotation.keep = static_cast<unsigned>(number);
    return true;
}

bool read_listen_addresses(std::string_view list, std::vector<std::uint32_t>& addresses, Error& error)
{
    addresses.clear();
    if (list == "any") return true;
    while (!list.empty()) {
        const std::string entry = next_list_entry(list);
        std::uint32_t address;
        if (!address_from_text(entry, address)) {
            error = {0, "\"" + entry + "\" is no IPv4 address of this host's (write it as 192.168.10.2)"};
            return false;
        }
        if (std::find(addresses.begin(), addresses.end(), address) != addresses.end()) continue;
        if (addresses.size() == Allowed_senders::most) {
            error = {0, "more than " + std::to_string(Allowed_senders::most) + " addresses"};
            return false;
        }
        addresses.push_back(address);
    }
    // 0.0.0.0 among them means every address, as a bind takes it.
    if (std::find(addresses.begin(), addresses.end(), 0u) != addresses.end()) addresses.clear();
    return true;
}

bool server_paths_fit(const std::string& db_dir, const std::string& log_file, const std::string& stats_file,
                      Error& error)
{
    return path_fits(db_dir, std::strlen("\\barcodes.ini"), error) &&
           (log_file.empty() || path_fits(log_file, std::strlen(".99"), error)) &&
           (stats_file.empty() || path_fits(stats_file, std::strlen(".new-4294967295"), error));
}

namespace {

// The server's settings, as its command line gives them.
struct Server_settings {
    int port = 9000;
    std::vector<std::uint32_t> listen; // empty: every address
    Allowed_senders allowed;
    std::string db_dir = ".";
    std::string stats_file; // none
    std::string log_file;
    Log_rotation rotation;
};

// What the command line asks for: serving, or an end after the help text or
// after a refusal (said on standard error).
enum class Asked { serve, help, refused };

// Reads the options left to right into `settings`, switching the log as
// they ask.
Asked read_options(int argc, char** argv, Server_settings& settings)
{
    Command_line args(argc, argv);
    while (args.next()) {
        int level;
        std::string refused;
        if (is_help_option(args.argument())) {
            show_help();
            return Asked::help;
        }
        if (args.text(server_option::db_dir, settings.db_dir)) {
            LOG_DBG("db_dir=\"" << settings.db_dir << "\"");
        } else if (args.text(server_option::log_file, settings.log_file)) {
            set_log_file(settings.log_file);
        } else if (args.number(server_option::level, level)) {
            set_log_level(static_cast<unsigned>(level));
        } else if (option_value(args.argument(), server_option::listen, refused)) {
            Error error;
            if (!read_listen_addresses(refused, settings.listen, error)) {
                std::cerr << "ERROR: " << server_option::listen << ": " << error.text << std::endl;
                return Asked::refused;
            }
        } else if (option_value(args.argument(), server_option::allow, refused)) {
            Error error;
            if (!settings.allowed.read(refused, error)) {
                std::cerr << "ERROR: " << server_option::allow << ": " << error.text << std::endl;
                return Asked::refused;
            }
        } else if (read_log_rotation(args.argument(), settings.rotation, refused)) {
            if (!refused.empty()) {
                std::cerr << "ERROR: " << refused << std::endl;
                return Asked::refused;
            }
        } else if (!args.number(server_option::port, settings.port) &&
                   !args.text(server_option::stats_file, settings.stats_file)) {
            std::cerr << "ERROR: unkown option \"" << args.argument() << "\"" << std::endl << std::endl;
            show_help();
            return Asked::refused;
        }
    }
    set_log_rotation(settings.rotation);
    Error too_long;
    if (!server_paths_fit(settings.db_dir, settings.log_file, settings.stats_file, too_long)) {
        std::cerr << "ERROR: the path " << too_long.text << std::endl;
        return Asked::refused;
    }
    return Asked::serve;
}

} // namespace

int server_main(int argc, char** argv, Start_failure* failure)
{
    Start_failure ignored;
    Start_failure& why = failure != nullptr ? *failure : ignored;
    why = Start_failure::none;
    protect_standard_streams();
    unbuffer_standard_streams();
    if (!socket_layer_start()) {
        std::cout << "No usable winsock.dll found." << std::flush;
        why = Start_failure::socket_layer;
        return -1;
    }
    if (version_asked(argc, argv, "ulvane_server")) return 0;
    Server_settings settings;
    const Asked asked = arguments_are_whole("ulvane_server") ? read_options(argc, argv, settings) : Asked::refused;
    if (asked == Asked::help) return 0;
    if (asked == Asked::refused) {
        why = Start_failure::option;
        return -1;
    }
    LOG_INF("Using database directory " << settings.db_dir);
    LOG_INF("Using UDP port " << settings.port);
    const std::uint16_t bound = static_cast<std::uint16_t>(settings.port); // as the system's call would take it
    if (bound != settings.port)
        LOG_WRN("Port " << settings.port << " is outside 0 to 65535: using UDP port " << bound << " instead.");
    Serving_setup setup;
    setup.port = bound;
    setup.db_dir = settings.db_dir;
    setup.listen = settings.listen;
    return serve(setup, settings.allowed, settings.stats_file, why);
}

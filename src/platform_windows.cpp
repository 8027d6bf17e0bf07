// The platform layer on Windows: Windows Sockets 1.1 as asked for at start,
// with the Winsock 2 calls the own-socket rule needs (WSARecvMsg for a
// datagram's destination address), and GetFileAttributesExA for files.
#include "platform_files.h"
#include "platform_network.h"
#include "platform_process.h"
#include "platform_text.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>
#include <iphlpapi.h>
#include <aclapi.h>
#include <shellapi.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <io.h>
#include <vector>

void protect_standard_streams()
{
    // A closed standard stream would hand its number to the next file
    // opened. There are no broken-pipe signals here.
    for (int fd = 0; fd <= 2; ++fd)
        if (_get_osfhandle(fd) == -1) _open("NUL", _O_RDWR); // takes the lowest free number, fd
}

void binary_standard_output()
{
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

void unbuffer_standard_streams()
{
    // The C runtime treats line buffering as full buffering.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

namespace {

// Set by the console's events and by the service manager's controls, both
// on threads of their own.
volatile LONG the_stop_signal = 0;
volatile LONG the_reopen_signal = 0;
volatile LONG the_statistics_signal = 0;

BOOL WINAPI on_console_event(DWORD)
{
    // Ctrl-C, Ctrl-Break, closing the console, logging off, shutting down.
    InterlockedExchange(&the_stop_signal, 1);
    return TRUE;
}

// The service this process runs as, if any.
struct Service {
    const char* name = nullptr;
    std::function<int()> serve;
    SERVICE_STATUS_HANDLE handle = nullptr;
    std::mutex lock; // the controls come on the dispatcher's thread
    DWORD check_point = 0;
};
Service the_service;

void report_service_state(DWORD state, DWORD wait_hint_ms, DWORD specific_code = 0)
{
    std::lock_guard<std::mutex> hold(the_service.lock);
    if (the_service.handle == nullptr) return;
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    if (state == SERVICE_RUNNING)
        status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE;
    status.dwWin32ExitCode = specific_code != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    status.dwServiceSpecificExitCode = specific_code;
    status.dwWaitHint = wait_hint_ms;
    status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : ++the_service.check_point;
    SetServiceStatus(the_service.handle, &status);
}

DWORD WINAPI on_service_control(DWORD control, DWORD, void*, void*)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        // The request loop sees it within a second, after the batch at hand.
        InterlockedExchange(&the_stop_signal, 1);
        report_service_state(SERVICE_STOP_PENDING, 5000);
        return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE:
        InterlockedExchange(&the_reopen_signal, 1);
        return NO_ERROR;
    case service_control_statistics:
        InterlockedExchange(&the_statistics_signal, 1);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    }
    return ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI service_main(DWORD, char**)
{
    {
        std::lock_guard<std::mutex> hold(the_service.lock);
        the_service.handle = RegisterServiceCtrlHandlerExA(the_service.name, on_service_control, nullptr);
    }
    if (the_service.handle == nullptr) return;
    // Loading a large database takes a few seconds.
    report_service_state(SERVICE_START_PENDING, 30000);
    const int code = the_service.serve();
    report_service_state(SERVICE_STOPPED, 0, static_cast<DWORD>(code));
}

// Fills `error` with `what` and, for a failure the system reported, its
// words for `code` ("cannot open the service X: The specified service does
// not exist as an installed service. (1060)"), with what to do where only an
// administrator may; false, for a step to return.
bool failed(Error& error, const std::string& what, DWORD code = 0)
{
    error = code == 0 ? Error{0, what} : system_error(what, static_cast<int>(code));
    if (code == ERROR_ACCESS_DENIED) error.text += "; run it from a console opened as administrator";
    return false;
}

// Closes a service manager handle at the end of a scope.
struct Service_handle {
    SC_HANDLE handle;
    ~Service_handle()
    {
        if (handle != nullptr) CloseServiceHandle(handle);
    }
};

} // namespace

void watch_operator_signals()
{
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool stop_requested()
{
    return the_stop_signal != 0;
}

bool reopen_requested()
{
    return InterlockedExchange(&the_reopen_signal, 0) != 0;
}

bool statistics_requested()
{
    return InterlockedExchange(&the_statistics_signal, 0) != 0;
}

void report_serving()
{
    report_service_state(SERVICE_RUNNING, 0);
}

bool run_as_service(const char* name, std::function<int()> serve)
{
    the_service.name = name;
    the_service.serve = std::move(serve);
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(name), service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) != 0;
}

namespace {

// Grants LocalService read access to `path`, or with `write` the right to
// change it, and both to what it holds.
bool grant_local_service(const std::string& path, bool write, Error& why)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    if (!CreateWellKnownSid(WinLocalServiceSid, nullptr, sid, &size)) return failed(why, "", GetLastError());
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        &acl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) return failed(why, "", error);
    EXPLICIT_ACCESSA access{};
    access.grfAccessPermissions = write ? GENERIC_READ | GENERIC_WRITE | DELETE : GENERIC_READ | GENERIC_EXECUTE;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = reinterpret_cast<LPSTR>(sid);
    PACL granted = nullptr;
    error = SetEntriesInAclA(1, &access, acl, &granted);
    if (error == ERROR_SUCCESS)
        error = SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, granted, nullptr);
    LocalFree(granted);
    LocalFree(descriptor);
    return error == ERROR_SUCCESS || failed(why, "", error);
}

} // namespace

bool service_register(const Service_config& config, std::string& warning, Error& error)
{
    warning.clear();
    Service_handle manager{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE)};
    if (manager.handle == nullptr) return failed(error, "cannot open the service manager", GetLastError());
    // Anyone on the terminals' network can send it datagrams: not the
    // all-powerful LocalSystem.
    Service_handle service{CreateServiceA(manager.handle, config.name.c_str(), config.display_name.c_str(),
                                          SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                          SERVICE_ERROR_NORMAL, config.command_line.c_str(), nullptr, nullptr,
                                          nullptr, "NT AUTHORITY\\LocalService", "")};
    if (service.handle == nullptr) {
        const DWORD code = GetLastError();
        if (code == ERROR_SERVICE_EXISTS)
            return failed(error, "the service " + config.name + " is registered already (remove it first)");
        return failed(error, "cannot register the service " + config.name, code);
    }
    SERVICE_DESCRIPTIONA description{const_cast<char*>(config.description.c_str())};
    // A start that fails (the database missing while a copy is at work, or
    // on a disk mounted late) is retried as a crash is: every 10 s, 30
    // times, then the service stays stopped, as the systemd unit does; a
    // day without failure counts them afresh.
    std::vector<SC_ACTION> restarts(service_restarts, SC_ACTION{SC_ACTION_RESTART, 10000});
    restarts.push_back(SC_ACTION{SC_ACTION_NONE, 0});
    SERVICE_FAILURE_ACTIONSA failures{};
    failures.dwResetPeriod = 24 * 60 * 60;
    failures.cActions = static_cast<DWORD>(restarts.size());
    failures.lpsaActions = restarts.data();
    if (!ChangeServiceConfig2A(service.handle, SERVICE_CONFIG_DESCRIPTION, &description) ||
        !ChangeServiceConfig2A(service.handle, SERVICE_CONFIG_FAILURE_ACTIONS, &failures)) {
        const DWORD code = GetLastError();
        DeleteService(service.handle);
        return failed(error, "cannot configure the service " + config.name, code);
    }
    const auto warn = [&](const std::string& what) { warning += (warning.empty() ? "" : "; ") + what; };
    // Not only after a crash: also after a stop with an error code.
    SERVICE_FAILURE_ACTIONS_FLAG on_every_failure{TRUE};
    if (!ChangeServiceConfig2A(service.handle, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_every_failure))
        warn("cannot have a failed start of the service " + config.name + " retried (" +
             system_error_text(static_cast<int>(GetLastError())) + "): only a crash is");
    char only_traverse[] = "SeChangeNotifyPrivilege\0"; // a list, ended by an empty name
    SERVICE_REQUIRED_PRIVILEGES_INFOA privileges{only_traverse};
    if (!ChangeServiceConfig2A(service.handle, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &privileges))
        warn("cannot limit the privileges of the service " + config.name + " (" +
             system_error_text(static_cast<int>(GetLastError())) + "): it runs with those of NT AUTHORITY\\LocalService");
    for (const auto& [dir, write] : {std::make_pair(config.readable_dir, false), std::make_pair(config.writable_dir, true)}) {
        Error why;
        if (!grant_local_service(dir, write, why))
            warn(std::string("cannot let NT AUTHORITY\\LocalService ") + (write ? "write in " : "read ") + dir + " (" +
                 why.text + "): grant it by hand (icacls)");
    }
    return true;
}


void report_to_system_log(const std::string& source, const std::string& message)
{
    HANDLE log = RegisterEventSourceA(nullptr, source.c_str());
    if (log == nullptr) return;
    const char* strings[] = {message.c_str()};
    ReportEventA(log, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(log);
}

namespace {

// Waits up to 30 s for the service to reach `state`, or to stop (a stopped
// service reaches nothing else); false when it did not reach `state`, with
// where it stands in `status`.
bool wait_for_service(SC_HANDLE service, DWORD state, SERVICE_STATUS& status)
{
    for (int waited = 0; waited < 30000; waited += 100) {
        if (!QueryServiceStatus(service, &status)) return false;
        if (status.dwCurrentState == state || status.dwCurrentState == SERVICE_STOPPED) break;
        Sleep(100);
    }
    return status.dwCurrentState == state;
}

} // namespace

bool service_remove(const std::string& name, Error& error)
{
    Service_handle manager{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (manager.handle == nullptr) return failed(error, "cannot open the service manager", GetLastError());
    {
        Service_handle service{OpenServiceA(manager.handle, name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)};
        if (service.handle == nullptr) return failed(error, "cannot open the service " + name, GetLastError());
        SERVICE_STATUS status{};
        if (ControlService(service.handle, SERVICE_CONTROL_STOP, &status))
            wait_for_service(service.handle, SERVICE_STOPPED, status);
        if (!DeleteService(service.handle))
            return failed(error, "cannot remove the service " + name, GetLastError());
    }
    // The manager only marks it for deletion while a handle to it is open
    // (its process ending, a console showing it): gone means gone, so that
    // an installer may register it anew at once.
    for (int waited = 0; waited < 30000; waited += 100) {
        Service_handle still{OpenServiceA(manager.handle, name.c_str(), SERVICE_QUERY_STATUS)};
        if (still.handle == nullptr) return true;
        Sleep(100);
    }
    return failed(error, "the service " + name + " was removed, but is still there after 30 s");
}

bool service_is_registered(const std::string& name)
{
    Service_handle manager{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)};
    Service_handle service{manager.handle == nullptr ? nullptr
                                                      : OpenServiceA(manager.handle, name.c_str(), SERVICE_QUERY_STATUS)};
    return service.handle != nullptr;
}

bool service_start(const std::string& name, Error& error)
{
    Service_handle manager{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (manager.handle == nullptr) return failed(error, "cannot open the service manager", GetLastError());
    Service_handle service{OpenServiceA(manager.handle, name.c_str(), SERVICE_START | SERVICE_QUERY_STATUS)};
    if (service.handle == nullptr) return failed(error, "cannot open the service " + name, GetLastError());
    if (!StartServiceA(service.handle, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        return failed(error, "cannot start the service " + name, GetLastError());
    SERVICE_STATUS status{};
    if (wait_for_service(service.handle, SERVICE_RUNNING, status)) return true;
    if (status.dwCurrentState == SERVICE_STOPPED)
        return failed(error, "the service " + name + " stopped at its start (exit code " +
                                 std::to_string(status.dwWin32ExitCode) + ", its own " +
                                 std::to_string(status.dwServiceSpecificExitCode) + "): its log says why");
    return failed(error, "the service " + name + " did not report serving within 30 s");
}

bool service_ask(const std::string& name, Service_request request, Error& error)
{
    const bool reopen = request == Service_request::reopen_log;
    Service_handle manager{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (manager.handle == nullptr) return failed(error, "cannot open the service manager", GetLastError());
    Service_handle service{
        OpenServiceA(manager.handle, name.c_str(), reopen ? SERVICE_PAUSE_CONTINUE : SERVICE_USER_DEFINED_CONTROL)};
    if (service.handle == nullptr) return failed(error, "cannot open the service " + name, GetLastError());
    SERVICE_STATUS status{};
    if (!ControlService(service.handle, reopen ? SERVICE_CONTROL_PARAMCHANGE : service_control_statistics, &status))
        return failed(error, "cannot ask the service " + name + (reopen ? " to reopen its log" : " for its statistics"),
                      GetLastError());
    return true;
}

namespace {

// Runs netsh with `arguments`, without a window, waiting for it up to 30 s;
// false, with `error`, when it cannot be run or exits with another status
// than 0.
bool run_netsh(const std::string& arguments, Error& error)
{
    char system_dir[MAX_PATH];
    const UINT n = GetSystemDirectoryA(system_dir, sizeof system_dir);
    std::string command = "\"" + std::string(system_dir, n < sizeof system_dir ? n : 0) + "\\netsh.exe\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process))
        return failed(error, "cannot run netsh", GetLastError());
    DWORD status = 1;
    const bool ended = WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (ended && status == 0) return true;
    return failed(error, "netsh " + arguments + (ended ? " failed with status " + std::to_string(status) : " did not end within 30 s"));
}

} // namespace

bool firewall_rule_set(const std::string& name, const std::string& program, std::uint16_t port,
                       const std::string& remote, std::string& command, Error& error)
{
    Error none; // "No rules match": there was none to replace
    run_netsh("advfirewall firewall delete rule name=\"" + name + "\"", none);
    command = "advfirewall firewall add rule name=\"" + name + "\" dir=in action=allow protocol=UDP localport=" +
              std::to_string(port) + " program=\"" + program + "\" remoteip=" + remote + " profile=any enable=yes";
    return run_netsh(command, error);
}

bool firewall_rule_remove(const std::string& name, Error& error)
{
    Error none;
    run_netsh("advfirewall firewall delete rule name=\"" + name + "\"", none);
    // Gone when netsh no longer shows one.
    if (!run_netsh("advfirewall firewall show rule name=\"" + name + "\"", none)) return true;
    return run_netsh("advfirewall firewall delete rule name=\"" + name + "\"", error);
}

bool path_fits(const std::string& path, std::size_t added, Error& error)
{
    // Characters as Windows counts them, in UTF-16 (each program's
    // manifest makes our strings UTF-8). The ...A file calls take no
    // longer path, even where long paths are enabled.
    const std::string full = full_path(path);
    const int units = MultiByteToWideChar(CP_UTF8, 0, full.data(), static_cast<int>(full.size()), nullptr, 0);
    const std::size_t most = MAX_PATH - 1 - added;
    if (static_cast<std::size_t>(units) <= most) return true;
    error = Error{0, full + " is " + std::to_string(units) + " characters long; Windows allows this program " +
                         std::to_string(most) + " there (MAX_PATH)"};
    return false;
}

std::string full_path(const std::string& path)
{
    char full[MAX_PATH * 4];
    DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return n > 0 && n < sizeof full ? std::string(full, n) : path;
}

bool is_directory(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string program_path()
{
    char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

int first_argument_not_whole(unsigned code_page, const std::vector<std::wstring>& arguments)
{
    // UTF-8 carries every character, but not half of one (a lone surrogate).
    const bool utf8 = code_page == CP_UTF8;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (argument.empty()) continue;
        BOOL used_default = FALSE;
        const int bytes =
            WideCharToMultiByte(code_page, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS, argument.data(),
                                static_cast<int>(argument.size()), nullptr, 0, nullptr, utf8 ? nullptr : &used_default);
        if (bytes == 0 || used_default) return static_cast<int>(i);
    }
    return -1;
}

bool arguments_arrived_whole(Error& error)
{
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return true; // nothing to compare with: the arguments as they came
    const std::vector<std::wstring> arguments(wide, wide + count);
    LocalFree(wide);
    const unsigned code_page = GetACP();
    const int bad = first_argument_not_whole(code_page, arguments);
    if (bad < 0) return true;
    const std::wstring& argument = arguments[static_cast<std::size_t>(bad)];
    std::string shown(argument.size() * 3, '\0');
    shown.resize(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, argument.data(), static_cast<int>(argument.size()),
                                                               &shown[0], static_cast<int>(shown.size()), nullptr, nullptr)));
    error.text = "the argument \"" + shown + "\" holds characters that Windows cannot hand to this program whole (its code page " +
            std::to_string(code_page) + " lacks them; Windows 10 version 1903 or later hands over any)";
    return false;
}

bool socket_layer_start()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

void socket_layer_stop()
{
    WSACleanup();
}

std::string address_text(std::uint32_t address)
{
    in_addr a{};
    a.s_addr = htonl(address);
    return inet_ntoa(a);
}

bool address_from_text(const std::string& text, std::uint32_t& address)
{
    // Four decimal numbers, as inet_pton reads them on POSIX: inet_addr
    // would take "10.1" or "0x0a.1.2.3" for an address too.
    in_addr a{};
    if (InetPtonA(AF_INET, text.c_str(), &a) != 1) return false;
    address = ntohl(a.s_addr);
    return true;
}

bool address_of_host(const std::string& host, std::uint32_t& address, Error& error)
{
    if (address_from_text(host, address)) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        error = system_error("unknown host " + host, WSAGetLastError());
        return false;
    }
    address = ntohl(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
    return true;
}

namespace {

LPFN_WSARECVMSG the_recvmsg = nullptr; // WSARecvMsg, asked of the first socket

} // namespace

bool Udp_socket::open(Error& error)
{
    close();
    SOCKET sd = socket(AF_INET, SOCK_DGRAM, 0);
    if (sd == INVALID_SOCKET) {
        error = system_error("", WSAGetLastError());
        return false;
    }
    my_handle = static_cast<Socket_handle>(sd);
    // A wait for datagrams ends after a second, so that a stop is seen.
    DWORD second = 1000;
    setsockopt(sd, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&second), sizeof second);
    // Ask for the destination address of every datagram, to tell datagrams
    // sent from this host (see udp_receive_batch).
    DWORD on = 1;
    setsockopt(sd, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&on), sizeof on);
    if (the_recvmsg == nullptr) {
        GUID id = WSAID_WSARECVMSG;
        DWORD bytes = 0;
        WSAIoctl(sd, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &the_recvmsg, sizeof the_recvmsg, &bytes,
                 nullptr, nullptr);
    }
    return true;
}

bool Udp_socket::bind(std::uint16_t port, Error& error, std::uint32_t address)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address); // INADDR_ANY is 0
    sa.sin_port = htons(port);
    if (::bind(static_cast<SOCKET>(my_handle), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return true;
    error = system_error("", WSAGetLastError());
    return false;
}

void Udp_socket::close()
{
    if (my_handle >= 0) closesocket(static_cast<SOCKET>(my_handle));
    my_handle = no_socket;
}

std::uint16_t udp_local_port(Socket_handle sd)
{
    sockaddr_in sa{};
    int length = sizeof sa;
    if (getsockname(static_cast<SOCKET>(sd), reinterpret_cast<sockaddr*>(&sa), &length) != 0) return 0;
    return ntohs(sa.sin_port);
}

std::size_t udp_set_receive_buffer(Socket_handle sd, std::size_t bytes)
{
    int wanted = static_cast<int>(bytes), size = 0, length = sizeof size;
    setsockopt(static_cast<SOCKET>(sd), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&wanted), sizeof wanted);
    getsockopt(static_cast<SOCKET>(sd), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size), &length);
    return static_cast<std::size_t>(size);
}

// Windows has no cheap way to wait for a change of this host's addresses:
// they are read again when older than a second, and a loop through an
// address added within that second still ends at the limit for our port.
Own_addresses::~Own_addresses() = default;

void Own_addresses::read_all()
{
    my_read = true;
    my_read_at = std::chrono::steady_clock::now();
    ULONG size = 16384;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int tries = 0; tries < 3 && result == ERROR_BUFFER_OVERFLOW; ++tries) {
        buffer.resize(size);
        result = GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST, nullptr,
                                      reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != NO_ERROR) return;
    my_addresses.clear();
    for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a != nullptr; a = a->Next)
        for (IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr; u = u->Next)
            if (u->Address.lpSockaddr->sa_family == AF_INET)
                my_addresses.insert(ntohl(reinterpret_cast<sockaddr_in*>(u->Address.lpSockaddr)->sin_addr.s_addr));
}

bool Own_addresses::contains(std::uint32_t address)
{
    if ((address >> 24) == 127) return true;
    if (!my_read || std::chrono::steady_clock::now() - my_read_at >= std::chrono::seconds(1)) read_all();
    return my_addresses.count(address) != 0;
}

long udp_receive(Socket_handle sd, char* buf, std::size_t capacity, Datagram_source& from, Error& error)
{
    Received_datagram received;
    received.buf = buf;
    received.capacity = capacity;
    while (udp_receive_batch(sd, &received, 1) == 0) {
    }
    from = received.from;
    if (received.bytes < 0) error = system_error("", received.error);
    return received.bytes;
}

// No time stamp of arrival on Windows: `arrived` is when it was received.
const bool udp_arrivals_stamped = false;

std::size_t udp_receive_batch(Socket_handle sd, Received_datagram* batch, std::size_t)
{
    // One datagram a call: Windows has no call that takes several.
    Received_datagram& out = batch[0];
    out.from = Datagram_source{};
    out.error = 0;
    sockaddr_in sa{};
    WSABUF data{static_cast<ULONG>(out.capacity), out.buf};
    char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
    WSAMSG msg{};
    msg.name = reinterpret_cast<sockaddr*>(&sa);
    msg.namelen = sizeof sa;
    msg.lpBuffers = &data;
    msg.dwBufferCount = 1;
    msg.Control = WSABUF{sizeof control, control};
    DWORD bytes = 0;
    int result;
    if (the_recvmsg != nullptr) {
        result = the_recvmsg(static_cast<SOCKET>(sd), &msg, &bytes, nullptr, nullptr);
    } else {
        int length = sizeof sa;
        int n = recvfrom(static_cast<SOCKET>(sd), out.buf, static_cast<int>(out.capacity), 0,
                         reinterpret_cast<sockaddr*>(&sa), &length);
        result = n < 0 ? SOCKET_ERROR : 0;
        bytes = n < 0 ? 0 : static_cast<DWORD>(n);
        msg.Control.len = 0;
    }
    out.from.endpoint.address = ntohl(sa.sin_addr.s_addr);
    out.from.endpoint.port = ntohs(sa.sin_port);
    out.from.arrived = std::chrono::steady_clock::now(); // no time stamp of arrival here
    if (result == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (error == WSAETIMEDOUT || error == WSAEINTR) return 0; // a quiet second, or a stop
        // A datagram longer than the buffer fails here (WSAEMSGSIZE).
        out.bytes = -1;
        out.error = error;
        return 1;
    }
    out.bytes = static_cast<long>(bytes);
    out.from.from_this_host = (out.from.endpoint.address >> 24) == 127;
    if (msg.Control.len > 0) {
        for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&msg); c != nullptr; c = WSA_CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                IN_PKTINFO info;
                std::memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
                // An answer to one of our own addresses arrives with its
                // source equal to its destination; the interface index
                // tells nothing here.
                if (info.ipi_addr.s_addr == sa.sin_addr.s_addr) out.from.from_this_host = true;
            }
        }
    }
    return 1;
}

bool udp_send(Socket_handle sd, const char* data, std::size_t size, const Ipv4_endpoint& to, Error& error)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(to.address);
    sa.sin_port = htons(to.port);
    if (sendto(static_cast<SOCKET>(sd), data, static_cast<int>(size), 0, reinterpret_cast<sockaddr*>(&sa),
               sizeof sa) == static_cast<int>(size))
        return true;
    error = system_error("", WSAGetLastError());
    return false;
}

std::size_t udp_send_batch(Socket_handle sd, const Outgoing_datagram* batch, std::size_t count, Error& error)
{
    // One call a datagram.
    if (count > udp_batch_most) count = udp_batch_most;
    std::size_t sent = 0;
    while (sent < count && udp_send(sd, batch[sent].data, batch[sent].size, batch[sent].to, error)) ++sent;
    return sent;
}

bool udp_wait_readable(Socket_handle sd, int timeout_ms)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(sd), &readable);
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &timeout) > 0;
}

bool udp_wait_any(const Socket_handle* sds, std::size_t count, int timeout_ms, bool* readable)
{
    fd_set set; // FD_SETSIZE is 64 here
    FD_ZERO(&set);
    count = std::min<std::size_t>(count, FD_SETSIZE);
    for (std::size_t i = 0; i < count; ++i) FD_SET(static_cast<SOCKET>(sds[i]), &set);
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    const int n = select(0, &set, nullptr, nullptr, &timeout);
    for (std::size_t i = 0; i < count; ++i) readable[i] = n > 0 && FD_ISSET(static_cast<SOCKET>(sds[i]), &set);
    return n > 0;
}

bool is_message_too_long(int code)
{
    return code == WSAEMSGSIZE;
}

bool is_address_in_use(int code)
{
    return code == WSAEADDRINUSE;
}

// "The specified service does not exist as an installed service. (1060)":
// the code too, since Windows words them in its own language.
std::string system_error_text(int code)
{
    char text[512] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) text[--n] = '\0';
    return (n > 0 ? std::string(text, n) + " " : std::string()) + "(" + std::to_string(code) + ")";
}

bool file_attributes(const std::string& path, File_attributes& out, bool identity)
{
    out = File_attributes{};
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
    out.found = true;
    const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool device = (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0;
    out.is_regular = !directory && !device;
    out.kind = directory ? "directory" : device ? "device" : "regular file";
    out.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    // 100 ns ticks; only ever compared for equality.
    const std::uint64_t ticks = (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                data.ftLastWriteTime.dwLowDateTime;
    out.last_write_time = static_cast<std::int64_t>(ticks) * 100;
    if (!identity) return true;
    // Opened for no access at all, so that no one else's opening or
    // renaming is hindered; a directory needs the backup flag to be opened.
    HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return true; // still a file seen: its time and size tell
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(file, &info)) {
        out.device = info.dwVolumeSerialNumber;
        out.file_id = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
    CloseHandle(file);
    return true;
}

// Windows reports a file's new last-write time only once it reaches the disk
// (FILE_NOTIFY_CHANGE_LAST_WRITE), too late for a request that follows an
// edit: the times and sizes are looked at every time. A name changes at
// once, and only then is a file's identity worth opening it for. The
// pending read's report is never read: any name change in the directory
// (another file's too) says "any", which costs one look at the identities.
namespace {

struct Directory_reports {
    OVERLAPPED pending;
    alignas(DWORD) char buffer[4096];
};

Directory_reports& reports_of(std::vector<std::uint64_t>& storage)
{
    if (storage.empty()) storage.resize((sizeof(Directory_reports) + 7) / 8);
    return *reinterpret_cast<Directory_reports*>(storage.data());
}

bool read_reports(HANDLE directory, Directory_reports& reports)
{
    reports.pending = OVERLAPPED{};
    return ReadDirectoryChangesW(directory, reports.buffer, sizeof reports.buffer, FALSE,
                                 FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME, nullptr,
                                 &reports.pending, nullptr) != 0;
}

} // namespace

Directory_watch::~Directory_watch()
{
    stop();
}

Files_news Directory_watch::what_changed(const std::string& dir, const char* const* names, std::size_t count)
{
    if (my_handle != -1 && dir == my_dir && !HasOverlappedIoCompleted(&reports_of(my_reports).pending))
        return Files_news::written;
    watch_again(dir, names, count);
    return Files_news::any;
}

void Directory_watch::stop()
{
    if (my_handle == -1) return;
    HANDLE directory = reinterpret_cast<HANDLE>(my_handle);
    // The system writes into the buffer until the cancelled read ends.
    Directory_reports& reports = reports_of(my_reports);
    if (!HasOverlappedIoCompleted(&reports.pending)) {
        DWORD ignored;
        CancelIoEx(directory, &reports.pending);
        GetOverlappedResult(directory, &reports.pending, &ignored, TRUE);
    }
    CloseHandle(directory);
    my_handle = -1;
}

void Directory_watch::watch_again(const std::string& dir, const char* const*, std::size_t)
{
    stop();
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (my_failed && dir == my_dir && now - my_failed_at < std::chrono::seconds(1)) return;
    my_dir = dir;
    my_failed = true; // until watched
    my_failed_at = now;
    HANDLE directory = CreateFileA(dir.empty() ? "." : dir.c_str(), FILE_LIST_DIRECTORY,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (directory == INVALID_HANDLE_VALUE) return;
    if (!read_reports(directory, reports_of(my_reports))) {
        CloseHandle(directory);
        return;
    }
    my_handle = reinterpret_cast<std::intptr_t>(directory);
    my_failed = false;
}

// Large pages take a privilege that a server should not hold.
void advise_large_pages(void*, std::size_t)
{
}

unsigned long process_id()
{
    return GetCurrentProcessId();
}

bool link_target(const std::string& path, std::string& target, Error& error)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        target = path;
        return true;
    }
    // Opening a link opens the file it leads to, whose final path is asked.
    HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    char final[MAX_PATH + 8];
    const DWORD length = file == INVALID_HANDLE_VALUE ? 0 : GetFinalPathNameByHandleA(file, final, sizeof final, 0);
    const DWORD code = GetLastError();
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (length == 0 || length >= sizeof final) {
        error = system_error(path + " is a symbolic link that leads to nothing", static_cast<int>(code));
        return false;
    }
    target.assign(final, length);
    if (target.compare(0, 4, "\\\\?\\") == 0) target.erase(0, 4); // the long-path prefix
    return true;
}

File_lock::~File_lock()
{
    // Made to be deleted on close: the file goes with the lock.
    if (my_handle != -1) CloseHandle(reinterpret_cast<HANDLE>(my_handle));
}

bool File_lock::take(const std::string& path, const std::string& holder, bool& busy, Error& error)
{
    busy = false;
    // Others may read it (to say who holds it), no one may open it to write
    // while it is held.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        busy = code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED;
        if (!busy) {
            error = system_error("cannot make the lock " + path, static_cast<int>(code));
            return false;
        }
        error = Error{static_cast<int>(code), ""};
        HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (held != INVALID_HANDLE_VALUE) {
            char words[512];
            DWORD n = 0;
            if (ReadFile(held, words, sizeof words, &n, nullptr)) error.text.assign(words, n);
            CloseHandle(held);
        }
        return false;
    }
    DWORD written = 0;
    SetEndOfFile(file);
    WriteFile(file, holder.data(), static_cast<DWORD>(holder.size()), &written, nullptr);
    my_path = path;
    my_handle = reinterpret_cast<std::intptr_t>(file);
    return true;
}

std::size_t remove_unfinished_replacements(const std::string& path)
{
    const std::size_t slash = path.find_last_of("\\/");
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path + ".new-*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    std::size_t removed = 0;
    do {
        removed += DeleteFileA((dir + found.cFileName).c_str()) != 0;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return removed;
}

File_replacement::~File_replacement()
{
    give_up();
}

void File_replacement::give_up()
{
    if (my_handle != -1) CloseHandle(reinterpret_cast<HANDLE>(my_handle));
    my_handle = -1;
    if (!my_temp.empty()) DeleteFileA(my_temp.c_str());
    my_temp.clear();
}

bool File_replacement::open(const std::string& path, Error& error)
{
    give_up();
    // The full path, with backslashes, names the file in messages as
    // Windows does.
    std::string target;
    if (!link_target(path, target, error)) return false;
    my_through_link = target != path;
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(target.c_str(), sizeof full, full, nullptr);
    my_path = length > 0 && length < sizeof full ? std::string(full, length) : target;
    const DWORD attributes = GetFileAttributesA(my_path.c_str());
    HANDLE old = CreateFileA(my_path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    // A directory, or a device (NUL, COM1, a pipe): no file to replace.
    const bool regular = (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) &&
                         (old == INVALID_HANDLE_VALUE || GetFileType(old) == FILE_TYPE_DISK);
    // The names the file has besides this one (hard links).
    my_other_names = 0;
    if (old != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileInformationByHandle(old, &info) && info.nNumberOfLinks > 1) my_other_names = info.nNumberOfLinks - 1;
        CloseHandle(old);
    }
    if (!regular) {
        error.text = "cannot replace " + my_path + ": it is no regular file (a directory or a device)";
        return false;
    }
    my_temp = my_path + ".new-" + std::to_string(GetCurrentProcessId());
    // One of this name left by an earlier process of the same number is
    // removed first.
    HANDLE file = CreateFileA(my_temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS && DeleteFileA(my_temp.c_str()))
        file = CreateFileA(my_temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = system_error("cannot create " + my_temp, static_cast<int>(GetLastError()));
        my_temp.clear();
        return false;
    }
    my_handle = reinterpret_cast<std::intptr_t>(file);
    return true;
}

bool File_replacement::write(std::string_view bytes, Error& error)
{
    while (!bytes.empty()) {
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 30));
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(my_handle), bytes.data(), piece, &written, nullptr) || written == 0) {
            error = system_error("cannot write " + my_temp, static_cast<int>(GetLastError()));
            give_up();
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

bool File_replacement::commit(Error& error, Commit how)
{
    HANDLE file = reinterpret_cast<HANDLE>(my_handle);
    const bool flushed = how == quick || FlushFileBuffers(file) != 0;
    const DWORD flush_error = GetLastError();
    CloseHandle(file);
    my_handle = -1;
    if (!flushed) {
        error = system_error("cannot write " + my_temp + " to the disk", static_cast<int>(flush_error));
        give_up();
        return false;
    }
    // The old file's permissions (its ACL) and attributes go to the new one,
    // where allowed; then one rename, which never leaves the name missing
    // (ReplaceFile would keep them too, but is not one step everywhere). A
    // program reading the old file (the server, for a moment) holds it open
    // without sharing deletion, which makes the rename wait.
    PACL permissions = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(my_path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &permissions, nullptr, &descriptor) == ERROR_SUCCESS) {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorControl(descriptor, &control, &revision);
        const SECURITY_INFORMATION protection = (control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                                  : UNPROTECTED_DACL_SECURITY_INFORMATION;
        SetNamedSecurityInfoA(&my_temp[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | protection, nullptr, nullptr,
                              permissions, nullptr);
        LocalFree(descriptor);
    }
    const DWORD attributes = GetFileAttributesA(my_path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        SetFileAttributesA(my_temp.c_str(), attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    const std::chrono::steady_clock::time_point give_up_at = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        const DWORD flags = MOVEFILE_REPLACE_EXISTING | (how == durable ? MOVEFILE_WRITE_THROUGH : 0);
        const BOOL done = MoveFileExA(my_temp.c_str(), my_path.c_str(), flags);
        if (done) {
            my_temp.clear();
            return true;
        }
        const DWORD code = GetLastError();
        const bool busy = code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED || code == ERROR_LOCK_VIOLATION;
        if (!busy || how == quick || std::chrono::steady_clock::now() > give_up_at) {
            error = system_error("cannot put " + my_temp + " in the place of " + my_path, static_cast<int>(code));
            give_up();
            return false;
        }
        Sleep(20);
    }
}

bool single_byte_characters(const char*, unsigned code_page, std::array<std::int32_t, 256>& characters,
                            Error& error)
{
    if (!IsValidCodePage(code_page)) {
        error.text = "Windows does not know the code page " + std::to_string(code_page);
        return false;
    }
    for (int b = 0; b < 256; ++b) {
        const char byte = static_cast<char>(b);
        wchar_t wide[2];
        const int n = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, &byte, 1, wide, 2);
        characters[b] = n == 1 ? static_cast<std::int32_t>(wide[0]) : -1;
        // Windows' own code pages (125x) define no character at the bytes
        // that they map to the C1 controls (0x81, 0x8D, 0x8F, 0x90, 0x9D in
        // 1252): no character, as the system's converter has it elsewhere.
        // The ISO pages (Latin-1, -2, -9) define those controls.
        if (code_page >= 1250 && code_page <= 1258 && characters[b] >= 0x80 && characters[b] <= 0x9F)
            characters[b] = -1;
    }
    return true;
}

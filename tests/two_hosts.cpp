#include "two_hosts.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sched.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_util.h"

namespace {

std::atomic<int> the_host_pairs{0};

int open_ns(const std::string& ns)
{
    return open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
}

} // namespace

std::string Two_hosts::unavailable()
{
    if (geteuid() != 0) return "end-to-end tests need root (network namespaces)";
    if (std::system("ip -V >/dev/null 2>&1") != 0) return "end-to-end tests need iproute2 (ip)";
    return "";
}

bool Two_hosts::run(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Removes namespaces left behind by test processes that were killed before
// they could clean up (their names carry the PID of a process now gone).
void remove_stale_namespaces()
{
    DIR* dir = opendir("/var/run/netns");
    if (dir == nullptr) return;
    std::vector<std::string> stale;
    while (dirent* e = readdir(dir)) {
        unsigned long pid = 0;
        char side = 0;
        int n = 0;
        if (std::sscanf(e->d_name, "ulv%lu_%*u_%c%n", &pid, &side, &n) == 2 && e->d_name[n] == '\0' &&
            (side == 's' || side == 't' || side == 'c') && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            stale.push_back(e->d_name);
    }
    closedir(dir);
    for (const std::string& ns : stale) std::system(("ip netns del " + ns + " >/dev/null 2>&1").c_str());
}

Two_hosts::Two_hosts()
{
    remove_stale_namespaces();
    std::string id = std::to_string(getpid()) + "_" + std::to_string(the_host_pairs++);
    my_server_ns = "ulv" + id + "_s";
    my_terminal_ns = "ulv" + id + "_t";
    const std::string& s = my_server_ns;
    const std::string& t = my_terminal_ns;
    my_ok = run("ip netns add " + s) && run("ip netns add " + t) &&
            run("ip -n " + s + " link add ulv0 type veth peer name ulv1 netns " + t) &&
            run("ip -n " + s + " addr add 10.77.0.1/24 dev ulv0") &&
            run("ip -n " + t + " addr add 10.77.0.2/24 dev ulv1") && run("ip -n " + s + " link set lo up") &&
            run("ip -n " + t + " link set lo up") && run("ip -n " + s + " link set ulv0 up") &&
            run("ip -n " + t + " link set ulv1 up");
}

Two_hosts::~Two_hosts()
{
    while (!my_processes.empty()) stop(my_processes.back());
    my_sockets.clear();
    run("ip netns del " + my_server_ns);
    run("ip netns del " + my_terminal_ns);
    if (!my_third_ns.empty()) run("ip netns del " + my_third_ns);
}

std::string Two_hosts::add_third_host()
{
    const std::string& s = my_server_ns;
    const std::string& t = my_terminal_ns;
    my_third_ns = my_server_ns.substr(0, my_server_ns.size() - 1) + "c";
    const std::string& c = my_third_ns;
    bool ok = run("ip netns add " + c) && run("ip -n " + c + " link set lo up") &&
              run("ip -n " + s + " link add ulv2 type veth peer name ulv3 netns " + c) &&
              run("ip -n " + s + " addr add 10.78.0.1/24 dev ulv2") &&
              run("ip -n " + c + " addr add 10.78.0.2/24 dev ulv3") && run("ip -n " + s + " link set ulv2 up") &&
              run("ip -n " + c + " link set ulv3 up") &&
              run("ip -n " + t + " link add ulv4 type veth peer name ulv5 netns " + c) &&
              run("ip -n " + t + " addr add 10.79.0.1/24 dev ulv4") &&
              run("ip -n " + c + " addr add 10.79.0.2/24 dev ulv5") && run("ip -n " + t + " link set ulv4 up") &&
              run("ip -n " + c + " link set ulv5 up");
    return ok ? my_third_ns : "";
}

bool Two_hosts::add_address(const std::string& ns, const std::string& address)
{
    return run("ip -n " + ns + " addr add " + address + "/24 dev " + (ns == my_server_ns ? "ulv0" : "ulv1"));
}

bool Two_hosts::ip(const std::string& ns, const std::string& arguments)
{
    return run("ip -n " + ns + " " + arguments);
}

Socket_handle Two_hosts::socket_in(const std::string& ns, std::uint16_t port, std::uint32_t address, bool shared)
{
    int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int there = open_ns(ns);
    Udp_socket socket;
    if (home >= 0 && there >= 0 && setns(there, CLONE_NEWNET) == 0) {
        Error error;
        const int sd = socket.open(error) ? static_cast<int>(socket.handle()) : -1;
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(address);
        sa.sin_port = htons(port);
        int on = 1;
        if (sd >= 0 && shared) setsockopt(sd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (sd >= 0 && bind(sd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) socket.close();
        if (setns(home, CLONE_NEWNET) != 0) std::abort(); // never stay in a test namespace
    }
    if (home >= 0) close(home);
    if (there >= 0) close(there);
    const Socket_handle sd = socket.handle();
    if (sd >= 0) my_sockets.push_back(std::move(socket));
    return sd;
}

void Two_hosts::close_socket(Socket_handle sd)
{
    for (Udp_socket& socket : my_sockets)
        if (socket.handle() == sd) socket.close();
}

pid_t Two_hosts::start_in(const std::string& ns, const std::vector<std::string>& argv,
                          const std::string& out_file, const std::string& err_file)
{
    int there = open_ns(ns);
    pid_t pid = fork();
    if (pid == 0) {
        if (there < 0 || setns(there, CLONE_NEWNET) != 0) _exit(126);
        auto attach = [](const std::string& file, int fd) {
            if (file.empty()) {
                close(fd);
            } else if (file == "|") {
                int ends[2];
                if (pipe(ends) != 0) _exit(126);
                dup2(ends[1], fd);
                close(ends[0]);
                close(ends[1]);
            } else {
                // Appending, so that several processes can share a file.
                int opened = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
                dup2(opened, fd);
                close(opened);
            }
        };
        attach(out_file, 1);
        attach(err_file, 2);
#ifdef ULVANE_WINDOWS_BUILD
        if (ns == my_terminal_ns && std::getenv("WINEPREFIX") != nullptr)
            setenv("WINEPREFIX", (std::string(std::getenv("WINEPREFIX")) + "-terminal").c_str(), 1);
#endif
        exec_program(argv);
    }
    if (there >= 0) close(there);
    if (pid > 0) my_processes.push_back(pid);
    return pid;
}

int Two_hosts::wait_for_exit(pid_t pid, int ms)
{
    auto started = std::find(my_processes.begin(), my_processes.end(), pid);
    if (started == my_processes.end()) return -1; // not ours, or reaped already
    for (int waited = 0; waited <= ms; waited += 10) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            my_processes.erase(started); // reaped: the PID may be reused now
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        usleep(10000);
    }
    return -1;
}

bool Two_hosts::wait_for_udp_port(pid_t pid, std::uint16_t port, int ms, bool bound)
{
    // /proc/PID/net/udp lists the sockets of the process's own namespace.
    char wanted[8];
    snprintf(wanted, sizeof wanted, ":%04X", port);
    for (int waited = 0; waited <= ms; waited += 10) {
        std::ifstream udp("/proc/" + std::to_string(pid) + "/net/udp");
        std::string line;
        std::getline(udp, line); // header
        bool found = false;
        while (std::getline(udp, line)) {
            std::istringstream fields(line);
            std::string slot, local;
            fields >> slot >> local;
            if (local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) found = true;
        }
        if (found == bound) return true;
        usleep(10000);
    }
    return false;
}

void Two_hosts::stop(pid_t pid)
{
    auto started = std::find(my_processes.begin(), my_processes.end(), pid);
    if (started == my_processes.end()) return;
    kill(pid, SIGTERM);
    if (wait_for_exit(pid, 2000) < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        my_processes.erase(std::find(my_processes.begin(), my_processes.end(), pid));
    }
}

bool receive_within(Socket_handle sd, int ms, std::string& datagram, Datagram_source& from)
{
    static char buf[65536];
    if (!udp_wait_readable(sd, ms)) return false;
    Error error;
    long bytes = udp_receive(sd, buf, sizeof buf, from, error);
    if (bytes < 0) return false;
    datagram.assign(buf, static_cast<std::size_t>(bytes));
    return true;
}

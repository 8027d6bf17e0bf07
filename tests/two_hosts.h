// Two hosts for end-to-end tests: network namespaces "server" and "terminal"
// joined by a veth pair, 10.77.0.1 (server) and 10.77.0.2 (terminal), and a
// third host on demand. Names are unique per process and object; the
// destructor ends the processes it started and removes the namespaces, also
// when a test fails.
#ifndef ULVANE_TWO_HOSTS_H
#define ULVANE_TWO_HOSTS_H

#include <string>
#include <sys/types.h>
#include <vector>

#include "platform_network.h"

class Two_hosts {
public:
    static constexpr std::uint32_t server_address = 0x0a4d0001; // 10.77.0.1
    static constexpr std::uint32_t terminal_address = 0x0a4d0002; // 10.77.0.2

    // Empty when the namespaces could be made; else why not (not root, ...).
    static std::string unavailable();

    Two_hosts();
    ~Two_hosts();
    Two_hosts(const Two_hosts&) = delete;
    Two_hosts& operator=(const Two_hosts&) = delete;

    bool ok() const { return my_ok; }
    const std::string& server_ns() const { return my_server_ns; }
    const std::string& terminal_ns() const { return my_terminal_ns; }

    // Adds a third host, joined to each of the two by a veth pair of its own:
    // from 10.78.0.2 it reaches the server host at 10.78.0.1, from 10.79.0.2
    // the terminal host at 10.79.0.1. Returns its namespace; empty on failure.
    std::string add_third_host();

    // Adds `address` (dotted, /24) to the host's end of the veth pair.
    bool add_address(const std::string& ns, const std::string& address);

    // Runs `ip` in the namespace with `arguments` ("-batch FILE", "route
    // add ..."); false when it fails.
    bool ip(const std::string& ns, const std::string& arguments);

    // A UDP socket made in the namespace, bound to `port` (0: any) at
    // `address` (0: all); negative when it cannot be bound. A `shared` one
    // may share its port with another shared one (the one bound to the
    // address a datagram is for receives it). Closed by the destructor.
    Socket_handle socket_in(const std::string& ns, std::uint16_t port, std::uint32_t address = 0,
                            bool shared = false);
    // Closes one of those sockets before the destructor does.
    void close_socket(Socket_handle sd);

    // Starts a program in the namespace with standard output and error
    // written to the files given ("": closed; "|": a pipe that nobody
    // reads, closed at once); returns its PID. Under the Windows build, a
    // program on the terminal host runs with Wine's prefix for that host:
    // WINEPREFIX with "-terminal" appended.
    pid_t start_in(const std::string& ns, const std::vector<std::string>& argv, const std::string& out_file,
                   const std::string& err_file);

    // Waits at most `ms` for a started process to end; its exit status (as a
    // shell shows it), or -1 when it still runs.
    int wait_for_exit(pid_t pid, int ms);

    // Waits at most `ms` until a UDP socket is bound to `port` in the
    // process's namespace (with bound false: until none is).
    static bool wait_for_udp_port(pid_t pid, std::uint16_t port, int ms, bool bound = true);

    // Ends a started process that still runs (SIGTERM, then SIGKILL) and
    // reaps it.
    void stop(pid_t pid);

private:
    bool run(const std::string& command);

    bool my_ok = false;
    std::string my_server_ns;
    std::string my_terminal_ns;
    std::string my_third_ns;
    std::vector<pid_t> my_processes;
    std::vector<Udp_socket> my_sockets;
};

// Receives one datagram within `ms`; false when none came.
bool receive_within(Socket_handle sd, int ms, std::string& datagram, Datagram_source& from);

#endif

// The thin layer between the programs and their operating system: the socket layer, UDP and the last socket error.
// Nothing else in the programs calls the system for these; one
// implementation file per platform (platform_posix.cpp, platform_windows.cpp)
// provides the whole layer: platform_network.h, platform_files.h and
// platform_process.h.
// A call that can fail says so as error.h tells; the log prints a socket
// call's error.code as a number.
#ifndef ULVANE_PLATFORM_NETWORK_H
#define ULVANE_PLATFORM_NETWORK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <chrono>
#include <unordered_set>
#include <utility>

#include "error.h"

// Starts the socket layer; false when it cannot be used. Always true on POSIX.
bool socket_layer_start();
// Shuts the socket layer down again. Nothing to do on POSIX.
void socket_layer_stop();

// A socket handle, negative when there is none (wide enough for a Windows
// SOCKET, whose invalid value reads as -1 here).
using Socket_handle = std::intptr_t;
const Socket_handle no_socket = -1;

// An IPv4 address and port, both in host byte order.
struct Ipv4_endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
};

// The address in dotted decimal form, "10.0.0.2".
std::string address_text(std::uint32_t address);

// Reads a dotted decimal address; false when `text` is none.
bool address_from_text(const std::string& text, std::uint32_t& address);

// The IPv4 address of a host given by address or by name ("localhost", a
// host name); false when there is none.
bool address_of_host(const std::string& host, std::uint32_t& address, Error& error);

// An IPv4 datagram socket, which the object owns and closes.
class Udp_socket {
public:
    Udp_socket() = default;
    ~Udp_socket() { close(); }
    Udp_socket(Udp_socket&& other) noexcept : my_handle(other.my_handle) { other.my_handle = no_socket; }
    Udp_socket& operator=(Udp_socket&& other) noexcept
    {
        std::swap(my_handle, other.my_handle);
        return *this;
    }
    // Opens a socket in place of the one held; false when the system gives
    // none.
    bool open(Error& error);
    // Binds it at `port` (0: the system picks one) to `address`, one of
    // this host's (0: every local IPv4 address); false when it cannot.
    bool bind(std::uint16_t port, Error& error, std::uint32_t address = 0);
    // The handle that the udp_ calls take; no_socket while none is open.
    Socket_handle handle() const { return my_handle; }
    void close();

private:
    Socket_handle my_handle = no_socket;
};

// The port a bound socket listens at (the one the system picked for port
// 0); 0 when it cannot be read.
std::uint16_t udp_local_port(Socket_handle sd);

// Asks for a receive queue of `bytes` for the socket, to hold the requests
// that arrive while the server is busy; returns the size the system granted
// (beyond the system's limit only to a privileged process).
std::size_t udp_set_receive_buffer(Socket_handle sd, std::size_t bytes);

// What udp_receive learned about where a datagram came from.
struct Datagram_source {
    Ipv4_endpoint endpoint;
    // True when the datagram surely was sent from this very host: it came in
    // over the loopback interface, from a 127.x.x.x address, or with its
    // source address equal to its destination address. Own_addresses tells
    // the rest.
    bool from_this_host = false;
    // When it arrived, on the steady clock: the system's time stamp of its
    // arrival where the platform gives one (Linux), so that datagrams that
    // waited while the server was busy count when they came; else when it
    // was received.
    std::chrono::steady_clock::time_point arrived{};
};

// Whether `arrived` is the system's time stamp of arrival (else the time of
// the receive).
extern const bool udp_arrivals_stamped;

// This host's own addresses, as they are now: addresses added or removed
// while the program runs included, as the system reports them (Linux);
// where it cannot, or lost reports, and on Windows, the list is read again
// at most once a second. Cheap whatever the number of addresses and their
// changes: meant for the datagrams that might be our own.
class Own_addresses {
public:
    Own_addresses() = default;
    ~Own_addresses();
    Own_addresses(const Own_addresses&) = delete;
    Own_addresses& operator=(const Own_addresses&) = delete;

    // Whether `address` is one of them (127.x.x.x always is).
    bool contains(std::uint32_t address);
    // Datagrams were received: an address that one of them came from was
    // reported before it arrived, so the next contains() reads the reports
    // again. Reading them once for each batch misses none.
    void datagrams_received() { my_reports_read = false; }

private:
    void watch_changes();
    void read_all();
    void apply_changes(const char* reports, std::size_t size);

    bool my_opened = false;
    std::intptr_t my_changes = -1; // Linux: a netlink socket that receives the changes
    bool my_reports_read = false;
    bool my_stale = true; // reports were lost, or cannot be had
    bool my_read = false;
    std::chrono::steady_clock::time_point my_read_at{};
    std::unordered_set<std::uint32_t> my_addresses;
};

// Waits for one datagram and copies it into buf. Returns its length (0 for an
// empty datagram), or -1 on failure; a datagram longer than `capacity`
// counts as a failure ("message too long", see is_message_too_long) and is
// dropped whole. `from` is all zero when the platform left no address.
long udp_receive(Socket_handle sd, char* buf, std::size_t capacity, Datagram_source& from, Error& error);

// One entry of a batch receive: the caller's buffer, and what the receive
// put into it.
struct Received_datagram {
    char* buf = nullptr;
    std::size_t capacity = 0;
    long bytes = 0; // the datagram's length; -1 when the receive failed
    int error = 0;  // then the platform's code for the failure
    Datagram_source from;
};

// The most datagrams that one batch receive or send takes.
constexpr std::size_t udp_batch_most = 64;

// Waits for one datagram, then takes those that are already waiting too,
// without waiting again: at most `count` (and at most udp_batch_most) in all, in the
// order they arrived, each as udp_receive would take it. Returns how many
// entries it filled (a failed receive fills one), or 0 when a signal or
// a second without datagrams ended the wait (see watch_operator_signals).
std::size_t udp_receive_batch(Socket_handle sd, Received_datagram* batch, std::size_t count);

// Sends one datagram of `size` bytes (0 allowed). Returns false on failure.
bool udp_send(Socket_handle sd, const char* data, std::size_t size, const Ipv4_endpoint& to, Error& error);

struct Outgoing_datagram {
    const char* data;
    std::size_t size;
    Ipv4_endpoint to;
};

// Sends datagrams in order, at most udp_batch_most. Returns how many were
// sent from the first on; when fewer than `count` (and udp_batch_most), the
// next one failed, `error` says why, and none after it was tried.
std::size_t udp_send_batch(Socket_handle sd, const Outgoing_datagram* batch, std::size_t count, Error& error);

// Waits at most `timeout_ms` milliseconds for a datagram to arrive; true
// when one can be received.
bool udp_wait_readable(Socket_handle sd, int timeout_ms);

// The same for `count` sockets at once: true, with readable[i] set for each
// socket that has a datagram, when one has; false after the time-out or a
// signal.
bool udp_wait_any(const Socket_handle* sds, std::size_t count, int timeout_ms, bool* readable);


// Whether a socket call's code says that a datagram was longer than the buffer.
bool is_message_too_long(int code);
// Whether a bind's code says that another socket holds the port.
bool is_address_in_use(int code);

#endif

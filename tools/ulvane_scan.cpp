// ulvane_scan: a terminal for people, to try a server by hand.
//
//   ulvane_scan [-p=9000] [-t=MILLISECONDS] [-r] HOST BARCODE...
//
// Sends each barcode, with a final line feed, to HOST (an address or a
// name) at the port, from that same port, as a terminal does, and prints
// each answer in the escape notation that formats.ini reads, or with -r its
// raw bytes. Only a datagram from HOST counts as an answer. The answers carry
// nothing that names their barcode, so one that comes after its time-out is
// never taken for the next barcode's: whatever comes until a second time-out
// has passed is said to be late and dropped, and so is whatever waits when a
// barcode is to be sent (a late answer to an earlier run, say). The server answers at its own port on the
// sender's address, so this must run on another host than the server.
// A server limits the requests from one address at its port that are not
// for its own barcodes (a burst, then so many a second); a long list is
// sent at a pace below that limit.
// Exits 1 when an answer does not come in time or a barcode cannot be sent,
// 2 for a bad command line, when HOST is this host, or when the port cannot
// be bound.
#include <chrono>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "escapes.h"
#include "platform.h"
#include "version.h"
#include "sender_rules.h"
#include "server.h"

namespace {

int usage()
{
    std::cerr << "usage: ulvane_scan [-p=9000] [-t=MILLISECONDS] [-r] HOST BARCODE... | -version\n(ulvane_scan "
              << ulvane_version << ")" << std::endl;
    return 2;
}

using Clock = std::chrono::steady_clock;

// Waits until `until` at most for a datagram from `host`, whose bytes it puts
// in `answer`; datagrams from elsewhere are dropped on the way.
bool receive_from(Socket_handle sd, std::uint32_t host, Clock::time_point until, std::string& answer)
{
    static char buf[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (!udp_wait_readable(sd, left > 0 ? static_cast<int>(left) : 0)) return false;
        Datagram_source from;
        const long bytes = udp_receive(sd, buf, sizeof buf, from);
        if (bytes >= 0 && from.endpoint.address == host) {
            answer.assign(buf, static_cast<std::size_t>(bytes));
            return true;
        }
    }
}

void say_late(const std::string& answer)
{
    std::cerr << "ulvane_scan: an answer came after its time-out, dropped (not taken for another barcode's): "
              << bytes_to_format_text(answer) << std::endl;
}

} // namespace

int main(int argc, char** argv)
{
    unbuffer_standard_streams();
    if (version_asked(argc, argv, "ulvane_scan")) return 0;
    int port = 9000;
    int timeout_ms = 2000;
    bool raw = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (std::strncmp(argv[i], "-p=", 3) == 0)
            port = option_number(argv[i] + 3);
        else if (std::strncmp(argv[i], "-t=", 3) == 0)
            timeout_ms = option_number(argv[i] + 3);
        else if (std::strcmp(argv[i], "-r") == 0)
            raw = true;
        else
            return usage();
    }
    if (argc - i < 2 || port < 0 || port > 65535) return usage();
    if (!socket_layer_start()) return 2;
    Ipv4_endpoint server;
    if (!address_of_host(argv[i], server.address)) {
        std::cerr << "ulvane_scan: unknown host " << argv[i] << std::endl;
        return 2;
    }
    server.port = static_cast<std::uint16_t>(port);
    if (is_own_address(server.address)) {
        // The server would answer at this very port of this host, which the
        // scanner holds: every datagram from there would be its own request.
        std::cerr << "ulvane_scan: " << argv[i] << " is this host; a server here answers to its own port, "
                  << "so scan from another host" << std::endl;
        return 2;
    }

    Socket_handle sd = udp_open();
    if (sd < 0 || !udp_bind(sd, server.port)) {
        std::cerr << "ulvane_scan: cannot bind UDP port " << port << " (error " << last_socket_error()
                  << "); is a server running on this host?" << std::endl;
        return 2;
    }
    int status = 0;
    int answers = 0;
    // After most of a burst, no faster than four fifths of the steady rate.
    const int unpaced = Answer_limit::burst - 2;
    const auto pace = std::chrono::microseconds(1000000 * 5 / 4 / Answer_limit::per_second);
    Clock::time_point last_sent{};
    const int first = ++i;
    for (; i < argc; ++i) {
        std::string answer;
        if (i - first >= unpaced) std::this_thread::sleep_until(last_sent + pace);
        while (receive_from(sd, server.address, Clock::now(), answer)) say_late(answer); // an earlier barcode's
        last_sent = Clock::now();
        const std::string request = std::string(argv[i]) + "\n";
        if (!udp_send(sd, request.data(), request.size(), server)) {
            const int code = last_socket_error();
            const std::string why = socket_error_text(code);
            std::cerr << "ulvane_scan: cannot send " << argv[i] << " to " << address_text(server.address) << ": "
                      << (why.empty() ? why : why + " ") << "(error " << code << ")" << std::endl;
            status = 1;
            continue;
        }
        const std::chrono::milliseconds timeout(timeout_ms);
        if (receive_from(sd, server.address, Clock::now() + timeout, answer)) {
            ++answers;
            if (raw)
                std::cout << answer << std::flush;
            else
                std::cout << bytes_to_format_text(answer) << std::endl;
            continue;
        }
        std::cerr << "ulvane_scan: no answer for " << argv[i] << " from " << address_text(server.address)
                  << " within " << timeout_ms << " ms ("
                  << (answers > 0 ? "it answered before: it may have no answer for this barcode, or be limiting "
                                    "the requests from this address at its port"
                                  : "is a server running there, at port " + std::to_string(port) + "?")
                  << ")" << std::endl;
        status = 1;
        // Its answer may still come: until a second time-out has passed,
        // whatever comes is late.
        const Clock::time_point until = Clock::now() + timeout;
        while (receive_from(sd, server.address, until, answer)) say_late(answer);
    }
    udp_close(sd);
    socket_layer_stop();
    return status;
}

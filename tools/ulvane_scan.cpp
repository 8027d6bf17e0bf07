// ulvane_scan: a terminal for people, to try a server by hand.
//
//   ulvane_scan [-p=9000] [-t=MILLISECONDS] HOST BARCODE...
//
// Sends each barcode, with a final line feed, to HOST at the port, from that
// same port, as a terminal does, and prints each answer in escape notation.
// The server answers at its own port on the sender's address, so this must
// run on another host than the server. Exits 1 when an answer does not come
// in time, 2 for a bad command line or when the port cannot be bound.
#include <cstring>
#include <iostream>
#include <string>

#include "misc.h"
#include "platform.h"
#include "server.h"

namespace {

int usage()
{
    std::cerr << "usage: ulvane_scan [-p=9000] [-t=MILLISECONDS] HOST BARCODE..." << std::endl;
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    int port = 9000;
    int timeout_ms = 2000;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (std::strncmp(argv[i], "-p=", 3) == 0)
            port = option_number(argv[i] + 3);
        else if (std::strncmp(argv[i], "-t=", 3) == 0)
            timeout_ms = option_number(argv[i] + 3);
        else
            return usage();
    }
    Ipv4_endpoint server;
    if (argc - i < 2 || !address_from_text(argv[i], server.address) || port < 0 || port > 65535)
        return usage();
    server.port = static_cast<std::uint16_t>(port);
    if (!socket_layer_start()) return 2;

    Socket_handle sd = udp_open();
    if (sd < 0 || !udp_bind(sd, server.port)) {
        std::cerr << "ulvane_scan: cannot bind UDP port " << port << " (error " << last_socket_error()
                  << "); is a server running on this host?" << std::endl;
        return 2;
    }
    int status = 0;
    static char buf[65536];
    for (++i; i < argc; ++i) {
        std::string request = std::string(argv[i]) + "\n";
        udp_send(sd, request.data(), request.size(), server);
        bool answered = false;
        while (!answered && udp_wait_readable(sd, timeout_ms)) {
            Datagram_source from;
            long bytes = udp_receive(sd, buf, sizeof buf, from);
            if (bytes < 0 || from.endpoint.address != server.address) continue; // not the server's
            std::cout << bytes_to_text(std::string(buf, static_cast<std::size_t>(bytes))) << std::endl;
            answered = true;
        }
        if (!answered) {
            std::cerr << "ulvane_scan: no answer for " << argv[i] << " within " << timeout_ms << " ms"
                      << std::endl;
            status = 1;
        }
    }
    udp_close(sd);
    socket_layer_stop();
    return status;
}

// reflector [PORT [DIR]]: the ceiling for a server that makes one receive and
// one send per request. Receives a datagram and sends a fixed answer back by
// the server's rule (the sender's address, at our own port); nothing else.
// With DIR it also queries the last-write time of DIR/barcodes.ini and
// DIR/formats.ini for each request, as the server's reload check does: the
// ceiling for a design that must look at both files before every answer.
#include <cstdlib>
#include <string>

#include "platform.h"

int main(int argc, char** argv)
{
    std::uint16_t port = static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : 9000);
    const std::string dir = argc > 2 ? argv[2] : "";
    const std::string barcodes = dir + "/barcodes.ini";
    const std::string formats = dir + "/formats.ini";
    Socket_handle sd = udp_open();
    if (sd < 0 || !udp_bind(sd, port)) return 1;
    static char buf[1600];
    static const char answer[] = "Article number 123456, size 16\nPrice: 12.34 EUR";
    for (;;) {
        Datagram_source from;
        long bytes = udp_receive(sd, buf, sizeof buf, from);
        if (bytes <= 0) continue;
        if (!dir.empty()) {
            File_attributes attributes;
            file_attributes(barcodes, attributes);
            file_attributes(formats, attributes);
        }
        udp_send(sd, answer, sizeof answer - 1, {from.endpoint.address, port});
    }
}

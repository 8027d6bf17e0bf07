// reflector [PORT [DIR [find]]]: the ceiling for a server that makes one
// receive and one send per request. Receives a datagram and sends a fixed
// answer back by the server's rule (the sender's address, at our own port);
// nothing else.
// With DIR it reads the database there first and calls Barcode_db::load for
// each request, which with unchanged files makes just the server's two
// last-write-time queries: the ceiling for a design that must look at both
// files before every answer. With "find" as well it also finds the barcode
// in the barcode table: the least work that a request must cost when the
// tables are checked for edits before every lookup and searched. The answer stays the fixed one; nothing is merged, converted or
// logged.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "database.h"
#include "platform.h"

int main(int argc, char** argv)
{
    std::uint16_t port = static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : 9000);
    const std::string dir = argc > 2 ? argv[2] : "";
    const bool find = argc > 3 && !std::strcmp(argv[3], "find");
    Barcode_db db;
    if (!dir.empty()) {
        try {
            db.load(dir);
        } catch (const std::string& message) {
            std::cerr << message << "\n";
            return 1;
        }
    }
    Socket_handle sd = udp_open();
    if (sd < 0 || !udp_bind(sd, port)) return 1;
    static char buf[1600];
    static const char answer[] = "Article number 123456, size 16\nPrice: 12.34 EUR";
    std::string barcode;
    for (;;) {
        Datagram_source from;
        long bytes = udp_receive(sd, buf, sizeof buf, from);
        if (bytes <= 0) continue;
        std::size_t length = sizeof answer - 1;
        if (!dir.empty()) db.load(dir);
        if (find) {
            barcode.assign(buf, static_cast<std::size_t>(buf[bytes - 1] == '\n' ? bytes - 1 : bytes));
            // The answer depends on the search, one byte shorter when the
            // barcode is unknown, so the search cannot be left out.
            Barcode_tags tags;
            if (!db.barcodes().find(barcode, tags)) --length;
        }
        udp_send(sd, answer, length, {from.endpoint.address, port});
    }
}

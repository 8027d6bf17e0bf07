// reflector [PORT [DIR [find] | batch]]: the ceiling for a server that makes
// one receive and one send per request. Receives a datagram and sends a
// fixed answer back by the server's rule (the sender's address, at our own
// port); nothing else. With "batch" it receives and sends up to 64 at a
// time, as the server does.
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
#include "platform_network.h"

namespace {

// Receives what is waiting (up to 64 datagrams, as the server does) and
// sends the fixed answer to each in one batch: the kernel's limit for this
// protocol.
[[noreturn]] void reflect_in_batches(Socket_handle sd, std::uint16_t port, const char* answer, std::size_t length)
{
    static char buffers[64][1600];
    Received_datagram batch[64];
    Outgoing_datagram out[64];
    for (int i = 0; i < 64; ++i) batch[i] = {buffers[i], sizeof buffers[i], 0, 0, {}};
    Error error;
    for (;;) {
        std::size_t n = udp_receive_batch(sd, batch, 64), k = 0;
        for (std::size_t i = 0; i < n; ++i)
            if (batch[i].bytes > 0) out[k++] = {answer, length, {batch[i].from.endpoint.address, port}};
        udp_send_batch(sd, out, k, error);
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::uint16_t port = static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : 9000);
    const bool batches = argc > 2 && !std::strcmp(argv[2], "batch");
    const std::string dir = argc > 2 && !batches ? argv[2] : "";
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
    Error error;
    Udp_socket socket;
    if (!socket.open(error) || !socket.bind(port, error)) return 1;
    const Socket_handle sd = socket.handle();
    static char buf[1600];
    static const char answer[] = "Article number 123456, size 16\nPrice: 12.34 EUR";
    if (batches) reflect_in_batches(sd, port, answer, sizeof answer - 1);
    std::string barcode;
    for (;;) {
        Datagram_source from;
        long bytes = udp_receive(sd, buf, sizeof buf, from, error);
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
        udp_send(sd, answer, length, {from.endpoint.address, port}, error);
    }
}

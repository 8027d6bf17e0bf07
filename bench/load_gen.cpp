// load_gen: sends barcode requests to a server, as many terminals at once
// would, and reports answers per second and latency percentiles.
//
//   load_gen SERVER [-p=9000] [-w=WINDOW] [-n=COUNT] [-s=SECONDS] [-b=BARCODES] [-r=RATE] [-dns]
//   load_gen - -hosts=FILE [-b=BARCODES]
//
// Receives at the server's port (answers come to it), sends from another
// port, keeps WINDOW requests outstanding (a closed loop: a new request for
// each answer), and stops after COUNT answers or SECONDS. Barcodes are drawn
// from the generated database (bench/large_db.h) of BARCODES entries. The
// server answers in order, so each answer belongs to the oldest request
// outstanding; a window without an answer for a second counts as lost.
// With -r=RATE it sends RATE requests a second instead, answered or not,
// and counts the answers.
//
// With -dns it asks a DNS server instead, the peer that the load test
// measures the server against: a query of type A for the name "b" + barcode,
// answered to the port it left from; answers without an address count as
// misses. -hosts=FILE writes the hosts file that holds those names, one
// address each, and ends.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "large_db.h"
#include "platform_network.h"

using Clock = std::chrono::steady_clock;

// The name a DNS server is asked for in place of the barcode.
std::string dns_name(long i)
{
    return "b" + barcode_of(i);
}

// A standard query, recursion desired, for the address (type A, class IN)
// of a one-label `name`.
std::string dns_query(const std::string& name, std::uint16_t id)
{
    std::string q = {char(id >> 8), char(id & 0xff), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    q += char(name.size());
    q += name;
    q += std::string{0, 0, 1, 0, 1};
    return q;
}

// Whether a DNS answer carries at least one record and no error.
bool dns_answered(const char* answer, long bytes)
{
    return bytes >= 12 && (answer[3] & 0x0f) == 0 && (answer[6] != 0 || answer[7] != 0);
}

int write_hosts(const std::string& path, long barcodes)
{
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return 2;
    for (long i = 0; i < barcodes; ++i)
        std::fprintf(f, "10.%ld.%ld.%ld %s\n", (i >> 16) & 255, (i >> 8) & 255, i & 255, dns_name(i).c_str());
    return std::fclose(f) == 0 ? 0 : 2;
}

// Sends `rate` requests a second for `seconds`, whatever the answers do (as
// many terminals scanning at once), then waits a second for the last
// answers, and reports how many of those sent were answered.
template <typename Next>
int send_at_rate(Socket_handle sender, Socket_handle answers, const Ipv4_endpoint& server, long rate, double seconds,
                 Next next_request)
{
    static char buf[65536];
    const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
    const Clock::time_point start = Clock::now();
    const Clock::time_point stop = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    Clock::time_point due = start;
    long sent = 0, answered = 0;
    Datagram_source from;
    Error error;
    for (Clock::time_point now = start; now < stop + std::chrono::seconds(1); now = Clock::now()) {
        if (now < stop && now >= due) {
            std::string request = next_request();
            udp_send(sender, request.data(), request.size(), server, error);
            ++sent;
            due += interval;
        } else if (udp_wait_readable(answers, 0) && udp_receive(answers, buf, sizeof buf, from, error) >= 0) {
            ++answered;
        }
    }
    std::printf("rate=%ld sent=%ld answers=%ld lost=%ld\n", rate, sent, answered, sent - answered);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << "usage: load_gen SERVER [-p=9000] [-w=WINDOW] [-n=COUNT] [-s=SECONDS] [-b=BARCODES] [-r=RATE] [-dns]\n"
                     "       load_gen - -hosts=FILE [-b=BARCODES]\n";
        return 2;
    }
    Ipv4_endpoint server;
    long port = 9000, window = 16, count = 200000, barcodes = 1000000, rate = 0;
    double seconds = 10;
    bool dns = false;
    std::string hosts;
    for (int i = 2; i < argc; ++i) {
        const char* a = argv[i];
        if (!std::strncmp(a, "-p=", 3)) port = std::atol(a + 3);
        else if (!std::strncmp(a, "-w=", 3)) window = std::atol(a + 3);
        else if (!std::strncmp(a, "-n=", 3)) count = std::atol(a + 3);
        else if (!std::strncmp(a, "-s=", 3)) seconds = std::atof(a + 3);
        else if (!std::strncmp(a, "-b=", 3)) barcodes = std::atol(a + 3);
        else if (!std::strncmp(a, "-r=", 3)) rate = std::atol(a + 3);
        else if (!std::strcmp(a, "-dns")) dns = true;
        else if (!std::strncmp(a, "-hosts=", 7)) hosts = a + 7;
        else return 2;
    }
    if (!hosts.empty()) return write_hosts(hosts, barcodes);
    if (!address_from_text(argv[1], server.address)) return 2;
    server.port = static_cast<std::uint16_t>(port);
    // Answers come to the server's port; requests leave from another one,
    // so the server's limit for senders at its own port never applies.
    Error error;
    Udp_socket receiving, sending;
    if (!receiving.open(error) || !receiving.bind(server.port, error) || !sending.open(error) || !sending.bind(0, error)) {
        std::cerr << "load_gen: cannot bind port " << port << "\n";
        return 2;
    }
    const Socket_handle sd = receiving.handle(), sender = sending.handle();
    // The answers held back by a reload come all at once: room for them, so
    // that none is lost here rather than at the server.
    udp_set_receive_buffer(sd, std::size_t(8) << 20);

    std::mt19937 random(7);
    std::uniform_int_distribution<long> pick(0, barcodes - 1);
    std::uint16_t id = 0;
    auto next_request = [&] {
        const long i = pick(random);
        return dns ? dns_query(dns_name(i), ++id) : barcode_of(i) + "\n";
    };
    const Socket_handle answers = dns ? sender : sd;
    if (rate > 0) return send_at_rate(sender, sd, server, rate, seconds, [&] { return barcode_of(pick(random)) + "\n"; });
    // A closed loop: WINDOW requests outstanding, a new one sent for each
    // answer. Answers are taken and requests sent up to 64 at a time, so
    // that the generator costs less than the target and the target sets the
    // pace.
    std::deque<Clock::time_point> outstanding;
    std::vector<double> latencies_us;
    latencies_us.reserve(static_cast<std::size_t>(count));
    long sent = 0, lost = 0, misses = 0;
    static char buffers[64][1600];
    static Received_datagram batch[64];
    for (Received_datagram& d : batch) d = {buffers[&d - batch], sizeof buffers[0], 0, 0, {}};
    std::vector<std::string> requests(64);
    Outgoing_datagram out[64];
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(seconds));
    while (static_cast<long>(latencies_us.size()) < count && Clock::now() < deadline) {
        std::size_t n = 0;
        while (static_cast<long>(outstanding.size()) < window && sent < count + window && n < 64) {
            requests[n] = next_request();
            out[n] = {requests[n].data(), requests[n].size(), server};
            ++n;
            ++sent;
            outstanding.push_back(Clock::time_point{});
        }
        const Clock::time_point sent_at = Clock::now();
        for (std::size_t k = outstanding.size() - n; k < outstanding.size(); ++k) outstanding[k] = sent_at;
        if (n > 0) udp_send_batch(sender, out, n, error);
        const std::size_t received = udp_receive_batch(answers, batch, 64); // 0 after a second without answers
        if (received == 0) { // the window's requests or answers were lost
            lost += static_cast<long>(outstanding.size());
            outstanding.clear();
            continue;
        }
        const Clock::time_point now = Clock::now();
        for (std::size_t i = 0; i < received && !outstanding.empty(); ++i) {
            if (batch[i].bytes < 0) continue;
            if (dns && !dns_answered(batch[i].buf, batch[i].bytes)) ++misses;
            latencies_us.push_back(std::chrono::duration<double, std::micro>(now - outstanding.front()).count());
            outstanding.pop_front();
        }
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(latencies_us.begin(), latencies_us.end());
    auto percentile = [&](double p) {
        return latencies_us.empty() ? 0.0 : latencies_us[static_cast<std::size_t>(p * (latencies_us.size() - 1))];
    };
    std::printf("answers=%zu sent=%ld lost=%ld misses=%ld seconds=%.2f answers_per_second=%.0f p50_us=%.1f p99_us=%.1f\n",
                latencies_us.size(), sent, lost, misses, elapsed, latencies_us.size() / elapsed, percentile(0.50),
                percentile(0.99));
    return 0;
}

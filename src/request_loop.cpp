#include "request_loop.h"

#include "answering.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>

#include "database.h"
#include "escapes.h"
#include "log.h"
#include "log_messages.h"
#include "platform_process.h"
#include "version.h"

namespace {

// The socket error line, "file:line WSAGetLastError=code", straight to
// standard output and, when the log goes to a file, there too.
void report_socket_error(const char* file, int line, int code)
{
    const std::string text = std::string(file) + ':' + std::to_string(line) + " WSAGetLastError=" + std::to_string(code);
    if (!stream_line_allowed(text.size() + 1)) return; // a request's, over the log's budget
    log_flush();
    std::cout.clear();
    std::cout << text << std::endl;
    if (log_goes_to_file()) LOG_WRN(text);
}
#define REPORT_SOCKET_ERROR(code) report_socket_error(__FILE__, __LINE__, code)

// A reload of a large barcodes file keeps the server from receiving for a
// moment; the socket's receive queue must hold what terminals send meanwhile
// (10,000 requests a second for a reload of a million barcodes).
void ask_for_receive_queue(Socket_handle sd)
{
    const std::size_t wanted = std::size_t(8) << 20;
    const std::size_t granted = udp_set_receive_buffer(sd, wanted);
    if (granted < wanted)
        LOG_WRN("Receive buffer of " << granted << " bytes granted, " << wanted
                                     << " asked: requests that arrive during a long reload may be lost. Raise the "
                                        "system's limit (on Linux: sysctl -w net.core.rmem_max="
                                     << wanted << ") or run with the privilege to exceed it.");
}

} // namespace

Batch_buffers::Batch_buffers() : receive_space(udp_batch_most * longest_datagram)
{
    for (std::size_t i = 0; i < udp_batch_most; ++i) {
        received[i].buf = &receive_space[i * longest_datagram];
        received[i].capacity = longest_datagram;
    }
}

namespace {

// Binds the port at each address that setup.listen names, or at every
// address; false, with the failure reported, when one cannot be bound.
bool bind_sockets(Serving_setup& setup, std::vector<Udp_socket>& sockets)
{
    const std::vector<std::uint32_t> every = {0};
    for (const std::uint32_t address : setup.listen.empty() ? every : setup.listen) {
        Error error;
        // Every address is "0", as this line always said.
        LOG_DBG("Bind receiving socket to " << (address == 0 ? "0" : address_text(address)) << "." << setup.port);
        sockets.emplace_back();
        if (!sockets.back().open(error) || !sockets.back().bind(setup.port, error, address)) {
            REPORT_SOCKET_ERROR(error.code);
            if (address != 0)
                report_failure("ERROR: cannot listen at " + address_text(address) + " port " +
                               std::to_string(setup.port) + ": " + error.text);
            return false;
        }
        // With -p=0 the system picked the port: the other addresses take
        // the same, and the Ready line must name it.
        const std::uint16_t bound = udp_local_port(sockets.back().handle());
        if (bound != 0) setup.port = bound;
        ask_for_receive_queue(sockets.back().handle());
    }
    return true;
}

// "10.77.0.1, 10.78.0.1", or "every address".
std::string listen_text(const std::vector<std::uint32_t>& listen)
{
    std::string text = listen.empty() ? "every address" : "";
    for (std::size_t i = 0; i < listen.size(); ++i) text += (i == 0 ? "" : ", ") + address_text(listen[i]);
    return text;
}

void request_loop(const std::vector<Udp_socket>& sockets, Serving& serving);

} // namespace

int serve(const Serving_setup& setup, const Allowed_senders& allowed, const std::string& stats_file,
          Start_failure& why)
{
    const std::unique_ptr<Serving> serving = std::make_unique<Serving>();
    serving->setup = setup;
    serving->allowed = allowed;
    serving->metrics = Metrics_file(stats_file);
    const Barcode_db& db = serving->db;
    std::vector<Udp_socket> sockets;
    try {
        serving->db.load(setup.db_dir);
        serving->statistics = Statistics(db); // what the first load counted is not counted
        if (!bind_sockets(serving->setup, sockets)) {
            why = Start_failure::port;
            sockets.clear();
            socket_layer_stop();
            return -1;
        }
        watch_operator_signals();
        report_serving();
        LOG_INF("Listening at " << listen_text(serving->setup.listen) << "; answering " << serving->allowed.text()
                                << ".");
        LOG_INF("Ready: answering at UDP port " << serving->setup.port << " with "
                                                << db.barcodes().size() << " barcodes and " << db.formats().size()
                                                << " formats (ulvane_server " << ulvane_version << ").");
        request_loop(sockets, *serving);
        sockets.clear();
        socket_layer_stop();
        return 0;
    } catch (const std::string& message) {
        // In practice the first load failed: the server cannot serve, and
        // says so with its status, as the other start-up failures do.
        report_failure(message);
        sockets.clear();
        socket_layer_stop();
        why = Start_failure::database;
        return -1;
    }
}

namespace {

// Sends the answers of a batch together; one that cannot leave (too long for
// a datagram, to port 0) is said in the log and counted, not lost silently.
void send_answers(Socket_handle sd, const Outgoing_datagram* answers, std::size_t count, Statistics& statistics)
{
    for (std::size_t sent = 0; sent < count;) {
        Error error;
        const std::size_t most = std::min(count - sent, udp_batch_most);
        const std::size_t n = udp_send_batch(sd, answers + sent, most, error);
        sent += n;
        if (n == most) continue;
        statistics.count(Statistics::unsent);
        const Outgoing_datagram& failed = answers[sent++];
        const std::string to = address_text(failed.to.address) + "." + std::to_string(failed.to.port);
        LOG_WRN(msg::answer_not_sent(failed.size, to, error.code));
    }
}

// Asks the memory for the table's places of the barcodes that the `count`
// datagrams received carry, before their lookups need them.
void prefetch_barcodes(std::size_t count, const Serving& serving)
{
    std::string_view barcodes[udp_batch_most];
    for (std::size_t i = 0; i < count; ++i) {
        const Received_datagram& d = serving.batch.received[i];
        barcodes[i] = barcode_in({d.buf, d.bytes > 0 ? static_cast<std::size_t>(d.bytes) : 0});
    }
    serving.db.barcodes().prefetch(barcodes, count);
}

} // namespace

// Answers the `count` datagrams that arrived together in serving.batch.received,
// in order: their log lines go out in one write, before the answers leave
// together.
void answer_batch(Socket_handle sd, std::size_t count, Serving& serving)
{
    std::size_t n = 0;
    Log_scope request(true); // a sender could make any of these lines, as often as it likes
    log_hold();
    serving.begin_batch();
    serving.own_addresses.datagrams_received();
    prefetch_barcodes(count, serving);
    Statistics& statistics = serving.statistics;
    for (std::size_t i = 0; i < count; ++i) {
        Received_datagram& d = serving.batch.received[i];
        if (d.bytes < 0) {
            REPORT_SOCKET_ERROR(d.error);
            if (is_message_too_long(d.error)) { // a datagram that arrived, too long to take
                statistics.count(Statistics::received);
                statistics.count(Statistics::too_long);
            } else {
                statistics.count(Statistics::receive_errors); // no datagram arrived
            }
            continue;
        }
        statistics.count(Statistics::received);
        std::string& answer = serving.batch.answers[n];
        if (answer_datagram(std::string_view(d.buf, static_cast<std::size_t>(d.bytes)), d.from, serving, answer)) {
            serving.batch.outgoing[n] = {answer.data(), answer.size(),
                                   {d.from.endpoint.address, serving.setup.port}};
            ++n;
        }
    }
    log_flush();
    send_answers(sd, serving.batch.outgoing, n, statistics);
}

void serve_batch(Socket_handle sd, Serving& serving)
{
    const std::size_t count = udp_receive_batch(sd, serving.batch.received, udp_batch_most);
    if (count > 0) answer_batch(sd, count, serving);
}

namespace {

void write_metrics_file(Serving& serving, Metrics_file::Clock::time_point now, bool serving_on = true)
{
    serving.metrics.write(serving.statistics, serving.db, serving.setup.port, now, serving_on);
}

} // namespace

void write_statistics(Serving& serving, bool asked, Statistics::Clock::time_point now)
{
    if (asked || serving.statistics.due(now)) {
        serving.statistics.write(asked, serving.db);
        write_metrics_file(serving, now);
    } else if (serving.metrics.due(now)) {
        write_metrics_file(serving, now);
    }
}

namespace {

// What arrived before the stop was asked is answered still, for at most
// `stop_answering_most`: a flood that goes on (and, where the system stamps
// arrivals, anything that came after the stop) does not hold the stop up.
// The rest stays in the socket's queue and goes with it.
constexpr std::chrono::milliseconds stop_answering_most{500};

void answer_what_came_before_the_stop(const std::vector<Udp_socket>& sockets, Serving& serving)
{
    const auto asked = std::chrono::steady_clock::now();
    for (const Udp_socket& socket : sockets) {
        const Socket_handle sd = socket.handle();
        while (std::chrono::steady_clock::now() - asked < stop_answering_most && udp_wait_readable(sd, 0)) {
            const std::size_t count = udp_receive_batch(sd, serving.batch.received, udp_batch_most);
            std::size_t before = 0;
            while (before < count && !(udp_arrivals_stamped && serving.batch.received[before].from.arrived > asked))
                ++before;
            if (before > 0) answer_batch(sd, before, serving);
            if (before < count) break;
        }
    }
}

// Serves a batch from each socket that has datagrams, waiting a second at
// most for the first. One socket (every address, or one -listen= address)
// waits in its receive, as it always did.
void serve_batches(const std::vector<Udp_socket>& sockets, Serving& serving)
{
    if (sockets.size() == 1) return serve_batch(sockets[0].handle(), serving);
    Socket_handle sds[Allowed_senders::most];
    bool readable[Allowed_senders::most];
    for (std::size_t i = 0; i < sockets.size(); ++i) sds[i] = sockets[i].handle();
    if (!udp_wait_any(sds, sockets.size(), 1000, readable)) return;
    for (std::size_t i = 0; i < sockets.size(); ++i)
        if (readable[i]) serve_batch(sds[i], serving);
}

// Serves until the operator asks for a stop; between batches it also
// reopens the log file and writes the statistics when asked (and the
// statistics every hour and at the stop, the metrics file with them and
// every minute), never in the middle of a request.
void request_loop(const std::vector<Udp_socket>& sockets, Serving& serving)
{
    write_metrics_file(serving, Metrics_file::Clock::now());
    while (!stop_requested()) {
        log_note_flood_over();
        if (reopen_requested()) reopen_log_file();
        write_statistics(serving, statistics_requested(), Statistics::Clock::now());
        serve_batches(sockets, serving);
    }
    answer_what_came_before_the_stop(sockets, serving);
    log_note_left_out();
    serving.statistics.write(false, serving.db);
    write_metrics_file(serving, Metrics_file::Clock::now(), false); // the last: not serving
    LOG_INF("Stopped on request.");
}

} // namespace

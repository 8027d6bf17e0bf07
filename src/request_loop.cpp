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

void request_loop(Socket_handle sd, Serving& serving);

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

int serve(const Serving_setup& setup, const Allowed_senders& allowed, const std::string& stats_file,
          Start_failure& why)
{
    const std::unique_ptr<Serving> serving = std::make_unique<Serving>();
    serving->setup = setup;
    serving->allowed = allowed;
    serving->metrics = Metrics_file(stats_file);
    const std::uint16_t port = setup.port;
    const std::string& db_dir = setup.db_dir;
    const Barcode_db& db = serving->db;
    Udp_socket socket;
    try {
        serving->db.load(db_dir);
        serving->statistics = Statistics(db); // what the first load counted is not counted
        Error error;
        LOG_DBG("Bind receiving socket to " << 0 << "." << port);
        if (!socket.open(error) || !socket.bind(port, error)) {
            REPORT_SOCKET_ERROR(error.code);
            why = Start_failure::port;
            socket.close();
            socket_layer_stop();
            return -1;
        }
        const Socket_handle sd = socket.handle();
        // The port bound is the one answers go to; with -p=0 the system
        // picked it, and the Ready line must name that one.
        const std::uint16_t bound = udp_local_port(sd);
        serving->setup.port = bound != 0 ? bound : port;
        ask_for_receive_queue(sd);
        watch_operator_signals();
        report_serving();
        LOG_INF("Listening at every address; answering " << serving->allowed.text() << ".");
        LOG_INF("Ready: answering at UDP port " << serving->setup.port << " with "
                                                << db.barcodes().size() << " barcodes and " << db.formats().size()
                                                << " formats (ulvane_server " << ulvane_version << ").");
        request_loop(sd, *serving);
        socket.close();
        socket_layer_stop();
        return 0;
    } catch (const std::string& message) {
        // In practice the first load failed: the server cannot serve, and
        // says so with its status, as the other start-up failures do.
        report_failure(message);
        socket.close();
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

void answer_what_came_before_the_stop(Socket_handle sd, Serving& serving)
{
    const auto asked = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - asked < stop_answering_most && udp_wait_readable(sd, 0)) {
        const std::size_t count = udp_receive_batch(sd, serving.batch.received, udp_batch_most);
        std::size_t before = 0;
        while (before < count && !(udp_arrivals_stamped && serving.batch.received[before].from.arrived > asked)) ++before;
        if (before > 0) answer_batch(sd, before, serving);
        if (before < count) return;
    }
}

// Serves until the operator asks for a stop; between batches it also
// reopens the log file and writes the statistics when asked (and the
// statistics every hour and at the stop, the metrics file with them and
// every minute), never in the middle of a request.
void request_loop(Socket_handle sd, Serving& serving)
{
    write_metrics_file(serving, Metrics_file::Clock::now());
    while (!stop_requested()) {
        log_note_flood_over();
        if (reopen_requested()) reopen_log_file();
        write_statistics(serving, statistics_requested(), Statistics::Clock::now());
        serve_batch(sd, serving);
    }
    answer_what_came_before_the_stop(sd, serving);
    log_note_left_out();
    serving.statistics.write(false, serving.db);
    write_metrics_file(serving, Metrics_file::Clock::now(), false); // the last: not serving
    LOG_INF("Stopped on request.");
}

} // namespace

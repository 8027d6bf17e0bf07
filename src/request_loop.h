// Serving terminals over UDP: the request loop and the server's state; the
// road of one datagram is answering.h's.
#ifndef ULVANE_REQUEST_LOOP_H
#define ULVANE_REQUEST_LOOP_H

#include <string>
#include <vector>

#include "database.h"
#include "metrics_file.h"
#include "platform_files.h"
#include "platform_network.h"
#include "sender_rules.h"
#include "server.h"
#include "statistics.h"

// What the server serves with, set before it serves and kept as it is.
struct Serving_setup {
    std::uint16_t port = 9000; // the port bound; answers go to it
    std::vector<std::uint32_t> listen; // the addresses bound (-listen=); empty: every address
    std::string db_dir;        // the database directory
    bool read_files = true;    // false: `db` was filled in memory and is never read from db_dir
};

// Binds the port and serves until a stop is asked for; returns the exit
// status as server_main does, with `why` set when it is -1. `stats_file`
// names the metrics file (see Metrics_file), or is empty; `allowed` says
// whom the server answers.
int serve(const Serving_setup& setup, const Allowed_senders& allowed, const std::string& stats_file,
          Start_failure& why);

// One batch's buffers: received into `received` (each with its own part of
// `receive_space`), answered into `answers`, sent from `outgoing`. Nothing
// in them outlives the batch; their memory is kept for the next.
struct Batch_buffers {
    Batch_buffers();
    static constexpr std::size_t longest_datagram = 1600; // a longer one is refused
    std::vector<char> receive_space;
    Received_datagram received[udp_batch_most];
    std::string answers[udp_batch_most];
    std::string answer_text; // an answer before its escapes become bytes
    Gs1_code gs1;            // the GS1 data of the barcode being answered
    Outgoing_datagram outgoing[udp_batch_most];
};

// The server's whole state: its setup, what changes from one request to the
// next, and the buffers of a batch.
struct Serving {
    Serving() = default;
    Serving(const Serving&) = delete;
    Serving& operator=(const Serving&) = delete;

    // A batch of datagrams has arrived: the files are checked once for it,
    // at its first request (see answer_datagram).
    void begin_batch() { files_checked = false; }

    Serving_setup setup;

    Barcode_db db;
    Allowed_senders allowed;
    Answer_limit limit;
    Recent_answers recent;
    Own_addresses own_addresses; // to tell our own answers coming back
    // Whether the database files were checked since the current batch of
    // datagrams arrived: a batch is answered from one check.
    bool files_checked = false;
    bool files_failing = false; // the last check failed
    Directory_watch files_watch; // spares the check where nothing changed
    Statistics statistics{db};
    Metrics_file metrics;

    Batch_buffers batch;
};

// Receives the datagrams waiting at `sd` (waiting a second at most for the
// first) and answers them together, each as answer_datagram (answering.h)
// does; their log lines go out in one write before the answers leave.
void serve_batch(Socket_handle sd, Serving& serving);

// Between batches: writes the statistics when `asked` or due at `now`, the
// metrics file with them and whenever it is due on its own.
void write_statistics(Serving& serving, bool asked, Statistics::Clock::time_point now);

// Answers the first `count` entries of serving.received, as serve_batch
// does once they are received: a failed receive is said and counted, never
// taken for a datagram.
void answer_batch(Socket_handle sd, std::size_t count, Serving& serving);

#endif

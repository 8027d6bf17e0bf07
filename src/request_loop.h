// Serving terminals over UDP: the request loop, and the road of one
// datagram from its arrival to its answer.
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

// Binds the port and serves until a stop is asked for; returns the exit
// status as server_main does, with `why` set when it is -1. `stats_file`
// names the metrics file (see Metrics_file), or is empty.
int serve(int port, const std::string& db_dir, const std::string& stats_file, Start_failure& why);

// The server's whole state, kept from one request to the next.
struct Serving {
    Serving();
    Serving(const Serving&) = delete;
    Serving& operator=(const Serving&) = delete;

    // A batch of datagrams has arrived: the files are checked once for it,
    // at its first request (see answer_datagram).
    void begin_batch() { files_checked = false; }

    int port = 9000;    // the port bound; answers go to it
    std::string db_dir; // the database directory
    Barcode_db db;
    bool read_files = true; // false: `db` was filled in memory and is never read from db_dir
    Answer_limit limit;
    Recent_answers recent;
    // Whether the database files were checked since the current batch of
    // datagrams arrived: a batch is answered from one check.
    bool files_checked = false;
    bool files_failing = false; // the last check failed
    Directory_watch files_watch; // spares the check where nothing changed
    Statistics statistics{db};
    Metrics_file metrics;

    // A batch: received into `received` (each with its own part of
    // `receive_space`), answered into `answers`, sent from `outgoing`.
    static constexpr std::size_t longest_datagram = 1600; // a longer one is refused
    std::vector<char> receive_space;
    Received_datagram received[udp_batch_most];
    std::string answers[udp_batch_most];
    std::string answer_text; // an answer before its escapes become bytes
    Gs1_code gs1;            // the GS1 data of the barcode being answered
    Outgoing_datagram outgoing[udp_batch_most];
};

// Receives the datagrams waiting at `sd` (waiting a second at most for the
// first) and answers them together, each as answer_datagram does; their
// log lines go out in one write before the answers leave.
void serve_batch(Socket_handle sd, Serving& serving);

// Handles one received datagram (empty after a failed receive) from `from`:
// logs it, drops one final line feed, lets serving.db reload from
// serving.db_dir unless serving.files_checked (or not read_files), looks the barcode up and
// converts the answer to bytes. Returns true with `answer` set (its memory
// kept from one request to the next, as serving.answer_text's) when the
// answer is to be sent to the sender's address at the low 16 bits of the
// port; false when nothing is to be sent: an empty datagram, a datagram
// from the server's own socket (answering it would start an endless loop),
// our own answer coming back (serving.recent), one from our port that
// serving.limit drops, or a failed load or lookup, whose message goes to
// standard error (and into a log file). Every line it writes draws on the
// log's budget but those of the files' check. Counts in serving.statistics
// how a non-empty datagram was handled (the caller counts it received).
bool answer_datagram(std::string_view datagram, const Datagram_source& from, Serving& serving, std::string& answer);

#endif

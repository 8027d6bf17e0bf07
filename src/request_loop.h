// Serving terminals over UDP: the request loop, and the road of one
// datagram from its arrival to its answer.
#ifndef ULVANE_REQUEST_LOOP_H
#define ULVANE_REQUEST_LOOP_H

#include <string>

#include "metrics_file.h"
#include "platform.h"
#include "sender_rules.h"
#include "server.h"
#include "statistics.h"

// Binds the port and serves until a stop is asked for; returns the exit
// status as server_main does, with `why` set when it is -1. `stats_file`
// names the metrics file (see Metrics_file), or is empty.
int serve(int port, const std::string& db_dir, const std::string& stats_file, Start_failure& why);

// What serving keeps from one request to the next.
struct Serving {
    int port = 9000;    // as configured; answers go to its low 16 bits
    std::string db_dir; // the database directory
    Answer_limit limit;
    Recent_answers recent;
    // Whether the database files were checked since the current batch of
    // datagrams arrived: a batch is answered from one check.
    bool files_checked = false;
    bool files_failing = false; // the last check failed
    Directory_watch files_watch; // spares the check where nothing changed
    Statistics statistics;
    Metrics_file metrics;
};

// Handles one received datagram (empty after a failed receive) from `from`:
// logs it, drops one final line feed, lets the_barcode_db reload from
// serving.db_dir unless serving.files_checked, looks the barcode up and
// converts the answer to bytes. Returns true with `answer` set when the
// answer is to be sent to the sender's address at the low 16 bits of the
// port; false when nothing is to be sent: an empty datagram, a datagram
// from the server's own socket (answering it would start an endless loop),
// our own answer coming back (serving.recent), one from our port that
// serving.limit drops, or a failed load or lookup, whose message goes to
// standard error (and into a log file). Every line it writes draws on the
// log's budget but those of the files' check. Counts in serving.statistics
// how a non-empty datagram was handled (the caller counts it received).
bool answer_datagram(std::string datagram, const Datagram_source& from, Serving& serving, std::string& answer);

#endif

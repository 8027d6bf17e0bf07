// The road of one datagram from its arrival to its answer: the checks
// before it, the lookup, the loop rules, and what the statistics count.
#ifndef ULVANE_ANSWERING_H
#define ULVANE_ANSWERING_H

#include <string>
#include <string_view>

#include "platform_network.h"
#include "request_loop.h"

// The barcode a datagram carries: all of it but one final line feed (a
// carriage return before it is the lookup's: see Gs1_code::scanned).
inline std::string_view barcode_in(std::string_view datagram)
{
    return datagram.substr(0, datagram.size() - (!datagram.empty() && datagram.back() == '\n'));
}

// Handles one datagram that arrived whole from `from`: logs it, drops one
// final line feed, lets serving.db reload from serving.setup.db_dir unless
// serving.files_checked (or not read_files), looks the barcode up and
// converts the answer to bytes. Returns true with `answer` set (its memory
// kept from one request to the next, as serving.batch.answer_text's) when the
// answer is to be sent to the sender's address at the low 16 bits of the
// port; false when nothing is to be sent: an empty datagram, a datagram
// from the server's own socket (answering it would start an endless loop),
// our own answer coming back (serving.recent), one from our port that
// serving.limit drops, or a failed load or lookup, whose message goes to
// standard error (and into a log file). Called within a request's
// Log_scope: every line it writes draws on the log's budget but those of
// the files' check. Counts in serving.statistics, once, what became of the
// datagram (the caller counts it received).
bool answer_datagram(std::string_view datagram, const Datagram_source& from, Serving& serving, std::string& answer);

#endif

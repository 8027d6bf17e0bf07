// The program: command line, start-up, and serving terminals over UDP.
#ifndef ULVANE_SERVER_H
#define ULVANE_SERVER_H

#include <string>

#include "platform.h"

// The whole program; main() only hands over to it. Returns the exit status:
// 0 after the help text or when the first database load fails, -1 when the
// socket layer cannot start, for an unknown option and when the port cannot
// be bound. Otherwise it serves until the process is stopped.
int server_main(int argc, char** argv);

// A number of an option, read as atoi reads it: leading white space, a sign,
// digits up to the first non-digit; 0 without digits. Values beyond the
// range of a 32-bit int are clamped to INT_MIN / INT_MAX.
int option_number(const char* text);

// Handles one received datagram (empty after a failed receive) from `from`:
// logs it, drops one final line feed, lets the_barcode_db reload from
// db_dir, looks the barcode up and converts the answer to bytes. Returns
// true with `answer` set when the answer is to be sent to the sender's
// address at the low 16 bits of `port`; false when nothing is to be sent: an
// empty datagram, a datagram from the server's own socket (answering it
// would start an endless loop), or a failed load or lookup, whose message
// goes to standard error.
bool answer_datagram(std::string datagram, const Datagram_source& from, int port, const std::string& db_dir,
                     std::string& answer);

#endif

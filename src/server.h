// The program: command line, start-up, and serving terminals over UDP.
#ifndef ULVANE_SERVER_H
#define ULVANE_SERVER_H

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform.h"

// The whole program; main() only hands over to it. Returns the exit status:
// 0 after the help text and after a stop that the operator asked for
// (SIGTERM, SIGINT, Ctrl-C); -1 when the socket layer cannot start, for an
// unknown option, when the first database load fails and when the port
// cannot be bound. Otherwise it serves; SIGHUP reopens the log file (on
// Windows, the service control PARAMCHANGE). When it returns -1, `failure`
// (if given) tells why, for a caller that must tell (the Windows service).
enum class Start_failure { none = 0, socket_layer = 1, option = 2, database = 3, port = 4 };
int server_main(int argc, char** argv, Start_failure* failure = nullptr);

// A number of an option, read as atoi reads it: leading white space, a sign,
// digits up to the first non-digit; 0 without digits. Values beyond the
// range of a 32-bit int are clamped to INT_MIN / INT_MAX.
int option_number(const char* text);

// Breaks answer loops with another server. Answers go to the sender's
// address at our own port, so another server there takes them for requests
// and answers them, and so on for ever. Only datagrams whose source port is
// the port we answer to can be part of such a loop; for those, admit allows
// per source address a burst of `burst` answers and then `per_second` a
// second (a person scanning, and a terminal's retries, stay far below), so a
// loop ends at its first unanswered datagram. Each address is limited by its
// own datagrams only. The table holds `slots` addresses in groups of `ways`;
// when an address finds its group full, the one that owes least (an idle
// one first) is forgotten and starts afresh when it comes back, so a loop,
// which never idles, stays remembered.
class Answer_limit {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int burst = 32;
    static constexpr int per_second = 50;
    static constexpr std::size_t slots = 4096;
    static constexpr std::size_t ways = 8;

    // True when the datagram from `from` (at our own port) that arrived at
    // `arrived` may be answered. A dropped datagram gives a WRN line naming
    // the sender and its rate, at most one a minute per address.
    bool admit(const Ipv4_endpoint& from, Clock::time_point arrived);

private:
    struct Slot {
        std::uint32_t address = 0;
        bool used = false;
        bool warned = false;
        int seen = 0; // datagrams since `second_began`
        Clock::time_point second_began{};
        Clock::time_point next_due{}; // when the next answer is due at the steady rate
        Clock::time_point warned_at{};
    };
    Slot& slot_of(std::uint32_t address, Clock::time_point now);

    std::array<Slot, slots> my_slots{};
};

// Ends loops through a third party that returns what it receives from
// another port (an echo service, a NAT): a datagram that holds exactly the
// bytes we answered to its address within the last second is our own answer
// coming back, whatever its port. Nothing a terminal scans looks like an
// answer. Remembers the last answer to each of `slots` addresses (two that
// meet in one slot forget each other's, which lets at most one more echo
// through).
class Recent_answers {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t slots = 1024;

    // Remembers `answer`, sent to `address` at `now`.
    void sent(std::uint32_t address, const std::string& answer, Clock::time_point now);
    // True when `datagram` from `from`, arrived at `arrived`, is the answer
    // last sent there; says so in a WRN line, at most one a minute per
    // address.
    bool is_echo(const Ipv4_endpoint& from, const std::string& datagram, Clock::time_point arrived);

private:
    struct Slot {
        std::uint32_t address = 0;
        bool used = false;
        bool warned = false;
        std::size_t size = 0;
        std::size_t hash = 0;
        Clock::time_point sent_at{};
        Clock::time_point warned_at{};
    };
    std::array<Slot, slots> my_slots{};
};

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
// log's budget but those of the files' check.
bool answer_datagram(std::string datagram, const Datagram_source& from, Serving& serving, std::string& answer);

#endif

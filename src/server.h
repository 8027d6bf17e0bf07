// The program: command line, start-up, and serving terminals over UDP.
#ifndef ULVANE_SERVER_H
#define ULVANE_SERVER_H

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform.h"

// The whole program; main() only hands over to it. Returns the exit status:
// 0 after the help text and after a stop that the operator asked for
// (SIGTERM, SIGINT, Ctrl-C); -1 when the socket layer cannot start, for an
// unknown option, when the first database load fails and when the port
// cannot be bound. Otherwise it serves; SIGHUP reopens the log file (on
// Windows, the service control PARAMCHANGE). When it returns -1, `failure`
// (if given) tells why, for a caller that must tell (the Windows service).
enum class Start_failure { none = 0, socket_layer = 1, option = 2, database = 3, port = 4, log = 5 };
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
// one first) is forgotten and starts afresh when it comes back, but never
// one refused within the last second: a loop stays refused whatever others
// send. When every address of the group was refused so, the newcomer shares
// one more limit with all others that found no room, so that no sender goes
// unlimited, and memory stays bounded.
class Answer_limit {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int burst = 32;
    static constexpr int per_second = 50;
    static constexpr std::size_t slots = 4096;
    static constexpr std::size_t ways = 8;

    // True when the datagram from `from` (at our own port) that arrived at
    // `arrived` may be answered. A dropped datagram gives a WRN line naming
    // the sender and its rate, at most one a minute per address (for those
    // that found no room, one a minute for all of them).
    bool admit(const Ipv4_endpoint& from, Clock::time_point arrived);
    // Which group of the table an address falls into.
    static std::size_t group_of(std::uint32_t address);

private:
    struct Slot {
        std::uint32_t address = 0;
        bool used = false;
        bool warned = false;
        bool refused = false; // at `refused_at`, the last time
        int seen = 0; // datagrams since `second_began`
        Clock::time_point second_began{};
        Clock::time_point next_due{}; // when the next answer is due at the steady rate
        Clock::time_point warned_at{};
        Clock::time_point refused_at{};
    };
    // The address's slot; the shared one when its group has no room.
    Slot& slot_of(std::uint32_t address, Clock::time_point now);

    std::array<Slot, slots> my_slots{};
    Slot my_no_room; // shared by the addresses that found no room
};

// Ends loops through a third party that returns what it receives from
// another port (an echo service, a NAT): a datagram that holds exactly the
// bytes we answered to its address within the last second is our own answer
// coming back, whatever its port. A terminal may scan the very code an
// answer showed it (a shelf label's answer showing the article's code, then
// the article), so for a barcode of ours the first such datagram a second
// is answered; a loop, which returns every answer, still ends at the second.
// Remembers the last answer to each of `slots` addresses (two that meet in
// one slot forget each other's, which lets at most one more echo through).
class Recent_answers {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t slots = 1024;

    // Remembers `answer`, sent to `address` at `now`.
    void sent(std::uint32_t address, const std::string& answer, Clock::time_point now);
    // True when `datagram` from `from`, arrived at `arrived`, is the answer
    // last sent there within the last second.
    bool holds_last_answer(const Ipv4_endpoint& from, const std::string& datagram, Clock::time_point arrived) const;
    // True when it is, and not the first such a second for a barcode of
    // ours; says so in a WRN line, at most one a minute per address.
    bool is_echo(const Ipv4_endpoint& from, const std::string& datagram, Clock::time_point arrived, bool ours = false);

private:
    struct Slot {
        std::uint32_t address = 0;
        bool used = false;
        bool warned = false;
        bool look_alike = false; // one was answered at `look_alike_at`
        std::size_t size = 0;
        std::size_t hash = 0;
        Clock::time_point sent_at{};
        Clock::time_point warned_at{};
        Clock::time_point look_alike_at{};
    };
    static std::size_t slot_index(std::uint32_t address) { return address * 2654435761u >> 22; }
    std::array<Slot, slots> my_slots{};
};

// The barcodes asked for most among many, in bounded memory: at most
// `tracked` of them are counted (the "space saving" way). A barcode not
// counted yet takes the place of the least counted one, and that count + 1,
// so a barcode asked for often is never lost among a flood of others. The
// counts are exact while no more than `tracked` different barcodes came;
// after that a count may be too high by at most the count it took over.
class Top_barcodes {
public:
    static constexpr std::size_t tracked = 256;

    void add(const std::string& barcode);
    // The `n` most counted, most first (equal counts in byte order).
    std::vector<std::pair<std::string, unsigned long>> top(std::size_t n) const;
    void clear() { my_counts.clear(); }

private:
    std::unordered_map<std::string, unsigned long> my_counts;
};

// What the server did, counted from its start, and written to the log in
// two INF lines: "Statistics since <time of the last report>: received=..."
// with every count for the time since the last report, then for the time
// since the start, then the state of both files; and "Unknown barcodes
// since <time>: ..." with the 20 most asked for since the last report that
// only the fallback barcode answered, or none answered.
class Statistics {
public:
    using Clock = std::chrono::steady_clock;
    // received = answered + the reasons for not answering, from failed to
    // echo. via_fallback_* and unsent are parts of answered.
    enum Counter {
        received, answered, via_fallback_barcode, via_fallback_format, failed, empty, too_long, own_socket,
        over_limit, echo, unsent, receive_errors, log_lines_left_out, barcodes_reloads, formats_reloads, counters
    };
    static constexpr std::chrono::hours period{1};

    Statistics(); // counting starts now
    void count(Counter counter) { ++my_counts[counter]; }
    void unknown_barcode(const std::string& barcode) { my_unknown.add(barcode); }
    // True when the last report is `period` old at `now`.
    bool due(Clock::time_point now) const { return now - my_reported_at >= period; }
    // Writes the report: at level 3 and up, or at every level when `asked`.
    // Starts the next period.
    void write(bool asked);

private:
    // Takes over the counts that the log and the database keep.
    void take_counts_kept_elsewhere();

    std::array<std::uint64_t, counters> my_counts{};
    std::array<std::uint64_t, counters> my_counts_reported{}; // at the last report
    std::array<std::uint64_t, counters> my_counts_at_start{};
    std::time_t my_started;
    std::time_t my_reported;       // the last report's time, or the start
    Clock::time_point my_reported_at;
    Top_barcodes my_unknown;       // since the last report
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
    Directory_watch files_watch; // spares the check where nothing changed
    Statistics statistics;
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

#include "server.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <iostream>

#include "database.h"
#include "misc.h"
#include "platform.h"

namespace {

const char* const version = "0.2";

void show_help()
{
    std::cout << "ulvane_server.exe [-h] | { [-log=file] [-d] [-p=nnnnn] [-db=dir] }" << std::endl
              << std::endl
              << "VERSION = " << version << std::endl
              << std::endl
              << "This is a fully functional example implementation for an ulvane server program." << std::endl
              << "ulvane_server.exe can function as a stand-alone database server and is" << std::endl
              << "configurable by comandline options." << std::endl
              << "It has a simple ini-file style database implementation that is seperated " << std::endl
              << "into two files (also see option -db):" << std::endl
              << "   formats.ini  - a file containing formats for sending to the ulvanes" << std::endl
              << "   barcodes.ini - a file containing all barcodes and their 'tags'." << std::endl
              << std::endl
              << "   -h|-help|/h/H  show this text" << std::endl
              << "   -p=nnnnn       [9000] use port nnnnn to listen to instead the default" << std::endl
              << "                  for now, only udp communication is supported" << std::endl
              << "   -db=dir        [.] use directory dir instead pf the current directory for" << std::endl
              << "                  looking for files formats.ini and barcodes.ini" << std::endl
              << "   -log=file      write logging to 'file'instead of standard out" << std::endl
              << "   -l=n           [3] log-level (1=fatal, 2=warning, 3=info, 4=debug, 5=dump (TODO)"
              << std::endl;
}

bool is_help_option(const char* arg)
{
    for (const char* help : {"-h", "/h", "/H", "-help", "/help"})
        if (std::strcmp(arg, help) == 0) return true;
    return false;
}

bool starts_with(const char* arg, const char* prefix)
{
    return std::strncmp(arg, prefix, std::strlen(prefix)) == 0;
}

// A failure message: on standard error as always and, when the log goes to
// a file, there too, where the operator reads.
void report_failure(const std::string& message)
{
    if (!stream_line_allowed(message.size() + 1)) return; // a request's, over the log's budget
    log_flush(); // the log lines before it come first
    std::cerr.clear(); // a full disk or a closed pipe once must not silence it for good
    std::cerr << message << std::endl;
    if (log_goes_to_file()) LOG_WRN(message);
}

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

int serve(int port, const std::string& db_dir, Start_failure& why);
void request_loop(Socket_handle sd, int port, const std::string& db_dir);

} // namespace

int option_number(const char* text)
{
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int>(value);
}

int server_main(int argc, char** argv, Start_failure* failure)
{
    Start_failure ignored;
    Start_failure& why = failure != nullptr ? *failure : ignored;
    why = Start_failure::none;
    protect_standard_streams();
    unbuffer_standard_streams();
    if (!socket_layer_start()) {
        std::cout << "No usable winsock.dll found." << std::flush;
        why = Start_failure::socket_layer;
        return -1;
    }
    int port = 9000;
    std::string db_dir = ".";

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (is_help_option(arg)) {
            show_help();
            return 0;
        } else if (starts_with(arg, "-p=")) {
            port = option_number(arg + 3);
        } else if (starts_with(arg, "-db=")) {
            db_dir = arg + 4;
            LOG_DBG("db_dir=\"" << db_dir << "\"");
        } else if (starts_with(arg, "-log=")) {
            set_log_file(arg + 5);
        } else if (starts_with(arg, "-l=")) {
            set_log_level(static_cast<unsigned>(option_number(arg + 3)));
        } else {
            std::cerr << "ERROR: unkown option \"" << arg << "\"" << std::endl << std::endl;
            show_help();
            why = Start_failure::option;
            return -1;
        }
    }
    LOG_INF("Using database directory " << db_dir);
    LOG_INF("Using UDP port " << port);
    if (static_cast<std::uint16_t>(port) != port)
        LOG_WRN("Port " << port << " is outside 0 to 65535: using UDP port " << static_cast<std::uint16_t>(port)
                        << " instead.");
    return serve(port, db_dir, why);
}

namespace {

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

int serve(int port, const std::string& db_dir, Start_failure& why)
{
    Socket_handle sd = no_socket;
    try {
        the_barcode_db.load(db_dir);
        sd = udp_open();
        if (sd < 0) REPORT_SOCKET_ERROR(last_socket_error()); // the bind below fails and ends the run
        LOG_DBG("Bind receiving socket to " << 0 << "." << port);
        if (!udp_bind(sd, static_cast<std::uint16_t>(port))) {
            REPORT_SOCKET_ERROR(last_socket_error());
            why = Start_failure::port;
            return -1;
        }
        ask_for_receive_queue(sd);
        watch_operator_signals();
        report_serving();
        LOG_INF("Ready: answering at UDP port " << static_cast<std::uint16_t>(port) << " with "
                                                << the_barcode_db.barcodes().size() << " barcodes and "
                                                << the_barcode_db.formats().size() << " formats.");
        request_loop(sd, port, db_dir);
        udp_close(sd);
        socket_layer_stop();
        return 0;
    } catch (const std::string& message) {
        // In practice the first load failed: the server cannot serve, and
        // says so with its status, as the other start-up failures do.
        report_failure(message);
        if (sd >= 0) udp_close(sd);
        socket_layer_stop();
        why = Start_failure::database;
        return -1;
    }
}

// Sends the answers of a batch together; one that cannot leave (too long for
// a datagram, to port 0) is said in the log and counted, not lost silently.
void send_answers(Socket_handle sd, const Outgoing_datagram* answers, std::size_t count, Statistics& statistics)
{
    for (std::size_t sent = 0; sent < count;) {
        sent += udp_send_batch(sd, answers + sent, count - sent);
        if (sent == count) break;
        statistics.count(Statistics::unsent);
        const Outgoing_datagram& failed = answers[sent++];
        const int code = last_socket_error();
        LOG_WRN("Answer of " << failed.size << " bytes to " << address_text(failed.to.address) << "."
                             << failed.to.port << " not sent: WSAGetLastError=" << code);
    }
}

// Answers the datagrams that arrived together, in order: their log lines go
// out in one write, before the answers leave together.
void answer_batch(Socket_handle sd, Received_datagram* batch, std::size_t count, Serving& serving)
{
    static std::string answers[64];
    static Outgoing_datagram outgoing[64];
    std::size_t n = 0;
    Log_scope request(true); // a sender could make any of these lines, as often as it likes
    log_hold();
    serving.files_checked = false; // once for the batch, after it arrived
    for (std::size_t i = 0; i < count; ++i) {
        Received_datagram& d = batch[i];
        Statistics& statistics = serving.statistics;
        if (d.bytes < 0) {
            REPORT_SOCKET_ERROR(d.error);
            d.bytes = 0;
            if (is_message_too_long(d.error)) { // a datagram that arrived, not an empty one
                statistics.count(Statistics::received);
                statistics.count(Statistics::too_long);
                continue;
            }
            statistics.count(Statistics::receive_errors); // no datagram arrived
        } else {
            statistics.count(Statistics::received);
            if (d.bytes == 0) statistics.count(Statistics::empty);
        }
        if (answer_datagram(std::string(d.buf, static_cast<std::size_t>(d.bytes)), d.from, serving, answers[n])) {
            outgoing[n] = {answers[n].data(), answers[n].size(),
                           {d.from.endpoint.address, static_cast<std::uint16_t>(serving.port)}};
            ++n;
        }
    }
    log_flush();
    send_answers(sd, outgoing, n, serving.statistics);
}

// Serves until the operator asks for a stop; between batches it also
// reopens the log file and writes the statistics when asked (and the
// statistics every hour and at the stop), never in the middle of a request.
void request_loop(Socket_handle sd, int port, const std::string& db_dir)
{
    static char buffers[64][1600];
    static Received_datagram batch[64];
    static Serving serving;
    serving.port = port;
    serving.db_dir = db_dir;
    for (Received_datagram& d : batch) {
        d.buf = buffers[&d - batch];
        d.capacity = sizeof buffers[0];
    }
    while (!stop_requested()) {
        log_note_flood_over();
        if (reopen_requested()) reopen_log_file();
        if (statistics_requested())
            serving.statistics.write(true);
        else if (serving.statistics.due(Statistics::Clock::now()))
            serving.statistics.write(false);
        std::size_t count = udp_receive_batch(sd, batch, 64);
        if (count > 0) answer_batch(sd, batch, count, serving);
    }
    // What arrived before the stop is answered still.
    while (udp_wait_readable(sd, 0)) {
        std::size_t count = udp_receive_batch(sd, batch, 64);
        if (count > 0) answer_batch(sd, batch, count, serving);
    }
    serving.statistics.write(false);
    LOG_INF("Stopped on request.");
}

} // namespace

namespace {

// A line about one address at most once a minute: true, and the time
// noted, when one is due at `now`.
bool due_for_a_line(bool& warned, std::chrono::steady_clock::time_point& warned_at,
                    std::chrono::steady_clock::time_point now)
{
    if (warned && now - warned_at < std::chrono::minutes(1)) return false;
    warned = true;
    warned_at = now;
    return true;
}

} // namespace

std::size_t Answer_limit::group_of(std::uint32_t address)
{
    // Addresses of one subnet, which differ in their low bits, fall into
    // groups of their own.
    const std::uint32_t hash = (address ^ (address >> 16)) * 2654435761u;
    return (hash >> 8) % (slots / ways);
}

Answer_limit::Slot& Answer_limit::slot_of(std::uint32_t address, Clock::time_point now)
{
    Slot* const group = &my_slots[group_of(address) * ways];
    Slot* forget = nullptr;
    for (Slot* slot = group; slot != group + ways; ++slot) {
        if (slot->used && slot->address == address) return *slot;
        if (slot->used && slot->refused && now - slot->refused_at < std::chrono::seconds(1)) continue;
        if (forget == nullptr || !slot->used || (forget->used && slot->next_due < forget->next_due)) forget = slot;
    }
    if (forget == nullptr) {
        if (!my_no_room.used) {
            my_no_room.used = true;
            my_no_room.second_began = now;
            my_no_room.next_due = now;
        }
        my_no_room.address = address; // the latest, for its line
        return my_no_room;
    }
    *forget = Slot{};
    forget->address = address;
    forget->used = true;
    forget->second_began = now;
    forget->next_due = now;
    return *forget;
}

bool Answer_limit::admit(const Ipv4_endpoint& from, Clock::time_point arrived)
{
    // A token bucket kept as the time the next answer is due: a burst may
    // run that far ahead of the clock, and no further.
    const Clock::duration interval = std::chrono::nanoseconds(std::chrono::seconds(1)) / per_second;
    const Clock::duration ahead = (burst - 1) * interval;
    Slot& slot = slot_of(from.address, arrived);
    if (arrived - slot.second_began >= std::chrono::seconds(1)) {
        slot.second_began = arrived;
        slot.seen = 0;
    }
    ++slot.seen;
    const Clock::time_point due = std::max(slot.next_due, arrived);
    if (due - arrived <= ahead) {
        slot.next_due = due + interval;
        return true;
    }
    slot.refused = true;
    slot.refused_at = arrived;
    if (!due_for_a_line(slot.warned, slot.warned_at, arrived)) return false;
    if (&slot == &my_no_room) {
        LOG_WRN("Too many messages at our port from addresses that the limit has no room to remember (the latest from "
                << address_text(from.address) << "." << from.port << "): " << slot.seen
                << " within a second, not answered (likely many senders at our port over their limit, forged ones"
                   " among them). Further drops of these are logged at most once a minute.");
    } else {
        LOG_WRN("Too many messages from " << address_text(from.address) << "." << from.port << ": " << slot.seen
                                          << " within a second from this address at our port, not answered"
                                             " (likely another server there answering our answers, or a sender"
                                             " at our port sending too fast). Further drops from this address"
                                             " are logged at most once a minute.");
    }
    return false;
}

static_assert(Recent_answers::slots == 1024, "the slot is the top 10 bits of the address's hash");

void Recent_answers::sent(std::uint32_t address, const std::string& answer, Clock::time_point now)
{
    Slot& slot = my_slots[slot_index(address)];
    if (!slot.used || slot.address != address) slot = Slot{};
    slot.address = address;
    slot.used = true;
    slot.size = answer.size();
    slot.hash = std::hash<std::string>()(answer);
    slot.sent_at = now;
}

bool Recent_answers::holds_last_answer(const Ipv4_endpoint& from, const std::string& datagram,
                                      Clock::time_point arrived) const
{
    const Slot& slot = my_slots[slot_index(from.address)];
    return slot.used && slot.address == from.address && slot.size == datagram.size() &&
           arrived - slot.sent_at <= std::chrono::seconds(1) && slot.hash == std::hash<std::string>()(datagram);
}

bool Recent_answers::is_echo(const Ipv4_endpoint& from, const std::string& datagram, Clock::time_point arrived,
                             bool ours)
{
    if (!holds_last_answer(from, datagram, arrived)) return false;
    Slot& slot = my_slots[slot_index(from.address)];
    if (ours && !(slot.look_alike && arrived - slot.look_alike_at < std::chrono::seconds(1))) {
        slot.look_alike = true;
        slot.look_alike_at = arrived;
        return false;
    }
    if (due_for_a_line(slot.warned, slot.warned_at, arrived)) {
        LOG_WRN("Message from " << address_text(from.address) << "." << from.port
                                << " holds our last answer to that address: not answered (likely a service there"
                                   " that returns what it receives). Further ones from this address are logged"
                                   " at most once a minute.");
    }
    return true;
}

namespace {

// Lets the database reload what changed, once for a batch of datagrams.
// Until a check succeeds, each request checks again, and each failure is
// reported for its request. What a check logs is the server's own news,
// never left out; but while a file stays missing, the same lines again at
// every request are the request's, so that a flood cannot fill the disk
// with them either.
void check_files(Serving& serving)
{
    if (serving.files_checked) return;
    // Where the system reports every change at once, a batch after none
    // needs no look at the files (two system calls that cost more than the
    // rest of a request), once a look found both and read them whole.
    const Files_news news = serving.files_watch.what_changed(serving.db_dir, database_files, 2);
    if (news == Files_news::none && the_barcode_db.read_whole()) {
        serving.files_checked = true;
        return;
    }
    Log_scope scope(serving.files_failing);
    serving.files_failing = true;
    the_barcode_db.load(serving.db_dir, news != Files_news::written);
    serving.files_failing = false;
    serving.files_checked = true;
}

// The rules that end loops with another server or through an echo: from our
// own port only within the address's limit, and never our last answer to
// the address coming back. For a barcode of ours (`ours`) one look-alike of
// that answer a second is a terminal scanning the code it was just shown.
bool loop_rules_admit(const std::string& datagram, const Datagram_source& from, Serving& serving, bool ours)
{
    if (from.endpoint.port == static_cast<std::uint16_t>(serving.port) && !serving.limit.admit(from.endpoint, from.arrived)) {
        serving.statistics.count(Statistics::over_limit);
        return false;
    }
    if (serving.recent.is_echo(from.endpoint, datagram, from.arrived, ours)) {
        serving.statistics.count(Statistics::echo);
        return false;
    }
    return true;
}

// The barcode a datagram carries: all of it but one final line feed.
std::string_view barcode_in(std::string_view datagram)
{
    return datagram.substr(0, datagram.size() - (!datagram.empty() && datagram.back() == '\n'));
}

} // namespace

bool answer_datagram(std::string datagram, const Datagram_source& from, Serving& serving, std::string& answer)
{
    Log_scope request(true);
    const int port = serving.port;
    // The sender's address is written out only where a line is logged.
    const std::uint32_t sender = from.endpoint.address;
    if (datagram.empty()) {
        LOG_WRN("Empty message received from " << address_text(sender));
        return false;
    }
    LOG_DMP("msg from " << address_text(sender) << "." << from.endpoint.port << " (#" << datagram.size()
                        << " bytes):'" << escape_control_bytes(bytes_to_text(datagram)) << "'"); // DEL too

    Statistics& statistics = serving.statistics;
    if (from.endpoint.port == static_cast<std::uint16_t>(port) && (from.from_this_host || is_own_address(sender))) {
        // Our own answer, sent to ourselves: answering it would start an
        // endless loop between the socket and itself. Nothing else on this
        // host can send from our port.
        LOG_WRN("Message from " << address_text(sender) << "." << from.endpoint.port
                                << " comes from this server's own socket: not answered.");
        statistics.count(Statistics::own_socket);
        return false;
    }
    const std::string_view barcode = barcode_in(datagram);
    // Only a datagram from our port, or one that holds our last answer to
    // its sender, can be refused. A barcode of ours is not refused before
    // its answer tells whether it may be part of a loop (the table as the
    // last batch saw it is enough: the answer decides).
    const bool suspect = from.endpoint.port == static_cast<std::uint16_t>(port) ||
                         serving.recent.holds_last_answer(from.endpoint, datagram, from.arrived);
    const bool ours = suspect && the_barcode_db.holds(barcode);
    if (suspect && !ours && !loop_rules_admit(datagram, from, serving, false)) return false;

    const Shown_barcode shown(barcode);
    Fallbacks used;
    try {
        LOG_INF("Received barcode \"" << shown << "\"");
        check_files(serving);
        const std::string text = the_barcode_db.lookup(barcode, shown, used);
        answer = text_to_bytes(text);
        // A request for a barcode of ours, whose answer is none, cannot be
        // part of a loop: another server takes that answer for a barcode it
        // does not hold (our own answers are never ours), an echo returns
        // it as it is. It is answered whatever others send from the
        // sender's address. An answer that is a barcode of ours could come
        // back as a request, so then the loop rules hold after all.
        if (ours && (used.barcode || the_barcode_db.holds(barcode_in(answer))) &&
            !loop_rules_admit(datagram, from, serving, true))
            return false;
        LOG_DBG("Sending: \"" << text << "\" to " << address_text(sender) << "." << port);
        serving.recent.sent(sender, answer, from.arrived);
        statistics.count(Statistics::answered);
        if (used.barcode) {
            statistics.count(Statistics::via_fallback_barcode);
            statistics.unknown_barcode(std::string(barcode));
        }
        if (used.format) statistics.count(Statistics::via_fallback_format);
        return true;
    } catch (const std::string& message) {
        report_failure(message);
        statistics.count(Statistics::failed);
        if (used.barcode) statistics.unknown_barcode(std::string(barcode));
        return false;
    }
}

void Top_barcodes::add(const std::string& barcode)
{
    auto counted = my_counts.find(barcode);
    if (counted != my_counts.end()) {
        ++counted->second;
        return;
    }
    unsigned long count = 1;
    if (my_counts.size() >= tracked) {
        auto least = std::min_element(my_counts.begin(), my_counts.end(),
                                      [](const auto& a, const auto& b) { return a.second < b.second; });
        count = least->second + 1;
        my_counts.erase(least);
    }
    my_counts.emplace(barcode, count);
}

std::vector<std::pair<std::string, unsigned long>> Top_barcodes::top(std::size_t n) const
{
    std::vector<std::pair<std::string, unsigned long>> all(my_counts.begin(), my_counts.end());
    auto first = [](const auto& a, const auto& b) { return a.second != b.second ? a.second > b.second : a.first < b.first; };
    n = std::min(n, all.size());
    std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n), all.end(), first);
    all.resize(n);
    return all;
}

namespace {

const char* const counter_names[] = {
    "received",  "answered", "via_fallback_barcode", "via_fallback_format", "failed",
    "empty",     "too_long", "own_socket",           "over_limit",          "echo",
    "unsent",    "receive_errors", "log_lines_left_out", "barcodes_reloads", "formats_reloads",
};
static_assert(sizeof counter_names / sizeof counter_names[0] == Statistics::counters, "a name for each counter");

std::string time_text(std::time_t time)
{
    char text[80];
    local_time_text(time, text);
    return text;
}

// " barcodes_entries=100000 barcodes_last_reload_ms=120.5"
void write_file_state(std::ostream& out, const char* file, std::size_t entries, const File_reloads& reloads)
{
    const double ms = std::chrono::duration<double, std::milli>(reloads.last_took).count();
    char took[32];
    std::snprintf(took, sizeof took, "%.1f", ms);
    out << ' ' << file << "_entries=" << entries << ' ' << file << "_last_reload_ms=" << took;
}

} // namespace

constexpr std::chrono::hours Statistics::period;

Statistics::Statistics() : my_started(std::time(nullptr)), my_reported(my_started), my_reported_at(Clock::now())
{
    take_counts_kept_elsewhere();
    my_counts_at_start = my_counts_reported = my_counts; // what came before the start is not counted
}

void Statistics::take_counts_kept_elsewhere()
{
    my_counts[log_lines_left_out] = ::log_lines_left_out();
    my_counts[barcodes_reloads] = the_barcode_db.barcodes_reloads().count;
    my_counts[formats_reloads] = the_barcode_db.formats_reloads().count;
}

void Statistics::write(bool asked)
{
    take_counts_kept_elsewhere();

    if (asked || get_log_level() > 2) {
        std::ostream& out = log("INF");
        auto counts_since = [&](const std::array<std::uint64_t, counters>& before) {
            for (int i = 0; i < counters; ++i) out << ' ' << counter_names[i] << '=' << my_counts[i] - before[i];
        };
        out << "Statistics since " << time_text(my_reported) << ':';
        counts_since(my_counts_reported);
        out << "; since the start " << time_text(my_started) << ':';
        counts_since(my_counts_at_start);
        out << "; files:";
        write_file_state(out, "barcodes", the_barcode_db.barcodes().size(), the_barcode_db.barcodes_reloads());
        write_file_state(out, "formats", the_barcode_db.formats().size(), the_barcode_db.formats_reloads());
        log_end_line();

        std::ostream& unknown = log("INF");
        unknown << "Unknown barcodes since " << time_text(my_reported) << ", most asked first:";
        const auto top = my_unknown.top(20);
        for (const auto& barcode : top) unknown << " \"" << Shown_barcode(barcode.first) << "\"=" << barcode.second;
        if (top.empty()) unknown << " none";
        log_end_line();
    }
    my_counts_reported = my_counts;
    my_reported = std::time(nullptr);
    my_reported_at = Clock::now();
    my_unknown.clear();
}

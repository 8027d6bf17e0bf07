#include "answering.h"

#include "escapes.h"
#include "log.h"
#include "log_messages.h"

namespace {

// What became of one datagram: the statistics count each once.
enum class Outcome { answered, not_allowed, empty, own_socket, over_limit, echo, failed };

struct Handling {
    Outcome outcome = Outcome::failed;
    Lookup_route route; // how its barcode was looked up, when it was
};

// Lets the database reload what changed, once for a batch of datagrams.
// Until a check succeeds, each request checks again, and each failure is
// reported for its request. What a check logs is the server's own news,
// never left out; but while a file stays missing, the same lines again at
// every request are the request's, so that a flood cannot fill the disk
// with them either.
void check_files(Serving& serving)
{
    if (serving.files_checked || !serving.setup.read_files) return;
    // Where the system reports every change at once, a batch after none
    // needs no look at the files (two system calls that cost more than the
    // rest of a request), once a look found both and read them whole.
    const Files_news news = serving.files_watch.what_changed(serving.setup.db_dir, database_files, 2);
    if (news == Files_news::none && serving.db.read_whole()) {
        serving.files_checked = true;
        return;
    }
    Log_scope scope(serving.files_failing);
    serving.files_failing = true;
    serving.db.load(serving.setup.db_dir, news != Files_news::written);
    serving.files_failing = false;
    serving.files_checked = true;
}

// The rules that end loops with another server or through an echo: from our
// own port only within the address's limit, and never our last answer to
// the address coming back. For a barcode of ours (`ours`) one look-alike of
// that answer a second is a terminal scanning the code it was just shown.
// A request of ours, whose "Received" line is logged, has its refusal
// logged too, so that no reader of the log counts it as answered. False,
// with the refusal in `refused`, when a rule refuses the datagram.
bool loop_rules_admit(std::string_view datagram, const Datagram_source& from, Serving& serving, bool ours,
                      Outcome& refused)
{
    const char* refusal = nullptr;
    if (from.endpoint.port == serving.setup.port && !serving.limit.admit(from.endpoint, from.arrived)) {
        refused = Outcome::over_limit;
        refusal = msg::refusal_over_limit;
    } else if (serving.recent.is_echo(from.endpoint, datagram, from.arrived, ours)) {
        refused = Outcome::echo;
        refusal = msg::refusal_echo;
    }
    if (refusal != nullptr && ours) LOG_INF(msg::refused(Shown_barcode(barcode_in(datagram)), refusal));
    return refusal == nullptr;
}

// A datagram from our own socket: our own answer, sent to ourselves.
// Answering it would start an endless loop between the socket and itself;
// nothing else on this host can send from our port.
bool from_own_socket(const Datagram_source& from, Serving& serving)
{
    const Ipv4_endpoint& sender = from.endpoint;
    if (sender.port != serving.setup.port || !(from.from_this_host || serving.own_addresses.contains(sender.address)))
        return false;
    LOG_WRN("Message from " << address_text(sender.address) << "." << sender.port
                            << " comes from this server's own socket: not answered.");
    return true;
}

// What the loop rules make of a request before its answer is known. Only a
// datagram from our port, or one that holds our last answer to its sender,
// is suspect; a suspect barcode of ours is not refused before its answer
// tells whether it may be part of a loop (the table as the last batch saw
// it is enough: the answer decides).
enum class Loop_check { none, refused, after_answer };

Loop_check check_before_answer(std::string_view datagram, std::string_view barcode, const Datagram_source& from,
                               Serving& serving, Outcome& refused)
{
    const bool suspect = from.endpoint.port == serving.setup.port ||
                         serving.recent.holds_last_answer(from.endpoint, datagram, from.arrived);
    if (!suspect) return Loop_check::none;
    Gs1_code scratch;
    if (serving.db.holds(barcode, scratch)) return Loop_check::after_answer;
    return loop_rules_admit(datagram, from, serving, false, refused) ? Loop_check::none : Loop_check::refused;
}

// Whether the answer to a barcode of ours may be part of a loop. One whose
// answer is none cannot: another server takes that answer for a barcode it
// does not hold (our own answers are never ours), an echo returns it as it
// is; it is answered whatever others send from the sender's address. An
// answer that is a barcode of ours (in any form we answer) could come back
// as a request, and so could the fallback's.
bool answer_may_loop(std::string_view answer, const Lookup_route& route, const Serving& serving)
{
    Gs1_code scratch;
    return route.barcode || serving.db.holds(barcode_in(answer), scratch);
}

// An unknown barcode as the statistics count it: a 2D code by its GTIN, a
// scale label by its key (one article, whatever it weighs).
std::string_view unknown_key(const Lookup_route& route, Gs1_code& gs1)
{
    if (route.label.rule != nullptr) return route.label.key();
    return gs1.unknown_key(); // the lookup read it before it took the fallback
}

// Counts what became of `datagram`: the one place where an outcome is
// counted. An unknown barcode (answered by the fallback, or failing there)
// is counted by its key too.
void count(const Handling& handling, Serving& serving)
{
    Statistics& statistics = serving.statistics;
    const Lookup_route& route = handling.route;
    switch (handling.outcome) {
    case Outcome::not_allowed: statistics.count(Statistics::not_allowed); return;
    case Outcome::empty: statistics.count(Statistics::empty); return;
    case Outcome::own_socket: statistics.count(Statistics::own_socket); return;
    case Outcome::over_limit: statistics.count(Statistics::over_limit); return;
    case Outcome::echo: statistics.count(Statistics::echo); return;
    case Outcome::failed: statistics.count(Statistics::failed); break;
    case Outcome::answered:
        statistics.count(Statistics::answered);
        if (!route.gtin.empty()) statistics.count(Statistics::via_gtin);
        if (route.label.rule != nullptr && !route.barcode) statistics.count(Statistics::via_label);
        if (route.barcode) statistics.count(Statistics::via_fallback_barcode);
        if (route.format) statistics.count(Statistics::via_fallback_format);
        break;
    }
    if (route.barcode) statistics.unknown_barcode(unknown_key(route, serving.batch.gs1));
}

// What becomes of one datagram; answer_datagram says what is done.
Handling handle(std::string_view datagram, const Datagram_source& from, Serving& serving, std::string& answer)
{
    // Before anything of its own: a sender outside the networks answered
    // makes no line but the one a minute that says so.
    if (!serving.allowed.admit(from.endpoint, from.arrived)) return {Outcome::not_allowed, {}};
    // The sender's address is written out only where a line is logged.
    const std::uint32_t sender = from.endpoint.address;
    if (datagram.empty()) {
        LOG_WRN("Empty message received from " << address_text(sender));
        return {Outcome::empty, {}};
    }
    LOG_DMP("msg from " << address_text(sender) << "." << from.endpoint.port << " (#" << datagram.size()
                        << " bytes):'" << escape_control_bytes(bytes_to_text(std::string(datagram))) << "'"); // DEL too
    if (from_own_socket(from, serving)) return {Outcome::own_socket, {}};
    const std::string_view barcode = barcode_in(datagram);
    Outcome refused = Outcome::failed;
    const Loop_check loop = check_before_answer(datagram, barcode, from, serving, refused);
    if (loop == Loop_check::refused) return {refused, {}};

    const Shown_barcode shown(barcode);
    Handling handling;
    try {
        LOG_INF(msg::received_barcode(shown));
        check_files(serving);
        std::string& text = serving.batch.answer_text;
        serving.db.lookup(barcode, shown, serving.batch.gs1, handling.route, text);
        answer.clear();
        text_to_bytes(text, answer);
        if (loop == Loop_check::after_answer && answer_may_loop(answer, handling.route, serving) &&
            !loop_rules_admit(datagram, from, serving, true, refused))
            return {refused, {}};
        LOG_DBG("Sending: \"" << text << "\" to " << address_text(sender) << "." << serving.setup.port);
        serving.recent.sent(sender, answer, from.arrived);
        handling.outcome = Outcome::answered;
    } catch (const std::string& message) {
        report_failure(message);
        handling.outcome = Outcome::failed;
    }
    return handling;
}

} // namespace

bool answer_datagram(std::string_view datagram, const Datagram_source& from, Serving& serving, std::string& answer)
{
    const Handling handling = handle(datagram, from, serving, answer);
    count(handling, serving);
    return handling.outcome == Outcome::answered;
}

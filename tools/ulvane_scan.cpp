// ulvane_scan: a terminal for people, to try a server by hand.
//
//   ulvane_scan [-p=9000] [-t=MILLISECONDS] [-r] HOST BARCODE...
//
// Sends each barcode, with a final line feed, to HOST (an address or a
// name) at the port; a barcode is written in the escape notation that
// formats.ini reads (\x1d for the GS that ends a value in a GS1 element
// string, \\ for a backslash), from that same port, as a terminal does, and prints
// each answer in the escape notation that formats.ini reads, or with -r its
// raw bytes. Only a datagram from HOST counts as an answer. The answers carry
// nothing that names their barcode, so one that comes after its time-out is
// never taken for the next barcode's: whatever comes until a second time-out
// has passed is said to be late and dropped, and so is whatever waits when a
// barcode is to be sent (a late answer to an earlier run, say). The server answers at its own port on the
// sender's address, so this must run on another host than the server.
// A server limits the requests from one address at its port that are not
// for its own barcodes (a burst, then so many a second); a long list is
// sent at a pace below that limit.
// Exits 1 when an answer does not come in time or a barcode cannot be sent,
// 2 for a bad command line, when HOST is this host, or when the port cannot
// be bound.
//
//   ulvane_scan -check [-w=MS] [-c=MS] [-expect=TEXT] [-p=9000] [-t=MS] HOST BARCODE
//
// is a check for Nagios-style monitors: it asks one barcode and prints one
// line with the time as performance data ("ULVANE OK - ...|time=0.0021s;
// 0.050;0.200;0"), exiting 0 (OK), 1 (WARNING: slower than -w), 2
// (CRITICAL: no answer, an answer without TEXT, slower than -c) or 3
// (UNKNOWN: bad usage or values, or it cannot ask). TEXT is in the escape
// notation; no '|' but the performance data's is printed (one of an answer
// is "\x7c"); checks run side by side wait their turn at the port for up
// to -t, then wait for the answer up to -t.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "command_line.h"
#include "escapes.h"
#include "platform_network.h"
#include "platform_process.h"
#include "version.h"
#include "sender_rules.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const check_usage = "ulvane_scan -check [-w=MS] [-c=MS] [-expect=TEXT] [-p=9000] [-t=MS] HOST BARCODE";

int usage()
{
    std::cerr << "usage: ulvane_scan [-p=9000] [-t=MILLISECONDS] [-r] HOST BARCODE... | -version\n       " << check_usage
              << "\n(ulvane_scan " << ulvane_version << ")" << std::endl;
    return 2;
}

// What a check found, as the monitoring plugins say it.
enum Check_status { check_ok = 0, check_warning = 1, check_critical = 2, check_unknown = 3 };

int check_result(Check_status status, std::string what, const std::string& performance = "")
{
    // A '|' would begin the performance data: it is written as the escape
    // notation writes its byte.
    for (std::size_t at = what.find('|'); at != std::string::npos; at = what.find('|', at)) what.replace(at, 1, "\\x7c");
    static const char* const names[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    std::cout << "ULVANE " << names[status] << " - " << what << (performance.empty() ? "" : "|" + performance)
              << std::endl;
    return status;
}

// The check's thresholds and expectation.
struct Check {
    bool on = false;
    int warning_ms = -1, critical_ms = -1; // none when negative
    std::string expect;                    // in the escape notation, as given
};

// An answer as a check's line quotes it: in the escape notation, cut after
// about 150 bytes (never within a character), so that the performance data
// after it stays within what monitors keep of a line.
std::string quoted_answer(const std::string& answer)
{
    const std::size_t most = 150;
    if (answer.size() <= most) return "'" + bytes_to_format_text(answer) + "'";
    std::size_t cut = most;
    while (cut > 0 && (static_cast<unsigned char>(answer[cut]) & 0xc0) == 0x80) --cut;
    return "'" + bytes_to_format_text(answer.substr(0, cut)) + "'... (" + std::to_string(answer.size()) + " bytes)";
}

// Judges the answer (or its absence) to one barcode asked at `host`.
int judge(const Check& check, const std::string& host, const std::string& barcode, bool answered,
          const std::string& answer, Clock::duration took, int timeout_ms)
{
    if (!answered)
        return check_result(check_critical, "no answer from " + host + " for " + barcode + " within " +
                                                std::to_string(timeout_ms) + " ms");
    const double seconds = std::chrono::duration<double>(took).count();
    auto limit = [](int ms) {
        char text[32];
        if (ms < 0) return std::string();
        std::snprintf(text, sizeof text, "%.3f", ms / 1000.0);
        return std::string(text);
    };
    char performance[128];
    std::snprintf(performance, sizeof performance, "time=%.4fs;%s;%s;0", seconds, limit(check.warning_ms).c_str(),
                  limit(check.critical_ms).c_str());
    char in[64];
    std::snprintf(in, sizeof in, " in %.1f ms", seconds * 1000);
    const std::string said = host + " answered " + barcode + in;
    if (!check.expect.empty() && answer.find(text_to_bytes(check.expect)) == std::string::npos)
        return check_result(check_critical, said + ", without '" + check.expect + "': " + quoted_answer(answer),
                            performance);
    if (check.critical_ms >= 0 && took > std::chrono::milliseconds(check.critical_ms))
        return check_result(check_critical, said + ", slower than " + std::to_string(check.critical_ms) + " ms", performance);
    if (check.warning_ms >= 0 && took > std::chrono::milliseconds(check.warning_ms))
        return check_result(check_warning, said + ", slower than " + std::to_string(check.warning_ms) + " ms", performance);
    return check_result(check_ok, said, performance);
}

// Waits until `until` at most for a datagram from `host`, whose bytes it puts
// in `answer`; datagrams from elsewhere are dropped on the way.
bool receive_from(Socket_handle sd, std::uint32_t host, Clock::time_point until, std::string& answer)
{
    static char buf[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (!udp_wait_readable(sd, left > 0 ? static_cast<int>(left) : 0)) return false;
        Datagram_source from;
        Error error;
        const long bytes = udp_receive(sd, buf, sizeof buf, from, error);
        if (bytes >= 0 && from.endpoint.address == host) {
            answer.assign(buf, static_cast<std::size_t>(bytes));
            return true;
        }
    }
}

void say_late(const std::string& answer)
{
    std::cerr << "ulvane_scan: an answer came after its time-out, dropped (not taken for another barcode's): "
              << bytes_to_format_text(answer) << std::endl;
}

// Asks the barcode once, as a check, and judges the answer. A late answer
// to an earlier check that waits at the port is dropped first.
int ask_as_check(const Check& check, Socket_handle sd, const Ipv4_endpoint& server, const char* host,
                 const std::string& barcode, int timeout_ms)
{
    const std::string request = text_to_bytes(barcode) + "\n";
    std::string answer;
    while (receive_from(sd, server.address, Clock::now(), answer)) {
    }
    const Clock::time_point sent = Clock::now();
    Error error;
    if (!udp_send(sd, request.data(), request.size(), server, error))
        return check_result(check_unknown, "cannot send to " + std::string(host) + ": " + error.text + " (error " +
                                               std::to_string(error.code) + ")");
    const bool answered = receive_from(sd, server.address, sent + std::chrono::milliseconds(timeout_ms), answer);
    return judge(check, host, barcode, answered, answer, Clock::now() - sent, timeout_ms);
}

// Binds the port that answers come to. Checks that a monitor runs side by
// side on one host take turns: while another holds the port, a check tries
// again until `until`.
bool bind_port(Udp_socket& socket, std::uint16_t port, bool wait, Clock::time_point until, Error& error)
{
    while (!socket.bind(port, error)) {
        if (!wait || !is_address_in_use(error.code) || Clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Reads an option's value (see whole_number); else says why not in `why`.
bool read_value(const char* option, const std::string& text, int least, int most, int& value, Error& why)
{
    if (whole_number(text, least, most, value)) return true;
    why.text = std::string(option) + text + " is not a number from " + std::to_string(least) + " to " + std::to_string(most);
    return false;
}

// Sends each barcode in turn and prints its answer; 1 when one had none.
int scan(Socket_handle sd, const Ipv4_endpoint& server, char** barcodes, int count, int timeout_ms, bool raw)
{
    int status = 0;
    int answers = 0;
    // After most of a burst, no faster than four fifths of the steady rate.
    const int unpaced = Answer_limit::burst - 2;
    const auto pace = std::chrono::microseconds(1000000 * 5 / 4 / Answer_limit::per_second);
    Clock::time_point last_sent{};
    for (int k = 0; k < count; ++k) {
        std::string answer;
        if (k >= unpaced) std::this_thread::sleep_until(last_sent + pace);
        while (receive_from(sd, server.address, Clock::now(), answer)) say_late(answer); // an earlier barcode's
        last_sent = Clock::now();
        const std::string request = text_to_bytes(barcodes[k]) + "\n";
        Error error;
        if (!udp_send(sd, request.data(), request.size(), server, error)) {
            std::cerr << "ulvane_scan: cannot send " << barcodes[k] << " to " << address_text(server.address) << ": "
                      << (error.text.empty() ? error.text : error.text + " ") << "(error " << error.code << ")"
                      << std::endl;
            status = 1;
            continue;
        }
        const std::chrono::milliseconds timeout(timeout_ms);
        if (receive_from(sd, server.address, Clock::now() + timeout, answer)) {
            ++answers;
            if (raw)
                std::cout << answer << std::flush;
            else
                std::cout << bytes_to_format_text(answer) << std::endl;
            continue;
        }
        std::cerr << "ulvane_scan: no answer for " << barcodes[k] << " from " << address_text(server.address)
                  << " within " << timeout_ms << " ms ("
                  << (answers > 0 ? "it answered before: it may have no answer for this barcode, or be limiting "
                                    "the requests from this address at its port"
                                  : "is a server running there, at port " + std::to_string(server.port) + "?")
                  << ")" << std::endl;
        status = 1;
        // Its answer may still come: until a second time-out has passed,
        // whatever comes is late.
        const Clock::time_point until = Clock::now() + timeout;
        while (receive_from(sd, server.address, until, answer)) say_late(answer);
    }
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    unbuffer_standard_streams();
    if (version_asked(argc, argv, "ulvane_scan")) return 0;
    if (!arguments_are_whole("ulvane_scan")) return 2;
    int port = 9000;
    int timeout_ms = 2000;
    bool raw = false;
    Check check;
    std::string port_text = "9000", timeout_text = "2000", warning_text, critical_text;
    bool wrong = false;
    Command_line args(argc, argv);
    while (!wrong && args.next() && args.is_option()) {
        if (args.flag("-r"))
            raw = true;
        else if (args.flag("-check"))
            check.on = true;
        else
            wrong = !args.text("-p=", port_text) && !args.text("-t=", timeout_text) && !args.text("-w=", warning_text) &&
                    !args.text("-c=", critical_text) && !args.text("-expect=", check.expect);
    }
    const int i = args.index(); // the host, then the barcodes
    // What keeps it from asking: for a check an UNKNOWN, else status 2.
    auto cannot = [&](const std::string& why) {
        if (check.on) return check_result(check_unknown, why);
        std::cerr << "ulvane_scan: " << why << std::endl;
        return 2;
    };
    if (wrong || argc - i < 2 || (check.on && argc - i != 2) ||
        (!check.on && (!warning_text.empty() || !critical_text.empty() || !check.expect.empty())))
        return check.on ? cannot("usage: " + std::string(check_usage)) : usage();
    Error why;
    if (!read_value("-p=", port_text, 1, 65535, port, why) || !read_value("-t=", timeout_text, 1, 3600000, timeout_ms, why) ||
        (!warning_text.empty() && !read_value("-w=", warning_text, 0, 3600000, check.warning_ms, why)) ||
        (!critical_text.empty() && !read_value("-c=", critical_text, 0, 3600000, check.critical_ms, why)))
        return cannot(why.text);
    if (check.critical_ms >= 0 && check.critical_ms < check.warning_ms)
        return cannot("-c=" + critical_text + " is below -w=" + warning_text + ": the critical time is the longer one");
    const Clock::time_point bind_until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    if (!socket_layer_start()) return cannot("the socket layer does not start");
    Ipv4_endpoint server;
    Error error;
    if (!address_of_host(argv[i], server.address, error)) return cannot(error.text);
    server.port = static_cast<std::uint16_t>(port);
    // The server would answer at this very port of this host, which the
    // scanner holds: every datagram from there would be its own request.
    if (Own_addresses().contains(server.address))
        return cannot(std::string(argv[i]) + " is this host; a server here answers to its own port, so scan from another host");
    Udp_socket socket;
    if (!socket.open(error) || !bind_port(socket, server.port, check.on, bind_until, error))
        return cannot("cannot bind UDP port " + std::to_string(port) + " (error " + std::to_string(error.code) + ")" +
                      (check.on ? " within " + std::to_string(timeout_ms) + " ms" : "") +
                      "; is a server running on this host?");
    const Socket_handle sd = socket.handle();
    const int status = check.on ? ask_as_check(check, sd, server, argv[i], argv[i + 1], timeout_ms)
                                : scan(sd, server, argv + i + 1, argc - i - 1, timeout_ms, raw);
    socket.close();
    socket_layer_stop();
    return status;
}

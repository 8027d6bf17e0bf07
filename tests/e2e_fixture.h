// The fixture of the end-to-end tests: the built server on one host of a
// Two_hosts pair, a database in a temporary directory, and helpers to talk
// to the server from the terminal host.
#ifndef ULVANE_E2E_FIXTURE_H
#define ULVANE_E2E_FIXTURE_H

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "test_util.h"
#include "two_hosts.h"

const std::string pen_barcodes = "[12345]\nformat=price\ntag.description=Pen\ntag.price=1.99\n";
const std::string pen_formats = "[price]\n${description}\\n\nPrice: ${price}\n";
const std::string pen_answer = "Pen\nPrice: 1.99";

// Sends one datagram from `sd`; a failure to send fails the test.
inline void send_datagram(Socket_handle sd, const char* data, std::size_t size, const Ipv4_endpoint& to)
{
    Error error;
    EXPECT_TRUE(udp_send(sd, data, size, to, error)) << error.text;
}

// Skips a test under the Windows build, saying why.
#ifdef ULVANE_WINDOWS_BUILD
#define SKIP_UNDER_WINDOWS(why) GTEST_SKIP() << why
#else
#define SKIP_UNDER_WINDOWS(why) static_cast<void>(0)
#endif

class EndToEnd : public testing::Test {
protected:
    void SetUp() override
    {
        std::string why = Two_hosts::unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        my_hosts = std::make_unique<Two_hosts>();
        ASSERT_TRUE(my_hosts->ok()) << "could not make the network namespaces";
        start_wine();
    }

    // Under the Windows build: Wine's background server makes the sockets
    // (and opens the files) of Windows programs, so one runs on each host,
    // started afresh: on the terminal host with the prefix for programs
    // there (see Two_hosts::start_in).
    void start_wine()
    {
#ifdef ULVANE_WINDOWS_BUILD
        const std::string prefix = std::getenv("WINEPREFIX") ? std::getenv("WINEPREFIX") : "";
        ASSERT_FALSE(prefix.empty()) << "WINEPREFIX must name the prefix the tests use";
        stop_wine();
        my_hosts->start_in(my_hosts->server_ns(), {"/usr/bin/wineserver", "-f", "-p"}, "/dev/null", "/dev/null");
        my_hosts->start_in(my_hosts->terminal_ns(), {"/usr/bin/wineserver", "-f", "-p"}, "/dev/null", "/dev/null");
#endif
    }

    // Ends the Wine servers of both prefixes and every Windows process they
    // serve (Wine's own device processes too, which outlive a server ended
    // by a signal); with `wait`, waits until they have ended.
    void stop_wine(bool wait = true)
    {
#ifdef ULVANE_WINDOWS_BUILD
        const std::string prefix = std::getenv("WINEPREFIX") ? std::getenv("WINEPREFIX") : "";
        for (const std::string& p : {prefix, prefix + "-terminal"})
            std::system(("WINEPREFIX='" + p + "' wineserver -k >/dev/null 2>&1" +
                         (wait ? "; WINEPREFIX='" + p + "' wineserver -w" : std::string()))
                            .c_str());
#else
        (void)wait;
#endif
    }

    // The next test's start waits for the end.
    void TearDown() override { stop_wine(false); }

    void write_db(const std::string& barcodes, const std::string& formats)
    {
        write_file(my_dir.file("barcodes.ini"), barcodes);
        write_file(my_dir.file("formats.ini"), formats);
    }

    // Starts the server on the server host and waits until it listens; its
    // log goes to the file "log", or with `log_file` false to standard error,
    // which is the file "err" unless `err_file` names another (as
    // Two_hosts::start_in takes it: "" closed, "|" a pipe without reader).
    void start_server(std::vector<std::string> args = {}, bool wait_for_port = true, bool log_file = true,
                      const char* err_file = nullptr)
    {
        args.insert(args.begin(), {ULVANE_SERVER_PATH, "-db=" + my_dir.path()});
        if (log_file) args.insert(args.begin() + 1, "-log=" + my_dir.file("log"));
        my_server = my_hosts->start_in(my_hosts->server_ns(), args, my_dir.file("out"),
                                       err_file ? std::string(err_file) : my_dir.file("err"));
        ASSERT_GT(my_server, 0);
        if (wait_for_port) {
            ASSERT_TRUE(Two_hosts::wait_for_udp_port(my_server, 9000, 5000)) << err();
        }
    }

    // Writes the database, starts the server with `args` and returns a
    // terminal's socket at the server's port.
    Socket_handle serve(const std::string& barcodes = pen_barcodes, const std::string& formats = pen_formats,
                        const std::vector<std::string>& args = {})
    {
        write_db(barcodes, formats);
        start_server(args);
        return terminal();
    }

    // Writes two `ip -batch` files into my_dir, "add" and "del", that add
    // and remove `count` /32 addresses from 10.80.0.1 up on the veth end.
    void write_address_batches(int count)
    {
        std::string add, del;
        for (int i = 0; i < count; ++i) {
            const std::string address = address_text(0x0a500000u + ((i / 250) << 8) + 1 + i % 250);
            add += "addr add " + address + "/32 dev ulv0\n";
            del += "addr del " + address + "/32 dev ulv0\n";
        }
        write_file(my_dir.file("add"), add);
        write_file(my_dir.file("del"), del);
    }

    Socket_handle terminal(std::uint16_t port = 9000)
    {
        Socket_handle sd = my_hosts->socket_in(my_hosts->terminal_ns(), port);
        EXPECT_GE(sd, 0);
        return sd;
    }

    // Sends `payload` from `sd` to the server's port (9000) and returns the
    // answer that reaches `answers` within `ms`, or "(none)".
    std::string ask(Socket_handle sd, const std::string& payload, Socket_handle answers = no_socket, int ms = 2000,
                    std::uint16_t port = 9000)
    {
        send_datagram(sd, payload.data(), payload.size(), {Two_hosts::server_address, port});
        std::string datagram;
        Datagram_source from;
        if (!receive_within(answers < 0 ? sd : answers, ms, datagram, from)) return "(none)";
        EXPECT_EQ(from.endpoint.address, Two_hosts::server_address);
        EXPECT_EQ(from.endpoint.port, port);
        return datagram;
    }

    // Runs ulvane_scan on the terminal host with `args` (and a time-out of
    // half a second), calling `while_waiting` while it runs; its status and
    // standard output.
    std::pair<int, std::string> scan(std::vector<std::string> args, const std::function<void()>& while_waiting = [] {})
    {
        args.insert(args.begin(), {ULVANE_SCAN_PATH, "-t=500"});
        pid_t pid = my_hosts->start_in(my_hosts->terminal_ns(), args, my_dir.file("scan_out"), my_dir.file("scan_err"));
        while_waiting();
        const int status = my_hosts->wait_for_exit(pid, 10000);
        return {status, unix_lines(read_file(my_dir.file("scan_out")))};
    }

    // Starts `ulvane_scan -check` with `args` on the terminal host, its
    // output going to my_dir's file `out`; its PID.
    pid_t start_check(std::vector<std::string> args, const std::string& out = "check_out")
    {
        args.insert(args.begin(), {ULVANE_SCAN_PATH, "-check"});
        return my_hosts->start_in(my_hosts->terminal_ns(), args, my_dir.file(out), my_dir.file("check_err"));
    }

    // How many datagrams equal to `answer` reach `sd` before none comes for
    // `ms`.
    static int count_answers(Socket_handle sd, const std::string& answer, int ms = 2000)
    {
        int count = 0;
        std::string datagram;
        Datagram_source from;
        while (receive_within(sd, ms, datagram, from)) count += datagram == answer;
        return count;
    }

    // Throws away what reaches `sd` until nothing comes for `ms`.
    static void drain(Socket_handle sd, int ms = 0) { count_answers(sd, std::string(), ms); }

    // Whether exactly one log line contains `part`, and it matches `pattern`.
    testing::AssertionResult logged_once(const std::string& part, const std::string& pattern) const
    {
        const std::vector<std::string> lines = logged(part);
        if (lines.size() != 1) return testing::AssertionFailure() << lines.size() << " lines with " << part;
        if (!std::regex_match(lines[0], std::regex(pattern))) return testing::AssertionFailure() << lines[0];
        return testing::AssertionSuccess();
    }

    // The lines of a log file in my_dir ("log": the server's), or of a
    // log on standard error.
    std::vector<std::string> log_lines(const std::string& log = "log") const
    {
        return log_messages(unix_lines(read_file(my_dir.file(log))));
    }
    std::string out() const { return unix_lines(read_file(my_dir.file("out"))); }
    std::string err() const { return unix_lines(read_file(my_dir.file("err"))); }

    // Log lines that contain `part`.
    std::vector<std::string> logged(const std::string& part, const std::string& log = "log") const
    {
        std::vector<std::string> found;
        for (const std::string& l : log_lines(log))
            if (l.find(part) != std::string::npos) found.push_back(l);
        return found;
    }

    // Asks the server for its statistics (SIGUSR1, Linux only) and returns
    // the two lines it writes, joined by a line feed; empty when none came.
    std::string statistics()
    {
        const std::size_t before = logged("INF Unknown barcodes since").size();
        kill(my_server, SIGUSR1);
        wait_until([&] { return logged("INF Unknown barcodes since").size() != before; }, 3000);
        const std::vector<std::string> counts = logged("INF Statistics since"), unknown = logged("INF Unknown barcodes since");
        return unknown.size() == before || counts.empty() ? "" : counts.back() + "\n" + unknown.back();
    }

    Temp_dir my_dir;
    std::unique_ptr<Two_hosts> my_hosts;
    pid_t my_server = -1;
};

#endif

// End to end: the built server in one network namespace, a simulated
// terminal in another, joined by a veth pair.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <filesystem>
#include <functional>
#include <sstream>
#include <regex>
#include <sched.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <map>
#include <set>
#include <thread>
#include <netinet/in.h>
#include <cstring>
#include <chrono>

#include "e2e_fixture.h"
#include "escapes.h"
#include "log.h"
#include "log_messages.h"
#include "sender_rules.h"
#include "server.h"
#include "version.h"

namespace {

// Sends `payload` from `sd` with `source`, one of its host's addresses, as
// its source address.
void send_from(Socket_handle sd, std::uint32_t source, const std::string& payload, const Ipv4_endpoint& to)
{
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = htonl(to.address);
    dest.sin_port = htons(to.port);
    iovec iov{const_cast<char*>(payload.data()), payload.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    msg.msg_name = &dest;
    msg.msg_namelen = sizeof dest;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst.s_addr = htonl(source);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    sendmsg(static_cast<int>(sd), &msg, 0);
}

// Asks the server from `source`, an address of the terminal host, through
// `sd`; the answer, or "(none)".
std::string ask_from(Socket_handle sd, std::uint32_t source)
{
    send_from(sd, source, "12345\n", {Two_hosts::server_address, 9000});
    std::string answer;
    Datagram_source from;
    return receive_within(sd, 2000, answer, from) ? answer : std::string("(none)");
}

// The line that says a datagram from `address` at our port is not answered.
std::string own_socket_line(const std::string& address)
{
    return "WRN Message from " + address + ".9000 comes from this server's own socket: not answered.";
}

TEST_F(EndToEnd, WholeExchangeAnswersAtTheServersPort)
{
    write_db(pen_barcodes, pen_formats);
    start_server({"-l=5"});
    // The terminal listens at 9000 but sends from 5000.
    Socket_handle listen = terminal(9000);
    Socket_handle send = terminal(5000);
    EXPECT_EQ(ask(send, "12345\n", listen), pen_answer);
    EXPECT_TRUE(logged_once("msg from", R"(DMP src/answering\.cpp:\d+ msg from 10\.77\.0\.2\.5000 \(#6 bytes\):'12345\\n')"));
    EXPECT_TRUE(logged_once("Sending: ", R"(DBG src/answering\.cpp:\d+ Sending: "Pen\\nPrice: 1\.99" to 10\.77\.0\.2\.9000)"));
    EXPECT_EQ(logged("Received barcode"), std::vector<std::string>{"INF Received barcode \"12345\""});
    EXPECT_TRUE(logged_once("Bind receiving socket to ", R"(DBG .* Bind receiving socket to 0\.9000)"));
}

// The server is ready once loaded and bound, before the first request; the
// first line of a fresh log is #1.
TEST_F(EndToEnd, TheReadyLineComesBeforeTheFirstRequest)
{
    EXPECT_EQ(ask(serve(), "12345\n"), pen_answer);
    const std::vector<std::string> lines = log_lines();
    const auto ready = std::find(lines.begin(), lines.end(), "INF Ready: answering at UDP port 9000 with 1 barcodes and 1 formats (ulvane_server " + std::string(ulvane_version) + ").");
    EXPECT_LT(ready, std::find(lines.begin(), lines.end(), "INF Received barcode \"12345\""));
    EXPECT_EQ(read_file(my_dir.file("log")).substr(20, 8), " #1 INF]");
}

// With -p=0 the system picks the port: the Ready line names that one, and
// answers go to it.
TEST_F(EndToEnd, ReadyLineNamesThePortBound)
{
    write_db(pen_barcodes, pen_formats);
    start_server({"-p=0"}, false);
    std::vector<std::string> ready;
    wait_until([&] { return !(ready = logged("INF Ready: answering at UDP port ")).empty(); }, 5000);
    ASSERT_EQ(ready.size(), 1u) << err();
    const int port = std::atoi(ready[0].c_str() + std::strlen("INF Ready: answering at UDP port "));
    ASSERT_GT(port, 0) << ready[0];
    Socket_handle sd = terminal(static_cast<std::uint16_t>(port));
    EXPECT_EQ(ask(sd, "12345\n", no_socket, 2000, static_cast<std::uint16_t>(port)), pen_answer);
}

// The database of the datagram rules' tests, and the answer to each kind of
// datagram from one byte to 1,600.
const std::string lf_barcodes = "[]\nformat=echo\n[12345]\nformat=price\ntag.description=Pen\ntag.price=1.99\n"
                                "[12345\r]\nformat=cr\n";
const std::string lf_formats = pen_formats + "[echo]\nfallback\n[cr]\nwith CR\n";
const std::pair<std::string, std::string> lf_cases[] = {
    {"12345\n", pen_answer},
    {"12345", pen_answer},
    {"12345\r\n", "with CR"},
    {"12345\n\n", "fallback"},
    {"\n", "fallback"},
    {std::string(1600, 'x'), "fallback"},
    {std::string(1599, 'y') + "\n", "fallback"},
    {std::string("a\0b", 3), "fallback"},
};

TEST_F(EndToEnd, LineFeedRulesAndDatagramSizes)
{
    Socket_handle sd = serve(lf_barcodes, lf_formats);
    for (const auto& c : lf_cases) EXPECT_EQ(ask(sd, c.first), c.second) << bytes_to_text(c.first);
    EXPECT_EQ(logged("Received barcode \"\""), std::vector<std::string>{"INF Received barcode \"\""});
    EXPECT_EQ(logged("not defined").size(), 4u); // the empty barcode finds the fallback itself
    EXPECT_EQ(logged("Received barcode \"a"), std::vector<std::string>{"INF Received barcode \"a\\x00b\""});
}

// Neither 0 bytes nor more than 1,600 are served, and the next request is.
// A datagram too long is no empty one: only the empty one says so.
TEST_F(EndToEnd, NoDatagramOfNoByteOrOverTheLargestIsServed)
{
    Socket_handle sd = serve(lf_barcodes, lf_formats);
    EXPECT_EQ(ask(sd, "", no_socket, 500), "(none)");
    EXPECT_EQ(ask(sd, std::string(1601, 'z'), no_socket, 500), "(none)");
    EXPECT_EQ(ask(sd, "12345"), pen_answer);
    EXPECT_EQ(logged("Empty message"), std::vector<std::string>{"WRN Empty message received from 10.77.0.2"});
    EXPECT_TRUE(std::regex_match(out(), std::regex(R"(src/request_loop\.cpp:\d+ WSAGetLastError=)" + std::to_string(message_too_long) + "\n"))) << out();
    // Regression: the log file did not show it.
    EXPECT_EQ(logged("WRN " + out().substr(0, out().size() - 1)).size(), 1u);
}

// The statistics, asked for, count each kind of datagram where it went.
TEST_F(EndToEnd, TheStatisticsCountEachKindOfDatagramWhereItWent)
{
    SKIP_UNDER_WINDOWS("no SIGUSR1 there");
    Socket_handle sd = serve(lf_barcodes, lf_formats);
    for (const auto& c : lf_cases) EXPECT_EQ(ask(sd, c.first), c.second) << bytes_to_text(c.first);
    EXPECT_EQ(ask(sd, "", no_socket, 500), "(none)");
    EXPECT_EQ(ask(sd, std::string(1601, 'z'), no_socket, 500), "(none)");
    EXPECT_EQ(ask(sd, "12345"), pen_answer);
    const std::string report = statistics();
    EXPECT_TRUE(std::regex_search(report, std::regex(": received=11 answered=9 via_fallback_barcode=4 via_fallback_format=0 via_gtin=0 via_label=0 "
                                                     "failed=0 empty=1 too_long=1 own_socket=0 .*; files: barcodes_entries=3 ")))
        << report;
    EXPECT_EQ(report.substr(report.find(", most")),
              ", most asked first: \"12345\\n\"=1 \"a\\x00b\"=1 \"" + std::string(512, 'x') + "... (1600 bytes)\"=1 \"" +
                  std::string(512, 'y') + "... (1599 bytes)\"=1");
}

// Datagrams that arrive together are answered together: in order, each with
// its log lines in order, the bad ones among them refused one by one, and a
// burst after an edit answered from the edited file.
TEST_F(EndToEnd, BurstsAreAnsweredInOrder)
{
    // A large file keeps the server reading for a moment, so the datagrams
    // sent meanwhile arrive as one batch.
    std::string barcodes = pen_barcodes;
    for (int i = 0; i < 100000; ++i) barcodes += "[" + std::to_string(i) + "]\nformat=price\ntag.description=Item " + std::to_string(i) + "\n";
    barcodes += "[huge]\nformat=price\ntag.description=" + std::string(70000, 'h') + "\n"; // no datagram holds its answer
    write_db(barcodes, pen_formats);
    start_server();
    Socket_handle answers = terminal(), sd = terminal(5000);
    Socket_handle local = my_hosts->socket_in(my_hosts->server_ns(), 5000);
    for (int round = 0; round < 2; ++round) {
        set_write_time(my_dir.file("barcodes.ini"), 1000 + round);
        std::vector<std::string> expected;
        for (int i = 0; i < 20; ++i) {
            if (i == 5) send_datagram(sd, "", 0, {Two_hosts::server_address, 9000});
            if (i == 10) send_datagram(sd, std::string(1601, 'x').data(), 1601, {Two_hosts::server_address, 9000});
            if (i == 15) send_datagram(local, "12345\n", 6, {Two_hosts::server_address, 9000}); // answered to ourselves
            if (i == 17) send_datagram(sd, "huge", 4, {Two_hosts::server_address, 9000}); // the answers after it still go out
            const std::string code = std::to_string(round * 100 + i);
            send_datagram(sd, code.data(), code.size(), {Two_hosts::server_address, 9000});
            expected.push_back("Item " + code + "\nPrice: ");
        }
        std::string answer;
        Datagram_source from;
        for (const std::string& e : expected) {
            ASSERT_TRUE(receive_within(answers, 2000, answer, from)) << e;
            EXPECT_EQ(answer, e);
        }
        if (round == 0) {
            // The second burst must see this edit.
            for (int i = 100; i < 120; ++i) barcodes += "[" + std::to_string(i) + "]\nformat=price\ntag.description=Item " + std::to_string(i) + "\n";
            write_file(my_dir.file("barcodes.ini"), barcodes);
        }
    }
    // The answers to ourselves come back after the terminal's.
    wait_until([&] { return logged("own socket").size() >= 2; }, 3000);
    std::vector<std::string> received, in_order;
    for (const std::string& l : logged("Received barcode"))
        if (l != "INF Received barcode \"12345\"" && l != "INF Received barcode \"huge\"") received.push_back(l);
    for (int i : {0, 100})
        for (int k = i; k < i + 20; ++k) in_order.push_back("INF Received barcode \"" + std::to_string(k) + "\"");
    EXPECT_EQ(received, in_order);
    EXPECT_EQ(logged("Empty message").size(), 2u); // the empty ones; the too long ones are not
    EXPECT_EQ(logged("own socket").size(), 2u);
    // Each says why its answer failed, though others of its batch went out.
    EXPECT_EQ(logged(" not sent: WSAGetLastError=" + std::to_string(message_too_long)).size(), 2u);
    std::vector<std::string> errors = split_lines(out());
    ASSERT_EQ(errors.size(), 2u);
    for (const std::string& e : errors) EXPECT_TRUE(std::regex_match(e, std::regex(R"(src/request_loop\.cpp:\d+ WSAGetLastError=)" + std::to_string(message_too_long)))) << e;
}

// Regression: a log line on standard error took a dozen writes and could be
// torn by another writer of the same file. Each line is one write now.
TEST_F(EndToEnd, RegressionLogLinesOnStandardErrorAreWhole)
{
    SKIP_UNDER_WINDOWS("Wine writes to an inherited file at its own offset, not at the end, so two writers overwrite each other");
    write_db("[]\nformat=price\n" + pen_barcodes, pen_formats);
    const std::string shared = my_dir.file("shared");
    pid_t noise = my_hosts->start_in(my_hosts->terminal_ns(), {"/bin/sh", "-c", "while :; do echo noise; done"}, shared, "");
    start_server({}, true, false, shared.c_str());
    Socket_handle answers = terminal(), sd = terminal(5000);
    for (int i = 0; i < 300; ++i) EXPECT_EQ(ask(sd, "12345\n", answers), pen_answer);
    my_hosts->stop(noise); // else the file may end in the middle of its line
    int lines = 0;
    const std::regex whole(R"(\[[-0-9]{10} [:0-9]{8} #\d+ (INF|WRN)\] [A-Za-z].*)");
    for (const std::string& l : split_lines(unix_lines(read_file(shared)))) {
        if (l == "noise") continue;
        EXPECT_TRUE(std::regex_match(l, whole)) << l;
        lines += l.find("Received barcode") != std::string::npos;
    }
    EXPECT_EQ(lines, 300);
}

// Regression: on Windows the log on a redirected standard error stayed in
// the C runtime's buffer until the server ended (and was lost when it was
// killed). Each line is out as soon as it is written.
TEST_F(EndToEnd, RegressionLogOnStandardErrorArrivesWhileTheServerRuns)
{
    write_db(pen_barcodes, pen_formats);
    start_server({}, true, false);
    auto err_shows = [&](const std::string& part) {
        return wait_until([&] { return err().find(part) != std::string::npos; }, 3000);
    };
    EXPECT_TRUE(err_shows("INF] Using UDP port 9000\n")) << err();
    EXPECT_EQ(ask(terminal(), "12345\n"), pen_answer);
    EXPECT_TRUE(err_shows("INF] Received barcode \"12345\"\n")) << err();
    EXPECT_EQ(my_hosts->wait_for_exit(my_server, 0), -1) << "the server still runs";
}

TEST_F(EndToEnd, FailedLookupIsNotAnsweredAndTheNextRequestIs)
{
    Socket_handle sd = serve();
    EXPECT_EQ(ask(sd, "nope\n", no_socket, 500), "(none)");
    EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
    EXPECT_EQ(err(), "Unknown barcode nope and no backup barcode [] available\n");
    // Regression: the log file showed the request and nothing of the failure.
    EXPECT_EQ(logged("WRN Unknown barcode"), std::vector<std::string>{"WRN Unknown barcode nope and no backup barcode [] available"});
#ifndef ULVANE_WINDOWS_BUILD
    // Not answered, and still among the barcodes the database lacks.
    const std::string report = statistics();
    EXPECT_NE(report.find(": received=2 answered=1 via_fallback_barcode=0 via_fallback_format=0 via_gtin=0 via_label=0 failed=1 "), std::string::npos) << report;
    EXPECT_NE(report.find(", most asked first: \"nope\"=1"), std::string::npos) << report;
#endif
}

// Without a log file, standard error holds the log and the failures: each
// request's lines come before its failure, and before the next request's.
TEST_F(EndToEnd, OnStandardErrorARequestsLinesComeBeforeItsFailure)
{
    write_db(pen_barcodes, pen_formats);
    start_server({}, true, false);
    Socket_handle sd = terminal();
    EXPECT_EQ(ask(sd, "nope\n", no_socket, 500), "(none)");
    EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
    std::vector<std::string> lines;
    for (const std::string& l : split_lines(err()))
        if (l.find("nope") != std::string::npos || l.find("12345") != std::string::npos) lines.push_back(l);
    ASSERT_EQ(lines.size(), 4u) << err();
    EXPECT_NE(lines[0].find("INF] Received barcode \"nope\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("WRN] Barcode \"nope\" not defined in database."), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2], "Unknown barcode nope and no backup barcode [] available");
    EXPECT_NE(lines[3].find("INF] Received barcode \"12345\""), std::string::npos) << lines[3];
}

// SIGHUP reopens the log file (rotated away by mv).
TEST_F(EndToEnd, SighupReopensTheLog)
{
    SKIP_UNDER_WINDOWS("Windows has no SIGHUP");
    Socket_handle sd = serve();
    EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
    ASSERT_EQ(rename(my_dir.file("log").c_str(), my_dir.file("log.1").c_str()), 0);
    kill(my_server, SIGHUP);
    wait_until([&] { return !read_file(my_dir.file("log")).empty(); }, 2000);
    // Two turns of the loop: a flag never reset would reopen again before
    // the second request is taken.
    EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
    EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
    EXPECT_EQ(log_lines(), (std::vector<std::string>{"INF Log file " + my_dir.file("log") + " reopened",
                                                    "INF Received barcode \"12345\"",
                                                    "INF Received barcode \"12345\""}));
}

// SIGTERM ends the server between batches with status 0, after answering
// what came before: here a burst that waits in the server's queue while a
// reload keeps it busy, and the stop in the middle of it.
TEST_F(EndToEnd, SigtermStopsCleanlyAfterAnsweringWhatCameBefore)
{
    SKIP_UNDER_WINDOWS("Wine cannot catch SIGTERM");
    std::string barcodes = pen_barcodes; // large enough to keep a reload busy for a moment
    for (int i = 0; i < 100000; ++i) barcodes += "[b" + std::to_string(i) + "]\nformat=price\n";
    Socket_handle answers = serve(barcodes), sd = terminal(5000);
    EXPECT_EQ(ask(sd, "12345\n", answers), pen_answer);
    set_write_time(my_dir.file("barcodes.ini"), 2000);
    udp_set_receive_buffer(answers, 4 << 20); // room for all the answers at once
    for (int i = 0; i < 300; ++i) send_datagram(sd, "12345\n", 6, {Two_hosts::server_address, 9000});
    usleep(5000);
    kill(my_server, SIGTERM);
    EXPECT_EQ(count_answers(answers, pen_answer, 1000), 300);
    EXPECT_EQ(my_hosts->wait_for_exit(my_server, 5000), 0);
    const std::vector<std::string> lines = log_lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.back(), "INF Stopped on request.");
    // The statistics at the stop: the reload, and every request answered.
    EXPECT_TRUE(std::regex_search(lines[lines.size() - 3], std::regex("since the start .*: received=301 answered=301 .*"
                                                                      " barcodes_reloads=1 formats_reloads=0;")))
        << lines[lines.size() - 3];
}

// Regression: a stop under a flood waited for the flood to end. Whatever
// keeps coming, the server ends within a second of SIGTERM, with the note
// on the lines the flood left out, then its statistics.
TEST_F(EndToEnd, RegressionAStopUnderAFloodIsPrompt)
{
    SKIP_UNDER_WINDOWS("Wine cannot catch SIGTERM");
    write_db(pen_barcodes, pen_formats);
    start_server();
    std::atomic<bool> flooding{true};
    std::atomic<long> sent{0};
    std::thread flood([&] { // a minute's flood, unless the test ends it first
        Socket_handle sd = terminal(5000);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (flooding && std::chrono::steady_clock::now() < end)
            for (int i = 0; i < 100; ++i, ++sent) send_datagram(sd, "12345\n", 6, {Two_hosts::server_address, 9000});
        my_hosts->close_socket(sd);
    });
    usleep(1000000);
    const auto signalled = std::chrono::steady_clock::now();
    kill(my_server, SIGTERM);
    const long sent_by_then = sent;
    const int status = my_hosts->wait_for_exit(my_server, 5000);
    const auto took = std::chrono::steady_clock::now() - signalled;
    flooding = false;
    flood.join();
    EXPECT_EQ(status, 0);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 1000);
    const std::vector<std::string> lines = log_lines();
    auto first = [&](const char* part) {
        return std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
    };
    const auto note = first("WRN Left out "), statistics = first("INF Statistics since "), stopped = first("Stopped on request.");
    EXPECT_TRUE(note < statistics && statistics < stopped && stopped + 1 == lines.end()) << lines.size() << " lines";
    // Nothing that came after the stop was asked is answered (a few
    // milliseconds' flood may come before the server sees the signal).
    std::smatch received;
    ASSERT_TRUE(statistics != lines.end() && std::regex_search(*statistics, received, std::regex("since the start [-0-9]+ [:0-9]+: received=(\\d+)")));
    EXPECT_LE(std::stol(received[1]), sent_by_then + 2000) << "of " << sent << " sent";
}

// Regression: a closed standard error became the log file, so failure
// messages were written into it raw; a standard error that is a pipe without
// reader ended the server at the next line (SIGPIPE).
TEST_F(EndToEnd, RegressionAClosedStandardErrorIsNoLogFile)
{
    write_db(pen_barcodes, pen_formats);
    start_server({}, true, true, "");
    Socket_handle sd = terminal();
    EXPECT_EQ(ask(sd, "nope\n", no_socket, 300), "(none)");
    EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
    EXPECT_EQ(logged("WRN Unknown barcode"), std::vector<std::string>{"WRN Unknown barcode nope and no backup barcode [] available"});
    EXPECT_TRUE(logged("??").empty()) << read_file(my_dir.file("log"));
}

TEST_F(EndToEnd, RegressionAStandardErrorWithoutReaderIsSurvived)
{
    SKIP_UNDER_WINDOWS("a broken pipe ends no Windows program");
    write_db(pen_barcodes, pen_formats);
    start_server({"-l=0"}, true, false, "|");
    Socket_handle sd = terminal();
    EXPECT_EQ(ask(sd, "nope\n", no_socket, 300), "(none)");
    EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
}

// A barcode whose answer no datagram holds.
const std::string big_barcodes = pen_barcodes + "[big]\nformat=big\n";
const std::string big_formats = pen_formats + "[big]\n" + std::string(65508, 'x') + "\n";

// Regression: an answer that could not be sent vanished without a word.
TEST_F(EndToEnd, RegressionUnsentAnswersAreLogged)
{
    Socket_handle sd = serve(big_barcodes, big_formats);
    EXPECT_EQ(ask(sd, "big\n", no_socket, 300), "(none)");
    EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
    EXPECT_EQ(logged("not sent"),
              std::vector<std::string>{"WRN Answer of 65508 bytes to 10.77.0.2.9000 not sent: WSAGetLastError=" + std::to_string(message_too_long)});
}

// The statistics count an unsent answer since the last report, then since
// the start.
TEST_F(EndToEnd, AnUnsentAnswerIsCountedSinceTheLastReportAndSinceTheStart)
{
    SKIP_UNDER_WINDOWS("no SIGUSR1 there");
    Socket_handle sd = serve(big_barcodes, big_formats);
    EXPECT_EQ(ask(sd, "big\n", no_socket, 300), "(none)");
    EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
    sleep(1); // the second report's period begins at the first, a second after the start
    const std::string first = statistics(), second = statistics(), start = "; since the start ";
    EXPECT_LT(first.find(" answered=2 via_fallback_barcode=0 via_fallback_format=0 via_gtin=0 via_label=0 failed=0 empty=0 too_long=0 "
                         "own_socket=0 over_limit=0 echo=0 not_allowed=0 unsent=1 "), first.find(start)) << first;
    EXPECT_LT(second.find(" answered=0 "), second.find(start)) << second;
    EXPECT_NE(second.substr(second.find("Statistics since ") + 17, 19), second.substr(second.find(start) + start.size(), 19))
        << second;
    EXPECT_NE(second.find(" unsent=1 ", second.find(start)), std::string::npos) << second;
}

// Regression: after one failed write (a full disk) the log file stayed dead,
// its last line cut. The log goes on with the next line that fits, and says
// how many were lost.
TEST_F(EndToEnd, RegressionLogRecoversFromAFullDisk)
{
    SKIP_UNDER_WINDOWS("not yet under Wine: its writes to the full tmpfs are not seen to fail");
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "needs a mount namespace of its own";
    const std::string disk = my_dir.file("disk");
    ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
    ASSERT_EQ(mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k"), 0);
    start_wine(); // in this mount namespace, where the disk is
    write_db(pen_barcodes, pen_formats);
    start_server({"-log=" + disk + "/log", "-l=5"}, true, false);
    Socket_handle sd = terminal();
    EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
    {
        std::ofstream fill(disk + "/fill");
        fill << std::string(1 << 17, 'f'); // more than there is room for
    }
    // More than the page the log file has begun; the answers do not wait.
    for (int i = 0; i < 10; ++i) EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
    ASSERT_EQ(unlink((disk + "/fill").c_str()), 0);
    EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
    my_hosts->stop(my_server);
    std::vector<std::string> lines = log_messages(read_file(disk + "/log"));
    // The report says that its counts miss the lost lines.
    const std::string report = run_program({ULVANE_REPORT_PATH, disk + "/log"}).out;
    EXPECT_TRUE(std::regex_search(report, std::regex(R"(\nLost: \d+ log lines the server could not write \(No space left )"
                                                     R"(on device\): the counts below miss them\.\n)")))
        << report;
    umount2(disk.c_str(), MNT_DETACH);
    ASSERT_GE(lines.size(), 3u);
    std::regex lost(R"(WRN Lost \d+ log lines: No space left on device)");
    auto note = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return std::regex_match(l, lost); });
    ASSERT_NE(note, lines.end());
    EXPECT_NE(std::find(note, lines.end(), "INF Received barcode \"12345\""), lines.end());
    // A line cut by the full disk is ended before the note; all else is whole.
    for (auto l = lines.begin(); l != lines.end(); ++l)
        if (l + 1 != note) {
            EXPECT_NE(l->compare(0, 3, "?? "), 0) << *l;
        }
}

TEST_F(EndToEnd, EditsBetweenRequestsAreSeen)
{
    write_db(pen_barcodes, pen_formats);
    set_write_time(my_dir.file("barcodes.ini"), 1000);
    start_server();
    Socket_handle sd = terminal();
    EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
    write_file(my_dir.file("barcodes.ini"), "[12345]\nformat=price\ntag.description=Ink\ntag.price=2.50\n");
    set_write_time(my_dir.file("barcodes.ini"), 2000);
    EXPECT_EQ(ask(sd, "12345\n"), "Ink\nPrice: 2.50");

    // A missing file makes requests fail until it is back.
    ASSERT_EQ(rename(my_dir.file("formats.ini").c_str(), my_dir.file("gone").c_str()), 0);
    EXPECT_EQ(ask(sd, "12345\n", no_socket, 500), "(none)");
    ASSERT_EQ(rename(my_dir.file("gone").c_str(), my_dir.file("formats.ini").c_str()), 0);
    EXPECT_EQ(ask(sd, "12345\n"), "Ink\nPrice: 2.50");
    EXPECT_EQ(err(), "ERROR: format file \"" + my_dir.path() + "/formats.ini\" not found\n");
}

// An import of 300,000 rows while a terminal asks all the while: barcodes.ini
// is never missing nor anything but the old file or the new one, and every
// request is answered, from the old file and then from the new one.
TEST_F(EndToEnd, AnImportReplacesTheDatabaseWhileTerminalsAreAnswered)
{
    std::string old_db = "[]\nformat=price\ntag.description=?\ntag.price=-\n", csv = "barcode,description,price\n";
    for (int i = 1000000; i < 1300000; ++i) {
        old_db += "[" + std::to_string(i) + "]\nformat=price\ntag.description=Old\ntag.price=1.00\n";
        csv += std::to_string(i) + ",New,2.00\n";
    }
    write_db(old_db, pen_formats);
    write_file(my_dir.file("in.csv"), csv);
    start_server();
    Socket_handle sd = terminal();
    const std::string old_answer = "Old\nPrice: 1.00", new_answer = "New\nPrice: 2.00";
    EXPECT_EQ(ask(sd, "1299999\n", no_socket, 10000), old_answer); // Wine reads the file slowly

    std::atomic<bool> imported{false};
    Run_result result;
    std::thread importer([&] {
        result = run_program({ULVANE_IMPORT_PATH, my_dir.file("in.csv"), "-db=" + my_dir.path(), "-format=price"}, 120);
        imported = true;
    });
    std::set<long long> sizes;
    int missing = 0;
    std::thread watcher([&] {
        while (!imported) {
            struct stat st;
            if (stat(my_dir.file("barcodes.ini").c_str(), &st) != 0) ++missing;
            else sizes.insert(st.st_size);
            usleep(200);
        }
    });
    int old_answers = 0, new_answers = 0;
    while (!imported) {
        const std::string answer = ask(sd, "1299999\n");
        if (answer == new_answer) {
            ++new_answers;
        } else {
            EXPECT_EQ(answer, old_answer);
            EXPECT_EQ(new_answers, 0) << "an old answer after a new one";
            ++old_answers;
        }
    }
    importer.join();
    watcher.join();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(ask(sd, "1299999\n"), new_answer);
    EXPECT_GT(old_answers, 0);
    EXPECT_EQ(missing, 0);
    sizes.erase(static_cast<long long>(old_db.size()));
    sizes.erase(static_cast<long long>(read_file(my_dir.file("barcodes.ini")).size()));
    EXPECT_TRUE(sizes.empty()) << "a part of a file at " << *sizes.begin() << " bytes";
    EXPECT_TRUE(logged("not found").empty());
}

// Regression: a bind mount over the database directory, over a file or over
// a directory above it, and a new file renamed over the old one with its
// time, went unseen: the old price was served for good. After every kind of
// edit the next request gets the new answer.
TEST_F(EndToEnd, EveryKindOfEditIsSeen)
{
#ifdef ULVANE_WINDOWS_BUILD
    const bool mounts = false; // no bind mounts on Windows
#else
    const bool mounts = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
#endif
    const std::string shop = my_dir.file("shop"), db = shop + "/db", other = my_dir.file("other");
    for (const std::string& d : {shop, db, other, other + "/db"}) ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    auto barcodes = [](int cents) { return "[12345]\nformat=price\ntag.description=Pen\ntag.price=1.0" + std::to_string(cents) + "\n"; };
    // A new barcodes.ini in `dir`, with the same size and time as the others
    // (in a new directory on Windows, where the server does not see it
    // replace the watched one, with a time of its own).
    auto write_db_in = [&](const std::string& dir, int cents, bool new_directory = false) {
        write_file(dir + "/new", barcodes(cents));
#ifdef ULVANE_WINDOWS_BUILD
        set_write_time(dir + "/new", new_directory ? 5000 + cents : 5000);
#else
        (void)new_directory;
        set_write_time(dir + "/new", 5000);
#endif
        std::rename((dir + "/new").c_str(), (dir + "/barcodes.ini").c_str());
        write_file(dir + "/formats.ini", pen_formats);
    };
    write_db_in(db, 0);
    start_server({"-db=" + db});
    Socket_handle sd = terminal();
    std::vector<std::string> mounted;
    const struct {
        const char* what;
        std::function<void()> edit;
    } edits[] = {
        {"written in place", [&] { write_file(db + "/barcodes.ini", barcodes(1)); }},
        {"a new file with the old time renamed over it",
         [&] {
             write_db_in(other, 2);
             std::rename((other + "/barcodes.ini").c_str(), (db + "/barcodes.ini").c_str());
         }},
        {"a hard link renamed over it",
         [&] {
             write_db_in(other, 3);
             link((other + "/barcodes.ini").c_str(), (db + "/linked").c_str());
             std::rename((db + "/linked").c_str(), (db + "/barcodes.ini").c_str());
         }},
        {"the directory exchanged with another",
         [&] {
             write_db_in(other + "/db", 4, true);
             renameat2(AT_FDCWD, db.c_str(), AT_FDCWD, (other + "/db").c_str(), RENAME_EXCHANGE);
         }},
        {"the directory above renamed and another put in its place",
         [&] {
             std::rename(shop.c_str(), (shop + ".old").c_str());
             mkdir(shop.c_str(), 0755);
             mkdir(db.c_str(), 0755);
             write_db_in(db, 5, true);
         }},
        {"a directory mounted over it",
         [&] {
             write_db_in(other + "/db", 6);
             if (mount((other + "/db").c_str(), db.c_str(), nullptr, MS_BIND, nullptr) == 0) mounted.push_back(db);
         }},
        {"a file mounted over barcodes.ini",
         [&] {
             write_db_in(other, 7);
             if (mount((other + "/barcodes.ini").c_str(), (db + "/barcodes.ini").c_str(), nullptr, MS_BIND, nullptr) == 0)
                 mounted.push_back(db + "/barcodes.ini");
         }},
        {"a directory mounted over the one above",
         [&] {
             mkdir((other + "/above").c_str(), 0755);
             mkdir((other + "/above/db").c_str(), 0755);
             write_db_in(other + "/above/db", 8);
             if (mount((other + "/above").c_str(), shop.c_str(), nullptr, MS_BIND, nullptr) == 0) mounted.push_back(shop);
         }},
    };
    int cents = 0;
    for (const auto& e : edits) {
        if (!mounts && std::string(e.what).find("mounted") != std::string::npos) continue;
        EXPECT_EQ(ask(sd, "12345\n"), "Pen\nPrice: 1.0" + std::to_string(cents)) << "before: " << e.what;
        e.edit();
        cents = (&e - edits) + 1;
        EXPECT_EQ(ask(sd, "12345\n"), "Pen\nPrice: 1.0" + std::to_string(cents)) << e.what;
    }
    my_hosts->stop(my_server);
    for (auto m = mounted.rbegin(); m != mounted.rend(); ++m) umount2(m->c_str(), MNT_DETACH);
    EXPECT_EQ(mounted.size(), mounts ? 3u : 0u);
}

TEST_F(EndToEnd, MissingDatabaseEndsTheRunBeforeAnySocket)
{
    start_server({"-l=4"}, false);
    // Regression: this failure ended with status 0, taken for a clean stop.
    EXPECT_EQ(my_hosts->wait_for_exit(my_server, 5000), 255);
    EXPECT_EQ(err(), "ERROR: barcodes file \"" + my_dir.path() + "/barcodes.ini\" not found.\n");
    EXPECT_EQ(out(), "");
    EXPECT_TRUE(logged("Bind receiving socket").empty());
}

TEST_F(EndToEnd, PortIsTakenModulo65536)
{
    write_db(pen_barcodes, pen_formats);
    start_server({"-p=70000"}, false);
    ASSERT_TRUE(Two_hosts::wait_for_udp_port(my_server, 4464, 5000));
    Socket_handle sd = terminal(4464);
    EXPECT_EQ(ask(sd, "12345\n", no_socket, 2000, 4464), pen_answer);
    EXPECT_EQ(logged("Using UDP port"), std::vector<std::string>{"INF Using UDP port 70000"});
}

TEST_F(EndToEnd, PortInUseEndsTheRunWithMinusOne)
{
    write_db(pen_barcodes, pen_formats);
    ASSERT_GE(my_hosts->socket_in(my_hosts->server_ns(), 9000), 0);
    start_server({}, false);
    EXPECT_EQ(my_hosts->wait_for_exit(my_server, 5000), 255);
    EXPECT_TRUE(std::regex_match(out(), std::regex(R"(src/request_loop\.cpp:\d+ WSAGetLastError=)" + std::to_string(address_in_use) + "\n"))) << out();
}

// Regression: a request from the server's own host is answered to the server
// itself, which must not take its own answer as a new request and answer it
// again, forever.
TEST_F(EndToEnd, RegressionOwnAnswerIsNotAnsweredAgain)
{
    write_db("[]\nformat=price\n" + pen_barcodes, pen_formats);
    start_server();
    Socket_handle local = my_hosts->socket_in(my_hosts->server_ns(), 0);
    ASSERT_GE(local, 0);
    const std::string request = "12345\n";
    send_datagram(local, request.data(), request.size(), {0x7f000001, 9000});
    wait_until([&] { return !logged("own socket").empty(); }, 3000);
    EXPECT_EQ(logged("Received barcode").size(), 1u);
    EXPECT_EQ(logged("own socket"), std::vector<std::string>{own_socket_line("127.0.0.1")});
    // A terminal on another host, sending from port 9000, is still served.
    EXPECT_EQ(ask(terminal(), "12345\n"), pen_answer);
}

// Regression: a datagram between two of the host's own non-loopback
// addresses arrives over the interface holding the address, so the answer to
// it came back to the server as a new request, and so on, for ever. Every
// answer to an own address must be refused as coming from our own socket:
// the veth address, a secondary address and one of another subnet (both
// added while the server runs), and the broadcast address (its answer goes
// to the sending address). An answer to the secondary address leaves from
// the primary one.
TEST_F(EndToEnd, RegressionAnswersToOwnAddressesAreNotAnsweredAgain)
{
    // A terminal at our port first, so that the server knows its addresses
    // before two are added.
    Socket_handle sd = serve("[]\nformat=price\n" + pen_barcodes);
    EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
    ASSERT_TRUE(my_hosts->add_address(my_hosts->server_ns(), "10.77.0.11"));
    ASSERT_TRUE(my_hosts->add_address(my_hosts->server_ns(), "10.88.0.1"));
    const struct {
        std::uint32_t from, to;
        std::string refused;
    } cases[] = {
        {0, 0x0a4d0001, "10.77.0.1"},          // to the veth address
        {0x0a4d000b, 0x0a4d0001, "10.77.0.1"}, // from 10.77.0.11
        {0x0a580001, 0x0a4d0001, "10.88.0.1"}, // from 10.88.0.1
        {0, 0x0a4d00ff, "10.77.0.1"},          // to the broadcast address
    };
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        Socket_handle local = my_hosts->socket_in(my_hosts->server_ns(), 0, c.from);
        ASSERT_GE(local, 0);
        int on = 1;
        ASSERT_EQ(setsockopt(static_cast<int>(local), SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
        send_datagram(local, "12345\n", 6, {c.to, 9000});
        expected.push_back(own_socket_line(c.refused));
    }
    wait_until([&] { return logged("own socket").size() >= expected.size(); }, 3000);
    EXPECT_EQ(logged("Received barcode").size(), 5u);
    EXPECT_EQ(logged("own socket"), expected);
    drain(sd);
    EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
}

// An address removed is no longer ours: a terminal there is answered.
TEST_F(EndToEnd, AnAddressRemovedIsNoLongerOurs)
{
    Socket_handle sd = serve("[]\nformat=price\n" + pen_barcodes);
    ASSERT_TRUE(my_hosts->add_address(my_hosts->server_ns(), "10.77.0.11"));
    EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
    ASSERT_TRUE(my_hosts->ip(my_hosts->server_ns(), "addr del 10.77.0.11/24 dev ulv0"));
    ASSERT_TRUE(my_hosts->add_address(my_hosts->terminal_ns(), "10.77.0.11"));
#ifdef ULVANE_WINDOWS_BUILD
    usleep(1100000); // Windows reads the host's addresses again at most once a second
#endif
    EXPECT_EQ(ask_from(sd, 0x0a4d000b), pen_answer);
}

// Of a point-to-point address only the local end is ours: a terminal at the
// peer's end is answered.
TEST_F(EndToEnd, APeersEndOfAPointToPointAddressIsNotOurs)
{
    SKIP_UNDER_WINDOWS("no point-to-point addresses there");
    Socket_handle sd = serve("[]\nformat=price\n" + pen_barcodes);
    ASSERT_TRUE(my_hosts->ip(my_hosts->server_ns(), "addr add 10.66.0.1 peer 10.66.0.2 dev ulv0"));
    ASSERT_TRUE(my_hosts->add_address(my_hosts->terminal_ns(), "10.66.0.2"));
    EXPECT_EQ(ask_from(sd, 0x0a420002), pen_answer);
}

// A subnet added counts as ours at once: an answer to its second address
// leaves from its first, which the server must know as its own from the
// system's report, not from the list it read at the start.
TEST_F(EndToEnd, ASubnetAddedCountsAsOursAtOnce)
{
    EXPECT_EQ(ask(serve("[]\nformat=price\n" + pen_barcodes), "12345\n"), pen_answer);
    ASSERT_TRUE(my_hosts->add_address(my_hosts->server_ns(), "10.99.0.1"));
    ASSERT_TRUE(my_hosts->add_address(my_hosts->server_ns(), "10.99.0.2"));
#ifdef ULVANE_WINDOWS_BUILD
    usleep(1100000);
#endif
    send_datagram(my_hosts->socket_in(my_hosts->server_ns(), 0, 0x0a630002), "12345\n", 6, {Two_hosts::server_address, 9000});
    wait_until([&] { return !logged(own_socket_line("10.99.0.1")).empty(); }, 2000);
    EXPECT_EQ(logged(own_socket_line("10.99.0.1")).size(), 1u);
    EXPECT_TRUE(logged("Received barcode \"Pen").empty()) << "our own answer was answered";
}

// Reports lost: 16,000 changes while the server reads none overflow its
// netlink socket, and the removal of 10.99.0.2 comes after them. The server
// must read the whole list again (its last reading was more than a second
// ago): a terminal at 10.99.0.2 is answered, 10.99.0.1 stays ours, and the
// reports still waiting are not applied over the new list (a terminal at
// 10.80.31.250, whose adding waited and whose removal was lost, is
// answered).
TEST_F(EndToEnd, LostReportsOfAddressesAreMadeGoodByReadingThemAll)
{
    SKIP_UNDER_WINDOWS("Windows has no netlink reports to lose");
    Socket_handle sd = serve("[]\nformat=price\n" + pen_barcodes);
    ASSERT_TRUE(my_hosts->add_address(my_hosts->server_ns(), "10.99.0.1"));
    ASSERT_TRUE(my_hosts->add_address(my_hosts->server_ns(), "10.99.0.2"));
    EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
    sleep(1);
    write_address_batches(8000);
    ASSERT_TRUE(my_hosts->ip(my_hosts->server_ns(), "-batch '" + my_dir.file("add") + "'"));
    ASSERT_TRUE(my_hosts->ip(my_hosts->server_ns(), "-batch '" + my_dir.file("del") + "'"));
    ASSERT_TRUE(my_hosts->ip(my_hosts->server_ns(), "addr del 10.99.0.2/24 dev ulv0"));
    ASSERT_TRUE(my_hosts->add_address(my_hosts->terminal_ns(), "10.99.0.2"));
    EXPECT_EQ(ask_from(sd, 0x0a630002), pen_answer);
    send_datagram(my_hosts->socket_in(my_hosts->server_ns(), 0, 0x0a630001), "12345\n", 6, {Two_hosts::server_address, 9000});
    wait_until([&] { return !logged(own_socket_line("10.99.0.1")).empty(); }, 2000);
    EXPECT_EQ(logged(own_socket_line("10.99.0.1")).size(), 1u);
    ASSERT_TRUE(my_hosts->ip(my_hosts->server_ns(), "route add 10.80.31.0/24 dev ulv0"));
    ASSERT_TRUE(my_hosts->add_address(my_hosts->terminal_ns(), "10.80.31.250"));
    EXPECT_EQ(ask_from(sd, 0x0a501ffa), pen_answer);
}

// Regression: two servers at the same port bounced one answer between them
// for ever. The exchange ends at the limit for senders at our port: each way
// round, one server writes its line, and both go on serving terminals.
TEST_F(EndToEnd, RegressionTwoServersStopAnsweringEachOther)
{
    write_db("[]\nformat=price\n" + pen_barcodes, pen_formats);
    start_server();
    // The other server's fallback answer differs from ours, so that neither
    // ever gets back the answer it sent, and only the limit ends the loop.
    Temp_dir other_db;
    write_file(other_db.file("barcodes.ini"), "[]\nformat=other\n");
    write_file(other_db.file("formats.ini"), "[other]\nother\n");
    pid_t other = my_hosts->start_in(my_hosts->terminal_ns(),
                                     {ULVANE_SERVER_PATH, "-log=" + my_dir.file("other_log"), "-db=" + other_db.path()},
                                     my_dir.file("other_out"), my_dir.file("other_err"));
    ASSERT_TRUE(Two_hosts::wait_for_udp_port(other, 9000, 5000));
    const std::string third = my_hosts->add_third_host();
    ASSERT_FALSE(third.empty());
    auto exchanged = [&] { return logged("Received barcode").size() + logged("Received barcode", "other_log").size(); };

    // A process on one host asks the server on the other, whose answer goes
    // to our port there, that is, to the first server.
    const struct {
        std::string ns;
        std::uint32_t server;
    } rounds[] = {{my_hosts->server_ns(), Two_hosts::terminal_address},
                  {my_hosts->terminal_ns(), Two_hosts::server_address}};
    for (const auto& r : rounds) {
        const std::size_t before = exchanged();
        send_datagram(my_hosts->socket_in(r.ns, 5000), "12345\n", 6, {r.server, 9000});
        usleep(1000000);
        const std::size_t after = exchanged();
        EXPECT_GE(after - before, 2u * Answer_limit::burst);
        EXPECT_LE(after - before, 1000u);
        usleep(300000);
        EXPECT_EQ(exchanged(), after) << "the exchange goes on";
    }
    // Which server drops first depends on how their limits refill while
    // the exchange runs; each writes at most one line a minute, naming the
    // other, and the two rounds make both drop at least once as a rule.
    const std::vector<std::string> ours = logged("Too many"), others = logged("Too many", "other_log");
    EXPECT_LE(ours.size(), 1u);
    EXPECT_LE(others.size(), 1u);
    EXPECT_GE(ours.size() + others.size(), 1u);
    for (const std::string& l : ours)
        EXPECT_TRUE(std::regex_match(l, std::regex("WRN Too many messages from 10\\.77\\.0\\.2\\.9000: (3[3-9]|[4-9]\\d|\\d{3})"
                                                   " within a second from this address at our port, not answered "
                                                   "\\(likely another server there answering our answers, or a "
                                                   "sender at our port sending too fast\\)\\. Further drops from this "
                                                   "address are logged at most once a minute\\.")))
            << l;
    for (const std::string& l : others) EXPECT_NE(l.find("from 10.77.0.1.9000: "), std::string::npos) << l;

    // A terminal on a third host is served by both right away.
    Socket_handle sd = my_hosts->socket_in(third, 9000);
    const std::pair<std::uint32_t, std::string> servers[] = {{0x0a4e0001u, pen_answer}, {0x0a4f0001u, "other"}};
    for (const auto& [server, expected] : servers) { // 10.78.0.1, 10.79.0.1
        send_datagram(sd, "12345\n", 6, {server, 9000});
        std::string answer;
        Datagram_source from;
        EXPECT_TRUE(receive_within(sd, 2000, answer, from)) << address_text(server);
        EXPECT_EQ(answer, expected);
        EXPECT_EQ(from.endpoint.address, server);
    }
}

// A terminal at the server's port scanning 20 times a second for ten seconds,
// and a generator at another port at full speed, are answered in full.
TEST_F(EndToEnd, TerminalsAndGeneratorsAreAnsweredInFull)
{
    Socket_handle sd = serve(pen_barcodes, pen_formats, {"-l=2"});
    int answered = 0;
    for (int i = 0; i < 200; ++i) {
        answered += ask(sd, "12345\n") == pen_answer;
        usleep(50000);
    }
    EXPECT_EQ(answered, 200);
    EXPECT_TRUE(logged("Too many").empty());
}

// A generator at another port, at full speed (16 requests in flight), is
// answered in full.
TEST_F(EndToEnd, AGeneratorAtFullSpeedIsAnsweredInFull)
{
    Socket_handle sd = serve(pen_barcodes, pen_formats, {"-l=2"}), generator = terminal(5000);
    const int requests = 5000, window = 16;
    int sent = 0, answered = 0;
    std::string answer;
    Datagram_source from;
    while (answered < requests) {
        for (; sent < requests && sent - answered < window; ++sent) send_datagram(generator, "12345\n", 6, {Two_hosts::server_address, 9000});
        if (!receive_within(sd, 2000, answer, from)) break;
        answered += answer == pen_answer;
    }
    EXPECT_EQ(answered, requests);
    EXPECT_TRUE(logged("Too many").empty());
}

// Regression: control bytes of a received barcode must not reach the log or
// standard error raw, where they could forge lines or drive the terminal.
TEST_F(EndToEnd, RegressionControlBytesCannotForgeLogLines)
{
    Socket_handle sd = serve("[]\nformat=price\n" + pen_barcodes);
    const std::string forged = "x\n[2026-01-01 00:00:00 #1 WRN] forged\r\x1b[2J";
    EXPECT_EQ(ask(sd, forged + "\n"), "\nPrice: ");
    std::string log = read_file(my_dir.file("log"));
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    EXPECT_EQ(log.find('\r'), std::string::npos);
    const std::string shown = "x\\n[2026-01-01 00:00:00 #1 WRN] forged\\r\\x1b[2J";
    EXPECT_EQ(logged("forged"), (std::vector<std::string>{"INF Received barcode \"" + shown + "\"",
                                                         "WRN Barcode \"" + shown + "\" not defined in database."}));
}

// Regression: a GS1 code's separator and a typed \e, an ESC and a typed
// \x1b, were logged alike, and ulvane_report counted them as one. Five
// barcodes stay five rows, and none becomes a formula in the CSV.
TEST_F(EndToEnd, RegressionControlBytesAndTheirEscapesAreToldApart)
{
    Socket_handle sd = serve("[]\nformat=price\n" + pen_barcodes);
    for (const std::string& code : {std::string("01\x1d" "10A"), std::string("01\\e10A"), std::string("01\x1b" "10A"),
                                    std::string("01\\x1b10A"), std::string("=01\\10A")})
        EXPECT_EQ(ask(sd, code + "\n"), "\nPrice: ") << bytes_to_text(code);
    std::vector<std::string> barcodes; // the first field of each row
    for (const std::string& row : split_lines(unix_lines(run_program({ULVANE_REPORT_PATH, "-csv", my_dir.file("log")}).out)))
        barcodes.push_back(row.substr(0, row.find(",1,")));
    EXPECT_EQ(barcodes, (std::vector<std::string>{"barcode,count,first,last", "\"01\\\\e10A\"", "\"01\\\\x1b10A\"",
                                                  "\"01\\x1b10A\"", "\"01\\x1d10A\"", "\"'=01\\\\10A\""}));
}

// ulvane_scan -check as a Nagios-style monitor runs it: its status and its
// one line, with the time as performance data, for each case; no '|' but
// the one before the performance data, and a long answer cut short.
TEST_F(EndToEnd, ScanCheckTellsMonitorsWhatTheyRead)
{
    write_db(pen_barcodes + "[777]\nformat=price\ntag.description=Cable | 2 m\ntag.price=3\n" +
                 "[150]\nformat=price\ntag.description=" + std::string(141, 'M') + "\ntag.price=3\n" +
                 "[888]\nformat=price\ntag.description=" + std::string(149, 'L') + "\xc3\xa9" + std::string(14850, 'L') +
                 "\ntag.price=3\n",
             pen_formats);
    start_server();
    const std::string said = R"(10\.77\.0\.1 answered 12345 in \d+\.\d ms)", took = R"(\|time=\d+\.\d{4}s;)";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string line; // a regular expression
    } cases[] = {
        {{"10.77.0.1", "12345"}, 0, "ULVANE OK - " + said + took + ";;0"},
        {{"-expect=Price: 1.99", "-w=1000", "-c=2000", "10.77.0.1", "12345"}, 0, "ULVANE OK - " + said + took + "1\\.000;2\\.000;0"},
        {{"-expect=Price: 2", "10.77.0.1", "12345"}, 2,
         "ULVANE CRITICAL - " + said + R"(, without 'Price: 2': 'Pen\\nPrice: 1\.99')" + took + ";;0"},
        {{"-w=0", "10.77.0.1", "12345"}, 1, "ULVANE WARNING - " + said + ", slower than 0 ms" + took + "0\\.000;;0"},
        {{"-w=0", "-c=0", "10.77.0.1", "12345"}, 2, "ULVANE CRITICAL - " + said + ", slower than 0 ms" + took + "0\\.000;0\\.000;0"},
        {{"-p=9009", "-t=300", "10.77.0.1", "12345"}, 2, R"(ULVANE CRITICAL - no answer from 10\.77\.0\.1 for 12345 within 300 ms)"},
        {{"10.77.0.1", "12345", "999"}, 3, "ULVANE UNKNOWN - usage: ulvane_scan -check .*"},
        {{"-x", "10.77.0.1", "12345"}, 3, "ULVANE UNKNOWN - usage: ulvane_scan -check .*"},
        {{"-expect=Pen\\nPrice", "10.77.0.1", "12345"}, 0, "ULVANE OK - " + said + took + ";;0"}, // in the escape notation
        {{"-expect=|", "10.77.0.1", "777"}, 0, R"(ULVANE OK - 10\.77\.0\.1 answered 777 in \d+\.\d ms)" + took + ";;0"},
        {{"-expect=x", "10.77.0.1", "777"}, 2, R"(ULVANE CRITICAL - .*, without 'x': 'Cable \\x7c 2 m\\nPrice: 3')" + took + ";;0"},
        {{"-expect=x|y", "10.77.0.1", "12345"}, 2, R"(ULVANE CRITICAL - .*, without 'x\\x7cy': .*)" + took + ";;0"},
        {{"-expect=x", "10.77.0.1", "888"}, 2, "ULVANE CRITICAL - .*: 'L{149}'\\.\\.\\. \\(15010 bytes\\)" + took + ";;0"},
        {{"-expect=x", "10.77.0.1", "150"}, 2, R"(ULVANE CRITICAL - .*: 'M{141}\\nPrice: 3')" + took + ";;0"}, // 150 bytes: whole
        {{"-t=3600000", "10.77.0.1", "12345"}, 0, "ULVANE OK - " + said + took + ";;0"},
        {{"-w=abc", "10.77.0.1", "12345"}, 3, "ULVANE UNKNOWN - -w=abc is not a number from 0 to 3600000"},
        {{"-t=-5", "10.77.0.1", "12345"}, 3, "ULVANE UNKNOWN - -t=-5 is not a number from 1 to 3600000"},
        {{"-p=0", "10.77.0.1", "12345"}, 3, "ULVANE UNKNOWN - -p=0 is not a number from 1 to 65535"},
        {{"-w=200", "-c=100", "10.77.0.1", "12345"}, 3, "ULVANE UNKNOWN - -c=100 is below -w=200: .*"},
        {{"-w=5", "-c=0", "10.77.0.1", "12345"}, 3, "ULVANE UNKNOWN - -c=0 is below -w=5: .*"},
        {{"255.255.255.255", "12345"}, 3, "ULVANE UNKNOWN - cannot send to 255\\.255\\.255\\.255: .*"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(my_hosts->wait_for_exit(start_check(c.args), 10000), c.status) << c.line;
        const std::string out = unix_lines(read_file(my_dir.file("check_out")));
        EXPECT_TRUE(std::regex_match(out, std::regex(c.line + "\n"))) << out;
    }
}

// Checks side by side take turns at the port the answers come to.
TEST_F(EndToEnd, ScanChecksSideBySideTakeTurnsAtThePort)
{
    write_db(pen_barcodes, pen_formats);
    start_server();
    for (int round = 0; round < 20; ++round) {
        pid_t checks[4];
        for (int k = 0; k < 4; ++k) checks[k] = start_check({"10.77.0.1", "12345"}, "check_out" + std::to_string(k));
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(my_hosts->wait_for_exit(checks[k], 10000), 0) << round;
            EXPECT_EQ(read_file(my_dir.file("check_out" + std::to_string(k))).find("ULVANE OK - "), 0u) << round;
        }
    }
}

// A port that stays taken is an UNKNOWN once -t is up.
TEST_F(EndToEnd, ScanCheckOfAPortThatStaysTakenIsUnknown)
{
    Socket_handle taken = my_hosts->socket_in(my_hosts->terminal_ns(), 9000);
    ASSERT_GE(taken, 0);
    EXPECT_EQ(my_hosts->wait_for_exit(start_check({"-t=300", "10.77.0.1", "12345"}), 10000), 3);
    EXPECT_NE(read_file(my_dir.file("check_out")).find("ULVANE UNKNOWN - cannot bind UDP port 9000 (error "), std::string::npos)
        << read_file(my_dir.file("check_out"));
}

// One behind the check of a host that is down, which holds the port for its
// whole -t, still asks once it has the port.
TEST_F(EndToEnd, ScanCheckBehindOneOfAHostThatIsDownStillAsks)
{
    write_db(pen_barcodes, pen_formats);
    start_server();
    const pid_t down = start_check({"-t=500", "10.77.0.99", "12345"}, "check_out0");
    ASSERT_TRUE(Two_hosts::wait_for_udp_port(down, 9000, 3000));
    const pid_t behind = start_check({"-t=1000", "10.77.0.1", "12345"}, "check_out1");
    EXPECT_EQ(my_hosts->wait_for_exit(down, 10000), 2) << read_file(my_dir.file("check_out0"));
    EXPECT_EQ(my_hosts->wait_for_exit(behind, 10000), 0) << read_file(my_dir.file("check_out1"));
}

// The samples that tests/metrics_read.py prints (prometheus_client's parser
// over a file or an exporter's page, run in `ns`), by name; empty when it
// failed.
std::map<std::string, std::string> read_metrics(Two_hosts& hosts, const std::string& ns, const std::string& source,
                                                const Temp_dir& dir)
{
    pid_t pid = hosts.start_in(ns, {"/usr/bin/python3", ULVANE_SOURCE_DIR "/tests/metrics_read.py", source},
                               dir.file("metrics_out"), dir.file("metrics_err"));
    std::map<std::string, std::string> samples;
    if (hosts.wait_for_exit(pid, 15000) != 0) {
        ADD_FAILURE() << source << ": " << read_file(dir.file("metrics_err"));
        return samples;
    }
    for (const std::string& line : split_lines(read_file(dir.file("metrics_out"))))
        samples[line.substr(0, line.find(' '))] = line.substr(line.find(' ') + 1);
    return samples;
}

#ifndef ULVANE_WINDOWS_BUILD
// The samples that a statistics line's figures since the start give, each
// with `labels`: each count as ulvane_<name>_total, each file's entries and
// the time of its last reload.
std::map<std::string, std::string> metrics_of(const std::string& report, const std::string& labels = "{port=\"9000\"}")
{
    std::map<std::string, std::string> expected;
    for (const figures::Part which : {figures::Part::since_start, figures::Part::files}) {
        std::string_view part = figures::part(std::string_view(report).substr(0, report.find('\n')), which);
        std::string_view name_view, value;
        while (figures::next(part, name_view, value)) {
            const std::string name(name_view);
            const std::size_t file_part = name.find("_entries") != std::string::npos ? name.find("_entries")
                                                                                    : name.find("_last_reload_ms");
            if (file_part == std::string::npos)
                expected["ulvane_" + name + "_total" + labels] = value;
            else if (name.compare(file_part, 8, "_entries") == 0)
                expected["ulvane_" + name + labels] = value;
            else // in the metrics in seconds, in full
                expected["ulvane_" + name.substr(0, file_part) + "_last_reload_duration_seconds" + labels] = value;
        }
    }
    return expected;
}
#endif

// Whether /usr/bin/python3 has the exporters' own parser, and what to do
// where it has not.
bool have_prometheus_client()
{
    return std::system("/usr/bin/python3 -c 'import prometheus_client' 2>/dev/null") == 0;
}
const char* const no_prometheus_client = "no prometheus_client for /usr/bin/python3 (apt-get install python3-prometheus-client)";

// The labels of the samples of the server at port 9000, and its build's.
const std::string at_9000 = "{port=\"9000\"}";
const std::string build_info = "ulvane_build_info{port=\"9000\",version=\"" + std::string(ulvane_version) + "\"}";

// The metrics file is written at the start, before any request.
TEST_F(EndToEnd, MetricsFileIsWrittenAtTheStart)
{
    if (!have_prometheus_client()) GTEST_SKIP() << no_prometheus_client;
    write_db(pen_barcodes + "[0815]\nformat=price\n", pen_formats); // two barcodes, one format
    const std::string file = my_dir.file("ulvane_server.prom");
    start_server({"-stats=" + file});
    wait_until([&] { return !read_file(file).empty(); }, 5000);
    std::map<std::string, std::string> at_start = read_metrics(*my_hosts, my_hosts->server_ns(), file, my_dir);
    EXPECT_EQ(at_start["ulvane_received_total" + at_9000], "0");
    EXPECT_EQ(at_start["ulvane_barcodes_entries" + at_9000], "2");
    EXPECT_EQ(at_start[build_info], "1");
    EXPECT_EQ(at_start["ulvane_serving" + at_9000], "1");
    EXPECT_NEAR(std::stod(at_start["ulvane_metrics_written_timestamp_seconds" + at_9000]),
                static_cast<double>(std::time(nullptr)), 60);
}

#ifndef ULVANE_WINDOWS_BUILD // no SIGUSR1 there
// The metrics file holds what the statistics line says at the same moment,
// read by the exporters' own parser; it is not written more often than
// asked.
TEST_F(EndToEnd, MetricsFileSaysWhatTheStatisticsSay)
{
    if (!have_prometheus_client()) GTEST_SKIP() << no_prometheus_client;
    const std::string file = my_dir.file("ulvane_server.prom");
    Socket_handle sd = serve(pen_barcodes + "[0815]\nformat=price\n", pen_formats, {"-stats=" + file});
    for (const char* request : {"12345", "12345\n", "999", ""}) ask(sd, request, no_socket, 300);
    EXPECT_NE(read_file(file).find("\nulvane_received_total" + at_9000 + " 0\n"), std::string::npos) << "written again too soon";
    const std::string report = statistics();
    const std::map<std::string, std::string> expected = metrics_of(report);
    ASSERT_EQ(expected.size(), 22u) << report; // 18 counts, and each file's entries and reading time
    ASSERT_EQ(expected.at("ulvane_answered_total" + at_9000), "2") << report;
    std::map<std::string, std::string> in_file = read_metrics(*my_hosts, my_hosts->server_ns(), file, my_dir);
    for (const auto& metric : expected) {
        const std::string value = in_file[metric.first];
        if (metric.first.find("_duration_seconds") != std::string::npos && !value.empty()) {
            // The line rounds to 0.1 ms, the file to 1 us: they agree to within both.
            EXPECT_NEAR(std::stod(value) * 1000, std::stod(metric.second), 0.0501) << metric.first;
            continue;
        }
        EXPECT_EQ(value, metric.second) << metric.first;
    }
    EXPECT_EQ(in_file[build_info], "1");
    const double started = std::stod(in_file["ulvane_start_time_seconds" + at_9000]);
    EXPECT_NEAR(started, static_cast<double>(std::time(nullptr)), 60);
    EXPECT_GE(std::stod(in_file["ulvane_barcodes_last_read_timestamp_seconds" + at_9000]), started);
    EXPECT_EQ(in_file.count("ulvane_formats_last_reload_duration_seconds" + at_9000), 1u);
}

// Debian's node exporter, set up as docs/running.md shows (a link in its
// text-file directory to the server's file), takes the files of two servers
// of this host, each sample naming its server by its port.
TEST_F(EndToEnd, MetricsFilesOfTwoServersAreReadByTheNodeExporter)
{
    if (!have_prometheus_client()) GTEST_SKIP() << no_prometheus_client;
    if (access("/usr/bin/prometheus-node-exporter", X_OK) != 0)
        GTEST_SKIP() << "no /usr/bin/prometheus-node-exporter (apt-get install prometheus-node-exporter)";
    const std::string file = my_dir.file("ulvane_server.prom"), second = my_dir.file("second.prom");
    write_db(pen_barcodes, pen_formats);
    start_server({"-stats=" + file});
    my_hosts->start_in(my_hosts->server_ns(), {ULVANE_SERVER_PATH, "-p=9001", "-db=" + my_dir.path(), "-stats=" + second},
                       my_dir.file("second_out"), my_dir.file("second_err"));
    wait_until([&] { return !read_file(file).empty() && !read_file(second).empty(); }, 5000);
    ASSERT_EQ(mkdir(my_dir.file("textfile").c_str(), 0755), 0);
    ASSERT_EQ(symlink(file.c_str(), my_dir.file("textfile/ulvane_server.prom").c_str()), 0);
    ASSERT_EQ(symlink(second.c_str(), my_dir.file("textfile/ulvane_9001.prom").c_str()), 0);
    my_hosts->start_in(my_hosts->server_ns(),
                       {"/usr/bin/prometheus-node-exporter", "--web.listen-address=127.0.0.1:9100",
                        "--collector.disable-defaults", "--collector.textfile",
                        "--collector.textfile.directory=" + my_dir.file("textfile")},
                       my_dir.file("exporter_out"), my_dir.file("exporter_err"));
    std::map<std::string, std::string> scraped =
        read_metrics(*my_hosts, my_hosts->server_ns(), "http://127.0.0.1:9100/metrics", my_dir);
    EXPECT_EQ(scraped["node_textfile_scrape_error"], "0") << read_file(my_dir.file("exporter_err"));
    scraped.erase("node_textfile_scrape_error");
    EXPECT_EQ(scraped["ulvane_answered_total{port=\"9001\"}"], "0");
    const std::map<std::string, std::string> in_file = read_metrics(*my_hosts, my_hosts->server_ns(), file, my_dir);
    EXPECT_EQ(scraped.size(), 2 * in_file.size());
    for (const auto& metric : in_file) EXPECT_EQ(scraped[metric.first], metric.second) << metric.first;
}

// The metrics file is written at the stop too, saying it is the last.
TEST_F(EndToEnd, MetricsFileIsWrittenAtTheStop)
{
    const std::string file = my_dir.file("ulvane_server.prom");
    EXPECT_EQ(ask(serve(pen_barcodes, pen_formats, {"-stats=" + file}), "12345"), pen_answer);
    kill(my_server, SIGTERM);
    EXPECT_EQ(my_hosts->wait_for_exit(my_server, 5000), 0);
    EXPECT_NE(read_file(file).find("\nulvane_answered_total" + at_9000 + " 1\n"), std::string::npos) << read_file(file);
    EXPECT_NE(read_file(file).find("\nulvane_serving" + at_9000 + " 0\n"), std::string::npos) << read_file(file);
}
#endif

// A collector that reads the file while the server rewrites it finds a
// whole file every time: the old one or the new one.
TEST_F(EndToEnd, MetricsFileIsNeverSeenHalfWritten)
{
    SKIP_UNDER_WINDOWS("the file is rewritten at a signal, which Windows has not");
    write_db(pen_barcodes, pen_formats);
    const std::string file = my_dir.file("ulvane_server.prom");
    start_server({"-stats=" + file});
    const std::string last_line = "ulvane_build_info{port=\"9000\",version=\"" + std::string(ulvane_version) + "\"} 1\n";
    std::atomic<bool> done{false};
    std::set<std::pair<ino_t, long long>> versions; // a file's inode and modification time
    int reads = 0, torn = 0;
    std::string a_torn_one;
    std::thread reader([&] {
        while (!done) {
            const int fd = open(file.c_str(), O_RDONLY);
            struct stat st;
            if (fd < 0 || fstat(fd, &st) != 0) continue;
            std::string text;
            char piece[4096];
            for (ssize_t n; (n = read(fd, piece, sizeof piece)) > 0;) text.append(piece, static_cast<std::size_t>(n));
            close(fd);
            ++reads;
            versions.insert({st.st_ino, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec});
            const bool whole = text.size() > last_line.size() &&
                               text.compare(text.size() - last_line.size(), last_line.size(), last_line) == 0 &&
                               text.compare(0, 25, "# HELP ulvane_received_to") == 0;
            if (!whole && torn++ == 0) a_torn_one = text;
        }
    });
    for (int i = 0; i < 300; ++i) {
        kill(my_server, SIGUSR1);
        usleep(3000);
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0) << reads << " reads, the first torn one: " << a_torn_one;
    EXPECT_GE(versions.size(), 30u) << reads << " reads";
}

// A metrics file that cannot be written is said once, and once more when it
// can be again; the server serves on meanwhile.
TEST_F(EndToEnd, MetricsFileThatCannotBeWrittenIsSaidOnce)
{
    SKIP_UNDER_WINDOWS("the file is written again at a signal, which Windows has not");
    const std::string file = my_dir.file("later/ulvane_server.prom");
    EXPECT_EQ(ask(serve(pen_barcodes, pen_formats, {"-stats=" + file}), "12345"), pen_answer);
    statistics();
    EXPECT_EQ(logged("Metrics file"), std::vector<std::string>{"WRN Metrics file " + file + " not written: cannot create " + file +
                                                               ".new-" + std::to_string(my_server) +
                                                               ": No such file or directory. It is tried again every minute."});
    ASSERT_EQ(mkdir(my_dir.file("later").c_str(), 0755), 0);
    statistics();
    statistics();
    EXPECT_EQ(logged("Metrics file").size(), 2u);
    EXPECT_EQ(logged("Metrics file").back(), "INF Metrics file " + file + " written again.");
    EXPECT_NE(read_file(file).find("\nulvane_answered_total{port=\"9000\"} 1\n"), std::string::npos) << read_file(file);
}

// No server: said so. Neither the scanner's own request nor a datagram from
// another host is taken for an answer.
TEST_F(EndToEnd, ScanToolSaysThatNoServerAnswered)
{
    ASSERT_TRUE(my_hosts->add_address(my_hosts->server_ns(), "10.77.0.11"));
    Socket_handle other = my_hosts->socket_in(my_hosts->server_ns(), 0, 0x0a4d000b);
    EXPECT_EQ(scan({"10.77.0.1", "12345"},
                   [&] {
                       for (int i = 0; i < 10; ++i, usleep(40000))
                           send_datagram(other, "impostor", 8, {Two_hosts::terminal_address, 9000});
                   }),
              std::make_pair(1, std::string()));
    EXPECT_NE(read_file(my_dir.file("scan_err")).find("no answer for 12345 from 10.77.0.1"), std::string::npos);
}

// A send that fails (no route) says why at once.
TEST_F(EndToEnd, ScanToolSaysWhyASendFailed)
{
    EXPECT_EQ(scan({"10.123.0.1", "x"}).first, 1);
    const std::string unreachable = read_file(my_dir.file("scan_err"));
#ifdef ULVANE_WINDOWS_BUILD
    const std::regex why(R"(ulvane_scan: cannot send x to 10\.123\.0\.1: (.* )?\(error 10051\))"); // Wine has no words for it
#else
    const std::regex why(R"(ulvane_scan: cannot send x to 10\.123\.0\.1: Network is unreachable \(error 101\))");
#endif
    EXPECT_TRUE(std::regex_search(unreachable, why)) << unreachable;
    EXPECT_EQ(unreachable.find("no answer"), std::string::npos) << unreachable;
}

// Waits for a request at `server`, then after `after_ms` answers it with
// `answer` to the terminal host's port 9001.
void answer_late(Socket_handle server, const std::string& answer, int after_ms)
{
    std::string request;
    Datagram_source from;
    ASSERT_TRUE(receive_within(server, 10000, request, from));
    usleep(after_ms * 1000);
    send_datagram(server, answer.data(), answer.size(), {Two_hosts::terminal_address, 9001});
}

// An answer after its time-out is said to be late, never taken for the next
// barcode's.
TEST_F(EndToEnd, ScanToolDropsAnAnswerThatCameLate)
{
    Socket_handle slow = my_hosts->socket_in(my_hosts->server_ns(), 9001);
    // A second's time-out, then a second more for what is late: "A" comes
    // half-way through it.
    EXPECT_EQ(scan({"-t=1000", "-p=9001", "10.77.0.1", "a", "b"},
                   [&] {
                       answer_late(slow, "A", 1500);
                       send_datagram(slow, "A again", 7, {Two_hosts::terminal_address, 9001});
                       answer_late(slow, "B", 0);
                   }),
              std::make_pair(1, std::string("B\n")));
    const std::string late = unix_lines(read_file(my_dir.file("scan_err")));
    for (const char* answer : {"A", "A again"})
        EXPECT_NE(late.find(std::string("ulvane_scan: an answer came after its time-out, dropped (not taken for another "
                                        "barcode's): ") + answer + "\n"),
                  std::string::npos)
            << late;
}

// A list longer than a burst is paced after its 30th barcode: a copy of an
// answer that comes meanwhile is dropped before the next barcode goes out,
// never taken for its answer. An empty answer is an answer: an empty line.
TEST_F(EndToEnd, ScanToolPacesAListLongerThanABurst)
{
    Socket_handle slow = my_hosts->socket_in(my_hosts->server_ns(), 9001);
    std::vector<std::string> list = {"-p=9001", "10.77.0.1"};
    std::string printed;
    for (int i = 0; i < 32; ++i) {
        list.push_back("b" + std::to_string(i));
        printed += i == 31 ? "\n" : "R" + std::to_string(i) + "\n";
    }
    EXPECT_EQ(scan(list,
                   [&] {
                       for (int i = 0; i < 32; ++i) {
                           answer_late(slow, i == 31 ? "" : "R" + std::to_string(i), 0);
                           if (i == 29) send_datagram(slow, "R29", 3, {Two_hosts::terminal_address, 9001});
                       }
                   }),
              std::make_pair(0, printed));
    EXPECT_NE(unix_lines(read_file(my_dir.file("scan_err"))).find("dropped (not taken for another barcode's): R29\n"),
              std::string::npos);
}

// No barcode is the usage; so is this host, by any of 127/8 or by name.
TEST_F(EndToEnd, ScanToolRefusesThisHostAndAnEmptyList)
{
    EXPECT_EQ(scan({"10.77.0.1"}).first, 2);
    EXPECT_EQ(scan({"127.0.0.2", "12345"}).first, 2); // all of 127/8 is this host, listed or not
    EXPECT_EQ(scan({"localhost", "12345"}).first, 2);
    EXPECT_NE(read_file(my_dir.file("scan_err")).find("localhost is this host"), std::string::npos);
}

const std::string bytes_barcodes = pen_barcodes + "[7]\nformat=bytes\n";
const std::string bytes_formats = pen_formats + "[bytes]\n\\x00\\e\\x1d\\\\\\x7f\n";

// Answers are printed in the notation a format is written in (ESC as \e,
// 0x1d as \x1d, DEL as \x7f), or raw with -r; a barcode without an answer
// is said, with the likely reasons.
TEST_F(EndToEnd, ScanToolPrintsAnswersAsFormatsAreWritten)
{
    write_db(bytes_barcodes, bytes_formats);
    start_server();
    EXPECT_EQ(scan({"10.77.0.1", "12345", "7"}), std::make_pair(0, std::string("Pen\\nPrice: 1.99\n\\x00\\e\\x1d\\\\\\x7f\n")));
    EXPECT_EQ(scan({"-r", "10.77.0.1", "7"}), std::make_pair(0, std::string("\0\x1b\x1d\\\x7f", 5)));
    EXPECT_EQ(scan({"10.77.0.1", "12345", "unknown"}), std::make_pair(1, std::string("Pen\\nPrice: 1.99\n")));
    EXPECT_NE(read_file(my_dir.file("scan_err")).find("no answer for unknown from 10.77.0.1 within 500 ms (it answered "
                                                      "before: it may have no answer for this barcode, or be limiting "
                                                      "the requests from this address at its port)"),
              std::string::npos);
}

// An operator checking a list after an edit: every article of it is
// answered, and so is every unknown barcode, paced under the limit for
// senders at the server's port.
TEST_F(EndToEnd, ScanToolGetsAnAnswerForEveryBarcodeOfALongList)
{
    write_db(bytes_barcodes + "[]\nformat=price\ntag.description=?\n", bytes_formats);
    start_server();
    std::vector<std::string> listed{"10.77.0.1"}, unknown{"10.77.0.1"};
    std::string expected;
    for (int i = 0; i < 60; ++i) {
        listed.push_back(i % 2 ? "7" : "12345");
        expected += i % 2 ? "\\x00\\e\\x1d\\\\\\x7f\n" : "Pen\\nPrice: 1.99\n";
        unknown.push_back("u" + std::to_string(i));
    }
    EXPECT_EQ(scan(listed), std::make_pair(0, expected));
    const auto [status, answers] = scan(unknown);
    EXPECT_EQ(status, 0) << read_file(my_dir.file("scan_err"));
    EXPECT_EQ(split_lines(answers).size(), 60u);
}

std::uintmax_t file_size(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<std::uintmax_t>(st.st_size) : 0;
}

// Regression: a sender flooding the port with long datagrams of control
// bytes grew the log by hundreds of MB a second, at every level; and the
// failure messages on standard error (a barcode whose format was renamed, an
// unknown one, a missing file) and the socket error lines on standard output
// escaped the budget. Every line of a request draws on one budget, whatever
// stream it goes to; what is left out is counted in one line as soon as the
// flood is over, and a terminal's request after it is logged in full. Four
// servers, at level 3 and 0, with the log in a file and on standard error.
TEST_F(EndToEnd, RegressionAFloodCannotFillTheDisk)
{
    write_db(pen_barcodes, pen_formats); // no fallback: three lines and a message a datagram
    Temp_dir missing_db, renamed_db;     // barcodes.ini goes missing; a format renamed, no fallback format
    for (const Temp_dir* dir : {&missing_db, &renamed_db}) write_file(dir->file("barcodes.ini"), pen_barcodes);
    write_file(missing_db.file("formats.ini"), pen_formats);
    write_file(renamed_db.file("formats.ini"), "[prices]\n${description}\n");
    start_server(); // level 3, log in a file, at port 9000
    const struct {
        std::string name; // its files: NAME_out, NAME_err and, with a log file, NAME_log ("log" for the first)
        std::vector<std::string> args;
        std::uint16_t port;
        bool log_file;
    } servers[] = {
        {"", {}, 9000, true},
        {"missing", {"-l=0", "-log=" + my_dir.file("missing_log"), "-db=" + missing_db.path()}, 9001, true},
        {"renamed", {"-l=0", "-db=" + renamed_db.path()}, 9002, false},
        {"renamed3", {"-db=" + renamed_db.path()}, 9003, false},
        {"too_long", {"-l=0", "-db=" + renamed_db.path()}, 9004, false},
    };
    auto file_of = [&](const std::string& name, const char* stream) {
        return my_dir.file(name.empty() ? stream : name + "_" + stream);
    };
    auto log_of = [&](const std::string& name) { return name.empty() ? "log" : name + (name == "missing" ? "_log" : "_err"); };
    for (const auto& s : servers) {
        if (s.name.empty()) continue;
        std::vector<std::string> args = s.args;
        args.insert(args.begin(), {ULVANE_SERVER_PATH, "-p=" + std::to_string(s.port)});
        pid_t pid = my_hosts->start_in(my_hosts->server_ns(), args, file_of(s.name, "out"), file_of(s.name, "err"));
        ASSERT_TRUE(Two_hosts::wait_for_udp_port(pid, s.port, 5000)) << s.name;
    }
    ASSERT_EQ(std::remove(missing_db.file("barcodes.ini").c_str()), 0);
    std::uintmax_t before[5];
    for (int i = 0; i < 5; ++i)
        before[i] = file_size(file_of(servers[i].name, "out")) + file_size(file_of(servers[i].name, "err")) +
                    (servers[i].log_file ? file_size(my_dir.file(log_of(servers[i].name))) : 0);

    // To each server datagrams of control bytes, a barcode it holds and ones
    // too long to serve (each a socket error line and its WRN line).
    std::string control_bytes(1700, '\x1b');
    for (std::size_t i = 0; i < control_bytes.size(); i += 2) control_bytes[i] = static_cast<char>(i % 32);
    Socket_handle flood = terminal(5000);
    const char* const seconds = std::getenv("ULVANE_FLOOD_SECONDS"); // 60 shows the average over a minute
    const int flood_seconds = seconds != nullptr ? std::atoi(seconds) : 10;
    const auto start = std::chrono::steady_clock::now();
    long sent = 0;
    bool edited = false;
    while (std::chrono::steady_clock::now() < start + std::chrono::seconds(flood_seconds)) {
        for (int i = 0; i < 100; ++i, ++sent) {
            const Ipv4_endpoint to{Two_hosts::server_address, std::uint16_t(9000 + sent % 5)};
            // Two level 0 servers get only the barcode whose format is
            // missing, or only datagrams too long: nothing but failure
            // messages, or nothing but socket error lines.
            switch (to.port == 9002 ? 0 : to.port == 9004 ? 1 : sent / 5 % 4) {
            case 0: send_datagram(flood, "12345\n", 6, to); break;
            case 1: send_datagram(flood, control_bytes.data(), 1700, to); break;
            default: send_datagram(flood, control_bytes.data(), 1600, to); break;
            }
        }
#ifdef ULVANE_WINDOWS_BUILD
        // Wine's sockets serve a few thousand datagrams a second; a faster
        // flood would still be served for seconds after it ended. The
        // short failure messages need more to spend the budget.
        for (int i = 0; i < 150; ++i) send_datagram(flood, "12345\n", 6, {Two_hosts::server_address, 9002});
        usleep(50000);
#endif
        if (!edited && std::chrono::steady_clock::now() > start + std::chrono::seconds(flood_seconds / 2)) {
            // Replaced whole, as operators are told to: a reload never sees
            // it half written.
            write_file(my_dir.file("barcodes.new"), pen_barcodes + "edited during the flood\n");
            std::rename(my_dir.file("barcodes.new").c_str(), my_dir.file("barcodes.ini").c_str());
            edited = true;
        }
    }
    const auto flood_ended = std::chrono::steady_clock::now();
    std::size_t notes_during[5]; // a long flood has one each time the budget is whole again
    for (int i = 0; i < 5; ++i) notes_during[i] = logged("Left out", log_of(servers[i].name)).size();
#ifndef ULVANE_WINDOWS_BUILD
    // The server's own lines are written while the budget is spent.
    kill(my_server, SIGHUP);
    wait_until([&] { return !logged("reopened").empty(); }, 2000);
    EXPECT_EQ(logged("reopened").size(), 1u);
#endif
    const std::string reader_warning = "WRN Incorrect tag-value \"edited during the flood\" at line 5 (skipped).";
    wait_until([&] { return !logged(reader_warning).empty(); }, 3000);
    EXPECT_EQ(logged(reader_warning).size(), 1u);

    // With nothing more to log, each server's note comes within a few
    // seconds all the same.
    const std::regex note_line("WRN Left out [1-9]\\d{3,} log lines of received datagrams since "
                               "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d: over the log's budget of "
                               "80 kB a second \\(a sender flooding the port\\?\\)\\.");
    bool spent[5] = {};
    for (const auto& s : servers) {
        const std::size_t during = notes_during[&s - servers];
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(flood_ended + std::chrono::seconds(4) -
                                                                                std::chrono::steady_clock::now());
        wait_until([&] { return logged("Left out", log_of(s.name)).size() != during; }, std::max(0, static_cast<int>(left.count())));
        const std::vector<std::string> notes = logged("Left out", log_of(s.name));
#ifdef ULVANE_WINDOWS_BUILD
        // Paced for Wine, the short lines of a missing file, of a missing
        // format at level 0 and the socket error lines may not spend the
        // budget at all (a few thousand datagrams a second, some 70 bytes
        // each, against a burst of 1 MB).
        if ((s.name == "missing" || s.name == "renamed" || s.name == "too_long") && notes.empty()) continue;
#endif
        ASSERT_EQ(notes.size(), during + 1) << s.name << ": no note within 4 s of the flood's end";
        EXPECT_TRUE(std::regex_match(notes.back(), note_line)) << notes.back();
        spent[&s - servers] = true;
    }
    write_file(missing_db.file("barcodes.ini"), pen_barcodes);
    usleep(1500000); // a quiet second: the flood is over for the budget

    const std::string not_defined = "WRN Barcode \"after\" not defined in database.";
    for (const auto& s : servers) {
        send_datagram(flood, "after\n", 6, {Two_hosts::server_address, s.port});
        const std::string log = log_of(s.name);
        wait_until([&] { return !logged(not_defined, log).empty(); }, 5000);
        // The terminal's lines come after the note, in full.
        const std::vector<std::string> lines = log_lines(log);
        const auto after = std::find(lines.begin(), lines.end(), not_defined);
        ASSERT_NE(after, lines.end()) << s.name;
        EXPECT_TRUE(std::none_of(after, lines.end(), [](const std::string& l) { return l.find("Left out") != std::string::npos; }));
        if (s.args.empty() || s.args[0] != "-l=0") {
            EXPECT_EQ(*(after - 1), "INF Received barcode \"after\"") << s.name;
        }
        // Log, standard error and standard output together: the burst, the
        // seconds since the flood began at the budget's rate (a server
        // under Wine serves the flood's datagrams for seconds after it
        // ended), and a few lines more.
        const std::uintmax_t grown = file_size(file_of(s.name, "out")) + file_size(file_of(s.name, "err")) +
                                     (s.log_file ? file_size(my_dir.file(log)) : 0) - before[&s - servers];
        const auto seconds_since_start =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LE(grown, std::uintmax_t(Log_budget::burst + (seconds_since_start + 1) * Log_budget::bytes_per_second))
            << s.name << ": " << grown / flood_seconds << " bytes a second";
        if (spent[&s - servers]) {
            EXPECT_GE(grown, std::uintmax_t(Log_budget::burst)) << s.name;
        }
    }
#ifndef ULVANE_WINDOWS_BUILD
    // The statistics count the lines left out as the notes do.
    unsigned long left_out = 0;
    for (const std::string& note : logged("Left out")) left_out += std::stoul(note.substr(13));
    EXPECT_NE(statistics().find(" log_lines_left_out=" + std::to_string(left_out) + " "), std::string::npos) << left_out;
#endif
    // A flood's lines show its first 512 bytes and its length.
    const std::vector<std::string> received = logged("INF Received barcode \"\\x00");
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received[0], "INF Received barcode \"" + escape_barcode(control_bytes.substr(0, 512)) + "... (1600 bytes)\"");
#ifdef ULVANE_WINDOWS_BUILD
    EXPECT_GT(sent, 10000);
#else
    EXPECT_GT(sent, 100000);
#endif
}

// Regression: senders at our port that differed only in their high address
// bits shared the limit, and a sender that forged the terminal's own address
// at our port spent its allowance, so the server refused the terminal. With
// 2,000 addresses each over its limit and the terminal's address forged at
// full speed (unknown barcodes, a code whose answer is itself, look-alikes
// of our answer), a terminal scanning an article once a second gets every
// answer, and every refused address is named.
TEST_F(EndToEnd, RegressionFloodersAtOurPortCannotSilenceATerminal)
{
    write_db(pen_barcodes + "[7]\nformat=seven\n", pen_formats + "[seven]\n7\n");
    start_server({"-l=0"});
#ifdef ULVANE_WINDOWS_BUILD
    const int flooders = 50; // Wine's sockets serve about 3,600 datagrams a second
    const int forged = 100;  // a tick
#else
    const int flooders = 2000;
    const int forged = 2000;
#endif
    std::string batch;
    std::vector<std::uint32_t> addresses;
    for (int i = 0; i < flooders; ++i) {
        addresses.push_back(0x0a4d0000u + ((1 + i / 250) << 8) + 1 + i % 250); // 10.77.1.1 ...
        batch += "addr add " + address_text(addresses.back()) + "/32 dev ulv1\n";
    }
    write_file(my_dir.file("addresses"), batch);
    ASSERT_TRUE(my_hosts->ip(my_hosts->terminal_ns(), "-batch '" + my_dir.file("addresses") + "'"));
    // Through the terminal host as a gateway: one neighbour entry, not
    // 2,000 (the kernel's neighbour table is shared by all namespaces).
    ASSERT_TRUE(my_hosts->ip(my_hosts->server_ns(), "route add 10.77.0.0/16 via 10.77.0.2 dev ulv0"));
    Socket_handle flood = my_hosts->socket_in(my_hosts->terminal_ns(), 9000, 0, true);
    Socket_handle sd = my_hosts->socket_in(my_hosts->terminal_ns(), 9000, Two_hosts::terminal_address, true);
    ASSERT_GE(flood, 0);
    ASSERT_GE(sd, 0);

    int answered = 0;
    const Ipv4_endpoint server{Two_hosts::server_address, 9000};
    for (int tick = 0; tick < 10; ++tick) {
        const auto next = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        // The forged requests' answers reach the terminal too: its own is
        // the one that says Pen.
        drain(sd);
        for (int i = 0; i < forged; ++i)
            send_from(flood, Two_hosts::terminal_address, i % 3 == 0 ? "nope\n" : i % 3 == 1 ? "7\n" : pen_answer, server);
        send_datagram(sd, "12345\n", 6, server);
        std::string answer;
        Datagram_source from;
        while (receive_within(sd, 1000, answer, from) && answer != pen_answer) {
        }
        answered += answer == pen_answer;
        // Half of the flooders, 40 datagrams each, spread over the tick.
        for (int i = tick % 2; i < flooders; i += 2) {
            for (int k = 0; k < 40; ++k) send_from(flood, addresses[i], "7\n", server);
            if (i % 100 < 2) usleep(10000);
        }
        std::this_thread::sleep_until(next);
    }
    EXPECT_EQ(answered, 10);
    std::set<std::string> named;
    const std::regex refusal("WRN Too many messages from (10\\.77\\.\\d+\\.\\d+)\\.9000: \\d+ within a second .*");
    for (const std::string& l : logged("Too many")) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, refusal)) << l;
        EXPECT_TRUE(named.insert(m[1]).second) << l << ": twice within a minute";
    }
    EXPECT_EQ(named.size(), std::size_t(flooders) + 1); // the terminal's forged address too
    EXPECT_EQ(named.count("10.77.0.2"), 1u);
}

// Requests that waited while the server was stopped count when they came:
// a terminal at our port within its limit is answered in full.
TEST_F(EndToEnd, RequestsThatWaitedCountWhenTheyArrived)
{
    SKIP_UNDER_WINDOWS("Windows stamps no time of arrival on datagrams, and Wine cannot be stopped so");
    Socket_handle sd = serve(pen_barcodes, pen_formats, {"-l=0"});
    ASSERT_EQ(ask(sd, "12345\n"), pen_answer);
    kill(my_server, SIGSTOP);
    const int requests = 2 * Answer_limit::burst; // within the rate, over the burst
    for (int i = 0; i < requests; ++i) {
        send_datagram(sd, "12345\n", 6, {Two_hosts::server_address, 9000});
        usleep(1000000 / (Answer_limit::per_second - 10));
    }
    kill(my_server, SIGCONT);
    EXPECT_EQ(count_answers(sd, pen_answer), requests);
    EXPECT_TRUE(logged("Too many").empty());
}

// Regression: a service on another host that returns what it receives from
// another port (an echo from a fresh socket, a NAT) kept one forged
// datagram going between it and the server for ever. And a terminal that
// scanned the code an answer had just shown got no answer.
TEST_F(EndToEnd, RegressionAnEchoFromAnotherPortEnds)
{
    write_db("[]\nformat=price\n" + pen_barcodes + "[L1]\nformat=code\ntag.code=12345\n[777]\nformat=code\ntag.code=777\n",
             pen_formats + "[code]\n${code}\n");
    start_server();
    Socket_handle echo_in = terminal(9000), echo_out = terminal(5000);
    // Returns what the server answers to `request` from `out` until the
    // server stops; how many it returned.
    auto echo_loop = [&](Socket_handle out, const std::string& request) {
        send_datagram(out, request.data(), request.size(), {Two_hosts::server_address, 9000}); // as if forged from port 9000
        int echoed = 0;
        std::string datagram;
        Datagram_source from;
        while (echoed < 5000 && receive_within(echo_in, 1000, datagram, from)) {
            send_datagram(out, datagram.data(), datagram.size(), {Two_hosts::server_address, 9000});
            ++echoed;
        }
        return echoed;
    };
    // Returned from another port, then from ours (where the limit alone
    // would end it only after a burst): one answer each. An answer that is
    // a barcode of ours gets one more: a terminal may scan what it shows.
    EXPECT_EQ(echo_loop(echo_out, "12345\n"), 1) << "from port 5000";
    EXPECT_EQ(echo_loop(echo_in, "12345\n"), 1) << "from port 9000";
    EXPECT_EQ(echo_loop(echo_out, "777"), 2) << "an answer that is a barcode of ours";
    EXPECT_EQ(logged("holds our last answer"),
              std::vector<std::string>{"WRN Message from 10.77.0.2.5000 holds our last answer to that address: not "
                                       "answered (likely a service there that returns what it receives). Further ones "
                                       "from this address are logged at most once a minute."});
    // A shelf label whose answer shows the article's code, then the
    // article; a code whose answer is the code itself, scanned twice: every
    // scan answered.
    const std::pair<std::string, std::string> pairs[][2] = {{{"L1", "12345"}, {"12345", pen_answer}},
                                                            {{"777", "777"}, {"777", "777"}}};
    int answered = 0;
    for (const auto& pair : pairs) {
        usleep(1100000);
        for (const auto& scan : pair) answered += ask(echo_in, scan.first) == scan.second;
    }
    EXPECT_EQ(answered, 4);
    EXPECT_EQ(ask(echo_out, "12345\n", echo_in), pen_answer);
#ifndef ULVANE_WINDOWS_BUILD // no SIGUSR1 there
    // A shelf label scanned over the limit from our port. The report counts
    // the answers the server counts: a refusal is none.
    for (int i = 0; i < 100; ++i) send_datagram(echo_in, "L1", 2, {Two_hosts::server_address, 9000});
    drain(echo_in, 500);
    ASSERT_FALSE(statistics().empty());
    const std::string json = run_program({ULVANE_REPORT_PATH, "-json", my_dir.file("log")}).out;
    std::smatch reported, counted;
    ASSERT_TRUE(std::regex_search(json, reported, std::regex(R"("received": \d+, "answered": (\d+),.*"refused": (\d+))")));
    ASSERT_TRUE(std::regex_search(json, counted, std::regex(R"("statistics": \{"received": \d+, "answered": (\d+))")));
    EXPECT_EQ(reported[1], counted[1]) << json;
    EXPECT_GE(std::stoi(reported[2]), 30) << json;
#endif
}

// Regression: with thousands of the host's addresses changing all the time,
// every datagram from our port read them all again (latency of 12 to 540
// ms). Serving stays fast.
TEST_F(EndToEnd, RegressionAddressChurnKeepsServingFast)
{
    write_db(pen_barcodes, pen_formats);
    write_address_batches(4000);
    start_server({"-l=0"});
    pid_t churn = my_hosts->start_in(my_hosts->server_ns(),
                                     {"/bin/sh", "-c", "while :; do ip -batch " + my_dir.file("add") + "; ip -batch " +
                                                           my_dir.file("del") + "; done"},
                                     "/dev/null", "/dev/null");
    ASSERT_GT(churn, 0);
    usleep(500000);
    Socket_handle sd = terminal();
    std::vector<double> ms;
    for (int i = 0; i < 100; ++i) {
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked).count());
        usleep(20000);
    }
    my_hosts->stop(churn);
    std::sort(ms.begin(), ms.end());
#ifdef __SANITIZE_ADDRESS__
    const double most_ms = 5.0; // the instrumented server is several times slower, still far from the regression
#else
    const double most_ms = 1.0;
#endif
    EXPECT_LT(ms[ms.size() / 2], most_ms) << "median of " << ms.size() << " requests, in ms";
}

#ifdef ULVANE_WINDOWS_BUILD
// A path of this host as Wine's programs name it.
std::string windows_path(std::string path)
{
    std::replace(path.begin(), path.end(), '/', '\\');
    return "Z:" + path;
}

// The Windows service under Wine, in the server's namespace, set up with
// ulvane_service as an administrator would.
class WindowsService : public EndToEnd {
protected:
    // The service and what a setup remembered are removed whatever happens:
    // an automatic service would start with the next test's Wine.
    void TearDown() override
    {
        if (my_hosts && my_hosts->ok()) {
            service({"remove"});
            std::remove((state_dir() + "service.options").c_str());
        }
        EndToEnd::TearDown();
    }

    // Runs a program on the server host; its status, and its output and
    // errors together.
    std::pair<int, std::string> run(std::vector<std::string> argv, int ms = 60000)
    {
        pid_t pid = my_hosts->start_in(my_hosts->server_ns(), argv, my_dir.file("run_out"), my_dir.file("run_err"));
        const int status = my_hosts->wait_for_exit(pid, ms);
        return {status, unix_lines(read_file(my_dir.file("run_out")) + read_file(my_dir.file("run_err")))};
    }
    std::pair<int, std::string> service(std::vector<std::string> args, int ms = 60000)
    {
        args.insert(args.begin(), ULVANE_SERVICE_PATH);
        return run(args, ms);
    }
    std::string sc(const std::string& command) { return run({"/usr/bin/wine", "sc", command, "ulvane_server"}).second; }
    // msiexec ACTION PACKAGE /qn PROPERTIES... on the server host.
    std::pair<int, std::string> msiexec(const char* action, const std::string& package,
                                        std::vector<std::string> properties = {})
    {
        properties.insert(properties.begin(), {"/usr/bin/wine", "msiexec", action, package, "/qn"});
        return run(properties, 120000);
    }
    // This build's programs packed as `version` in the test's directory: the
    // package's Windows path, or "" when it could not be made.
    std::string package(const std::string& version)
    {
        Run_result made = run_program({std::string(ULVANE_SOURCE_DIR) + "/tools/make_msi.sh", ULVANE_WINDOWS_PROGRAMS_DIR,
                                       my_dir.path(), version}, 120);
        EXPECT_EQ(made.status, 0) << made.err;
        return made.status == 0 ? windows_path(my_dir.path() + "/ulvane-server-" + version + "-x64.msi") : "";
    }
    // Runs `undo` at the end of a scope, whatever ended it.
    struct At_end {
        std::function<void()> undo;
        ~At_end() { undo(); }
    };

    // What sc query shows once it shows `state`, or after 30 s.
    std::string wait_for_state(const std::string& state)
    {
        std::string shown;
        wait_until([&] { return (shown = sc("query")).find(state) != std::string::npos; }, 30000, 250);
        return shown;
    }

    // A value the service manager recorded of the service (where sc qc
    // would show it; Wine's sc has no qc).
    std::string registered(const char* value)
    {
        return run({"/usr/bin/wine", "reg", "query", "HKLM\\System\\CurrentControlSet\\Services\\ulvane_server", "/v", value})
            .second;
    }

    // Where ulvane_service keeps what a setup remembers.
    static std::string state_dir()
    {
        const char* prefix = std::getenv("WINEPREFIX");
        return std::string(prefix ? prefix : "") + "/drive_c/ProgramData/ulvane/";
    }

    // The directory "db" with the pen's database; its path as Wine names it.
    std::string pen_db()
    {
        mkdir(my_dir.file("db").c_str(), 0755);
        write_file(my_dir.file("db/barcodes.ini"), pen_barcodes);
        write_file(my_dir.file("db/formats.ini"), pen_formats);
        return windows_path(my_dir.file("db"));
    }

    // Installs the service for the pen's database, with its log beside it
    // ("ulvane_server.log"), and starts it.
    void install_and_start(const std::vector<std::string>& options = {})
    {
        std::vector<std::string> args = {"install", "-db=" + pen_db()};
        args.insert(args.end(), options.begin(), options.end());
        const auto installed = service(args);
        ASSERT_EQ(installed.first, 0) << installed.second;
        sc("start");
        ASSERT_NE(wait_for_state("4  RUNNING").find("4  RUNNING"), std::string::npos);
    }

    // The examples beside the program, as the package lays them out, and
    // the option that names them; removed at the end (undo removes no
    // other).
    std::string examples()
    {
        mkdir(my_examples.c_str(), 0755);
        write_file(my_examples + "/barcodes.ini", "[]\nformat=f\n");
        write_file(my_examples + "/formats.ini", "[f]\nexample\n");
        return "-examples=" + windows_path(my_examples);
    }
    ~WindowsService() override
    {
        std::remove((my_examples + "/barcodes.ini").c_str());
        std::remove((my_examples + "/formats.ini").c_str());
        rmdir(my_examples.c_str());
    }

    const std::string my_examples = std::string(ULVANE_WINDOWS_PROGRAMS_DIR) + "/examples";
};

// A directory that does not exist, and a log nobody could write, are
// refused; a relative directory is made full (a service starts in the
// system's).
TEST_F(WindowsService, InstallRefusesAMissingDatabaseAndAnUnwritableLog)
{
    auto missing = service({"install", "-db=none"});
    EXPECT_EQ(missing.first, 1);
    EXPECT_NE(missing.second.find("the database directory Z:\\"), std::string::npos) << missing.second;
    const std::string nowhere = windows_path(my_dir.file("none")) + "\\server.log";
    auto no_log = service({"install", "-db=" + pen_db(), "-log=" + nowhere});
    EXPECT_EQ(no_log.first, 1);
    EXPECT_NE(no_log.second.find("ulvane_service: the log file " + nowhere + " cannot be written: "), std::string::npos)
        << no_log.second;
    // A log's path longer than Windows' file calls take, a rotated file's
    // number included, is refused too.
    const std::string db = pen_db();
    const auto characters = std::count_if(db.begin(), db.end(), [](char c) { return (c & 0xC0) != 0x80; });
    const std::string long_log = db + "\\" + std::string(257 - static_cast<std::size_t>(characters) - 1, 'l');
    auto too_long = service({"install", "-db=" + db, "-log=" + long_log});
    EXPECT_EQ(too_long.first, 1);
    EXPECT_NE(too_long.second.find("ulvane_service: the path " + long_log + " is 257 characters long; Windows allows "
                                   "this program 256 there (MAX_PATH)"), std::string::npos) << too_long.second;
    EXPECT_EQ(service({"install", "-db=" + db, "-log=" + long_log.substr(0, long_log.size() - 1)}).first, 0);
}

// The service is registered once, with its options quoted (a trailing
// backslash must not quote the closing quote; the log's rotation passed on)
// and the log beside the metrics by default, as LocalService, not
// LocalSystem.
TEST_F(WindowsService, InstallRegistersTheOptionsOnceAsLocalService)
{
    const std::string db = pen_db(), metrics = windows_path(my_dir.file("ulvane_server.prom"));
    auto installed = service({"install", "-logsize=20", "-db=" + db + "\\", "-stats=" + metrics});
    ASSERT_EQ(installed.first, 0) << installed.second;
    const std::string beside = windows_path(my_dir.file("ulvane_server.log"));
    EXPECT_NE(installed.second.find("\"-db=" + db + "\\.\" \"-log=" + beside + "\" \"-stats=" + metrics +
                                    "\" \"-logsize=20\""),
              std::string::npos)
        << installed.second;
    EXPECT_EQ(installed.second.find("metrics file"), std::string::npos) << installed.second;
    const std::string account = registered("ObjectName");
    EXPECT_NE(account.find("REG_SZ    NT AUTHORITY\\LocalService"), std::string::npos) << account;
    EXPECT_EQ(installed.second.find("cannot let"), std::string::npos) << "the access grants: " << installed.second;
    EXPECT_NE(installed.second.find("Made the firewall rule ulvane_server (UDP port 9000, from localsubnet)."),
              std::string::npos) << installed.second;
    auto again = service({"install", "-db=" + db});
    EXPECT_EQ(again.first, 1);
    EXPECT_NE(again.second.find("registered already"), std::string::npos) << again.second;
    EXPECT_EQ(service({}).first, 2) << "run from a console";
    EXPECT_EQ(service({"remove"}).first, 0);
    EXPECT_FALSE(std::ifstream(state_dir() + "firewall.rule").good()) << "the rule goes with the service";
    // The networks answered are the server's and the rule's; a wrong one
    // registers nothing.
    EXPECT_EQ(service({"install", "-db=" + db, "-allow=10.77.0/24"}).first, 2);
    installed = service({"install", "-db=" + db, "-p=9004", "-allow=10.77.0.0/24,10.78.0.2", "-listen=10.77.0.1"});
    ASSERT_EQ(installed.first, 0) << installed.second;
    EXPECT_NE(installed.second.find("\"-p=9004\" \"-db=" + db + "\" \"-log=" + beside +
                                    "\" \"-listen=10.77.0.1\" \"-allow=10.77.0.0/24,10.78.0.2\""),
              std::string::npos) << installed.second;
    EXPECT_NE(installed.second.find("Made the firewall rule ulvane_server (UDP port 9004, from 10.77.0.0/24,10.78.0.2)."),
              std::string::npos) << installed.second;
}

// Started, the service serves a terminal on the other host, reopens its log
// and writes its statistics and metrics when asked.
TEST_F(WindowsService, ServesReopensItsLogAndTellsItsStatistics)
{
    install_and_start({"-stats=" + windows_path(my_dir.file("ulvane_server.prom"))});
    ASSERT_EQ(std::rename(my_dir.file("ulvane_server.log").c_str(), my_dir.file("old.log").c_str()), 0);
    EXPECT_EQ(service({"reopen"}).first, 0);
    wait_until([&] { return !logged("reopened", "ulvane_server.log").empty(); }, 5000, 50);
    Socket_handle sd = terminal();
    for (int turn = 0; turn < 2; ++turn) EXPECT_EQ(ask(sd, "12345\n"), pen_answer); // two more turns of the loop
    EXPECT_EQ(logged("reopened", "ulvane_server.log").size(), 1u) << "reopened once";
    auto stats = service({"stats"});
    EXPECT_EQ(stats.first, 0) << stats.second;
    wait_until([&] { return !logged("Statistics", "ulvane_server.log").empty(); }, 5000, 50);
    ASSERT_EQ(logged("Statistics", "ulvane_server.log").size(), 1u);
    EXPECT_NE(logged("Statistics", "ulvane_server.log")[0].find(": received=2 answered=2 "), std::string::npos);
    EXPECT_NE(read_file(my_dir.file("ulvane_server.prom")).find("\nulvane_received_total{port=\"9000\"} 2\n"), std::string::npos)
        << "the metrics written with the statistics";
}

// The stop comes promptly under a flood that goes on (here, where no
// arrival is stamped, only what can be answered within half a second).
TEST_F(WindowsService, StopsPromptlyUnderAFlood)
{
    install_and_start();
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        Socket_handle flooder = terminal(5000);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (flooding && std::chrono::steady_clock::now() < end)
            for (int i = 0; i < 100; ++i) send_datagram(flooder, "12345\n", 6, {Two_hosts::server_address, 9000});
        my_hosts->close_socket(flooder);
    });
    usleep(500000);
    const auto stop_asked = std::chrono::steady_clock::now();
    sc("stop");
    const std::string stopped = wait_for_state("1  STOPPED");
    const auto stop_took = std::chrono::steady_clock::now() - stop_asked;
    flooding = false;
    flood.join();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(stop_took).count(), 5000) << "Wine's sc included";
    EXPECT_NE(stopped.find("WIN32_EXIT_CODE    : 0 "), std::string::npos) << stopped;
    ASSERT_FALSE(log_lines("ulvane_server.log").empty());
    EXPECT_EQ(log_lines("ulvane_server.log").back(), "INF Stopped on request.");
}

// Without its database, or without a log file it can write (here a
// directory has its name), the start fails and says why, in the log or in
// the Application event log, and in its exit code.
TEST_F(WindowsService, AStartWithoutItsDatabaseOrItsLogFailsSayingWhy)
{
    install_and_start();
    sc("stop");
    wait_for_state("1  STOPPED");
    ASSERT_EQ(std::remove(my_dir.file("db/barcodes.ini").c_str()), 0);
    sc("start");
    wait_until([&] { return !logged("not found", "ulvane_server.log").empty(); }, 30000, 250);
    std::string stopped = wait_for_state("1  STOPPED");
    EXPECT_NE(stopped.find("WIN32_EXIT_CODE    : 1066 "), std::string::npos) << stopped;
    EXPECT_NE(stopped.find("SERVICE_EXIT_CODE  : 3 "), std::string::npos) << stopped; // the database
    EXPECT_EQ(logged("WRN ERROR: barcodes file", "ulvane_server.log").size(), 1u);
    write_file(my_dir.file("db/barcodes.ini"), pen_barcodes);
    const std::string log = my_dir.file("ulvane_server.log");
    ASSERT_EQ(std::rename(log.c_str(), my_dir.file("older.log").c_str()), 0);
    ASSERT_EQ(mkdir(log.c_str(), 0755), 0);
    sc("start");
    stopped = wait_for_state("SERVICE_EXIT_CODE  : 5 "); // the log
    EXPECT_NE(stopped.find("WIN32_EXIT_CODE    : 1066 "), std::string::npos) << stopped;
    EXPECT_NE(stopped.find("SERVICE_EXIT_CODE  : 5 "), std::string::npos) << stopped;
    ASSERT_EQ(rmdir(log.c_str()), 0);
}

// Removed while it runs, the service is stopped first, cleanly.
TEST_F(WindowsService, RemovedWhileRunningItStopsCleanly)
{
    install_and_start();
    EXPECT_EQ(service({"remove"}).first, 0);
    EXPECT_EQ(sc("query").find("SERVICE_NAME"), std::string::npos) << "the service is gone";
    EXPECT_EQ(log_lines("ulvane_server.log").back(), "INF Stopped on request.");
}

// The installer's step: the examples copied into a directory without a
// database, never over one (nor beside one file left of it); the service
// registered with the options given (anew when it is registered already)
// and started; a port no terminal can reach refused with nothing changed.
TEST_F(WindowsService, SetupCopiesTheExamplesAndRegistersTheOptionsGiven)
{
    const std::string options = examples(), set_log = windows_path(my_dir.file("new/server.log"));
    auto setup = service({"setup", options, "-db=" + windows_path(my_dir.file("new/db")), "-p=9001", "-log=" + set_log});
    ASSERT_EQ(setup.first, 0) << setup.second;
    EXPECT_EQ(read_file(my_dir.file("new/db/formats.ini")), "[f]\nexample\n");
    EXPECT_NE(registered("ImagePath").find("\"-p=9001\""), std::string::npos) << registered("ImagePath");
    EXPECT_NE(sc("query").find("4  RUNNING"), std::string::npos) << "setup starts it";
    setup = service({"setup", options, "-db=" + pen_db(), "-p=9002", "-l=4"});
    EXPECT_EQ(setup.first, 0) << setup.second;
    // (reg prints the path's letters in its own code page: only its end is compared)
    EXPECT_NE(registered("ImagePath").find("\\new\\server.log\" \"-l=4\""), std::string::npos) << "-l= given, -log= kept";
    EXPECT_EQ(read_file(my_dir.file("db/barcodes.ini")), pen_barcodes) << "a database is never overwritten";
    EXPECT_NE(registered("ImagePath").find("\"-p=9002\""), std::string::npos) << "the options given win";
    EXPECT_NE(sc("query").find("4  RUNNING"), std::string::npos);
    EXPECT_EQ(ask(terminal(9002), "12345\n", no_socket, 5000, 9002), pen_answer);
    for (const char* port : {"0", "70000", "abc", "-1", "9002x"}) {
        setup = service({"setup", options, std::string("-p=") + port});
        EXPECT_EQ(setup.first, 2) << port;
        EXPECT_NE(setup.second.find("the port \"" + std::string(port) + "\" is not a number from 1 to 65535"),
                  std::string::npos)
            << setup.second;
        EXPECT_NE(registered("ImagePath").find("\"-p=9002\""), std::string::npos) << port;
    }
    EXPECT_EQ(service({"install", "-p=0"}).first, 2);
    // A database with one file left is the shop's still: no example goes
    // beside it (the service then fails at its start, and the setup undoes).
    ASSERT_EQ(mkdir(my_dir.file("half").c_str(), 0755), 0);
    write_file(my_dir.file("half/formats.ini"), pen_formats);
    setup = service({"setup", options, "-db=" + windows_path(my_dir.file("half")), "-p=9004"}, 20000);
    EXPECT_EQ(setup.second.find("cannot copy"), std::string::npos) << setup.second;
    EXPECT_FALSE(std::ifstream(my_dir.file("half/barcodes.ini")).good());
    ASSERT_NE(wait_for_state("4  RUNNING").find("4  RUNNING"), std::string::npos);
}

// A setup whose service cannot start (its port taken) undoes itself: the
// service as it was comes back and serves, options and all; the examples
// it copied and the directory it made go, the log that says why stays.
TEST_F(WindowsService, ASetupThatCannotStartUndoesItself)
{
    const std::string options = examples();
    auto setup = service({"setup", options, "-db=" + pen_db(), "-p=9002"});
    ASSERT_EQ(setup.first, 0) << setup.second;
    Socket_handle taken = my_hosts->socket_in(my_hosts->server_ns(), 9003);
    setup = service({"setup", options, "-db=" + windows_path(my_dir.file("other/db")), "-p=9003",
                     "-log=" + windows_path(my_dir.file("other/ulvane_server.log"))},
                    20000); // it stops at once, the service's failure seen as soon as it stops
    EXPECT_EQ(setup.first, 1) << setup.second;
    EXPECT_NE(setup.second.find("stopped at its start"), std::string::npos) << setup.second;
    my_hosts->close_socket(taken);
    EXPECT_FALSE(std::ifstream(my_dir.file("other/db/barcodes.ini")).good()) << "the examples copied are gone";
    EXPECT_FALSE(std::ifstream(my_dir.file("other/db")).good()) << "so is the directory made for them";
    EXPECT_NE(read_file(my_dir.file("other/ulvane_server.log")).find("WSAGetLastError=" + std::to_string(address_in_use)),
              std::string::npos);
    EXPECT_NE(registered("ImagePath").find("\"-p=9002\""), std::string::npos) << registered("ImagePath");
    ASSERT_NE(wait_for_state("4  RUNNING").find("4  RUNNING"), std::string::npos);
    EXPECT_EQ(ask(terminal(9002), "12345\n", no_socket, 5000, 9002), pen_answer);
    EXPECT_NE(read_file(state_dir() + "service.options").find("-p=9002"), std::string::npos);
    EXPECT_FALSE(std::ifstream(state_dir() + "setup.undo").good());
}

// A record planted where users may write removes nothing of theirs: only
// untouched examples, empty directories and empty logs go.
TEST_F(WindowsService, AnUndoRecordPlantedRemovesNothingOfTheUsers)
{
    examples();
    ASSERT_EQ(mkdir(my_dir.file("precious").c_str(), 0755), 0);
    write_file(my_dir.file("precious/barcodes.ini"), pen_barcodes);
    write_file(my_dir.file("precious/notes.log"), "kept");
    write_file(my_dir.file("precious/empty.ini"), "");
    mkdir(state_dir().c_str(), 0755);
    const auto path = [&](const char* name) { return windows_path(my_dir.file(std::string("precious/") + name)); };
    write_file(state_dir() + "setup.undo", "copied=" + path("barcodes.ini") + "\nmade=" + path("notes.log") +
                                               "\nlog=" + path("notes.log") + "\nlog=" + path("empty.ini") + "\n");
    EXPECT_EQ(service({"undo-setup"}).first, 0);
    EXPECT_EQ(read_file(my_dir.file("precious/barcodes.ini")), pen_barcodes);
    EXPECT_EQ(read_file(my_dir.file("precious/notes.log")), "kept");
    EXPECT_TRUE(std::ifstream(my_dir.file("precious/empty.ini")).good()) << "an empty file that is no log";
    EXPECT_FALSE(std::ifstream(state_dir() + "setup.undo").good());
}

// The Windows Installer package as an administrator deploys it, unattended,
// into a directory named in no ANSI code page: a port no terminal can reach
// refused before anything is done; an installation whose service cannot
// start (its port taken) rolled back whole, so that a retry with another
// port serves there; installed with its properties and started, a terminal
// answered at the port given; run again with another port, serving there;
// upgraded to a higher version, keeping the edited database and the
// service's options; removed, taking the service and the programs and
// leaving the database and the log.
TEST_F(WindowsService, InstallerInstallsUpgradesAndRemoves)
{
    if (access("/usr/bin/wixl", X_OK) != 0) GTEST_SKIP() << "no wixl to make the package (apt-get install wixl)";
    const std::string prefix = std::getenv("WINEPREFIX"), state = state_dir();
    const std::string version = ulvane_version, next = version.substr(0, version.rfind('.') + 1) +
                                                        std::to_string(std::stoi(version.substr(version.rfind('.') + 1)) + 1);
    const std::string packages[2] = {package(version), package(next)};
    At_end removal{[&] {
        for (const std::string& made : packages) msiexec("/x", made);
    }};
    ASSERT_FALSE(packages[0].empty() || packages[1].empty());
    // The undoing of SetupService runs only on a rollback, the forgetting of
    // it only once the installation is through; an older version is removed
    // before anything is set up.
    auto msi_table = [&](const char* table) {
        return run_program({"/usr/bin/msiinfo", "export", my_dir.path() + "/ulvane-server-" + version + "-x64.msi", table})
            .out;
    };
    const std::string actions = msi_table("CustomAction");
    EXPECT_TRUE(actions.find("\nUndoSetup\t3410\t") != std::string::npos &&
                actions.find("\nSetupDone\t3666\t") != std::string::npos)
        << actions;
    EXPECT_NE(msi_table("InstallExecuteSequence").find("\nRemoveExistingProducts\t\t1501"), std::string::npos);
    const std::string shop = windows_path(my_dir.file("shop"));
    auto nothing_left = [&](const std::string& why) {
        EXPECT_EQ(sc("query").find("SERVICE_NAME"), std::string::npos) << why << ": no service";
        EXPECT_FALSE(std::ifstream(state + "service.options").good()) << why << ": no options remembered";
        EXPECT_FALSE(std::ifstream(state + "setup.undo").good()) << why;
        EXPECT_FALSE(std::ifstream(state + "firewall.rule").good()) << why << ": no firewall rule";
        EXPECT_FALSE(std::ifstream(prefix + "/drive_c/Program Files/ulvane/ulvane_server.exe").good()) << why;
        EXPECT_FALSE(std::ifstream(my_dir.file("shop/db/barcodes.ini")).good()) << why << ": no example copied";
    };
    const std::vector<std::string> shop_properties = {"DBDIR=" + shop + "\\db", "STATSFILE=" + shop + "\\ulvane_server.prom",
                                                      "LOGFILE=" + shop + "\\server.log"};

    // Refused by a launch condition, before anything is done (Wine does not
    // log the condition's message, Windows does): a port no terminal could
    // reach, a Windows older than 7 SP1 (6002: Vista SP2).
    const std::string key = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion", value = "CurrentBuildNumber";
    std::string this_build;
    std::istringstream queried(run({"/usr/bin/wine", "reg", "query", key, "/v", value}).second);
    for (std::string word; queried >> word;) this_build = word;
    for (const auto& [property, windows] : std::vector<std::pair<std::string, std::string>>{
             {"PORT=0", this_build}, {"PORT=70000", this_build}, {"PORT=abc", this_build}, {"PORT=9000", "6002"}}) {
        run({"/usr/bin/wine", "reg", "add", key, "/v", value, "/d", windows, "/f"});
        const std::string log = my_dir.file("refused.log");
        auto refused = msiexec("/i", packages[0], {property, shop_properties[0], "/l*v", windows_path(log)});
        run({"/usr/bin/wine", "reg", "add", key, "/v", value, "/d", this_build, "/f"});
        EXPECT_NE(refused.first, 0) << property << ", build " << windows << ": " << refused.second;
        EXPECT_NE(read_file(log).find("LaunchConditions. Return value 0."), std::string::npos) << read_file(log);
        nothing_left(property + ", build " + windows);
    }
    {
        Socket_handle taken = my_hosts->socket_in(my_hosts->server_ns(), 9001);
        auto failed = msiexec("/i", packages[0], {"PORT=9001", shop_properties[0], shop_properties[1]});
        my_hosts->close_socket(taken);
        EXPECT_NE(failed.first, 0) << failed.second;
        nothing_left("port taken");
    }
    auto installed = msiexec("/i", packages[0], {"PORT=9002", shop_properties[0], shop_properties[1], shop_properties[2]});
    ASSERT_EQ(installed.first, 0) << installed.second;
    ASSERT_NE(wait_for_state("4  RUNNING").find("4  RUNNING"), std::string::npos);
    const std::string metrics = my_dir.file("shop/ulvane_server.prom");
    auto wait_for_metrics = [&] {
        wait_until([&] { return !read_file(metrics).empty(); }, 10000, 50);
        return read_file(metrics);
    };
    EXPECT_NE(wait_for_metrics().find("\nulvane_barcodes_entries{port="), std::string::npos);
    EXPECT_TRUE(std::ifstream(prefix + "/drive_c/Program Files/ulvane/ulvane_check.exe").good());
    const std::string pen = "Ballpoint pen, blue\nPrice: 0.89"; // the example database's
    Socket_handle sd = terminal(9002);
    EXPECT_EQ(ask(sd, "4006381333931\n", no_socket, 5000, 9002), pen);
    my_hosts->close_socket(sd);
    // The firewall's rule, as netsh made it (Wine's netsh keeps none).
    const std::string rule = "netsh advfirewall firewall add rule name=\"ulvane_server\" dir=in action=allow protocol=UDP "
                             "localport=900";
    const std::string program = "program=\"C:\\Program Files\\ulvane\\ulvane_service.exe\" remoteip=";
    EXPECT_EQ(unix_lines(read_file(state + "firewall.rule")), rule + "2 " + program + "localsubnet profile=any enable=yes\n");

    auto again = msiexec("/i", packages[0], {"PORT=9003", "ALLOW=10.77.0.0/24"});
    ASSERT_EQ(again.first, 0) << again.second;
    ASSERT_NE(wait_for_state("4  RUNNING").find("4  RUNNING"), std::string::npos) << "a re-run leaves it running";
    sd = terminal(9003);
    EXPECT_EQ(ask(sd, "4006381333931\n", no_socket, 5000, 9003), pen) << "the port given wins";
    EXPECT_EQ(unix_lines(read_file(state + "firewall.rule")), rule + "3 " + program + "10.77.0.0/24 profile=any enable=yes\n")
        << "the rule follows";
    // A repair (Wine's msiexec takes /f with a product code no further than
    // its start; REINSTALL=ALL is what /f asks for).
    auto repaired = msiexec("/i", packages[0], {"REINSTALL=ALL", "REINSTALLMODE=amus"});
    ASSERT_EQ(repaired.first, 0) << repaired.second;
    ASSERT_NE(wait_for_state("4  RUNNING").find("4  RUNNING"), std::string::npos) << "a repair leaves it running";
    EXPECT_EQ(ask(sd, "4006381333931\n", no_socket, 5000, 9003), pen) << "with its options";

    const std::string edited = read_file(my_dir.file("shop/db/barcodes.ini")) + "[0815]\nformat=price\ntag.description=Ours\ntag.price=1\n";
    write_file(my_dir.file("shop/db/barcodes.ini"), edited);
    std::remove(metrics.c_str());
    auto upgraded = msiexec("/i", packages[1]);
    ASSERT_EQ(upgraded.first, 0) << upgraded.second;
    ASSERT_NE(wait_for_state("4  RUNNING").find("4  RUNNING"), std::string::npos);
    EXPECT_NE(wait_for_metrics().find("\nulvane_barcodes_entries{port="), std::string::npos) << "the metrics file kept";
    EXPECT_EQ(read_file(my_dir.file("shop/db/barcodes.ini")), edited);
    EXPECT_EQ(ask(sd, "0815\n", no_socket, 5000, 9003), "Ours\nPrice: 1") << "the port and the database kept";

    auto removed = msiexec("/x", packages[1]);
    EXPECT_EQ(removed.first, 0) << removed.second;
    // A removed service goes once the manager has let go of it.
    std::string shown;
    wait_until([&] { return (shown = sc("query")).find("SERVICE_NAME") == std::string::npos; }, 30000, 250);
    EXPECT_EQ(shown.find("SERVICE_NAME"), std::string::npos) << "the service is gone: " << shown;
    EXPECT_FALSE(std::filesystem::exists(prefix + "/drive_c/Program Files/ulvane")) << "nothing left in Program Files";
    EXPECT_FALSE(std::ifstream(state + "firewall.rule").good()) << "no firewall rule left";
    EXPECT_EQ(read_file(my_dir.file("shop/db/barcodes.ini")), edited);
    EXPECT_NE(read_file(my_dir.file("shop/server.log")).find("Ready: answering at UDP port 9003"), std::string::npos)
        << "the log, where LOGFILE said, stays";
    my_hosts->close_socket(sd);
}
#endif

#ifdef ULVANE_WINDOWS_BUILD
// The previous release's real package (ULVANE_PREVIOUS_MSI, as
// tools/build_previous_release.sh builds it) upgraded unattended to this
// build's: one product registered after, the service running this build's
// programs with the options it had, answering at its port; the older
// package is refused over the newer; a removal leaves nothing behind.
TEST_F(WindowsService, InstallerUpgradesThePreviousRelease)
{
    const char* previous = std::getenv("ULVANE_PREVIOUS_MSI");
    if (previous == nullptr || access("/usr/bin/wixl", X_OK) != 0)
        GTEST_SKIP() << "no ULVANE_PREVIOUS_MSI (tools/build_previous_release.sh DIR msi), or no wixl";
    const std::string program_files = std::string(std::getenv("WINEPREFIX")) + "/drive_c/Program Files/ulvane";
    const std::string current = package(ulvane_version), older = windows_path(previous);
    // The previous release reads no path outside the ANSI code page: the
    // database where it puts it by default, which goes with the test.
    const std::string db = state_dir() + "db/";
    At_end removal{[&] {
        msiexec("/x", current), msiexec("/x", older);
        std::filesystem::remove_all(db);
    }};
    ASSERT_FALSE(current.empty());
    auto installed_version = [&] {
        return run({"/usr/bin/wine", "C:\\Program Files\\ulvane\\ulvane_server.exe", "-version"}).second;
    };

    auto old = msiexec("/i", older);
    ASSERT_EQ(old.first, 0) << old.second;
    ASSERT_NE(wait_for_state("4  RUNNING").find("4  RUNNING"), std::string::npos);
    const std::string edited = read_file(db + "barcodes.ini") + "[0815]\nformat=price\ntag.description=Ours\ntag.price=1\n";
    write_file(db + "barcodes.ini", edited);

    auto upgraded = msiexec("/i", current);
    EXPECT_EQ(upgraded.first, 0) << "no reboot asked for: " << upgraded.second;
    ASSERT_NE(wait_for_state("4  RUNNING").find("4  RUNNING"), std::string::npos);
    EXPECT_EQ(installed_version(), std::string("ulvane_server ") + ulvane_version + "\n");
    const std::string products =
        run({"/usr/bin/wine", "reg", "query", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", "/s"}).second;
    std::size_t registered = 0;
    for (std::size_t at = 0; (at = products.find("ulvane_server developers", at)) != std::string::npos; ++at) ++registered;
    EXPECT_EQ(registered, 1u) << products;
    Socket_handle sd = terminal(9000);
    EXPECT_EQ(ask(sd, "0815\n", no_socket, 5000, 9000), "Ours\nPrice: 1") << "the database kept";

    auto downgraded = msiexec("/i", older);
    EXPECT_NE(downgraded.first, 0) << downgraded.second;
    EXPECT_EQ(installed_version(), std::string("ulvane_server ") + ulvane_version + "\n");
    EXPECT_EQ(ask(sd, "0815\n", no_socket, 5000, 9000), "Ours\nPrice: 1") << "still serving";
    my_hosts->close_socket(sd);

    EXPECT_EQ(msiexec("/x", current).first, 0);
    EXPECT_FALSE(std::filesystem::exists(program_files)) << "nothing left in Program Files";
    EXPECT_EQ(read_file(db + "barcodes.ini"), edited);
}
#endif

// A host with two networks: -listen= binds the port at the addresses it
// names alone, answers leaving from the address a request came to; -allow=
// answers the terminals' network and is silent on the other, saying so once
// a minute per sender; an address the host lacks ends the start, said.
TEST_F(EndToEnd, ListensAtTheAddressesAndAnswersTheNetworksItIsTold)
{
    write_db(pen_barcodes, pen_formats);
    const std::string third = my_hosts->add_third_host();
    ASSERT_FALSE(third.empty());
    const Socket_handle near = terminal(), far = my_hosts->socket_in(third, 9000);
    const std::uint32_t far_server = 0x0a4e0001; // 10.78.0.1
    const struct {
        const char* listen;
        bool near_answered, far_answered;
    } cases[] = {{"-listen=10.77.0.1", true, false},
                 {"-listen=10.78.0.1,10.77.0.1,10.78.0.1", true, true}, // each address bound once
                 {"-listen=0.0.0.0,10.77.0.1", true, true},             // every address
                 {"-allow=10.77.0.0/24", true, false}};
    for (const auto& c : cases) {
        start_server({c.listen});
        EXPECT_EQ(ask(near, "12345\n", no_socket, c.near_answered ? 2000 : 300), c.near_answered ? pen_answer : "(none)")
            << c.listen;
        send_datagram(far, "12345\n", 6, {far_server, 9000});
        std::string answer;
        Datagram_source from;
        EXPECT_EQ(receive_within(far, c.far_answered ? 2000 : 300, answer, from), c.far_answered) << c.listen;
        if (c.far_answered) {
            EXPECT_EQ(from.endpoint.address, far_server) << c.listen;
        }
        my_hosts->stop(my_server);
        start_wine(); // Wine's server would hold the port a moment longer
    }
    EXPECT_EQ(logged("INF Listening at "), (std::vector<std::string>{
                                              "INF Listening at 10.77.0.1; answering every address.",
                                              "INF Listening at 10.78.0.1, 10.77.0.1; answering every address.",
                                              "INF Listening at every address; answering every address.",
                                              "INF Listening at every address; answering 10.77.0.0/24."}));
    EXPECT_EQ(logged("WRN Message from 10.78.0.2.9000 comes from outside the networks answered").size(), 1u);
    start_server({"-listen=10.77.0.1,10.9.9.9"}, false);
    EXPECT_EQ(my_hosts->wait_for_exit(my_server, 5000), 255);
    EXPECT_EQ(logged("ERROR: cannot listen at 10.9.9.9 port 9000: ").size(), 1u) << err();
}

const std::string milk_barcodes = "[9506000134352]\nformat=dated\ntag.description=Milk\ntag.price=1.19\n[]\nformat=dated\n"
                                  "label.weighed=21IIIIIVVVVVC weight 3 kg\n"
                                  "[2112345000008]\nformat=weighed\ntag.description=Cheese\ntag.price=15.90\n";
const std::string dated_formats = "[dated]\n${description} ${price}\\nBest before ${gs1.17:DD.MM.YYYY}\n"
                                  "[weighed]\n${description} ${label.value} ${label.unit} at ${price}\n";

// Scanners that read 2D codes: a QR Code's Digital Link and a DataMatrix
// code's element string find the article listed under its EAN-13, with the
// code's own values in the answer; a scale's label its article, with its
// weight. Serialised codes count once, by their GTIN, labels by their key.
TEST_F(EndToEnd, A2DCodeFindsTheArticleListedUnderItsEan13)
{
    Socket_handle sd = serve(milk_barcodes, dated_formats);
    EXPECT_EQ(ask(sd, "https://id.gs1.org/01/09506000134352/10/L1/21/S1?17=271231\n"), "Milk 1.19\nBest before 31.12.2027");
    EXPECT_EQ(ask(sd, "]d20109506000134352" "17280200" "10L2\x1d" "21S2\n"), "Milk 1.19\nBest before 29.02.2028");
    EXPECT_EQ(ask(sd, "https://id.gs1.org/01/09506000134359/21/S3\n"), " \nBest before "); // a wrong check digit
    EXPECT_EQ(ask(sd, "https://id.gs1.org/01/04006381333931/21/S4?17=271231\n"), " \nBest before 31.12.2027");
    EXPECT_EQ(ask(sd, "2112345012506\r\n"), "Cheese 1.250 kg at 15.90");
    EXPECT_EQ(ask(sd, "2199999012502\n"), " \nBest before ");
    EXPECT_EQ(ask(sd, "2199999003500\n"), " \nBest before ");
    EXPECT_EQ(logged("answered as GTIN 09506000134352").size(), 2u);
#ifndef ULVANE_WINDOWS_BUILD // no SIGUSR1 there
    const std::string report = statistics();
    EXPECT_NE(report.find(" answered=7 via_fallback_barcode=4 via_fallback_format=0 via_gtin=2 via_label=1 "),
              std::string::npos) << report;
    EXPECT_NE(report.find("most asked first: \"2199999000004\"=2 \"04006381333931\"=1 "
                          "\"https://id.gs1.org/01/09506000134359/21/S3\"=1"),
              std::string::npos) << report;
#endif
}

// A code typed into ulvane_scan in escape notation finds its article too.
TEST_F(EndToEnd, A2DCodeTypedIntoTheScanToolFindsItsArticle)
{
    write_db(milk_barcodes, dated_formats);
    start_server();
    EXPECT_EQ(scan({"10.77.0.1", "]d2010950600013435217271130\\x1d"}),
              std::make_pair(0, std::string("Milk 1.19\\nBest before 30.11.2027\n")));
    EXPECT_EQ(logged("answered as GTIN 09506000134352").size(), 1u);
}

} // namespace

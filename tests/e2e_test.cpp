// End to end: the built server in one network namespace, a simulated
// terminal in another, joined by a veth pair.
#include <gtest/gtest.h>

#include <regex>

#include "e2e_fixture.h"
#include "misc.h"

namespace {

TEST_F(EndToEnd, WholeExchangeAnswersAtTheServersPort)
{
    write_db(pen_barcodes, pen_formats);
    start_server({"-l=5"});
    // The terminal listens at 9000 but sends from 5000.
    Socket_handle listen = terminal(9000);
    Socket_handle send = terminal(5000);
    EXPECT_EQ(ask(send, "12345\n", listen), pen_answer);
    std::vector<std::string> dump = logged("msg from");
    ASSERT_EQ(dump.size(), 1u);
    EXPECT_TRUE(std::regex_match(dump[0], std::regex(R"(DMP src/server\.cpp:\d+ msg from 10\.77\.0\.2\.5000 \(#6 bytes\):'12345\\n')")))
        << dump[0];
    std::vector<std::string> sending = logged("Sending: ");
    ASSERT_EQ(sending.size(), 1u);
    EXPECT_TRUE(std::regex_match(sending[0], std::regex(R"(DBG src/server\.cpp:\d+ Sending: "Pen\\nPrice: 1\.99" to 10\.77\.0\.2\.9000)")))
        << sending[0];
    EXPECT_EQ(logged("Received barcode"), std::vector<std::string>{"INF Received barcode \"12345\""});
    std::vector<std::string> bind = logged("Bind receiving socket to ");
    ASSERT_EQ(bind.size(), 1u);
    EXPECT_NE(bind[0].find("Bind receiving socket to 0.9000"), std::string::npos);
}

TEST_F(EndToEnd, LineFeedRulesAndDatagramSizes)
{
    write_db("[]\nformat=echo\n[12345]\nformat=price\ntag.description=Pen\ntag.price=1.99\n"
             "[12345\r]\nformat=cr\n",
             pen_formats + "[echo]\nfallback\n[cr]\nwith CR\n");
    start_server();
    Socket_handle sd = terminal();
    const std::pair<std::string, std::string> cases[] = {
        {"12345\n", pen_answer},
        {"12345", pen_answer},
        {"12345\r\n", "with CR"},
        {"12345\n\n", "fallback"},
        {"\n", "fallback"},
        {std::string(1600, 'x'), "fallback"},
        {std::string(1599, 'y') + "\n", "fallback"},
        {std::string("a\0b", 3), "fallback"},
    };
    for (const auto& c : cases) EXPECT_EQ(ask(sd, c.first), c.second) << bytes_to_text(c.first);

    // Neither 0 bytes nor more than 1,600 are served.
    EXPECT_EQ(ask(sd, "", no_socket, 500), "(none)");
    EXPECT_EQ(ask(sd, std::string(1601, 'z'), no_socket, 500), "(none)");
    EXPECT_EQ(ask(sd, "12345"), pen_answer); // and the next request is served
    EXPECT_EQ(logged("Empty message"), std::vector<std::string>(2, "WRN Empty message received from 10.77.0.2"));
    EXPECT_TRUE(std::regex_match(out(), std::regex(R"(src/server\.cpp:\d+ WSAGetLastError=90\n)"))) << out();
    EXPECT_EQ(logged("Received barcode \"\""), std::vector<std::string>{"INF Received barcode \"\""});
    EXPECT_EQ(logged("not defined").size(), 4u); // the empty barcode finds the fallback itself
    EXPECT_EQ(logged("Received barcode \"a"), std::vector<std::string>{"INF Received barcode \"a\\x00b\""});
}

TEST_F(EndToEnd, FailedLookupIsNotAnsweredAndTheNextRequestIs)
{
    write_db(pen_barcodes, pen_formats);
    start_server();
    Socket_handle sd = terminal();
    EXPECT_EQ(ask(sd, "nope\n", no_socket, 500), "(none)");
    EXPECT_EQ(ask(sd, "12345\n"), pen_answer);
    EXPECT_EQ(err(), "Unknown barcode nope and no backup barcode [] available\n");
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

TEST_F(EndToEnd, MissingDatabaseEndsTheRunBeforeAnySocket)
{
    start_server({"-l=4"}, false);
    EXPECT_EQ(my_hosts->wait_for_exit(my_server, 5000), 0);
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
    const std::string request = "12345\n";
    udp_send(sd, request.data(), request.size(), {Two_hosts::server_address, 4464});
    std::string answer;
    Datagram_source from;
    ASSERT_TRUE(receive_within(sd, 2000, answer, from));
    EXPECT_EQ(answer, pen_answer);
    EXPECT_EQ(logged("Using UDP port"), std::vector<std::string>{"INF Using UDP port 70000"});
}

TEST_F(EndToEnd, PortInUseEndsTheRunWithMinusOne)
{
    write_db(pen_barcodes, pen_formats);
    ASSERT_GE(my_hosts->socket_in(my_hosts->server_ns(), 9000), 0);
    start_server({}, false);
    EXPECT_EQ(my_hosts->wait_for_exit(my_server, 5000), 255);
    EXPECT_TRUE(std::regex_match(out(), std::regex(R"(src/server\.cpp:\d+ WSAGetLastError=98\n)"))) << out();
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
    udp_send(local, request.data(), request.size(), {0x7f000001, 9000});
    usleep(500000);
    EXPECT_EQ(logged("Received barcode").size(), 1u);
    std::vector<std::string> refused = logged("own socket");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0], "WRN Message from 127.0.0.1.9000 comes from this server's own socket: not answered.");
    // A terminal on another host, sending from port 9000, is still served.
    EXPECT_EQ(ask(terminal(), "12345\n"), pen_answer);
}

// Regression: control bytes of a received barcode must not reach the log or
// standard error raw, where they could forge lines or drive the terminal.
TEST_F(EndToEnd, RegressionControlBytesCannotForgeLogLines)
{
    write_db("[]\nformat=price\n" + pen_barcodes, pen_formats);
    start_server();
    Socket_handle sd = terminal();
    const std::string forged = "x\n[2026-01-01 00:00:00 #1 WRN] forged\r\x1b[2J";
    EXPECT_EQ(ask(sd, forged + "\n"), "\nPrice: ");
    std::string log = read_file(my_dir.file("log"));
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    EXPECT_EQ(log.find('\r'), std::string::npos);
    const std::string shown = "x\\n[2026-01-01 00:00:00 #1 WRN] forged\\r\\x1b[2J";
    EXPECT_EQ(logged("forged"), (std::vector<std::string>{"INF Received barcode \"" + shown + "\"",
                                                         "WRN Barcode \"" + shown + "\" not defined in database."}));
}

TEST_F(EndToEnd, ScanToolPrintsAnswersAndFailsWithoutOne)
{
    write_db(pen_barcodes + "[7]\nformat=bytes\n", pen_formats + "[bytes]\n\\x00\\e\\\\\n");
    start_server();
    auto scan = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {ULVANE_SCAN_PATH, "-t=500", "10.77.0.1"});
        pid_t pid = my_hosts->start_in(my_hosts->terminal_ns(), args, my_dir.file("scan_out"), my_dir.file("scan_err"));
        int status = my_hosts->wait_for_exit(pid, 10000);
        return std::make_pair(status, read_file(my_dir.file("scan_out")));
    };
    EXPECT_EQ(scan({"12345", "7"}), std::make_pair(0, std::string("Pen\\nPrice: 1.99\n\\x00\\x1b\\\\\n")));
    EXPECT_EQ(scan({"12345", "unknown"}), std::make_pair(1, std::string("Pen\\nPrice: 1.99\n")));
}

} // namespace

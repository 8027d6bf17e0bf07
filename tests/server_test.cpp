// The handling of one received datagram, without a socket.
#include "server.h"

#include <gtest/gtest.h>

#include "database.h"
#include "misc.h"
#include "test_util.h"

namespace {

Datagram_source terminal_at(std::uint16_t port, bool from_this_host = false)
{
    Datagram_source from;
    from.endpoint = {0x0a000002, port}; // 10.0.0.2
    from.from_this_host = from_this_host;
    return from;
}

struct Handled {
    bool answered;
    std::string answer;
    std::vector<std::string> log;
    std::string err;
};

Handled handle(const std::string& datagram, const Datagram_source& from, const std::string& db_dir,
               unsigned level = 3, int port = 9000)
{
    Handled h;
    Log_capture capture;
    set_log_level(level);
    testing::internal::CaptureStderr();
    Serving serving; // a batch of one
    serving.port = port;
    serving.db_dir = db_dir;
    h.answered = answer_datagram(datagram, from, serving, h.answer);
    h.err = testing::internal::GetCapturedStderr();
    set_log_level(3);
    h.log = capture.lines();
    return h;
}

class Answering : public testing::Test {
protected:
    void SetUp() override
    {
        // Datagrams from this host's own addresses at our port are refused.
        ASSERT_FALSE(is_own_address(terminal_at(9000).endpoint.address)) << "the test terminal's address is ours";
        write_file(my_dir.file("barcodes.ini"), "[12345]\nformat=price\ntag.description=Pen\ntag.price=1.99\n"
                                                "[0]\nformat=zero\n");
        write_file(my_dir.file("formats.ini"), "[price]\n${description}\\n\nPrice: ${price}\n[zero]\n\n");
    }
    Temp_dir my_dir;
};

TEST_F(Answering, AnswersTheBarcodeWithoutItsFinalLineFeed)
{
    const struct {
        std::string datagram;
        bool answered;
        std::string answer;
    } cases[] = {
        {"12345\n", true, "Pen\nPrice: 1.99"},
        {"12345", true, "Pen\nPrice: 1.99"},
        {"0\n", true, ""}, // an empty answer is still sent
        {"12345\n\n", false, ""},
        {"12345\r\n", false, ""},
        {"", false, ""},
    };
    for (const auto& c : cases) {
        Handled h = handle(c.datagram, terminal_at(9000), my_dir.path());
        EXPECT_EQ(h.answered, c.answered) << bytes_to_text(c.datagram);
        EXPECT_EQ(h.answer, c.answer) << bytes_to_text(c.datagram);
    }
}

TEST_F(Answering, LogsAndFailures)
{
    Handled h = handle("12345\n", terminal_at(5000), my_dir.path(), 5);
    ASSERT_GE(h.log.size(), 2u);
    EXPECT_NE(h.log[0].find(" msg from 10.0.0.2.5000 (#6 bytes):'12345\\n'"), std::string::npos) << h.log[0];
    EXPECT_EQ(h.log[1], "INF Received barcode \"12345\"");
    EXPECT_NE(h.log.back().find(" Sending: \"Pen\\nPrice: 1.99\" to 10.0.0.2.9000"), std::string::npos);

    h = handle("\x7f\x9b\n", terminal_at(5000), my_dir.path(), 5); // no raw DEL or 8-bit control
    EXPECT_NE(h.log[0].find(" msg from 10.0.0.2.5000 (#3 bytes):'\\x7f\\x9b\\n'"), std::string::npos) << h.log[0];
    EXPECT_EQ(h.log[1], "INF Received barcode \"\\x7f\\x9b\"");

    h = handle("", terminal_at(5000), my_dir.path(), 5);
    EXPECT_EQ(h.log, std::vector<std::string>{"WRN Empty message received from 10.0.0.2"});

    h = handle("nope\x1b\n", terminal_at(9000), my_dir.path());
    EXPECT_FALSE(h.answered);
    EXPECT_EQ(h.err, "Unknown barcode nope\\x1b and no backup barcode [] available\n");
    EXPECT_EQ(h.log, (std::vector<std::string>{"INF Received barcode \"nope\\x1b\"",
                                                "WRN Barcode \"nope\\x1b\" not defined in database.",
                                                "WRN Unknown barcode nope\\x1b and no backup barcode [] available"}));

    h = handle("12345", terminal_at(9000), my_dir.path() + "/missing");
    EXPECT_FALSE(h.answered);
    EXPECT_EQ(h.err, "ERROR: barcodes file \"" + my_dir.path() + "/missing/barcodes.ini\" not found.\n");
}

// Regression: an answer the server sent to its own host comes back from its
// own socket; answering it would loop forever.
TEST_F(Answering, RegressionOwnSocketIsNotAnswered)
{
    Handled h = handle("Pen\nPrice: 1.99", terminal_at(9000, true), my_dir.path());
    EXPECT_FALSE(h.answered);
    EXPECT_EQ(h.log, std::vector<std::string>{
                         "WRN Message from 10.0.0.2.9000 comes from this server's own socket: not answered."});
    // From this host but another port, and from another host at the same
    // port: ordinary requests.
    EXPECT_TRUE(handle("12345", terminal_at(5000, true), my_dir.path()).answered);
    EXPECT_TRUE(handle("12345", terminal_at(9000, false), my_dir.path()).answered);
    // The port compared is the low 16 bits of the configured port.
    EXPECT_FALSE(handle("12345", terminal_at(4464, true), my_dir.path(), 3, 70000).answered);
}

// Regression: two servers at one port answered each other's answers for
// ever. Senders at our port are limited per address.
TEST(AnswerLimit, BurstThenSteadyRatePerAddress)
{
    const std::uint32_t a = 0x0a000002, b = 0x0a000003, c = 0x0b000002; // c shares a's low bits
    const struct {
        std::uint32_t address;
        int at_ms;
        int sent;
        int admitted;
    } steps[] = {
        {a, 0, 40, Answer_limit::burst}, // a burst, then nothing
        {a, 10, 1, 0},
        {a, 20, 2, 1}, // one more every 1000 / per_second ms
        {a, 40, 2, 1},
        {b, 40, 40, Answer_limit::burst}, // every address on its own
        {c, 40, 40, Answer_limit::burst},
        {a, 40000, 40, Answer_limit::burst}, // after a pause the whole burst again
    };
    Answer_limit limit;
    Log_capture capture;
    for (const auto& s : steps) {
        const auto now = Answer_limit::Clock::time_point{} + std::chrono::milliseconds(s.at_ms);
        int admitted = 0;
        for (int i = 0; i < s.sent; ++i) admitted += limit.admit({s.address, 9000}, now);
        EXPECT_EQ(admitted, s.admitted) << s.address << " at " << s.at_ms;
    }
    // One line per address and minute: a's drops at 0 to 40 ms make one.
    EXPECT_EQ(capture.lines().size(), 3u);
}

TEST(AnswerLimit, TerminalsPassAndFloodsStayBounded)
{
    using std::chrono::milliseconds;
    const auto start = Answer_limit::Clock::time_point{} + std::chrono::hours(1);
    const int most = Answer_limit::burst + 10 * Answer_limit::per_second;
    const struct {
        int per_second;
        int at_least, at_most; // of ten seconds
    } rates[] = {
        {5, 50, 50}, {20, 200, 200}, {45, 450, 450}, // a person, a fast terminal with retries
        {100, most * 9 / 10, most}, // flood addresses sharing its slot may take a few
    };
    for (const auto& r : rates) {
        Answer_limit limit;
        Log_capture capture;
        int admitted = 0;
        for (int i = 0; i < 10 * r.per_second; ++i) {
            const auto now = start + milliseconds(i * 1000 / r.per_second);
            // A flood from forged addresses between the terminal's requests
            // neither blocks it nor resets its limit.
            for (std::uint32_t f = 0; f < 50; ++f) limit.admit({0xc0000000u + i * 50 + f, 9000}, now);
            admitted += limit.admit({0x0a000002, 9000}, now);
        }
        EXPECT_GE(admitted, r.at_least) << r.per_second << " a second";
        EXPECT_LE(admitted, r.at_most) << r.per_second << " a second";
    }
}

} // namespace

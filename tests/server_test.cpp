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
    h.answered = answer_datagram(datagram, from, port, db_dir, h.answer);
    h.err = testing::internal::GetCapturedStderr();
    set_log_level(3);
    h.log = capture.lines();
    return h;
}

class Answering : public testing::Test {
protected:
    void SetUp() override
    {
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

    h = handle("", terminal_at(5000), my_dir.path(), 5);
    EXPECT_EQ(h.log, std::vector<std::string>{"WRN Empty message received from 10.0.0.2"});

    h = handle("nope\x1b\n", terminal_at(9000), my_dir.path());
    EXPECT_FALSE(h.answered);
    EXPECT_EQ(h.err, "Unknown barcode nope\\x1b and no backup barcode [] available\n");
    EXPECT_EQ(h.log, (std::vector<std::string>{"INF Received barcode \"nope\\x1b\"",
                                                "WRN Barcode \"nope\\x1b\" not defined in database."}));

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

} // namespace

// The handling of one received datagram, without a socket.
#include "answering.h"

#include <cerrno>
#include <chrono>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <vector>

#include "database.h"
#include "log.h"
#include "request_loop.h"
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
    Serving serving; // a batch of one, with the database loaded before it came
    serving.setup.port = port;
    serving.setup.db_dir = db_dir;
    {
        Log_capture loading;
        try {
            serving.db.load(db_dir);
        } catch (const std::string&) { // missing: the request says so
        }
    }
    Log_capture capture;
    set_log_level(level);
    testing::internal::CaptureStderr();
    h.answered = answer_datagram(datagram, from, serving, h.answer);
    h.err = testing::internal::GetCapturedStderr();
    set_log_level(3);
    h.log = capture.lines();
    return h;
}

// Articles, a shelf label whose answer shows an article's code, a code
// whose answer is the code itself, and a fallback.
const std::string pen_barcodes_for_loops = "[]\nformat=code\ntag.code=?\nlabel.w=21IIIIIVVVVVC weight 3\n[12345]\n"
                                           "format=price\ntag.description=Pen\ntag.price=1.99\n[L1]\nformat=code\n"
                                           "tag.code=12345\n[777]\nformat=code\ntag.code=777\n[778]\nformat=code_lf\n"
                                           "tag.code=778\n[4006381333931]\nformat=code\ntag.code=04006381333931\n"
                                           "[2112345000008]\nformat=code\ntag.code=2112345012506\n";

class Answering : public testing::Test {
protected:
    void SetUp() override
    {
        // Datagrams from this host's own addresses at our port are refused.
        ASSERT_FALSE(Own_addresses().contains(terminal_at(9000).endpoint.address)) << "the test terminal's address is ours";
        write_file(my_dir.file("barcodes.ini"), "[12345]\nformat=price\ntag.description=Pen\ntag.price=1.99\n"
                                                "[0]\nformat=zero\n");
        write_file(my_dir.file("formats.ini"), "[price]\n${description}\\n\nPrice: ${price}\n[zero]\n\n");
    }
    Temp_dir my_dir;
};

TEST_F(Answering, AnswersTheBarcodeWithoutItsLineEnd)
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
        {"12345\r\n", true, "Pen\nPrice: 1.99"}, // a scanner's CR LF
        {"12345\r", true, "Pen\nPrice: 1.99"},
        {"12345\r\r", false, ""},
        {"", false, ""},
    };
    for (const auto& c : cases) {
        Handled h = handle(c.datagram, terminal_at(9000), my_dir.path());
        EXPECT_EQ(h.answered, c.answered) << bytes_to_text(c.datagram);
        EXPECT_EQ(h.answer, c.answer) << bytes_to_text(c.datagram);
    }
}

// At level 5 a request's dump, its barcode and its answer are logged; no
// raw DEL or 8-bit control reaches the log.
TEST_F(Answering, ARequestIsLoggedFromItsDumpToItsAnswer)
{
    Handled h = handle("12345\n", terminal_at(5000), my_dir.path(), 5);
    ASSERT_GE(h.log.size(), 2u);
    EXPECT_NE(h.log[0].find(" msg from 10.0.0.2.5000 (#6 bytes):'12345\\n'"), std::string::npos) << h.log[0];
    EXPECT_EQ(h.log[1], "INF Received barcode \"12345\"");
    EXPECT_NE(h.log.back().find(" Sending: \"Pen\\nPrice: 1.99\" to 10.0.0.2.9000"), std::string::npos);
    h = handle("\x7f\x9b\n", terminal_at(5000), my_dir.path(), 5);
    EXPECT_NE(h.log[0].find(" msg from 10.0.0.2.5000 (#3 bytes):'\\x7f\\x9b\\n'"), std::string::npos) << h.log[0];
    EXPECT_EQ(h.log[1], "INF Received barcode \"\\x7f\\x9b\"");
    h = handle("", terminal_at(5000), my_dir.path(), 5);
    EXPECT_EQ(h.log, std::vector<std::string>{"WRN Empty message received from 10.0.0.2"});
}

// A long barcode is cut alike on every line, and whole in the dump.
TEST_F(Answering, ALongBarcodeIsCutAlikeOnEveryLine)
{
    const std::string long_barcode(1600, '\x01');
    const std::string cut = escape_barcode(long_barcode.substr(0, Shown_barcode::most_bytes)) + "... (1600 bytes)";
    const Handled h = handle(long_barcode, terminal_at(5000), my_dir.path(), 5);
    EXPECT_NE(h.log[0].find("(#1600 bytes):'" + escape_control_bytes(long_barcode) + "'"), std::string::npos);
    EXPECT_EQ(h.log[1], "INF Received barcode \"" + cut + "\"");
    EXPECT_EQ(h.err, "Unknown barcode " + cut + " and no backup barcode [] available\n");
    EXPECT_EQ(std::count(h.log.begin(), h.log.end(), "WRN Barcode \"" + cut + "\" not defined in database."), 1);
}

// A failed lookup is not answered, and says so on standard error and in
// the log.
TEST_F(Answering, AFailedLookupIsSaidAndNotAnswered)
{
    const Handled h = handle("nope\x1b\n", terminal_at(9000), my_dir.path());
    EXPECT_FALSE(h.answered);
    EXPECT_EQ(h.err, "Unknown barcode nope\\x1b and no backup barcode [] available\n");
    EXPECT_EQ(h.log, (std::vector<std::string>{"INF Received barcode \"nope\\x1b\"",
                                                "WRN Barcode \"nope\\x1b\" not defined in database.",
                                                "WRN Unknown barcode nope\\x1b and no backup barcode [] available"}));
}

// A missing file fails every request until it is back: each of a batch (a
// directory that is not there), and each of the batches after the one that
// found a file gone, where nothing in the directory changes any more.
TEST_F(Answering, EveryRequestReportsAMissingFileUntilItIsBack)
{
    const std::string formats = read_file(my_dir.file("formats.ini"));
    const struct {
        std::string dir;
        std::string missing; // after one request answered; "" for none
        std::string error;
    } cases[] = {
        {my_dir.path() + "/missing", "", "barcodes file \"" + my_dir.path() + "/missing/barcodes.ini\" not found."},
        {my_dir.path(), my_dir.file("formats.ini"), "format file \"" + my_dir.file("formats.ini") + "\" not found"},
    };
    for (const auto& c : cases) {
        Serving serving;
        serving.setup.db_dir = c.dir;
        Log_capture capture;
        std::string answer;
        if (!c.missing.empty()) {
            EXPECT_TRUE(answer_datagram("12345", terminal_at(9000), serving, answer));
            ASSERT_EQ(std::remove(c.missing.c_str()), 0);
        }
        for (int i = 0; i < 6; ++i) {
            if (i % 2 == 0) serving.begin_batch(); // batches of two
            testing::internal::CaptureStderr();
            EXPECT_FALSE(answer_datagram("12345", terminal_at(9000), serving, answer)) << c.error;
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: " + c.error + "\n");
        }
        write_file(my_dir.file("formats.ini"), formats);
        serving.begin_batch();
        EXPECT_EQ(answer_datagram("12345", terminal_at(9000), serving, answer), c.missing.size() > 0) << c.error;
    }
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

// Regression: a failed receive was passed on as an empty datagram, and so
// also logged and counted as one.
TEST_F(Answering, AFailedReceiveIsNoEmptyMessage)
{
    Serving serving;
    serving.setup.db_dir = my_dir.path();
    serving.batch.received[0].bytes = -1; // nothing arrived: the system said why
    serving.batch.received[0].error = 104;
    serving.batch.received[1].bytes = 0; // an empty datagram
    serving.batch.received[1].from = terminal_at(5000);
    serving.batch.received[2].bytes = -1; // one that arrived, too long to take
#ifdef _WIN32
    serving.batch.received[2].error = 10040; // WSAEMSGSIZE
#else
    serving.batch.received[2].error = EMSGSIZE;
#endif
    Log_capture capture;
    testing::internal::CaptureStdout();
    answer_batch(no_socket, 3, serving);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("WSAGetLastError=104"), std::string::npos);
    const std::vector<std::string> lines = capture.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.find("Empty message") != std::string::npos; }), 1)
        << lines.size() << " lines";
    std::ostringstream metrics;
    serving.statistics.write_metrics(metrics, serving.db, 9000, 0, true);
    for (const char* count : {"received_total{port=\"9000\"} 2\n", "receive_errors_total{port=\"9000\"} 1\n",
                              "too_long_total{port=\"9000\"} 1\n", "empty_total{port=\"9000\"} 1\n"})
        EXPECT_NE(metrics.str().find(count), std::string::npos) << count;
}

// Each request is counted where it went, and a report that was asked for
// is written at any level, then counts from zero again.
TEST_F(Answering, StatisticsCountEveryRequestWhereItWent)
{
    write_file(my_dir.file("barcodes.ini"), "[]\nformat=price\ntag.description=?\n[12345]\nformat=price\n"
                                            "tag.description=Pen\ntag.price=1.99\n[nf]\nformat=nothere\n[none]\n");
    write_file(my_dir.file("formats.ini"), "[price]\n${description}\\n\nPrice: ${price}\n[]\nfallback\n");
    Serving serving;
    serving.setup.db_dir = my_dir.path();
    Error error;
    ASSERT_TRUE(serving.allowed.read("10.0.0.0/30", error));
    Datagram_source outsider = terminal_at(5000);
    outsider.endpoint.address = 0x0a000004; // 10.0.0.4
    Log_capture capture;
    testing::internal::CaptureStderr();
    std::string answer;
    const std::pair<const char*, Datagram_source> requests[] = {
        {"12345", outsider},                {"", outsider}, // dropped before anything, an empty one too
        {"12345", terminal_at(5000)},       {"Pen\nPrice: 1.99", terminal_at(5000)}, // an echo
        {"nope", terminal_at(5000)},        {"nope", terminal_at(5000)},
        {"zz", terminal_at(5000)},          {"nf", terminal_at(5000)}, {"none", terminal_at(5000)},
        {"x", terminal_at(9000, true)},     // our own
    };
    for (const auto& r : requests) answer_datagram(r.first, r.second, serving, answer);
    for (int i = 0; i <= Answer_limit::burst; ++i) { // from our port: a barcode of ours is never limited
        answer_datagram("12345", terminal_at(9000), serving, answer);
        answer_datagram("qq", terminal_at(9000), serving, answer);
    }
    serving.setup.db_dir = my_dir.path() + "/missing";
    serving.begin_batch();
    EXPECT_FALSE(answer_datagram("12345", terminal_at(5000), serving, answer));
    testing::internal::GetCapturedStderr();
    const std::size_t before = capture.lines().size();
    set_log_level(2);
    serving.statistics.write(true, serving.db);
    const Statistics::Clock::time_point reported = Statistics::Clock::now();
    EXPECT_FALSE(serving.statistics.due(reported + Statistics::period - std::chrono::seconds(1)));
    EXPECT_TRUE(serving.statistics.due(reported + Statistics::period + std::chrono::seconds(1)));
    serving.statistics.count(Statistics::received);
    serving.statistics.write(true, serving.db);
    set_log_level(3);

    std::vector<std::string> report = capture.lines();
    report.erase(report.begin(), report.begin() + static_cast<std::ptrdiff_t>(before));
    for (std::string& line : report) {
        line = std::regex_replace(line, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"), "T");
        line = std::regex_replace(line, std::regex(R"(reloads=\d+)"), "reloads=R");
        line = std::regex_replace(line, std::regex(R"(_ms=\d+\.\d)"), "_ms=M");
    }
    const std::string counts = "answered=71 via_fallback_barcode=35 via_fallback_format=2 via_gtin=0 via_label=0 failed=1 empty=0 too_long=0 "
                               "own_socket=1 over_limit=1 echo=1 not_allowed=2 unsent=0 receive_errors=0 log_lines_left_out=0 "
                               "barcodes_reloads=R formats_reloads=R";
    const std::string files = "; files: barcodes_entries=0 barcodes_last_reload_ms=M formats_entries=2 formats_last_reload_ms=M";
    EXPECT_EQ(report, (std::vector<std::string>{
        "INF Statistics since T: received=0 " + counts + "; since the start T: received=0 " + counts + files,
        "INF Unknown barcodes since T, most asked first: \"qq\"=32 \"nope\"=2 \"zz\"=1",
        "INF Statistics since T: received=1 answered=0 via_fallback_barcode=0 via_fallback_format=0 via_gtin=0 via_label=0 failed=0 empty=0 "
        "too_long=0 own_socket=0 over_limit=0 echo=0 not_allowed=0 unsent=0 receive_errors=0 log_lines_left_out=0 barcodes_reloads=R "
        "formats_reloads=R; since the start T: received=1 " + counts + files,
        "INF Unknown barcodes since T, most asked first: none",
    }));
}

// Regression: a sender that forged a terminal's address at our port spent
// its allowance, and an answer that showed a scanned code made the next scan
// of that code look like an echo. A barcode of ours whose answer is none is
// answered whatever others send; loops through answers that are barcodes of
// ours, or through the fallback, still end.
TEST_F(Answering, ForgeryCannotSilenceATerminalNorKeepALoop)
{
    Serving serving; // its database in memory
    serving.setup.read_files = false;
    std::istringstream barcodes(pen_barcodes_for_loops),
        formats("[price]\n${description}\\n\nPrice: ${price}\n[code]\n${code}\n[code_lf]\n${code}\\n\n");
    serving.db.load_barcodes(barcodes);
    serving.db.load_formats(formats);
    const struct {
        std::string datagram;
        std::uint16_t port;
        int at_ms, times, answered;
    } steps[] = {
        {"nope", 9000, 0, 40, Answer_limit::burst}, // forged at the terminal's address: its allowance spent
        {"12345", 9000, 10, 3, 3},                  // the terminal scans an article all the same
        {"Pen\nPrice: 1.99", 5000, 20, 3, 0},      // forged look-alikes of our last answer
        {"12345", 9000, 30, 1, 1},
        {"L1", 9000, 1000, 1, 1},                   // a shelf label showing the article's code,
        {"12345", 9000, 1300, 1, 1},                // then the article
        {"777", 9000, 3000, 1, 1},                  // a code whose answer is the code itself,
        {"777", 9000, 3300, 1, 1},                  // scanned again: the first look-alike a second
        {"777", 5000, 3400, 1, 0},                  // but a second one is an echo: a loop ends
        {"777", 9000, 5000, 1, 1},
        {"?", 9000, 6000, 40, 1},                   // the fallback's answer, coming back: an echo
        {"778\n", 9000, 7000, 1, 1},                // an answer that, without its line feed, is its code
        {"778\n", 9000, 7300, 2, 1},
        {"\n", 9000, 9000, 40, Answer_limit::burst}, // the empty barcode finds the fallback: none of ours
        {"4006381333931", 9000, 11000, 1, 1},       // an answer that is another form of the code,
        {"04006381333931", 9000, 11300, 1, 1},      // ours all the same: the first look-alike a second
        {"04006381333931", 5000, 11400, 1, 0},
        {"2112345000008", 9000, 13000, 1, 1},       // an answer that is a scale label of ours
        {"2112345012506", 9000, 13300, 1, 1},
        {"2112345012506", 5000, 13400, 1, 0},
    };
    Log_capture capture;
    testing::internal::CaptureStderr();
    for (const auto& s : steps) {
        Datagram_source from = terminal_at(s.port);
        from.arrived = Answer_limit::Clock::time_point{} + std::chrono::hours(1) + std::chrono::milliseconds(s.at_ms);
        int answered = 0;
        std::string answer;
        for (int i = 0; i < s.times; ++i) answered += answer_datagram(s.datagram, from, serving, answer);
        EXPECT_EQ(answered, s.answered) << s.datagram << " at " << s.at_ms;
    }
    testing::internal::GetCapturedStderr();
    // A refusal after the answer was found counts as the refusal it is.
    std::ostringstream metrics;
    serving.statistics.write_metrics(metrics, serving.db, 9000, 0, true);
    EXPECT_NE(metrics.str().find("ulvane_failed_total{port=\"9000\"} 0\n"), std::string::npos) << metrics.str();
}

// Requests are limited by when they arrived, not when they are handled: a
// terminal's requests that waited while the server was busy are answered.
TEST_F(Answering, RequestsCountWhenTheyArrived)
{
    write_file(my_dir.file("barcodes.ini"), read_file(my_dir.file("barcodes.ini")) + "[]\nformat=zero\n");
    for (const char* barcode : {"12345", "nope"}) { // never limited, and limited
        Serving serving;
        serving.setup.db_dir = my_dir.path();
        Log_capture capture;
        Datagram_source from = terminal_at(9000);
        int answered = 0;
        std::string answer;
        for (int i = 0; i < 3 * Answer_limit::burst; ++i) {
            from.arrived = Answer_limit::Clock::time_point{} + std::chrono::milliseconds(100 * i); // ten a second
            answered += answer_datagram(barcode, from, serving, answer);
        }
        EXPECT_EQ(answered, 3 * Answer_limit::burst) << barcode;
    }
}

} // namespace

// The handling of one received datagram, without a socket.
#include "metrics_file.h"
#include "answering.h"
#include "request_loop.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif
#include <chrono>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "database.h"
#include "escapes.h"
#include "log.h"
#include "platform_process.h"
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
const std::string pen_barcodes_for_loops = "[]\nformat=code\ntag.code=?\n[12345]\nformat=price\ntag.description=Pen\n"
                                           "tag.price=1.99\n[L1]\nformat=code\ntag.code=12345\n[777]\nformat=code\n"
                                           "tag.code=777\n[778]\nformat=code_lf\ntag.code=778\n";

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

    // A long barcode: cut alike on every line, whole in the dump.
    const std::string long_barcode(1600, '\x01');
    const std::string cut = escape_barcode(long_barcode.substr(0, Shown_barcode::most_bytes)) + "... (1600 bytes)";
    h = handle(long_barcode, terminal_at(5000), my_dir.path(), 5);
    EXPECT_NE(h.log[0].find("(#1600 bytes):'" + escape_control_bytes(long_barcode) + "'"), std::string::npos);
    EXPECT_EQ(h.log[1], "INF Received barcode \"" + cut + "\"");
    EXPECT_EQ(h.err, "Unknown barcode " + cut + " and no backup barcode [] available\n");
    EXPECT_EQ(std::count(h.log.begin(), h.log.end(), "WRN Barcode \"" + cut + "\" not defined in database."), 1);

    h = handle("", terminal_at(5000), my_dir.path(), 5);
    EXPECT_EQ(h.log, std::vector<std::string>{"WRN Empty message received from 10.0.0.2"});

    h = handle("nope\x1b\n", terminal_at(9000), my_dir.path());
    EXPECT_FALSE(h.answered);
    EXPECT_EQ(h.err, "Unknown barcode nope\\x1b and no backup barcode [] available\n");
    EXPECT_EQ(h.log, (std::vector<std::string>{"INF Received barcode \"nope\\x1b\"",
                                                "WRN Barcode \"nope\\x1b\" not defined in database.",
                                                "WRN Unknown barcode nope\\x1b and no backup barcode [] available"}));

    // Every request of a batch reports a missing file, not only the first.
    Serving batch;
    batch.setup.db_dir = my_dir.path() + "/missing";
    Log_capture capture;
    for (int i = 0; i < 3; ++i) {
        testing::internal::CaptureStderr();
        std::string answer;
        EXPECT_FALSE(answer_datagram("12345", terminal_at(9000), batch, answer));
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "ERROR: barcodes file \"" + my_dir.path() + "/missing/barcodes.ini\" not found.\n");
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
    Log_capture capture;
    testing::internal::CaptureStdout();
    answer_batch(no_socket, 2, serving);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("WSAGetLastError=104"), std::string::npos);
    const std::vector<std::string> lines = capture.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.find("Empty message") != std::string::npos; }), 1)
        << lines.size() << " lines";
    std::ostringstream metrics;
    serving.statistics.write_metrics(metrics, serving.db, 9000);
    for (const char* count : {"received_total{port=\"9000\"} 1\n", "receive_errors_total{port=\"9000\"} 1\n",
                              "empty_total{port=\"9000\"} 1\n"})
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
    Log_capture capture;
    testing::internal::CaptureStderr();
    std::string answer;
    const std::pair<const char*, Datagram_source> requests[] = {
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
    const std::string counts = "answered=71 via_fallback_barcode=35 via_fallback_format=2 via_gtin=0 failed=1 empty=0 too_long=0 "
                               "own_socket=1 over_limit=1 echo=1 unsent=0 receive_errors=0 log_lines_left_out=0 "
                               "barcodes_reloads=R formats_reloads=R";
    const std::string files = "; files: barcodes_entries=0 barcodes_last_reload_ms=M formats_entries=2 formats_last_reload_ms=M";
    EXPECT_EQ(report, (std::vector<std::string>{
        "INF Statistics since T: received=0 " + counts + "; since the start T: received=0 " + counts + files,
        "INF Unknown barcodes since T, most asked first: \"qq\"=32 \"nope\"=2 \"zz\"=1",
        "INF Statistics since T: received=1 answered=0 via_fallback_barcode=0 via_fallback_format=0 via_gtin=0 failed=0 empty=0 "
        "too_long=0 own_socket=0 over_limit=0 echo=0 unsent=0 receive_errors=0 log_lines_left_out=0 barcodes_reloads=R "
        "formats_reloads=R; since the start T: received=1 " + counts + files,
        "INF Unknown barcodes since T, most asked first: none",
    }));
}

// The metrics file is written at the start by the caller, then once a
// minute after its last writing; none is ever due without a file.
TEST(MetricsFile, DueAMinuteAfterItsLastWriting)
{
    Temp_dir dir;
    Barcode_db db;
    Statistics statistics(db);
    const Metrics_file::Clock::time_point start = Metrics_file::Clock::now(), later = start + Metrics_file::period;
    Metrics_file metrics(dir.file("ulvane_server.prom"));
    EXPECT_FALSE(metrics.due(start));
    metrics.write(statistics, db, 9000, start);
    EXPECT_NE(read_file(dir.file("ulvane_server.prom")).find("\nulvane_received_total{port=\"9000\"} 0\n"), std::string::npos);
    EXPECT_FALSE(metrics.due(later - std::chrono::seconds(1)));
    EXPECT_TRUE(metrics.due(later));
    metrics.write(statistics, db, 9000, later);
    EXPECT_FALSE(metrics.due(later + std::chrono::seconds(1)));
    EXPECT_FALSE(Metrics_file().due(later + 10 * Metrics_file::period));
}

// Regression: -stats= wrote over whatever its path named (a FIFO, a device)
// and followed any link, and a leftover temporary file of the server's own
// process number stopped the writing for good. The file written is only
// ever a regular file, through a link only of root's or our own; what is
// refused is said once.
TEST(MetricsFile, WritesOnlyARegularFileOfItsOwn)
{
    namespace fs = std::filesystem;
    const std::string leftover = "m.prom.new-" + std::to_string(process_id());
    struct Case {
        const char* what;
        std::function<void(const Temp_dir&)> plant; // what lies at dir/m.prom before
        const char* said;                          // the WRN line's reason; nothing when written
        const char* victim;                        // a file of dir that must stay "precious"
    };
    std::vector<Case> cases = {
        {"a directory", [](const Temp_dir& d) { fs::create_directory(d.file("m.prom")); }, "it is no regular file", nullptr},
        {"a leftover of our process number", [&](const Temp_dir& d) { write_file(d.file(leftover), "old"); }, nullptr, nullptr},
    };
#ifndef _WIN32
    const std::vector<Case> posix_cases = {
        {"a FIFO", [](const Temp_dir& d) { mkfifo(d.file("m.prom").c_str(), 0644); }, "it is no regular file", nullptr},
        {"another user's link",
         [](const Temp_dir& d) {
             fs::create_symlink(d.file("victim"), d.file("m.prom"));
             (void)!lchown(d.file("m.prom").c_str(), 65534, 65534);
         },
         "is a symbolic link of another user (uid 65534)", "victim"},
        {"our own link",
         [](const Temp_dir& d) {
             write_file(d.file("target"), "old");
             fs::create_symlink(d.file("target"), d.file("m.prom"));
         },
         nullptr, nullptr},
        {"a leftover that is a link", [&](const Temp_dir& d) { fs::create_symlink(d.file("victim"), d.file(leftover)); },
         nullptr, "victim"},
    };
    for (const Case& c : posix_cases)
        if (geteuid() == 0 || std::string(c.what) != "another user's link") cases.push_back(c); // lchown needs root
#endif
    for (const auto& c : cases) {
        Temp_dir dir;
        write_file(dir.file("victim"), "precious");
        c.plant(dir);
        Barcode_db db;
        Statistics statistics(db);
        Log_capture capture;
        const bool was_link = fs::is_symlink(dir.file("m.prom"));
        Metrics_file metrics(dir.file("m.prom"));
        const auto now = Metrics_file::Clock::now();
        metrics.write(statistics, db, 9000, now);
        metrics.write(statistics, db, 9000, now + Metrics_file::period);
        const std::vector<std::string> lines = capture.lines();
        if (c.said != nullptr) {
            ASSERT_EQ(lines.size(), 1u) << c.what;
            EXPECT_NE(lines[0].find(c.said), std::string::npos) << c.what << ": " << lines[0];
        } else {
            EXPECT_TRUE(lines.empty()) << c.what << ": " << (lines.empty() ? "" : lines[0]);
            const std::string written = read_file(dir.file("m.prom"));
            EXPECT_NE(written.find("ulvane_received_total{port=\"9000\"} 0"), std::string::npos) << c.what;
            EXPECT_FALSE(fs::exists(fs::symlink_status(dir.file(leftover)))) << c.what;
        }
        EXPECT_EQ(fs::is_symlink(dir.file("m.prom")), was_link) << c.what << ": a link stays, the file it leads to is written";
        if (c.victim != nullptr) {
            EXPECT_EQ(read_file(dir.file(c.victim)), "precious") << c.what;
        }
    }
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
    serving.statistics.write_metrics(metrics, serving.db, 9000);
    EXPECT_NE(metrics.str().find("ulvane_failed_total{port=\"9000\"} 0\n"), std::string::npos) << metrics.str();
}

// The barcodes asked for most stay counted among a flood of others, in
// bounded memory.
TEST(TopBarcodes, FrequentOnesSurviveAFloodOfOthers)
{
    Top_barcodes top;
    for (int i = 0; i < 100000; ++i) {
        top.add("flood" + std::to_string(i));
        if (i % 100 == 0) top.add("often");
        if (i % 200 == 0) top.add("sometimes"); // more often than 1 in `tracked`
    }
    const auto most = top.top(1000);
    EXPECT_EQ(most.size(), Top_barcodes::tracked);
    ASSERT_GE(most.size(), 2u);
    EXPECT_EQ(most[0].first, "often");
    EXPECT_GE(most[0].second, 1000u);
    EXPECT_EQ(most[1].first, "sometimes");
    EXPECT_GE(most[1].second, 500u);
    Top_barcodes few; // exact while few
    for (const char* b : {"b", "a", "b", "c", "a", "b"}) few.add(b);
    EXPECT_EQ(few.top(2), (std::vector<std::pair<std::string, unsigned long>>{{"b", 3}, {"a", 2}}));
    // Once full, a newcomer takes the least count over, + 1.
    Top_barcodes full;
    for (std::size_t i = 0; i < Top_barcodes::tracked; ++i) full.add(std::to_string(i));
    full.add("new");
    EXPECT_EQ(full.top(1), (std::vector<std::pair<std::string, unsigned long>>{{"new", 2}}));
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

// Regression: an echo service from another port returned our answers, and
// we answered them again, for ever. The answer last sent to an address,
// coming back from it within a second, is not answered.
TEST(RecentAnswers, OurAnswerComingBackIsAnEcho)
{
    using std::chrono::milliseconds;
    const auto t0 = Recent_answers::Clock::time_point{} + std::chrono::hours(1);
    const std::uint32_t a = 0x0a000002, b = 0x0a000003;
    const struct {
        std::uint32_t from;
        std::string datagram;
        int after_ms;
        bool echo;
    } cases[] = {
        {a, "Pen\nPrice: 1.99", 5, true},     {a, "Pen\nPrice: 1.99", 1000, true},
        {a, "Pen\nPrice: 1.99", 1001, false}, {b, "Pen\nPrice: 1.99", 5, false},
        {a, "Pen\nPrice: 1.98", 5, false},    {a, "Pen\nPrice: 1.9", 5, false},
        {a, "12345", 5, false},
    };
    for (const auto& c : cases) {
        Recent_answers recent;
        recent.sent(a, "Pen\nPrice: 1.99", t0);
        EXPECT_EQ(recent.is_echo({c.from, 5000}, c.datagram, t0 + milliseconds(c.after_ms)), c.echo)
            << c.datagram << " after " << c.after_ms;
    }
    // Only the last answer to an address counts; one line a minute.
    Recent_answers recent;
    Log_capture capture;
    recent.sent(a, "first", t0);
    recent.sent(a, "second", t0);
    EXPECT_FALSE(recent.is_echo({a, 5000}, "first", t0));
    for (int s : {0, 1, 2, 59, 60}) {
        recent.sent(a, "second", t0 + std::chrono::seconds(s));
        EXPECT_TRUE(recent.is_echo({a, 5000}, "second", t0 + std::chrono::seconds(s)));
    }
    EXPECT_EQ(capture.lines().size(), 2u);
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
        {a, 70000, 40, Answer_limit::burst}, // a minute after its line: a new one
    };
    Answer_limit limit;
    Log_capture capture;
    for (const auto& s : steps) {
        const auto now = Answer_limit::Clock::time_point{} + std::chrono::milliseconds(s.at_ms);
        int admitted = 0;
        for (int i = 0; i < s.sent; ++i) admitted += limit.admit({s.address, 9000}, now);
        EXPECT_EQ(admitted, s.admitted) << s.address << " at " << s.at_ms;
    }
    // One line per address and minute: a's drops at 0 to 40000 ms make one,
    // those at 70000 ms another, each with what came within its second.
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].find("WRN Too many messages from 10.0.0.2.9000: 33 within a second"), 0u) << lines[0];
    EXPECT_EQ(lines[3].find("WRN Too many messages from 10.0.0.2.9000: 33 within a second"), 0u) << lines[3];
}

// Regression: addresses that met in one slot shared its limit, so flooders
// silenced terminals. Each address is limited by its own datagrams only,
// whatever thousands of others do, and a loop stays limited among them.
TEST(AnswerLimit, FloodersNeitherSilenceATerminalNorFreeALoop)
{
    using std::chrono::milliseconds;
    const auto start = Answer_limit::Clock::time_point{} + std::chrono::hours(1);
    Answer_limit limit;
    Log_capture capture;
    int terminal = 0, loop = 0;
    for (int ms = 0; ms < 10000; ms += 5) {
        const auto now = start + milliseconds(ms);
        if (ms % 1000 == 0) // 3,000 flooders, a burst over the limit each a second
            for (std::uint32_t f = 0; f < 3000; ++f)
                for (int k = 0; k < Answer_limit::burst + 2; ++k) limit.admit({0xc0a80000u + f * 256, 9000}, now);
        loop += limit.admit({0x0a000009, 9000}, now); // 200 a second
        if (ms % 500 == 0) terminal += limit.admit({0x0a000002, 9000}, now);
    }
    EXPECT_EQ(terminal, 20);
    EXPECT_LE(loop, Answer_limit::burst + 10 * Answer_limit::per_second + 1);
    EXPECT_GE(loop, 10 * Answer_limit::per_second);
}

// Regression: forged addresses filled the looping peer's group until the
// peer was forgotten and came back with a whole new burst, again and again.
// A loop of r exchanges a second, which ends at its first unanswered
// datagram, gets at most burst * r / (r - per_second) answers whatever
// fresh addresses come, however often (every 1 to 100 exchanges), with
// however many datagrams each, and whatever fills the table first.
TEST(AnswerLimit, ALoopEndsWhateverIsForged)
{
    using std::chrono::nanoseconds;
    const auto start = Answer_limit::Clock::time_point{} + std::chrono::hours(1);
    const std::uint32_t peer = 0x0a000009;
    const int over = Answer_limit::burst + 2; // a forged address refused at once
    const long lan = 10000, fast = 1000000, slow = 1000000000 / 60; // nanoseconds between exchanges
    const struct {
        const char* what;
        long period;
        bool in_peers_group; // else all over the table
        bool table_full_first; // a second of forged addresses bursting over their limit before the loop
        int each;              // datagrams from each forged address
        int flooders;          // addresses of the peer's group that send 100 a second throughout
    } cases[] = {
        {"at LAN speed, one datagram each", lan, true, false, 1, 0},
        {"at LAN speed, refused at once each", lan, true, false, over, 0},
        {"every millisecond, one datagram each", fast, true, false, 1, 0},
        {"every millisecond, refused at once each", fast, true, false, over, 0},
        {"60 a second, one datagram each", slow, true, false, 1, 0},
        {"60 a second, refused at once each", slow, true, false, over, 0},
        {"the peer's group full of refused addresses first", fast, true, true, over, 0},
        {"forged addresses all over", fast, false, false, over, 0},
        {"every group full of refused addresses first", fast, false, true, over, 0},
        {"in a group of flooders", slow, true, true, 1, Answer_limit::ways - 1},
    };
    for (const auto& c : cases) {
        const double rate = 1e9 / c.period;
        const int bound = static_cast<int>(Answer_limit::burst * rate / (rate - Answer_limit::per_second));
        for (int every = 1; every <= 100; ++every) {
            Answer_limit limit;
            Log_capture capture;
            std::vector<std::uint32_t> flooders;
            for (std::uint32_t a = 0x0b000000u; flooders.size() < static_cast<std::size_t>(c.flooders); ++a)
                if (Answer_limit::group_of(a) == Answer_limit::group_of(peer)) flooders.push_back(a);
            std::uint32_t forged = 0xc0000000u;
            const long before = c.table_full_first ? 1000000000 / c.period : 0;
            const long flood_every = std::max(1L, 10000000 / c.period); // 100 a second, or each exchange
            int answers = 0;
            for (long k = -before; k < 200000; ++k) {
                const auto now = start + nanoseconds(c.period * k);
                if (k == -before || k % flood_every == 0) // a burst first, then on: refused all along
                    for (std::uint32_t f : flooders)
                        for (int j = 0; j < (k == -before ? over : 1); ++j) limit.admit({f, 9000}, now);
                if (k % every == 0) {
                    while (c.in_peers_group && Answer_limit::group_of(++forged) != Answer_limit::group_of(peer)) {
                    }
                    for (int j = 0; j < c.each; ++j) limit.admit({forged, 9000}, now);
                    forged += !c.in_peers_group;
                }
                if (k < 0) continue;
                if (!limit.admit({peer, 9000}, now)) break; // the loop ends
                ++answers;
            }
            EXPECT_LE(answers, bound) << c.what << ", a fresh address every " << every << " exchanges";
        }
    }
}

// A newcomer to a full group takes the slot of an address that owes
// nothing, never the looping peer's, wherever in the group the peer sits.
TEST(AnswerLimit, AFullGroupForgetsOnlyAnAddressThatOwesNothing)
{
    using std::chrono::milliseconds;
    const auto start = Answer_limit::Clock::time_point{} + std::chrono::hours(1);
    std::vector<std::uint32_t> group; // ways + 1 addresses of one group
    for (std::uint32_t a = 0x0a000001; group.size() < Answer_limit::ways + 1; ++a)
        if (Answer_limit::group_of(a) == Answer_limit::group_of(0x0a000001)) group.push_back(a);
    auto send = [](Answer_limit& limit, std::uint32_t address, int count, Answer_limit::Clock::time_point at) {
        int admitted = 0;
        for (int k = 0; k < count; ++k) admitted += limit.admit({address, 9000}, at);
        return admitted;
    };
    for (std::size_t peer = 0; peer < Answer_limit::ways; ++peer) {
        Answer_limit limit;
        Log_capture capture;
        for (std::size_t i = 0; i < Answer_limit::ways; ++i) // one each, the peer over its limit
            send(limit, group[i], i == peer ? Answer_limit::burst + 2 : 1, start + milliseconds(i));
        const auto later = start + milliseconds(100); // all but the peer owe nothing by then
        EXPECT_EQ(send(limit, group[Answer_limit::ways], Answer_limit::burst, later), Answer_limit::burst) << peer;
        // The peer is remembered: what 100 ms at the steady rate allow, no new burst.
        EXPECT_LE(send(limit, group[peer], Answer_limit::burst, later), 100 * Answer_limit::per_second / 1000 + 1) << peer;
    }
    // When every address of the group owes, a newcomer shares the limit of
    // those that found no room, and takes on what it owes when it finds
    // room later: no second burst.
    Answer_limit limit;
    Log_capture capture;
    for (std::size_t i = 0; i < Answer_limit::ways; ++i) send(limit, group[i], Answer_limit::burst + 2, start);
    EXPECT_EQ(send(limit, group[Answer_limit::ways], Answer_limit::burst + 2, start + milliseconds(500)), Answer_limit::burst);
    // At 700 ms the group owes nothing; the shared limit owes until 1,140 ms.
    EXPECT_LE(send(limit, group[Answer_limit::ways], Answer_limit::burst, start + milliseconds(700)), Answer_limit::burst / 2);
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
        {100, most - 1, most}, // no other address takes any of its share
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

#ifdef _WIN32
// An argument that the program's code page cannot carry whole is found, so
// that the program refuses it instead of working on a look-alike path.
TEST(Arguments, ThoseTheCodePageCannotCarryAreFound)
{
    const struct {
        unsigned code_page;
        std::vector<std::wstring> arguments;
        int not_whole;
    } cases[] = {
        {1252, {L"ulvane_server.exe", L"-db=C:\\shop\\db"}, -1},
        {1252, {L"x.exe", L"-db=C:\\Caf\u00e9"}, -1},                // é is in Western European
        {1252, {L"x.exe", L"-p=9000", L"-db=C:\\\u0141\u00f3d\u017a"}, 2}, // Ł is not: it would become L
        {1250, {L"x.exe", L"-db=C:\\\u0141\u00f3d\u017a"}, -1},      // but is in Central European
        {1250, {L"x.exe", L"-db=C:\\\u0141\u00f3d\u017a \u5e97"}, 1}, // 店 is in neither
        {65001, {L"x.exe", L"-db=C:\\\u0141\u00f3d\u017a \u5e97"}, -1}, // UTF-8 carries all
        {65001, {L"x.exe", std::wstring(L"-db=") + wchar_t(0xd800)}, 1}, // but no half character
        {1252, {L"x.exe", L""}, -1},
        {1252, {L"C:\\\u5e97\\x.exe", L"-p=9000"}, 0}, // the program's own path counts too
    };
    for (const auto& c : cases)
        EXPECT_EQ(first_argument_not_whole(c.code_page, c.arguments), c.not_whole)
            << c.code_page << " " << c.arguments.back().size();
}
#endif

} // namespace

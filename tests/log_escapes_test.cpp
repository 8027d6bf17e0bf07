#include "escapes.h"
#include "log.h"
#include "findings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <regex>
#include <thread>
#include <set>
#include <cerrno>
#include <csignal>
#include <cstring>
#ifndef _WIN32
#include <sys/resource.h>
#endif
#include <sstream>

#include "csv.h"
#include "log_messages.h"
#include "log_report.h"
#include "test_util.h"

namespace {

std::string bytes(std::initializer_list<unsigned char> values)
{
    return std::string(values.begin(), values.end());
}

struct Escape_case {
    std::string text;
    std::string bytes;
};

TEST(Escapes, TextToBytes)
{
    const Escape_case cases[] = {
        {"A\\tB", bytes({0x41, 0x09, 0x42})},
        {"\\e\\x1B\\x1b", bytes({0x1b, 0x1b, 0x1b})},
        {"50\\%", bytes({0x35, 0x30, 0x5c, 0x25})},
        {"\\q\\N", bytes({0x5c, 0x71, 0x5c, 0x4e})},
        {"\\\\n", bytes({0x5c, 0x6e})},
        {"\\x4G!", bytes({0x04, 0x21})},
        {"ab\\", bytes({0x61, 0x62, 0x5c})},
        {"", ""},
        {"\\", "\\"},
        {"\\x00", bytes({0x00})},
        {"a\\x00b", bytes({'a', 0x00, 'b'})},
        {"\\x7", bytes({0x07})},
        {"\\xFF\\xff\\xaB", bytes({0xff, 0xff, 0xab})},
        {"\\n\\r\\t\\e", bytes({0x0a, 0x0d, 0x09, 0x1b})},
        {"\\#\\$\\[\\]", "#$[]"},
        {"\\N\\R\\T\\E\\X41", "\\N\\R\\T\\E\\X41"},
        {"\\0", bytes({0x5c, 0x30})},
        // A byte made by \x never starts another escape.
        {"\\x5cn", bytes({0x5c, 'n'})},
        // No hexadecimal digit after the x: the byte 0x00, up to two
        // characters consumed.
        {"\\xG1z", bytes({0x00, 'z'})},
        {"\\x", bytes({0x00})},
        {"\\xG", bytes({0x00})},
        {"ab\\x", bytes({'a', 'b', 0x00})},
    };
    for (const Escape_case& c : cases) EXPECT_EQ(text_to_bytes(c.text), c.bytes) << c.text;
}

TEST(Escapes, BytesToText)
{
    const Escape_case cases[] = {
        {"A\\tB", bytes({0x41, 0x09, 0x42})},
        {"\\x00\\x1b\\eA", bytes({0x00, 0x1b, 0x1d, 0x41})},
        {"\\${t}", bytes({0x24, 0x7b, 0x74, 0x7d})},
        {"\\[1\\]\\\\", bytes({0x5b, 0x31, 0x5d, 0x5c})},
        {"\\r\\n\\xff\\x80~", bytes({0x0d, 0x0a, 0xff, 0x80, 0x7e})},
        {"", ""},
        {"\\#\x7f\x20", bytes({0x23, 0x7f, 0x20})},
    };
    for (const Escape_case& c : cases) EXPECT_EQ(bytes_to_text(c.bytes), c.text) << c.text;
}

TEST(Escapes, EveryByteComesBackThroughBothConversions)
{
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    std::string text = bytes_to_text(all);
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        EXPECT_TRUE(u >= 0x20 && u < 0x80) << int(u);
    }
    std::string expected = all;
    expected[0x1d] = 0x1b; // \e is written for 0x1d but read as 0x1b
    EXPECT_EQ(text_to_bytes(text), expected);
}

TEST(Escapes, ControlBytesOnlyAreEscapedForTheLog)
{
    EXPECT_EQ(escape_control_bytes("12345"), "12345");
    EXPECT_EQ(escape_control_bytes("a\\b[c]$#~"), "a\\b[c]$#~");
    EXPECT_EQ(escape_control_bytes(bytes({'1', 0x00, 0x0a, 0x0d, 0x09, 0x1b, 0x1d, 0x1f, 0x20})),
              "1\\x00\\n\\r\\t\\x1b\\e\\x1f ");
    // Regression: DEL and 8-bit controls (0x9b is a terminal's CSI) passed raw.
    EXPECT_EQ(escape_control_bytes(bytes({0x7f, 0x80, 0x9b, 0xe9, 0xff})), "\\x7f\\x80\\x9b\\xe9\\xff");
}

// The level rules and the numbering of lines, through the real log.
TEST(Log, LevelDecidesWhichLinesAreWrittenAndNumbered)
{
    Log_capture capture;
    int evaluated = 0;
    auto count = [&evaluated]() { return ++evaluated; };
    for (unsigned level : {0u, 2u, 3u, 4u, 5u}) {
        set_log_level(level);
        LOG_WRN("w" << level << count());
        LOG_INF("i" << level << count());
        LOG_DBG("d" << level << count());
        LOG_DMP("m" << level << count());
    }
    set_log_level(3);
    std::vector<std::string> lines = capture.lines();
    const std::vector<std::string> expected = {"WRN w01", "WRN w22", "WRN w33", "INF i34",
                                               "WRN w45", "INF i46", "WRN w58", "INF i59"};
    // DBG and DMP lines carry the source position; compare them apart.
    std::vector<std::string> plain;
    std::vector<std::string> positioned;
    for (const std::string& l : lines)
        (l.compare(0, 3, "DBG") == 0 || l.compare(0, 3, "DMP") == 0 ? positioned : plain).push_back(l);
    EXPECT_EQ(plain, expected);
    ASSERT_EQ(positioned.size(), 3u);
    const char* const positioned_messages[] = {"DBG d47", "DBG d510", "DMP m511"};
    std::regex with_position(R"((DBG|DMP) tests/log_escapes_test\.cpp:\d+ ([dm][45]\d+))");
    for (int i = 0; i < 3; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(positioned[i], m, with_position)) << positioned[i];
        EXPECT_EQ(m[1].str() + " " + m[2].str(), positioned_messages[i]);
    }
    EXPECT_EQ(evaluated, 11); // suppressed lines evaluate nothing

    // Line numbers run on without gaps.
    std::string text = read_file(capture.path() + "/log");
    std::regex prefix(R"(\[(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d) #(\d+) (WRN|INF|DBG|DMP)\] .*)");
    unsigned long previous = 0;
    for (const std::string& line : split_lines(text)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, prefix)) << line;
        unsigned long number = std::stoul(m[7]);
        if (previous != 0) {
            EXPECT_EQ(number, previous + 1);
        }
        previous = number;
    }
}

TEST(Log, LevelIsClampedToFive)
{
    const std::pair<unsigned, unsigned> cases[] = {{0, 0}, {1, 1}, {5, 5}, {6, 5}, {7, 5}, {4294967295u, 5}};
    for (auto c : cases) {
        set_log_level(c.first);
        EXPECT_EQ(get_log_level(), c.second) << c.first;
    }
    set_log_level(3);
}

TEST(Log, FileIsAppendedToAndUnopenableFileFallsBackToStandardError)
{
    Temp_dir dir;
    std::string first = dir.file("first.log");
    write_file(first, "old content\n");
    set_log_file(first);
    LOG_WRN("to first");
    testing::internal::CaptureStderr();
    set_log_file(dir.path()); // a directory: cannot be opened, and says so
    LOG_WRN("to stderr");
    std::string err = testing::internal::GetCapturedStderr();
    close_log_file();
    std::vector<std::string> lines = split_lines(read_file(first));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "old content");
    EXPECT_EQ(log_messages(lines[1])[0], "WRN to first");
    std::vector<std::string> messages = log_messages(err);
    ASSERT_EQ(messages.size(), 2u);
    // The reason is the system's: "Is a directory" here, "Permission denied" on Windows.
    EXPECT_TRUE(std::regex_match(messages[0], std::regex("WRN Could not open log file .*ulvane_test_[^:]+: [A-Z][a-z ]+\\. "
                                                         "The log goes to standard error\\.")))
        << messages[0];
    EXPECT_EQ(messages[1], "WRN to stderr");

    // Each line carries the time it was written: a line a second later, its own.
    set_log_file(first);
    std::vector<std::string> expected;
    for (int line = 0; line < 2; ++line) {
        const std::time_t began = std::time(nullptr);
        while (line == 1 && std::time(nullptr) == began) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        char when[80];
        local_time_text(std::time(nullptr), when);
        expected.push_back("[" + std::string(when) + " #");
        LOG_WRN("at " << line);
    }
    close_log_file();
    lines = split_lines(read_file(first));
    ASSERT_EQ(lines.size(), 4u);
    for (int line = 0; line < 2; ++line) EXPECT_EQ(lines[2 + line].substr(0, expected[line].size()), expected[line]);
}


#ifndef _WIN32
// Writes fail past a file size limit (EFBIG), cutting a write at the limit
// exactly: the count in each "Lost" note is the gap in the line numbers, also
// when a note got out and the line after it did not, or the note itself failed.
TEST(Log, LostLinesAreCountedExactlyAfterFailedWrites)
{
    Log_capture capture;
    const std::string log_path = capture.path() + "/log";
    auto size = [&]() { return static_cast<rlim_t>(read_file(log_path).size()); };
    rlimit old_limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    auto limit = [&](rlim_t bytes) {
        rlimit l = old_limit;
        l.rlim_cur = bytes;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &l), 0);
    };
    int n = 0;
    auto line = [&]() { LOG_INF("line " << ++n << " end"); };
    line(), line(), line();
    const unsigned long base = std::stoul(read_file(log_path).substr(22)) - 1; // before #1
    // The size of line `number` (counted from #1) as written.
    auto line_size = [&](unsigned long number, const std::string& message) {
        return static_cast<rlim_t>(29 + std::to_string(base + number).size() + message.size());
    };
    const std::string too_large = std::strerror(EFBIG);
    // Line 4 (#4) is cut, 5 and 6 are lost with the notes made before each (#5 to #8).
    limit(size() + 10);
    line(), line(), line();
    // Just the note (#10, after a line end for the cut line) gets out, not
    // line 7 (#9) after it.
    limit(size() + 1 + line_size(10, "Lost 5 log lines: " + too_large));
    line();
    // The note (#12) gets out, line 8 (#11) all but its line end.
    limit(size() + line_size(12, "Lost 1 log lines: " + too_large) + line_size(11, "line 8 end") - 1);
    line();
    line(); // #13, and its note #14, lost
    limit(old_limit.rlim_cur);
    line(); // #15 after the note #16
    signal(SIGXFSZ, old_handler);

    std::regex whole(R"(\[[-0-9: ]{19} #(\d+) (INF\] line \d+ end|WRN\] Lost (\d+) log lines: .+))");
    std::set<unsigned long> numbers; // counted from the first line's
    std::vector<unsigned long> noted;
    for (const std::string& l : split_lines(read_file(log_path))) {
        std::smatch m;
        if (!std::regex_match(l, m, whole)) continue; // a cut line
        numbers.insert(std::stoul(m[1]) - base);
        if (m[3].matched) noted.push_back(std::stoul(m[3]));
    }
    // Line 8 (#11) lacked only its line end, which the next note supplies,
    // yet counts as lost: a cut line may be any part of it.
    EXPECT_EQ(numbers, (std::set<unsigned long>{1, 2, 3, 10, 11, 12, 15, 16}));
    EXPECT_EQ(noted, (std::vector<unsigned long>{5, 1, 3})); // 4 to 8, 9, then 11, 13 and 14
}
#endif

// What a stream of lines of one size, at one rate, made of a budget.
struct Budget_run {
    long written = 0;        // lines
    long long bytes = 0;     // written
    unsigned long left_out = 0;
    int resumes = 0;         // notes that writing resumed
    unsigned long noted = 0; // lines the notes counted
    int misdated = 0;        // notes not dated at the first line they count
};

Budget_run run_lines(Log_budget& budget, Log_budget::Clock::time_point& now, long per_second, long line_bytes,
                     long seconds)
{
    Budget_run run;
    const auto step = std::chrono::microseconds(1000000 / per_second);
    Log_budget::Clock::time_point first_left_out{}; // of the lines left out since the last written
    bool leaving_out = false;
    for (long i = 0; i < per_second * seconds; ++i, now += step) {
        Log_budget::Left_out resumed;
        if (budget.allows(now, resumed)) {
            ++run.written;
            run.bytes += line_bytes;
            budget.spend(static_cast<std::size_t>(line_bytes));
            leaving_out = false;
        } else {
            ++run.left_out;
            if (!leaving_out) first_left_out = now;
            leaving_out = true;
        }
        if (resumed.lines > 0) {
            ++run.resumes;
            run.noted += resumed.lines;
            if (resumed.since != first_left_out) ++run.misdated;
        }
    }
    return run;
}

TEST(LogBudget, OrdinaryTrafficIsWrittenAndFloodsAreBounded)
{
    using std::chrono::milliseconds;
    const long rate = Log_budget::bytes_per_second, burst = Log_budget::burst;
    const struct {
        const char* what;
        long per_second, line_bytes, seconds;
        long long most_bytes; // written
        unsigned long least_left_out;
    } cases[] = {
        // 200 terminals scanning once a second, two lines each at level 3.
        {"site", 400, 120, 120, 400LL * 120 * 120, 0},
        {"a burst of thousands of lines", 8000, 120, 1, 8000LL * 120, 0},
        {"just the rate", 100, rate / 100, 60, 100LL * rate / 100 * 60, 0},
        // 1,600 bytes of control bytes, cut and escaped, on three lines.
        {"flood of 10 s", 60000, 2100, 10, burst + 10LL * rate + 2100, 590000},
        {"flood of a minute", 60000, 2100, 60, 6000000, 3590000},
    };
    for (const auto& c : cases) {
        Log_budget budget;
        auto now = Log_budget::Clock::time_point{} + std::chrono::hours(1);
        const Budget_run run = run_lines(budget, now, c.per_second, c.line_bytes, c.seconds);
        EXPECT_LE(run.bytes, c.most_bytes) << c.what;
        EXPECT_GE(run.left_out, c.least_left_out) << c.what;
        if (c.least_left_out == 0) {
            EXPECT_EQ(run.left_out, 0u) << c.what;
            continue;
        }
        EXPECT_GE(run.bytes, burst) << c.what << ": the burst is written";
        // After the flood: left out until a quiet second has passed, then
        // written, after a note that counts every line left out.
        Log_budget::Left_out resumed;
        EXPECT_FALSE(budget.allows(now + milliseconds(999), resumed)) << c.what;
        EXPECT_TRUE(budget.allows(now + milliseconds(1999), resumed)) << c.what;
        EXPECT_EQ(run.noted + resumed.lines, run.left_out + 1) << c.what;
        EXPECT_TRUE(budget.allows(now + milliseconds(1999), resumed)) << c.what;
        EXPECT_EQ(resumed.lines, 0u) << c.what << ": noted once";
    }
}

// While a flood goes on, writing resumes each time the budget is whole
// again: the operator sees it, and the log grows at the budget's rate.
TEST(LogBudget, ALastingFloodIsNotedAtTheBudgetsPace)
{
    Log_budget budget;
    auto now = Log_budget::Clock::time_point{} + std::chrono::hours(1);
    const Budget_run run = run_lines(budget, now, 30000, 1000, 60); // 33 us apart: part bytes count
    const int resumes = static_cast<int>(60 * Log_budget::bytes_per_second / Log_budget::burst);
    EXPECT_EQ(run.resumes, resumes);
    // About 100 kB a second over the minute, in whole bursts.
    EXPECT_LE(run.bytes, Log_budget::burst + 60 * Log_budget::bytes_per_second + 1000);
    EXPECT_GE(run.bytes, (resumes + 1) * Log_budget::burst);
    EXPECT_GT(run.noted, 0u);
    EXPECT_LE(run.noted, run.left_out);
    EXPECT_EQ(run.misdated, 0);
}

// The server's own lines on other streams never draw on the budget.
TEST(LogBudget, TheServersOwnLinesDrawNothing)
{
    {
        Log_scope own(false);
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(stream_line_allowed(Log_budget::burst));
    }
    Log_scope request(true);
    EXPECT_TRUE(log_line_allowed());
}

// A request's line after a flood is preceded by the line that says what was
// left out; asking whether a line may be written writes nothing.
TEST(LogBudget, TheLineAfterAFloodSaysWhatWasLeftOut)
{
    Log_capture capture;
    Log_scope request(true);
    const unsigned long before = log_lines_left_out();
    const std::string filler(200, 'x');
    int written = -1; // the last one of these is left out
    while (log_lines_left_out() == before) {
        LOG_WRN(filler);
        ++written;
    }
    for (int i = 0; i < 9; ++i) LOG_WRN(filler); // 10 left out in all
    EXPECT_EQ(log_lines_left_out() - before, 10u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100)); // refilled, and a second without a line left out
    const std::size_t lines = capture.lines().size();
    EXPECT_TRUE(log_line_allowed());
    EXPECT_EQ(capture.lines().size(), lines) << "a question wrote a line";
    LOG_WRN("after the flood");
    const std::vector<std::string> last = capture.lines();
    ASSERT_EQ(last.size(), static_cast<std::size_t>(written) + 2);
    EXPECT_EQ(last[last.size() - 2].substr(0, 22), "WRN Left out 10 log li");
    EXPECT_EQ(last.back(), "WRN after the flood");
}

// At the stop the lines left out so far are said at once, the flood over or
// not, and once.
TEST(LogBudget, TheStopSaysWhatWasLeftOut)
{
    Log_capture capture;
    {
        Log_scope request(true);
        const unsigned long before = log_lines_left_out();
        while (log_lines_left_out() - before < 3) LOG_WRN(std::string(200, 'x'));
    }
    const std::size_t lines = capture.lines().size();
    log_note_left_out();
    log_note_left_out();
    ASSERT_EQ(capture.lines().size(), lines + 1);
    EXPECT_EQ(capture.lines().back().substr(0, 13), "WRN Left out ");
}

TEST(ShownBarcode, ControlBytesEscapedAndLongBarcodesCut)
{
    const std::string most(Shown_barcode::most_bytes, 'a');
    const struct {
        std::string barcode, shown;
    } cases[] = {
        {"12345", "12345"},
        {bytes({'1', 0x00, 0x1b, 0x7f, 0x9b}), "1\\x00\\x1b\\x7f\\x9b"},
        // Regression: a GS1 code's separator and a typed \e, an ESC and a
        // typed \x1b, were shown alike.
        {bytes({'0', '1', 0x1d, '1', '0'}), "01\\x1d10"},
        {"01\\e10", "01\\\\e10"},
        {"\\x1b", "\\\\x1b"},
        {most, most},
        {most + "b", most + "... (513 bytes)"},
        {std::string(1600, '\x01'), [] {
             std::string s;
             for (std::size_t i = 0; i < Shown_barcode::most_bytes; ++i) s += "\\x01";
             return s + "... (1600 bytes)";
         }()},
    };
    for (const auto& c : cases) {
        const Shown_barcode shown(c.barcode);
        std::ostringstream out;
        out << shown;
        EXPECT_EQ(out.str(), c.shown);
    }
}

} // namespace

// CSV as the tools write it and as spreadsheets write it back.
TEST(Csv, FieldsAreQuotedWhereNeededAndReadBack)
{
    const struct {
        const char* text;
        bool as_text;
        const char* field;
    } written[] = {
        {"plain", false, "plain"},       {"a,b", false, "\"a,b\""},       {"say \"hi\"", false, "\"say \"\"hi\"\"\""},
        {"a\rb", false, "\"a\rb\""},      {"a\nb", false, "\"a\nb\""},      {" 1.99", false, " 1.99"},
        {"-1+1", true, "\"'-1+1\""},     {"x", true, "\"x\""},
    };
    for (const auto& w : written) {
        std::string out;
        append_csv_field(out, w.text, w.as_text);
        EXPECT_EQ(out, w.field) << w.text;
    }
    const struct {
        const char* csv;
        char delimiter;
        std::vector<std::vector<std::string>> records;
    } read[] = {
        {"\"a,b\";c\n1;2\n", ';', {{"a,b", "c"}, {"1", "2"}}},          // a comma inside quotes is no delimiter
        {"\"ab\"cd,e\r\n\"x\"\"y\",\n", ',', {{"abcd", "e"}, {"x\"y", ""}}}, // text after a closing quote is kept
        {"\xef\xbb\xbf" "a\tb\n", '\t', {{"a", "b"}}},
    };
    for (const auto& r : read) {
        Csv_reader reader(r.csv);
        EXPECT_EQ(reader.delimiter(), r.delimiter) << r.csv;
        std::vector<std::vector<std::string>> records;
        std::vector<std::string> fields;
        Error error;
        while (!reader.at_end() && reader.next(fields, error)) records.push_back(fields);
        EXPECT_EQ(records, r.records) << r.csv;
    }
}

// A line is read in its frame as the log writes it, or not at all; a
// statistics line's figures are read part by part as the server writes them.
TEST(LogFormat, TheFrameAndTheFiguresAreReadAsWritten)
{
    char frame[Log_line::longest_frame];
    const std::size_t length = Log_line::write_frame(frame, "2026-12-07 17:05:00", 4294967295ul, "DMP");
    EXPECT_EQ(std::string(frame, length), "[2026-12-07 17:05:00 #4294967295 DMP] ");
    const struct {
        std::string line;
        unsigned long number; // 0: not in the frame
        const char* label;
        const char* message;
    } lines[] = {
        {std::string(frame) + "Pen", 4294967295ul, "DMP", "Pen"},
        {"[2026-12-07 17:05:00 #1 INF] ", 1, "INF", ""},
        {"[2026-12-07 17:05:00 #7 WRN] a] b", 7, "WRN", "a] b"},
        {"[2026-12-07 17:05:00 #7 WRN]", 0, "", ""},           // no blank after the frame
        {"[2026-12-07 17:05:00 # WRN] x", 0, "", ""},          // no number
        {"[2026-12-07 17:05:00 #7 WARN] x", 0, "", ""},        // a label of four
        {"[2026-12-07 17:05 #7 WRN] x", 0, "", ""},            // a short time
        {"Dec 07 17:05:00 host ulvane_server[8]: x", 0, "", ""},
    };
    for (const auto& l : lines) {
        Log_line parts;
        EXPECT_EQ(parts.read(l.line), l.number != 0) << l.line;
        EXPECT_EQ(parts.number, l.number) << l.line;
        EXPECT_EQ(parts.label, l.label) << l.line;
        EXPECT_EQ(parts.message, l.message) << l.line;
        EXPECT_EQ(parts.time, l.number != 0 ? "2026-12-07 17:05:00" : "") << l.line;
    }

    const std::string text = "received=3 answered=2; since the start 2026-12-07 08:00:00: received=9; files: "
                             "barcodes_entries=1 barcodes_last_reload_ms=0.5";
    const struct {
        figures::Part part;
        std::vector<std::string> figures;
    } parts[] = {
        {figures::Part::since_report, {"received=3", "answered=2"}},
        {figures::Part::since_start, {"received=9"}},
        {figures::Part::files, {"barcodes_entries=1", "barcodes_last_reload_ms=0.5"}},
    };
    for (const auto& p : parts) {
        std::string_view part = figures::part(text, p.part), name, value;
        std::vector<std::string> read;
        while (figures::next(part, name, value)) read.push_back(std::string(name) + "=" + std::string(value));
        EXPECT_EQ(read, p.figures);
    }
}

// The hours are every hour of each day that holds a line, and of up to a
// week of quiet days between. A line more than
// an hour back is in none (an hour back is a clock put back from summer
// time); so is a clock not set or one that jumps a day ahead and back, and
// neither makes the period longer. A day ahead where the lines go on is a
// server that was off.
TEST(LogReport, TheHoursAreThoseOfTheDaysWithLines)
{
    const struct {
        const char* second_hour;
        const char* third_hour; // "": none
        std::size_t hours;
        unsigned long out_of_order, wrong_clock, not_answered;
    } cases[] = {
        {"2026-12-07 20", "2026-12-08 03", 48, 0, 0, 1},
        {"2026-12-07 07", "2026-12-07 09", 24, 0, 0, 1},
        {"2026-12-07 06", "2026-12-07 09", 24, 1, 0, 1},
        {"2026-12-09 14", "2026-12-09 15", 72, 0, 0, 1}, // off for two days: the quiet one shown
        {"2026-12-21 14", "2026-12-21 15", 48, 0, 0, 1}, // off for two weeks: none of them
        {"2126-12-07 08", "2026-12-07 09", 24, 0, 1, 1}, // a century ahead
        {"2000-01-01 00", "2026-12-07 09", 24, 0, 1, 1}, // a dead clock battery
        {"0000-00-00 00", "2026-12-07 09", 24, 0, 1, 1}, // the server's time when it has none
        {"2026-12-09 14", "", 24, 0, 1, 0},              // the last line, a day ahead
        {"2026-12-08 14", "", 24, 0, 1, 0},              // 30 hours ahead is more than a day
        {"2026-12-09 14", "2026-12-07 09", 24, 0, 1, 1},
    };
    for (const auto& c : cases) {
        Report r;
        read_log_line(r, "[2026-12-07 08:00:00 #1 INF] Received barcode \"1\"");
        for (const char* hour : {c.second_hour, c.third_hour})
            if (*hour) read_log_line(r, std::string("[") + hour + ":00:00 #2 INF] Received barcode \"1\"");
        read_log_line(r, "Unknown barcode 1 and no backup barcode [] available");
        end_of_log(r);
        const auto hours = hours_in_order(r);
        EXPECT_EQ(hours.size(), c.hours) << c.second_hour;
        EXPECT_EQ(r.out_of_order, c.out_of_order) << c.second_hour;
        EXPECT_EQ(r.wrong_clock, c.wrong_clock) << c.second_hour;
        EXPECT_EQ(r.requests, *c.third_hour ? 3u : 2u) << c.second_hour;
        unsigned long requests = 0, not_answered = 0;
        for (const auto& h : hours) requests += h.second.requests, not_answered += h.second.not_answered;
        EXPECT_EQ(requests, r.requests - c.out_of_order - c.wrong_clock) << c.second_hour;
        EXPECT_EQ(not_answered, c.not_answered) << c.second_hour << ": a failure goes in its request's hour";
        EXPECT_EQ(hours.front().first.substr(11), "00") << c.second_hour;
        EXPECT_TRUE(r.first_time == "2026-12-07 08:00:00" && r.last_time < "2026-12-22") << c.second_hour << ": "
                                                                                        << r.last_time;
    }
}

// Each message the report reads, written as the server writes it, is read
// back as what it is: its kind of warning and the figure it counts.
TEST(LogReport, ReadsEachMessageAsTheServerWritesIt)
{
    using namespace msg;
    const std::string barcode("a\" not defined in database.\x01", 29); // quotes and the end text in it
    const Shown_barcode shown(barcode); // a view of it
    auto text = [](const auto& filled) {
        std::ostringstream out;
        out << filled;
        return out.str();
    };
    const std::string shown_text = text(shown), path = "/db/barcodes.ini";
    const struct {
        const char* label; // "": a line of standard error
        std::string message;
        std::string kind; // the kind of a WRN line
        unsigned long Report::*counted;
        unsigned long by;
    } cases[] = {
        {"INF", text(received_barcode(shown)), "", &Report::requests, 1},
        {"INF", text(statistics("2026-12-07 07:00:00", "received=9 answered=7; since the start ...")), "",
         &Report::statistics_lines, 1},
        {"INF", text(unknown_barcodes("2026-12-07 07:00:00", " none")), "", &Report::other_lines, 0},
        {"INF", text(refused(shown, refusal_echo)), "", &Report::refused, 1},
        {"WRN", text(barcode_not_defined(shown)), "Barcode \"*\" not defined in database.", &Report::other_lines, 0},
        {"WRN", text(no_format_specified(shown)), "No format specified for barcode '*'", &Report::other_lines, 0},
        {"WRN", text(format_not_defined(shown)), "Unknown format for barcode '*': using default.", &Report::other_lines, 0},
        {"WRN", text(answer_not_sent(1601, "10.0.0.1.9000", 10040)),
         "Answer of N bytes to N.N.N.N.N not sent: WSAGetLastError=N", &Report::unsent, 1},
        {"WRN", text(left_out(12, "2026-12-07 07:59:00", 64)),
         "Left out N log lines of received datagrams since N-N-N N:N:N: over the log's budget of N kB a second (a sender "
         "flooding the port?).",
         &Report::left_out, 12},
        {"WRN", lost_lines.text(1528, "No space left on device"), "Lost * log lines: *", &Report::lost, 1528},
        {"WRN", text(could_not_stat(path)), "Could not stat *: force reloading.", &Report::other_lines, 0},
        {"WRN", text(read_error(path)), "Read error in *: it is read again at the next request.", &Report::other_lines, 0},
        {"WRN", could_not_open.text(path + ": No such file"), "Could not open *", &Report::other_lines, 0},
        {"WRN", could_not_read.text(path + ": out of memory."), "Could not read *", &Report::other_lines, 0},
        {"WRN", no_fallback_barcode.text(shown), "Unknown barcode * and no backup barcode [] available",
         &Report::no_fallback, 1},
        {"WRN", no_fallback_format.text(shown), "Unknown format for barcode * and no backup format [] available",
         &Report::no_fallback, 1},
        {"WRN", file_not_found.text("barcodes file", path, "."), "ERROR: barcodes file \"*\" not found.",
         &Report::file_failures, 1},
        {"", no_fallback_barcode.text(shown), "", &Report::no_fallback, 1},
        {"", file_not_found.text("format file", path, ""), "", &Report::file_failures, 1},
    };
    for (const auto& c : cases) {
        Report r;
        read_log_line(r, *c.label ? "[2026-12-07 08:00:00 #1 " + std::string(c.label) + "] " + c.message : c.message);
        EXPECT_EQ(r.*c.counted, c.by) << c.message;
        EXPECT_EQ(r.other_lines, 0u) << c.message;
        // Only a request's lines tell that the level was 3: a report asked for is written at every level.
        if (std::string(c.label) == "INF") {
            EXPECT_EQ(r.has[1], c.counted == &Report::requests || c.counted == &Report::refused) << c.message;
        }
        std::vector<std::pair<std::string, unsigned long>> kinds;
        if (!c.kind.empty()) kinds.emplace_back(c.kind, 1);
        EXPECT_EQ(warnings_by_kind(r), kinds) << c.message;
        // The values too, where the report keeps them.
        if (c.message == text(barcode_not_defined(shown))) {
            ASSERT_EQ(most_asked_first(r).size(), 1u);
            EXPECT_EQ(most_asked_first(r)[0].first, shown_text);
        }
        if (c.counted == &Report::statistics_lines) {
            EXPECT_EQ(r.statistics, (std::vector<std::pair<std::string, unsigned long long>>{{"received", 9}, {"answered", 7}}));
        }
    }
}

// A refusal is a request of its hour not answered; lost lines are summed.
TEST(LogReport, RefusalsAreNotAnsweredAndLostLinesAddUp)
{
    Report r;
    read_log_line(r, "[2026-12-07 08:00:00 #1 INF] Received barcode \"L1\"");
    read_log_line(r, "[2026-12-07 08:00:00 #2 INF] " + msg::refused.text("L1", msg::refusal_over_limit));
    for (int i = 0; i < 2; ++i) read_log_line(r, "[2026-12-07 08:00:01 #3 WRN] " + msg::lost_lines.text(7, "Disk full"));
    unsigned long not_answered = 0;
    for (const auto& h : hours_in_order(r)) not_answered += h.second.not_answered;
    EXPECT_EQ(not_answered, 1u);
    EXPECT_EQ(r.lost, 14u);
}

// What the checker reports of a text's escapes follows the grammar that
// text_to_bytes reads: one problem a row.
TEST(Escapes, ProblemsAreFoundAsTheAnswerReadsThem)
{
    using P = Escape_problem;
    const struct {
        std::string text;
        std::vector<std::pair<P::Kind, std::size_t>> problems;
    } cases[] = {
        {"\\n\\r\\t\\e\\\\\\#\\$\\[\\]\\x41\\xfF", {}},
        {"a\\", {{P::at_end, 1}}},
        {"\\x4", {{P::short_hex, 0}}},
        {"\\xG1", {{P::short_hex, 0}}},
        {"\\x4\\", {{P::short_hex, 0}}}, // the \x takes the backslash: it escapes nothing after the text
        {"\\x4 \\", {{P::short_hex, 0}, {P::at_end, 4}}},
        {"C:\\new\\%", {{P::no_escape, 6}}},
        {"\\\\%", {}}, // an escaped backslash, then a plain '%'
    };
    for (const auto& c : cases) {
        std::vector<std::pair<P::Kind, std::size_t>> found;
        for (const P& p : escape_problems(c.text)) found.emplace_back(p.kind, p.at);
        EXPECT_EQ(found, c.problems) << c.text;
    }
}

// A finding's kind is its fault, whatever its values; a line for each kind
// names the values of its other findings where they differ.
TEST(Findings, AKindIsItsFaultWhateverItsValues)
{
    const struct {
        const char* message;
        const char* kind;
    } cases[] = {
        {"barcode '1' names format '250 ml', which formats.ini lacks", "barcode '*' names format '*', which formats.ini lacks"},
        {"the answer to barcode '7' is 70000 bytes", "the answer to barcode '*' is N bytes"},
        {"ends in 2 (a shop's own code may be so) for '12'", "ends in N (a shop's own code may be so) for '*'"},
        {"Barcode \"a'b\" not defined", "Barcode \"*\" not defined"},
    };
    for (const auto& c : cases) EXPECT_EQ(values_blanked(c.message), c.kind) << c.message;

    Findings findings;
    for (int i = 0; i < 8; ++i)
        findings.add(0, 10 - i, false, "barcode '" + std::to_string(i) + "' names format 'f', which is missing");
    findings.add(0, 20, true, "barcode '9' names format 'f', which is missing"); // an error is a kind of its own
    std::ostringstream out;
    findings.write(out, {"in.csv"}, "warning: ", "", "row");
    EXPECT_EQ(out.str(), "in.csv:3: warning: barcode '7' names format 'f', which is missing (and 7 more rows like it, "
                         "at lines 4 ('6'), 5 ('5'), 6 ('4'), 7 ('3'), 8 ('2'), ...)\n"
                         "in.csv:20: barcode '9' names format 'f', which is missing\n");
    EXPECT_EQ(findings.count(), 9u);
}

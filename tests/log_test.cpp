#include "log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "log_messages.h"
#include "test_util.h"

// The level rules and the numbering of lines, through the real log.
namespace {

// Writes a line of each label at each level, counting the messages made
// into `evaluated`.
void write_at_every_level(int& evaluated)
{
    auto count = [&evaluated]() { return ++evaluated; };
    for (unsigned level : {0u, 2u, 3u, 4u, 5u}) {
        set_log_level(level);
        LOG_WRN("w" << level << count());
        LOG_INF("i" << level << count());
        LOG_DBG("d" << level << count());
        LOG_DMP("m" << level << count());
    }
    set_log_level(3);
}

} // namespace

TEST(Log, LevelDecidesWhichLinesAreWritten)
{
    Log_capture capture;
    int evaluated = 0;
    write_at_every_level(evaluated);
    std::vector<std::string> plain, positioned; // DBG and DMP lines carry the source position
    for (const std::string& l : capture.lines())
        (l.compare(0, 3, "DBG") == 0 || l.compare(0, 3, "DMP") == 0 ? positioned : plain).push_back(l);
    EXPECT_EQ(plain, (std::vector<std::string>{"WRN w01", "WRN w22", "WRN w33", "INF i34", "WRN w45", "INF i46", "WRN w58", "INF i59"}));
    ASSERT_EQ(positioned.size(), 3u);
    const char* const positioned_messages[] = {"DBG d47", "DBG d510", "DMP m511"};
    std::regex with_position(R"((DBG|DMP) tests/log_test\.cpp:\d+ ([dm][45]\d+))");
    for (int i = 0; i < 3; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(positioned[i], m, with_position)) << positioned[i];
        EXPECT_EQ(m[1].str() + " " + m[2].str(), positioned_messages[i]);
    }
    EXPECT_EQ(evaluated, 11); // suppressed lines evaluate nothing
}

// Only lines written are numbered: the numbers run on without gaps.
TEST(Log, LinesWrittenAreNumberedWithoutGaps)
{
    Log_capture capture;
    int evaluated = 0;
    write_at_every_level(evaluated);
    std::vector<unsigned long> numbers; // of a log that may have been written before
    for (const std::string& text : split_lines(read_file(capture.path() + "/log"))) {
        Log_line line;
        ASSERT_TRUE(line.read(text)) << text;
        numbers.push_back(line.number);
    }
    ASSERT_EQ(numbers.size(), 11u);
    for (std::size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], numbers[0] + i);
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
}

// A log file that reaches its limit moves to FILE.1 (FILE.1 to FILE.2, and
// so on), keeping as many as asked and not one more; the lines run on
// without a gap into the new file, which says so first. Where FILE.2 cannot
// be replaced, FILE.1 stays as it is and FILE grows, tried again a while
// later; once it can, the next file rotates at the limit again.
TEST(Log, FileIsRotatedAtItsLimit)
{
    namespace fs = std::filesystem;
    struct Case {
        const char* what;
        std::uint64_t limit;
        unsigned keep;
        std::vector<std::string> files; // after 30 lines of about 40 bytes (70 where stuck)
    };
    const Case cases[] = {
        {"two kept", 400, 2, {"x.log", "x.log.1", "x.log.2"}},
        {"none kept", 400, 0, {"x.log"}},
        {"never rotated", 0, 2, {"x.log"}},
        {"x.log.2 cannot be replaced, then can", 1000, 2, {"x.log", "x.log.1", "x.log.2"}},
    };
    const auto write = [](int from, int to) {
        for (int i = from; i < to; ++i) LOG_WRN("line " << (i < 10 ? "0" : "") << i);
    };
    for (const Case& c : cases) {
        Temp_dir dir;
        const bool stuck = c.limit == 1000;
        if (stuck) {
            fs::create_directories(dir.file("x.log.2/full"));
            write_file(dir.file("x.log.1"), "");
        }
        set_log_rotation({c.limit, c.keep});
        set_log_file(dir.file("x.log"));
        write(0, 30);
        if (stuck) {
            const std::string said = "WRN Log file " + dir.file("x.log") + " not rotated at ";
            const std::vector<std::string> so_far = log_messages(read_file(dir.file("x.log")));
            const auto not_rotated = std::count_if(so_far.begin(), so_far.end(),
                                                   [&](const std::string& m) { return m.rfind(said, 0) == 0; });
            EXPECT_TRUE(not_rotated > 0 && not_rotated <= 2) << c.what << ": tried again at once, " << not_rotated;
            EXPECT_EQ(read_file(dir.file("x.log.1")), "") << c.what;
            fs::remove_all(dir.file("x.log.2"));
            write(30, 70);
        }
        close_log_file();
        set_log_rotation(Log_rotation{});
        std::vector<std::string> found, lines; // lines: oldest first
        for (const auto& entry : fs::directory_iterator(dir.path()))
            if (entry.is_regular_file()) found.push_back(entry.path().filename().string());
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, c.files) << c.what;
        for (const char* name : {"x.log.2", "x.log.1", "x.log"})
            for (const std::string& line : split_lines(read_file(dir.file(name)))) lines.push_back(line);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            Log_line line, next;
            ASSERT_TRUE(line.read(lines[i])) << c.what << ": " << lines[i];
            if (i + 1 < lines.size() && next.read(lines[i + 1])) {
                EXPECT_EQ(next.number, line.number + 1) << c.what;
            }
        }
        const std::vector<std::string> messages = log_messages(read_file(dir.file("x.log")));
        EXPECT_NE(std::find(messages.begin(), messages.end(), stuck ? "WRN line 69" : "WRN line 29"), messages.end());
        const std::string rotated = "INF Log file " + dir.file("x.log") + " rotated at ";
        EXPECT_EQ(messages[0].rfind(rotated, 0) == 0, c.limit > 0) << c.what << ": " << messages[0];
        if (c.limit > 0 && messages[0].rfind(rotated, 0) == 0) {
            EXPECT_LT(std::stoull(messages[0].substr(rotated.size())), c.limit + 200) << c.what << ": " << messages[0];
            EXPECT_LT(read_file(dir.file("x.log")).size(), c.limit + 200) << c.what;
        }
    }
}

// Each line carries the time it was written: a line a second later, its own.
TEST(Log, EachLineCarriesTheTimeItWasWritten)
{
    Temp_dir dir;
    set_log_file(dir.file("log"));
    std::vector<std::string> expected;
    for (int line = 0; line < 2; ++line) {
        const std::time_t began = std::time(nullptr);
        if (line == 1) wait_until([&] { return std::time(nullptr) != began; }, 2000);
        char when[80];
        local_time_text(std::time(nullptr), when);
        expected.push_back("[" + std::string(when) + " #");
        LOG_WRN("at " << line);
    }
    close_log_file();
    const std::vector<std::string> lines = split_lines(read_file(dir.file("log")));
    ASSERT_EQ(lines.size(), 2u);
    for (int line = 0; line < 2; ++line) EXPECT_EQ(lines[line].substr(0, expected[line].size()), expected[line]);
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

// A line is read in its frame as the log writes it, or not at all; a
// statistics line's figures are read part by part as the server writes them.
TEST(LogFormat, TheFrameIsReadAsWritten)
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
        {"[2026-12-07 17:05:00 #7 WRN]x y", 0, "", ""},
        {"[2026-12-07 17:05:00 # WRN] x", 0, "", ""},          // no number
        {"[2026-12-07 17:05:00 #7xWRN] x", 0, "", ""},         // no blank after the number
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
}

// A statistics line's figures are read part by part: since the last report,
// since the start, and of the files.
TEST(LogFormat, TheFiguresOfEachPartAreRead)
{
    const std::string text = "received=3 figures answered=2; since the start 2026-12-07 08:00:00: received=9; files: "
                             "barcodes_entries=1 barcodes_last_reload_ms=0.5";
    const struct {
        figures::Part part;
        std::string_view whole; // without its marker
        std::vector<std::string> figures;
    } parts[] = {
        {figures::Part::since_report, "received=3 figures answered=2", {"received=3", "answered=2"}},
        {figures::Part::since_start, "received=9", {"received=9"}},
        {figures::Part::files, "barcodes_entries=1 barcodes_last_reload_ms=0.5",
         {"barcodes_entries=1", "barcodes_last_reload_ms=0.5"}},
    };
    for (const auto& p : parts) {
        std::string_view part = figures::part(text, p.part), name, value;
        EXPECT_EQ(part, p.whole);
        std::vector<std::string> read;
        while (figures::next(part, name, value)) read.push_back(std::string(name) + "=" + std::string(value));
        EXPECT_EQ(read, p.figures);
    }
}

#include "log.h"

#include "error.h"
#include "log_messages.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <ostream>
#include <streambuf>

namespace {

// What was lost since the last line that could be written.
struct Lost_lines {
    unsigned long count = 0;
    bool cut = false; // the destination ends inside a line
    int error = 0;
};

// The stream buffer of the line being written: it appends to a string that
// keeps its memory, so that a line costs no allocation once one as long
// was written.
class Line_buffer : public std::streambuf {
public:
    std::string& text() { return my_text; }

protected:
    int_type overflow(int_type c) override
    {
        if (!traits_type::eq_int_type(c, traits_type::eof())) my_text += traits_type::to_char_type(c);
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        my_text.append(s, static_cast<std::size_t>(n));
        return n;
    }

private:
    std::string my_text;
};

// The log's whole state.
struct Log_state {
    std::uint32_t level = 3;
    std::FILE* file = nullptr; // unbuffered; none: standard error
    std::string file_name;     // of `file`
    std::uint64_t file_size = 0;
    Log_rotation rotation;
    std::uint64_t rotate_at = rotation.bytes; // the file's size that rotates it next
    bool rotating = false; // the rotation's own line rotates nothing
    Line_buffer line_buffer;
    std::ostream line{&line_buffer}; // the line being written
    bool held = false;         // lines wait in held_lines for log_flush
    bool quiet = false;        // lines are dropped
    unsigned long warnings = 0; // WRN lines so far
    unsigned long left_out = 0; // request lines left out over the budget so far
    std::string held_lines;
    bool request_lines = false; // lines draw on `budget`
    Log_budget budget;
    // Lines left out before the budget allowed one again: said before the
    // next line.
    Log_budget::Left_out to_note;
    Log_budget::Clock::time_point to_note_at;
    Lost_lines lost;
    // The number of the last line, and the time text of the second it was
    // written in, which a busy log reuses.
    std::uint32_t count = 0;
    std::time_t second = -1;
    char when[80] = "0000-00-00 00:00:00"; // while the clock cannot be read
};
Log_state the_log;

} // namespace

void local_time_text(std::time_t time, char (&text)[80])
{
    const std::tm* local = std::localtime(&time);
    if (local == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local) == 0)
        std::strcpy(text, "0000-00-00 00:00:00");
}

namespace {

// "[2026-12-07 17:05:00 #7 WRN] " (see Log_line), taking the next line
// number.
struct Line_prefix {
    char text[Log_line::longest_frame];
};
Line_prefix line_prefix(const char* label)
{
    const std::time_t now = std::time(nullptr);
    if (now != the_log.second) {
        the_log.second = now;
        local_time_text(now, the_log.when);
    }
    ++the_log.count;
    Line_prefix prefix;
    Log_line::write_frame(prefix.text, the_log.when, static_cast<unsigned long>(the_log.count), label);
    return prefix;
}

void rotate_log_file();

// Writes whole lines in one write. After a failure, the next write first
// ends a cut line and says how many lines were lost. A log file that grew
// to its limit is rotated after the write.
void write_lines(const std::string& lines)
{
    std::FILE* out = the_log.file != nullptr ? the_log.file : stderr;
    Lost_lines& lost = the_log.lost;
    std::string note;
    if (lost.count > 0) {
        if (lost.cut) note += '\n';
        note += line_prefix("WRN").text + msg::lost_lines.text(lost.count, std::strerror(lost.error)) + "\n";
    }
    const std::size_t note_size = note.size();
    const std::string* text = &lines; // not copied in the usual case
    if (note_size > 0) text = &(note += lines);
    std::clearerr(out);
    const std::size_t written = std::fwrite(text->data(), 1, text->size(), out);
    if (written == text->size()) {
        lost = Lost_lines{};
    } else {
        lost.error = errno;
        if (written >= note_size)
            lost.count = 0; // the note got out
        else if (note_size > 0)
            ++lost.count; // the note's own number is lost too
        const std::size_t from = written > note_size ? written - note_size : 0;
        lost.count += static_cast<unsigned long>(std::count(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end(), '\n'));
        if (written > 0) lost.cut = (*text)[written - 1] != '\n';
    }
    // Last: the rotation writes a line of its own, over the line buffer.
    if (out == the_log.file) {
        the_log.file_size += written;
        const bool due = the_log.rotation.bytes > 0 && the_log.file_size >= the_log.rotate_at;
        if (due && !the_log.rotating) rotate_log_file();
    }
}

} // namespace

namespace {

// "Left out N log lines ... since TIME: ..." for the lines left out that
// the_log.to_note holds, once.
void note_left_out()
{
    const Log_budget::Left_out left_out = the_log.to_note;
    the_log.to_note = Log_budget::Left_out{};
    char since[80];
    const auto ago = std::chrono::duration_cast<std::chrono::seconds>(the_log.to_note_at - left_out.since).count();
    local_time_text(std::time(nullptr) - ago, since);
    log("WRN") << msg::left_out(left_out.lines, since, Log_budget::bytes_per_second / 1000);
    log_end_line();
}

void to_note(const Log_budget::Left_out& resumed, Log_budget::Clock::time_point now)
{
    the_log.to_note = resumed;
    the_log.to_note_at = now;
}

} // namespace

std::ostream& log(const char* label)
{
    if (the_log.to_note.lines > 0) note_left_out(); // a line of its own, before this one
    if (label[0] == 'W') ++the_log.warnings;
    the_log.line_buffer.text().clear();
    the_log.line << line_prefix(label).text;
    return the_log.line;
}

void log_end_line()
{
    if (the_log.quiet) return;
    the_log.line << '\n';
    const std::string& line = the_log.line_buffer.text();
    if (the_log.request_lines) the_log.budget.spend(line.size());
    if (the_log.held)
        the_log.held_lines += line;
    else
        write_lines(line);
}

void Log_budget::refill(Clock::time_point now)
{
    static_assert(1000000000 % bytes_per_second == 0, "whole nanoseconds a byte");
    const std::int64_t ns_per_byte = 1000000000 / bytes_per_second;
    if (!my_started) {
        my_started = true;
        my_refilled = now;
    }
    // Refilled by whole bytes; the time of a part byte counts next time.
    const std::int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - my_refilled).count();
    const std::int64_t gained = ns > 0 ? ns / ns_per_byte : 0;
    if (gained >= burst - my_balance) {
        my_balance = burst;
        my_refilled = now;
    } else {
        my_balance += gained;
        my_refilled += std::chrono::nanoseconds(gained * ns_per_byte);
    }
}

void Log_budget::take_left_out(Left_out& resumed)
{
    resumed = my_left_out;
    my_left_out = Left_out{};
}

bool Log_budget::allows(Clock::time_point now, Left_out& resumed)
{
    resumed = Left_out{};
    refill(now);
    if (my_left_out.lines > 0) {
        if (my_balance > 0 && (quiet_for_a_second(now) || my_balance == burst)) {
            take_left_out(resumed);
            return true;
        }
    } else if (my_balance > 0) {
        return true;
    } else {
        my_left_out.since = now;
    }
    ++my_left_out.lines;
    my_last_left_out = now;
    return false;
}

bool Log_budget::flood_over(Clock::time_point now, Left_out& resumed)
{
    resumed = Left_out{};
    if (my_left_out.lines == 0 || !quiet_for_a_second(now)) return false;
    take_left_out(resumed);
    return true;
}

Log_scope::Log_scope(bool request) : my_was(the_log.request_lines)
{
    the_log.request_lines = request;
}

Log_scope::~Log_scope()
{
    the_log.request_lines = my_was;
}

bool log_line_allowed()
{
    if (!the_log.request_lines) return true;
    Log_budget::Left_out resumed;
    const Log_budget::Clock::time_point now = Log_budget::Clock::now();
    if (!the_log.budget.allows(now, resumed)) {
        ++the_log.left_out;
        return false;
    }
    if (resumed.lines > 0) to_note(resumed, now);
    return true;
}

bool stream_line_allowed(std::size_t bytes)
{
    if (!log_line_allowed()) return false;
    if (the_log.to_note.lines > 0) note_left_out(); // before the line on the other stream, as in the log
    if (the_log.request_lines) the_log.budget.spend(bytes);
    return true;
}

void log_note_flood_over()
{
    Log_budget::Left_out resumed;
    const Log_budget::Clock::time_point now = Log_budget::Clock::now();
    if (the_log.budget.flood_over(now, resumed)) {
        to_note(resumed, now);
        note_left_out();
    }
}

void log_note_left_out()
{
    if (the_log.to_note.lines > 0) note_left_out();
    Log_budget::Left_out left_out;
    the_log.budget.take_left_out(left_out);
    if (left_out.lines == 0) return;
    to_note(left_out, Log_budget::Clock::now());
    note_left_out();
}

void set_log_quiet(bool quiet)
{
    the_log.quiet = quiet;
}

unsigned long log_warnings()
{
    return the_log.warnings;
}

unsigned long log_lines_left_out()
{
    return the_log.left_out;
}

void log_hold()
{
    the_log.held = true;
}

void log_flush()
{
    the_log.held = false;
    if (the_log.held_lines.empty()) return;
    write_lines(the_log.held_lines);
    the_log.held_lines.clear(); // keeps its room for the next batch
}

unsigned get_log_level()
{
    return the_log.level;
}

void set_log_level(unsigned level)
{
    the_log.level = level > 5 ? 5 : level;
}

void close_log_file()
{
    if (the_log.file != nullptr) std::fclose(the_log.file);
    the_log.file = nullptr;
}

void set_log_file(std::string filename)
{
    close_log_file();
    std::FILE* file = std::fopen(filename.c_str(), "ab");
    if (file == nullptr) file = std::fopen(filename.c_str(), "wb");
    if (file == nullptr) {
        LOG_WRN(msg::could_not_open(errno_error("log file " + filename).text + ". The log goes to standard error."));
        return;
    }
    // Each line leaves in one write of its own, never in a buffer's pieces.
    std::setvbuf(file, nullptr, _IONBF, 0);
    the_log.file = file;
    the_log.file_name = filename;
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(std::filesystem::u8path(filename), error);
    the_log.file_size = error ? 0 : size;
    the_log.rotate_at = the_log.rotation.bytes;
}

void set_log_rotation(const Log_rotation& rotation)
{
    the_log.rotation = rotation;
    the_log.rotate_at = rotation.bytes;
}

namespace {

// FILE.1 to FILE.2 and so on, FILE to FILE.1, then FILE afresh (see
// set_log_rotation). The first step that fails ends the rotation, so that
// no file is renamed over one that could not move on: nothing is lost but
// the oldest file.
void rotate_log_file()
{
    namespace fs = std::filesystem;
    const std::string name = the_log.file_name;
    const std::uint64_t size = the_log.file_size;
    const auto numbered = [&](unsigned n) { return fs::u8path(name + "." + std::to_string(n)); };
    close_log_file();
    the_log.rotating = true;
    std::error_code error;
    if (the_log.rotation.keep == 0) {
        fs::remove(fs::u8path(name), error);
    } else {
        fs::remove(numbered(the_log.rotation.keep), error);
        for (unsigned n = the_log.rotation.keep; n > 1 && !error; --n)
            if (fs::exists(numbered(n - 1), error)) fs::rename(numbered(n - 1), numbered(n), error);
        if (!error) fs::rename(fs::u8path(name), numbered(1), error);
    }
    set_log_file(name);
    if (error) {
        LOG_WRN("Log file " << name << " not rotated at " << size << " bytes: " << error.message()
                            << ". It is tried again once it grew by another " << the_log.rotation.bytes / 8
                            << " bytes.");
        the_log.rotate_at = the_log.file_size + the_log.rotation.bytes / 8;
    } else if (the_log.rotation.keep == 0) {
        LOG_INF("Log file " << name << " rotated at " << size << " bytes: the earlier lines are dropped");
    } else {
        LOG_INF("Log file " << name << " rotated at " << size << " bytes: the earlier lines are in " << name << ".1");
    }
    the_log.rotating = false;
}

} // namespace

void reopen_log_file()
{
    if (the_log.file == nullptr) return;
    set_log_file(the_log.file_name);
    LOG_INF("Log file " << the_log.file_name << " reopened");
}

bool log_goes_to_file()
{
    return the_log.file != nullptr;
}

void report_failure(const std::string& message)
{
    if (!stream_line_allowed(message.size() + 1)) return; // a request's, over the log's budget
    log_flush(); // the log lines before it come first
    std::cerr.clear(); // a full disk or a closed pipe once must not silence it for good
    std::cerr << message << std::endl;
    if (log_goes_to_file()) LOG_WRN(message);
}

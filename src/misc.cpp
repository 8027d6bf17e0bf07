#include "misc.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

namespace {

std::uint32_t the_log_level = 3;
std::FILE* the_log_file = nullptr; // unbuffered; none: standard error
std::string the_log_file_name;     // of the_log_file
std::ostringstream the_log_line;   // the line being written
bool the_log_held = false;         // lines wait in the_held_lines for log_flush
bool the_log_quiet = false;        // lines are dropped
unsigned long the_warnings = 0;    // WRN lines so far
unsigned long the_left_out = 0;    // request lines left out over the budget so far
std::string the_held_lines;
bool the_request_lines = false;    // lines draw on the_log_budget
Log_budget the_log_budget;

// What was lost since the last line that could be written.
struct Lost_lines {
    unsigned long count = 0;
    bool cut = false; // the destination ends inside a line
    int error = 0;
};
Lost_lines the_lost_lines;

// Appends the escaped form of one byte as bytes_to_text writes it.
void append_escaped(std::string& out, unsigned char byte)
{
    static const char hex_digits[] = "0123456789abcdef";
    switch (byte) {
    case 0x09: out += "\\t"; return;
    case 0x0a: out += "\\n"; return;
    case 0x0d: out += "\\r"; return;
    case 0x1d: out += "\\e"; return;
    case '\\': out += "\\\\"; return;
    case '#':
    case '$':
    case '[':
    case ']':
        out += '\\';
        out += static_cast<char>(byte);
        return;
    }
    if (byte < 0x20 || byte >= 0x80) {
        out += "\\x";
        out += hex_digits[byte >> 4];
        out += hex_digits[byte & 0x0f];
    } else {
        out += static_cast<char>(byte);
    }
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

void local_time_text(std::time_t time, char (&text)[80])
{
    const std::tm* local = std::localtime(&time);
    if (local == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local) == 0)
        std::strcpy(text, "0000-00-00 00:00:00");
}

namespace {

// "[2026-12-07 17:05:00 #7 WRN] ", taking the next line number.
std::string line_prefix(const char* label)
{
    static std::uint32_t count = 0;
    // The time text changes once a second; a busy log reuses it meanwhile.
    static std::time_t last = -1;
    static char when[80] = "0000-00-00 00:00:00"; // while the clock cannot be read
    std::time_t now = std::time(nullptr);
    if (now != last) {
        last = now;
        local_time_text(now, when);
    }
    ++count;
    return std::string("[") + when + " #" + std::to_string(count) + " " + label + "] ";
}

// Writes whole lines in one write. After a failure, the next write first
// ends a cut line and says how many lines were lost.
void write_lines(const std::string& lines)
{
    std::FILE* out = the_log_file != nullptr ? the_log_file : stderr;
    Lost_lines& lost = the_lost_lines;
    std::string note;
    if (lost.count > 0) {
        if (lost.cut) note += '\n';
        note += line_prefix("WRN") + "Lost " + std::to_string(lost.count) +
                " log lines: " + std::strerror(lost.error) + "\n";
    }
    const std::size_t note_size = note.size();
    const std::string* text = &lines; // not copied in the usual case
    if (note_size > 0) text = &(note += lines);
    std::clearerr(out);
    const std::size_t written = std::fwrite(text->data(), 1, text->size(), out);
    if (written == text->size()) {
        lost = Lost_lines{};
        return;
    }
    lost.error = errno;
    if (written >= note_size)
        lost.count = 0; // the note got out
    else if (note_size > 0)
        ++lost.count; // the note's own number is lost too
    const std::size_t from = written > note_size ? written - note_size : 0;
    lost.count += static_cast<unsigned long>(std::count(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end(), '\n'));
    if (written > 0) lost.cut = (*text)[written - 1] != '\n';
}

} // namespace

std::ostream& log(const char* label)
{
    if (label[0] == 'W') ++the_warnings;
    the_log_line.str(std::string());
    the_log_line << line_prefix(label);
    return the_log_line;
}

void log_end_line()
{
    if (the_log_quiet) return;
    the_log_line << '\n';
    const std::string line = the_log_line.str();
    if (the_request_lines) the_log_budget.spend(line.size());
    if (the_log_held)
        the_held_lines += line;
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

Log_scope::Log_scope(bool request) : my_was(the_request_lines)
{
    the_request_lines = request;
}

Log_scope::~Log_scope()
{
    the_request_lines = my_was;
}

namespace {

// "Left out N log lines ... since TIME: ..." for what `resumed` tells.
void note_left_out(const Log_budget::Left_out& resumed, Log_budget::Clock::time_point now)
{
    char since[80];
    local_time_text(std::time(nullptr) - std::chrono::duration_cast<std::chrono::seconds>(now - resumed.since).count(), since);
    log("WRN") << "Left out " << resumed.lines << " log lines of received datagrams since " << since
               << ": over the log's budget of " << Log_budget::bytes_per_second / 1000
               << " kB a second (a sender flooding the port?).";
    log_end_line();
}

} // namespace

bool log_line_allowed()
{
    if (!the_request_lines) return true;
    Log_budget::Left_out resumed;
    const Log_budget::Clock::time_point now = Log_budget::Clock::now();
    if (!the_log_budget.allows(now, resumed)) {
        ++the_left_out;
        return false;
    }
    if (resumed.lines > 0) note_left_out(resumed, now);
    return true;
}

bool stream_line_allowed(std::size_t bytes)
{
    if (!log_line_allowed()) return false;
    if (the_request_lines) the_log_budget.spend(bytes);
    return true;
}

void log_note_flood_over()
{
    Log_budget::Left_out resumed;
    const Log_budget::Clock::time_point now = Log_budget::Clock::now();
    if (the_log_budget.flood_over(now, resumed)) note_left_out(resumed, now);
}

void set_log_quiet(bool quiet)
{
    the_log_quiet = quiet;
}

unsigned long log_warnings()
{
    return the_warnings;
}

unsigned long log_lines_left_out()
{
    return the_left_out;
}

void log_hold()
{
    the_log_held = true;
}

void log_flush()
{
    the_log_held = false;
    if (the_held_lines.empty()) return;
    write_lines(the_held_lines);
    the_held_lines.clear(); // keeps its room for the next batch
}

unsigned get_log_level()
{
    return the_log_level;
}

void set_log_level(unsigned level)
{
    the_log_level = level > 5 ? 5 : level;
}

void close_log_file()
{
    if (the_log_file != nullptr) std::fclose(the_log_file);
    the_log_file = nullptr;
}

void set_log_file(std::string filename)
{
    close_log_file();
    std::FILE* file = std::fopen(filename.c_str(), "ab");
    if (file == nullptr) file = std::fopen(filename.c_str(), "wb");
    if (file == nullptr) {
        LOG_WRN("Could not open log file " << filename << ": " << std::strerror(errno)
                                           << ". The log goes to standard error.");
        return;
    }
    // Each line leaves in one write of its own, never in a buffer's pieces.
    std::setvbuf(file, nullptr, _IONBF, 0);
    the_log_file = file;
    the_log_file_name = filename;
}

void reopen_log_file()
{
    if (the_log_file == nullptr) return;
    set_log_file(the_log_file_name);
    LOG_INF("Log file " << the_log_file_name << " reopened");
}

bool log_goes_to_file()
{
    return the_log_file != nullptr;
}

std::string text_to_bytes(std::string line)
{
    std::string out;
    out.reserve(line.size());
    const std::size_t n = line.size();
    std::size_t i = 0;
    while (i < n) {
        char c = line[i];
        if (c != '\\') {
            out += c;
            ++i;
            continue;
        }
        if (i + 1 == n) {
            out += '\\';
            break;
        }
        char next = line[i + 1];
        switch (next) {
        case 'n': out += '\x0a'; break;
        case 'r': out += '\x0d'; break;
        case 't': out += '\x09'; break;
        case 'e': out += '\x1b'; break;
        case '\\':
        case '#':
        case '$':
        case '[':
        case ']': out += next; break;
        case 'x': {
            // Up to two digits; the scan stops at the first non-digit but
            // both characters after the x are consumed.
            int value = 0;
            for (std::size_t k = i + 2; k < i + 4 && k < n; ++k) {
                int digit = hex_value(line[k]);
                if (digit < 0) break;
                value = value * 16 + digit;
            }
            out += static_cast<char>(value);
            i += 4;
            continue;
        }
        default:
            out += '\\';
            out += next;
            break;
        }
        i += 2;
    }
    return out;
}

std::string bytes_to_text(std::string txt)
{
    std::string out;
    out.reserve(txt.size() + txt.size() / 2);
    for (char c : txt) append_escaped(out, static_cast<unsigned char>(c));
    return out;
}

std::string bytes_to_format_text(const std::string& bytes)
{
    std::string text;
    text.reserve(bytes.size() + bytes.size() / 2);
    for (char c : bytes) {
        if (c == '\x1b')
            text += "\\e";
        else if (c == '\x1d')
            text += "\\x1d";
        else if (c == '\x7f')
            text += "\\x7f"; // DEL, which bytes_to_text leaves as it is, shows nothing
        else
            append_escaped(text, static_cast<unsigned char>(c));
    }
    return text;
}

namespace {

// Appends a byte as escape_control_bytes writes it.
void append_for_log(std::string& out, unsigned char byte)
{
    if (byte == 0x7f)
        out += "\\x7f"; // bytes_to_text leaves DEL as it is
    else if (byte < 0x20 || byte > 0x7f)
        append_escaped(out, byte);
    else
        out += static_cast<char>(byte);
}

} // namespace

std::string escape_control_bytes(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) append_for_log(out, static_cast<unsigned char>(c));
    return out;
}

std::string escape_barcode(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\x1d')
            out += "\\x1d"; // not \e, which is ESC wherever else it is written
        else
            append_for_log(out, static_cast<unsigned char>(c));
    }
    return out;
}

const std::string& Shown_barcode::text() const
{
    if (my_made) return my_text;
    my_made = true;
    if (my_barcode.size() <= most_bytes) {
        my_text = escape_barcode(my_barcode);
    } else {
        my_text = escape_barcode(my_barcode.substr(0, most_bytes)) + "... (" +
                  std::to_string(my_barcode.size()) + " bytes)";
    }
    return my_text;
}

std::ostream& operator<<(std::ostream& out, const Shown_barcode& barcode)
{
    return out << barcode.text();
}

#include "misc.h"

#include <cstdint>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>

namespace {

std::uint32_t the_log_level = 3;
std::ofstream the_log_file;

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

std::ostream& log(const char* label)
{
    static std::uint32_t count = 0;
    std::ostream& out = the_log_file.is_open() ? static_cast<std::ostream&>(the_log_file)
                                               : std::cerr;
    // The time text changes once a second; a busy log reuses it meanwhile.
    static std::time_t last = -1;
    static char when[80] = "0000-00-00 00:00:00"; // while the clock cannot be read
    std::time_t now = std::time(nullptr);
    if (now != last) {
        last = now;
        const std::tm* local = std::localtime(&now);
        if (local == nullptr || std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", local) == 0)
            std::strcpy(when, "0000-00-00 00:00:00");
    }
    ++count;
    out << '[' << when << " #" << count << ' ' << label << "] ";
    return out;
}

unsigned get_log_level()
{
    return the_log_level;
}

void set_log_level(unsigned level)
{
    the_log_level = level > 5 ? 5 : level;
}

void set_log_file(std::string filename)
{
    if (the_log_file.is_open()) the_log_file.close();
    the_log_file.clear();
    the_log_file.open(filename, std::ios::out | std::ios::app);
    if (!the_log_file.is_open()) {
        the_log_file.clear();
        the_log_file.open(filename, std::ios::out | std::ios::trunc);
    }
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

std::string escape_control_bytes(const std::string& bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte == 0x7f)
            out += "\\x7f"; // bytes_to_text leaves DEL as it is
        else if (byte < 0x20 || byte > 0x7f)
            append_escaped(out, byte);
        else
            out += c;
    }
    return out;
}

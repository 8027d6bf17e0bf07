#include "escapes.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <sstream>

namespace {

// The escapes of a letter, both ways: a backslash and `letter` read as the
// byte `read`, and the byte `written` is written as them. Only \e differs:
// it reads as ESC, but GS (the separator of GS1 codes) is written as \e.
struct Letter_escape {
    char letter;
    unsigned char read;
    unsigned char written;
};
constexpr Letter_escape letter_escapes[] = {
    {'n', 0x0a, 0x0a}, {'r', 0x0d, 0x0d}, {'t', 0x09, 0x09}, {'e', 0x1b, 0x1d}, {'\\', '\\', '\\'},
    {'#', '#', '#'},   {'$', '$', '$'},   {'[', '[', '['},   {']', ']', ']'},
};

// Appends the escaped form of one byte as bytes_to_text writes it.
void append_escaped(std::string& out, unsigned char byte)
{
    static const char hex_digits[] = "0123456789abcdef";
    for (const Letter_escape& e : letter_escapes) {
        if (e.written != byte) continue;
        out += '\\';
        out += e.letter;
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

// The byte that a backslash and `next` stand for, \x aside; -1 when they are
// no escape.
int escaped_byte(char next)
{
    for (const Letter_escape& e : letter_escapes)
        if (e.letter == next) return e.read;
    return -1;
}

// How many characters an escape that begins with a backslash and `next`
// takes, as text_to_bytes reads it (\x takes two more, whatever they are).
std::size_t escape_length(char next)
{
    return next == 'x' ? 4 : 2;
}

} // namespace

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string text_to_bytes(std::string_view text)
{
    std::string out;
    text_to_bytes(text, out);
    return out;
}

void text_to_bytes(std::string_view line, std::string& out)
{
    if (out.capacity() < out.size() + line.size()) out.reserve(out.size() + line.size());
    const std::size_t n = line.size();
    std::size_t i = 0;
    while (i < n) {
        // The plain text up to the next escape, at once.
        const std::size_t escape = std::min(line.find('\\', i), n);
        out.append(line.data() + i, escape - i);
        i = escape;
        if (i == n) break;
        if (i + 1 == n) {
            out += '\\';
            break;
        }
        const char next = line[i + 1];
        if (next == 'x') {
            // Up to two digits; the scan stops at the first non-digit but
            // both characters after the x are consumed.
            int value = 0;
            for (std::size_t k = i + 2; k < i + 4 && k < n; ++k) {
                int digit = hex_value(line[k]);
                if (digit < 0) break;
                value = value * 16 + digit;
            }
            out += static_cast<char>(value);
            i += escape_length(next);
            continue;
        }
        const int byte = escaped_byte(next);
        if (byte >= 0) {
            out += static_cast<char>(byte);
        } else {
            out += '\\';
            out += next;
        }
        i += escape_length(next);
    }
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
    else if (byte == 0x1d)
        out += "\\x1d"; // GS, in GS1 codes: \e would read back as ESC
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

std::ostream& operator<<(std::ostream& out, const Shown_barcode& barcode)
{
    const std::string_view bytes = barcode.bytes();
    const std::string_view shown = bytes.substr(0, Shown_barcode::most_bytes);
    // Plain bytes in runs; each other one as escape_barcode writes it (at
    // most four characters: no memory of their own).
    std::size_t run = 0;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(shown[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') continue;
        out.write(shown.data() + run, static_cast<std::streamsize>(i - run));
        out << escape_barcode(shown.substr(i, 1));
        run = i + 1;
    }
    out.write(shown.data() + run, static_cast<std::streamsize>(shown.size() - run));
    if (bytes.size() > Shown_barcode::most_bytes) out << "... (" << bytes.size() << " bytes)";
    return out;
}

std::string escapes_in(std::string_view value)
{
    std::string found;
    std::size_t k = value.find('\\');
    while (k != std::string_view::npos && k + 1 < value.size()) {
        const std::size_t length = escape_length(value[k + 1]);
        const std::string escape(value.substr(k, length));
        const std::string bytes = text_to_bytes(escape);
        if (bytes != escape) {
            char hex[8];
            std::snprintf(hex, sizeof hex, " (%02x)", static_cast<unsigned char>(bytes[0]));
            found += (found.empty() ? "" : ", ") + escape + hex;
        }
        k = value.find('\\', k + length);
    }
    return found;
}


std::vector<Escape_problem> escape_problems(std::string_view text)
{
    std::vector<Escape_problem> problems;
    for (std::size_t k = text.find('\\'); k != std::string_view::npos;) {
        if (k + 1 == text.size()) {
            problems.push_back({Escape_problem::at_end, k});
            break;
        }
        const char next = text[k + 1];
        if (next == 'x' && !(k + 3 < text.size() && hex_value(text[k + 2]) >= 0 && hex_value(text[k + 3]) >= 0))
            problems.push_back({Escape_problem::short_hex, k});
        else if (next != 'x' && escaped_byte(next) < 0)
            problems.push_back({Escape_problem::no_escape, k});
        k = text.find('\\', k + escape_length(next)); // as text_to_bytes reads on
    }
    return problems;
}

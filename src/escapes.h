// The conversions between raw bytes and the escaped text that formats.ini
// holds and that log lines show.
#ifndef ULVANE_ESCAPES_H
#define ULVANE_ESCAPES_H

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

// The value of a hexadecimal digit (either case), -1 for any other byte.
int hex_value(char c);

// Turns escaped text into the bytes it stands for: \n \r \t \e(0x1b) \\ \#
// \$ \[ \] and \x with up to two hexadecimal digits (either case). Reading of
// the digits stops at the first non-digit, but both characters after the x
// are consumed all the same; with no digit at all (\xG1, or \x at the very
// end) the escape yields the byte 0x00. A backslash before any other
// character, or at the end, stays as written.
// Appends the bytes to `out`; the other form returns them.
void text_to_bytes(std::string_view text, std::string& out);
std::string text_to_bytes(std::string_view text);

// What text_to_bytes reads in a text otherwise than its writer most likely
// meant, each at the position of its backslash: a backslash at the end
// (it pairs with whatever follows the text), \x without two hexadecimal
// digits, a backslash before a character that is no escape (both kept).
struct Escape_problem {
    enum Kind { at_end, short_hex, no_escape } kind;
    std::size_t at;
};
std::vector<Escape_problem> escape_problems(std::string_view text);

// The escapes in `value` that text_to_bytes turns into other bytes, each
// with the byte it becomes ("\n (0a), \x41 (41)"); empty when none does.
std::string escapes_in(std::string_view value);

// Writes bytes as text that holds only bytes 0x20..0x7f: \t \n \r, \e for
// 0x1d, \\ \# \$ \[ \], \xNN (lower case) for other control bytes and for
// 0x80..0xff; everything else as itself.
std::string bytes_to_text(std::string txt);

// Writes bytes as a format in formats.ini would be written to give them: as
// bytes_to_text does, but ESC (0x1b) as \e and the byte 0x1d as \x1d, since
// text_to_bytes reads \e as ESC, and DEL (0x7f) as \x7f, visible.
std::string bytes_to_format_text(const std::string& bytes);

// For bytes received from the network on their way into a log line or an
// error message: control bytes 0x00..0x1f, DEL 0x7f and every byte from 0x80
// up (8-bit controls such as 0x9b drive terminals too) are written as
// bytes_to_text writes them, but GS (0x1d) as \x1d, which reads back as
// GS; every other byte stays as it is, so ordinary barcodes read unchanged.
std::string escape_control_bytes(std::string_view bytes);

// A received barcode's bytes as log lines and messages show them: as
// escape_control_bytes writes them, but a backslash as \\ and 0x1d (GS, the
// separator in GS1 codes) as \x1d, so that no two barcodes read alike (a GS
// and a typed "\e", an ESC and a typed "\x1b").
std::string escape_barcode(std::string_view bytes);

// A received barcode as every log line and message shows it: escaped as
// escape_barcode does, in full up to `most_bytes`; a longer one as its
// first `most_bytes` bytes, then "... (1600 bytes)" with its whole length.
// Written straight into the stream, never copied, so that a line about a
// barcode of any length allocates nothing more than a short one.
class Shown_barcode {
public:
    static constexpr std::size_t most_bytes = 512;
    explicit Shown_barcode(std::string_view barcode) : my_barcode(barcode) {}
    std::string_view bytes() const { return my_barcode; }

private:
    std::string_view my_barcode;
};
std::ostream& operator<<(std::ostream& out, const Shown_barcode& barcode);

#endif

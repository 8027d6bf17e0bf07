// The encodings terminals show text in, and the conversion of text between
// UTF-8, as spreadsheets export it, and such an encoding: single-byte ones
// whose characters come from the system's converter (platform_text.h), so
// that a character converts one way exactly as it converts back.
#ifndef ULVANE_TEXT_ENCODING_H
#define ULVANE_TEXT_ENCODING_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"

// The names open() takes: "UTF-8, Latin-1, Latin-9, ...".
std::string text_encoding_names();

// The length of the UTF-8 character at `at` of `text` (1 to 4), with its
// code point; 0 where the bytes there are no UTF-8 (a byte of 0x80 and up
// that starts no character, a character cut short, an overlong form, a
// surrogate).
std::size_t utf8_character(std::string_view text, std::size_t at, char32_t& code_point);

// Whether `text` holds a character of more than one byte and is UTF-8 all
// through: text as spreadsheets export it, rather than in a terminal's
// single-byte encoding.
bool holds_utf8_text(std::string_view text);

// Where a conversion met what it cannot convert: the offset in the text,
// and the length of the character there (1 for a byte that starts none).
struct Text_fault {
    std::size_t at = 0;
    std::size_t length = 0;
};

class Text_encoding {
public:
    // The encoding `name` names, in any case, with or without '-' ("UTF-8",
    // "latin1", "cp850"); false, with why, when it is none of
    // text_encoding_names() or the system lacks it.
    bool open(std::string_view name, Error& error);
    // UTF-8, where there is nothing to convert.
    bool is_utf8() const { return my_name == "UTF-8"; }
    const std::string& name() const { return my_name; }

    // Appends `text`, UTF-8, in this encoding to `out`. A character it has
    // no byte for, and a byte that is no UTF-8, becomes '?'; returns how
    // many there were, the first in `first`.
    std::size_t from_utf8(std::string_view text, std::string& out, Text_fault& first) const;
    // Whether every byte of `text` is a character of this encoding.
    bool is_all_characters(std::string_view text) const;
    // Appends `text`, of this encoding, as UTF-8 to `out`. A byte that is
    // no character of it becomes '?'; returns how many there were, the
    // first in `first`.
    std::size_t to_utf8(std::string_view text, std::string& out, Text_fault& first) const;

private:
    std::string my_name = "UTF-8";
    std::array<std::int32_t, 256> my_characters{};          // of each byte, -1 for none
    bool my_ascii = false;                                   // bytes below 0x80 are ASCII
    std::vector<std::pair<char32_t, unsigned char>> my_bytes; // of each character, sorted
};

#endif

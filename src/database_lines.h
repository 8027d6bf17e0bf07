// The lines of a database file as the server reads them, for every reader
// of them: the table's fast pass, the passes that write the log's warnings,
// and ulvane_check. One place holds what a line is, which lines belong to a
// section and which do not; each reader says what it makes of them.
#ifndef ULVANE_DATABASE_LINES_H
#define ULVANE_DATABASE_LINES_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

// The readers skip a line longer than this, with a warning.
constexpr std::size_t longest_line = std::size_t(1) << 20;

// Whether a line (without its line end) is a section header: "[name]".
inline bool is_header(std::string_view line)
{
    return line.size() >= 2 && line.front() == '[' && line.back() == ']';
}

// Where `c` first stands in [p, end), or end. Lines are short: eight bytes
// at a time in line, rather than a call to memchr for each line.
inline const char* find_byte(const char* p, const char* end, char c)
{
    const std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    const std::uint64_t pattern = ones * static_cast<unsigned char>(c);
    for (; end - p >= 8; p += 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        word ^= pattern; // a byte equal to c is now zero
        // The lowest byte marked is the first zero byte; marks above it may
        // be false, and are not looked at.
        const std::uint64_t zeros = (word - ones) & ~word & highs;
        if (zeros != 0) return p + (__builtin_ctzll(zeros) >> 3);
    }
    while (p < end && *p != c) ++p;
    return p;
}

// Where a tag=value line splits into tag and value: at its first '='; npos
// for a line without one, which is no tag=value line. Nothing is trimmed.
inline std::size_t tag_value_split(std::string_view line)
{
    const char* at = find_byte(line.data(), line.data() + line.size(), '=');
    return at == line.data() + line.size() ? std::string_view::npos : static_cast<std::size_t>(at - line.data());
}

// `text` without the byte order mark that may open it.
inline std::string_view without_byte_order_mark(std::string_view text)
{
    return text.substr(0, 3) == "\xef\xbb\xbf" ? text.substr(3) : text;
}

// Why a line belongs to no section that is read.
enum class Outside {
    before_first,     // it comes before the first section header
    repeated,         // it is in a section whose name came before: the first holds
    after_bad_header, // it follows a header that could not be read
};

// Goes through `text`, the content of a database file, line by line: a line
// ends at a line feed or at the end of the text (so a final line feed
// yields one more, empty line), loses one carriage return at its end, and
// is counted from 1. A byte order mark at the very start is skipped. When
// `complete` is false, reading ended at a read error, and the last line,
// which it cut, is not used. Tells `reader` what each line is:
//   seen(l, number)            every line that is not too long, first
//   skipped(l, number)         a comment ('#') or an empty line
//   too_long(number, header)   a line longer than longest_line, skipped; one
//                              that begins with '[' (`header`) ends the section
//   header(name, number)       "[name]"; returns whether its section is read
//                              (false: the lines up to the next header are outside)
//   bad_header(l, number)      a line that begins with '[' but is no header:
//                              the lines up to the next header are outside
//   line(l, number)            a line of a section that is read
//   outside(l, number, why, section, header_number)
//                              a line of no section read; `section` and
//                              `header_number` are the last header's
// Returns true when a line was too long.
template <typename Reader>
bool read_database_lines(std::string_view text, bool complete, Reader& reader)
{
    text = without_byte_order_mark(text);
    Outside state = Outside::before_first;
    bool in_section = false;
    bool too_long = false;
    std::string_view section;
    unsigned long header_number = 0;
    unsigned long number = 0;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t lf =
            static_cast<std::size_t>(find_byte(text.data() + start, text.data() + text.size(), '\n') - text.data());
        if (lf == text.size() && !complete) break;
        std::string_view l = text.substr(start, lf - start);
        start = lf + 1;
        ++number;
        if (l.size() > longest_line) {
            too_long = true;
            const bool header = l[0] == '[';
            reader.too_long(number, header);
            if (header) {
                in_section = false;
                state = Outside::after_bad_header;
                header_number = number;
            }
            continue;
        }
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        reader.seen(l, number);
        if (l.empty() || l[0] == '#') {
            reader.skipped(l, number);
        } else if (l[0] == '[') {
            header_number = number;
            if (is_header(l)) {
                section = l.substr(1, l.size() - 2);
                in_section = reader.header(section, number);
                state = Outside::repeated;
            } else {
                reader.bad_header(l, number);
                in_section = false;
                state = Outside::after_bad_header;
            }
        } else if (in_section) {
            reader.line(l, number);
        } else {
            reader.outside(l, number, state, section, header_number);
        }
    }
    return too_long;
}

#endif

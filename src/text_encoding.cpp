#include "text_encoding.h"

#include <algorithm>

#include "platform_text.h"

namespace {

struct Known_encoding {
    const char* name;
    const char* other_name; // as iconv and Windows' lists name it
    const char* iconv_name;
    unsigned code_page;
};

// The encodings of terminals: ISO Latin, the Windows code pages and the
// DOS ones that shop and warehouse devices show.
const Known_encoding known_encodings[] = {
    {"UTF-8", "UTF8", "UTF-8", 65001},
    {"Latin-1", "ISO-8859-1", "ISO-8859-1", 28591},
    {"Latin-9", "ISO-8859-15", "ISO-8859-15", 28605},
    {"Latin-2", "ISO-8859-2", "ISO-8859-2", 28592},
    {"Windows-1250", "CP1250", "WINDOWS-1250", 1250},
    {"Windows-1252", "CP1252", "WINDOWS-1252", 1252},
    {"CP437", "IBM437", "IBM437", 437},
    {"CP850", "IBM850", "IBM850", 850},
    {"CP852", "IBM852", "IBM852", 852},
};

// A name as open() compares it: lower case, without '-', '_' and blanks.
std::string comparable(std::string_view name)
{
    std::string out;
    for (char c : name)
        if (c != '-' && c != '_' && c != ' ') out += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return out;
}

void append_utf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xc0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xe0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3f));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    }
}

// The length of the run of bytes below 0x80 from `at`.
std::size_t ascii_run(std::string_view text, std::size_t at)
{
    std::size_t end = at;
    while (end < text.size() && static_cast<unsigned char>(text[end]) < 0x80) ++end;
    return end - at;
}

} // namespace

std::string text_encoding_names()
{
    std::string names;
    for (const Known_encoding& e : known_encodings) names += (names.empty() ? "" : ", ") + std::string(e.name);
    return names;
}

std::size_t utf8_character(std::string_view text, std::size_t at, char32_t& code_point)
{
    const unsigned char first = static_cast<unsigned char>(text[at]);
    if (first < 0x80) {
        code_point = first;
        return 1;
    }
    const std::size_t length = first >= 0xf0 ? 4 : first >= 0xe0 ? 3 : first >= 0xc0 ? 2 : 0;
    if (length == 0 || first > 0xf4 || text.size() - at < length) return 0;
    char32_t c = first & (0x7f >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xc0) != 0x80) return 0;
        c = c << 6 | (next & 0x3f);
    }
    static const char32_t least[5] = {0, 0, 0x80, 0x800, 0x10000}; // below: an overlong form
    if (c < least[length] || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) return 0;
    code_point = c;
    return length;
}

bool holds_utf8_text(std::string_view text)
{
    bool wide = false;
    for (std::size_t k = 0; k < text.size();) {
        k += ascii_run(text, k);
        if (k == text.size()) break;
        char32_t c;
        const std::size_t n = utf8_character(text, k, c);
        if (n == 0) return false;
        wide = true;
        k += n;
    }
    return wide;
}

bool Text_encoding::open(std::string_view name, Error& error)
{
    const std::string wanted = comparable(name);
    for (const Known_encoding& e : known_encodings) {
        if (wanted != comparable(e.name) && wanted != comparable(e.other_name)) continue;
        my_name = e.name;
        if (is_utf8()) return true;
        if (!single_byte_characters(e.iconv_name, e.code_page, my_characters, error)) return false;
        my_ascii = true;
        for (int b = 0; b < 0x80; ++b) my_ascii = my_ascii && my_characters[b] == b;
        my_bytes.clear();
        for (int b = 0; b < 256; ++b)
            if (my_characters[b] >= 0) my_bytes.emplace_back(static_cast<char32_t>(my_characters[b]), static_cast<unsigned char>(b));
        // Where two bytes are one character, the character becomes the first.
        std::stable_sort(my_bytes.begin(), my_bytes.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        my_bytes.erase(std::unique(my_bytes.begin(), my_bytes.end(),
                                   [](const auto& a, const auto& b) { return a.first == b.first; }),
                       my_bytes.end());
        return true;
    }
    error.text = "no encoding " + std::string(name) + " (there are " + text_encoding_names() + ")";
    return false;
}

std::size_t Text_encoding::from_utf8(std::string_view text, std::string& out, Text_fault& first) const
{
    if (is_utf8()) {
        out += text;
        return 0;
    }
    std::size_t faults = 0;
    for (std::size_t k = 0; k < text.size();) {
        const std::size_t run = my_ascii ? ascii_run(text, k) : 0;
        if (run > 0) {
            out.append(text, k, run);
            k += run;
            continue;
        }
        char32_t c = 0;
        const std::size_t n = utf8_character(text, k, c);
        const auto byte = std::lower_bound(my_bytes.begin(), my_bytes.end(), std::make_pair(c, static_cast<unsigned char>(0)));
        if (n > 0 && byte != my_bytes.end() && byte->first == c) {
            out += static_cast<char>(byte->second);
        } else {
            if (faults++ == 0) first = {k, n > 0 ? n : 1};
            out += '?';
        }
        k += n > 0 ? n : 1;
    }
    return faults;
}

bool Text_encoding::is_all_characters(std::string_view text) const
{
    return is_utf8() || std::all_of(text.begin(), text.end(), [&](char c) { return my_characters[static_cast<unsigned char>(c)] >= 0; });
}

std::size_t Text_encoding::to_utf8(std::string_view text, std::string& out, Text_fault& first) const
{
    if (is_utf8()) {
        out += text;
        return 0;
    }
    std::size_t faults = 0;
    for (std::size_t k = 0; k < text.size(); ++k) {
        const std::size_t run = my_ascii ? ascii_run(text, k) : 0;
        if (run > 0) {
            out.append(text, k, run);
            k += run - 1;
            continue;
        }
        const std::int32_t c = my_characters[static_cast<unsigned char>(text[k])];
        if (c >= 0) {
            append_utf8(out, static_cast<char32_t>(c));
        } else {
            if (faults++ == 0) first = {k, 1};
            out += '?';
        }
    }
    return faults;
}

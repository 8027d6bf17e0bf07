#include "escapes.h"

#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string bytes(std::initializer_list<unsigned char> values)
{
    return std::string(values.begin(), values.end());
}

struct Escape_case {
    std::string text;
    std::string bytes;
};

} // namespace

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
              "1\\x00\\n\\r\\t\\x1b\\x1d\\x1f ");
    // Regression: DEL and 8-bit controls (0x9b is a terminal's CSI) passed raw.
    EXPECT_EQ(escape_control_bytes(bytes({0x7f, 0x80, 0x9b, 0xe9, 0xff})), "\\x7f\\x80\\x9b\\xe9\\xff");
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

// Text between UTF-8 and the terminals' single-byte encodings: what counts
// as UTF-8, the names taken, and a conversion there and back.
#include <gtest/gtest.h>

#include <string>

#include "text_encoding.h"

namespace {

// The code point of each character of `text` ("U+4B U+E4"), "bad" at the
// first byte that starts none.
std::string characters(const std::string& text)
{
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        char32_t c = 0;
        const std::size_t n = utf8_character(text, at, c);
        if (n == 0) return out + "bad";
        char hex[16];
        std::snprintf(hex, sizeof hex, "U+%X ", static_cast<unsigned>(c));
        out += hex;
        at += n;
    }
    return out;
}

TEST(TextEncoding, ReadsUtf8AsItIsDefined)
{
    const struct {
        std::string text, read;
    } cases[] = {
        {"K\xc3\xa4", "U+4B U+E4 "},
        {"\xe2\x82\xac\xf0\x9f\x99\x82", "U+20AC U+1F642 "},
        {"\xf4\x8f\xbf\xbf", "U+10FFFF "},
        {"\xf4\x90\x80\x80", "bad"},     // above U+10FFFF
        {"\xc0\xaf", "bad"},             // an overlong '/'
        {"\xe0\x80\xaf", "bad"},         // the same in three bytes
        {"\xed\xa0\x80", "bad"},         // a surrogate, the first
        {"\xed\xbf\xbf", "bad"},         // and the last
        {"a\xe4", "U+61 bad"},           // Latin-1's ä
        {"\xe2\x82", "bad"},             // cut short
        {"\xe2\x28\xac", "bad"},         // a second byte that continues nothing
        {"\x80", "bad"},                 // a continuation first
    };
    for (const auto& c : cases) EXPECT_EQ(characters(c.text), c.read) << c.text;
}

// A text holds UTF-8 text when it has a character beyond ASCII and no byte
// that is no UTF-8.
TEST(TextEncoding, TextIsUtf8OnlyBeyondAsciiAndWhole)
{
    EXPECT_TRUE(holds_utf8_text("K\xc3\xa4se"));
    EXPECT_FALSE(holds_utf8_text("Kase"));               // ASCII is any encoding's
    EXPECT_FALSE(holds_utf8_text("K\xc3\xa4se K\xe4se")); // a byte that is no UTF-8
}

// An encoding is found by any of its usual names; one there is not is said,
// with those there are.
TEST(TextEncoding, IsFoundByItsUsualNames)
{
    Error why;
    Text_encoding encoding;
    EXPECT_FALSE(encoding.open("koi8-r", why));
    EXPECT_EQ(why.text, "no encoding koi8-r (there are " + text_encoding_names() + ")");
    for (const char* name : {"cp850", "IBM850", "Cp 850", "CP_850"}) {
        ASSERT_TRUE(encoding.open(name, why)) << name << ": " << why.text;
        EXPECT_EQ(encoding.name(), "CP850");
    }
}

// Text converts there and back, '?' standing for what the encoding lacks
// and for what is no UTF-8, the first of them told.
TEST(TextEncoding, ConvertsThereAndBackNamingWhatItCannot)
{
    Error why;
    Text_encoding encoding;
    ASSERT_TRUE(encoding.open("cp850", why)) << why.text;
    std::string out;
    Text_fault first;
    EXPECT_EQ(encoding.from_utf8("\xc3\x98re \xc5\x81\xc3\xb3" "d\xc5\xba \xe4!", out, first), 3u);
    EXPECT_EQ(out, "\x9dre ?\xa2" "d? ?!"); // Ø and ó are CP850's; Ł and ź are not; \xe4 is no UTF-8
    EXPECT_EQ(first.at, 5u);
    EXPECT_EQ(first.length, 2u);
    std::string back;
    EXPECT_EQ(encoding.to_utf8(out, back, first), 0u);
    EXPECT_EQ(back, "\xc3\x98re ?\xc3\xb3" "d? ?!");
}

} // namespace

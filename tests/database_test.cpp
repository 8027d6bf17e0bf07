#include "database.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#endif

#include "log.h"
#include "test_util.h"

namespace {

// Runs `body` at `level` with the log captured, and returns the log lines
// ("LABEL message"); DBG/DMP source positions are cut out (which file says
// it is no matter of the log's readers).
template <typename Body>
std::vector<std::string> logged(unsigned level, Body body)
{
    Log_capture capture;
    set_log_level(level);
    body();
    set_log_level(3);
    std::vector<std::string> lines = capture.lines();
    for (std::string& l : lines) {
        const std::size_t colon = l.find(".cpp:");
        if ((l.compare(0, 4, "DBG ") == 0 || l.compare(0, 4, "DMP ") == 0) && colon != std::string::npos)
            l.erase(4, l.find(' ', colon) + 1 - 4);
    }
    return lines;
}

using Lines = std::vector<std::string>;

// Reads a barcodes or formats file from text; returns the log lines.
Lines read_barcodes(Barcode_db& db, const std::string& text, unsigned level = 3)
{
    return logged(level, [&] {
        std::istringstream in(text);
        db.load_barcodes(in);
    });
}

Lines read_formats(Barcode_db& db, const std::string& text, unsigned level = 3)
{
    return logged(level, [&] {
        std::istringstream in(text);
        db.load_formats(in);
    });
}

// ---- Tag values ----

TEST(TagValue, LinesSplitAtTheFirstEqualsSign)
{
    struct Case {
        const char* line;
        bool bad;
        const char* tag;
        const char* value;
    };
    const Case cases[] = {
        {"tag.price=1.99", false, "tag.price", "1.99"},
        {"format=shelf", false, "format", "shelf"},
        {"tag.url=a=b=c", false, "tag.url", "a=b=c"},
        {"tag.note=", false, "tag.note", ""},
        {"=1.99", false, "", "1.99"},
        {"=", false, "", ""},
        {"tag.colour", true, "", ""},
        {"", true, "", ""},
        {"tag.a = b ", false, "tag.a ", " b "},
        {"tag.x=\\e\\x41;#", false, "tag.x", "\\e\\x41;#"},
    };
    for (const Case& c : cases) {
        Tag_value tv{std::string(c.line)};
        EXPECT_EQ(tv.fail(), c.bad) << c.line;
        EXPECT_EQ(tv.tag(), c.tag) << c.line;
        EXPECT_EQ(tv.value(), c.value) << c.line;
    }
}

// The tags of `barcode`, read from the barcodes file `text` into `db`.
Barcode_tags tags_of(Barcode_db& db, const std::string& text, const std::string& barcode)
{
    read_barcodes(db, text);
    Barcode_tags tags;
    EXPECT_TRUE(db.barcodes().find(barcode, tags)) << barcode;
    return tags;
}

// The tags of a barcode that must be in the table.
Barcode_tags at(const Barcode_db& db, const std::string& barcode)
{
    Barcode_tags tags;
    EXPECT_TRUE(db.barcodes().find(barcode, tags)) << barcode;
    return tags;
}

std::string value_of(const Barcode_tags& tags, const std::string& tag)
{
    std::string_view value;
    return tags.find(tag, value) ? std::string(value) : "(none)";
}

TEST(TagValue, TagsHoldOneValuePerTagAndAreSearchedByTagAlone)
{
    Barcode_db db;
    Barcode_tags tags = tags_of(db, "[x]\ntag.price=1.99\ntag.price=2.99\ntag.name =Pen\nPrice=X\n", "x");
    using List = std::vector<std::pair<std::string_view, std::string_view>>;
    // The second tag.price is dropped: the first wins.
    EXPECT_EQ(tags.list(), (List{{"tag.price", "1.99"}, {"tag.name ", "Pen"}, {"Price", "X"}}));
    EXPECT_EQ(value_of(tags, "tag.price"), "1.99");
    EXPECT_EQ(value_of(tags, "tag.name"), "(none)");
    EXPECT_EQ(value_of(tags, "tag.name "), "Pen");
    EXPECT_EQ(value_of(tags, "tag.price=1.99"), "(none)") << "a tag holds no '='";
    EXPECT_TRUE(Tag_value("Price", "") < Tag_value("price", ""));
    EXPECT_TRUE(Tag_value("price", "") < Tag_value("\xe9", ""));
    EXPECT_TRUE(Tag_value("pri", "") < Tag_value("price", ""));
    EXPECT_FALSE(Tag_value("a", "2") < Tag_value("a", "1"));

    // Many tags in one section, repeated: the first line of each wins.
    std::string many = "[m]\n";
    for (int round = 0; round < 2; ++round)
        for (int i = 99; i >= 0; --i) many += "t" + std::to_string(i) + "=" + std::to_string(round) + "\n";
    Barcode_db big;
    tags = tags_of(big, many, "m");
    ASSERT_EQ(tags.list().size(), 100u);
    EXPECT_EQ(value_of(tags, "t7"), "0");
    EXPECT_EQ(tags.list()[0].first, "t99");
}

// ---- Format merging ----

Barcode_tags shelf_tags()
{
    static Barcode_db db; // holds what the tags view
    static const Barcode_tags tags = tags_of(db, "[shelf]\nformat=shelf\ntag.name=Apple\ntag.price=1.99\ntag.empty=\ntag.tricky=${name}\\n\ntag.unit=kg=1\n",
                                             "shelf");
    return tags;
}

TEST(Format, MergesPlaceholdersAsTheWorkedExamplesShow)
{
    struct Case {
        std::string format;
        std::string merged;
        Lines log;
    };
    const std::string missing = "' from format 'shelf' not found: using empty string.";
    const Case cases[] = {
        {"Item: ${name} costs ${price}", "Item: Apple costs 1.99", {}},
        {"${name}", "Apple", {}},
        {"${price}/${price}", "1.99/1.99", {}},
        {"[${size}]", "[]", {"WRN Tag 'tag.size" + missing}},
        {"${format}", "", {"WRN Tag 'tag.format" + missing}},
        {"${tag.price}", "", {"WRN Tag 'tag.tag.price" + missing}},
        {"${}", "", {"WRN Tag 'tag." + missing}},
        {"A${name", "A${name", {"WRN Format error: '${' not closed in format 'shelf' at position 3"}},
        {"Total ${price} EUR${name", "Total 1.99 EUR${name",
         {"WRN Format error: '${' not closed in format 'shelf' at position 20"}},
        {"\\${name}", "\\${name}", {}},
        {"\\\\${name}", "\\\\Apple", {}},
        {"${na\\}me}", "", {"WRN Tag 'tag.na\\}me" + missing}},
        {"${a${b}}", "}", {"WRN Tag 'tag.a${b" + missing}},
        {"5$ {x} } ", "5$ {x} } ", {}},
        // Further edges.
        {"", "", {}},
        {"plain \\n {} \\x41", "plain \\n {} \\x41", {}},
        {"x${name}", "xApple", {}},
        {"cost$", "cost$", {}},
        {"cost${", "cost${", {"WRN Format error: '${' not closed in format 'shelf' at position 6"}},
        {"${size}${size}", "", {"WRN Tag 'tag.size" + missing, "WRN Tag 'tag.size" + missing}},
        {"<${empty}>", "<>", {}},
        {"${tricky}", "${name}\\n", {}},
        {"a\\", "a\\", {}},
        {"${name\\}", "${name\\}", {"WRN Format error: '${' not closed in format 'shelf' at position 2"}},
        {"${unit=kg}", "", {"WRN Tag 'tag.unit=kg" + missing}}, // the tag is "tag.unit": a tag holds no '='
    };
    Barcode_tags tags = shelf_tags();
    for (const Case& c : cases) {
        Format format("shelf", c.format);
        std::string merged;
        Lines log = logged(3, [&] { merged = format.merge_tag_values(tags); });
        EXPECT_EQ(merged, c.merged) << c.format;
        EXPECT_EQ(log, c.log) << c.format;
        EXPECT_EQ(format.text(), c.format);
    }
}

TEST(Format, LinesJoinWithoutSeparatorAndFallbackNameShowsEmpty)
{
    Format format("", "");
    format.add_formatting("${na");
    format.add_formatting("me} ${x}");
    EXPECT_EQ(format.text(), "${name} ${x}");
    std::string merged;
    const Barcode_tags tags = shelf_tags();
    Lines log = logged(0, [&] { merged = format.merge_tag_values(tags); });
    EXPECT_EQ(merged, "Apple ");
    EXPECT_EQ(log, Lines{"WRN Tag 'tag.x' from format '' not found: using empty string."});
}

// ---- The barcodes file ----

TEST(BarcodesFile, SectionsTagsAndEveryWarning)
{
    const std::string file =
        "#shop articles\r\n"
        "tag.before=1\n"
        "[]\n"
        "format=short\n"
        "\n"
        "[12345]\r\n"
        "format=price\n"
        "tag.description=Pen\r\n"
        "tag.description=Second\n"
        "tag.price=1.99\r\r\n"
        "no equals sign\n"
        "  #not a comment\n"
        " [12]\n"
        ";semicolon=plain\n"
        "[bad\n"
        "tag.lost=1\n"
        "[12345]\n"
        "tag.again=1\n"
        "[ 12 ]\n"
        "tag.after=a repeated section\n"
        "[[12]]\n"
        "[empty]\n"
        "[\n"
        "[x] \n"
        "[12345]\n"
        "tag.description=Third\n";
    Barcode_db db;
    Lines log = read_barcodes(db, file, 3);
    EXPECT_EQ(log, (Lines{
                       "WRN Tag-value at line #2 \"tag.before=1\" outsite barcode definition: ignored",
                       "WRN Incorrect tag-value \"no equals sign\" at line 11 (skipped).",
                       "WRN Incorrect tag-value \"  #not a comment\" at line 12 (skipped).",
                       "WRN Incorrect tag-value \" [12]\" at line 13 (skipped).",
                       "WRN Line 15 \"[bad\" begins with '[' but does not end with ']': line is skipped!",
                       "WRN Tag-value at line #16 \"tag.lost=1\" outsite barcode definition: ignored",
                       "WRN Tag-value at line #18 \"tag.again=1\" outsite barcode definition: ignored",
                       "WRN Line 23 \"[\" begins with '[' but does not end with ']': line is skipped!",
                       "WRN Line 24 \"[x] \" begins with '[' but does not end with ']': line is skipped!",
                       "WRN Tag-value at line #26 \"tag.description=Third\" outsite barcode definition: ignored",
                   }));
    const Barcode_table& table = db.barcodes();
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < table.size(); ++i) keys.emplace_back(table.barcode(i));
    EXPECT_EQ(keys, (std::vector<std::string>{"", "12345", " 12 ", "[12]", "empty"})); // file order
    Barcode_tags pen;
    ASSERT_TRUE(table.find("12345", pen));
    EXPECT_EQ(pen.list().size(), 4u); // format, tag.description, tag.price, ";semicolon"
    EXPECT_EQ(value_of(pen, "tag.description"), "Pen");
    EXPECT_EQ(value_of(pen, "tag.price"), "1.99\r");
    EXPECT_EQ(value_of(pen, ";semicolon"), "plain");
    EXPECT_EQ(value_of(table.tags(0), "format"), "short");
    EXPECT_TRUE(table.tags(4).empty());
    // The repeated sections' lines went nowhere; the sections after them kept theirs.
    ASSERT_EQ(table.tags(2).list().size(), 1u);
    EXPECT_EQ(value_of(table.tags(2), "tag.after"), "a repeated section");
}

TEST(BarcodesFile, DebugAndDumpLinesCountEveryLine)
{
    Barcode_db db;
    Lines log = read_barcodes(db, "[1]\ntag.a=b\n", 5);
    EXPECT_EQ(log, (Lines{
                       "DMP line=\"[1]\"",
                       "DBG Reading barcode definition: \"1\"",
                       "DMP line=\"tag.a=b\"",
                       "DBG Tag_value line #2: \"tag.a=b\"",
                       "DMP line=\"\"",
                       "DMP Skipping comment or empty line #3: ",
                       "DBG Ready reading barcode definitions",
                   }));
    log = read_barcodes(db, "", 5);
    EXPECT_EQ(log, (Lines{"DMP line=\"\"",
                          "DMP Skipping comment or empty line #1: ",
                          "DBG Ready reading barcode definitions"}));
}

// Most files have nothing to log and are read in one pass: a file with a
// single thing to say must still say it, and keep every section it has.
TEST(BarcodesFile, AFileWithOneThingToSaySaysIt)
{
    const std::string long_line(std::size_t(1) << 20 | 1, 'x');
    struct Case {
        std::string file;
        Lines log;
        std::vector<std::pair<std::string, std::string>> first_values; // barcode, its first tag's value
    };
    const Case cases[] = {
        {"[1]\n" + long_line + "\n[2]\ntag.b=2\n",
         {"WRN Line 2 is longer than 1048576 bytes: skipped."},
         {{"1", ""}, {"2", "2"}}},
        {"[1]\ntag.a=1\n[2]\ntag.b=2\n[1]\ntag.a=3\n[3]\ntag.c=4\ntag.d=5\n",
         {"WRN Tag-value at line #6 \"tag.a=3\" outsite barcode definition: ignored"},
         {{"1", "1"}, {"2", "2"}, {"3", "4"}}},
        {"[1]\nno equals sign\ntag.a=1\n",
         {"WRN Incorrect tag-value \"no equals sign\" at line 2 (skipped)."},
         {{"1", "1"}}},
        {"tag.a=1\n[1]\ntag.b=2\n",
         {"WRN Tag-value at line #1 \"tag.a=1\" outsite barcode definition: ignored"},
         {{"1", "2"}}},
    };
    for (const Case& c : cases) {
        Barcode_db db;
        EXPECT_EQ(read_barcodes(db, c.file), c.log) << c.file.substr(0, 40);
        ASSERT_EQ(db.barcodes().size(), c.first_values.size()) << c.file.substr(0, 40);
        for (std::size_t i = 0; i < c.first_values.size(); ++i) {
            const auto& [barcode, value] = c.first_values[i];
            EXPECT_EQ(db.barcodes().barcode(i), barcode);
            const auto tags = at(db, barcode).list();
            EXPECT_EQ(tags.empty() ? "" : std::string(tags[0].second), value) << barcode;
        }
    }
}

TEST(BarcodesFile, CarriageReturnLineEndsReadLikeLineFeeds)
{
    const std::string lf = "[]\nformat=a\n[7]\ntag.x=1\n";
    std::string crlf;
    for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    Barcode_db a, b;
    std::istringstream in_a(lf), in_b(crlf);
    a.load_barcodes(in_a);
    b.load_barcodes(in_b);
    ASSERT_EQ(a.barcodes().size(), 2u);
    ASSERT_EQ(b.barcodes().size(), 2u);
    EXPECT_EQ(at(b, "7").list()[0].second, "1");
    EXPECT_EQ(at(b, "").list()[0].second, "a");
}

// A stream that breaks down after its first bytes, as a failing disk would.
class Failing_buffer : public std::streambuf {
public:
    explicit Failing_buffer(std::string start) : my_start(std::move(start))
    {
        setg(&my_start[0], &my_start[0], &my_start[0] + my_start.size());
    }

protected:
    int_type underflow() override { throw std::ios_base::failure("read error"); }

private:
    std::string my_start;
};

TEST(BarcodesFile, ReadingEndsAtAReadError)
{
    Failing_buffer buffer("[1]\ntag.a=b\n[2]\ntag.c=");
    std::istream in(&buffer);
    Barcode_db db;
    db.load_barcodes(in);
    EXPECT_TRUE(in.bad());
    ASSERT_EQ(db.barcodes().size(), 2u);
    EXPECT_EQ(at(db, "1").list().size(), 1u);
    EXPECT_TRUE(at(db, "2").empty()); // the cut line is not used
}

// Regression: a file without line feeds grew memory without bound, and a
// byte order mark spoilt the first header. Lines up to 1 MiB are read; longer
// ones are skipped (a header among them ends its section); a reader stops at
// max_bytes, the size the file had when it was examined.
TEST(BarcodesFile, ByteOrderMarkLongLinesAndSizeLimit)
{
    const std::size_t mib = std::size_t(1) << 20;
    Barcode_db db;
    Lines log = read_barcodes(db, "\xef\xbb\xbf[1]\ntag.a=" + std::string(mib, 'x') + "\ntag.kept=1\n[" +
                                      std::string(mib, 'y') + "]\ntag.lost=1\n[2]\ntag.b=" + std::string(mib - 6, 'z') + "\n[" +
                                      std::string(mib - 2, 'h') + "]\ntag.h=1\n");
    EXPECT_EQ(log, (Lines{"WRN Line 2 is longer than 1048576 bytes: skipped.",
                          "WRN Line 4 is longer than 1048576 bytes: skipped.",
                          "WRN Tag-value at line #5 \"tag.lost=1\" outsite barcode definition: ignored"}));
    ASSERT_EQ(db.barcodes().size(), 3u); // a header of exactly 1 MiB is read
    EXPECT_EQ(at(db, std::string(mib - 2, 'h')).list().size(), 1u);
    ASSERT_EQ(at(db, "1").list().size(), 1u); // a long tag line does not end its section
    EXPECT_EQ(at(db, "1").list()[0].first, "tag.kept");
    EXPECT_EQ(at(db, "2").list()[0].second.size(), mib - 6);

    Barcode_db limited;
    std::istringstream in("[1]\ntag.a=bc\n[2]\n");
    limited.load_barcodes(in, 11);
    ASSERT_EQ(limited.barcodes().size(), 1u);
    EXPECT_EQ(at(limited, "1").list()[0].second, "b");

    Barcode_db formats;
    EXPECT_EQ(read_formats(formats, "\xef\xbb\xbf[f]\nA\n[g]\n\xef\xbb\xbf\n[" + std::string(mib - 2, 'h') + "]\nH\n"), Lines{});
    ASSERT_EQ(formats.formats().size(), 3u);
    EXPECT_EQ(formats.formats().at(std::string(mib - 2, 'h')).text(), "H"); // a header of exactly 1 MiB
    EXPECT_EQ(formats.formats().at("f").text(), "A");
    EXPECT_EQ(formats.formats().at("g").text(), "\xef\xbb\xbf"); // only at the very start
}

// ---- The formats file ----

TEST(FormatsFile, SectionsLinesAndEveryWarning)
{
    const std::string file =
        "lost before\n"
        "[]\n"
        "${description}\n"
        "[price]\r\n"
        "A\n"
        "\n"
        "#x\n"
        "   \n"
        "B\r\n"
        "[ price ]\n"
        "[price]\n"
        "again\n"
        "[empty]\n"
        "[x\n"
        "skipped 1\n"
        "skipped 2\n"
        "[z]\n"
        "\\[ok\\]";
    Barcode_db db;
    Lines log = read_formats(db, file, 3);
    EXPECT_EQ(log, (Lines{
                       "WRN Unrecognized formats \"lost before\" at line 1",
                       "WRN Unrecognized formats \"again\" at line 12",
                       "WRN Format line \"[x\" at 14 begins with '[' but does not end with ']'",
                       "WRN line 14 and next lines are skipped until a valid format definitions is recognized.",
                       "INF Recommend using '\\[' when using a '[' in the formatting.",
                       "WRN Unrecognized formats \"skipped 1\" at line 15",
                       "WRN Unrecognized formats \"skipped 2\" at line 16",
                   }));
    std::map<std::string, std::string> formats;
    for (const auto& f : db.formats()) formats[f.second.name()] = f.second.text();
    EXPECT_EQ(formats, (std::map<std::string, std::string>{{"", "${description}"},
                                                           {" price ", ""},
                                                           {"empty", ""},
                                                           {"price", "A   B"},
                                                           {"z", "\\[ok\\]"}}));
}

TEST(FormatsFile, DebugLines)
{
    Barcode_db db;
    Lines log = read_formats(db, "[f]\nA\n\n", 5);
    EXPECT_EQ(log, (Lines{
                       "DBG Reading format: \"f\"",
                       "DBG A",
                       "DMP Skipping comment or empty line #3: ",
                       "DMP Skipping comment or empty line #4: ",
                       "DBG Ready reading formats",
                   }));
}

// ---- Lookup ----

Barcode_db& database(Barcode_db& db, const std::string& barcodes, const std::string& formats)
{
    std::istringstream b(barcodes), f(formats);
    db.load_barcodes(b);
    db.load_formats(f);
    return db;
}

TEST(Lookup, ChoosesEntryAndFormatWithTheirFallbacks)
{
    struct Case {
        const char* name;
        std::string barcodes;
        std::string formats;
        std::string code;
        std::string answer; // "throw: message" for a failure
        Lines log;
    };
    const std::string both_fallbacks = "[]\nformat=price\ntag.description=Anything\n";
    const std::string formats = "[]\nfallback ${description}\n[price]\n${description}\\n\nPrice: ${price}\n";
    const std::string ean13 = "[9506000134352]\nformat=price\ntag.description=Pen\ntag.price=1.99\n";
    const std::string link = "https://id.gs1.org/01/09506000134352/10/AB?17=271231";
    const std::string dated = "[price]\n${description}, best before ${gs1.17:DD.MM.YYYY} (${gs1.17}), lot ${gs1.10}\n";
    const Case cases[] = {
        {"known", "[12345]\nformat=price\ntag.description=Pen\ntag.price=1.99\n", formats, "12345",
         "Pen\\nPrice: 1.99", {}},
        {"unknown, fallback barcode", both_fallbacks + "[1]\nformat=price\n", formats, "999",
         "Anything\\nPrice: ",
         {"WRN Barcode \"999\" not defined in database.",
          "WRN Tag 'tag.price' from format 'price' not found: using empty string."}},
        {"no format tag", "[1]\ntag.description=D\n", formats, "1", "fallback D",
         {"WRN No format specified for barcode '1'"}},
        {"empty format tag", "[1]\nformat=\ntag.description=D\n", formats, "1", "fallback D", {}},
        {"no format tag, no fallback format", "[1]\ntag.description=D\n", "[price]\nx\n", "1",
         "throw: Unknown format for barcode 1 and no backup format [] available",
         {"WRN No format specified for barcode '1'"}},
        {"unknown format", "[1]\nformat=nope\ntag.description=D\n", formats, "1", "fallback D",
         {"WRN Unknown format for barcode '1': using default."}},
        {"unknown format, no fallback format", "[1]\nformat=nope\n", "[price]\nx\n", "1",
         "throw: Unknown format for barcode 1 and no backup format [] available", {}},
        {"unknown, no fallback barcode", "[1]\nformat=price\n", formats, "2",
         "throw: Unknown barcode 2 and no backup barcode [] available",
         {"WRN Barcode \"2\" not defined in database."}},
        {"empty code finds the fallback", both_fallbacks, formats, "", "Anything\\nPrice: ",
         {"WRN Tag 'tag.price' from format 'price' not found: using empty string."}},
        {"lookup is exact", "[]\nformat=\n[abc]\nformat=price\n", "[]\nF\n[price]\nP\n", "ABC", "F",
         {"WRN Barcode \"ABC\" not defined in database."}},
        {"trailing blank", "[]\nformat=\n[abc]\nformat=price\n", "[]\nF\n[price]\nP\n", "abc ", "F",
         {"WRN Barcode \"abc \" not defined in database."}},
        {"format name with blanks is another name", "[1]\nformat=price\n", "[]\nF\n[ price ]\nP\n", "1", "F",
         {"WRN Unknown format for barcode '1': using default."}},
        // Control bytes of a received barcode never reach the log raw.
        {"control bytes are escaped", "[1]\nformat=price\n", formats, std::string("a\nb\x1b[2J\0", 8),
         "throw: Unknown barcode a\\nb\\x1b[2J\\x00 and no backup barcode [] available",
         {"WRN Barcode \"a\\nb\\x1b[2J\\x00\" not defined in database."}},
        {"control bytes are escaped, fallback", "[]\n", "[]\nF\n", "x\r\n1", "F",
         {"WRN Barcode \"x\\r\\n1\" not defined in database.", "WRN No format specified for barcode 'x\\r\\n1'"}},
        // Regression: so are DEL and the bytes from 0x80 up (8-bit controls).
        {"high bytes are escaped", "[]\nformat=q\n", "[]\nF\n", "\x7f\x9b\xe9\xff", "F",
         {"WRN Barcode \"\\x7f\\x9b\\xe9\\xff\" not defined in database.",
          "WRN Unknown format for barcode '\\x7f\\x9b\\xe9\\xff': using default."}},
        // A code the table lacks, found by a form of its GTIN.
        {"a Digital Link finds its EAN-13", ean13 + both_fallbacks, formats, link, "Pen\\nPrice: 1.99",
         {"INF Barcode \"" + link + "\" answered as GTIN 09506000134352"}},
        {"an element string finds its EAN-13", ean13, formats, "]d2010950600013435210A\x1d" "21S",
         "Pen\\nPrice: 1.99", {"INF Barcode \"]d2010950600013435210A\\x1d21S\" answered as GTIN 09506000134352"}},
        {"a GTIN-14 finds its EAN-13", ean13, formats, "09506000134352", "Pen\\nPrice: 1.99",
         {"INF Barcode \"09506000134352\" answered as GTIN 09506000134352"}},
        {"a UPC-A sent as 13 digits finds its 12", "[036000291452]\nformat=price\ntag.description=Tea\n", formats,
         "0036000291452", "Tea\\nPrice: ", {"INF Barcode \"0036000291452\" answered as GTIN 00036000291452",
         "WRN Tag 'tag.price' from format 'price' not found: using empty string."}},
        {"an EAN-13 finds its GTIN-14", "[09506000134352]\nformat=price\ntag.description=Pen\ntag.price=1\n",
         formats, "9506000134352", "Pen\\nPrice: 1", {"INF Barcode \"9506000134352\" answered as GTIN 09506000134352"}},
        {"the longer form first", "[9506000134352]\nformat=price\n[09506000134352]\nformat=\ntag.description=14\n",
         formats, link, "fallback 14", {"INF Barcode \"" + link + "\" answered as GTIN 09506000134352"}},
        {"an exact entry wins over its GTIN", ean13 + "[" + link + "]\nformat=\ntag.description=exact\n", formats,
         link, "fallback exact", {}},
        {"a wrong check digit is no GTIN", ean13 + both_fallbacks, formats, "09506000134353", "Anything\\nPrice: ",
         {"WRN Barcode \"09506000134353\" not defined in database.",
          "WRN Tag 'tag.price' from format 'price' not found: using empty string."}},
        {"an unlisted GTIN gets the fallback", both_fallbacks, formats, link, "Anything\\nPrice: ",
         {"WRN Barcode \"" + link + "\" not defined in database.",
          "WRN Tag 'tag.price' from format 'price' not found: using empty string."}},
        // The code's own values.
        {"a code's values fill gs1 placeholders", ean13, dated, link, "Pen, best before 31.12.2027 (271231), lot AB",
         {"INF Barcode \"" + link + "\" answered as GTIN 09506000134352"}},
        {"the entry's tag wins over the code's value", ean13 + "tag.gs1.17=280200\n", dated, link,
         "Pen, best before 29.02.2028 (280200), lot AB",
         {"INF Barcode \"" + link + "\" answered as GTIN 09506000134352"}},
        {"a pattern writes dates alone", ean13, "[price]\nlot ${gs1.10:DD.MM.YYYY}\n",
         "https://id.gs1.org/01/09506000134352/10/280101", "lot 280101",
         {"INF Barcode \"https://id.gs1.org/01/09506000134352/10/280101\" answered as GTIN 09506000134352"}},
        {"a value the code lacks is empty, unwarned", ean13, dated, "9506000134352", "Pen, best before  (), lot ", {}},
    };
    for (const Case& c : cases) {
        Barcode_db db;
        database(db, c.barcodes, c.formats);
        std::string answer;
        Lines log = logged(3, [&] {
            try {
                answer = db.lookup(c.code);
            } catch (const std::string& message) {
                answer = "throw: " + message;
            }
        });
        EXPECT_EQ(answer, c.answer) << c.name;
        EXPECT_EQ(log, c.log) << c.name;
    }
}

// The index never fills: at every table size, below, at and past a power of
// two, a barcode that is not there is looked for and not found.
TEST(Lookup, MissingBarcodeIsNotFoundAtEveryTableSize)
{
    for (int count : {1, 7, 8, 15, 16, 17, 31, 32, 33, 63, 64, 65, 128}) {
        std::string barcodes;
        for (int i = 0; i < count; ++i) barcodes += "[" + std::to_string(i) + "]\nformat=f\n";
        Barcode_db db;
        database(db, barcodes, "[f]\nF\n");
        Barcode_tags tags;
        EXPECT_FALSE(db.barcodes().find("missing", tags)) << count;
        EXPECT_TRUE(db.barcodes().find(std::to_string(count - 1), tags)) << count;
    }
}

TEST(Lookup, DumpLines)
{
    Barcode_db db;
    database(db, "[1]\n", "[]\nF\n");
    Lines log = logged(5, [&] { EXPECT_EQ(db.lookup("1"), "F"); });
    EXPECT_EQ(log, (Lines{
                       "DMP Looking up barcode \"1\"",
                       "DMP Barcode found",
                       "WRN No format specified for barcode '1'",
                       "DMP Using format \"\"",
                       "DMP Format \"\" found",
                   }));
}

// ---- Reloading ----

class Reloading : public testing::Test {
protected:
    void write(const std::string& name, const std::string& content, long seconds)
    {
        write_file(my_dir.file(name), content);
        set_write_time(my_dir.file(name), seconds);
    }
    Lines load(unsigned level = 3)
    {
        return logged(level, [&] {
            try {
                my_db.load(my_dir.path());
            } catch (const std::string& message) {
                log("THR") << message;
                log_end_line();
            }
        });
    }
    // Barcode 1 in format f, answered "one", both files written at one
    // time, loaded; the log lines of the load.
    Lines load_first()
    {
        write("barcodes.ini", "[1]\nformat=f\n", 1000000);
        write("formats.ini", "[f]\none\n", 1000000);
        return load();
    }
    // The line that says the file `name` is read.
    std::string reloading(const std::string& name) const { return "INF Reloading " + my_dir.file(name); }

    std::string answer(const std::string& code)
    {
        Log_capture quiet;
        try {
            return my_db.lookup(code);
        } catch (const std::string& message) {
            return "throw: " + message;
        }
    }

    Temp_dir my_dir;
    Barcode_db my_db;
};

// Both files are read at the first load, and not again while they stay as
// they are: nor for an edit that keeps the write time and the size.
TEST_F(Reloading, ReadsAFileOnceAndNotForAnEditThatKeepsItsTimeAndSize)
{
    EXPECT_EQ(load_first(), (Lines{reloading("barcodes.ini"), reloading("formats.ini")}));
    EXPECT_EQ(answer("1"), "one");
    EXPECT_EQ(load(), Lines{});
    write("formats.ini", "[f]\ntwo\n", 1000000);
    EXPECT_EQ(load(), Lines{});
    EXPECT_EQ(answer("1"), "one");
}

// A second edit within the same second is seen (fractions count, down to
// the 100 ns that Windows keeps).
TEST_F(Reloading, ReadsASecondEditWithinTheSameSecond)
{
    load_first();
    write("formats.ini", "[f]\nthree\n", 1000000);
    set_write_time(my_dir.file("formats.ini"), 1000000, 500);
    EXPECT_EQ(load(), Lines{reloading("formats.ini")});
    EXPECT_EQ(answer("1"), "three");
}

// A new file renamed over it with the old time and size (cp -p, an
// archive) is read; so is one edited in place to another size.
TEST_F(Reloading, ReadsAnotherFileOfTheSameTimeAndSizeOrOneOfAnotherSize)
{
    load_first();
    write("formats.new", "[f]\nsix\n", 1000000);
    ASSERT_TRUE(rename_over(my_dir.file("formats.new"), my_dir.file("formats.ini")));
    EXPECT_EQ(load(), Lines{reloading("formats.ini")});
    EXPECT_EQ(answer("1"), "six");
    write("formats.ini", "[f]\neight!\n", 1000000);
    EXPECT_EQ(load(), Lines{reloading("formats.ini")});
    EXPECT_EQ(answer("1"), "eight!");
}

// An older copy is read too; level 2 logs no INF line for it.
TEST_F(Reloading, ReadsAnOlderCopyAndLogsItOnlyFromLevelThree)
{
    load_first();
    write("formats.ini", "[f]\nolder\n", 999);
    EXPECT_EQ(load(), Lines{reloading("formats.ini")});
    EXPECT_EQ(answer("1"), "older");
    write("barcodes.ini", "[1]\nformat=g\n[]\n", 5);
    EXPECT_EQ(load(2), Lines{});
    EXPECT_EQ(answer("1"), "throw: Unknown format for barcode 1 and no backup format [] available");
}

TEST_F(Reloading, AMissingBarcodesFileIsReportedOnEveryCall)
{
    const std::string b = my_dir.file("barcodes.ini");
    write("formats.ini", "[]\nF\n", 100);
    const Lines missing_barcodes = {"WRN Could not stat " + b + ": force reloading.", "INF Reloading " + b,
                                    "THR ERROR: barcodes file \"" + b + "\" not found."};
    EXPECT_EQ(load(), missing_barcodes);
    EXPECT_EQ(load(), missing_barcodes); // the formats file is not even examined
    EXPECT_TRUE(my_db.formats().empty());
    write("barcodes.ini", "[]\n", 100);
    EXPECT_EQ(load(), (Lines{"INF Reloading " + b, "INF Reloading " + my_dir.file("formats.ini")}));
    EXPECT_EQ(answer("x"), "F");
}

// A formats file that goes is reported on every call; the barcode table
// stays.
TEST_F(Reloading, AMissingFormatsFileIsReportedOnEveryCall)
{
    const std::string f = my_dir.file("formats.ini");
    write("barcodes.ini", "[]\n", 100);
    write("formats.ini", "[]\nF\n", 100);
    EXPECT_EQ(load().size(), 2u);
    ASSERT_EQ(std::remove(f.c_str()), 0);
    const Lines missing_formats = {"WRN Could not stat " + f + ": force reloading.", "INF Reloading " + f,
                                   "THR ERROR: format file \"" + f + "\" not found"};
    EXPECT_EQ(load(), missing_formats);
    EXPECT_EQ(load(), missing_formats);
    EXPECT_EQ(my_db.barcodes().size(), 1u);
    EXPECT_TRUE(my_db.formats().empty());
}

// A file that exists but cannot be read must not be taken as read: it is
// tried again on every call, and service comes back by itself, even when
// the file returns with the very write time it had while unreadable.
// Regression: only regular files are read; a named pipe blocked the server
// for ever, a link to a device filled memory or the log.
TEST_F(Reloading, RegressionUnreadableFileIsTriedAgainUntilItCanBeRead)
{
    const std::string b = my_dir.path() + "/barcodes.ini";
    write("formats.ini", "[]\nF\n", 100);
    std::vector<std::pair<const char*, std::function<bool()>>> cases = {
        {"directory", [&] { return std::filesystem::create_directory(b); }},
    };
#ifndef _WIN32 // Windows has no named pipes or device links among files
    cases.push_back({"named pipe", [&] { return mkfifo(b.c_str(), 0644) == 0; }});
    cases.push_back({"character device", [&] { return symlink("/dev/urandom", b.c_str()) == 0; }});
#endif
    for (const auto& c : cases) {
        ASSERT_TRUE(c.second());
        const Lines unreadable = {"INF Reloading " + b,
                                  "WRN " + b + " is a " + c.first + ", not a regular file: not read.",
                                  "THR ERROR: barcodes file \"" + b + "\" not found."};
        EXPECT_EQ(load(), unreadable);
        EXPECT_EQ(load(), unreadable);
        ASSERT_TRUE(std::filesystem::remove(b));
        write("barcodes.ini", "[]\n", 4242);
        EXPECT_EQ(load().at(0), "INF Reloading " + b);
        EXPECT_EQ(answer("x"), "F");
        EXPECT_EQ(load(), Lines{});
        ASSERT_TRUE(std::filesystem::remove(b));
    }
}

#ifdef __linux__
// Files of the kernel that tell a size other than what they hold stand for a
// file that grows between the look and the read (this thread's name, 0 bytes
// by its size), and for one that fails while it is read (a read error
// at once, 4096 bytes by its size).
TEST_F(Reloading, FilesAreReadUpToTheirExaminedSizeAndAgainAfterAReadError)
{
    const std::string b = my_dir.file("barcodes.ini"), f = my_dir.file("formats.ini");
    write("formats.ini", "[]\nF\n", 100);
    char name[16] = {};
    ASSERT_EQ(pthread_getname_np(pthread_self(), name, sizeof name), 0);
    ASSERT_EQ(pthread_setname_np(pthread_self(), "[7]"), 0); // "[7]\n"
    ASSERT_EQ(symlink(("/proc/self/task/" + std::to_string(gettid()) + "/comm").c_str(), b.c_str()), 0);
    EXPECT_EQ(load(), (Lines{"INF Reloading " + b, "INF Reloading " + f}));
    pthread_setname_np(pthread_self(), name);
    EXPECT_TRUE(my_db.barcodes().empty());

    if (!std::filesystem::exists("/sys/class/net/lo/speed")) GTEST_SKIP() << "no sysfs";
    ASSERT_TRUE(std::filesystem::remove(b));
    ASSERT_EQ(symlink("/sys/class/net/lo/speed", b.c_str()), 0);
    const Lines failed = {"INF Reloading " + b, "WRN Read error in " + b + ": it is read again at the next request."};
    EXPECT_EQ(load(), failed);
    EXPECT_EQ(load(), failed);
}
#endif

TEST_F(Reloading, DirectoryNamesBuildThePaths)
{
    Barcode_db db;
    Lines lines = logged(3, [&] {
        for (const std::string& dir : {std::string(), my_dir.path() + "/"}) {
            try {
                db.load(dir);
            } catch (const std::string& message) {
                log("THR") << message;
                log_end_line();
            }
        }
    });
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2], "THR ERROR: barcodes file \"./barcodes.ini\" not found.");
    EXPECT_EQ(lines[5], "THR ERROR: barcodes file \"" + my_dir.path() + "//barcodes.ini\" not found.");
}

} // namespace

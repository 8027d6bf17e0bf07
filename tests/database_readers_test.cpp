// Reading the barcodes and formats files: sections, lines and every warning.
#include "database.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "database_test_util.h"

namespace {

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

} // namespace

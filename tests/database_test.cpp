// The database: a lookup with its fallbacks, and reading the files again
// when they change.
#include "database.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#endif

#include "database_test_util.h"

namespace {

// ---- Lookup ----


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
    const std::string labels =
        "[]\nformat=label\ntag.description=?\nlabel.weighed=21IIIIIVVVVVC weight 3 kg\n"
        "label.priced=25IIIIIXVVVVC price 2\nlabel.five=26IIIIXVVVVVC price 2\nlabel.upc=2IIIIIVVVVVC price 2\n"
        "[2112345000008]\nformat=label\ntag.description=Cheese\n[2567890000001]\nformat=label\ntag.description=Ham\n"
        "[2647110000001]\nformat=label\ntag.description=Olives\n[212345000007]\nformat=label\ntag.description=Bread\n";
    const std::string label_format = "[label]\n${description} ${label.value} ${label.unit} (${label.item})\n";
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
        {"a weight in any decimal position", ean13, "[price]\n${gs1.310x} kg\n", "]C10109506000134352" "3102000125",
         "1.25 kg", {"INF Barcode \"]C10109506000134352" "3102000125\" answered as GTIN 09506000134352"}},
        // As scanners send codes.
        {"a lot that looks like a link finds its own GTIN", ean13 + "[96385074]\nformat=\n", formats,
         "]d2010950600013435210A.B/01/96385074", "Pen\\nPrice: 1.99",
         {"INF Barcode \"]d2010950600013435210A.B/01/96385074\" answered as GTIN 09506000134352"}},
        {"a code found without its AIM identifier", "[ABC-42]\nformat=price\ntag.description=Box\ntag.price=2\n",
         formats, "]C0ABC-42", "Box\\nPrice: 2", {}},
        {"a code found without its CR", "[ABC-42]\nformat=price\ntag.description=Box\ntag.price=2\n", formats,
         "ABC-42\r", "Box\\nPrice: 2", {}},
        {"an EAN-13 found after ]E0", ean13, formats, "]E09506000134352", "Pen\\nPrice: 1.99", {}},
        {"a magazine's add-on", ean13, formats, "950600013435203", "Pen\\nPrice: 1.99",
         {"INF Barcode \"950600013435203\" answered as GTIN 09506000134352"}},
        {"a UPC-E finds its UPC-A", "[042100005264]\nformat=price\ntag.description=Gum\ntag.price=1\n", formats,
         "04252614", "Gum\\nPrice: 1", {"INF Barcode \"04252614\" answered as GTIN 00042100005264"}},
        {"an exact UPC-E wins", "[04252614]\nformat=\ntag.description=exact\n[042100005264]\nformat=price\n", formats,
         "04252614", "fallback exact", {}},
        // Scale labels: the article under the label's key, the value read.
        {"a weighed label", labels, label_format, "2112345012506", "Cheese 1.250 kg (12345)",
         {"INF Barcode \"2112345012506\" answered as label 2112345000008"}},
        {"a priced label with its verifier digit", labels, label_format, "2567890703490", "Ham 3.49  (67890)",
         {"INF Barcode \"2567890703490\" answered as label 2567890000001"}},
        {"a five-digit verifier", labels, label_format, "2647116146857", "Olives 146.85  (4711)",
         {"INF Barcode \"2647116146857\" answered as label 2647110000001"}},
        {"a UPC-A label sent as 13 digits", labels, label_format, "0212345003497", "Bread 3.49  (12345)",
         {"INF Barcode \"0212345003497\" answered as label 212345000007"}},
        {"a value of zeros", labels, label_format, "2112345000008", "Cheese 0.000 kg (12345)", {}},
        {"a wrong verifier digit", labels, label_format, "2567890803497", "?   ()",
         {"WRN Barcode \"2567890803497\" not defined in database."}},
        {"a wrong check digit", labels, label_format, "2112345012507", "?   ()",
         {"WRN Barcode \"2112345012507\" not defined in database."}},
        {"a label whose article is not listed", labels, label_format, "2199999012502", "? 1.250 kg (99999)",
         {"INF Barcode \"2199999012502\" is a label of 2199999000004, which is not listed",
          "WRN Barcode \"2199999012502\" not defined in database."}},
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

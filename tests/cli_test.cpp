// The command line, through the built program.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <sys/stat.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
#include <sys/resource.h>
#include <regex>
#include <set>

#include "database.h"
#include "escapes.h"
#include "log.h"
#include "platform_files.h"
#include "command_line.h"
#include "server.h"
#include "log_messages.h"
#include "test_util.h"
#include "text_encoding.h"
#include "version.h"

namespace {


const char* const help_text =
    "ulvane_server.exe [-h] | { [-log=file] [-d] [-p=nnnnn] [-db=dir] }\n"
    "\n"
    "VERSION = 0.2\n"
    "\n"
    "This is a fully functional example implementation for an ulvane server program.\n"
    "ulvane_server.exe can function as a stand-alone database server and is\n"
    "configurable by comandline options.\n"
    "It has a simple ini-file style database implementation that is seperated \n"
    "into two files (also see option -db):\n"
    "   formats.ini  - a file containing formats for sending to the ulvanes\n"
    "   barcodes.ini - a file containing all barcodes and their 'tags'.\n"
    "\n"
    "   -h|-help|/h/H  show this text\n"
    "   -p=nnnnn       [9000] use port nnnnn to listen to instead the default\n"
    "                  for now, only udp communication is supported\n"
    "   -db=dir        [.] use directory dir instead pf the current directory for\n"
    "                  looking for files formats.ini and barcodes.ini\n"
    "   -log=file      write logging to 'file'instead of standard out\n"
    "   -l=n           [3] log-level (1=fatal, 2=warning, 3=info, 4=debug, 5=dump (TODO)\n";

Run_result server(std::vector<std::string> args, const std::string& dir = "")
{
    args.insert(args.begin(), ULVANE_SERVER_PATH);
    return run_program(args, 20, dir);
}

TEST(CommandLine, HelpOptionsShowTheHelpAndEnd)
{
    for (const char* option : {"-h", "/h", "/H", "-help", "/help"}) {
        Run_result r = server({"-p=1234", option, "-bogus"});
        EXPECT_EQ(r.status, 0) << option;
        EXPECT_EQ(r.out, help_text) << option;
        EXPECT_EQ(r.err, "") << option;
    }
}

TEST(CommandLine, UnknownOptionsAreRefused)
{
    for (const char* option : {"-d", "-H", "-HELP", "-help=x", "-x", "", "p=1", "-P=1", "-log", "--p=1", "x-db=."}) {
        Run_result r = server({"-l=0", option, "-h"});
        EXPECT_EQ(r.status, 255) << option; // -1
        EXPECT_EQ(r.err, std::string("ERROR: unkown option \"") + option + "\"\n\n") << option;
        EXPECT_EQ(r.out, help_text) << option;
    }
}

// The log's rotation takes whole numbers in range only: a slip must not
// lift the cap on the log; -allow= networks that are networks, -listen=
// addresses, 64 at most (a value taken runs on to the missing database).
TEST(CommandLine, TheLogsRotationAndTheNetworksAnsweredTakeOnlyWhatIsMeant)
{
    const std::pair<std::string, const char*> cases[] = {
        {"-logsize=1048576", nullptr}, {"-logfiles=99", nullptr},
        {"-logsize=1048577", "-logsize= takes a whole number from 0 to 1048576, not \"1048577\""},
        {"-logsize=10M", "-logsize= takes a whole number from 0 to 1048576, not \"10M\""},
        {"-logfiles=100", "-logfiles= takes a whole number from 0 to 99, not \"100\""},
        {"-allow=192.168.10.0/24,10.1.0.0/16,192.168.10.7", nullptr}, {"-allow=any", nullptr}, {"-allow=", nullptr},
        {"-allow=10.1.0.0/33", "-allow=: \"10.1.0.0/33\" is no network: write an address (192.168.10.7) or a network in "
                               "CIDR form (192.168.10.0/24)"},
        {"-allow=10.1.0/16", "-allow=: \"10.1.0/16\" is no network: write an address (192.168.10.7) or a network in "
                             "CIDR form (192.168.10.0/24)"},
        {"-allow=shop.lan,", "-allow=: \"shop.lan\" is no network: write an address (192.168.10.7) or a network in "
                             "CIDR form (192.168.10.0/24)"},
        {"-allow=10.0.0.0/-8", "-allow=: \"10.0.0.0/-8\" is no network: write an address (192.168.10.7) or a network "
                               "in CIDR form (192.168.10.0/24)"},
        {"-allow=" + [] {
             std::string list = "10.0.0.0/8";
             for (int i = 1; i <= 64; ++i) list += ",10.0.0." + std::to_string(i);
             return list;
         }(), "-allow=: more than 64 networks"},
        {"-listen=10.77.0.1,10.77.0.1", nullptr}, {"-listen=any", nullptr}, {"-listen=0.0.0.0,10.1.1.1", nullptr},
        {"-listen=10.1.1", "-listen=: \"10.1.1\" is no IPv4 address of this host's (write it as 192.168.10.2)"},
        {"-listen=shop-pc", "-listen=: \"shop-pc\" is no IPv4 address of this host's (write it as 192.168.10.2)"},
        {"-listen=" + [] {
             std::string list = "10.0.0.0";
             for (int i = 1; i <= 64; ++i) list += ",10.0.0." + std::to_string(i);
             return list;
         }(), "-listen=: more than 64 addresses"},
    };
    for (const auto& [option, refused] : cases) {
        Temp_dir dir;
        Run_result r = server({"-db=" + dir.path(), option});
        EXPECT_EQ(r.status, 255) << option;
        if (refused != nullptr) {
            EXPECT_EQ(r.err, std::string("ERROR: ") + refused + "\n") << option;
        } else {
            EXPECT_NE(r.err.find("barcodes file"), std::string::npos) << option << ": " << r.err;
        }
    }
}

// -logsize= counts MiB: a log file 64 bytes short of 1 MiB is rotated once
// by the start-up's lines, and its successor not again; -logfiles= keeps
// one.
TEST(CommandLine, TheLogIsRotatedAtItsSizeInMiB)
{
    Temp_dir dir;
    const std::string full(1024 * 1024 - 64, 'x');
    write_file(dir.file("s.log"), full);
    write_file(dir.file("s.log.1"), "older");
    Run_result r = server({"-log=" + dir.file("s.log"), "-logsize=1", "-logfiles=1", "-db=" + dir.path()});
    EXPECT_EQ(r.status, 255) << r.err; // no database
    EXPECT_EQ(read_file(dir.file("s.log.1")).substr(0, full.size()), full);
    EXPECT_FALSE(std::filesystem::exists(dir.file("s.log.2")));
    EXPECT_NE(read_file(dir.file("s.log")).find("] Log file " + dir.file("s.log") + " rotated at "), std::string::npos);
}

// A path longer than Windows' file calls take is refused at the start,
// named, rather than found missing later; elsewhere the system's calls
// decide (the run goes on to the missing database).
TEST(CommandLine, APathTooLongForTheSystemIsRefused)
{
    Temp_dir dir;
    const std::string deep = dir.path() + "/" + std::string(120, 'd') + "/" + std::string(130, 'e');
    for (const std::string option : {"-db=", "-log=", "-stats="}) {
        Run_result r = server({option == "-db=" ? "-l=3" : "-db=" + dir.path(), option + deep});
        EXPECT_EQ(r.status, 255) << option;
#ifdef ULVANE_WINDOWS_BUILD
        EXPECT_NE(r.err.find("ERROR: the path "), std::string::npos) << option << ": " << r.err;
        EXPECT_NE(r.err.find(std::string(130, 'e') + " is "), std::string::npos) << option << ": " << r.err;
        EXPECT_NE(r.err.find(" characters long; Windows allows this program "), std::string::npos) << option;
#else
        EXPECT_EQ(r.err.find("ERROR: the path "), std::string::npos) << option << ": " << r.err;
#endif
    }
}

// Without a database the run ends after the first load fails; the log lines
// of start-up come before that (here without their source positions).
// `run` is the whole run, for a message.
std::vector<std::string> start_up_lines(const std::vector<std::string>& args, Run_result& run)
{
    Temp_dir dir;
    run = server(args, dir.path());
    std::vector<std::string> start_up;
    for (const std::string& l : log_messages(run.err))
        if (l.find("Using ") != std::string::npos || l.find("UDP port") != std::string::npos ||
            l.find("db_dir=") != std::string::npos)
            start_up.push_back(without_source_position(l));
    return start_up;
}

TEST(CommandLine, SettingsAreAnnouncedAsRead)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {{}, {"INF Using database directory .", "INF Using UDP port 9000"}},
        {{"-p=1234", "-db=x/y z"}, {"INF Using database directory x/y z", "INF Using UDP port 1234"}},
        {{"-p=abc"}, {"INF Using database directory .", "INF Using UDP port 0"}},
        {{"-p="}, {"INF Using database directory .", "INF Using UDP port 0"}},
        {{"-p= \t-12x"}, {"INF Using database directory .", "INF Using UDP port -12", "WRN Port -12 is outside 0 to 65535: using UDP port 65524 instead."}},
        {{"-p=+77"}, {"INF Using database directory .", "INF Using UDP port 77"}},
        {{"-p=70000"}, {"INF Using database directory .", "INF Using UDP port 70000", "WRN Port 70000 is outside 0 to 65535: using UDP port 4464 instead."}},
        {{"-p=1", "-p=2", "-db=a", "-db="}, {"INF Using database directory ", "INF Using UDP port 2"}},
        {{"-p=65535"}, {"INF Using database directory .", "INF Using UDP port 65535"}},
        {{"-p=65536"}, {"INF Using database directory .", "INF Using UDP port 65536", "WRN Port 65536 is outside 0 to 65535: using UDP port 0 instead."}},
        {{"-p=99999999999999999999"}, {"INF Using database directory .", "INF Using UDP port 2147483647", "WRN Port 2147483647 is outside 0 to 65535: using UDP port 65535 instead."}},
        {{"-p=-99999999999"}, {"INF Using database directory .", "INF Using UDP port -2147483648", "WRN Port -2147483648 is outside 0 to 65535: using UDP port 0 instead."}},
        {{"-l=4", "-db=x"},
         {"DBG db_dir=\"x\"", "INF Using database directory x", "INF Using UDP port 9000"}},
        {{"-db=x", "-l=4"}, {"INF Using database directory x", "INF Using UDP port 9000"}},
        {{"-l=2"}, {}},
        {{"-l=0"}, {}},
        {{"-l=9"}, {"INF Using database directory .", "INF Using UDP port 9000"}},
        {{"-l=-1"}, {"INF Using database directory .", "INF Using UDP port 9000"}},
        {{"-l=abc"}, {}},
    };
    for (const Case& c : cases) {
        Run_result run;
        EXPECT_EQ(start_up_lines(c.args, run), c.lines) << (c.args.empty() ? "" : c.args[0]) << ": status " << run.status << ", " << run.err;
    }
}

// Every -log= switches the log again; lines before the first go to standard
// error, and a file's lines are appended to it.
TEST(CommandLine, EveryLogOptionSwitchesTheLog)
{
    Temp_dir dir;
    write_file(dir.file("a.log"), "kept\n");
    const Run_result r = server({"-db=" + dir.file("none"), "-log=" + dir.file("a.log"), "-l=3"}, dir.path());
    EXPECT_EQ(r.status, 255);
    const std::vector<std::string> a = split_lines(read_file(dir.file("a.log")));
    ASSERT_GE(a.size(), 3u);
    EXPECT_EQ(a[0], "kept");
    EXPECT_EQ(log_messages(a[1])[0], "INF Using database directory " + dir.file("none"));
}

// Regression: an unopenable log file left the log on standard error
// silently. It says why, in the system's words: "Is a directory" here,
// "Permission denied" on Windows.
TEST(CommandLine, AnUnopenableLogFileIsSaidOnStandardError)
{
    Temp_dir dir;
    const Run_result r = server({"-log=" + dir.path(), "-db=" + dir.file("none")}, dir.path());
    EXPECT_EQ(r.status, 255);
    const std::vector<std::string> lines = log_messages(r.err);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("WRN Could not open log file " + dir.path() +
                                                      ": [A-Z][a-z ]+\\. The log goes to standard error\\.")))
        << lines[0];
    EXPECT_EQ(lines[1], "INF Using database directory " + dir.file("none"));
}

// A log file named before the help option has been opened already.
TEST(CommandLine, ALogFileNamedBeforeTheHelpIsOpened)
{
    Temp_dir dir;
    EXPECT_EQ(server({"-log=" + dir.file("b.log"), "-h"}).status, 0);
    EXPECT_EQ(read_file(dir.file("b.log")), "");
    EXPECT_EQ(access(dir.file("b.log").c_str(), F_OK), 0);
}

// Writes the database into `dir` and runs the checker on it, after `args`.
Run_result check(const Temp_dir& dir, const std::string& barcodes, const std::string& formats,
                 std::vector<std::string> args = {})
{
    write_file(dir.file("barcodes.ini"), barcodes);
    write_file(dir.file("formats.ini"), formats);
    args.insert(args.begin(), {ULVANE_CHECK_PATH, "-db=" + dir.path()});
    return run_program(args);
}

// The findings no reader reports, exactly, each at its line.
TEST(Check, FindsTheMistakesOfBothFiles)
{
    Temp_dir dir;
    const Run_result r = check(dir, "[]\nformat=short\n[1]\nformat=price\ntag.price = 1.99\n[2]\nformat=nothere\n"
                                    "[3]\nformat=price \ntag.description=x\ntag.description=y\n[1]\nformat=short\nformat=x\n"
                                    "[4\ntag.x=1\n[5]\nno equals\ntag.description=C:\\new\\%\\x4 \\\n",
                               "[]\n${description}\n[price]\n${description} ${price}\n[short]\n\\x4G\n${\nname\n"
                               "[unused]\nx\n[price]\nagain\n[short]\nother\n[bad\nlost\n", {"-l=2"});
    EXPECT_EQ(r.status, 1);
    const std::string b = dir.file("barcodes.ini") + ":", f = dir.file("formats.ini") + ":";
    EXPECT_EQ(split_lines(r.out), (std::vector<std::string>{
        b + "3: error: barcode '1' has no tag.description for ${description} of format 'price': the answer holds an empty string there "
            "(and 1 more line like it, at line 6 ('2', ''))",
        b + "3: error: barcode '1' has no tag.price for ${price} of format 'price': the answer holds an empty string there",
        b + "5: warning: blank before '=': the tag is 'tag.price ', which no placeholder reaches",
        b + "5: warning: blank after '=': the value of 'tag.price ' begins with it",
        b + "6: error: barcode '2' names format 'nothere', which formats.ini lacks: the fallback format [] answers it "
            "(and 1 more line like it, at line 8 ('3', 'price '))",
        b + "9: warning: format name 'price ' ends with a blank",
        b + "11: warning: 'tag.description' again in barcode '3': line 10 is used, this one is not",
        b + "12: warning: barcode '1' again: the section at line 3 is used, this one is not",
        b + "13: warning: in the repeated section of barcode '1' at line 12, which is not used: ignored "
            "(and 1 more line like it, at line 14)",
        b + "15: warning: begins with '[' but does not end with ']', so it is no barcode header",
        b + "16: warning: after the header at line 15, which is not read: ignored",
        b + "18: warning: no '=' in the line, so it is no tag=value line: skipped",
        b + "19: warning: '\\%' at column 23 is no escape: the answer holds both bytes as written (write '\\\\' for a backslash)",
        b + "19: warning: '\\x' without two hexadecimal digits at column 25",
        b + "19: warning: a backslash ends the line at column 29: it makes an escape of the byte that follows it in the answer",
        f + "6: warning: '\\x' without two hexadecimal digits at column 1",
        f + "7: warning: format 'short': '${' is never closed", // where it stands, not at the header
        f + "9: warning: format 'unused' is used by no barcode",
        f + "11: warning: format 'price' again: the section at line 3 is used, this one is not "
            "(and 1 more line like it, at line 13 ('short'))",
        f + "12: warning: in the repeated section of format 'price' at line 11, which is not used: ignored "
            "(and 1 more line like it, at line 14 ('short'))",
        f + "15: warning: begins with '[' but does not end with ']', so it is no format header (write '\\[' for a '[' in a format)",
        f + "16: warning: after the header at line 15, which is not read: ignored",
    }));
    EXPECT_EQ(r.err.find("using empty string"), std::string::npos) << "the previews' merges logged: " << r.err;
}

// A barcode named is previewed as the answer's bytes, with the escapes of
// its tags; without -db= the files are named as in the working directory.
TEST(Check, PreviewsAnAnswerAndNamesTheFilesAsGiven)
{
    const auto findings = [](const std::string& b) {
        return b + "1: warning: before the first barcode section: ignored\n" +
               b + "1: warning: there is no fallback barcode []: a barcode the file lacks gets no answer at all\n" +
               b + "5: warning: '\\%' at column 12 is no escape: the answer holds both bytes as written (write '\\\\' for a backslash)\n" +
               b + "6: warning: key 'note' is neither 'format' nor 'tag.NAME': the server never reads it\n";
    };
    Temp_dir dir;
    const Run_result r = check(dir, "stray\n[7]\nformat=short\ntag.name=A\\\\%\\t\\x41\ntag.note=50\\%\nnote=\\t\n",
                               "[short]\n\\e${name}\\x1d\n", {"7"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, findings(dir.file("barcodes.ini") + ":") +
                     "7: \\eA\\\\%\\tA\\x1d\n  0000  1b 41 5c 25 09 41 1d" + std::string(9 * 3, ' ') + "  .A\\%.A.\n"
                     "  tag.name=A\\\\%\\t\\x41: its escapes become bytes in the answer: \\\\ (5c), \\t (09), \\x41 (41)\n");
    EXPECT_EQ(run_program({ULVANE_CHECK_PATH}, 20, dir.path()).out, findings("barcodes.ini:"));
}

// What an operator pastes or types by slip, which the server would answer
// with a fallback or not at all.
TEST(Check, FindsWhatAnOperatorPastesOrTypesBySlip)
{
    Temp_dir dir;
    const Run_result r = check(dir, "[]\nformat=f\n[ 12345]\nformat=f\n[12345\xc2\xa0]\nformat=f\n[3]\nFormat=f\n"
                                    "colour=red\nformt=f\nTAG.x=1\n[4]\nformat=f\xe2\x80\x8b\n[\xef\xbb\xbf" "5]\nformat=f\n"
                                    "[6]\nformat=G\t\n[7]\nformat=h\ntag.Price=1\ntag_y=2\n"
                                    "[4006381333932]\nformat=f\n[4006381333931]\nformat=f\n[00012345]\nformat=f\n[8]\nformat=\n",
                               "[f]\nx\n[g\t]\ny\n[h]\n${price}\n", {"-l=0"});
    const std::string b = dir.file("barcodes.ini") + ":", f = dir.file("formats.ini") + ":";
    EXPECT_EQ(split_lines(r.out), (std::vector<std::string>{
        b + "3: error: barcode ' 12345' begins with a blank: a scanned code without it never finds this section",
        b + "5: error: barcode '12345\\xc2\\xa0' ends with a no-break space: a scanned code without it never finds this section",
        b + "7: error: barcode '3' has no format= line, and there is no fallback format []",
        b + "8: warning: key 'Format' is neither 'format' nor 'tag.NAME': the server never reads it (did you mean 'format'?) "
            "(and 3 more lines like it, at lines 10 ('formt'), 11 ('TAG.x', 'tag.x'), 21 ('tag_y', 'tag.y'))",
        b + "9: warning: key 'colour' is neither 'format' nor 'tag.NAME': the server never reads it",
        b + "12: error: barcode '4' names format 'f\\xe2\\x80\\x8b', which formats.ini lacks: there is no fallback format [], so it is not answered",
        b + "13: warning: format name 'f\\xe2\\x80\\x8b' ends with a zero-width space",
        b + "14: error: barcode '\\xef\\xbb\\xbf5' begins with a byte order mark: a scanned code without it never finds this section",
        b + "16: error: barcode '6' names format 'G\\t', which formats.ini lacks (it has 'g\\t', which differs only in case): "
            "there is no fallback format [], so it is not answered",
        b + "17: warning: format name 'G\\t' ends with a blank",
        b + "18: error: barcode '7' has no tag.price for ${price} of format 'h': the answer holds an empty string there "
            "(it has 'tag.Price', which differs only in case)",
        b + "22: warning: barcode '4006381333932' ends in 2, but the check digit of a GS1 code of 13 digits with these is 1: "
            "mistyped? (a shop's own code may be so) (and 1 more line like it, at line 26 ('00012345'))",
        b + "28: error: barcode '8' has an empty format= line, and there is no fallback format []",
        f + "3: warning: format name 'g\\t' ends with a tab",
        f + "3: warning: format 'g\\t' is used by no barcode",
    }));
}

// The status gates a deployment: 2 without a database, 0 for a clean one
// and 1 for a finding. A barcode to preview that the database lacks is
// answered by the fallback, which the status tells.
TEST(Check, TheStatusSaysWhetherToDeploy)
{
    Temp_dir dir;
    const std::string examples = "-db=" + std::string(ULVANE_SOURCE_DIR) + "/examples/db";
    EXPECT_EQ(run_program({ULVANE_CHECK_PATH, "-db=" + dir.file("none")}).status, 2);
    EXPECT_EQ(run_program({ULVANE_CHECK_PATH, examples}).status, 0);
    EXPECT_EQ(run_program({ULVANE_CHECK_PATH, examples, "4006381333931"}).status, 0);
    EXPECT_EQ(run_program({ULVANE_CHECK_PATH, examples, "999999"}).status, 1);
}

// Both sides of the largest datagram, a reader's own warning (a line
// without '='), and a repeated section in a file with CR LF line ends
// decide the status; an unused fallback format does not.
TEST(Check, TheLargestDatagramAndEveryWarningDecideTheStatus)
{
    const std::pair<std::string, int> cases[] = {
        {"[b]\nformat=f\ntag.v=" + std::string(65507, 'v') + "\n", 0},
        {"[b]\nformat=f\ntag.v=" + std::string(65508, 'v') + "\n", 1},
        {"[b]\nformat=f\ntag.v=v\nno equals sign\n", 1},
        {"[b]\r\nformat=f\r\ntag.v=v\r\n[b]\r\n", 1},
    };
    Temp_dir dir;
    for (const auto& [barcodes, status] : cases)
        EXPECT_EQ(check(dir, "[]\ntag.v=-\n" + barcodes, "[f]\n${v}\n[]\nunknown\n").status, status) << barcodes.size();
}

// A 2D code in escape notation is previewed as the server answers it, with
// the form of its GTIN that answers and its GS1 data.
TEST(Check, PreviewsA2DCodeByItsGtin)
{
    Temp_dir dir;
    const Run_result r = check(dir, "[]\nformat=f\ntag.d=?\n[9506000134352]\nformat=f\ntag.d=Pen\n", "[f]\n${d} ${gs1.17:DD.MM.YYYY}\n",
                               {"-l=2", "]d2010950600013435217271231" "10AB\\x1d21S", "9506000134352"});
    EXPECT_EQ(r.status, 0) << r.out;
    const std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out; // each with its hex dump
    EXPECT_EQ(lines[0], "]d2010950600013435217271231" "10AB\\x1d21S (by its GTIN 09506000134352, listed as 9506000134352; "
                        "GS1 data (01)09506000134352 (17)271231 (10)AB (21)S): Pen 31.12.2027");
    EXPECT_EQ(lines[2], "9506000134352: Pen "); // listed as it is; an EAN-13 carries no date
    // The example database's price checker for fresh food, as its comment says.
    const Run_result example = run_program({ULVANE_CHECK_PATH, "-db=" + std::string(ULVANE_SOURCE_DIR) + "/examples/db",
                                            "https://id.gs1.org/01/09506000134352/10/L42?15=271231"});
    EXPECT_EQ(example.status, 0);
    EXPECT_NE(example.out.find("Price: 1.19\\nBest before: 31.12.2027\\nLot: L42\n"), std::string::npos) << example.out;
}

// The report's output on `log`, written to dir's file "log", after `options`.
std::string report_of(const Temp_dir& dir, const std::string& log, std::vector<std::string> options = {})
{
    write_file(dir.file("log"), log);
    options.insert(options.begin(), ULVANE_REPORT_PATH);
    options.push_back(dir.file("log"));
    return unix_lines(run_program(options).out);
}

// A log at level 2: warnings only, and a report asked for.
const std::string quiet_log =
    "[2026-12-08 00:10:00 #1 WRN] Barcode \"a\"b\" not defined in database.\n"
    "[2026-12-08 00:10:00 #2 INF] Statistics since 2026-12-07 23:10:00: received=1 answered=1\n"
    "[2026-12-08 00:10:01 #3 WRN] Barcode \"=HYPERLINK(\"http://x\",\"click\")\" not defined in database.\n"
    "[2026-12-08 00:10:01 #4 WRN] Barcode \"-1+1\" not defined in database.\n"
    "[2026-12-08 00:10:01 #5 WRN] Barcode \"@A1\" not defined in database.\n"
    "[2026-12-08 00:10:01 #6 WRN] Unknown format for barcode 'a'b': using default.\n";

// Serialised 2D codes of one article are one unknown barcode, counted by
// their GTIN, a code with a scanner's identifier and CR by the code, scale
// labels by their article's key; the answers by a GTIN or a label are told.
TEST(Report, CountsA2DCodeByItsGtin)
{
    std::string log;
    for (const char* code : {"https://id.gs1.org/01/09506000134352/21/A", "https://id.gs1.org/01/09506000134352/21/B",
                             "]d20109506000134352\\x1d21C", "9506000134352", "]E09506000134352\\r", "2112345012506",
                             "2112345000008"}) {
        log += "[2026-12-07 09:00:00 #1 INF] Received barcode \"" + std::string(code) + "\"\n";
        if (code[0] == '2') log += "[2026-12-07 09:00:00 #2 INF] Barcode \"" + std::string(code) + "\" is a label of 2112345000008, which is not listed\n";
        log += "[2026-12-07 09:00:00 #3 WRN] Barcode \"" + std::string(code) + "\" not defined in database.\n";
    }
    log += "[2026-12-07 09:00:01 #3 INF] Received barcode \"0036000291452\"\n"
           "[2026-12-07 09:00:01 #4 INF] Barcode \"0036000291452\" answered as GTIN 00036000291452\n"
           "[2026-12-07 09:00:01 #5 INF] Received barcode \"2567890003491\"\n"
           "[2026-12-07 09:00:01 #6 INF] Barcode \"2567890003491\" answered as label 2567890000001\n";
    Temp_dir dir;
    EXPECT_EQ(report_of(dir, log, {"-csv"}), "barcode,count,first,last\n\"09506000134352\",3,2026-12-07 09:00:00,2026-12-07 09:00:00\n"
                                             "\"2112345000008\",2,2026-12-07 09:00:00,2026-12-07 09:00:00\n"
                                             "\"9506000134352\",2,2026-12-07 09:00:00,2026-12-07 09:00:00\n");
    EXPECT_NE(report_of(dir, log).find("Requests: 9 barcodes received, 9 answered (1 of them by their GTIN: 2D codes, other GTIN "
                                       "forms) (1 of them by their scale label's article), 0 not"),
              std::string::npos) << report_of(dir, log);
    EXPECT_NE(report_of(dir, log, {"-json"}).find("\"answered\": 9, \"via_gtin\": 1, \"via_label\": 1,"), std::string::npos);
}

// The report on a generated log: a rotated file and the current one, at
// level 3, with failures in both the log's form and standard error's.
TEST(Report, TellsWhatTheServerDidFromItsLogs)
{
    Temp_dir dir;
    write_file(dir.file("log.1"), "[2026-12-07 08:59:58 #1 INF] Using database directory db\n"
                                  "[2026-12-07 08:59:59 #2 INF] Received barcode \"12345\"\n"
                                  "[2026-12-07 09:00:01 #3 INF] Received barcode \"0815\"\n"
                                  "[2026-12-07 09:00:01 #4 WRN] Barcode \"0815\" not defined in database.\n"
                                  "[2026-12-07 09:00:01 #5 WRN] Unknown barcode 0815 and no backup barcode [] available\n"
                                  "[2026-12-07 09:00:02 #6 WRN] Left out 3 log lines of received datagrams since 2026-12-07 09:00:01: "
                                  "over the log's budget of 80 kB a second (a sender flooding the port?).\n" +
                                  std::string(600 * 1024, 'y') + "\n"); // another program's, cut
    write_file(dir.file("log"), "[2026-12-07 09:30:00 #1 INF] Received barcode \"0815\"\n"
                                "[2026-12-07 09:30:00 #2 WRN] Barcode \"0815\" not defined in database.\n"
                                "[2026-12-07 09:30:00 #3 WRN] Unknown barcode 0815 and no backup barcode [] available\n"
                                "[2026-12-07 11:00:00 #4 INF] Received barcode \"a\\x1b\"\r\n"
                                "[2026-12-07 11:00:00 #5 WRN] Barcode \"a\\x1b\" not defined in database.\n"
                                "[2026-12-07 11:00:00 #6 WRN] Answer of 70000 bytes to 10.0.0.2.9000 not sent: WSAGetLastError=90\n"
                                "[2026-12-07 11:00:01 #7 WRN] Left out 12 log lines of received datagrams since 2026-12-07 11:00:00: "
                                "over the log's budget of 80 kB a second (a sender flooding the port?).\n"
                                "[2026-12-07 11:30:00 #8 INF] Received barcode \"77\"\n"
                                "Unknown barcode 77 and no backup barcode [] available\n"
                                "src/server.cpp:219 WSAGetLastError=90\n"
                                "ERROR: unkown option \"-x\"\n"
                                "[2026-12-07 11:45:00 #1 INF] Received barcode \"nf\"\n"
                                "[2026-12-07 11:45:00 #2 WRN] Unknown format for barcode 'nf': using default.\n"
                                "[2026-12-07 11:30:02 #9 INF] Statistics since 2026-12-07 10:00:00: received=3 answered=2 unsent=1; "
                                "since the start 2026-12-07 08:00:00: received=9 answered=8 unsent=1; files: barcodes_entries=1\n"
                                "[2026-12-07 12:00:02 #10 INF] Statistics since 2026-12-07 11:30:02: received=4 answered=4 unsent=0; "
                                "since the start 2026-12-07 08:00:00: received=13 answered=12 unsent=1; files: barcodes_entries=1\n"
                                "[2026-12-07 12:00:03 #11 INF] Received barcode \"12345\"\n"
                                "[2026-12-07 12:00:03 #12 WRN] ERROR: barcodes file \"db/barcodes.ini\" not found.\n");
    Run_result r = run_program({ULVANE_REPORT_PATH, dir.file("log.1"), dir.file("log")});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string third(17, '#'), two_thirds(34, '#'), whole(50, '#');
    auto quiet = [](int from, int to) { // the rows of quiet hours of the day
        std::string rows;
        for (int h = from; h < to; ++h) rows += std::string("  2026-12-07 ") + (h < 10 ? "0" : "") + std::to_string(h) + ":00         0 \n";
        return rows;
    };
    EXPECT_EQ(unix_lines(r.out),
              "Period: 2026-12-07 08:59:58 to 2026-12-07 12:00:03, 2 files, 24 lines (3 not in the log's form)\n"
              "Log level: 3 (INF lines): every request is in it.\n"
              "Left out: 15 log lines of received datagrams over the log's budget (a flood): the counts below miss them.\n"
              "Cut: 1 line longer than 512 kB, read up to there: the server writes none so long.\n"
              "\nRequests per hour:\n" + quiet(0, 8) +
              "  2026-12-07 08:00         1 " + third + "\n"
              "  2026-12-07 09:00         2 " + two_thirds + "\n"
              "  2026-12-07 10:00         0 \n"
              "  2026-12-07 11:00         3 " + whole + "\n"
              "  2026-12-07 12:00         1 " + third + "\n" + quiet(13, 24) +
              "\nRequests: 7 barcodes received, 3 answered, 4 not answered (3 without an entry or format and no fallback [], "
              "1 with a database file missing or unreadable); 1 answers could not be sent\n"
              "The server's own counts (2 statistics reports, summed): received=7 answered=6 unsent=1\n"
              "\nUnknown barcodes, most asked first (2):\n"
              "          2  2026-12-07 09:00:01  2026-12-07 09:30:00  0815\n"
              "          1  2026-12-07 11:00:00  2026-12-07 11:00:00  a\\x1b\n"
              "\nWarnings by kind (6):\n"
              "          3  Barcode \"*\" not defined in database.\n"
              "          2  Left out N log lines of received datagrams since N-N-N N:N:N: over the log's budget of N kB a "
              "second (a sender flooding the port?).\n"
              "          2  Unknown barcode * and no backup barcode [] available\n"
              "          1  Answer of N bytes to N.N.N.N.N not sent: WSAGetLastError=N\n"
              "          1  ERROR: barcodes file \"*\" not found.\n"
              "          1  Unknown format for barcode '*': using default.\n");
}

// The report says what a log at level 2 leaves out; barcodes with quotes
// of their own make no kinds of their own.
TEST(Report, AtLevelTwoSaysWhatTheLogLeavesOut)
{
    Temp_dir dir;
    const std::string out = report_of(dir, quiet_log);
    EXPECT_NE(out.find("Log level: 2 or lower (WRN lines only): the requests and the hourly statistics are INF lines"),
              std::string::npos) << out;
    EXPECT_NE(out.find("Not answered (WRN lines): 0 without"), std::string::npos) << out;
    EXPECT_NE(out.find("Warnings by kind (2):\n          4  Barcode \"*\" not defined in database.\n"
                       "          1  Unknown format for barcode '*': using default.\n"),
              std::string::npos) << out;
}

// The CSV quotes as spreadsheets read it, and no barcode becomes a formula
// cell.
TEST(Report, CsvQuotesAsSpreadsheetsReadAndMakesNoFormula)
{
    Temp_dir dir;
    EXPECT_EQ(report_of(dir, "[2026-12-07 09:30:00 #2 WRN] Barcode \"0815\" not defined in database.\n"
                             "[2026-12-07 11:00:00 #5 WRN] Barcode \"a\\x1b\" not defined in database.\n" + quiet_log, {"-csv"}),
              "barcode,count,first,last\n\"'-1+1\",1,2026-12-08 00:10:01,2026-12-08 00:10:01\n"
              "\"0815\",1,2026-12-07 09:30:00,2026-12-07 09:30:00\n"
              "\"'=HYPERLINK(\"\"http://x\"\",\"\"click\"\")\",1,2026-12-08 00:10:01,2026-12-08 00:10:01\n"
              "\"'@A1\",1,2026-12-08 00:10:01,2026-12-08 00:10:01\n"
              "\"a\"\"b\",1,2026-12-08 00:10:00,2026-12-08 00:10:00\n"
              "\"a\\x1b\",1,2026-12-07 11:00:00,2026-12-07 11:00:00\n");
}

// A flood of different barcodes is counted in bounded memory, and a barcode
// asked for often is never lost among them. One that came after some were
// dropped counts from the highest count dropped: an estimate too high,
// never too low.
TEST(Report, AFloodOfUnknownBarcodesIsCountedInBoundedMemory)
{
    std::string flood;
    for (int i = 0; i < 50000; ++i)
        flood += "[2026-12-08 01:00:00 #1 WRN] " + msg::barcode_not_defined.text(i % 1000 == 999 ? "often" : std::to_string(i)) + "\n";
    Temp_dir dir;
    const std::string out = report_of(dir, flood + "[2026-12-08 02:00:00 #1 WRN] Barcode \"late\" not defined in database.\n");
    const std::vector<std::string> rows = split_lines(out.substr(out.find("Unknown barcodes, most asked first (")));
    ASSERT_GE(rows.size(), 3u) << out;
    std::smatch dropped, late;
    ASSERT_TRUE(std::regex_match(rows[1], dropped, std::regex("More than 20000 different unknown barcodes: the counts are estimates, "
                                                              "each too high by at most ([1-9]\\d*), and barcodes asked for [1-9]\\d* "
                                                              "times or fewer may be missing\\.")))
        << rows[1];
    EXPECT_TRUE(std::regex_match(rows[2], std::regex(" +50  2026-12-08 01:00:00  2026-12-08 01:00:00  often"))) << rows[2];
    ASSERT_TRUE(std::regex_search(out, late, std::regex(" (\\d+)  2026-12-08 02:00:00  2026-12-08 02:00:00  late")));
    EXPECT_EQ(std::stoul(late[1]), std::stoul(dropped[1]) + 1);
}

// Blanks at a barcode's ends and beside each other show: " 12345" is not
// the listed 12345.
TEST(Report, BlanksInABarcodeShow)
{
    Temp_dir dir;
    const std::string out = report_of(dir, "[2026-12-08 00:10:00 #1 WRN] Barcode \" 12345\" not defined in database.\n"
                                           "[2026-12-08 00:10:01 #2 WRN] Barcode \"12345 \" not defined in database.\n"
                                           "[2026-12-08 00:10:02 #3 WRN] Barcode \"123  45\" not defined in database.\n"
                                           "[2026-12-08 00:10:03 #4 WRN] Barcode \"1 2\" not defined in database.\n");
    EXPECT_NE(out.find("          1  2026-12-08 00:10:00  2026-12-08 00:10:00  \\x2012345\n"
                       "          1  2026-12-08 00:10:03  2026-12-08 00:10:03  1 2\n"
                       "          1  2026-12-08 00:10:02  2026-12-08 00:10:02  123\\x20\\x2045\n"
                       "          1  2026-12-08 00:10:01  2026-12-08 00:10:01  12345\\x20\n"),
              std::string::npos) << out;
}

// A file with no line of the server's is no quiet day; a file that cannot
// be read, or none named, ends the report with status 2.
TEST(Report, AFileWithoutTheServersLinesIsNoQuietDay)
{
    Temp_dir dir;
    for (const char* text : {"", "a line of something else\n"})
        EXPECT_NE(report_of(dir, text).find("Log level: none: the files hold no line of the server's log, so there is nothing to "
                                            "tell (is it the right file?).\n"), std::string::npos) << text;
    EXPECT_EQ(run_program({ULVANE_REPORT_PATH, dir.file("none")}).status, 2);
    EXPECT_EQ(run_program({ULVANE_REPORT_PATH}).status, 2);
}

#ifdef ULVANE_MAKE_LARGE_DB_PATH
// Rotated files, one compressed as logrotate leaves it, and the journal's
// output (the default form and short-iso) are read in the order of their
// times, however they are given; a file without a line of the server's
// log says so.
TEST(Report, ReadsRotatedCompressedAndJournalFilesInTheirOrder)
{
    Temp_dir dir;
    auto request = [](const std::string& time, const char* barcode) {
        return "[2026-12-0" + time + " #1 INF] Received barcode \"" + barcode + "\"\n";
    };
    write_file(dir.file("server.log.2"), request("7 08:00:00", "1") + request("7 09:00:00", "2"));
    ASSERT_EQ(run_program({"/usr/bin/gzip", dir.file("server.log.2")}).status, 0);
    write_file(dir.file("server.log.1"), request("8 08:00:00", "3"));
    write_file(dir.file("server.log"), request("9 08:00:00", "4"));
    write_file(dir.file("journal.txt"), "Dec 09 10:00:00 shop ulvane_server[812]: " + request("9 10:00:00", "5") +
                                            "2026-12-09T10:00:01+0100 shop ulvane_server[812]: Unknown barcode 5 and no "
                                            "backup barcode [] available\n");
    write_file(dir.file("empty.log"), "");
    write_file(dir.file("other.log"), "cron started\n");
    write_file(dir.file("cut.gz"), read_file(dir.file("server.log.2.gz")).substr(0, 30)); // a compression cut short
    const Run_result r = run_program({ULVANE_REPORT_PATH, dir.file("server.log"), dir.file("journal.txt"),
                                      dir.file("server.log.2.gz"), dir.file("empty.log"), dir.file("server.log.1"),
                                      dir.file("other.log"), dir.file("cut.gz")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "Period: 2026-12-07 08:00:00 to 2026-12-09 10:00:00, 7 files, 8 lines (2 "
                                                 "not in the log's form)");
    for (const char* note : {"empty.log holds no line of the server's log: it is empty\n",
                                    "other.log holds no line of the server's log: its lines are another program's\n",
                                    "cut.gz (gzip) is damaged after its line 1 (unexpected end of file): the lines "
                                    "before are read\n"})
        EXPECT_NE(r.out.find("File: " + dir.file("") + note), std::string::npos) << note << r.out;
    EXPECT_EQ(r.out.find("cut.gz (gzip) holds no line"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Requests: 5 barcodes received, 4 answered, 1 not answered"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Out of order"), std::string::npos) << r.out;
}

TEST(MakeLargeDb, WritesTheDatabaseOrSaysWhyNot)
{
    Temp_dir dir;
    const Run_result r = run_program({ULVANE_MAKE_LARGE_DB_PATH, dir.file("none"), "10"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "make_large_db: cannot write the database in " + dir.file("none") + ": No such file or directory\n");
    EXPECT_EQ(run_program({ULVANE_MAKE_LARGE_DB_PATH, dir.path(), "10"}).status, 0);
    const std::string barcodes = read_file(dir.file("barcodes.ini"));
    EXPECT_EQ(std::count(barcodes.begin(), barcodes.end(), '['), 11); // and the fallback
}

// A disk that fills while the barcodes are written (a file size limit here,
// which the program inherits) is said.
TEST(MakeLargeDb, SaysADiskThatFills)
{
    Temp_dir dir;
    rlimit old_limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    rlimit limit = old_limit;
    limit.rlim_cur = 4096;
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const Run_result r = run_program({ULVANE_MAKE_LARGE_DB_PATH, dir.path(), "1000"});
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "make_large_db: cannot write the database in " + dir.path() + ": File too large\n");
}
#endif

// The page at `html` rendered by headless Chromium in a window of `size`:
// its screenshot kept among the build's artifacts as `screenshot`, its DOM
// the result's output.
Run_result render(const Temp_dir& dir, const std::string& html, const std::string& size, const std::string& screenshot)
{
    std::filesystem::create_directories(ULVANE_ARTIFACT_DIR);
    const std::vector<std::string> browser = {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                                              "--no-first-run", "--user-data-dir=" + dir.file("profile"),
                                              "--virtual-time-budget=3000", "--window-size=" + size};
    std::vector<std::string> shot = browser;
    shot.insert(shot.end(), {"--screenshot=" + std::string(ULVANE_ARTIFACT_DIR) + "/" + screenshot, "file://" + html});
    EXPECT_EQ(run_program(shot, 120).status, 0);
    std::vector<std::string> dump = browser;
    dump.insert(dump.end(), {"--dump-dom", "file://" + html});
    return run_program(dump, 120);
}

// What a Python script prints of `ulvane_report -json` on dir's file "log"
// (the JSON's file is its argument).
Run_result json_read_by(const Temp_dir& dir, const std::string& script)
{
    Run_result r = run_program({ULVANE_REPORT_PATH, "-json", dir.file("log")});
    EXPECT_EQ(r.status, 0) << r.err;
    write_file(dir.file("report.json"), r.out);
    return run_program({"/usr/bin/python3", "-c", script, dir.file("report.json")});
}

// The log of a day with a quiet hour, failures, statistics and barcodes
// chosen to attack the page's reader, pointing at `url`.
std::string day_of_hostile_barcodes(const std::string& url)
{
    std::string log;
    const std::string hostile[] = {"<script>document.title='owned'</script>", "\"><img src=" + url + "img onerror=alert(1)>",
                                   "<link rel=stylesheet href=" + url + "css>", "caf\xe9\\x1d&amp;\xc0\xaf", "12345 "};
    for (int hour = 8; hour <= 12; hour += 2) // 09:00 and 11:00 are quiet
        for (int k = 0; k < hour - 7; ++k)
            log += "[2026-12-07 " + std::string(hour < 10 ? "0" : "") + std::to_string(hour) + ":0" + std::to_string(k) +
                   ":00 #1 INF] Received barcode \"1\"\n" + (hour == 12 && k < 2 ? "Unknown barcode 1 and no backup barcode [] available\n" : "");
    for (const std::string& h : hostile)
        log += "[2026-12-07 12:30:00 #2 WRN] Barcode \"" + h + "\" not defined in database.\n";
    log += "[2026-12-07 12:59:00 #3 INF] Statistics since 2026-12-07 08:00:00: received=9 answered=7\n"
           "[2026-12-07 12:59:01 #4 WRN] " +
           msg::left_out.text(5, "2026-12-07 12:59:00", 64) + "\n";
    return log;
}

// The JSON of such a day, read by Python's own parser: each figure as the
// text report tells it, the whole day hour by hour.
TEST(Report, JsonTellsTheFiguresOfTheDay)
{
    Temp_dir dir;
    const std::string url = "http://127.0.0.1:9/";
    write_file(dir.file("log"), day_of_hostile_barcodes(url));
    auto quiet_hours = [](int from, int to) { // the whole day is shown
        std::string list;
        for (int h = from; h < to; ++h)
            list += std::string(list.empty() ? "" : ", ") + "('2026-12-07 " + (h < 10 ? "0" : "") + std::to_string(h) + "', 0, 0)";
        return to < 24 ? list + ", " : list;
    };
    const Run_result r = json_read_by(dir, "import json, sys\n"
                                     "sys.stdout.reconfigure(encoding='utf-8')\n"
                                     "d = json.load(open(sys.argv[1], encoding='utf-8'))\n"
                                     "print(d['period'], d['level'], d['left_out'], d['requests'], d['statistics'])\n"
                                     "print([(h['hour'], h['requests'], h['not_answered']) for h in d['hours']])\n"
                                     "print([(u['barcode'], u['count'], u['first']) for u in d['unknown']], d['warnings'])\n");
    EXPECT_EQ(r.out, "{'first': '2026-12-07 08:00:00', 'last': '2026-12-07 12:59:01'} 3 (INF lines) 5 {'received': 9, "
                     "'answered': 7, 'via_gtin': 0, 'via_label': 0, 'not_answered': 2, 'without_entry_or_format': 2, 'database_file_failures': 0, "
                     "'refused': 0, 'not_sent': 0} {'received': 9, 'answered': 7}\n"
                     "[" + quiet_hours(0, 8) + "('2026-12-07 08', 1, 0), ('2026-12-07 09', 0, 0), ('2026-12-07 10', 3, 0), "
                     "('2026-12-07 11', 0, 0), ('2026-12-07 12', 5, 2), " + quiet_hours(13, 24) + "]\n"
                     "[('\"><img src=" + url + "img onerror=alert(1)>', 1, '2026-12-07 12:30:00'), ('12345 ', 1, "
                     "'2026-12-07 12:30:00'), ('<link rel=stylesheet href=" +
                         url + "css>', 1, '2026-12-07 12:30:00'), (\"<script>document.title='owned'</script>\", 1, "
                     "'2026-12-07 12:30:00'), ('café\\\\x1d&amp;À¯', 1, '2026-12-07 12:30:00')] [{'kind': 'Barcode \"*\" not "
                     "defined in database.', 'count': 5}, {'kind': \"Left out N log lines of received datagrams since N-N-N "
                     "N:N:N: over the log's budget of N kB a second (a sender flooding the port?).\", 'count': 1}]\n") << r.err;
}

// The page of such a day, rendered by a real browser (headless Chromium,
// where installed), shows its figures and must load nothing: a listener on
// loopback stands where hostile barcodes point.
TEST(Report, PageShowsTheDayAndLoadsNothing)
{
    Temp_dir dir;
    sockaddr_in listener_address{};
    listener_address.sin_family = AF_INET;
    listener_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    socklen_t length = sizeof listener_address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&listener_address), length), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&listener_address), &length), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(listener_address.sin_port)) + "/";
    write_file(dir.file("log"), day_of_hostile_barcodes(url));
    Run_result r = run_program({ULVANE_REPORT_PATH, "-html", dir.file("log")});
    ASSERT_EQ(r.status, 0) << r.err;
    write_file(dir.file("report.html"), r.out);
    if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/chromium to render the page (apt-get install chromium)";
    r = render(dir, dir.file("report.html"), "1000,1400", "report.png");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string& dom = r.out;
    // A mark for each hour with requests, its failed part told apart.
    const std::regex bar(R"re(<g class="hour" data-hour="([-0-9 ]+)" data-requests="(\d+)" data-not-answered="(\d+)">)re"
                         R"re(<title>[^<]*</title><rect class="(answered|quiet)" x="\d+" (y="\d+" width="\d+" height="\d+"))re");
    std::vector<std::string> marks;
    for (auto m = std::sregex_iterator(dom.begin(), dom.end(), bar); m != std::sregex_iterator(); ++m)
        marks.push_back((*m)[1].str() + " " + (*m)[2].str() + " " + (*m)[3].str() + " " + (*m)[4].str() + " " + (*m)[5].str());
    ASSERT_EQ(marks.size(), 24u) << "the whole day";
    EXPECT_EQ(std::vector<std::string>(marks.begin() + 8, marks.begin() + 13), (std::vector<std::string>{
                         "2026-12-07 08 1 0 answered y=\"128\" width=\"23\" height=\"28\"",
                         "2026-12-07 09 0 0 quiet y=\"155\" width=\"23\" height=\"1\"",
                         "2026-12-07 10 3 0 answered y=\"72\" width=\"23\" height=\"84\"",
                         "2026-12-07 11 0 0 quiet y=\"155\" width=\"23\" height=\"1\"",
                         "2026-12-07 12 5 2 answered y=\"72\" width=\"23\" height=\"84\""}));
    EXPECT_NE(dom.find("<rect class=\"not-answered\" x=\"340\" y=\"16\" width=\"23\" height=\"56\">"), std::string::npos) << dom;
    // Hostile barcodes are text: no element of theirs, their text shown.
    for (const char* element : {"<script", "<img", "<link"}) EXPECT_EQ(dom.find(element), std::string::npos) << element;
    EXPECT_NE(dom.find("&lt;script&gt;document.title='owned'&lt;/script&gt;"), std::string::npos) << dom;
    EXPECT_NE(dom.find("caf<span class=\"esc\">\\xe9</span><span class=\"esc\">\\x1d</span>&amp;amp;<span class=\"esc\">"
                       "\\xc0</span>"), std::string::npos) << dom; // an overlong form is no UTF-8; no escape is broken
    EXPECT_NE(dom.find("<title>ulvane_server: 2026-12-07 08:00:00 to 2026-12-07 12:59:01</title>"), std::string::npos);
    EXPECT_NE(dom.find("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none';"), std::string::npos);
    std::size_t rows = 0;
    for (std::size_t at = dom.find("<td class=\"code\">"); at != std::string::npos; at = dom.find("<td class=\"code\">", at + 1)) ++rows;
    EXPECT_EQ(rows, 5u + 2u) << "a row for each unknown barcode and each kind of warning";
    EXPECT_NE(dom.find("<td class=\"code\">12345<span class=\"esc\">\\x20</span></td>"), std::string::npos)
        << "a trailing blank shows";
    EXPECT_LT(accept(listener, nullptr, nullptr), 0) << "the page loaded something";
    close(listener);
}

// The page lists the 100 most asked unknown barcodes, and says how many
// there were.
TEST(Report, PageListsTheHundredMostAskedUnknownBarcodes)
{
    Temp_dir dir;
    std::string log;
    for (int i = 0; i < 105; ++i)
        log += "[2026-12-07 08:00:00 #1 WRN] " + msg::barcode_not_defined.text("u" + std::to_string(i)) + "\n";
    write_file(dir.file("log"), log);
    const Run_result r = run_program({ULVANE_REPORT_PATH, "-html", dir.file("log")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("<p>105 barcodes the database lacks; the 100 most asked.</p>"), std::string::npos);
    const std::size_t table = r.out.find("<table class=\"unknown\">");
    ASSERT_NE(table, std::string::npos);
    const std::string rows = r.out.substr(table, r.out.find("</table>", table) - table);
    std::size_t count = 0;
    for (std::size_t at = rows.find("<td class=\"code\">"); at != std::string::npos; at = rows.find("<td class=\"code\">", at + 1))
        ++count;
    EXPECT_EQ(count, 100u);
}

// A month's log: a day's lines from 08:00 to 20:00, the 15th closed, and a
// line from 1970 among them.
std::string month_of_requests()
{
    std::string log;
    for (int day = 0; day <= 30; ++day) {
        char date[16];
        std::snprintf(date, sizeof date, "2026-%s-%02d", day < 30 ? "11" : "12", day < 30 ? day + 1 : 1);
        for (int hour = 8; hour < 20 && day != 14; ++hour) // the 15th closed
            for (int k = 0; k < 2; ++k)
                log += "[" + std::string(date) + (hour < 10 ? " 0" : " ") + std::to_string(hour) + ":1" + std::to_string(k) +
                       ":00 #1 INF] Received barcode \"1\"\n";
        if (day == 10) log += "[1970-01-01 00:00:05 #1 INF] Received barcode \"1\"\n";
    }
    return log;
}

// A month is shown hour by hour, every hour of it in order; a line from
// 1970 among them is said once, in no hour.
TEST(Report, AMonthShowsEveryHourAndTheLineWithAWrongClock)
{
    Temp_dir dir;
    write_file(dir.file("log"), month_of_requests());
    Run_result r = json_read_by(dir, "import json, sys\n"
                                     "d = json.load(open(sys.argv[1]))\n"
                                     "h = [x['hour'] for x in d['hours']]\n"
                                     "n = {x['hour']: x['requests'] for x in d['hours']}\n"
                                     "print(len(h), h[0], h[-1], len(set(h)), sorted(h) == h, n['2026-11-10 03'], "
                                     "n['2026-11-15 12'], n['2026-11-10 12'], d['wrong_clock'], d['requests']['received'])\n");
    EXPECT_EQ(r.out, "744 2026-11-01 00 2026-12-01 23 744 True 0 0 2 1 721\n") << r.err;
    r = run_program({ULVANE_REPORT_PATH, dir.file("log")});
    EXPECT_NE(r.out.find("Clock: 1 line whose clock was wrong, the first at line 265 (1970-01-01 00:00:05): a clock not "
                         "set (a time in 1970, 1980 or 2000, where such clocks start, or 0000-00-00) or one that jumped a day or "
                         "more ahead of the lines around it; their "
                         "requests are counted, but in no hour and not in the period.\n"), std::string::npos)
        << r.out.substr(0, 600);
}

// A month's page, at a laptop window's width: a row a day, every hour in
// it, a quiet night and a closed day in sight, labels readable.
TEST(Report, AMonthsPageIsReadableInALaptopsWindow)
{
    Temp_dir dir;
    write_file(dir.file("log"), month_of_requests());
    Run_result r = run_program({ULVANE_REPORT_PATH, "-html", dir.file("log")});
    ASSERT_EQ(r.status, 0) << r.err;
    if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/chromium to render the page (apt-get install chromium)";
    std::string page = r.out;
    // Measured by a script of the test's, which the page's own policy
    // would forbid.
    page.erase(page.find("<meta http-equiv"), page.find('>', page.find("<meta http-equiv")) + 1 - page.find("<meta http-equiv"));
    page.insert(page.rfind("</body>"),
                "<script>\n"
                "const svg = document.querySelector('svg'), box = svg.getBoundingClientRect();\n"
                "const scale = box.width / svg.viewBox.baseVal.width;\n"
                "let smallest = 1000;\n"
                "for (const t of svg.querySelectorAll('text')) smallest = Math.min(smallest, parseFloat(getComputedStyle(t).fontSize) * scale);\n"
                "const cell = h => { const r = svg.querySelector('g[data-hour=\"' + h + '\"] rect'), b = r.getBoundingClientRect();\n"
                "  return r.getAttribute('class') + ' ' + Math.round(b.width) + 'x' + Math.round(b.height) + ' ' + getComputedStyle(r).fill; };\n"
                "const html = document.documentElement;\n"
                "document.body.insertAdjacentHTML('beforeend', '<pre id=\"measured\">labels ' + smallest.toFixed(1) + ' px; fits ' +\n"
                "  (box.right <= html.clientWidth) + '; page ' + (html.scrollWidth <= html.clientWidth) + '; night ' +\n"
                "  cell('2026-11-10 03') + '; closed ' +\n"
                "  cell('2026-11-15 12') + '; open ' + cell('2026-11-10 12') + '</pre>');\n"
                "</script>\n");
    write_file(dir.file("measured.html"), page);
    // A laptop's window, where the chart fits; a phone's, where it scrolls
    // sideways in its box and the page does not.
    for (const char* width : {"800", "400"}) {
        r = render(dir, dir.file("measured.html"), width + std::string(",1000"), "report-month-" + std::string(width) + ".png");
        ASSERT_EQ(r.status, 0) << r.err;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.out, m, std::regex("<pre id=\"measured\">labels ([0-9.]+) px; fits (\\w+); page "
                                                           "(\\w+); night (.*); closed (.*); open (\\w+) .*</pre>")))
            << r.out.substr(r.out.size() > 2000 ? r.out.size() - 2000 : 0);
        EXPECT_GE(std::stod(m[1]), 10.0) << width << ": the smallest label";
        EXPECT_EQ(m[2], std::string(width) == "800" ? "true" : "false") << width << ": the chart in the window";
        EXPECT_EQ(m[3], "true") << width << ": the page as wide as the window";
        const std::regex quiet_cell("quiet 2[56]x13 rgb\\(200, 200, 200\\)"); // 700 px wide at least
        EXPECT_TRUE(std::regex_match(m[4].str(), quiet_cell)) << width << ": " << m[4];
        EXPECT_TRUE(std::regex_match(m[5].str(), quiet_cell)) << width << ": " << m[5];
        EXPECT_EQ(m[6], "answered") << width;
    }
}

// What the server answers, in `dir`, for each of `codes` (the escapes made
// bytes; "(none)" where it gives no answer).
std::vector<std::string> answers_in(const std::string& dir, const std::vector<std::string>& codes)
{
    Barcode_db db;
    db.load(dir);
    std::vector<std::string> answers;
    for (const std::string& code : codes) {
        try {
            answers.push_back(text_to_bytes(db.lookup(code)));
        } catch (const std::string&) {
            answers.push_back("(none)");
        }
    }
    return answers;
}

// Runs ulvane_import on `csv`, written to in.csv beside the database `db`.
Run_result import(const std::string& db, const std::string& csv, std::vector<std::string> args = {})
{
    const std::string path = db.substr(0, db.rfind('/')) + "/in.csv";
    write_file(path, csv);
    args.insert(args.begin(), {ULVANE_IMPORT_PATH, path, "-db=" + db});
    Run_result r = run_program(args, 60);
    r.out = unix_lines(r.out);
    r.err = unix_lines(r.err);
    return r;
}

// A database directory `name` in `dir`, with these files (no barcodes.ini
// when `barcodes` is empty); its path.
std::string db_in(const Temp_dir& dir, const std::string& formats, const std::string& barcodes = "",
                  const std::string& name = "db")
{
    const std::string db = dir.file(name);
    std::filesystem::create_directory(db);
    write_file(db + "/formats.ini", formats);
    if (!barcodes.empty()) write_file(db + "/barcodes.ini", barcodes);
    return db;
}

// The CSV that ulvane_export writes of `db` into dir's file "export.csv".
std::string exported(const Temp_dir& dir, const std::string& db)
{
    const Run_result r = run_program({ULVANE_EXPORT_PATH, "-db=" + db, "-o=" + dir.file("export.csv")});
    EXPECT_EQ(r.status, 0) << r.err;
    return read_file(dir.file("export.csv"));
}

// A database with what an export must carry: cells to quote, escapes, a
// repeated tag and section, a key that is no tag, a barcode without format.
const std::string round_trip_formats = "[]\n(${d})\n[f]\n${d}|${p}\n[g]\n${d}\\x41\n";
const std::string round_trip_barcodes = "[]\nformat=f\ntag.p=?\ntag.d=unknown\nlabel.w=21IIIIIVVVVVC weight 3\n"
                                        "[1]\nformat=f\ntag.d=a,b;c\ntag.p= 1.99\n"
                                        "[2]\ntag.p=x\nformat=f\ntag.d=say \"hi\"\\n\\x41\\\\\ntag.d=second\n"
                                        "[3]\nformat=g\ntag.d=\xe9t\xe9=x\n"
                                        "[4]\nformat=f\ncolour=red\n"
                                        "[5;6]\ntag.d==\n"
                                        "[a,b\"c]\nformat=f\ntag.d=x\n[1]\nformat=g\n";

// Rules of scale labels that cannot work are errors; a barcode that is a
// whole label is a warning, in the checker and the import, which keeps the
// rules of the file it replaces.
TEST(Check, FindsScaleLabelRulesThatCannotWork)
{
    Temp_dir dir;
    const std::string barcodes = "[]\nformat=f\nlabel.a=21IIIIIVVVVVC weight 3 kg\nlabel.b=2IIIIIIVVVVVC price 2\n"
                                 "label.c=21IIIIVVVVC count\nlabel.d=22IIIIIVVVVVC weight 6\nlabel.e=25IIIXVVVVVVC price\n"
                                 "label.f=26IIIIIVXVVVC count\n[2112345012506]\nformat=f\nlabel.g=x\n";
    const Run_result r = check(dir, barcodes, "[f]\nx\n", {"-l=0"});
    const std::string b = dir.file("barcodes.ini") + ":";
    EXPECT_EQ(split_lines(r.out), (std::vector<std::string>{
        b + "4: error: scale label rule 'label.b' overlaps rule 'a' (line 3): a label that fits both is read by that one",
        b + "5: error: scale label rule 'label.c': its layout has 11 digits, not 13 (EAN-13) or 12 (UPC-A); the server skips it",
        b + "6: error: scale label rule 'label.d': its decimals '6' are not a digit up to the value's 5; the server skips it",
        b + "7: error: scale label rule 'label.e': a verifier digit X goes with a value of 4 or 5 digits V; the server skips it",
        b + "8: error: scale label rule 'label.f': its item digits I, and its value digits V, must stand together; the server skips it",
        b + "9: warning: barcode '2112345012506' is a label of rule 'a' with its value: only that label finds it; list the "
            "article as 2112345000008, which every label of it finds",
        b + "11: warning: 'label.g' in barcode '2112345012506': rules of scale labels are read in the fallback section [] alone",
    }));
    const Run_result imported = import(dir.path(), "barcode,format\n[],f\n2112345012506,f\n");
    EXPECT_NE(imported.err.find(":3: warning: barcode '2112345012506' is a label of rule 'a'"), std::string::npos) << imported.err;
    EXPECT_NE(read_file(dir.file("barcodes.ini")).find("[]\nformat=f\nlabel.a=21IIIIIVVVVVC weight 3 kg\nlabel.b="), std::string::npos);
}

// The export has a row a barcode and a column a key, in the order first
// seen, quoted as spreadsheets read it.
TEST(Export, WritesARowABarcodeAndAColumnAKey)
{
    Temp_dir dir;
    EXPECT_EQ(exported(dir, db_in(dir, round_trip_formats, round_trip_barcodes)),
              "barcode,format,tag.p,tag.d,colour\r\n"
              "[],f,?,unknown,\r\n"
              "1,f, 1.99,\"a,b;c\",\r\n"
              "2,f,x,\"say \"\"hi\"\"\\n\\x41\\\\\",\r\n"
              "3,g,,\xe9t\xe9=x,\r\n"
              "4,f,,,red\r\n"
              "5;6,,,=,\r\n"
              "\"a,b\"\"c\",f,,x,\r\n");
}

// Export, then import into an empty directory: every barcode, and one the
// file lacks, gets the same answer bytes.
TEST(Import, RoundTripKeepsEveryAnswer)
{
    Temp_dir dir;
    const std::string from = db_in(dir, round_trip_formats, round_trip_barcodes, "from");
    const std::string to = db_in(dir, round_trip_formats, "", "to");
    const Run_result r = import(to, exported(dir, from));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, to + "/barcodes.ini: 7 barcodes written: 7 added, 0 removed, 0 changed, 0 unchanged; 1 cell with "
                          "escapes (see the warnings)\n");
    EXPECT_EQ(r.err, dir.file("in.csv") + ":4: warning: 'tag.d' is 'say \"hi\"\\n\\x41\\\\': the answer holds its \\n (0a), "
                                          "\\x41 (41) as those bytes, not as written (write '\\\\' for a backslash)\n");
    const std::vector<std::string> codes = {"", "1", "2", "3", "4", "5;6", "a,b\"c", "not there"};
    EXPECT_EQ(answers_in(to, codes), answers_in(from, codes));
    EXPECT_EQ(answers_in(to, {"2"})[0], "say \"hi\"\nA\\|x");
    EXPECT_EQ(run_program({ULVANE_CHECK_PATH, "-db=" + to}).out, to + "/barcodes.ini:9: warning: blank after '=': the value of 'tag.p' begins with it\n");
}

// Into the file it came from: an absent tag and an empty one are alike,
// but 'colour' comes back as 'tag.colour'.
TEST(Import, BackIntoItsSourceChangesOnlyTheKeyThatWasNoTag)
{
    Temp_dir dir;
    const std::string from = db_in(dir, round_trip_formats, round_trip_barcodes);
    EXPECT_EQ(import(from, exported(dir, from), {"-dry-run"}).out,
              from + "/barcodes.ini: 7 barcodes to write: 0 added, 0 removed, 1 changed, 6 unchanged; 1 cell with escapes "
                     "(see the warnings)\n"
                     "(-dry-run: nothing written)\n");
}

#ifdef ULVANE_MAKE_LARGE_DB_PATH
// A generated database, exported through standard output.
TEST(Import, RoundTripOfAGeneratedDatabaseKeepsEveryAnswer)
{
    Temp_dir dir;
    const std::string from = db_in(dir, "", "", "from");
    ASSERT_EQ(run_program({ULVANE_MAKE_LARGE_DB_PATH, from, "100000"}).status, 0);
    const std::string to = db_in(dir, read_file(from + "/formats.ini"), "", "to");
    Run_result r = run_program({ULVANE_EXPORT_PATH, "-db=" + from}, 60);
    ASSERT_EQ(r.status, 0);
    r = import(to, r.out, {"-force"});
    EXPECT_EQ(r.status, 0) << r.err;
    Barcode_db large;
    large.load(from);
    std::vector<std::string> all = {"unknown"};
    for (std::size_t i = 0; i < large.barcodes().size(); ++i) all.emplace_back(large.barcodes().barcode(i));
    EXPECT_EQ(all.size(), 100002u);
    EXPECT_TRUE(answers_in(to, all) == answers_in(from, all));
}
#endif

// A shop system's CSV as a spreadsheet saves it: a byte order mark,
// semicolons, CR LF, quoted cells with a semicolon, quotes and a line
// break, its own column names.
TEST(Import, ReadsASpreadsheetsCsv)
{
    Temp_dir dir;
    const std::string db = db_in(dir, "[price]\n${Description}: ${Price}\n[offer]\nOFFER ${Description} ${Price}\n[]\n?\n");
    const std::string zeros(300, '\0'); // bytes pass through, however many zero bytes
    Run_result r = import(db, "\xef\xbb\xbf" "EAN;Description;Price;Format\r\n"
                              "55;" + zeros + ";0,10;\r\n"
                              "12.50;Regal;0,50;\r\n" // a shop's shelf code, no number a spreadsheet made
                              "4006381333931;\"Pen; blue\";1,99;\r\n"
                              "4012345678901;\"Note\r\nbook \"\"A5\"\"\";2,49;offer\r\n"
                              ";;;\r\n"
                              "[];Unknown;-;\r\n"
                              "4012345678902;Ordner A4\\rot;3,99;\r\n"
                              "4012345678903;C:\\neu\\Preise;1,00;\r\n"
                              "99;Tisch\\Stuhl;1,00;\r\n"
                              "https://id.gs1.org/01/04006381333931/21/X1;Pen;1,99;\r\n", // a package's, scanned
                          {"-barcode=ean", "-format=price"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, db + "/barcodes.ini: 9 barcodes written: 9 added, 0 removed, 0 changed, 0 unchanged; 2 cells with "
                          "escapes (see the warnings)\n");
    // Warnings, one line a kind: a GS1 code's check digit, and a backslash
    // that starts an escape ('\S' is none).
    EXPECT_EQ(r.err, dir.file("in.csv") + ":9: warning: barcode '4012345678902' ends in 2, but the check digit of a GS1 code "
                                          "of 13 digits with these is 1: mistyped? (a shop's own code may be so) (and 1 more "
                                          "row like it, at line 10 ('4012345678903'))\n" +
                         dir.file("in.csv") + ":9: warning: 'tag.Description' is 'Ordner A4\\rot': the answer holds its \\r "
                                              "(0d) as those bytes, not as written (write '\\\\' for a backslash) (and 1 more "
                                              "row like it, at line 10 ('C:\\neu\\Preise'))\n" +
                         dir.file("in.csv") + ":12: warning: barcode 'https://id.gs1.org/01/04006381333931/21/X1' is a 2D "
                                              "code of one package: list the GTIN 04006381333931 instead, which answers every "
                                              "package of the article and every form of its code\n");
    EXPECT_EQ(answers_in(db, {"4006381333931", "4012345678901", "", "7", "99", "12.50", "55"}),
              (std::vector<std::string>{"Pen; blue: 1,99", "OFFER Note\nbook \"A5\" 2,49", "Unknown: -", "Unknown: -",
                                        "Tisch\\Stuhl: 1,00", "Regal: 0,50", zeros + ": 0,10"}));
}

// A CSV that the server could not answer from as meant is refused with the
// line and why; barcodes.ini stays as it was, and nothing is left behind.
TEST(Import, RefusesWhatWouldNotAnswerAsMeant)
{
    Temp_dir dir;
    const std::string old = "[]\nformat=f\ntag.d=old\n[0400638133393]\nformat=f\ntag.d=pen\n";
    const std::string db = db_in(dir, "[f]\n${d}\n[]\n-\n", old);
    const std::string in = dir.file("in.csv") + ":";
    const struct {
        std::string csv;
        std::string error;
        std::vector<std::string> options = {};
    } cases[] = {
        {"barcode,format,d\n1,f,\"two\nlines\"\n,f,x\n", "4: the barcode is empty"},
        {"barcode,format,d\n1,f,x\n2,f,y\n1,f,z\n", "4: barcode '1' again: it is at line 2 too"},
        {"barcode,format,d\n1\t,f,x\n", "2: barcode '1\\t' ends with a tab: a scanned code never matches it"},
        {"barcode,format,d\n\"1\n2\",f,x\n", "2: barcode '1\\n2' holds a line break, which no section header can"},
        {"barcode,format,d\n1,f,x,\n", "2: 4 cells, more than the header's 3"},
        {"barcode,format,d\n1,f,x\n2,f,\"x\n", "3: a quote opened at line 3 is never closed"},
        {"barcode,format,d\r\n", "1: no data row"},
        {"", "1: no header line"},
        {"EAN,format,d\n1,f,x\n", "1: no column 'barcode' (name the barcodes' column with -barcode=)"},
        {"barcode\tformat\td\n1\tF\tx\n", "2: barcode '1' names format 'F', which formats.ini lacks (it has 'f', which differs "
                                      "only in case): the fallback format [] answers it"},
        {"barcode,format\n1,f\n", "2: barcode '1' has no tag.d for ${d} of format 'f': the answer holds an empty string there"},
        {"barcode,format,d,\n1,f,x,y\n", "2: a value in column 4, which has no name"},
        {"barcode,format,d,tag.d\n1,f,x,y\n", "1: columns 3 and 4 are both 'tag.d'"},
        {"barcode,format,d=1\n1,f,x\n", "1: column 3 'd=1' holds '=' or a line break, which no tag's name can"},
        {"barcode,format,d\n1,f,\"" + std::string(1 << 20, 'v') + "\"\n",
         "2: a line of 1048582 bytes, longer than the server reads (1048576)"},
        // What spreadsheets make of a code they took for a number.
        {"barcode,format,d\n4.00638E+12,f,x\n", "2: barcode '4.00638E+12' is a number as a spreadsheet writes it, and the "
                                                 "code is lost: format the barcode column as text and save the CSV again"},
        {"barcode;format;d\n4,00638E+12;f;x\n", "2: barcode '4,00638E+12' is a number as a spreadsheet writes it"},
        {"barcode,format,d\n4006381333931.0,f,x\n", "2: barcode '4006381333931.0' is a number as a spreadsheet writes it"},
        {"barcode,format,d\n400638133393,f,x\n", "2: barcode '400638133393' is '0400638133393' without its leading zeros, "
                                                 "and the import would remove '0400638133393': format the barcode column "
                                                 "as text and save the CSV again (or give -force if the codes did change so)"},
        // What shop systems' exports and number-formatted columns make of a
        // code: refused with what to do, -force or not (below).
        {"barcode,format,d\n=\"0400638133393\",f,x\n", "2: barcode '=\"0400638133393\"' is a text formula of a "
                                                        "spreadsheet for '0400638133393': write the code alone"},
        {"barcode,format,d\n\"=\"\"0400638133393\"\"\",f,x\n", "2: barcode '=\"0400638133393\"' is a text formula"},
        {"barcode,format,d\n'0400638133393,f,x\n", "2: barcode ''0400638133393' begins with the apostrophe that marks "
                                                   "a spreadsheet cell as text: write '0400638133393' alone"},
        {"barcode;format;d\n4,006,381,333,931;f;x\n", "2: barcode '4,006,381,333,931' is '4006381333931' written with "
                                                     "digit groups (a column formatted as a number, #,##0)"},
        {"barcode,format,d\n4.006.381.333.931,f,x\n", "2: barcode '4.006.381.333.931' is '4006381333931' written"},
        {"barcode,format,d\n4 006 381 333 931,f,x\n", "2: barcode '4 006 381 333 931' is '4006381333931' written"},
        {"barcode,format,d\n4\xc2\xa0" "006\xc2\xa0" "381,f,x\n", "2: barcode '4\\xc2\\xa0" "006\\xc2\\xa0" "381' is "
                                                                "'4006381' written with digit groups"},
        {"barcode,format,d\n4\xe2\x80\xaf" "006\xe2\x80\xaf" "381,f,x\n", "2: barcode '4\\xe2\\x80\\xaf" "006"},
        {"barcode,format,d\n4E+12,f,x\n", "2: barcode '4E+12' is a number as a spreadsheet writes it"},
        {"barcode,format,d\n4006381333931,00,f,x\n", "2: 4 cells, more than the header's 3"},
        {"barcode;format;d\n4006381333931,00;f;x\n", "2: barcode '4006381333931,00' is a number as a spreadsheet"},
        // Files that are no CSV of single bytes, each named.
        {std::string("\xff\xfe" "b\0a\0r\0c\0o\0d\0e\0,\0d\0\r\0\n\0" "1\0,\0x\0", 31),
         "1: the file is UTF-16 text (little-endian), which spreadsheets call \"Unicode text\": save it as \"CSV UTF-8\" or "
         "as CSV (comma- or semicolon-separated) instead"},
        {std::string("\0b\0a\0r\0c\0o\0d\0e\0,\0d\0\n\0" "1\0,\0x", 26), "1: the file is UTF-16 text (big-endian)"},
        {"barcode,format,d\r1,f,x\r2,f,y\r", "1: its lines end in a carriage return alone (as on old Macs)"},
        {"barcode,format,d\r1,f,\"x\ny\"\r2,f,y\r", "1: its lines end in a carriage return alone"}, // Excel on a Mac
        {"barcode,format,d\r\n1,f,x\r\n2,f,y\r3,f,z\r\n", "3: line 3 ends in a carriage return alone, where the "
                                                         "others end in a line feed: save the CSV again"},
        {"barcode,format,d\n1,f,x\n2,f,y\r3,f,z\n", "3: line 3 ends in a carriage return alone"},
        {"barcode,format,d\n1,f,x\n2,f,y\r3", "3: line 3 ends in a carriage return alone"}, // before the last byte
        {"barcode,format,d\r1,f,x\n2,f,y\n", "1: line 1 ends in a carriage return alone"}, // no file of CR alone
        // Text the terminals' encoding cannot show, or that is no UTF-8.
        {"barcode,format,d\n1,f,\xc5\x81\xc3\xb3" "d\xc5\xba\n", "2: column 3 holds '\xc5\x81' (U+0141) and 1 more, which "
                                                          "Latin-1 has no byte for: the terminals cannot show it; write "
                                                          "it otherwise, or give -force to keep '?' for it", {"-encoding=latin-1"}},
        {"barcode,format,\xe2\x82\xac\n", "1: column 3 holds '\xe2\x82\xac' (U+20AC), which CP850", {"-encoding=cp850"}},
        // A damaged code is judged as written, whatever the terminals' encoding.
        {"barcode,format,d\n4\xc2\xa0" "006\xc2\xa0" "381,f,x\n", "2: barcode '4\\xc2\\xa0" "006\\xc2\\xa0" "381' is "
                                                                "'4006381' written with digit groups", {"-encoding=latin1"}},
        {"barcode,format,d\n4006381333931\xc2\xa0,f,x\n", "2: barcode '4006381333931\\xc2\\xa0' ends with a no-break "
                                                           "space", {"-encoding=cp850"}},
        {"barcode,format,d\n1,f,K\xe4se\n", "2: column 3 holds the byte \\xe4, which is no UTF-8: the CSV is in another "
                                              "encoding already; import it without -encoding", {"-encoding=cp437", "-force"}},
        // One line a kind, with its count and where; and the tags the
        // columns give beside the placeholders they miss.
        {"barcode,format,e\n1,f,x\n2,f,y\n3,f,z\n4,f,v\n5,f,w\n6,f,u\n7,f,t\n",
         "2: barcode '1' has no tag.d for ${d} of format 'f': the answer holds an empty string there (and 6 more rows like "
         "it, at lines 3 ('2'), 4 ('3'), 5 ('4'), 6 ('5'), 7 ('6'), ...)"},
        // A kind is its fault, whatever the values: a pack-size column
        // called "format" names a missing format on every row.
        {"barcode,format,d\n1,250 ml,x\n2,251 ml,x\n3,252 ml,x\n", "2: barcode '1' names format '250 ml', which formats.ini "
                                                                  "lacks: the fallback format [] answers it (and 2 more rows "
                                                                  "like it, at lines 3 ('2', '251 ml'), 4 ('3', '252 ml'))"},
        {"barcode,format,e\n1,f,x\n2,f,y\n", "1: the columns give the tags e; no column gives the placeholders ${d} of the "
                                              "formats: name a column as its placeholder"},
        {"barcode,format,d\n,f,x\n,f,y\n", "2: the barcode is empty (and 1 more row like it, at line 3)"},
        // Repeats are found in no order of lines; the first few are said.
        {"barcode,format,d\n1,f,x\n2,f,x\n3,f,x\n4,f,x\n5,f,x\n6,f,x\n7,f,x\n8,f,x\n"
         "1,f,x\n2,f,x\n3,f,x\n4,f,x\n5,f,x\n6,f,x\n7,f,x\n8,f,x\n",
         "10: barcode '1' again: it is at line 2 too (and 7 more rows like it, at lines 11 ('2'), 12 ('3'), 13 ('4'), 14 "
         "('5'), 15 ('6'), ...)\n"},
    };
    for (const auto& c : cases) {
        Run_result r = import(db, c.csv, c.options);
        EXPECT_EQ(r.status, 1) << c.error;
        EXPECT_NE(r.err.find(in + c.error), std::string::npos) << c.error << ": " << r.err;
        EXPECT_EQ(r.err.find(in + c.error + " (and"), std::string::npos) << "one line a kind: " << r.err;
        EXPECT_EQ(read_file(db + "/barcodes.ini"), old) << c.error;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(db), {}), 2) << c.error;
    }
    // The columns are named only for rows that miss them: not for the
    // fallback barcode kept from the file, whose format's ${d} no column gives.
    EXPECT_EQ(import(db, "barcode,format\n1,F\n").err.find("no column gives"), std::string::npos);
    // A code kept with its zero beside the one without is no loss.
    EXPECT_EQ(import(db, "barcode,format,d\n0400638133393,f,pen\n400638133393,f,x\n").status, 0);
    write_file(db + "/barcodes.ini", old);
    // With -force the codes are taken as they are: the zero was meant to go.
    EXPECT_EQ(import(db, "barcode,format,d\n400638133393,f,x\n", {"-force"}).status, 0);
}

const std::string lodz = "\xc5\x81\xc3\xb3" "d\xc5\xba"; // Łódź

// Codes that only look like numbers are taken without a word; a doubled
// backslash is as meant; Excel's "sep=" line names the delimiter, and lines
// are counted from it.
TEST(Import, CodesThatOnlyLookLikeNumbersAreTaken)
{
    Temp_dir dir;
    const std::string db = db_in(dir, "[f]\n${d}\n[]\n-\n");
    const Run_result r = import(db, "sep=;\r\nbarcode;format;d\r\n12E3;f;a\r\n3E10;f;b\r\n100E5;f;c\r\n1e5;f;d\r\n"
                                    "12E-3;f;e\r\n2,5E1;f;f\r\n7;f;C:\\\\neu\r\n1.234;f;g\r\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(answers_in(db, {"12E3", "2,5E1", "12E-3", "7", "1.234"}),
              (std::vector<std::string>{"a", "f", "e", "C:\\neu", "g"}));
    EXPECT_NE(import(db, "sep=,\nbarcode,format,d\n4006381333932,f,x\n").err.find(":3: warning: barcode '4006381333932'"),
              std::string::npos);
}

// A code a spreadsheet damaged is refused under -force too; other refusals
// are taken under -force, with a warning and a word in the summary; a code
// that lost its zeros is said, for a new article too.
TEST(Import, ForceTakesWhatWasRefusedButNoDamagedCode)
{
    Temp_dir dir;
    const std::string db = db_in(dir, "[f]\n${d}\n[]\n-\n", "[]\nformat=f\ntag.d=?\n[0036000291452]\nformat=f\ntag.d=tea\n");
    const std::string in = dir.file("in.csv") + ":";
    EXPECT_EQ(import(db, "barcode,format,d\n4.006.381.333.931,f,x\n", {"-force"}).status, 1);
    for (const std::vector<std::string>& options : {std::vector<std::string>{"-force", "-dry-run"}, {"-force"}}) {
        const Run_result r = import(db, "barcode,format,d\n036000291452,f,x\n1234565,f,tea\n12 ,f,y\n12345678905,f,z\n", options);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, in + "2: warning: barcode '036000291452' is '0036000291452' without its leading zeros, and the "
                              "import would remove '0036000291452': format the barcode column as text and save the CSV "
                              "again (or give -force if the codes did change so) (taken, as -force asks)\n" +
                         in + "3: warning: barcode '1234565' has 7 digits, which no GS1 code has; with the zeros in "
                              "front that spreadsheets drop it is the GS1 code '01234565': if so, format the barcode "
                              "column as text and save the CSV again (and 1 more row like it, at line 5 ('12345678905', "
                              "'012345678905'))\n" +
                         in + "4: warning: barcode '12 ' ends with a blank: a scanned code never matches it (taken, as "
                              "-force asks)\n");
        EXPECT_NE(r.out.find("; 2 codes taken as -force asks that would be refused without it (see the warnings)"),
                  std::string::npos) << r.out;
    }
}

// A CSV in UTF-8, imported in the terminals' encoding, answers in its bytes,
// and exported in that encoding gives the CSV back byte for byte; the
// database stays clean.
TEST(Import, WritesTextInTheTerminalsEncodingAndBack)
{
    const struct {
        const char* encoding;
        std::string text, bytes;
    } cases[] = {
        {"UTF-8", "K\xc3\xa4se", "K\xc3\xa4se"},
        {"latin1", "K\xc3\xa4se \xc3\x97", "K\xe4se \xd7"},
        {"Latin-9", "\xe2\x82\xac" "5", "\xa4" "5"},
        {"Latin-2", lodz, "\xa3\xf3" "d\xbc"},
        {"Windows-1250", lodz, "\xa3\xf3" "d\x9f"},
        {"Windows-1252", "\xe2\x82\xac Stra\xc3\x9f" "e", "\x80 Stra\xdf" "e"},
        {"CP437", "K\xc3\xa4se \xe2\x94\x80", "K\x84se \xc4"},
        {"CP850", "\xc3\x98re", "\x9dre"},
        {"CP852", lodz, "\x9d\xa2" "d\xab"},
    };
    Temp_dir dir;
    const std::string db = db_in(dir, "[f]\n${d}\n[]\n-\n");
    for (const auto& c : cases) {
        const std::string csv = "barcode,format,tag.d\r\n[],f,-\r\n1,f," + c.text + "\r\n", option = std::string("-encoding=") + c.encoding;
        EXPECT_EQ(import(db, csv, {option}).status, 0) << c.encoding;
        EXPECT_EQ(answers_in(db, {"1"})[0], c.bytes) << c.encoding;
        EXPECT_EQ(unix_lines(run_program({ULVANE_EXPORT_PATH, "-db=" + db, option}).out), unix_lines(csv)) << c.encoding;
    }
    EXPECT_EQ(run_program({ULVANE_CHECK_PATH, "-db=" + db}).out, "");
}

// -force keeps '?' for a character the encoding lacks; a refused cell's row
// is not read on as '?' (no "again" for Ł and Ś).
TEST(Import, ForceKeepsAQuestionMarkForACharacterTheEncodingLacks)
{
    Temp_dir dir;
    const std::string db = db_in(dir, "[f]\n${d}\n[]\n-\n");
    const Run_result r = import(db, "barcode,format,d\n1,f," + lodz + "\n", {"-encoding=latin1", "-force"});
    EXPECT_EQ(r.err, dir.file("in.csv") + ":2: warning: column 3 holds '\xc5\x81' (U+0141) and 1 more, which Latin-1 has "
                                          "no byte for: the terminals cannot show it (kept as '?', as -force asks)\n");
    EXPECT_NE(r.out.find("; 1 cell with characters the terminals' encoding lacks, kept as '?' as -force asks"),
              std::string::npos) << r.out;
    EXPECT_EQ(answers_in(db, {"1"})[0], "?\xf3" "d?");
    EXPECT_EQ(import(db, "barcode,format,d\n\xc5\x81,f,x\n\xc5\x9a,f,y\n", {"-encoding=latin1"}).err.find("again"),
              std::string::npos);
}

// ulvane_check notes UTF-8 text once, with the encodings to import in.
TEST(Import, TheCheckerNotesTextInUtf8Once)
{
    Temp_dir dir;
    const std::string db = db_in(dir, "[f]\n${d}\n[]\n-\n", "[]\nformat=f\ntag.d=-\n");
    EXPECT_EQ(import(db, "barcode,format,d\n1,f,x\n2,f," + lodz + "\n3,f,\xc3\xa4\n").status, 0);
    const Run_result r = run_program({ULVANE_CHECK_PATH, "-db=" + db});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(unix_lines(r.out), db + "/barcodes.ini:7: note: its text is UTF-8 (here '\xc5\x81' in tag.d), which terminals "
                                      "that show Latin-1 or a DOS code page show as other characters: if yours do, import "
                                      "the CSV with ulvane_import -encoding=NAME, NAME one of " + text_encoding_names() + "\n");
}

// An export in an encoding that lacks one of the file's bytes, or of a file
// whose text is UTF-8 already, writes nothing and names the barcode and tag.
TEST(Export, RefusesAByteTheEncodingLacksAndTextInUtf8)
{
    const struct {
        const char* value;
        const char* encoding;
        const char* error;
    } cases[] = {
        {"\x81", "-encoding=windows-1252", ": barcode '2', 'tag.d': the byte \\x81 is no character of Windows-1252"},
        {"\x98", "-encoding=windows-1250", ": barcode '2', 'tag.d': the byte \\x98 is no character of Windows-1250"},
        {"K\xc3\xa4se", "-encoding=latin1", ": barcode '2', 'tag.d': 'K\xc3\xa4se' is UTF-8 text already, which Latin-1 "
                                            "would turn into other characters: export without -encoding"},
    };
    for (const auto& c : cases) {
        Temp_dir dir;
        const std::string db = db_in(dir, "[f]\n${d}\n", std::string("[2]\nformat=f\ntag.d=") + c.value + "\n");
        const Run_result r = run_program({ULVANE_EXPORT_PATH, "-db=" + db, c.encoding});
        EXPECT_EQ(r.status, 1) << c.error;
        EXPECT_EQ(r.out, "") << c.error;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    }
}

// What an import killed half-way left goes with the next import; a file not
// of its making stays, and the lock goes with the import.
TEST(Import, LeavesNothingOfAnImportKilledHalfWay)
{
    Temp_dir dir;
    const std::string db = db_in(dir, "[f]\n${d}\n", "[1]\nformat=f\ntag.d=old\n"), barcodes = db + "/barcodes.ini";
    write_file(barcodes + ".new-4242", std::string(100000, 'x'));
    write_file(barcodes + ".newer", "not ours");
    const Run_result r = import(db, "barcode,format,d\n1,f,new\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(std::filesystem::exists(barcodes + ".new-4242"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(db), {}), 3) << "the lock goes with the import";
    EXPECT_EQ(answers_in(db, {"1"})[0], "new");
}

#ifndef ULVANE_WINDOWS_BUILD
// One import at a time: while another holds the lock this one waits 5 s,
// then gives up naming it. A dry run writes nothing and needs no lock.
TEST(Import, WaitsForAnotherImportThenNamesIt)
{
    Temp_dir dir;
    const std::string db = db_in(dir, "[f]\n${d}\n", "[1]\nformat=f\ntag.d=new\n"), barcodes = db + "/barcodes.ini";
    File_lock other;
    bool busy = false;
    Error error;
    ASSERT_TRUE(other.take(barcodes + ".lock", "the test, process 7", busy, error)) << error.text;
    const auto started = std::chrono::steady_clock::now();
    const Run_result r = import(db, "barcode,format,d\n1,f,newer\n");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ulvane_import: another import into " + barcodes + " is under way (the test, process 7): not "
                     "written; try again when it has ended\n");
    EXPECT_EQ(answers_in(db, {"1"})[0], "new");
    EXPECT_EQ(import(db, "barcode,format,d\n1,f,newer\n", {"-dry-run"}).status, 0);
}

// The lock that another user's import left when it was killed (root's here,
// 0644) holds no one: an import by another user takes it over.
TEST(Import, ALockLeftByAnotherUsersKilledImportIsTakenOver)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to be another user";
    Temp_dir dir;
    const std::string db = db_in(dir, "[f]\n${d}\n", "[1]\nformat=f\ntag.d=new\n"), barcodes = db + "/barcodes.ini";
    for (const std::string& d : {dir.path(), db}) std::filesystem::permissions(d, std::filesystem::perms::all);
    write_file(barcodes + ".lock", "an import killed, process 9");
    write_file(dir.file("other.csv"), "barcode,format,d\n1,f,by nobody\n");
    const Run_result r = run_program({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                      ULVANE_IMPORT_PATH, dir.file("other.csv"), "-db=" + db});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(std::filesystem::exists(barcodes + ".lock"));
    EXPECT_EQ(answers_in(db, {"1"})[0], "by nobody");
}

// Taken over, the lock names its holder to whoever waits for it; left
// behind, it holds no import after.
TEST(Import, ATakenOverLockNamesItsNewHolder)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to be another user";
    Temp_dir dir;
    const std::string db = db_in(dir, "[f]\n${d}\n", "[1]\nformat=f\ntag.d=new\n"), lock_file = db + "/barcodes.ini.lock";
    for (const std::string& d : {dir.path(), db}) std::filesystem::permissions(d, std::filesystem::perms::all);
    write_file(lock_file, "an import killed, process 9");
    const pid_t child = fork();
    if (child == 0) {
        File_lock lock;
        bool busy = false;
        Error error;
        _exit(setgid(65534) != 0 || setuid(65534) != 0       ? 2
              : !lock.take(lock_file, "nobody, process 8", busy, error) ? 3
              : read_file(lock_file) == "nobody, process 8"   ? 0 : 4);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: no user of its own, 3: not taken, 4: not its words";
    EXPECT_EQ(import(db, "barcode,format,d\n1,f,newest\n").status, 0);
}

// Through a symbolic link the file it leads to is replaced, and the link
// stays; one that leads nowhere is said so, and nothing is made.
TEST(Import, ThroughASymbolicLinkReplacesTheFileItLeadsTo)
{
    Temp_dir dir;
    const std::string db = db_in(dir, "[f]\n${d}\n"), barcodes = db + "/barcodes.ini", shared = dir.file("shared.ini");
    std::filesystem::create_symlink(shared, barcodes);
    Run_result r = import(db, "barcode,format,d\n1,f,x\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ulvane_import: " + barcodes + " is a symbolic link that leads to nothing: No such file or directory\n");
    write_file(shared, "[1]\nformat=f\ntag.d=newest\n");
    r = import(db, "barcode,format,d\n1,f,linked\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, barcodes + ": 1 barcodes written: 0 added, 0 removed, 1 changed, 0 unchanged; it is a symbolic "
                                "link, and the file it leads to, " + shared + ", was replaced\n");
    EXPECT_TRUE(std::filesystem::is_symlink(barcodes));
    EXPECT_EQ(read_file(shared).find("tag.d=linked"), read_file(shared).size() - 13);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 3) << "db, in.csv, shared.ini";
}

// A hard link keeps the old articles under its other name: said.
TEST(Import, AHardLinkIsSaidToKeepTheOldArticles)
{
    Temp_dir dir;
    const std::string db = db_in(dir, "[f]\n${d}\n", "[1]\nformat=f\ntag.d=linked\n");
    std::filesystem::create_hard_link(db + "/barcodes.ini", dir.file("shared.ini"));
    const Run_result r = import(db, "barcode,format,d\n1,f,hard\n");
    EXPECT_NE(r.out.find("; it had 1 other name (a hard link), which keeps the old articles: a symbolic link follows "
                         "the new file\n"), std::string::npos) << r.out;
    EXPECT_EQ(answers_in(db, {"1"})[0], "hard");
}
#endif

// The fallback and the barcodes 1 to `last`, each answered "x".
std::string barcodes_up_to(int last)
{
    std::string barcodes = "[]\nformat=f\ntag.d=-\n";
    for (int i = 1; i <= last; ++i) barcodes += "[" + std::to_string(i) + "]\nformat=f\ntag.d=x\n";
    return barcodes;
}

// CSV rows of the barcodes `first` to `last`, each answered "x".
std::string rows(int first, int last)
{
    std::string csv;
    for (int i = first; i <= last; ++i) csv += std::to_string(i) + ",f,x\n";
    return csv;
}

// An export of barcodes_up_to(10) cut short: 9 and 10 lost, 1 changed, 11 new.
const std::string cut_short_csv = "barcode,format,d\n1,f,new\n" + rows(2, 8) + "11,f,x\n";

// The guard against a cut-short export refuses, with the summary's counts,
// in a dry run as in the real one; -dry-run -force says what it would do.
TEST(Import, GuardsAgainstACutShortExport)
{
    Temp_dir dir;
    const std::string db = db_in(dir, "[f]\n${d}\n", barcodes_up_to(10)), barcodes = db + "/barcodes.ini";
    const std::string summary = barcodes + ": 10 barcodes to write: 1 added, 2 removed, 1 changed, 8 unchanged\n";
    Run_result r = import(db, cut_short_csv);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, summary);
    EXPECT_EQ(r.err, dir.file("in.csv") + ": the import would remove 2 of the 11 barcodes in " + barcodes +
                         " (more than a tenth): not written; give -force if that is meant\n");
    r = import(db, cut_short_csv, {"-dry-run"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, summary);
    r = import(db, cut_short_csv, {"-dry-run", "-force"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, summary + "(-dry-run: nothing written)\n");
    EXPECT_EQ(read_file(barcodes), barcodes_up_to(10));
}

// -force writes what the guard refused, and the file keeps its permissions.
TEST(Import, ForceWritesACutShortExportKeepingThePermissions)
{
    Temp_dir dir;
    const std::string db = db_in(dir, "[f]\n${d}\n", barcodes_up_to(10)), barcodes = db + "/barcodes.ini";
#ifndef ULVANE_WINDOWS_BUILD
    ASSERT_EQ(chmod(barcodes.c_str(), 0640), 0);
#endif
    const Run_result r = import(db, cut_short_csv, {"-force"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, barcodes + ": 10 barcodes written: 1 added, 2 removed, 1 changed, 8 unchanged\n");
    EXPECT_EQ(answers_in(db, {"1", "9", "11", ""}), (std::vector<std::string>{"new", "-", "x", "-"}));
#ifndef ULVANE_WINDOWS_BUILD
    struct stat st;
    ASSERT_EQ(stat(barcodes.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
#endif
}

// A tenth exactly may go (1 of 10); more may not (2 of 9).
TEST(Import, ATenthOfTheBarcodesMayGoAndNoMore)
{
    Temp_dir dir;
    const std::string db = db_in(dir, "[f]\n${d}\n", barcodes_up_to(9));
    EXPECT_EQ(import(db, "barcode,format,d\n" + rows(2, 9)).status, 0);
    EXPECT_EQ(import(db, "barcode,format,d\n" + rows(4, 9)).status, 1);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(db), {}), 2);
}

// Barcodes repeated beyond the first MiBs of a file (read piece by piece):
// the first sections count.
TEST(Import, RepeatsBeyondTheFirstMebibytesLeaveTheFirstSectionsCounting)
{
    std::string old, csv = "barcode,format,d,e\n";
    for (int i = 1; i <= 15; ++i) {
        const std::string filler = i <= 10 ? "" : std::string(1000000, 'y');
        old += "[" + std::to_string(i) + "]\nformat=f\ntag.d=x\ntag.e=" + filler + "\n";
        csv += std::to_string(i) + ",f,x," + filler + "\n";
    }
    for (int i = 1; i <= 10; ++i) old += "[" + std::to_string(i) + "]\ntag.d=not used " + std::to_string(i) + "\n";
    Temp_dir dir;
    const std::string db = db_in(dir, "[f]\n${d}\n", old);
    EXPECT_EQ(import(db, csv, {"-dry-run"}).out, db + "/barcodes.ini: 15 barcodes to write: 0 added, 0 removed, 0 changed, "
                                                      "15 unchanged\n(-dry-run: nothing written)\n");
}

// The tools beside the server, by their names.
const std::pair<const char*, const char*> tools[] = {
    {"ulvane_scan", ULVANE_SCAN_PATH},     {"ulvane_check", ULVANE_CHECK_PATH},
    {"ulvane_report", ULVANE_REPORT_PATH}, {"ulvane_export", ULVANE_EXPORT_PATH},
    {"ulvane_import", ULVANE_IMPORT_PATH},
};

// -version alone prints the name and version; the usage ends with both.
TEST(CommandLine, EveryToolTellsItsVersion)
{
    for (const auto& [name, path] : tools) {
        const std::string version = std::string(name) + " " + ulvane_version;
        const Run_result r = run_program({path, "-version"});
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(unix_lines(r.out), version + "\n");
        EXPECT_EQ(run_program({path, "-version", "x"}).status, 2) << name << ": -version comes alone";
        const Run_result wrong = run_program({path, "-wrong"});
        EXPECT_EQ(wrong.status, 2) << name;
        EXPECT_NE(unix_lines(wrong.err).find("| -version\n"), std::string::npos) << wrong.err;
        EXPECT_NE(unix_lines(wrong.err).find("(" + version + ")\n"), std::string::npos) << wrong.err;
    }
}

// The server's -version, given alone; any other use of it is an unknown
// option, and the help text is unchanged. (The Ready line names the version
// too: see the end-to-end tests.)
TEST(CommandLine, TheServerTellsItsVersionWhenItComesAlone)
{
    Run_result r = server({"-version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(unix_lines(r.out), std::string("ulvane_server ") + ulvane_version + "\n");
    EXPECT_EQ(r.err, "");
    r = server({"-version", "-h"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "ERROR: unkown option \"-version\"\n\n");
    EXPECT_EQ(unix_lines(r.out), help_text);
}

// The options named in a text: "-name" at the start of a word ("-p=9000"
// gives -p, "ini-file" nothing).
std::set<std::string> options_named(const std::string& text)
{
    std::set<std::string> options;
    const std::regex option("(^|[^A-Za-z0-9_-])(-[a-z][a-z-]*)");
    for (auto m = std::sregex_iterator(text.begin(), text.end(), option); m != std::sregex_iterator(); ++m)
        options.insert((*m)[2].str());
    return options;
}

// The options a program's man page names, read as text: without its font
// changes, its dashes plain.
std::set<std::string> options_in_man_page(const std::string& program)
{
    const std::string page = read_file(std::string(ULVANE_SOURCE_DIR) + "/docs/man/" + program + ".1");
    EXPECT_FALSE(page.empty()) << program;
    return options_named(std::regex_replace(std::regex_replace(page, std::regex("\\\\f[BIRP]"), ""), std::regex("\\\\-"), "-"));
}

// Each tool's man page names every option its usage lists, no more.
TEST(CommandLine, EveryToolsManPageNamesItsOptions)
{
    for (const auto& [name, path] : tools)
        EXPECT_EQ(options_in_man_page(name), options_named(unix_lines(run_program({path, "-wrong"}).err))) << name;
}

// The server's man page names the options its help lists, less the -d it
// refuses, with -stats=, -logsize=, -logfiles=, -listen=, -allow= and
// -version, which the help (kept as it always was) does not name.
TEST(CommandLine, TheServersManPageNamesItsOptions)
{
    std::set<std::string> takes = options_named(unix_lines(server({"-h"}).out));
    ASSERT_EQ(takes.erase("-d"), 1u);
    takes.insert({"-stats", "-logsize", "-logfiles", "-listen", "-allow", "-version"});
    EXPECT_EQ(options_in_man_page("ulvane_server"), takes);
}

// An option without the value it needs, or without its "=", is wrong usage.
TEST(CommandLine, EveryToolRefusesAnOptionWithoutItsValue)
{
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {ULVANE_EXPORT_PATH, {"-o="}},
        {ULVANE_IMPORT_PATH, {"-barcode=", "shop.csv"}},
        {ULVANE_REPORT_PATH, {"-csv=x", "server.log"}},
        {ULVANE_CHECK_PATH, {"-db"}},
        {ULVANE_SCAN_PATH, {"-p", "10.0.0.1", "12345"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = c.second;
        argv.insert(argv.begin(), c.first);
        EXPECT_EQ(run_program(argv).status, 2) << c.first << " " << c.second[0];
    }
}

TEST(CommandLine, NumbersAreReadLikeAtoi)
{
    const std::pair<const char*, int> cases[] = {
        {"9000", 9000},           {"", 0},           {"abc", 0},           {"  42", 42},
        {"\t\n\v\f\r7", 7},      {"-5", -5},        {"+5", 5},            {"12abc", 12},
        {"- 5", 0},               {"--5", 0},        {"2147483647", 2147483647},
        {"2147483648", 2147483647}, {"-2147483648", -2147483647 - 1},
        {"-2147483649", -2147483647 - 1}, {"99999999999999999999999999", 2147483647},
        {"000000000000000000000012", 12},
    };
    for (auto c : cases) EXPECT_EQ(option_number(c.first), c.second) << c.first;
}

} // namespace

// The platform layer's files: the lock that one writer holds, and the
// watch over a database's directory.
#include "platform_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "database.h"
#include "test_util.h"

namespace {

// One writer at a time: a second taker is refused with the holder's words
// (in one process as between two: neither the lock nor its file is shared),
// and the file goes with the lock. Then what unfinished replacements left
// goes, and nothing else.
TEST(FileLock, OneHolderAtATimeAndItsFileGoesWithIt)
{
    Temp_dir dir;
    const std::string path = dir.file("barcodes.ini.lock");
    bool busy = false;
    Error error;
    {
        File_lock first, second;
        ASSERT_TRUE(first.take(path, "the first, process 1", busy, error)) << error.text;
        EXPECT_FALSE(second.take(path, "the second", busy, error));
        EXPECT_TRUE(busy);
        EXPECT_EQ(error.text, "the first, process 1");
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    File_lock again;
    EXPECT_TRUE(again.take(path, "again", busy, error)) << error.text;
    EXPECT_FALSE(busy);
    File_lock nowhere;
    EXPECT_FALSE(nowhere.take(dir.file("none/x.lock"), "", busy, error));
    EXPECT_FALSE(busy);

    for (const char* name : {"barcodes.ini.new-1", "barcodes.ini.new-4242", "barcodes.ini.newer", "formats.ini.new-1",
                             "barcodes.ini"})
        write_file(dir.file(name), "x");
    EXPECT_EQ(remove_unfinished_replacements(dir.file("barcodes.ini")), 2u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 4) << "the lock and three others";
    EXPECT_TRUE(std::filesystem::exists(dir.file("barcodes.ini.newer")));
}

} // namespace

#ifdef __linux__
namespace {

// The watch that spares the server its look at the files must report every
// change such a look would find, and need not report others.
TEST(DirectoryWatch, ReportsEveryChangeToTheFiles)
{
    namespace fs = std::filesystem;
    Temp_dir root;
    const std::string dir = root.file("a/db"), barcodes = dir + "/barcodes.ini", formats = dir + "/formats.ini";
    auto make_db = [&] {
        fs::create_directories(dir);
        write_file(barcodes, "[1]\n");
        write_file(formats, "[]\n");
    };
    make_db();
    Directory_watch watch;
    auto changed = [&] { return watch.what_changed(dir, database_files, 2); };
    EXPECT_EQ(changed(), Files_news::any) << "the first call starts to watch";
    EXPECT_EQ(changed(), Files_news::none);
    auto append = [](const std::string& file) { std::ofstream(file, std::ios::app) << "x\n"; };
    const struct {
        const char* what;
        std::function<void()> act;
        bool changed;
    } cases[] = {
        {"written in place", [&] { append(barcodes); }, true},
        {"touched", [&] { ASSERT_EQ(utimensat(AT_FDCWD, formats.c_str(), nullptr, 0), 0); }, true},
        {"another file of the directory", [&] { append(dir + "/server.log"); }, false},
        {"another file renamed", [&] { fs::rename(dir + "/server.log", dir + "/server.log.1"); }, false},
        {"written in place after more reports of other files than one read takes",
         [&] {
             for (int i = 0; i < 300; ++i) append(dir + "/server.log." + std::to_string(i));
             append(barcodes);
         },
         true},
        {"a new file renamed into place", [&] { write_file(dir + "/new", "[2]\n"); fs::rename(dir + "/new", barcodes); }, true},
        {"written through another link", [&] { fs::create_hard_link(formats, root.file("link")); append(root.file("link")); }, true},
        {"removed", [&] { fs::remove(barcodes); }, true},
        {"back again", [&] { write_file(barcodes, "[1]\n"); }, true},
        {"the directory replaced", [&] { fs::rename(dir, root.file("old")); make_db(); }, true},
        {"a directory above renamed and back", [&] { fs::rename(root.file("a"), root.file("b")); fs::rename(root.file("b"), root.file("a")); }, true},
    };
    const auto open_files = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()); };
    const auto opened = open_files();
    for (const auto& c : cases) {
        c.act();
        EXPECT_EQ(changed(), c.changed ? Files_news::any : Files_news::none) << c.what;
        EXPECT_EQ(changed(), Files_news::none) << c.what << ", asked again";
    }
    EXPECT_EQ(open_files(), opened) << "watching afresh keeps no old handle open";
    // A path through a symbolic link could be pointed elsewhere unseen, and
    // a file system that does not report every change (/proc stands in for
    // a network one) is not believed: the files are looked at every time.
    fs::create_directory_symlink(dir, root.file("current"));
    for (const std::string& unwatched : {root.file("current"), std::string("/proc/sys")})
        for (int i = 0; i < 3; ++i) EXPECT_EQ(watch.what_changed(unwatched, database_files, 2), Files_news::any) << unwatched << i;
    // A watch that failed holds no descriptor: one opened since, which may
    // get the same number, is neither read nor closed by it.
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    ASSERT_EQ(write(pipe_ends[1], "data", 4), 4);
    EXPECT_EQ(watch.what_changed("/proc/sys", database_files, 2), Files_news::any);
    char data[4];
    EXPECT_EQ(read(pipe_ends[0], data, 4), 4);
    for (int end : pipe_ends) EXPECT_EQ(close(end), 0) << "closed by the watch";
    fs::remove(barcodes);
    fs::create_symlink(root.file("link"), barcodes);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(changed(), Files_news::any) << "barcodes.ini a symbolic link " << i;
}

} // namespace
#endif

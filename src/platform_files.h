// The thin layer between the programs and their operating system: files, their replacement and lock, and the watch over a directory.
// Nothing else in the programs calls the system for these; one
// implementation file per platform (platform_posix.cpp, platform_windows.cpp)
// provides the whole layer: platform_network.h, platform_files.h,
// platform_process.h and platform_text.h.
// A call that can fail says so as error.h tells.
#ifndef ULVANE_PLATFORM_FILES_H
#define ULVANE_PLATFORM_FILES_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

// The full form of `path`, and whether it names a directory (Windows only).
std::string full_path(const std::string& path);
bool is_directory(const std::string& path);
// Whether `path`, made full, with `added` characters more (a file name
// after a directory, a temporary suffix), stays within the length of a
// path that this system's file calls take: on Windows 259 characters
// (MAX_PATH), elsewhere any. False, with `error` naming the path, its
// length and the limit, when it does not.
bool path_fits(const std::string& path, std::size_t added, Error& error);
// What the database keeps of a file to notice that it changed.
struct File_attributes {
    bool found = false;            // the query succeeded
    // Whether the path names a regular file (links followed), the only kind
    // that can be read to its end without blocking; else what it names:
    // "directory", "named pipe", "character device", "block device",
    // "socket" or "special file".
    bool is_regular = false;
    const char* kind = "";
    std::uint64_t size = 0;        // in bytes
    std::int64_t last_write_time = 0; // nanoseconds since the epoch
    // Which file it is: its device and inode (on Windows its volume serial
    // and file index). A new file renamed over the old one is another file,
    // whatever its time.
    std::uint64_t device = 0;
    std::uint64_t file_id = 0;

    // Whether both describe one version of one file: a file counts as
    // changed when its last-write time, its size or its identity differ.
    bool same_version(const File_attributes& other) const
    {
        return found == other.found && last_write_time == other.last_write_time && size == other.size &&
               device == other.device && file_id == other.file_id;
    }
};

// Queries the attributes of the file at `path`. False, with `out` all zero,
// when the file cannot be examined (missing file or directory, no access).
// Without `identity`, device and file_id may stay 0: on Windows asking for
// them costs opening the file.
bool file_attributes(const std::string& path, File_attributes& out, bool identity = true);

// The file that `path` names, symbolic links followed to their end (on
// Windows junctions too): `path` itself when it is no link or names nothing.
// False, with `error` saying why, for a link that leads to nothing.
bool link_target(const std::string& path, std::string& target, Error& error);

// One writer of a file at a time: an exclusive lock that one process holds
// on `path`, a small file made for it beside the file it guards. It is
// given up by the destructor, or by the system when the process ends
// however it ends; the file goes with it (one that a killed process left on
// Linux is taken over and removed by the next holder).
class File_lock {
public:
    File_lock() = default;
    ~File_lock();
    File_lock(const File_lock&) = delete;
    File_lock& operator=(const File_lock&) = delete;

    // Takes the lock and writes `holder` (who takes it) into its file: true
    // when taken. False when another process holds it, with `busy` set and
    // `error` that holder's words, or when the lock cannot be made, with
    // `error` saying why.
    bool take(const std::string& path, const std::string& holder, bool& busy, Error& error);

private:
    std::string my_path;
    std::intptr_t my_handle = -1;
};

// Removes the temporary files of replacements of `path` that their
// processes never finished (killed, or the machine lost power). Call it
// only while holding the lock that every writer of `path` takes. Returns
// how many were removed.
std::size_t remove_unfinished_replacements(const std::string& path);

// A new version of a file, written beside it under a temporary name and
// then put in its place whole: a reader of the path at any moment finds the
// old file or the new one, never a part and never no file. The new file
// gets the old one's permissions (and, where allowed, its owner; on Windows
// its ACL and its hidden and system attributes). The
// temporary file is removed when the replacement is given up (destroyed
// before commit, or a step failed).
class File_replacement {
public:
    File_replacement() = default;
    ~File_replacement();
    File_replacement(const File_replacement&) = delete;
    File_replacement& operator=(const File_replacement&) = delete;

    // Each step is false, with `error` saying why, when it fails.
    // Creates the temporary file beside the file `path` names: where `path`
    // is a symbolic link, the file it leads to is replaced and the link
    // stays (see link_target).
    bool open(const std::string& path, Error& error);
    // The file replaced (its full path on Windows), and whether `path` is a
    // link that leads to it.
    const std::string& target() const { return my_path; }
    bool through_link() const { return my_through_link; }
    // How many other names (hard links) the file replaced had: they keep
    // its old contents, since the new file takes the place of this name.
    std::size_t other_names() const { return my_other_names; }
    bool write(std::string_view bytes, Error& error);
    // Puts the new file in the place of the old one. `durable`: flushed to
    // the disk first, the rename too, and on Windows retried for up to 5 s
    // while another program has the old file open. `quick`: neither, for a
    // file that is written again soon anyway (the metrics), so that a slow
    // disk or a reader never holds the caller up.
    enum Commit { durable, quick };
    bool commit(Error& error, Commit how = durable);

private:
    void give_up();

    std::string my_path;
    std::string my_temp;
    std::intptr_t my_handle = -1;
    bool my_through_link = false;
    std::size_t my_other_names = 0;
};

// Asks the system to back `bytes` of memory at `start` (a large array about
// to be filled) with large pages where it can: a million-barcode table then
// costs the system a few hundred page faults instead of tens of thousands.
// Nothing on systems without them.
void advise_large_pages(void* start, std::size_t bytes);

// What may have changed in the watched files since the last look.
enum class Files_news {
    none,
    // Written in place; no file was renamed into place, so the files are
    // the ones looked at last.
    written,
    // Anything: written, replaced, removed, created.
    any,
};

// Tells, for one system call, what may have changed in the named files of a
// directory since it last asked.
// On Linux the system reports each change as it happens (inotify), for a
// directory on a local file system (ext2/3/4, XFS, Btrfs, tmpfs, F2FS, ZFS)
// whose path holds no symbolic link. It watches the named files (however
// they are written), the directory's entries of those names (created,
// removed, renamed in or out; other entries, such as a log file kept there,
// are passed over), and the directory and every one above it (renamed or
// removed), and the mounts (a bind mount over any of these): "none" or
// "any". A change is in its report before the call that made it returns, so
// a request that follows an edit never misses it.
// On Windows a file's new last-write time is reported only once it reaches
// the disk, too late for a request that follows an edit; but names change
// at once: it says "written" (look at the times and sizes) until any entry
// of the directory is created, removed or renamed, then "any".
// Where it cannot watch (another system, a network file system, a symbolic
// link, the system's limit on watches, an overflow of its reports) it
// answers "any" every time, and tries to watch again after a second.
class Directory_watch {
public:
    Directory_watch() = default;
    ~Directory_watch();
    Directory_watch(const Directory_watch&) = delete;
    Directory_watch& operator=(const Directory_watch&) = delete;

    // What changed in `dir`, of the files `names` in it or of the
    // directories above it since the last call with this `dir`. The first
    // call, and any after a change, watch afresh and say "any".
    Files_news what_changed(const std::string& dir, const char* const* names, std::size_t count);

private:
    void stop();
    // Stops watching; watches `dir` again unless it cannot, or tried less
    // than a second ago.
    void watch_again(const std::string& dir, const char* const* names, std::size_t count);

    std::intptr_t my_handle = -1; // the inotify descriptor, or the directory's handle, while watching
    std::intptr_t my_mounts = -1; // Linux: the table of mounts, polled for a change
    // Windows: the pending read of the directory's reports, and its buffer.
    std::vector<std::uint64_t> my_reports;
    std::string my_dir;
    // Linux: my_dir's absolute path and its files' paths, made when my_dir
    // changes, so that watching again after a mount allocates nothing.
    std::string my_path;
    std::vector<std::string> my_files;
    bool my_failed = false; // the last try to watch, at my_failed_at
    std::chrono::steady_clock::time_point my_failed_at{};
};

#endif

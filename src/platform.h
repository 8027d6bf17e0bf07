// The thin layer between the server and its operating system: the socket
// layer, the UDP calls, the last socket error and a file's last-write time.
// Nothing else in the program calls the system for these; one implementation
// file per platform (platform_posix.cpp here) provides them.
#ifndef ULVANE_PLATFORM_H
#define ULVANE_PLATFORM_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Prepares the standard streams before anything is opened or written: any of
// standard input, output and error that is closed is opened on the null
// device (else the log file would take its place), and a write to a closed
// pipe fails instead of ending the process.
void protect_standard_streams();

// Makes every line written to standard output or standard error leave when
// the call that writes it returns, also when the stream is a file or a pipe
// (which Windows buffers until exit, and Linux buffers for standard output):
// standard error unbuffered, standard output flushed at each line where the
// platform can, else unbuffered. Every program calls it first.
void unbuffer_standard_streams();

// Makes standard output write bytes as they are given (Windows would turn
// each line feed into a carriage return and line feed).
void binary_standard_output();

// The operator's signals, as flags that the request loop looks at between
// batches: a stop (SIGTERM and SIGINT; on Windows Ctrl-C and closing the
// console), a reopening of the log file (SIGHUP; on Windows the service
// control PARAMCHANGE) and a statistics report (SIGUSR1; on Windows the
// service control service_control_statistics). A signal ends a wait for
// datagrams at once (udp_receive_batch returns 0); one that comes just
// before the wait ends it within a second.
void watch_operator_signals();
bool stop_requested();
bool reopen_requested();     // true once for each signal
bool statistics_requested(); // true once for each signal

// Tells the system's service manager, when the program runs as a service
// (see run_as_service), that it now serves. Nothing otherwise.
void report_serving();

// Starts the socket layer; false when it cannot be used. Always true on POSIX.
bool socket_layer_start();
// Shuts the socket layer down again. Nothing to do on POSIX.
void socket_layer_stop();

// A socket handle, negative when there is none (wide enough for a Windows
// SOCKET, whose invalid value reads as -1 here).
using Socket_handle = std::intptr_t;
const Socket_handle no_socket = -1;

// An IPv4 address and port, both in host byte order.
struct Ipv4_endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
};

// The address in dotted decimal form, "10.0.0.2".
std::string address_text(std::uint32_t address);

// Reads a dotted decimal address; false when `text` is none.
bool address_from_text(const std::string& text, std::uint32_t& address);

// The IPv4 address of a host given by address or by name ("localhost", a
// host name); false when there is none.
bool address_of_host(const std::string& host, std::uint32_t& address);

// An IPv4 datagram socket; negative on failure (see last_socket_error).
Socket_handle udp_open();

// Binds the socket to all local IPv4 addresses at `port` (0: the system
// picks one). False on failure.
bool udp_bind(Socket_handle sd, std::uint16_t port);

// Asks for a receive queue of `bytes` for the socket, to hold the requests
// that arrive while the server is busy; returns the size the system granted
// (beyond the system's limit only to a privileged process).
std::size_t udp_set_receive_buffer(Socket_handle sd, std::size_t bytes);

// What udp_receive learned about where a datagram came from.
struct Datagram_source {
    Ipv4_endpoint endpoint;
    // True when the datagram surely was sent from this very host: it came in
    // over the loopback interface, from a 127.x.x.x address, or with its
    // source address equal to its destination address. is_own_address tells
    // the rest.
    bool from_this_host = false;
    // When it arrived, on the steady clock: the system's time stamp of its
    // arrival where the platform gives one (Linux), so that datagrams that
    // waited while the server was busy count when they came; else when it
    // was received.
    std::chrono::steady_clock::time_point arrived{};
};

// True when `address` is one of this host's own addresses, as they are now
// (addresses added or removed while the program runs included, as the
// system reports them; where it cannot, or lost reports, the list is read
// again at most once a second). Cheap whatever the number of addresses and
// their changes: meant for the datagrams that might be our own.
bool is_own_address(std::uint32_t address);

// Waits for one datagram and copies it into buf. Returns its length (0 for an
// empty datagram), or -1 on failure with last_socket_error set; a datagram
// longer than `capacity` counts as a failure ("message too long") and is
// dropped whole. `from` is all zero when the platform left no address.
long udp_receive(Socket_handle sd, char* buf, std::size_t capacity, Datagram_source& from);

// One entry of a batch receive: the caller's buffer, and what the receive
// put into it.
struct Received_datagram {
    char* buf = nullptr;
    std::size_t capacity = 0;
    long bytes = 0; // the datagram's length; -1 when the receive failed
    int error = 0;  // then the platform's code for the failure
    Datagram_source from;
};

// The most datagrams that one batch receive or send takes.
constexpr std::size_t udp_batch_most = 64;

// Waits for one datagram, then takes those that are already waiting too,
// without waiting again: at most `count` (and at most udp_batch_most) in all, in the
// order they arrived, each as udp_receive would take it. Returns how many
// entries it filled (a failed receive fills one), or 0 when a signal or
// a second without datagrams ended the wait (see watch_operator_signals).
std::size_t udp_receive_batch(Socket_handle sd, Received_datagram* batch, std::size_t count);

// Sends one datagram of `size` bytes (0 allowed). Returns false on failure.
bool udp_send(Socket_handle sd, const char* data, std::size_t size, const Ipv4_endpoint& to);

struct Outgoing_datagram {
    const char* data;
    std::size_t size;
    Ipv4_endpoint to;
};

// Sends datagrams in order, at most udp_batch_most. Returns how many were sent from the
// first on; when fewer than `count`, the next one failed (last_socket_error
// tells why) and none after it was tried.
std::size_t udp_send_batch(Socket_handle sd, const Outgoing_datagram* batch, std::size_t count);

// Waits at most `timeout_ms` milliseconds for a datagram to arrive; true
// when one can be received.
bool udp_wait_readable(Socket_handle sd, int timeout_ms);

void udp_close(Socket_handle sd);

// The platform's code for the last failed socket call (errno on POSIX).
int last_socket_error();
// Whether such a code says that a datagram was longer than the buffer.
bool is_message_too_long(int code);
// The system's words for such a code ("Network is unreachable").
std::string socket_error_text(int code);

// The Windows service manager (Windows only). Each of these returns an
// empty text on success, else why not, with the system's reason.
struct Service_config {
    std::string name;         // "ulvane_server"
    std::string display_name; // in the Services console
    std::string description;
    std::string command_line; // the program and its arguments, quoted
    std::string readable_dir; // the database directory: the account may read it
    std::string writable_dir; // the log's directory: the account may write there
};
// Registers an automatically started service that the manager restarts 10
// seconds after a failure, twice, then leaves stopped. It runs as the
// account NT AUTHORITY\LocalService, which has few rights, with no
// privilege but the one every process needs, and may read readable_dir and
// write in writable_dir (and what they hold). Where the system cannot limit
// the privileges or grant the access (Wine), `warning` says so and the
// service stays registered. Nothing stays registered when any other part
// fails.
std::string service_register(const Service_config& config, std::string& warning);
// Stops the service if it runs (waiting for it to stop), then removes it,
// waiting until the manager has let go of it (up to 30 s).
std::string service_remove(const std::string& name);
// Whether a service of that name is registered.
bool service_is_registered(const std::string& name);
// Asks the running service to reopen its log file (the control
// PARAMCHANGE) or to write its statistics (service_control_statistics).
enum class Service_request { reopen_log, write_statistics };
const unsigned service_control_statistics = 128; // the first user-defined control
std::string service_ask(const std::string& name, Service_request request);
// When the service manager started this process: runs `serve` as the
// service `name`, reporting it starting, then stopped with serve's result
// (0, or a service-specific code of failure); the stop and shutdown
// controls come as stop_requested(), PARAMCHANGE as reopen_requested(),
// service_control_statistics as statistics_requested().
// Returns false at once when the process was not started so.
bool run_as_service(const char* name, int (*serve)());
// Writes an error where an administrator looks first: the Application event
// log, with `source` as its source.
void report_to_system_log(const std::string& source, const std::string& message);
// The full form of `path`, and whether it names a directory.
std::string full_path(const std::string& path);
bool is_directory(const std::string& path);
// This program's own file.
std::string program_path();
// This process's id, as the system's tools show it.
unsigned long process_id();

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
bool link_target(const std::string& path, std::string& target, std::string& error);

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
    bool take(const std::string& path, const std::string& holder, bool& busy, std::string& error);

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
    bool open(const std::string& path, std::string& error);
    // The file replaced (its full path on Windows), and whether `path` is a
    // link that leads to it.
    const std::string& target() const { return my_path; }
    bool through_link() const { return my_through_link; }
    bool write(std::string_view bytes, std::string& error);
    // Puts the new file in the place of the old one. `durable`: flushed to
    // the disk first, the rename too, and on Windows retried for up to 5 s
    // while another program has the old file open. `quick`: neither, for a
    // file that is written again soon anyway (the metrics), so that a slow
    // disk or a reader never holds the caller up.
    enum Commit { durable, quick };
    bool commit(std::string& error, Commit how = durable);

private:
    void give_up();

    std::string my_path;
    std::string my_temp;
    std::intptr_t my_handle = -1;
    bool my_through_link = false;
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
    bool my_failed = false; // the last try to watch, at my_failed_at
    std::chrono::steady_clock::time_point my_failed_at{};
};

#endif

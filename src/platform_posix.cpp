// The platform layer on POSIX systems (Linux first).
#include "platform_files.h"
#include "platform_network.h"
#include "platform_process.h"
#include "platform_text.h"

#include <algorithm>
#include <chrono>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/file.h>
#include <fcntl.h>
#include <iconv.h>
#include <ifaddrs.h>
#include <iostream>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <time.h>
#include <climits>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#ifdef __linux__
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#endif

void protect_standard_streams()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) open("/dev/null", O_RDWR); // takes the lowest free, fd
    signal(SIGPIPE, SIG_IGN);
}

void binary_standard_output()
{
}

bool arguments_arrived_whole(Error&)
{
    return true; // the bytes as given
}

void unbuffer_standard_streams()
{
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

namespace {

volatile std::sig_atomic_t the_stop_signal = 0;
volatile std::sig_atomic_t the_reopen_signal = 0;
volatile std::sig_atomic_t the_statistics_signal = 0;

extern "C" void on_signal(int signal)
{
    if (signal == SIGHUP)
        the_reopen_signal = 1;
    else if (signal == SIGUSR1)
        the_statistics_signal = 1;
    else
        the_stop_signal = 1;
}

} // namespace

void watch_operator_signals()
{
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a wait for datagrams ends with EINTR
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaction(signal, &action, nullptr);
}

bool stop_requested()
{
    return the_stop_signal != 0;
}

bool reopen_requested()
{
    if (the_reopen_signal == 0) return false;
    the_reopen_signal = 0;
    return true;
}

bool statistics_requested()
{
    if (the_statistics_signal == 0) return false;
    the_statistics_signal = 0;
    return true;
}

void report_serving()
{
}

bool socket_layer_start()
{
    return true;
}

void socket_layer_stop()
{
}

std::string address_text(std::uint32_t address)
{
    in_addr a{};
    a.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = "0.0.0.0";
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

bool address_from_text(const std::string& text, std::uint32_t& address)
{
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    address = ntohl(a.s_addr);
    return true;
}

bool address_of_host(const std::string& host, std::uint32_t& address, Error& error)
{
    if (address_from_text(host, address)) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int code = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (code != 0 || found == nullptr) {
        error = {code, "unknown host " + host + ": " + (code == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(code))};
        return false;
    }
    address = ntohl(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
    return true;
}

bool Udp_socket::open(Error& error)
{
    close();
    const int sd = socket(AF_INET, SOCK_DGRAM, 0);
    if (sd < 0) {
        error = system_error("", errno);
        return false;
    }
    my_handle = sd;
    // A wait for datagrams ends after a second, so that a stop signal that
    // came just before it is seen.
    timeval second{1, 0};
    setsockopt(sd, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
    // Ask for the arriving interface and the destination address of every
    // datagram, to tell datagrams sent from this host.
    int on = 1;
    setsockopt(sd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    // And when each arrived.
    setsockopt(sd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    return true;
}

bool Udp_socket::bind(std::uint16_t port, Error& error, std::uint32_t address)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address); // INADDR_ANY is 0
    sa.sin_port = htons(port);
    if (::bind(static_cast<int>(my_handle), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return true;
    error = system_error("", errno);
    return false;
}

void Udp_socket::close()
{
    if (my_handle >= 0) ::close(static_cast<int>(my_handle));
    my_handle = no_socket;
}

std::uint16_t udp_local_port(Socket_handle sd)
{
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (getsockname(static_cast<int>(sd), reinterpret_cast<sockaddr*>(&sa), &length) != 0) return 0;
    return ntohs(sa.sin_port);
}

std::size_t udp_set_receive_buffer(Socket_handle sd, std::size_t bytes)
{
    const int fd = static_cast<int>(sd);
    int wanted = static_cast<int>(bytes);
    // Linux reports twice the size asked for (its bookkeeping included).
    auto granted = [fd] {
        int size = 0;
        socklen_t length = sizeof size;
        getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length);
        return static_cast<std::size_t>(size) / 2;
    };
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
#ifdef SO_RCVBUFFORCE
    if (granted() < bytes) setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted); // privileged
#endif
    return granted();
}

namespace {

// The message header of one receive: the sender's address, the buffer and
// room for the datagram's arriving interface and destination.
struct Receive_header {
    sockaddr_in sa;
    iovec iov;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(timespec))];

    void prepare(msghdr& msg, char* buf, std::size_t capacity)
    {
        sa = sockaddr_in{};
        iov = iovec{buf, capacity};
        msg = msghdr{};
        msg.msg_name = &sa;
        msg.msg_namelen = sizeof sa;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
    }
};

// The two clocks read at one moment, to turn the system's time stamps of
// arrival (on the real-time clock) into steady time.
struct Clocks {
    std::chrono::steady_clock::time_point steady = std::chrono::steady_clock::now();
    timespec real = [] {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return now;
    }();

    std::chrono::steady_clock::time_point steady_time_of(const timespec& stamp) const
    {
        const std::int64_t ago = (real.tv_sec - stamp.tv_sec) * std::int64_t(1000000000) + (real.tv_nsec - stamp.tv_nsec);
        // A stamp from the future (the real-time clock was set back) is now.
        return steady - std::chrono::nanoseconds(std::max<std::int64_t>(ago, 0));
    }
};

// Fills `out` from a received message of `bytes` bytes (negative: the
// receive failed with `error`).
void take_received(const msghdr& msg, const sockaddr_in& sa, long bytes, int error, const Clocks& clocks,
                   Received_datagram& out)
{
    static const unsigned loopback_index = if_nametoindex("lo");
    out.from = Datagram_source{};
    out.from.arrived = clocks.steady;
    out.bytes = bytes;
    out.error = error;
    if (msg.msg_namelen >= sizeof sa && sa.sin_family == AF_INET) {
        out.from.endpoint.address = ntohl(sa.sin_addr.s_addr);
        out.from.endpoint.port = ntohs(sa.sin_port);
    }
    if (bytes < 0) return;
    if (msg.msg_flags & MSG_TRUNC) {
        // The receive cuts a datagram that does not fit without failing;
        // such a datagram must not be served, so report it as too long.
        out.bytes = -1;
        out.error = EMSGSIZE;
        return;
    }
    out.from.from_this_host = (out.from.endpoint.address >> 24) == 127;
    for (const cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(const_cast<msghdr*>(&msg), const_cast<cmsghdr*>(c))) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            if (loopback_index != 0 && static_cast<unsigned>(info.ipi_ifindex) == loopback_index)
                out.from.from_this_host = true;
            // A datagram between two of this host's own non-loopback
            // addresses carries the interface that holds the address, not
            // the loopback interface. But a datagram to one of our own
            // addresses mostly leaves with that address as its source (a
            // secondary address of a subnet gets the subnet's first one).
            if (info.ipi_addr.s_addr == sa.sin_addr.s_addr) out.from.from_this_host = true;
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp;
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            out.from.arrived = clocks.steady_time_of(stamp);
        }
    }
}


} // namespace

long udp_receive(Socket_handle sd, char* buf, std::size_t capacity, Datagram_source& from, Error& error)
{
    Received_datagram received;
    received.buf = buf;
    received.capacity = capacity;
    while (udp_receive_batch(sd, &received, 1) == 0) {
    }
    from = received.from;
    if (received.bytes < 0) error = system_error("", received.error);
    return received.bytes;
}

// SO_TIMESTAMPNS: the kernel stamps each datagram as it arrives.
const bool udp_arrivals_stamped = true;

std::size_t udp_receive_batch(Socket_handle sd, Received_datagram* batch, std::size_t count)
{
    const std::size_t most = udp_batch_most;
    if (count > most) count = most;
    Receive_header headers[most];
    mmsghdr messages[most];
    for (std::size_t i = 0; i < count; ++i) {
        headers[i].prepare(messages[i].msg_hdr, batch[i].buf, batch[i].capacity);
        messages[i].msg_len = 0;
    }
    // Blocks for the first datagram only; takes what else is waiting.
    int n = recvmmsg(static_cast<int>(sd), messages, static_cast<unsigned>(count), MSG_WAITFORONE, nullptr);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return 0; // a signal, or a quiet second
    const Clocks clocks;
    if (n <= 0) {
        take_received(messages[0].msg_hdr, headers[0].sa, -1, n < 0 ? errno : EAGAIN, clocks, batch[0]);
        return 1;
    }
    for (int i = 0; i < n; ++i)
        take_received(messages[i].msg_hdr, headers[i].sa, static_cast<long>(messages[i].msg_len), 0, clocks,
                      batch[i]);
    return static_cast<std::size_t>(n);
}

// The kernel reports each address added or removed (Linux). When reports
// were lost (too many at once) or cannot be had, the whole list is read
// again, at most once a second: with thousands of addresses that takes
// milliseconds. An answer to an address added meanwhile still comes back as
// our own answer, which the server does not answer either.
void Own_addresses::watch_changes()
{
    my_opened = true;
#ifdef __linux__
    int changes = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl sa{};
    sa.nl_family = AF_NETLINK;
    sa.nl_groups = RTMGRP_IPV4_IFADDR;
    if (changes >= 0 && bind(changes, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(changes);
        changes = -1;
    }
    // Room for a burst of changes between two questions.
    const int room = 4 << 20;
    if (changes >= 0 && setsockopt(changes, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
        setsockopt(changes, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    my_changes = changes;
#endif
}

Own_addresses::~Own_addresses()
{
    if (my_changes >= 0) close(static_cast<int>(my_changes));
}

void Own_addresses::read_all()
{
    my_read = true;
    my_read_at = std::chrono::steady_clock::now();
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return; // stays stale: read again in a second
    my_addresses.clear();
    for (ifaddrs* a = list; a != nullptr; a = a->ifa_next)
        if (a->ifa_addr != nullptr && a->ifa_addr->sa_family == AF_INET)
            my_addresses.insert(ntohl(reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr));
    freeifaddrs(list);
    my_stale = my_changes < 0;
}

// Applies the kernel's reports in `reports` of addresses added and removed.
void Own_addresses::apply_changes(const char* reports, std::size_t size)
{
#ifdef __linux__
    int left = static_cast<int>(size);
    // NLMSG_OK, written out: the macro compares the unsigned length with
    // the signed rest, which compilers rightly warn of.
    auto whole = [&left](const nlmsghdr* h) {
        return left >= static_cast<int>(sizeof(nlmsghdr)) && h->nlmsg_len >= sizeof(nlmsghdr) &&
               h->nlmsg_len <= static_cast<unsigned>(left);
    };
    for (auto* h = reinterpret_cast<const nlmsghdr*>(reports); whole(h); h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_type != RTM_NEWADDR && h->nlmsg_type != RTM_DELADDR) continue;
        const auto* message = static_cast<const ifaddrmsg*>(NLMSG_DATA(h));
        if (message->ifa_family != AF_INET) continue;
        // The local address, as getifaddrs gives it: IFA_LOCAL where there
        // is one (IFA_ADDRESS is the peer's on a point-to-point link).
        bool found = false;
        in_addr address{};
        int attributes_left = static_cast<int>(IFA_PAYLOAD(h));
        for (auto* a = IFA_RTA(message); RTA_OK(a, attributes_left); a = RTA_NEXT(a, attributes_left)) {
            if ((a->rta_type == IFA_LOCAL || (a->rta_type == IFA_ADDRESS && !found)) &&
                RTA_PAYLOAD(a) >= sizeof address) {
                std::memcpy(&address, RTA_DATA(a), sizeof address);
                found = true;
                if (a->rta_type == IFA_LOCAL) break;
            }
        }
        if (!found) continue;
        if (h->nlmsg_type == RTM_NEWADDR)
            my_addresses.insert(ntohl(address.s_addr));
        else
            my_addresses.erase(ntohl(address.s_addr));
    }
#else
    (void)reports;
    (void)size;
#endif
}

bool Own_addresses::contains(std::uint32_t address)
{
    if ((address >> 24) == 127) return true;
    if (!my_opened) watch_changes(); // before the first read, so no change is missed
#ifdef __linux__
    if (my_changes >= 0 && !my_reports_read) {
        my_reports_read = true;
        alignas(nlmsghdr) char reports[16384];
        for (;;) {
            ssize_t n = recv(static_cast<int>(my_changes), reports, sizeof reports, MSG_DONTWAIT);
            if (n < 0 && errno == ENOBUFS) {
                my_stale = true; // reports were lost
                continue;
            }
            if (n <= 0) break;
            apply_changes(reports, static_cast<std::size_t>(n));
        }
    }
#endif
    if (!my_read || (my_stale && std::chrono::steady_clock::now() - my_read_at >= std::chrono::seconds(1))) read_all();
    return my_addresses.count(address) != 0;
}

bool udp_send(Socket_handle sd, const char* data, std::size_t size, const Ipv4_endpoint& to, Error& error)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(to.address);
    sa.sin_port = htons(to.port);
    if (sendto(static_cast<int>(sd), data, size, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa) >= 0) return true;
    error = system_error("", errno);
    return false;
}

std::size_t udp_send_batch(Socket_handle sd, const Outgoing_datagram* batch, std::size_t count, Error& error)
{
    const std::size_t most = udp_batch_most;
    if (count > most) count = most;
    sockaddr_in to[most];
    iovec iov[most];
    mmsghdr messages[most];
    for (std::size_t i = 0; i < count; ++i) {
        to[i] = sockaddr_in{};
        to[i].sin_family = AF_INET;
        to[i].sin_addr.s_addr = htonl(batch[i].to.address);
        to[i].sin_port = htons(batch[i].to.port);
        iov[i] = iovec{const_cast<char*>(batch[i].data), batch[i].size};
        messages[i] = mmsghdr{};
        messages[i].msg_hdr.msg_name = &to[i];
        messages[i].msg_hdr.msg_namelen = sizeof to[i];
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    // sendmmsg stops at the first datagram that fails, but says why only
    // when that is the first it was given: the rest is sent again, to go
    // out or to tell why not.
    std::size_t sent = 0;
    while (sent < count) {
        const int n = sendmmsg(static_cast<int>(sd), messages + sent, static_cast<unsigned>(count - sent), 0);
        if (n <= 0) {
            error = system_error("", n < 0 ? errno : EAGAIN);
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    return sent;
}

bool udp_wait_readable(Socket_handle sd, int timeout_ms)
{
    pollfd p{static_cast<int>(sd), POLLIN, 0};
    return poll(&p, 1, timeout_ms) > 0;
}

bool udp_wait_any(const Socket_handle* sds, std::size_t count, int timeout_ms, bool* readable)
{
    pollfd polled[64];
    count = std::min<std::size_t>(count, 64);
    for (std::size_t i = 0; i < count; ++i) polled[i] = {static_cast<int>(sds[i]), POLLIN, 0};
    const int n = poll(polled, count, timeout_ms); // a signal ends it with EINTR
    for (std::size_t i = 0; i < count; ++i) readable[i] = n > 0 && (polled[i].revents & (POLLIN | POLLERR)) != 0;
    return n > 0;
}

bool is_message_too_long(int code)
{
    return code == EMSGSIZE;
}

bool is_address_in_use(int code)
{
    return code == EADDRINUSE;
}

std::string system_error_text(int code)
{
    return std::strerror(code);
}

bool file_attributes(const std::string& path, File_attributes& out, bool)
{
    out = File_attributes{};
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    out.found = true;
    out.is_regular = S_ISREG(st.st_mode);
    out.kind = S_ISREG(st.st_mode)    ? "regular file"
               : S_ISDIR(st.st_mode)  ? "directory"
               : S_ISFIFO(st.st_mode) ? "named pipe"
               : S_ISCHR(st.st_mode)  ? "character device"
               : S_ISBLK(st.st_mode)  ? "block device"
               : S_ISSOCK(st.st_mode) ? "socket"
                                      : "special file";
    out.size = static_cast<std::uint64_t>(st.st_size);
    // Full nanosecond resolution, so that two edits within one second are
    // both noticed.
    out.last_write_time =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    out.device = static_cast<std::uint64_t>(st.st_dev);
    out.file_id = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

Directory_watch::~Directory_watch()
{
    stop();
}

void Directory_watch::stop()
{
    if (my_handle >= 0) close(static_cast<int>(my_handle));
    if (my_mounts >= 0) close(static_cast<int>(my_mounts));
    my_handle = -1;
    my_mounts = -1;
}

Files_news Directory_watch::what_changed(const std::string& dir, const char* const* names, std::size_t count)
{
    bool changed = my_handle < 0 || dir != my_dir;
#ifdef __linux__
    // A mount (a bind mount over the directory, a file or a directory
    // above) changes what the path means without an event of inotify; the
    // system's table of mounts says so when polled. One poll asks both, so
    // that a look that finds nothing costs one system call.
    bool reports = false;
    if (!changed) {
        pollfd news[2] = {{static_cast<int>(my_mounts), POLLPRI, 0}, {static_cast<int>(my_handle), POLLIN, 0}};
        changed = poll(news, 2, 0) < 0 || news[0].revents != 0;
        reports = news[1].revents != 0;
    }
    // Reports about other entries of the directory (a log file kept there)
    // are read and passed over.
    while (!changed && reports) {
        alignas(inotify_event) char events[4096];
        const ssize_t n = read(static_cast<int>(my_handle), events, sizeof events);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        changed = n <= 0;
        for (ssize_t at = 0; !changed && at < n;) {
            const inotify_event* event = reinterpret_cast<const inotify_event*>(events + at);
            changed = event->len == 0 || std::find_if(names, names + count, [&](const char* name) {
                                              return std::strcmp(name, event->name) == 0;
                                          }) != names + count;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
#endif
    if (!changed) return Files_news::none;
    // A change, an overflow of the reports or an error: whatever it was,
    // the caller looks at the files, and the watch starts afresh first, so
    // that it misses nothing that happens after that look.
    watch_again(dir, names, count);
    return Files_news::any;
}

#ifdef __linux__
namespace {

// The absolute path of the database directory `dir`; empty when the
// current directory cannot be read.
std::string absolute_path(const std::string& dir)
{
    std::string path = dir.empty() ? "." : dir;
    if (path[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) return std::string();
        path = std::string(cwd) + "/" + path;
    }
    return path;
}

// Whether the file system of `path` reports every change at once (not a
// network file system, whose files other hosts change unseen).
bool reports_every_change(const std::string& path)
{
    struct statfs fs;
    if (statfs(path.c_str(), &fs) != 0) return false;
    const unsigned long local[] = {0xEF53, 0x58465342, 0x9123683E, 0x01021994, 0xF2F52010, 0x2FC12FC1};
    return std::find(std::begin(local), std::end(local), static_cast<unsigned long>(fs.f_type)) != std::end(local);
}

// Adds to the inotify descriptor `fd` the watches over the directory
// `path` and its files `files` (their paths); false when one of them cannot
// be watched. Allocates nothing: a mount anywhere has it run again.
bool add_watches(int fd, const std::string& path, const std::vector<std::string>& files)
{
    auto watch = [&](const char* name, std::uint32_t mask) {
        struct stat st;
        // A symbolic link could be pointed elsewhere unseen.
        return lstat(name, &st) == 0 && !S_ISLNK(st.st_mode) && inotify_add_watch(fd, name, mask) >= 0;
    };
    // Every directory from the root down, renamed or removed: the path
    // would then lead elsewhere. The directory itself last, with its entries.
    const std::uint32_t self = IN_MOVE_SELF | IN_DELETE_SELF | IN_DONT_FOLLOW;
    char above[PATH_MAX];
    if (path.size() >= sizeof above) return false;
    for (std::size_t end = 1; end != std::string::npos; end = path.find('/', end + 1)) {
        std::memcpy(above, path.data(), end); // "/" first
        above[end] = '\0';
        if (!watch(above, self | IN_ONLYDIR)) return false;
    }
    if (!watch(path.c_str(), self | IN_ONLYDIR | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE)) return false;
    // The files themselves, however they are reached; a missing one's
    // arrival, and a file put in another's place, are entries of the
    // directory.
    for (const std::string& file : files) {
        struct stat st;
        if (lstat(file.c_str(), &st) != 0 ? errno != ENOENT
                                           : !watch(file.c_str(), self | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE))
            return false;
    }
    return true;
}

} // namespace
#endif

void Directory_watch::watch_again(const std::string& dir, const char* const* names, std::size_t count)
{
    stop();
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (my_failed && dir == my_dir && now - my_failed_at < std::chrono::seconds(1)) return;
    if (dir != my_dir || my_path.empty()) {
        my_dir = dir;
        my_path.clear();
        my_files.clear();
#ifdef __linux__
        my_path = absolute_path(dir);
        for (std::size_t i = 0; i < count; ++i) my_files.push_back(my_path + "/" + names[i]);
#endif
    }
    my_failed = true; // until all is watched
    my_failed_at = now;
#ifdef __linux__
    if (my_path.empty() || !reports_every_change(my_path)) return;
    const int mounts = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (mounts < 0) return;
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0 || !add_watches(fd, my_path, my_files)) {
        if (fd >= 0) close(fd);
        close(mounts);
        return;
    }
    my_handle = fd;
    my_mounts = mounts;
    my_failed = false;
#else
    (void)names;
    (void)count;
#endif
}

void advise_large_pages(void* start, std::size_t bytes)
{
#ifdef __linux__
    // Only the whole pages inside the range; a small array gains nothing.
    const std::uintptr_t page = 4096, huge = std::uintptr_t(2) << 20;
    if (bytes < 2 * huge) return;
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(start) + page - 1) & ~(page - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(page - 1);
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)start;
    (void)bytes;
#endif
}

unsigned long process_id()
{
    return static_cast<unsigned long>(getpid());
}

bool path_fits(const std::string&, std::size_t, Error&)
{
    return true; // a path too long for the system is refused by its calls, in their own words
}

bool link_target(const std::string& path, std::string& target, Error& error)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        target = path;
        return true;
    }
    // Whoever may write in the link's directory can plant a link there: one
    // of another user would have us replace whatever file it names.
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        error.text = path + " is a symbolic link of another user (uid " + std::to_string(st.st_uid) +
                "), neither root nor this program's: not followed";
        return false;
    }
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        error = system_error(path + " is a symbolic link that leads to nothing", errno);
        return false;
    }
    target = resolved;
    std::free(resolved);
    return true;
}

File_lock::~File_lock()
{
    if (my_handle < 0) return;
    // Removed while still held: a process waiting on the old file sees it
    // gone and makes a new one.
    unlink(my_path.c_str());
    close(static_cast<int>(my_handle));
}

bool File_lock::take(const std::string& path, const std::string& holder, bool& busy, Error& error)
{
    busy = false;
    for (;;) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        // One that another user's import left when it was killed: its
        // lock, had it one still, holds on a descriptor only for reading
        // too; none held, it is removed and made afresh, ours.
        const bool others = fd < 0 && errno == EACCES;
        if (others) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error = system_error("cannot make the lock " + path, errno);
            return false;
        }
        if (others && flock(fd, LOCK_EX | LOCK_NB) == 0) {
            const bool removed = unlink(path.c_str()) == 0 || errno == ENOENT;
            const int code = errno;
            close(fd);
            if (removed) continue;
            error = system_error("cannot remove the lock " + path + " that an ended import left", code);
            return false;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int code = errno;
            char words[512];
            const ssize_t n = code == EWOULDBLOCK ? pread(fd, words, sizeof words, 0) : -1;
            close(fd);
            busy = code == EWOULDBLOCK;
            error = busy ? Error{code, std::string(words, n > 0 ? static_cast<std::size_t>(n) : 0)}
                         : system_error("cannot lock " + path, code);
            return false;
        }
        // The holder before us may have removed the file as we opened it:
        // the lock counts only on the file the path names now.
        struct stat ours, named;
        if (fstat(fd, &ours) != 0 || stat(path.c_str(), &named) != 0 || ours.st_ino != named.st_ino ||
            ours.st_dev != named.st_dev) {
            close(fd);
            continue;
        }
        if (ftruncate(fd, 0) != 0 || pwrite(fd, holder.data(), holder.size(), 0) < 0) {
            // The lock is held all the same; only its words are missing.
        }
        my_path = path;
        my_handle = fd;
        return true;
    }
}

std::size_t remove_unfinished_replacements(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".new-";
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) return 0;
    std::size_t removed = 0;
    while (const dirent* entry = readdir(listing))
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
            removed += unlink((slash == std::string::npos ? std::string(entry->d_name) : dir + entry->d_name).c_str()) == 0;
    closedir(listing);
    return removed;
}

File_replacement::~File_replacement()
{
    give_up();
}

void File_replacement::give_up()
{
    if (my_handle >= 0) close(static_cast<int>(my_handle));
    my_handle = -1;
    if (!my_temp.empty()) unlink(my_temp.c_str());
    my_temp.clear();
}

bool File_replacement::open(const std::string& path, Error& error)
{
    give_up();
    if (!link_target(path, my_path, error)) return false;
    my_through_link = my_path != path;
    struct stat old;
    const bool existed = stat(my_path.c_str(), &old) == 0;
    if (existed && !S_ISREG(old.st_mode)) {
        error.text = "cannot replace " + my_path + ": it is no regular file (a directory, a device, a FIFO or a socket)";
        return false;
    }
    my_temp = my_path + ".new-" + std::to_string(getpid());
    // Created for us alone; the umask applies to a file that had no
    // predecessor. One of this name left by an earlier process of the same
    // number (killed, or in a container, where the number is always the
    // same) is removed first: unlink takes a link itself, never its target.
    int fd = ::open(my_temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST && unlink(my_temp.c_str()) == 0)
        fd = ::open(my_temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = system_error("cannot create " + my_temp, errno);
        my_temp.clear();
        return false;
    }
    my_handle = fd;
    my_other_names = 0;
    if (existed) {
        my_other_names = old.st_nlink > 1 ? static_cast<std::size_t>(old.st_nlink - 1) : 0;
        if (fchown(fd, old.st_uid, old.st_gid) != 0) {
            // Only the owner's own or root's files can be given away; the
            // new file stays ours then.
        }
        if (fchmod(fd, old.st_mode & 07777) != 0) {
            error = system_error("cannot give " + my_temp + " the permissions of " + my_path, errno);
            give_up();
            return false;
        }
    }
    return true;
}

bool File_replacement::write(std::string_view bytes, Error& error)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(static_cast<int>(my_handle), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = system_error("cannot write " + my_temp, n < 0 ? errno : ENOSPC);
            give_up();
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool File_replacement::commit(Error& error, Commit how)
{
    const int fd = static_cast<int>(my_handle);
    const bool flushed = how == quick || fsync(fd) == 0;
    const int flush_error = errno;
    const bool closed = close(fd) == 0; // even after a failed flush, or the descriptor would leak
    if (!flushed || !closed) {
        error = system_error("cannot write " + my_temp + " to the disk", flushed ? errno : flush_error);
        my_handle = -1;
        give_up();
        return false;
    }
    my_handle = -1;
    if (rename(my_temp.c_str(), my_path.c_str()) != 0) {
        error = system_error("cannot rename " + my_temp + " to " + my_path, errno);
        give_up();
        return false;
    }
    my_temp.clear();
    if (how == quick) return true;
    // The rename itself reaches the disk with the directory.
    const std::size_t slash = my_path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : my_path.substr(0, slash);
    const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        fsync(dir_fd);
        close(dir_fd);
    }
    return true;
}

bool single_byte_characters(const char* iconv_name, unsigned, std::array<std::int32_t, 256>& characters,
                            Error& error)
{
    const iconv_t converter = iconv_open("UTF-32LE", iconv_name);
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        error = system_error(std::string("iconv does not know ") + iconv_name, errno);
        return false;
    }
    for (int b = 0; b < 256; ++b) {
        char byte = static_cast<char>(b);
        unsigned char utf32[8];
        char* in = &byte;
        char* out = reinterpret_cast<char*>(utf32);
        std::size_t in_left = 1, out_left = sizeof utf32;
        iconv(converter, nullptr, nullptr, nullptr, nullptr); // the initial state
        const bool one = iconv(converter, &in, &in_left, &out, &out_left) != static_cast<std::size_t>(-1) &&
                         in_left == 0 && out_left == sizeof utf32 - 4;
        characters[b] = one ? static_cast<std::int32_t>(utf32[0] | utf32[1] << 8 | utf32[2] << 16 | utf32[3] << 24) : -1;
    }
    iconv_close(converter);
    return true;
}

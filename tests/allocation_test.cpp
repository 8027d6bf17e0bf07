// Counts the heap allocations of the request path: once the server has
// warmed up, a batch of requests for listed barcodes allocates nothing,
// from their receipt to their answers' sending. A binary of its own, since
// it replaces the global operator new.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <netinet/in.h>
#include <string>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "log.h"
#include "request_loop.h"
#include "test_util.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void* allocate(std::size_t size)
{
    if (counting) ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

} // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Sends `count` requests for `barcode` from `client` to the server's socket,
// lets the server answer them as one batch, and takes the answers at
// `answers`; the number of allocations the server made meanwhile.
long allocations_of_a_batch(Socket_handle client, Socket_handle answers, const Ipv4_endpoint& server,
                            Serving& serving, const std::string& request, int count, Socket_handle sd)
{
    Error error;
    for (int i = 0; i < count; ++i) EXPECT_TRUE(udp_send(client, request.data(), request.size(), server, error));
    EXPECT_TRUE(udp_wait_readable(sd, 1000));
    allocations = 0;
    counting = true;
    serve_batch(sd, serving);
    counting = false;
    char buf[1600];
    Datagram_source from;
    int answered = 0;
    while (answered < count && udp_wait_readable(answers, 1000) && udp_receive(answers, buf, sizeof buf, from, error) > 0)
        ++answered;
    EXPECT_EQ(answered, count) << request;
    return allocations;
}

// A socket at a port the system picks, and that port.
Socket_handle any_port_socket(Udp_socket& socket, std::uint16_t& port)
{
    Error error;
    EXPECT_TRUE(socket.open(error));
    EXPECT_TRUE(socket.bind(0, error));
    const Socket_handle sd = socket.handle();
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    getsockname(static_cast<int>(sd), reinterpret_cast<sockaddr*>(&sa), &length);
    port = ntohs(sa.sin_port);
    return sd;
}

} // namespace

TEST(Allocations, NoneForABatchOfAnyBarcodeOnceWarmedUp)
{
    // A mount anywhere (other tests make network namespaces) has the server
    // check its files again: mounts made elsewhere stay unseen here, and
    // this test makes its own.
    const bool own_mounts = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    Temp_dir dir;
    const std::string long_code(100, '7'), serial(60, 'S');
    // Names longer than a string holds without memory of its own.
    write_file(dir.file("barcodes.ini"), "[4006381333931]\nformat=price_on_the_shelf_label\n"
                                         "tag.description_for_the_display=Pencil, hard, with a long name\n"
                                         "tag.price=1.99\n[]\nformat=price_on_the_shelf_label\ntag.description=?\n"
                                         "label.weighed=21IIIIIVVVVVC weight 3 kg\n[2112345000008]\nformat=weighed\n"
                                         "[042100005264]\nformat=price_on_the_shelf_label\n"
                                         "[LOCATION-0042-SHELF-07]\nformat=price_on_the_shelf_label\n"
                                         "[" + long_code + "]\nformat=best_before\n");
    write_file(dir.file("formats.ini"),
               "[price_on_the_shelf_label]\n\\e[2J${description_for_the_display}\\n\nPrice: ${price} EUR\\x0d\n"
               "[best_before]\nBest before ${gs1.17:DD.MM.YYYY}, lot ${gs1.10}\n"
               "[weighed]\n${label.value} ${label.unit}, ${gs1.310x}\n");
    ::mkdir(dir.file("mounted").c_str(), 0700);
    struct Row {
        const char* what;
        std::string request;
        bool mount_before; // a mount comes and goes before the batch
    };
    const Row rows[] = {
        {"a listed EAN-13", "4006381333931\n", false},
        {"a listed 23-byte code", "LOCATION-0042-SHELF-07\n", false},
        {"a listed 100-byte code", long_code, false},
        {"an unknown 20-digit code", "12345678901234567890", false},
        {"an unknown 1600-byte code", std::string(1600, 'u'), false},
        {"a Digital Link of a listed GTIN", "https://id.gs1.org/01/04006381333931/21/" + serial + "?17=271231", false},
        {"an element string of a listed GTIN", "]d2010400638133393117271231" "10AB\x1d" "21" + serial.substr(0, 20), false},
        {"an unknown Digital Link", "https://id.gs1.org/01/09506000134352/21/" + serial, false},
        {"a scale label", "2112345012506\n", false},
        {"a UPC-E of a listed UPC-A", "04252614\n", false},
        {"an EAN-13 after an AIM identifier, before CR LF", "]E04006381333931\r\n", false},
        {"a listed EAN-13 after a mount", "4006381333931\n", true},
    };
    std::uint16_t server_port = 0, answer_port = 0, client_port = 0;
    Udp_socket sockets[3];
    Socket_handle answers = any_port_socket(sockets[0], answer_port), client = any_port_socket(sockets[1], client_port);
    Socket_handle sd = any_port_socket(sockets[2], server_port);
    Serving serving;
    serving.setup.db_dir = dir.path();
    serving.setup.port = answer_port; // answers go to the sender's address at this port
    serving.db.load(dir.path());
    // The most networks answered, the loopback among the last.
    std::string networks;
    for (int i = 1; i < 64; ++i) networks += "10." + std::to_string(i) + ".0.0/16,";
    Error error;
    ASSERT_TRUE(serving.allowed.read(networks + "127.0.0.0/8", error)) << error.text;
    const Ipv4_endpoint server{0x7f000001, server_port};
    for (unsigned level : {2u, 3u}) {
        set_log_level(level);
        set_log_file(dir.file("log"));
        for (const Row& row : rows) {
            if (row.mount_before && !own_mounts) continue; // not root: no mount of its own
            for (int batch = 0; batch < 3; ++batch) { // a warm-up, then batches that must not allocate
                if (row.mount_before && batch > 0) {
                    ASSERT_EQ(mount("none", dir.file("mounted").c_str(), "tmpfs", 0, nullptr), 0);
                    ASSERT_EQ(umount(dir.file("mounted").c_str()), 0);
                }
                const long counted = allocations_of_a_batch(client, answers, server, serving, row.request, 16, sd);
                if (batch > 0) {
                    EXPECT_EQ(counted, 0) << row.what << ", level " << level << ", batch " << batch;
                }
            }
        }
        close_log_file();
    }
    set_log_level(3);
}

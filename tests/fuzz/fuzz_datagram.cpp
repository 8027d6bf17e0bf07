// The handling of one received datagram against a small fixed database, as
// the request loop does it. The first input byte chooses the log level and
// whether the datagram seems to come from the server's own host and port.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_util.h"
#include "log.h"
#include "answering.h"
#include "request_loop.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string db_dir = fuzz_database();
    quiet_log();
    if (size == 0 || size > 1601) return 0;
    set_log_level(data[0] % 6);
    Datagram_source from;
    from.endpoint = {0x0a000002, static_cast<std::uint16_t>(data[0] & 0x40 ? 9000 : 5000)};
    from.from_this_host = (data[0] & 0x80) != 0;
    std::string answer;
    Serving serving; // afresh for each input: one datagram never exceeds its limit
    serving.setup.db_dir = db_dir;
    bool answered = answer_datagram(std::string(reinterpret_cast<const char*>(data + 1), size - 1), from, serving, answer);
    // The database has a fallback barcode and format: every request that is
    // not empty and not from our own socket gets an answer.
    bool own = (from.from_this_host || serving.own_addresses.contains(from.endpoint.address)) && from.endpoint.port == 9000;
    if (answered != (size > 1 && !own)) std::abort();
    set_log_level(3);
    return 0;
}

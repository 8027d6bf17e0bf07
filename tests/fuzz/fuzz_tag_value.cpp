// The tag=value line parser: a line without '=' is bad and empty; any other
// line splits into tag "=" value exactly, at its first '='.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "database.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), size);
    Tag_value tv(line);
    if (line.find('=') == std::string::npos) {
        if (!tv.fail() || !tv.tag().empty() || !tv.value().empty()) std::abort();
    } else {
        if (tv.fail() || tv.tag().find('=') != std::string::npos) std::abort();
        if (tv.tag() + "=" + tv.value() != line) std::abort();
    }
    return 0;
}

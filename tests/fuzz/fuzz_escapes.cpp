// text_to_bytes and bytes_to_text: neither may fail on any input, escaped
// text holds only bytes 0x20..0x7f, and every byte comes back through both
// conversions (0x1d comes back as 0x1b: \e is written for 0x1d, read as 0x1b).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "escapes.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string bytes = text_to_bytes(input);
    if (bytes.size() > input.size()) std::abort(); // an escape never grows

    std::string text = bytes_to_text(input);
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x80) std::abort();
    std::string expected = input;
    for (char& c : expected)
        if (c == '\x1d') c = '\x1b';
    if (text_to_bytes(text) != expected) std::abort();

    std::string for_log = escape_control_bytes(input);
    for (char c : for_log)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) std::abort();
    return 0;
}

// Template merging, with the template and the tag set both from the input:
// the template runs up to the first NUL byte, the tag=value lines follow.
// Merging never fails, is repeatable, and leaves a template without "${"
// unchanged.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "database.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    quiet_log();
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t nul = input.find('\0');
    Format format("f", input.substr(0, nul));
    Barcode_db db;
    Barcode_tags tags;
    if (nul != std::string::npos) {
        std::istringstream lines("[]\n" + input.substr(nul + 1));
        db.load_barcodes(lines);
        db.barcodes().find("", tags);
    }
    std::string merged = format.merge_tag_values(tags);
    if (format.merge_tag_values(tags) != merged) std::abort();
    if (format.text().find("${") == std::string::npos && merged != format.text()) std::abort();
    return 0;
}

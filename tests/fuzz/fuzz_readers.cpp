// The barcodes and formats readers on arbitrary file content (NUL bytes,
// lone carriage returns, huge lines), at every log level, followed by a
// lookup of every barcode read: nothing may crash, and every key read must
// be found again, with its tags sorted and one value per tag.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "database.h"
#include "fuzz_util.h"
#include "misc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    quiet_log();
    if (size == 0) return 0;
    set_log_level(data[0] % 6);
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    // The same bytes serve as both files; a form feed splits them when present.
    std::size_t split = input.find('\f');
    Barcode_db db;
    std::istringstream barcodes(input.substr(0, split));
    std::istringstream formats(split == std::string::npos ? input : input.substr(split + 1));
    db.load_barcodes(barcodes);
    db.load_formats(formats);
    const Barcode_table& table = db.barcodes();
    for (std::size_t i = 0; i < table.size(); ++i) {
        const std::string barcode(table.barcode(i));
        Barcode_tags tags;
        if (barcode.find('\n') != std::string::npos || !table.find(barcode, tags)) std::abort();
        // One value per tag, the one find gives; no tag holds '=' or a line end.
        for (const auto& [tag, value] : tags.list()) {
            std::string_view found;
            if (tag.find_first_of("=\n") != std::string_view::npos || !tags.find(tag, found) || found != value ||
                value.find('\n') != std::string_view::npos)
                std::abort();
        }
        try {
            db.lookup(barcode);
        } catch (const std::string&) {
        }
    }
    for (const auto& f : db.formats())
        if (f.second.text().find('\n') != std::string::npos || f.second.name() != f.first) std::abort();
    set_log_level(3);
    return 0;
}

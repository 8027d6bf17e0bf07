// The barcodes and formats readers on arbitrary file content (NUL bytes,
// lone carriage returns, huge lines), at every log level, followed by a
// lookup of every barcode read: nothing may crash, every key read must be
// found again with one value per tag, and the table must hold what a plain
// line-by-line reading of the rules gives.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "database.h"
#include "database_lines.h"
#include "fuzz_util.h"
#include "log.h"

namespace {

using Tags = std::vector<std::pair<std::string_view, std::string_view>>;

// barcodes.ini as its rules read it, one line after another: each barcode's
// first section, in file order, with its tags' first values.
std::vector<std::pair<std::string_view, Tags>> plain_reading(std::string_view text)
{
    std::vector<std::pair<std::string_view, Tags>> sections;
    if (text.substr(0, 3) == "\xef\xbb\xbf") text.remove_prefix(3);
    Tags* current = nullptr;
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t lf = text.find('\n', start);
        if (lf == std::string_view::npos) lf = text.size();
        std::string_view l = text.substr(start, lf - start);
        start = lf + 1;
        if (l.size() > longest_line) {
            if (l[0] == '[') current = nullptr;
            continue;
        }
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        if (l.empty() || l[0] == '#') continue;
        if (l[0] == '[') {
            current = nullptr;
            if (!is_header(l)) continue;
            const std::string_view barcode = l.substr(1, l.size() - 2);
            bool seen = false;
            for (const auto& s : sections) seen = seen || s.first == barcode;
            if (!seen) current = &sections.emplace_back(barcode, Tags()).second;
        } else if (current != nullptr && l.find('=') != std::string_view::npos) {
            const std::string_view tag = l.substr(0, l.find('='));
            bool seen = false;
            for (const auto& t : *current) seen = seen || t.first == tag;
            if (!seen) current->emplace_back(tag, l.substr(l.find('=') + 1));
        }
    }
    return sections;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    quiet_log();
    if (size == 0) return 0;
    set_log_level(data[0] % 6);
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    // The same bytes serve as both files; a form feed splits them when present.
    std::size_t split = input.find('\f');
    Barcode_db db;
    const std::string barcodes_file = input.substr(0, split);
    std::istringstream barcodes(barcodes_file);
    std::istringstream formats(split == std::string::npos ? input : input.substr(split + 1));
    db.load_barcodes(barcodes);
    db.load_formats(formats);
    const Barcode_table& table = db.barcodes();
    const auto expected = plain_reading(barcodes_file);
    if (table.size() != expected.size()) std::abort();
    for (std::size_t i = 0; i < table.size(); ++i) {
        const std::string barcode(table.barcode(i));
        Barcode_tags tags;
        if (barcode.find('\n') != std::string::npos || !table.find(barcode, tags)) std::abort();
        if (barcode != expected[i].first || tags.list() != expected[i].second) std::abort();
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

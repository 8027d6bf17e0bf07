#include "database.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>

#include "escapes.h"
#include "log.h"
#include "log_messages.h"
#include "platform_files.h"

// ---- Reloading ----

namespace {

// Queries the file and tells whether it must be read again; when it must,
// stores the fresh attributes in `stored`. Without `identity`, the file is
// taken to be the one stored.
bool file_changed(const std::string& path, bool identity, File_attributes& stored)
{
    File_attributes fresh;
    bool changed;
    if (!file_attributes(path, fresh, identity)) {
        LOG_WRN(msg::could_not_stat(path));
        changed = true;
    } else {
        if (!identity) {
            fresh.device = stored.device;
            fresh.file_id = stored.file_id;
        }
        changed = !fresh.same_version(stored);
    }
    if (changed) {
        LOG_INF("Reloading " << path);
        stored = fresh;
    }
    return changed;
}

} // namespace

template <typename Table>
void Barcode_db::reload_if_changed(const std::string& path, bool identity, File_attributes& stored,
                                   File_reloads& reloads, Table& table,
                                   void (Barcode_db::*read)(std::istream&, std::uint64_t), const char* kind,
                                   const char* end)
{
    if (!file_changed(path, identity, stored)) return;
    const std::chrono::steady_clock::time_point began = std::chrono::steady_clock::now();
    ++reloads.count;
    table.clear();
    const File_attributes opened = stored;
    // Whatever goes wrong, the file is forgotten, so that the next load tries
    // again instead of taking the file as read and answering from nothing.
    auto fail = [&](const std::string& why) {
        reloads.last_took = std::chrono::steady_clock::now() - began;
        stored = File_attributes{};
        table = Table(); // gives the memory back
        if (!why.empty()) LOG_WRN(why);
        throw msg::file_not_found.text(kind, path, end);
    };
    if (!opened.found) fail("");
    // A named pipe or a device would block or never end.
    if (!opened.is_regular) fail(path + " is a " + opened.kind + ", not a regular file: not read.");
    std::ifstream in;
    if (!my_read_buffer) my_read_buffer.reset(new char[read_buffer_size]); // one file is read at a time
    // A file renamed into place between the look at it and its opening would
    // be cut short at the size looked at: a look after the reading tells, and
    // it is read again (three times at most; then the next load reads it).
    for (int tries = 0;; ++tries) {
        in.close();
        in.clear();
        in.rdbuf()->pubsetbuf(my_read_buffer.get(), static_cast<std::streamsize>(read_buffer_size));
        in.open(path, std::ios::in | std::ios::binary);
        if (!in.is_open()) fail(msg::could_not_open.text(errno_error(path).text));
        try {
            // Up to the size the file had when it was looked at: a file that
            // grows meanwhile has a new last-write time and is read again.
            (this->*read)(in, stored.size);
        } catch (const std::bad_alloc&) {
            fail(msg::could_not_read.text(path + ": out of memory. It is read again at the next request."));
        } catch (const std::length_error&) {
            fail(msg::could_not_read.text(path + ": larger than 4 GiB. It is read again at the next request."));
        }
        File_attributes after;
        if (!identity || tries == 3 || !file_attributes(path, after, true) || after.same_version(stored) ||
            !after.is_regular)
            break;
        stored = after;
        table.clear();
    }
    if (in.bad()) {
        LOG_WRN(msg::read_error(path));
        stored = File_attributes{};
    } else {
        reloads.last_read_whole = std::time(nullptr);
    }
    reloads.last_took = std::chrono::steady_clock::now() - began;
}

void Barcode_db::load(const std::string& from_dir, bool identity)
{
    static const std::string current_dir = ".";
    const std::string& dir = from_dir.empty() ? current_dir : from_dir;
    if (dir != my_db_dir) {
        my_db_dir = dir;
        my_barcodes_path = barcodes_path(my_db_dir);
        my_formats_path = formats_path(my_db_dir);
    }

    try {
        reload_if_changed(my_barcodes_path, identity, my_stat_barcodes_file, my_barcodes_reloads, my_known_barcodes,
                          &Barcode_db::load_barcodes, "barcodes file", ".");
    } catch (const std::string&) {
        my_label_rules.clear(); // they were the table's
        throw;
    }
    reload_if_changed(my_formats_path, identity, my_stat_formats_file, my_formats_reloads, my_known_formats,
                      &Barcode_db::load_formats, "format file", "");
}

// ---- Lookup ----

bool Barcode_db::holds(std::string_view code, Gs1_code& gs1) const
{
    Barcode_tags tags;
    std::string_view listed;
    Lookup_route route;
    return !code.empty() && find_entry(code, gs1, tags, listed, route);
}

namespace {

// The first form of `gtin14` that `table` holds, other than `code`.
bool find_form(const Barcode_table& table, std::string_view gtin14, std::string_view code, Barcode_tags& tags,
               std::string_view& listed)
{
    const Gtin_forms forms(gtin14);
    for (std::size_t i = 0; i < forms.size(); ++i) {
        if (forms[i] != code && table.find(forms[i], tags)) {
            listed = forms[i];
            return true;
        }
    }
    return false;
}

} // namespace

bool Barcode_db::find_entry(std::string_view code, Gs1_code& gs1, Barcode_tags& tags, std::string_view& listed,
                            Lookup_route& route) const
{
    listed = code;
    if (my_known_barcodes.find(code, tags)) return true;
    gs1.take(code);
    const std::string_view scanned = gs1.scanned();
    if (scanned.size() < code.size() && my_known_barcodes.find(scanned, tags)) {
        listed = scanned;
        return true;
    }
    // A label fits its rule whether its article is listed or not: its
    // digits say which article it is, and nothing else answers it.
    if (!my_label_rules.empty() && match_label(my_label_rules, scanned, route.label))
        return find_form(my_known_barcodes, route.label.gtin14(), std::string_view(), tags, listed);
    if (!find_form(my_known_barcodes, gs1.gtin(), code, tags, listed)) return false;
    route.gtin = gs1.gtin();
    return true;
}

void Barcode_db::lookup(std::string_view code, const Shown_barcode& shown, Gs1_code& gs1, Lookup_route& route,
                        std::string& text) const
{
    LOG_DMP("Looking up barcode \"" << shown << "\"");
    route = Lookup_route{};
    Barcode_tags tags;
    std::string_view listed;
    if (find_entry(code, gs1, tags, listed, route)) {
        if (listed.data() != code.data()) LOG_DMP("Barcode found as \"" << listed << "\"");
        if (!route.gtin.empty()) LOG_INF(msg::answered_as_gtin(shown, route.gtin));
        if (route.label.rule != nullptr) LOG_INF(msg::answered_as_label(shown, listed));
    } else {
        route.barcode = true;
        if (route.label.rule != nullptr) LOG_INF(msg::unlisted_label(shown, route.label.key()));
        LOG_WRN(msg::barcode_not_defined(shown));
        if (!my_known_barcodes.find(std::string_view(), tags)) throw msg::no_fallback_barcode.text(shown);
    }
    LOG_DMP("Barcode found");

    std::string_view format_name;
    if (!tags.find("format", format_name))
        LOG_WRN(msg::no_format_specified(shown));
    LOG_DMP("Using format \"" << format_name << "\"");

    bool named;
    const auto format = answering_format(my_known_formats, format_name, named);
    route.format = format_name.empty() || !named;
    if (format == my_known_formats.end()) throw msg::no_fallback_format.text(shown);
    if (named)
        LOG_DMP("Format \"" << format_name << "\" found");
    else
        LOG_WRN(msg::format_not_defined(shown));
    text.clear();
    // A label listed as it came (its value of zeros) still shows its value.
    if (route.label.rule == nullptr && !route.barcode && format->second.asks_label() && !my_label_rules.empty()) {
        Label_match label;
        match_label(my_label_rules, listed, label);
        format->second.merge_tag_values(tags, gs1, label, text);
        return;
    }
    format->second.merge_tag_values(tags, gs1, route.label, text);
}

Barcode_db::Format_table::const_iterator answering_format(const Barcode_db::Format_table& formats,
                                                          std::string_view name, bool& named)
{
    auto format = formats.find(name);
    named = format != formats.end();
    return named ? format : formats.find(std::string_view());
}

#include "database.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <new>

#include "misc.h"

Barcode_db the_barcode_db;

// ---- Tag_value ----

Tag_value::Tag_value(std::string tag, std::string value)
    : is_bad(false), my_tag(std::move(tag)), my_value(std::move(value))
{
}

Tag_value::Tag_value(const std::string& line) : is_bad(false)
{
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) {
        is_bad = true;
        return;
    }
    my_tag.assign(line, 0, eq);
    my_value.assign(line, eq + 1, std::string::npos);
}

// ---- Format ----

Format::Format(std::string format_name, std::string format)
    : my_format_name(std::move(format_name)), my_format(std::move(format))
{
}

std::size_t Format::find_first(const std::string& key, std::size_t from_pos) const
{
    std::size_t i = from_pos;
    while (i < my_format.size()) {
        if (my_format[i] == '\\')
            i += 2;
        else if (my_format.compare(i, key.size(), key) == 0)
            return i;
        else
            ++i;
    }
    return std::string::npos;
}

std::string Format::merge_tag_values(const Barcode_tags& tags) const
{
    std::string result;
    std::size_t i = 0;
    while (i < my_format.size()) {
        std::size_t open = find_first("${", i);
        if (open == std::string::npos) {
            result.append(my_format, i, std::string::npos);
            break;
        }
        result.append(my_format, i, open - i);
        std::size_t begin = open + 2;
        std::size_t end = find_first("}", begin);
        if (end == std::string::npos) {
            LOG_WRN("Format error: '${' not closed in format '" << my_format_name << "' at position "
                                                                << begin);
            result.append(my_format, open, std::string::npos);
            break;
        }
        std::string tag = "tag." + my_format.substr(begin, end - begin);
        auto found = tags.find(Tag_value(tag, ""));
        if (found == tags.end())
            LOG_WRN("Tag '" << tag << "' from format '" << my_format_name
                            << "' not found: using empty string.");
        else
            result += found->value();
        i = end + 1;
    }
    return result;
}

// ---- Reading the two files ----

namespace {

bool is_header(const std::string& l)
{
    return l.size() >= 2 && l.front() == '[' && l.back() == ']';
}

const std::size_t longest_line = std::size_t(1) << 20;

// Reads a database file line by line, as both files are read: a line ends at
// a line feed or at the end of the stream (so a final line feed yields one
// more, empty line), loses one carriage return at its end, and is counted
// from 1. A byte order mark at the very start is skipped. Comments and empty
// lines are skipped; every other line goes to handle(line, number). A line
// longer than longest_line is skipped with a WRN line, and goes to handle as
// an empty line when it begins with '[' (a section header that was lost).
// Reading ends after max_bytes, at the end of the stream or at a read error.
// With dump_every_line, level 5 logs each line as read.
template <typename Handle>
void for_each_line(std::istream& in, std::uint64_t max_bytes, bool dump_every_line, Handle handle)
{
    static char chunk[1 << 18];
    std::string l;
    unsigned long lnr = 1;
    bool too_long = false, too_long_header = false;
    auto end_line = [&] {
        if (too_long) {
            LOG_WRN("Line " << lnr << " is longer than " << longest_line << " bytes: skipped.");
            if (too_long_header) handle(std::string(), lnr);
        } else {
            if (lnr == 1 && l.compare(0, 3, "\xef\xbb\xbf") == 0) l.erase(0, 3); // a byte order mark
            if (!l.empty() && l.back() == '\r') l.pop_back();
            if (dump_every_line) LOG_DMP("line=\"" << l << "\"");
            if (l.empty() || l[0] == '#')
                LOG_DMP("Skipping comment or empty line #" << lnr << ": " << l);
            else
                handle(l, lnr);
        }
        l.clear();
        too_long = too_long_header = false;
        ++lnr;
    };
    // Appends a piece of the current line, or notes that it is too long.
    auto append = [&](const char* from, std::size_t n) {
        if (!too_long && l.size() + n > longest_line) {
            too_long = true;
            too_long_header = (l.empty() ? (n > 0 && *from == '[') : l[0] == '[');
            std::string().swap(l);
        }
        if (!too_long) l.append(from, n);
    };

    // Takes what the stream has buffered, piece by piece: a read error (the
    // stream's buffer throws) then loses no line that was read before it.
    std::streambuf* buffer = in.rdbuf();
    std::uint64_t read = 0;
    while (read < max_bytes) {
        std::size_t n = 0;
        try {
            if (buffer == nullptr || buffer->sgetc() == std::char_traits<char>::eof()) break;
            // sgetc filled the buffer: take no more than it holds.
            const std::uint64_t buffered = static_cast<std::uint64_t>(std::max<std::streamsize>(buffer->in_avail(), 1));
            const std::uint64_t wanted = std::min<std::uint64_t>({sizeof chunk, max_bytes - read, buffered});
            n = static_cast<std::size_t>(buffer->sgetn(chunk, static_cast<std::streamsize>(wanted)));
        } catch (...) {
            in.setstate(std::ios::badbit);
            return; // the line cut by the error is not used
        }
        if (n == 0) break;
        const char* p = chunk;
        const char* end = chunk + n;
        read += n;
        while (const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)))) {
            append(p, static_cast<std::size_t>(lf - p));
            end_line();
            p = lf + 1;
        }
        append(p, static_cast<std::size_t>(end - p));
    }
    end_line();
}

} // namespace

void Barcode_db::load_barcodes(std::istream& bf, std::uint64_t max_bytes)
{
    Barcode_tags* current = nullptr; // the accepted section that tag lines go to
    for_each_line(bf, max_bytes, true, [&](const std::string& l, unsigned long lnr) {
        if (l.empty()) { // a header too long to read
            current = nullptr;
        } else if (l[0] == '[') {
            if (is_header(l)) {
                std::string barcode = l.substr(1, l.size() - 2);
                LOG_DBG("Reading barcode definition: \"" << barcode << "\"");
                // Files are usually sorted by barcode: the hint makes such
                // files cost one comparison per barcode.
                std::size_t before = my_known_barcodes.size();
                auto entry = my_known_barcodes.try_emplace(my_known_barcodes.end(), std::move(barcode));
                current = my_known_barcodes.size() != before ? &entry->second : nullptr;
            } else {
                LOG_WRN("Line " << lnr << " \"" << l
                                << "\" begins with '[' but does not end with ']': line is skipped!");
                current = nullptr;
            }
        } else if (current == nullptr) {
            LOG_WRN("Tag-value at line #" << lnr << " \"" << l << "\" outsite barcode definition: ignored");
        } else {
            LOG_DBG("Tag_value line #" << lnr << ": \"" << l << "\"");
            Tag_value tv(l);
            if (tv.fail())
                LOG_WRN("Incorrect tag-value \"" << l << "\" at line " << lnr << " (skipped).");
            else
                current->insert(std::move(tv));
        }
    });
    LOG_DBG("Ready reading barcode definitions");
}

void Barcode_db::load_formats(std::istream& ff, std::uint64_t max_bytes)
{
    const Format* current = nullptr; // the accepted format that lines go to
    for_each_line(ff, max_bytes, false, [&](const std::string& l, unsigned long lnr) {
        if (l.empty()) { // a header too long to read
            current = nullptr;
        } else if (l[0] == '[') {
            if (is_header(l)) {
                std::string name = l.substr(1, l.size() - 2);
                LOG_DBG("Reading format: \"" << name << "\"");
                auto inserted = my_known_formats.insert(Format(std::move(name), ""));
                current = inserted.second ? &*inserted.first : nullptr;
            } else {
                LOG_WRN("Format line \"" << l << "\" at " << lnr << " begins with '[' but does not end with ']'");
                LOG_WRN("line " << lnr << " and next lines are skipped until a valid format definitions is recognized.");
                LOG_INF("Recommend using '\\[' when using a '[' in the formatting.");
                current = nullptr;
            }
        } else if (current == nullptr) {
            LOG_WRN("Unrecognized formats \"" << l << "\" at line " << lnr);
        } else {
            LOG_DBG(l);
            current->add_formatting(l);
        }
    });
    LOG_DBG("Ready reading formats");
}

// ---- Reloading ----

namespace {

// Queries the file and tells whether it must be read again; when it must,
// stores the fresh attributes in `stored`.
bool file_changed(const std::string& path, File_attributes& stored)
{
    File_attributes fresh;
    bool changed;
    if (!file_attributes(path, fresh)) {
        LOG_WRN("Could not stat " << path << ": force reloading.");
        changed = true;
    } else {
        changed = !fresh.same_write_time(stored);
    }
    if (changed) {
        LOG_INF("Reloading " << path);
        stored = fresh;
    }
    return changed;
}

} // namespace

template <typename Table>
void Barcode_db::reload_if_changed(const std::string& path, File_attributes& stored, Table& table,
                                   void (Barcode_db::*read)(std::istream&, std::uint64_t), const char* kind,
                                   const char* end)
{
    if (!file_changed(path, stored)) return;
    table.clear();
    const File_attributes opened = stored;
    // Whatever goes wrong, the file is forgotten, so that the next load tries
    // again instead of taking the file as read and answering from nothing.
    auto fail = [&](const std::string& why) {
        stored = File_attributes{};
        Table().swap(table);
        if (!why.empty()) LOG_WRN(why);
        throw std::string("ERROR: ") + kind + " \"" + path + "\" not found" + end;
    };
    if (!opened.found) fail("");
    // A named pipe or a device would block or never end.
    if (!opened.is_regular) fail(path + " is a " + opened.kind + ", not a regular file: not read.");
    std::ifstream in;
    // Read in large pieces: a million-barcode file loads a third faster than
    // with the stream's default buffer. One file is read at a time, so one
    // buffer serves both.
    static char buffer[1 << 20];
    in.rdbuf()->pubsetbuf(buffer, sizeof buffer);
    in.open(path, std::ios::in | std::ios::binary);
    if (!in.is_open()) fail("Could not open " + path + ": " + std::strerror(errno));
    try {
        // Up to the size the file had when it was looked at: a file that
        // grows meanwhile has a new last-write time and is read again.
        (this->*read)(in, opened.size);
    } catch (const std::bad_alloc&) {
        fail("Could not read " + path + ": out of memory. It is read again at the next request.");
    }
    if (in.bad()) {
        LOG_WRN("Read error in " << path << ": it is read again at the next request.");
        stored = File_attributes{};
    }
}

void Barcode_db::load(const std::string& from_dir)
{
    static const std::string current_dir = ".";
    const std::string& dir = from_dir.empty() ? current_dir : from_dir;
    if (dir != my_db_dir) {
        my_db_dir = dir;
        my_barcodes_path = my_db_dir + "/barcodes.ini";
        my_formats_path = my_db_dir + "/formats.ini";
    }

    reload_if_changed(my_barcodes_path, my_stat_barcodes_file, my_known_barcodes, &Barcode_db::load_barcodes,
                      "barcodes file", ".");
    reload_if_changed(my_formats_path, my_stat_formats_file, my_known_formats, &Barcode_db::load_formats,
                      "format file", "");
}

// ---- Lookup ----

std::string Barcode_db::lookup(const std::string& code) const
{
    LOG_DMP("Looking up barcode \"" << escape_control_bytes(code) << "\"");
    auto entry = my_known_barcodes.find(code);
    if (entry == my_known_barcodes.end()) {
        LOG_WRN("Barcode \"" << escape_control_bytes(code) << "\" not defined in database.");
        entry = my_known_barcodes.find(std::string());
        if (entry == my_known_barcodes.end())
            throw "Unknown barcode " + escape_control_bytes(code) + " and no backup barcode [] available";
    }
    LOG_DMP("Barcode found");

    const Barcode_tags& tags = entry->second;
    std::string format_name;
    auto format_tag = tags.find(Tag_value("format", ""));
    if (format_tag == tags.end())
        LOG_WRN("No format specified for barcode '" << escape_control_bytes(code) << "'");
    else
        format_name = format_tag->value();
    LOG_DMP("Using format \"" << format_name << "\"");

    auto format = my_known_formats.find(Format(format_name, ""));
    if (format != my_known_formats.end()) {
        LOG_DMP("Format \"" << format_name << "\" found");
    } else {
        format = my_known_formats.find(Format("", ""));
        if (format == my_known_formats.end())
            throw "Unknown format for barcode " + escape_control_bytes(code) +
                " and no backup format [] available";
        LOG_WRN("Unknown format for barcode '" << escape_control_bytes(code) << "': using default.");
    }
    return format->merge_tag_values(tags);
}

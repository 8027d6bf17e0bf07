#include "database.h"

#include <fstream>

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

// Reads a database file line by line, as both files are read: a line ends at
// a line feed or at the end of the stream (so a final line feed yields one
// more, empty line), loses one carriage return at its end, and is counted
// from 1. Comments and empty lines are skipped; every other line goes to
// handle(line, number). Reading ends at the end of the stream or at a read
// error. With dump_every_line, level 5 logs each line as read.
template <typename Handle>
void for_each_line(std::istream& in, bool dump_every_line, Handle handle)
{
    std::string l;
    unsigned long lnr = 0;
    while (in.good()) {
        ++lnr;
        std::getline(in, l);
        if (in.bad()) break;
        if (!l.empty() && l.back() == '\r') l.pop_back();
        if (dump_every_line) LOG_DMP("line=\"" << l << "\"");
        if (l.empty() || l[0] == '#') {
            LOG_DMP("Skipping comment or empty line #" << lnr << ": " << l);
            continue;
        }
        handle(l, lnr);
    }
}

} // namespace

void Barcode_db::load_barcodes(std::istream& bf)
{
    Barcode_tags* current = nullptr; // the accepted section that tag lines go to
    for_each_line(bf, true, [&](const std::string& l, unsigned long lnr) {
        if (l[0] == '[') {
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

void Barcode_db::load_formats(std::istream& ff)
{
    const Format* current = nullptr; // the accepted format that lines go to
    for_each_line(ff, false, [&](const std::string& l, unsigned long lnr) {
        if (l[0] == '[') {
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
                                   void (Barcode_db::*read)(std::istream&), const char* kind, const char* end)
{
    if (!file_changed(path, stored)) return;
    table.clear();
    std::ifstream in;
    // Read in large pieces: a million-barcode file loads a third faster than
    // with the stream's default buffer. One file is read at a time, so one
    // buffer serves both.
    static char buffer[1 << 20];
    in.rdbuf()->pubsetbuf(buffer, sizeof buffer);
    // A directory opens on some systems but never reads; it is no database file.
    if (!stored.is_directory) in.open(path, std::ios::in | std::ios::binary);
    if (!in.is_open()) {
        // Forget the file, so that the next load tries again instead of
        // taking the unreadable file as read and answering from nothing.
        stored = File_attributes{};
        throw std::string("ERROR: ") + kind + " \"" + path + "\" not found" + end;
    }
    (this->*read)(in);
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

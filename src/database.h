// The barcode database: two ini-style text files read into memory.
//
//   barcodes.ini   [barcode] headers, each followed by tag=value lines;
//                  "[]" is the fallback barcode for unknown barcodes.
//   formats.ini    [name] headers, each followed by the lines of a template
//                  with ${name} placeholders (reading the tag "tag.name") and
//                  escapes; "[]" is the fallback format.
//
// Barcode_db::load re-reads a file only when its last-write time changed, so
// it can be called before every lookup. load and lookup report a failure
// that leaves no result by throwing the message text as a std::string; bad
// lines and template faults are logged (WRN) and skipped, never thrown.
// Single-threaded: no lookup may run while a load is under way.
#ifndef ULVANE_DATABASE_H
#define ULVANE_DATABASE_H

#include <cstdint>
#include <iosfwd>
#include <istream>
#include <map>
#include <set>
#include <string>

#include "platform.h"

// One tag and its value, parsed from a tag=value line. Ordered and compared
// by tag alone, so a set holds one value per tag and is searched with a
// probe Tag_value(tag, "").
class Tag_value {
public:
    Tag_value(std::string tag, std::string value);
    // Splits `line` at its first '='; nothing is trimmed. Without '=' the
    // value is bad (fail() is true) with an empty tag and value.
    explicit Tag_value(const std::string& line);

    bool fail() const { return is_bad; }
    const std::string& tag() const { return my_tag; }
    const std::string& value() const { return my_value; }
    bool operator<(const Tag_value& other) const { return my_tag < other.my_tag; }

private:
    bool is_bad;
    std::string my_tag;
    std::string my_value;
};

// The tags of one barcode; inserting a tag that is there already changes
// nothing, so the first value wins.
using Barcode_tags = std::set<Tag_value>;

// A named template. Ordered by name alone, so the text can grow through
// add_formatting while the format sits in an ordered set.
class Format {
public:
    Format(std::string format_name, std::string format);

    // Appends `fmt` to the template text, with nothing in between.
    void add_formatting(const std::string& fmt) const { my_format += fmt; }

    // The template with every ${name} replaced by the value of the tag
    // "tag." + name. A backslash and the character after it are passed over
    // as a pair. Logs WRN for a missing tag (it becomes empty) and for an
    // unclosed "${" (the rest is copied unchanged). Never throws.
    std::string merge_tag_values(const Barcode_tags& tags) const;

    bool operator<(const Format& other) const { return my_format_name < other.my_format_name; }
    const std::string& name() const { return my_format_name; }
    const std::string& text() const { return my_format; }

private:
    // The first position at or after from_pos where `key` stands, passing
    // over escape pairs; std::string::npos when there is none.
    std::size_t find_first(const std::string& key, std::size_t from_pos) const;

    std::string my_format_name;
    mutable std::string my_format;
};

class Barcode_db {
public:
    using Barcode_table = std::map<std::string, Barcode_tags>;
    using Format_table = std::set<Format>;

    Barcode_db() = default;
    Barcode_db(const Barcode_db&) = delete;
    Barcode_db& operator=(const Barcode_db&) = delete;

    // Brings both tables up to date with from_dir/barcodes.ini and then
    // from_dir/formats.ini ("." for an empty from_dir). A file is read again
    // when its last-write time differs from that of its last reading, when
    // it cannot be examined, and after it could not be opened or read.
    // Throws "ERROR: barcodes file \"<path>\" not found." or
    // "ERROR: format file \"<path>\" not found" when a file to be read
    // cannot be examined, is not a regular file (a directory, a named pipe,
    // a device), cannot be opened or does not fit into memory; its table is
    // then empty, and the file is read again at the next load. A file is read
    // up to the size it had when it was examined. Logs WRN "Could not stat
    // <path>: force reloading.", INF "Reloading <path>", a WRN line with the
    // reason of each failure above but the first, and what the readers log.
    void load(const std::string& from_dir);

    // The answer text (still in escape notation) for a barcode: its entry or
    // the fallback barcode, merged into the format its tag "format" names or
    // the fallback format. Throws "Unknown barcode <code> and no backup
    // barcode [] available" or "Unknown format for barcode <code> and no
    // backup format [] available". Logs WRN when a fallback is used or the
    // barcode names no format, DMP lines at level 5. The barcode appears in
    // messages with its control bytes escaped.
    std::string lookup(const std::string& code) const;

    // The two readers; each reads its stream to the end, to a read error or
    // up to max_bytes, and adds what it finds to its table. A byte order mark
    // at the start is skipped. Bad lines, and lines longer than 1 MiB, are
    // logged (WRN) and skipped; nothing is thrown but std::bad_alloc.
    void load_barcodes(std::istream& bf, std::uint64_t max_bytes = UINT64_MAX);
    void load_formats(std::istream& ff, std::uint64_t max_bytes = UINT64_MAX);

    const Barcode_table& barcodes() const { return my_known_barcodes; }
    const Format_table& formats() const { return my_known_formats; }

private:
    // Reads one of the two files again when load must (see there): empties
    // `table` and fills it with `read`; throws "ERROR: <kind> \"<path>\" not
    // found<end>" when the file cannot be opened.
    template <typename Table>
    void reload_if_changed(const std::string& path, File_attributes& stored, Table& table,
                           void (Barcode_db::*read)(std::istream&, std::uint64_t), const char* kind,
                           const char* end);

    Barcode_table my_known_barcodes;
    Format_table my_known_formats;
    File_attributes my_stat_barcodes_file;
    File_attributes my_stat_formats_file;
    std::string my_db_dir;
    // my_db_dir + "/barcodes.ini" and + "/formats.ini", made when my_db_dir
    // changes rather than on every request.
    std::string my_barcodes_path;
    std::string my_formats_path;
};

// The program's one database.
extern Barcode_db the_barcode_db;

#endif

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

#include <chrono>
#include <cstdint>
#include <istream>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "misc.h"
#include "platform.h"

// The two files of a database directory.
inline const char* const database_files[] = {"barcodes.ini", "formats.ini"};

// The readers skip a line longer than this, with a warning.
constexpr std::size_t longest_line = std::size_t(1) << 20;

// Whether a line (without its line end) is a section header: "[name]".
inline bool is_header(std::string_view line)
{
    return line.size() >= 2 && line.front() == '[' && line.back() == ']';
}

// Where `line` splits into tag and value: the position of its first '=';
// std::string::npos for a line without one (a bad tag=value line).
inline std::size_t tag_value_split(std::string_view line)
{
    return line.find('=');
}

// One tag and its value, parsed from a tag=value line. Ordered and compared
// by tag alone.
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

// The tags of one barcode: a view of its section's tag lines in the barcode
// table's text, in the order of the file, valid until the table is read
// again; the default one has no tags. A tag's value is that of its first
// line, as the reader of barcodes.ini wants it.
class Barcode_tags {
public:
    Barcode_tags() = default;
    // `lines`: where each tag line begins in `text`, which ends at `text_end`.
    Barcode_tags(const char* text, const char* text_end, const std::uint32_t* lines, std::size_t count)
        : my_text(text), my_text_end(text_end), my_lines(lines), my_count(count)
    {
    }

    bool empty() const { return my_count == 0; }
    // True, with `value` set, when the barcode has `tag`.
    bool find(std::string_view tag, std::string_view& value) const;
    // Each tag once with its value, in the order of the file.
    std::vector<std::pair<std::string_view, std::string_view>> list() const;

private:
    // The i-th tag line, without its line end.
    std::string_view line(std::size_t i) const;

    const char* my_text = nullptr;
    const char* my_text_end = nullptr;
    const std::uint32_t* my_lines = nullptr;
    std::size_t my_count = 0;
};

// The barcode table, built for lookups: the text of barcodes.ini kept whole,
// each accepted section's barcode and tag lines found in it by position (a
// tag line by where it begins: 4 bytes, the tag and value found in the text
// when asked for), the tag lines of all barcodes in one flat array, and a
// hash index on the barcodes' exact bytes. Texts are limited to 4 GiB.
class Barcode_table {
public:
    std::size_t size() const { return my_entries.size(); }
    bool empty() const { return my_entries.empty(); }
    // True, with `tags` set, when `barcode` is in the table.
    bool find(std::string_view barcode, Barcode_tags& tags) const;
    // The i-th barcode in the order of the file, and its tags.
    std::string_view barcode(std::size_t i) const;
    Barcode_tags tags(std::size_t i) const;

    // Empties the table and gives its memory back.
    void clear();

    // Building, as the reader does it. The text read so far; the reader
    // appends to it and gives positions in it.
    std::string& text() { return my_text; }
    const std::string& text() const { return my_text; }
    // Room for so many more barcodes and tag lines.
    void reserve(std::size_t barcodes, std::size_t tags);
    // Starts a section for the barcode of `size` bytes at `begin` in the
    // text, which the tag lines that follow go to.
    void begin_section(std::uint32_t begin, std::uint32_t size);
    // Adds a tag line (where it begins in the text) to the current section.
    void add_tag(std::uint32_t line) { my_tags.push_back(line); }
    // Ends the current section: the tag lines that follow go nowhere.
    void end_section() { my_section_open = false; }
    bool section_open() const { return my_section_open; }
    // Puts the sections from the `first` on into the index (find sees none
    // of them before), all at once: several times faster in a large table
    // than one by one. A repeated section is dropped with its tag lines (the
    // first one of a barcode holds); returns how many were.
    std::size_t index_sections(std::size_t first);

private:
    struct Entry {
        std::uint32_t key;
        std::uint32_t key_end;
        std::uint32_t first_tag; // its tag lines run up to the next entry's first
    };
    struct Slot {
        std::uint32_t entry; // entry number + 1; 0: the slot is free
        std::uint32_t check; // the high half of the barcode's hash
    };
    // Removes the entries `dropped` (in order) and their tag lines.
    void drop_sections(const std::vector<std::size_t>& dropped);
    // Makes the index big enough for so many barcodes in all.
    void index_room(std::size_t barcodes);
    // The index slot that holds `barcode`, or the free one where it belongs.
    std::size_t slot_of(std::string_view barcode, std::uint64_t hash) const;

    std::string my_text;
    std::vector<Entry> my_entries;
    std::vector<std::uint32_t> my_tags; // where each tag line begins
    std::vector<Slot> my_index; // open addressing, linear probing
    bool my_section_open = false; // whether tag lines go to the last entry
};

// A named template.
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

    // The names in the template's ${name} placeholders, in order, as
    // merge_tag_values finds them; `unclosed_at` is where a "${" that is
    // never closed begins (npos when none is). Logs nothing.
    std::vector<std::string> placeholders(std::size_t& unclosed_at) const;

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

// Which fallbacks a lookup took: the barcode [] for a barcode the table
// lacks (set also when there is none and the lookup fails), the format []
// for a barcode without a format or with one that formats.ini lacks.
struct Fallbacks {
    bool barcode = false;
    bool format = false;
};

// How often a file was read, and how long its last reading took.
struct File_reloads {
    unsigned long count = 0;
    std::chrono::steady_clock::duration last_took{};
};

class Barcode_db {
public:
    using Format_table = std::unordered_map<std::string, Format>;

    Barcode_db() = default;
    Barcode_db(const Barcode_db&) = delete;
    Barcode_db& operator=(const Barcode_db&) = delete;

    // Brings both tables up to date with from_dir/barcodes.ini and then
    // from_dir/formats.ini ("." for an empty from_dir). A file is read again
    // when its last-write time, its size or its identity (a new file renamed
    // over it) differ from those of its last reading, when it cannot be
    // examined, and after it could not be opened or read.
    // Throws "ERROR: barcodes file \"<path>\" not found." or
    // "ERROR: format file \"<path>\" not found" when a file to be read
    // cannot be examined, is not a regular file (a directory, a named pipe,
    // a device), cannot be opened or does not fit into memory; its table is
    // then empty, and the file is read again at the next load. A file is read
    // up to the size it had when it was examined. Logs WRN "Could not stat
    // <path>: force reloading.", INF "Reloading <path>", a WRN line with the
    // reason of each failure above but the first, and what the readers log.
    // Without `identity` (the caller knows that no file was renamed into
    // place since the last load), a file's identity is taken as it was.
    void load(const std::string& from_dir, bool identity = true);

    // The answer text (still in escape notation) for a barcode: its entry or
    // the fallback barcode, merged into the format its tag "format" names or
    // the fallback format. Throws "Unknown barcode <code> and no backup
    // barcode [] available" or "Unknown format for barcode <code> and no
    // backup format [] available". Logs WRN when a fallback is used or the
    // barcode names no format, DMP lines at level 5. The barcode appears in
    // messages as `shown` (a received barcode as the request's lines show
    // it); the first form shows `code` so. `used` tells the fallbacks taken.
    std::string lookup(const std::string& code) const
    {
        Fallbacks used;
        return lookup(code, Shown_barcode(code), used);
    }
    std::string lookup(std::string_view code, const Shown_barcode& shown, Fallbacks& used) const;

    // Whether `code` has an entry of its own (the fallback [] is none).
    bool holds(std::string_view code) const;

    // The two readers; each reads its stream to the end, to a read error or
    // up to max_bytes, and adds what it finds to its table. A byte order mark
    // at the start is skipped. Bad lines, and lines longer than 1 MiB, are
    // logged (WRN) and skipped; nothing is thrown but std::bad_alloc.
    void load_barcodes(std::istream& bf, std::uint64_t max_bytes = UINT64_MAX);
    void load_formats(std::istream& ff, std::uint64_t max_bytes = UINT64_MAX);

    const Barcode_table& barcodes() const { return my_known_barcodes; }
    const Format_table& formats() const { return my_known_formats; }
    // Whether the last load found both files and read them whole, so that
    // without a change to them since, a load would read nothing.
    bool read_whole() const { return my_stat_barcodes_file.found && my_stat_formats_file.found; }
    // Counted by load, the failed readings too.
    const File_reloads& barcodes_reloads() const { return my_barcodes_reloads; }
    const File_reloads& formats_reloads() const { return my_formats_reloads; }

private:
    // Reads one of the two files again when load must (see there): empties
    // `table` and fills it with `read`; throws "ERROR: <kind> \"<path>\" not
    // found<end>" when the file cannot be opened.
    template <typename Table>
    void reload_if_changed(const std::string& path, bool identity, File_attributes& stored, File_reloads& reloads,
                           Table& table, void (Barcode_db::*read)(std::istream&, std::uint64_t), const char* kind,
                           const char* end);

    Barcode_table my_known_barcodes;
    Format_table my_known_formats;
    File_attributes my_stat_barcodes_file;
    File_attributes my_stat_formats_file;
    File_reloads my_barcodes_reloads;
    File_reloads my_formats_reloads;
    std::string my_db_dir;
    // my_db_dir + "/barcodes.ini" and + "/formats.ini", made when my_db_dir
    // changes rather than on every request.
    std::string my_barcodes_path;
    std::string my_formats_path;
};

// Reads barcodes.ini from `in` piece by piece with load_barcodes, so that
// a file of any size needs the memory of one piece (a few MiB): visit gets
// each piece's table in file order. A piece ends before a line that begins
// with '[', where the reader ends a section anyway, so every section is
// read whole; a barcode repeated in a later piece is in that piece's table
// too (the server uses the first). Line numbers in the reader's log lines
// count from the piece's start. False when reading ended at a read error.
bool read_barcodes_in_pieces(std::istream& in, const std::function<void(const Barcode_table&)>& visit);

// The program's one database.
extern Barcode_db the_barcode_db;

#endif

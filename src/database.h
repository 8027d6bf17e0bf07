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
#include <ctime>
#include <cstdint>
#include <istream>
#include <functional>
#include <string>
#include <string_view>
#include <map>
#include <memory>
#include <vector>

#include "barcode_table.h"
#include "escapes.h"
#include "formats.h"
#include "gs1.h"
#include "platform_files.h"
#include "scale_labels.h"

// The two files of a database directory, and their paths in `dir`.
inline const char* const database_files[] = {"barcodes.ini", "formats.ini"};
inline std::string barcodes_path(const std::string& dir) { return dir + "/" + database_files[0]; }
inline std::string formats_path(const std::string& dir) { return dir + "/" + database_files[1]; }

// How a lookup found its answer: by a form of the code's GTIN (its 14
// digits; empty when by the code's own bytes or by the fallback), by a
// scale label's rule (`label.rule` set: the code fits it, and its article is
// listed under the label's key unless `barcode` is set too), or by the
// fallbacks: the barcode [] for a barcode the table lacks (set also when
// there is none and the lookup fails), the format [] for a barcode without
// a format or with one that formats.ini lacks.
struct Lookup_route {
    std::string_view gtin;
    Label_match label;
    bool barcode = false;
    bool format = false;
};

// How often a file was read, and how long its last reading took.
struct File_reloads {
    unsigned long count = 0;
    std::chrono::steady_clock::duration last_took{};
    std::time_t last_read_whole = 0; // when a reading last succeeded; 0 before
};

class Barcode_db {
public:
    // By name; found by a view of the name, which a request's lookup
    // then never copies, however long it is.
    using Format_table = std::map<std::string, Format, std::less<>>;

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

    // The answer text (still in escape notation) for a barcode: the entry
    // find_entry finds, else the fallback barcode, merged into the format its tag "format" names or
    // the fallback format. Throws "Unknown barcode <code> and no backup
    // barcode [] available" or "Unknown format for barcode <code> and no
    // backup format [] available". Logs WRN when a fallback is used or the
    // barcode names no format, DMP lines at level 5. The barcode appears in
    // messages as `shown` (a received barcode as the request's lines show
    // it); the first form shows `code` so. `route` tells how the answer was
    // found. An answer by a GTIN is logged (INF) "Barcode "<shown>"
    // answered as GTIN <14 digits>". The second form reads the code's GS1
    // data into `gs1`, when it needs it, and puts the text into `text`:
    // both are kept by a server from one request to the next, their memory
    // with them.
    std::string lookup(const std::string& code) const
    {
        Lookup_route route;
        std::string text;
        Gs1_code gs1;
        lookup(code, Shown_barcode(code), gs1, route, text);
        return text;
    }
    void lookup(std::string_view code, const Shown_barcode& shown, Gs1_code& gs1, Lookup_route& route,
                std::string& text) const;

    // The entry that answers `code`, tried in this order: the code's own
    // bytes; the code without a scanner's AIM identifier (see
    // Gs1_code::scanned); a scale label's key (the first rule in the
    // fallback section that the code fits: see scale_labels.h); the first
    // form of the code's GTIN that the table holds (Gtin_forms's order),
    // when it has one (a GTIN, a UPC-E, a code with an add-on, GS1 data with
    // AI 01). False when none: the fallback [] answers. `listed` is the
    // barcode found; `gs1` takes the code when the first try fails; `route`
    // tells gtin and label.
    bool find_entry(std::string_view code, Gs1_code& gs1, Barcode_tags& tags, std::string_view& listed,
                    Lookup_route& route) const;

    // Whether `code` has an entry that find_entry finds (the fallback []
    // is none); `gs1` is scratch.
    bool holds(std::string_view code, Gs1_code& gs1) const;
    // The rules of scale labels, read from the fallback section with the table.
    const std::vector<Label_rule>& label_rules() const { return my_label_rules; }

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

    // Reads the rules of scale labels from the fallback section; a bad one
    // is logged (WRN) and skipped.
    void read_label_rules();

    Barcode_table my_known_barcodes;
    std::vector<Label_rule> my_label_rules;
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
    // The files are read in large pieces, through this buffer (made at the
    // first reading, and not cleared: a small file touches a page or two of
    // it): a million-barcode file loads a third faster than with a stream's
    // own buffer.
    static constexpr std::size_t read_buffer_size = std::size_t(1) << 20;
    std::unique_ptr<char[]> my_read_buffer;
};

// The format that answers a barcode whose format= line names `name` (empty
// without one): that format, else the fallback format []; the table's end
// when neither is there. `named`: whether it is the one named.
Barcode_db::Format_table::const_iterator answering_format(const Barcode_db::Format_table& formats,
                                                          std::string_view name, bool& named);

// Reads barcodes.ini from `in` piece by piece with load_barcodes, so that
// a file of any size needs the memory of one piece (a few MiB): visit gets
// each piece's table in file order. A piece ends before a line that begins
// with '[', where the reader ends a section anyway, so every section is
// read whole; a barcode repeated in a later piece is in that piece's table
// too (the server uses the first). Line numbers in the reader's log lines
// count from the piece's start. False when reading ended at a read error.
bool read_barcodes_in_pieces(std::istream& in, const std::function<void(const Barcode_table&)>& visit);

#endif

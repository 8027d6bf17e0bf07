// ulvane_import: barcodes.ini from a spreadsheet's or a shop system's CSV.
//
//   ulvane_import FILE.csv [-db=DIR] [-barcode=COLUMN] [-format=NAME] [-dry-run] [-force]
//
// Reads the CSV as spreadsheets write it (comma, semicolon or tab, found
// from the header; a byte order mark, CR LF or LF, quoted cells) and
// replaces DIR/barcodes.ini with one section per row. The column `barcode`
// (or the one -barcode= names, in any case) holds the barcode, `[]` the
// fallback barcode; `format` (optional) the format's name, -format= the
// one for rows without; every other column is a tag (`price` becomes
// `tag.price`). A line break in a cell becomes the escape \n.
//
// Nothing is written, and the exit status is 1, when any row is wrong (each
// said as FILE:LINE: why), when the new file has a finding that
// ulvane_check calls an error (checked against DIR/formats.ini), or when it
// would remove more than a tenth of the barcodes the file has now (unless
// -force). Every run ends with a summary of the barcodes written, added,
// removed, changed and unchanged; -dry-run only says it. The new file
// replaces the old one whole (see File_replacement). A CSV without the
// fallback row keeps the fallback barcode the file has. Exit status 2 for
// wrong usage.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "csv.h"
#include "database.h"
#include "database_check.h"
#include "log.h"
#include "platform.h"

namespace {

struct Options {
    std::string csv_path;
    std::string db_dir = ".";
    std::string barcode_column = "barcode";
    std::string default_format;
    bool dry_run = false;
    bool force = false;
};

std::uint64_t mix(std::uint64_t h, std::string_view text)
{
    return (h ^ std::hash<std::string_view>()(text)) * 0x9e3779b97f4a7c15ULL + text.size();
}

// One value for the tags of a section (sorted by tag): equal for equal
// contents, whatever the order of the lines. A tag with an empty value
// counts as none, as it does in an answer.
std::uint64_t content_hash(const Barcode_tags& tags)
{
    auto list = tags.list();
    std::sort(list.begin(), list.end());
    std::uint64_t h = 0;
    for (const auto& t : list)
        if (!t.second.empty()) h = mix(mix(h, t.first), t.second);
    return h;
}

std::uint64_t barcode_hash(std::string_view barcode)
{
    return mix(1, barcode);
}

// A barcode's place in the old file or the new one.
struct Barcode_version {
    std::uint64_t barcode;
    std::uint64_t content;
    bool operator<(const Barcode_version& other) const { return barcode < other.barcode; }
};

// What the file has now: each barcode once (the first section, as the
// server reads it), and the fallback section's lines.
struct Old_file {
    std::vector<Barcode_version> barcodes;
    bool has_fallback = false;
    std::string fallback_section;
};

Old_file read_old_file(const std::string& path)
{
    Old_file old;
    std::ifstream in(path, std::ios::binary);
    if (!in) return old;
    read_barcodes_in_pieces(in, [&](const Barcode_table& table) {
        for (std::size_t i = 0; i < table.size(); ++i) {
            const Barcode_tags tags = table.tags(i);
            old.barcodes.push_back({barcode_hash(table.barcode(i)), content_hash(tags)});
            if (!table.barcode(i).empty() || old.has_fallback) continue;
            old.has_fallback = true;
            old.fallback_section = "[]\n";
            for (const auto& t : tags.list()) old.fallback_section.append(t.first).append("=").append(t.second).append("\n");
        }
    });
    old.barcodes.shrink_to_fit();
    // The first section of a barcode is the one the server uses.
    std::stable_sort(old.barcodes.begin(), old.barcodes.end());
    old.barcodes.erase(std::unique(old.barcodes.begin(), old.barcodes.end(),
                                   [](const Barcode_version& a, const Barcode_version& b) { return a.barcode == b.barcode; }),
                       old.barcodes.end());
    return old;
}

// What each column of the CSV becomes.
struct Columns {
    std::size_t barcode = SIZE_MAX;
    std::size_t format = SIZE_MAX;
    std::vector<std::string> keys; // "tag.X" for a tag's column, else empty
};

// A row of the new file, as written: where it came from and its barcode.
struct Row {
    Barcode_version version;
    std::uint32_t line;
    std::uint32_t barcode_end; // in Import::my_barcodes
};

class Import {
public:
    Import(const Options& options, const Barcode_db::Format_table& formats)
        : my_options(options), my_answers(formats)
    {
    }

    // Reads the CSV and makes the new file, writing it through `out` unless
    // there is an error.
    void run(std::string_view csv, const Old_file& old, File_replacement* out);
    // The errors in line order, each as FILE:LINE: why.
    void write_errors() const;
    bool failed() const { return !my_errors.empty(); }
    const std::vector<Row>& rows() const { return my_rows; }

private:
    void refuse(unsigned long line, const std::string& why) { my_errors.push_back({line, why}); }
    bool read_header(const std::vector<std::string>& header);
    void add_row(const std::vector<std::string>& cells, unsigned long line);
    void add_section(std::string_view barcode, unsigned long line, const std::string& section);
    void check_piece();
    std::string_view barcode_of(const Row& row) const;

    const Options& my_options;
    Answer_check my_answers;
    Columns my_columns;
    std::vector<std::pair<unsigned long, std::string>> my_errors;
    std::vector<Row> my_rows;
    std::string my_barcodes; // every row's barcode, one after the other
    std::string my_piece;    // the new file's text not yet checked and written
    std::size_t my_piece_rows = 0; // my_rows that the piece holds, the last ones
    File_replacement* my_out = nullptr;
};

std::string_view Import::barcode_of(const Row& row) const
{
    const std::size_t begin = &row == &my_rows.front() ? 0 : (&row - 1)->barcode_end;
    return std::string_view(my_barcodes).substr(begin, row.barcode_end - begin);
}

bool Import::read_header(const std::vector<std::string>& header)
{
    my_columns.keys.assign(header.size(), "");
    for (std::size_t c = 0; c < header.size(); ++c) {
        std::string_view name = header[c];
        while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
        if (equal_but_case(name, my_options.barcode_column) && my_columns.barcode == SIZE_MAX) {
            my_columns.barcode = c;
        } else if (equal_but_case(name, "format") && my_columns.format == SIZE_MAX) {
            my_columns.format = c;
        } else if (name.find_first_of("=\r\n") != std::string_view::npos) {
            refuse(1, "column " + std::to_string(c + 1) + " " + quoted(name) + " holds '=' or a line break, which no tag's name can");
        } else if (!name.empty()) {
            const std::string key = name.substr(0, 4) == "tag." ? std::string(name) : "tag." + std::string(name);
            const auto same = std::find(my_columns.keys.begin(), my_columns.keys.end(), key);
            if (same != my_columns.keys.end())
                refuse(1, "columns " + std::to_string(same - my_columns.keys.begin() + 1) + " and " +
                              std::to_string(c + 1) + " are both " + quoted(key));
            my_columns.keys[c] = key;
        }
    }
    if (my_columns.barcode == SIZE_MAX)
        refuse(1, "no column " + quoted(my_options.barcode_column) + " (name the barcodes' column with -barcode=)");
    return my_columns.barcode != SIZE_MAX;
}

// A cell's text as a value on one line: a line break in it (CR LF, LF or
// CR) becomes the escape \n.
void append_value(std::string& out, std::string_view cell)
{
    for (std::size_t k = 0; k < cell.size(); ++k) {
        if (cell[k] == '\r' || cell[k] == '\n') {
            out += "\\n";
            if (cell[k] == '\r' && k + 1 < cell.size() && cell[k + 1] == '\n') ++k;
        } else {
            out += cell[k];
        }
    }
}

void Import::add_row(const std::vector<std::string>& cells, unsigned long line)
{
    if (std::all_of(cells.begin(), cells.end(), [](const std::string& c) { return c.empty(); })) return;
    if (cells.size() > my_columns.keys.size()) {
        refuse(line, std::to_string(cells.size()) + " cells, more than the header's " +
                         std::to_string(my_columns.keys.size()));
        return;
    }
    auto cell = [&](std::size_t c) -> const std::string& {
        static const std::string none;
        return c < cells.size() ? cells[c] : none;
    };
    std::string_view barcode = cell(my_columns.barcode);
    if (barcode == "[]") barcode = "";
    else if (barcode.empty()) return refuse(line, "the barcode is empty");
    else if (barcode.find_first_of("\r\n") != std::string_view::npos)
        return refuse(line, "barcode " + quoted(barcode) + " holds a line break, which no section header can");
    else if (!invisible_end(barcode).empty())
        return refuse(line, "barcode " + quoted(barcode) + " " + invisible_end(barcode) +
                                ": a scanned code never matches it");
    std::string_view format = cell(my_columns.format);
    if (format.empty()) format = my_options.default_format;
    if (format.find_first_of("\r\n") != std::string_view::npos)
        return refuse(line, "format name " + quoted(format) + " holds a line break");

    std::string section = "[" + std::string(barcode) + "]\n";
    if (!format.empty()) section.append("format=").append(format).append("\n");
    for (std::size_t c = 0; c < my_columns.keys.size(); ++c) {
        if (my_columns.keys[c].empty()) {
            if (c != my_columns.barcode && c != my_columns.format && !cell(c).empty())
                return refuse(line, "a value in column " + std::to_string(c + 1) + ", which has no name");
            continue;
        }
        section.append(my_columns.keys[c]).append("=");
        append_value(section, cell(c));
        section += '\n';
    }
    for (std::size_t from = 0, lf; (lf = section.find('\n', from)) != std::string::npos; from = lf + 1)
        if (lf - from > longest_line)
            return refuse(line, "a line of " + std::to_string(lf - from) + " bytes, longer than the server reads (" +
                                    std::to_string(longest_line) + ")");
    add_section(barcode, line, section);
}

void Import::add_section(std::string_view barcode, unsigned long line, const std::string& section)
{
    my_barcodes += barcode;
    my_rows.push_back({{barcode_hash(barcode), 0}, static_cast<std::uint32_t>(line),
                       static_cast<std::uint32_t>(my_barcodes.size())});
    my_piece += section;
    ++my_piece_rows;
    if (my_piece.size() >= (4 << 20)) check_piece();
}

// Reads the piece back with the server's reader, checks each barcode's
// answer, and writes the piece when all is well so far.
void Import::check_piece()
{
    Barcode_db db;
    std::istringstream text(my_piece);
    db.load_barcodes(text);
    const Barcode_table& table = db.barcodes();
    std::vector<std::string> errors;
    std::size_t r = my_rows.size() - my_piece_rows;
    for (std::size_t i = 0; i < table.size(); ++i) {
        // A row skipped here repeats a barcode of the piece: said below.
        while (r < my_rows.size() && barcode_of(my_rows[r]) != table.barcode(i)) ++r;
        if (r == my_rows.size()) break;
        Row& row = my_rows[r++];
        row.version.content = content_hash(table.tags(i));
        errors.clear();
        my_answers.check(table.barcode(i), table.tags(i), errors);
        for (const std::string& e : errors) refuse(row.line, e);
    }
    if (my_out != nullptr && !failed()) {
        std::string why;
        if (!my_out->write(my_piece, why)) {
            refuse(0, why);
            my_out = nullptr;
        }
    }
    my_piece.clear();
    my_piece_rows = 0;
}

void Import::run(std::string_view csv, const Old_file& old, File_replacement* out)
{
    my_out = out;
    Csv_reader reader(csv);
    std::vector<std::string> cells;
    if (!reader.next(cells) || !read_header(cells)) {
        if (!reader.error().empty()) refuse(1, reader.error());
        else if (cells.empty()) refuse(1, "no header line");
        return;
    }
    my_rows.reserve(static_cast<std::size_t>(std::count(csv.begin(), csv.end(), '\n')) + 1);
    my_piece = "# Written by ulvane_import: edit the CSV it came from and import that again.\n";
    while (reader.next(cells)) add_row(cells, reader.line());
    if (!reader.error().empty()) refuse(reader.line(), reader.error());
    if (my_rows.empty() && !failed()) refuse(reader.line(), "no data row");
    const bool has_fallback = std::any_of(my_rows.begin(), my_rows.end(), [&](const Row& r) { return barcode_of(r).empty(); });
    if (!has_fallback && old.has_fallback) {
        my_piece += "# The fallback barcode, kept from the file before.\n";
        add_section("", 0, old.fallback_section);
    }
    check_piece();

    // A barcode twice, said at its second row.
    std::vector<std::uint32_t> sorted(my_rows.size());
    for (std::size_t k = 0; k < sorted.size(); ++k) sorted[k] = static_cast<std::uint32_t>(k);
    auto key = [&](std::uint32_t r) { return std::make_tuple(my_rows[r].version.barcode, barcode_of(my_rows[r]), r); };
    std::sort(sorted.begin(), sorted.end(), [&](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); });
    for (std::size_t k = 1; k < sorted.size(); ++k) {
        const Row &first = my_rows[sorted[k - 1]], &again = my_rows[sorted[k]];
        if (again.version.barcode == first.version.barcode && barcode_of(again) == barcode_of(first))
            refuse(again.line, "barcode " + quoted(barcode_of(again)) + " again: it is at line " +
                                   std::to_string(first.line) + " too");
    }
}

void Import::write_errors() const
{
    std::vector<std::pair<unsigned long, std::string>> errors = my_errors;
    std::stable_sort(errors.begin(), errors.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& e : errors)
        std::cerr << my_options.csv_path << (e.first == 0 ? "" : ":" + std::to_string(e.first)) << ": " << e.second
                  << '\n';
}

struct Summary {
    std::size_t written = 0, added = 0, removed = 0, changed = 0, unchanged = 0;
};

Summary compare(const std::vector<Row>& rows, const Old_file& old)
{
    Summary s;
    std::vector<Barcode_version> fresh;
    for (const Row& row : rows) fresh.push_back(row.version);
    std::sort(fresh.begin(), fresh.end());
    s.written = fresh.size();
    auto o = old.barcodes.begin();
    for (const Barcode_version& f : fresh) {
        while (o != old.barcodes.end() && o->barcode < f.barcode) ++o, ++s.removed;
        if (o != old.barcodes.end() && o->barcode == f.barcode) {
            ++(o->content == f.content ? s.unchanged : s.changed);
            ++o;
        } else {
            ++s.added;
        }
    }
    s.removed += static_cast<std::size_t>(old.barcodes.end() - o);
    return s;
}

int usage()
{
    std::cerr << "usage: ulvane_import FILE.csv [-db=DIR] [-barcode=COLUMN] [-format=NAME] [-dry-run] [-force]"
              << std::endl;
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    unbuffer_standard_streams();
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.compare(0, 4, "-db=") == 0) options.db_dir = arg.substr(4);
        else if (arg.compare(0, 9, "-barcode=") == 0 && arg.size() > 9) options.barcode_column = arg.substr(9);
        else if (arg.compare(0, 8, "-format=") == 0) options.default_format = arg.substr(8);
        else if (arg == "-dry-run") options.dry_run = true;
        else if (arg == "-force") options.force = true;
        else if (arg[0] == '-' || !options.csv_path.empty()) return usage();
        else options.csv_path = arg;
    }
    if (options.csv_path.empty()) return usage();

    std::ifstream csv_file(options.csv_path, std::ios::binary);
    const std::string csv(std::istreambuf_iterator<char>(csv_file), {});
    if (!csv_file) {
        std::cerr << "ulvane_import: cannot read " << options.csv_path << ": " << std::strerror(errno) << std::endl;
        return 1;
    }
    const std::string barcodes_path = options.db_dir + "/barcodes.ini", formats_path = options.db_dir + "/formats.ini";
    Barcode_db formats;
    std::ifstream formats_file(formats_path, std::ios::binary);
    if (!formats_file) {
        std::cerr << "ulvane_import: cannot read " << formats_path << ", which the new barcodes are checked against: "
                  << std::strerror(errno) << std::endl;
        return 1;
    }
    set_log_quiet(true); // the readers' and the merges' lines; what matters is said below
    formats.load_formats(formats_file);
    const Old_file old = read_old_file(barcodes_path);

    File_replacement replacement;
    std::string why;
    if (!options.dry_run && !replacement.open(barcodes_path, why)) {
        std::cerr << "ulvane_import: " << why << std::endl;
        return 1;
    }
    Import import(options, formats.formats());
    import.run(csv, old, options.dry_run ? nullptr : &replacement);
    if (import.failed()) {
        import.write_errors();
        std::cerr << "ulvane_import: " << barcodes_path << " not written" << std::endl;
        return 1;
    }
    const Summary s = compare(import.rows(), old);
    auto write_summary = [&](const char* done) {
        std::cout << barcodes_path << ": " << s.written << " barcodes " << done << ": " << s.added << " added, "
                  << s.removed << " removed, " << s.changed << " changed, " << s.unchanged << " unchanged" << std::endl;
    };
    if (s.removed * 10 > old.barcodes.size() && !options.force) {
        write_summary("to write");
        std::cerr << options.csv_path << ": the import would remove " << s.removed << " of the "
                  << old.barcodes.size() << " barcodes in " << barcodes_path
                  << " (more than a tenth): not written; give -force if that is meant" << std::endl;
        return 1;
    }
    if (options.dry_run) {
        write_summary("to write");
        std::cout << "(-dry-run: nothing written)" << std::endl;
        return 0;
    }
    if (!replacement.commit(why)) {
        std::cerr << "ulvane_import: " << why << std::endl;
        return 1;
    }
    write_summary("written");
    return 0;
}

// ulvane_import: barcodes.ini from a spreadsheet's or a shop system's CSV.
//
//   ulvane_import FILE.csv [-db=DIR] [-barcode=COLUMN] [-format=NAME] [-encoding=NAME] [-dry-run] [-force]
//
// Reads the CSV as spreadsheets write it (comma, semicolon or tab, found
// from the header; a byte order mark, CR LF or LF, quoted cells) and
// replaces DIR/barcodes.ini with one section per row. The column `barcode`
// (or the one -barcode= names, in any case) holds the barcode, `[]` the
// fallback barcode; `format` (optional) the format's name, -format= the
// one for rows without; every other column is a tag (`price` becomes
// `tag.price`). A line break in a cell becomes the escape \n. With
// -encoding= (see Text_encoding) the cells, UTF-8, are written in the
// terminals' encoding; a character it lacks is refused, or kept as '?'
// with a warning under -force.
//
// Nothing is written, and the exit status is 1, when any row is wrong (said
// as FILE:LINE: why, one line for each kind of fault with how many rows
// have it and the first of them), when the new file has a finding that
// ulvane_check calls an error (checked against DIR/formats.ini), when it
// would remove more than a tenth of the barcodes the file has now, or a
// barcode that comes back with only its leading zeros missing (unless
// -force), or when the CSV is UTF-16 or ends its lines in CR alone. A
// barcode that a spreadsheet or an export damaged (see spreadsheet_damage)
// is wrong, -force or not; -force takes other refused codes with a
// warning. A wrong GS1 check digit, a code that lost its zeros, a 2D code
// and a cell whose backslash starts an escape are warnings. Every run ends
// with a summary of the barcodes written, added, removed, changed and
// unchanged; -dry-run only says it. The new file
// replaces the old one whole (see File_replacement), where barcodes.ini is
// a symbolic link the file it leads to; one import at a time (the next one
// waits up to 5 s, then gives up naming the one that holds the lock), and
// the temporary files of imports that were killed are removed. A CSV
// without the fallback row keeps the fallback barcode the file has. Exit
// status 2 for wrong usage.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "command_line.h"
#include "csv.h"
#include "database.h"
#include "database_lines.h"
#include "database_check.h"
#include "escapes.h"
#include "findings.h"
#include "gs1.h"
#include "log.h"
#include "platform_files.h"
#include "platform_process.h"
#include "text_encoding.h"
#include "version.h"

namespace {

struct Options {
    std::string csv_path;
    std::string db_dir = ".";
    std::string barcode_column = "barcode";
    std::string default_format;
    bool dry_run = false;
    bool force = false;
    Text_encoding encoding; // the terminals', into which the cells are converted
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
    // The rules of scale labels in the fallback section, which no CSV
    // carries: kept in the new fallback section whichever it is.
    std::string label_lines;
    std::vector<Label_rule> label_rules;
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
            for (const auto& t : tags.list()) {
                std::string& lines = is_label_tag(t.first) ? old.label_lines : old.fallback_section;
                lines.append(t.first).append("=").append(t.second).append("\n");
                Label_rule rule;
                std::string why;
                if (is_label_tag(t.first) && rule.read(t.first.substr(6), t.second, why)) old.label_rules.push_back(rule);
            }
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
    // The errors and warnings, one line a kind in the order of their first
    // lines, each as FILE:LINE: why, with how many more rows have it and
    // where.
    void write_findings() const;
    bool failed() const { return my_failed; }
    const std::vector<Row>& rows() const { return my_rows; }
    std::size_t escaped_cells() const { return my_escaped_cells; }
    std::size_t forced() const { return my_forced; }
    std::size_t unshown_cells() const { return my_unshown_cells; }

private:
    void note(unsigned long line, bool error, const std::string& kind, const std::string& why)
    {
        my_findings.add(0, line, error, why, kind);
    }
    void refuse(unsigned long line, const std::string& why, const std::string& kind = "")
    {
        note(line, true, kind.empty() ? why : kind, why);
        my_failed = true;
    }
    void warn(unsigned long line, const std::string& why, const std::string& kind) { note(line, false, kind, why); }
    bool read_header(const std::vector<std::string>& header);
    bool read_barcode(std::string_view barcode, unsigned long line);
    // read_barcode for the row's barcode cell, as written (UTF-8); true for
    // the fallback row and an empty row.
    bool barcode_as_written(const std::vector<std::string>& cells, unsigned long line);
    void warn_of_code(std::string_view barcode, unsigned long line);
    // Refuses, or under -force warns and counts the code taken.
    bool refuse_unless_forced(unsigned long line, const std::string& why, const std::string& kind);
    void warn_of_escapes(const std::vector<std::string>& cells, unsigned long line);
    bool convert(std::vector<std::string>& cells, unsigned long line);
    void refuse_lost_zeros(const Old_file& old);
    void name_missing_columns();
    void add_row(const std::vector<std::string>& cells, unsigned long line);
    void add_section(std::string_view barcode, unsigned long line, const std::string& section);
    void check_piece();
    std::string_view barcode_of(const Row& row) const;

    const Options& my_options;
    Answer_check my_answers;
    Columns my_columns;
    Findings my_findings; // one line a kind of fault, whatever the values
    bool my_failed = false;
    std::size_t my_escaped_cells = 0;
    std::size_t my_forced = 0; // codes taken that would be refused without -force
    std::size_t my_unshown_cells = 0; // with characters the terminals lack, as '?' as -force asks
    std::string my_converted; // a cell in the terminals' encoding
    std::vector<std::string> my_answering_formats; // of rows whose answer is wrong, each once
    std::vector<Row> my_rows;
    std::string my_barcodes; // every row's barcode, one after the other
    std::string my_piece;    // the new file's text not yet checked and written
    std::size_t my_piece_rows = 0; // my_rows that the piece holds, the last ones
    File_replacement* my_out = nullptr;
    const Old_file* my_old = nullptr; // during run
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
    std::string_view barcode = cell(my_columns.barcode); // judged before its conversion
    if (barcode == "[]") barcode = "";
    std::string_view format = cell(my_columns.format);
    if (format.empty()) format = my_options.default_format;
    if (format.find_first_of("\r\n") != std::string_view::npos)
        return refuse(line, "format name " + quoted(format) + " holds a line break");

    std::string section = "[" + std::string(barcode) + "]\n";
    if (!format.empty()) section.append("format=").append(format).append("\n");
    if (barcode.empty()) section += my_old->label_lines;
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
    warn_of_escapes(cells, line);
    add_section(barcode, line, section);
}

bool Import::barcode_as_written(const std::vector<std::string>& cells, unsigned long line)
{
    if (std::all_of(cells.begin(), cells.end(), [](const std::string& c) { return c.empty(); })) return true;
    const std::string barcode = my_columns.barcode < cells.size() ? cells[my_columns.barcode] : std::string();
    return barcode == "[]" || read_barcode(barcode, line);
}

// False, with the row refused, for a barcode no scan can match. A code a
// spreadsheet damaged is refused under -force too: it is never plausible
// as written.
bool Import::read_barcode(std::string_view barcode, unsigned long line)
{
    const char* damage_kind = "";
    const std::string damage = spreadsheet_damage(barcode, damage_kind);
    const std::string invisible = invisible_end(barcode);
    if (barcode.empty()) {
        refuse(line, "the barcode is empty");
        return false;
    }
    if (barcode.find_first_of("\r\n") != std::string_view::npos) {
        refuse(line, "barcode " + quoted(barcode) + " holds a line break, which no section header can", "line break");
        return false;
    }
    if (!damage.empty()) {
        refuse(line, "barcode " + quoted(barcode) + " " + damage, damage_kind);
        return false;
    }
    if (!invisible.empty() &&
        !refuse_unless_forced(line, "barcode " + quoted(barcode) + " " + invisible + ": a scanned code never matches it",
                              "invisible " + invisible))
        return false;
    warn_of_code(barcode, line);
    return true;
}

// A code taken that a scan may well not match as written.
void Import::warn_of_code(std::string_view barcode, unsigned long line)
{
    const std::string check_digit = check_digit_warning(barcode);
    if (!check_digit.empty()) warn(line, check_digit, "check digit");
    const std::string label = full_label_warning(my_old->label_rules, barcode);
    if (!label.empty()) warn(line, label, "scale label");
    // A scanned 2D code names one package (its lot, its serial): no
    // other package of the article would match it. The common code of up
    // to 14 digits is none, and is not read as one.
    const bool digits = barcode.find_first_not_of("0123456789") == std::string_view::npos;
    Gs1_code gs1;
    gs1.take(digits && barcode.size() <= 14 ? std::string_view() : barcode);
    const std::string_view gtin = gs1.gtin_of_2d_code();
    if (!gtin.empty())
        warn(line, "barcode " + quoted(barcode) + " is a 2D code of one package: list the GTIN " +
                       std::string(gtin) + " instead, which answers every package of the article and every form "
                       "of its code", "2D code");
    // Digits of no GS1 length that are a GS1 code with the zeros in front
    // that a spreadsheet drops (036000291452 as 36000291452, 01234565 as
    // 1234565): a new article's code that lost them. A short shop code is
    // no GS1 code that lost a zero or two.
    const std::size_t n = barcode.size();
    if (digits && n >= 7 && n < 12 && n != 8 && gs1_check_digit_right(barcode)) {
        const std::size_t length = n < 8 ? 8 : 12;
        warn(line, "barcode " + quoted(barcode) + " has " + std::to_string(n) + " digits, which no GS1 code has; with "
                       "the zeros in front that spreadsheets drop it is the GS1 code " +
                       quoted(std::string(length - n, '0') + std::string(barcode)) +
                       ": if so, format the barcode column as text and save the CSV again",
             "no GS1 length");
    }
}

bool Import::refuse_unless_forced(unsigned long line, const std::string& why, const std::string& kind)
{
    if (!my_options.force) {
        refuse(line, why, kind);
        return false;
    }
    warn(line, why + " (taken, as -force asks)", kind);
    ++my_forced;
    return true;
}

// A backslash in a cell starts an escape, as it does in barcodes.ini: a
// path or a shelf's name ("Ordner A4\rot") would show other bytes.
void Import::warn_of_escapes(const std::vector<std::string>& cells, unsigned long line)
{
    for (std::size_t c = 0; c < cells.size() && c < my_columns.keys.size(); ++c) {
        if (my_columns.keys[c].empty() || cells[c].find('\\') == std::string::npos) continue;
        // A doubled backslash writes a backslash: as meant, as the warning
        // itself advises.
        std::string other_escapes;
        for (std::size_t k = 0; k < cells[c].size(); ++k) {
            if (cells[c][k] == '\\' && k + 1 < cells[c].size() && cells[c][k + 1] == '\\')
                ++k;
            else
                other_escapes += cells[c][k];
        }
        const std::string escapes = escapes_in(other_escapes);
        if (escapes.empty()) continue;
        ++my_escaped_cells;
        warn(line, quoted(my_columns.keys[c]) + " is " + quoted(cells[c]) + ": the answer holds its " + escapes +
                       " as those bytes, not as written (write '\\\\' for a backslash)",
             "escape in " + my_columns.keys[c]);
    }
}

// The cells in the terminals' encoding. A character the encoding lacks
// is refused (under -force kept as '?'); bytes that are no UTF-8 are
// refused, -force or not: the CSV is in another encoding already, and every
// character of it would be lost.
bool Import::convert(std::vector<std::string>& cells, unsigned long line)
{
    const Text_encoding& encoding = my_options.encoding;
    if (encoding.is_utf8()) return true;
    bool whole = true;
    for (std::size_t c = 0; c < cells.size(); ++c) {
        my_converted.clear();
        Text_fault fault;
        const std::size_t faults = encoding.from_utf8(cells[c], my_converted, fault);
        const std::string column = faults > 0 ? "column " + std::to_string(c + 1) : "";
        char32_t character;
        if (faults > 0 && utf8_character(cells[c], fault.at, character) == 0) {
            refuse(line, column + " holds the byte " + escape_control_bytes(cells[c].substr(fault.at, 1)) +
                             ", which is no UTF-8: the CSV is in another encoding already; import it without -encoding",
                   "no UTF-8");
            return false;
        }
        if (faults > 0) {
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(character));
            const std::string more = faults > 1 ? " and " + std::to_string(faults - 1) + " more" : "";
            const std::string why = column + " holds '" + cells[c].substr(fault.at, fault.length) + "' (" + code + ")" +
                                    more + ", which " + encoding.name() + " has no byte for: the terminals cannot show it";
            if (my_options.force) {
                warn(line, why + " (kept as '?', as -force asks)", "not in " + encoding.name());
                ++my_unshown_cells;
            } else {
                refuse(line, why + "; write it otherwise, or give -force to keep '?' for it", "not in " + encoding.name());
                whole = false;
            }
        }
        cells[c].swap(my_converted);
    }
    return whole;
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
        const std::string* format = my_answers.check(table.barcode(i), table.tags(i), errors);
        for (const std::string& e : errors) refuse(row.line, e);
        if (!errors.empty() && format != nullptr &&
            std::find(my_answering_formats.begin(), my_answering_formats.end(), *format) == my_answering_formats.end())
            my_answering_formats.push_back(*format);
    }
    if (my_out != nullptr && !failed()) {
        Error why;
        if (!my_out->write(my_piece, why)) {
            refuse(0, why.text);
            my_out = nullptr;
        }
    }
    my_piece.clear();
    my_piece_rows = 0;
}

void Import::run(std::string_view csv, const Old_file& old, File_replacement* out)
{
    my_out = out;
    my_old = &old;
    Error why;
    if (!readable_encoding(csv, why)) return refuse(1, why.text);
    Csv_reader reader(csv);
    if (reader.at_end()) return refuse(1, "no header line");
    std::vector<std::string> cells;
    if (!reader.next(cells, why)) return refuse(1, why.text);
    if (!convert(cells, reader.line()) || !read_header(cells)) return;
    my_rows.reserve(static_cast<std::size_t>(std::count(csv.begin(), csv.end(), '\n')) + 1);
    my_piece = "# Written by ulvane_import: edit the CSV it came from and import that again.\n";
    while (!reader.at_end()) {
        if (!reader.next(cells, why)) {
            refuse(reader.line(), why.text);
            break;
        }
        // The barcode is judged as the shop wrote it, in UTF-8: -encoding
        // changes the bytes written and nothing else.
        if (barcode_as_written(cells, reader.line()) && convert(cells, reader.line())) add_row(cells, reader.line());
    }
    if (my_rows.empty() && !failed()) refuse(reader.line(), "no data row");
    const bool has_fallback = std::any_of(my_rows.begin(), my_rows.end(), [&](const Row& r) { return barcode_of(r).empty(); });
    if (!has_fallback && old.has_fallback) {
        my_piece += "# The fallback barcode, kept from the file before.\n";
        add_section("", 0, old.fallback_section + old.label_lines);
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
                                   std::to_string(first.line) + " too", "again");
    }
    refuse_lost_zeros(old);
    name_missing_columns();
}

// A code of digits whose leading zeros a spreadsheet dropped: the old
// barcode goes, and the scan of the real code gets the fallback answer.
// Only a barcode the file lacks can be one; a nightly import adds few.
void Import::refuse_lost_zeros(const Old_file& old)
{
    std::vector<std::pair<std::uint64_t, std::size_t>> fresh; // barcode hash, row
    fresh.reserve(my_rows.size());
    for (std::size_t r = 0; r < my_rows.size(); ++r) fresh.emplace_back(my_rows[r].version.barcode, r);
    std::sort(fresh.begin(), fresh.end());
    auto in_old = [&](std::uint64_t hash) {
        const auto at = std::lower_bound(old.barcodes.begin(), old.barcodes.end(), Barcode_version{hash, 0});
        return at != old.barcodes.end() && at->barcode == hash;
    };
    auto in_fresh = [&](std::uint64_t hash) {
        const auto at = std::lower_bound(fresh.begin(), fresh.end(), std::make_pair(hash, std::size_t(0)));
        return at != fresh.end() && at->first == hash;
    };
    auto o = old.barcodes.begin();
    for (const auto& f : fresh) {
        while (o != old.barcodes.end() && o->barcode < f.first) ++o;
        if (o != old.barcodes.end() && o->barcode == f.first) continue; // not added
        const Row& row = my_rows[f.second];
        const std::string_view barcode = barcode_of(row);
        if (barcode.empty() || barcode.find_first_not_of("0123456789") != std::string_view::npos) continue;
        std::string with_zeros(barcode);
        while (with_zeros.size() < 14) { // the longest GS1 code
            with_zeros.insert(0, 1, '0');
            const std::uint64_t hash = barcode_hash(with_zeros);
            if (!in_old(hash) || in_fresh(hash)) continue;
            refuse_unless_forced(row.line,
                                 "barcode " + quoted(barcode) + " is " + quoted(with_zeros) +
                                     " without its leading zeros, and the import would remove " + quoted(with_zeros) +
                                     ": format the barcode column as text and save the CSV again (or give -force if "
                                     "the codes did change so)",
                                 "leading zeros");
            break;
        }
    }
}

// When rows lack tags their formats ask for, the columns are likely named
// otherwise than the placeholders: one line names both.
void Import::name_missing_columns()
{
    std::vector<std::string> missing;
    for (const std::string& format : my_answering_formats)
        for (const std::string& p : my_answers.placeholders(format))
            if (std::find(my_columns.keys.begin(), my_columns.keys.end(), "tag." + p) == my_columns.keys.end() &&
                std::find(missing.begin(), missing.end(), "${" + p + "}") == missing.end())
                missing.push_back("${" + p + "}");
    if (missing.empty()) return;
    std::string given;
    for (const std::string& key : my_columns.keys)
        if (!key.empty()) given += (given.empty() ? "" : ", ") + key.substr(4);
    std::string asked;
    for (const std::string& m : missing) asked += (asked.empty() ? "" : ", ") + m;
    refuse(1, "the columns give the tags " + (given.empty() ? std::string("(none)") : given) +
                  "; no column gives the placeholders " + asked + " of the formats: name a column as its placeholder");
}

void Import::write_findings() const
{
    my_findings.write(std::cerr, {my_options.csv_path}, "warning: ", "", "row");
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

// One import into a file at a time: takes the lock beside the file that
// barcodes.ini is (where it is a link, the file it leads to), waiting up to
// 5 s for another import to end; removes what killed imports left; and
// opens the replacement.
bool lock_and_open(const std::string& barcodes_path, File_lock& lock, File_replacement& replacement,
                   Error& why)
{
    std::string target;
    if (!link_target(barcodes_path, target, why)) return false;
    char since[80];
    local_time_text(std::time(nullptr), since);
    const std::string holder = "ulvane_import, process " + std::to_string(process_id()) + ", since " + since;
    const auto give_up_at = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool busy = false;
    while (!lock.take(target + ".lock", holder, busy, why)) {
        if (!busy) return false;
        if (std::chrono::steady_clock::now() > give_up_at) {
            why.text = "another import into " + target + " is under way (" +
                       (why.text.empty() ? "its lock " + target + ".lock" : why.text) +
                       "): not written; try again when it has ended";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    remove_unfinished_replacements(target);
    return replacement.open(barcodes_path, why);
}

// The run's summary line: what it writes (or would), and what to know of it.
void say_summary(const std::string& barcodes_path, const Summary& s, const char* done, const Import& import,
                 const File_replacement& replacement)
{
    std::cout << barcodes_path << ": " << s.written << " barcodes " << done << ": " << s.added << " added, " << s.removed
              << " removed, " << s.changed << " changed, " << s.unchanged << " unchanged";
    if (import.escaped_cells() > 0)
        std::cout << "; " << import.escaped_cells() << (import.escaped_cells() == 1 ? " cell" : " cells")
                  << " with escapes (see the warnings)";
    if (import.forced() > 0)
        std::cout << "; " << import.forced() << (import.forced() == 1 ? " code" : " codes")
                  << " taken as -force asks that would be refused without it (see the warnings)";
    if (import.unshown_cells() > 0)
        std::cout << "; " << import.unshown_cells() << (import.unshown_cells() == 1 ? " cell" : " cells")
                  << " with characters the terminals' encoding lacks, kept as '?' as -force asks (see the warnings)";
    if (replacement.through_link())
        std::cout << "; it is a symbolic link, and the file it leads to, " << replacement.target() << ", was replaced";
    if (replacement.other_names() > 0)
        std::cout << "; it had " << replacement.other_names() << " other name" << (replacement.other_names() == 1 ? "" : "s")
                  << " (a hard link), which " << (replacement.other_names() == 1 ? "keeps" : "keep")
                  << " the old articles: a symbolic link follows the new file";
    std::cout << std::endl;
}

int usage()
{
    std::cerr << "usage: ulvane_import FILE.csv [-db=DIR] [-barcode=COLUMN] [-format=NAME] [-encoding=NAME] [-dry-run] "
                 "[-force] | -version\n(ulvane_import "
              << ulvane_version << ")" << std::endl;
    return 2;
}

// Imports options.csv_path into the database; the status as main's.
int import_csv(const Options& options)
{
    std::ifstream csv_file(options.csv_path, std::ios::binary);
    const std::string csv(std::istreambuf_iterator<char>(csv_file), {});
    if (!csv_file) {
        std::cerr << "ulvane_import: " << errno_error("cannot read " + options.csv_path).text << std::endl;
        return 1;
    }
    const std::string barcodes_path = ::barcodes_path(options.db_dir), formats_path = ::formats_path(options.db_dir);
    Barcode_db formats;
    std::ifstream formats_file(formats_path, std::ios::binary);
    if (!formats_file) {
        std::cerr << "ulvane_import: "
                  << errno_error("cannot read " + formats_path + ", which the new barcodes are checked against").text
                  << std::endl;
        return 1;
    }
    set_log_quiet(true); // the readers' and the merges' lines; what matters is said below
    formats.load_formats(formats_file);

    File_replacement replacement;
    File_lock lock;
    Error why;
    if (!options.dry_run && !(lock_and_open(barcodes_path, lock, replacement, why))) {
        std::cerr << "ulvane_import: " << why.text << std::endl;
        return 1;
    }
    const Old_file old = read_old_file(barcodes_path); // read under the lock
    Import import(options, formats.formats());
    import.run(csv, old, options.dry_run ? nullptr : &replacement);
    import.write_findings();
    if (import.failed()) {
        std::cerr << "ulvane_import: " << barcodes_path << " not written" << std::endl;
        return 1;
    }
    const Summary s = compare(import.rows(), old);
    auto write_summary = [&](const char* done) { say_summary(barcodes_path, s, done, import, replacement); };
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
        std::cerr << "ulvane_import: " << why.text << std::endl;
        return 1;
    }
    write_summary("written");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    unbuffer_standard_streams();
    if (version_asked(argc, argv, "ulvane_import")) return 0;
    if (!arguments_are_whole("ulvane_import")) return 2;
    Options options;
    std::string encoding;
    Command_line args(argc, argv);
    while (args.next()) {
        if (args.text("-db=", options.db_dir) || args.text("-format=", options.default_format)) continue;
        if (args.text("-encoding=", encoding)) {
            Error why;
            if (options.encoding.open(encoding, why)) continue;
            std::cerr << "ulvane_import: " << why.text << std::endl;
            return 2;
        }
        if (args.text("-barcode=", options.barcode_column) && !options.barcode_column.empty()) continue;
        if (args.flag("-dry-run")) options.dry_run = true;
        else if (args.flag("-force")) options.force = true;
        else if (args.is_option() || !options.csv_path.empty()) return usage();
        else options.csv_path = args.argument();
    }
    if (options.csv_path.empty()) return usage();
    return import_csv(options);
}

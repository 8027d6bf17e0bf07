// ulvane_check: finds mistakes in a database before the terminals do, and
// shows what the server would answer.
//
//   ulvane_check [-db=dir] [-l=n] [BARCODE...]
//
// Loads the database with the server's own code (the same readers, the same
// warnings in the same log on standard error, level 3 unless -l= says
// otherwise), then writes on standard output, in file and line order, one a
// line in the form compilers use ("db/barcodes.ini:42: warning: ..."), every
// line the readers skip or ignore and why, and what no reader reports:
// formats that are missing, unused or repeated, tags repeated in a section,
// no fallback barcode, placeholders a barcode has no tag for, blanks around
// '=' or after a name, escapes in formats and tag values that are not read
// as meant, answers too long for a datagram, a wrong check digit in a GS1
// code. For each BARCODE given (in the escape notation that formats.ini
// reads: \x1d for the GS in a GS1 element string) it shows the answer the
// server would send, as escaped text and as a hex dump, says when a form of
// its GTIN answers it and lists a 2D code's GS1 data, and names the tag
// values whose escapes become other bytes. A tag value in UTF-8 gets one
// note, which counts as no finding. Exit
// status: 0 when clean, 1 with warnings, 2 when the database cannot be
// loaded.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "command_line.h"
#include "database.h"
#include "database_lines.h"
#include "database_check.h"
#include "escapes.h"
#include "findings.h"
#include "gs1.h"
#include "log.h"
#include "platform_process.h"
#include "text_encoding.h"
#include "version.h"

namespace {

enum File { barcodes_file, formats_file };

// What a check found, written in file and line order at its end, a line for
// each kind.
struct Check_report {
    // The two files, named as the operator gave them (with -db=, its path).
    std::string file_names[2] = {database_files[0], database_files[1]};
    Findings findings;
    // The first tag value in UTF-8, said once as a note, which leaves a
    // clean database clean: UTF-8 is the text of most spreadsheets' CSV,
    // while many terminals show Latin-1 or a DOS code page.
    unsigned long utf8_line = 0;
    std::string utf8_character, utf8_tag;

    void warn(File file, unsigned long line, const std::string& message) { findings.add(file, line, false, message); }
    // The server answers other than written, or not at all.
    void error(File file, unsigned long line, const std::string& message) { findings.add(file, line, true, message); }
    void write() const;
};

void Check_report::write() const
{
    findings.write(std::cout, {file_names[0], file_names[1]}, "warning: ", "error: ", "line");
    if (utf8_line == 0) return;
    std::cout << file_names[barcodes_file] << ":" << utf8_line << ": note: its text is UTF-8 (here '"
              << utf8_character << "' in " << escape_control_bytes(utf8_tag)
              << "), which terminals that show Latin-1 or a DOS code page show as other characters: if yours do, "
                 "import the CSV with ulvane_import -encoding=NAME, NAME one of "
              << text_encoding_names() << std::endl;
}

bool ends_with_blank(std::string_view s)
{
    return !s.empty() && (s.back() == ' ' || s.back() == '\t');
}

// How many single-byte edits turn `a` into `b`.
std::size_t edit_distance(std::string_view a, std::string_view b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// A key of a barcode section that the server never reads, and what was
// likely meant.
std::string unknown_key(std::string_view key)
{
    std::string lower(key);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    std::string meant;
    if (lower.substr(0, 4) == "tag." || (lower.size() > 4 && lower.substr(0, 3) == "tag" && std::string_view("_-:,").find(lower[3]) != std::string_view::npos))
        meant = "tag." + std::string(key.substr(4));
    else if (edit_distance(lower, "format") <= 2)
        meant = "format";
    return "key " + quoted(key) + " is neither 'format' nor 'tag.NAME': the server never reads it" +
           (meant.empty() ? "" : " (did you mean " + quoted(meant) + "?)");
}

// A rule of scale labels (`tag` label.NAME in the section of `barcode`): an
// error where the server skips it or where a label fits an earlier rule
// too; a warning outside the fallback section, which alone holds rules.
void check_label_rule(Check_report& report, std::string_view barcode, std::string_view tag, std::string_view value,
                      unsigned long number, std::vector<std::pair<Label_rule, unsigned long>>& rules)
{
    if (!barcode.empty()) {
        report.warn(barcodes_file, number, quoted(tag) + " in barcode " + quoted(barcode) +
                                               ": rules of scale labels are read in the fallback section [] alone");
        return;
    }
    Label_rule rule;
    std::string why;
    if (!rule.read(tag.substr(6), value, why)) {
        report.error(barcodes_file, number, "scale label rule " + quoted(tag) + ": " + why + "; the server skips it");
        return;
    }
    for (const auto& [earlier, line] : rules)
        if (rule.overlaps(earlier))
            report.error(barcodes_file, number, "scale label rule " + quoted(tag) + " overlaps rule " + quoted(earlier.name) +
                                                    " (line " + std::to_string(line) + "): a label that fits both is read by that one");
    rules.emplace_back(std::move(rule), number);
}

// Notes where the section of `name` first stands, and reports a repeated
// one; true for the first one, which is used.
bool note_section(Check_report& report, File file, const char* kind, std::unordered_map<std::string_view, unsigned long>& first_line,
                  std::string_view name, unsigned long number)
{
    auto placed = first_line.emplace(name, number);
    if (!placed.second)
        report.warn(file, number,
             std::string(kind) + " " + quoted(name) + " again: the section at line " +
                 std::to_string(placed.first->second) + " is used, this one is not");
    return placed.second;
}

// Reports in `text`, which begins at `column` (from 1) of its line, what
// text_to_bytes does not read as its writer most likely meant: \x without
// two hexadecimal digits, a backslash before a character that is no escape
// (both are kept as written) and a backslash at the end, which pairs with
// whatever follows it in the answer.
void check_escapes(Check_report& report, File file, unsigned long number, std::string_view text, std::size_t column)
{
    for (const Escape_problem& p : escape_problems(text)) {
        const std::string at = " at column " + std::to_string(column + p.at);
        if (p.kind == Escape_problem::at_end)
            report.warn(file, number, "a backslash ends the line" + at + ": it makes an escape of the byte that follows it in the answer");
        else if (p.kind == Escape_problem::short_hex)
            report.warn(file, number, "'\\x' without two hexadecimal digits" + at);
        else
            report.warn(file, number, quoted(text.substr(p.at, 2)) + at + " is no escape: the answer holds both bytes as written (write '\\\\' for a backslash)");
    }
}

// Reports each line that the readers skip or ignore, saying why: a line too
// long, a header without ']', a line before the first section, after a
// header not read or in a repeated section. on_header(name, number) gets
// each section header and returns whether its section is used (the first
// of its name); on_line(l, number) gets every other line of a used section.
template <typename Header, typename Line>
struct Line_check {
    Check_report& report;
    File file;
    const char* kind; // "barcode" or "format"
    Header on_header;
    Line on_line;

    void seen(std::string_view, unsigned long) {}
    void skipped(std::string_view, unsigned long) {}
    void too_long(unsigned long number, bool)
    {
        report.warn(file, number, "longer than " + std::to_string(longest_line) + " bytes: skipped");
    }
    bool header(std::string_view name, unsigned long number) { return on_header(name, number); }
    void bad_header(std::string_view, unsigned long number)
    {
        report.warn(file, number,
             std::string(kind) == "format"
                 ? "begins with '[' but does not end with ']', so it is no format header (write '\\[' for a '[' in a format)"
                 : "begins with '[' but does not end with ']', so it is no barcode header");
    }
    void line(std::string_view l, unsigned long number) { on_line(l, number); }
    void outside(std::string_view, unsigned long number, Outside why, std::string_view section, unsigned long header)
    {
        const std::string where = "line " + std::to_string(header);
        report.warn(file, number,
             why == Outside::before_first ? "before the first " + std::string(kind) + " section: ignored"
             : why == Outside::repeated   ? "in the repeated section of " + std::string(kind) + " " + quoted(section) +
                                              " at " + where + ", which is not used: ignored"
                                          : "after the header at " + where + ", which is not read: ignored");
    }
};

template <typename Header, typename Line>
void check_lines(Check_report& report, File file, const char* kind, std::string_view text, Header header, Line line)
{
    Line_check<Header, Line> check{report, file, kind, header, line};
    read_database_lines(text, true, check);
}

// Where each barcode's first section begins; blanks around '=' and after a
// format name, tags repeated in a section, lines without '=', escapes in
// tag values and the lines the reader skips reported on the way.
std::unordered_map<std::string_view, unsigned long> check_barcode_lines(Check_report& report, std::string_view text)
{
    std::unordered_map<std::string_view, unsigned long> first_line;
    std::string_view barcode;
    std::unordered_map<std::string_view, unsigned long> tag_line; // of the barcode's section
    std::vector<std::pair<Label_rule, unsigned long>> label_rules; // with their lines
    check_lines(
        report, barcodes_file, "barcode", text,
        [&](std::string_view name, unsigned long number) {
            barcode = name;
            tag_line.clear();
            const std::string invisible = invisible_end(name);
            if (!invisible.empty())
                report.error(barcodes_file, number,
                      "barcode " + quoted(name) + " " + invisible + ": a scanned code without it never finds this section");
            const std::string check_digit = check_digit_warning(name);
            if (!check_digit.empty()) report.warn(barcodes_file, number, check_digit);
            return note_section(report, barcodes_file, "barcode", first_line, name, number);
        },
        [&](std::string_view l, unsigned long number) {
            const std::size_t eq = tag_value_split(l);
            if (eq == std::string_view::npos) {
                report.warn(barcodes_file, number, "no '=' in the line, so it is no tag=value line: skipped");
                return;
            }
            const std::string_view tag = l.substr(0, eq), value = l.substr(eq + 1);
            auto placed = tag_line.emplace(tag, number);
            if (!placed.second)
                report.warn(barcodes_file, number,
                     quoted(tag) + " again in barcode " + quoted(barcode) + ": line " +
                         std::to_string(placed.first->second) + " is used, this one is not");
            if (ends_with_blank(tag))
                report.warn(barcodes_file, number,
                     "blank before '=': the tag is " + quoted(tag) + ", which no placeholder reaches");
            if (!value.empty() && (value[0] == ' ' || value[0] == '\t'))
                report.warn(barcodes_file, number, "blank after '=': the value of " + quoted(tag) + " begins with it");
            const std::string invisible = tag == "format" ? invisible_end(value) : "";
            if (tag == "format" && ends_with_blank(value))
                report.warn(barcodes_file, number, "format name " + quoted(value) + " ends with a blank");
            else if (!invisible.empty())
                report.warn(barcodes_file, number, "format name " + quoted(value) + " " + invisible);
            if (is_label_tag(tag))
                check_label_rule(report, barcode, tag, value, number, label_rules);
            else if (tag != "format" && tag.substr(0, 4) != "tag." && !ends_with_blank(tag))
                report.warn(barcodes_file, number, unknown_key(tag));
            if (tag.substr(0, 4) == "tag.") check_escapes(report, barcodes_file, number, value, eq + 2);
            if (report.utf8_line == 0 && tag.substr(0, 4) == "tag." && holds_utf8_text(value)) {
                report.utf8_line = number;
                std::size_t at = 0;
                while (static_cast<unsigned char>(value[at]) < 0x80) ++at;
                char32_t c;
                report.utf8_character = value.substr(at, utf8_character(value, at, c));
                report.utf8_tag = tag;
            }
        });
    return first_line;
}

// Where each format's first section begins, and where each of its lines
// begins in the format's text (the lines joined) and in the file.
struct Format_lines {
    std::unordered_map<std::string_view, unsigned long> first_line;
    std::unordered_map<std::string_view, std::vector<std::pair<std::size_t, unsigned long>>> line_starts;

    // The line of the format's first section (0 for none).
    unsigned long line_of(std::string_view name) const
    {
        auto first = first_line.find(name);
        return first != first_line.end() ? first->second : 0;
    }

    // The file's line that holds `position` of the format's text.
    unsigned long line_at(std::string_view name, std::size_t position) const
    {
        auto starts = line_starts.find(name);
        unsigned long line = line_of(name);
        if (starts == line_starts.end()) return line;
        for (const auto& start : starts->second)
            if (start.first <= position) line = start.second;
        return line;
    }
};

// The formats' lines; repeated formats, blanks after a name, escapes and
// the lines the reader skips reported on the way.
Format_lines check_format_lines(Check_report& report, std::string_view text)
{
    Format_lines found;
    std::vector<std::pair<std::size_t, unsigned long>>* starts = nullptr; // of the section at hand
    std::size_t length = 0;                                                // of its text so far
    check_lines(
        report, formats_file, "format", text,
        [&](std::string_view name, unsigned long number) {
            if (!invisible_end(name).empty())
                report.warn(formats_file, number, "format name " + quoted(name) + " " + invisible_end(name));
            if (!note_section(report, formats_file, "format", found.first_line, name, number)) return false;
            starts = &found.line_starts[name];
            length = 0;
            return true;
        },
        [&](std::string_view l, unsigned long number) {
            starts->push_back({length, number});
            length += l.size();
            check_escapes(report, formats_file, number, l, 1);
        });
    return found;
}

std::string hex_dump(const std::string& bytes)
{
    std::ostringstream out;
    for (std::size_t row = 0; row < bytes.size(); row += 16) {
        char offset[32];
        std::snprintf(offset, sizeof offset, "  %04zx ", row);
        out << offset;
        std::string shown;
        for (std::size_t k = row; k < row + 16; ++k) {
            if (k < bytes.size()) {
                char byte[4];
                std::snprintf(byte, sizeof byte, " %02x", static_cast<unsigned char>(bytes[k]));
                out << byte;
                const unsigned char c = static_cast<unsigned char>(bytes[k]);
                shown += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '.';
            } else {
                out << "   ";
            }
        }
        out << "  " << shown << '\n';
    }
    return out.str();
}

// Warns of formats whose "${" is never closed, and of a missing fallback
// barcode. Returns the formats' names in the order of the file.
std::vector<std::string> check_formats(Check_report& report, const Barcode_db& db, const Format_lines& format_line)
{
    const Barcode_db::Format_table& formats = db.formats();
    std::vector<std::string> format_names;
    for (const auto& f : formats) format_names.push_back(f.first);
    std::sort(format_names.begin(), format_names.end(), [&](const std::string& a, const std::string& b) {
        return format_line.line_of(a) < format_line.line_of(b);
    });
    for (const std::string& name : format_names) {
        std::size_t unclosed_at = 0;
        formats.at(name).placeholders(unclosed_at);
        if (unclosed_at != std::string::npos)
            report.warn(formats_file, format_line.line_at(name, unclosed_at), "format " + quoted(name) + ": '${' is never closed");
    }
    Barcode_tags fallback_tags;
    if (!db.barcodes().find(std::string_view(), fallback_tags))
        report.warn(barcodes_file, 1, "there is no fallback barcode []: a barcode the file lacks gets no answer at all");
    return format_names;
}

// Answers every barcode as the server would, an error for each that gets
// none, and warns of the formats that no barcode uses.
void check_answers(Check_report& report, const Barcode_db& db, const std::unordered_map<std::string_view, unsigned long>& barcode_line, const Format_lines& format_line,
                   const std::vector<std::string>& format_names)
{
    std::unordered_set<std::string> used;
    const Barcode_table& table = db.barcodes();
    const Answer_check answers(db.formats());
    std::vector<std::string> errors;
    set_log_quiet(true); // the merges below would repeat what is reported here
    for (std::size_t i = 0; i < table.size(); ++i) {
        const std::string_view barcode = table.barcode(i);
        const unsigned long line = barcode_line.count(barcode) ? barcode_line.at(barcode) : 0;
        errors.clear();
        const std::string label = full_label_warning(db.label_rules(), barcode);
        if (!label.empty()) report.warn(barcodes_file, line, label);
        if (const std::string* format = answers.check(barcode, table.tags(i), errors)) used.insert(*format);
        for (const std::string& e : errors) report.error(barcodes_file, line, e);
    }
    set_log_quiet(false);
    for (const std::string& name : format_names)
        if (!name.empty() && used.count(name) == 0)
            report.warn(formats_file, format_line.line_of(name), "format " + quoted(name) + " is used by no barcode");
}

// How the server finds `code`'s entry, when not by its own bytes, and the
// code's GS1 data: " (by its GTIN 09506000134352, listed as
// 9506000134352; GS1 data (01)09506000134352 (17)271231)", " (a label of
// rule 'weighed', listed as 2112345000002; 1.250 kg)"; empty for a code
// listed as it is, or for one that nothing but the fallback answers.
std::string found_as(const Barcode_db& db, std::string_view code, Barcode_tags& tags)
{
    Gs1_code gs1;
    gs1.take(code);
    std::string how;
    std::string_view listed;
    Lookup_route route;
    const bool found = db.find_entry(code, gs1, tags, listed, route);
    if (!found) db.barcodes().find(std::string_view(), tags);
    if (route.label.rule != nullptr) {
        how = "a label of rule " + quoted(route.label.rule->name) + (found ? ", listed as " : ", not listed as ") +
              std::string(route.label.key()) + "; ";
        route.label.append_value(how);
        how += route.label.rule->unit.empty() ? "" : " " + route.label.rule->unit;
    } else if (found && !route.gtin.empty()) {
        how = "by its GTIN " + std::string(route.gtin) + ", listed as " + std::string(listed);
    } else if (found && listed != code) {
        how = "without its AIM identifier, listed as " + escape_control_bytes(listed);
    }
    if (!gs1.gtin_of_2d_code().empty() || gs1.kind() == Gs1_code::Kind::element_string) {
        how += std::string(how.empty() ? "" : "; ") + "GS1 data";
        for (std::size_t i = 0; i < gs1.size(); ++i)
            how += " (" + std::string(gs1.ai(i)) + ")" + escape_control_bytes(gs1.value(i));
    }
    return how.empty() ? how : " (" + how + ")";
}

// Shows the answer to each of `codes` (in escape notation) as the server
// would send it.
void preview(const Barcode_db& db, const std::vector<std::string>& codes)
{
    for (const std::string& written : codes) {
        const std::string code = text_to_bytes(written);
        try {
            const std::string answer = text_to_bytes(db.lookup(code));
            Barcode_tags tags;
            std::cout << written << found_as(db, code, tags) << ": " << bytes_to_format_text(answer) << '\n'
                      << hex_dump(answer);
            // The preview cannot tell a value's "\n" from a line feed the
            // format asks for: name the values that escapes change.
            for (const auto& [tag, value] : tags.list()) {
                const std::string escapes = escapes_in(value);
                if (tag.substr(0, 4) == "tag." && !escapes.empty())
                    std::cout << "  " << escape_control_bytes(tag) << '=' << escape_control_bytes(value)
                              << ": its escapes become bytes in the answer: " << escapes << '\n';
            }
        } catch (const std::string& message) {
            std::cout << written << ": no answer: " << message << '\n';
        }
    }
}

// Checks the database in `db_dir` and previews `codes`; the status as main's.
int check(const std::string& db_dir, const std::vector<std::string>& codes)
{
    Check_report report;
    if (db_dir != ".")
        for (std::string& name : report.file_names) name = db_dir + "/" + name;
    Barcode_db db;
    try {
        db.load(db_dir);
    } catch (const std::string& message) {
        std::cerr << message << std::endl;
        return 2;
    }
    // The barcodes file as the table read it (the table keeps its text), so
    // line numbers fit what was loaded; the small formats file is read again.
    const std::string formats_text = [&] {
        std::ifstream in(formats_path(db_dir), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    const auto barcode_line = check_barcode_lines(report, db.barcodes().text());
    const auto format_line = check_format_lines(report, formats_text);
    const std::vector<std::string> format_names = check_formats(report, db, format_line);
    check_answers(report, db, barcode_line, format_line, format_names);
    report.write();
    preview(db, codes);
    return report.findings.count() + log_warnings() > 0 ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    unbuffer_standard_streams();
    if (version_asked(argc, argv, "ulvane_check")) return 0;
    if (!arguments_are_whole("ulvane_check")) return 2;
    std::string db_dir = ".";
    std::vector<std::string> codes;
    Command_line args(argc, argv);
    while (args.next()) {
        int level;
        if (args.number("-l=", level)) {
            set_log_level(static_cast<unsigned>(level));
        } else if (!args.is_option()) {
            codes.push_back(args.argument());
        } else if (!args.text("-db=", db_dir)) {
            std::cerr << "usage: ulvane_check [-db=dir] [-l=n] [BARCODE...] | -version\n(ulvane_check " << ulvane_version
                      << ")" << std::endl;
            return 2;
        }
    }
    return check(db_dir, codes);
}

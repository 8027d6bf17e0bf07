// ulvane_export: barcodes.ini as CSV, for a spreadsheet or a shop system.
//
//   ulvane_export [-db=DIR] [-o=FILE] [-encoding=NAME]
//
// Reads barcodes.ini with the server's own reader (its warnings go to
// standard error) and writes what the server reads of it as CSV (RFC 4180:
// comma, CR LF, a field quoted when it holds a comma, a quote, CR or LF) to
// standard output or FILE. The header is barcode,format and then one column
// per key the file uses, in the order first seen; then one row per barcode
// in the order of the file, the fallback barcode as []. A cell holds the
// value's text exactly as the file has it (escapes as written), and is
// empty where a barcode lacks the key. ulvane_import reads it back. With
// -encoding= the file's text, in the terminals' encoding, is written as
// UTF-8 (see Text_encoding), as ulvane_import -encoding= reads it back:
// nothing is written when a byte is no character of the encoding.
// Exit status: 0, 1 when the file cannot be read or written, 2 for wrong
// usage.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "command_line.h"
#include "csv.h"
#include "database.h"
#include "database_check.h"
#include "escapes.h"
#include "platform_process.h"
#include "text_encoding.h"
#include "version.h"

namespace {

// Whether `table` can be written as UTF-8 from `encoding`; else `why`
// names the first value that is UTF-8 text already, or the first barcode,
// key or value with a byte that is no character of it.
bool convertible(const Barcode_table& table, const Text_encoding& encoding, Error& why)
{
    // Text in UTF-8 already (as ulvane_import writes it without -encoding)
    // would come out as other characters: "Käse" as "KÃ¤se".
    if (!encoding.is_utf8() && holds_utf8_text(table.text())) {
        for (std::size_t i = 0; i < table.size(); ++i)
            for (const auto& t : table.tags(i).list())
                if (holds_utf8_text(t.second)) {
                    why.text = "barcode " + quoted(table.barcode(i)) + ", " + quoted(t.first) + ": '" + std::string(t.second) +
                               "' is UTF-8 text already, which " + encoding.name() +
                               " would turn into other characters: export without -encoding";
                    return false;
                }
        why.text = "the file's text is UTF-8 already, which " + encoding.name() +
                   " would turn into other characters: export without -encoding";
        return false;
    }
    if (encoding.is_all_characters(table.text())) return true; // the common case, at once
    std::string utf8;
    Text_fault fault;
    auto fault_in = [&](std::string_view text) {
        utf8.clear();
        return encoding.to_utf8(text, utf8, fault) > 0 ? text.substr(fault.at, 1) : std::string_view();
    };
    auto fail = [&](std::string_view place, std::string_view byte) {
        why.text = std::string(place) + ": the byte " + escape_control_bytes(byte) + " is no character of " +
               encoding.name() + " (export without -encoding to keep the bytes as they are)";
        return false;
    };
    for (std::size_t i = 0; i < table.size(); ++i) {
        const std::string_view barcode = table.barcode(i);
        std::string_view byte = fault_in(barcode);
        if (!byte.empty()) return fail("barcode " + quoted(barcode), byte);
        for (const auto& t : table.tags(i).list()) {
            if (byte = fault_in(t.first), byte.empty()) byte = fault_in(t.second);
            if (!byte.empty()) return fail("barcode " + quoted(barcode) + ", " + quoted(t.first), byte);
        }
    }
    return true;
}

// Writes `table` as CSV through `out`, which is called with pieces of text,
// each cell converted from `encoding` into UTF-8.
template <typename Out>
void write_csv(const Barcode_table& table, const Text_encoding& encoding, Out out)
{
    std::string utf8;
    auto append_field = [&](std::string& text, std::string_view cell) {
        if (encoding.is_utf8()) return append_csv_field(text, cell);
        utf8.clear();
        Text_fault fault;
        encoding.to_utf8(cell, utf8, fault);
        append_csv_field(text, utf8);
    };
    std::vector<std::string_view> columns = {"barcode", "format"};
    std::unordered_map<std::string_view, std::size_t> column_of = {{"format", 1}};
    // The rules of scale labels are the file's, not an article's: the
    // import keeps them from the file it replaces.
    const auto is_article_data = [&](std::size_t i, std::string_view tag) {
        return !table.barcode(i).empty() || !is_label_tag(tag);
    };
    for (std::size_t i = 0; i < table.size(); ++i) {
        for (const auto& t : table.tags(i).list())
            if (is_article_data(i, t.first) && column_of.emplace(t.first, columns.size()).second)
                columns.push_back(t.first);
    }
    std::string text;
    auto end_row = [&] {
        text.back() = '\r';
        text += '\n';
        if (text.size() >= (1 << 20)) {
            out(text);
            text.clear();
        }
    };
    for (std::string_view column : columns) {
        append_field(text, column);
        text += ',';
    }
    end_row();
    std::vector<std::string_view> cells(columns.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        std::fill(cells.begin(), cells.end(), std::string_view());
        cells[0] = table.barcode(i).empty() ? std::string_view("[]") : table.barcode(i);
        for (const auto& t : table.tags(i).list())
            if (is_article_data(i, t.first)) cells[column_of.at(t.first)] = t.second;
        for (std::string_view cell : cells) {
            append_field(text, cell);
            text += ',';
        }
        end_row();
    }
    out(text);
}

// Writes the CSV of `table` to `output` (standard output when empty); the
// status as main's.
int write_output(const Barcode_table& table, const Text_encoding& encoding, const std::string& output)
{
    std::ofstream file;
    if (!output.empty()) {
        file.open(output, std::ios::binary | std::ios::trunc);
        if (!file) {
            std::cerr << "ulvane_export: " << errno_error("cannot write " + output).text << std::endl;
            return 1;
        }
    } else {
        binary_standard_output();
    }
    bool written = true;
    write_csv(table, encoding, [&](const std::string& text) {
        if (!output.empty())
            written = written && file.write(text.data(), static_cast<std::streamsize>(text.size()));
        else
            written = written && std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    });
    written = written && (output.empty() ? std::fflush(stdout) == 0 : static_cast<bool>(file.flush()));
    if (!written) {
        std::cerr << "ulvane_export: " << errno_error("cannot write " + (output.empty() ? "standard output" : output)).text
                  << std::endl;
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    unbuffer_standard_streams();
    if (version_asked(argc, argv, "ulvane_export")) return 0;
    if (!arguments_are_whole("ulvane_export")) return 2;
    std::string db_dir = ".", output, encoding_name;
    Error why;
    Text_encoding encoding;
    Command_line args(argc, argv);
    while (args.next()) {
        if (args.text("-encoding=", encoding_name)) {
            if (encoding.open(encoding_name, why)) continue;
            std::cerr << "ulvane_export: " << why.text << std::endl;
            return 2;
        }
        if (!args.text("-db=", db_dir) && !(args.text("-o=", output) && !output.empty())) {
            std::cerr << "usage: ulvane_export [-db=DIR] [-o=FILE] [-encoding=NAME] | -version\n(ulvane_export "
                      << ulvane_version << ")" << std::endl;
            return 2;
        }
    }
    const std::string path = barcodes_path(db_dir);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "ulvane_export: " << errno_error("cannot read " + path).text << std::endl;
        return 1;
    }
    Barcode_db db;
    db.load_barcodes(in);
    if (in.bad()) {
        std::cerr << "ulvane_export: read error in " << path << std::endl;
        return 1;
    }

    if (!convertible(db.barcodes(), encoding, why)) {
        std::cerr << "ulvane_export: " << path << ": " << why.text << ": nothing written" << std::endl;
        return 1;
    }

    return write_output(db.barcodes(), encoding, output);
}

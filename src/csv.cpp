#include "csv.h"

#include <algorithm>

void append_csv_field(std::string& out, std::string_view text, bool as_text)
{
    const bool quote = as_text || text.find_first_of(",\"\r\n") != std::string_view::npos;
    if (!quote) {
        out += text;
        return;
    }
    out += '"';
    if (as_text && !text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos) out += '\'';
    for (std::size_t from = 0;;) {
        const std::size_t q = text.find('"', from);
        out += text.substr(from, q == std::string_view::npos ? q : q + 1 - from);
        if (q == std::string_view::npos) break;
        out += '"';
        from = q + 1;
    }
    out += '"';
}

namespace {

// Whether the first line end outside quotes is a carriage return alone and
// no line feed stands outside quotes: a file of old Macs, or of Excel on a
// Mac, whose cells may hold line feeds (Alt+Enter).
bool ends_lines_in_cr_alone(std::string_view text)
{
    bool quoted = false, cr_alone = false;
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (text[k] == '"') quoted = !quoted;
        if (quoted) continue;
        if (text[k] == '\n') return false;
        if (text[k] == '\r' && !cr_alone) {
            if (k + 1 < text.size() && text[k + 1] == '\n') return false;
            cr_alone = true;
        }
    }
    return cr_alone;
}

} // namespace

bool readable_encoding(std::string_view text, Error& why)
{
    // UTF-16 holds a zero byte beside every ASCII character: one text
    // byte in two a zero, on the same side, in the first line.
    std::size_t zeros[2] = {0, 0};
    const std::size_t looked_at = std::min<std::size_t>(text.size() & ~std::size_t(1), 512);
    for (std::size_t i = 0; i < looked_at; ++i) zeros[i % 2] += text[i] == '\0';
    const bool bom_le = text.substr(0, 2) == "\xff\xfe", bom_be = text.substr(0, 2) == "\xfe\xff";
    const std::string save_as = "save it as \"CSV UTF-8\" or as CSV (comma- or semicolon-separated) instead";
    if (bom_le || bom_be || (looked_at >= 4 && std::max(zeros[0], zeros[1]) * 4 >= looked_at && std::min(zeros[0], zeros[1]) == 0)) {
        const bool big_endian = bom_be || (!bom_le && zeros[0] > zeros[1]);
        why.text = std::string("the file is UTF-16 text (") + (big_endian ? "big" : "little") +
                   "-endian), which spreadsheets call \"Unicode text\": " + save_as;
        return false;
    }
    if (ends_lines_in_cr_alone(text)) {
        why.text = "its lines end in a carriage return alone (as on old Macs), which no line of a CSV ends in here: " +
                   save_as + ", with Windows or Unix line ends";
        return false;
    }
    return true;
}

Csv_reader::Csv_reader(std::string_view text) : my_text(text)
{
    if (my_text.substr(0, 3) == "\xef\xbb\xbf") my_text.remove_prefix(3);
    // Excel's first line "sep=;" names the delimiter, and is no record.
    const std::size_t first_end = my_text.find('\n');
    const std::string_view first = my_text.substr(0, first_end);
    if (first.substr(0, 4) == "sep=" && (first.size() == 5 || (first.size() == 6 && first[5] == '\r'))) {
        my_delimiter = first[4];
        my_at = first_end == std::string_view::npos ? my_text.size() : first_end + 1;
        my_line = 2;
        return;
    }
    std::size_t counts[3] = {0, 0, 0};
    const char candidates[3] = {',', ';', '\t'};
    bool quoted = false;
    for (char c : my_text) {
        if (c == '"') quoted = !quoted;
        if (quoted) continue;
        if (c == '\n') break;
        for (int k = 0; k < 3; ++k) counts[k] += c == candidates[k];
    }
    const std::size_t most = std::max_element(counts, counts + 3) - counts;
    if (counts[most] > 0) my_delimiter = candidates[most];
}

bool Csv_reader::next(std::vector<std::string>& fields, Error& error)
{
    fields.clear();
    my_record_line = my_line;
    const char* p = my_text.data() + my_at;
    const char* const end = my_text.data() + my_text.size();
    for (;;) {
        fields.emplace_back();
        std::string& field = fields.back();
        if (p < end && *p == '"') {
            const unsigned long opened_at = my_line;
            ++p;
            for (;;) {
                const char* q = std::find(p, end, '"');
                my_line += std::count(p, q, '\n');
                field.append(p, q);
                if (q == end) {
                    error.text = "a quote opened at line " + std::to_string(opened_at) + " is never closed";
                    my_at = my_text.size();
                    return false;
                }
                p = q + 1;
                if (p == end || *p != '"') break;
                field += '"'; // a doubled quote
                ++p;
            }
        }
        // Unquoted text, or what follows a closing quote, up to the field's end.
        const char* stop = p;
        while (stop < end && *stop != my_delimiter && *stop != '\n' && *stop != '\r') ++stop;
        const char* text_end = stop;
        if (stop < end && *stop == '\r') {
            if (stop + 1 < end && stop[1] != '\n') {
                // Among lines that end in a line feed, a carriage return
                // alone ends no line: the rows around it would run together.
                error.text = "line " + std::to_string(my_line) + " ends in a carriage return alone, where the others "
                             "end in a line feed: save the CSV again, with Windows or Unix line ends";
                my_at = my_text.size();
                return false;
            }
            ++stop;
        }
        field.append(p, text_end);
        if (stop == end || *stop == '\n') {
            if (stop < end) ++my_line;
            my_at = static_cast<std::size_t>(stop - my_text.data()) + (stop < end);
            return true;
        }
        p = stop + 1;
    }
}

// The readers of the two database files: barcodes.ini into the barcode
// table, formats.ini into the formats, with every rule and warning.
#include "database.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <sstream>

#include "database_lines.h"
#include "log.h"
#include "log_messages.h"
#include "platform_files.h"

namespace {

// Appends what `in` holds, up to max_bytes, to `text`; false when reading
// ended at a read error. Takes what the stream has buffered, piece by
// piece: a read error (the stream's buffer throws) then loses nothing that
// was read before it.
bool read_stream(std::istream& in, std::uint64_t max_bytes, std::string& text)
{
    std::streambuf* buffer = in.rdbuf();
    if (max_bytes != UINT64_MAX) {
        text.reserve(text.size() + max_bytes);
        advise_large_pages(&text[0], text.capacity());
    }
    std::uint64_t read = 0;
    while (read < max_bytes && buffer != nullptr) {
        try {
            // Take what is there for certain: what the buffer holds, or for
            // a file the rest of it, which the file's buffer then reads
            // straight into the text.
            std::streamsize there = buffer->in_avail();
            if (there <= 0) {
                if (buffer->sgetc() == std::char_traits<char>::eof()) break;
                there = std::max<std::streamsize>(buffer->in_avail(), 1);
            }
            const std::size_t wanted =
                static_cast<std::size_t>(std::min<std::uint64_t>(max_bytes - read, static_cast<std::uint64_t>(there)));
            const std::size_t old = text.size();
            text.resize(old + wanted);
            const std::size_t n = static_cast<std::size_t>(buffer->sgetn(&text[old], static_cast<std::streamsize>(wanted)));
            text.resize(old + n);
            if (n == 0) break;
            read += n;
        } catch (const std::bad_alloc&) {
            throw;
        } catch (...) {
            in.setstate(std::ios::badbit);
            return false;
        }
    }
    if (text.size() > UINT32_MAX) throw std::length_error("larger than 4 GiB");
    return true;
}

bool is_tag_value(std::string_view l)
{
    return tag_value_split(l) != std::string_view::npos;
}

// How many lines `text` has, as read_database_lines counts them, and how many of
// them begin with '[', counted at memory speed: sixteen byte counters side
// by side, emptied before they overflow, let the compiler look at sixteen
// bytes at a time.
struct Line_counts {
    std::size_t lines = 1; // what follows the last line feed is a line too
    std::size_t brackets = 0;
};

Line_counts count_lines(std::string_view text)
{
    text = without_byte_order_mark(text);
    Line_counts counts;
    if (text.empty()) return counts;
    counts.brackets = text[0] == '[';
    const char* p = text.data() + 1; // each byte is looked at with the one before it
    const char* const end = text.data() + text.size();
    while (end - p >= 16) {
        const std::size_t rounds = std::min<std::size_t>(static_cast<std::size_t>(end - p) / 16, 255);
        unsigned char lfs[16] = {}, brackets[16] = {};
        for (std::size_t r = 0; r < rounds; ++r, p += 16) {
            for (int k = 0; k < 16; ++k) {
                lfs[k] = static_cast<unsigned char>(lfs[k] + (p[k] == '\n'));
                brackets[k] = static_cast<unsigned char>(brackets[k] + ((p[k] == '[') & (p[k - 1] == '\n')));
            }
        }
        for (int k = 0; k < 16; ++k) {
            counts.lines += lfs[k];
            counts.brackets += brackets[k];
        }
    }
    for (; p < end; ++p) {
        counts.lines += *p == '\n';
        counts.brackets += (*p == '[') & (p[-1] == '\n');
    }
    counts.lines += text[0] == '\n';
    return counts;
}

// Builds the table from the lines of barcodes.ini, logging nothing: notes
// whether the file has something to say (a bad line, a line outside a
// section), which most files have not.
struct Table_builder {
    Barcode_table& table;
    const char* base; // of the table's text
    bool to_log = false;

    std::uint32_t at(const char* p) const { return static_cast<std::uint32_t>(p - base); }
    void seen(std::string_view, unsigned long) {}
    void skipped(std::string_view, unsigned long) {}
    void too_long(unsigned long, bool) { to_log = true; }
    bool header(std::string_view name, unsigned long)
    {
        table.begin_section(at(name.data()), static_cast<std::uint32_t>(name.size()));
        return true; // a repeated one too: index_sections keeps the first
    }
    void bad_header(std::string_view, unsigned long) { to_log = true; }
    void line(std::string_view l, unsigned long)
    {
        if (is_tag_value(l))
            table.add_tag(at(l.data()));
        else
            to_log = true;
    }
    void outside(std::string_view, unsigned long, Outside, std::string_view, unsigned long) { to_log = true; }
};

// Logs what reading the lines of barcodes.ini has to say (at level 4 and
// up, each line), the table's sections being those that the reading took
// in: entries `first` and on, in the order of the file.
struct Barcode_lines_log {
    const Barcode_table& table;
    std::size_t next; // the section of the next header taken in
    const bool debug = get_log_level() > 3;
    const bool dump = get_log_level() > 4;

    void seen(std::string_view l, unsigned long)
    {
        if (dump) LOG_DMP("line=\"" << l << "\"");
    }
    void skipped(std::string_view l, unsigned long number)
    {
        if (dump) LOG_DMP("Skipping comment or empty line #" << number << ": " << l);
    }
    void too_long(unsigned long number, bool)
    {
        LOG_WRN("Line " << number << " is longer than " << longest_line << " bytes: skipped.");
    }
    bool header(std::string_view barcode, unsigned long)
    {
        if (debug) LOG_DBG("Reading barcode definition: \"" << barcode << "\"");
        // A repeated section was not taken in: the first one holds.
        const bool taken_in = next < table.size() && table.barcode(next).data() == barcode.data();
        if (taken_in) ++next;
        return taken_in;
    }
    void bad_header(std::string_view l, unsigned long number)
    {
        LOG_WRN("Line " << number << " \"" << l << "\" begins with '[' but does not end with ']': line is skipped!");
    }
    void line(std::string_view l, unsigned long number)
    {
        if (debug) LOG_DBG("Tag_value line #" << number << ": \"" << l << "\"");
        if (!is_tag_value(l)) LOG_WRN("Incorrect tag-value \"" << l << "\" at line " << number << " (skipped).");
    }
    void outside(std::string_view l, unsigned long number, Outside, std::string_view, unsigned long)
    {
        LOG_WRN("Tag-value at line #" << number << " \"" << l << "\" outsite barcode definition: ignored");
    }
};

// Reads formats.ini's lines into the formats, logging as it goes.
struct Format_reader {
    Barcode_db::Format_table& formats;
    Format* current = nullptr; // the accepted format that lines go to
    const bool dump = get_log_level() > 4;

    void seen(std::string_view, unsigned long) {}
    void skipped(std::string_view l, unsigned long number)
    {
        if (dump) LOG_DMP("Skipping comment or empty line #" << number << ": " << l);
    }
    void too_long(unsigned long number, bool)
    {
        LOG_WRN("Line " << number << " is longer than " << longest_line << " bytes: skipped.");
    }
    bool header(std::string_view name, unsigned long)
    {
        LOG_DBG("Reading format: \"" << name << "\"");
        auto inserted = formats.try_emplace(std::string(name), std::string(name), "");
        current = inserted.second ? &inserted.first->second : nullptr;
        return current != nullptr;
    }
    void bad_header(std::string_view l, unsigned long number)
    {
        LOG_WRN("Format line \"" << l << "\" at " << number << " begins with '[' but does not end with ']'");
        LOG_WRN("line " << number << " and next lines are skipped until a valid format definitions is recognized.");
        LOG_INF("Recommend using '\\[' when using a '[' in the formatting.");
    }
    void line(std::string_view l, unsigned long)
    {
        LOG_DBG(l);
        current->add_formatting(l);
    }
    void outside(std::string_view l, unsigned long number, Outside, std::string_view, unsigned long)
    {
        LOG_WRN("Unrecognized formats \"" << l << "\" at line " << number);
    }
};

} // namespace

void Barcode_db::load_barcodes(std::istream& bf, std::uint64_t max_bytes)
{
    Barcode_table& table = my_known_barcodes;
    std::string& text = table.text();
    const std::size_t start = text.size();
    const std::size_t first = table.size();
    const bool complete = read_stream(bf, max_bytes, text);
    const std::string_view content = std::string_view(text).substr(start);
    // Counted first, so that the table's arrays are made once.
    const Line_counts counts = count_lines(content);
    table.reserve(counts.brackets, counts.lines - counts.brackets);
    // The table is built in one pass that logs nothing; a file with
    // something to say (a bad line, a repeated section, every line at level
    // 4 and up) is gone through again for the log, which most files are not.
    Table_builder builder{table, text.data()};
    read_database_lines(content, complete, builder);
    if (table.index_sections(first) != 0 || builder.to_log || get_log_level() > 3) {
        Barcode_lines_log log{table, first};
        read_database_lines(content, complete, log);
    }
    read_label_rules();
    LOG_DBG("Ready reading barcode definitions");
}

void Barcode_db::read_label_rules()
{
    my_label_rules.clear();
    Barcode_tags fallback;
    if (!my_known_barcodes.find(std::string_view(), fallback)) return;
    for (const auto& [tag, value] : fallback.list()) {
        if (!is_label_tag(tag)) continue;
        Label_rule rule;
        std::string why;
        if (rule.read(tag.substr(6), value, why))
            my_label_rules.push_back(std::move(rule));
        else
            LOG_WRN(msg::bad_label_rule(tag, why));
    }
}

void Barcode_db::load_formats(std::istream& ff, std::uint64_t max_bytes)
{
    std::string text;
    const bool complete = read_stream(ff, max_bytes, text);
    Format_reader reader{my_known_formats};
    read_database_lines(text, complete, reader);
    LOG_DBG("Ready reading formats");
}

bool read_barcodes_in_pieces(std::istream& in, const std::function<void(const Barcode_table&)>& visit)
{
    const std::size_t piece_size = 4 << 20;
    std::string buffer;
    bool at_end = false;
    while (!at_end || !buffer.empty()) {
        if (!at_end) {
            const std::size_t had = buffer.size();
            buffer.resize(had + piece_size);
            in.read(&buffer[had], static_cast<std::streamsize>(piece_size));
            buffer.resize(had + static_cast<std::size_t>(in.gcount()));
            at_end = !in;
            if (in.bad()) return false;
        }
        // Up to the last line that begins with '[', or all at the end.
        std::size_t cut = at_end ? buffer.size() : buffer.rfind("\n[");
        if (cut == std::string::npos) continue; // one section so far: read on
        if (!at_end) ++cut;
        Barcode_db piece;
        std::istringstream text(buffer.substr(0, cut));
        piece.load_barcodes(text);
        visit(piece.barcodes());
        buffer.erase(0, cut);
    }
    return true;
}


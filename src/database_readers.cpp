// The readers of the two database files: barcodes.ini into the barcode
// table, formats.ini into the formats, with every rule and warning.
#include "database.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <sstream>

#include "log.h"
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

// Where `c` first stands in [p, end), or end. Lines are short: eight bytes
// at a time in line, rather than a call to memchr for each line.
const char* find_byte(const char* p, const char* end, char c)
{
    const std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    const std::uint64_t pattern = ones * static_cast<unsigned char>(c);
    for (; end - p >= 8; p += 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        word ^= pattern; // a byte equal to c is now zero
        // The lowest byte marked is the first zero byte; marks above it may
        // be false, and are not looked at.
        const std::uint64_t zeros = (word - ones) & ~word & highs;
        if (zeros != 0) return p + (__builtin_ctzll(zeros) >> 3);
    }
    while (p < end && *p != c) ++p;
    return p;
}

// Whether a barcode's line is a tag=value line: it holds a '=' (the same
// rule as tag_value_split, in the readers' fast search).
bool is_tag_value(std::string_view l)
{
    return find_byte(l.data(), l.data() + l.size(), '=') != l.data() + l.size();
}

// `text` without the byte order mark that may open it.
std::string_view without_byte_order_mark(std::string_view text)
{
    return text.substr(0, 3) == "\xef\xbb\xbf" ? text.substr(3) : text;
}

// Goes through `text`, the content of a database file, line by line, as
// both files are read: a line ends at a line feed or at the end of the text
// (so a final line feed yields one more, empty line), loses one carriage
// return at its end, and is counted from 1. A byte order mark at the very
// start is skipped. Comments and empty lines are skipped; every other line
// goes to handle(line, number), a view into `text`. A line longer than
// longest_line is skipped, and goes to handle as an empty line when it
// begins with '[' (a section header that was lost). When `complete` is
// false, reading ended at a read error, and the last line, which it cut, is
// not used. Logs, unless `logs` is none, a WRN line for each line too long,
// and at level 5 each line skipped (with every_line, each line). True when
// a line was too long.
enum class Line_logs { none, usual, every_line };

template <typename Handle>
bool for_each_line(std::string_view text, bool complete, Line_logs logs, Handle handle)
{
    text = without_byte_order_mark(text);
    // Asked once, not for each of millions of lines.
    const bool dump = logs != Line_logs::none && get_log_level() > 4;
    bool too_long = false;
    unsigned long lnr = 0;
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t lf = static_cast<std::size_t>(find_byte(text.data() + start, text.data() + text.size(), '\n') - text.data());
        if (lf == text.size() && !complete) break;
        std::string_view l = text.substr(start, lf - start);
        start = lf + 1;
        ++lnr;
        if (l.size() > longest_line) {
            if (logs != Line_logs::none) LOG_WRN("Line " << lnr << " is longer than " << longest_line << " bytes: skipped.");
            too_long = true;
            if (l[0] == '[') handle(std::string_view(), lnr);
            continue;
        }
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        if (dump && logs == Line_logs::every_line) LOG_DMP("line=\"" << l << "\"");
        if (l.empty() || l[0] == '#') {
            if (dump) LOG_DMP("Skipping comment or empty line #" << lnr << ": " << l);
            continue;
        }
        handle(l, lnr);
    }
    return too_long;
}

// How many lines `text` has, as for_each_line counts them, and how many of
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

// Logs what reading the lines of barcodes.ini has to say (at level 4 and
// up, each line), the table's sections being those that the reading took
// in: entries `first` and on, in the order of the file.
void log_barcode_lines(std::string_view content, bool complete, const Barcode_table& table, std::size_t first)
{
    const bool debug = get_log_level() > 3;
    std::size_t next = first; // the section of the next header taken in
    bool current = false;     // whether the lines belong to a section taken in
    for_each_line(content, complete, Line_logs::every_line, [&](std::string_view l, unsigned long lnr) {
        if (l.empty()) { // a header too long to read
            current = false;
        } else if (l[0] == '[') {
            if (is_header(l)) {
                std::string_view barcode = l.substr(1, l.size() - 2);
                if (debug) LOG_DBG("Reading barcode definition: \"" << barcode << "\"");
                // A repeated section was not taken in: the first one holds.
                current = next < table.size() && table.barcode(next).data() == barcode.data();
                if (current) ++next;
            } else {
                LOG_WRN("Line " << lnr << " \"" << l
                                << "\" begins with '[' but does not end with ']': line is skipped!");
                current = false;
            }
        } else if (!current) {
            LOG_WRN("Tag-value at line #" << lnr << " \"" << l << "\" outsite barcode definition: ignored");
        } else {
            if (debug) LOG_DBG("Tag_value line #" << lnr << ": \"" << l << "\"");
            if (!is_tag_value(l))
                LOG_WRN("Incorrect tag-value \"" << l << "\" at line " << lnr << " (skipped).");
        }
    });
}

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
    const char* const base = text.data();
    auto at = [base](const char* p) { return static_cast<std::uint32_t>(p - base); };

    // The table is built in one pass that logs nothing; a file with
    // something to say (a bad line, a repeated section, every line at level
    // 4 and up) is gone through again for the log, which most files are not.
    bool to_log = get_log_level() > 3;
    const bool too_long = for_each_line(content, complete, Line_logs::none, [&](std::string_view l, unsigned long) {
        if (l.empty() || (l[0] == '[' && !is_header(l))) { // a header too long to read, or a bad one
            table.end_section();
            to_log = true;
        } else if (l[0] == '[') {
            table.begin_section(at(l.data() + 1), static_cast<std::uint32_t>(l.size() - 2));
        } else if (table.section_open() && is_tag_value(l)) {
            table.add_tag(at(l.data()));
        } else { // a line outside a section, or without '='
            to_log = true;
        }
    });
    if (table.index_sections(first) != 0 || too_long) to_log = true;
    if (to_log) log_barcode_lines(content, complete, table, first);
    LOG_DBG("Ready reading barcode definitions");
}

void Barcode_db::load_formats(std::istream& ff, std::uint64_t max_bytes)
{
    std::string text;
    const bool complete = read_stream(ff, max_bytes, text);
    Format* current = nullptr; // the accepted format that lines go to
    for_each_line(text, complete, Line_logs::usual, [&](std::string_view l, unsigned long lnr) {
        if (l.empty()) { // a header too long to read
            current = nullptr;
        } else if (l[0] == '[') {
            if (is_header(l)) {
                std::string name(l.substr(1, l.size() - 2));
                LOG_DBG("Reading format: \"" << name << "\"");
                auto inserted = my_known_formats.try_emplace(name, name, "");
                current = inserted.second ? &inserted.first->second : nullptr;
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
            current->add_formatting(std::string(l));
        }
    });
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


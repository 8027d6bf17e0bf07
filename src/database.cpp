#include "database.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>

#include "misc.h"
#include "platform.h"

Barcode_db the_barcode_db;

// ---- Tag_value ----

Tag_value::Tag_value(std::string tag, std::string value)
    : is_bad(false), my_tag(std::move(tag)), my_value(std::move(value))
{
}

Tag_value::Tag_value(const std::string& line) : is_bad(false)
{
    std::size_t eq = tag_value_split(line);
    if (eq == std::string::npos) {
        is_bad = true;
        return;
    }
    my_tag.assign(line, 0, eq);
    my_value.assign(line, eq + 1, std::string::npos);
}

// ---- Format ----

Format::Format(std::string format_name, std::string format)
    : my_format_name(std::move(format_name)), my_format(std::move(format))
{
}

std::size_t Format::find_first(const std::string& key, std::size_t from_pos) const
{
    std::size_t i = from_pos;
    while (i < my_format.size()) {
        if (my_format[i] == '\\')
            i += 2;
        else if (my_format[i] == key[0] && my_format.compare(i, key.size(), key) == 0)
            return i;
        else
            ++i;
    }
    return std::string::npos;
}

std::vector<std::string> Format::placeholders(std::size_t& unclosed_at) const
{
    std::vector<std::string> names;
    unclosed_at = std::string::npos;
    for (std::size_t open = find_first("${", 0); open != std::string::npos; open = find_first("${", open)) {
        std::size_t end = find_first("}", open + 2);
        if (end == std::string::npos) {
            unclosed_at = open;
            break;
        }
        names.push_back(my_format.substr(open + 2, end - open - 2));
        open = end + 1;
    }
    return names;
}

std::string Format::merge_tag_values(const Barcode_tags& tags) const
{
    std::string result;
    std::size_t i = 0;
    while (i < my_format.size()) {
        std::size_t open = find_first("${", i);
        if (open == std::string::npos) {
            result.append(my_format, i, std::string::npos);
            break;
        }
        result.append(my_format, i, open - i);
        std::size_t begin = open + 2;
        std::size_t end = find_first("}", begin);
        if (end == std::string::npos) {
            LOG_WRN("Format error: '${' not closed in format '" << my_format_name << "' at position "
                                                                << begin);
            result.append(my_format, open, std::string::npos);
            break;
        }
        std::string tag = "tag." + my_format.substr(begin, end - begin);
        std::string_view value;
        if (tags.find(tag, value))
            result += value;
        else
            LOG_WRN("Tag '" << tag << "' from format '" << my_format_name
                            << "' not found: using empty string.");
        i = end + 1;
    }
    return result;
}

// ---- The barcode table ----

namespace {

// Eight bytes at a time, then mixed so that every bit of the result depends
// on every byte: barcodes that differ in their last digit must not share
// the low bits that choose the slot.
std::uint64_t hash_of(std::string_view bytes)
{
    std::uint64_t h = 14695981039346656037ull ^ bytes.size();
    const char* p = bytes.data();
    std::size_t n = bytes.size();
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        h = (h ^ word) * 0x9e3779b97f4a7c15ull;
        h ^= h >> 29;
    }
    std::uint64_t tail = 0; // byte by byte: the empty barcode's data may be null
    for (std::size_t i = 0; i < n; ++i) tail |= std::uint64_t(static_cast<unsigned char>(p[i])) << (8 * i);
    h = (h ^ tail) * 0x9e3779b97f4a7c15ull;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    return h;
}

} // namespace

std::string_view Barcode_tags::line(std::size_t i) const
{
    const char* begin = my_text + my_lines[i];
    const char* end = static_cast<const char*>(std::memchr(begin, '\n', static_cast<std::size_t>(my_text_end - begin)));
    if (end == nullptr) end = my_text_end;
    if (end > begin && end[-1] == '\r') --end; // the one carriage return the reader drops
    return {begin, static_cast<std::size_t>(end - begin)};
}

bool Barcode_tags::find(std::string_view tag, std::string_view& value) const
{
    // The first line of the tag, in file order: a scan of the handful of
    // lines a section has, each told by its first bytes. A tag is what
    // comes before a line's first '=', so none holds one.
    if (tag.find('=') != std::string_view::npos) return false;
    const char first = tag.empty() ? '=' : tag[0];
    for (std::size_t i = 0; i < my_count; ++i) {
        const char* begin = my_text + my_lines[i];
        if (*begin == first && static_cast<std::size_t>(my_text_end - begin) > tag.size() && begin[tag.size()] == '=' &&
            std::memcmp(begin, tag.data(), tag.size()) == 0) {
            value = line(i).substr(tag.size() + 1);
            return true;
        }
    }
    return false;
}

std::vector<std::pair<std::string_view, std::string_view>> Barcode_tags::list() const
{
    std::vector<std::pair<std::string_view, std::string_view>> tags;
    for (std::size_t i = 0; i < my_count; ++i) {
        const std::string_view l = line(i);
        const std::size_t eq = l.find('=');
        const std::string_view tag = l.substr(0, eq);
        if (std::none_of(tags.begin(), tags.end(), [&](const auto& t) { return t.first == tag; }))
            tags.emplace_back(tag, l.substr(eq + 1));
    }
    return tags;
}

std::size_t Barcode_table::slot_of(std::string_view barcode, std::uint64_t hash) const
{
    const std::size_t mask = my_index.size() - 1;
    const std::uint32_t check = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const Slot& s = my_index[slot];
        // The stored half of the hash spares most visits to the entry and
        // its text, each a cache miss in a large table.
        if (s.entry == 0 || (s.check == check && this->barcode(s.entry - 1) == barcode)) return slot;
    }
}

bool Barcode_table::find(std::string_view barcode, Barcode_tags& tags) const
{
    if (my_index.empty()) return false;
    std::uint32_t entry = my_index[slot_of(barcode, hash_of(barcode))].entry;
    if (entry == 0) return false;
    tags = this->tags(entry - 1);
    return true;
}

std::string_view Barcode_table::barcode(std::size_t i) const
{
    return {my_text.data() + my_entries[i].key, my_entries[i].key_end - my_entries[i].key};
}

Barcode_tags Barcode_table::tags(std::size_t i) const
{
    // A section's tag lines run up to where the next one's begin.
    const std::uint32_t end = i + 1 < my_entries.size() ? my_entries[i + 1].first_tag
                                                        : static_cast<std::uint32_t>(my_tags.size());
    return {my_text.data(), my_text.data() + my_text.size(), my_tags.data() + my_entries[i].first_tag,
            end - my_entries[i].first_tag};
}

void Barcode_table::clear()
{
    my_section_open = false;
    std::string().swap(my_text);
    std::vector<Entry>().swap(my_entries);
    std::vector<std::uint32_t>().swap(my_tags);
    std::vector<Slot>().swap(my_index);
}

void Barcode_table::reserve(std::size_t barcodes, std::size_t tags)
{
    // Reading the whole file at once tells how much room it needs, so the
    // arrays never grow (growing a large array holds it twice for a moment).
    // Room left untouched costs address space only, not memory.
    my_entries.reserve(my_entries.size() + barcodes);
    my_tags.reserve(my_tags.size() + tags);
    advise_large_pages(my_entries.data(), my_entries.capacity() * sizeof(Entry));
    advise_large_pages(my_tags.data(), my_tags.capacity() * sizeof(std::uint32_t));
    index_room(my_entries.size() + barcodes);
}

void Barcode_table::index_room(std::size_t barcodes)
{
    // At most half the slots taken keeps the probe sequences short.
    std::size_t slots = 16;
    while (slots < 2 * barcodes) slots *= 2;
    if (slots <= my_index.size()) return;
    std::vector<Slot> old;
    old.swap(my_index);
    my_index.reserve(slots);
    advise_large_pages(my_index.data(), slots * sizeof(Slot));
    my_index.assign(slots, Slot{0, 0});
    for (const Slot& s : old) {
        if (s.entry == 0) continue;
        std::string_view key = barcode(s.entry - 1);
        my_index[slot_of(key, hash_of(key))] = s;
    }
}

void Barcode_table::begin_section(std::uint32_t begin, std::uint32_t size)
{
    my_entries.push_back({begin, begin + size, static_cast<std::uint32_t>(my_tags.size())});
    my_section_open = true;
}

std::size_t Barcode_table::index_sections(std::size_t first)
{
    my_section_open = false;
    index_room(my_entries.size());
    const std::size_t mask = my_index.size() - 1;
    // In a large table each barcode's text and its index slot are cache
    // misses: the text is asked for 32 barcodes ahead, the slot (once the
    // text is there to hash) 16 ahead, and meanwhile the slots of the
    // barcodes before are filled.
    const std::size_t ahead = 16;
    std::uint64_t hashes[ahead]; // of barcodes i to i + ahead - 1, by i % ahead
    auto hash_ahead = [&](std::size_t i) {
        if (i + 2 * ahead < my_entries.size()) __builtin_prefetch(my_text.data() + my_entries[i + 2 * ahead].key);
        if (i >= my_entries.size()) return;
        hashes[i % ahead] = hash_of(barcode(i));
        __builtin_prefetch(&my_index[hashes[i % ahead] & mask]);
    };
    std::vector<std::size_t> repeated;
    for (std::size_t i = first; i < first + ahead; ++i) hash_ahead(i);
    for (std::size_t i = first; i < my_entries.size(); ++i) {
        const std::uint64_t hash = hashes[i % ahead];
        hash_ahead(i + ahead);
        const std::size_t slot = slot_of(barcode(i), hash);
        if (my_index[slot].entry != 0)
            repeated.push_back(i); // the first section of a barcode holds
        else
            my_index[slot] = {static_cast<std::uint32_t>(i + 1), static_cast<std::uint32_t>(hash >> 32)};
    }
    if (!repeated.empty()) drop_sections(repeated);
    return repeated.size();
}

void Barcode_table::drop_sections(const std::vector<std::size_t>& dropped)
{
    // Repeated sections are rare: the entries and tag lines after the first
    // move down over those dropped, and the index is made again.
    std::size_t kept = dropped.front(), tags_kept = my_entries[kept].first_tag;
    for (std::size_t i = kept, d = 0; i < my_entries.size(); ++i) {
        const std::uint32_t tags_end = i + 1 < my_entries.size() ? my_entries[i + 1].first_tag
                                                                : static_cast<std::uint32_t>(my_tags.size());
        if (d < dropped.size() && dropped[d] == i) {
            ++d;
            continue;
        }
        Entry moved = my_entries[i];
        moved.first_tag = static_cast<std::uint32_t>(tags_kept);
        std::copy(my_tags.begin() + my_entries[i].first_tag, my_tags.begin() + tags_end, my_tags.begin() + tags_kept);
        tags_kept += tags_end - my_entries[i].first_tag;
        my_entries[kept++] = moved;
    }
    my_entries.resize(kept);
    my_tags.resize(tags_kept);
    std::fill(my_index.begin(), my_index.end(), Slot{0, 0});
    for (std::size_t i = 0; i < my_entries.size(); ++i) {
        const std::uint64_t hash = hash_of(barcode(i));
        my_index[slot_of(barcode(i), hash)] = {static_cast<std::uint32_t>(i + 1), static_cast<std::uint32_t>(hash >> 32)};
    }
}

// ---- Reading the two files ----

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
    if (text.substr(0, 3) == "\xef\xbb\xbf") text.remove_prefix(3);
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
    if (text.substr(0, 3) == "\xef\xbb\xbf") text.remove_prefix(3);
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
            if (find_byte(l.data(), l.data() + l.size(), '=') == l.data() + l.size())
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
        } else if (table.section_open() && find_byte(l.data(), l.data() + l.size(), '=') != l.data() + l.size()) {
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

// ---- Reloading ----

namespace {

// Queries the file and tells whether it must be read again; when it must,
// stores the fresh attributes in `stored`. Without `identity`, the file is
// taken to be the one stored.
bool file_changed(const std::string& path, bool identity, File_attributes& stored)
{
    File_attributes fresh;
    bool changed;
    if (!file_attributes(path, fresh, identity)) {
        LOG_WRN("Could not stat " << path << ": force reloading.");
        changed = true;
    } else {
        if (!identity) {
            fresh.device = stored.device;
            fresh.file_id = stored.file_id;
        }
        changed = !fresh.same_version(stored);
    }
    if (changed) {
        LOG_INF("Reloading " << path);
        stored = fresh;
    }
    return changed;
}

} // namespace

template <typename Table>
void Barcode_db::reload_if_changed(const std::string& path, bool identity, File_attributes& stored,
                                   File_reloads& reloads, Table& table,
                                   void (Barcode_db::*read)(std::istream&, std::uint64_t), const char* kind,
                                   const char* end)
{
    if (!file_changed(path, identity, stored)) return;
    const std::chrono::steady_clock::time_point began = std::chrono::steady_clock::now();
    ++reloads.count;
    table.clear();
    const File_attributes opened = stored;
    // Whatever goes wrong, the file is forgotten, so that the next load tries
    // again instead of taking the file as read and answering from nothing.
    auto fail = [&](const std::string& why) {
        reloads.last_took = std::chrono::steady_clock::now() - began;
        stored = File_attributes{};
        table = Table(); // gives the memory back
        if (!why.empty()) LOG_WRN(why);
        throw std::string("ERROR: ") + kind + " \"" + path + "\" not found" + end;
    };
    if (!opened.found) fail("");
    // A named pipe or a device would block or never end.
    if (!opened.is_regular) fail(path + " is a " + opened.kind + ", not a regular file: not read.");
    std::ifstream in;
    // Read in large pieces: a million-barcode file loads a third faster than
    // with the stream's default buffer. One file is read at a time, so one
    // buffer serves both.
    static char buffer[1 << 20];
    in.rdbuf()->pubsetbuf(buffer, sizeof buffer);
    in.open(path, std::ios::in | std::ios::binary);
    if (!in.is_open()) fail("Could not open " + path + ": " + std::strerror(errno));
    try {
        // Up to the size the file had when it was looked at: a file that
        // grows meanwhile has a new last-write time and is read again.
        (this->*read)(in, opened.size);
    } catch (const std::bad_alloc&) {
        fail("Could not read " + path + ": out of memory. It is read again at the next request.");
    } catch (const std::length_error&) {
        fail("Could not read " + path + ": larger than 4 GiB. It is read again at the next request.");
    }
    if (in.bad()) {
        LOG_WRN("Read error in " << path << ": it is read again at the next request.");
        stored = File_attributes{};
    }
    reloads.last_took = std::chrono::steady_clock::now() - began;
}

void Barcode_db::load(const std::string& from_dir, bool identity)
{
    static const std::string current_dir = ".";
    const std::string& dir = from_dir.empty() ? current_dir : from_dir;
    if (dir != my_db_dir) {
        my_db_dir = dir;
        my_barcodes_path = my_db_dir + "/" + database_files[0];
        my_formats_path = my_db_dir + "/" + database_files[1];
    }

    reload_if_changed(my_barcodes_path, identity, my_stat_barcodes_file, my_barcodes_reloads, my_known_barcodes,
                      &Barcode_db::load_barcodes, "barcodes file", ".");
    reload_if_changed(my_formats_path, identity, my_stat_formats_file, my_formats_reloads, my_known_formats,
                      &Barcode_db::load_formats, "format file", "");
}

// ---- Lookup ----

bool Barcode_db::holds(std::string_view code) const
{
    Barcode_tags tags;
    return !code.empty() && my_known_barcodes.find(code, tags);
}

std::string Barcode_db::lookup(std::string_view code, const Shown_barcode& shown, Fallbacks& used) const
{
    LOG_DMP("Looking up barcode \"" << shown << "\"");
    used = Fallbacks{};
    Barcode_tags tags;
    if (!my_known_barcodes.find(code, tags)) {
        used.barcode = true;
        LOG_WRN("Barcode \"" << shown << "\" not defined in database.");
        if (!my_known_barcodes.find(std::string_view(), tags))
            throw "Unknown barcode " + shown.text() + " and no backup barcode [] available";
    }
    LOG_DMP("Barcode found");

    std::string_view format_name;
    if (!tags.find("format", format_name))
        LOG_WRN("No format specified for barcode '" << shown << "'");
    LOG_DMP("Using format \"" << format_name << "\"");

    auto format = my_known_formats.find(std::string(format_name));
    used.format = format_name.empty();
    if (format != my_known_formats.end()) {
        LOG_DMP("Format \"" << format_name << "\" found");
    } else {
        used.format = true;
        format = my_known_formats.find(std::string());
        if (format == my_known_formats.end())
            throw "Unknown format for barcode " + shown.text() + " and no backup format [] available";
        LOG_WRN("Unknown format for barcode '" << shown << "': using default.");
    }
    return format->second.merge_tag_values(tags);
}

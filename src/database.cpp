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
    std::uint64_t tail = 0;
    std::memcpy(&tail, p, n);
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
    end_section();
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
    std::size_t slots = 16;
    while (slots < 2 * (my_entries.size() + barcodes)) slots *= 2;
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

void Barcode_table::add_barcodes(const std::vector<Key>& keys)
{
    end_section();
    my_next_entry = my_entries.size();
    reserve(keys.size(), 0);
    const std::size_t mask = my_index.size() - 1;
    // A slot in a large index is a cache miss: ask for a group's slots
    // together, then fill them.
    const std::size_t group = 16;
    std::uint64_t hashes[group];
    for (std::size_t first = 0; first < keys.size(); first += group) {
        const std::size_t n = std::min(group, keys.size() - first);
        for (std::size_t i = 0; i < n; ++i) {
            const Key& k = keys[first + i];
            hashes[i] = hash_of(std::string_view(my_text.data() + k.begin, k.size));
            __builtin_prefetch(&my_index[hashes[i] & mask]);
        }
        for (std::size_t i = 0; i < n; ++i) {
            const Key& k = keys[first + i];
            const std::string_view barcode(my_text.data() + k.begin, k.size);
            const std::size_t slot = slot_of(barcode, hashes[i]);
            if (my_index[slot].entry != 0) continue; // a repeated section: the first one holds
            my_entries.push_back({k.begin, k.begin + k.size, static_cast<std::uint32_t>(my_tags.size())});
            my_index[slot] = {static_cast<std::uint32_t>(my_entries.size()), static_cast<std::uint32_t>(hashes[i] >> 32)};
        }
    }
}

bool Barcode_table::begin_section(std::uint32_t begin)
{
    end_section();
    while (my_next_entry < my_entries.size() && my_entries[my_next_entry].key < begin) ++my_next_entry;
    if (my_next_entry == my_entries.size() || my_entries[my_next_entry].key != begin) return false;
    my_open_section = ++my_next_entry;
    my_entries[my_next_entry - 1].first_tag = static_cast<std::uint32_t>(my_tags.size());
    return true;
}

void Barcode_table::end_section()
{
    my_open_section = 0;
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

// Goes through `text`, the content of a database file, line by line, as
// both files are read: a line ends at a line feed or at the end of the text
// (so a final line feed yields one more, empty line), loses one carriage
// return at its end, and is counted from 1. A byte order mark at the very
// start is skipped. Comments and empty lines are skipped; every other line
// goes to handle(line, number), a view into `text`. A line longer than
// longest_line is skipped with a WRN line, and goes to handle as an empty
// line when it begins with '[' (a section header that was lost). When
// `complete` is false, reading ended at a read error, and the last line,
// which it cut, is not used. With dump_every_line, level 5 logs each line.
template <typename Handle>
void for_each_line(std::string_view text, bool complete, bool dump_every_line, Handle handle)
{
    if (text.substr(0, 3) == "\xef\xbb\xbf") text.remove_prefix(3);
    const bool dump = get_log_level() > 4; // asked once, not for each of millions of lines
    unsigned long lnr = 0;
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t lf = text.find('\n', start);
        if (lf == std::string_view::npos) {
            if (!complete) return;
            lf = text.size();
        }
        std::string_view l = text.substr(start, lf - start);
        start = lf + 1;
        ++lnr;
        if (l.size() > longest_line) {
            LOG_WRN("Line " << lnr << " is longer than " << longest_line << " bytes: skipped.");
            if (l[0] == '[') handle(std::string_view(), lnr);
            continue;
        }
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        if (dump && dump_every_line) LOG_DMP("line=\"" << l << "\"");
        if (l.empty() || l[0] == '#') {
            if (dump) LOG_DMP("Skipping comment or empty line #" << lnr << ": " << l);
            continue;
        }
        handle(l, lnr);
    }
}

// The lines of `text` and its section headers, as for_each_line will see
// them, found at memory speed before the lines are read one by one.
struct Sections {
    std::size_t lines = 0;
    std::vector<Barcode_table::Key> headers;
};

Sections find_sections(std::string_view text, bool complete)
{
    Sections found;
    const char* const origin = text.data(); // header positions count from here
    if (text.substr(0, 3) == "\xef\xbb\xbf") text.remove_prefix(3);
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    // Every line feed ends a line; what follows the last is a line too,
    // unless a read error cut it.
    found.lines = static_cast<std::size_t>(std::count(begin, end, '\n')) + (complete ? 1 : 0);
    // A header is a line that begins with '[': look for those only.
    for (const char* p = begin; p < end;) {
        const char* bracket = static_cast<const char*>(std::memchr(p, '[', static_cast<std::size_t>(end - p)));
        if (bracket == nullptr) break;
        const char* lf = static_cast<const char*>(std::memchr(bracket, '\n', static_cast<std::size_t>(end - bracket)));
        if (lf == nullptr && !complete) break; // the line cut by a read error
        const char* line_end = lf != nullptr ? lf : end;
        if ((bracket == begin || bracket[-1] == '\n') && static_cast<std::size_t>(line_end - bracket) <= longest_line) {
            std::string_view l(bracket, static_cast<std::size_t>(line_end - bracket));
            if (l.back() == '\r') l.remove_suffix(1);
            if (is_header(l))
                found.headers.push_back({static_cast<std::uint32_t>(l.data() + 1 - origin), static_cast<std::uint32_t>(l.size() - 2)});
        }
        if (lf == nullptr) break;
        p = lf + 1;
    }
    return found;
}

} // namespace

void Barcode_db::load_barcodes(std::istream& bf, std::uint64_t max_bytes)
{
    Barcode_table& table = my_known_barcodes;
    std::string& text = table.text();
    const std::size_t start = text.size();
    const bool complete = read_stream(bf, max_bytes, text);
    std::string_view content = std::string_view(text).substr(start);
    // All barcodes go into the index first, many at a time, which is several
    // times faster in a large table than one after another; the lines are
    // then read in order, each header taking what the index made of it.
    Sections sections = find_sections(content, complete);
    for (Barcode_table::Key& key : sections.headers) key.begin += start;
    table.reserve(sections.headers.size(), sections.lines - sections.headers.size());
    table.add_barcodes(sections.headers);
    // The tag lines take room from here on; the headers are done with.
    std::vector<Barcode_table::Key>().swap(sections.headers);
    const char* base = text.data();
    auto at = [base](const char* p) { return static_cast<std::uint32_t>(p - base); };

    const bool debug = get_log_level() > 3;
    bool current = false; // whether tag lines go to an accepted section
    for_each_line(content, complete, true, [&](std::string_view l, unsigned long lnr) {
        if (l.empty()) { // a header too long to read
            table.end_section();
            current = false;
        } else if (l[0] == '[') {
            if (is_header(l)) {
                std::string_view barcode = l.substr(1, l.size() - 2);
                if (debug) LOG_DBG("Reading barcode definition: \"" << barcode << "\"");
                current = table.begin_section(at(barcode.data()));
            } else {
                LOG_WRN("Line " << lnr << " \"" << l
                                << "\" begins with '[' but does not end with ']': line is skipped!");
                table.end_section();
                current = false;
            }
        } else if (!current) {
            LOG_WRN("Tag-value at line #" << lnr << " \"" << l << "\" outsite barcode definition: ignored");
        } else {
            if (debug) LOG_DBG("Tag_value line #" << lnr << ": \"" << l << "\"");
            std::size_t eq = tag_value_split(l);
            if (eq == std::string_view::npos)
                LOG_WRN("Incorrect tag-value \"" << l << "\" at line " << lnr << " (skipped).");
            else
                table.add_tag(at(l.data()));
        }
    });
    table.end_section();
    LOG_DBG("Ready reading barcode definitions");
}

void Barcode_db::load_formats(std::istream& ff, std::uint64_t max_bytes)
{
    std::string text;
    const bool complete = read_stream(ff, max_bytes, text);
    Format* current = nullptr; // the accepted format that lines go to
    for_each_line(text, complete, false, [&](std::string_view l, unsigned long lnr) {
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

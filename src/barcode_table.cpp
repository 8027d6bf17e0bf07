#include "barcode_table.h"

#include <algorithm>
#include <cstring>

#include "database_lines.h"
#include "platform_files.h"

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

bool Barcode_tags::find(std::string_view prefix, std::string_view name, std::string_view& value) const
{
    // The first line of the tag, in file order: a scan of the handful of
    // lines a section has, each told by its first bytes. A tag is what
    // comes before a line's split, so none holds a '='.
    if (tag_value_split(prefix) != std::string_view::npos || tag_value_split(name) != std::string_view::npos)
        return false;
    const std::size_t size = prefix.size() + name.size();
    const char first = !prefix.empty() ? prefix[0] : !name.empty() ? name[0] : '=';
    for (std::size_t i = 0; i < my_count; ++i) {
        const char* begin = my_text + my_lines[i];
        if (*begin == first && static_cast<std::size_t>(my_text_end - begin) > size && begin[size] == '=' &&
            std::string_view(begin, prefix.size()) == prefix && std::string_view(begin + prefix.size(), name.size()) == name) {
            value = line(i).substr(size + 1);
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
        const std::size_t eq = tag_value_split(l);
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

void Barcode_table::prefetch(const std::string_view* barcodes, std::size_t count) const
{
    if (my_index.empty()) return;
    const std::size_t mask = my_index.size() - 1;
    const std::size_t most = 64;
    std::size_t slots[most];
    for (std::size_t first = 0; first < count; first += most) {
        const std::size_t n = std::min(count - first, most);
        // Three rounds, each reading what the one before asked for.
        for (std::size_t i = 0; i < n; ++i) {
            slots[i] = hash_of(barcodes[first + i]) & mask;
            __builtin_prefetch(&my_index[slots[i]]);
        }
        for (std::size_t i = 0; i < n; ++i)
            if (const std::uint32_t entry = my_index[slots[i]].entry) __builtin_prefetch(&my_entries[entry - 1]);
        for (std::size_t i = 0; i < n; ++i) {
            if (const std::uint32_t entry = my_index[slots[i]].entry) {
                const Entry& e = my_entries[entry - 1];
                __builtin_prefetch(my_text.data() + e.key);
                if (e.key + 64 < my_text.size()) __builtin_prefetch(my_text.data() + e.key + 64); // its first tag lines
                if (e.first_tag < my_tags.size()) __builtin_prefetch(&my_tags[e.first_tag]);
            }
        }
    }
}

std::string_view Barcode_table::barcode(std::size_t i) const
{
    return {my_text.data() + my_entries[i].key, my_entries[i].key_end - my_entries[i].key};
}

Barcode_tags Barcode_table::tags(std::size_t i) const
{
    return {my_text.data(), my_text.data() + my_text.size(), my_tags.data() + my_entries[i].first_tag,
            tags_end(i) - my_entries[i].first_tag};
}

void Barcode_table::clear()
{
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
}

std::size_t Barcode_table::index_sections(std::size_t first)
{
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
        const std::uint32_t end = tags_end(i);
        if (d < dropped.size() && dropped[d] == i) {
            ++d;
            continue;
        }
        Entry moved = my_entries[i];
        moved.first_tag = static_cast<std::uint32_t>(tags_kept);
        std::copy(my_tags.begin() + my_entries[i].first_tag, my_tags.begin() + end, my_tags.begin() + tags_kept);
        tags_kept += end - my_entries[i].first_tag;
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


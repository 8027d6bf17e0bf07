// The barcode table: what the reader of barcodes.ini keeps of it, and the
// index that finds a barcode's tags.
#ifndef ULVANE_BARCODE_TABLE_H
#define ULVANE_BARCODE_TABLE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The tags of one barcode: a view of its section's tag lines in the barcode
// table's text, in the order of the file, valid until the table is read
// again; the default one has no tags. A tag's value is that of its first
// line, as the reader of barcodes.ini wants it.
class Barcode_tags {
public:
    Barcode_tags() = default;
    // `lines`: where each tag line begins in `text`, which ends at `text_end`.
    Barcode_tags(const char* text, const char* text_end, const std::uint32_t* lines, std::size_t count)
        : my_text(text), my_text_end(text_end), my_lines(lines), my_count(count)
    {
    }

    bool empty() const { return my_count == 0; }
    // True, with `value` set, when the barcode has `tag`; the second form
    // looks for the tag `prefix` + `name` without building it.
    bool find(std::string_view tag, std::string_view& value) const { return find({}, tag, value); }
    bool find(std::string_view prefix, std::string_view name, std::string_view& value) const;
    // Each tag once with its value, in the order of the file.
    std::vector<std::pair<std::string_view, std::string_view>> list() const;

private:
    // The i-th tag line, without its line end.
    std::string_view line(std::size_t i) const;

    const char* my_text = nullptr;
    const char* my_text_end = nullptr;
    const std::uint32_t* my_lines = nullptr;
    std::size_t my_count = 0;
};

// The barcode table, built for lookups: the text of barcodes.ini kept whole,
// each accepted section's barcode and tag lines found in it by position (a
// tag line by where it begins: 4 bytes, the tag and value found in the text
// when asked for), the tag lines of all barcodes in one flat array, and a
// hash index on the barcodes' exact bytes. Texts are limited to 4 GiB.
class Barcode_table {
public:
    std::size_t size() const { return my_entries.size(); }
    bool empty() const { return my_entries.empty(); }
    // True, with `tags` set, when `barcode` is in the table.
    bool find(std::string_view barcode, Barcode_tags& tags) const;
    // Asks the memory for what finding `count` barcodes will read, for a
    // batch of requests about to be answered: in a large table each
    // barcode's index slot, entry and text are cache misses, which a lookup
    // waits for one after the other; asked for together, a batch waits
    // about as long as a single lookup. Changes nothing.
    void prefetch(const std::string_view* barcodes, std::size_t count) const;
    // The i-th barcode in the order of the file, and its tags.
    std::string_view barcode(std::size_t i) const;
    Barcode_tags tags(std::size_t i) const;

    // Empties the table and gives its memory back.
    void clear();

    // Building, as the reader does it. The text read so far; the reader
    // appends to it and gives positions in it.
    std::string& text() { return my_text; }
    const std::string& text() const { return my_text; }
    // Room for so many more barcodes and tag lines.
    void reserve(std::size_t barcodes, std::size_t tags);
    // Starts a section for the barcode of `size` bytes at `begin` in the
    // text, which the tag lines that follow go to.
    void begin_section(std::uint32_t begin, std::uint32_t size);
    // Adds a tag line (where it begins in the text) to the current section.
    void add_tag(std::uint32_t line) { my_tags.push_back(line); }
    // Puts the sections from the `first` on into the index (find sees none
    // of them before), all at once: several times faster in a large table
    // than one by one. A repeated section is dropped with its tag lines (the
    // first one of a barcode holds); returns how many were.
    std::size_t index_sections(std::size_t first);

private:
    struct Entry {
        std::uint32_t key;
        std::uint32_t key_end;
        std::uint32_t first_tag; // its tag lines run up to the next entry's first
    };
    struct Slot {
        std::uint32_t entry; // entry number + 1; 0: the slot is free
        std::uint32_t check; // the high half of the barcode's hash
    };
    // Where entry i's tag lines end in my_tags: where the next one's begin.
    std::uint32_t tags_end(std::size_t i) const
    {
        return i + 1 < my_entries.size() ? my_entries[i + 1].first_tag : static_cast<std::uint32_t>(my_tags.size());
    }
    // Removes the entries `dropped` (in order) and their tag lines.
    void drop_sections(const std::vector<std::size_t>& dropped);
    // Makes the index big enough for so many barcodes in all.
    void index_room(std::size_t barcodes);
    // The index slot that holds `barcode`, or the free one where it belongs.
    std::size_t slot_of(std::string_view barcode, std::uint64_t hash) const;

    std::string my_text;
    std::vector<Entry> my_entries;
    std::vector<std::uint32_t> my_tags; // where each tag line begins
    std::vector<Slot> my_index; // open addressing, linear probing
};

#endif

// What a check finds in the lines of files, said one line for each kind of
// fault, whatever the values: a kind is a message with its quoted values
// and numbers blanked (values_blanked), so a million rows with one fault
// cost one line and the memory of one kind. The line is the kind's first
// finding (by line), then how many more there are, and the first five of
// their lines, each with its quoted values where they differ from the
// first's: "(and 999999 more like it, at lines 3 ('251 ml'), 4 ('252 ml'),
// 5 ('253 ml'), 6 ('254 ml'), 7 ('255 ml'), ...)".
#ifndef ULVANE_FINDINGS_H
#define ULVANE_FINDINGS_H

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// `message` with each quoted value ('...' or "...") as '*' and each number
// as N; with `values`, its quoted values, quotes and all. An apostrophe
// after a letter ("a shop's") opens no quote, nor one with no other within
// 80 bytes.
std::string values_blanked(std::string_view message, std::vector<std::string>* values = nullptr);

class Findings {
public:
    // A finding at `line` (0: of the whole file) of file `file` (an index
    // into the names write takes). Its kind is `kind` with its values
    // blanked, `message` when empty.
    void add(std::size_t file, unsigned long line, bool error, const std::string& message, std::string_view kind = {});
    // Every finding added, each kind's too.
    std::size_t count() const { return my_count; }
    // Each kind on a line, in the order of files and first lines:
    // "NAME:LINE: " (no ":LINE" for line 0), then `warning` or `error`,
    // the message, and what more there are of it ("rows" or "lines").
    void write(std::ostream& out, const std::vector<std::string>& names, const char* warning, const char* error,
               const char* more_of) const;

private:
    struct More {
        unsigned long line;
        std::vector<std::string> values;
    };
    struct Kind {
        std::size_t file;
        std::size_t order; // of its first finding, to keep kinds of one line in order
        bool error;
        unsigned long line; // of the first finding
        std::string message;
        std::vector<std::string> values;
        std::size_t more = 0;
        std::vector<More> more_lines; // the first few, in order of lines
    };

    std::unordered_map<std::string, Kind> my_kinds;
    std::size_t my_count = 0;
};

#endif

// Tag values and formats: a tag=value line split, and a template of
// formats.ini with the tag values merged into its ${name} placeholders.
#ifndef ULVANE_FORMATS_H
#define ULVANE_FORMATS_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "barcode_table.h"
#include "database_lines.h"
#include "gs1.h"
#include "scale_labels.h"

// One tag and its value, parsed from a tag=value line. Ordered and compared
// by tag alone.
class Tag_value {
public:
    Tag_value(std::string tag, std::string value);
    // Splits `line` at its first '='; nothing is trimmed. Without '=' the
    // value is bad (fail() is true) with an empty tag and value.
    explicit Tag_value(const std::string& line);

    bool fail() const { return is_bad; }
    const std::string& tag() const { return my_tag; }
    const std::string& value() const { return my_value; }
    bool operator<(const Tag_value& other) const { return my_tag < other.my_tag; }

private:
    bool is_bad;
    std::string my_tag;
    std::string my_value;
};

// A named template.
class Format {
public:
    Format(std::string format_name, std::string format);

    // Appends `fmt` to the template text, with nothing in between.
    void add_formatting(std::string_view fmt)
    {
        my_format += fmt;
        my_asks_label = my_asks_label || fmt.find("label.") != std::string_view::npos;
    }
    // Whether a placeholder may ask for a scale label's value (${label.…}).
    bool asks_label() const { return my_asks_label; }

    // The template with every ${name} replaced by the value of the tag
    // "tag." + name. A backslash and the character after it are passed over
    // as a pair. Logs WRN for a missing tag (it becomes empty) and for an
    // unclosed "${" (the rest is copied unchanged). Never throws.
    // ${gs1.AI} and ${gs1.AI:PATTERN} (see is_code_value) take the tag
    // "tag.gs1.AI", or when the entry has none, the value of the AI in the
    // scanned `code`; a date (AIs 11 to 17) with a pattern is written as
    // gs1_date_text writes it; ${gs1.310x} (a decimal family: see
    // gs1_decimal_text) the value of whichever AI of the family the code
    // carries, with its decimal point. ${label.value} ${label.unit}
    // ${label.item} show what a scale label carries (`label`, when its rule
    // is set): its value with the rule's decimals, the rule's unit, its
    // item digits. A value the code lacks becomes empty, without a warning:
    // not every code carries every AI.
    // The first form appends the result to `out`; the second has no code.
    void merge_tag_values(const Barcode_tags& tags, Gs1_code& code, const Label_match& label, std::string& out) const;
    std::string merge_tag_values(const Barcode_tags& tags) const;

    // Whether a placeholder's name asks for a value of the scanned code
    // ("gs1.17", "label.value"), which an entry may give but need not.
    static bool is_code_value(std::string_view name)
    {
        return name.substr(0, 4) == "gs1." || name.substr(0, 6) == "label.";
    }

    // The names in the template's ${name} placeholders, in order, as
    // merge_tag_values finds them; `unclosed_at` is where a "${" that is
    // never closed begins (npos when none is). Logs nothing.
    std::vector<std::string> placeholders(std::size_t& unclosed_at) const;

    bool operator<(const Format& other) const { return my_format_name < other.my_format_name; }
    const std::string& name() const { return my_format_name; }
    const std::string& text() const { return my_format; }

private:
    // The first position at or after from_pos where `key` stands, passing
    // over escape pairs; std::string::npos when there is none.
    std::size_t find_first(const std::string& key, std::size_t from_pos) const;

    std::string my_format_name;
    std::string my_format;
    bool my_asks_label = false;
};

#endif

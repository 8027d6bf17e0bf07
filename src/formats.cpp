#include "formats.h"

#include <ctime>

#include "log.h"

namespace {

// The year now, which decides a GS1 date's century.
int this_year()
{
    const std::time_t now = std::time(nullptr);
    const std::tm* utc = std::gmtime(&now);
    return utc != nullptr ? utc->tm_year + 1900 : 2026;
}

// The value of ${gs1.AI} or ${gs1.AI:PATTERN}, `asked` being what follows
// "gs1.": the entry's tag.gs1.AI, else the code's (of a decimal family
// "310x" with its decimal point).
void append_code_value(std::string_view asked, const Barcode_tags& tags, Gs1_code& code, std::string& out)
{
    const std::size_t colon = asked.find(':');
    const std::string_view ai = asked.substr(0, colon);
    std::string_view value;
    if (!tags.find("tag.gs1.", ai, value)) {
        if (gs1_decimal_text(code, ai, out)) return;
        if (!code.find(ai, value)) {
            LOG_DMP("No value of AI " << ai << " in the entry or the barcode: using empty string.");
            return;
        }
    }
    if (colon == std::string_view::npos || !gs1_is_date_ai(ai) ||
        !gs1_date_text(value, asked.substr(colon + 1), this_year(), out))
        out += value;
}

// The value of ${label.NAME}, `asked` being NAME: the entry's
// tag.label.NAME, else what the scale label carries.
void append_label_value(std::string_view asked, const Barcode_tags& tags, const Label_match& label, std::string& out)
{
    std::string_view value;
    if (tags.find("tag.label.", asked, value))
        out += value;
    else if (label.rule == nullptr)
        return;
    else if (asked == "value")
        label.append_value(out);
    else if (asked == "unit")
        out += label.rule->unit;
    else if (asked == "item")
        out += label.item;
}

} // namespace

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
    : my_format_name(std::move(format_name)), my_format(std::move(format)),
      my_asks_label(my_format.find("label.") != std::string::npos)
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
    Gs1_code none;
    merge_tag_values(tags, none, Label_match(), result);
    return result;
}

void Format::merge_tag_values(const Barcode_tags& tags, Gs1_code& code, const Label_match& label,
                              std::string& result) const
{
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
        const std::string_view name = std::string_view(my_format).substr(begin, end - begin);
        std::string_view value;
        if (name.substr(0, 6) == "label.")
            append_label_value(name.substr(6), tags, label, result);
        else if (is_code_value(name))
            append_code_value(name.substr(4), tags, code, result);
        else if (tags.find("tag.", name, value))
            result += value;
        else
            LOG_WRN("Tag 'tag." << name << "' from format '" << my_format_name
                                << "' not found: using empty string.");
        i = end + 1;
    }
}


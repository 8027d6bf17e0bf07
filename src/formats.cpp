#include "formats.h"

#include "log.h"

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
    merge_tag_values(tags, result);
    return result;
}

void Format::merge_tag_values(const Barcode_tags& tags, std::string& result) const
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
        if (tags.find("tag.", name, value))
            result += value;
        else
            LOG_WRN("Tag 'tag." << name << "' from format '" << my_format_name
                                << "' not found: using empty string.");
        i = end + 1;
    }
}


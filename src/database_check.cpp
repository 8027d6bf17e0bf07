#include "database_check.h"

#include <algorithm>

#include "escapes.h"
#include "gs1.h"

namespace {

const std::size_t largest_udp_payload = 65507;

} // namespace

bool equal_but_case(std::string_view a, std::string_view b)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

std::string quoted(std::string_view s)
{
    return "'" + escape_control_bytes(std::string(s)) + "'";
}

std::string invisible_end(std::string_view name)
{
    static const std::pair<std::string_view, const char*> invisible[] = {
        {"\xc2\xa0", "a no-break space"},        {"\xe2\x80\xaf", "a narrow no-break space"},
        {"\xe2\x80\x8b", "a zero-width space"}, {"\xe2\x80\x8c", "a zero-width non-joiner"},
        {"\xe2\x80\x8d", "a zero-width joiner"}, {"\xe2\x81\xa0", "a word joiner"},
        {"\xef\xbb\xbf", "a byte order mark"},  {"\xa0", "a no-break space"},
        {" ", "a blank"},                        {"\t", "a tab"},
    };
    for (const auto& i : invisible) {
        if (name.substr(0, i.first.size()) == i.first) return std::string("begins with ") + i.second;
        if (name.size() >= i.first.size() && name.substr(name.size() - i.first.size()) == i.first)
            return std::string("ends with ") + i.second;
    }
    return "";
}

std::string differs_in_case(std::string_view name, const std::vector<std::string_view>& names)
{
    for (std::string_view n : names)
        if (equal_but_case(n, name)) return " (it has " + quoted(n) + ", which differs only in case)";
    return "";
}

namespace {

bool all_digits(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

std::string full_label_warning(const std::vector<Label_rule>& rules, std::string_view barcode)
{
    Label_match label;
    if (!match_label(rules, barcode, label) || label.key() == barcode) return "";
    return "barcode " + quoted(barcode) + " is a label of rule " + quoted(label.rule->name) +
           " with its value: only that label finds it; list the article as " + std::string(label.key()) +
           ", which every label of it finds";
}

std::string check_digit_warning(std::string_view barcode)
{
    const std::size_t n = barcode.size();
    if (!(n == 8 || n == 12 || n == 13 || n == 14) || !all_digits(barcode)) return "";
    const char expected = gs1_check_digit(barcode.substr(0, n - 1));
    if (barcode[n - 1] == expected) return "";
    return "barcode " + quoted(barcode) + " ends in " + barcode[n - 1] + ", but the check digit of a GS1 code of " +
           std::to_string(n) + " digits with these is " + expected + ": mistyped? (a shop's own code may be so)";
}

namespace {

std::size_t leading_digits(std::string_view text, std::size_t from)
{
    std::size_t i = from;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i - from;
}

// A number in a spreadsheet's form: digits with a fraction of zeros alone
// (4006381333931.0, ,00), or a mantissa of one digit, maybe with a
// fraction, and an exponent with its sign (4.00638E+12, 4E+12, 1,2E-03).
bool is_spreadsheet_number(std::string_view barcode)
{
    std::size_t i = leading_digits(barcode, 0);
    const std::size_t whole = i;
    if (whole == 0 || i == barcode.size()) return false;
    if (barcode[i] == '.' || barcode[i] == ',') {
        const std::size_t n = leading_digits(barcode, ++i);
        if (n == 0) return false;
        if (i + n == barcode.size()) return barcode.substr(i, n).find_first_not_of('0') == std::string_view::npos;
        i += n;
    }
    if ((barcode[i] != 'e' && barcode[i] != 'E') || whole != 1) return false;
    if (++i == barcode.size() || (barcode[i] != '+' && barcode[i] != '-')) return false;
    const std::size_t n = leading_digits(barcode, ++i);
    return n > 0 && i + n == barcode.size();
}

// Digits in groups of three after the first (1 to 3), at least two
// separators, one kind of them: the code's digits, or empty.
std::string without_digit_groups(std::string_view barcode)
{
    static const std::string_view separators[] = {",", ".", " ", "\xc2\xa0", "\xe2\x80\xaf"};
    std::size_t i = leading_digits(barcode, 0);
    if (i == 0 || i > 3) return "";
    for (std::string_view separator : separators) {
        std::string digits(barcode.substr(0, i));
        std::size_t at = i, groups = 0;
        while (barcode.substr(at, separator.size()) == separator && leading_digits(barcode, at + separator.size()) == 3) {
            digits.append(barcode.substr(at + separator.size(), 3));
            at += separator.size() + 3;
            ++groups;
        }
        if (at == barcode.size() && groups >= 2) return digits;
    }
    return "";
}

} // namespace

std::string spreadsheet_damage(std::string_view barcode, const char*& kind)
{
    const char* const again = "format the barcode column as text and save the CSV again";
    if (is_spreadsheet_number(barcode)) {
        kind = "spreadsheet number";
        return std::string("is a number as a spreadsheet writes it, and the code is lost: ") + again;
    }
    if (barcode.size() > 3 && barcode.substr(0, 2) == "=\"" && barcode.back() == '"') {
        kind = "text formula";
        return "is a text formula of a spreadsheet for " + quoted(barcode.substr(2, barcode.size() - 3)) +
               ": write the code alone (export the values, not the formulas)";
    }
    if (barcode.size() > 1 && barcode[0] == '\'') {
        kind = "text apostrophe";
        return "begins with the apostrophe that marks a spreadsheet cell as text: write " + quoted(barcode.substr(1)) +
               " alone";
    }
    const std::string digits = without_digit_groups(barcode);
    if (!digits.empty()) {
        kind = "digit groups";
        return "is " + quoted(digits) + " written with digit groups (a column formatted as a number, #,##0): " + again;
    }
    return "";
}

Answer_check::Answer_check(const Barcode_db::Format_table& formats) : my_formats(formats)
{
    for (const auto& f : formats) {
        std::size_t unclosed_at = 0;
        std::vector<std::string> tags = f.second.placeholders(unclosed_at);
        // A code's own values need no tag.
        tags.erase(std::remove_if(tags.begin(), tags.end(), Format::is_code_value), tags.end());
        my_placeholders[f.first] = std::move(tags);
    }
}

const std::string* Answer_check::check(std::string_view barcode, const Barcode_tags& tags,
                                       std::vector<std::string>& errors) const
{
    std::string_view name;
    const bool has_line = tags.find("format", name);
    bool named;
    const auto format = answering_format(my_formats, name, named);
    const bool answered = format != my_formats.end();
    if (name.empty() && !answered) {
        errors.push_back("barcode " + quoted(barcode) + (has_line ? " has an empty format= line" : " has no format= line") +
                         ", and there is no fallback format []");
        return nullptr;
    }
    if (!named) {
        std::vector<std::string_view> names;
        for (const auto& f : my_formats) names.push_back(f.first);
        errors.push_back("barcode " + quoted(barcode) + " names format " + quoted(name) + ", which formats.ini lacks" +
                         differs_in_case(name, names) + ": " +
                         (answered ? "the fallback format [] answers it"
                                   : "there is no fallback format [], so it is not answered"));
    }
    if (!answered) return nullptr;
    for (const std::string& p : my_placeholders.at(format->first)) {
        std::string_view value;
        if (tags.find("tag." + p, value)) continue;
        std::vector<std::string_view> names;
        for (const auto& t : tags.list()) names.push_back(t.first);
        errors.push_back("barcode " + quoted(barcode) + " has no tag." + p + " for ${" + p + "} of format " +
                         quoted(format->first) + ": the answer holds an empty string there" +
                         differs_in_case("tag." + p, names));
    }
    const std::size_t size = text_to_bytes(format->second.merge_tag_values(tags)).size();
    if (size > largest_udp_payload)
        errors.push_back("the answer to barcode " + quoted(barcode) + " is " + std::to_string(size) +
                         " bytes, more than a UDP datagram holds (65507): it is never sent");
    return &format->first;
}

#include "scale_labels.h"

#include <algorithm>

#include "gs1.h"

namespace {

// GS1's weights for a verifier digit: each maps a digit to its product
// (units digit; for 2- and 5- less the tens digit, for 5+ plus it).
constexpr int two_minus[10] = {0, 2, 4, 6, 8, 9, 1, 3, 5, 7};
constexpr int three[10] = {0, 3, 6, 9, 2, 5, 8, 1, 4, 7};
constexpr int five_plus[10] = {0, 5, 1, 6, 2, 7, 3, 8, 4, 9};
constexpr int five_minus[10] = {0, 5, 9, 4, 8, 3, 7, 2, 6, 1};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The next word of `text` (blanks between), taken off it.
std::string_view next_word(std::string_view& text)
{
    const std::size_t begin = std::min(text.find_first_not_of(' '), text.size());
    const std::size_t end = std::min(text.find(' ', begin), text.size());
    const std::string_view word = text.substr(begin, end - begin);
    text.remove_prefix(end);
    return word;
}

} // namespace

char gs1_verifier_digit(std::string_view value)
{
    int sum = 0;
    if (value.size() == 4) {
        const int* const weights[] = {two_minus, two_minus, three, five_minus};
        for (std::size_t i = 0; i < 4; ++i) sum += weights[i][value[i] - '0'];
        return static_cast<char>('0' + sum * 3 % 10);
    }
    // Five digits: the verifier's own product (weight 5-) makes the sum a
    // multiple of 10.
    const int* const weights[] = {five_plus, two_minus, five_minus, five_plus, two_minus};
    for (std::size_t i = 0; i < 5; ++i) sum += weights[i][value[i] - '0'];
    const int wanted = (10 - sum % 10) % 10;
    return static_cast<char>('0' + (std::find(five_minus, five_minus + 10, wanted) - five_minus));
}

bool Label_rule::read(std::string_view rule_name, std::string_view text, std::string& error)
{
    name = std::string(rule_name);
    layout = std::string(next_word(text));
    kind = std::string(next_word(text));
    const std::string_view places = next_word(text);
    unit = std::string(next_word(text));
    const auto count = [this](char c) { return static_cast<std::size_t>(std::count(layout.begin(), layout.end(), c)); };
    const std::size_t values = count('V');
    if (layout.size() != 12 && layout.size() != 13)
        error = "its layout has " + std::to_string(layout.size()) + " digits, not 13 (EAN-13) or 12 (UPC-A)";
    else if (layout.find_first_not_of("0123456789IVXC") != std::string::npos)
        error = "its layout holds " + std::string(1, layout[layout.find_first_not_of("0123456789IVXC")]) +
                ", which is none of a digit, I, V, X and C";
    else if (layout.back() != 'C' || count('C') != 1)
        error = "its layout must end in its one check digit C";
    else if (count('I') == 0 || values == 0)
        error = "its layout needs item digits I and value digits V";
    else if (layout.find_first_not_of('V', layout.find('V')) <= layout.rfind('V') ||
             layout.find_first_not_of('I', layout.find('I')) <= layout.rfind('I'))
        error = "its item digits I, and its value digits V, must stand together";
    else if (count('X') > 1 || (count('X') == 1 && values != 4 && values != 5))
        error = "a verifier digit X goes with a value of 4 or 5 digits V";
    else if (kind != "weight" && kind != "price" && kind != "count")
        error = "its kind is '" + kind + "', not weight, price or count";
    else if (places.size() > 1 || (!places.empty() && (!is_digit(places[0]) || std::size_t(places[0] - '0') > values)))
        error = "its decimals '" + std::string(places) + "' are not a digit up to the value's " + std::to_string(values);
    else if (!next_word(text).empty())
        error = "words after its unit";
    else {
        decimals = places.empty() ? 0 : static_cast<std::size_t>(places[0] - '0');
        return true;
    }
    return false;
}

bool Label_rule::overlaps(const Label_rule& other) const
{
    if (layout.size() != other.layout.size()) return false;
    for (std::size_t i = 0; i < layout.size(); ++i)
        if (is_digit(layout[i]) && is_digit(other.layout[i]) && layout[i] != other.layout[i]) return false;
    return true;
}

void Label_match::append_value(std::string& out) const
{
    gs1_append_decimal(value, rule->decimals, out);
}

bool match_label(const std::vector<Label_rule>& rules, std::string_view code, Label_match& match)
{
    if (code.size() != 12 && code.size() != 13) return false;
    if (!std::all_of(code.begin(), code.end(), is_digit) || !gs1_check_digit_right(code)) return false;
    for (const Label_rule& rule : rules) {
        // A UPC-A as 13 digits: a 12-digit rule reads it without the 0.
        const std::string_view fitted = rule.layout.size() + 1 == code.size() && code[0] == '0' ? code.substr(1) : code;
        if (rule.layout.size() != fitted.size()) continue;
        const std::size_t first_value = rule.layout.find('V'), last_value = rule.layout.rfind('V');
        const std::size_t first_item = rule.layout.find('I'), last_item = rule.layout.rfind('I');
        bool fits = true;
        char* const key = match.key_gtin + 14 - fitted.size();
        std::fill(match.key_gtin, key, '0');
        for (std::size_t i = 0; fits && i < fitted.size(); ++i) {
            const char want = rule.layout[i];
            fits = !is_digit(want) || want == fitted[i];
            key[i] = want == 'V' || want == 'X' ? '0' : fitted[i];
        }
        const std::size_t verifier = rule.layout.find('X');
        match.value = fitted.substr(first_value, last_value - first_value + 1);
        if (!fits || (verifier != std::string::npos && gs1_verifier_digit(match.value) != fitted[verifier])) continue;
        match.rule = &rule;
        match.key_size = fitted.size();
        key[fitted.size() - 1] = gs1_check_digit(std::string_view(key, fitted.size() - 1));
        match.item = fitted.substr(first_item, last_item - first_item + 1);
        return true;
    }
    return false;
}

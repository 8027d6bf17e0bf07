// Reading a scanned code's GS1 data: never a failure on any input; what is
// read is what the AIs allow (a GTIN of 14 digits with its check digit, a
// date that is one), and an element string or Digital Link reads the same
// again from the bracketed form of what was read; a code that fits a rule
// of scale labels has a key that is a GTIN with its check digit, and a
// decimal value is always read.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "gs1.h"
#include "scale_labels.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string code(reinterpret_cast<const char*>(data), size);
    Gs1_code gs1;
    gs1.take(code);
    const Gs1_code::Kind kind = gs1.kind();
    if (kind == Gs1_code::Kind::none && gs1.size() != 0) std::abort();
    const std::string_view gtin = gs1.gtin();
    if (!gtin.empty() && (gtin.size() != 14 || !gs1_check_digit_right(gtin))) std::abort();
    const Gtin_forms forms(gtin);
    for (std::size_t i = 0; i < forms.size(); ++i)
        if (gtin.substr(14 - forms[i].size()) != forms[i]) std::abort();

    static const std::vector<Label_rule> rules = [] {
        std::vector<Label_rule> read(3);
        std::string why;
        if (!read[0].read("w", "21IIIIIVVVVVC weight 3 kg", why) || !read[1].read("p", "25IIIIIXVVVVC price 2", why) ||
            !read[2].read("u", "2IIIIIVVVVVC price 5", why))
            std::abort();
        return read;
    }();
    Label_match label;
    if (match_label(rules, code, label)) {
        std::string value;
        label.append_value(value);
        if (!gs1_check_digit_right(label.key()) || label.value.size() < 4 || value.empty()) std::abort();
    }
    std::string number;
    for (const char* family : {"310x", "393x", "x", "31"}) gs1_decimal_text(gs1, family, number);

    std::string bracketed;
    bool plain = true; // no value holds a bracket, which would end it in that form
    for (std::size_t i = 0; i < gs1.size(); ++i) {
        const std::string_view ai = gs1.ai(i), value = gs1.value(i);
        if (value.size() > std::max<std::size_t>(size, 14)) std::abort(); // a GTIN gets its zeros
        plain = plain && value.find('(') == std::string_view::npos;
        bracketed += "(" + std::string(ai) + ")" + std::string(value);
        std::string date;
        if (gs1_is_date_ai(ai) && (!gs1_date_text(value, "DD.MM.YYYY", 2026, date) || date.size() != 10))
            std::abort();
    }
    if (kind == Gs1_code::Kind::element_string || kind == Gs1_code::Kind::digital_link) {
        if (!plain) return 0;
        Gs1_code again;
        again.take(bracketed);
        if (again.size() != gs1.size()) std::abort();
        for (std::size_t i = 0; i < gs1.size(); ++i)
            if (again.ai(i) != gs1.ai(i) || again.value(i) != gs1.value(i)) std::abort();
    }
    return 0;
}

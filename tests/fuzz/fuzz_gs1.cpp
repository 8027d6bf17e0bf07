// Reading a scanned code's GS1 data: never a failure on any input; what is
// read is what the AIs allow (a GTIN of 14 digits with its check digit, a
// date that is one), and an element string or Digital Link reads the same
// again from the bracketed form of what was read.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "gs1.h"

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

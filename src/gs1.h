// The GS1 data of a scanned code: the GTIN a linear code is, or the
// application identifiers (AIs) and values that a 2D code carries as a GS1
// Digital Link URI or as a GS1 element string.
//
//   4006381333931                                        a GTIN (8, 12, 13 or 14 digits)
//   04252614                                               a UPC-E (the UPC-A 042100005264)
//   977123456700312                                        an EAN-13 with its add-on (03)
//   https://id.gs1.org/01/09506000134352/10/AB?17=271231   a Digital Link URI
//   ]d2010950600013435210AB<GS>17271231                    an element string
//   (01)09506000134352(10)AB(17)271231                      its bracketed form
//
// Everything is read into storage of the object's own, so that reading a
// code of any length up to `longest` bytes allocates nothing.
#ifndef ULVANE_GS1_H
#define ULVANE_GS1_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The GS1 check digit ('0'..'9') that ends a code whose other digits are
// `digits` (digits alone): the mod-10 sum of GTINs, GLNs and SSCCs.
char gs1_check_digit(std::string_view digits);
// Whether the last digit of `digits` is the check digit of the others.
// False for anything but digits.
bool gs1_check_digit_right(std::string_view digits);

class Gs1_code {
public:
    enum class Kind { none, gtin, digital_link, element_string };
    // A longer code is none.
    static constexpr std::size_t longest = 1600;

    // Forgets the last code and takes `code` (a view that must stay valid)
    // to be read when first asked about.
    void take(std::string_view code);

    // What the code is, after the AIM symbology identifier a scanner may
    // put in front ("]E0", see scanned()): `gtin` for a plain GTIN of 8, 12,
    // 13 or 14 digits whose check digit is right, a UPC-E of number system
    // 0 or 1 (8 digits; read as its UPC-A, unless the scanner says EAN-8
    // with ]E4), or an EAN-13 or UPC-A followed by a 2- or 5-digit add-on
    // (read as the main code); an element string after an identifier of
    // GS1 data (]C1 ]e0 ]d2 ]Q3 ]J1) or FNC1 sent as GS (0x1d), without
    // either when it carries AI 01, or in brackets; a Digital Link URI with
    // the primary key /01/ (any host, with or without its scheme), never
    // after an identifier of GS1 data or with a GS in it. `none` for
    // anything else, and for a code that is malformed anywhere: an unknown
    // AI, a value of the wrong length or characters, a wrong check digit, a
    // date that is none, more than 64 AIs (one repeated too).
    Kind kind();
    // The code as the scanner read it: without the AIM symbology identifier
    // ("]" and two characters, ISO/IEC 15424) that it may put in front, and
    // without the carriage return it may put after (its line feed is gone
    // before the lookup).
    std::string_view scanned();
    // The GTIN as 14 digits (a shorter one with zeros in front), or empty.
    std::string_view gtin();
    // The GTIN of a 2D code (a Digital Link URI or an element string);
    // empty for any other code.
    std::string_view gtin_of_2d_code();
    // What the code counts as among unknown barcodes: a 2D code's GTIN
    // (serialised codes of one article share it), else the code without
    // its AIM identifier.
    std::string_view unknown_key()
    {
        const std::string_view gtin = gtin_of_2d_code();
        return gtin.empty() ? scanned() : gtin;
    }
    // The value of `ai` ("17", "3103"), percent-decoded in a URI.
    bool find(std::string_view ai, std::string_view& value);
    // The code's AIs and values in their order (a plain GTIN is AI 01).
    std::size_t size();
    std::string_view ai(std::size_t i);
    std::string_view value(std::size_t i);

private:
    struct Element {
        std::uint16_t at;       // the AI's digits in my_text, its value right after them
        std::uint8_t ai_size;
        std::uint16_t value_size;
    };
    static constexpr std::size_t most_elements = 64;

    void read();
    bool read_plain_gtin(std::string_view code);
    bool add_gtin(std::string_view digits);
    bool read_element_string(std::string_view code);
    bool read_bracketed(std::string_view code);
    bool read_digital_link(std::string_view code);
    bool read_query(std::string_view query);
    // Adds AI `ai` with `value` (percent-decoded when `decode`), when the
    // value is what the AI allows; false otherwise or when full.
    bool add(std::string_view ai, std::string_view value, bool decode);
    bool find_element(std::string_view ai, std::string_view& value) const;

    std::string_view my_code;
    std::string_view my_scanned;
    std::string_view my_identifier; // the AIM identifier, or empty
    bool my_read = true;
    Kind my_kind = Kind::none;
    std::size_t my_count = 0;
    std::size_t my_given = 0; // AIs read, those given twice too
    std::size_t my_used = 0;
    Element my_elements[most_elements];
    char my_text[longest];
};

// The forms under which a database may list the GTIN `gtin14` (14 digits),
// in the order they are tried: GTIN-14, GTIN-13 (EAN-13, and UPC-A with a 0
// in front), GTIN-12 (UPC-A), GTIN-8 (EAN-8); a shorter form only where the
// digits it drops are zeros. Views into `gtin14`.
class Gtin_forms {
public:
    explicit Gtin_forms(std::string_view gtin14);
    std::size_t size() const { return my_count; }
    std::string_view operator[](std::size_t i) const { return my_forms[i]; }

private:
    std::string_view my_forms[4];
    std::size_t my_count = 0;
};

// The UPC-A (12 digits) that the UPC-E `upc_e` (8 digits: the number
// system 0 or 1, six digits, the check digit) stands for, into `upc_a`;
// false when `upc_e` is none or its check digit is wrong.
bool gs1_upc_e_to_upc_a(std::string_view upc_e, char* upc_a);

// Appends `digits` as a number with its last `decimals` digits after the
// decimal point: "001250" with 3 is "1.250", "5" with 2 "0.05"; no zero
// in front but one before the point.
void gs1_append_decimal(std::string_view digits, std::size_t decimals, std::string& out);

// The value of a code's AI of the decimal family `family` ("310x": a weight
// in kg; 31xx to 36xx measures, 390x to 395x amounts, x being the digit
// that says how many decimals the value has), with its decimal point:
// "1.250" for 3103 001250, "1.25" for 3102 000125; an amount with a currency (391x,
// 393x) is followed by the currency's ISO 4217 code ("12.50 978"). Appends to
// `out`; false, appending nothing, when the code has no AI of the family.
bool gs1_decimal_text(Gs1_code& code, std::string_view family, std::string& out);

// Whether `ai` holds a date YYMMDD (11 to 17: production, due, packaging,
// best before, sell by, expiry).
bool gs1_is_date_ai(std::string_view ai);

// A GS1 date (YYMMDD; DD 00 is the month's last day) as `pattern` asks for
// it: YYYY, YY, MM and DD stand for the year, its last two digits, the month
// and the day, everything else is copied. The century is the one that puts
// the year within 49 years before and 50 after `this_year`. Appends to
// `out`; false, appending nothing, when `yymmdd` is no date.
bool gs1_date_text(std::string_view yymmdd, std::string_view pattern, int this_year, std::string& out);

#endif

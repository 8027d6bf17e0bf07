// Reading the GS1 data of scanned codes: Digital Link URIs, element strings
// and plain GTINs; the forms of a GTIN; dates as a shopper reads them.
#include <gtest/gtest.h>

#include <string>

#include "gs1.h"

namespace {

// What a code reads as: its kind ("gtin", "link", "string") and its AIs
// with their values, "link 01=09506000134352 10=ABC"; "none" for none.
std::string reading(const std::string& code)
{
    Gs1_code gs1;
    gs1.take(code);
    static const char* const kinds[] = {"none", "gtin", "link", "string"};
    std::string text = kinds[static_cast<int>(gs1.kind())];
    for (std::size_t i = 0; i < gs1.size(); ++i)
        text += " " + std::string(gs1.ai(i)) + "=" + std::string(gs1.value(i));
    return text;
}

const std::string gs = "\x1d";

struct Case {
    const char* what;
    std::string code;
    std::string read;
};

void expect_readings(const Case* begin, const Case* end)
{
    for (const Case* c = begin; c != end; ++c) EXPECT_EQ(reading(c->code), c->read) << c->what << ": " << c->code;
}

TEST(Gs1, ReadsDigitalLinkUris)
{
    const std::string key = "01=09506000134352";
    const Case cases[] = {
        {"the primary key alone", "https://id.gs1.org/01/09506000134352", "link " + key},
        {"qualifiers and a query", "https://id.gs1.org/01/09506000134352/10/ABC123?17=271231",
         "link " + key + " 10=ABC123 17=271231"},
        {"every qualifier in order", "https://id.gs1.org/01/09506000134352/22/V1/10/L1/21/S1",
         "link " + key + " 22=V1 10=L1 21=S1"},
        {"qualifiers out of order", "https://id.gs1.org/01/09506000134352/21/S1/10/L1", "none"},
        {"a qualifier twice", "https://id.gs1.org/01/09506000134352/10/A/10/B", "none"},
        {"an AI that is no qualifier", "https://id.gs1.org/01/09506000134352/17/271231", "none"},
        {"http, any host, a port", "http://shop.example:8080/01/09506000134352", "link " + key},
        {"no scheme", "id.gs1.org/01/09506000134352/21/X", "link " + key + " 21=X"},
        {"no scheme, a host without a dot", "shelf/01/09506000134352", "none"},
        {"the host's own path before the key", "https://brand.example/products/en/01/09506000134352",
         "link " + key},
        {"a GTIN-8", "https://id.gs1.org/01/96385074", "link 01=00000096385074"},
        {"a GTIN-12", "https://id.gs1.org/01/036000291452", "link 01=00036000291452"},
        {"a GTIN-13", "https://id.gs1.org/01/9506000134352", "link " + key},
        {"a GTIN of 11 digits", "https://id.gs1.org/01/36000291452", "none"},
        {"a wrong check digit", "https://id.gs1.org/01/09506000134353", "none"},
        {"percent-encoded values", "https://id.gs1.org/01/09506000134352/10/A%2FB%25?21=%41%62",
         "link " + key + " 10=A/B% 21=Ab"},
        {"a broken percent-encoding", "https://id.gs1.org/01/09506000134352/10/A%2", "none"},
        {"a trailing slash", "https://id.gs1.org/01/09506000134352/", "link " + key},
        {"upper case, as QR scanners send it", "HTTPS://ID.GS1.ORG/01/09506000134352/10/ABC",
         "link " + key + " 10=ABC"},
        {"a resolver's parameters and a fragment", "https://id.gs1.org/01/09506000134352?linkType=all&17=271231#top",
         "link " + key + " 17=271231"},
        {"a query date that is none", "https://id.gs1.org/01/09506000134352?17=271331", "none"},
        {"a query value too long", "https://id.gs1.org/01/09506000134352?10=" + std::string(21, 'A'), "none"},
        {"an AIM identifier in front", "]Q1https://id.gs1.org/01/09506000134352", "link " + key},
        {"another primary key", "https://id.gs1.org/414/9506000134352", "none"},
        {"1,600 bytes of segments", "https://id.gs1.org" + std::string(800, '/') + "01/09506000134352", "none"},
    };
    expect_readings(std::begin(cases), std::end(cases));
}

TEST(Gs1, ReadsElementStringsAndPlainGtins)
{
    const std::string key = "01=09506000134352";
    const Case cases[] = {
        {"each AIM identifier", "]C1010950600013435210ABC", "string " + key + " 10=ABC"},
        {"GS1 DataBar", "]e00109506000134352", "string " + key},
        {"GS1 DataMatrix", "]d20109506000134352", "string " + key},
        {"GS1 QR Code", "]Q30109506000134352", "string " + key},
        {"GS1 DotCode", "]J10109506000134352", "string " + key},
        {"no identifier", "010950600013435217271231", "string " + key + " 17=271231"},
        {"FNC1 in first place sent as GS", gs + "0109506000134352", "string " + key},
        {"predefined lengths, then variable ones ended by GS",
         "]d2010950600013435217271231" "10ABC123" + gs + "21XYZ", "string " + key + " 17=271231 10=ABC123 21=XYZ"},
        {"a GS at the end", "]d20109506000134352" "10ABC" + gs, "string " + key + " 10=ABC"},
        {"a GS after a predefined length", "]d20109506000134352" + gs + "17271231", "string " + key + " 17=271231"},
        {"a missing GS joins the next AI to the value", "]d2010950600013435210ABC" "17271231",
         "string " + key + " 10=ABC17271231"},
        {"a missing GS makes a value too long", "]d20109506000134352" "21" + std::string(20, 'S') + "17271231", "none"},
        {"a four-digit AI", "]C1010950600013435231030001894", "none"}, // 3103 takes 6 digits: one left over
        {"a weight", "]C10109506000134352" "3103000189", "string " + key + " 3103=000189"},
        {"an unknown AI", "]d20109506000134352" "23X", "none"},
        {"a GTIN too short", "]d2010950600013435", "none"},
        {"a wrong check digit", "]d20109506000134353", "none"},
        {"letters in a numeric value", "]d2010950600013435A", "none"},
        {"a letter in a weight", "]C10109506000134352" "310300018A", "none"},
        {"a character outside GS1's set", "]d20109506000134352" "10A B", "none"},
        {"the bracketed form", "(01)09506000134352(17)271231(10)ABC123", "string " + key + " 17=271231 10=ABC123"},
        {"bracketed, an AI not closed", "(01)09506000134352(17271231", "none"},
        {"bracketed, an AI of three digits that begins as one of two", "(01)09506000134352(910)X", "none"},
        {"an SSCC: GS1 data without a GTIN", "]C1" "00106141411234567897", "string 00=106141411234567897"},
        {"1,600 bytes of AIs", "]d2" + std::string(1597 / 4 * 4, '9').replace(0, 4, "0109"), "none"},
        {"an EAN-13", "9506000134352", "gtin " + key},
        {"a UPC-A", "036000291452", "gtin 01=00036000291452"},
        {"a UPC-A sent as 13 digits", "0036000291452", "gtin 01=00036000291452"},
        {"an EAN-8", "96385074", "gtin 01=00000096385074"},
        {"a GTIN-14", "19506000134359", "gtin 01=19506000134359"},
        {"an EAN-13 with a wrong check digit", "9506000134353", "none"},
        {"11 digits", "36000291452", "none"},
        {"a code of no kind", "LOCATION-0042", "none"},
        {"an empty code", "", "none"},
        // A lot or serial with '/' and '.' is no URI.
        {"a lot that looks like a link", "]d2010950600013435210A.B/01/96385074", "string " + key + " 10=A.B/01/96385074"},
        {"a serial that looks like a link", "]Q3010950600013435221x.y/01/036000291452",
         "string " + key + " 21=x.y/01/036000291452"},
        {"such a serial too long", "]C1010950600013435221SN.7/01/4006381333931", "none"},
        {"such a lot, no identifier", "010950600013435210A.B/01/96385074", "string " + key + " 10=A.B/01/96385074"},
        {"a link after GS1 data's identifier", "]d2https://id.gs1.org/01/09506000134352", "none"},
        {"a link holding a GS", "https://id.gs1.org/01/09506000134352/10/A" + gs + "B", "none"},
        // Scanners' AIM identifiers and CR, UPC-E, add-ons.
        {"an EAN-13 after ]E0", "]E09506000134352", "gtin " + key},
        {"an EAN-8 after ]E4", "]E496385074", "gtin 01=00000096385074"},
        {"a carriage return", "9506000134352\r", "gtin " + key},
        {"UPC-E, sixth digit 0 to 2", "04252614", "gtin 01=00042100005264"},
        {"UPC-E, sixth digit 3", "01234531", "gtin 01=00012300000451"},
        {"UPC-E, sixth digit 4", "01234543", "gtin 01=00012340000053"},
        {"UPC-E, sixth digit 5 to 9", "01234572", "gtin 01=00012345000072"},
        {"UPC-E, number system 1", "12345629", "gtin 01=00123200004569"},
        {"UPC-E as ]E0 sends it", "]E004252614", "gtin 01=00042100005264"},
        {"an EAN-8 the scanner says is one", "]E401234572", "gtin 01=00000001234572"},
        {"UPC-E, wrong check digit", "04252615", "none"},
        {"eight digits of number system 2: an EAN-8", "24252614", "gtin 01=00000024252614"},
        {"an EAN-13 with a 2-digit add-on", "]E3950600013435203", "gtin " + key},
        {"an EAN-13 with a 5-digit add-on", "950600013435252495", "gtin " + key},
        {"a UPC-A with a 2-digit add-on", "03600029145212", "gtin 01=00036000291452"},
        {"a UPC-A with a 5-digit add-on", "03600029145200599", "gtin 01=00036000291452"},
        {"an add-on after a wrong check digit", "950600013435303", "none"},
        {"three digits after an EAN-13: no add-on", "9506000134352123", "none"},
        {"an AI repeated past the cap", "]d2" + [] {
             std::string s = "0109506000134352";
             for (int i = 0; i < 64; ++i) s += "17271231";
             return s;
         }(), "none"},
    };
    expect_readings(std::begin(cases), std::end(cases));
}

// A weight, a measure or an amount with its decimal point, whichever
// decimal position the code carries.
TEST(Gs1, DecimalValuesAsAShopperReadsThem)
{
    const struct {
        std::string data; // after the GTIN
        const char* family;
        const char* text; // "" when the code has none
    } cases[] = {
        {"3103001250", "310x", "1.250"},  {"3102000125", "310x", "1.25"}, {"3100000125", "310x", "125"},
        {"3105000001", "310x", "0.00001"}, {"3202000100", "320x", "1.00"}, {"39221250", "392x", "12.50"},
        {"39329781250", "393x", "12.50 978"}, {"3922" "5", "392x", "0.05"}, {"3103001250", "320x", ""},
        {"3103001250", "3103", ""},        {"10AB", "10x", ""},            {"3103001250", "370x", ""},
    };
    for (const auto& c : cases) {
        Gs1_code gs1;
        const std::string code = "]C10109506000134352" + c.data;
        gs1.take(code);
        std::string out = "<";
        EXPECT_EQ(gs1_decimal_text(gs1, c.family, out), *c.text != '\0') << c.data << " " << c.family;
        EXPECT_EQ(out, std::string("<") + c.text) << c.data << " " << c.family;
    }
}

TEST(Gs1, GtinFormsFromLongestToShortest)
{
    auto forms = [](const char* gtin14) {
        const Gtin_forms f(gtin14);
        std::string text;
        for (std::size_t i = 0; i < f.size(); ++i) text += (i ? " " : "") + std::string(f[i]);
        return text;
    };
    EXPECT_EQ(forms("19506000134359"), "19506000134359");
    EXPECT_EQ(forms("09506000134352"), "09506000134352 9506000134352");
    EXPECT_EQ(forms("00036000291452"), "00036000291452 0036000291452 036000291452");
    EXPECT_EQ(forms("00000096385074"), "00000096385074 0000096385074 000096385074 96385074");
    EXPECT_EQ(forms("0950600013435"), ""); // not 14 digits
}

TEST(Gs1, DatesAsAShopperReadsThem)
{
    const struct {
        const char* date;
        const char* pattern;
        int this_year;
        const char* text; // "" when it is no date
    } cases[] = {
        {"271231", "DD.MM.YYYY", 2026, "31.12.2027"},
        {"271231", "MM/DD/YY", 2026, "12/31/27"},
        {"271231", "YYYY-MM-DD", 2026, "2027-12-31"},
        {"280200", "DD.MM.YYYY", 2026, "29.02.2028"}, // day 00: the month's last, leap years too
        {"270200", "DD.MM.YYYY", 2026, "28.02.2027"},
        {"760101", "YYYY", 2026, "2076"}, // 50 years ahead at most
        {"770101", "YYYY", 2026, "1977"}, // 49 years back at most
        {"100101", "YYYY", 2090, "2110"},
        {"271301", "YYYY", 2026, ""},
        {"270230", "YYYY", 2026, ""},
        {"27123", "YYYY", 2026, ""},
    };
    for (const auto& c : cases) {
        std::string out = "<";
        EXPECT_EQ(gs1_date_text(c.date, c.pattern, c.this_year, out), *c.text != '\0') << c.date;
        EXPECT_EQ(out, std::string("<") + c.text) << c.date << " " << c.pattern;
    }
}

} // namespace

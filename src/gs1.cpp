#include "gs1.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "escapes.h"

namespace {

constexpr char group_separator = '\x1d'; // FNC1 after a value of no predefined length

enum class Ai_check : std::uint8_t { none, check_digit, date };

// An AI, or a range of AIs of one kind ("3100" to "3105"), and what its
// value may be.
struct Ai_rule {
    const char* first;
    const char* last;
    std::uint8_t min, max; // the value's length
    bool numeric;          // digits only; else GS1's 82 characters (see in_cset82)
    bool predefined;       // of predefined length: no FNC1 ends it in an element string
    Ai_check check;        // a check digit over the whole value, a date YYMMDD
};

// The GS1 General Specifications' AIs (section 3.2, "GS1 Application
// Identifiers in numerical order"), with their lengths, character sets and
// the predefined lengths of section 7.8.5 ("Predefined length element
// strings"), as GS1's Barcode Syntax Dictionary lists them; in the order
// of their digits as text.
constexpr Ai_rule ai_rules[] = {
    {"00", "00", 18, 18, true, true, Ai_check::check_digit},
    {"01", "01", 14, 14, true, true, Ai_check::check_digit},
    {"02", "02", 14, 14, true, true, Ai_check::check_digit},
    {"03", "03", 14, 14, true, true, Ai_check::check_digit},
    {"10", "10", 1, 20, false, false, Ai_check::none},
    {"11", "11", 6, 6, true, true, Ai_check::date},
    {"12", "12", 6, 6, true, true, Ai_check::date},
    {"13", "13", 6, 6, true, true, Ai_check::date},
    {"15", "15", 6, 6, true, true, Ai_check::date},
    {"16", "16", 6, 6, true, true, Ai_check::date},
    {"17", "17", 6, 6, true, true, Ai_check::date},
    {"20", "20", 2, 2, true, true, Ai_check::none},
    {"21", "21", 1, 20, false, false, Ai_check::none},
    {"22", "22", 1, 20, false, false, Ai_check::none},
    {"235", "235", 1, 28, false, false, Ai_check::none},
    {"240", "240", 1, 30, false, false, Ai_check::none},
    {"241", "241", 1, 30, false, false, Ai_check::none},
    {"242", "242", 1, 6, true, false, Ai_check::none},
    {"243", "243", 1, 20, false, false, Ai_check::none},
    {"250", "250", 1, 30, false, false, Ai_check::none},
    {"251", "251", 1, 30, false, false, Ai_check::none},
    {"253", "253", 13, 30, false, false, Ai_check::none},
    {"254", "254", 1, 20, false, false, Ai_check::none},
    {"255", "255", 13, 25, true, false, Ai_check::none},
    {"30", "30", 1, 8, true, false, Ai_check::none},
    {"3100", "3105", 6, 6, true, true, Ai_check::none},
    {"3110", "3115", 6, 6, true, true, Ai_check::none},
    {"3120", "3125", 6, 6, true, true, Ai_check::none},
    {"3130", "3135", 6, 6, true, true, Ai_check::none},
    {"3140", "3145", 6, 6, true, true, Ai_check::none},
    {"3150", "3155", 6, 6, true, true, Ai_check::none},
    {"3160", "3165", 6, 6, true, true, Ai_check::none},
    {"3200", "3205", 6, 6, true, true, Ai_check::none},
    {"3210", "3215", 6, 6, true, true, Ai_check::none},
    {"3220", "3225", 6, 6, true, true, Ai_check::none},
    {"3230", "3235", 6, 6, true, true, Ai_check::none},
    {"3240", "3245", 6, 6, true, true, Ai_check::none},
    {"3250", "3255", 6, 6, true, true, Ai_check::none},
    {"3260", "3265", 6, 6, true, true, Ai_check::none},
    {"3270", "3275", 6, 6, true, true, Ai_check::none},
    {"3280", "3285", 6, 6, true, true, Ai_check::none},
    {"3290", "3295", 6, 6, true, true, Ai_check::none},
    {"3300", "3305", 6, 6, true, true, Ai_check::none},
    {"3310", "3315", 6, 6, true, true, Ai_check::none},
    {"3320", "3325", 6, 6, true, true, Ai_check::none},
    {"3330", "3335", 6, 6, true, true, Ai_check::none},
    {"3340", "3345", 6, 6, true, true, Ai_check::none},
    {"3350", "3355", 6, 6, true, true, Ai_check::none},
    {"3360", "3365", 6, 6, true, true, Ai_check::none},
    {"3370", "3375", 6, 6, true, true, Ai_check::none},
    {"3400", "3405", 6, 6, true, true, Ai_check::none},
    {"3410", "3415", 6, 6, true, true, Ai_check::none},
    {"3420", "3425", 6, 6, true, true, Ai_check::none},
    {"3430", "3435", 6, 6, true, true, Ai_check::none},
    {"3440", "3445", 6, 6, true, true, Ai_check::none},
    {"3450", "3455", 6, 6, true, true, Ai_check::none},
    {"3460", "3465", 6, 6, true, true, Ai_check::none},
    {"3470", "3475", 6, 6, true, true, Ai_check::none},
    {"3480", "3485", 6, 6, true, true, Ai_check::none},
    {"3490", "3495", 6, 6, true, true, Ai_check::none},
    {"3500", "3505", 6, 6, true, true, Ai_check::none},
    {"3510", "3515", 6, 6, true, true, Ai_check::none},
    {"3520", "3525", 6, 6, true, true, Ai_check::none},
    {"3530", "3535", 6, 6, true, true, Ai_check::none},
    {"3540", "3545", 6, 6, true, true, Ai_check::none},
    {"3550", "3555", 6, 6, true, true, Ai_check::none},
    {"3560", "3565", 6, 6, true, true, Ai_check::none},
    {"3570", "3575", 6, 6, true, true, Ai_check::none},
    {"3600", "3605", 6, 6, true, true, Ai_check::none},
    {"3610", "3615", 6, 6, true, true, Ai_check::none},
    {"3620", "3625", 6, 6, true, true, Ai_check::none},
    {"3630", "3635", 6, 6, true, true, Ai_check::none},
    {"3640", "3645", 6, 6, true, true, Ai_check::none},
    {"3650", "3655", 6, 6, true, true, Ai_check::none},
    {"3660", "3665", 6, 6, true, true, Ai_check::none},
    {"3670", "3675", 6, 6, true, true, Ai_check::none},
    {"3680", "3685", 6, 6, true, true, Ai_check::none},
    {"3690", "3695", 6, 6, true, true, Ai_check::none},
    {"37", "37", 1, 8, true, false, Ai_check::none},
    {"3900", "3909", 1, 15, true, false, Ai_check::none},
    {"3910", "3919", 4, 18, true, false, Ai_check::none},
    {"3920", "3929", 1, 15, true, false, Ai_check::none},
    {"3930", "3939", 4, 18, true, false, Ai_check::none},
    {"3940", "3943", 4, 4, true, false, Ai_check::none},
    {"3950", "3955", 6, 6, true, false, Ai_check::none},
    {"400", "400", 1, 30, false, false, Ai_check::none},
    {"401", "401", 1, 30, false, false, Ai_check::none},
    {"402", "402", 17, 17, true, false, Ai_check::check_digit},
    {"403", "403", 1, 30, false, false, Ai_check::none},
    {"410", "410", 13, 13, true, true, Ai_check::check_digit},
    {"411", "411", 13, 13, true, true, Ai_check::check_digit},
    {"412", "412", 13, 13, true, true, Ai_check::check_digit},
    {"413", "413", 13, 13, true, true, Ai_check::check_digit},
    {"414", "414", 13, 13, true, true, Ai_check::check_digit},
    {"415", "415", 13, 13, true, true, Ai_check::check_digit},
    {"416", "416", 13, 13, true, true, Ai_check::check_digit},
    {"417", "417", 13, 13, true, true, Ai_check::check_digit},
    {"420", "420", 1, 20, false, false, Ai_check::none},
    {"421", "421", 4, 12, false, false, Ai_check::none},
    {"422", "422", 3, 3, true, false, Ai_check::none},
    {"423", "423", 3, 15, true, false, Ai_check::none},
    {"424", "424", 3, 3, true, false, Ai_check::none},
    {"425", "425", 3, 15, true, false, Ai_check::none},
    {"426", "426", 3, 3, true, false, Ai_check::none},
    {"427", "427", 1, 3, false, false, Ai_check::none},
    {"4300", "4300", 1, 35, false, false, Ai_check::none},
    {"4301", "4301", 1, 35, false, false, Ai_check::none},
    {"4302", "4302", 1, 70, false, false, Ai_check::none},
    {"4303", "4303", 1, 70, false, false, Ai_check::none},
    {"4304", "4304", 1, 70, false, false, Ai_check::none},
    {"4305", "4305", 1, 70, false, false, Ai_check::none},
    {"4306", "4306", 1, 70, false, false, Ai_check::none},
    {"4307", "4307", 2, 2, false, false, Ai_check::none},
    {"4308", "4308", 1, 30, false, false, Ai_check::none},
    {"4309", "4309", 20, 20, true, false, Ai_check::none},
    {"4310", "4310", 1, 35, false, false, Ai_check::none},
    {"4311", "4311", 1, 35, false, false, Ai_check::none},
    {"4312", "4312", 1, 70, false, false, Ai_check::none},
    {"4313", "4313", 1, 70, false, false, Ai_check::none},
    {"4314", "4314", 1, 70, false, false, Ai_check::none},
    {"4315", "4315", 1, 70, false, false, Ai_check::none},
    {"4316", "4316", 1, 70, false, false, Ai_check::none},
    {"4317", "4317", 2, 2, false, false, Ai_check::none},
    {"4318", "4318", 1, 20, false, false, Ai_check::none},
    {"4319", "4319", 1, 30, false, false, Ai_check::none},
    {"4320", "4320", 1, 35, false, false, Ai_check::none},
    {"4321", "4321", 1, 1, true, false, Ai_check::none},
    {"4322", "4322", 1, 1, true, false, Ai_check::none},
    {"4323", "4323", 1, 1, true, false, Ai_check::none},
    {"4324", "4324", 10, 10, true, false, Ai_check::none},
    {"4325", "4325", 10, 10, true, false, Ai_check::none},
    {"4326", "4326", 6, 6, true, false, Ai_check::none},
    {"4330", "4330", 6, 7, false, false, Ai_check::none},
    {"4331", "4331", 6, 7, false, false, Ai_check::none},
    {"4332", "4332", 6, 7, false, false, Ai_check::none},
    {"4333", "4333", 6, 7, false, false, Ai_check::none},
    {"7001", "7001", 13, 13, true, false, Ai_check::none},
    {"7002", "7002", 1, 30, false, false, Ai_check::none},
    {"7003", "7003", 10, 10, true, false, Ai_check::none},
    {"7004", "7004", 1, 4, true, false, Ai_check::none},
    {"7005", "7005", 1, 12, false, false, Ai_check::none},
    {"7006", "7006", 6, 6, true, false, Ai_check::none},
    {"7007", "7007", 6, 12, true, false, Ai_check::none},
    {"7008", "7008", 1, 3, false, false, Ai_check::none},
    {"7009", "7009", 1, 10, false, false, Ai_check::none},
    {"7010", "7010", 1, 2, false, false, Ai_check::none},
    {"7011", "7011", 6, 10, true, false, Ai_check::none},
    {"7020", "7020", 1, 20, false, false, Ai_check::none},
    {"7021", "7021", 1, 20, false, false, Ai_check::none},
    {"7022", "7022", 1, 20, false, false, Ai_check::none},
    {"7023", "7023", 1, 30, false, false, Ai_check::none},
    {"7030", "7030", 4, 30, false, false, Ai_check::none},
    {"7031", "7031", 4, 30, false, false, Ai_check::none},
    {"7032", "7032", 4, 30, false, false, Ai_check::none},
    {"7033", "7033", 4, 30, false, false, Ai_check::none},
    {"7034", "7034", 4, 30, false, false, Ai_check::none},
    {"7035", "7035", 4, 30, false, false, Ai_check::none},
    {"7036", "7036", 4, 30, false, false, Ai_check::none},
    {"7037", "7037", 4, 30, false, false, Ai_check::none},
    {"7038", "7038", 4, 30, false, false, Ai_check::none},
    {"7039", "7039", 4, 30, false, false, Ai_check::none},
    {"7040", "7040", 4, 4, false, false, Ai_check::none},
    {"7041", "7041", 1, 4, false, false, Ai_check::none},
    {"710", "710", 1, 20, false, false, Ai_check::none},
    {"711", "711", 1, 20, false, false, Ai_check::none},
    {"712", "712", 1, 20, false, false, Ai_check::none},
    {"713", "713", 1, 20, false, false, Ai_check::none},
    {"714", "714", 1, 20, false, false, Ai_check::none},
    {"715", "715", 1, 20, false, false, Ai_check::none},
    {"716", "716", 1, 20, false, false, Ai_check::none},
    {"717", "717", 1, 20, false, false, Ai_check::none},
    {"7230", "7230", 3, 30, false, false, Ai_check::none},
    {"7231", "7231", 3, 30, false, false, Ai_check::none},
    {"7232", "7232", 3, 30, false, false, Ai_check::none},
    {"7233", "7233", 3, 30, false, false, Ai_check::none},
    {"7234", "7234", 3, 30, false, false, Ai_check::none},
    {"7235", "7235", 3, 30, false, false, Ai_check::none},
    {"7236", "7236", 3, 30, false, false, Ai_check::none},
    {"7237", "7237", 3, 30, false, false, Ai_check::none},
    {"7238", "7238", 3, 30, false, false, Ai_check::none},
    {"7239", "7239", 3, 30, false, false, Ai_check::none},
    {"7240", "7240", 1, 20, false, false, Ai_check::none},
    {"7241", "7241", 2, 2, true, false, Ai_check::none},
    {"7242", "7242", 1, 25, false, false, Ai_check::none},
    {"7250", "7250", 8, 8, true, false, Ai_check::none},
    {"7251", "7251", 12, 12, true, false, Ai_check::none},
    {"7252", "7252", 1, 1, true, false, Ai_check::none},
    {"7253", "7253", 1, 40, false, false, Ai_check::none},
    {"7254", "7254", 1, 40, false, false, Ai_check::none},
    {"7255", "7255", 1, 10, false, false, Ai_check::none},
    {"7256", "7256", 1, 90, false, false, Ai_check::none},
    {"7257", "7257", 1, 70, false, false, Ai_check::none},
    {"7258", "7258", 3, 3, false, false, Ai_check::none},
    {"7259", "7259", 1, 40, false, false, Ai_check::none},
    {"8001", "8001", 14, 14, true, false, Ai_check::none},
    {"8002", "8002", 1, 20, false, false, Ai_check::none},
    {"8003", "8003", 14, 30, false, false, Ai_check::none},
    {"8004", "8004", 1, 30, false, false, Ai_check::none},
    {"8005", "8005", 6, 6, true, false, Ai_check::none},
    {"8006", "8006", 18, 18, true, false, Ai_check::none},
    {"8007", "8007", 1, 34, false, false, Ai_check::none},
    {"8008", "8008", 8, 12, true, false, Ai_check::none},
    {"8009", "8009", 1, 50, false, false, Ai_check::none},
    {"8010", "8010", 1, 30, false, false, Ai_check::none},
    {"8011", "8011", 1, 12, true, false, Ai_check::none},
    {"8012", "8012", 1, 20, false, false, Ai_check::none},
    {"8013", "8013", 1, 25, false, false, Ai_check::none},
    {"8014", "8014", 1, 25, false, false, Ai_check::none},
    {"8017", "8017", 18, 18, true, false, Ai_check::check_digit},
    {"8018", "8018", 18, 18, true, false, Ai_check::check_digit},
    {"8019", "8019", 1, 10, true, false, Ai_check::none},
    {"8020", "8020", 1, 25, false, false, Ai_check::none},
    {"8026", "8026", 18, 18, true, false, Ai_check::none},
    {"8030", "8030", 1, 90, false, false, Ai_check::none},
    {"8040", "8040", 15, 15, true, false, Ai_check::none},
    {"8041", "8041", 15, 15, true, false, Ai_check::none},
    {"8042", "8042", 32, 32, true, false, Ai_check::none},
    {"8043", "8043", 18, 20, true, false, Ai_check::none},
    {"8110", "8110", 1, 70, false, false, Ai_check::none},
    {"8111", "8111", 4, 4, true, false, Ai_check::none},
    {"8112", "8112", 1, 70, false, false, Ai_check::none},
    {"8200", "8200", 1, 70, false, false, Ai_check::none},
    {"90", "90", 1, 30, false, false, Ai_check::none},
    {"91", "99", 1, 90, false, false, Ai_check::none},
};

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool all_digits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), is_digit);
}

// GS1's character set 82 (General Specifications, figure 7.11-1): the
// printable ASCII characters but space # $ @ [ \ ] ^ ` { | } ~.
bool in_cset82(char c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '%' && c <= '?')) return true;
    return c == '!' || c == '"' || c == '_';
}

int two_digits(std::string_view text, std::size_t at)
{
    return (text[at] - '0') * 10 + (text[at + 1] - '0');
}

int days_in_month(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return month == 2 && leap ? 29 : days[month - 1];
}

// YYMMDD with a month 01 to 12 and a day 00 (the month's last) to its last.
// Every year ending in 00 that a GS1 date can reach (2000) is a leap year.
bool is_date(std::string_view text)
{
    if (text.size() != 6 || !all_digits(text)) return false;
    const int year = two_digits(text, 0), month = two_digits(text, 2), day = two_digits(text, 4);
    return month >= 1 && month <= 12 && day <= days_in_month(2000 + year, month);
}

const Ai_rule* rule_of(std::string_view ai)
{
    if (ai.size() < 2 || ai.size() > 4 || !all_digits(ai)) return nullptr;
    // The last rule that begins at or before `ai`: AIs never begin with
    // another AI, so it is the only one that may hold it.
    const Ai_rule* after = std::upper_bound(std::begin(ai_rules), std::end(ai_rules), ai,
                                            [](std::string_view a, const Ai_rule& r) { return a < r.first; });
    if (after == std::begin(ai_rules)) return nullptr;
    const Ai_rule& rule = *(after - 1);
    return std::strlen(rule.first) == ai.size() && ai <= rule.last ? &rule : nullptr;
}

bool value_allowed(const Ai_rule& rule, std::string_view value)
{
    if (value.size() < rule.min || value.size() > rule.max) return false;
    if (!std::all_of(value.begin(), value.end(), rule.numeric ? is_digit : in_cset82)) return false;
    switch (rule.check) {
    case Ai_check::check_digit: return gs1_check_digit_right(value);
    case Ai_check::date: return is_date(value);
    case Ai_check::none: break;
    }
    return true;
}

// The AI that `text` begins with, 2 to 4 digits, and its length.
const Ai_rule* leading_ai(std::string_view text, std::size_t& length)
{
    for (length = 2; length <= 4 && length <= text.size(); ++length)
        if (const Ai_rule* rule = rule_of(text.substr(0, length))) return rule;
    return nullptr;
}

bool starts_with_any_case(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const char c = text[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != prefix[i]) return false;
    }
    return true;
}

// Percent-decodes `text` into `out`, which has room for it; the decoded
// length, or -1 for a '%' without two hexadecimal digits.
long percent_decode(std::string_view text, char* out)
{
    long n = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out[n++] = text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
        const int low = high >= 0 ? hex_value(text[i + 2]) : -1;
        if (low < 0) return -1;
        out[n++] = static_cast<char>(high * 16 + low);
        i += 2;
    }
    return n;
}

// A URI's host (with a port): letters, digits, '.', '-' and ':'.
bool is_host(std::string_view host)
{
    return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '-' || c == ':';
    });
}

} // namespace

char gs1_check_digit(std::string_view digits)
{
    // From the right, the digits weigh 3, 1, 3, ...
    int sum = 0;
    for (std::size_t k = 0; k < digits.size(); ++k) sum += (digits[digits.size() - 1 - k] - '0') * (k % 2 == 0 ? 3 : 1);
    return static_cast<char>('0' + (10 - sum % 10) % 10);
}

bool gs1_check_digit_right(std::string_view digits)
{
    return digits.size() >= 2 && all_digits(digits) && gs1_check_digit(digits.substr(0, digits.size() - 1)) == digits.back();
}

bool gs1_upc_e_to_upc_a(std::string_view upc_e, char* upc_a)
{
    if (upc_e.size() != 8 || !all_digits(upc_e) || (upc_e[0] != '0' && upc_e[0] != '1')) return false;
    // The number system, then the manufacturer's and the item's digits with
    // the zeros put back where the sixth digit says they were suppressed.
    const std::string_view d = upc_e.substr(1, 6);
    char* p = upc_a;
    *p++ = upc_e[0];
    const auto put = [&p](std::string_view digits) { p = std::copy(digits.begin(), digits.end(), p); };
    switch (d[5]) {
    case '0':
    case '1':
    case '2': put(d.substr(0, 2)); put(d.substr(5, 1)); put("0000"); put(d.substr(2, 3)); break;
    case '3': put(d.substr(0, 3)); put("00000"); put(d.substr(3, 2)); break;
    case '4': put(d.substr(0, 4)); put("00000"); put(d.substr(4, 1)); break;
    default: put(d.substr(0, 5)); put("0000"); put(d.substr(5, 1)); break;
    }
    *p = upc_e[7];
    return gs1_check_digit_right(std::string_view(upc_a, 12));
}

void gs1_append_decimal(std::string_view digits, std::size_t decimals, std::string& out)
{
    const std::size_t whole = digits.size() > decimals ? digits.size() - decimals : 0;
    std::size_t first = 0;
    while (first + 1 < whole && digits[first] == '0') ++first;
    if (whole == 0) out += '0';
    out.append(digits.substr(first, whole - first));
    if (decimals == 0) return;
    out += '.';
    out.append(decimals > digits.size() ? decimals - digits.size() : 0, '0');
    out.append(digits.substr(whole));
}

bool gs1_decimal_text(Gs1_code& code, std::string_view family, std::string& out)
{
    // 31nn to 36nn (measures) and 390n to 395n (amounts): n decimals.
    if (family.size() != 4 || family[3] != 'x' || !all_digits(family.substr(0, 3))) return false;
    const bool measure = family[0] == '3' && family[1] >= '1' && family[1] <= '6';
    const bool amount = family.substr(0, 2) == "39" && family[2] <= '5';
    if (!measure && !amount) return false;
    for (std::size_t i = 0; i < code.size(); ++i) {
        const std::string_view ai = code.ai(i);
        if (ai.size() != 4 || ai.substr(0, 3) != family.substr(0, 3)) continue;
        std::string_view value = code.value(i);
        // An amount with a currency: its ISO 4217 code first.
        const std::string_view currency = family[2] == '1' || family[2] == '3' ? value.substr(0, 3) : std::string_view();
        value.remove_prefix(currency.size());
        gs1_append_decimal(value, static_cast<std::size_t>(ai[3] - '0'), out);
        if (!currency.empty()) out.append(" ").append(currency);
        return true;
    }
    return false;
}

void Gs1_code::take(std::string_view code)
{
    my_code = code;
    my_read = false;
}

namespace {

// The AIM symbology identifiers that stand for an FNC1 in first place: GS1
// data in GS1-128, GS1 DataBar, GS1 DataMatrix, GS1 QR Code, GS1 DotCode.
bool identifies_gs1_data(std::string_view identifier)
{
    for (std::string_view id : {"]C1", "]e0", "]d2", "]Q3", "]J1"})
        if (identifier == id) return true;
    return false;
}

// ISO/IEC 15424: ']', the symbology's letter, a modifier character.
bool is_aim_identifier(std::string_view code)
{
    const auto alphanumeric = [](char c) { return is_digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    return code.size() >= 3 && code[0] == ']' && ((code[1] >= 'A' && code[1] <= 'Z') || (code[1] >= 'a' && code[1] <= 'z')) &&
           alphanumeric(code[2]);
}

} // namespace

void Gs1_code::read()
{
    my_read = true;
    my_kind = Kind::none;
    my_identifier = is_aim_identifier(my_code) ? my_code.substr(0, 3) : std::string_view();
    my_scanned = my_code.substr(my_identifier.size());
    if (!my_scanned.empty() && my_scanned.back() == '\r') my_scanned.remove_suffix(1);
    if (my_scanned.empty() || my_code.size() > longest) return;
    const auto attempt = [&](bool (Gs1_code::*reader)(std::string_view), Kind kind) {
        my_count = 0;
        my_given = 0;
        my_used = 0;
        if (!(this->*reader)(my_scanned)) return false;
        my_kind = kind;
        return true;
    };
    // An element string comes before a URI: a lot or serial may hold '/'
    // and '.', and so look like a host and a path ("10A.B/01/96385074").
    const bool gs1_data = identifies_gs1_data(my_identifier);
    if ((!gs1_data && attempt(&Gs1_code::read_plain_gtin, Kind::gtin)) ||
        attempt(&Gs1_code::read_element_string, Kind::element_string) ||
        (!gs1_data && my_scanned.find(group_separator) == std::string_view::npos &&
         attempt(&Gs1_code::read_digital_link, Kind::digital_link)) ||
        attempt(&Gs1_code::read_bracketed, Kind::element_string))
        return;
    my_count = 0;
    my_used = 0;
}

bool Gs1_code::add_gtin(std::string_view digits)
{
    const std::size_t n = digits.size();
    char gtin[14];
    std::fill(gtin, gtin + 14 - n, '0');
    std::copy(digits.begin(), digits.end(), gtin + 14 - n);
    return add("01", std::string_view(gtin, 14), false);
}

bool Gs1_code::read_plain_gtin(std::string_view code)
{
    const std::size_t n = code.size();
    if (!all_digits(code)) return false;
    // Eight digits that begin with 0 or 1 are far more often a UPC-E than
    // an EAN-8 (whose prefixes 0 and 1 are rare); the scanner's ]E4 says EAN-8.
    char upc_a[12];
    if (n == 8 && my_identifier != "]E4" && gs1_upc_e_to_upc_a(code, upc_a)) return add_gtin({upc_a, 12});
    if ((n == 8 || n == 12 || n == 13 || n == 14) && gs1_check_digit_right(code)) return add_gtin(code);
    // An EAN-13 or UPC-A with its add-on, which has no check digit of its own.
    for (std::size_t addon : {2, 5}) {
        for (std::size_t main : {13, 12}) {
            if (n == main + addon && gs1_check_digit_right(code.substr(0, main))) return add_gtin(code.substr(0, main));
        }
    }
    return false;
}

bool Gs1_code::read_element_string(std::string_view code)
{
    // FNC1 in first place: an identifier of GS1 data, or sent as GS.
    if (!code.empty() && code[0] == group_separator) code.remove_prefix(1);
    // Without either, any code that begins with 90 to 99 would read as an
    // internal AI: only one that carries a GTIN is taken for GS1 data.
    const bool marked = identifies_gs1_data(my_identifier) || code.size() < my_scanned.size();
    if (code.empty() || !is_digit(code[0])) return false;
    while (!code.empty()) {
        if (code[0] == group_separator) { // ends a value, or stands after one of predefined length
            code.remove_prefix(1);
            continue;
        }
        std::size_t ai_length;
        const Ai_rule* rule = leading_ai(code, ai_length);
        if (rule == nullptr) return false;
        const std::string_view rest = code.substr(ai_length);
        const std::size_t size = rule->predefined ? rule->max : std::min(rest.find(group_separator), rest.size());
        if (size > rest.size() || !add(code.substr(0, ai_length), rest.substr(0, size), false)) return false;
        code = rest.substr(size);
    }
    std::string_view gtin;
    return marked || find_element("01", gtin);
}

bool Gs1_code::read_bracketed(std::string_view code)
{
    if (code.empty()) return false;
    while (!code.empty()) {
        const std::size_t close = code.find(')');
        if (code[0] != '(' || close == std::string_view::npos) return false;
        const std::string_view rest = code.substr(close + 1);
        const std::size_t length = std::min(rest.find('('), rest.size());
        if (!add(code.substr(1, close - 1), rest.substr(0, length), false)) return false;
        code = rest.substr(length);
    }
    return true;
}

bool Gs1_code::read_digital_link(std::string_view code)
{
    bool scheme = false;
    for (std::string_view prefix : {"https://", "http://"}) {
        if (!scheme && starts_with_any_case(code, prefix)) {
            code.remove_prefix(prefix.size());
            scheme = true;
        }
    }
    const std::size_t slash = code.find('/');
    const std::string_view host = code.substr(0, slash);
    // Without a scheme, a host is a name with a dot in it.
    if (slash == std::string_view::npos || !is_host(host) || (!scheme && host.find('.') == std::string_view::npos))
        return false;
    code.remove_prefix(slash);
    const std::size_t path_end = std::min(code.find_first_of("?#"), code.size());
    std::string_view path = code.substr(0, path_end);
    std::string_view query = code.substr(path_end);
    query = query.substr(0, query.find('#'));
    if (!path.empty() && path.back() == '/') path.remove_suffix(1);

    // The path's segments; the primary key /01/ is the first "01" after
    // which only the GTIN and its qualifiers /22/, /10/, /21/ follow, each
    // once, in this order; what comes before it is the host's own.
    constexpr std::size_t most_segments = 64;
    std::string_view segments[most_segments];
    std::size_t count = 0;
    for (std::size_t at = 1; at <= path.size(); ++count) {
        const std::size_t end = std::min(path.find('/', at), path.size());
        if (count == most_segments) return false;
        segments[count] = path.substr(at, end - at);
        at = end + 1;
    }
    static const std::string_view qualifiers[] = {"22", "10", "21"};
    for (std::size_t key = 0; key + 1 < count; ++key) {
        if (segments[key] != "01" || (count - key) % 2 != 0) continue;
        std::size_t next = 0;
        bool in_order = true;
        for (std::size_t q = key + 2; in_order && q < count; q += 2) {
            while (next < 3 && segments[q] != qualifiers[next]) ++next;
            in_order = next++ < 3;
        }
        if (!in_order) continue;
        const std::string_view digits = segments[key + 1];
        const std::size_t n = digits.size();
        if ((n != 8 && n != 12 && n != 13 && n != 14) || !all_digits(digits) || !add_gtin(digits)) return false;
        for (std::size_t q = key + 2; q < count; q += 2)
            if (!add(segments[q], segments[q + 1], true)) return false;
        return query.empty() || read_query(query.substr(1));
    }
    return false;
}

bool Gs1_code::read_query(std::string_view query)
{
    // Data attributes: AI=value. Other parameters (linkType=...) are the
    // resolver's, and passed over.
    while (!query.empty()) {
        const std::size_t end = std::min(query.find('&'), query.size());
        const std::string_view parameter = query.substr(0, end);
        const std::size_t eq = parameter.find('=');
        if (eq != std::string_view::npos && rule_of(parameter.substr(0, eq)) != nullptr &&
            !add(parameter.substr(0, eq), parameter.substr(eq + 1), true))
            return false;
        query.remove_prefix(std::min(end + 1, query.size()));
    }
    return true;
}

bool Gs1_code::add(std::string_view ai, std::string_view value, bool decode)
{
    const Ai_rule* rule = rule_of(ai);
    // An AI given again counts too: its comparison costs as much as a new one.
    if (rule == nullptr || my_given++ == most_elements || my_used + ai.size() + value.size() > longest) return false;
    char* const at = my_text + my_used;
    std::copy(ai.begin(), ai.end(), at);
    const long size = decode ? percent_decode(value, at + ai.size())
                             : static_cast<long>(std::copy(value.begin(), value.end(), at + ai.size()) - (at + ai.size()));
    if (size < 0) return false;
    const std::string_view stored(at + ai.size(), static_cast<std::size_t>(size));
    if (!value_allowed(*rule, stored)) return false;
    // An AI given twice must give one value.
    std::string_view before;
    if (find_element(ai, before)) return before == stored;
    my_elements[my_count++] = {static_cast<std::uint16_t>(my_used), static_cast<std::uint8_t>(ai.size()),
                               static_cast<std::uint16_t>(size)};
    my_used += ai.size() + static_cast<std::size_t>(size);
    return true;
}

bool Gs1_code::find_element(std::string_view ai, std::string_view& value) const
{
    for (std::size_t i = 0; i < my_count; ++i) {
        const Element& e = my_elements[i];
        if (std::string_view(my_text + e.at, e.ai_size) == ai) {
            value = std::string_view(my_text + e.at + e.ai_size, e.value_size);
            return true;
        }
    }
    return false;
}

Gs1_code::Kind Gs1_code::kind()
{
    if (!my_read) read();
    return my_kind;
}

std::string_view Gs1_code::scanned()
{
    if (!my_read) read();
    return my_scanned;
}

bool Gs1_code::find(std::string_view ai, std::string_view& value)
{
    if (!my_read) read();
    return find_element(ai, value);
}

std::string_view Gs1_code::gtin()
{
    std::string_view value;
    return find("01", value) ? value : std::string_view();
}

std::string_view Gs1_code::gtin_of_2d_code()
{
    const Kind k = kind();
    return k == Kind::digital_link || k == Kind::element_string ? gtin() : std::string_view();
}

std::size_t Gs1_code::size()
{
    if (!my_read) read();
    return my_count;
}

std::string_view Gs1_code::ai(std::size_t i)
{
    return std::string_view(my_text + my_elements[i].at, my_elements[i].ai_size);
}

std::string_view Gs1_code::value(std::size_t i)
{
    const Element& e = my_elements[i];
    return std::string_view(my_text + e.at + e.ai_size, e.value_size);
}

Gtin_forms::Gtin_forms(std::string_view gtin14)
{
    if (gtin14.size() != 14) return;
    const std::size_t zeros = std::min(gtin14.find_first_not_of('0'), gtin14.size());
    for (std::size_t length : {14, 13, 12, 8})
        if (zeros >= 14 - length) my_forms[my_count++] = gtin14.substr(14 - length);
}

bool gs1_is_date_ai(std::string_view ai)
{
    const Ai_rule* rule = rule_of(ai);
    return rule != nullptr && rule->check == Ai_check::date;
}

bool gs1_date_text(std::string_view yymmdd, std::string_view pattern, int this_year, std::string& out)
{
    if (!is_date(yymmdd)) return false;
    // General Specifications 7.12, "Determination of century in dates".
    int year = this_year - this_year % 100 + two_digits(yymmdd, 0);
    if (year > this_year + 50)
        year -= 100;
    else if (year < this_year - 49)
        year += 100;
    const int month = two_digits(yymmdd, 2);
    const int day = two_digits(yymmdd, 4) == 0 ? days_in_month(year, month) : two_digits(yymmdd, 4);
    const auto append = [&out](int value, int digits) {
        char text[4];
        for (int i = digits - 1; i >= 0; --i, value /= 10) text[i] = static_cast<char>('0' + value % 10);
        out.append(text, static_cast<std::size_t>(digits));
    };
    for (std::size_t i = 0; i < pattern.size();) {
        const std::string_view rest = pattern.substr(i);
        if (rest.substr(0, 4) == "YYYY") {
            append(year, 4);
            i += 4;
        } else if (rest.substr(0, 2) == "YY") {
            append(year % 100, 2);
            i += 2;
        } else if (rest.substr(0, 2) == "MM") {
            append(month, 2);
            i += 2;
        } else if (rest.substr(0, 2) == "DD") {
            append(day, 2);
            i += 2;
        } else {
            out += pattern[i++];
        }
    }
    return true;
}

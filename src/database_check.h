// The checks that ulvane_check makes of a database and ulvane_import makes
// of the file it is about to write: what the server would answer for a
// barcode, and names that a scanned code or a lookup never matches.
#ifndef ULVANE_DATABASE_CHECK_H
#define ULVANE_DATABASE_CHECK_H

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "database.h"

// `s` in single quotes with control bytes escaped, as findings show names.
std::string quoted(std::string_view s);

// The invisible character that `name` begins or ends with, as "begins with
// a no-break space"; empty when none. Names pasted from a spreadsheet or a
// web page bring them along (in UTF-8, or a no-break space in Latin-1).
std::string invisible_end(std::string_view name);

// Whether `a` and `b` differ at most in the case of ASCII letters.
bool equal_but_case(std::string_view a, std::string_view b);

// " (it has 'X', which differs only in case)" for the first of `names` that
// does so from `name`; empty when none.
std::string differs_in_case(std::string_view name, const std::vector<std::string_view>& names);

// For a barcode of digits alone of a GS1 length (8, 12, 13 or 14 digits)
// whose last digit is not the check digit of the others: a warning that
// says so, with the digit expected; empty otherwise. Never an error: shops
// number their own articles too.
std::string check_digit_warning(std::string_view barcode);

// For a barcode that is a whole scale label of one of `rules` (a value in
// it): a warning that only that label finds it, naming the key that every
// label of the article finds; empty otherwise.
std::string full_label_warning(const std::vector<Label_rule>& rules, std::string_view barcode);

// How a spreadsheet or a shop system's export damaged `barcode`, with what
// to do, or empty when it is no such form: a number as a spreadsheet
// writes it (4.00638E+12, 4,00638E+12, 4E+12, 4006381333931.0; the code
// is lost), a text formula (="0400638133393") or the apostrophe that marks
// text ('0400638133393), digit groups (4,006,381,333,931, with '.', a
// blank, a no-break or narrow no-break space alike). Codes that only look
// like numbers (12E3, 1e5, 2,5E1, 12.50) are no spreadsheet's form.
// `kind` names the form, the same for every code.
std::string spreadsheet_damage(std::string_view barcode, const char*& kind);

// Whether a barcode's answer is the one its section describes: the errors
// are a format that formats.ini lacks (a fallback answers, or nothing), no
// format at all without a fallback, a placeholder without its tag (the
// answer holds an empty string) and an answer too long for a datagram.
class Answer_check {
public:
    // `formats` must outlive the check.
    explicit Answer_check(const Barcode_db::Format_table& formats);

    // Appends a message for each error of the answer to `barcode` with
    // `tags`; returns the name of the format that answers it, or nullptr
    // when none does.
    const std::string* check(std::string_view barcode, const Barcode_tags& tags,
                             std::vector<std::string>& errors) const;
    // The names of the placeholders of `format`, which must be one of the
    // formats.
    const std::vector<std::string>& placeholders(const std::string& format) const { return my_placeholders.at(format); }

private:
    const Barcode_db::Format_table& my_formats;
    std::unordered_map<std::string, std::vector<std::string>> my_placeholders; // of each format
};

#endif

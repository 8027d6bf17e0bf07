// The labels that a shop's own scales print: EAN-13 or UPC-A codes of GS1's
// restricted-circulation range (prefix 02, 20 to 29) that carry the shop's
// item number and a weight, a price or a count. The shop lays them out in
// the fallback section [] of barcodes.ini, one rule a line:
//
//   label.weighed=21IIIIIVVVVVC weight 3 kg
//   label.priced=25IIIIIXVVVVC price 2
//
// LAYOUT has a character for each of the code's 12 or 13 digits: a digit
// that must stand there, I a digit of the item, V of the value, X the
// price or measure verifier digit over the value (4 or 5 digits), C the
// check digit (the last). Then KIND (weight, price or count), the value's
// DECIMALS (0 when left out) and a UNIT shown with it (optional).
// A label is answered by the entry of its code with the value and verifier
// digits as zeros and the check digit made right: `2112345000002`.
#ifndef ULVANE_SCALE_LABELS_H
#define ULVANE_SCALE_LABELS_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct Label_rule {
    std::string name;   // after "label."
    std::string layout; // 12 or 13 characters
    std::string kind;   // weight, price, count
    std::size_t decimals = 0;
    std::string unit;

    // Reads `text` as the rule named `name`; false, with why in `error`,
    // when the layout or the words after it are none.
    bool read(std::string_view name, std::string_view text, std::string& error);
    // Whether some code fits both rules: the same length, and no place
    // where both want a different digit.
    bool overlaps(const Label_rule& other) const;
};

// A scanned code read by a rule: the key its article is listed under, and
// the value. Views into the code and the rule; `key` is the match's own.
struct Label_match {
    const Label_rule* rule = nullptr;
    char key_gtin[14]; // the key with zeros in front, set with `rule`
    std::size_t key_size = 0;
    std::string_view item;  // the item digits, in the code
    std::string_view value; // the value digits, in the code

    std::string_view key() const { return {key_gtin + 14 - key_size, key_size}; }
    std::string_view gtin14() const { return {key_gtin, 14}; }
    // The value as a shopper reads it: "1.250", with the rule's decimals.
    void append_value(std::string& out) const;
};

// The first of `rules` that `code` fits, with its check digit and verifier
// digit right; a 13-digit code that begins with 0 is also tried as the
// 12-digit UPC-A it is. False when none does.
bool match_label(const std::vector<Label_rule>& rules, std::string_view code, Label_match& match);

// The price or measure verifier digit of 4 or 5 value digits.
char gs1_verifier_digit(std::string_view value);

// Whether a tag of the fallback section is a rule ("label.NAME").
inline bool is_label_tag(std::string_view tag) { return tag.substr(0, 6) == "label."; }

#endif

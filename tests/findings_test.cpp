#include "findings.h"

#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

// A finding's kind is its fault, whatever its values; a line for each kind
// names the values of its other findings where they differ.
TEST(Findings, AKindIsItsFaultWhateverItsValues)
{
    const struct {
        const char* message;
        const char* kind;
    } cases[] = {
        {"barcode '1' names format '250 ml', which formats.ini lacks", "barcode '*' names format '*', which formats.ini lacks"},
        {"the answer to barcode '7' is 70000 bytes", "the answer to barcode '*' is N bytes"},
        {"ends in 2 (a shop's own code may be so) for '12'", "ends in N (a shop's own code may be so) for '*'"},
        {"Barcode \"a'b\" not defined", "Barcode \"*\" not defined"},
    };
    for (const auto& c : cases) EXPECT_EQ(values_blanked(c.message), c.kind) << c.message;
}

// Findings of a kind are said in one line, at the first line in the file,
// with the count and the first few others; an error is a kind of its own.
TEST(Findings, AKindIsSaidOnceWithItsCountAndFirstLines)
{
    Findings findings;
    for (int i = 0; i < 8; ++i)
        findings.add(0, 10 - i, false, "barcode '" + std::to_string(i) + "' names format 'f', which is missing");
    findings.add(0, 20, true, "barcode '9' names format 'f', which is missing");
    std::ostringstream out;
    findings.write(out, {"in.csv"}, "warning: ", "", "row");
    EXPECT_EQ(out.str(), "in.csv:3: warning: barcode '7' names format 'f', which is missing (and 7 more rows like it, "
                         "at lines 4 ('6'), 5 ('5'), 6 ('4'), 7 ('3'), 8 ('2'), ...)\n"
                         "in.csv:20: barcode '9' names format 'f', which is missing\n");
    EXPECT_EQ(findings.count(), 9u);
}

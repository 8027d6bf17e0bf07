#include "csv.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

// CSV as the tools write it and as spreadsheets write it back.
TEST(Csv, FieldsAreQuotedWhereNeededAndReadBack)
{
    const struct {
        const char* text;
        bool as_text;
        const char* field;
    } written[] = {
        {"plain", false, "plain"},       {"a,b", false, "\"a,b\""},       {"say \"hi\"", false, "\"say \"\"hi\"\"\""},
        {"a\rb", false, "\"a\rb\""},      {"a\nb", false, "\"a\nb\""},      {" 1.99", false, " 1.99"},
        {"-1+1", true, "\"'-1+1\""},     {"x", true, "\"x\""},          {"@", true, "\"'@\""},
    };
    for (const auto& w : written) {
        std::string out;
        append_csv_field(out, w.text, w.as_text);
        EXPECT_EQ(out, w.field) << w.text;
    }
    const struct {
        const char* csv;
        char delimiter;
        std::vector<std::vector<std::string>> records;
    } read[] = {
        {"\"a,b\";c\n1;2\n", ';', {{"a,b", "c"}, {"1", "2"}}},          // a comma inside quotes is no delimiter
        {"\"ab\"cd,e\r\n\"x\"\"y\",\n", ',', {{"abcd", "e"}, {"x\"y", ""}}}, // text after a closing quote is kept
        {"\xef\xbb\xbf" "a\tb\n", '\t', {{"a", "b"}}},
        {"a\n1", ',', {{"a"}, {"1"}}}, // the last line without its line end
    };
    for (const auto& r : read) {
        Csv_reader reader(r.csv);
        EXPECT_EQ(reader.delimiter(), r.delimiter) << r.csv;
        std::vector<std::vector<std::string>> records;
        std::vector<std::string> fields;
        Error error;
        while (!reader.at_end() && reader.next(fields, error)) records.push_back(fields);
        EXPECT_EQ(records, r.records) << r.csv;
    }
}

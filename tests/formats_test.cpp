// Tag=value lines and the merging of a format with a barcode's tags.
#include "formats.h"

#include <gtest/gtest.h>

#include "database_test_util.h"

namespace {

TEST(TagValue, LinesSplitAtTheFirstEqualsSign)
{
    struct Case {
        const char* line;
        bool bad;
        const char* tag;
        const char* value;
    };
    const Case cases[] = {
        {"tag.price=1.99", false, "tag.price", "1.99"},
        {"format=shelf", false, "format", "shelf"},
        {"tag.url=a=b=c", false, "tag.url", "a=b=c"},
        {"tag.note=", false, "tag.note", ""},
        {"=1.99", false, "", "1.99"},
        {"=", false, "", ""},
        {"tag.colour", true, "", ""},
        {"", true, "", ""},
        {"tag.a = b ", false, "tag.a ", " b "},
        {"tag.x=\\e\\x41;#", false, "tag.x", "\\e\\x41;#"},
    };
    for (const Case& c : cases) {
        Tag_value tv{std::string(c.line)};
        EXPECT_EQ(tv.fail(), c.bad) << c.line;
        EXPECT_EQ(tv.tag(), c.tag) << c.line;
        EXPECT_EQ(tv.value(), c.value) << c.line;
    }
}

Barcode_tags shelf_tags()
{
    static Barcode_db db; // holds what the tags view
    static const Barcode_tags tags = tags_of(db, "[shelf]\nformat=shelf\ntag.name=Apple\ntag.price=1.99\ntag.empty=\ntag.tricky=${name}\\n\ntag.unit=kg=1\n",
                                             "shelf");
    return tags;
}

TEST(Format, MergesPlaceholdersAsTheWorkedExamplesShow)
{
    struct Case {
        std::string format;
        std::string merged;
        Lines log;
    };
    const std::string missing = "' from format 'shelf' not found: using empty string.";
    const Case cases[] = {
        {"Item: ${name} costs ${price}", "Item: Apple costs 1.99", {}},
        {"${name}", "Apple", {}},
        {"${price}/${price}", "1.99/1.99", {}},
        {"[${size}]", "[]", {"WRN Tag 'tag.size" + missing}},
        {"${format}", "", {"WRN Tag 'tag.format" + missing}},
        {"${tag.price}", "", {"WRN Tag 'tag.tag.price" + missing}},
        {"${}", "", {"WRN Tag 'tag." + missing}},
        {"A${name", "A${name", {"WRN Format error: '${' not closed in format 'shelf' at position 3"}},
        {"Total ${price} EUR${name", "Total 1.99 EUR${name",
         {"WRN Format error: '${' not closed in format 'shelf' at position 20"}},
        {"\\${name}", "\\${name}", {}},
        {"\\\\${name}", "\\\\Apple", {}},
        {"${na\\}me}", "", {"WRN Tag 'tag.na\\}me" + missing}},
        {"${a${b}}", "}", {"WRN Tag 'tag.a${b" + missing}},
        {"5$ {x} } ", "5$ {x} } ", {}},
        // Further edges.
        {"", "", {}},
        {"plain \\n {} \\x41", "plain \\n {} \\x41", {}},
        {"x${name}", "xApple", {}},
        {"cost$", "cost$", {}},
        {"cost${", "cost${", {"WRN Format error: '${' not closed in format 'shelf' at position 6"}},
        {"${size}${size}", "", {"WRN Tag 'tag.size" + missing, "WRN Tag 'tag.size" + missing}},
        {"<${empty}>", "<>", {}},
        {"${tricky}", "${name}\\n", {}},
        {"a\\", "a\\", {}},
        {"${name\\}", "${name\\}", {"WRN Format error: '${' not closed in format 'shelf' at position 2"}},
        {"${unit=kg}", "", {"WRN Tag 'tag.unit=kg" + missing}}, // the tag is "tag.unit": a tag holds no '='
    };
    Barcode_tags tags = shelf_tags();
    for (const Case& c : cases) {
        Format format("shelf", c.format);
        std::string merged;
        Lines log = logged(3, [&] { merged = format.merge_tag_values(tags); });
        EXPECT_EQ(merged, c.merged) << c.format;
        EXPECT_EQ(log, c.log) << c.format;
        EXPECT_EQ(format.text(), c.format);
    }
}

TEST(Format, LinesJoinWithoutSeparatorAndFallbackNameShowsEmpty)
{
    Format format("", "");
    format.add_formatting("${na");
    format.add_formatting("me} ${x}");
    EXPECT_EQ(format.text(), "${name} ${x}");
    std::string merged;
    const Barcode_tags tags = shelf_tags();
    Lines log = logged(0, [&] { merged = format.merge_tag_values(tags); });
    EXPECT_EQ(merged, "Apple ");
    EXPECT_EQ(log, Lines{"WRN Tag 'tag.x' from format '' not found: using empty string."});
}

} // namespace

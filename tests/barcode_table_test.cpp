// The tags of a barcode as the table holds them.
#include "barcode_table.h"

#include <gtest/gtest.h>

#include "database_test_util.h"

namespace {

TEST(BarcodeTags, HoldOneValuePerTagAndAreSearchedByTagAlone)
{
    Barcode_db db;
    Barcode_tags tags = tags_of(db, "[x]\ntag.price=1.99\ntag.price=2.99\ntag.name =Pen\nPrice=X\n", "x");
    using List = std::vector<std::pair<std::string_view, std::string_view>>;
    // The second tag.price is dropped: the first wins.
    EXPECT_EQ(tags.list(), (List{{"tag.price", "1.99"}, {"tag.name ", "Pen"}, {"Price", "X"}}));
    EXPECT_EQ(value_of(tags, "tag.price"), "1.99");
    EXPECT_EQ(value_of(tags, "tag.name"), "(none)");
    EXPECT_EQ(value_of(tags, "tag.name "), "Pen");
    EXPECT_EQ(value_of(tags, "tag.price=1.99"), "(none)") << "a tag holds no '='";
    EXPECT_TRUE(Tag_value("Price", "") < Tag_value("price", ""));
    EXPECT_TRUE(Tag_value("price", "") < Tag_value("\xe9", ""));
    EXPECT_TRUE(Tag_value("pri", "") < Tag_value("price", ""));
    EXPECT_FALSE(Tag_value("a", "2") < Tag_value("a", "1"));

    // Many tags in one section, repeated: the first line of each wins.
    std::string many = "[m]\n";
    for (int round = 0; round < 2; ++round)
        for (int i = 99; i >= 0; --i) many += "t" + std::to_string(i) + "=" + std::to_string(round) + "\n";
    Barcode_db big;
    tags = tags_of(big, many, "m");
    ASSERT_EQ(tags.list().size(), 100u);
    EXPECT_EQ(value_of(tags, "t7"), "0");
    EXPECT_EQ(tags.list()[0].first, "t99");
}

} // namespace

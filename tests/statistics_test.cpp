#include "statistics.h"

#include <gtest/gtest.h>
#include <string>

namespace {

// The barcodes asked for most stay counted among a flood of others, in
// bounded memory.
TEST(TopBarcodes, FrequentOnesSurviveAFloodOfOthers)
{
    Top_barcodes top;
    for (int i = 0; i < 100000; ++i) {
        top.add("flood" + std::to_string(i));
        if (i % 100 == 0) top.add("often");
        if (i % 200 == 0) top.add("sometimes"); // more often than 1 in `tracked`
    }
    const auto most = top.top(1000);
    EXPECT_EQ(most.size(), Top_barcodes::tracked);
    ASSERT_GE(most.size(), 2u);
    EXPECT_EQ(most[0].first, "often");
    EXPECT_GE(most[0].second, 1000u);
    EXPECT_EQ(most[1].first, "sometimes");
    EXPECT_GE(most[1].second, 500u);
    Top_barcodes few; // exact while few
    for (const char* b : {"b", "a", "b", "c", "a", "b"}) few.add(b);
    EXPECT_EQ(few.top(2), (std::vector<std::pair<std::string, unsigned long>>{{"b", 3}, {"a", 2}}));
    // Once full, a newcomer takes the least count over, + 1.
    Top_barcodes full;
    for (std::size_t i = 0; i < Top_barcodes::tracked; ++i) full.add(std::to_string(i));
    full.add("new");
    EXPECT_EQ(full.top(1), (std::vector<std::pair<std::string, unsigned long>>{{"new", 2}}));
}

} // namespace

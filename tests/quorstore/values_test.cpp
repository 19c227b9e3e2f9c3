#include "values.h"

#include <gtest/gtest.h>

namespace quorstore {
namespace {

TEST(QuorstoreValues, HexAcceptsSeparatorsPrefixAndBothCases) {
    EXPECT_EQ(parse_hex("0x0aFF"), (Bytes{0x0A, 0xFF}));
    EXPECT_EQ(parse_hex("de:ad be-ef"), (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(parse_hex(""), Bytes{});
}

TEST(QuorstoreValues, HexRefusesOddDigitsStrayCharactersAndSplitBytes) {
    EXPECT_FALSE(parse_hex("abc"));
    EXPECT_FALSE(parse_hex("zz"));
    EXPECT_FALSE(parse_hex("a b"));
}

TEST(QuorstoreValues, HexRoundTripsEveryByte) {
    Bytes all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<uint8_t>(i));
    }
    EXPECT_EQ(parse_hex(to_hex(all)), all);
}

TEST(QuorstoreValues, U32ParsesDecimalAndHexAndRefusesOverflow) {
    EXPECT_EQ(parse_u32("4294967295"), 0xFFFFFFFFu);
    EXPECT_EQ(parse_u32("0x1F"), 31u);
    EXPECT_FALSE(parse_u32("4294967296"));
    EXPECT_FALSE(parse_u32("0x100000000"));
    EXPECT_FALSE(parse_u32("12a"));
    EXPECT_FALSE(parse_u32(""));
}

}  // namespace
}  // namespace quorstore

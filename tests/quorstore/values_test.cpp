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

TEST(QuorstoreValues, HexProblemsNameTheCause) {
    const std::pair<std::string, std::string> cases[] = {
        {"zz", "'z' at position 1 is not a hex digit"},
        {"0x0g", "'g' at position 4 is not a hex digit"},
        {"abc", "an odd number of hex digits (two make a byte)"},
        {"a b", "a separator at position 2 splits a byte"},
    };
    for (const auto &[text, why] : cases) {
        std::string problem;
        EXPECT_FALSE(parse_hex(text, &problem)) << text;
        EXPECT_EQ(problem, why) << text;
    }
}

TEST(QuorstoreValues, IntegerKindsEncodeLittleEndianWithinTheirRange) {
    struct Case {
        const char *suffix;
        const char *number;
        const char *hex;  // nullptr: refused
    };
    const Case cases[] = {
        {"u8", "255", "ff"},
        {"u8", "256", nullptr},
        {"u8", "-1", nullptr},
        {"u16", "0x1234", "3412"},
        {"u16", "65536", nullptr},
        {"u32", "1500", "dc050000"},
        {"u32", "4294967295", "ffffffff"},
        {"u32", "4294967296", nullptr},
        {"u64", "18446744073709551615", "ffffffffffffffff"},
        {"u64", "18446744073709551616", nullptr},
        {"u64", "0x0102030405060708", "0807060504030201"},
        {"i32", "-1", "ffffffff"},
        {"i32", "-2147483648", "00000080"},
        {"i32", "-2147483649", nullptr},
        {"i32", "2147483647", "ffffff7f"},
        {"i32", "2147483648", nullptr},
        {"i32", "-0x10", "f0ffffff"},
        {"u32", "", nullptr},
        {"u32", "0x", nullptr},
        {"u32", "1e3", nullptr},
        {"u32", "+5", nullptr},
    };
    for (const Case &c : cases) {
        const auto kind = value_kind(c.suffix);
        ASSERT_TRUE(kind) << c.suffix;
        std::string problem;
        const auto bytes = encode_integer(*kind, c.number, &problem);
        if (c.hex == nullptr) {
            EXPECT_FALSE(bytes) << c.suffix << " " << c.number;
            EXPECT_FALSE(problem.empty());
        } else {
            ASSERT_TRUE(bytes) << c.suffix << " " << c.number << ": " << problem;
            EXPECT_EQ(to_hex(*bytes), c.hex) << c.suffix << " " << c.number;
        }
    }
}

TEST(QuorstoreValues, SuffixesSplitOnlyKnownKinds) {
    EXPECT_EQ(split_value_kind("/home/a:u32"),
              std::make_pair(std::string("/home/a"), ValueKind::kU32));
    EXPECT_EQ(split_value_kind("/home/a:hex"),
              std::make_pair(std::string("/home/a"), ValueKind::kHex));
    EXPECT_EQ(split_value_kind("/home/a:b"),
              std::make_pair(std::string("/home/a:b"), ValueKind::kText));
    EXPECT_EQ(split_value_kind("/home/a"),
              std::make_pair(std::string("/home/a"), ValueKind::kText));
}

TEST(QuorstoreValues, TextForReadersAndForValueLines) {
    struct Case {
        Bytes bytes;
        std::optional<std::string> readable;
        bool line;
    };
    const Case cases[] = {
        {text_bytes("plain"), "plain", true},
        {text_bytes("gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80"), "gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80",
         true},
        {Bytes{'a', 'b', 0, 0}, "ab", false},  // NUL terminators: readable, not a line
        {Bytes{'a', 0, 'b'}, std::nullopt, false},
        {text_bytes("two\nlines"), "two\nlines", false},
        {text_bytes(" padded"), " padded", false},
        {Bytes{0xC3}, std::nullopt, false},                    // cut sequence
        {Bytes{0xC0, 0xAF}, std::nullopt, false},              // overlong
        {Bytes{0xED, 0xA0, 0x80}, std::nullopt, false},        // surrogate
        {Bytes{0xF4, 0x90, 0x80, 0x80}, std::nullopt, false},  // above U+10FFFF
        {Bytes{0x7F}, std::nullopt, false},
        {Bytes{}, "", true},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(readable_text(c.bytes), c.readable) << to_hex(c.bytes);
        EXPECT_EQ(is_line_text(c.bytes), c.line) << to_hex(c.bytes);
    }
}

TEST(QuorstoreValues, PluralAgreesWithTheCount) {
    EXPECT_EQ(plural(1, "byte", "bytes"), "1 byte");
    EXPECT_EQ(plural(0, "byte", "bytes"), "0 bytes");
    EXPECT_EQ(plural(2, "problem", "problems"), "2 problems");
}

}  // namespace
}  // namespace quorstore

#include "common/gbk.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>

using namespace velmora;

TEST(Gbk, ChineseRoundTripsThroughUtf8AndUtf16) {
    const std::string utf8 = "物流跟踪 Velmora数据库升级";
    auto gbk = utf8_to_gbk(utf8);
    ASSERT_TRUE(gbk);
    EXPECT_EQ(*gbk, std::string("\xCE\xEF\xC1\xF7\xB8\xFA\xD7\xD9") + " Velmora" +
                        "\xCA\xFD\xBE\xDD\xBF\xE2\xC9\xFD\xBC\xB6");
    EXPECT_TRUE(is_valid_gbk(*gbk));
    EXPECT_EQ(gbk_to_utf8(*gbk), utf8);
    auto u16 = gbk_to_utf16(*gbk);
    ASSERT_TRUE(u16);
    EXPECT_EQ(utf16_to_utf8(*u16), utf8);
    EXPECT_EQ(utf8_to_utf16(utf8), *u16);
}

TEST(Gbk, InvalidSequencesAreRefusedOrReplacedForDisplay) {
    // A lead byte at the end, and a lead byte followed by a byte that cannot trail.
    for (std::string bad : {std::string("abc\x81"), std::string("a\x81\x20z"), std::string("\xFF")}) {
        EXPECT_FALSE(is_valid_gbk(bad)) << bad;
        EXPECT_FALSE(gbk_to_utf16(bad));
        std::string shown = gbk_to_utf8_lossy(bad);
        EXPECT_NE(shown.find("\xEF\xBF\xBD"), std::string::npos);
    }
    EXPECT_EQ(gbk_to_utf8_lossy("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
}

TEST(Gbk, AsciiAndEmptyAreValid) {
    EXPECT_TRUE(is_valid_gbk(""));
    EXPECT_TRUE(is_valid_gbk("create procedure p as begin select 1 end\r\n"));
    EXPECT_EQ(gbk_to_utf16(""), std::u16string());
}

TEST(Utf16, SurrogatePairsAndBrokenUtf8) {
    const std::string emoji = "\xF0\x9F\x98\x80";
    auto u16 = utf8_to_utf16(emoji);
    ASSERT_EQ(u16.size(), 2u);
    EXPECT_EQ(utf16_to_utf8(u16), emoji);
    EXPECT_EQ(utf8_to_utf16("a\xC3"), (std::u16string{u'a', 0xFFFD}));
    // An encoded surrogate and an overlong slash are not characters.
    EXPECT_EQ(utf8_to_utf16("\xED\xA0\x80"), (std::u16string{0xFFFD, 0xFFFD, 0xFFFD}));
    EXPECT_EQ(utf8_to_utf16("\xC0\xAF"), (std::u16string{0xFFFD, 0xFFFD}));
    EXPECT_EQ(utf16_to_utf8(std::u16string{0xD800, u'x'}), "\xEF\xBF\xBDx");
}

// The quick check must agree with the conversion on every character: each
// one- and two-byte string, alone and after ASCII, before a lead byte and
// before more ASCII.
namespace {

// What the one-pass check of text to be sent must say: a NUL first, then validity.
gbk_text text_verdict(const std::string& s) {
    if (s.find('\0') != std::string::npos) return gbk_text::holds_nul;
    return is_valid_gbk(s) ? gbk_text::sendable : gbk_text::invalid;
}

}  // namespace

TEST(Gbk, ValidityAgreesWithTheConversionOnEveryByteAndPair) {
    // ASCII before the pair puts it at every kind of place of the eight- and
    // sixteen-byte steps.
    const std::string prefixes[] = {"", "select 1", "select 1 from t", "select 1 from t;", "select 1 from t_item"};
    int disagreements = 0;
    for (int a = 0; a < 256; ++a) {
        const std::string one(1, static_cast<char>(a));
        if (is_valid_gbk(one) != gbk_to_utf8(one).has_value()) ++disagreements;
        for (int b = 0; b < 256; ++b) {
            const std::string two = one + static_cast<char>(b);
            for (const std::string& prefix : prefixes)
                for (const std::string& s : {prefix + two, prefix + two + "\x81", prefix + two + "-- select 2 from t"}) {
                    if (is_valid_gbk(s) != gbk_to_utf8(s).has_value()) ++disagreements;
                    if (check_gbk_text(s) != text_verdict(s)) ++disagreements;
                }
        }
    }
    // Characters strung together across the sixteen-byte blocks the one-pass
    // check takes whole.
    const std::string pieces[] = {"a", "select ", "\xB2\xE9", "\xD6\xD0\xCE\xC4", "\x80", "\x81\x40", "\x81",
                                  "\xFF", std::string(1, '\0'), "\xFE\xFE", "\x7F"};
    std::uint32_t seed = 12345;
    for (int round = 0; round < 20000; ++round) {
        std::string s;
        for (int k = static_cast<int>(seed % 24); k >= 0; --k) {
            seed = seed * 1664525u + 1013904223u;
            s += pieces[(seed >> 16) % std::size(pieces)];
        }
        if (check_gbk_text(s) != text_verdict(s)) ++disagreements;
        // Reversed as a package stores it, then checked as it is turned back.
        std::string back;
        if (reverse_gbk_text(std::string(s.rbegin(), s.rend()), back) != text_verdict(s) || back != s) ++disagreements;
    }
    EXPECT_EQ(disagreements, 0);
    // Code page 936 has the euro sign as a single byte, and its user-defined
    // area maps to private use characters, as Windows has it.
    EXPECT_TRUE(is_valid_gbk("\x80"));
    EXPECT_TRUE(is_valid_gbk("\xAA\xA1"));
    EXPECT_FALSE(is_valid_gbk("\xFF"));
    EXPECT_FALSE(is_valid_gbk("\x81\x7F"));
}

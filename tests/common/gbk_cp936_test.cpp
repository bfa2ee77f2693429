// Code page 936 as Windows defines it, on every platform: a script that is valid
// on one is valid on the other and converts to the same text.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common/gbk.h"

using namespace velmora;

namespace {

// Double-byte codes Windows maps to the private use area where glibc's CP936
// has no mapping: user-defined blocks, their ends, and codes of the GB 18030
// additions.
struct windows_only_code {
    const char* gbk;
    char16_t unicode;
};
constexpr windows_only_code windows_only[] = {
    {"\xA1\x40", 0xE4C6}, {"\xAA\xA1", 0xE000}, {"\xF8\xA1", 0xE234}, {"\xFE\x50", 0xE815},
    {"\xFE\xFE", 0xE4C5}, {"\xA3\xA0", 0xE5E5}, {"\xD7\xFA", 0xE810}, {"\xA8\xBF", 0xE7C8},
};

struct fnv1a {
    std::uint64_t h = 0xcbf29ce484222325ull;
    void add(unsigned char b) { h = (h ^ b) * 0x100000001b3ull; }
};

std::string utf8_of(char16_t c) { return utf16_to_utf8(std::u16string(1, c)); }

}  // namespace

TEST(Cp936, CodesOnlyWindowsDefinesConvertBothWays) {
    for (const auto& c : windows_only) {
        const std::string gbk = c.gbk;
        SCOPED_TRACE(testing::Message() << std::hex << (static_cast<unsigned>(static_cast<unsigned char>(gbk[0])) << 8 |
                                                        static_cast<unsigned char>(gbk[1])));
        EXPECT_TRUE(is_valid_gbk(gbk));
        EXPECT_EQ(gbk_to_utf16(gbk), std::u16string(1, c.unicode));
        EXPECT_EQ(gbk_to_utf8(gbk), utf8_of(c.unicode));
        EXPECT_EQ(gbk_to_utf8_lossy(gbk), utf8_of(c.unicode));
        EXPECT_EQ(utf8_to_gbk(utf8_of(c.unicode)), gbk);
    }
}

TEST(Cp936, CodesOnlyWindowsDefinesMixWithOrdinaryText) {
    // 库存 A140 x FEFE 表 : the private use codes sit between ordinary ones and
    // do not shift the pairing of the bytes around them.
    const std::string gbk = "\xBF\xE2\xB4\xE6\xA1\x40x\xFE\xFE\xB1\xED";
    const std::string utf8 = "库存\xEE\x93\x86x\xEE\x93\x85表";
    EXPECT_TRUE(is_valid_gbk(gbk));
    EXPECT_EQ(gbk_to_utf8(gbk), utf8);
    EXPECT_EQ(utf8_to_gbk(utf8), gbk);
    // A damaged byte next to them is replaced for display, and refused otherwise.
    EXPECT_EQ(gbk_to_utf8_lossy("\xFF\xAA\xA1\x81"), "\xEF\xBF\xBD\xEE\x80\x80\xEF\xBF\xBD");
    EXPECT_FALSE(gbk_to_utf8("\xAA\xA1\x81"));
    EXPECT_FALSE(is_valid_gbk("\xAA\xA1\xFF"));
}

TEST(Cp936, EveryDoubleByteCodeIsDefined) {
    int undefined = 0;
    for (int lead = 0x81; lead <= 0xFE; ++lead)
        for (int trail = 0x40; trail <= 0xFE; ++trail) {
            if (trail == 0x7F) continue;
            const std::string code{static_cast<char>(lead), static_cast<char>(trail)};
            if (!is_valid_gbk(code)) ++undefined;
        }
    EXPECT_EQ(undefined, 0);
    // What is left undefined: a lone 0xFF, a lead byte without its trail byte,
    // and trail bytes outside 0x40..0xFE or 0x7F.
    EXPECT_FALSE(is_valid_gbk("\xFF"));
    EXPECT_FALSE(is_valid_gbk("\xA1"));
    EXPECT_FALSE(is_valid_gbk("\xA1\x7F"));
    EXPECT_FALSE(is_valid_gbk("\xA1\x3F"));
    EXPECT_EQ(gbk_to_utf16("\x80"), std::u16string(1, u'\u20AC'));
}

TEST(Cp936, CharactersWithoutAnExactRoundTripAreRefused) {
    // Windows writes U+F8F5 as a lone 0xFF, which it does not read back.
    EXPECT_FALSE(utf8_to_gbk(utf8_of(0xF8F5)));
    // Best-fit substitutes are not conversions either.
    EXPECT_FALSE(utf8_to_gbk("\xE2\x88\xBC"));  // U+223C TILDE OPERATOR
    EXPECT_FALSE(utf8_to_gbk("\xC3\xA5"));      // U+00E5
    // Malformed UTF-8 never reaches the table.
    EXPECT_FALSE(utf8_to_gbk("\xEE\x80"));
    EXPECT_FALSE(utf8_to_gbk("\xED\xA0\x80"));
}

// The whole table, pinned: the hashes were taken from Windows' own conversion
// (MultiByteToWideChar with MB_ERR_INVALID_CHARS, WideCharToMultiByte with
// WC_NO_BEST_FIT_CHARS and an exact round trip), run under Wine.
TEST(Cp936, WholeTableMatchesWindows) {
    fnv1a to_unicode;
    auto add_code = [&](const std::string& code) {
        auto u = gbk_to_utf16(code);
        if (!u) {
            to_unicode.add(0xFF);
            to_unicode.add(0xFF);
            return;
        }
        for (char16_t c : *u) {
            to_unicode.add(static_cast<unsigned char>(c & 0xFF));
            to_unicode.add(static_cast<unsigned char>(c >> 8));
        }
    };
    for (int b = 0; b < 256; ++b) add_code(std::string(1, static_cast<char>(b)));
    for (int lead = 0x81; lead <= 0xFE; ++lead)
        for (int trail = 0x40; trail <= 0xFE; ++trail)
            if (trail != 0x7F) add_code(std::string{static_cast<char>(lead), static_cast<char>(trail)});
    EXPECT_EQ(to_unicode.h, 0xc6044255efa8a1bfull);

    fnv1a to_gbk;
    for (char32_t cp = 0; cp < 0x10000; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        auto g = utf8_to_gbk(utf8_of(static_cast<char16_t>(cp)));
        if (!g) {
            to_gbk.add(0xFF);
            continue;
        }
        to_gbk.add(static_cast<unsigned char>(g->size()));
        for (char b : *g) to_gbk.add(static_cast<unsigned char>(b));
    }
    EXPECT_EQ(to_gbk.h, 0x96cee05e14e85e1dull);
}

// Double-byte GBK characters never take part in a keyword match: a trail
// byte that looks like an ASCII letter is part of its character.

#include <gtest/gtest.h>

#include <string>

#include "common/gbk_search.h"
#include "package/statement_builder.h"

namespace gt = velmora::gbk_search;
using velmora::split_failure;

TEST(GbkText, LowerCasesOnlyAsciiLetters) {
    EXPECT_EQ(gt::ascii_lower("CREATE Proc \xC0\xC1 \x81\x41Z"), "create proc \xC0\xC1 \x81\x61z");
    // Bytes outside A..Z, high bytes included, are kept as they are.
    std::string all;
    for (int c = 1; c < 256; ++c)
        if (c < 'A' || c > 'Z') all += static_cast<char>(c);
    EXPECT_EQ(gt::ascii_lower(all), all);
    // Every byte at every place of an eight-byte step and in the tail.
    for (int c = 0; c < 256; ++c) {
        const char lowered = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : static_cast<char>(c);
        for (std::size_t at = 0; at < 11; ++at) {
            std::string s(11, 'Q');
            s[at] = static_cast<char>(c);
            std::string expected(11, 'q');
            expected[at] = lowered;
            ASSERT_EQ(gt::ascii_lower(s), expected) << c << " at " << at;
        }
    }
}

TEST(GbkText, SearchesMatchOnlyAtCharacterStarts) {
    struct row {
        std::string text, needle;
        std::size_t first, last;
    };
    const row rows[] = {
        {"abc as", "as", 4, 4},
        {"\x81" "as", "as", gt::npos, gt::npos},                 // 'a' is a trail byte
        {"\x81" "asas", "as", 3, 3},                              // the second one stands alone
        {"as\x81" "as", "as", 0, 0},
        {"\x81\x53\x81\x61s", "as", gt::npos, gt::npos},          // both letters are trail bytes
        {"\x81\x81" "as", "as", 2, 2},                            // 81 81 is one character
        {"\x81\x81\x81" "as", "as", gt::npos, gt::npos},          // 81 81, then 81 61
        {"\x81\x0d\x0ago", "\r\ngo", 1, 1},                       // a lead without trail stands alone
        {"\xff" "as", "as", 1, 1},                                // 0xFF is no lead byte
        {"\x80" "as", "as", 1, 1},                                // nor is 0x80
        {"\x81\x7f" "as", "as", 2, 2},                            // 0x7F is no trail byte
        {"xx", "", gt::npos, gt::npos},
        {"a", "as", gt::npos, gt::npos},
        {"forfor", "for", 0, 3},
        {"aaa", "aa", 0, 1},                                      // overlapping matches
    };
    for (const row& r : rows) {
        EXPECT_EQ(gt::find(r.text, r.needle), r.first) << r.text;
        EXPECT_EQ(gt::rfind(r.text, r.needle), r.last) << r.text;
    }
}

TEST(StatementBuilder, KeywordsAreNeverMatchedAcrossADoubleByteCharacter) {
    struct row {
        const char* label;
        std::string script;
        split_failure failure;
        std::string create;
    };
    const std::string drop = "drop x\r\ngo\r\n";
    const row rows[] = {
        {"trail 'A' before S is no as", drop + "create proc p \x81\x41S\r\nbegin end", split_failure::procedure_key, ""},
        {"the real as before it is used",
         drop + "create proc p as x\x81\x41S\r\nbegin end", split_failure::none,
         "create proc p  with ENCRYPTION as x\x81\x41S\r\nbegin end"},
        {"81 53 81 61 holds no keyword",
         drop + "create proc p_\x81\x53\x81\x61s as begin end", split_failure::none,
         "create proc p_\x81\x53\x81\x61s  with ENCRYPTION as begin end"},
        {"trail 'F' before OR is no for", drop + "create proc p as \x81\x46OR begin end", split_failure::none,
         "create proc p  with ENCRYPTION as \x81\x46OR begin end"},
        {"trail 'B' before EGIN is no begin", drop + "create proc p as \x81\x42" "EGIN begin end", split_failure::none,
         "create proc p  with ENCRYPTION as \x81\x42" "EGIN begin end"},
        {"trail 'C' before REATE is no create key",
         "drop \x81\x43REATE x\r\ngo\r\ncreate proc p as begin end", split_failure::none,
         "create proc p  with ENCRYPTION as begin end"},
        {"Chinese text around the keywords",
         drop + "create proc p_\xB2\xE2\xCA\xD4 as /* \xD6\xD0\xCE\xC4 */ begin select '\xC4\xE3\xBA\xC3' end",
         split_failure::none,
         "create proc p_\xB2\xE2\xCA\xD4  with ENCRYPTION as /* \xD6\xD0\xCE\xC4 */ begin select '\xC4\xE3\xBA\xC3' end"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.label);
        std::string create = r.script, out_drop;
        EXPECT_EQ(velmora::get_sql_go_checked(create, out_drop), r.failure);
        if (r.failure == split_failure::none) {
            EXPECT_EQ(create, r.create);
        }
    }
}

TEST(StatementBuilder, DropSectionEndingInALoneLeadByte) {
    std::string create = "drop x\x81\r\ngo\r\ncreate proc p as begin end", drop;
    ASSERT_TRUE(velmora::wf_get_sql_go(create, drop));
    EXPECT_EQ(drop, "drop x\x81");
}

// The builder over real folders: listing, order, refusals and the package
// it writes. Runs on every platform; what only Linux can make (links, modes,
// FIFOs, process limits) is in builder_posix_test.cpp, Windows' attributes
// and wide names in builder_windows_test.cpp.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "builder_test_support.h"
#include "common/app_names.h"
#include "common/ui_services.h"
#include "package/package_builder.h"
#include "package/package_format.h"

using namespace velmora;
using namespace builder_test;

namespace {

TEST_F(BuilderTest, AnEmptyFolderGivesTheEndMarkerAloneUnlessRefused) {
    put("notes.txt", "no script");
    build_result r = build();
    EXPECT_TRUE(r.written);
    EXPECT_EQ(r.how, build_result::outcome::written);
    EXPECT_TRUE(r.names.empty());
    EXPECT_EQ(package(), "@@@@");
    EXPECT_TRUE(ui_.boxes().empty());
    EXPECT_EQ(ui_.busy_depth, 0);

    write_bytes(run_ + "db.dat", "old");
    build_options strict;
    strict.allow_empty = false;
    r = build_package_file(scripts_, run_ + "db.dat", ui_, strict);
    EXPECT_EQ(r.how, build_result::outcome::folder_empty);
    EXPECT_EQ(package(), "old");
    ASSERT_EQ(ui_.boxes().size(), 1u);
    EXPECT_EQ(ui_.boxes()[0], std::make_pair(std::string(gs_appname),
                                             "脚本目录“" + scripts_ + "”中没有 .sql 脚本，数据库升级程序包未生成。"));
}

// A folder that is missing, no folder, or cannot be listed: one box naming
// it, and the package as it was (a package of "@@@@" would re-create nothing).
TEST_F(BuilderTest, AFolderThatCannotBeListedLeavesThePackageAlone) {
    put("a_MS.sql", proc_script);
    write_bytes(temp_.dir() + "file.sql", proc_script);
    const std::string old = package::encode_package({{"old_MS.sql", proc_script}});
    write_bytes(run_ + "db.dat", old);
    const struct {
        std::string folder;
        std::string says;
    } cases[] = {
        {scripts_ + "nowhere/", "脚本目录“" + scripts_ + "nowhere/”不存在，数据库升级程序包未生成。"},
        {(temp_.dir() + "file.sql"), "脚本目录“" + (temp_.dir() + "file.sql") + "”不是目录，数据库升级程序包未生成。"},
        {(temp_.dir() + "file.sql") + "/", "不是目录"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        ui_.events.clear();
        const build_result r = build_package(c.folder, run_, ui_);
        EXPECT_EQ(r.how, build_result::outcome::folder_unusable);
        EXPECT_FALSE(r.written);
        EXPECT_TRUE(r.names.empty());
        ASSERT_EQ(ui_.boxes().size(), 1u);
        EXPECT_EQ(ui_.boxes()[0].first, gs_appname);
        EXPECT_NE(ui_.boxes()[0].second.find(c.says), std::string::npos) << ui_.boxes()[0].second;
        EXPECT_EQ(package(), old);
        EXPECT_EQ(ui_.busy_depth, 0);
    }
}

TEST_F(BuilderTest, LargeScriptsGiveTheSameBytesAsOneWrite) {
    // Sizes around the flush threshold: the pending text is written out before
    // the big ones, and once with nothing pending at all.
    const std::string big = script_of(32756 - std::string("c_big_MS.sql").size());
    const std::string mid = script_of(31990, 'm');
    const std::string gbk_end = script_of(20000, 'y') + "\xB0\xA1";
    put("a_MS.sql", proc_script);
    put("b_mid_MS.sql", mid);
    put("c_big_MS.sql", big);
    put("e_MS.sql", gbk_end);

    build_result r = build();
    ASSERT_TRUE(r.written) << (ui_.boxes().empty() ? "" : ui_.boxes()[0].second);
    EXPECT_EQ(package(), package::encode_package({{"a_MS.sql", proc_script},
                                                  {"b_mid_MS.sql", mid},
                                                  {"c_big_MS.sql", big},
                                                  {"e_MS.sql", gbk_end}}));
    EXPECT_TRUE(ui_.boxes().empty());
}

TEST_F(BuilderTest, RebuildsAreIdenticalAndReplaceALongerPackageWhole) {
    put("a_MS.sql", proc_script);
    put("b_MS.sql", script_of(40));
    write_bytes(run_ + "db.dat", std::string(100000, 'Z'));

    ASSERT_TRUE(build().written);
    const std::string first = package();
    ASSERT_TRUE(build().written);
    EXPECT_EQ(package(), first);
    EXPECT_EQ(first, package::encode_package({{"a_MS.sql", proc_script}, {"b_MS.sql", script_of(40)}}));
    // No temporary file stays behind.
    EXPECT_EQ(run_dir_entries(), std::vector<std::string>{"db.dat"});
}

struct refusal_case {
    const char* label;
    std::string name;
    std::string script;
    std::string reason;  // fragment the message must contain
};

class BuilderRefusalTest : public BuilderTest,
                           public ::testing::WithParamInterface<refusal_case> {};

TEST_P(BuilderRefusalTest, RefusesTheWholeBuildAndKeepsTheOldPackage) {
    const refusal_case& c = GetParam();
    put("a_MS.sql", proc_script);
    put(c.name, c.script);
    put("z_MS.sql", proc_script);
    const std::string old = "$$$$$$old_MS.sql^^^^dlo####@@@@";
    write_bytes(run_ + "db.dat", old);

    build_result r = build();
    EXPECT_FALSE(r.written);
    EXPECT_EQ(r.names, (std::vector<std::string>{"a_MS.sql", c.name, "z_MS.sql"}));
    EXPECT_EQ(package(), old);
    ASSERT_EQ(ui_.boxes().size(), 1u);
    EXPECT_EQ(ui_.boxes()[0].first, gs_appname);
    const std::string text = ui_.boxes()[0].second;
    EXPECT_NE(text.find(scripts_ + c.name), std::string::npos) << text;
    EXPECT_NE(text.find(c.reason), std::string::npos) << text;
    EXPECT_EQ(ui_.busy_depth, 0);
    EXPECT_EQ(run_dir_entries(), std::vector<std::string>{"db.dat"});
}

INSTANTIATE_TEST_SUITE_P(
    EveryRule, BuilderRefusalTest,
    ::testing::Values(
        refusal_case{"CaretsInName", "m^^^^x_MS.sql", "select 1", "\"^^^^\""},
        refusal_case{"HashesInName", "m####x_MS.sql", "select 1", "\"####\""},
        refusal_case{"HashesInScript", "m_MS.sql", "select 1 -- ####\r\n", "含有 \"####\""},
        refusal_case{"LeadingHash", "m_MS.sql", "#select 1", "以 \"#\" 开头"},
        refusal_case{"NulByte", "m_MS.sql", std::string("select\0 1", 9), "NUL"},
        refusal_case{"InvalidGbk", "m_MS.sql", "select '\x81\x20'", "GBK"},
        refusal_case{"RecordOneByteTooLong", "m_MS.sql", script_of(32767 - 18), "超过 32766 字节（脚本 32749 字节）"},
        refusal_case{"FarTooLong", "m_MS.sql", std::string(200000, 's'), "过长：记录（名称头、文件名、正文头与脚本）超过 32766 字节（脚本 200000 字节）"},
        refusal_case{"Empty", "m_MS.sql", "", "是空文件"},
        refusal_case{"ByteOrderMark", "m_MS.sql", "\xEF\xBB\xBF" + script_of(60), "字节顺序标记（BOM）开头：脚本须以 GBK 编码保存"},
        refusal_case{"NoCreateKey", "m_MS.sql", "select 1", "未通过的检查：create key"},
        refusal_case{"NoProcedureKey", "m_MS.sql", "drop proc p\r\ngo\r\ncreate proc p begin end", "procedure key"},
        refusal_case{"NoBatchSeparator", "m_MS.sql", "create proc p as begin end", "batch separator"},
        // The clause would not encrypt: the object's source readable at every shop.
        refusal_case{"ClauseInAComment", "m_MS.sql",
                     "drop proc p_x\r\ngo\r\ncreate procedure p_x @a int = 1 as -- totals as of the day\r\nbegin end",
                     "第 3 行：插入的“ with ENCRYPTION ”会落在注释中，对象将不加密创建"},
        refusal_case{"ClauseInAHeaderComment", "m_MS.sql",
                     "drop proc p_x\r\ngo\r\ncreate procedure p_x as\r\n/* was: create */\r\nbegin end",
                     "第 4 行：插入的“ with ENCRYPTION ”会落在注释中"},
        // Saved by an editor as UTF-8 (this file is UTF-8): valid GBK byte for byte, yet garbled on every server.
        refusal_case{"Utf8Text", "m_MS.sql", "drop proc p\r\nGO\r\ncreate proc p as\r\nselect '门店库存汇总'\r\n",
                     "看来是以 UTF-8 编码保存的（第 4 行起有非 ASCII 字符）：脚本须以 GBK 编码（代码页 936）保存"},
        // Stored reversed this reads as a record header: the package would read as damaged.
        refusal_case{"ReversedRecordHeader", "m_MS.sql", script_of(60) + "-- ^^^^LQS.x$$$$$$\r\n", "完整的记录头"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(BuilderTest, RecordOfExactlyTheLimitIsAccepted) {
    // 6 + 8 + 4 + script = 32766
    const std::string script = script_of(32766 - 18);
    put("m_MS.sql", script);
    ASSERT_TRUE(build().written);
    EXPECT_EQ(package(), package::encode_package({{"m_MS.sql", script}}));
}

TEST_F(BuilderTest, NameEndingInCaretIsRefused) {
    // Cannot come from a listing of ".sql" files, but the check stands on its own.
    EXPECT_NE(script_refusal_reason("x^", "select 1"), "");
    EXPECT_EQ(script_refusal_reason("x_MS.sql", script_of(10) + "^^^^ $$$$$$ @@@@"), "");
}

TEST_F(BuilderTest, UnwritableRunDirectoryIsReported) {
    put("a_MS.sql", proc_script);
    // Root may write anywhere, so use places no one can create a file in.
    for (const std::string& run : {run_ + "missing/", run_ + "file/"}) {
        SCOPED_TRACE(run);
        write_bytes(run_ + "file", "x");
        ui_.events.clear();
        build_result r = build_package(scripts_, run, ui_);
        EXPECT_FALSE(r.written);
        EXPECT_EQ(r.names, std::vector<std::string>{"a_MS.sql"});
        ASSERT_EQ(ui_.boxes().size(), 1u);
        EXPECT_EQ(ui_.boxes()[0].first, gs_appname);
        const std::string text = ui_.boxes()[0].second;
        EXPECT_NE(text.find(run + "db.dat"), std::string::npos) << text;
        EXPECT_TRUE(text.find("No such file or directory") != std::string::npos ||
                    text.find("Not a directory") != std::string::npos)
            << text;
    }
    EXPECT_EQ(ui_.busy_depth, 0);
}

TEST_F(BuilderTest, Utf8NamesArePackagedAsGbkAndNamesWithoutAGbkFormAreRefused) {
    // 中文 in GBK: D6 D0 CE C4.
    put("中文_MS.sql", script_of(40));
    build_result r = build();
    ASSERT_TRUE(r.written) << (ui_.boxes().empty() ? "" : ui_.boxes()[0].second);
    EXPECT_EQ(r.names, std::vector<std::string>{"\xD6\xD0\xCE\xC4_MS.sql"});
    EXPECT_EQ(package(), package::encode_package({{"\xD6\xD0\xCE\xC4_MS.sql", script_of(40)}}));

    const std::string good = package();
    // An emoji has no GBK form; raw GBK bytes on disk are no UTF-8 name
    // (Windows names are UTF-16 and cannot hold them).
    std::vector<std::string> bad_names = {"\xF0\x9F\x98\x80_MS.sql"};
#ifndef _WIN32
    bad_names.push_back("\xD6\xD0_MS.sql");
#endif
    for (const std::string& bad : bad_names) {
        put(bad, script_of(40));
        ui_.events.clear();
        r = build();
        EXPECT_EQ(r.how, build_result::outcome::refused);
        ASSERT_EQ(ui_.boxes().size(), 1u);
        EXPECT_EQ(ui_.boxes()[0].second, "脚本 " + scripts_ + bad +
                                             " 的文件名无法转换为 GBK 编码（程序包中的文件名须为 GBK），数据库升级程序包未生成。");
        EXPECT_EQ(package(), good);
        fs::remove(velmora::path_from_utf8(scripts_ + bad));
    }
}

TEST_F(BuilderTest, PackageOrderIsOnTheGbkBytes) {
    // 啊 (GBK B0 A1, U+554A) comes before 中 (GBK D6 D0, U+4E2D) in GBK but
    // after it in Unicode; ASCII letters fold, and the raw bytes break ties.
    // (Names equal but for letter case are one file on Windows: their order
    // is pinned in builder_posix_test.cpp.)
    for (const char* name : {"中_MS.sql", "啊_MS.sql", "Zeta_MS.sql", "alpha_MS.sql", "ALPHA0_MS.sql"})
        put(name, script_of(40));
    const std::vector<std::string> expected = {"ALPHA0_MS.sql", "alpha_MS.sql", "Zeta_MS.sql",
                                               "\xB0\xA1_MS.sql", "\xD6\xD0_MS.sql"};
    EXPECT_EQ(list_scripts(scripts_), expected);
    const build_result r = build();
    ASSERT_TRUE(r.written);
    EXPECT_EQ(r.names, expected);
    EXPECT_EQ(decoded_names(package()), expected);
    EXPECT_TRUE(package_name_less("\xB0\xA1", "\xD6\xD0"));
    EXPECT_FALSE(package_name_less("a", "A"));
    EXPECT_TRUE(package_name_less("A", "a"));
}

// db.dat is replaced by a rename: a hard link to the old file keeps the old
// bytes, and no temporary file stays behind.
TEST_F(BuilderTest, ThePackageIsReplacedWholeAndALinkKeepsTheOldOne) {
    put("a_MS.sql", script_of(30000, 'a'));
    put("b_MS.sql", script_of(30000, 'b'));
    const std::string old = package::encode_package({{"old_MS.sql", proc_script}});
    write_bytes(run_ + "db.dat", old);
    fs::create_hard_link(velmora::path_from_utf8(run_ + "db.dat"), root_ / "old_link.dat");
    ASSERT_TRUE(build().written);
    EXPECT_EQ(slurp(temp_.dir() + "old_link.dat"), old);
    EXPECT_EQ(package(), package::encode_package({{"a_MS.sql", script_of(30000, 'a')},
                                                  {"b_MS.sql", script_of(30000, 'b')}}));
    EXPECT_EQ(run_dir_entries(), std::vector<std::string>{"db.dat"});
}

// A developer's script folder and a run directory with Chinese names (a
// Chinese user's desktop): paths stay UTF-8 inside and reach the system whole.
TEST_F(BuilderTest, ChineseFoldersHoldTheScriptsAndThePackage) {
    const std::string scripts = temp_.dir() + "脚本 目录" + sep;
    const std::string run = temp_.dir() + "桌面" + sep + "升级" + sep;
    fs::create_directories(velmora::path_from_utf8(scripts));
    fs::create_directories(velmora::path_from_utf8(run));
    write_bytes(scripts + "库存_MS.sql", script_of(40, 'k'));
    write_bytes(scripts + "a_MS.sql", proc_script);
    const build_result r = build_package(scripts, run, ui_);
    ASSERT_TRUE(r.written) << (ui_.boxes().empty() ? "" : ui_.boxes()[0].second);
    // 库存 in GBK: BF E2 B4 E6.
    EXPECT_EQ(slurp(run + "db.dat"),
              package::encode_package({{"a_MS.sql", proc_script}, {"\xBF\xE2\xB4\xE6_MS.sql", script_of(40, 'k')}}));
    EXPECT_EQ(entries_of(run), std::vector<std::string>{"db.dat"});

    // A refusal names the script as the operator reads it.
    write_bytes(scripts + "空_MS.sql", "");
    ui_.events.clear();
    EXPECT_EQ(build_package(scripts, run, ui_).how, build_result::outcome::refused);
    ASSERT_EQ(ui_.boxes().size(), 1u);
    EXPECT_EQ(ui_.boxes()[0].second, "脚本 " + scripts + "空_MS.sql 是空文件，数据库升级程序包未生成。");
}

}  // namespace

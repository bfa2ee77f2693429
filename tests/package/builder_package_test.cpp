#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app_names.h"
#include "package_builder.h"
#include "package_format.h"
#include "ui_services.h"

namespace fs = std::filesystem;
using namespace velmora;

namespace {

class BuilderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "velmora_builder_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        scripts_ = (root_ / "scripts").string() + "/";
        run_ = (root_ / "run").string() + "/";
        fs::create_directories(scripts_);
        fs::create_directories(run_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    void put(const std::string& name, const std::string& bytes) {
        std::ofstream(scripts_ + name, std::ios::binary) << bytes;
    }
    static std::string slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::string package() const { return slurp(run_ + "db.dat"); }
    build_result build() { return build_package(scripts_, run_, ui_); }
    std::vector<std::string> decoded_names(const std::string& pkg) {
        std::vector<package::record_view> recs;
        EXPECT_TRUE(package::decode_package(pkg, recs));
        std::vector<std::string> names;
        for (const auto& r : recs) names.emplace_back(r.name);
        return names;
    }
    std::vector<std::string> run_dir_entries() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(run_)) out.push_back(e.path().filename());
        return out;
    }

    fs::path root_;
    std::string scripts_;
    std::string run_;
    recording_ui ui_;
};

const std::string proc_script =
    "if exists (select * from sysobjects where name = 'p_a') drop procedure p_a\r\nGO\r\n"
    "CREATE PROCEDURE p_a\r\nAS\r\nBEGIN\r\n-- \xD6\xD0\xCE\xC4\r\nselect 1\r\nEND\r\n";

TEST_F(BuilderTest, EmptyAndMissingDirectoriesGiveTheEndMarkerAlone) {
    build_result r = build();
    EXPECT_TRUE(r.written);
    EXPECT_TRUE(r.names.empty());
    EXPECT_EQ(package(), "@@@@");

    r = build_package(scripts_ + "nowhere/", run_, ui_);
    EXPECT_TRUE(r.written);
    EXPECT_TRUE(r.names.empty());
    EXPECT_EQ(package(), "@@@@");
    EXPECT_TRUE(ui_.boxes().empty());
    EXPECT_EQ(ui_.busy_depth, 0);
}

TEST_F(BuilderTest, PackagesScriptsInOneCaseBlindOrderThatTheListShares) {
    put("b_MS.sql", "b");
    put("a_MS.SQL", "a lower");
    put("A_MS.sql", "a upper");
    put("B_x.Sql", "B");
    put("_under_MS.sql", "u");
    put("notes.txt", "not a script");
    put("x.sql.bak", "not a script");

    build_result r = build();
    // '_' sorts before the letters once they are folded to lower case.
    const std::vector<std::string> expected = {"_under_MS.sql", "A_MS.sql", "a_MS.SQL",
                                               "b_MS.sql", "B_x.Sql"};
    EXPECT_EQ(r.names, expected);
    EXPECT_EQ(decoded_names(package()), expected);
    EXPECT_EQ(package(), package::encode_package({{"_under_MS.sql", "u"},
                                                  {"A_MS.sql", "a upper"},
                                                  {"a_MS.SQL", "a lower"},
                                                  {"b_MS.sql", "b"},
                                                  {"B_x.Sql", "B"}}));
    EXPECT_TRUE(ui_.boxes().empty());
}

TEST_F(BuilderTest, LeavesOutReadOnlyHiddenAndDirectoryEntries) {
    put("keep_MS.sql", "k");
    put("ro_MS.sql", "r");
    fs::permissions(scripts_ + "ro_MS.sql", fs::perms::owner_write, fs::perm_options::remove);
    put(".hidden_MS.sql", "h");
    fs::create_directory(scripts_ + "x.sql");
    fs::create_symlink(scripts_ + "gone.sql", scripts_ + "dangling.sql");

    build_result r = build();
    EXPECT_EQ(r.names, std::vector<std::string>{"keep_MS.sql"});
    EXPECT_EQ(package(), package::encode_package({{"keep_MS.sql", "k"}}));
}

TEST_F(BuilderTest, LargeScriptsGiveTheSameBytesAsOneWrite) {
    // Sizes around the flush threshold: the pending text is written out before
    // the big ones, and once with nothing pending at all.
    const std::string big(32756 - std::string("c_big_MS.sql").size(), 'x');
    put("a_MS.sql", proc_script);
    put("b_mid_MS.sql", std::string(31990, 'm'));
    put("c_big_MS.sql", big);
    put("d_MS.sql", "");
    put("e_MS.sql", std::string(20000, 'y') + "\xB0\xA1");

    build_result r = build();
    ASSERT_TRUE(r.written);
    EXPECT_EQ(package(), package::encode_package({{"a_MS.sql", proc_script},
                                                  {"b_mid_MS.sql", std::string(31990, 'm')},
                                                  {"c_big_MS.sql", big},
                                                  {"d_MS.sql", ""},
                                                  {"e_MS.sql", std::string(20000, 'y') + "\xB0\xA1"}}));
    EXPECT_TRUE(ui_.boxes().empty());
}

TEST_F(BuilderTest, RebuildsAreIdenticalAndReplaceALongerPackageWhole) {
    put("a_MS.sql", proc_script);
    put("b_MS.sql", "select 2");
    std::ofstream(run_ + "db.dat", std::ios::binary) << std::string(100000, 'Z');

    ASSERT_TRUE(build().written);
    const std::string first = package();
    ASSERT_TRUE(build().written);
    EXPECT_EQ(package(), first);
    EXPECT_EQ(first, package::encode_package({{"a_MS.sql", proc_script}, {"b_MS.sql", "select 2"}}));
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
    put("a_MS.sql", "select 1");
    put(c.name, c.script);
    put("z_MS.sql", "select 3");
    const std::string old = "$$$$$$old_MS.sql^^^^dlo####@@@@";
    std::ofstream(run_ + "db.dat", std::ios::binary) << old;

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
        refusal_case{"RecordOneByteTooLong", "m_MS.sql", std::string(32767 - 18, 's'), "超过 32766 字节"},
        refusal_case{"FarTooLong", "m_MS.sql", std::string(200000, 's'), "过长"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(BuilderTest, RecordOfExactlyTheLimitIsAccepted) {
    // 6 + 8 + 4 + script = 32766
    const std::string script(32766 - 18, 's');
    put("m_MS.sql", script);
    ASSERT_TRUE(build().written);
    EXPECT_EQ(package(), package::encode_package({{"m_MS.sql", script}}));
}

TEST_F(BuilderTest, NameEndingInCaretIsRefused) {
    // Cannot come from a listing of ".sql" files, but the check stands on its own.
    EXPECT_NE(script_refusal_reason("x^", "select 1"), "");
    EXPECT_EQ(script_refusal_reason("x_MS.sql", "select 1 ^^^^ $$$$$$ @@@@"), "");
}

TEST_F(BuilderTest, UnreadableScriptIsRefusedWithTheSystemReason) {
    // A regular, writable file whose read fails: the process's own memory
    // image, unmapped at offset 0.
    fs::create_symlink("/proc/self/mem", scripts_ + "m_MS.sql");
    put("a_MS.sql", "select 1");
    std::ofstream(run_ + "db.dat", std::ios::binary) << "@@@@";
    build_result r = build();
    EXPECT_FALSE(r.written);
    ASSERT_EQ(ui_.boxes().size(), 1u);
    EXPECT_NE(ui_.boxes()[0].second.find("m_MS.sql 无法读取："), std::string::npos)
        << ui_.boxes()[0].second;
    EXPECT_EQ(package(), "@@@@");
}

TEST_F(BuilderTest, UnwritableRunDirectoryIsReported) {
    put("a_MS.sql", "select 1");
    // Root may write anywhere, so use places no one can create a file in.
    for (const std::string& run : {run_ + "missing/", run_ + "file/"}) {
        SCOPED_TRACE(run);
        std::ofstream(run_ + "file", std::ios::binary) << "x";
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

}  // namespace

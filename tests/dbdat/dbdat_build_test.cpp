// "dbdat build" run as a program.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "package/package_format.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class BuilderCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(dir_ + "scripts");
        fs::create_directory(dir_ + "run");
    }

    // Arguments are plain test paths; no quoting needed.
    int build(const std::string& args) {
        const std::string cmd = std::string(VELMORA_DBDAT_PATH) + " build " + args + " >" + dir_ +
                                "out 2>" + dir_ + "err";
        const int status = std::system(cmd.c_str());
        out_ = slurp(dir_ + "out");
        err_ = slurp(dir_ + "err");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void put(const std::string& name, const std::string& bytes) {
        std::ofstream(dir_ + "scripts/" + name, std::ios::binary) << bytes;
    }

    test_support::temp_folder folder_{"velmora_build_cli"};
    std::string dir_ = folder_.dir(), out_, err_;
};

const std::string script_a = "drop proc a\r\ngo\r\ncreate proc a as begin select 1 end\r\n";
const std::string script_b = "drop proc b\r\ngo\r\ncreate proc b as begin select 2 end\r\n";

TEST_F(BuilderCliTest, PrintsThePackagedNamesAndWritesIntoADirectoryOrAFile) {
    put("b_MS.sql", script_b);
    put("A_MS.sql", script_a);
    put("中_MS.sql", script_b);  // packaged as GBK, printed as UTF-8
    const std::string expected = velmora::package::encode_package(
        {{"A_MS.sql", script_a}, {"b_MS.sql", script_b}, {"\xD6\xD0_MS.sql", script_b}});

    EXPECT_EQ(build(dir_ + "scripts " + dir_ + "run"), 0) << err_;
    EXPECT_EQ(out_, "A_MS.sql\nb_MS.sql\n中_MS.sql\n");
    EXPECT_EQ(slurp(dir_ + "run/db.dat"), expected);

    EXPECT_EQ(build(dir_ + "scripts/ " + dir_ + "run/other.dat"), 0) << err_;
    EXPECT_EQ(slurp(dir_ + "run/other.dat"), expected);
}

TEST_F(BuilderCliTest, RefusalGoesToStderrWithExitThreeAndKeepsThePackage) {
    put("a_MS.sql", script_a);
    put("b_MS.sql", "#" + script_b);
    std::ofstream(dir_ + "run/db.dat") << "@@@@";
    EXPECT_EQ(build(dir_ + "scripts " + dir_ + "run"), 3);
    EXPECT_EQ(out_, "");
    EXPECT_NE(err_.find("b_MS.sql"), std::string::npos) << err_;
    EXPECT_EQ(slurp(dir_ + "run/db.dat"), "@@@@");

    EXPECT_EQ(build(dir_ + "scripts"), 2);
    EXPECT_EQ(build(dir_ + "scripts " + dir_ + "run --allow-everything"), 2);
}

TEST_F(BuilderCliTest, AScriptThatReadsAsUtf8IsRefusedUnlessDeclaredGbk) {
    // Real GBK that is valid UTF-8 too: 篓 (GBK C2 A8) reads as U+00A8.
    const std::string lookalike = "drop proc m\r\ngo\r\ncreate proc m as\r\nbegin select '\xC2\xA8' end\r\n";
    put("a_MS.sql", script_a);
    put("m_MS.sql", lookalike);
    EXPECT_EQ(build(dir_ + "scripts " + dir_ + "run"), 3);
    EXPECT_NE(err_.find("m_MS.sql 看来是以 UTF-8 编码保存的（第 4 行起有非 ASCII 字符）：脚本须以 GBK 编码（代码页 936）保存"),
              std::string::npos) << err_;
    EXPECT_NE(err_.find("--gbk"), std::string::npos) << err_;

    EXPECT_EQ(build(dir_ + "scripts " + dir_ + "run --gbk m_MS.sql"), 0) << err_;
    EXPECT_EQ(slurp(dir_ + "run/db.dat"), velmora::package::encode_package({{"a_MS.sql", script_a}, {"m_MS.sql", lookalike}}));
    // A mistyped name is no licence for another script.
    EXPECT_EQ(build(dir_ + "scripts " + dir_ + "run --gbk=m_MS.sql --gbk n_MS.sql"), 3);
    EXPECT_NE(err_.find("n_MS.sql 不在脚本目录"), std::string::npos) << err_;
    // A script named in Chinese is declared by its file name, as the folder shows it.
    fs::rename(dir_ + "scripts/m_MS.sql", dir_ + "scripts/中_MS.sql");
    EXPECT_EQ(build(dir_ + "scripts " + dir_ + "run"), 3);
    EXPECT_EQ(build(dir_ + "scripts " + dir_ + "run --gbk 中_MS.sql"), 0) << err_;
    EXPECT_EQ(slurp(dir_ + "run/db.dat"),
              velmora::package::encode_package({{"a_MS.sql", script_a}, {"\xD6\xD0_MS.sql", lookalike}}));
    EXPECT_EQ(build("--help"), 0);
    EXPECT_NE(out_.find("code page 936"), std::string::npos) << out_;
}

TEST_F(BuilderCliTest, AFolderThatIsNoFolderFailsWithExitOneAndAnEmptyOneIsRefused) {
    std::ofstream(dir_ + "run/db.dat") << "old";
    put("a_MS.sql", script_a);
    // Missing, mistyped, or a file given as the folder: OUT is left alone.
    for (const std::string& folder : {dir_ + "scirpts", dir_ + "scripts/a_MS.sql", dir_ + "nowhere/at/all/"}) {
        EXPECT_EQ(build(folder + " " + dir_ + "run"), 1) << folder;
        EXPECT_EQ(out_, "");
        EXPECT_NE(err_.find("脚本目录“" + folder + "”"), std::string::npos) << err_;
        EXPECT_EQ(slurp(dir_ + "run/db.dat"), "old");
    }

    std::filesystem::create_directory(dir_ + "empty");
    EXPECT_EQ(build(dir_ + "empty " + dir_ + "run"), 3);
    EXPECT_NE(err_.find("中没有 .sql 脚本"), std::string::npos) << err_;
    EXPECT_NE(err_.find("--allow-empty"), std::string::npos) << err_;
    EXPECT_EQ(slurp(dir_ + "run/db.dat"), "old");

    EXPECT_EQ(build("--allow-empty " + dir_ + "empty " + dir_ + "run"), 0) << err_;
    EXPECT_EQ(out_, "");
    EXPECT_EQ(slurp(dir_ + "run/db.dat"), "@@@@");
}

}  // namespace

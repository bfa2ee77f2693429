// The runner's reading, validation and messages, with the real session left
// unconnected: nothing can reach a server, and every create fails with the
// session's own text.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/app_names.h"
#include "common/native_path.h"
#include "common/ui_services.h"
#include "package/package_format.h"
#include "package/package_runner.h"
#include "session/database_session.h"
#include "support/recording_ui.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;
using namespace velmora;
using test_support::recording_ui;
using boxes_t = std::vector<std::pair<std::string, std::string>>;
using velmora::path_from_utf8;

namespace {

const std::string missing_text = "数据库升级程序不全，升级操作被中断。";
const std::string damaged_text = "数据库升级程序包已损坏，升级操作被中断。";
const std::string success_text = "更新成功！";

const std::string good_script =
    "if exists (select * from sysobjects where name = 'p_a') drop procedure p_a\r\nGO\r\n"
    "CREATE PROCEDURE p_a\r\nAS\r\nBEGIN\r\nselect 1\r\nEND\r\n";

TEST(RunnerReadCalls, PiecesOf32765Bytes) {
    EXPECT_EQ(read_call_count(0), 1u);
    EXPECT_EQ(read_call_count(1), 1u);
    EXPECT_EQ(read_call_count(32765), 1u);
    EXPECT_EQ(read_call_count(32766), 2u);
    EXPECT_EQ(read_call_count(65530), 2u);
    EXPECT_EQ(read_call_count(65531), 3u);
    // No 16-bit counter: a package of 5 GB still counts right.
    EXPECT_EQ(read_call_count(32765ull * 160000), 160000u);
    EXPECT_EQ(read_call_count(32765ull * 160000 + 1), 160001u);
}

class RunnerFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = temp_.dir();
        session_.driver = "MSS";
    }
    void write_package(const std::string& bytes, const std::string& run_dir = "") {
        std::ofstream(path_from_utf8((run_dir.empty() ? dir_ : run_dir) + "db.dat"), std::ios::binary) << bytes;
    }
    run_outcome run(const std::string& run_dir = "") {
        run_outcome o = run_package(run_dir.empty() ? dir_ : run_dir, session_, ui_);
        EXPECT_EQ(ui_.busy_depth, 0);
        EXPECT_EQ(ui_.events.front().what, recording_ui::event::kind::busy_begin);
        EXPECT_EQ(ui_.events.back().what, recording_ui::event::kind::busy_end);
        return o;
    }

    // A package of exactly size bytes whose records the "MSS" driver skips
    // (lower-case tag), with recognisable bodies crossing the piece borders.
    static std::string skipped_package_of(std::size_t size, int& records) {
        std::string pkg;
        records = 0;
        std::size_t left = size - 4;
        while (left > 0) {
            std::string name = "fill_" + std::to_string(records) + "_ms.sql";
            const std::size_t overhead = 6 + name.size() + 4 + 4;
            std::size_t body = std::min<std::size_t>(left - overhead, 30000);
            if (left - overhead - body < 40 && left - overhead - body > 0) body -= 40;
            std::string script(body, static_cast<char>('a' + records % 26));
            package::append_record(pkg, name, script);
            left -= overhead + body;
            ++records;
        }
        pkg += "@@@@";
        return pkg;
    }

    test_support::temp_folder temp_{"velmora_runner"};
    std::string dir_;  // ends in the platform's separator
    database_session session_;
    recording_ui ui_;
};

TEST_F(RunnerFileTest, ReadsPackagesAcrossPieceBordersWhole) {
    for (std::size_t size : {32765u, 32766u, 65530u, 65531u, 200001u}) {
        SCOPED_TRACE(size);
        int records = 0;
        const std::string pkg = skipped_package_of(size, records);
        ASSERT_EQ(pkg.size(), size);
        write_package(pkg);
        ui_.events.clear();
        run_outcome o = run();
        EXPECT_EQ(o.how, run_outcome::ending::completed);
        EXPECT_EQ(o.skipped, records);
        EXPECT_EQ(o.executed + o.refused, 0);
        EXPECT_EQ(ui_.boxes(), (boxes_t{{gs_appname, success_text}}));
    }
}

TEST_F(RunnerFileTest, MissingPackageIsReportedAndNothingRuns) {
    run_outcome o = run();
    EXPECT_EQ(o.how, run_outcome::ending::package_missing);
    EXPECT_EQ(ui_.boxes(), (boxes_t{{gs_appname, missing_text}}));
    EXPECT_EQ(ui_.beeps(), 0);

    // A directory of that name is no package either, and is called what it is.
    fs::create_directory(path_from_utf8(dir_ + "db.dat"));
    ui_.events.clear();
    EXPECT_EQ(run().how, run_outcome::ending::package_unreadable);
    ASSERT_EQ(ui_.boxes().size(), 1u);
    EXPECT_NE(ui_.boxes()[0].second.find("是目录，不是普通文件"), std::string::npos) << ui_.boxes()[0].second;
}

// A run directory with Chinese characters in its name (a Chinese user's
// desktop): the package is found there, and named whole when it is no file.
TEST_F(RunnerFileTest, APackageInAFolderWithAChineseNameIsFound) {
    const char sep = test_support::temp_folder::separator;
    const std::string run_dir = dir_ + "桌面" + sep + "升级 程序" + sep;
    fs::create_directories(path_from_utf8(run_dir));
    write_package(package::encode_package({{"p_other_ANY5.sql", "whatever"}}), run_dir);
    run_outcome o = run(run_dir);
    EXPECT_EQ(o.how, run_outcome::ending::completed);
    EXPECT_EQ(o.skipped, 1);
    EXPECT_EQ(ui_.boxes(), (boxes_t{{gs_appname, success_text}}));

    fs::remove(path_from_utf8(run_dir + "db.dat"));
    fs::create_directory(path_from_utf8(run_dir + "db.dat"));
    ui_.events.clear();
    EXPECT_EQ(run(run_dir).how, run_outcome::ending::package_unreadable);
    EXPECT_EQ(ui_.boxes(),
              (boxes_t{{gs_appname, "数据库升级程序包“" + run_dir + "db.dat”是目录，不是普通文件，升级操作被中断。"}}));
}

#ifndef _WIN32
// Windows has no FIFOs, device files or /proc: its devices and pipes are in
// tests/package/package_file_windows_test.cpp.
TEST_F(RunnerFileTest, FifosDevicesAndDanglingLinksAreNoPackageAndNothingWaits) {
    // A FIFO without a writer would hold a plain read forever; /dev/zero
    // would never end. Each is called what it is, never a damaged package.
    ASSERT_EQ(::mkfifo((dir_ + "fifo").c_str(), 0644), 0);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {dir_ + "fifo", "是命名管道（FIFO），不是普通文件"},
        {"/dev/zero", "是字符设备，不是普通文件"},
    };
    for (const auto& [target, what] : cases) {
        SCOPED_TRACE(target);
        fs::remove(dir_ + "db.dat");
        fs::create_symlink(target, dir_ + "db.dat");
        ui_.events.clear();
        EXPECT_EQ(run().how, run_outcome::ending::package_unreadable);
        EXPECT_EQ(ui_.boxes(), (boxes_t{{gs_appname, "数据库升级程序包“" + dir_ + "db.dat”" + what + "，升级操作被中断。"}}));
    }
    // A link to nothing is a missing package.
    fs::remove(dir_ + "db.dat");
    fs::create_symlink(dir_ + "nowhere", dir_ + "db.dat");
    ui_.events.clear();
    EXPECT_EQ(run().how, run_outcome::ending::package_missing);
    EXPECT_EQ(ui_.boxes(), (boxes_t{{gs_appname, missing_text}}));
}

TEST_F(RunnerFileTest, APackageThatCannotBeReadIsReportedAndNothingRuns) {
    // A regular file whose every read fails (root may open any file, so
    // permissions cannot show this).
    fs::create_symlink("/proc/self/mem", dir_ + "db.dat");
    run_outcome o = run();
    EXPECT_EQ(o.how, run_outcome::ending::package_unreadable);
    ASSERT_EQ(ui_.boxes().size(), 1u);
    EXPECT_NE(ui_.boxes()[0].second.find("无法读取"), std::string::npos) << ui_.boxes()[0].second;
}
#endif

TEST_F(RunnerFileTest, DamagedPackagesStopBeforeAnythingRuns) {
    // Each one starts with a record that would run (and, unconnected, fail
    // with its own boxes) if the runner executed before checking the whole.
    const std::string good = package::encode_package({{"p_a_MS.sql", good_script}});
    const std::string record = good.substr(0, good.size() - 4);
    const std::vector<std::string> damaged = {
        "",
        record,                                  // no end marker
        good + "\r\n",                           // an editor's line end
        good + "@@@@",                           // something after the end
        record + "$$$$$$p_b_MS.sql^^^^tceles",   // cut inside a record
        record + "$$$$$$p_b_MS.sqltceles####@@@@",  // no body head
        record + "$$^^^^x####@@@@",              // body head inside the name head
    };
    for (const std::string& pkg : damaged) {
        SCOPED_TRACE(pkg);
        write_package(pkg);
        ui_.events.clear();
        run_outcome o = run();
        EXPECT_EQ(o.how, run_outcome::ending::package_damaged);
        EXPECT_EQ(o.executed + o.skipped + o.refused, 0);
        EXPECT_EQ(ui_.boxes(), (boxes_t{{gs_appname, damaged_text}}));
        EXPECT_EQ(ui_.beeps(), 0);
    }
}

TEST_F(RunnerFileTest, WithoutAConnectionTheCreateFailsWithTheSessionsText) {
    write_package(package::encode_package({{"p_a_MS.sql", good_script}, {"p_b_MS.sql", good_script}}));
    run_outcome o = run();
    EXPECT_EQ(o.how, run_outcome::ending::create_failed);
    EXPECT_EQ(o.executed, 0);
    ASSERT_FALSE(session_.error_text.empty());
    const std::string err = session_.error_text;
    EXPECT_EQ(ui_.boxes(), (boxes_t{{"p_a_MS.sql", err},
                                    {gs_appname, "更新失败！(错误信息：" + err + ")"}}));
    // The beep sounds between the two boxes.
    std::vector<recording_ui::event::kind> kinds;
    for (const auto& e : ui_.events) kinds.push_back(e.what);
    using k = recording_ui::event::kind;
    EXPECT_EQ(kinds, (std::vector<k>{k::busy_begin, k::message_box, k::beep, k::message_box,
                                     k::busy_end}));
}

TEST_F(RunnerFileTest, RefusedScriptsAreNamedAndTheRunGoesOn) {
    // GBK name in the title; the lone lead byte makes the second script
    // invalid GBK; the third has no separator line before its create key.
    const std::string gbk_name = "\xB9\xFD\xC2\xCB_MS.sql";  // 过滤_MS.sql
    write_package(package::encode_package({
        {gbk_name, "select 1"},
        {"p_bad_gbk_MS.sql", good_script + "-- \x81"},
        {"p_no_go_MS.sql", "CREATE PROCEDURE p\r\nAS\r\nBEGIN\r\nselect 1\r\nEND\r\n"},
        {"p_other_ANY5.sql", "whatever"},
    }));
    run_outcome o = run();
    EXPECT_EQ(o.how, run_outcome::ending::completed);
    EXPECT_EQ(o.refused, 3);
    EXPECT_EQ(o.skipped, 1);
    EXPECT_EQ(ui_.boxes(), (boxes_t{{gs_appname, "过滤_MS.sql 语法错误！"},
                                    {gs_appname, "p_bad_gbk_MS.sql 语法错误！"},
                                    {gs_appname, "p_no_go_MS.sql 语法错误！"},
                                    {gs_appname, success_text}}));
    EXPECT_EQ(ui_.beeps(), 0);
}

}  // namespace

// The builder on what only Linux makes: links, file modes, FIFOs, other
// users and process limits.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
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

class BuilderPosixTest : public BuilderTest {};

// Runs fn in a child process and gives its exit status; what it writes to
// fd 2 is kept in err. For limits and identities the test must not keep.
int in_child(const std::function<int()>& fn, std::string* err = nullptr) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipe_fds[1], 2);
        ::close(pipe_fds[0]);
        ::_exit(fn());
    }
    ::close(pipe_fds[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (err) *err = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The message boxes of a build in a child, one a line on fd 2.
class stderr_ui : public ui_services {
public:
    void message_box(const std::string&, const std::string& text) override {
        const std::string line = text + "\n";
        (void)!::write(2, line.data(), line.size());
    }
    void beep() override {}
    void busy_begin() override {}
    void busy_end() override {}
};

TEST_F(BuilderPosixTest, PackagesScriptsInOneCaseBlindOrderThatTheListShares) {
    const std::string b = script_of(60, 'b'), a_lower = script_of(61, 'a'), a_upper = script_of(62, 'A'),
                      big_b = script_of(63, 'B'), u = script_of(64, 'u');
    put("b_MS.sql", b);
    put("a_MS.SQL", a_lower);
    put("A_MS.sql", a_upper);
    put("B_x.Sql", big_b);
    put("_under_MS.sql", u);
    put("notes.txt", "not a script");
    put("x.sql.bak", "not a script");

    build_result r = build();
    // '_' sorts before the letters once they are folded to lower case.
    const std::vector<std::string> expected = {"_under_MS.sql", "A_MS.sql", "a_MS.SQL",
                                               "b_MS.sql", "B_x.Sql"};
    EXPECT_EQ(r.names, expected);
    EXPECT_EQ(decoded_names(package()), expected);
    EXPECT_EQ(package(), package::encode_package({{"_under_MS.sql", u},
                                                  {"A_MS.sql", a_upper},
                                                  {"a_MS.SQL", a_lower},
                                                  {"b_MS.sql", b},
                                                  {"B_x.Sql", big_b}}));
    EXPECT_TRUE(ui_.boxes().empty());
}

TEST_F(BuilderPosixTest, LeavesOutReadOnlyHiddenAndDirectoryEntriesAndFollowsLinks) {
    put("keep_MS.sql", proc_script);
    put("ro_MS.sql", "r");
    fs::permissions(scripts_ + "ro_MS.sql", fs::perms::owner_write, fs::perm_options::remove);
    put(".hidden_MS.sql", "h");
    fs::create_directory(scripts_ + "x.sql");
    fs::create_directory_symlink(scripts_ + "x.sql", scripts_ + "dir_link.sql");
    std::ofstream(root_ / "elsewhere.sql", std::ios::binary) << script_of(50);
    fs::create_symlink(root_ / "elsewhere.sql", scripts_ + "linked_MS.sql");

    build_result r = build();
    EXPECT_EQ(r.names, (std::vector<std::string>{"keep_MS.sql", "linked_MS.sql"}));
    EXPECT_EQ(package(), package::encode_package({{"keep_MS.sql", proc_script}, {"linked_MS.sql", script_of(50)}}));
}

TEST_F(BuilderPosixTest, UnreadableScriptIsRefusedWithTheSystemReason) {
    // A regular, writable file whose read fails: the process's own memory
    // image, unmapped at offset 0.
    fs::create_symlink("/proc/self/mem", scripts_ + "m_MS.sql");
    put("a_MS.sql", proc_script);
    std::ofstream(run_ + "db.dat", std::ios::binary) << "@@@@";
    build_result r = build();
    EXPECT_FALSE(r.written);
    ASSERT_EQ(ui_.boxes().size(), 1u);
    EXPECT_NE(ui_.boxes()[0].second.find("m_MS.sql 无法读取："), std::string::npos)
        << ui_.boxes()[0].second;
    EXPECT_EQ(package(), "@@@@");
}

// Scripts that cannot be read faithfully are refused by name, before
// anything is written; whoever builds (root included) gets the same verdict.
TEST_F(BuilderPosixTest, ScriptsThatCannotBeReadRefuseTheBuild) {
    const std::string old = package::encode_package({{"old_MS.sql", proc_script}});
    const struct {
        const char* label;
        std::function<void(const std::string& path)> make;
        std::string says;
    } cases[] = {
        {"dangling link", [](const std::string& p) { fs::create_symlink(p + ".gone", p); },
         "是失效的符号链接（目标不存在）"},
        {"link loop", [](const std::string& p) { fs::create_symlink(p, p); }, "无法读取：符号链接循环（Too many levels of symbolic links）"},
        {"mode 000",
         [](const std::string& p) {
             std::ofstream(p, std::ios::binary) << proc_script;
             fs::permissions(p, fs::perms::none);
         },
         "无法读取：文件的权限不允许其属主读取"},
        {"FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); }, "是命名管道（FIFO），不是普通文件"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(scripts_);
        fs::create_directories(scripts_);
        std::ofstream(run_ + "db.dat", std::ios::binary) << old;
        put("a_MS.sql", proc_script);
        c.make(scripts_ + "m_MS.sql");
        ui_.events.clear();
        const build_result r = build();
        EXPECT_EQ(r.how, build_result::outcome::refused);
        EXPECT_EQ(r.names, (std::vector<std::string>{"a_MS.sql", "m_MS.sql"}));
        ASSERT_EQ(ui_.boxes().size(), 1u);
        EXPECT_EQ(ui_.boxes()[0].second, "脚本 " + scripts_ + "m_MS.sql " + c.says + "，数据库升级程序包未生成。");
        EXPECT_EQ(package(), old);
        EXPECT_EQ(run_dir_entries(), std::vector<std::string>{"db.dat"});
    }
}

// A write cut short leaves db.dat as it was and is reported.
TEST_F(BuilderPosixTest, AWriteCutShortLeavesThePackageAsItWas) {
    put("a_MS.sql", script_of(30000, 'a'));
    put("b_MS.sql", script_of(30000, 'b'));
    ASSERT_TRUE(build().written);
    const std::string built = package();
    std::string err;
    const int code = in_child(
        [&] {
            // The second flush passes the limit: the write fails with EFBIG.
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{40000, 40000};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            put("c_MS.sql", script_of(20000, 'c'));
            stderr_ui ui;
            return build_package(scripts_, run_, ui).written ? 0 : 1;
        },
        &err);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(err, "无法写入 " + run_ + "db.dat：File too large\n");
    EXPECT_EQ(package(), built);
    EXPECT_EQ(run_dir_entries(), std::vector<std::string>{"db.dat"});
}

TEST_F(BuilderPosixTest, AFolderThatCannotBeListedIsReportedWithTheReason) {
    put("a_MS.sql", proc_script);
    std::ofstream(run_ + "db.dat", std::ios::binary) << "old";
    fs::permissions(root_, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(scripts_, fs::perms::owner_all);  // others may not list it
    std::string err;
    const int code = in_child(
        [&] {
            // Root lists anything: build as nobody.
            if (::geteuid() == 0 && ::setuid(65534) != 0) return 2;
            stderr_ui ui;
            const build_result r = build_package(scripts_, run_, ui);
            return r.how == build_result::outcome::folder_unusable ? 0 : 1;
        },
        &err);
    EXPECT_EQ(code, 0) << err;
    EXPECT_EQ(err, "脚本目录“" + scripts_ + "”无法读取（Permission denied），数据库升级程序包未生成。\n");
    EXPECT_EQ(package(), "old");
}

}  // namespace

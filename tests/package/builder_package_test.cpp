#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <functional>
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

// A script the statement builder accepts, of exactly size bytes (at least
// the header's), padded with a comment of fill.
std::string script_of(std::size_t size, char fill = 'x', const std::string& name = "p") {
    std::string s = "drop procedure " + name + "\r\ngo\r\ncreate procedure " + name + " as begin select 1 end\r\n-- ";
    s.resize(std::max(size, s.size()), fill);
    return s;
}

TEST_F(BuilderTest, AnEmptyFolderGivesTheEndMarkerAloneUnlessRefused) {
    put("notes.txt", "no script");
    build_result r = build();
    EXPECT_TRUE(r.written);
    EXPECT_EQ(r.how, build_result::outcome::written);
    EXPECT_TRUE(r.names.empty());
    EXPECT_EQ(package(), "@@@@");
    EXPECT_TRUE(ui_.boxes().empty());
    EXPECT_EQ(ui_.busy_depth, 0);

    std::ofstream(run_ + "db.dat", std::ios::binary) << "old";
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
    std::ofstream(root_ / "file.sql", std::ios::binary) << proc_script;
    const std::string old = package::encode_package({{"old_MS.sql", proc_script}});
    std::ofstream(run_ + "db.dat", std::ios::binary) << old;
    const struct {
        std::string folder;
        std::string says;
    } cases[] = {
        {scripts_ + "nowhere/", "脚本目录“" + scripts_ + "nowhere/”不存在，数据库升级程序包未生成。"},
        {(root_ / "file.sql").string(), "脚本目录“" + (root_ / "file.sql").string() + "”不是目录，数据库升级程序包未生成。"},
        {(root_ / "file.sql").string() + "/", "不是目录"},
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

TEST_F(BuilderTest, PackagesScriptsInOneCaseBlindOrderThatTheListShares) {
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

TEST_F(BuilderTest, LeavesOutReadOnlyHiddenAndDirectoryEntriesAndFollowsLinks) {
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
    std::ofstream(run_ + "db.dat", std::ios::binary) << std::string(100000, 'Z');

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
        refusal_case{"RecordOneByteTooLong", "m_MS.sql", script_of(32767 - 18), "超过 32766 字节（脚本 32749 字节）"},
        refusal_case{"FarTooLong", "m_MS.sql", std::string(200000, 's'), "过长：记录（名称头、文件名、正文头与脚本）超过 32766 字节（脚本 200000 字节）"},
        refusal_case{"Empty", "m_MS.sql", "", "是空文件"},
        refusal_case{"ByteOrderMark", "m_MS.sql", "\xEF\xBB\xBF" + script_of(60), "字节顺序标记（BOM）开头：脚本须以 GBK 编码保存"},
        refusal_case{"NoCreateKey", "m_MS.sql", "select 1", "未通过的检查：create key"},
        refusal_case{"NoProcedureKey", "m_MS.sql", "drop proc p\r\ngo\r\ncreate proc p begin end", "procedure key"},
        refusal_case{"NoBatchSeparator", "m_MS.sql", "create proc p as begin end", "batch separator"}),
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

TEST_F(BuilderTest, UnreadableScriptIsRefusedWithTheSystemReason) {
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

TEST_F(BuilderTest, UnwritableRunDirectoryIsReported) {
    put("a_MS.sql", proc_script);
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

namespace {

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

}  // namespace

// Scripts that cannot be read faithfully are refused by name, before
// anything is written; whoever builds (root included) gets the same verdict.
TEST_F(BuilderTest, ScriptsThatCannotBeReadRefuseTheBuild) {
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

TEST_F(BuilderTest, Utf8NamesArePackagedAsGbkAndNamesWithoutAGbkFormAreRefused) {
    // 中文 in GBK: D6 D0 CE C4.
    put("中文_MS.sql", script_of(40));
    build_result r = build();
    ASSERT_TRUE(r.written) << (ui_.boxes().empty() ? "" : ui_.boxes()[0].second);
    EXPECT_EQ(r.names, std::vector<std::string>{"\xD6\xD0\xCE\xC4_MS.sql"});
    EXPECT_EQ(package(), package::encode_package({{"\xD6\xD0\xCE\xC4_MS.sql", script_of(40)}}));

    const std::string good = package();
    // An emoji has no GBK form; raw GBK bytes on disk are no UTF-8 name.
    for (const std::string& bad : {std::string("\xF0\x9F\x98\x80_MS.sql"), std::string("\xD6\xD0_MS.sql")}) {
        put(bad, script_of(40));
        ui_.events.clear();
        r = build();
        EXPECT_EQ(r.how, build_result::outcome::refused);
        ASSERT_EQ(ui_.boxes().size(), 1u);
        EXPECT_EQ(ui_.boxes()[0].second, "脚本 " + scripts_ + bad +
                                             " 的文件名无法转换为 GBK 编码（程序包中的文件名须为 GBK），数据库升级程序包未生成。");
        EXPECT_EQ(package(), good);
        fs::remove(scripts_ + bad);
    }
}

TEST_F(BuilderTest, PackageOrderIsOnTheGbkBytes) {
    // 啊 (GBK B0 A1, U+554A) comes before 中 (GBK D6 D0, U+4E2D) in GBK but
    // after it in Unicode; ASCII letters fold, and the raw bytes break ties.
    for (const char* name : {"中_MS.sql", "啊_MS.sql", "Zeta_MS.sql", "alpha_MS.sql", "ALPHA_MS.sql"})
        put(name, script_of(40));
    const std::vector<std::string> expected = {"ALPHA_MS.sql", "alpha_MS.sql", "Zeta_MS.sql",
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
// bytes, and a write cut short leaves db.dat as it was and is reported.
TEST_F(BuilderTest, ThePackageIsReplacedWholeOrNotAtAll) {
    put("a_MS.sql", script_of(30000, 'a'));
    put("b_MS.sql", script_of(30000, 'b'));
    const std::string old = package::encode_package({{"old_MS.sql", proc_script}});
    std::ofstream(run_ + "db.dat", std::ios::binary) << old;
    fs::create_hard_link(run_ + "db.dat", root_ / "old_link.dat");
    ASSERT_TRUE(build().written);
    EXPECT_EQ(slurp((root_ / "old_link.dat").string()), old);
    EXPECT_NE(package(), old);

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

TEST_F(BuilderTest, AFolderThatCannotBeListedIsReportedWithTheReason) {
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

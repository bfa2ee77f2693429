// dbdat run as a program: its output, its files and its exit codes.

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/gbk.h"
#include "package/package_format.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;
namespace pkg = velmora::package;

namespace {

struct result {
    int code = -1;
    std::string out, err;
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void spit(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary);
    out << bytes;
}

std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class DbdatTest : public ::testing::Test {
protected:

    // A hang shows as exit 124 instead of holding the suite.
    result run(const std::vector<std::string>& args) {
        std::string cmd = "timeout 30 " + quoted(VELMORA_DBDAT_PATH);
        for (const auto& a : args) cmd += " " + quoted(a);
        cmd += " >" + quoted((dir / "stdout").string()) + " 2>" + quoted((dir / "stderr").string());
        const int status = std::system(cmd.c_str());
        result r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = slurp(dir / "stdout");
        r.err = slurp(dir / "stderr");
        return r;
    }

    std::string package_file(const std::string& bytes) {
        const fs::path p = dir / "db.dat";
        spit(p, bytes);
        return p.string();
    }

    test_support::temp_folder folder{"dbdat_test"};
    fs::path dir = folder.path();
};

const std::string good_ms = "drop proc p\r\ngo\r\ncreate proc p as begin select 1 end\r\n";
const std::string good_any5 = "drop proc q\r\ngo\r\ncreate proc q as begin select 2 end\r\n";

}  // namespace

TEST_F(DbdatTest, ListShowsOffsetNameSizeAndTags) {
    const std::string file =
        package_file(pkg::encode_package({{"a_MS.sql", "abc"}, {"b_ANY5.sql", ""}, {"c.sql", "xy"}, {"d_MS_ANY5.sql", "z"}}));
    const result r = run({"list", file});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "0\ta_MS.sql\t3\tMS\n"
              "25\tb_ANY5.sql\t0\tANY5\n"
              "49\tc.sql\t2\t-\n"
              "70\td_MS_ANY5.sql\t1\tMS,ANY5\n");
    EXPECT_TRUE(r.err.empty());
}

TEST_F(DbdatTest, DamagedPackageExitsOneWithTheReason) {
    // Two records run together (one byte of a body end changed) are damage too, named by the record.
    std::string merged = pkg::encode_package({{"a_MS.sql", good_ms}, {"b_MS.sql", good_any5}});
    merged[merged.find("####") + 1] = '-';
    for (const std::string& bytes : {std::string(), std::string("@@@@\r\n"), std::string("$$$$$$a.sql^^^^x####"), merged}) {
        const std::string file = package_file(bytes);
        for (const char* command : {"list", "check", "extract"}) {
            std::vector<std::string> args{command, file};
            if (std::string(command) == "extract") args.push_back((dir / "out").string());
            const result r = run(args);
            EXPECT_EQ(r.code, 1) << command << " on " << bytes.size() << " bytes";
            EXPECT_NE(r.err.find("damaged package at byte"), std::string::npos) << r.err;
            if (bytes == merged) {
                EXPECT_NE(r.err.find("record \"a_MS.sql\" holds the whole header of a record \"b_MS.sql\""),
                          std::string::npos) << r.err;
            }
            EXPECT_TRUE(r.out.empty());
        }
        EXPECT_FALSE(fs::exists(dir / "out"));
    }
    EXPECT_EQ(run({"list", (dir / "missing.dat").string()}).code, 1);
}

TEST_F(DbdatTest, EveryCommandRefusesWhatIsNoRegularFileWithoutWaiting) {
    fs::create_directory(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    const struct {
        std::string path;
        const char* says;
    } cases[] = {
        {(dir / "folder").string(), "is a directory, not a regular file"},
        {(dir / "fifo").string(), "is a FIFO, not a regular file"},
        {"/dev/zero", "is a character device, not a regular file"},
        {(dir / "dangling").string(), "is a symbolic link to nothing"},
        {(dir / "missing").string(), "No such file or directory"},
    };
    for (const auto& c : cases) {
        const std::vector<std::vector<std::string>> commands = {
            {"list", c.path},
            {"check", c.path},
            {"extract", c.path, (dir / "out").string()},
            {"split", c.path, "--drop", (dir / "d").string(), "--create", (dir / "c").string()},
        };
        for (const auto& args : commands) {
            SCOPED_TRACE(args[0] + " " + c.path);
            const result r = run(args);
            EXPECT_EQ(r.code, 1);
            EXPECT_EQ(r.err, "dbdat: " + c.path + ": " + c.says + "\n");
            EXPECT_TRUE(r.out.empty());
        }
    }
    EXPECT_FALSE(fs::exists(dir / "out"));
    EXPECT_FALSE(fs::exists(dir / "d"));
}

TEST_F(DbdatTest, ListAndCheckReadLargePackagesPieceByPiece) {
    // Records far larger than a piece, and a body end split across pieces.
    std::vector<pkg::record> records;
    for (int i = 0; i < 40; ++i)
        records.push_back({"p" + std::to_string(i) + "_MS.sql",
                           "drop proc p\r\ngo\r\ncreate proc p as begin select 1 end" +
                               std::string(static_cast<std::size_t>(i) * 9973, ' ')});
    const std::string bytes = pkg::encode_package(records);
    const std::string file = package_file(bytes);
    result r = run({"list", file});
    ASSERT_EQ(r.code, 0) << r.err;
    std::vector<pkg::record_view> views;
    ASSERT_TRUE(pkg::decode_package(bytes, views));
    std::string expected;
    for (const auto& v : views)
        expected += std::to_string(v.offset) + "\t" + std::string(v.name) + "\t" + std::to_string(v.stored_body.size()) +
                    "\tMS\n";
    EXPECT_EQ(r.out, expected);
    r = run({"check", file});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("40 record(s): 40 execute, 0 skip, 0 refuse"), std::string::npos);

    // Damage at the very end still means no output at all, also with --show.
    package_file(bytes.substr(0, bytes.size() - 1));
    for (const std::vector<std::string>& args : {std::vector<std::string>{"list", file},
                                                 std::vector<std::string>{"check", file},
                                                 std::vector<std::string>{"check", file, "--show"}}) {
        r = run(args);
        EXPECT_EQ(r.code, 1) << args.back();
        EXPECT_TRUE(r.out.empty()) << args.back();
        EXPECT_NE(r.err.find("damaged package at byte " + std::to_string(bytes.size() - 4)), std::string::npos)
            << r.err;
    }
}

TEST_F(DbdatTest, ExtractRestoresEveryScriptByteForByteUnderItsUtf8Name) {
    const std::string gbk = "create proc p_\xB2\xE2\xCA\xD4 as\r\nbegin select '\xD6\xD0' end\r\n";
    const std::string file = package_file(pkg::encode_package(
        {{"a_MS.sql", good_ms}, {"\xB2\xE2\xCA\xD4_MS.sql", gbk}, {"empty.sql", ""}, {"\x81\x5C.sql", "@@@@"}}));
    const fs::path out = dir / "new" / "scripts";
    const result r = run({"extract", file, out.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(slurp(out / "a_MS.sql"), good_ms);
    EXPECT_EQ(slurp(out / "测试_MS.sql"), gbk);  // B2E2 CAD4
    EXPECT_TRUE(fs::exists(out / "empty.sql"));
    EXPECT_EQ(fs::file_size(out / "empty.sql"), 0u);
    // 0x5C after a lead byte is the second byte of a character, not a separator.
    EXPECT_EQ(slurp(out / (*velmora::gbk_to_utf8("\x81\x5C") + ".sql")), "@@@@");
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 4) << "no temporary file left";

    // Not valid GBK: no UTF-8 name to give it.
    const std::string bad = package_file(pkg::encode_package({{"ok.sql", "x"}, {"\x81.sql", "y"}}));
    const result b = run({"extract", bad, (dir / "bad").string()});
    EXPECT_EQ(b.code, 1);
    EXPECT_NE(b.err.find("name is not valid GBK; nothing extracted"), std::string::npos) << b.err;
    EXPECT_FALSE(fs::exists(dir / "bad" / "ok.sql"));
}

TEST_F(DbdatTest, ExtractThenBuildGivesTheSamePackage) {
    // The UTF-8 name on disk converts back to the GBK name in the package.
    const std::string package = pkg::encode_package({{"a_MS.sql", good_ms},
                                                     {"\xB2\xE2\xCA\xD4_MS.sql", good_any5},
                                                     {"\xD6\xD0\xCE\xC4_MS.sql", good_ms}});
    const std::string file = package_file(package);
    ASSERT_EQ(run({"extract", file, (dir / "scripts").string()}).code, 0);
    const result r = run({"build", (dir / "scripts").string(), (dir / "again.dat").string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "a_MS.sql\n测试_MS.sql\n中文_MS.sql\n");
    EXPECT_EQ(slurp(dir / "again.dat"), package);
}

TEST_F(DbdatTest, ExtractNeverWritesThroughALinkNorReplacesWithoutForce) {
    const std::string file = package_file(pkg::encode_package({{"a_MS.sql", good_ms}, {"b_MS.sql", good_any5}}));
    const fs::path out = dir / "out";
    fs::create_directory(out);
    spit(dir / "victim.txt", "precious");
    fs::create_symlink(dir / "victim.txt", out / "a_MS.sql");
    spit(out / "b_MS.sql", "old b");

    result r = run({"extract", file, out.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "dbdat: " + out.string() + "/a_MS.sql exists; nothing extracted (--force replaces existing files)\n");
    EXPECT_EQ(slurp(dir / "victim.txt"), "precious");
    EXPECT_EQ(slurp(out / "b_MS.sql"), "old b");

    // --force replaces the link itself, never the file it points to.
    r = run({"extract", file, out.string(), "--force"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(slurp(dir / "victim.txt"), "precious");
    EXPECT_FALSE(fs::is_symlink(out / "a_MS.sql"));
    EXPECT_EQ(slurp(out / "a_MS.sql"), good_ms);
    EXPECT_EQ(slurp(out / "b_MS.sql"), good_any5);

    // A link is judged as the link it is, never by where it leads: one that
    // leads nowhere is there all the same, and nothing is extracted beside
    // it; one to a directory is replaced (with --force), the directory kept.
    fs::remove(out / "a_MS.sql");
    fs::remove(out / "b_MS.sql");
    fs::create_symlink(dir / "nowhere", out / "b_MS.sql");
    r = run({"extract", file, out.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "dbdat: " + out.string() + "/b_MS.sql exists; nothing extracted (--force replaces existing files)\n");
    EXPECT_FALSE(fs::exists(out / "a_MS.sql"));
    fs::remove(out / "b_MS.sql");
    fs::create_directory(dir / "elsewhere");
    fs::create_directory_symlink(dir / "elsewhere", out / "b_MS.sql");
    r = run({"extract", file, out.string(), "--force"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(slurp(out / "b_MS.sql"), good_any5);
    EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));

    // A directory in the way is never replaced.
    fs::remove(out / "b_MS.sql");
    fs::create_directory(out / "b_MS.sql");
    r = run({"extract", file, out.string(), "--force"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("b_MS.sql exists and is no file"), std::string::npos) << r.err;
}

TEST_F(DbdatTest, ExtractOnAFullDiskLeavesNoCutScriptAndLosesNoOldOne) {
    const fs::path small = dir / "small";
    fs::create_directory(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    struct unmount {
        fs::path at;
        ~unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } guard{small};

    spit(small / "b_MS.sql", "old b, kept");
    const std::string big = good_ms + "-- " + std::string(200000, 'x') + "\r\n";
    const std::string file = package_file(pkg::encode_package({{"a_MS.sql", good_ms}, {"b_MS.sql", big}}));
    const result r = run({"extract", file, small.string(), "--force"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("cannot write " + small.string() + "/b_MS.sql: No space left on device; 1 of 2 script(s) extracted"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(slurp(small / "a_MS.sql"), good_ms);
    EXPECT_EQ(slurp(small / "b_MS.sql"), "old b, kept");
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(small)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a_MS.sql", "b_MS.sql"})) << "no temporary file left";
}

TEST_F(DbdatTest, ExtractRefusesNamesThatLeaveTheDirectory) {
    for (const std::string bad : {"../escape.sql", "sub/x.sql", "/abs.sql", "win\\x.sql", "..", ".", ""}) {
        const std::string file = package_file(pkg::encode_package({{"fine.sql", "x"}, {bad, "y"}}));
        const fs::path out = dir / "out";
        const result r = run({"extract", file, out.string()});
        EXPECT_EQ(r.code, 1) << bad;
        EXPECT_FALSE(r.err.empty());
        // Nothing at all is written, not even the good record before it.
        EXPECT_FALSE(fs::exists(out / "fine.sql")) << bad;
        EXPECT_FALSE(fs::exists(dir / "escape.sql"));
    }
    const std::string twice = package_file(pkg::encode_package({{"a.sql", "1"}, {"a.sql", "2"}}));
    EXPECT_EQ(run({"extract", twice, (dir / "out2").string()}).code, 1);
}

TEST_F(DbdatTest, SplitWritesBothStatementsAsRawBytes) {
    const fs::path script = dir / "p.sql";
    spit(script, "  drop proc p_\xD6\xD0\r\nGO\r\nCREATE PROC p_\xD6\xD0 AS BEGIN END\r\ngo\r\n");
    const fs::path drop = dir / "drop.sql", create = dir / "create.sql";
    const result r = run({"split", script.string(), "--drop", drop.string(), "--create", create.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(slurp(drop), "drop proc p_\xD6\xD0");
    EXPECT_EQ(slurp(create), "CREATE PROC p_\xD6\xD0  with ENCRYPTION AS BEGIN END\r\ngo\r\n");
    // The closing go stays in the create statement, where the server would take it as a word.
    EXPECT_NE(r.err.find("p.sql: line 4: a \"go\" line inside the create statement"), std::string::npos) << r.err;

    // A clause that would not encrypt: written as the upgrade sends it, and said.
    spit(script, "drop proc p\r\ngo\r\ncreate proc p as -- totals as of the day\r\nbegin end");
    const result warned = run({"split", script.string(), "--drop", drop.string(), "--create", create.string()});
    EXPECT_EQ(warned.code, 0);
    EXPECT_EQ(slurp(create), "create proc p as -- totals  with ENCRYPTION as of the day\r\nbegin end");
    EXPECT_NE(warned.err.find("line 3: \" with ENCRYPTION \" would land inside a comment"), std::string::npos)
        << warned.err;
}

TEST_F(DbdatTest, SplitNamesTheFailedTestAndExitsThree) {
    struct row {
        const char* script;
        const char* test;
    };
    const row rows[] = {
        {"drop\r\ngo\r\nalter proc p as begin end", "create key"},
        {"drop\r\ngo\r\ncreate proc p as select 1", "body key"},
        {"drop\r\ngo\r\ncreate proc p begin end", "procedure key"},
        {"drop go create proc p as begin end", "batch separator"},
    };
    for (const row& w : rows) {
        const fs::path script = dir / "p.sql", drop = dir / "d.sql", create = dir / "c.sql";
        spit(script, w.script);
        const result r = run({"split", script.string(), "--create", create.string(), "--drop", drop.string()});
        EXPECT_EQ(r.code, 3) << w.test;
        EXPECT_NE(r.err.find(w.test), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(drop));
        EXPECT_FALSE(fs::exists(create));
    }
    EXPECT_EQ(run({"split", (dir / "p.sql").string(), "--drop", "x"}).code, 2);
}

TEST_F(DbdatTest, CheckTellsWhatAnUpgradeWouldDoWithEachRecord) {
    const std::string file = package_file(pkg::encode_package({
        {"a_MS.sql", good_ms},
        {"b_ANY5.sql", good_any5},
        {"c_MS.sql", "drop\r\ngo\r\ncreate proc c begin end"},
        {"d_MS.sql", "drop\r\ngo\r\ncreate proc d as begin select '\x81' end"},  // lone lead byte
        {"e_MS_ANY5.sql", good_ms},
        {"f_MS.sql", "drop\r\ngo\r\ncreate proc f as\r\n/* was: create */\r\nbegin end"},
    }));
    result r = run({"check", file});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out,
              "0\ta_MS.sql\texecute\n"
              "76\tb_ANY5.sql\tskip (interface tag)\n"
              "154\tc_MS.sql\trefuse (statement builder: procedure key)\n"
              "209\td_MS.sql\trefuse (not valid GBK)\n"
              "278\te_MS_ANY5.sql\texecute\n"
              "359\tf_MS.sql\texecute, would be created without encryption (line 4: \" with ENCRYPTION \" would land "
              "inside a comment)\n"
              "6 record(s): 3 execute, 1 skip, 2 refuse, 1 of the executed without encryption\n");

    // A record no server would take fails the check on its own.
    const fs::path failing = dir / "failing.dat";
    spit(failing, pkg::encode_package({{"g_MS.sql", "drop\r\ngo\r\ncreate trigger g on t after insert as begin end"}}));
    r = run({"check", failing.string()});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out,
              "0\tg_MS.sql\texecute, would fail on the server (line 3: \" with ENCRYPTION \" would follow the "
              "trigger's AFTER event list; write FOR instead of AFTER, they mean the same)\n"
              "1 record(s): 1 execute, 0 skip, 0 refuse, 1 of the executed would fail on the server\n");

    r = run({"check", file, "--driver", "odbc"});
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("0\ta_MS.sql\tskip (interface tag)\n"), std::string::npos);
    EXPECT_NE(r.out.find("6 record(s): 2 execute, 4 skip, 0 refuse\n"), std::string::npos);

    // A record created without encryption is reason enough on its own.
    r = run({"check", package_file(pkg::encode_package({
                          {"a_MS.sql", good_ms},
                          {"f_MS.sql", "drop\r\ngo\r\ncreate proc f as\r\n/* was: create */\r\nbegin end"},
                      }))});
    EXPECT_EQ(r.code, 3) << r.out;
    EXPECT_NE(r.out.find("2 record(s): 2 execute, 0 skip, 0 refuse, 1 of the executed without encryption\n"),
              std::string::npos)
        << r.out;
}

TEST_F(DbdatTest, CheckShowsTheStatementsOnRequest) {
    const std::string file = package_file(pkg::encode_package({{"a_MS.sql", good_ms}}));
    const result r = run({"check", "--show", file});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("-- drop:\ndrop proc p\n-- create:\ncreate proc p  with ENCRYPTION as begin select 1 end\r\n\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(run({"check", package_file("@@@@")}).out, "0 record(s): 0 execute, 0 skip, 0 refuse\n");
}

TEST_F(DbdatTest, HelpAndUsage) {
    for (const char* command : {"list", "extract", "split", "check"}) {
        const result r = run({command, "--help"});
        EXPECT_EQ(r.code, 0) << command;
        EXPECT_NE(r.out.find(std::string("usage: dbdat ") + command), std::string::npos) << command;
    }
    const result help = run({"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char* command : {"list", "extract", "split", "check"}) EXPECT_NE(help.out.find(command), std::string::npos);
    EXPECT_EQ(run({}).code, 2);
    EXPECT_EQ(run({"frobnicate"}).code, 2);
    EXPECT_EQ(run({"list"}).code, 2);
    EXPECT_EQ(run({"check", "a", "b"}).code, 2);
}

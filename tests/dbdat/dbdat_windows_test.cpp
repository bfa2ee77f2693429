// dbdat.exe run as a program on Windows: arguments as UTF-16, GBK names
// written as the characters they are, and names Windows cannot hold refused
// before anything is written. (The Linux program's own tests run it through
// the shell, in dbdat_cli_test.cpp.)

#include <gtest/gtest.h>

#include "common/os_headers.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "common/native_path.h"
#include "package/package_format.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;
namespace pkg = velmora::package;
using velmora::path_from_utf8;

namespace {

struct result {
    DWORD code = 255;
    std::string out, err;
};

// One argument as the C runtime's command line parser reads it back.
std::wstring quoted(const std::wstring& arg) {
    std::wstring q = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        q.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        q += c;
    }
    q.append(backslashes * 2, L'\\');
    return q + L"\"";
}

std::string slurp(const std::string& path) {
    std::ifstream in(path_from_utf8(path), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path_from_utf8(path), std::ios::binary) << bytes;
}

// dbdat.exe of the same build, found beside this test program.
std::wstring dbdat_exe() {
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    return (fs::path(self).parent_path() / VELMORA_DBDAT_FROM_TESTS).lexically_normal().wstring();
}

class DbdatWindowsTest : public ::testing::Test {
protected:
    // Runs dbdat.exe with UTF-8 arguments passed as UTF-16; a run that does
    // not end within a minute fails the test.
    result run(const std::vector<std::string>& args) {
        std::wstring command = quoted(dbdat_exe());
        for (const std::string& a : args) command += L" " + quoted(velmora::wide_path(a));
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        auto capture = [&](const std::string& path) {
            return CreateFileW(velmora::wide_path(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        };
        const std::string out_path = temp_.dir() + "stdout", err_path = temp_.dir() + "stderr";
        const HANDLE out = capture(out_path), err = capture(err_path);
        STARTUPINFOW start{};
        start.cb = sizeof start;
        start.dwFlags = STARTF_USESTDHANDLES;
        start.hStdInput = INVALID_HANDLE_VALUE;
        start.hStdOutput = out;
        start.hStdError = err;
        PROCESS_INFORMATION process{};
        result r;
        const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                            &start, &process);
        CloseHandle(out);
        CloseHandle(err);
        EXPECT_TRUE(started) << "cannot start dbdat.exe: error " << GetLastError();
        if (!started) return r;
        if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 255);
            ADD_FAILURE() << "dbdat.exe did not end within a minute";
        }
        GetExitCodeProcess(process.hProcess, &r.code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        r.out = slurp(out_path);
        r.err = slurp(err_path);
        return r;
    }

    // The names in a folder as Windows spells them.
    static std::set<std::wstring> names_in(const std::string& dir) {
        std::set<std::wstring> names;
        for (const auto& e : fs::directory_iterator(path_from_utf8(dir))) names.insert(e.path().filename().wstring());
        return names;
    }

    test_support::temp_folder temp_{"velmora_dbdat"};
};

const std::string script_a = "drop proc a\r\ngo\r\ncreate proc a as begin select 1 end\r\n";
const std::string script_k = "drop proc k\r\ngo\r\ncreate proc k as begin select '\xBF\xE2' end\r\n";

// 库存 is BF E2 B4 E6 in GBK: in the package as those bytes, on the command
// line and in the output as UTF-8, on disk as the two characters.
TEST_F(DbdatWindowsTest, ChineseNamesAndFoldersRoundTripThroughBuildListAndExtract) {
    const std::string scripts = temp_.dir() + "脚本";
    const std::string desk = temp_.dir() + "桌面";
    fs::create_directory(path_from_utf8(scripts));
    fs::create_directory(path_from_utf8(desk));
    write_bytes(scripts + "\\库存_MS.sql", script_k);
    write_bytes(scripts + "\\a_MS.sql", script_a);

    result r = run({"build", scripts, desk});
    ASSERT_EQ(r.code, 0u) << r.err;
    EXPECT_EQ(r.out, "a_MS.sql\n库存_MS.sql\n");
    const std::string package = desk + "\\db.dat";
    const std::string expected = pkg::encode_package({{"a_MS.sql", script_a}, {"\xBF\xE2\xB4\xE6_MS.sql", script_k}});
    EXPECT_EQ(slurp(package), expected);

    r = run({"list", package});
    ASSERT_EQ(r.code, 0u) << r.err;
    const std::size_t second = expected.find("$$$$$$", 1);
    EXPECT_EQ(r.out, "0\ta_MS.sql\t" + std::to_string(script_a.size()) + "\tMS\n" + std::to_string(second) +
                         "\t库存_MS.sql\t" + std::to_string(script_k.size()) + "\tMS\n");

    const std::string out = temp_.dir() + "提取";
    r = run({"extract", package, out});
    ASSERT_EQ(r.code, 0u) << r.err;
    EXPECT_EQ(names_in(out), (std::set<std::wstring>{L"a_MS.sql", L"库存_MS.sql"}));
    EXPECT_EQ(slurp(out + "\\库存_MS.sql"), script_k);
    EXPECT_EQ(slurp(out + "\\a_MS.sql"), script_a);

    // Existing files stay unless --force; with it they are replaced.
    write_bytes(out + "\\库存_MS.sql", "edited");
    r = run({"extract", package, out});
    EXPECT_EQ(r.code, 1u);
    EXPECT_EQ(r.err, "dbdat: " + out + "\\a_MS.sql exists; nothing extracted (--force replaces existing files)\n");
    EXPECT_EQ(slurp(out + "\\库存_MS.sql"), "edited");
    r = run({"extract", package, out, "--force"});
    EXPECT_EQ(r.code, 0u) << r.err;
    EXPECT_EQ(slurp(out + "\\库存_MS.sql"), script_k);
    EXPECT_EQ(names_in(out), (std::set<std::wstring>{L"a_MS.sql", L"库存_MS.sql"}));
}

// Names a package built elsewhere may carry that Windows would store as
// something else: a stream of another file, a device, one file for two names.
TEST_F(DbdatWindowsTest, NamesWindowsCannotHoldAreRefusedBeforeAnythingIsWritten) {
    const struct {
        std::vector<std::string> names;
        std::string says;
    } cases[] = {
        {{"a.sql", "b:stream.sql"}, "name contains :"},
        {{"a.sql", "con.sql"}, "name is the device name CON"},
        {{"a.sql", "LPT1"}, "name is the device name LPT1"},
        {{"a.sql", "p?.sql"}, "name contains ?"},
        {{"a.sql", "trailing."}, "name ends with a dot or a space"},
        {{"Proc_MS.sql", "proc_ms.SQL"}, "name occurs twice"},
        {{"\xBF\xE2.sql", "\xBF\xE2.SQL"}, "name occurs twice"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        std::vector<pkg::record> records;
        for (const std::string& n : c.names) records.push_back({n, script_a});
        const std::string package = temp_.dir() + "bad.dat";
        write_bytes(package, pkg::encode_package(records));
        const std::string out = temp_.dir() + "out";
        const result r = run({"extract", package, out});
        EXPECT_EQ(r.code, 1u);
        EXPECT_NE(r.err.find(c.says + "; nothing extracted"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(path_from_utf8(out)));
    }
}

TEST_F(DbdatWindowsTest, OutputIsBinaryAndArgumentsKeepTheirCharacters) {
    // A missing package named in Chinese is reported by that name.
    const result r = run({"list", temp_.dir() + "没有.dat"});
    EXPECT_EQ(r.code, 1u);
    EXPECT_EQ(r.err, "dbdat: " + temp_.dir() + "没有.dat: No such file or directory\n");
    EXPECT_EQ(r.out, "");
}

}  // namespace

// The builder on Windows' terms: the attributes that leave a script out, and
// a db.dat that is open elsewhere.

#include <gtest/gtest.h>

#include "common/os_headers.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "builder_test_support.h"
#include "common/app_names.h"
#include "common/native_path.h"
#include "package/package_builder.h"
#include "package/package_file.h"
#include "package/package_format.h"

using namespace velmora;
using namespace builder_test;

namespace {

class BuilderWindowsTest : public BuilderTest {
protected:
    void set_attributes(const std::string& name, DWORD attributes) {
        ASSERT_TRUE(SetFileAttributesW(wide_path(scripts_ + name).c_str(), attributes)) << name;
    }
    void TearDown() override {
        // A read-only or system file would stay behind the folder's removal.
        for (const std::string& name : entries_of(scripts_))
            SetFileAttributesW(wide_path(scripts_ + name).c_str(), FILE_ATTRIBUTE_NORMAL);
    }
};

TEST_F(BuilderWindowsTest, ReadOnlyHiddenAndSystemFilesAndFoldersAreLeftOut) {
    put("keep_MS.sql", proc_script);
    put("archived_MS.sql", script_of(50));
    for (const char* name : {"ro_MS.sql", "hidden_MS.sql", "system_MS.sql", "库存_MS.sql"}) put(name, "#refused");
    set_attributes("archived_MS.sql", FILE_ATTRIBUTE_ARCHIVE);
    set_attributes("ro_MS.sql", FILE_ATTRIBUTE_READONLY);
    set_attributes("hidden_MS.sql", FILE_ATTRIBUTE_HIDDEN);
    set_attributes("system_MS.sql", FILE_ATTRIBUTE_SYSTEM);
    set_attributes("库存_MS.sql", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    std::filesystem::create_directory(path_from_utf8(scripts_ + "folder.sql"));

    const std::vector<std::string> expected = {"archived_MS.sql", "keep_MS.sql"};
    EXPECT_EQ(list_scripts(scripts_), expected);
    const build_result r = build();
    ASSERT_TRUE(r.written) << (ui_.boxes().empty() ? "" : ui_.boxes()[0].second);
    EXPECT_EQ(r.names, expected);
    EXPECT_EQ(package(), package::encode_package({{"archived_MS.sql", script_of(50)},
                                                  {"keep_MS.sql", proc_script}}));
}

// Windows replaces no file that is open, whatever the opener shares: while
// the upgrade reads db.dat (or another program holds it) a build fails with
// the reason and loses nothing, the reader reads the old package to its end,
// and the next build succeeds.
TEST_F(BuilderWindowsTest, APackageOpenElsewhereIsKeptAndTheFailureReported) {
    put("a_MS.sql", proc_script);
    const std::string old = package::encode_package({{"old_MS.sql", script_of(300)}});
    write_bytes(run_ + "db.dat", old);

    std::string read_back;
    std::optional<build_result> during;
    package::read_options small;
    small.piece_size = 64;
    const package::file_read r = package::read_regular_file_in_pieces(run_ + "db.dat", small, [&](std::string_view p) {
        if (!during) during = build();
        read_back += p;
        return true;
    });
    ASSERT_TRUE(r.ok()) << package::failure_text(r);
    EXPECT_TRUE(read_back == old);
    ASSERT_TRUE(during);
    EXPECT_EQ(during->how, build_result::outcome::write_failed);
    EXPECT_EQ(ui_.boxes(), (std::vector<std::pair<std::string, std::string>>{
                               {gs_appname, "无法写入 " + run_ + "db.dat：Permission denied"}}));
    EXPECT_TRUE(package() == old);
    EXPECT_EQ(run_dir_entries(), std::vector<std::string>{"db.dat"});

    ui_.events.clear();
    ASSERT_TRUE(build().written) << (ui_.boxes().empty() ? "" : ui_.boxes()[0].second);
    EXPECT_TRUE(package() == package::encode_package({{"a_MS.sql", proc_script}}));
}

}  // namespace

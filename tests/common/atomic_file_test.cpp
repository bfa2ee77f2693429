// Replacing a file whole: the temporary file is the writer's own, the old
// file survives for whoever still holds it, and a failure loses nothing.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "common/atomic_file.h"
#include "common/native_path.h"
#include "common/os_headers.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;
using velmora::atomic_file;
using velmora::path_from_utf8;

namespace {

void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path_from_utf8(path), std::ios::binary) << bytes;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path_from_utf8(path), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::size_t entry_count(const test_support::temp_folder& dir) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
}

bool replace_with(const std::string& target, const std::string& bytes, bool replace = true) {
    atomic_file out(target);
    return out.open() && out.write(bytes) && out.commit(replace);
}

TEST(AtomicFile, ATemporaryNameThatIsTakenIsNeverReused) {
    test_support::temp_folder dir("velmora_atomic");
    const std::string target = dir.dir() + "db.dat";
    std::string first_temp;
    {
        atomic_file probe(target);
        ASSERT_TRUE(probe.open()) << probe.reason();
        first_temp = probe.temp_path();
    }
    ASSERT_FALSE(fs::exists(path_from_utf8(first_temp)));  // an unfinished one is removed

    // Someone else's file at the name the writer tries first, and a second
    // writer of the same target: each writer gets a file of its own.
    write_bytes(first_temp, "someone else's");
    atomic_file a(target), b(target);
    ASSERT_TRUE(a.open()) << a.reason();
    ASSERT_TRUE(b.open()) << b.reason();
    EXPECT_NE(a.temp_path(), first_temp);
    EXPECT_NE(b.temp_path(), first_temp);
    EXPECT_NE(a.temp_path(), b.temp_path());
    ASSERT_TRUE(a.write("from a"));
    ASSERT_TRUE(b.write("from b"));
    ASSERT_TRUE(b.commit()) << b.reason();
    ASSERT_TRUE(a.commit()) << a.reason();
    EXPECT_EQ(slurp(target), "from a");
    EXPECT_EQ(slurp(first_temp), "someone else's");
}

TEST(AtomicFile, ReplacesWholeAndALinkToTheOldFileKeepsItsBytes) {
    test_support::temp_folder dir("velmora_atomic");
    const std::string target = dir.dir() + "db.dat";
    write_bytes(target, std::string(100000, 'o'));
    fs::create_hard_link(path_from_utf8(target), dir.path() / "old.dat");
    ASSERT_TRUE(replace_with(target, "new"));
    EXPECT_EQ(slurp(target), "new");
    EXPECT_EQ(slurp(dir.dir() + "old.dat"), std::string(100000, 'o'));
    EXPECT_EQ(entry_count(dir), 2u);  // no temporary file left
}

TEST(AtomicFile, WithoutReplaceAnExistingTargetIsKept) {
    test_support::temp_folder dir("velmora_atomic");
    const std::string target = dir.dir() + "script.sql";
    ASSERT_TRUE(replace_with(target, "first", false));
    EXPECT_EQ(slurp(target), "first");
    atomic_file second(target);
    ASSERT_TRUE(second.open());
    ASSERT_TRUE(second.write("second"));
    EXPECT_FALSE(second.commit(false));
    EXPECT_EQ(second.reason(), std::error_code(EEXIST, std::generic_category()).message());
    EXPECT_EQ(slurp(target), "first");
}

#ifdef _WIN32

HANDLE open_for_reading(const std::string& path, DWORD share) {
    return CreateFileW(velmora::wide_path(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string read_all(HANDLE h) {
    std::string out;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
    return out;
}

// Windows replaces no file that is open, whatever the opener shares (a hard
// link keeps the old bytes, as above): the replace fails with a reason, the
// target and its reader keep the old bytes, no temporary file stays, and
// once the file is closed the replace goes through.
TEST(AtomicFileWindows, AFileOpenElsewhereIsKeptWhole) {
    test_support::temp_folder dir("velmora_atomic");
    const std::string target = dir.dir() + "db.dat";
    for (const DWORD share : {DWORD{FILE_SHARE_READ}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}}) {
        SCOPED_TRACE(share);
        write_bytes(target, "old package");
        const HANDLE reader = open_for_reading(target, share);
        ASSERT_NE(reader, INVALID_HANDLE_VALUE);
        std::optional<atomic_file> out(std::in_place, target);
        ASSERT_TRUE(out->open());
        ASSERT_TRUE(out->write("new package"));
        EXPECT_FALSE(out->commit());
        EXPECT_EQ(out->reason(), std::error_code(EACCES, std::generic_category()).message());
        out.reset();
        EXPECT_EQ(read_all(reader), "old package");
        CloseHandle(reader);
        EXPECT_EQ(slurp(target), "old package");
        EXPECT_EQ(entry_count(dir), 1u);
        EXPECT_TRUE(replace_with(target, "new package"));
        EXPECT_EQ(slurp(target), "new package");
    }
}

#endif

}  // namespace

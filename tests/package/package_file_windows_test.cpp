// Reading a package file on Windows: wide paths, and what Windows has instead
// of FIFOs and device files (device names in every folder, named pipes) is
// named and never read.

#include <gtest/gtest.h>

#include "common/os_headers.h"

#include <filesystem>
#include <fstream>
#include <string>

#include "common/native_path.h"
#include "package/package_file.h"
#include "support/temp_folder.h"

namespace pkg = velmora::package;

namespace {

void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream(velmora::path_from_utf8(path), std::ios::binary) << bytes;
}

TEST(PackageFileWindows, ReadsAFileWhoseFolderAndNameAreChinese) {
    test_support::temp_folder dir("velmora_file");
    const std::string folder = dir.dir() + "桌面\\升级程序\\";
    std::filesystem::create_directories(velmora::path_from_utf8(folder));
    std::string bytes;
    for (int i = 0; i < 100000; ++i) bytes += static_cast<char>('a' + i % 26);
    write_bytes(folder + "db.dat", bytes);
    for (std::size_t piece : {0u, 32765u}) {
        pkg::read_options options;
        options.piece_size = piece;
        const pkg::file_read r = pkg::read_regular_file(folder + "db.dat", options);
        ASSERT_TRUE(r.ok()) << pkg::failure_text(r);
        EXPECT_EQ(r.size, bytes.size());
        EXPECT_TRUE(r.bytes.view() == bytes);
    }
    std::string joined;
    const pkg::file_read s = pkg::read_regular_file_in_pieces(folder + "db.dat", {}, [&](std::string_view p) {
        joined += p;
        return true;
    });
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(joined, bytes);

    const pkg::file_read missing = pkg::read_regular_file(folder + "缺少.dat");
    EXPECT_EQ(missing.status, pkg::read_status::missing);
    EXPECT_EQ(pkg::failure_text(missing), "No such file or directory");
    const pkg::file_read folder_read = pkg::read_regular_file(dir.dir() + "桌面");
    EXPECT_EQ(folder_read.status, pkg::read_status::not_regular);
    EXPECT_EQ(folder_read.kind, pkg::file_kind::directory);
}

// NUL, CON and COM1 name devices in every folder: each is called a device,
// and nothing waits on one (CON would wait for a keyboard).
TEST(PackageFileWindows, DeviceNamesAreNoFile) {
    test_support::temp_folder dir("velmora_file");
    for (const std::string& path : {std::string("NUL"), std::string("CON"), std::string("COM1"), dir.dir() + "nul",
                                    dir.dir() + "NUL.dat"}) {
        SCOPED_TRACE(path);
        const pkg::file_read r = pkg::read_regular_file(path);
        // A device Windows lacks (no COM1) is not there at all.
        if (r.status == pkg::read_status::missing) continue;
        EXPECT_EQ(r.status, pkg::read_status::not_regular);
        EXPECT_EQ(r.kind, pkg::file_kind::character_device);
        EXPECT_EQ(pkg::failure_text_zh(r), "是字符设备，不是普通文件");
    }
    const pkg::file_read nul = pkg::read_regular_file_in_pieces("NUL", {}, [](std::string_view) { return true; });
    EXPECT_EQ(nul.status, pkg::read_status::not_regular);
}

// A named pipe whose server never writes would hold a read forever: it is
// named, whether a free instance takes the connection or none is free.
TEST(PackageFileWindows, NamedPipesAreNoFileAndNothingWaits) {
    const std::wstring name = L"\\\\.\\pipe\\velmora_package_test_" + std::to_wstring(GetCurrentProcessId());
    const HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096,
                                           4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    const std::string path = velmora::utf8_of_wide(name);
    for (const char* when : {"a free instance", "no free instance"}) {
        SCOPED_TRACE(when);
        const pkg::file_read r = pkg::read_regular_file(path);
        EXPECT_EQ(r.status, pkg::read_status::not_regular);
        EXPECT_EQ(r.kind, pkg::file_kind::fifo);
        EXPECT_EQ(pkg::failure_text(r), "is a FIFO, not a regular file");
    }
    CloseHandle(server);
    EXPECT_EQ(pkg::read_regular_file(path).status, pkg::read_status::missing);
}

// A file another program is writing (and shares) is read as it stands.
TEST(PackageFileWindows, AFileOpenForWritingElsewhereIsRead) {
    test_support::temp_folder dir("velmora_file");
    const std::string path = dir.dir() + "db.dat";
    const HANDLE writer = CreateFileW(velmora::wide_path(path).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writer, "@@@@", 4, &written, nullptr));
    const pkg::file_read r = pkg::read_regular_file(path);
    CloseHandle(writer);
    ASSERT_TRUE(r.ok()) << pkg::failure_text(r);
    EXPECT_EQ(r.bytes.str(), "@@@@");
}

}  // namespace

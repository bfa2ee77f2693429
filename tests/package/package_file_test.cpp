// Reading a package file: only regular files are read, nothing blocks, and
// every failure says what the path is or why it failed.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "package/package_file.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;
namespace pkg = velmora::package;

namespace {

class PackageFileTest : public ::testing::Test {
protected:
    std::string put(const std::string& name, const std::string& bytes) {
        std::ofstream(dir_ + name, std::ios::binary) << bytes;
        return dir_ + name;
    }
    test_support::temp_folder folder_{"velmora_file"};
    std::string dir_ = folder_.dir();
};

std::string pattern_of(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return s;
}

}  // namespace

TEST_F(PackageFileTest, ReadsARegularFileWholeWhateverThePieces) {
    // Sizes around the runner's piece and past the 2 MiB of a huge page.
    for (std::size_t size : {0u, 1u, 32765u, 32766u, 65531u, (3u << 20) + 5}) {
        const std::string bytes = pattern_of(size);
        const std::string path = put("p.dat", bytes);
        for (std::size_t piece : {0u, 32765u, 4096u}) {
            SCOPED_TRACE(std::to_string(size) + " in pieces of " + std::to_string(piece));
            pkg::read_options options;
            options.piece_size = piece;
            const pkg::file_read r = pkg::read_regular_file(path, options);
            ASSERT_TRUE(r.ok()) << pkg::failure_text(r);
            EXPECT_EQ(r.size, size);
            EXPECT_TRUE(r.bytes.view() == bytes);

            std::string joined;
            const pkg::file_read s = pkg::read_regular_file_in_pieces(path, options, [&](std::string_view p) {
                EXPECT_LE(p.size(), piece ? piece : pkg::default_piece_size);
                joined += p;
                return true;
            });
            EXPECT_TRUE(s.ok());
            EXPECT_EQ(s.size, size);
            EXPECT_TRUE(joined == bytes);
        }
    }
    // A symbolic link to a regular file is followed.
    fs::create_symlink(dir_ + "p.dat", dir_ + "link.dat");
    EXPECT_TRUE(pkg::read_regular_file(dir_ + "link.dat").ok());
}

TEST_F(PackageFileTest, NonRegularFilesAreNamedAndNeverRead) {
    fs::create_directory(dir_ + "dir");
    ASSERT_EQ(::mkfifo((dir_ + "fifo").c_str(), 0644), 0);  // no writer: a read would wait forever
    fs::create_directory_symlink(dir_ + "dir", dir_ + "dir_link");
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sock_path = dir_ + "sock";
    ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
    std::copy(sock_path.begin(), sock_path.end(), addr.sun_path);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    const struct {
        std::string path;
        pkg::file_kind kind;
        const char* text;
        const char* text_zh;
    } cases[] = {
        {dir_ + "dir", pkg::file_kind::directory, "is a directory, not a regular file", "是目录，不是普通文件"},
        {dir_ + "dir_link", pkg::file_kind::directory, "is a directory", "目录"},
        {dir_ + "fifo", pkg::file_kind::fifo, "is a FIFO", "FIFO"},
        {sock_path, pkg::file_kind::socket, "is a socket", "套接字"},
        {"/dev/zero", pkg::file_kind::character_device, "is a character device", "字符设备"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const pkg::file_read r = pkg::read_regular_file(c.path);
        EXPECT_EQ(r.status, pkg::read_status::not_regular);
        EXPECT_EQ(r.kind, c.kind);
        EXPECT_TRUE(r.bytes.empty());
        EXPECT_NE(pkg::failure_text(r).find(c.text), std::string::npos) << pkg::failure_text(r);
        EXPECT_NE(pkg::failure_text_zh(r).find(c.text_zh), std::string::npos) << pkg::failure_text_zh(r);
        bool called = false;
        EXPECT_EQ(pkg::read_regular_file_in_pieces(c.path, {}, [&](std::string_view) { return called = true; }).status,
                  pkg::read_status::not_regular);
        EXPECT_FALSE(called);
    }
    ::close(sock);
}

TEST_F(PackageFileTest, MissingLoopingAndUnreadablePathsSayWhy) {
    put("file", "x");
    fs::create_symlink(dir_ + "nowhere", dir_ + "dangling");
    fs::create_symlink(dir_ + "loop", dir_ + "loop");

    pkg::file_read r = pkg::read_regular_file(dir_ + "missing");
    EXPECT_EQ(r.status, pkg::read_status::missing);
    EXPECT_EQ(r.kind, pkg::file_kind::unknown);
    EXPECT_EQ(pkg::failure_text(r), "No such file or directory");

    r = pkg::read_regular_file(dir_ + "file/below");  // a file where a folder should be
    EXPECT_EQ(r.status, pkg::read_status::missing);

    r = pkg::read_regular_file(dir_ + "dangling");
    EXPECT_EQ(r.status, pkg::read_status::missing);
    EXPECT_EQ(r.kind, pkg::file_kind::dangling_symlink);
    EXPECT_NE(pkg::failure_text_zh(r).find("失效的符号链接"), std::string::npos);

    r = pkg::read_regular_file(dir_ + "loop");
    EXPECT_EQ(r.status, pkg::read_status::unreadable);
    EXPECT_EQ(r.error, ELOOP);
    EXPECT_NE(pkg::failure_text_zh(r).find("符号链接循环"), std::string::npos);

    // A regular file whose read fails: the process's memory image, unmapped
    // at offset 0 (root may open anything, so permissions cannot show this).
    r = pkg::read_regular_file("/proc/self/mem");
    EXPECT_EQ(r.status, pkg::read_status::unreadable);
    EXPECT_EQ(r.error, EIO);
    EXPECT_EQ(pkg::failure_text(r), "cannot be read: Input/output error");
}

TEST_F(PackageFileTest, FilesPastTheBoundAreRefusedNotAllocated) {
    const std::string path = put("big.dat", "0123456789A");
    pkg::read_options options;
    options.max_size = 10;
    pkg::file_read r = pkg::read_regular_file(path, options);
    EXPECT_EQ(r.status, pkg::read_status::too_large);
    EXPECT_EQ(r.size, 11u);
    EXPECT_EQ(pkg::failure_text(r, options), "too large (11 bytes, at most 10)");
    EXPECT_EQ(pkg::read_regular_file_in_pieces(path, options, [](std::string_view) { return true; }).status,
              pkg::read_status::too_large);

    // A sparse file of 8 GiB takes no disk, and is refused by its length.
    const std::string sparse = put("sparse.dat", "");
    ASSERT_EQ(::truncate(sparse.c_str(), off_t{8} << 30), 0);
    r = pkg::read_regular_file(sparse);
    EXPECT_EQ(r.status, pkg::read_status::too_large);
    EXPECT_EQ(r.size, std::uint64_t{8} << 30);

    options.max_size = 11;
    r = pkg::read_regular_file(path, options);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.bytes.str(), "0123456789A");
}

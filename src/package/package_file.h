#pragma once
// The one way the package tools read a file whole: only a regular file is
// read (symbolic links to one are followed), nothing blocks on a FIFO or a
// device, a size bound refuses what would not fit in memory, and every
// failure comes back as a value naming what the path is or why it failed.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace velmora::package {

enum class read_status {
    ok,           // bytes hold the whole file
    missing,      // nothing at the path (or a symbolic link to nothing)
    not_regular,  // a directory, FIFO, socket or device: never read
    unreadable,   // the system refused to open or read it; see error
    too_large,    // larger than the bound; see size
};

// What lies at the path, as far as it could be learnt.
enum class file_kind {
    unknown,
    regular,
    directory,
    fifo,
    socket,
    character_device,
    block_device,
    dangling_symlink,  // only with read_status::missing
    other,
};

struct read_options {
    // Files larger than this are refused, never allocated.
    std::uint64_t max_size = std::uint64_t{1} << 30;
    // Bytes asked for per read call; 0: the whole file in one call
    // (read_regular_file), default_piece_size (read_regular_file_in_pieces).
    std::size_t piece_size = 0;
};

inline constexpr std::size_t default_piece_size = 128 * 1024;

// The bytes of a file read whole. Move-only; large files live in memory taken
// in huge pages where the system offers them, which spares a page fault per
// 4 KiB of package.
class file_bytes {
public:
    file_bytes() = default;
    ~file_bytes();
    file_bytes(file_bytes&& other) noexcept;
    file_bytes& operator=(file_bytes&& other) noexcept;
    file_bytes(const file_bytes&) = delete;
    file_bytes& operator=(const file_bytes&) = delete;

    const char* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const { return {data_, size_}; }
    std::string str() const { return std::string(view()); }

    // Room for n bytes, keeping what is held; throws std::bad_alloc.
    void reserve(std::size_t n);
    // Writable room past size(); capacity() - size() bytes.
    char* end() { return data_ + size_; }
    std::size_t capacity() const { return capacity_; }
    void grow_by(std::size_t n) { size_ += n; }

private:
    void release() noexcept;

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool mapped_ = false;  // from the system's page allocator, not the heap
};

struct file_read {
    read_status status = read_status::unreadable;
    file_kind kind = file_kind::unknown;
    int error = 0;            // the system's error number (missing, unreadable)
    std::uint64_t size = 0;   // the file's size (ok, too_large)
    file_bytes bytes;         // the content (ok)

    bool ok() const { return status == read_status::ok; }
};

// Reads path whole. Throws nothing.
file_read read_regular_file(const std::string& path, const read_options& options = {});

// Reads path front to back, handing each piece to on_piece (which returns
// false to stop); the same checks and findings as read_regular_file, with
// no bytes kept. Memory stays at one piece however large the file.
file_read read_regular_file_in_pieces(const std::string& path, const read_options& options,
                                      const std::function<bool(std::string_view)>& on_piece);

// English name of a kind, for tools: "directory", "FIFO", ...
const char* kind_name(file_kind kind);

// Why a read failed, for tools: "is a directory, not a regular file",
// "No such file or directory", "too large (N bytes, at most M)". Empty when ok.
std::string failure_text(const file_read& r, const read_options& options = {});

// The same in Chinese, for operators' message boxes.
std::string failure_text_zh(const file_read& r, const read_options& options = {});

}  // namespace velmora::package

#include "package/package_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <system_error>

#ifndef _WIN32
#include <sys/mman.h>
#endif

#include "common/native_path.h"
#include "common/os_headers.h"

namespace velmora::package {
namespace {

// The system calls behind one small seam, so that another platform only has
// to supply these operations: probe, open, info and read of a file, and
// memory for its bytes.
namespace native {

struct file_info {
    file_kind kind = file_kind::unknown;
    std::uint64_t size = 0;
};

#ifndef _WIN32

file_kind kind_of(mode_t mode) {
    if (S_ISREG(mode)) return file_kind::regular;
    if (S_ISDIR(mode)) return file_kind::directory;
    if (S_ISFIFO(mode)) return file_kind::fifo;
    if (S_ISSOCK(mode)) return file_kind::socket;
    if (S_ISCHR(mode)) return file_kind::character_device;
    if (S_ISBLK(mode)) return file_kind::block_device;
    return file_kind::other;
}

class file {
public:
    file() = default;
    ~file() {
        if (fd_ >= 0) ::close(fd_);
    }
    file(const file&) = delete;
    file& operator=(const file&) = delete;

    // What the path names, without opening it (opening a device may have
    // effects of its own). 0 or the system's error number.
    static int probe(const std::string& path, file_info& info) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return errno;
        info.kind = kind_of(st.st_mode);
        info.size = static_cast<std::uint64_t>(st.st_size);
        return 0;
    }

    // A path that does not resolve: a symbolic link pointing nowhere, or nothing.
    static file_kind kind_of_missing(const std::string& path) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return file_kind::dangling_symlink;
        return file_kind::unknown;
    }

    // Never waits: a FIFO without a writer opens at once (and is then refused).
    int open(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        return fd_ < 0 ? errno : 0;
    }

    // What was actually opened: the path may have changed since probe.
    int info(file_info& info) const {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) return errno;
        info.kind = kind_of(st.st_mode);
        info.size = static_cast<std::uint64_t>(st.st_size);
        return 0;
    }

    // Bytes read (0 at the end), or -1 with error set.
    long read(char* into, std::size_t n, int& error) {
        for (;;) {
            const ssize_t got = ::read(fd_, into, n);
            if (got >= 0) return static_cast<long>(got);
            if (errno == EINTR) continue;
            error = errno;
            return -1;
        }
    }

private:
    int fd_ = -1;
};

// Large buffers come straight from the system, aligned to 2 MiB and marked
// for huge pages: one fault per 2 MiB instead of one per 4 KiB, which
// otherwise costs more than reading the file.
constexpr std::size_t huge_page = std::size_t{2} << 20;

void* allocate(std::size_t n, std::size_t& capacity, bool& mapped) {
    if (n < huge_page) {
        void* p = std::malloc(n ? n : 1);
        if (!p) throw std::bad_alloc();
        capacity = n;
        mapped = false;
        return p;
    }
    if (n > static_cast<std::size_t>(-1) - 2 * huge_page) throw std::bad_alloc();
    const std::size_t span = (n + huge_page - 1) / huge_page * huge_page;
    void* raw = ::mmap(nullptr, span + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto at = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t start = (at + huge_page - 1) / huge_page * huge_page;
    const std::size_t head = start - at;
    if (head) ::munmap(raw, head);
    if (huge_page - head) ::munmap(reinterpret_cast<char*>(start) + span, huge_page - head);
#ifdef MADV_HUGEPAGE
    ::madvise(reinterpret_cast<void*>(start), span, MADV_HUGEPAGE);
#endif
    capacity = span;
    mapped = true;
    return reinterpret_cast<void*>(start);
}

void deallocate(void* p, std::size_t capacity, bool mapped) {
    if (mapped)
        ::munmap(p, capacity);
    else
        std::free(p);
}

#else

// Wide paths throughout. What a path names shows only once it is open: a
// device name (NUL, CON, COM1) or a named pipe looks like a file to the
// attribute calls, so the open handle's type decides, before any read.
class file {
public:
    file() = default;
    ~file() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    file(const file&) = delete;
    file& operator=(const file&) = delete;

    // Missing and directories are told without opening; anything else is
    // taken for a file until its handle says otherwise.
    int probe(const std::string& path, file_info& info) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExW(velmora::wide_path(path).c_str(), GetFileExInfoStandard, &data)) {
            const DWORD error = GetLastError();
            const int e = velmora::errno_from_windows(error);
            if (e == ENOENT || e == ENOTDIR) return e;
            // No file system's file: a device or a pipe.
            device_ = error == ERROR_BAD_DEV_TYPE;
            info.kind = file_kind::regular;  // the open handle tells
            return 0;
        }
        info.kind = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? file_kind::directory : file_kind::regular;
        info.size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
        return 0;
    }

    static file_kind kind_of_missing(const std::string&) { return file_kind::unknown; }

    // Opening never waits: a pipe without a free instance fails at once
    // (and is a pipe all the same). Shared for reading, writing and
    // deleting: reading keeps no other program out of the file.
    int open(const std::string& path) {
        h_ = CreateFileW(velmora::wide_path(path).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (h_ != INVALID_HANDLE_VALUE) return 0;
        const DWORD error = GetLastError();
        // What cannot be opened is still called what it is.
        if (error == ERROR_PIPE_BUSY) {
            unopened_ = file_kind::fifo;
            return 0;
        }
        const int e = velmora::errno_from_windows(error);
        if (device_ && e != ENOENT) {
            unopened_ = file_kind::character_device;
            return 0;
        }
        return e;
    }

    int info(file_info& info) const {
        if (unopened_ != file_kind::unknown) {
            info.kind = unopened_;
            return 0;
        }
        switch (GetFileType(h_)) {
            case FILE_TYPE_DISK: break;
            case FILE_TYPE_CHAR: info.kind = file_kind::character_device; return 0;
            case FILE_TYPE_PIPE: info.kind = file_kind::fifo; return 0;
            default:
                if (GetLastError() != NO_ERROR) return velmora::errno_from_windows(GetLastError());
                info.kind = file_kind::other;
                return 0;
        }
        BY_HANDLE_FILE_INFORMATION data{};
        if (!GetFileInformationByHandle(h_, &data)) return velmora::errno_from_windows(GetLastError());
        info.kind = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? file_kind::directory : file_kind::regular;
        info.size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
        return 0;
    }

    long read(char* into, std::size_t n, int& error) {
        DWORD got = 0;
        const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(n, std::size_t{1} << 30));
        if (!ReadFile(h_, into, ask, &got, nullptr)) {
            error = velmora::errno_from_windows(GetLastError());
            return -1;
        }
        return static_cast<long>(got);
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
    bool device_ = false;
    file_kind unopened_ = file_kind::unknown;
};

void* allocate(std::size_t n, std::size_t& capacity, bool& mapped) {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    capacity = n;
    mapped = false;
    return p;
}

void deallocate(void* p, std::size_t, bool) { std::free(p); }

#endif

}  // namespace native

bool is_missing_error(int e) { return e == ENOENT || e == ENOTDIR; }

file_read failed(read_status status, file_kind kind, int error) {
    file_read r;
    r.status = status;
    r.kind = kind;
    r.error = error;
    return r;
}

file_read from_open_error(const std::string& path, int error) {
    if (is_missing_error(error)) return failed(read_status::missing, native::file::kind_of_missing(path), error);
    return failed(read_status::unreadable, file_kind::unknown, error);
}

// Reads to the end of the file into a buffer sized from its length; a file
// that grew since is followed up to the bound.
file_read read_open_file(native::file& f, std::uint64_t expected, const read_options& options) {
    file_read r;
    r.kind = file_kind::regular;
    const std::size_t piece = options.piece_size ? options.piece_size : static_cast<std::size_t>(-1);
    // The system cuts larger calls short anyway; the loop goes on.
    constexpr std::size_t largest_call = std::size_t{1} << 30;
    file_bytes& buf = r.bytes;
    buf.reserve(static_cast<std::size_t>(expected));
    for (;;) {
        int error = 0;
        if (buf.size() == buf.capacity()) {
            // At the expected end: one small read tells the end from growth.
            char probe[4096];
            const long n = f.read(probe, std::min(piece, sizeof probe), error);
            if (n < 0) return failed(read_status::unreadable, file_kind::regular, error);
            if (n == 0) break;
            const std::uint64_t now = buf.size() + static_cast<std::uint64_t>(n);
            if (now > options.max_size) {
                r = failed(read_status::too_large, file_kind::regular, 0);
                r.size = now;
                return r;
            }
            buf.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(options.max_size, now * 2)));
            std::memcpy(buf.end(), probe, static_cast<std::size_t>(n));
            buf.grow_by(static_cast<std::size_t>(n));
            continue;
        }
        const long n = f.read(buf.end(), std::min({piece, buf.capacity() - buf.size(), largest_call}), error);
        if (n < 0) return failed(read_status::unreadable, file_kind::regular, error);
        if (n == 0) break;  // shorter than it was: what is there is the file
        buf.grow_by(static_cast<std::size_t>(n));
    }
    r.status = read_status::ok;
    r.size = buf.size();
    return r;
}

}  // namespace

file_bytes::~file_bytes() { release(); }

file_bytes::file_bytes(file_bytes&& other) noexcept
    : data_(other.data_), size_(other.size_), capacity_(other.capacity_), mapped_(other.mapped_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
}

file_bytes& file_bytes::operator=(file_bytes&& other) noexcept {
    if (this != &other) {
        release();
        data_ = other.data_;
        size_ = other.size_;
        capacity_ = other.capacity_;
        mapped_ = other.mapped_;
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    return *this;
}

void file_bytes::reserve(std::size_t n) {
    if (data_ && n <= capacity_) return;
    std::size_t capacity = 0;
    bool mapped = false;
    char* fresh = static_cast<char*>(native::allocate(n, capacity, mapped));
    if (size_) std::memcpy(fresh, data_, size_);
    release();
    data_ = fresh;
    capacity_ = capacity;
    mapped_ = mapped;
}

void file_bytes::release() noexcept {
    if (data_) native::deallocate(data_, capacity_, mapped_);
    data_ = nullptr;
    capacity_ = 0;
}

namespace {

// Opens path for reading if it is a regular file within the bound; otherwise
// the failure to report. info receives the open file's kind and size.
bool open_regular(const std::string& path, const read_options& options, native::file& f,
                  native::file_info& info, file_read& failure) {
    if (const int e = f.probe(path, info)) {
        failure = from_open_error(path, e);
        return false;
    }
    if (info.kind == file_kind::regular) {
        if (const int e = f.open(path)) {
            failure = from_open_error(path, e);
            return false;
        }
        if (const int e = f.info(info)) {
            failure = failed(read_status::unreadable, file_kind::unknown, e);
            return false;
        }
    }
    if (info.kind != file_kind::regular) {
        failure = failed(read_status::not_regular, info.kind, 0);
        return false;
    }
    if (info.size > options.max_size || info.size > static_cast<std::size_t>(-1) / 2) {
        failure = failed(read_status::too_large, file_kind::regular, 0);
        failure.size = info.size;
        return false;
    }
    return true;
}

}  // namespace

file_read read_regular_file(const std::string& path, const read_options& options) {
    try {
        native::file f;
        native::file_info info;
        file_read failure;
        if (!open_regular(path, options, f, info, failure)) return failure;
        return read_open_file(f, info.size, options);
    } catch (const std::bad_alloc&) {
        return failed(read_status::unreadable, file_kind::regular, ENOMEM);
    } catch (const std::length_error&) {
        return failed(read_status::unreadable, file_kind::regular, ENOMEM);
    }
}

file_read read_regular_file_in_pieces(const std::string& path, const read_options& options,
                                      const std::function<bool(std::string_view)>& on_piece) {
    try {
        native::file f;
        native::file_info info;
        file_read failure;
        if (!open_regular(path, options, f, info, failure)) return failure;
        // One buffer, reused: it stays in the cache, which a buffer the size
        // of the package never does.
        const std::size_t piece = options.piece_size ? options.piece_size : default_piece_size;
        std::string buf(piece, '\0');
        file_read r;
        r.kind = file_kind::regular;
        for (;;) {
            int error = 0;
            const long n = f.read(buf.data(), buf.size(), error);
            if (n < 0) return failed(read_status::unreadable, file_kind::regular, error);
            if (n == 0) break;
            r.size += static_cast<std::uint64_t>(n);
            if (r.size > options.max_size) {
                failure = failed(read_status::too_large, file_kind::regular, 0);
                failure.size = r.size;
                return failure;
            }
            if (!on_piece(std::string_view(buf.data(), static_cast<std::size_t>(n)))) break;
        }
        r.status = read_status::ok;
        return r;
    } catch (const std::bad_alloc&) {
        return failed(read_status::unreadable, file_kind::regular, ENOMEM);
    }
}

const char* kind_name(file_kind kind) {
    switch (kind) {
        case file_kind::regular: return "regular file";
        case file_kind::directory: return "directory";
        case file_kind::fifo: return "FIFO";
        case file_kind::socket: return "socket";
        case file_kind::character_device: return "character device";
        case file_kind::block_device: return "block device";
        case file_kind::dangling_symlink: return "symbolic link to nothing";
        case file_kind::other: return "special file";
        case file_kind::unknown: break;
    }
    return "file of unknown kind";
}

namespace {

const char* kind_name_zh(file_kind kind) {
    switch (kind) {
        case file_kind::regular: return "普通文件";
        case file_kind::directory: return "目录";
        case file_kind::fifo: return "命名管道（FIFO）";
        case file_kind::socket: return "套接字";
        case file_kind::character_device: return "字符设备";
        case file_kind::block_device: return "块设备";
        case file_kind::dangling_symlink: return "失效的符号链接";
        case file_kind::other: return "特殊文件";
        case file_kind::unknown: break;
    }
    return "未知类型的文件";
}

std::string system_text(int error) { return std::error_code(error, std::generic_category()).message(); }

}  // namespace

std::string failure_text(const file_read& r, const read_options& options) {
    switch (r.status) {
        case read_status::ok: return {};
        case read_status::missing:
            if (r.kind == file_kind::dangling_symlink) return "is a symbolic link to nothing";
            return system_text(r.error);
        case read_status::not_regular: return std::string("is a ") + kind_name(r.kind) + ", not a regular file";
        case read_status::unreadable: return "cannot be read: " + system_text(r.error);
        case read_status::too_large:
            return "too large (" + std::to_string(r.size) + " bytes, at most " + std::to_string(options.max_size) +
                   ")";
    }
    return {};
}

std::string failure_text_zh(const file_read& r, const read_options& options) {
    switch (r.status) {
        case read_status::ok: return {};
        case read_status::missing:
            if (r.kind == file_kind::dangling_symlink) return "是失效的符号链接（目标不存在）";
            return "不存在";
        case read_status::not_regular: return std::string("是") + kind_name_zh(r.kind) + "，不是普通文件";
        case read_status::unreadable:
            if (r.error == ELOOP) return "无法读取：符号链接循环（" + system_text(r.error) + "）";
            return "无法读取：" + system_text(r.error);
        case read_status::too_large:
            return "过大（" + std::to_string(r.size) + " 字节，最多 " + std::to_string(options.max_size) + " 字节）";
    }
    return {};
}

}  // namespace velmora::package

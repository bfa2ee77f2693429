#include "common/atomic_file.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include <cstdio>

#include "common/native_path.h"
#include "common/os_headers.h"

namespace velmora {

namespace {

long unique_number() {
#ifdef _WIN32
    return static_cast<long>(GetCurrentProcessId());
#else
    return static_cast<long>(::getpid());
#endif
}

}  // namespace

atomic_file::~atomic_file() {
    close_temp();
#ifdef _WIN32
    if (!temp_.empty()) DeleteFileW(wide_path(temp_).c_str());
#else
    if (!temp_.empty()) std::remove(temp_.c_str());
#endif
}

std::string atomic_file::reason() const {
    if (!reason_.empty()) return reason_;
    return std::error_code(error_, std::generic_category()).message();
}

#ifdef _WIN32

void atomic_file::close_temp() {
    if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
}

bool atomic_file::open() {
    DWORD error = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = target_ + ".tmp" + std::to_string(unique_number() + attempt);
        // CREATE_NEW: never a file that exists, whoever made it; no sharing
        // while it is being written.
        const HANDLE h = CreateFileW(wide_path(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            handle_ = h;
            temp_ = std::move(name);
            return true;
        }
        error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    error_ = errno_from_windows(error);
    return false;
}

bool atomic_file::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD n = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), std::size_t{1} << 30));
        DWORD written = 0;
        if (!WriteFile(static_cast<HANDLE>(handle_), bytes.data(), n, &written, nullptr) || written == 0) {
            error_ = errno_from_windows(GetLastError());
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

bool atomic_file::commit(bool replace) {
    if (!FlushFileBuffers(static_cast<HANDLE>(handle_))) {
        error_ = errno_from_windows(GetLastError());
        return false;
    }
    const bool closed = CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
    if (!closed) {
        error_ = errno_from_windows(GetLastError());
        return false;
    }
    // The rename reaches the disk before the call returns. Windows renames
    // over no file that is open: a virus scanner or indexer looking at either
    // file for a moment is waited for, briefly; a program that keeps the
    // target open makes the replace fail, and the old file stays whole.
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    const std::wstring from = wide_path(temp_), to = wide_path(target_);
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(from.c_str(), to.c_str(), flags)) break;
        const DWORD error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || attempt == 9) {
            error_ = errno_from_windows(error);
            return false;
        }
        Sleep(50);
    }
    temp_.clear();
    return true;
}

#else

void atomic_file::close_temp() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

bool atomic_file::open() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = target_ + ".tmp" + std::to_string(unique_number() + attempt);
        errno = 0;
        // "x": never reuse a file someone else holds.
        file_ = std::fopen(name.c_str(), "wbx");
        if (file_) {
            temp_ = name;
            return true;
        }
        if (errno != EEXIST) break;
    }
    error_ = errno ? errno : EIO;
    return false;
}

bool atomic_file::write(std::string_view bytes) {
    if (bytes.empty()) return true;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
        error_ = errno ? errno : EIO;
        return false;
    }
    return true;
}

bool atomic_file::commit(bool replace) {
    errno = 0;
    if (std::fflush(file_) != 0) {
        error_ = errno ? errno : EIO;
        return false;
    }
    if (::fsync(fileno(file_)) != 0) {
        error_ = errno;
        return false;
    }
    const int rc = std::fclose(file_);
    file_ = nullptr;
    if (rc != 0) {
        error_ = errno ? errno : EIO;
        return false;
    }
    if (!replace) {
        error_ = rename_without_replacing(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str());
        if (error_ != 0) return false;
        temp_.clear();
        return true;
    }
    std::error_code ec;
    std::filesystem::rename(std::filesystem::path(temp_), std::filesystem::path(target_), ec);
    if (ec) {
        error_ = ec.value();
        reason_ = ec.message();
        return false;
    }
    temp_.clear();
    return true;
}

int rename_without_replacing(int from_dir, const char* from, int to_dir, const char* to) {
    if (::renameat2(from_dir, from, to_dir, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    if (::linkat(from_dir, from, to_dir, to, 0) != 0) return errno;
    ::unlinkat(from_dir, from, 0);
    return 0;
}

#endif

}  // namespace velmora

#include "dbdat/extract_folder.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "common/atomic_file.h"
#include "common/native_path.h"
#include "common/os_headers.h"

namespace {

std::string system_text(int error) { return std::error_code(error, std::generic_category()).message(); }

#ifndef _WIN32
bool write_all(int fd, std::string_view bytes, int& error) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}
#endif

}  // namespace

#ifndef _WIN32

extract_folder::~extract_folder() {
    if (fd_ >= 0) ::close(fd_);
}

bool extract_folder::open(const std::string& dir, std::string& why) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        why = "cannot create " + dir + ": " + ec.message();
        return false;
    }
    // Every later step is relative to this open folder, so a folder swapped
    // for a link midway changes nothing.
    fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
        why = "cannot open " + dir + ": " + system_text(errno);
        return false;
    }
    dir_ = dir;
    return true;
}

extract_folder::entry extract_folder::state_of(const std::string& name) const {
    struct stat st {};
    if (::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? entry::none : entry::other;
    if (S_ISLNK(st.st_mode)) return entry::symlink;
    if (S_ISREG(st.st_mode)) return entry::regular;
    if (S_ISDIR(st.st_mode)) return entry::directory;
    return entry::other;
}

bool extract_folder::write(const std::string& name, std::string_view bytes, bool replace, std::string& why) {
    // O_EXCL: a fresh file, never an existing one and never through a link.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = ".dbdat-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++) + ".tmp";
        fd = ::openat(fd_, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        why = "cannot create a file in " + dir_ + ": " + system_text(errno);
        return false;
    }
    int error = 0;
    bool ok = write_all(fd, bytes, error);
    if (ok && ::fsync(fd) != 0) ok = false, error = errno;
    if (::close(fd) != 0 && ok) ok = false, error = errno;
    bool renamed = false;
    if (ok && replace) {
        renamed = ::renameat(fd_, temp.c_str(), fd_, name.c_str()) == 0;
        if (!renamed) error = errno;
    } else if (ok) {
        error = velmora::rename_without_replacing(fd_, temp.c_str(), fd_, name.c_str());
        renamed = error == 0;
    }
    ok = ok && renamed;
    if (!renamed) ::unlinkat(fd_, temp.c_str(), 0);
    if (!ok) why = "cannot write " + dir_ + "/" + name + ": " + system_text(error);
    return ok;
}

#else

// Windows: wide paths, and the package's own atomic file for each script
// (exclusive create, flush, then a move that replaces only when asked).
extract_folder::~extract_folder() = default;

bool extract_folder::open(const std::string& dir, std::string& why) {
    std::error_code ec;
    std::filesystem::create_directories(velmora::path_from_utf8(dir), ec);
    if (ec) {
        why = "cannot create " + dir + ": " + ec.message();
        return false;
    }
    const DWORD attrs = GetFileAttributesW(velmora::wide_path(dir).c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        why = "cannot open " + dir + ": " +
              system_text(attrs == INVALID_FILE_ATTRIBUTES ? velmora::errno_from_windows(GetLastError()) : ENOTDIR);
        return false;
    }
    dir_ = dir;
    return true;
}

extract_folder::entry extract_folder::state_of(const std::string& name) const {
    const DWORD attrs = GetFileAttributesW(velmora::wide_path(velmora::with_separator(dir_) + name).c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES)
        return velmora::errno_from_windows(GetLastError()) == ENOENT ? entry::none : entry::other;
    if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return entry::symlink;
    if (attrs & FILE_ATTRIBUTE_DIRECTORY) return entry::directory;
    return entry::regular;
}

bool extract_folder::write(const std::string& name, std::string_view bytes, bool replace, std::string& why) {
    const std::string target = velmora::with_separator(dir_) + name;
    velmora::atomic_file out(target);
    if (!out.open()) {
        why = "cannot create a file in " + dir_ + ": " + out.reason();
        return false;
    }
    if (!out.write(bytes) || !out.commit(replace)) {
        why = "cannot write " + target + ": " + out.reason();
        return false;
    }
    return true;
}

#endif

#include "extract_folder.h"

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <cstdio>
#include <process.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#endif

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
        renamed = ::renameat2(fd_, temp.c_str(), fd_, name.c_str(), RENAME_NOREPLACE) == 0;
        if (!renamed) error = errno;
        // A file system without RENAME_NOREPLACE: a hard link fails on an
        // existing name just the same.
        if (!renamed && (error == EINVAL || error == ENOSYS)) {
            const bool linked = ::linkat(fd_, temp.c_str(), fd_, name.c_str(), 0) == 0;
            error = linked ? 0 : errno;
            if (linked) ::unlinkat(fd_, temp.c_str(), 0);
            renamed = linked;
        }
    }
    ok = ok && renamed;
    if (!renamed) ::unlinkat(fd_, temp.c_str(), 0);
    if (!ok) why = "cannot write " + dir_ + "/" + name + ": " + system_text(error);
    return ok;
}

#else

// Windows keeps to the standard library: a fresh temporary file, then a
// rename over the name.
extract_folder::~extract_folder() = default;

bool extract_folder::open(const std::string& dir, std::string& why) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        why = "cannot create " + dir + ": " + ec.message();
        return false;
    }
    dir_ = dir;
    return true;
}

extract_folder::entry extract_folder::state_of(const std::string& name) const {
    std::error_code ec;
    const auto st = std::filesystem::symlink_status(std::filesystem::path(dir_) / name, ec);
    switch (st.type()) {
        case std::filesystem::file_type::not_found: return entry::none;
        case std::filesystem::file_type::regular: return entry::regular;
        case std::filesystem::file_type::symlink: return entry::symlink;
        case std::filesystem::file_type::directory: return entry::directory;
        default: return entry::other;
    }
}

bool extract_folder::write(const std::string& name, std::string_view bytes, bool replace, std::string& why) {
    namespace fs = std::filesystem;
    const fs::path target = fs::path(dir_) / name;
    const fs::path temp =
        fs::path(dir_) / (".dbdat-" + std::to_string(_getpid()) + "-" + std::to_string(counter_++) + ".tmp");
    std::FILE* f = std::fopen(temp.string().c_str(), "wbx");
    if (!f) {
        why = "cannot create a file in " + dir_ + ": " + system_text(errno);
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fclose(f) == 0 && ok;
    std::error_code ec;
    if (ok && !replace && fs::exists(fs::symlink_status(target, ec))) {
        ok = false;
        ec = std::make_error_code(std::errc::file_exists);
    } else if (ok) {
        fs::rename(temp, target, ec);
        ok = !ec;
    } else {
        ec = std::make_error_code(std::errc::io_error);
    }
    if (!ok) {
        why = "cannot write " + target.string() + ": " + ec.message();
        fs::remove(temp, ec);
    }
    return ok;
}

#endif

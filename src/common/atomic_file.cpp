#include "atomic_file.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

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
    if (file_) std::fclose(file_);
    if (!temp_.empty()) std::remove(temp_.c_str());
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

bool atomic_file::commit() {
    errno = 0;
    if (std::fflush(file_) != 0) {
        error_ = errno ? errno : EIO;
        return false;
    }
#ifndef _WIN32
    if (::fsync(fileno(file_)) != 0) {
        error_ = errno;
        return false;
    }
#endif
    const int rc = std::fclose(file_);
    file_ = nullptr;
    if (rc != 0) {
        error_ = errno ? errno : EIO;
        return false;
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

std::string atomic_file::reason() const {
    if (!reason_.empty()) return reason_;
    return std::error_code(error_, std::generic_category()).message();
}

}  // namespace velmora

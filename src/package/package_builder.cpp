#include "package_builder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "app_names.h"
#include "gbk.h"
#include "package_format.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

// Pending records are written out before they and the next script together
// pass this size, so no single write grows with the number of scripts.
constexpr std::size_t flush_threshold = 32000;

unsigned char fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

bool name_less(const std::string& a, const std::string& b) {
    auto fa = [](char c) { return fold(static_cast<unsigned char>(c)); };
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char x = fa(a[i]), y = fa(b[i]);
        if (x != y) return x < y;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](char x, char y) { return static_cast<unsigned char>(x) < static_cast<unsigned char>(y); });
}

bool has_sql_extension(const std::string& name) {
    static constexpr std::string_view ext = ".sql";
    if (name.size() < ext.size()) return false;
    for (std::size_t i = 0; i < ext.size(); ++i)
        if (fold(static_cast<unsigned char>(name[name.size() - ext.size() + i])) != ext[i])
            return false;
    return true;
}

std::string with_separator(const std::string& dir) {
    if (dir.empty()) return dir;
    const char last = dir.back();
#ifdef _WIN32
    if (last == '\\' || last == '/' || last == ':') return dir;
    return dir + '\\';
#else
    if (last == '/') return dir;
    return dir + '/';
#endif
}

// An ordinary file the list would show: not a directory, not hidden, not
// read-only (and on Windows not a system file).
bool is_listable(const std::string& path, const std::string& name) {
#ifdef _WIN32
    (void)name;
    const DWORD attrs = GetFileAttributesA(path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) return false;
    constexpr DWORD excluded = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY |
                               FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    return (attrs & excluded) == 0;
#else
    if (name.empty() || name[0] == '.') return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    return S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) != 0;
#endif
}

std::string system_reason(int err) {
    std::error_code ec(err, std::generic_category());
    return ec.message();
}

std::string quoted(std::string_view marker) { return "\"" + std::string(marker) + "\""; }

// Reads a whole script; stops a byte past limit, since the size check refuses
// such a file anyway. On failure gives the system's reason.
bool read_script(const std::string& path, std::size_t limit, std::string& out, std::string& reason) {
    out.clear();
    errno = 0;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        reason = system_reason(errno ? errno : EIO);
        return false;
    }
    char buf[16384];
    bool failed = false;
    while (out.size() <= limit) {
        errno = 0;
        const std::size_t got = std::fread(buf, 1, sizeof buf, f);
        out.append(buf, got);
        if (got < sizeof buf) {
            if (std::ferror(f)) {
                failed = true;
                reason = system_reason(errno ? errno : EIO);
            }
            break;
        }
    }
    std::fclose(f);
    return !failed;
}

// Writes the package to a temporary file beside db.dat and renames it over
// db.dat, so that a failure midway never leaves a half-written package.
class atomic_package_file {
public:
    explicit atomic_package_file(const std::string& target) : target_(target) {}
    ~atomic_package_file() {
        if (file_) std::fclose(file_);
        if (!temp_.empty()) std::remove(temp_.c_str());
    }
    atomic_package_file(const atomic_package_file&) = delete;
    atomic_package_file& operator=(const atomic_package_file&) = delete;

    bool open() {
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

    bool write(std::string_view bytes) {
        if (bytes.empty()) return true;
        if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
            error_ = errno ? errno : EIO;
            return false;
        }
        return true;
    }

    bool commit() {
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
        fs::rename(fs::path(temp_), fs::path(target_), ec);
        if (ec) {
            error_ = ec.value();
            reason_ = ec.message();
            return false;
        }
        temp_.clear();
        return true;
    }

    std::string reason() const { return reason_.empty() ? system_reason(error_) : reason_; }

private:
    static long unique_number() {
#ifdef _WIN32
        return static_cast<long>(GetCurrentProcessId());
#else
        return static_cast<long>(::getpid());
#endif
    }

    std::string target_;
    std::string temp_;
    std::FILE* file_ = nullptr;
    int error_ = 0;
    std::string reason_;
};

struct script_file {
    std::string name;
    std::string bytes;
};

}  // namespace

std::vector<std::string> list_scripts(const std::string& script_dir) {
    std::vector<std::string> names;
    const std::string dir = with_separator(script_dir);
    std::error_code ec;
    fs::directory_iterator it(dir.empty() ? fs::path(".") : fs::path(dir), ec);
    if (ec) return names;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) break;
        std::string name = it->path().filename().string();
        if (!has_sql_extension(name)) continue;
        if (!is_listable(dir + name, name)) continue;
        names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end(), name_less);
    return names;
}

std::string script_refusal_reason(std::string_view name, std::string_view script) {
    using package::body_end;
    using package::body_head;
    if (name.find(body_head) != std::string_view::npos)
        return "文件名含有 " + quoted(body_head);
    if (name.find(body_end) != std::string_view::npos) return "文件名含有 " + quoted(body_end);
    if (!name.empty() && name.back() == '^') return "文件名以 \"^\" 结尾";
    const std::size_t record = package::name_head.size() + name.size() + body_head.size() +
                               script.size();
    // A long file is read only a little past the limit, so its full size is
    // not known here; the limit is what the developer needs.
    if (record > package::max_record_head_and_body)
        return "过长：记录（名称头、文件名、正文头与脚本）超过 " +
               std::to_string(package::max_record_head_and_body) + " 字节";
    if (script.find(body_end) != std::string_view::npos) return "含有 " + quoted(body_end);
    if (!script.empty() && script.front() == '#') return "以 \"#\" 开头";
    if (script.find('\0') != std::string_view::npos) return "含有空字符（NUL）";
    if (!is_valid_gbk(script)) return "不是有效的 GBK 文本";
    return {};
}

build_result build_package(const std::string& script_dir, const std::string& run_dir,
                           ui_services& ui) {
    return build_package_file(script_dir, run_dir + std::string(package::package_file_name), ui);
}

build_result build_package_file(const std::string& script_dir, const std::string& target,
                                ui_services& ui) {
    busy_pointer busy(ui);
    build_result result;
    const std::string dir = with_separator(script_dir);
    result.names = list_scripts(script_dir);

    auto refuse = [&](const std::string& path, const std::string& reason) {
        ui.message_box(gs_appname, "脚本 " + gbk_to_utf8_lossy(path) + " " + reason +
                                       "，数据库升级程序包未生成。");
        return result;
    };

    // Every script is read and checked before anything is written, so a
    // refused build leaves the existing package as it was.
    std::vector<script_file> scripts;
    scripts.reserve(result.names.size());
    for (const std::string& name : result.names) {
        const std::string path = dir + name;
        const std::size_t limit = package::max_record_head_and_body;
        script_file s{name, {}};
        std::string reason;
        if (!read_script(path, limit, s.bytes, reason)) return refuse(path, "无法读取：" + reason);
        reason = script_refusal_reason(name, s.bytes);
        if (!reason.empty()) return refuse(path, reason);
        scripts.push_back(std::move(s));
    }

    atomic_package_file out(target);
    auto write_failed = [&]() {
        ui.message_box(gs_appname, "无法写入 " + gbk_to_utf8_lossy(target) + "：" + out.reason());
        return result;
    };
    if (!out.open()) return write_failed();

    std::string pending;
    for (const script_file& s : scripts) {
        if (pending.size() + s.bytes.size() > flush_threshold) {
            if (!out.write(pending)) return write_failed();
            pending.clear();
        }
        package::append_record(pending, s.name, s.bytes);
    }
    pending += package::end_marker;
    if (!out.write(pending) || !out.commit()) return write_failed();
    result.written = true;
    return result;
}

}  // namespace velmora

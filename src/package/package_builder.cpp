#include "package/package_builder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include "common/app_names.h"
#include "common/atomic_file.h"
#include "common/gbk.h"
#include "common/native_path.h"
#include "common/os_headers.h"
#include "package/create_grammar.h"
#include "package/package_file.h"
#include "package/package_format.h"
#include "package/statement_builder.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

// Pending records are written out before they and the next script together
// pass this size, so no single write grows with the number of scripts.
constexpr std::size_t flush_threshold = 32000;

unsigned char fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

bool has_sql_extension(const std::string& name) {
    static constexpr std::string_view ext = ".sql";
    if (name.size() < ext.size()) return false;
    for (std::size_t i = 0; i < ext.size(); ++i)
        if (fold(static_cast<unsigned char>(name[name.size() - ext.size() + i])) != ext[i])
            return false;
    return true;
}

#ifdef _WIN32

// Whether a folder entry is listed, from the attributes the listing gives:
// directories, read-only, hidden and system files are left out, as the
// system's own file lists leave them.
bool is_listed(DWORD attrs) {
    constexpr DWORD excluded =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    return (attrs & excluded) == 0;
}

#else

// Whether a folder entry is listed: regular files and whatever cannot be
// told apart from one without reading it. Left out: directories, hidden
// files and read-only files.
bool is_listed(const std::string& path, const std::string& name) {
    if (name.empty() || name[0] == '.') return false;
    struct stat st {};
    // A link that leads nowhere or loops is listed, and refused by name.
    if (::stat(path.c_str(), &st) != 0) return true;
    if (S_ISDIR(st.st_mode)) return false;
    // Read-only: the owner may read but not write. A file the owner may not
    // read at all is listed and refused, not silently dropped.
    if (S_ISREG(st.st_mode)) return !((st.st_mode & S_IRUSR) && !(st.st_mode & S_IWUSR));
    return true;  // a FIFO, socket or device: refused as no file
}

#endif

// A file whose mode denies its owner reading is refused whoever builds, so
// that root and the developer get the same package.
bool owner_may_not_read(const std::string& path) {
#ifdef _WIN32
    (void)path;
    return false;
#else
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & S_IRUSR);
#endif
}

// The package name of a file name from the folder (UTF-8, on Windows made
// from the system's UTF-16): it must convert to GBK and back unchanged.
// Empty when there is no such form.
std::string package_name_of(const std::string& disk_name) {
    const std::optional<std::string> gbk = utf8_to_gbk(disk_name);
    if (!gbk || gbk->empty()) return {};
    const std::optional<std::string> back = gbk_to_utf8(*gbk);
    if (!back || *back != disk_name) return {};
    return *gbk;
}

std::string system_reason(int err) {
    std::error_code ec(err, std::generic_category());
    return ec.message();
}

std::string quoted(std::string_view marker) { return "\"" + std::string(marker) + "\""; }

std::string too_long_reason(std::uint64_t script_size) {
    return "过长：记录（名称头、文件名、正文头与脚本）超过 " + std::to_string(package::max_record_head_and_body) +
           " 字节（脚本 " + std::to_string(script_size) + " 字节）";
}

// The folder as the operator gave it, without trailing separators, so that a
// file given as the folder is seen as the file it is.
std::string folder_path(const std::string& script_dir) {
    std::string d = script_dir.empty() ? std::string(".") : script_dir;
#ifdef _WIN32
    while (d.size() > 1 && (d.back() == '\\' || d.back() == '/') && d[d.size() - 2] != ':') d.pop_back();
#else
    while (d.size() > 1 && d.back() == '/') d.pop_back();
#endif
    return d;
}

std::string folder_message(const std::string& script_dir, const script_listing& listing) {
    const std::string head = "脚本目录“" + script_dir + "”";
    const std::string tail = "，数据库升级程序包未生成。";
    switch (listing.how) {
        case script_listing::status::missing: return head + "不存在" + tail;
        case script_listing::status::not_directory: return head + "不是目录" + tail;
        case script_listing::status::unreadable:
            return head + "无法读取（" + system_reason(listing.error) + "）" + tail;
        case script_listing::status::failed_midway:
            return head + "未能读完（" + system_reason(listing.error) + "）" + tail;
        case script_listing::status::ok: break;
    }
    return head + "中没有 .sql 脚本" + tail;
}


struct script_file {
    std::string name;
    std::string bytes;
};

}  // namespace

bool package_name_less(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = fold(static_cast<unsigned char>(a[i]));
        const unsigned char y = fold(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](char x, char y) { return static_cast<unsigned char>(x) < static_cast<unsigned char>(y); });
}

namespace {

// Names without a GBK form sort by their own bytes; they are refused.
void sort_listing(script_listing& listing) {
    std::sort(listing.entries.begin(), listing.entries.end(),
              [](const script_listing::entry& a, const script_listing::entry& b) {
                  const std::string& x = a.name.empty() ? a.disk_name : a.name;
                  const std::string& y = b.name.empty() ? b.disk_name : b.name;
                  if (x != y) return package_name_less(x, y);
                  return a.disk_name < b.disk_name;
              });
}

}  // namespace

#ifdef _WIN32

script_listing list_script_folder(const std::string& script_dir) {
    script_listing listing;
    const std::wstring folder = wide_path(folder_path(script_dir));
    const DWORD attrs = GetFileAttributesW(folder.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        const int e = errno_from_windows(GetLastError());
        listing.how = e == ENOENT ? script_listing::status::missing : script_listing::status::unreadable;
        listing.error = e;
        return listing;
    }
    if (!(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        listing.how = script_listing::status::not_directory;
        return listing;
    }
    std::wstring pattern = folder;
    if (pattern.back() != L'\\' && pattern.back() != L'/' && pattern.back() != L':') pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        // A drive's root has no "." entry: nothing found is an empty folder.
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_NO_MORE_FILES) return listing;
        listing.how = script_listing::status::unreadable;
        listing.error = errno_from_windows(e);
        return listing;
    }
    do {
        // The attributes come with the listing: no second look per file.
        std::string name = utf8_of_wide(found.cFileName);
        if (!has_sql_extension(name) || !is_listed(found.dwFileAttributes)) continue;
        listing.entries.push_back({package_name_of(name), std::move(name)});
    } while (FindNextFileW(search, &found));
    const DWORD ended = GetLastError();
    FindClose(search);
    // A listing cut short would package part of the folder as if it were all.
    if (ended != ERROR_NO_MORE_FILES) {
        listing.how = script_listing::status::failed_midway;
        listing.error = errno_from_windows(ended);
        listing.entries.clear();
        return listing;
    }
    sort_listing(listing);
    return listing;
}

#else

script_listing list_script_folder(const std::string& script_dir) {
    script_listing listing;
    const fs::path folder(folder_path(script_dir));
    std::error_code ec;
    const fs::file_status st = fs::status(folder, ec);
    if (st.type() == fs::file_type::not_found) {
        listing.how = script_listing::status::missing;
        return listing;
    }
    if (ec) {
        listing.how = script_listing::status::unreadable;
        listing.error = ec.value();
        return listing;
    }
    if (!fs::is_directory(st)) {
        listing.how = script_listing::status::not_directory;
        return listing;
    }
    fs::directory_iterator it(folder, ec);
    if (ec) {
        listing.how = script_listing::status::unreadable;
        listing.error = ec.value();
        return listing;
    }
    const std::string dir = with_separator(script_dir);
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (!has_sql_extension(name) || !is_listed(dir + name, name)) continue;
        listing.entries.push_back({package_name_of(name), std::move(name)});
    }
    // A listing cut short would package part of the folder as if it were all.
    if (ec) {
        listing.how = script_listing::status::failed_midway;
        listing.error = ec.value();
        listing.entries.clear();
        return listing;
    }
    sort_listing(listing);
    return listing;
}

#endif

std::vector<std::string> list_scripts(const std::string& script_dir) {
    std::vector<std::string> names;
    for (const script_listing::entry& e : list_script_folder(script_dir).entries)
        if (!e.name.empty()) names.push_back(e.name);
    return names;
}

std::optional<std::size_t> utf8_text_line(std::string_view script) {
    const std::optional<std::size_t> at = utf8_non_ascii_at(script);
    if (!at) return std::nullopt;
    return 1 + static_cast<std::size_t>(std::count(script.begin(), script.begin() + static_cast<long>(*at), '\n'));
}

namespace {

std::string utf8_reason(std::size_t line) {
    return "看来是以 UTF-8 编码保存的（第 " + std::to_string(line) +
           " 行起有非 ASCII 字符）：脚本须以 GBK 编码（代码页 936）保存";
}

}  // namespace

std::string script_refusal_reason(std::string_view name, std::string_view script, bool declared_gbk) {
    using package::body_end;
    using package::body_head;
    if (name.find(body_head) != std::string_view::npos)
        return "文件名含有 " + quoted(body_head);
    if (name.find(body_end) != std::string_view::npos) return "文件名含有 " + quoted(body_end);
    if (!name.empty() && name.back() == '^') return "文件名以 \"^\" 结尾";
    const std::size_t record = package::name_head.size() + name.size() + body_head.size() +
                               script.size();
    if (record > package::max_record_head_and_body) return too_long_reason(script.size());
    if (script.empty()) return "是空文件";
    // EF BB BF reads as two GBK characters, so the file would pass as GBK and
    // the server would get a stray "锘" before the script.
    if (script.starts_with("\xEF\xBB\xBF"))
        return "以 UTF-8 字节顺序标记（BOM）开头：脚本须以 GBK 编码保存";
    if (script.find(body_end) != std::string_view::npos) return "含有 " + quoted(body_end);
    if (script.front() == '#') return "以 \"#\" 开头";
    if (script.find('\0') != std::string_view::npos) return "含有空字符（NUL）";
    // Stored reversed, the script would hold what reads as the next record's
    // header, and the package would read as damaged.
    if (package::find_record_header(package::reversed(script)))
        return "倒序存放后含有一个完整的记录头（" + quoted(package::name_head) + "、以 .sql 结尾的名称、" +
               quoted(body_head) + "），程序包会被当作已损坏";
    if (!declared_gbk)
        if (const auto line = utf8_text_line(script)) return utf8_reason(*line);
    if (!is_valid_gbk(script)) return "不是有效的 GBK 文本";
    // What the runner would refuse as a syntax error could never be upgraded.
    std::string create(script), drop;
    script_cuts cuts;
    const split_failure f = get_sql_go_checked(create, drop, &cuts);
    if (f != split_failure::none)
        return "无法拆分为删除语句与创建语句（未通过的检查：" + std::string(describe(f)) + "），升级时无法执行";
    // What every server would refuse must not ship, nor what it would
    // create without encryption: its source could be read at every shop.
    const create_reading reading = read_create_statement(script, cuts);
    std::string reason = describe_zh(reading.faults);
    if (!reading.clause.encrypts()) reason += (reason.empty() ? "" : "；") + describe_zh(reading.clause);
    return reason;
}

build_result build_package(const std::string& script_dir, const std::string& run_dir,
                           ui_services& ui) {
    return build_package_file(script_dir, run_dir + std::string(package::package_file_name), ui);
}

build_result build_package_file(const std::string& script_dir, const std::string& target,
                                ui_services& ui, const build_options& options) {
    busy_pointer busy(ui);
    build_result result;

    // A folder that is missing or cannot be listed is no empty folder: the
    // package it would give re-creates nothing.
    const script_listing listing = list_script_folder(script_dir);
    if (listing.how != script_listing::status::ok) {
        ui.message_box(gs_appname, folder_message(script_dir, listing));
        result.how = build_result::outcome::folder_unusable;
        return result;
    }
    for (const script_listing::entry& e : listing.entries)
        if (!e.name.empty()) result.names.push_back(e.name);
    if (listing.entries.empty() && !options.allow_empty) {
        ui.message_box(gs_appname, folder_message(script_dir, listing));
        result.how = build_result::outcome::folder_empty;
        return result;
    }

    auto refuse = [&](const std::string& path, const std::string& reason) {
        ui.message_box(gs_appname, "脚本 " + path + " " + reason + "，数据库升级程序包未生成。");
        result.how = build_result::outcome::refused;
        result.refused_script = path;
        return result;
    };

    // A script declared GBK must be one of the folder's: a name mistyped
    // would leave the script it meant refused, or another one accepted.
    for (const std::string& declared : options.declared_gbk) {
        const bool listed = std::any_of(listing.entries.begin(), listing.entries.end(),
                                        [&](const script_listing::entry& e) { return e.disk_name == declared; });
        if (!listed) {
            ui.message_box(gs_appname, "声明为 GBK 的脚本 " + declared + " 不在脚本目录“" + script_dir +
                                           "”中，数据库升级程序包未生成。");
            result.how = build_result::outcome::refused;
            return result;
        }
    }

    // Every script is read and checked before anything is written, so a
    // refused build leaves the existing package as it was.
    const std::string dir = with_separator(script_dir);
    std::vector<script_file> scripts;
    scripts.reserve(listing.entries.size());
    for (const script_listing::entry& e : listing.entries) {
        const std::string path = dir + e.disk_name;
        if (e.name.empty()) return refuse(path, "的文件名无法转换为 GBK 编码（程序包中的文件名须为 GBK）");
        if (owner_may_not_read(path)) return refuse(path, "无法读取：文件的权限不允许其属主读取");
        package::read_options limit;
        limit.max_size = package::max_record_head_and_body;
        package::file_read file = package::read_regular_file(path, limit);
        if (file.status == package::read_status::too_large) return refuse(path, too_long_reason(file.size));
        if (!file.ok()) return refuse(path, package::failure_text_zh(file));
        script_file s{e.name, file.bytes.str()};
        const bool declared_gbk = options.declared_gbk.count(e.disk_name) != 0;
        const std::string reason = script_refusal_reason(s.name, s.bytes, declared_gbk);
        if (!reason.empty()) {
            const std::optional<std::size_t> line = declared_gbk ? std::nullopt : utf8_text_line(s.bytes);
            result.refused_as_utf8 = line && reason == utf8_reason(*line);
            return refuse(path, reason);
        }
        scripts.push_back(std::move(s));
    }

    atomic_file out(target);
    auto write_failed = [&]() {
        ui.message_box(gs_appname, "无法写入 " + target + "：" + out.reason());
        result.how = build_result::outcome::write_failed;
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
    result.how = build_result::outcome::written;
    result.written = true;
    return result;
}

}  // namespace velmora

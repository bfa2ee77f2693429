#include "common/native_path.h"

#include <cerrno>
#include <cstdio>

#include "common/gbk.h"
#include "common/os_headers.h"

namespace velmora {

#ifdef _WIN32

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wide characters are UTF-16 units");

std::wstring wide_path(std::string_view utf8) {
    const std::u16string u = utf8_to_utf16(utf8);
    return std::wstring(u.begin(), u.end());
}

std::string utf8_of_wide(std::wstring_view wide) {
    return utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

std::filesystem::path path_from_utf8(std::string_view utf8) { return std::filesystem::path(wide_path(utf8)); }

std::string path_to_utf8(const std::filesystem::path& path) { return utf8_of_wide(path.native()); }

int errno_from_windows(unsigned long error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME: return ENOENT;
        case ERROR_DIRECTORY: return ENOTDIR;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_CURRENT_DIRECTORY: return EACCES;
        case ERROR_WRITE_PROTECT: return EROFS;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
        case ERROR_NOT_SAME_DEVICE: return EXDEV;
        case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
        case ERROR_PIPE_BUSY: return EBUSY;
        case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
        default: return EIO;
    }
}

std::vector<std::string> utf8_arguments(int argc, wchar_t** argv) {
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) out.push_back(utf8_of_wide(argv[i]));
    return out;
}

int run_with_utf8_arguments(int argc, wchar_t** wargv, int (*run)(int argc, char** argv)) {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::vector<std::string> args = utf8_arguments(argc, wargv);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return run(argc, argv.data());
}

#else

std::filesystem::path path_from_utf8(std::string_view utf8) { return std::filesystem::path(std::string(utf8)); }

std::string path_to_utf8(const std::filesystem::path& path) { return path.native(); }

#endif

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

std::string current_run_directory(std::string* why) {
#ifdef _WIN32
    std::u16string buf(MAX_PATH, u'\0');
    for (;;) {
        const DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(buf.size()), reinterpret_cast<LPWSTR>(buf.data()));
        if (n == 0) {
            if (why) *why = "system error " + std::to_string(GetLastError());
            return {};
        }
        if (n < buf.size()) return utf16_to_utf8(std::u16string_view(buf.data(), n)) + '\\';
        buf.resize(n);
    }
#else
    std::error_code ec;
    const std::filesystem::path cwd = std::filesystem::current_path(ec);
    if (ec) {
        if (why) *why = ec.message();
        return {};
    }
    return cwd.string() + '/';
#endif
}

}  // namespace velmora

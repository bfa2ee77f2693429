#pragma once
// Paths are UTF-8 text inside the program on every platform. Windows' file
// functions take UTF-16 (its narrow ones read the ANSI code page, which loses
// every character outside it), so each call converts at the edge.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// A std::filesystem path from UTF-8 text, and its text as UTF-8.
std::filesystem::path path_from_utf8(std::string_view utf8);
std::string path_to_utf8(const std::filesystem::path& path);

#ifdef _WIN32
// UTF-8 text as the wide file functions take it, and back.
std::wstring wide_path(std::string_view utf8);
std::string utf8_of_wide(std::wstring_view wide);

// The errno value that says what a Windows error code says, so that a
// failure reads the same as on Linux ("No such file or directory").
int errno_from_windows(unsigned long error);

// wmain's arguments as UTF-8.
std::vector<std::string> utf8_arguments(int argc, wchar_t** argv);

// A console program's start: standard output and error made binary, so that
// bytes go out as written (no CR added before each LF), and the UTF-16
// command line, which can hold any file name, handed to run as UTF-8.
int run_with_utf8_arguments(int argc, wchar_t** wargv, int (*run)(int argc, char** argv));
#endif

}  // namespace velmora

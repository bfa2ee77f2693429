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

// A folder's name ready for a file name to follow: the platform's separator
// added unless it already ends in one (on Windows also "/" or a drive's ":").
// An empty name stays empty, so that what follows stays relative.
std::string with_separator(const std::string& dir);

// The run directory: the full current directory and one separator, appended
// even when it already ends in one. Without a current directory (it was
// removed) it is empty, so that file names stay relative and fail instead of
// landing elsewhere; why then says what the system reported.
std::string current_run_directory(std::string* why = nullptr);

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

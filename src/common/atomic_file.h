#pragma once
// Replaces a file whole or not at all: the new content goes to a temporary
// file beside the target, which is renamed over it only once everything is
// written and flushed to disk. A reader of the target, or a hard link to the
// old file, never sees a half-written one. Paths are UTF-8.

#include <cstdio>
#include <string>
#include <string_view>

namespace velmora {

class atomic_file {
public:
    explicit atomic_file(std::string target) : target_(std::move(target)) {}
    ~atomic_file();  // an unfinished temporary file is removed
    atomic_file(const atomic_file&) = delete;
    atomic_file& operator=(const atomic_file&) = delete;

    // Creates the temporary file; never reuses one that exists.
    bool open();
    bool write(std::string_view bytes);
    // Flushes, closes and renames over the target. Without replace an
    // existing target is kept and the commit fails ("File exists").
    bool commit(bool replace = true);

    // Why the last step failed, in the system's words.
    std::string reason() const;

    // The temporary file's path while it exists.
    const std::string& temp_path() const { return temp_; }

private:
    void close_temp();

    std::string target_;
    std::string temp_;
#ifdef _WIN32
    void* handle_ = nullptr;  // the temporary file's HANDLE
#else
    std::FILE* file_ = nullptr;
#endif
    int error_ = 0;
    std::string reason_;
};

#ifndef _WIN32
// Renames from (relative to the folder from_dir, or AT_FDCWD) to to, and
// fails with EEXIST when to exists. Where the file system cannot rename that
// way, a hard link serves, as it fails on an existing name just the same.
// Returns 0 or the errno value.
int rename_without_replacing(int from_dir, const char* from, int to_dir, const char* to);
#endif

}  // namespace velmora

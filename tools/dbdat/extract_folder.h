#pragma once
// The folder dbdat extract writes into. Every file is written under a fresh
// temporary name and then renamed into place, so a write that fails (a full
// disk) leaves neither a cut file nor a lost old one; nothing is ever
// written through a symbolic link, and an existing name is replaced only
// when asked.

#include <string>
#include <string_view>

class extract_folder {
public:
    extract_folder() = default;
    ~extract_folder();
    extract_folder(const extract_folder&) = delete;
    extract_folder& operator=(const extract_folder&) = delete;

    // Creates the folder when missing and holds it open. On failure why says so.
    bool open(const std::string& dir, std::string& why);

    enum class entry { none, regular, symlink, directory, other };
    // What the folder holds under name, links not followed.
    entry state_of(const std::string& name) const;

    // Writes bytes as name. An existing entry is replaced (the entry itself,
    // never what a link points to) only when replace is set; otherwise the
    // write fails if the name has appeared meanwhile.
    bool write(const std::string& name, std::string_view bytes, bool replace, std::string& why);

private:
    std::string dir_;
    int fd_ = -1;
    unsigned counter_ = 0;
};

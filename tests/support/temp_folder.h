#pragma once
// A fresh folder of one test's own under the system's temporary folder,
// removed with everything in it when the test ends. Portable: std::filesystem
// only, paths handed out as UTF-8 text as the program keeps them.

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "common/native_path.h"

namespace test_support {

class temp_folder {
public:
    explicit temp_folder(std::string_view prefix = "velmora_test") {
        namespace fs = std::filesystem;
        std::random_device entropy;
        const fs::path base = fs::temp_directory_path();
        for (int attempt = 0; attempt < 100; ++attempt) {
            const fs::path candidate = base / (std::string(prefix) + "_" + std::to_string(entropy()));
            std::error_code ec;
            // create_directory is false for a folder that exists: never share one.
            if (fs::create_directory(candidate, ec)) {
                path_ = candidate;
                return;
            }
        }
        throw std::runtime_error("cannot make a temporary folder in " + velmora::path_to_utf8(base));
    }
    ~temp_folder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    temp_folder(const temp_folder&) = delete;
    temp_folder& operator=(const temp_folder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The folder as UTF-8 text, without and with the platform's separator.
    std::string text() const { return velmora::path_to_utf8(path_); }
    std::string dir() const { return text() + separator; }

#ifdef _WIN32
    static constexpr char separator = '\\';
#else
    static constexpr char separator = '/';
#endif

private:
    std::filesystem::path path_;
};

}  // namespace test_support

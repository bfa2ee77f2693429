#pragma once
// Runs one test in a working directory of its choosing and gives the old one
// back afterwards: the programs take their run directory from it.

#include <filesystem>
#include <string>
#include <system_error>

namespace test_support {

class scoped_cwd {
public:
    explicit scoped_cwd(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~scoped_cwd() {
        std::error_code ec;
        std::filesystem::current_path(old_, ec);
    }
    scoped_cwd(const scoped_cwd&) = delete;
    scoped_cwd& operator=(const scoped_cwd&) = delete;

private:
    std::filesystem::path old_;
};

}  // namespace test_support

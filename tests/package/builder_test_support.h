#pragma once
// The builder's test fixture: a script folder and a run directory of the
// test's own, paths as UTF-8 text ending in the platform's separator, as the
// program keeps them.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/native_path.h"
#include "common/ui_services.h"
#include "package/package_builder.h"
#include "package/package_format.h"
#include "support/recording_ui.h"
#include "support/temp_folder.h"

namespace builder_test {

namespace fs = std::filesystem;

constexpr char sep = test_support::temp_folder::separator;

inline void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream(velmora::path_from_utf8(path), std::ios::binary) << bytes;
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(velmora::path_from_utf8(path), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The names in a folder, as UTF-8, sorted.
inline std::vector<std::string> entries_of(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(velmora::path_from_utf8(dir)))
        out.push_back(velmora::path_to_utf8(e.path().filename()));
    std::sort(out.begin(), out.end());
    return out;
}

class BuilderTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = temp_.path();
        scripts_ = temp_.dir() + "scripts" + sep;
        run_ = temp_.dir() + "run" + sep;
        fs::create_directories(velmora::path_from_utf8(scripts_));
        fs::create_directories(velmora::path_from_utf8(run_));
    }

    void put(const std::string& name, const std::string& bytes) { write_bytes(scripts_ + name, bytes); }
    std::string package() const { return slurp(run_ + "db.dat"); }
    velmora::build_result build() { return velmora::build_package(scripts_, run_, ui_); }
    std::vector<std::string> decoded_names(const std::string& pkg) {
        std::vector<velmora::package::record_view> recs;
        EXPECT_TRUE(velmora::package::decode_package(pkg, recs));
        std::vector<std::string> names;
        for (const auto& r : recs) names.emplace_back(r.name);
        return names;
    }
    std::vector<std::string> run_dir_entries() const { return entries_of(run_); }

    test_support::temp_folder temp_{"velmora_builder"};
    fs::path root_;
    std::string scripts_;
    std::string run_;
    test_support::recording_ui ui_;
};

inline const std::string proc_script =
    "if exists (select * from sysobjects where name = 'p_a') drop procedure p_a\r\nGO\r\n"
    "CREATE PROCEDURE p_a\r\nAS\r\nBEGIN\r\n-- \xD6\xD0\xCE\xC4\r\nselect 1\r\nEND\r\n";

// A script the statement builder accepts, of exactly size bytes (at least
// the header's), padded with a comment of fill.
inline std::string script_of(std::size_t size, char fill = 'x', const std::string& name = "p") {
    std::string s = "drop procedure " + name + "\r\ngo\r\ncreate procedure " + name + " as begin select 1 end\r\n-- ";
    s.resize(std::max(size, s.size()), fill);
    return s;
}

}  // namespace builder_test

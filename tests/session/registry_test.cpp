#include "session/registry.h"
#include "support/scoped_env.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using velmora::registry_get;

namespace {

constexpr const char* key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\velmora";

class registry_reader : public ::testing::Test {
protected:
    // A folder of the test's own for each XDG_CONFIG_DIRS entry, velmora.conf in it when given.
    fs::path folder(const std::string& name, const std::string* conf = nullptr) {
        fs::path d = root_.path() / name;
        fs::create_directories(d);
        if (conf) std::ofstream(d / "velmora.conf", std::ios::binary) << *conf;
        return d;
    }
    test_support::temp_folder root_{"velmora_reg"};
    test_support::scoped_env dirs_{"XDG_CONFIG_DIRS", ""};
};

TEST_F(registry_reader, missing_file_or_value_keeps_what_the_field_held) {
    dirs_.set(folder("empty").string());
    std::string v = "before";
    EXPECT_FALSE(registry_get(key, "DATABASE", v));
    EXPECT_EQ(v, "before");

    std::string conf = "SERVERNAME=db1\n";
    dirs_.set(folder("only-server", &conf).string());
    EXPECT_FALSE(registry_get(key, "DATABASE", v));
    EXPECT_EQ(v, "before");
    EXPECT_TRUE(registry_get(key, "SERVERNAME", v));
    EXPECT_EQ(v, "db1");
}

TEST_F(registry_reader, top_level_and_general_section_keys_count_other_sections_do_not) {
    std::string conf =
        "\xEF\xBB\xBF; written by the installer\r\n"
        "SERVERNAME = shop-server\\SQL2008 \r\n"
        "[Other]\r\n"
        "DATABASE=wrong\r\n"
        "[General]\r\n"
        "database=\"门店 一\"\r\n";
    dirs_.set(folder("sections", &conf).string());
    std::string server, db;
    EXPECT_TRUE(registry_get(key, "SERVERNAME", server));
    EXPECT_EQ(server, "shop-server\\SQL2008");
    EXPECT_TRUE(registry_get(key, "DATABASE", db));
    EXPECT_EQ(db, "门店 一");
}

TEST_F(registry_reader, first_folder_holding_the_file_wins) {
    std::string first = "DATABASE=first\n";
    std::string second = "DATABASE=second\nSERVERNAME=second-server\n";
    fs::path none = folder("a");
    fs::path one = folder("b", &first);
    fs::path two = folder("c", &second);
    std::string list = std::string("relative/dir::") + none.string() + ":" + one.string() + ":" + two.string();
    dirs_.set(list);
    std::string db, server = "kept";
    EXPECT_TRUE(registry_get(key, "DATABASE", db));
    EXPECT_EQ(db, "first");
    // The first file found stands for the whole key, even without the value.
    EXPECT_FALSE(registry_get(key, "SERVERNAME", server));
    EXPECT_EQ(server, "kept");
}

}  // namespace

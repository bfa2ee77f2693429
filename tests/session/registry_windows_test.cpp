// The registry reader on Windows: HKEY_LOCAL_MACHINE in the 32-bit view, as
// the installer writes it for the 32-bit program.
#include "common/os_headers.h"

#include <gtest/gtest.h>

#include <string>

#include "common/gbk.h"
#include "session/registry.h"

using velmora::registry_get;

namespace {

// A key of the test's own under HKLM\SOFTWARE, removed from both views afterwards.
class registry_key : public ::testing::Test {
protected:
    void SetUp() override {
        sub_ = u"SOFTWARE\\velmora-test-" + velmora::utf8_to_utf16(std::to_string(GetCurrentProcessId()));
        key_ = "HKEY_LOCAL_MACHINE\\" + velmora::utf16_to_utf8(sub_);
    }
    void TearDown() override {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, wide(sub_), view, 0);
    }
    static LPCWSTR wide(const std::u16string& s) { return reinterpret_cast<LPCWSTR>(s.c_str()); }

    void set(REGSAM view, const std::string& name, DWORD type, const std::u16string& data) {
        HKEY h = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide(sub_), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &h,
                                  nullptr),
                  ERROR_SUCCESS);
        const std::u16string wname = velmora::utf8_to_utf16(name);
        EXPECT_EQ(RegSetValueExW(h, wide(wname), 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                                 static_cast<DWORD>((data.size() + 1) * sizeof(char16_t))),
                  ERROR_SUCCESS);
        RegCloseKey(h);
    }
    void set_dword(REGSAM view, const std::string& name, DWORD value) {
        HKEY h = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide(sub_), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &h,
                                  nullptr),
                  ERROR_SUCCESS);
        const std::u16string wname = velmora::utf8_to_utf16(name);
        EXPECT_EQ(RegSetValueExW(h, wide(wname), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
                  ERROR_SUCCESS);
        RegCloseKey(h);
    }

    std::u16string sub_;
    std::string key_;
};

TEST_F(registry_key, missing_key_or_value_keeps_what_the_field_held) {
    std::string v = "before";
    EXPECT_FALSE(registry_get(key_, "DATABASE", v));
    EXPECT_EQ(v, "before");

    set(KEY_WOW64_32KEY, "SERVERNAME", REG_SZ, u"db1");
    EXPECT_FALSE(registry_get(key_, "DATABASE", v));
    EXPECT_EQ(v, "before");
    // A value that is not a string does not count either.
    set_dword(KEY_WOW64_32KEY, "DATABASE", 7);
    EXPECT_FALSE(registry_get(key_, "DATABASE", v));
    EXPECT_EQ(v, "before");
    EXPECT_TRUE(registry_get(key_, "SERVERNAME", v));
    EXPECT_EQ(v, "db1");
}

TEST_F(registry_key, the_32_bit_view_is_read) {
    set(KEY_WOW64_64KEY, "DATABASE", REG_SZ, u"sixty-four");
    set(KEY_WOW64_32KEY, "DATABASE", REG_SZ, u"thirty-two");
    std::string v;
    EXPECT_TRUE(registry_get(key_, "DATABASE", v));
    EXPECT_EQ(v, "thirty-two");
}

TEST_F(registry_key, chinese_values_and_root_names) {
    set(KEY_WOW64_32KEY, "DATABASE", REG_SZ, u"门店 一");
    set(KEY_WOW64_32KEY, "SERVERNAME", REG_EXPAND_SZ, u"shop-server\\SQL2008");
    std::string db, server;
    EXPECT_TRUE(registry_get(key_, "database", db));
    EXPECT_EQ(db, "门店 一");
    const std::string short_root = "HKLM\\" + velmora::utf16_to_utf8(sub_);
    EXPECT_TRUE(registry_get(short_root, "SERVERNAME", server));
    EXPECT_EQ(server, "shop-server\\SQL2008");
    std::string kept = "kept";
    EXPECT_FALSE(registry_get("HKEY_NOWHERE\\" + velmora::utf16_to_utf8(sub_), "DATABASE", kept));
    EXPECT_EQ(kept, "kept");
}

}  // namespace

// Encoding and decoding script packages: exact bytes, round trips, sizes.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package/interface_tag.h"
#include "package/package_format.h"

namespace pkg = velmora::package;

namespace {

std::vector<pkg::record> decode_all(const std::string& package) {
    std::vector<pkg::record_view> views;
    pkg::validation why;
    EXPECT_TRUE(pkg::decode_package(package, views, &why)) << why.problem << " at " << why.offset;
    std::vector<pkg::record> out;
    for (const auto& v : views) out.push_back({std::string(v.name), pkg::reversed(v.stored_body)});
    return out;
}

}  // namespace

TEST(PackageFormat, SingleScriptGivesTheTwentyNineByteExample) {
    const std::string package = pkg::encode_package({{"x_MS.sql", "abc"}});
    EXPECT_EQ(package, "$$$$$$x_MS.sql^^^^cba####@@@@");
    EXPECT_EQ(package.size(), 29u);

    std::vector<pkg::record_view> views;
    ASSERT_TRUE(pkg::decode_package(package, views));
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].offset, 0u);
    EXPECT_EQ(views[0].name, "x_MS.sql");
    EXPECT_EQ(views[0].stored_body, "cba");
}

TEST(PackageFormat, EmptyPackageIsTheEndMarkerAlone) {
    EXPECT_EQ(pkg::encode_package({}), "@@@@");
    std::vector<pkg::record_view> views{{}};
    EXPECT_TRUE(pkg::decode_package("@@@@", views));
    EXPECT_TRUE(views.empty());
    EXPECT_TRUE(pkg::validate_package("@@@@").ok);
}

TEST(PackageFormat, ReversalIsBytewiseAndItsOwnInverse) {
    // Line ends come out as LF CR; a double-byte character has its bytes swapped.
    EXPECT_EQ(pkg::reversed("a\r\nb"), "b\n\ra");
    EXPECT_EQ(pkg::reversed("\xD6\xD0"), "\xD0\xD6");
    const std::string all = [] {
        std::string s;
        for (int c = 1; c < 256; ++c) s += static_cast<char>(c);
        return s;
    }();
    EXPECT_EQ(pkg::reversed(pkg::reversed(all)), all);
    EXPECT_EQ(pkg::reversed(""), "");
    // Every length around the eight-byte steps, against the plain definition.
    for (std::size_t n = 0; n < 40; ++n) {
        const std::string s = all.substr(100, n);
        EXPECT_EQ(pkg::reversed(s), std::string(s.rbegin(), s.rend())) << n;
        std::string record;
        pkg::append_record(record, "x", s);
        EXPECT_EQ(record, "$$$$$$x^^^^" + std::string(s.rbegin(), s.rend()) + "####") << n;
    }
}

TEST(PackageFormat, AppendRecordMatchesEncodeAndOffsetsFollowTheRecords) {
    const std::vector<pkg::record> records{{"a_MS.sql", "create x"}, {"b.sql", ""}, {"c_ANY5.sql", "12"}};
    std::string appended;
    for (const auto& r : records) pkg::append_record(appended, r.name, r.script);
    appended += pkg::end_marker;
    EXPECT_EQ(appended, pkg::encode_package(records));

    std::vector<pkg::record_view> views;
    ASSERT_TRUE(pkg::decode_package(appended, views));
    ASSERT_EQ(views.size(), 3u);
    EXPECT_EQ(views[0].offset, 0u);
    EXPECT_EQ(views[1].offset, 6u + 8 + 4 + 8 + 4);
    EXPECT_EQ(views[2].offset, views[1].offset + 6 + 5 + 4 + 0 + 4);
}

TEST(PackageFormat, ZeroByteScriptHasBodyHeadNextToBodyEnd) {
    const std::string package = pkg::encode_package({{"empty_MS.sql", ""}});
    EXPECT_EQ(package, "$$$$$$empty_MS.sql^^^^####@@@@");
    EXPECT_EQ(decode_all(package), (std::vector<pkg::record>{{"empty_MS.sql", ""}}));
}

TEST(PackageFormat, MarkersInsideScriptsComeBackUnchanged) {
    const std::vector<pkg::record> records{
        {"carets.sql", "select '^^^^' -- ^^^^"},
        {"dollars.sql", "$$$$$$ in the body $$$$$$"},
        {"ats.sql", "@@@@"},
        {"all.sql", "@@@@^^^^$$$$$$###x"},
        {"last.sql", "create proc p as begin select '@@@@' end"},
    };
    EXPECT_EQ(decode_all(pkg::encode_package(records)), records);
}

TEST(PackageFormat, ScriptsThatBreakTheContentRulesDoNotSurvive) {
    // A leading "#" joins the body end when reversed; "####" ends the record
    // early. Either way the package no longer reads back as written.
    for (const std::string script : {"#leading", "mid####dle"}) {
        const std::string package = pkg::encode_package({{"a.sql", script}});
        std::vector<pkg::record_view> views;
        const bool ok = pkg::decode_package(package, views);
        EXPECT_FALSE(ok && views.size() == 1 && pkg::reversed(views[0].stored_body) == script) << script;
    }
}

TEST(PackageFormat, RecordOfExactlyTheSizeLimitAndFarBeyondIt) {
    // Name head, name, body head and body together: exactly 32,766 bytes.
    const std::string name = "big_MS.sql";
    const std::string limit_script(pkg::max_record_head_and_body - 6 - name.size() - 4, 'x');
    const std::string package = pkg::encode_package({{name, limit_script}});
    EXPECT_EQ(package.find("####"), pkg::max_record_head_and_body);
    EXPECT_EQ(decode_all(package), (std::vector<pkg::record>{{name, limit_script}}));

    // Records of any size decode whole: several hundred kilobytes here.
    std::string huge;
    for (int i = 0; huge.size() < 700 * 1024; ++i) huge += "select " + std::to_string(i) + "\r\n";
    const std::vector<pkg::record> records{{"a.sql", "a"}, {"huge_MS.sql", huge}, {"z.sql", "z"}};
    EXPECT_EQ(decode_all(pkg::encode_package(records)), records);
}

TEST(PackageFormat, NameHeadIsSkippedUnread) {
    // Only the length of the name head matters to the reader.
    std::vector<pkg::record_view> views;
    ASSERT_TRUE(pkg::decode_package("XXXXXXname^^^^ydob####@@@@", views));
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].name, "name");
    EXPECT_EQ(views[0].stored_body, "ydob");
}

TEST(PackageFormat, OnlyTheFirstBodyHeadEndsTheName) {
    std::vector<pkg::record_view> views;
    ASSERT_TRUE(pkg::decode_package("$$$$$$n^^^^^^^^b^^^^####@@@@", views));
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].name, "n");
    EXPECT_EQ(views[0].stored_body, "^^^^b^^^^");
}

TEST(PackageFormat, SameRecordsGiveIdenticalBytes) {
    const std::vector<pkg::record> records{{"a.sql", "x\r\ny"}, {"b.sql", "\xB1\xED"}};
    EXPECT_EQ(pkg::encode_package(records), pkg::encode_package(records));
}

TEST(InterfaceTag, DriverPicksTheTagAndNamesAreSearchedWithCase) {
    struct row {
        const char* driver;
        const char* name;
        bool runs;
    };
    const row rows[] = {
        {"MSS", "p_MS.sql", true},
        {"MSS", "p_ITEMS.sql", true},  // part of a longer word still counts
        {"MSS", "p_ms.sql", false},
        {"MSS", "p_ANY5.sql", false},
        {"", "MS", true},
        {"ODBC", "p_ANY5.sql", true},
        {"odbc", "p_ANY5.sql", true},
        {"OdBc", "p_ANY5_MS.sql", true},
        {"ODBC", "p_MS.sql", false},
        {"ODBC", "p_any5.sql", false},
        {"ODBC ", "p_MS.sql", true},  // not exactly ODBC: the MS rule
        {"ODB", "p_ANY5.sql", false},
    };
    for (const row& r : rows)
        EXPECT_EQ(velmora::passes_interface_filter(r.driver, r.name), r.runs) << r.driver << " / " << r.name;
}

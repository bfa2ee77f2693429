// Damaged packages: each kind is reported with its offset, and neither
// validation nor decoding runs on past it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package/package_format.h"

namespace pkg = velmora::package;

namespace {

struct damage_case {
    const char* label;
    std::string package;
    std::size_t offset;
    const char* problem_part;  // expected within the message
};

}  // namespace

TEST(PackageDamage, EveryKindIsReportedWithItsOffset) {
    const std::string good = "$$$$$$a_MS.sql^^^^cba####";
    const damage_case cases[] = {
        {"empty file", "", 0, "empty"},
        {"no end marker", good, good.size(), "no end marker"},
        {"CR LF after the end marker", good + "@@@@\r\n", good.size() + 4, "after the end marker"},
        {"LF after the end marker", good + "@@@@\n", good.size() + 4, "after the end marker"},
        {"end marker twice", "@@@@@@@@", 4, "after the end marker"},
        {"truncated end marker", good + "@@@", good.size(), "####"},
        {"record without body end", good + "$$$$$$b.sql^^^^x@@@@", good.size(), "####"},
        {"record without body head", good + "$$$$$$b.sqlx####@@@@", good.size(), "^^^^"},
        {"body head in the name head", "$$^^^^name####@@@@", 2, "first six bytes"},
        {"body head at the name head's fifth byte", "$$$$^^^^name####@@@@", 4, "first six bytes"},
        {"body head at the name head's sixth byte", "$$$$$^^^^name####@@@@", 5, "first six bytes"},
        {"body head right at the start", "^^^^$$name####@@@@", 0, "first six bytes"},
        {"end marker missing after a good record, junk instead", good + "junk", good.size(), "####"},
        {"lone end marker prefix", "@", 0, "####"},
    };
    for (const damage_case& c : cases) {
        SCOPED_TRACE(c.label);
        const pkg::validation v = pkg::validate_package(c.package);
        EXPECT_FALSE(v.ok);
        EXPECT_EQ(v.offset, c.offset);
        EXPECT_NE(v.problem.find(c.problem_part), std::string::npos) << v.problem;

        // Decoding agrees and hands out no records at all, not even the good ones.
        std::vector<pkg::record_view> views;
        pkg::validation why;
        EXPECT_FALSE(pkg::decode_package(c.package, views, &why));
        EXPECT_TRUE(views.empty());
        EXPECT_EQ(why.offset, v.offset);
        EXPECT_EQ(why.problem, v.problem);
    }
}

TEST(PackageDamage, AGoodPackageReportsNoProblem) {
    const pkg::validation v = pkg::validate_package(pkg::encode_package({{"a.sql", "x"}, {"b.sql", "y"}}));
    EXPECT_TRUE(v.ok);
    EXPECT_TRUE(v.problem.empty());
}

TEST(PackageDamage, EveryTruncationOfAGoodPackageIsDamage) {
    // Cutting a package anywhere never leaves something that reads as whole.
    const std::string package =
        pkg::encode_package({{"a_MS.sql", "create proc a as begin end"}, {"b.sql", ""}, {"c.sql", "@@@@"}});
    for (std::size_t n = 0; n < package.size(); ++n)
        EXPECT_FALSE(pkg::validate_package(std::string_view(package).substr(0, n)).ok) << n;
}

TEST(PackageDamage, DamageAfterManyRecordsIsFoundAtTheEnd) {
    // Many records and then no end marker: the walk goes through all of them
    // and stops at the end of the buffer.
    std::string package;
    for (int i = 0; i < 200000; ++i) pkg::append_record(package, "n.sql", "body");
    const pkg::validation v = pkg::validate_package(package);
    EXPECT_FALSE(v.ok);
    EXPECT_EQ(v.offset, package.size());
}

TEST(PackageDamage, RecordsRunTogetherThroughADamagedBodyEndAreDamageNamingTheRecord) {
    // Any one byte of a body end changed: that record runs into the next, and
    // its body holds the next one's whole header.
    const std::vector<pkg::record> records{
        {"p_a_MS.sql", "create proc p_a as select 1"}, {"p_b.SQL", "create proc p_b as select 2"}, {"z.sql", "z"}};
    const std::string package = pkg::encode_package(records);
    std::size_t changed = 0;
    for (std::size_t end = package.find("####"); end != std::string::npos && end + 4 < package.size() - 4;
         end = package.find("####", end + 4)) {
        for (std::size_t i = 0; i < 4; ++i, ++changed) {
            std::string damaged = package;
            damaged[end + i] = 'x';
            const pkg::validation v = pkg::validate_package(damaged);
            EXPECT_FALSE(v.ok) << "byte " << end + i;
            EXPECT_EQ(v.offset, end + 4) << "the header that follows the damaged end";
            EXPECT_NE(v.problem.find("two records ran together"), std::string::npos) << v.problem;
            EXPECT_EQ(v.record_name, changed < 4 ? "p_a_MS.sql" : "p_b.SQL");
            std::vector<pkg::record_view> views;
            EXPECT_FALSE(pkg::decode_package(damaged, views));
        }
    }
    EXPECT_EQ(changed, 8u);
}

TEST(PackageDamage, BodiesHoldingLessThanAWholeHeaderStayValid) {
    // Scripts may hold the markers; only "$$$$$$" NAME.sql "^^^^" in the body,
    // with no "^^^^" inside the name, reads as another record.
    for (const std::string body : {"$$$$$$a.sq^^^^", "$$$$$a.sql^^^^", "$$$$$$a^^^^.sql^^^^", "$$$$$$.sqlx^^^^",
                                   "^^^^lqs.a$$$$$$", "$$$$$$a.sql^^^"}) {
        const std::string package = "$$$$$$r.sql^^^^" + body + "####@@@@";
        EXPECT_TRUE(pkg::validate_package(package).ok) << body;
    }
    EXPECT_FALSE(pkg::validate_package("$$$$$$r.sql^^^^x$$$$$$$$A.Sql^^^^^y####@@@@").ok);
    EXPECT_FALSE(pkg::validate_package("$$$$$$r.sql^^^^$$$$$$.sql^^^^####@@@@").ok);
}

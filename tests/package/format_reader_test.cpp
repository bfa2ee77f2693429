// The piecewise reader against the whole-buffer decoder: whatever the piece
// borders, the same records with the same offsets, and the same finding.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "package/package_format.h"

namespace pkg = velmora::package;

namespace {

struct seen {
    std::size_t offset;
    std::string name, body;
    bool operator==(const seen&) const = default;
};

struct outcome {
    std::vector<seen> records;
    pkg::validation why;
};

outcome whole(const std::string& package) {
    outcome o;
    std::vector<pkg::record_view> views;
    pkg::decode_package(package, views, &o.why);
    for (const auto& v : views) o.records.push_back({v.offset, std::string(v.name), std::string(v.stored_body)});
    return o;
}

// Records handed out before damage is found are dropped, as the whole-buffer
// decoder drops them.
outcome in_pieces(const std::string& package, std::size_t piece) {
    outcome o;
    pkg::package_reader reader([&](const pkg::record_view& v) {
        o.records.push_back({v.offset, std::string(v.name), std::string(v.stored_body)});
    });
    for (std::size_t at = 0; at < package.size(); at += piece)
        if (!reader.feed(std::string_view(package).substr(at, piece))) break;
    o.why = reader.finish();
    if (!o.why.ok) o.records.clear();
    return o;
}

void expect_same(const std::string& package) {
    const outcome expected = whole(package);
    for (std::size_t piece : {1u, 2u, 3u, 4u, 5u, 7u, 13u, 64u, 100000u}) {
        const outcome got = in_pieces(package, piece);
        EXPECT_EQ(got.why.ok, expected.why.ok) << package << " in pieces of " << piece;
        EXPECT_EQ(got.why.offset, expected.why.offset) << package << " in pieces of " << piece;
        EXPECT_EQ(got.why.problem, expected.why.problem) << package << " in pieces of " << piece;
        EXPECT_EQ(got.records, expected.records) << package << " in pieces of " << piece;
    }
}

}  // namespace

TEST(PackageReader, AgreesWithTheDecoderOnGoodAndDamagedPackages) {
    const std::string good = pkg::encode_package(
        {{"a_MS.sql", "create proc a as begin select '###' end"}, {"b.sql", ""}, {"c.sql", "^^^^ $$$$$$ @@@@ ###"}});
    const std::string record = "$$$$$$a_MS.sql^^^^cba####";
    for (const std::string& p : {good, std::string("@@@@"), std::string(), good + "\r\n", good + "@@@@",
                                 good.substr(0, good.size() - 1), record + "$$$$$$b.sql^^^^x@@@@",
                                 record + "$$$$$$b.sqlx####@@@@", std::string("$$^^^^name####@@@@"),
                                 std::string("@@@@####@@@@"), std::string("@"), record + "###@@@@",
                                 std::string("$$$$$$a.sql^^^^x#x##$$$$$$b.SQL^^^^y####@@@@")})
        expect_same(p);
}

TEST(PackageReader, AgreesWithTheDecoderOnRandomMarkerSoup) {
    // Short strings over the marker bytes meet every border case: markers
    // split between pieces, runs of five '#', end markers inside records.
    std::mt19937 random(20170404);
    const char alphabet[] = "#^$@a";
    for (int i = 0; i < 3000; ++i) {
        std::string p = "$$$$$$";
        const int n = static_cast<int>(random() % 40);
        for (int k = 0; k < n; ++k) p += alphabet[random() % 5];
        if (random() % 2) p += "@@@@";
        expect_same(p);
    }
}

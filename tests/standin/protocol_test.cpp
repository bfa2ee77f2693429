// The TDS encoding layer and the command line, checked without a network.
#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>

#include "raw_tds.h"
#include "sqlserver-standin/journal.h"
#include "sqlserver-standin/options.h"
#include "sqlserver-standin/rpc.h"
#include "sqlserver-standin/tds.h"

namespace {

using namespace standin;
using nlohmann::json;

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int x : b) s += static_cast<char>(x);
    return s;
}

TEST(TdsText, Utf16RoundTripKeepsChineseAndAstralCharacters) {
    const std::string text = "物流跟踪 abc \xF0\x9F\x98\x80";  // U+1F600 needs a surrogate pair
    std::string w = tds::utf8_to_utf16le(text);
    EXPECT_EQ(w.substr(0, 2), bytes({0x69, 0x72}));  // 物 = U+7269
    EXPECT_EQ(w.substr(w.size() - 4), bytes({0x3D, 0xD8, 0x00, 0xDE}));
    EXPECT_EQ(tds::utf16le_to_utf8(w.data(), w.size()), text);
}

TEST(TdsText, BrokenInputBecomesReplacementCharacters) {
    EXPECT_EQ(tds::utf8_to_utf16le("a\xFF"), bytes({'a', 0, 0xFD, 0xFF}));
    EXPECT_EQ(tds::utf8_to_utf16le("\xE7\x89"), bytes({0xFD, 0xFF, 0xFD, 0xFF}));  // truncated sequence
    const std::string lone_high = bytes({0x3D, 0xD8, 'x', 0});
    EXPECT_EQ(tds::utf16le_to_utf8(lone_high.data(), lone_high.size()), "\xEF\xBF\xBDx");
}

TEST(TdsPackets, LongMessagesAreSplitAndOnlyTheLastIsMarkedEnd) {
    std::string payload(1000, 'x');
    std::uint8_t id = 0;
    std::string out = tds::packetize(tds::pkt_reply, payload, 512, 51, id);
    ASSERT_EQ(out.size(), 1000u + 2 * 8);
    EXPECT_EQ(out.substr(0, 8), bytes({0x04, 0x00, 0x02, 0x00, 0x00, 0x33, 0x01, 0x00}));
    EXPECT_EQ(out.substr(512, 8), bytes({0x04, 0x01, 0x01, 0xF8, 0x00, 0x33, 0x02, 0x00}));
    EXPECT_EQ(id, 2);
    // An empty reply still makes one packet.
    EXPECT_EQ(tds::packetize(tds::pkt_reply, "", 4096, 0, id).size(), 8u);
}

TEST(TdsPrelogin, RefusesEncryptionAndMars) {
    std::string r = tds::prelogin_reply(default_version());
    // Find each option through its table entry.
    auto option = [&](int token) -> std::string {
        for (std::size_t i = 0; i + 5 <= r.size() && static_cast<unsigned char>(r[i]) != 0xFF; i += 5)
            if (r[i] == token) {
                std::size_t off = (static_cast<unsigned char>(r[i + 1]) << 8) | static_cast<unsigned char>(r[i + 2]);
                std::size_t len = (static_cast<unsigned char>(r[i + 3]) << 8) | static_cast<unsigned char>(r[i + 4]);
                return r.substr(off, len);
            }
        return "missing";
    };
    EXPECT_EQ(option(0x01), bytes({0x02}));
    EXPECT_EQ(option(0x04), bytes({0x00}));
    EXPECT_EQ(option(0x00).size(), 6u);
}

TEST(TdsLogin7, DecodesUserPasswordDatabaseAndPacketSize) {
    auto l = tds::parse_login7(standin_test::login7_body("velmora", "quorbin", "BrenHolt", 8192));
    ASSERT_TRUE(l);
    EXPECT_EQ(l->user, "velmora");
    EXPECT_EQ(l->password, "quorbin");
    EXPECT_EQ(l->database, "BrenHolt");
    EXPECT_EQ(l->packet_size, 8192u);
    EXPECT_EQ(l->tds_version, 0x74000004u);
    // Known obfuscation of 'a' (0x61 0x00): nibbles swapped then XOR 0xA5.
    EXPECT_EQ(tds::obfuscate_password(bytes({0x61, 0x00})), bytes({0xB3, 0xA5}));
}

TEST(TdsLogin7, RejectsTruncatedOrOutOfRangeMessages) {
    std::string body = standin_test::login7_body("velmora", "quorbin", "");
    EXPECT_FALSE(tds::parse_login7(body.substr(0, 50)));
    std::string bad = body;
    bad[40] = static_cast<char>(0xF0);  // user name offset beyond the end
    bad[41] = static_cast<char>(0x7F);
    EXPECT_FALSE(tds::parse_login7(bad));
}

TEST(TdsRequests, SqlBatchSkipsAllHeaders) {
    auto text = tds::parse_sql_batch(standin_test::sql_batch_body("select N'物流'"), true);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, "select N'物流'");
    EXPECT_FALSE(tds::parse_sql_batch(bytes({0x50, 0, 0, 0}), true));  // header longer than the message
}

TEST(TdsRequests, TransactionManagerRequests) {
    std::string headers = standin_test::sql_batch_body("");
    auto begin = tds::parse_tm_request(headers + bytes({5, 0, 0, 0}), true);
    ASSERT_TRUE(begin);
    EXPECT_EQ(begin->type, tds::tm_request::begin);
    // Commit and start a new transaction, as FreeTDS does with autocommit off.
    auto commit = tds::parse_tm_request(headers + bytes({7, 0, 0, 1, 0, 0}), true);
    ASSERT_TRUE(commit);
    EXPECT_EQ(commit->type, tds::tm_request::commit);
    EXPECT_TRUE(commit->begin_new);
    auto rollback = tds::parse_tm_request(headers + bytes({8, 0, 0, 0}), true);
    ASSERT_TRUE(rollback);
    EXPECT_FALSE(rollback->begin_new);
    EXPECT_FALSE(tds::parse_tm_request(headers + bytes({7}), true));
}

// sp_prepexec exactly as FreeTDS sends it for isql's SQLPrepare + SQLExecute.
TEST(RpcRequests, PrepexecFromTheOdbcDriver) {
    std::string body = standin_test::sql_batch_body("");
    body += bytes({0xFF, 0xFF, 0x0D, 0x00, 0x00, 0x00});                          // sp_prepexec, no options
    body += bytes({0x00, 0x01, 0x26, 0x04, 0x00});                                // @handle int output, NULL
    body += bytes({0x00, 0x00, 0x63, 0, 0, 0, 0, 0x04, 0x08, 0xD0, 0, 0});        // ntext declaration ...
    body += bytes({0xFF, 0xFF, 0xFF, 0xFF});                                      // ... NULL
    body += bytes({0x00, 0x00, 0x63, 0x10, 0, 0, 0, 0x04, 0x08, 0xD0, 0, 0, 0x10, 0, 0, 0});
    body += tds::utf8_to_utf16le("select 1");
    std::string error;
    auto req = rpc::parse(body, true, error);
    ASSERT_TRUE(req) << error;
    EXPECT_EQ(rpc::procedure(*req), "sp_prepexec");
    ASSERT_EQ(req->params.size(), 3u);
    EXPECT_TRUE(req->params[0].output);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(req->params[0].value));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(req->params[1].value));
    EXPECT_EQ(std::get<std::string>(req->params[2].value), "select 1");
}

TEST(RpcRequests, TypedParametersAndNamedProcedures) {
    std::string body = standin_test::sql_batch_body("");
    body += bytes({13, 0}) + tds::utf8_to_utf16le("sp_executesql") + bytes({0, 0});
    body += bytes({0, 0, 0xE7, 0x40, 0x1F, 0x04, 0x08, 0xD0, 0, 0, 4, 0}) + tds::utf8_to_utf16le("物流");
    body += bytes({3, '@', 0, 'P', 0, '1', 0, 0, 0x26, 4, 4, 0xFE, 0xFF, 0xFF, 0xFF});  // int -2
    body += bytes({0, 0, 0x6D, 8, 8, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F});                    // float 1.5
    body += bytes({0, 0, 0x6C, 17, 10, 2, 5, 1, 0x39, 0x30, 0, 0});                      // numeric 123.45
    body += bytes({0, 0, 0x6F, 8, 8, 0xAC, 0x8E, 0, 0, 0x2C, 0x01, 0, 0});              // 2000-01-01 00:00:01
    body += bytes({0, 0, 0x26, 4, 0});                                                  // NULL
    std::string error;
    auto req = rpc::parse(body, true, error);
    ASSERT_TRUE(req) << error;
    EXPECT_EQ(rpc::procedure(*req), "sp_executesql");
    ASSERT_EQ(req->params.size(), 6u);
    EXPECT_EQ(rpc::literal(req->params[0]), "N'物流'");
    EXPECT_EQ(req->params[1].name, "@P1");
    EXPECT_EQ(rpc::literal(req->params[1]), "-2");
    EXPECT_EQ(rpc::literal(req->params[2]), "1.5");
    EXPECT_DOUBLE_EQ(std::get<double>(req->params[3].value), 123.45);
    EXPECT_EQ(rpc::literal(req->params[4]), "N'2000-01-01 00:00:01.000'");
    EXPECT_EQ(rpc::literal(req->params[5]), "NULL");

    std::string unsupported = standin_test::sql_batch_body("") + bytes({0xFF, 0xFF, 10, 0, 0, 0, 0, 0, 0xF1});
    EXPECT_FALSE(rpc::parse(unsupported, true, error));
    EXPECT_NE(error.find("0xF1"), std::string::npos);
    EXPECT_FALSE(rpc::parse(body.substr(0, body.size() - 3), true, error));  // cut short
    std::string nine_byte_int =
        standin_test::sql_batch_body("") + bytes({0xFF, 0xFF, 10, 0, 0, 0, 0, 0, 0x26, 9, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    EXPECT_FALSE(rpc::parse(nine_byte_int, true, error));
}

TEST(RpcRequests, ParametersBecomeLiteralsOutsideQuotesAndComments) {
    std::vector<rpc::parameter> values(3);
    values[0].value = std::int64_t{7};
    values[1].value = std::string("it's");
    values[1].is_text = true;
    values[2].name = "@Name";
    values[2].value = std::string("x");
    values[2].is_text = true;
    EXPECT_EQ(rpc::bind("select @P1, @p2, '@P1', [@P1], @name -- @P1\n, @P10, @@TRANCOUNT",
                        "@P1 int,@P2 nvarchar(10),@name nvarchar(4000)", values),
              "select 7, N'it''s', '@P1', [@P1], N'x' -- @P1\n, @P10, @@TRANCOUNT");
    EXPECT_EQ(rpc::bind("select 1", "", {}), "select 1");
}

TEST(TdsTokens, DoneMessageAndEnvchangeLayouts) {
    tds::token_writer w;
    w.done(tds::done_count | tds::done_more, 3);
    EXPECT_EQ(w.take(), bytes({0xFD, 0x11, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}));

    w.envchange_transaction(8, 0x0102030405060708ull);
    EXPECT_EQ(w.take(), bytes({0xE3, 11, 0, 8, 8, 8, 7, 6, 5, 4, 3, 2, 1, 0}));
    w.envchange_transaction(9, 1);
    EXPECT_EQ(w.take(), bytes({0xE3, 11, 0, 9, 0, 8, 1, 0, 0, 0, 0, 0, 0, 0}));

    w.envchange_text(1, "db", "");
    EXPECT_EQ(w.take(), bytes({0xE3, 7, 0, 1, 2, 'd', 0, 'b', 0, 0}));

    server_message m;
    m.number = 208;
    m.state = 1;
    m.severity = 16;
    m.text = "x";
    m.line = 2;
    w.message(m, "s");
    EXPECT_EQ(w.take(), bytes({0xAA, 18, 0, 208, 0, 0, 0, 1, 16, 1, 0, 'x', 0, 1, 's', 0, 0, 2, 0, 0, 0}));
    m.severity = 0;
    w.message(m, "s");
    EXPECT_EQ(static_cast<unsigned char>(w.bytes()[0]), 0xAB);  // INFO
}

TEST(TdsTokens, ComputedColumnsTakeTheNarrowestFittingType) {
    result_set rs;
    rs.columns = {{"i", column_type::integer}, {"big", column_type::integer}, {"d", column_type::floating},
                  {"t", column_type::text}};
    rs.rows = {{std::int64_t{7}, std::int64_t{5000000000LL}, 1.5, std::string("物")},
               {sql_value{}, sql_value{}, sql_value{}, sql_value{}}};
    tds::token_writer w;
    w.result(rs);
    const std::string& b = w.bytes();
    const std::string coll(reinterpret_cast<const char*>(tds::collation), 5);
    std::string expected = bytes({0x81, 4, 0});
    expected += bytes({0, 0, 0, 0, 1, 0, 0x26, 4, 1, 'i', 0});
    expected += bytes({0, 0, 0, 0, 1, 0, 0x26, 8, 3, 'b', 0, 'i', 0, 'g', 0});
    expected += bytes({0, 0, 0, 0, 1, 0, 0x6D, 8, 1, 'd', 0});
    expected += bytes({0, 0, 0, 0, 1, 0, 0xE7, 0x40, 0x1F}) + coll + bytes({1, 't', 0});
    expected += bytes({0xD1, 4, 7, 0, 0, 0, 8, 0x00, 0xF2, 0x05, 0x2A, 1, 0, 0, 0});
    double d = 1.5;
    char dbytes[8];
    std::memcpy(dbytes, &d, 8);
    expected += bytes({8}) + std::string(dbytes, 8) + bytes({2, 0, 0x69, 0x72});
    expected += bytes({0xD1, 0, 0, 0, 0xFF, 0xFF});
    EXPECT_EQ(b, expected);
}

TEST(TdsTokens, LongTextGoesOutAsNvarcharMax) {
    result_set rs;
    rs.columns = {{"definition", column_type::text}};
    rs.rows = {{std::string(5000, 'a')}, {sql_value{}}};
    tds::token_writer w;
    w.result(rs);
    const std::string& b = w.bytes();
    EXPECT_EQ(b.substr(9, 3), bytes({0xE7, 0xFF, 0xFF}));  // max length marker
    std::size_t row = b.find('\xD1');
    ASSERT_NE(row, std::string::npos);
    EXPECT_EQ(b.substr(row + 1, 8), bytes({0x10, 0x27, 0, 0, 0, 0, 0, 0}));  // 10000 bytes in total
    EXPECT_EQ(b.substr(row + 9, 4), bytes({0x10, 0x27, 0, 0}));              // one chunk
    std::size_t null_row = row + 1 + 8 + 4 + 10000 + 4;
    EXPECT_EQ(b.substr(null_row, 9), bytes({0xD1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(TdsVersions, EachClientIsAnsweredInItsOwnVersionFrom71On) {
    EXPECT_EQ(tds::negotiate(0x71000001), tds::tds_71);
    EXPECT_EQ(tds::negotiate(0x71000000), tds::tds_71);  // SQL Server 2000 before its SP1
    EXPECT_EQ(tds::negotiate(0x72090002), tds::tds_72);
    EXPECT_EQ(tds::negotiate(0x730A0003), tds::tds_73a);
    EXPECT_EQ(tds::negotiate(0x730B0003), tds::tds_73b);
    EXPECT_EQ(tds::negotiate(0x74000004), tds::tds_74);
    EXPECT_EQ(tds::negotiate(0x75000000), tds::tds_74);  // newer than the stand-in: its newest
    EXPECT_FALSE(tds::negotiate(0x70000000));             // TDS 7.0
    EXPECT_FALSE(tds::negotiate(0x04020000));             // TDS 4.2
    // An older server answers a newer client in its own newest version.
    EXPECT_EQ(tds::negotiate(0x74000004, tds::tds_71), tds::tds_71);
    EXPECT_EQ(tds::negotiate(0x730B0003, tds::tds_72), tds::tds_72);
    EXPECT_EQ(tds::negotiate(0x74000004, tds::tds_73b), tds::tds_73b);
    EXPECT_EQ(tds::negotiate(0x730A0003, tds::tds_73b), tds::tds_73a);
    EXPECT_EQ(tds::negotiate(0x72090002, tds::tds_73b), tds::tds_72);
    EXPECT_FALSE(tds::negotiate(0x70000000, tds::tds_71));
}

// Each version tells in PRELOGIN and LOGINACK the build its
// SERVERPROPERTY('ProductVersion') names.
TEST(TdsVersions, PreloginAndLoginackTellEachVersionsBuild) {
    const std::pair<const char*, std::string> rows[] = {
        // major, minor, build (big-endian), sub-build (big-endian)
        {"2000", bytes({8, 0, 0x07, 0xF7, 0, 0})},      {"2005", bytes({9, 0, 0x05, 0x77, 0, 6})},
        {"2008R2", bytes({10, 50, 0x06, 0x40, 0, 1})},  {"2012", bytes({11, 0, 0x08, 0x34, 0, 60})},
        {"2014", bytes({12, 0, 0x07, 0xD0, 0, 8})},     {"2016", bytes({13, 0, 0x0F, 0xA1, 0, 0})},
        {"2017", bytes({14, 0, 0x03, 0xE8, 0, 169})},   {"2019", bytes({15, 0, 0x07, 0xD0, 0, 5})},
        {"2022", bytes({16, 0, 0x03, 0xE8, 0, 6})},
    };
    ASSERT_EQ(all_versions().size(), std::size(rows));
    for (const auto& [name, build] : rows) {
        SCOPED_TRACE(name);
        const server_version* v = find_version(name);
        ASSERT_TRUE(v);
        std::string r = tds::prelogin_reply(*v);
        std::size_t off = (static_cast<unsigned char>(r[1]) << 8) | static_cast<unsigned char>(r[2]);
        EXPECT_EQ(r.substr(off, 6), build);
        tds::token_writer w;
        w.loginack(*v, tds::tds_73b);
        EXPECT_EQ(w.bytes().substr(3, 5), bytes({1, 0x73, 0x0B, 0, 3}));
        EXPECT_EQ(w.bytes().substr(w.bytes().size() - 4), build.substr(0, 4));
    }
    EXPECT_STREQ(default_version().name, "2019");
    EXPECT_EQ(find_version("2008r2"), find_version("2008R2"));
    EXPECT_FALSE(find_version("2008"));
}

TEST(TdsVersions, Tds71TokensUseTheirShortFields) {
    tds::token_writer w(tds::protocol{tds::tds_71});
    w.done(tds::done_count, 3);
    EXPECT_EQ(w.take(), bytes({0xFD, 0x10, 0, 0, 0, 3, 0, 0, 0}));  // 4-byte row count
    server_message m;
    m.number = 208;
    m.text = "x";
    m.line = 2;
    w.message(m, "s");
    EXPECT_EQ(w.take(), bytes({0xAA, 16, 0, 208, 0, 0, 0, 1, 16, 1, 0, 'x', 0, 1, 's', 0, 0, 2, 0}));  // 2-byte line
    w.envchange_transaction(8, 1);
    w.envchange_reset();
    EXPECT_TRUE(w.empty());  // transactions and resets are told from TDS 7.2 on
    result_set rs;
    rs.columns = {{"n", column_type::text}};
    rs.columns[0].length = -1;  // nvarchar(max): ntext before TDS 7.2
    rs.rows = {{std::string("ab")}, {sql_value{}}};
    w.result(rs);
    const std::string coll(reinterpret_cast<const char*>(tds::collation), 5);
    std::string expected = bytes({0x81, 1, 0, 0, 0, 1, 0, 0x63, 0xFF, 0xFF, 0xFF, 0x7F}) + coll + bytes({0, 0});
    expected += bytes({1, 'n', 0, 0xD1, 16}) + std::string(16, '\xAA') + std::string(8, '\0');
    expected += bytes({4, 0, 0, 0, 'a', 0, 'b', 0, 0xD1, 0});
    EXPECT_EQ(w.bytes(), expected);
}

// Declared types go out as SQL Server sends them: varchar in the Chinese
// code page, numeric with its precision and scale, money, datetime, bit and
// date (as DATEN from TDS 7.3 on, as text before).
TEST(TdsTokens, DeclaredColumnsKeepTheirTypes) {
    result_set rs;
    column vc{"v", column_type::text};
    vc.length = 10;
    vc.unicode = false;
    column num{"p", column_type::decimal};
    num.precision = 16;
    num.scale = 4;
    num.numeric = true;
    rs.columns = {vc, num, {"m", column_type::money, 8}, {"d", column_type::datetime, 8}, {"b", column_type::bit, 1},
                  {"day", column_type::date}};
    rs.rows = {{std::string("苹果"), 1.5, -2.25, std::string("1900-01-02 00:00:01.000"), std::int64_t{1},
                std::string("2019-12-31 00:00:00.000")}};
    tds::token_writer w;
    w.result(rs);
    const std::string coll(reinterpret_cast<const char*>(tds::collation), 5);
    std::string meta = bytes({0x81, 6, 0});
    meta += bytes({0, 0, 0, 0, 1, 0, 0xA7, 10, 0}) + coll + bytes({1, 'v', 0});
    meta += bytes({0, 0, 0, 0, 1, 0, 0x6C, 9, 16, 4, 1, 'p', 0});
    meta += bytes({0, 0, 0, 0, 1, 0, 0x6E, 8, 1, 'm', 0});
    meta += bytes({0, 0, 0, 0, 1, 0, 0x6F, 8, 1, 'd', 0});
    meta += bytes({0, 0, 0, 0, 1, 0, 0x68, 1, 1, 'b', 0});
    meta += bytes({0, 0, 0, 0, 1, 0, 0x28, 3, 'd', 0, 'a', 0, 'y', 0});
    std::string row = bytes({0xD1, 4, 0, 0xC6, 0xBB, 0xB9, 0xFB});                 // 苹果 in GBK
    row += bytes({9, 1, 0x98, 0x3A, 0, 0, 0, 0, 0, 0});                            // 15000 / 10^4
    row += bytes({8, 0xFF, 0xFF, 0xFF, 0xFF, 0x1C, 0xA8, 0xFF, 0xFF});              // -22500 ten-thousandths
    row += bytes({8, 1, 0, 0, 0, 0x2C, 0x01, 0, 0});                                // day 1, 300 ticks
    row += bytes({1, 1, 3, 0x8F, 0x40, 0x0B});                                      // bit, then day 737423 from 0001
    EXPECT_EQ(w.bytes(), meta + row);

    tds::token_writer old(tds::protocol{tds::tds_72});
    result_set dates;
    dates.columns = {{"day", column_type::date}};
    dates.rows = {{std::string("2019-12-31 00:00:00.000")}};
    old.result(dates);
    EXPECT_NE(old.bytes().find(bytes({0xE7, 20, 0})), std::string::npos);  // nvarchar(10)
    EXPECT_NE(old.bytes().find(tds::utf8_to_utf16le("2019-12-31")), std::string::npos);
    EXPECT_EQ(tds::utf8_to_code_page("a😀"), "a?");
}

TEST(TdsLogin7, ReadsTheUtf8FeatureRequest) {
    auto asked = tds::parse_login7(standin_test::login7_body("velmora", "quorbin", "shop", 4096, 0x74000004, true));
    ASSERT_TRUE(asked);
    EXPECT_TRUE(asked->utf8_support);
    EXPECT_EQ(asked->database, "shop");
    EXPECT_FALSE(tds::parse_login7(standin_test::login7_body("velmora", "quorbin", ""))->utf8_support);
    tds::token_writer w;
    w.feature_ext_ack_utf8();
    EXPECT_EQ(w.bytes(), bytes({0xAE, 0x0A, 1, 0, 0, 0, 1, 0xFF}));
}

TEST(TdsRequests, TransactionNamesAreCountedInBytes) {
    std::string headers = standin_test::sql_batch_body("");
    const std::string name = tds::utf8_to_utf16le("外层");
    auto begin = tds::parse_tm_request(headers + bytes({5, 0, 2, 4}) + name, true);
    ASSERT_TRUE(begin);
    EXPECT_EQ(begin->name, "外层");
    auto rollback = tds::parse_tm_request(headers + bytes({8, 0, 4}) + name + bytes({1, 2, 2, 'n', 0}), true);
    ASSERT_TRUE(rollback);
    EXPECT_EQ(rollback->name, "外层");
    EXPECT_TRUE(rollback->begin_new);
    EXPECT_EQ(rollback->new_name, "n");
    auto save = tds::parse_tm_request(headers + bytes({9, 0, 4, 's', 0, 'p', 0}), true);
    ASSERT_TRUE(save);
    EXPECT_EQ(save->type, tds::tm_request::save);
    EXPECT_EQ(save->name, "sp");
    EXPECT_FALSE(tds::parse_tm_request(headers + bytes({9, 0, 5, 's', 0}), true));  // runs past the end
}

// The types go-mssqldb, tedious and jTDS send besides the ODBC driver's.
TEST(RpcRequests, DateTimeGuidMoneyBinaryAndCodePageParameters) {
    std::string body = standin_test::sql_batch_body("") + bytes({0xFF, 0xFF, 10, 0, 0, 0});
    body += bytes({0, 0, 0x2B, 7, 10, 0, 0, 0, 0, 0, 0x07, 0x24, 0x0B, 0x3C, 0});  // datetimeoffset(7), +01:00
    body += bytes({0, 0, 0x28, 3, 0x07, 0x24, 0x0B});                               // date 2000-01-01
    body += bytes({0, 0, 0x29, 0, 3, 0x10, 0x0E, 0});                               // time(0) 01:00:00
    body += bytes({0, 0, 0x24, 16, 16, 0xFF, 0x19, 0x96, 0x6F, 0x86, 0x8B, 0x11, 0xD0, 0xB4, 0x2D, 0, 0xC0, 0x4F,
                   0xC9, 0x64, 0xFF});                                              // uniqueidentifier
    body += bytes({0, 0, 0x6E, 8, 8, 0, 0, 0, 0, 0x10, 0x27, 0, 0});                // money 1
    body += bytes({0, 0, 0xA5, 0x10, 0, 2, 0, 0xAB, 0x01});                         // varbinary
    body += bytes({0, 0, 0xA7, 10, 0}) + std::string(reinterpret_cast<const char*>(tds::collation), 5) +
            bytes({4, 0, 0xC6, 0xBB, 0xB9, 0xFB});                                  // varchar 苹果 in GBK
    std::string error;
    auto req = rpc::parse(body, true, error);
    ASSERT_TRUE(req) << error;
    ASSERT_EQ(req->params.size(), 7u);
    // The offset (+60 minutes) gives the local time, as datetimeoffset to datetime does.
    EXPECT_EQ(rpc::literal(req->params[0]), "N'2000-01-01 01:00:00.0000000'");
    EXPECT_EQ(rpc::literal(req->params[1]), "N'2000-01-01'");
    EXPECT_EQ(rpc::literal(req->params[2]), "N'01:00:00'");
    EXPECT_EQ(rpc::literal(req->params[3]), "N'6F9619FF-8B86-D011-B42D-00C04FC964FF'");
    EXPECT_EQ(rpc::literal(req->params[4]), "1");
    EXPECT_EQ(rpc::literal(req->params[5]), "0xAB01");
    EXPECT_EQ(rpc::literal(req->params[6]), "N'苹果'");
}

TEST(Journal, LinesAreValidJsonWhateverTheBatchHolds) {
    const std::string sql = "select '\"物流\"'\r\n\tfrom t -- \\ \x01";
    std::string line = journal_line(3, "BrenHolt", sql, 208);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    auto j = json::parse(line);
    EXPECT_EQ(j.at("conn").get<std::int64_t>(), 3);
    EXPECT_EQ(j.at("db").get<std::string>(), "BrenHolt");
    EXPECT_EQ(j.at("sql").get<std::string>(), sql);
    EXPECT_EQ(j.at("error").get<std::int64_t>(), 208);
}

TEST(CommandLine, DefaultsAndEveryOption) {
    auto r = parse_command_line({});
    ASSERT_EQ(r.error, "");
    ASSERT_EQ(r.options.logins.size(), 1u);
    EXPECT_EQ(r.options.logins[0].name, "velmora");
    EXPECT_EQ(r.options.logins[0].password, "quorbin");
    EXPECT_EQ(r.options.bind, "127.0.0.1");

    r = parse_command_line({"--port", "0", "--bind", "0.0.0.0", "--fixture", "a.sql", "--fixture=b.sql", "--login",
                            "sa:pw:with:colons", "--journal", "j", "--dump", "d", "--drop-after", "3",
                            "--delay-ms", "20", "--fail", "p_two=50000:boom", "--drop-at", "4", "--silent-at=0"});
    ASSERT_EQ(r.error, "");
    const auto& o = r.options;
    EXPECT_EQ(o.port, 0);
    EXPECT_EQ(o.bind, "0.0.0.0");
    EXPECT_EQ(o.fixtures, (std::vector<std::string>{"a.sql", "b.sql"}));
    ASSERT_EQ(o.logins.size(), 1u);  // a given login replaces the default
    EXPECT_EQ(o.logins[0].password, "pw:with:colons");
    EXPECT_EQ(o.journal_path, "j");
    EXPECT_EQ(o.dump_path, "d");
    EXPECT_EQ(o.drop_after, 3);
    EXPECT_EQ(o.delay_ms, 20);
    EXPECT_EQ(o.drop_at, 4);
    EXPECT_EQ(o.silent_at, 0);
    EXPECT_EQ(parse_command_line({}).options.silent_at, -1);  // never
    ASSERT_EQ(o.fail_rules.size(), 1u);
    EXPECT_EQ(o.fail_rules[0].number, 50000);
    EXPECT_EQ(o.fail_rules[0].message, "boom");
    EXPECT_TRUE(parse_command_line({"--help"}).help);
}

TEST(CommandLine, MistakesAreReportedNotGuessed) {
    EXPECT_NE(parse_command_line({"--port"}).error, "");
    EXPECT_NE(parse_command_line({"--port", "70000"}).error, "");
    EXPECT_NE(parse_command_line({"--port", "12x"}).error, "");
    EXPECT_NE(parse_command_line({"--drop-after", "0"}).error, "");
    EXPECT_NE(parse_command_line({"--drop-at", "0"}).error, "");
    EXPECT_NE(parse_command_line({"--silent-at", "-1"}).error, "");
    EXPECT_NE(parse_command_line({"--login", "nopassword"}).error, "");
    EXPECT_NE(parse_command_line({"--verbose"}).error, "");
    EXPECT_NE(parse_command_line({"--fail", "no-number"}).error, "");
    EXPECT_NE(parse_command_line({"--fail", "([=1:x"}).error, "");  // bad regex
}

TEST(CommandLine, FailRuleRegexMayContainEqualsSigns) {
    fail_rule rule;
    std::string error;
    ASSERT_TRUE(parse_fail_rule("a=b|set x = 1=2627:dup: key", rule, error)) << error;
    EXPECT_EQ(rule.pattern, "a=b|set x = 1");
    EXPECT_EQ(rule.number, 2627);
    EXPECT_EQ(rule.message, "dup: key");
    EXPECT_TRUE(std::regex_search("update t set x = 1", rule.regex));
}

}  // namespace

namespace {

// Whatever arrives on the socket, the decoders answer or refuse; they never
// read outside the message (run under the sanitizer build to see it).
TEST(TdsDecoders, SurviveDamagedMessages) {
    using standin_test::login7_body;
    using standin_test::sql_batch_body;
    const std::string rpc_body = sql_batch_body("") + bytes({0xFF, 0xFF, 0x0D, 0, 0, 0, 0, 1, 0x26, 4, 0, 0, 0, 0xE7,
                                                             0x40, 0x1F, 4, 8, 0xD0, 0, 0, 2, 0, 'x', 0});
    const std::string newer_types = sql_batch_body("") +
                                    bytes({0xFF, 0xFF, 10, 0, 0, 0, 0, 0, 0x2B, 7, 10, 0, 0, 0, 0, 0, 7, 0x24, 0x0B,
                                           0x3C, 0, 0, 0, 0x24, 16, 16, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14,
                                           15, 16, 0, 0, 0xA5, 0xFF, 0xFF, 2, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 1, 2,
                                           0, 0, 0, 0, 0, 0, 0x6E, 8, 8, 0, 0, 0, 0, 1, 0, 0, 0});
    const std::string seeds[] = {login7_body("velmora", "quorbin", "shop", 4096, 0x74000004, true),
                                 sql_batch_body("select 1"), sql_batch_body("") + bytes({7, 0, 0, 1, 0, 0}),
                                 sql_batch_body("") + bytes({9, 0, 4, 's', 0, 'p', 0}), rpc_body, newer_types};
    std::uint32_t rng = 12345;
    auto next = [&] {
        rng = rng * 1103515245u + 12345u;
        return rng >> 8;
    };
    for (const auto& seed : seeds) {
        for (int round = 0; round < 3000; ++round) {
            std::string m = seed;
            int edits = 1 + static_cast<int>(next() % 4);
            for (int e = 0; e < edits && !m.empty(); ++e) {
                switch (next() % 3) {
                case 0: m[next() % m.size()] = static_cast<char>(next()); break;
                case 1: m.resize(next() % m.size()); break;
                case 2: m.insert(next() % m.size(), 1, static_cast<char>(next())); break;
                }
            }
            std::string error;
            (void)tds::parse_login7(m);
            (void)tds::parse_sql_batch(m, true);
            (void)tds::parse_tm_request(m, true);
            (void)rpc::parse(m, true, error);
        }
    }
    SUCCEED();
}

}  // namespace

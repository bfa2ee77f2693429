// What TDS clients other than FreeTDS rely on, byte by byte over a socket:
// version negotiation, the UTF-8 feature, the cancel's two messages, the
// packet status bits RESETCONNECTION and IGNORE, sp_prepare's named handle.
// tedious_test.js runs the same ground with a real driver.
#include <gtest/gtest.h>

#include "client_tools.h"
#include "raw_tds.h"
#include "support/standin_process.h"

namespace {

using namespace standin_test;
using standin::tds::utf8_to_utf16le;

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int x : b) s += static_cast<char>(x);
    return s;
}

bool contains(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

// A TDS 7.1 client gets TDS 7.1 back, and the 7.1 layouts with it: DONE's
// row count in 4 bytes, COLMETADATA's UserType in 2, no request headers.
TEST(StandinVersions, Tds71ClientIsAnsweredInTds71) {
    standin_process s;
    raw_tds c(s.port());
    std::string reply;
    ASSERT_TRUE(c.send_message(standin::tds::pkt_login7, login7_body("velmora", "quorbin", "", 4096, 0x71000001)));
    ASSERT_TRUE(c.read_reply(reply));
    std::size_t ack = reply.find('\xAD');
    ASSERT_NE(ack, std::string::npos);
    EXPECT_EQ(reply.substr(ack + 3, 5), bytes({1, 0x71, 0, 0, 1}));
    EXPECT_EQ(reply.substr(reply.size() - 9), bytes({0xFD, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(c.send_message(standin::tds::pkt_sql_batch, utf8_to_utf16le("select 5 as n")));  // no ALL_HEADERS
    ASSERT_TRUE(c.read_reply(reply));
    EXPECT_EQ(reply, bytes({0x81, 1, 0, 0, 0, 1, 0, 0x26, 4, 1, 'n', 0, 0xD1, 4, 5, 0, 0, 0,
                            0xFD, 0x10, 0, 0, 0, 1, 0, 0, 0}));
}

TEST(StandinVersions, ClientOlderThan71IsToldWhyAndDisconnected) {
    standin_process s;
    raw_tds c(s.port());
    std::string reply;
    ASSERT_TRUE(c.send_message(standin::tds::pkt_login7, login7_body("velmora", "quorbin", "", 4096, 0x70000000)));
    ASSERT_TRUE(c.read_reply(reply));
    EXPECT_EQ(static_cast<unsigned char>(reply[0]), 0xAA);
    EXPECT_EQ(reply.substr(3, 4), bytes({0x8A, 0x45, 0, 0}));  // 17802
    EXPECT_TRUE(contains(reply, utf8_to_utf16le("version 0x70000000 of the client library")));
    EXPECT_EQ(reply.find('\xAD'), std::string::npos);
    EXPECT_TRUE(c.closed_by_server());
}

// FEATUREEXTACK follows LOGINACK when, and only when, the login asked.
TEST(StandinVersions, Utf8FeatureIsAcknowledgedWhenAsked) {
    standin_process s;
    for (bool ask : {true, false}) {
        raw_tds c(s.port());
        std::string reply;
        ASSERT_TRUE(c.send_message(standin::tds::pkt_login7,
                                   login7_body("velmora", "quorbin", "", 4096, 0x74000004, ask)));
        ASSERT_TRUE(c.read_reply(reply));
        const std::string ext_ack = bytes({0xAE, 0x0A, 1, 0, 0, 0, 1, 0xFF});
        EXPECT_EQ(contains(reply, ext_ack), ask);
        if (ask) {
            EXPECT_LT(reply.find('\xAD'), reply.find(ext_ack));
        }
    }
}

// A request cancelled while held: its response ends with a DONE, then the
// acknowledgement comes as a message of its own.
TEST(StandinCancel, AcknowledgementIsItsOwnMessageAfterTheRequestsEnd) {
    standin_process s({{}, {"--delay-ms", "300"}});
    raw_tds c(s.port());
    ASSERT_TRUE(c.login());
    ASSERT_TRUE(c.send_message(standin::tds::pkt_sql_batch, sql_batch_body("select 1")));
    ASSERT_TRUE(c.send_message(standin::tds::pkt_attention, ""));
    std::string first, second;
    ASSERT_TRUE(c.read_reply(first));
    EXPECT_EQ(first, bytes({0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(c.read_reply(second));
    EXPECT_EQ(second, bytes({0xFD, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(s.journal_sql().empty());
}

// RESETCONNECTION: the session as the login left it, the reply opening with
// ENVCHANGE 18.
TEST(StandinPacketStatus, ResetConnectionRestoresTheLoginState) {
    standin_process s({{shop_fixture()}, {}});
    raw_tds c(s.port());
    ASSERT_TRUE(c.login("velmora", "quorbin", "shop"));
    std::string reply;
    ASSERT_TRUE(c.send_message(standin::tds::pkt_sql_batch,
                               sql_batch_body("use master begin tran set lock_timeout 7")));
    ASSERT_TRUE(c.read_reply(reply));
    ASSERT_TRUE(c.send_message(standin::tds::pkt_sql_batch,
                               sql_batch_body("select db_name() + N'/' + cast(@@trancount as varchar(5)) + N'/' + cast(@@lock_timeout as varchar(5))"),
                               4096, standin::tds::status_reset));
    ASSERT_TRUE(c.read_reply(reply));
    EXPECT_EQ(reply.substr(0, 6), bytes({0xE3, 3, 0, 18, 0, 0}));
    EXPECT_TRUE(contains(reply, utf8_to_utf16le("shop/0/-1"))) << reply;
    // Only the request that asked is acknowledged.
    ASSERT_TRUE(c.send_message(standin::tds::pkt_sql_batch, sql_batch_body("select 1")));
    ASSERT_TRUE(c.read_reply(reply));
    EXPECT_NE(static_cast<unsigned char>(reply[0]), 0xE3);
}

// IGNORE: a request the client gave up sending is not run and is answered
// with one DONE carrying the error bit.
TEST(StandinPacketStatus, IgnoredRequestIsNotRun) {
    standin_process s({{shop_fixture()}, {}});
    raw_tds c(s.port());
    ASSERT_TRUE(c.login("velmora", "quorbin", "shop"));
    std::string reply;
    ASSERT_TRUE(c.send_message(standin::tds::pkt_sql_batch, sql_batch_body("delete from t_item"), 512,
                               standin::tds::status_ignore));
    ASSERT_TRUE(c.read_reply(reply));
    EXPECT_EQ(reply, bytes({0xFD, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(c.send_message(standin::tds::pkt_sql_batch, sql_batch_body("select count(*) from t_item")));
    ASSERT_TRUE(c.read_reply(reply));
    EXPECT_TRUE(contains(reply, bytes({0xD1, 4, 2, 0, 0, 0}))) << "both rows are still there";
    EXPECT_EQ(s.journal_sql(), std::vector<std::string>{"select count(*) from t_item"});
}

// sp_prepare (by number) as tedious sends it: the handle comes back in a
// RETURNVALUE named after the request's @handle.
TEST(StandinRpc, PrepareReturnsTheHandleUnderItsName) {
    standin_process s;
    raw_tds c(s.port());
    ASSERT_TRUE(c.login());
    const std::string coll(reinterpret_cast<const char*>(standin::tds::collation), 5);
    auto nvarchar = [&](const std::string& name, const std::string& text) {
        std::string w = utf8_to_utf16le(text), n = utf8_to_utf16le(name);
        return bytes({static_cast<int>(n.size() / 2)}) + n + bytes({0, 0xE7, 0x40, 0x1F}) + coll +
               bytes({static_cast<int>(w.size()), 0}) + w;
    };
    std::string body = sql_batch_body("") + bytes({0xFF, 0xFF, 11, 0, 0, 0});
    body += bytes({7}) + utf8_to_utf16le("@handle") + bytes({1, 0x26, 4, 0});  // int output, NULL
    body += nvarchar("@params", "@id int") + nvarchar("@stmt", "select @id");
    std::string reply;
    ASSERT_TRUE(c.send_message(standin::tds::pkt_rpc, body));
    ASSERT_TRUE(c.read_reply(reply));
    std::string handle = bytes({0xAC, 0, 0, 7}) + utf8_to_utf16le("@handle") + bytes({1, 0, 0, 0, 0, 1, 0, 0x26, 4, 4});
    EXPECT_TRUE(contains(reply, handle)) << reply;
}

}  // namespace

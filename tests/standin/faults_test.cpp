// Fault injection: --fail, --drop-after, --drop-at, --silent-at and --delay-ms,
// seen by real clients.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "client_tools.h"
#include "odbc_client.h"
#include "raw_tds.h"
#include "support/standin_process.h"

namespace {

using namespace standin_test;
using nlohmann::json;

TEST(StandinFaults, FailRuleReplacesTheMatchingBatch) {
    standin_process s({{shop_fixture()},
                       {"--fail", "p_two=50000:boom", "--fail", "delete\\s+from\\s+t_item=547:The DELETE statement conflicted."}});
    odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();

    auto hit = c.exec("create procedure p_two as select 2");
    EXPECT_FALSE(hit.ok);
    ASSERT_EQ(hit.diags.size(), 1u) << hit.all_text();
    EXPECT_EQ(hit.diags[0].native, 50000);
    EXPECT_NE(hit.diags[0].text.find("boom"), std::string::npos);

    auto second = c.exec("delete   from t_item where item_id = 2");
    EXPECT_TRUE(second.has_error(547)) << second.all_text();
    // Refused, not run.
    EXPECT_EQ(c.exec("select count(*) from t_item where item_id = 2").scalar(), "1");
    EXPECT_TRUE(c.exec("select 1").ok);

    auto lines = s.journal_lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(json::parse(lines[0]).at("sql").get<std::string>(), "create procedure p_two as select 2");
    EXPECT_EQ(json::parse(lines[0]).at("error").get<std::int64_t>(), 50000);
    EXPECT_EQ(json::parse(lines[1]).at("error").get<std::int64_t>(), 547);
    EXPECT_EQ(json::parse(lines[3]).at("error").get<std::int64_t>(), 0);

    // The procedure never came to exist.
    auto dump = json::parse(s.stop_and_dump());
    EXPECT_EQ(dump.at("databases").at("shop").at("objects").size(), 0u) << dump.at("databases").at("shop").dump();
}

TEST(StandinFaults, FailRuleAppliesToPreparedStatementsToo) {
    standin_process s({{shop_fixture()}, {"--fail", "item_id = 2=50001:no pears"}});
    auto r = run_isql(s, "select item_name from t_item where item_id = 2\nselect item_name from t_item where item_id = 1\n",
                      "shop");
    EXPECT_NE((r.out + r.err).find("no pears"), std::string::npos) << r.out << r.err;
    auto lines = s.journal_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(json::parse(lines[0]).at("error").get<std::int64_t>(), 50001);
    EXPECT_EQ(json::parse(lines[1]).at("error").get<std::int64_t>(), 0);
}

// How a test makes the upgrade's backup or its check fail: the batch is
// refused with the rule's error and nothing is written or recorded.
TEST(StandinFaults, FailRuleRefusesBackupAndRestoreBatches) {
    standin_process s({{"demo"},
                       {"--fail", "^BACKUP DATABASE=3201:Cannot open backup device 'v.bak'. Operating system error 5(Access is denied.).",
                        "--fail", "^RESTORE VERIFYONLY=3189:Damage to the backup set was detected."}});
    odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string())) << c.last_text();
    const std::vector<std::pair<std::string, long>> cases = {
        {"BACKUP DATABASE [velmora] TO DISK = N'v.bak' WITH COPY_ONLY , CHECKSUM", 3201},
        {"RESTORE VERIFYONLY FROM DISK = N'v.bak' WITH FILE = 1 , CHECKSUM", 3189},
    };
    for (const auto& [statement, native] : cases) {
        auto r = c.exec(statement);
        EXPECT_FALSE(r.ok) << statement;
        ASSERT_EQ(r.diags.size(), 1u) << r.all_text();
        EXPECT_EQ(r.diags[0].native, native) << statement;
    }
    EXPECT_EQ(c.exec("select count(*) from msdb.dbo.backupset").scalar(), "0");
    auto lines = s.journal_lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(json::parse(lines[0]).at("error").get<std::int64_t>(), 3201);
    EXPECT_EQ(json::parse(lines[1]).at("error").get<std::int64_t>(), 3189);
}

TEST(StandinFaults, DropAfterClosesEachConnectionAtItsNthBatch) {
    standin_process s({{shop_fixture()}, {"--drop-after", "3"}});
    for (int round = 0; round < 2; ++round) {
        odbc_client c;
        ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
        // Transaction requests are not batches: they do not bring the drop nearer.
        ASSERT_TRUE(c.set_autocommit(false));
        ASSERT_TRUE(c.set_autocommit(true));
        EXPECT_TRUE(c.exec("select 1").ok);
        EXPECT_TRUE(c.exec("select 2").ok);
        auto third = c.exec("select 3");
        EXPECT_FALSE(third.ok);
        EXPECT_TRUE(third.results.empty());
        EXPECT_TRUE(link_lost(third.diags)) << third.all_text();
        EXPECT_FALSE(c.exec("select 4").ok);  // the connection is gone for good
    }
    // Dropped batches never ran, so they are not in the journal.
    int batches = 0;
    for (const auto& line : s.journal_lines()) {
        std::string sql = json::parse(line).at("sql").get<std::string>();
        if (sql[0] != '<') ++batches;
        EXPECT_NE(sql, "select 3");
    }
    EXPECT_EQ(batches, 4);
}

TEST(StandinFaults, DelayHoldsEveryReply) {
    standin_process s({{}, {"--delay-ms", "300"}});
    odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string())) << c.last_text();
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(c.exec("select 1").ok);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(300));
}

// A query timeout makes the driver send ATTENTION while the reply is held
// back; the server acknowledges it and the connection stays usable.
TEST(StandinFaults, QueryTimeoutCancelsAndTheConnectionLivesOn) {
    // The delay is far above the timeout so that a loaded machine cannot let the
    // reply win the race.
    standin_process s({{}, {"--delay-ms", "4000"}});
    odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string())) << c.last_text();
    c.set_query_timeout(1);
    auto timed_out = c.exec("select 1");
    EXPECT_FALSE(timed_out.ok);
    EXPECT_TRUE(has_state(timed_out.diags, "HYT00")) << timed_out.all_text();
    c.set_query_timeout(0);
    EXPECT_EQ(c.exec("select 2").scalar(), "2");
    // The cancelled batch never ran.
    auto lines = s.journal_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(json::parse(lines[0]).at("sql").get<std::string>(), "select 2");
}

}  // namespace

namespace {

using namespace standin_test;

bool link_failed(const odbc_outcome& r) { return link_lost(r.diags); }


// Unlike --drop-after, --drop-at counts transaction requests too: here the
// third request is the commit, which never runs.
TEST(StandinFaults, DropAtCountsTransactionRequestsAndCutsTheCommit) {
    standin_process s({{shop_fixture()}, {"--drop-at", "3"}});
    {
        odbc_client c;
        ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
        ASSERT_TRUE(c.set_autocommit(false)) << c.last_text();                                        // 1
        ASSERT_TRUE(c.exec("insert into t_item (item_id, item_name) values (60, N'cut')").ok);        // 2
        EXPECT_FALSE(c.end_transaction(true));                                                        // 3
        EXPECT_TRUE(link_lost(c.last_diags())) << c.last_text();
    }
    EXPECT_EQ(s.journal_sql(), (std::vector<std::string>{"<begin tran>",
                                                        "insert into t_item (item_id, item_name) values (60, N'cut')"}));
    // The server rolled the insert back before it closed the socket.
    odbc_client other;
    ASSERT_TRUE(other.connect(s.odbc_connection_string("shop"))) << other.last_text();
    EXPECT_EQ(other.exec("select count(*) from t_item where item_id = 60").scalar(), "0");
    EXPECT_TRUE(other.exec("insert into t_item (item_id, item_name) values (60, N'again')").ok);
}

// A server that stops answering mid-transaction: the request is neither run
// nor journalled, ATTENTION gets no acknowledgement, the socket stays open,
// and the transaction is rolled back only once the client closes it.
TEST(StandinFaults, SilentAtKeepsTheConnectionOpenAndAnswersNothing) {
    standin_process s({{shop_fixture()}, {"--silent-at", "2"}});
    raw_tds raw(s.port());
    ASSERT_TRUE(raw.login("velmora", "quorbin", "shop"));
    std::string reply;
    ASSERT_TRUE(raw.send_message(standin::tds::pkt_sql_batch,
                                 sql_batch_body("begin tran insert into t_item (item_id, item_name) values (61, N'held')")));
    ASSERT_TRUE(raw.read_reply(reply));
    ASSERT_TRUE(raw.send_message(standin::tds::pkt_sql_batch,
                                 sql_batch_body("insert into t_item (item_id, item_name) values (62, N'never')")));
    EXPECT_FALSE(raw.read_reply(reply, 300));
    ASSERT_TRUE(raw.send_message(standin::tds::pkt_attention, ""));
    EXPECT_FALSE(raw.read_reply(reply, 300));
    EXPECT_FALSE(raw.closed_by_server(100));

    // Every connection goes silent at its second request: one request each.
    auto one_request = [&](const std::string& sql) {
        odbc_client other;
        EXPECT_TRUE(other.connect(s.odbc_connection_string("shop"))) << other.last_text();
        return other.exec(sql);
    };
    EXPECT_EQ(one_request("select count(*) from t_item where item_id in (61, 62)").scalar(), "0");
    raw.close();
    // The open transaction goes once the server sees the close: its row can
    // then be written by others.
    bool inserted = false;
    for (int i = 0; i < 100 && !inserted; ++i) {
        inserted = one_request("set lock_timeout 0 insert into t_item (item_id, item_name) values (61, N'free')").ok;
        if (!inserted) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(inserted);
    for (const auto& sql : s.journal_sql()) EXPECT_EQ(sql.find("never"), std::string::npos) << sql;
}

// Through the real driver: a query timeout against a silent server ends in
// the driver's own time (it gives up waiting for the cancel's
// acknowledgement), and the connection is dead from then on.
TEST(StandinFaults, SilentAtMeetsTheDriversQueryTimeout) {
    standin_process s({{shop_fixture()}, {"--silent-at", "2"}});
    odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
    EXPECT_EQ(c.exec("select 1").scalar(), "1");
    c.set_query_timeout(1);
    auto timed_out = c.exec("select 2");
    EXPECT_FALSE(timed_out.ok);
    EXPECT_TRUE(has_state(timed_out.diags, "HYT00")) << timed_out.all_text();
    EXPECT_TRUE(link_failed(c.exec("select 3")));
    EXPECT_EQ(s.journal_sql(), std::vector<std::string>{"select 1"});
}

// --silent-at 0: the connection is accepted and not even PRELOGIN is answered.
TEST(StandinFaults, SilentFromTheFirstByteFailsTheLoginByTimeout) {
    standin_process s({{shop_fixture()}, {"--silent-at", "0"}});
    {
        raw_tds raw(s.port());
        ASSERT_TRUE(raw.connected());
        ASSERT_TRUE(raw.send_message(standin::tds::pkt_prelogin, std::string("\xFF", 1)));
        std::string reply;
        EXPECT_FALSE(raw.read_reply(reply, 300));
        EXPECT_FALSE(raw.closed_by_server(100));
    }
    odbc_client c;
    c.set_login_timeout(1);
    EXPECT_FALSE(c.connect(s.odbc_connection_string("shop")));
    EXPECT_TRUE(has_state(c.last_diags(), "HYT00")) << c.last_text();
    EXPECT_TRUE(s.running());
    EXPECT_TRUE(s.journal_lines().empty());
}

}  // namespace

// Transactions through the real client stack: ODBC autocommit, explicit
// T-SQL transactions, and connections that end with one open.
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

standin_options shop() { return {{shop_fixture()}, {}}; }

std::string count_of(odbc_client& c, int id) {
    return c.exec("select count(*) from t_item where item_id = " + std::to_string(id)).scalar();
}

TEST(StandinTransactions, AutocommitOffThenCommitKeepsTheWork) {
    standin_process s(shop());
    {
        odbc_client c;
        ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
        ASSERT_TRUE(c.set_autocommit(false)) << c.last_text();
        EXPECT_EQ(c.exec("select @@TRANCOUNT").scalar(), "1");
        ASSERT_TRUE(c.exec("insert into t_item (item_id, item_name) values (10, N'ten')").ok);
        ASSERT_TRUE(c.end_transaction(true)) << c.last_text();
        ASSERT_TRUE(c.set_autocommit(true)) << c.last_text();
        EXPECT_EQ(c.exec("select @@TRANCOUNT").scalar(), "0");
    }
    odbc_client other;
    ASSERT_TRUE(other.connect(s.odbc_connection_string("shop"))) << other.last_text();
    EXPECT_EQ(count_of(other, 10), "1");
}

// Autocommit off before the connection is made (as our session does): the
// driver begins a transaction right after the login.
TEST(StandinTransactions, AutocommitOffBeforeConnecting) {
    standin_process s(shop());
    {
        odbc_client c;
        c.set_autocommit(false);
        ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
        EXPECT_EQ(c.exec("select @@TRANCOUNT").scalar(), "1");
        ASSERT_TRUE(c.exec("insert into t_item (item_id, item_name) values (13, N'x')").ok);
        ASSERT_TRUE(c.end_transaction(true)) << c.last_text();
    }
    auto lines = s.journal_lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(json::parse(lines[0]).at("sql").get<std::string>(), "<begin tran>");
    EXPECT_EQ(json::parse(lines[3]).at("sql").get<std::string>(), "<commit tran>");
    odbc_client other;
    ASSERT_TRUE(other.connect(s.odbc_connection_string("shop")));
    EXPECT_EQ(count_of(other, 13), "1");
}

TEST(StandinTransactions, AutocommitOffThenRollbackUndoesTheWork) {
    standin_process s(shop());
    odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
    ASSERT_TRUE(c.set_autocommit(false));
    ASSERT_TRUE(c.exec("insert into t_item (item_id, item_name) values (11, N'eleven')").ok);
    ASSERT_TRUE(c.exec("update t_item set item_name = N'changed' where item_id = 1").ok);
    EXPECT_EQ(count_of(c, 11), "1");
    ASSERT_TRUE(c.end_transaction(false)) << c.last_text();
    EXPECT_EQ(count_of(c, 11), "0");
    EXPECT_EQ(c.exec("select item_name from t_item where item_id = 1").scalar(), "苹果");
    // Switching autocommit back on leaves no transaction behind.
    ASSERT_TRUE(c.set_autocommit(true));
    EXPECT_EQ(c.exec("select @@TRANCOUNT").scalar(), "0");
    ASSERT_TRUE(c.exec("insert into t_item (item_id, item_name) values (12, N'twelve')").ok);
    odbc_client other;
    ASSERT_TRUE(other.connect(s.odbc_connection_string("shop")));
    EXPECT_EQ(count_of(other, 12), "1");
}

// The session asks for read-uncommitted through the connection attribute;
// the driver turns that into a SET statement the server must accept.
TEST(StandinTransactions, IsolationLevelAttributeIsAccepted) {
    standin_process s(shop());
    odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
    ASSERT_TRUE(c.set_isolation_read_uncommitted()) << c.last_text();
    EXPECT_TRUE(c.exec("select 1").ok);
    auto lines = s.journal_lines();
    ASSERT_FALSE(lines.empty());
    auto first = json::parse(lines[0]);
    EXPECT_NE(first.at("sql").get<std::string>().find("READ UNCOMMITTED"), std::string::npos) << lines[0];
    EXPECT_EQ(first.at("error").get<std::int64_t>(), 0);
}

TEST(StandinTransactions, TsqlTransactionStatementsInBatches) {
    standin_process s(shop());
    odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
    auto committed = c.exec(
        "begin tran\ninsert into t_item (item_id, item_name) values (20, N'a')\n"
        "select @@TRANCOUNT\ncommit");
    ASSERT_TRUE(committed.ok) << committed.all_text();
    EXPECT_EQ(committed.scalar(), "1");
    auto rolled_back = c.exec(
        "begin transaction\ninsert into t_item (item_id, item_name) values (21, N'b')\n"
        "if @@TRANCOUNT > 0 rollback");
    ASSERT_TRUE(rolled_back.ok) << rolled_back.all_text();
    EXPECT_EQ(count_of(c, 20), "1");
    EXPECT_EQ(count_of(c, 21), "0");
    EXPECT_EQ(c.exec("select @@TRANCOUNT").scalar(), "0");
}

// The server must roll back, not the client: the client is gone without a
// word. Polls because the server notices the disconnect on its own time.
TEST(StandinTransactions, VanishedClientsTransactionIsRolledBack) {
    standin_process s(shop());
    {
        raw_tds raw(s.port());
        ASSERT_TRUE(raw.login("velmora", "quorbin", "shop"));
        ASSERT_TRUE(raw.send_message(standin::tds::pkt_sql_batch,
                                     sql_batch_body("begin tran\ninsert into t_item (item_id, item_name) "
                                                    "values (30, N'gone')")));
        std::string reply;
        ASSERT_TRUE(raw.read_reply(reply));
        raw.close();
    }
    odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
    bool inserted = false;
    for (int i = 0; i < 100 && !inserted; ++i) {
        inserted = c.exec("insert into t_item (item_id, item_name) values (30, N'again')").ok;
        if (!inserted) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(inserted);
    EXPECT_EQ(c.exec("select item_name from t_item where item_id = 30").scalar(), "again");
}

TEST(StandinTransactions, OdbcDisconnectWithOpenTransactionLosesTheWork) {
    standin_process s(shop());
    {
        odbc_client c;
        ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
        ASSERT_TRUE(c.set_autocommit(false));
        ASSERT_TRUE(c.exec("insert into t_item (item_id, item_name) values (31, N'x')").ok);
    }
    odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
    std::string count;
    for (int i = 0; i < 100; ++i) {
        count = count_of(c, 31);
        if (count == "0") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(count, "0");
}

// Another connection's open transaction blocks a writer for as long as
// SET LOCK_TIMEOUT says; by default for ever, until the driver's query
// timeout cancels the wait. The connection lives on either way.
TEST(StandinTransactions, WritersWaitAsLockTimeoutSaysAndAQueryTimeoutEndsTheWait) {
    standin_process s(shop());
    odbc_client holder;
    ASSERT_TRUE(holder.connect(s.odbc_connection_string("shop"))) << holder.last_text();
    ASSERT_TRUE(holder.set_autocommit(false));
    ASSERT_TRUE(holder.exec("insert into t_item (item_id, item_name) values (80, N'held')").ok);

    odbc_client waiter;
    ASSERT_TRUE(waiter.connect(s.odbc_connection_string("shop"))) << waiter.last_text();
    auto bounded = waiter.exec("set lock_timeout 200 insert into t_item (item_id, item_name) values (81, N'w')");
    EXPECT_FALSE(bounded.ok);
    ASSERT_FALSE(bounded.diags.empty());
    EXPECT_EQ(bounded.diags[0].native, 1222) << bounded.all_text();
    EXPECT_NE(bounded.diags[0].text.find("Lock request time out period exceeded."), std::string::npos);

    waiter.set_query_timeout(1);
    auto forever = waiter.exec("set lock_timeout -1 insert into t_item (item_id, item_name) values (82, N'w')");
    EXPECT_FALSE(forever.ok);
    EXPECT_TRUE(has_state(forever.diags, "HYT00")) << forever.all_text();
    waiter.set_query_timeout(0);
    EXPECT_EQ(waiter.exec("select @@lock_timeout").scalar(), "-1");

    ASSERT_TRUE(holder.end_transaction(true));
    // The cancelled insert did not wait on and run after the commit.
    EXPECT_EQ(waiter.exec("select count(*) from t_item where item_id in (80, 81, 82)").scalar(), "1");
}

// A client that goes away while its request waits for a lock: the server
// notices, ends the wait, and the request never runs later.
TEST(StandinTransactions, AWaitEndsWhenItsClientDisconnects) {
    standin_process s(shop());
    odbc_client holder;
    ASSERT_TRUE(holder.connect(s.odbc_connection_string("shop"))) << holder.last_text();
    ASSERT_TRUE(holder.set_autocommit(false));
    ASSERT_TRUE(holder.exec("insert into t_item (item_id, item_name) values (83, N'held')").ok);
    {
        raw_tds raw(s.port());
        ASSERT_TRUE(raw.login("velmora", "quorbin", "shop"));
        ASSERT_TRUE(raw.send_message(standin::tds::pkt_sql_batch,
                                     sql_batch_body("insert into t_item (item_id, item_name) values (84, N'gone')")));
        std::string reply;
        EXPECT_FALSE(raw.read_reply(reply, 200));  // waiting
    }
    // The interrupted request is journalled when its wait ends.
    bool ended = false;
    for (int i = 0; i < 200 && !ended; ++i) {
        for (const auto& line : s.journal_lines())
            ended = ended || json::parse(line).at("sql").get<std::string>().find("N'gone'") != std::string::npos;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_TRUE(ended);
    ASSERT_TRUE(holder.end_transaction(true));
    EXPECT_EQ(holder.exec("select count(*) from t_item where item_id in (83, 84)").scalar(), "1");
}

TEST(StandinTransactions, DumpHoldsCommittedData) {
    standin_process s(shop());
    {
        odbc_client c;
        ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
        ASSERT_TRUE(c.exec("insert into t_item (item_id, item_name, price) values (40, N'kept', 2.5)").ok);
        ASSERT_TRUE(c.exec("create table t_new (c1 int null, c2 nvarchar(10) null)").ok);
    }
    auto dump = json::parse(s.stop_and_dump());
    const auto& tables = dump.at("databases").at("shop").at("tables");
    EXPECT_EQ(tables.at("t_new").at("columns").dump(), "[\"c1\",\"c2\"]");
    EXPECT_EQ(tables.at("t_new").at("rows").size(), 0u);
    bool found = false;
    const auto& rows = tables.at("t_item").at("rows");
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i][0].is_number() && rows[i][0].get<std::int64_t>() == 40) {
            found = true;
            EXPECT_EQ(rows[i][1].get<std::string>(), "kept");
        }
    EXPECT_TRUE(found) << rows.dump();
}

}  // namespace

// Replacing procedures and triggers inside a transaction, as the upgrade does
// it: autocommit off, DROP, CREATE, SQLEndTran. The catalog is part of the
// transaction: a rollback, or a connection lost before the commit, leaves the
// old object with its old text and encryption.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>

#include "client_tools.h"
#include "odbc_client.h"
#include "support/standin_process.h"

namespace {

using namespace standin_test;
using nlohmann::json;

const std::string old_proc = "create procedure p_stock with encryption as select 1";
const std::string old_trigger = "create trigger tr_item on t_item with encryption for insert as select 1";

void create_old_objects(const standin_process& s) {
    odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
    ASSERT_TRUE(c.exec(old_proc).ok);
    ASSERT_TRUE(c.exec(old_trigger).ok);
}

// name:IsEncrypted for each of the objects, in one request. With `write` a
// dummy update first needs the database's write lock: no transaction may be
// left behind.
std::string objects_seen(const standin_process& s, bool write = true) {
    odbc_client c;
    if (!c.connect(s.odbc_connection_string("shop"))) return "no connection: " + c.last_text();
    auto r = c.exec(std::string(write ? "set lock_timeout 5000 update t_item set price = price where item_id = 1\n" : "") +
                    "select name + ':' + cast(objectproperty(id, 'IsEncrypted') as varchar(1)) from sysobjects "
                    "where name in ('p_stock', 'tr_item') order by name");
    if (!r.ok || r.results.empty()) return "failed: " + r.all_text();
    std::string out;
    for (const auto& row : r.results[0].rows) out += (out.empty() ? "" : " ") + row[0].value_or("NULL");
    return out;
}

// The stored text of each object in the dump.
std::map<std::string, std::string> definitions(standin_process& s) {
    std::map<std::string, std::string> out;
    auto dump = json::parse(s.stop_and_dump());
    const auto& objects = dump.at("databases").at("shop").at("objects");
    for (std::size_t i = 0; i < objects.size(); ++i)
        out[objects[i].at("name").get<std::string>()] = objects[i].at("definition").get<std::string>();
    return out;
}

TEST(StandinDdlTransactions, FailedReplacementRolledBackKeepsTheOldObjects) {
    standin_process s({{shop_fixture()}, {}});
    create_old_objects(s);
    odbc_client u;
    ASSERT_TRUE(u.connect(s.odbc_connection_string("shop"))) << u.last_text();
    ASSERT_TRUE(u.set_autocommit(false));
    ASSERT_TRUE(u.exec("drop procedure p_stock").ok);
    auto broken = u.exec("create procedure p_stock as select 2 with encryption");
    EXPECT_TRUE(broken.has_error(156)) << broken.all_text();
    ASSERT_TRUE(u.exec("drop trigger tr_item").ok);
    auto orphan = u.exec("create trigger tr_item on t_gone with encryption for insert as select 2");
    EXPECT_TRUE(orphan.has_error(8197)) << orphan.all_text();
    EXPECT_EQ(u.exec("select count(*) from sysobjects where name in ('p_stock', 'tr_item')").scalar(), "0");
    ASSERT_TRUE(u.end_transaction(false)) << u.last_text();

    EXPECT_EQ(objects_seen(s), "p_stock:1 tr_item:1");
    auto help = u.exec("exec sp_helptext 'p_stock'");
    EXPECT_TRUE(help.has_error(15471)) << help.all_text();
    u.disconnect();
    auto defs = definitions(s);
    EXPECT_EQ(defs["p_stock"], old_proc);
    EXPECT_EQ(defs["tr_item"], old_trigger);
}

TEST(StandinDdlTransactions, CommittedReplacementTakesTheNewObjects) {
    standin_process s({{shop_fixture()}, {}});
    create_old_objects(s);
    const std::string new_proc = "create procedure p_stock as select 2";
    const std::string new_trigger = "create trigger tr_item on t_item with encryption for insert, update as select 2";
    {
        odbc_client u;
        ASSERT_TRUE(u.connect(s.odbc_connection_string("shop"))) << u.last_text();
        ASSERT_TRUE(u.set_autocommit(false));
        ASSERT_TRUE(u.exec("drop procedure p_stock").ok);
        ASSERT_TRUE(u.exec(new_proc).ok);
        ASSERT_TRUE(u.exec("drop trigger tr_item").ok);
        ASSERT_TRUE(u.exec(new_trigger).ok);
        // Others still see the old objects until the commit.
        EXPECT_EQ(objects_seen(s, false), "p_stock:1 tr_item:1");
        ASSERT_TRUE(u.end_transaction(true)) << u.last_text();
    }
    EXPECT_EQ(objects_seen(s), "p_stock:0 tr_item:1");
    auto defs = definitions(s);
    EXPECT_EQ(defs["p_stock"], new_proc);
    EXPECT_EQ(defs["tr_item"], new_trigger);
}

// The connection is cut (--drop-at) at each request of the replacement in
// turn: the transaction's begin, the DROP, the CREATE, the commit. Each
// connection first sends a few padding requests so that the cut, always at
// its fourth request, falls on a different step.
TEST(StandinDdlTransactions, ACutAtAnyStepOfTheReplacementKeepsTheOldObject) {
    standin_process s({{shop_fixture()}, {"--drop-at", "4"}});
    create_old_objects(s);
    for (int padding = 0; padding < 4; ++padding) {
        odbc_client u;
        ASSERT_TRUE(u.connect(s.odbc_connection_string("shop"))) << u.last_text();
        for (int i = 0; i < padding; ++i) ASSERT_TRUE(u.exec("select 1").ok);
        bool alive = u.set_autocommit(false);
        alive = alive && u.exec("drop procedure p_stock").ok;
        alive = alive && u.exec("create procedure p_stock as select 3").ok;
        alive = alive && u.end_transaction(true);
        EXPECT_FALSE(alive) << padding;
        EXPECT_EQ(objects_seen(s), "p_stock:1 tr_item:1") << padding;
    }
    // Where the cuts fell: the CREATE ran once (then the commit was cut), the
    // DROP twice, the begin three times, the commit never.
    std::map<std::string, int> ran;
    for (const auto& line : s.journal_lines()) ++ran[json::parse(line).at("sql").get<std::string>()];
    EXPECT_EQ(ran["create procedure p_stock as select 3"], 1);
    EXPECT_EQ(ran["drop procedure p_stock"], 2);
    EXPECT_EQ(ran["<begin tran>"], 3);
    EXPECT_EQ(ran["<commit tran>"], 0);
    EXPECT_EQ(definitions(s)["p_stock"], old_proc);
}

}  // namespace

// Application locks through the real client stack, sent as the upgrade sends
// them: one batch each, the return status selected back.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "client_tools.h"
#include "odbc_client.h"
#include "support/standin_process.h"

namespace {

using namespace standin_test;
using nlohmann::json;

const char* const get_lock =
    "declare @r int exec @r = sp_getapplock @Resource = N'velmora_db_upgrade', @LockMode = 'Exclusive', "
    "@LockOwner = 'Session', @LockTimeout = 0 select @r";
const char* const release_lock =
    "declare @r int exec @r = sp_releaseapplock @Resource = N'velmora_db_upgrade', @LockOwner = 'Session' select @r";

// The one result of a status batch: its single row's single cell.
std::string status_of(const odbc_outcome& r) {
    if (r.results.size() != 1 || r.results[0].rows.size() != 1) return "<" + std::to_string(r.results.size()) + " results>";
    return r.scalar();
}

TEST(StandinApplock, TheUpgradesBatchesFromTwoConnections) {
    standin_process s({{shop_fixture()}, {}});
    odbc_client a, b;
    ASSERT_TRUE(a.connect(s.odbc_connection_string("shop"))) << a.last_text();
    ASSERT_TRUE(b.connect(s.odbc_connection_string("shop"))) << b.last_text();

    auto first = a.exec(get_lock);
    EXPECT_TRUE(first.ok) << first.all_text();
    EXPECT_TRUE(first.diags.empty()) << first.all_text();
    EXPECT_EQ(status_of(first), "0");
    EXPECT_EQ(status_of(b.exec(get_lock)), "-1");
    EXPECT_EQ(status_of(a.exec(release_lock)), "0");
    EXPECT_EQ(status_of(b.exec(get_lock)), "0");

    // Releasing what it does not hold: error 1223 inside the procedure. The
    // status -999 follows on the wire, but the driver reports the batch as
    // failed, and a failed SQLExecDirect leaves no result to fetch.
    auto not_held = a.exec(release_lock);
    EXPECT_FALSE(not_held.ok);
    ASSERT_EQ(not_held.diags.size(), 1u) << not_held.all_text();
    EXPECT_EQ(not_held.diags[0].native, 1223);
    EXPECT_NE(not_held.diags[0].text.find("Cannot release the application lock (Database Principal: 'public', "
                                          "Resource: 'velmora_db_upgrade') because it is not currently held."),
              std::string::npos)
        << not_held.diags[0].text;
    EXPECT_TRUE(not_held.results.empty());

    // The lock goes with its connection.
    b.disconnect();
    std::string status;
    for (int i = 0; i < 100 && status != "0"; ++i) {
        status = status_of(a.exec(get_lock));
        if (status != "0") std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(status, "0");

    auto lines = s.journal_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(json::parse(lines[0]).at("sql").get<std::string>(), get_lock);
}

// With autocommit off the driver's transaction requests own the lock: it
// ends with SQLEndTran, commit or rollback.
TEST(StandinApplock, TransactionOwnedLocksEndWithSqlEndTran) {
    standin_process s({{shop_fixture()}, {}});
    odbc_client a, b;
    ASSERT_TRUE(a.connect(s.odbc_connection_string("shop"))) << a.last_text();
    ASSERT_TRUE(b.connect(s.odbc_connection_string("shop"))) << b.last_text();
    const std::string in_transaction =
        "declare @r int exec @r = sp_getapplock @Resource = N'velmora_db_upgrade', @LockMode = 'Exclusive', "
        "@LockTimeout = 0 select @r";
    auto outside = a.exec(in_transaction);
    EXPECT_EQ(status_of(outside), "-999");
    ASSERT_EQ(outside.diags.size(), 1u) << outside.all_text();
    EXPECT_EQ(outside.diags[0].native, 15626);

    ASSERT_TRUE(a.set_autocommit(false));
    for (bool commit : {true, false}) {
        EXPECT_EQ(status_of(a.exec(in_transaction)), "0");
        EXPECT_EQ(status_of(b.exec(get_lock)), "-1");
        ASSERT_TRUE(a.end_transaction(commit)) << a.last_text();
        EXPECT_EQ(status_of(b.exec(get_lock)), "0") << commit;
        EXPECT_EQ(status_of(b.exec(release_lock)), "0");
    }
}

// A wait for the lock with no time limit ends at the driver's query timeout;
// the cancelled request never takes the lock later.
TEST(StandinApplock, QueryTimeoutEndsAnEndlessWait) {
    standin_process s({{shop_fixture()}, {}});
    odbc_client a, b, c;
    ASSERT_TRUE(a.connect(s.odbc_connection_string("shop"))) << a.last_text();
    ASSERT_TRUE(b.connect(s.odbc_connection_string("shop"))) << b.last_text();
    ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
    EXPECT_EQ(status_of(a.exec(get_lock)), "0");
    b.set_query_timeout(1);
    auto waited = b.exec(
        "declare @r int exec @r = sp_getapplock @Resource = N'velmora_db_upgrade', @LockMode = 'Exclusive', "
        "@LockOwner = 'Session' select @r");  // LOCK_TIMEOUT -1: for ever
    EXPECT_FALSE(waited.ok);
    EXPECT_TRUE(has_state(waited.diags, "HYT00")) << waited.all_text();
    b.set_query_timeout(0);
    EXPECT_EQ(b.exec("select 7").scalar(), "7");
    EXPECT_EQ(status_of(a.exec(release_lock)), "0");
    EXPECT_EQ(status_of(c.exec(get_lock)), "0");
    EXPECT_EQ(status_of(b.exec(get_lock)), "-1");
}

// The name lives in the database current at the call: `db_name()` answers
// it as the server spells it, whatever the login asked for.
TEST(StandinApplock, LocksLiveInTheCurrentDatabase) {
    standin_process s({{shop_fixture()}, {}});
    odbc_client a, b;
    ASSERT_TRUE(a.connect(s.odbc_connection_string("SHOP"))) << a.last_text();
    ASSERT_TRUE(b.connect(s.odbc_connection_string("master"))) << b.last_text();
    EXPECT_EQ(a.exec("select db_name()").scalar(), "shop");
    EXPECT_EQ(status_of(a.exec(get_lock)), "0");
    EXPECT_EQ(status_of(b.exec(get_lock)), "0");
    EXPECT_TRUE(b.exec("use [Shop]").ok);
    EXPECT_EQ(b.exec("select db_name()").scalar(), "shop");
    EXPECT_EQ(status_of(b.exec(get_lock)), "-1");
    // Released only where it was taken.
    EXPECT_TRUE(b.exec(release_lock).has_error(1223));
    EXPECT_EQ(status_of(b.exec("use master " + std::string(release_lock))), "0");
}

}  // namespace

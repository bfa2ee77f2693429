// sp_getapplock / sp_releaseapplock and procedure return statuses, on the
// engine directly.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine_test_support.h"

using namespace engine_test;

namespace {

std::string get_lock(const std::string& mode, const std::string& owner, const std::string& timeout,
                     const std::string& resource = "velmora_db_upgrade") {
    std::string sql = "declare @r int exec @r = sp_getapplock @Resource = N'" + resource + "', @LockMode = '" + mode + "'";
    if (!owner.empty()) sql += ", @LockOwner = '" + owner + "'";
    if (!timeout.empty()) sql += ", @LockTimeout = " + timeout;
    return sql + " select @r";
}

std::string release_lock(const std::string& owner, const std::string& resource = "velmora_db_upgrade") {
    return "declare @r int exec @r = sp_releaseapplock @Resource = N'" + resource + "', @LockOwner = '" + owner +
           "' select @r";
}

// The batches the upgrade sends, from two connections, in two databases.
using applock_two_sessions = two_sessions;

TEST_F(applock_two_sessions, session_locks_are_per_database_and_held_until_released) {
    const std::string get = get_lock("Exclusive", "Session", "0");
    EXPECT_EQ(a.query(get), std::vector<std::string>{"0"});
    EXPECT_EQ(b.query(get), std::vector<std::string>{"-1"});
    session other_db(demo.eng, "BrenHolt");
    EXPECT_EQ(other_db.query(get), std::vector<std::string>{"0"});
    // Commit and rollback leave a session's lock alone.
    a.run("begin tran commit");
    a.run("begin tran rollback");
    EXPECT_EQ(b.query(get), std::vector<std::string>{"-1"});
    EXPECT_EQ(a.query(release_lock("Session")), std::vector<std::string>{"0"});
    EXPECT_EQ(b.query(get), std::vector<std::string>{"0"});

    auto r = a.run(release_lock("Session"));
    ASSERT_EQ(errors(r), std::vector<int>{1223});
    auto m = messages(r)[0];
    EXPECT_EQ(m.text, "Cannot release the application lock (Database Principal: 'public', Resource: "
                      "'velmora_db_upgrade') because it is not currently held.");
    EXPECT_EQ(m.severity, 16);
    EXPECT_EQ(m.state, 1);
    EXPECT_EQ(m.procedure, "xp_userlock");
    EXPECT_EQ(rows(r), std::vector<std::string>{"-999"});
    EXPECT_EQ(a.scalar("select @@error"), "0");

    // A connection that goes away lets go of its locks.
    b.conn.reset();
    EXPECT_EQ(a.query(get), std::vector<std::string>{"0"});
}

// APPLOCK_TEST says whether a request would be granted now and takes nothing.
TEST_F(applock_two_sessions, applock_test_tells_without_taking) {
    const std::string test = "select APPLOCK_TEST('public', N'velmora_db_upgrade', 'Exclusive', 'Session')";
    EXPECT_EQ(b.scalar(test), "1");
    EXPECT_EQ(a.query(get_lock("Shared", "Session", "0")), std::vector<std::string>{"0"});  // b's test took nothing
    EXPECT_EQ(b.scalar(test), "0");
    EXPECT_EQ(a.scalar(test), "1");  // a session's own lock does not stand in its way
    EXPECT_EQ(b.scalar("select APPLOCK_TEST('public', N'velmora_db_upgrade', 'Shared', 'Session')"), "1");
    session other_db(demo.eng, "BrenHolt");
    EXPECT_EQ(other_db.scalar(test), "1");
    EXPECT_EQ(b.scalar("select APPLOCK_TEST('public', N'velmora_db_upgrade', 'Sole', 'Session')"), "NULL");
}

TEST_F(applock_two_sessions, references_count_and_modes_add_up) {
    EXPECT_EQ(a.query(get_lock("Shared", "Session", "0")), std::vector<std::string>{"0"});
    EXPECT_EQ(b.query(get_lock("Shared", "Session", "0")), std::vector<std::string>{"0"});
    EXPECT_EQ(b.query(release_lock("Session")), std::vector<std::string>{"0"});
    EXPECT_EQ(a.query(get_lock("Shared", "Session", "0")), std::vector<std::string>{"0"});
    EXPECT_EQ(a.query(get_lock("Exclusive", "Session", "0")), std::vector<std::string>{"0"});
    // Two of three references released: still held, and still exclusive.
    EXPECT_EQ(a.query(release_lock("Session")), std::vector<std::string>{"0"});
    EXPECT_EQ(a.query(release_lock("Session")), std::vector<std::string>{"0"});
    EXPECT_EQ(b.query(get_lock("Shared", "Session", "0")), std::vector<std::string>{"-1"});
    EXPECT_EQ(a.query(release_lock("Session")), std::vector<std::string>{"0"});
    EXPECT_EQ(b.query(get_lock("Shared", "Session", "0")), std::vector<std::string>{"0"});
    // Names compare case-sensitively; modes and owners do not.
    EXPECT_EQ(a.query(get_lock("exclusive", "session", "0", "VELMORA_DB_UPGRADE")), std::vector<std::string>{"0"});
    EXPECT_EQ(b.query(get_lock("update", "SESSION", "0")), std::vector<std::string>{"0"});
    EXPECT_EQ(a.query(get_lock("Update", "Session", "0")), std::vector<std::string>{"-1"});
    EXPECT_EQ(a.query(get_lock("IntentShared", "Session", "0")), std::vector<std::string>{"0"});
}

TEST_F(applock_two_sessions, transaction_locks_end_with_the_transaction) {
    // Transaction is the default owner, and needs a transaction.
    auto r = a.run(get_lock("Exclusive", "", "0"));
    EXPECT_EQ(r.first_error, 0);
    auto m = messages(r);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].number, 15626);
    EXPECT_FALSE(m[0].is_error());
    EXPECT_EQ(m[0].text, "You attempted to acquire a transactional application lock without an active transaction.");
    EXPECT_EQ(m[0].procedure, "sp_getapplock");
    EXPECT_EQ(rows(r), std::vector<std::string>{"-999"});
    r = a.run(release_lock("Transaction"));
    EXPECT_EQ(errors(r), std::vector<int>{3918});
    EXPECT_EQ(rows(r), std::vector<std::string>{"-999"});

    for (const char* end : {"commit", "rollback"}) {
        a.run("begin tran");
        EXPECT_EQ(a.query(get_lock("Exclusive", "Transaction", "0")), std::vector<std::string>{"0"});
        EXPECT_EQ(b.query(get_lock("Exclusive", "Session", "0")), std::vector<std::string>{"-1"});
        a.run(end);
        EXPECT_EQ(b.query(get_lock("Exclusive", "Session", "0")), std::vector<std::string>{"0"}) << end;
        EXPECT_EQ(b.query(release_lock("Session")), std::vector<std::string>{"0"});
    }
    // The transaction manager's commit ends them too, and a session's own
    // transaction and session locks never block each other.
    a.conn->begin_transaction("");
    EXPECT_EQ(a.query(get_lock("Exclusive", "Transaction", "0")), std::vector<std::string>{"0"});
    EXPECT_EQ(a.query(get_lock("Exclusive", "Session", "0")), std::vector<std::string>{"0"});
    a.conn->commit_transaction(false);
    EXPECT_EQ(b.query(get_lock("Shared", "Session", "0")), std::vector<std::string>{"-1"});  // the session's stays
    EXPECT_EQ(a.query(release_lock("Session")), std::vector<std::string>{"0"});
    EXPECT_EQ(b.query(get_lock("Shared", "Session", "0")), std::vector<std::string>{"0"});
}

TEST_F(applock_two_sessions, waits_follow_the_timeout_and_end_when_interrupted) {
    EXPECT_EQ(a.query(get_lock("Exclusive", "Session", "0")), std::vector<std::string>{"0"});
    EXPECT_EQ(b.query(get_lock("Shared", "Session", "50")), std::vector<std::string>{"-1"});
    // Without @LockTimeout the session's LOCK_TIMEOUT applies.
    EXPECT_EQ(b.query("set lock_timeout 50 " + get_lock("Shared", "Session", "")), std::vector<std::string>{"-1"});

    // Granted after a wait: 1.
    std::vector<std::string> waited;
    std::thread waiter([&] { waited = b.query(get_lock("Shared", "Session", "-1")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    a.run(release_lock("Session"));
    waiter.join();
    EXPECT_EQ(waited, std::vector<std::string>{"1"});

    // An endless wait ends when the client goes away, and leaves nothing queued.
    std::atomic<bool> gone{false};
    a.conn->set_interrupt_check([&] { return gone.load(); });
    standin::batch_reply br;
    std::thread stuck([&] { br = a.run("set lock_timeout -1 " + get_lock("Exclusive", "Session", "") + " select 2"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    gone = true;
    stuck.join();
    EXPECT_TRUE(br.interrupted);
    EXPECT_TRUE(results(br).empty());
    session c(demo.eng, "velmora");
    EXPECT_EQ(c.query(get_lock("Shared", "Session", "0")), std::vector<std::string>{"0"});
}

TEST(applock, arguments_are_checked_as_sql_server_checks_them) {
    demo_engine demo;
    session a(demo.eng, "velmora");
    auto r = a.run("declare @r int exec @r = sp_getapplock N'x', 'Bogus', 'Session', 0 select @r");
    ASSERT_EQ(messages(r).size(), 1u);
    EXPECT_EQ(messages(r)[0].number, 15625);
    EXPECT_EQ(messages(r)[0].text, "Option 'Bogus' not recognized for '@LockMode' parameter.");
    EXPECT_EQ(rows(r), std::vector<std::string>{"-999"});
    r = a.run("declare @r int exec @r = sp_getapplock N'x', 'Shared', 'Nobody' select @r");
    EXPECT_EQ(messages(r).at(0).text, "Option 'Nobody' not recognized for '@LockOwner' parameter.");
    r = a.run("declare @r int exec @r = sp_releaseapplock @Resource = N'x', @LockOwner = NULL select @r");
    EXPECT_EQ(messages(r).at(0).text, "Option '(null)' not recognized for '@LockOwner' parameter.");
    EXPECT_EQ(rows(r), std::vector<std::string>{"-999"});

    EXPECT_EQ(errors(a.run(get_lock("Shared", "Session", "-5"))), std::vector<int>{1227});
    EXPECT_EQ(errors(a.run("exec sp_getapplock @Resource = NULL, @LockMode = 'Shared', @LockOwner = 'Session'")),
              std::vector<int>{1224});
    EXPECT_EQ(errors(a.run("exec sp_getapplock @Resource = N'x', @LockOwner = 'Session'")), std::vector<int>{201});
    EXPECT_EQ(errors(a.run("exec sp_getapplock @Resource = N'x', @Mode = 'Shared'")), std::vector<int>{8145});
    EXPECT_EQ(errors(a.run("exec sp_getapplock @Resource = N'x', 'Shared'")), std::vector<int>{119});
    EXPECT_EQ(errors(a.run("exec sp_releaseapplock N'x', 'Session', 'public', 4")), std::vector<int>{8144});
    EXPECT_EQ(errors(a.run("exec sp_getapplock N'x', 'Shared', 'Session', 0, 'nobody'")), std::vector<int>{1202});
    // A timeout that does not convert stops the call: no status is assigned.
    r = a.run("declare @r int exec @r = sp_getapplock N'x', 'Shared', 'Session', 'soon' select isnull(@r, 99)");
    EXPECT_EQ(errors(r), std::vector<int>{8114});
    EXPECT_EQ(rows(r), std::vector<std::string>{"99"});
    EXPECT_EQ(errors(a.run("exec @nope = sp_getapplock N'x', 'Shared', 'Session', 0")), std::vector<int>{137});

    // Positional arguments, variables, DEFAULT, and a status in a text variable.
    r = a.run("declare @r varchar(10), @res nvarchar(255), @t int\n"
              "set @res = N'v' set @t = 0\n"
              "exec @r = dbo.sp_getapplock @res, 'Shared', 'Session', @t, DEFAULT\n"
              "select @r + '!'");
    EXPECT_EQ(rows(r), std::vector<std::string>{"0!"});
    EXPECT_EQ(a.query("declare @r int exec @r = sp_releaseapplock N'v', 'Session' select @r"), std::vector<std::string>{"0"});
}

TEST(procedure_status, return_values_reach_the_exec_variable) {
    demo_engine demo;
    session s(demo.eng, "velmora");
    ASSERT_EQ(s.run("create procedure p_twice @a int = 3 as if @a > 0 return @a * 2 return -1").first_error, 0);
    ASSERT_EQ(s.run("create procedure p_plain as select 1").first_error, 0);
    ASSERT_EQ(s.run("create procedure p_outer as exec p_twice 5").first_error, 0);
    EXPECT_EQ(s.query("declare @r int exec @r = p_twice 5 select @r"), std::vector<std::string>{"10"});
    EXPECT_EQ(s.query("declare @r int exec @r = p_twice @a = 0 select @r"), std::vector<std::string>{"-1"});
    EXPECT_EQ(s.query("declare @r int exec @r = p_twice DEFAULT select @r"), std::vector<std::string>{"6"});
    EXPECT_EQ(s.query("declare @r int exec @r = p_plain select @r"), std::vector<std::string>{"0"});
    // The inner procedure's status is not the outer one's.
    EXPECT_EQ(s.query("declare @r int exec @r = p_outer select @r"), std::vector<std::string>{"0"});
}

}  // namespace

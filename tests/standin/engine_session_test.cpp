// Logins, transactions, several connections at once, fixtures and the dump.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <atomic>
#include <chrono>
#include <thread>

#include "engine_test_support.h"

using namespace engine_test;
using standin::transaction_changed;

namespace {

std::vector<transaction_changed::what> tran_changes(const standin::batch_reply& r) {
    std::vector<transaction_changed::what> out;
    for (const auto& i : r.items)
        if (auto* t = std::get_if<transaction_changed>(&i)) out.push_back(t->change);
    return out;
}

TEST(engine_login, checks_user_password_and_database) {
    demo_engine demo;
    auto bad = demo.eng.login("velmora", "wrong", "");
    ASSERT_FALSE(bad.conn);
    ASSERT_TRUE(bad.error);
    EXPECT_EQ(bad.error->number, 18456);
    EXPECT_EQ(bad.error->state, 1);
    EXPECT_EQ(bad.error->severity, 14);
    EXPECT_EQ(bad.error->text, "Login failed for user 'velmora'.");
    EXPECT_EQ(demo.eng.login("nobody", "quorbin", "").error->text, "Login failed for user 'nobody'.");

    auto nodb = demo.eng.login("velmora", "quorbin", "nosuch");
    ASSERT_FALSE(nodb.conn);
    EXPECT_EQ(nodb.error->number, 4060);
    EXPECT_EQ(nodb.error->text, "Cannot open database \"nosuch\" requested by the login. The login failed.");

    auto dflt = demo.eng.login("velmora", "quorbin", "");
    ASSERT_TRUE(dflt.conn);
    EXPECT_EQ(dflt.database, "master");
    auto anycase = demo.eng.login("velmora", "quorbin", "BRENHOLT");
    ASSERT_TRUE(anycase.conn);
    EXPECT_EQ(anycase.database, "BrenHolt");
    EXPECT_EQ(anycase.conn->current_database(), "BrenHolt");
}

TEST(engine_transactions, rollback_undoes_rows_and_objects) {
    demo_engine demo;
    session s(demo.eng, "velmora");
    auto r = s.run("begin tran\ninsert into t_sys_system (sys_var_id) values ('T1')\ncreate procedure_placeholder");
    EXPECT_EQ(s.conn->trancount(), 0);  // the syntax error stopped the batch before BEGIN ran

    r = s.run("BEGIN TRANSACTION\ninsert into t_sys_system (sys_var_id) values ('T1')\ncreate table t_new (a int)");
    EXPECT_EQ(r.first_error, 0);
    EXPECT_EQ(tran_changes(r), std::vector<transaction_changed::what>{transaction_changed::what::begun});
    EXPECT_EQ(s.conn->trancount(), 1);
    EXPECT_NE(s.conn->transaction_descriptor(), 0u);
    ASSERT_EQ(s.run("create procedure p_in_tran as select 1").first_error, 0);
    EXPECT_EQ(s.scalar("select @@trancount"), "1");
    r = s.run("IF @@TRANCOUNT > 0 ROLLBACK");
    EXPECT_EQ(tran_changes(r), std::vector<transaction_changed::what>{transaction_changed::what::rolled_back});
    EXPECT_EQ(s.conn->trancount(), 0);
    EXPECT_EQ(s.scalar("select count(*) from sysobjects where name in ('t_new', 'p_in_tran')"), "0");
    EXPECT_EQ(s.scalar("select count(*) from t_sys_system where sys_var_id = 'T1'"), "0");

    s.run("begin tran insert into t_sys_system (sys_var_id) values ('T2') begin tran");
    EXPECT_EQ(s.conn->trancount(), 2);
    r = s.run("commit");
    EXPECT_TRUE(tran_changes(r).empty());  // only the outermost commit ends it
    r = s.run("IF @@TRANCOUNT > 0 COMMIT");
    EXPECT_EQ(tran_changes(r), std::vector<transaction_changed::what>{transaction_changed::what::committed});
    EXPECT_EQ(s.scalar("select count(*) from t_sys_system where sys_var_id = 'T2'"), "1");

    r = s.run("commit");
    EXPECT_EQ(errors(r), std::vector<int>{3902});
    EXPECT_EQ(errors(s.run("rollback tran")), std::vector<int>{3903});
}

TEST(engine_transactions, transaction_manager_requests_and_errors_inside_a_transaction) {
    demo_engine demo;
    session s(demo.eng, "velmora");
    auto r = s.conn->begin_transaction("");
    EXPECT_EQ(tran_changes(r), std::vector<transaction_changed::what>{transaction_changed::what::begun});
    s.run("insert into t_sys_system (sys_var_id) values ('TM1')");
    // A statement error leaves the transaction open and its earlier work in it.
    EXPECT_EQ(errors(s.run("insert into t_sys_system (sys_var_id) values ('TM1')")), std::vector<int>{2627});
    EXPECT_EQ(s.conn->trancount(), 1);
    r = s.conn->commit_transaction(true);
    EXPECT_EQ(tran_changes(r), (std::vector<transaction_changed::what>{transaction_changed::what::committed,
                                                                       transaction_changed::what::begun}));
    s.run("insert into t_sys_system (sys_var_id) values ('TM2')");
    r = s.conn->rollback_transaction("", false);
    EXPECT_EQ(tran_changes(r), std::vector<transaction_changed::what>{transaction_changed::what::rolled_back});
    EXPECT_EQ(s.query("select sys_var_id from t_sys_system where sys_var_id like 'TM%'"), std::vector<std::string>{"TM1"});
    EXPECT_EQ(errors(s.conn->commit_transaction(false)), std::vector<int>{3902});
    EXPECT_EQ(errors(s.run("begin tran create database d_in_tran")), std::vector<int>{226});
    s.run("rollback");
    // A conversion failure ends the batch and rolls the transaction back.
    s.run("begin tran insert into t_sys_system (sys_var_id) values ('TM3')");
    r = s.run("insert into t_wm_sheet_detail (sheet_no, line_no, item_no) values ('x', 'one', 'y')\nselect 1");
    EXPECT_EQ(errors(r), std::vector<int>{245});
    EXPECT_TRUE(results(r).empty());
    EXPECT_EQ(s.conn->trancount(), 0);
    EXPECT_EQ(s.scalar("select count(*) from t_sys_system where sys_var_id = 'TM3'"), "0");
}

using transactions_two_sessions = two_sessions;

TEST_F(transactions_two_sessions, open_work_is_invisible_to_others_and_lost_on_disconnect) {
    a.run("begin tran insert into t_sys_system (sys_var_id) values ('A1')");
    EXPECT_EQ(b.scalar("select count(*) from t_sys_system where sys_var_id = 'A1'"), "0");
    EXPECT_EQ(b.scalar("select @@trancount"), "0");
    a.conn.reset();  // the client vanished
    session c(demo.eng, "velmora");
    EXPECT_EQ(c.scalar("select count(*) from t_sys_system where sys_var_id = 'A1'"), "0");
    EXPECT_EQ(c.run("insert into t_sys_system (sys_var_id) values ('A1')").first_error, 0);
    EXPECT_EQ(b.scalar("select count(*) from t_sys_system where sys_var_id = 'A1'"), "1");
    // The database context is per connection.
    b.run("use BrenHolt");
    EXPECT_EQ(c.conn->current_database(), "velmora");
}

TEST_F(transactions_two_sessions, a_writer_waits_for_another_connections_transaction) {
    a.run("begin tran insert into t_sys_system (sys_var_id) values ('W1')");
    standin::batch_reply br;
    std::thread writer([&] { br = b.run("insert into t_sys_system (sys_var_id) values ('W2')"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Readers are not blocked meanwhile.
    session c(demo.eng, "velmora");
    EXPECT_EQ(c.scalar("select count(*) from t_sys_system where sys_var_id like 'W%'"), "0");
    a.run("commit");
    writer.join();
    EXPECT_EQ(br.first_error, 0);
    EXPECT_EQ(c.query("select sys_var_id from t_sys_system where sys_var_id like 'W%'"), (std::vector<std::string>{"W1", "W2"}));
}

TEST_F(transactions_two_sessions, lock_timeout_bounds_the_wait_and_ends_only_the_statement) {
    EXPECT_EQ(b.scalar("select @@lock_timeout"), "-1");  // SQL Server's default: wait for ever
    a.run("begin tran insert into t_sys_system (sys_var_id) values ('L1')");

    auto r = b.run("set lock_timeout 0\ninsert into t_sys_system (sys_var_id) values ('L2')\nselect @@lock_timeout");
    ASSERT_EQ(errors(r), std::vector<int>{1222});
    auto m = messages(r)[0];
    EXPECT_EQ(m.text, "Lock request time out period exceeded.");
    EXPECT_EQ(m.severity, 16);
    EXPECT_EQ(m.line, 2);
    EXPECT_EQ(rows(r), std::vector<std::string>{"0"});  // the batch went on

    // A bounded wait that runs out; the setting stays with the connection.
    r = b.run("set lock_timeout 150");
    r = b.run("insert into t_sys_system (sys_var_id) values ('L2')");
    EXPECT_EQ(errors(r), std::vector<int>{1222});
    EXPECT_EQ(b.scalar("select @@lock_timeout"), "150");
    EXPECT_EQ(b.run("declare @t int = -1 set lock_timeout @t").first_error, 0);
    EXPECT_EQ(b.scalar("select @@lock_timeout"), "-1");
    EXPECT_EQ(errors(b.run("set lock_timeout abc")), std::vector<int>{102});

    a.run("commit");
    EXPECT_EQ(b.scalar("select count(*) from t_sys_system where sys_var_id in ('L1', 'L2')"), "1");
}

TEST_F(transactions_two_sessions, an_interrupted_wait_ends_the_request_and_keeps_the_connection) {
    a.run("begin tran insert into t_sys_system (sys_var_id) values ('I1')");
    std::atomic<bool> cancel{false};
    std::atomic<int> asked{0};
    b.conn->set_interrupt_check([&] {
        ++asked;
        return cancel.load();
    });
    b.run("begin tran");
    standin::batch_reply br;
    std::thread waiter([&] { br = b.run("insert into t_sys_system (sys_var_id) values ('I2')\nselect 1"); });
    while (asked.load() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    cancel = true;
    waiter.join();
    EXPECT_TRUE(br.interrupted);
    EXPECT_TRUE(results(br).empty());  // nothing after the wait ran
    EXPECT_EQ(b.conn->trancount(), 1);  // the transaction stays, as after a cancelled statement
    cancel = false;
    a.run("commit");
    b.run("commit");
    EXPECT_EQ(b.scalar("select count(*) from t_sys_system where sys_var_id in ('I1', 'I2')"), "1");
}

TEST(engine_transactions, many_connections_write_at_once) {
    demo_engine demo;
    { session s(demo.eng, "velmora"); s.run("create table t_load (k int not null primary key, who int)"); }
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            session s(demo.eng, "velmora");
            for (int i = 0; i < 50; ++i) {
                std::string k = std::to_string(t * 1000 + i);
                if (s.run("begin tran insert into t_load values (" + k + ", " + std::to_string(t) + ") commit").first_error) ++failures[static_cast<std::size_t>(t)];
                if (s.run("select count(*) from t_load where who = " + std::to_string(t)).first_error) ++failures[static_cast<std::size_t>(t)];
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
    session s(demo.eng, "velmora");
    EXPECT_EQ(s.scalar("select count(*) from t_load"), "200");
}

TEST(engine_fixture, runs_go_separated_batches_and_reports_the_first_failure) {
    standin::engine eng(default_logins());
    std::string path = ::testing::TempDir() + "engine_fixture_test.sql";
    {
        std::ofstream f(path, std::ios::binary);
        f << "create database f1\r\ngo\r\nuse f1\r\n  GO  \r\ncreate table t (a int)\r\ninsert t values (1)\r\nGO\r\nselect * from nosuch\r\nGO\r\n";
    }
    std::string error;
    EXPECT_FALSE(eng.run_fixture(path, error));
    EXPECT_NE(error.find("208"), std::string::npos) << error;
    EXPECT_NE(error.find("line 8"), std::string::npos) << error;
    session s(eng, "f1");
    EXPECT_EQ(s.scalar("select a from t"), "1");
    EXPECT_FALSE(eng.run_fixture(path + ".missing", error));
    std::remove(path.c_str());
}

TEST(engine_fixture, dump_lists_tables_rows_and_objects) {
    standin::engine eng(default_logins());
    session s(eng);
    s.run("create database d1");
    s.run("use d1");
    s.run("create table t (k varchar(10) not null primary key, n int null, x numeric(6,2) null)");
    s.run("insert into t values ('b', null, 1.5) insert into t values ('a', 2, null)");
    s.run("insert into t values ('q\"\\', 3, 0)");
    s.run("create trigger tr on t for insert as select 1");
    std::string d = eng.dump_json();
    EXPECT_NE(d.find("\"d1\":{\"tables\":{\"t\":{\"columns\":[\"k\",\"n\",\"x\"],\"rows\":[[\"a\",2,null],[\"b\",null,1.5],[\"q\\\"\\\\\",3,0]]}},"
                     "\"objects\":[{\"name\":\"tr\",\"type\":\"TR\",\"table\":\"t\",\"encrypted\":false,\"definition\":\"create trigger tr on t for insert as select 1\"}]}"),
              std::string::npos)
        << d;
    EXPECT_EQ(d.rfind("{\"databases\":{\"master\":", 0), 0u) << d;
}

}  // namespace

namespace {

TEST(engine_transactions, one_transaction_spans_the_databases_it_touches) {
    demo_engine demo;
    session s(demo.eng, "velmora");
    s.run("begin tran\ninsert into t_sys_system (sys_var_id) values ('X1')\nuse BrenHolt\ninsert into t_sys_system (sys_var_id) values ('X2')");
    EXPECT_EQ(s.conn->trancount(), 1);
    s.run("rollback");
    EXPECT_EQ(s.scalar("select count(*) from t_sys_system where sys_var_id like 'X%'"), "0");
    s.run("use velmora");
    EXPECT_EQ(s.scalar("select count(*) from t_sys_system where sys_var_id like 'X%'"), "0");
    EXPECT_EQ(s.conn->current_database(), "velmora");
}

TEST(engine_databases, creation_names_and_catalog) {
    demo_engine demo;
    session s(demo.eng);
    EXPECT_EQ(s.query("select name from sysdatabases order by dbid"), (std::vector<std::string>{"master", "velmora", "BrenHolt"}));
    auto r = s.run("create database VELMORA");
    ASSERT_EQ(errors(r), std::vector<int>{1801});
    EXPECT_EQ(messages(r)[0].text, "Database 'VELMORA' already exists. Choose a different database name.");
    EXPECT_EQ(s.run("create database [shop two]").first_error, 0);
    EXPECT_EQ(s.run("use [shop two]").first_error, 0);
    EXPECT_EQ(s.scalar("select db_name() + '|' + cast(db_id() as varchar(5))"), "shop two|7");
    EXPECT_EQ(s.scalar("select count(*) from sysobjects"), "0");
    auto l = demo.eng.login("velmora", "quorbin", "Shop Two");
    ASSERT_TRUE(l.conn);
    EXPECT_EQ(l.database, "shop two");

    // sp_executesql called through another database runs its batch there,
    // with variables of its own, and the caller's database stays current.
    s.run("use velmora");
    EXPECT_EQ(s.scalar("exec [shop two].dbo.sp_executesql N'select db_name() + ''|'' + cast(count(*) as varchar(5)) "
                       "from sysobjects'"),
              "shop two|0");
    EXPECT_EQ(s.scalar("declare @v int set @v = 1 exec brenholt.dbo.sp_executesql N'declare @v int set @v = 2' "
                       "select @v"),
              "1");
    // An error ends the inner batch only.
    auto nested = s.run("exec brenholt.dbo.sp_executesql N'select db_name() select 1 from nosuch select 2' "
                        "select db_name()");
    EXPECT_EQ(errors(nested), std::vector<int>{208});
    EXPECT_EQ(rows(nested), std::vector<std::string>{"velmora"});
    EXPECT_EQ(errors(s.run("exec nosuch.dbo.sp_executesql N'select 1'")), std::vector<int>{911});
}

}  // namespace

namespace {

using namespace engine_test;
using standin::column_type;

// SAVE TRAN and ROLLBACK TRAN name, in batches and as the transaction
// manager's requests: back to the savepoint, the transaction going on.
TEST(engine_transactions, savepoints_undo_only_what_followed_them) {
    demo_engine demo;
    session s(demo.eng, "velmora");
    s.query("begin tran outer_tran insert into t_sys_system (sys_var_id) values ('SP1') save tran sp "
            "insert into t_sys_system (sys_var_id) values ('SP2') rollback tran sp");
    EXPECT_EQ(s.scalar("select @@trancount"), "1");
    EXPECT_EQ(s.query("select sys_var_id from t_sys_system where sys_var_id like 'SP%'"),
              std::vector<std::string>{"SP1"});
    EXPECT_EQ(errors(s.run("rollback tran nowhere")), std::vector<int>{6401});
    EXPECT_EQ(s.conn->trancount(), 1);
    EXPECT_EQ(s.conn->save_transaction("by_request").first_error, 0);
    s.run("use BrenHolt create table t_late (k int)");  // a database the savepoint never saw
    EXPECT_EQ(s.conn->rollback_transaction("by_request", false).first_error, 0);
    EXPECT_EQ(errors(s.run("select * from t_late")), std::vector<int>{208});
    s.run("use velmora");
    EXPECT_EQ(s.conn->rollback_transaction("outer_tran", false).first_error, 0);
    EXPECT_EQ(s.conn->trancount(), 0);
    EXPECT_EQ(s.scalar("select count(*) from t_sys_system where sys_var_id like 'SP%'"), "0");
    EXPECT_EQ(errors(s.conn->save_transaction("x")), std::vector<int>{628});
}

// What a client's RESETCONNECTION leaves: the login's database, no
// transaction, the default options, no session locks.
TEST(engine_transactions, reset_returns_to_the_state_of_a_fresh_login) {
    demo_engine demo;
    session s(demo.eng, "velmora");
    session other(demo.eng, "velmora");
    s.query("use BrenHolt set nocount on set lock_timeout 5 begin tran "
            "declare @r int exec @r = sp_getapplock 'res', 'Exclusive', 'Session' select @r");
    s.conn->reset(false);
    EXPECT_EQ(s.conn->current_database(), "velmora");
    EXPECT_EQ(s.conn->trancount(), 0);
    EXPECT_EQ(s.scalar("select @@lock_timeout"), "-1");
    EXPECT_EQ(other.scalar("declare @r int exec @r = sp_getapplock 'res', 'Exclusive', 'Session', 0 select @r"), "0");
    s.query("begin tran declare @r int exec @r = sp_getapplock 'tres', 'Exclusive' select @r");
    s.conn->reset(true);  // RESETCONNECTIONSKIPTRAN keeps the transaction and what it holds
    EXPECT_EQ(s.conn->trancount(), 1);
    EXPECT_EQ(other.scalar("declare @r int exec @r = sp_getapplock 'tres', 'Exclusive', 'Session', 0 select @r"), "-1");
}

TEST(engine_tsql, replicate_stops_where_its_type_does) {
    demo_engine demo;
    session s(demo.eng, "velmora");
    EXPECT_EQ(s.scalar("select len(replicate(N'数', 5000))"), "4000");
    EXPECT_EQ(s.scalar("select datalength(replicate('数', 5000))"), "8000");
    EXPECT_EQ(s.scalar("select len(replicate('ab', 5000))"), "8000");
    EXPECT_EQ(s.scalar("select len(replicate(cast(N'数' as nvarchar(max)), 5000))"), "5000");
}

// Result columns carry the declared type of what they select: a column,
// a variable, a CAST, a literal; what the engine computes keeps the loose
// description (integer, float or text sized by the values).
TEST(engine_tsql, result_columns_carry_their_declared_types) {
    demo_engine demo;
    session s(demo.eng, "velmora");
    s.query("create table t_types (v varchar(10), c char(3), n nvarchar(max), p numeric(16,4), m money, "
            "d datetime, b bit, day date, sm smallint)");
    auto rs = results(s.run("declare @x decimal(5,2) select v, c, n, p, m, d, b, day, sm, @x, cast(1 as bigint), "
                            "N'物流', 'ab', 1.50, 7, isnull(max(v), '0'), count(*), 1 + 1.5 from t_types"));
    ASSERT_EQ(rs.size(), 1u);
    const auto& c = rs[0].columns;
    ASSERT_EQ(c.size(), 18u);
    auto kind = [&](std::size_t i) { return c[i].type; };
    EXPECT_TRUE(kind(0) == column_type::text && c[0].length == 10 && !c[0].unicode && !c[0].fixed);
    EXPECT_TRUE(kind(1) == column_type::text && c[1].length == 3 && c[1].fixed);
    EXPECT_TRUE(kind(2) == column_type::text && c[2].length == -1 && c[2].unicode);
    EXPECT_TRUE(kind(3) == column_type::decimal && c[3].precision == 16 && c[3].scale == 4 && c[3].numeric);
    EXPECT_TRUE(kind(4) == column_type::money && c[4].size == 8);
    EXPECT_TRUE(kind(5) == column_type::datetime && c[5].size == 8);
    EXPECT_EQ(kind(6), column_type::bit);
    EXPECT_EQ(kind(7), column_type::date);
    EXPECT_TRUE(kind(8) == column_type::integer && c[8].size == 2);
    EXPECT_TRUE(kind(9) == column_type::decimal && c[9].precision == 5 && c[9].scale == 2 && !c[9].numeric);
    EXPECT_TRUE(kind(10) == column_type::integer && c[10].size == 8);
    EXPECT_TRUE(kind(11) == column_type::text && c[11].unicode && c[11].length == 2);
    EXPECT_TRUE(kind(12) == column_type::text && !c[12].unicode && c[12].length == 2);
    EXPECT_TRUE(kind(13) == column_type::decimal && c[13].precision == 3 && c[13].scale == 2);
    EXPECT_TRUE(kind(14) == column_type::integer && c[14].size == 4);
    EXPECT_TRUE(kind(15) == column_type::text && c[15].length == 10 && !c[15].unicode);
    EXPECT_TRUE(kind(16) == column_type::integer && c[16].size == 4);
    EXPECT_TRUE(kind(17) == column_type::floating && c[17].size == 8);  // computed
}

}  // namespace

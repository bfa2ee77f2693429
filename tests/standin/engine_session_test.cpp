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
}

}  // namespace

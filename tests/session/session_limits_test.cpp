// The session never waits without bound: a server that never answers the
// login, another connection's lock, a server that goes silent at any kind
// of request, a rollback the server refuses. The bounds are shortened here
// so the tests stay quick (less so on Windows, where the test programs run
// under Wine and may be emulated); db_upgrade_cli's fault tests run the real
// ones. The same tests run as Linux and as 32-bit Windows programs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

#include "session_test_support.h"
#include "support/bound_checks.h"

using namespace session_test;
using standin_test::standin_process;
using test_support::request_log;
using velmora::database_session;

namespace {

#ifdef _WIN32
constexpr int login_timeout = 8;
constexpr int query_timeout = 3;
#else
constexpr int login_timeout = 2;
constexpr int query_timeout = 1;
#endif

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

TEST(session_limits, a_server_that_never_answers_the_login_is_given_up_at_the_login_timeout) {
    standin_process mute({{}, {"--silent-at", "0"}});  // accepts, and never sends a byte
    database_session t;
    request_log log;
    log.watch(t);
    t.login_timeout_seconds = login_timeout;
    log_in(t, mute.server_name(), "velmora");
    EXPECT_EQ(t.status_code, -1);
    EXPECT_FALSE(t.connected());
    EXPECT_TRUE(contains(t.error_text, "did not answer within " + std::to_string(login_timeout) + " seconds"))
        << t.error_text;
    test_support::expect_one_bounded_wait(log.events(), login_timeout);
    std::printf("silent at the login: %s\n", test_support::summary(log.events()).c_str());
}

TEST(session_limits, the_login_sets_the_lock_timeout_and_a_held_lock_fails_with_1222) {
    standin_process server(with_fixtures({fixture("shops.sql")}));
    database_session holder, waiter;
    log_in(holder, server.server_name(), "shop_a", false);
    ASSERT_EQ(holder.status_code, 0) << holder.error_text;
    holder.execute("insert into t_note values ( 50 , 'held' )");  // an open write transaction
    ASSERT_EQ(holder.status_code, 0) << holder.error_text;

    waiter.lock_timeout_milliseconds = 1000;
    log_in(waiter, server.server_name(), "shop_a");
    ASSERT_EQ(waiter.status_code, 0) << waiter.error_text;
    const auto t0 = std::chrono::steady_clock::now();
    waiter.execute("insert into t_note values ( 51 , 'waits' )");
    const double took = test_support::seconds_of(std::chrono::steady_clock::now() - t0);
    EXPECT_EQ(waiter.status_code, -1);
    EXPECT_EQ(waiter.native_error, 1222) << waiter.error_text;
    EXPECT_TRUE(contains(waiter.error_text, "Lock request time out period exceeded.")) << waiter.error_text;
    EXPECT_LT(took, 1.0 + test_support::bound_margin_seconds);
    // A lock timeout is a statement's failure, not a lost connection.
    EXPECT_FALSE(waiter.connection_broken());
    holder.rollback();
    waiter.execute("insert into t_note values ( 51 , 'now' )");
    EXPECT_EQ(waiter.status_code, 0) << waiter.error_text;

    bool sent = false;
    for (const auto& line : server.journal_lines())
        sent |= contains(line, "SET LOCK_TIMEOUT 1000");
    EXPECT_TRUE(sent) << "the login sets the bound on the server";
}

// One kind of request that meets a silent server: what runs before it, and
// the request itself.
struct silent_case {
    const char* request;
    bool autocommit;
    std::function<void(database_session&)> before;
    std::function<void(database_session&)> request_it;
    int timeout = query_timeout;  // the request's own query timeout
};

TEST(session_limits, a_server_gone_silent_at_any_kind_of_request_costs_one_bound_then_every_call_fails_at_once) {
    auto insert = [](database_session& t) { t.execute("insert into t_note values ( 70 , 'open' )"); };
    const std::vector<silent_case> cases = {
        {"the login's own settings", true, nullptr, nullptr},
        {"a statement", true, [](database_session& t) { t.execute("select 1"); },
         [](database_session& t) { t.execute("select 2"); }},
        {"a query", true, nullptr,
         [](database_session& t) {
             std::string v;
             t.select_into("select 2", {&v});
         }},
        {"a commit", false, insert, [](database_session& t) { t.commit(); }},
        {"a rollback", false, insert, [](database_session& t) { t.rollback(); }},
        {"the switch of the commit mode", false, insert, [](database_session& t) { t.set_autocommit(true); }},
        {"the logout", false, insert, [](database_session& t) { t.disconnect(); }},
        // A backup's statement waits its own longer time, no more.
        {"a lengthy statement", true, nullptr,
         [](database_session& t) { t.execute_lengthy("select 1", 4 * query_timeout); }, 4 * query_timeout},
    };
    // Each case is silent from its request on: counted on a server that answers.
    std::vector<std::size_t> silent_at;
    for (const auto& c : cases) {
        standin_process counting(with_fixtures({fixture("shops.sql")}));
        database_session t;
        log_in(t, counting.server_name(), "shop_a", c.autocommit);
        ASSERT_EQ(t.status_code, 0) << c.request << ": " << t.error_text;
        if (!c.request_it) {
            silent_at.push_back(1);
            continue;
        }
        if (c.before) c.before(t);
        ASSERT_EQ(t.status_code, 0) << c.request << ": " << t.error_text;
        silent_at.push_back(counting.journal_lines().size() + 1);
    }

    // Side by side, so that the bounds are waited once. (Started from this
    // thread: a server ends with the thread that started it.)
    std::vector<std::unique_ptr<standin_process>> servers;
    for (std::size_t i = 0; i < cases.size(); ++i)
        servers.push_back(std::make_unique<standin_process>(
            standin_test::standin_options{{fixture("shops.sql")}, {"--silent-at", std::to_string(silent_at[i])}}));
    std::vector<request_log> logs(cases.size());
    std::vector<std::string> broke_with(cases.size()), after(cases.size());
    std::vector<std::thread> runs;
    for (std::size_t i = 0; i < cases.size(); ++i)
        runs.emplace_back([&, i] {
            const silent_case& c = cases[i];
            database_session t;
            t.login_timeout_seconds = login_timeout;
            t.query_timeout_seconds = query_timeout;
            logs[i].watch(t);
            log_in(t, servers[i]->server_name(), "shop_a", c.autocommit);
            if (c.before) c.before(t);
            if (c.request_it) c.request_it(t);
            broke_with[i] = t.error_text;
            if (!t.connected()) return;  // the logout
            // Every later call fails with the text of the failure that broke it.
            std::string v = "kept";
            t.select_into("select 3", {&v});
            after[i] += t.error_text == broke_with[i] ? "" : "select: " + t.error_text + "\n";
            t.execute("select 4");
            after[i] += t.error_text == broke_with[i] ? "" : "execute: " + t.error_text + "\n";
            t.commit();
            after[i] += t.error_text == broke_with[i] ? "" : "commit: " + t.error_text + "\n";
            t.rollback();
            after[i] += t.error_text == broke_with[i] ? "" : "rollback: " + t.error_text + "\n";
            t.set_autocommit(!c.autocommit);
            if (v != "kept") after[i] += "the query's target changed\n";
            if (!t.connection_broken()) after[i] += "the session is not broken\n";
            t.disconnect();
            if (t.connected()) after[i] += "still connected after the logout\n";
        });
    for (auto& r : runs) r.join();

    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(std::string("silent at ") + cases[i].request + " (request " + std::to_string(silent_at[i]) + ")");
        EXPECT_TRUE(contains(broke_with[i], "did not answer") || contains(broke_with[i], "timeout") ||
                    contains(broke_with[i], "Timeout"))
            << broke_with[i];
        EXPECT_EQ(after[i], "");
        test_support::expect_one_bounded_wait(logs[i].events(), cases[i].timeout);
        std::printf("silent at %s: %s\n", cases[i].request, test_support::summary(logs[i].events()).c_str());
    }

    // A session given up logs in afresh.
    database_session t;
    log_in(t, servers[1]->server_name(), "shop_a");
    EXPECT_EQ(t.status_code, 0) << t.error_text;
    EXPECT_FALSE(t.connection_broken());
}

// The requests a log_in sends of its own (the isolation level, the lock
// timeout) before the caller's first.
std::size_t login_request_count(bool autocommit) {
    standin_process counting(with_fixtures({fixture("shops.sql")}));
    database_session t;
    log_in(t, counting.server_name(), "shop_a", autocommit);
    // (Each line is on record once its request is answered.)
    return counting.journal_lines().size();
}

// Whatever the call, and however the driver answers it, a connection the
// server closed under it fails that call, with a text, and breaks the
// session; every later call fails with the same text.
TEST(session_limits, a_connection_the_server_closed_fails_the_call_that_found_it_gone) {
    struct call_case {
        const char* label;
        bool autocommit;  // false: an insert opens a transaction before the call
        std::size_t request;  // the request the server closes the connection at; 0: the call's own
        std::function<void(database_session&)> call;
    };
    const call_case cases[] = {
        // The driver answers this one with success, and finds the connection dead only afterwards.
        {"the login's own first request (its isolation level)", true, 1, [](database_session&) {}},
        {"a statement", true, 0, [](database_session& t) { t.execute("select 1"); }},
        {"a query into targets", true, 0,
         [](database_session& t) {
             std::string v;
             t.select_into("select 1", {&v});
         }},
        {"a query of rows", true, 0,
         [](database_session& t) {
             std::vector<database_session::result_row> rows;
             t.select_rows("select 1", rows);
         }},
        {"a commit", false, 0, [](database_session& t) { t.commit(); }},
    };
    for (const call_case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::size_t before = login_request_count(c.autocommit) + (c.autocommit ? 0 : 1);
        standin_process server(
            {{fixture("shops.sql")}, {"--drop-at", std::to_string(c.request ? c.request : before + 1)}});
        database_session t;
        log_in(t, server.server_name(), "shop_a", c.autocommit);
        ASSERT_TRUE(t.connected()) << t.error_text;
        if (c.request == 0) {
            ASSERT_EQ(t.status_code, 0) << t.error_text;
            if (!c.autocommit) {
                t.execute("insert into t_note values ( 60 , 'open' )");
                ASSERT_EQ(t.status_code, 0) << t.error_text;
            }
        }
        c.call(t);
        EXPECT_EQ(t.status_code, -1);
        EXPECT_FALSE(t.error_text.empty());
        EXPECT_TRUE(t.connection_broken()) << t.error_text;
        const std::string broke_with = t.error_text;
        t.execute("select 2");
        EXPECT_EQ(t.status_code, -1);
        EXPECT_EQ(t.error_text, broke_with);
    }
}

// A session given up ends only its own connection. Another session of
// the process, logged in while this one was logging in or after it, works on
// when this one is given up.
TEST(session_limits, a_session_given_up_ends_its_own_connection_and_no_other) {
    const std::size_t own = login_request_count(false);
    standin_process other_server(with_fixtures({fixture("shops.sql")}));
    // Slow to log in, then silent at the commit of the first transaction: a
    // request only the program's own bound ends.
    constexpr int delay_ms = 1500;  // room for a busy machine's other login
    standin_process slow_server(
        {{fixture("shops.sql")}, {"--delay-ms", std::to_string(delay_ms), "--silent-at", std::to_string(own + 2)}});
    database_session given_up, during, after;
    given_up.query_timeout_seconds = 2;
    const auto t0 = std::chrono::steady_clock::now();
    std::thread login([&] { log_in(given_up, slow_server.server_name(), "shop_a", false); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    log_in(during, other_server.server_name(), "shop_a");
    // The slow login's pre-login and login answers alone take two delays.
    const bool overlapped = test_support::seconds_of(std::chrono::steady_clock::now() - t0) < 2 * delay_ms / 1000.0;
    login.join();
    ASSERT_EQ(given_up.status_code, 0) << given_up.error_text;
    ASSERT_EQ(during.status_code, 0) << during.error_text;
    EXPECT_TRUE(overlapped) << "the other login should have ended while the slow one was under way";
    log_in(after, other_server.server_name(), "shop_a");
    ASSERT_EQ(after.status_code, 0) << after.error_text;

    given_up.execute("insert into t_note values ( 60 , 'open' )");
    ASSERT_EQ(given_up.status_code, 0) << given_up.error_text;
    given_up.commit();
    EXPECT_EQ(given_up.status_code, -1);
    EXPECT_TRUE(given_up.connection_broken()) << given_up.error_text;
    for (database_session* other : {&during, &after}) {
        EXPECT_EQ(server_db_name(*other), "shop_a") << other->error_text;
        EXPECT_FALSE(other->connection_broken()) << other->error_text;
    }
}

TEST(session_limits, a_rollback_the_server_refuses_ends_the_connection_without_a_commit) {
    standin_process server({{fixture("shops.sql")}, {"--fail", "^<rollback tran>$=3998:rollback refused"}});
    database_session t;
    log_in(t, server.server_name(), "shop_a", false);
    t.execute("insert into t_note values ( 60 , 'undone' )");
    ASSERT_EQ(t.status_code, 0) << t.error_text;
    t.rollback();
    EXPECT_EQ(t.status_code, -1);
    EXPECT_TRUE(t.connection_broken());
    EXPECT_TRUE(contains(t.error_text, "rollback refused")) << t.error_text;
    EXPECT_TRUE(contains(t.error_text, "without a commit")) << t.error_text;
    t.commit();  // would make the insert stand: refused
    EXPECT_EQ(t.status_code, -1);

    // While the window stays open (the session is not logged out), the server
    // has already rolled back: another workstation writes the same row at once.
    database_session other;
    other.lock_timeout_milliseconds = 1000;
    log_in(other, server.server_name(), "shop_a");
    other.execute("insert into t_note values ( 60 , 'again' )");
    EXPECT_EQ(other.status_code, 0) << other.error_text;
    std::string text;
    other.select_into("select txt from t_note where id = 60", {&text});
    EXPECT_EQ(text, "again");
    t.disconnect();
    for (const auto& sql : server.journal_sql()) EXPECT_NE(sql, "<commit tran>");
}

TEST(session_limits, failures_carry_the_servers_error_number) {
    standin_process server({{fixture("shops.sql")}, {"--fail", "^select 42$=50000:refused on purpose"}});
    database_session t;
    log_in(t, server.server_name(), "shop_a");
    ASSERT_EQ(t.status_code, 0) << t.error_text;
    t.execute("select 42");
    EXPECT_EQ(t.native_error, 50000);
    t.execute("select * from no_such_table");
    EXPECT_EQ(t.native_error, 208);
    t.execute("select 1");
    EXPECT_EQ(t.native_error, 0);
}

}  // namespace

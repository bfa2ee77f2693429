// The session never waits without bound: a server that never answers the
// login, another connection's lock, a server that goes silent mid-run. The
// bounds are shortened here so the tests stay quick; db_upgrade_cli's fault
// tests run the real ones.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "session_test_support.h"

using namespace session_test;
using standin_test::standin_process;
using velmora::database_session;

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// Accepts TCP connections and never sends a byte, like a hung server.
class mute_listener {
public:
    mute_listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 8);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~mute_listener() { ::close(fd_); }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

TEST(session_limits, a_server_that_never_answers_the_login_is_given_up_at_the_login_timeout) {
    mute_listener mute;
    database_session t;
    t.login_timeout_seconds = 2;
    const auto t0 = clock_type::now();
    log_in(t, "127.0.0.1," + std::to_string(mute.port()), "velmora");
    const double took = seconds_since(t0);
    EXPECT_EQ(t.status_code, -1);
    EXPECT_FALSE(t.connected());
    EXPECT_TRUE(contains(t.error_text, "did not answer within 2 seconds")) << t.error_text;
    EXPECT_GE(took, 1.5);
    EXPECT_LT(took, 6.0);
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
    const auto t0 = clock_type::now();
    waiter.execute("insert into t_note values ( 51 , 'waits' )");
    const double took = seconds_since(t0);
    EXPECT_EQ(waiter.status_code, -1);
    EXPECT_EQ(waiter.native_error, 1222) << waiter.error_text;
    EXPECT_TRUE(contains(waiter.error_text, "Lock request time out period exceeded.")) << waiter.error_text;
    EXPECT_LT(took, 5.0);
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

TEST(session_limits, a_server_gone_silent_breaks_the_session_and_every_later_call_fails_at_once) {
    // The login sends requests of its own (isolation, lock timeout): silent
    // from the second request after them.
    std::size_t login_requests = 0;
    {
        standin_process counting(with_fixtures({fixture("shops.sql")}));
        database_session t;
        log_in(t, counting.server_name(), "shop_a");
        t.disconnect();
        login_requests = counting.journal_lines().size();
    }
    standin_process server({{fixture("shops.sql")}, {"--silent-at", std::to_string(login_requests + 2)}});
    database_session t;
    t.query_timeout_seconds = 1;
    log_in(t, server.server_name(), "shop_a");
    ASSERT_EQ(t.status_code, 0) << t.error_text;
    t.execute("select 1");
    ASSERT_EQ(t.status_code, 0) << t.error_text;

    auto t0 = clock_type::now();
    t.execute("select 2");
    EXPECT_EQ(t.status_code, -1);
    EXPECT_LT(seconds_since(t0), 6.0) << "a query timeout and as long again for the cancel";
    EXPECT_TRUE(t.connection_broken()) << t.error_text;
    const std::string broke_with = t.error_text;

    t0 = clock_type::now();
    std::string v = "kept";
    t.select_into("select 3", {&v});
    t.set_autocommit(false);
    t.commit();
    EXPECT_EQ(t.status_code, -1);
    EXPECT_EQ(t.error_text, broke_with);
    EXPECT_EQ(v, "kept");
    t.disconnect();
    EXPECT_LT(seconds_since(t0), 1.0);
    EXPECT_FALSE(t.connected());

    // A new login starts afresh.
    t.connect();
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

// The watchdog ends only its own session's connection. Another session of
// the process, logged in while this one was logging in or after it, works on
// when this one is given up.
TEST(session_limits, a_session_given_up_ends_its_own_connection_and_no_other) {
    const std::size_t own = login_request_count(false);
    standin_process other_server(with_fixtures({fixture("shops.sql")}));
    // Slow to log in, then silent at the commit of the first transaction: a
    // request only the watchdog bounds.
    constexpr int delay_ms = 600;
    standin_process slow_server(
        {{fixture("shops.sql")}, {"--delay-ms", std::to_string(delay_ms), "--silent-at", std::to_string(own + 2)}});
    database_session given_up, during, after;
    given_up.query_timeout_seconds = 2;
    const auto t0 = clock_type::now();
    std::thread login([&] { log_in(given_up, slow_server.server_name(), "shop_a", false); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    log_in(during, other_server.server_name(), "shop_a");
    // The slow login's pre-login and login answers alone take two delays.
    const bool overlapped = seconds_since(t0) < 2 * delay_ms / 1000.0;
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

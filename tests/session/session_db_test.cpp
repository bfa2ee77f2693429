// The session against the stand-in, through unixODBC and FreeTDS.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "session_test_support.h"
#include "support/scoped_env.h"

using namespace session_test;
using standin_test::standin_process;
using velmora::database_session;

namespace {

bool starts_with(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }
bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }


// A session logged in to shop_a on a stand-in of its own.
class session_on_shop_a : public ::testing::Test {
protected:
    void SetUp() override {
        log_in(t, server.server_name(), "shop_a");
        ASSERT_EQ(t.status_code, 0) << t.error_text;
    }
    standin_process server{with_fixtures({fixture("shops.sql")})};
    database_session t;
};

TEST_F(session_on_shop_a, login_reads_and_writes_chinese_text_and_null_as_empty) {
    EXPECT_TRUE(t.connected());
    EXPECT_EQ(t.login_database(), "shop_a");

    std::string txt = "old";
    t.select_into("select txt from t_note where id = 1", {&txt});
    EXPECT_EQ(t.status_code, 0);
    EXPECT_EQ(txt, "物流跟踪");
    t.select_into("select txt from t_note where id = 2", {&txt});
    EXPECT_EQ(t.status_code, 0);
    EXPECT_EQ(txt, "");

    t.execute("insert into t_note values ( 3 , '进销存' )");
    EXPECT_EQ(t.status_code, 0) << t.error_text;
    std::string id, back;
    t.select_into("select id , txt from t_note where id = 3", {&id, &back});
    EXPECT_EQ(id, "3");
    EXPECT_EQ(back, "进销存");
}

TEST_F(session_on_shop_a, select_into_keeps_its_targets_without_a_row_or_on_failure) {

    std::string a = "kept-a", b = "kept-b";
    t.select_into("select id , txt from t_note where id = 99", {&a, &b});
    EXPECT_EQ(t.status_code, 100);
    t.select_into("select id , txt from no_such_table", {&a, &b});
    EXPECT_EQ(t.status_code, -1);
    EXPECT_TRUE(contains(t.error_text, "Invalid object name 'no_such_table'.")) << t.error_text;
    // A failure later in the batch voids the row already read.
    t.select_into("select id , txt from t_note where id = 1 select * from no_such_table", {&a, &b});
    EXPECT_EQ(t.status_code, -1);
    EXPECT_EQ(a, "kept-a");
    EXPECT_EQ(b, "kept-b");
}

TEST_F(session_on_shop_a, an_error_anywhere_in_a_batch_fails_it_with_every_message_in_order) {

    t.execute_immediate("insert into t_note values ( 10 , 'a' )\r\nselect * from nope_two");
    EXPECT_EQ(t.status_code, -1);
    EXPECT_TRUE(contains(t.error_text, "Invalid object name 'nope_two'.")) << t.error_text;

    // Duplicate keys end only their own statement, so both are reported.
    t.execute_immediate(
        "insert into t_note values ( 11 , 'x' )\ninsert into t_note values ( 1 , 'x' )\n"
        "insert into t_note values ( 2 , 'y' )");
    EXPECT_EQ(t.status_code, -1);
    auto first = t.error_text.find("(1)");
    auto line_break = t.error_text.find('\n');
    auto second = t.error_text.find("(2)");
    EXPECT_TRUE(first < line_break && line_break < second && second != std::string::npos) << t.error_text;

    t.execute_immediate("use master");
    EXPECT_EQ(t.status_code, 0) << t.error_text;
    EXPECT_EQ(t.error_text, "");
    EXPECT_EQ(t.current_database(), "master");
}

TEST(session, long_server_messages_reach_error_text_whole) {
    std::string message;
    for (int i = 0; message.size() < 1500; ++i) message += "第" + std::to_string(i) + "行出错；";
    auto opts = with_fixtures({fixture("shops.sql")});
    opts.extra_args = {"--fail", "boom_table=50000:" + message};
    standin_process server(opts);
    database_session t;
    log_in(t, server.server_name(), "shop_a");
    ASSERT_EQ(t.status_code, 0) << t.error_text;
    t.execute_immediate("select * from boom_table");
    EXPECT_EQ(t.status_code, -1);
    EXPECT_TRUE(contains(t.error_text, message)) << t.error_text.size();
}

TEST(session, switching_autocommit_on_keeps_what_was_open_and_commit_under_autocommit_sends_nothing) {
    standin_process server(with_fixtures({fixture("shops.sql")}));
    database_session t;
    log_in(t, server.server_name(), "shop_a", /*autocommit=*/false);
    ASSERT_EQ(t.status_code, 0) << t.error_text;

    t.execute("insert into t_note values ( 40 , 'open when switched' )");
    ASSERT_EQ(t.status_code, 0) << t.error_text;
    t.set_autocommit(true);
    EXPECT_TRUE(t.autocommit());

    // A journal line is written after its reply: a query after each step
    // makes sure every earlier request is on record before counting.
    auto commits = [&] {
        std::string sync;
        t.select_into("select 1", {&sync});
        auto sql = server.journal_sql();
        return std::count(sql.begin(), sql.end(), "<commit tran>");
    };
    auto before = commits();
    t.commit();
    EXPECT_EQ(t.status_code, 0);
    EXPECT_EQ(commits(), before);

    t.set_autocommit(false);
    t.execute("insert into t_note values ( 41 , 'never committed' )");
    ASSERT_EQ(t.status_code, 0) << t.error_text;

    // Stop the server under the open transaction: only committed rows survive.
    std::string dump = server.stop_and_dump();
    auto doc = nlohmann::json::parse(dump);
    const auto& rows = doc.at("databases").at("shop_a").at("tables").at("t_note").at("rows");
    bool has40 = false, has41 = false;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        auto id = rows[i][std::size_t{0}].is_number() ? rows[i][std::size_t{0}].get<std::int64_t>() : std::stoll(rows[i][std::size_t{0}].get<std::string>());
        has40 |= id == 40;
        has41 |= id == 41;
    }
    EXPECT_TRUE(has40) << dump;
    EXPECT_FALSE(has41) << dump;
}

TEST(session, every_server_name_form_reaches_the_server) {
    standin_process server(with_fixtures({fixture("shops.sql")}));
    std::string port = std::to_string(server.port());
    for (std::string name : {"127.0.0.1," + port, "(local)," + port, "(LOCAL)," + port, ".," + port,
                             " 127.0.0.1 , " + port + " "}) {
        database_session t;
        log_in(t, name, "");
        EXPECT_EQ(t.status_code, 0) << name << ": " << t.error_text;
        EXPECT_TRUE(t.connected()) << name;
    }
}

// Answers named-instance look-ups on UDP 1434, as SQL Server Browser does,
// with the stand-in's port.
class instance_browser {
public:
    explicit instance_browser(int tcp_port) : port_(tcp_port) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(1434);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
        bound_ = true;
        thread_ = std::thread([this] { serve(); });
    }
    ~instance_browser() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    bool bound() const { return bound_; }
    std::vector<std::string> asked() {
        std::lock_guard<std::mutex> lock(mutex_);
        return asked_;
    }

private:
    void serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char buf[512];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 1 || buf[0] != 0x04) continue;
            std::string name(buf + 1, static_cast<std::size_t>(n - 1));
            if (auto nul = name.find('\0'); nul != std::string::npos) name.resize(nul);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                asked_.push_back(name);
            }
            std::string data = "ServerName;LOCALHOST;InstanceName;" + name +
                               ";IsClustered;No;Version;10.50.1600.1;tcp;" + std::to_string(port_) + ";;";
            std::string reply{char(0x05), char(data.size() & 0xff), char(data.size() >> 8)};
            reply += data;
            ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }
    int port_;
    int fd_ = -1;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> asked_;
    std::thread thread_;
};

TEST(session, a_named_instance_is_found_through_the_browser_service) {
    standin_process server(with_fixtures({fixture("shops.sql")}));
    instance_browser browser(server.port());
    if (!browser.bound()) GTEST_SKIP() << "UDP port 1434 is not available here";
    for (std::string name : {"127.0.0.1\\SHOP", "(local)\\SHOP"}) {
        database_session t;
        log_in(t, name, "shop_a");
        EXPECT_EQ(t.status_code, 0) << name << ": " << t.error_text;
        EXPECT_EQ(server_db_name(t), "shop_a") << name;
    }
    EXPECT_EQ(browser.asked(), (std::vector<std::string>{"SHOP", "SHOP"}));
}

TEST(session, failed_logins_leave_a_clean_unconnected_session) {
    standin_process server(with_fixtures({fixture("shops.sql")}));
    {
        database_session t;
        log_in(t, server.server_name(), "shop_a", true, "wrong");
        EXPECT_EQ(t.status_code, -1);
        EXPECT_FALSE(t.connected());
        EXPECT_TRUE(starts_with(t.error_text, "[FreeTDS]")) << t.error_text;
        EXPECT_TRUE(contains(t.error_text, "Login failed for user 'velmora'.")) << t.error_text;

        // Nothing on an unconnected session pretends to work.
        std::string v = "kept";
        t.select_into("select 1", {&v});
        EXPECT_EQ(t.status_code, -1);
        EXPECT_EQ(v, "kept");
        EXPECT_FALSE(t.error_text.empty());
        t.execute("select 1");
        EXPECT_EQ(t.status_code, -1);
        t.commit();
        EXPECT_EQ(t.status_code, -1);
        EXPECT_EQ(t.current_database(), "");

        // The same session logs in once the cause is gone.
        t.login_password = "quorbin";
        t.connect();
        EXPECT_EQ(t.status_code, 0) << t.error_text;
    }
    {
        database_session t;
        log_in(t, server.server_name(), "no_such_db");
        EXPECT_EQ(t.status_code, -1);
        EXPECT_TRUE(contains(t.error_text, "Cannot open database")) << t.error_text;
    }
    {
        database_session t;
        log_in(t, "127.0.0.1," + std::to_string(test_support::closed_port()), "shop_a");
        EXPECT_EQ(t.status_code, -1);
        EXPECT_FALSE(t.connected());
        EXPECT_TRUE(starts_with(t.error_text, "[FreeTDS]")) << t.error_text;
    }
}


// The session reads and writes Chinese varchar (code page 936) alike whether
// FreeTDS speaks TDS 7.4 or 7.1: 7.1 asked for (TDSVER, as FreeTDS takes it
// from the environment) or the only version SQL Server 2000 answers in.
TEST(session, reads_and_writes_chinese_varchar_at_tds_7_1_as_at_7_4) {
    struct way {
        const char* tdsver;   // empty: the driver's own choice (7.4 and down)
        const char* version;  // the SQL Server played
    };
    for (const way w : {way{"", "2019"}, way{"7.1", "2019"}, way{"", "2000"}, way{"7.4", "2022"}}) {
        SCOPED_TRACE(std::string(w.tdsver) + " against " + w.version);
        test_support::scoped_env tdsver("TDSVER", w.tdsver);
        standin_test::standin_options opts;
        opts.fixtures = {"demo"};
        opts.extra_args = {"--version", w.version};
        standin_process server(opts);
        database_session t;
        log_in(t, server.server_name(), "velmora");
        ASSERT_EQ(t.status_code, 0) << t.error_text;
        std::string name;
        t.select_into("select sys_var_name from t_sys_system where sys_var_id = 'DataBase_Version'", {&name});
        EXPECT_EQ(t.status_code, 0) << t.error_text;
        EXPECT_EQ(name, "数据库版本");
        t.execute("update t_sys_system set sys_var_memo = '进销存 V8' where sys_var_id = 'DataBase_Version'");
        EXPECT_EQ(t.status_code, 0) << t.error_text;
        std::string memo, bytes;
        t.select_into("select sys_var_memo, datalength(sys_var_memo) from t_sys_system where sys_var_id = "
                      "'DataBase_Version'",
                      {&memo, &bytes});
        EXPECT_EQ(memo, "进销存 V8");
        EXPECT_EQ(bytes, "9");  // three characters of two bytes each in code page 936, then " V8"
    }
}

}  // namespace

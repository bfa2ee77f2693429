// The login window function against the stand-in, configured through velmora.conf.
#include "session/connect_db.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "common/app_names.h"
#include "session_test_support.h"
#include "support/recording_ui.h"
#include "support/settings_file.h"

using namespace session_test;
using standin_test::standin_process;
using test_support::recording_ui;
using velmora::database_session;
namespace fs = std::filesystem;

namespace {

// Each test with a velmora.conf of its own.
class configured : public ::testing::Test {
protected:
    void configure(const std::string& server, const std::string& database_line) {
        settings_.write("SERVERNAME=" + server + "\n" + database_line + "\n");
    }
    test_support::settings_file settings_;
};

struct login_result {
    bool ok = false;
    velmora::special_database_probe special;
    std::string current;  // the server's db_name() afterwards
};

login_result run_login(database_session& sqlca, recording_ui& ui) {
    login_result r;
    r.ok = velmora::wf_connect_db(sqlca, ui, r.special);
    if (r.ok) r.current = server_db_name(sqlca);
    return r;
}

TEST_F(configured, a_server_without_the_special_database) {
    standin_process server(with_fixtures({fixture("shops.sql")}));
    configure(server.server_name(), "DATABASE=shop_a");
    database_session sqlca;
    recording_ui ui;
    auto r = run_login(sqlca, ui);
    ASSERT_TRUE(r.ok) << sqlca.error_text;
    EXPECT_FALSE(r.special.found);
    EXPECT_EQ(r.special.name, "");
    EXPECT_FALSE(r.special.lookup_error);
    EXPECT_EQ(r.current, "shop_a");
    EXPECT_TRUE(ui.events.empty());
    EXPECT_TRUE(sqlca.autocommit());
    EXPECT_EQ(sqlca.driver, "MSS");

    std::vector<std::string> sql = server.journal_sql();
    std::vector<std::string> expected{"use master", "SELECT Name FROM sysdatabases WHERE Lower ( Name ) ='brenholt'",
                                      "use [shop_a]"};
    // What the driver sends at login (isolation level) comes first; ours follow in order.
    auto probe = std::find(sql.begin(), sql.end(), "use master");
    ASSERT_LE(probe + 3, sql.end());
    EXPECT_EQ(std::vector<std::string>(probe, probe + 3), expected);
}

TEST_F(configured, the_special_database_is_found_in_any_case_and_its_spelling_kept) {
    standin_process server(with_fixtures({fixture("shops.sql"), fixture("brenholt.sql")}));
    for (std::string db : {"shop_a", "brenholt"}) {
        configure(server.server_name(), "DATABASE=" + db);
        database_session sqlca;
        recording_ui ui;
        auto r = run_login(sqlca, ui);
        ASSERT_TRUE(r.ok) << sqlca.error_text;
        EXPECT_TRUE(r.special.found) << db;
        EXPECT_EQ(r.special.name, "BrenHolt") << db;
        EXPECT_EQ(r.current == "BrenHolt" ? std::string("brenholt") : r.current, db);
    }
}

TEST_F(configured, names_with_blanks_or_brackets_and_an_empty_name_switch_back_correctly) {
    standin_process server(with_fixtures({fixture("shops.sql")}));
    for (std::string db : {"my shop", "odd]name"}) {
        configure(server.server_name(), "DATABASE=" + db);
        database_session sqlca;
        recording_ui ui;
        auto r = run_login(sqlca, ui);
        ASSERT_TRUE(r.ok) << db << ": " << sqlca.error_text;
        EXPECT_EQ(r.current, db);
    }
    // No configured name: back to where the login put the session.
    configure(server.server_name(), "DATABASE=");
    database_session sqlca;
    recording_ui ui;
    sqlca.execute_immediate("use master");  // unconnected: fails, changes nothing
    auto r = run_login(sqlca, ui);
    ASSERT_TRUE(r.ok) << sqlca.error_text;
    EXPECT_FALSE(sqlca.login_database().empty());
    EXPECT_EQ(r.current, sqlca.login_database());
}

TEST_F(configured, a_failed_login_beeps_once_then_shows_the_driver_text) {
    configure("127.0.0.1," + std::to_string(test_support::closed_port()), "DATABASE=shop_a");
    database_session sqlca;
    recording_ui ui;
    velmora::special_database_probe special{true, "untouched", std::nullopt};
    EXPECT_FALSE(velmora::wf_connect_db(sqlca, ui, special));
    EXPECT_TRUE(special.found);
    EXPECT_EQ(special.name, "untouched");
    EXPECT_FALSE(sqlca.connected());
    ASSERT_EQ(ui.events.size(), 2u);
    EXPECT_EQ(ui.events[0].what, recording_ui::event::kind::beep);
    EXPECT_EQ(ui.events[1].what, recording_ui::event::kind::message_box);
    EXPECT_EQ(ui.events[1].title, velmora::gs_appname);
    EXPECT_FALSE(sqlca.error_text.empty());
    EXPECT_EQ(ui.events[1].text, "不能连接到数据库！(错误信息：" + sqlca.error_text + ")");
}

TEST_F(configured, a_wrong_configured_database_is_a_failed_login) {
    standin_process server(with_fixtures({fixture("shops.sql")}));
    configure(server.server_name(), "DATABASE=closed_shop");
    database_session sqlca;
    recording_ui ui;
    velmora::special_database_probe special;
    EXPECT_FALSE(velmora::wf_connect_db(sqlca, ui, special));
    ASSERT_EQ(ui.boxes().size(), 1u);
    EXPECT_NE(ui.boxes()[0].second.find("closed_shop"), std::string::npos) << ui.boxes()[0].second;
    EXPECT_EQ(ui.beeps(), 1);
}

}  // namespace

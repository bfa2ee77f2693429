// The window against a live server (the stand-in through the real session):
// a good login, the buttons that reach the database, and the shutdown.

#include <QCheckBox>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "app/qt/db_upgrade_pos.h"
#include "app/qt/w_db_upgrade.h"
#include "common/app_names.h"
#include "package/package_builder.h"
#include "package/package_format.h"
#include "support/recording_ui.h"
#include "support/scoped_cwd.h"
#include "support/settings_file.h"
#include "support/standin_process.h"
#include "support/temp_folder.h"
#include "window_support.h"

using velmora::app::w_db_upgrade;
using namespace window_test;
namespace fs = std::filesystem;

namespace {

bool any_contains(const std::vector<std::string>& sql, const std::string& part) {
    return std::any_of(sql.begin(), sql.end(), [&](const std::string& s) { return s.find(part) != std::string::npos; });
}

// A stand-in with a shop database and the special one, and a velmora.conf
// pointing at it; the test runs in a run directory of its own.
class window_on_server : public ::testing::Test {
protected:
    standin_test::standin_process server{{{std::string(APP_FIXTURE_DIR) + "/shop.sql"}, {}}};
    test_support::settings_file registry{"[General]\nSERVERNAME=" + server.server_name() + "\nDATABASE=velmora\n"};
    test_support::temp_folder run;
    test_support::scoped_cwd cwd{run.text()};

    template <class T = QPushButton>
    static T* control(QWidget& w, const char* name) {
        return w.findChild<T*>(QString::fromLatin1(name));
    }
};

}  // namespace

TEST_F(window_on_server, good_login_shows_nothing_keeps_upgrade_enabled_and_finds_the_special_database) {
    velmora::database_session sqlca;
    test_support::recording_ui ui;
    w_db_upgrade window(sqlca, ui, false);
    window.open();
    ASSERT_TRUE(wait_until([&] { return window.postopen_done(); }));

    EXPECT_TRUE(ui.events.empty()) << ui.boxes().size() << " boxes";
    EXPECT_TRUE(control(window, "cb_1")->isEnabled());
    EXPECT_TRUE(sqlca.connected());
    EXPECT_TRUE(window.brenholt_found());
    EXPECT_EQ(window.brenholt_name(), "BrenHolt");
}

TEST_F(window_on_server, upgrade_runs_once_then_the_button_and_alt_u_do_nothing) {
    const std::string script =
        "if exists (select * from sysobjects where name = 'p_MS_once') drop procedure p_MS_once\r\n"
        "GO\r\nCREATE PROCEDURE p_MS_once\r\nAS\r\nBEGIN\r\nselect 1\r\nEND\r\n";
    std::ofstream(run.text() + "/db.dat", std::ios::binary)
        << velmora::package::encode_package({{"p_MS_once.sql", script}});
    velmora::database_session sqlca;
    test_support::recording_ui ui;
    w_db_upgrade window(sqlca, ui, false);
    ASSERT_TRUE(open_active(window));
    auto* upgrade = control(window, "cb_1");

    // A mnemonic presses its button the way a click does, a moment later.
    QTest::keyClick(&window, Qt::Key_U, Qt::AltModifier);
    EXPECT_TRUE(wait_until([&] { return !upgrade->isEnabled(); }, 10000));
    const auto after_first = server.journal_sql();
    EXPECT_TRUE(any_contains(after_first, "UPGRADE_DATE"));
    EXPECT_TRUE(any_contains(after_first, "use [BrenHolt]")) << "the second pass on the special database";
    EXPECT_FALSE(ui.boxes().empty());

    const auto boxes_before = ui.boxes().size();
    QTest::keyClick(&window, Qt::Key_U, Qt::AltModifier);
    QTest::mouseClick(upgrade, Qt::LeftButton);
    QTest::qWait(400);
    EXPECT_EQ(server.journal_sql().size(), after_first.size());
    EXPECT_EQ(ui.boxes().size(), boxes_before);
}

TEST_F(window_on_server, developer_put_runs_the_package_of_the_run_directory) {
    const std::string script =
        "if exists (select * from sysobjects where name = 'p_MS_window') drop procedure p_MS_window\r\n"
        "GO\r\nCREATE PROCEDURE p_MS_window\r\nAS\r\nBEGIN\r\nselect 1\r\nEND\r\n";
    std::ofstream(run.text() + "/db.dat", std::ios::binary)
        << velmora::package::encode_package({{"p_MS_window.sql", script}});

    velmora::database_session sqlca;
    test_support::recording_ui ui;
    w_db_upgrade window(sqlca, ui, true);
    window.open();
    ASSERT_TRUE(wait_until([&] { return window.postopen_done(); }));

    QTest::mouseClick(control(window, "cb_put"), Qt::LeftButton);
    ASSERT_TRUE(wait_until([&] { return !window.busy(); }));
    EXPECT_EQ(ui.boxes(), (std::vector<std::pair<std::string, std::string>>{{velmora::gs_appname, "更新成功！"}}));
    const auto sql = server.journal_sql();
    EXPECT_TRUE(any_contains(sql, "with ENCRYPTION")) << "the create went to the server";
    EXPECT_TRUE(control(window, "cb_1")->isEnabled()) << "put leaves the upgrade button alone";
}

TEST_F(window_on_server, developer_get_without_the_script_folder_names_it_and_leaves_the_package_alone) {
    if (fs::exists(VELMORA_SCRIPT_DIR)) GTEST_SKIP() << "this machine has the developer script folder";
    std::ofstream(run.text() + "/db.dat", std::ios::binary) << "$$$$$$old_MS.sql^^^^x####@@@@";
    velmora::database_session sqlca;
    test_support::recording_ui ui;
    w_db_upgrade window(sqlca, ui, true);
    window.open();
    ASSERT_TRUE(wait_until([&] { return window.postopen_done(); }));
    window.show_package_names({"left_over.sql"});
    ui.events.clear();

    QTest::mouseClick(control(window, "cb_get"), Qt::LeftButton);
    EXPECT_EQ(control<QListWidget>(window, "lb_1")->count(), 0);
    std::ifstream in(run.text() + "/db.dat", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "$$$$$$old_MS.sql^^^^x####@@@@");
    EXPECT_EQ(ui.boxes(), (std::vector<std::pair<std::string, std::string>>{
                              {velmora::gs_appname, std::string("脚本目录“") + VELMORA_SCRIPT_DIR +
                                                        "”不存在，数据库升级程序包未生成。"}}));
    EXPECT_EQ(ui.busy_depth, 0);
}

TEST_F(window_on_server, closing_the_window_ends_the_run_and_disconnects) {
    test_support::recording_ui ui;
    velmora::app::db_upgrade_pos application(false, &ui);
    bool was_connected = false;
    // Once logged in, press the exit button; run() returns when the window has closed.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        w_db_upgrade* w = application.window();
        if (!w || !w->postopen_done()) return;
        poll.stop();
        was_connected = application.sqlca().connected();
        QTest::mouseClick(w->findChild<QPushButton*>("cb_2"), Qt::LeftButton);
    });
    poll.start(10);
    QTimer::singleShot(20000, [] { QApplication::exit(99); });  // never hang the suite

    EXPECT_EQ(application.run(), 0);
    EXPECT_TRUE(was_connected);
    EXPECT_FALSE(application.window()->isVisible());
    EXPECT_FALSE(application.sqlca().connected());
    EXPECT_TRUE(ui.events.empty()) << "closing asks no question";
}

// The operator's road on the demo databases: log in, press Alt+U once.
TEST(window_demo, one_press_upgrades_both_databases_and_leaves_every_script_encrypted) {
    if (!fs::exists(standin_test::demo_fixture_path())) GTEST_SKIP() << "no demo fixture in this tree";
    standin_test::standin_process server{{{"demo"}, {}}};
    test_support::settings_file registry{"SERVERNAME=" + server.server_name() + "\nDATABASE=velmora\n"};
    test_support::temp_folder run;
    test_support::scoped_cwd cwd{run.text()};
    test_support::recording_ui packer;
    const auto built = velmora::build_package(DEMO_SCRIPTS_DIR, run.text() + "/", packer);
    ASSERT_TRUE(built.written) << (packer.boxes().empty() ? "" : packer.boxes()[0].second);

    velmora::database_session sqlca;
    test_support::recording_ui ui;
    w_db_upgrade window(sqlca, ui, false);
    ASSERT_TRUE(open_active(window));
    ASSERT_TRUE(ui.events.empty());
    ASSERT_TRUE(window.brenholt_found());
    auto* upgrade = window.findChild<QPushButton*>("cb_1");
    QTest::keyClick(&window, Qt::Key_U, Qt::AltModifier);
    ASSERT_TRUE(wait_until([&] { return !upgrade->isEnabled(); }, 30000));

    int successes = 0;
    for (const auto& [title, text] : ui.boxes()) {
        EXPECT_EQ(text.find("失败"), std::string::npos) << text;
        successes += text == "更新成功！";
    }
    EXPECT_EQ(successes, 2) << "one package run per database";
    EXPECT_EQ(ui.busy_depth, 0);

    const auto dump = nlohmann::json::parse(server.stop_and_dump());
    for (const char* db : {"velmora", "BrenHolt"}) {
        const auto& objects = dump.at("databases").at(db).at("objects");
        EXPECT_EQ(objects.size(), built.names.size()) << db;
        for (std::size_t i = 0; i < objects.size(); ++i)
            EXPECT_TRUE(objects[i].at("encrypted").get<bool>()) << db << " " << objects[i].at("name").get<std::string>();
    }
}

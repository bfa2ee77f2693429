// The window's upgrade on a server that fails it: a create refused, and the
// connection lost in the middle of the package. The operator is told, the
// server keeps the old objects, and the button stays greyed.

#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "app/qt/w_db_upgrade.h"
#include "common/app_names.h"
#include "package/package_builder.h"
#include "support/recording_ui.h"
#include "support/scoped_cwd.h"
#include "support/settings_file.h"
#include "support/standin_process.h"
#include "support/temp_folder.h"
#include "window_support.h"

using velmora::app::w_db_upgrade;
using namespace window_test;
using boxes_t = std::vector<std::pair<std::string, std::string>>;

namespace {

const std::string trigger = "tr_MS_detail_ins";  // exists in velmora, old and unencrypted

struct window_run {
    boxes_t boxes;
    int beeps = 0;
    bool button_enabled = true;
    nlohmann::json dump;
    std::vector<std::string> journal;
};

// Logs in to a demo server with the given faults and presses Alt+U once.
window_run upgrade_in_window(std::vector<std::string> faults) {
    standin_test::standin_process server{{{"demo"}, std::move(faults)}};
    test_support::settings_file registry{"SERVERNAME=" + server.server_name() + "\nDATABASE=velmora\n"};
    test_support::temp_folder run;
    test_support::scoped_cwd cwd{run.text()};
    test_support::recording_ui packer;
    EXPECT_TRUE(velmora::build_package(DEMO_SCRIPTS_DIR, run.text() + "/", packer).written);

    window_run out;
    velmora::database_session sqlca;
    test_support::recording_ui ui;
    w_db_upgrade window(sqlca, ui, false);
    EXPECT_TRUE(open_active(window));
    auto* upgrade = window.findChild<QPushButton*>("cb_1");
    QTest::keyClick(&window, Qt::Key_U, Qt::AltModifier);
    EXPECT_TRUE(wait_until([&] { return !upgrade->isEnabled(); }, 150000));
    out.boxes = ui.boxes();
    out.beeps = ui.beeps();
    out.button_enabled = upgrade->isEnabled();
    EXPECT_EQ(ui.busy_depth, 0);
    for (const auto& line : server.journal_lines())
        out.journal.push_back(nlohmann::json::parse(line).at("sql").get<std::string>());
    sqlca.disconnect();
    out.dump = nlohmann::json::parse(server.stop_and_dump());
    return out;
}

// The trigger in velmora as the fixture made it: present, not encrypted.
void expect_old_trigger_kept(const nlohmann::json& dump) {
    const auto& objects = dump.at("databases").at("velmora").at("objects");
    bool found = false;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (objects[i].at("name").get<std::string>() != trigger) continue;
        found = true;
        EXPECT_FALSE(objects[i].at("encrypted").get<bool>());
    }
    EXPECT_TRUE(found) << trigger << " was lost";
}

}  // namespace

TEST(window_faults, a_failing_create_is_reported_and_keeps_the_old_trigger) {
    window_run r = upgrade_in_window({"--fail", "^CREATE TRIGGER " + trigger + "\\b=50000:" + trigger + " is broken"});
    const std::string error = "[FreeTDS][SQL Server]" + trigger + " is broken";
    const boxes_t failed{{trigger + ".sql", error}, {velmora::gs_appname, "更新失败！(错误信息：" + error + ")"}};
    // Both passes reach the trigger and stop there; neither shows success.
    boxes_t expected = failed;
    expected.insert(expected.end(), failed.begin(), failed.end());
    EXPECT_EQ(r.boxes, expected);
    EXPECT_EQ(r.beeps, 2);
    EXPECT_FALSE(r.button_enabled);
    expect_old_trigger_kept(r.dump);
}

TEST(window_faults, a_connection_lost_mid_package_is_reported_and_keeps_the_old_trigger) {
    // Where the trigger's create stands among the requests of a clean run.
    const window_run clean = upgrade_in_window({});
    auto at = std::find_if(clean.journal.begin(), clean.journal.end(),
                           [](const std::string& sql) { return sql.rfind("CREATE TRIGGER " + trigger, 0) == 0; });
    ASSERT_NE(at, clean.journal.end());
    // The journal counts the login's own requests too; the stand-in counts
    // from the first request after the login, as the journal does.
    const std::size_t create_request = static_cast<std::size_t>(at - clean.journal.begin()) + 1;

    window_run r = upgrade_in_window({"--drop-at", std::to_string(create_request)});
    ASSERT_GE(r.boxes.size(), 3u);
    EXPECT_EQ(r.boxes[0].first, trigger + ".sql");
    EXPECT_EQ(r.boxes[1].second.rfind("更新失败！(错误信息：", 0), 0u) << r.boxes[1].second;
    EXPECT_EQ(r.boxes.back().first, velmora::gs_appname);
    EXPECT_EQ(r.boxes.back().second.rfind("与数据库服务器的连接已中断，升级操作被中断。", 0), 0u) << r.boxes.back().second;
    for (const auto& [title, text] : r.boxes) EXPECT_NE(text, "更新成功！");
    EXPECT_FALSE(r.button_enabled);
    expect_old_trigger_kept(r.dump);
}

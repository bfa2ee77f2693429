// The developer's whole road in the window: "get" packs the script folder and
// "put" re-creates every script on the server, encrypted.

#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "app/qt/w_db_upgrade.h"
#include "common/app_names.h"
#include "common/gbk.h"
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

std::string file_bytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

template <class T = QPushButton>
T* control(QWidget& w, const char* name) {
    return w.findChild<T*>(QString::fromLatin1(name));
}

}  // namespace

TEST(window_get_then_put, recreates_every_script_of_the_folder_encrypted) {
    standin_test::standin_process server{{{"demo"}, {}}};
    test_support::settings_file registry{"SERVERNAME=" + server.server_name() + "\nDATABASE=velmora\n"};
    test_support::temp_folder run;
    test_support::scoped_cwd cwd{run.text()};

    std::vector<fs::path> scripts;
    for (const auto& e : fs::directory_iterator(DEMO_SCRIPTS_DIR))
        if (e.path().extension() == ".sql") scripts.push_back(e.path());
    ASSERT_FALSE(scripts.empty());

    velmora::database_session sqlca;
    test_support::recording_ui ui;
    w_db_upgrade window(sqlca, ui, true, DEMO_SCRIPTS_DIR);
    window.open();
    ASSERT_TRUE(wait_until([&] { return window.postopen_done(); }));
    ASSERT_TRUE(control(window, "cb_1")->isEnabled());

    QTest::mouseClick(control(window, "cb_get"), Qt::LeftButton);
    EXPECT_TRUE(ui.boxes().empty()) << "a good build shows nothing";
    EXPECT_EQ(control<QListWidget>(window, "lb_1")->count(), static_cast<int>(scripts.size()));
    ASSERT_TRUE(fs::exists(run.text() + "/db.dat"));

    QTest::mouseClick(control(window, "cb_put"), Qt::LeftButton);
    ASSERT_TRUE(wait_until([&] { return !window.busy(); }));
    EXPECT_EQ(ui.boxes(), (std::vector<std::pair<std::string, std::string>>{{velmora::gs_appname, "更新成功！"}}));

    const auto dump = nlohmann::json::parse(server.stop_and_dump());
    const auto& objects = dump.at("databases").at("velmora").at("objects");
    const std::string clause = " with ENCRYPTION ";
    for (const auto& script : scripts) {
        const std::string name = script.stem().string();
        bool found = false;
        for (std::size_t i = 0; i < objects.size(); ++i) {
            if (objects[i].at("name").get<std::string>() != name) continue;
            found = true;
            EXPECT_TRUE(objects[i].at("encrypted").get<bool>()) << name;
            // What the server holds is the file's text from its create key
            // on, with the clause as the only addition.
            std::string definition = objects[i].at("definition").get<std::string>();
            const auto at = definition.find(clause);
            ASSERT_NE(at, std::string::npos) << name;
            definition.erase(at, clause.size());
            const std::string text = velmora::gbk_to_utf8(file_bytes(script)).value_or("");
            EXPECT_TRUE(text.size() >= definition.size() &&
                        text.compare(text.size() - definition.size(), definition.size(), definition) == 0)
                << name;
        }
        EXPECT_TRUE(found) << name << " was not created";
    }
}

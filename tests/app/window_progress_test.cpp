// The window while the upgrade runs on a slow server: it shows where the run
// stands, keeps painting while a statement waits, and lets nothing the
// operator does act (no button, no key, no close) until the command has ended.

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <set>

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

namespace {

// Counts the paints a widget receives.
class paint_counter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++paints;
        return false;
    }
};

class window_during_upgrade : public ::testing::Test {
protected:
    // Every request held 150 ms: a demo run takes some seconds, each
    // statement long enough to be caught waiting.
    standin_test::standin_process server{{{"demo"}, {"--delay-ms", "150"}}};
    test_support::settings_file registry{"SERVERNAME=" + server.server_name() + "\nDATABASE=velmora\n"};
    test_support::temp_folder run;
    test_support::scoped_cwd cwd{run.text()};
    velmora::database_session sqlca;
    test_support::recording_ui ui;

    void SetUp() override {
        test_support::recording_ui packer;
        ASSERT_TRUE(velmora::build_package(DEMO_SCRIPTS_DIR, run.text() + "/", packer).written);
    }
};

TEST_F(window_during_upgrade, progress_advances_painting_goes_on_and_no_input_acts) {
    w_db_upgrade window(sqlca, ui, false);
    ASSERT_TRUE(open_active(window, 30000));
    auto* upgrade = window.findChild<QPushButton*>("cb_1");
    auto* exit = window.findChild<QPushButton*>("cb_2");
    auto* line = window.findChild<QLabel*>("st_progress");
    auto* object = window.findChild<QLabel*>("st_progress_object");
    auto* bar = window.findChild<QProgressBar*>("pb_progress");
    ASSERT_TRUE(line && object && bar);
    EXPECT_TRUE(line->isHidden());

    paint_counter paints;
    line->installEventFilter(&paints);
    QTest::keyClick(&window, Qt::Key_U, Qt::AltModifier);
    ASSERT_TRUE(wait_until([&] { return window.busy(); }, 5000));

    std::set<std::string> lines_seen, objects_seen;
    int repaints_asked = 0, repaints_done = 0;
    bool tried_input = false;
    while (window.busy()) {
        if (line->isVisible()) lines_seen.insert(line->text().toStdString());
        if (!object->text().isEmpty()) objects_seen.insert(object->text().toStdString());

        // A repaint asked for while the work waits on the server comes at once.
        const int before = paints.paints;
        const bool shown = line->isVisible();
        line->update();
        QTest::qWait(40);
        if (shown && line->isVisible()) {  // not at either end of the run
            ++repaints_asked;
            repaints_done += paints.paints > before;
        }

        if (!tried_input && !objects_seen.empty()) {
            tried_input = true;
            // Nothing the operator does acts while the command runs.
            QTest::mouseClick(exit, Qt::LeftButton);
            QTest::keyClick(&window, Qt::Key_E, Qt::AltModifier);
            QTest::keyClick(&window, Qt::Key_U, Qt::AltModifier);
            window.close();
            QTest::qWait(50);
            EXPECT_TRUE(window.isVisible()) << "the window closed during the upgrade";
        }
    }
    EXPECT_TRUE(tried_input);
    EXPECT_FALSE(upgrade->isEnabled());
    EXPECT_TRUE(line->isHidden()) << "the progress line goes once the command has ended";

    // Both passes, the built-in steps and the objects one after another.
    bool pass_one = false, pass_two = false, builtin = false;
    for (const auto& l : lines_seen) {
        pass_one |= l.find("第 1 遍：升级数据库“velmora”") != std::string::npos;
        pass_two |= l.find("第 2 遍：升级特殊客户数据库“BrenHolt”") != std::string::npos;
        builtin |= l.find("内置升级：") != std::string::npos;
    }
    EXPECT_TRUE(pass_one && pass_two && builtin) << lines_seen.size() << " lines seen";
    EXPECT_GE(objects_seen.size(), 3u) << "the script names shown as the run went on";
    EXPECT_GE(repaints_asked, 10);
    EXPECT_EQ(repaints_done, repaints_asked) << "a repaint waited for the server";

    // The run itself went as on one thread: two successes, nothing else.
    int successes = 0;
    for (const auto& [title, text] : ui.boxes()) successes += text == "更新成功！";
    EXPECT_EQ(successes, 2);
    EXPECT_EQ(ui.boxes().size(), 2u);
    EXPECT_EQ(ui.busy_depth, 0);

    // Once it has ended, the exit button closes the window.
    QTest::mouseClick(exit, Qt::LeftButton);
    EXPECT_TRUE(wait_until([&] { return !window.isVisible(); }, 5000));
}

}  // namespace

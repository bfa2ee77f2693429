// The main window: its controls as the operator sees them, the open handler,
// and what a failed login leaves behind.

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "app/qt/w_db_upgrade.h"
#include "common/app_names.h"
#include "common/gbk.h"
#include "package/package_builder.h"
#include "support/closed_port.h"
#include "support/recording_ui.h"
#include "support/scoped_cwd.h"
#include "support/settings_file.h"
#include "support/temp_folder.h"
#include "window_support.h"

using velmora::app::w_db_upgrade;

void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
using namespace window_test;
namespace fs = std::filesystem;

namespace {

struct expected_control {
    const char* name;
    const char* kind;  // Qt class
    QString text;
    QRect geometry;    // pixels at 96 dpi
    int point_size;
    bool bold;
};

// Positions and sizes converted by hand from the layout units of the design.
const std::vector<expected_control> controls = {
    {"st_4", "QLabel", "更新日期：", {299, 95, 66, 13}, 10, false},
    {"st_8", "QLabel", "Velmora", {7, 22, 475, 41}, 28, false},
    {"st_7", "QLabel", "", {4, 1, 480, 78}, 11, false},
    {"cbx_proc", "QCheckBox", "Proc&&Trigger", {145, 192, 102, 19}, 9, true},
    {"lb_1", "QListWidget", "", {292, 149, 185, 119}, 10, false},
    {"cb_put", "QPushButton", "put", {80, 191, 63, 23}, 10, false},
    {"cb_get", "QPushButton", "get", {14, 191, 63, 23}, 10, false},
    {"st_3", "QLabel", "2017-04-04", {376, 95, 100, 13}, 10, true},
    {"st_2", "QLabel", "运行本程序前，请先备份数据库！", {39, 161, 198, 13}, 10, false},
    {"st_1", "QLabel", "此程序把用户数据库升级到最新版本，并保留其原有数据。", {41, 136, 341, 13}, 10, false},
    {"cb_2", "QPushButton", "退出(&E)", {297, 293, 96, 24}, 10, false},
    {"cb_1", "QPushButton", "数据库升级(&U)", {25, 293, 96, 24}, 10, false},
    {"gb_1", "QGroupBox", "", {5, 80, 480, 201}, 10, false},
};

QString text_of(QWidget* w) {
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
    return {};
}

template <class T = QWidget>
T* control(QWidget& window, const char* name) {
    auto* w = window.findChild<T*>(QString::fromLatin1(name));
    if (!w) ADD_FAILURE() << "no control " << name;
    return w;
}

// A session that has never connected; enough for everything before the login.
struct unopened_window {
    velmora::database_session sqlca;
    test_support::recording_ui ui;
    w_db_upgrade window;
    explicit unopened_window(bool developer) : window(sqlca, ui, developer) {}
};

std::vector<QWidget*> developer_controls(QWidget& w) {
    return {control(w, "cb_get"), control(w, "cb_put"), control(w, "lb_1"), control(w, "cbx_proc")};
}

}  // namespace

TEST(window_layout, every_control_has_its_kind_text_place_and_font) {
    unopened_window u(true);
    for (const auto& c : controls) {
        SCOPED_TRACE(c.name);
        QWidget* w = control(u.window, c.name);
        ASSERT_NE(w, nullptr);
        EXPECT_STREQ(w->metaObject()->className(), c.kind);
        EXPECT_EQ(text_of(w), c.text);
        EXPECT_EQ(w->geometry(), c.geometry);
        EXPECT_EQ(w->font().pointSize(), c.point_size);
        EXPECT_EQ(w->font().bold(), c.bold);
    }
    auto* date = control(u.window, "st_3");
    EXPECT_TRUE(date->font().italic());
    EXPECT_TRUE(date->font().underline());
    EXPECT_TRUE(control(u.window, "st_8")->font().fixedPitch());
    EXPECT_TRUE(control<QLabel>(u.window, "st_8")->alignment() & Qt::AlignRight);
    EXPECT_EQ(control<QLabel>(u.window, "st_7")->frameShadow(), QFrame::Sunken);
    EXPECT_EQ(u.window.windowTitle(), QString("Velmora数据库升级"));
}

TEST(window_layout, colours_and_the_banner_panel) {
    unopened_window u(false);
    const QColor grey(206, 207, 206), red(255, 0, 0), blue(0, 0, 255), light_blue(166, 202, 240);
    EXPECT_EQ(u.window.palette().color(QPalette::Window), grey);
    for (const char* name : {"st_4", "st_3"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(control(u.window, name)->palette().color(QPalette::WindowText), red);
        EXPECT_EQ(control(u.window, name)->palette().color(QPalette::Window), grey);
    }
    for (const char* name : {"st_8", "st_7"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(control(u.window, name)->palette().color(QPalette::WindowText), blue);
        EXPECT_EQ(control(u.window, name)->palette().color(QPalette::Window), light_blue);
        EXPECT_TRUE(control(u.window, name)->autoFillBackground());
    }
}

TEST(window_layout, first_control_of_the_list_lies_on_top) {
    unopened_window u(true);
    // Qt keeps siblings bottom first.
    std::vector<QString> bottom_to_top;
    std::vector<QString> expected;
    for (auto it = controls.rbegin(); it != controls.rend(); ++it) expected.push_back(it->name);
    for (QObject* o : u.window.children())
        if (o->isWidgetType() && std::find(expected.begin(), expected.end(), o->objectName()) != expected.end())
            bottom_to_top.push_back(o->objectName());
    EXPECT_EQ(bottom_to_top, expected);
}

TEST(window_layout, the_progress_line_is_hidden_when_idle_and_covers_no_control_in_either_build) {
    for (bool developer : {false, true}) {
        SCOPED_TRACE(developer ? "developer build" : "delivered build");
        unopened_window u(developer);
        for (const char* name : {"st_progress", "st_progress_object", "pb_progress"}) {
            QWidget* progress = control(u.window, name);
            ASSERT_NE(progress, nullptr);
            EXPECT_TRUE(progress->isHidden()) << name;
            for (const auto& c : controls) {
                if (std::string_view(c.name) == "gb_1") {
                    // Inside the frame, clear of its edges.
                    EXPECT_TRUE(c.geometry.adjusted(2, 8, -2, -2).contains(progress->geometry())) << name;
                    continue;
                }
                EXPECT_FALSE(c.geometry.intersects(progress->geometry())) << name << " covers " << c.name;
            }
        }
    }
}

// The longest line a run shows stands whole in the progress line's two rows;
// a database name too long for them gives way in its middle; the object's
// name stands clear of the bar.
TEST(window_layout, the_progress_line_shows_its_whole_text_and_the_name_stands_clear_of_the_bar) {
    unopened_window u(true);
    auto* line = control<QLabel>(u.window, "st_progress");
    auto* object = control<QLabel>(u.window, "st_progress_object");
    QWidget* bar = control(u.window, "pb_progress");
    ASSERT_TRUE(line && object && bar);
    EXPECT_TRUE(line->wordWrap());
    EXPECT_GE(line->height(), 2 * QFontMetrics(line->font()).height());
    EXPECT_GE(object->height(), QFontMetrics(object->font()).height());
    EXPECT_LT(line->geometry().bottom(), object->geometry().top());
    EXPECT_LT(object->geometry().bottom() + 1, bar->geometry().top()) << "the name touches the bar";
    auto rows_needed = [&](const QString& text) {
        return QFontMetrics(line->font()).boundingRect(QRect(0, 0, line->width(), 1 << 20), Qt::TextWordWrap, text);
    };

    velmora::app::progress_state longest;
    longest.pass = 2;
    longest.database = "BrenHolt";
    longest.step = "增加字段 t_wm_sheet_detail.sort_id";
    const QString whole = u.window.progress_line_text(longest);
    EXPECT_EQ(whole.toStdString(), longest.first_line());
    EXPECT_LE(rows_needed(whole).height(), line->height());

    velmora::app::progress_state long_name = longest;
    long_name.database = "shop_" + std::string(120, 'x') + "_2017";
    const QString shown = u.window.progress_line_text(long_name);
    // The name's two ends, the rest of the line whole.
    EXPECT_TRUE(shown.startsWith(QString("第 2 遍：升级特殊客户数据库“sh"))) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(QString("7”，内置升级：增加字段 t_wm_sheet_detail.sort_id"))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QString("…")));
    const QRect needed = rows_needed(shown);
    EXPECT_LE(needed.height(), line->height());
    EXPECT_LE(needed.width(), line->width());
}

TEST(window_layout, tab_visits_the_two_buttons_then_the_developer_controls) {
    unopened_window u(true);
    std::vector<QString> order;
    QWidget* w = control(u.window, "cb_1");
    for (int i = 0; i < 20 && w; ++i, w = w->nextInFocusChain()) {
        if ((w->focusPolicy() & Qt::TabFocus) && w != &u.window && !order.empty() && w->objectName() == order.front())
            break;
        if (w->focusPolicy() & Qt::TabFocus) order.push_back(w->objectName());
    }
    EXPECT_EQ(order, (std::vector<QString>{"cb_1", "cb_2", "cb_get", "cb_put", "lb_1"}));
    EXPECT_FALSE(control(u.window, "cbx_proc")->focusPolicy() & Qt::TabFocus);
    for (const char* name : {"cb_1", "cb_2", "cb_put", "cb_get"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(control<QPushButton>(u.window, name)->isDefault());
        EXPECT_FALSE(control<QPushButton>(u.window, name)->autoDefault());
    }
}

TEST(window_layout, frame_has_no_minimise_or_maximise_box_and_resizing_moves_nothing) {
    unopened_window u(false);
    const Qt::WindowFlags f = u.window.windowFlags();
    EXPECT_FALSE(f & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(f & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(f & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(f & Qt::WindowSystemMenuHint);
    EXPECT_EQ(u.window.layout(), nullptr);
    u.window.resize(900, 700);
    EXPECT_EQ(control(u.window, "cb_2")->geometry(), QRect(297, 293, 96, 24));
    EXPECT_FALSE(u.window.windowIcon().isNull());
}

TEST(window_list, names_arrive_from_gbk_sorted_without_regard_to_case_and_replace_the_old_ones) {
    unopened_window u(true);
    auto* list = control<QListWidget>(u.window, "lb_1");
    u.window.show_package_names({"old.sql"});
    // "中文.sql" in GBK: D6 D0 CE C4.
    u.window.show_package_names({"b_MS.sql", "A_ms.sql", "\xD6\xD0\xCE\xC4.sql", "a_MS.sql", "C.sql"});
    QStringList shown;
    for (int i = 0; i < list->count(); ++i) shown << list->item(i)->text();
    // Names equal but for case keep the builder's tie-break, raw code order.
    EXPECT_EQ(shown, (QStringList{"A_ms.sql", "a_MS.sql", "b_MS.sql", "C.sql", "中文.sql"}));
    EXPECT_EQ(list->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(list->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
}

TEST(window_list, chinese_names_stand_in_the_packages_order_not_unicodes) {
    // The builder's listing of a folder with Chinese names, handed to the list
    // in reverse: the list shows exactly the package's order. In Unicode 中
    // (U+4E2D) comes before 啊 (U+554A) and 文 (U+6587), in GBK after both.
    test_support::temp_folder tmp;
    const std::string dir = tmp.text() + "/";
    for (const char* name : {"中_MS.sql", "啊_MS.sql", "文件_MS.sql", "Zeta_MS.sql", "a_MS.sql", "啊啊_MS.sql"})
        std::ofstream(dir + name) << "x";
    std::vector<std::string> package_order = velmora::list_scripts(dir);
    ASSERT_EQ(package_order.size(), 6u);
    std::vector<std::string> reversed(package_order.rbegin(), package_order.rend());

    unopened_window u(true);
    u.window.show_package_names(reversed);
    auto* list = control<QListWidget>(u.window, "lb_1");
    QStringList shown;
    for (int i = 0; i < list->count(); ++i) shown << list->item(i)->text();
    EXPECT_EQ(shown, (QStringList{"a_MS.sql", "Zeta_MS.sql", "啊_MS.sql", "啊啊_MS.sql", "文件_MS.sql", "中_MS.sql"}));
    QStringList expected;
    for (const auto& name : package_order) expected << QString::fromStdString(velmora::gbk_to_utf8_lossy(name));
    EXPECT_EQ(shown, expected);
}

// Opening runs the open handler; with no registry at all the login fails at once.
class window_open : public ::testing::Test {
protected:
    test_support::settings_file registry{""};
};

TEST_F(window_open, delivered_build_hides_the_developer_controls_developer_build_shows_them) {
    for (bool developer : {false, true}) {
        SCOPED_TRACE(developer ? "developer" : "delivered");
        unopened_window u(developer);
        u.window.open();
        ASSERT_TRUE(wait_until([&] { return u.window.postopen_done(); }));
        for (QWidget* w : developer_controls(u.window)) {
            SCOPED_TRACE(w->objectName().toStdString());
            EXPECT_EQ(w->isVisible(), developer);
        }
        // Hidden or not, the box is ticked: the delivered upgrade runs the package.
        EXPECT_TRUE(control<QCheckBox>(u.window, "cbx_proc")->isChecked());
        EXPECT_TRUE(control(u.window, "cb_2")->isVisible());
        EXPECT_EQ(u.window.frameGeometry().size(), QSize(498, 360));
        const QPoint off = u.window.frameGeometry().center() - u.window.screen()->availableGeometry().center();
        EXPECT_LE(off.manhattanLength(), 2) << "centred on the screen";
    }
}

TEST_F(window_open, run_directory_is_the_working_directory_with_one_separator_appended) {
    test_support::temp_folder tmp;
    const fs::path nested = fs::path(tmp.text()) / "shop one" / "upgrade";
    fs::create_directories(nested);
    {
        test_support::scoped_cwd cwd(nested.string());
        unopened_window u(false);
        u.window.open();
        EXPECT_EQ(u.window.runpath(), fs::canonical(nested).string() + "/");
    }
    {
        test_support::scoped_cwd cwd("/");
        unopened_window u(false);
        u.window.open();
        EXPECT_EQ(u.window.runpath(), "//");
    }
}

TEST_F(window_open, run_directory_of_a_vanished_folder_is_empty_not_the_root) {
    test_support::temp_folder tmp;
    const std::string gone = tmp.text() + "/gone";
    fs::create_directories(gone);
    test_support::scoped_cwd cwd(gone);
    fs::remove(gone);
    EXPECT_EQ(velmora::current_run_directory(), "");
}

TEST(window_login, unreachable_server_gives_both_messages_in_order_then_greys_the_upgrade_button) {
    test_support::settings_file registry("SERVERNAME=127.0.0.1," + std::to_string(test_support::closed_port()) + "\nDATABASE=velmora\n");
    velmora::database_session sqlca;
    watching_ui ui;
    w_db_upgrade window(sqlca, ui, false);
    ui.watched = &window;
    auto* upgrade = control<QPushButton>(window, "cb_1");
    window.open();
    EXPECT_TRUE(upgrade->isEnabled()) << "the login waits until the window is on screen";
    ASSERT_TRUE(wait_until([&] { return window.postopen_done(); }));

    const auto boxes = ui.boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].first, velmora::gs_appname);
    EXPECT_EQ(boxes[0].second.rfind("不能连接到数据库！(错误信息：", 0), 0u) << boxes[0].second;
    EXPECT_GT(boxes[0].second.size(), std::string("不能连接到数据库！(错误信息：)").size()) << "the client's own text";
    EXPECT_EQ(boxes[0].second.back(), ')');
    EXPECT_EQ(boxes[1], std::make_pair(std::string(velmora::gs_appname), std::string("不能连接到数据库")));
    EXPECT_EQ(ui.beeps(), 1);
    EXPECT_EQ(ui.events.front().what, test_support::recording_ui::event::kind::beep);
    EXPECT_EQ(ui.window_visible_at_box, (std::vector<bool>{true, true}));

    EXPECT_FALSE(upgrade->isEnabled());
    EXPECT_FALSE(sqlca.connected());
    EXPECT_FALSE(window.brenholt_found());

    // Alt+U reaches nothing now; Alt+E still closes.
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_U, Qt::AltModifier);
    QTest::keyClick(&window, Qt::Key_E, Qt::AltModifier);
    EXPECT_TRUE(wait_until([&] { return !window.isVisible(); }, 5000));
    EXPECT_EQ(ui.boxes().size(), 2u);
}

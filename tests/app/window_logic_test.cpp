// The window's logic without any toolkit: a view that records what it is told
// and runs the background work when the test says so.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/logic/upgrade_window.h"
#include "support/recording_ui.h"
#include "support/scoped_cwd.h"
#include "support/settings_file.h"
#include "support/standin_process.h"
#include "support/temp_folder.h"
#include "window_support.h"

using velmora::app::progress_state;
using velmora::app::upgrade_window;
using velmora::app::window_options;
using namespace window_test;

namespace {

class fake_view : public velmora::app::window_view {
public:
    bool developer_visible = true;
    bool upgrade_enabled = true;
    bool box_checked = true;
    std::vector<std::string> names;
    bool closed = false;
    int started = 0, finished = 0;
    std::function<void()> pending_work, pending_done;

    void set_developer_controls_visible(bool visible) override { developer_visible = visible; }
    void set_upgrade_enabled(bool enabled) override { upgrade_enabled = enabled; }
    bool package_box_checked() const override { return box_checked; }
    void show_package_names(const std::vector<std::string>& gbk_names) override { names = gbk_names; }
    void close_window() override { closed = true; }
    void command_started() override { ++started; }
    void command_finished() override { ++finished; }
    // Held until the test runs it, so the test can act while the command is "running".
    void run_in_background(std::function<void()> work, std::function<void()> done) override {
        pending_work = std::move(work);
        pending_done = std::move(done);
    }
    void call_on_window_thread(const std::function<void()>& f) override { f(); }

    void finish_background() {
        pending_work();
        pending_done();
        pending_work = pending_done = nullptr;
    }
};

TEST(window_logic, the_upgrade_runs_once_and_nothing_acts_while_it_runs) {
    standin_test::standin_process server{{{"demo"}, {}}};
    test_support::settings_file registry{"SERVERNAME=" + server.server_name() + "\nDATABASE=velmora\n"};
    test_support::temp_folder run;
    test_support::scoped_cwd cwd{run.text()};
    velmora::database_session sqlca;
    test_support::recording_ui ui;
    fake_view view;
    upgrade_window window(sqlca, ui, view, window_options{false, ""});
    window.open();
    EXPECT_FALSE(view.developer_visible);
    window.ue_postopen();
    ASSERT_TRUE(sqlca.connected());

    window.cb_1_clicked();
    ASSERT_TRUE(window.busy());
    EXPECT_EQ(view.started, 1);
    ASSERT_TRUE(window.progress_now());
    // While it runs: no second command, no package run, no close.
    window.cb_1_clicked();
    window.cb_put_clicked();
    window.cb_2_clicked();
    EXPECT_FALSE(view.closed);
    EXPECT_EQ(view.started, 1);

    view.finish_background();
    EXPECT_FALSE(window.busy());
    EXPECT_EQ(view.finished, 1);
    EXPECT_FALSE(view.upgrade_enabled);
    EXPECT_FALSE(window.progress_now());
    // No db.dat beside the program: the package check stops it before any statement.
    ASSERT_EQ(ui.boxes().size(), 1u);
    EXPECT_EQ(ui.boxes()[0].second, "数据库升级程序不全，升级操作被中断。");

    window.cb_1_clicked();
    EXPECT_EQ(view.started, 1) << "the command runs once per start";
    window.cb_2_clicked();
    EXPECT_TRUE(view.closed);
}

// The list is filled with the builder's names as packaged: GBK bytes in the
// package's order, which only the view turns into text.
TEST(window_logic, get_hands_the_view_the_packaged_names_as_gbk) {
    test_support::settings_file registry{""};
    test_support::temp_folder run, scripts;
    test_support::scoped_cwd cwd{run.text()};
    for (const char* name : {"中文_MS.sql", "b_MS.sql", "A_MS.sql"})
        std::ofstream(scripts.text() + "/" + name)
            << "if exists (select * from sysobjects where name = 'p') drop procedure p\r\nGO\r\n"
               "CREATE PROCEDURE p\r\nAS\r\nBEGIN\r\nselect 1\r\nEND\r\n";
    velmora::database_session sqlca;
    test_support::recording_ui ui;
    fake_view view;
    upgrade_window window(sqlca, ui, view, window_options{true, scripts.text() + "/"});
    window.open();
    window.cb_get_clicked();
    EXPECT_TRUE(ui.boxes().empty()) << ui.boxes()[0].second;
    EXPECT_EQ(view.names, (std::vector<std::string>{"A_MS.sql", "b_MS.sql", "\xD6\xD0\xCE\xC4_MS.sql"}));
    EXPECT_TRUE(std::filesystem::exists(run.text() + "/db.dat"));
}

TEST(window_logic, the_progress_lines_say_the_pass_the_step_and_the_object) {
    progress_state p;
    p.pass = 1;
    p.database = "velmora";
    EXPECT_EQ(p.first_line(), "第 1 遍：升级数据库“velmora”");
    p.step = "增加菜单项 5120 物流跟踪";
    EXPECT_EQ(p.first_line(), "第 1 遍：升级数据库“velmora”，内置升级：增加菜单项 5120 物流跟踪");
    EXPECT_EQ(p.second_line(), "");
    p.step.clear();
    p.index = 3;
    p.count = 5;
    p.name = "p_MS_stock_sum.sql";
    p.pass = 2;
    p.database = "BrenHolt";
    EXPECT_EQ(p.first_line(), "第 2 遍：升级特殊客户数据库“BrenHolt”，对象 3/5");
    EXPECT_EQ(p.second_line(), "p_MS_stock_sum.sql");
    p.pass = 0;  // the package on its own ("put")
    EXPECT_EQ(p.first_line(), "执行数据库升级程序包，对象 3/5");
}

// A view's place for the first line, in characters: the name gives way in its
// middle, the rest of the line never does.
TEST(window_logic, the_first_line_shortens_only_the_database_name_to_fit) {
    progress_state p;
    p.pass = 1;
    p.database = "门店库存数据库_2017";  // 12 characters
    p.step = "增加字段 t_wm_sheet_detail.sort_id";
    const std::string head = "第 1 遍：升级数据库“", tail = "”，内置升级：增加字段 t_wm_sheet_detail.sort_id";
    auto characters = [](const std::string& s) {
        std::size_t n = 0;
        for (unsigned char c : s) n += (c & 0xC0) != 0x80;
        return n;
    };
    const std::size_t around = characters(head + tail);
    const struct {
        std::size_t room;  // characters that fit
        std::string name;  // as shown
    } rows[] = {
        {around + 12, "门店库存数据库_2017"},
        {around + 11, "门店库存数…_2017"},  // 10 characters kept and the ellipsis
        {around + 4, "门店…7"},
        {around + 1, "…"},
        {around, "…"},  // nothing smaller is shown
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.room);
        int asked = 0;
        const std::string shown = p.first_line_fitting([&](const std::string& s) {
            ++asked;
            return characters(s) <= r.room;
        });
        EXPECT_EQ(shown, head + r.name + tail);
        EXPECT_LE(asked, 6) << "the fit is searched, not tried name length by name length";
    }
    p.pass = 0;  // no name to shorten: the line as it is
    EXPECT_EQ(p.first_line_fitting([](const std::string&) { return false; }), p.first_line());
}

}  // namespace

// The upgrade command's passes on the demo server (a shop and the special
// customer database), and db_upgrade_cli end to end.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/app_names.h"
#include "package/package_builder.h"
#include "upgrade_test_support.h"

using namespace upgrade_test;

namespace {

const std::string alter_column = "alter table t_wm_sheet_detail add sort_id int DEFAULT(0) null";
const box package_done{velmora::gs_appname, "更新成功！"};

TEST(upgrade_command, the_special_database_gets_a_second_pass_after_a_quoted_use) {
    demo_setup demo;
    auto& [server, conf] = demo;
    ASSERT_FALSE(demo_object_names().empty());

    auto run = run_program(conf);
    ASSERT_TRUE(run->logged_in) << run->sqlca->error_text;
    EXPECT_TRUE(run->special.found);
    EXPECT_EQ(run->special.name, "BrenHolt");
    EXPECT_EQ(run->report.passes.size(), 2u);
    EXPECT_EQ(package_runs(run->report).size(), 2u);
    EXPECT_EQ(run->ui.boxes(), (std::vector<box>{package_done, package_done}));
    EXPECT_EQ(run->ui.busy_depth, 0);
    EXPECT_FALSE(run->sqlca->autocommit());
    EXPECT_EQ(run->sqlca->current_database(), "BrenHolt");

    // Each pass runs its own built-in upgrade, on its own database.
    auto j = journal(server);
    std::vector<std::string> alters_in;
    bool switched = false;
    for (const auto& e : j) {
        if (e.sql == alter_column) alters_in.push_back(e.db);
        if (e.sql == "use [BrenHolt]" && !alters_in.empty()) switched = true;
    }
    EXPECT_TRUE(switched);
    EXPECT_EQ(alters_in, (std::vector<std::string>{"velmora", "BrenHolt"}));

    server_state after = stop(server);
    expect_upgraded(after, "velmora");
    expect_upgraded(after, "BrenHolt");
}

TEST(upgrade_command, the_special_database_configured_itself_is_upgraded_twice) {
    demo_setup demo("BrenHolt");
    auto& [server, conf] = demo;

    auto run = run_program(conf);
    ASSERT_TRUE(run->logged_in) << run->sqlca->error_text;
    EXPECT_EQ(run->report.passes.size(), 2u);
    std::vector<journal_entry> alters;
    for (const auto& e : journal(server))
        if (e.sql == alter_column) alters.push_back(e);
    ASSERT_EQ(alters.size(), 2u);
    EXPECT_EQ(alters[0].db, "BrenHolt");
    EXPECT_EQ(alters[0].error, 0);
    EXPECT_EQ(alters[1].db, "BrenHolt");
    EXPECT_EQ(alters[1].error, 2705);

    server_state after = stop(server);
    expect_upgraded(after, "BrenHolt");
    table version = after.get("velmora", "t_sys_system");
    EXPECT_NE((*version.find("DataBase_Version"))[2], cell("V9 20170621"));
}

TEST(upgrade_command, each_pass_gives_its_lock_back_while_the_session_stays_open) {
    // The window keeps its session after the upgrade: another workstation
    // must not be told the databases are still being upgraded.
    demo_setup demo;
    auto first = run_program(demo.conf);
    ASSERT_FALSE(first->report.failed()) << first->ui.boxes().back().second;
    ASSERT_TRUE(first->sqlca->connected());
    // Its open transaction holds nothing on SQL Server, but the stand-in's
    // coarse database lock: end it. The application lock is the session's,
    // and outlives it.
    first->sqlca->commit();
    auto second = run_program(demo.conf);
    EXPECT_EQ(second->ui.boxes(), (std::vector<box>{package_done, package_done}));
    EXPECT_FALSE(second->report.failed());
}

TEST(db_upgrade_cli, upgrades_the_demo_server_printing_each_message_as_a_line) {
    demo_setup demo;
    auto& [server, conf] = demo;

    auto r = run_cli(conf.run_dir(), conf.conf_dir());
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    std::string done = std::string(velmora::gs_appname) + ": 更新成功！";
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{done, done}));

    server_state after = stop(server);
    expect_upgraded(after, "velmora");
    expect_upgraded(after, "BrenHolt");
}

TEST(db_upgrade_cli, failures_give_their_exit_status) {
    configuration conf;
    {
        // Nobody listens: the login's two messages, the driver's text indented.
        conf.point_at("127.0.0.1," + std::to_string(test_support::closed_port()), "velmora");
        auto r = run_cli(conf.run_dir(), conf.conf_dir());
        EXPECT_EQ(r.exit_code, 2) << r.out << r.err;
        auto lines = lines_of(r.out);
        ASSERT_GE(lines.size(), 2u) << r.out;
        std::string head = std::string(velmora::gs_appname) + ": 不能连接到数据库！(错误信息：[FreeTDS]";
        EXPECT_EQ(lines.front().rfind(head, 0), 0u) << r.out;
        for (std::size_t i = 1; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i].rfind("    ", 0), 0u) << lines[i];
        EXPECT_EQ(lines[lines.size() - 2].back(), ')');
        EXPECT_EQ(lines.back(), std::string(velmora::gs_appname) + ": 不能连接到数据库");
    }
    {
        // Logged in, but no package beside the program.
        standin_test::standin_process server(with_fixtures({"one_shop.sql"}));
        conf.point_at(server.server_name(), "shop");
        auto r = run_cli(conf.run_dir(), conf.conf_dir());
        EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
        EXPECT_EQ(lines_of(r.out),
                  (std::vector<std::string>{std::string(velmora::gs_appname) + ": 数据库升级程序不全，升级操作被中断。"}));
    }
    {
        // An option the program does not know runs nothing.
        auto help = run_cli(conf.run_dir(), conf.conf_dir(), {"--help"});
        EXPECT_EQ(help.exit_code, 0);
        EXPECT_NE(help.out.find("Exit status"), std::string::npos);
        auto other = run_cli(conf.run_dir(), conf.conf_dir(), {"--databse=other"});
        EXPECT_EQ(other.exit_code, 1);
        EXPECT_TRUE(other.out.empty());
    }
}

}  // namespace

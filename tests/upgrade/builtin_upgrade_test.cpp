// The built-in schema upgrade inside the upgrade command, on a one-shop server.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/app_names.h"
#include "upgrade_test_support.h"

using namespace upgrade_test;

namespace {

const std::string date_query =
    "select isnull ( max ( sys_var_value ) , '00000000' ) from t_sys_system where sys_var_id ='UPGRADE_DATE'";
const std::string date_insert =
    "insert t_sys_system values ( 'UPGRADE_DATE' , 'UPGRADE_DATE' , '00000000' , '是' , '' , null , null , null )";
const std::string alter_column = "alter table t_wm_sheet_detail add sort_id int DEFAULT(0) null";
const std::string menu_insert =
    "insert into t_sys_menu values ( '5120' , '物流跟踪' , 'w_pd_flow' , 'SHEE' , 'S' , '' , '111111' , '0' , '0' , "
    "'0' , '0' , '' , '0' , '' , '' , '' )";
const std::string version_update =
    "update t_sys_system set sys_var_value ='V9 20170621' where sys_var_id ='DataBase_Version'";
const std::string rights_insert =
    "insert t_sys_oper_grant select distinct oper_id , t_sys_menu.menu_id , '1' , '0' , '0' , '0' , '0' , '0' , "
    "'0' , '0' , '0' , '0' , '' from t_sys_oper_grant , t_sys_menu where t_sys_menu.menu_id not in ( select "
    "func_id from t_sys_oper_grant ) and right ( t_sys_menu.menu_id , 2 ) <> '00' and ltrim ( rtrim ( "
    "t_sys_menu.menu_name ) ) <> '-' and left ( t_sys_menu.menu_id , 1 ) not in ( 'E' , 'F' )";

const box refusal{"提示", "数据库升级程序不全，升级操作被中断。"};
const box package_done{velmora::gs_appname, "更新成功！"};

std::string trim_blanks(const std::string& s) {
    auto b = s.find_first_not_of(' ');
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

std::string upper(std::string s) {
    for (auto& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

// The rights rows the release promises, worked out from the menu and the
// rights as they stood: every operator holding any right gets every item that
// nobody holds, except group items (code ending in 00), separators (caption
// "-") and the E and F ranges.
std::multiset<row> expected_rights(const table& grants_before, const table& menu_after) {
    std::set<std::string> operators, held;
    for (const auto& g : grants_before.rows) {
        operators.insert(g[0].value_or(""));
        held.insert(upper(trim_blanks(g[1].value_or(""))));
    }
    std::multiset<row> out = grants_before.row_set();
    for (const auto& m : menu_after.rows) {
        std::string id = m[0].value_or("");
        if (held.count(upper(trim_blanks(id)))) continue;
        if (id.size() >= 2 && id.substr(id.size() - 2) == "00") continue;
        if (!m[1] || trim_blanks(*m[1]) == "-") continue;
        if (!id.empty() && (upper(id.substr(0, 1)) == "E" || upper(id.substr(0, 1)) == "F")) continue;
        for (const auto& op : operators)
            out.insert(row{op, id, "1", "0", "0", "0", "0", "0", "0", "0", "0", "0", ""});
    }
    return out;
}

// Our statements as the server received them, without the driver's own.
std::vector<std::string> statements(const std::vector<journal_entry>& j) {
    std::vector<std::string> out;
    for (const auto& e : j)
        if (!e.sql.empty() && e.sql[0] != '<' && upper(e.sql.substr(0, 4)) != "SET ") out.push_back(e.sql);
    return out;
}

TEST(builtin_upgrade, a_shop_without_a_dated_upgrade_gets_every_change_in_order) {
    server_state before = fresh_state({"one_shop.sql"});
    standin_test::standin_process server(with_fixtures({"one_shop.sql"}));
    configuration conf;
    conf.point_at(server.server_name(), "shop");
    conf.package(fixture("scripts"));

    auto run = run_program(conf);
    ASSERT_TRUE(run->logged_in) << run->sqlca->error_text;
    EXPECT_EQ(run->report.passes.size(), 1u);
    EXPECT_FALSE(refused(run->report));
    EXPECT_EQ(run->ui.boxes(), std::vector<box>{package_done});
    EXPECT_FALSE(run->sqlca->autocommit());
    EXPECT_EQ(run->sqlca->current_database(), "shop");

    auto sent = statements(journal(server));
    auto first = std::find(sent.begin(), sent.end(), date_query);
    ASSERT_NE(first, sent.end());
    std::vector<std::string> ours(first, std::min(sent.end(), first + 7));
    EXPECT_EQ(ours, (std::vector<std::string>{date_query, date_insert, date_query, alter_column, menu_insert,
                                              version_update, rights_insert}));

    // Stopped with the session still open: only what was committed is there.
    server_state after = stop(server);
    table sys = after.get("shop", "t_sys_system");
    EXPECT_EQ(sys.find("UPGRADE_DATE"),
              (row{"UPGRADE_DATE", "UPGRADE_DATE", "00000000", "是", "", std::nullopt, std::nullopt, std::nullopt}));
    EXPECT_EQ(sys.find("DataBase_Version").value_or(row{})[2], cell("V9 20170621"));
    EXPECT_EQ(sys.find("BRANCH_NO"), before.get("shop", "t_sys_system").find("BRANCH_NO"));

    table detail = after.get("shop", "t_wm_sheet_detail");
    EXPECT_EQ(detail.columns.back(), "sort_id");
    EXPECT_EQ(detail.rows.size(), 1u);

    table menu = after.get("shop", "t_sys_menu");
    EXPECT_EQ(menu.find("5120"), (row{"5120", "物流跟踪", "w_pd_flow", "SHEE", "S", "", "111111", "0", "0", "0", "0",
                                      "", "0", "", "", ""}));
    EXPECT_EQ(menu.rows.size(), before.get("shop", "t_sys_menu").rows.size() + 1);

    table grants = after.get("shop", "t_sys_oper_grant");
    auto expected = expected_rights(before.get("shop", "t_sys_oper_grant"), menu);
    EXPECT_EQ(grants.row_set(), expected);
    // Three operators hold rights; 0103, 0106, 0201 and 5120 are free for all.
    EXPECT_EQ(grants.rows.size(), 4u + 3u * 4u);

    auto objects = after.objects("shop");
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0].name, "p_MS_shop_check");
    EXPECT_TRUE(objects[0].encrypted);
}

TEST(builtin_upgrade, a_dated_shop_is_refused_unchanged_and_still_gets_its_package) {
    std::vector<std::string> fixtures{"one_shop.sql", "dated.sql"};
    server_state before = fresh_state(fixtures);
    standin_test::standin_process server(with_fixtures(fixtures));
    configuration conf;
    conf.point_at(server.server_name(), "shop");
    conf.package(fixture("scripts"));

    auto run = run_program(conf);
    ASSERT_TRUE(run->logged_in) << run->sqlca->error_text;
    EXPECT_TRUE(refused(run->report));
    EXPECT_EQ(run->ui.boxes(), (std::vector<box>{refusal, package_done}));
    ASSERT_EQ(package_runs(run->report).size(), 1u);
    EXPECT_TRUE(run->report.failed());

    for (const auto& e : statements(journal(server))) {
        EXPECT_NE(e, date_insert);
        EXPECT_NE(e, alter_column);
        EXPECT_NE(e, rights_insert);
    }
    server_state after = stop(server);
    for (const char* name : {"t_sys_system", "t_sys_menu", "t_sys_oper_grant", "t_wm_sheet_detail"}) {
        EXPECT_EQ(after.get("shop", name).columns, before.get("shop", name).columns) << name;
        EXPECT_EQ(after.get("shop", name).row_set(), before.get("shop", name).row_set()) << name;
    }
    ASSERT_EQ(after.objects("shop").size(), 1u);
    EXPECT_TRUE(after.objects("shop")[0].encrypted);
}

TEST(builtin_upgrade, a_database_without_the_system_table_is_refused_and_nothing_is_inserted) {
    standin_test::standin_process server(with_fixtures({"bare.sql"}));
    configuration conf;
    conf.point_at(server.server_name(), "bare");

    auto run = run_program(conf, /*cbx_proc_checked=*/false);
    ASSERT_TRUE(run->logged_in) << run->sqlca->error_text;
    EXPECT_TRUE(refused(run->report));
    EXPECT_EQ(run->ui.boxes(), std::vector<box>{refusal});
    for (const auto& e : statements(journal(server))) EXPECT_NE(e, date_insert);
}

TEST(builtin_upgrade, a_second_start_sends_the_same_statements_and_their_failures_stay_silent) {
    standin_test::standin_process server(with_fixtures({"one_shop.sql"}));
    configuration conf;
    conf.point_at(server.server_name(), "shop");

    auto first = run_program(conf, /*cbx_proc_checked=*/false);
    ASSERT_TRUE(first->logged_in);
    first.reset();  // the program ends
    auto first_count = journal(server).size();

    auto second = run_program(conf, false);
    ASSERT_TRUE(second->logged_in);
    EXPECT_FALSE(refused(second->report));
    EXPECT_TRUE(second->ui.boxes().empty());
    EXPECT_TRUE(package_runs(second->report).empty());

    auto all = journal(server);
    std::vector<journal_entry> later(all.begin() + static_cast<long>(first_count), all.end());
    auto error_of = [&](const std::string& sql) {
        for (const auto& e : later)
            if (e.sql == sql) return e.error;
        return -1;  // not sent
    };
    EXPECT_EQ(error_of(date_insert), 2627);   // the row exists: its key refuses a second one
    EXPECT_EQ(error_of(alter_column), 2705);  // the column exists
    EXPECT_EQ(error_of(menu_insert), 2627);
    EXPECT_EQ(error_of(version_update), 0);
    EXPECT_EQ(error_of(rights_insert), 0);

    server_state after = stop(server);
    EXPECT_EQ(after.get("shop", "t_sys_oper_grant").rows.size(), 4u + 3u * 4u);
}

TEST(builtin_upgrade, a_step_whose_commit_fails_is_a_failed_step) {
    // As in the second pass, where each step commits on its own.
    standin_test::standin_process server(
        {{fixture("one_shop.sql")}, {"--fail", "^<commit tran>$=3930:The transaction cannot be committed."}});
    configuration conf;
    conf.point_at(server.server_name(), "shop");
    velmora::database_session sqlca;
    test_support::recording_ui ui;
    velmora::special_database_probe special;
    ASSERT_TRUE(velmora::wf_connect_db(sqlca, ui, special)) << sqlca.error_text;
    sqlca.set_autocommit(false);
    const velmora::step_definition step{"更新数据库版本号 V9 20170621", version_update.c_str(), {}};
    const velmora::step_result r = velmora::apply_step(sqlca, ui, step, "shop");
    EXPECT_EQ(r.outcome, velmora::step_result::status::failed);
    EXPECT_EQ(r.native_error, 3930);
    EXPECT_EQ(ui.boxes(), (std::vector<box>{{velmora::gs_appname,
                                             "数据库“shop”的升级步骤“更新数据库版本号 V9 20170621”失败！(错误信息：[FreeTDS][SQL "
                                             "Server]The transaction cannot be committed.)"}}));
}

TEST(builtin_upgrade, an_unchecked_package_box_runs_no_package) {
    standin_test::standin_process server(with_fixtures({"one_shop.sql"}));
    configuration conf;
    conf.point_at(server.server_name(), "shop");
    conf.package(fixture("scripts"));

    auto run = run_program(conf, /*cbx_proc_checked=*/false);
    ASSERT_TRUE(run->logged_in);
    EXPECT_TRUE(package_runs(run->report).empty());
    EXPECT_TRUE(run->ui.boxes().empty());
    EXPECT_EQ(run->ui.busy_depth, 0);
    for (const auto& e : statements(journal(server))) EXPECT_EQ(upper(e).find("CREATE"), std::string::npos) << e;
    EXPECT_TRUE(stop(server).objects("shop").empty());
}

}  // namespace

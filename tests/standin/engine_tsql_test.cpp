// The engine's T-SQL: the upgrade's own statements on the demo data, SQL
// Server's comparison and conversion rules, and its error numbers.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "engine_test_support.h"

using namespace engine_test;
using standin::batch_reply;

namespace {

class tsql : public ::testing::Test {
protected:
    demo_engine demo;
    session s{demo.eng, "velmora"};
};

TEST_F(tsql, upgrade_statements_have_sql_servers_effect_on_the_demo_data) {
    EXPECT_EQ(s.scalar("select isnull ( max ( sys_var_value ) , '00000000' ) from t_sys_system where sys_var_id ='UPGRADE_DATE'"),
              "00000000");
    EXPECT_EQ(s.run("insert t_sys_system values ( 'UPGRADE_DATE' , 'UPGRADE_DATE' , '00000000' , '是' , '' , null , null , null )").first_error, 0);
    EXPECT_EQ(s.run("alter table t_wm_sheet_detail add sort_id int DEFAULT(0) null").first_error, 0);
    EXPECT_EQ(s.run("insert into t_sys_menu values ( '5120' , '物流跟踪' , 'w_pd_flow' , 'SHEE' , 'S' , '' , '111111' , '0' , '0' , '0' , '0' , '' , '0' , '' , '' , '' )").first_error, 0);
    EXPECT_EQ(s.run("update t_sys_system set sys_var_value ='V9 20170621' where sys_var_id ='DataBase_Version'").first_error, 0);

    // Expected rights, worked out from the fixture's data without the statement.
    auto ops = s.query("select distinct oper_id from t_sys_oper_grant");
    auto held = s.query("select distinct func_id from t_sys_oper_grant");
    auto menu = s.query("select menu_id, menu_name from t_sys_menu");
    std::set<std::string> expected;
    for (const auto& line : s.query("select oper_id, func_id from t_sys_oper_grant")) expected.insert(line);
    for (const auto& m : menu) {
        std::string id = m.substr(0, m.find('|')), name = m.substr(m.find('|') + 1);
        std::string trimmed = name;
        trimmed.erase(0, trimmed.find_first_not_of(' '));
        trimmed.erase(trimmed.find_last_not_of(' ') + 1);
        if (std::find(held.begin(), held.end(), id) != held.end()) continue;
        if (id.size() >= 2 && id.substr(id.size() - 2) == "00") continue;
        if (trimmed == "-" || id[0] == 'E' || id[0] == 'F') continue;
        for (const auto& o : ops) expected.insert(o + "|" + id);
    }
    auto r = s.run("insert t_sys_oper_grant select distinct oper_id , t_sys_menu.menu_id , '1' , '0' , '0' , '0' , '0' , '0' , '0' , '0' , '0' , '0' , '' from t_sys_oper_grant , t_sys_menu where t_sys_menu.menu_id not in ( select func_id from t_sys_oper_grant ) and right ( t_sys_menu.menu_id , 2 ) <> '00' and ltrim ( rtrim ( t_sys_menu.menu_name ) ) <> '-' and left ( t_sys_menu.menu_id , 1 ) not in ( 'E' , 'F' )");
    EXPECT_EQ(r.first_error, 0);
    auto after = s.query("select oper_id, func_id from t_sys_oper_grant");
    EXPECT_EQ(std::set<std::string>(after.begin(), after.end()), expected);
    EXPECT_TRUE(expected.count("1001|5120"));
    EXPECT_EQ(s.scalar("select grant_run + grant_add + isnull(grant_memo, 'null') from t_sys_oper_grant where oper_id = '1002' and func_id = '5120'"), "10");

    EXPECT_EQ(s.scalar("select sys_var_value from t_sys_system where sys_var_id = 'database_version'"), "V9 20170621");
    EXPECT_EQ(s.scalar("select menu_name from t_sys_menu where menu_id = '5120'"), "物流跟踪");
    // The column was added with existing rows left NULL.
    EXPECT_EQ(s.scalar("select count(*) from t_wm_sheet_detail where sort_id is null"),
              s.scalar("select count(*) from t_wm_sheet_detail"));

    // A second run: the column exists, the menu key exists, no new rights.
    r = s.run("alter table t_wm_sheet_detail add sort_id int DEFAULT(0) null");
    ASSERT_EQ(errors(r), std::vector<int>{2705});
    EXPECT_EQ(messages(r)[0].text,
              "Column names in each table must be unique. Column name 'sort_id' in table 't_wm_sheet_detail' is specified more than once.");
    r = s.run("insert into t_sys_menu values ( '5120' , '物流跟踪' , 'w_pd_flow' , 'SHEE' , 'S' , '' , '111111' , '0' , '0' , '0' , '0' , '' , '0' , '' , '' , '' )");
    ASSERT_EQ(errors(r), std::vector<int>{2627});
    EXPECT_EQ(messages(r)[0].text,
              "Violation of PRIMARY KEY constraint 'PK_t_sys_menu'. Cannot insert duplicate key in object 'dbo.t_sys_menu'. The duplicate key value is (5120).");
    EXPECT_EQ(messages(r)[0].severity, 14);
}

TEST_F(tsql, special_database_is_found_through_master_in_its_own_case) {
    s.run("use master");
    EXPECT_EQ(s.query("SELECT Name FROM sysdatabases WHERE Lower ( Name ) ='brenholt'"), std::vector<std::string>{"BrenHolt"});
    auto r = s.run("use BRENHOLT");
    EXPECT_EQ(r.first_error, 0);
    EXPECT_EQ(s.conn->current_database(), "BrenHolt");
    bool changed = false;
    for (const auto& i : r.items)
        if (auto* d = std::get_if<standin::database_changed>(&i)) changed = d->new_name == "BrenHolt" && d->old_name == "master";
    EXPECT_TRUE(changed);
    EXPECT_EQ(s.scalar("select db_name()"), "BrenHolt");
}

TEST_F(tsql, use_of_a_missing_database_fails_with_911_and_keeps_the_current_one) {
    for (const char* sql : {"use nosuch", "USE [nosuch]"}) {
        auto r = s.run(sql);
        ASSERT_EQ(errors(r), std::vector<int>{911});
        EXPECT_EQ(messages(r)[0].text, "Database 'nosuch' does not exist. Make sure that the name is entered correctly.");
        EXPECT_EQ(s.conn->current_database(), "velmora");
    }
}

TEST_F(tsql, comparisons_ignore_case_and_trailing_blanks) {
    EXPECT_EQ(s.scalar("select count(*) from t_sys_system where sys_var_id = 'database_VERSION   '"), "1");
    EXPECT_EQ(s.scalar("select count(*) from t_sys_system where sys_var_id in ('branch_no ', 'x')"), "1");
    EXPECT_EQ(s.scalar("select count(*) from t_sys_system where sys_var_id <> 'BRANCH_NO'"), "2");
    s.run("create table t_ci (v varchar(10) null)");
    s.run("insert into t_ci values ('Abc') insert into t_ci values ('aBC  ') insert into t_ci values ('x')");
    EXPECT_EQ(s.scalar("select count(distinct v) from t_ci"), "2");
    EXPECT_EQ(s.query("select distinct upper(rtrim(v)) from t_ci order by 1"), (std::vector<std::string>{"ABC", "X"}));
    // Keys follow the collation: a key differing only in case is a duplicate.
    auto r = s.run("insert into t_sys_system (sys_var_id) values ('branch_no')");
    ASSERT_EQ(errors(r), std::vector<int>{2627});
    EXPECT_NE(messages(r)[0].text.find("The duplicate key value is (branch_no)."), std::string::npos);
}

TEST_F(tsql, literals_convert_as_sql_server_converts_them) {
    s.run("create table t_conv (i int null, v varchar(5) null, n numeric(8,2) null, d datetime null, c char(3) null)");
    EXPECT_EQ(s.run("insert into t_conv values ('0', 1, '2.345', '2017-06-21', 'a')").first_error, 0);
    EXPECT_EQ(s.query("select i, v, n, d, c + '|' from t_conv"),
              std::vector<std::string>{"0|1|2.35|2017-06-21 00:00:00.000|a  |"});
    auto r = s.run("insert into t_conv (i) values ('abc')");
    ASSERT_EQ(errors(r), std::vector<int>{245});
    EXPECT_EQ(messages(r)[0].text, "Conversion failed when converting the varchar value 'abc' to data type int.");
    r = s.run("insert into t_conv (v) values ('toolong')");
    ASSERT_EQ(errors(r), std::vector<int>{8152});
    r = s.run("insert into t_conv (d) values ('2017-13-45')");
    ASSERT_EQ(errors(r), std::vector<int>{241});
    EXPECT_EQ(s.scalar("select count(*) from t_conv"), "1");
    // A varchar column's length counts bytes of the Chinese code page.
    EXPECT_EQ(s.run("insert into t_conv (v) values ('物流')").first_error, 0);
    EXPECT_EQ(errors(s.run("insert into t_conv (v) values ('物流跟')")), std::vector<int>{8152});
    EXPECT_EQ(s.scalar("select 'a' + 'b' + ltrim('  c'), 1 + 2, '3' + 4"), "abc|3|7");
}

TEST_F(tsql, chinese_text_is_stored_and_read_back_unchanged) {
    EXPECT_EQ(s.run("insert into t_bd_item_info (item_no, item_name) values ('1', N'物流跟踪')").first_error, 0);
    EXPECT_EQ(s.scalar("select item_name from t_bd_item_info where item_name = N'物流跟踪'"), "物流跟踪");
    EXPECT_EQ(s.scalar("select left(item_name, 2) + right(item_name, 1) from t_bd_item_info where item_no = '1'"), "物流踪");
}

TEST_F(tsql, insert_checks_the_number_of_values_and_the_columns) {
    auto r = s.run("insert into t_sys_system values ('x', 'y')");
    ASSERT_EQ(errors(r), std::vector<int>{213});
    EXPECT_EQ(messages(r)[0].text, "Column name or number of supplied values does not match table definition.");
    EXPECT_EQ(errors(s.run("insert into t_sys_system (sys_var_id, nosuch) values ('x', 'y')")), std::vector<int>{207});
    r = s.run("insert t_sys_menu (menu_id) values ('9')");
    ASSERT_EQ(errors(r), std::vector<int>{515});
    EXPECT_EQ(messages(r)[0].text,
              "Cannot insert the value NULL into column 'menu_name', table 'velmora.dbo.t_sys_menu'; column does not allow nulls. INSERT fails.");
    // Omitted columns take their defaults.
    s.run("insert into t_sys_operator (oper_id, oper_name) values ('1', N'x')");
    EXPECT_EQ(s.scalar("select oper_status from t_sys_operator where oper_id = '1'"), "1");
}

TEST_F(tsql, errors_end_the_statement_or_the_batch_as_in_sql_server) {
    // A duplicate key ends only its statement; the next one runs.
    auto r = s.run("insert into t_sys_system (sys_var_id) values ('BRANCH_NO')\ninsert into t_sys_system (sys_var_id) values ('NEW1')");
    EXPECT_EQ(errors(r), std::vector<int>{2627});
    EXPECT_EQ(s.scalar("select count(*) from t_sys_system where sys_var_id = 'NEW1'"), "1");
    // A missing table ends the batch.
    r = s.run("insert into t_sys_system (sys_var_id) values ('NEW2')\nselect * from nosuch\ninsert into t_sys_system (sys_var_id) values ('NEW3')");
    ASSERT_EQ(errors(r), std::vector<int>{208});
    EXPECT_EQ(messages(r)[0].text, "Invalid object name 'nosuch'.");
    EXPECT_EQ(messages(r)[0].line, 2);
    EXPECT_EQ(s.scalar("select count(*) from t_sys_system where sys_var_id in ('NEW2', 'NEW3')"), "1");
    // A syntax error fails the whole batch before anything runs.
    r = s.run("insert into t_sys_system (sys_var_id) values ('NEW4')\nselect from where");
    ASSERT_EQ(errors(r), std::vector<int>{156});
    EXPECT_EQ(messages(r)[0].text, "Incorrect syntax near the keyword 'from'.");
    EXPECT_EQ(s.scalar("select count(*) from t_sys_system where sys_var_id = 'NEW4'"), "0");
    EXPECT_EQ(errors(s.run("select nosuch from t_sys_system")), std::vector<int>{207});
}

TEST_F(tsql, unknown_statements_are_syntax_errors_never_silent_success) {
    // As in SQL Server, the word after "select 1" is a column alias.
    auto r = s.run("select 1\nfrobnicate the table");
    ASSERT_EQ(errors(r), std::vector<int>{102});
    EXPECT_EQ(messages(r)[0].text, "Incorrect syntax near 'the'.");
    r = s.run("select 1;\nfrobnicate");
    ASSERT_EQ(errors(r), std::vector<int>{102});
    EXPECT_EQ(messages(r)[0].text, "Incorrect syntax near 'frobnicate'.");
    EXPECT_EQ(errors(s.run("merge into t_sys_system")), std::vector<int>{156});
    EXPECT_EQ(errors(s.run("select 'open")), std::vector<int>{105});
    EXPECT_EQ(errors(s.run("nosuchproc 1")), std::vector<int>{2812});
    EXPECT_EQ(errors(s.run("select nosuchfunction(1)")), std::vector<int>{195});
}

TEST_F(tsql, hostile_input_fails_cleanly) {
    std::string deep = "select " + std::string(100000, '(') + "1" + std::string(100000, ')');
    EXPECT_EQ(errors(s.run(deep)), std::vector<int>{191});
    std::string blocks;
    for (int i = 0; i < 50000; ++i) blocks += "begin ";
    EXPECT_EQ(errors(s.run(blocks)), std::vector<int>{191});
    EXPECT_EQ(errors(s.run("create table t_big (v varchar(99999999999999999999))")), std::vector<int>{102});
    // The engine's own catalog tables are out of reach.
    EXPECT_EQ(errors(s.run("select * from __standin_columns")), std::vector<int>{208});
    EXPECT_EQ(errors(s.run("create table __standin_modules (a int)")), std::vector<int>{2714});
    EXPECT_EQ(errors(s.run("insert into sysobjects (name) values ('x')")), std::vector<int>{208});
    EXPECT_EQ(s.scalar("select 1"), "1");
}

TEST_F(tsql, alter_table_add_fills_existing_rows_only_when_sql_server_would) {
    s.run("alter table t_bd_item_info add a1 int default(7) null");
    s.run("alter table t_bd_item_info add a2 int default(8) null with values");
    s.run("alter table t_bd_item_info add a3 int not null default(9)");
    EXPECT_EQ(s.query("select distinct isnull(a1, -1), a2, a3 from t_bd_item_info"), std::vector<std::string>{"-1|8|9"});
    // New rows take the default.
    s.run("insert into t_bd_item_info (item_no, item_name) values ('new', N'n')");
    EXPECT_EQ(s.scalar("select a1 from t_bd_item_info where item_no = 'new'"), "7");
    EXPECT_EQ(errors(s.run("alter table t_bd_item_info add a4 int not null")), std::vector<int>{4901});
    EXPECT_EQ(errors(s.run("alter table nosuch add a int null")), std::vector<int>{4902});
}

TEST_F(tsql, object_functions_and_catalog_queries) {
    EXPECT_EQ(s.scalar("select case when object_id('t_sys_menu') is not null then 1 else 0 end"), "1");
    EXPECT_EQ(s.scalar("select objectproperty(object_id(N'[dbo].[t_sys_menu]'), N'IsUserTable')"), "1");
    EXPECT_EQ(s.scalar("select objectproperty(object_id('dbo.tr_MS_detail_ins'), N'IsTrigger')"), "1");
    EXPECT_EQ(s.scalar("select isnull(object_id('nosuch'), -1)"), "-1");
    EXPECT_EQ(s.scalar("select rtrim(type) from sysobjects where name = 'tr_MS_detail_ins'"), "TR");
    EXPECT_EQ(s.scalar("select o.name from sysobjects o, sysobjects t where o.parent_obj = t.id and t.name = 't_wm_sheet_detail' and o.type = 'TR'"),
              "tr_MS_detail_ins");
    EXPECT_EQ(s.scalar("select count(*) from syscolumns where id = object_id('t_sys_menu')"), "16");
    EXPECT_EQ(s.scalar("select @@trancount"), "0");
    EXPECT_EQ(s.run("IF OBJECT_ID('t_sys_menu') IS NOT NULL select 'yes' else select 'no'").first_error, 0);
    EXPECT_EQ(s.scalar("IF OBJECT_ID('t_sys_menu') IS NOT NULL select 'yes' else select 'no'"), "yes");
    EXPECT_EQ(s.scalar("if exists (select * from t_sys_system where sys_var_id = 'nope') select 1 else select 2"), "2");
}

TEST_F(tsql, update_and_delete_with_joins_and_counts) {
    auto r = s.run("update t_wm_sheet_detail set qty = qty * 2 where item_no = '690001'");
    EXPECT_EQ(r.first_error, 0);
    bool counted = false;
    for (const auto& i : r.items)
        if (auto* d = std::get_if<standin::statement_done>(&i)) counted = d->has_count && d->count == 2;
    EXPECT_TRUE(counted);
    EXPECT_EQ(s.scalar("select sum(qty) from t_wm_sheet_detail where item_no = '690001'"), "252");
    s.run("update d set memo = i.item_name from t_wm_sheet_detail d, t_bd_item_info i where d.item_no = i.item_no and d.line_no = 2");
    EXPECT_EQ(s.scalar("select memo from t_wm_sheet_detail where line_no = 2"), "方便面");
    r = s.run("update t_wm_sheet_detail set memo = 'j' from t_wm_sheet_detail d join t_bd_item_info i on d.item_no = i.item_no where i.item_no = '690002'");
    EXPECT_EQ(s.query("select line_no from t_wm_sheet_detail where memo = 'j'"), std::vector<std::string>{"2"});
    s.run("delete t_wm_sheet_detail from t_wm_sheet_detail, t_bd_item_info where t_wm_sheet_detail.item_no = t_bd_item_info.item_no and t_bd_item_info.price > 2");
    EXPECT_EQ(s.scalar("select count(*) from t_wm_sheet_detail"), "2");
    r = s.run("update t_sys_system set sys_var_id = 'BRANCH_NO' where sys_var_id = 'SHOP_NAME'");
    ASSERT_EQ(errors(r), std::vector<int>{2627});
    EXPECT_NE(messages(r)[0].text.find("(BRANCH_NO)"), std::string::npos);
}

}  // namespace

namespace {

TEST_F(tsql, queries_beyond_the_upgrade) {
    EXPECT_EQ(s.query("select item_no, sum(qty) as total from t_wm_sheet_detail group by item_no having sum(qty) > 50 order by total desc"),
              std::vector<std::string>{"690001|126"});
    EXPECT_EQ(s.query("select top 2 menu_id from t_sys_menu order by menu_id desc"), (std::vector<std::string>{"F210", "E101"}));
    EXPECT_EQ(s.query("select menu_id from t_sys_menu where menu_name like '%管理' and menu_id like '0[1-2]%'"),
              (std::vector<std::string>{"0104", "0200"}));
    EXPECT_EQ(s.query("select menu_id from t_sys_menu where menu_id = '0100' union select 'ZZ' union all select 'zz' order by 1"),
              (std::vector<std::string>{"0100", "ZZ", "zz"}));
    EXPECT_EQ(s.query("select a.menu_id, isnull(b.oper_id, '-') from t_sys_menu a left join t_sys_oper_grant b on a.menu_id = b.func_id where a.menu_id like 'E%'"),
              (std::vector<std::string>{"E100|-", "E101|-"}));
    EXPECT_EQ(s.query("select m.menu_id from t_sys_menu m where not exists (select 1 from t_sys_oper_grant g where g.func_id = m.menu_id) and m.menu_id < '0200'"),
              (std::vector<std::string>{"0102", "0103"}));
    EXPECT_EQ(s.scalar("select case when count(*) > 3 then 'many' else 'few' end from t_sys_menu where menu_id between '0100' and '0200'"), "many");
    EXPECT_EQ(s.scalar("select 10/3, 10 % 3, 10.0/4, cast('12' as int) + 1, cast(3.7 as int), len('ab  '), substring('abcdef', 2, 3), charindex('C', 'abc'), replace('aXa','x','y')"),
              "3|1|2.5|13|3|2|bcd|3|aya");
    EXPECT_EQ(s.scalar("select (select max(line_no) from t_wm_sheet_detail) + 1"), "3");
    EXPECT_EQ(s.scalar("select count(*) from t_sys_menu where menu_id in (select func_id from t_sys_oper_grant where oper_id = '1001')"), "2");
    // The rows of a keyed table come back in key order.
    EXPECT_EQ(s.query("select sys_var_id from t_sys_system"), (std::vector<std::string>{"BRANCH_NO", "DataBase_Version", "SHOP_NAME"}));
}

// DATEADD and DATEDIFF as SQL Server counts: DATEDIFF counts the boundaries
// crossed, DATEADD keeps the day or takes the month's last.
TEST_F(tsql, date_arithmetic_counts_boundaries_as_sql_server_does) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"datediff(year, '2025-12-31 23:59:59', '2026-01-01 00:00:00')", "1"},
        {"datediff(minute, '2026-01-01 10:00:59', '2026-01-01 10:01:00')", "1"},
        {"datediff(mi, '2026-01-01 10:01:00', '2026-01-01 10:00:59')", "-1"},
        {"datediff(day, '2026-03-01 23:00', '2026-03-02 01:00')", "1"},
        {"datediff(month, '2026-01-31', '2026-02-01')", "1"},
        {"datediff(quarter, '2026-03-31', '2026-04-01')", "1"},
        // Weeks start on Sunday: Saturday to Sunday is one, Sunday to Saturday none.
        {"datediff(week, '2026-12-12', '2026-12-13')", "1"},
        {"datediff(wk, '2026-12-13', '2026-12-19')", "0"},
        {"datediff(second, '2026-01-01', '2026-01-02')", "86400"},
        {"convert(varchar(23), dateadd(month, 1, '2026-01-31 08:00'), 121)", "2026-02-28 08:00:00.000"},
        {"convert(varchar(23), dateadd(year, 1, '2024-02-29'), 121)", "2025-02-28 00:00:00.000"},
        {"convert(varchar(23), dateadd(minute, -90, '2026-01-01 00:30'), 121)", "2025-12-31 23:00:00.000"},
        {"convert(varchar(23), dateadd(n, 2.9, '2026-01-01'), 121)", "2026-01-01 00:02:00.000"},
        {"convert(varchar(30), cast('2026-12-11 14:30:00' as datetime), 126)", "2026-12-11T14:30:00"},
        {"convert(varchar(30), cast('2026-12-11 14:30:00.250' as datetime), 126)", "2026-12-11T14:30:00.250"},
        {"datediff(minute, getdate(), getutcdate()) between -1440 and 1440", ""},
        {"dateadd(day, 1, null)", "NULL"},
    };
    for (const auto& [expression, expected] : cases) {
        if (*expected == '\0') {
            EXPECT_EQ(s.scalar(std::string("select case when ") + expression + " then 1 else 0 end"), "1") << expression;
            continue;
        }
        EXPECT_EQ(s.scalar(std::string("select ") + expression), expected) << expression;
    }
    auto r = s.run("select dateadd(minutes, 1, getdate())");
    EXPECT_EQ(errors(r), std::vector<int>{155});
    EXPECT_EQ(messages(r).at(0).text, "'minutes' is not a recognized dateadd option.");
    EXPECT_EQ(errors(s.run("select dateadd(year, 9000, getdate())")), std::vector<int>{517});
    EXPECT_EQ(errors(s.run("select datediff(ms, '1900-01-01', '2026-01-01')")), std::vector<int>{535});
}

TEST_F(tsql, name_resolution_errors) {
    auto r = s.run("select menu_id from t_sys_menu, t_sys_menu");
    EXPECT_EQ(errors(r), std::vector<int>{1013});
    r = s.run("select oper_id from t_sys_oper_grant a, t_sys_oper_grant b");
    ASSERT_EQ(errors(r), std::vector<int>{209});
    EXPECT_EQ(messages(r)[0].text, "Ambiguous column name 'oper_id'.");
    r = s.run("select x.menu_id from t_sys_menu");
    ASSERT_EQ(errors(r), std::vector<int>{4104});
    EXPECT_EQ(messages(r)[0].text, "The multi-part identifier \"x.menu_id\" could not be bound.");
    EXPECT_EQ(errors(s.run("select * from otherdb.dbo.t_sys_menu")), std::vector<int>{208});
    EXPECT_EQ(errors(s.run("select * from guest.t_sys_menu")), std::vector<int>{208});
    EXPECT_EQ(s.scalar("select count(*) from velmora.dbo.t_sys_menu"), s.scalar("select count(*) from [dbo].[t_sys_menu]"));
    EXPECT_EQ(errors(s.run("select @x")), std::vector<int>{137});
}

TEST_F(tsql, identity_defaults_and_implicit_transactions) {
    s.run("create table t_id (id int identity(1,1) primary key, name varchar(20) null, made datetime null default getdate())");
    s.run("insert into t_id (name) values ('a') insert into t_id values ('b', default) insert into t_id default values");
    EXPECT_EQ(s.query("select id, isnull(name, '-') from t_id"), (std::vector<std::string>{"1|a", "2|b", "3|-"}));
    EXPECT_EQ(s.scalar("select @@identity"), "3");
    EXPECT_EQ(s.scalar("select count(*) from t_id where made is not null"), "3");
    EXPECT_EQ(errors(s.run("insert into t_id (id, name) values (9, 'x')")), std::vector<int>{544});
    s.run("set identity_insert t_id on");
    EXPECT_EQ(s.run("insert into t_id (id, name) values (9, 'x')").first_error, 0);
    s.run("set identity_insert t_id off");
    s.run("insert into t_id (name) values ('after')");
    EXPECT_EQ(s.scalar("select id from t_id where name = 'after'"), "10");

    auto r = s.run("set implicit_transactions on\ninsert into t_id (name) values ('impl')");
    EXPECT_EQ(s.conn->trancount(), 1);
    s.run("rollback\nset implicit_transactions off");
    EXPECT_EQ(s.scalar("select count(*) from t_id where name = 'impl'"), "0");
    EXPECT_EQ(s.conn->trancount(), 0);
}

TEST_F(tsql, blocks_conditions_and_drops) {
    auto r = s.run("if exists (select * from sysobjects where name = 't_sys_menu')\nbegin\n  print 'found'\n  select 1\nend\nelse\n  select 2");
    EXPECT_EQ(rows(r), std::vector<std::string>{"1"});
    auto m = messages(r);
    ASSERT_FALSE(m.empty());
    EXPECT_EQ(m[0].text, "found");
    EXPECT_EQ(m[0].severity, 0);
    // An error inside a block ends that statement only.
    r = s.run("begin insert into t_sys_system (sys_var_id) values ('BRANCH_NO') insert into t_sys_system (sys_var_id) values ('BLK') end");
    EXPECT_EQ(errors(r), std::vector<int>{2627});
    EXPECT_EQ(s.scalar("select count(*) from t_sys_system where sys_var_id = 'BLK'"), "1");
    // Dropping a table takes its triggers and key with it.
    EXPECT_EQ(s.run("drop table t_wm_sheet_detail").first_error, 0);
    EXPECT_EQ(s.scalar("select count(*) from sysobjects where name in ('tr_MS_detail_ins', 'PK_t_wm_sheet_detail', 't_wm_sheet_detail')"), "0");
    r = s.run("drop table t_wm_sheet_detail");
    ASSERT_EQ(errors(r), std::vector<int>{3701});
    EXPECT_EQ(messages(r)[0].text, "Cannot drop the table 't_wm_sheet_detail', because it does not exist or you do not have permission.");
    // Columns can be dropped unless the key needs them.
    EXPECT_EQ(s.run("alter table t_bd_item_info drop column build_date").first_error, 0);
    EXPECT_EQ(errors(s.run("select build_date from t_bd_item_info")), std::vector<int>{207});
    EXPECT_EQ(errors(s.run("alter table t_bd_item_info drop column item_no")), std::vector<int>{5074});
    EXPECT_EQ(errors(s.run("update t_sys_menu set menu_name = null where menu_id = '0100'")), std::vector<int>{515});
}

}  // namespace

namespace {

TEST_F(tsql, typed_columns_compare_and_convert_like_sql_server) {
    s.run("create table t_types (d datetime null, c char(4) null, nv nvarchar(3) null, n numeric(6,2) null, b bit null)");
    EXPECT_EQ(s.run("insert into t_types values ('20170621 08:30', 'ab', N'物流跟', 1234.567, 5)").first_error, 0);
    // datetime compares with a date literal in any accepted form
    EXPECT_EQ(s.scalar("select count(*) from t_types where d > '2017-06-21' and d < '06/22/2017'"), "1");
    EXPECT_EQ(s.scalar("select convert(varchar(10), d, 120) from t_types"), "2017-06-21");
    // char is padded but still equal to the unpadded text; LIKE sees through the padding
    EXPECT_EQ(s.scalar("select datalength(c), count(*) from t_types where c = 'AB' and c like 'ab'"), "4|1");
    // nvarchar counts characters, not bytes
    EXPECT_EQ(errors(s.run("update t_types set nv = N'物流跟踪'")), std::vector<int>{8152});
    EXPECT_EQ(s.scalar("select nv from t_types"), "物流跟");
    EXPECT_EQ(s.scalar("select n, b from t_types"), "1234.57|1");
    EXPECT_EQ(errors(s.run("update t_types set n = 123456")), std::vector<int>{8115});
    EXPECT_EQ(errors(s.run("update t_types set d = 'not a date'")), std::vector<int>{241});
    // A text column compared with a number converts the text, and fails on words.
    EXPECT_EQ(s.scalar("select count(*) from t_sys_oper_grant where oper_id = 1001"), "2");
    EXPECT_EQ(errors(s.run("select count(*) from t_sys_menu where menu_id = 5120")), std::vector<int>{245});
    EXPECT_EQ(s.scalar("select isnull(null, 'x'), coalesce(null, null, 3), nullif('a', 'A ')"), "x|3|NULL");
}

}  // namespace

namespace {

TEST_F(tsql, batch_variables) {
    auto r = s.run("declare @d varchar(8), @n int = 2\n"
                   "select @d = isnull ( max ( sys_var_value ) , '00000000' ) from t_sys_system where sys_var_id ='UPGRADE_DATE'\n"
                   "set @n = @n * 10 + len(@d)\n"
                   "if @d = '00000000' select @d, @n, @@rowcount");
    EXPECT_EQ(r.first_error, 0) << (messages(r).empty() ? "" : messages(r)[0].text);
    EXPECT_EQ(rows(r), std::vector<std::string>{"00000000|28|1"});
    // Variables live for one batch.
    EXPECT_EQ(errors(s.run("select @d")), std::vector<int>{137});
    EXPECT_EQ(errors(s.run("declare @a int declare @a int")), std::vector<int>{134});
    EXPECT_EQ(errors(s.run("declare @a int select @a = 1, menu_id from t_sys_menu")), std::vector<int>{141});
}

}  // namespace

namespace {

TEST_F(tsql, primary_key_added_later_is_enforced) {
    s.run("create table t_k (a int not null, b varchar(5) null)");
    s.run("insert into t_k values (1, 'x') insert into t_k values (1, 'y')");
    EXPECT_EQ(errors(s.run("alter table t_k add constraint PK_k primary key (a)")), std::vector<int>{1505});
    s.run("delete from t_k where b = 'y'");
    EXPECT_EQ(s.run("alter table t_k add constraint PK_k primary key (a)").first_error, 0);
    auto r = s.run("insert into t_k values (1, 'z')");
    ASSERT_EQ(errors(r), std::vector<int>{2627});
    EXPECT_EQ(messages(r)[0].text, "Violation of PRIMARY KEY constraint 'PK_k'. Cannot insert duplicate key in object 'dbo.t_k'. The duplicate key value is (1).");
    EXPECT_EQ(errors(s.run("alter table t_k add constraint PK_k2 primary key (b)")), std::vector<int>{1779});
}

}  // namespace

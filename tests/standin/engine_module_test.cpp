// Procedures and triggers: header grammar, the encryption clause where the
// upgrade tool puts it, errors for misplaced clauses, GO lines, drops.

#include <gtest/gtest.h>

#include "engine_test_support.h"

using namespace engine_test;

namespace {

class modules : public ::testing::Test {
protected:
    demo_engine demo;
    session s{demo.eng, "velmora"};

    std::string encrypted(const std::string& name) {
        return s.scalar("select objectproperty(object_id('" + name + "'), 'IsEncrypted')");
    }
};

TEST_F(modules, the_upgrade_tools_encryption_clause_is_accepted_and_recorded) {
    auto r = s.run("CREATE PROCEDURE p_demo\r\n with ENCRYPTION AS\r\nBEGIN\r\n  select 1\r\nEND");
    EXPECT_EQ(r.first_error, 0);
    EXPECT_EQ(encrypted("p_demo"), "1");
    r = s.run("create trigger t_demo on t_sys_menu\r\n with ENCRYPTION for insert\r\nas\r\nbegin\r\n select 1\r\nend");
    EXPECT_EQ(r.first_error, 0);
    EXPECT_EQ(encrypted("t_demo"), "1");
    r = s.run("CREATE PROCEDURE p_params @a int = 5, @b varchar(10) = 'x' output, @c numeric(8,2)\r\n with ENCRYPTION AS\r\nBEGIN select 1 END");
    EXPECT_EQ(r.first_error, 0);
    r = s.run("create proc p_plain as select 1");
    EXPECT_EQ(r.first_error, 0);
    EXPECT_EQ(encrypted("p_plain"), "0");
    EXPECT_EQ(s.scalar("select objectproperty(object_id(N'[dbo].[p_plain]'), N'IsProcedure')"), "1");
    r = s.run("CREATE TRIGGER t_full ON dbo.t_sys_system WITH ENCRYPTION AFTER INSERT, UPDATE NOT FOR REPLICATION AS select 1");
    EXPECT_EQ(r.first_error, 0);
    r = s.run("CREATE TRIGGER t_instead ON [t_sys_system] INSTEAD OF DELETE AS select 1");
    EXPECT_EQ(r.first_error, 0);
    r = s.run("CREATE PROCEDURE p_opts WITH RECOMPILE, ENCRYPTION AS select 1");
    EXPECT_EQ(r.first_error, 0);
    EXPECT_EQ(encrypted("p_opts"), "1");
}

TEST_F(modules, a_clause_in_the_wrong_place_is_a_syntax_error) {
    struct bad {
        const char* sql;
        int number;
        const char* text;
    };
    const bad cases[] = {
        // The clause landed after a trigger's event list.
        {"create trigger t1 on t_sys_menu for insert with ENCRYPTION as select 1", 102,
         "Incorrect syntax near 'ENCRYPTION'."},
        // ... inside NOT FOR REPLICATION.
        {"create trigger t2 on t_sys_menu after insert not  with ENCRYPTION for replication as select 1", 156,
         "Incorrect syntax near the keyword 'with'."},
        // ... in front of a procedure body's variable that contains "as".
        {"create procedure p1 as\r\ndeclare @l with ENCRYPTION ast int\r\nbegin select 1 end", 156,
         "Incorrect syntax near the keyword 'with'."},
        // ... in the middle of a parameter list.
        {"create procedure p2 @a int with ENCRYPTION , @b int as select 1", 102, "Incorrect syntax near '@b'."},
        {"create procedure p3 with ENCRYPTION", 102, "Incorrect syntax near 'ENCRYPTION'."},
        {"create procedure p4 with nonsense as select 1", 102, "Incorrect syntax near 'nonsense'."},
        {"create trigger t3 on t_sys_menu as select 1", 156, "Incorrect syntax near the keyword 'as'."},
        // A second WITH list.
        {"create proc p5 with recompile  with ENCRYPTION as select 1", 156, "Incorrect syntax near the keyword 'with'."},
        // Options after the event list, where only WITH APPEND may stand.
        {"create trigger t4 on t_sys_menu after insert  with ENCRYPTION as select 1", 102,
         "Incorrect syntax near 'ENCRYPTION'."},
        // The clause landed in a body that has no BEGIN.
        {"create proc p6 as set nocount on select menu_id  with ENCRYPTION as code from t_sys_menu", 156,
         "Incorrect syntax near the keyword 'with'."},
        {"create proc p7 @s varchar(9) as select cast(@s  with ENCRYPTION as int)", 156,
         "Incorrect syntax near the keyword 'with'."},
        {"create proc p8 as declare c cursor  with ENCRYPTION for select 1", 156,
         "Incorrect syntax near the keyword 'with'."},
        // The create key was found in a template's comment.
        {"Create date: 2017-06-21\r\n-- Description:\r\n-- ====\r\nCREATE PROCEDURE p9 AS select 1", 102,
         "Incorrect syntax near 'date'."},
        {"create procedure p10 with execute as nobody as select 1", 102, "Incorrect syntax near 'nobody'."},
        // Server triggers are not kept; a DDL trigger has no INSTEAD OF and no replication clause.
        {"create trigger t5 on all server for create_database as select 1", 156,
         "Incorrect syntax near the keyword 'all'."},
        {"create trigger t6 on database instead of create_table as select 1", 102, "Incorrect syntax near 'instead'."},
        {"create trigger t7 on database for create_table not for replication as select 1", 156,
         "Incorrect syntax near the keyword 'not'."},
        {"create or alter table t8 (a int)", 156, "Incorrect syntax near the keyword 'table'."},
    };
    for (const auto& c : cases) {
        auto r = s.run(c.sql);
        ASSERT_EQ(errors(r), std::vector<int>{c.number}) << c.sql;
        EXPECT_EQ(messages(r)[0].text, c.text) << c.sql;
    }
    EXPECT_EQ(s.scalar("select count(*) from sys.triggers where name like 't[0-9]'"), "0");
    EXPECT_EQ(s.scalar("select count(*) from sysobjects where name like 'p[0-9]%' or name like 't[0-9]'"), "0");
}

// Shapes SQL Server accepts next to the refused ones: each creates its object.
TEST_F(modules, header_shapes_sql_server_accepts) {
    struct good {
        const char* sql;
        const char* name;
    };
    const good cases[] = {
        {"create procedure p_cur @c cursor varying output as select 1", "p_cur"},
        {"create proc p_dflt (@a int = -1, @b numeric(6,2) = -1.5, @c nvarchar(20) = N'默认', @d varchar(9) = NULL output,"
         " @e int out) as select 1", "p_dflt"},
        {"create proc p_ro @t dbo.item_list readonly, @u int as select 1", "p_ro"},
        {"create procedure p_grp;2 as select 1", "p_grp"},
        {"create procedure [dbo].[p brk] as select 1", "p brk"},
        {"create procedure \"p_quo\" as select 1", "p_quo"},
        {"create procedure dbo . p_dots as select 1", "p_dots"},
        {"create procedure p_repl for replication as select 1", "p_repl"},
        {"create procedure p_own with execute as owner as select 1", "p_own"},
        {"create procedure p_self with execute as self, encryption as select 1", "p_self"},
        {"create procedure p_user with exec as 'dbo' as select 1", "p_user"},
        {"create procedure p_rc with recompile, encryption for replication as select 1", "p_rc"},
        {"create proc p_alias as set nocount on select menu_id as code from t_sys_menu", "p_alias"},
        {"create proc p_bak as backup database velmora to disk = 'v.bak' with encryption (algorithm = aes_256)", "p_bak"},
        {"create trigger t_app on t_sys_menu for insert with append not for replication as select 1", "t_app"},
        {"create trigger t_all on t_sys_menu for insert, update, delete as select 1", "t_all"},
        {"create trigger t_call on t_sys_menu with execute as caller after delete as select 1", "t_call"},
        {"create or alter procedure p_coa as select 1", "p_coa"},
        {"create or alter trigger t_coa on t_sys_menu for update as select 1", "t_coa"},
    };
    for (const auto& c : cases) {
        auto r = s.run(c.sql);
        EXPECT_EQ(r.first_error, 0) << c.sql << "\n" << (messages(r).empty() ? "" : messages(r)[0].text);
        EXPECT_EQ(s.scalar(std::string("select count(*) from sysobjects where name = '") + c.name + "'"), "1") << c.sql;
    }
}

TEST_F(modules, create_or_alter_replaces_its_own_kind_and_creates_the_missing) {
    ASSERT_EQ(s.run("create or alter procedure p_x as select 1").first_error, 0);
    ASSERT_EQ(s.run("create or alter procedure p_x with encryption as select 2").first_error, 0);
    EXPECT_EQ(s.query("exec p_x"), std::vector<std::string>{"2"});
    EXPECT_EQ(s.scalar("select isnull(definition, 'NULL') from sys.sql_modules where object_id = object_id('p_x')"), "NULL");
    // A name another kind of object holds is taken.
    EXPECT_EQ(errors(s.run("create or alter trigger p_x on t_sys_menu for insert as select 1")), std::vector<int>{2714});
}

// A database DDL trigger as SQL Server catalogues it: sys.triggers only, with
// the database as parent; its text in sys.sql_modules like every module's.
TEST_F(modules, database_ddl_triggers_live_in_sys_triggers_only) {
    const std::string def = "create trigger t_ddl\r\non database for create_table, alter_table as\r\nselect 1";
    ASSERT_EQ(s.run(def).first_error, 0);
    EXPECT_EQ(s.query("select parent_class, parent_class_desc, parent_id, type, type_desc from sys.triggers where name = 't_ddl'"),
              std::vector<std::string>{"0|DATABASE|0|TR|SQL_TRIGGER"});
    EXPECT_EQ(s.scalar("select isnull(object_id('t_ddl'), -1)"), "-1");
    EXPECT_EQ(s.scalar("select count(*) from sysobjects where name = 't_ddl'"), "0");
    EXPECT_EQ(s.scalar("select count(*) from sys.objects where name = 't_ddl'"), "0");
    EXPECT_EQ(s.scalar("select m.definition from sys.sql_modules m join sys.triggers t on t.object_id = m.object_id "
                       "where t.name = 't_ddl'"),
              def);
    // Its id is unique among the database's objects; its name is apart from theirs.
    EXPECT_EQ(s.run("create trigger t_ddl on t_sys_menu for insert as select 1").first_error, 0);
    EXPECT_EQ(s.scalar("select count(distinct object_id) from sys.triggers where name = 't_ddl'"), "2");
    EXPECT_EQ(errors(s.run("create trigger t_ddl on database for drop_table as select 2")), std::vector<int>{2714});
    ASSERT_EQ(s.run("alter trigger t_ddl on database with encryption after drop_table as select 2").first_error, 0);
    EXPECT_EQ(s.scalar("select isnull(m.definition, 'NULL') from sys.sql_modules m join sys.triggers t on t.object_id = m.object_id "
                       "where t.name = 't_ddl' and t.parent_class = 0"),
              "NULL");  // encrypted
    EXPECT_NE(demo.eng.dump_json().find("{\"name\":\"t_ddl\",\"type\":\"TR\",\"table\":null,\"on\":\"database\",\"encrypted\":true,"),
              std::string::npos);

    // DROP TRIGGER without ON DATABASE looks among the schema's triggers.
    ASSERT_EQ(s.run("drop trigger t_ddl").first_error, 0);
    EXPECT_EQ(s.scalar("select parent_class from sys.triggers where name = 't_ddl'"), "0");
    ASSERT_EQ(s.run("drop trigger t_ddl on database").first_error, 0);
    auto r = s.run("drop trigger t_ddl on database");
    ASSERT_EQ(errors(r), std::vector<int>{3701});
    EXPECT_EQ(messages(r)[0].text, "Cannot drop the trigger 't_ddl', because it does not exist or you do not have permission.");

    // Kept with the data: a rollback takes a new one away.
    s.run("begin tran");
    ASSERT_EQ(s.run("create or alter trigger t_tran on database for create_table as select 1").first_error, 0);
    s.run("rollback");
    EXPECT_EQ(s.scalar("select count(*) from sys.triggers where name = 't_tran'"), "0");
}

TEST_F(modules, a_go_line_inside_the_batch_fails_it) {
    for (const char* sql : {"create procedure p_go as\r\nbegin\r\n select 1\r\nend\r\ngo\r\n",
                            "create procedure p_go as\r\nselect 1\r\n  GO  \r\nselect 2",
                            "create procedure p_go as\r\nselect 1\r\ngo -- end of script\r\n",
                            "create procedure p_go as\r\nselect 1\r\nGo 2\r\n"}) {
        auto r = s.run(sql);
        ASSERT_EQ(errors(r), std::vector<int>{102});
        EXPECT_EQ(messages(r)[0].text, "Incorrect syntax near 'GO'.");
    }
    // "go" inside a comment, a string or a longer line is no separator.
    EXPECT_EQ(s.run("create procedure p_go as\r\n/*\r\ngo\r\n*/\r\nselect 'go'\r\n-- go\r\nselect 1 -- go\r\n").first_error, 0);
    EXPECT_EQ(s.scalar("select count(*) from sysobjects where name = 'p_go'"), "1");
}

TEST_F(modules, create_must_open_the_batch_and_needs_a_new_name_and_an_existing_table) {
    auto r = s.run("select 1\r\ncreate procedure p_late as select 1");
    ASSERT_EQ(errors(r), std::vector<int>{111});
    EXPECT_TRUE(results(r).empty());  // nothing of the batch ran
    EXPECT_EQ(errors(s.run("create table t_x (a int)\ncreate trigger tr_late on t_x for insert as select 1")), std::vector<int>{111});
    EXPECT_EQ(s.scalar("select count(*) from sysobjects where name = 't_x'"), "0");

    s.run("create procedure p_dup as select 1");
    r = s.run("create procedure p_dup as select 2");
    ASSERT_EQ(errors(r), std::vector<int>{2714});
    EXPECT_EQ(messages(r)[0].text, "There is already an object named 'p_dup' in the database.");
    EXPECT_EQ(errors(s.run("create procedure t_sys_menu as select 1")), std::vector<int>{2714});

    r = s.run("create trigger tr_missing on nosuch for insert as select 1");
    ASSERT_EQ(errors(r), std::vector<int>{8197});
    EXPECT_EQ(messages(r)[0].text, "The object 'nosuch' does not exist or is invalid for this operation.");
}

TEST_F(modules, drop_section_of_a_generated_script_and_missing_objects) {
    const std::string drop =
        "if exists (select * from dbo.sysobjects where id = object_id(N'[dbo].[tr_MS_detail_ins]') and OBJECTPROPERTY(id, N'IsTrigger') = 1)\r\n"
        "drop trigger [dbo].[tr_MS_detail_ins]";
    EXPECT_EQ(s.run(drop).first_error, 0);
    EXPECT_EQ(s.scalar("select count(*) from sysobjects where name = 'tr_MS_detail_ins'"), "0");
    EXPECT_EQ(s.run(drop).first_error, 0);  // nothing left to drop: no error
    // The form of later SQL Server versions' script generator.
    s.run("create procedure p_new as select 1");
    EXPECT_EQ(s.run("IF  EXISTS (SELECT * FROM sys.objects WHERE object_id = OBJECT_ID(N'[dbo].[p_new]') AND type in (N'P', N'PC'))\r\n"
                    "DROP PROCEDURE [dbo].[p_new]").first_error, 0);
    EXPECT_EQ(s.scalar("select count(*) from sys.procedures where name = 'p_new'"), "0");
    s.run("create trigger tr_new on t_sys_menu for delete as select 1");
    EXPECT_EQ(s.scalar("select u.name from sys.triggers t join sys.tables u on t.parent_id = u.object_id where t.name = 'tr_new'"), "t_sys_menu");
    EXPECT_EQ(s.scalar("select name from master.sys.databases where database_id = db_id()"), "velmora");
    auto r = s.run("drop procedure [dbo].[p_none]");
    ASSERT_EQ(errors(r), std::vector<int>{3701});
    EXPECT_EQ(messages(r)[0].text, "Cannot drop the procedure 'dbo.p_none', because it does not exist or you do not have permission.");
    r = s.run("drop trigger t_none");
    ASSERT_EQ(errors(r), std::vector<int>{3701});
    EXPECT_EQ(messages(r)[0].text, "Cannot drop the trigger 't_none', because it does not exist or you do not have permission.");
    // A procedure name is not a trigger.
    s.run("create procedure p_kind as select 1");
    EXPECT_EQ(errors(s.run("drop trigger p_kind")), std::vector<int>{3701});
    EXPECT_EQ(s.run("drop proc p_kind").first_error, 0);
}

TEST_F(modules, helptext_shows_plain_definitions_and_refuses_encrypted_ones) {
    const std::string def = "create procedure p_text\r\nas\r\nselect 1\r\n";
    s.run(def);
    auto r = s.run("sp_helptext 'p_text'");
    EXPECT_EQ(r.first_error, 0);
    std::string joined;
    for (const auto& row : rows(r)) joined += row;
    EXPECT_EQ(joined, def);
    s.run("create procedure p_secret with encryption as select 1");
    r = s.run("exec sp_helptext N'p_secret'");
    ASSERT_EQ(errors(r), std::vector<int>{15471});
    EXPECT_EQ(messages(r)[0].text, "The text for object 'p_secret' is encrypted.");
}

TEST_F(modules, definitions_are_kept_as_received_and_dumped) {
    const std::string def = "-- 说明\r\nCREATE PROCEDURE p_dump\r\n with ENCRYPTION AS\r\nBEGIN\r\n  select \"x\" = 1\r\nEND\r\n";
    ASSERT_EQ(s.run(def).first_error, 0);
    std::string dump = demo.eng.dump_json();
    EXPECT_NE(dump.find("{\"name\":\"p_dump\",\"type\":\"P\",\"table\":null,\"encrypted\":true,"
                        "\"definition\":\"-- 说明\\r\\nCREATE PROCEDURE p_dump\\r\\n with ENCRYPTION AS\\r\\nBEGIN\\r\\n  select \\\"x\\\" = 1\\r\\nEND\\r\\n\"}"),
              std::string::npos)
        << dump;
    EXPECT_NE(dump.find("{\"name\":\"tr_MS_detail_ins\",\"type\":\"TR\",\"table\":\"t_wm_sheet_detail\",\"encrypted\":false,"),
              std::string::npos);
}

}  // namespace

namespace {

TEST_F(modules, procedures_run_with_their_parameters) {
    ASSERT_EQ(s.run("CREATE PROCEDURE p_MS_oper_rights\r\n  @oper_id varchar(10), @prefix varchar(4) = '0'\r\n with ENCRYPTION AS\r\nBEGIN\r\n"
                    "  -- 查询操作员的菜单权限\r\n  set nocount on\r\n"
                    "  select t_sys_menu.menu_id from t_sys_oper_grant, t_sys_menu\r\n"
                    "   where t_sys_oper_grant.oper_id = @oper_id and t_sys_oper_grant.func_id = t_sys_menu.menu_id\r\n"
                    "     and t_sys_menu.menu_id like @prefix + '%'\r\n   order by t_sys_menu.menu_id\r\nEND\r\n").first_error, 0);
    EXPECT_EQ(s.query("exec p_MS_oper_rights '1001'"), (std::vector<std::string>{"0101", "0201"}));
    EXPECT_EQ(s.query("declare @o varchar(10) = '1001' exec p_MS_oper_rights @prefix = '02', @oper_id = @o"), std::vector<std::string>{"0201"});
    EXPECT_EQ(s.query("p_MS_oper_rights 1002"), (std::vector<std::string>{"0101", "0301"}));
    auto r = s.run("exec p_MS_oper_rights");
    ASSERT_EQ(errors(r), std::vector<int>{201});
    EXPECT_EQ(messages(r)[0].text, "Procedure or function 'p_MS_oper_rights' expects parameter '@oper_id', which was not supplied.");
    EXPECT_EQ(errors(s.run("exec p_MS_oper_rights '1', '2', '3'")), std::vector<int>{8144});
    EXPECT_EQ(errors(s.run("exec p_none")), std::vector<int>{2812});
    s.run("create procedure p_bad\r\nas\r\nselect 1\r\nselect * from nosuch\r\n");
    r = s.run("select 0\nexec p_bad");
    ASSERT_EQ(errors(r), std::vector<int>{208});
    auto bad = messages(r).back();
    EXPECT_EQ(bad.procedure, "p_bad");
    EXPECT_EQ(bad.line, 4);
    EXPECT_EQ(messages(s.run("select * from nosuch")).at(0).procedure, "");
    s.run("create procedure p_ret @n int as\r\nif @n > 1 return\r\nselect 'low'\r\n");
    EXPECT_EQ(s.query("exec p_ret 5 select 'after'"), std::vector<std::string>{"after"});
    EXPECT_EQ(s.query("exec p_ret 0"), std::vector<std::string>{"low"});
    // A procedure that calls itself stops at SQL Server's nesting limit.
    s.run("create procedure p_loop as exec p_loop");
    EXPECT_EQ(errors(s.run("exec p_loop")).at(0), 217);
    EXPECT_EQ(s.scalar("select 1"), "1");
}

}  // namespace

namespace {

TEST_F(modules, alter_replaces_a_definition_and_helptext_reports_missing_text) {
    s.run("create procedure p_alt as select 1");
    EXPECT_EQ(s.run("alter procedure p_alt with encryption as select 2").first_error, 0);
    EXPECT_EQ(s.scalar("select objectproperty(object_id('p_alt'), 'IsEncrypted')"), "1");
    EXPECT_EQ(s.query("exec p_alt"), std::vector<std::string>{"2"});
    EXPECT_EQ(errors(s.run("alter procedure p_missing as select 1")), std::vector<int>{208});
    auto r = s.run("sp_helptext 't_sys_menu'");
    ASSERT_EQ(errors(r), std::vector<int>{15197});
    EXPECT_EQ(messages(r)[0].text, "There is no text for object 't_sys_menu'.");
    r = s.run("sp_helptext 'nothing'");
    ASSERT_EQ(errors(r), std::vector<int>{15009});
    EXPECT_EQ(messages(r)[0].text, "The object 'nothing' does not exist in database 'velmora' or is invalid for this operation.");
}

}  // namespace

namespace {

// SET PARSEONLY: each batch is parsed and nothing runs; only the errors of
// the parse come back, those of compiling and running (208, 2714, 3701,
// 8197) do not.
TEST_F(modules, parseonly_returns_the_parse_errors_and_runs_nothing) {
    struct step {
        const char* sql;
        std::vector<int> errors;
        bool parse_only;
    };
    const step steps[] = {
        {"set parseonly on", {}, true},
        {"create procedure p_po as select 1", {}, true},
        {"create procedure p_po2 with recompile  with ENCRYPTION as select 1", {156}, true},
        {"select 1\r\ncreate procedure p_po4 as select 1", {111}, true},
        {"select * from nosuch", {}, true},
        {"create procedure t_sys_menu as select 1", {}, true},
        {"create trigger tr_po on nosuch for insert as select 1", {}, true},
        {"delete from t_sys_menu", {}, true},
        {"create trigger tr_ddl_po on database for create_table as select 1", {}, true},
        // The setting counts when the SET is parsed: an IF does not hold it back.
        {"if 1 = 0 set parseonly off", {}, false},
        {"set parseonly on select 1 set parseonly off select 2", {}, false},
        // A SET parsed before a syntax error still takes effect.
        {"set parseonly on\r\nselect from", {156}, true},
        {"select 3", {}, true},
        {"set parseonly off", {}, false},
    };
    for (const auto& st : steps) {
        auto r = s.run(st.sql);
        EXPECT_EQ(errors(r), st.errors) << st.sql;
        EXPECT_EQ(r.parse_only, st.parse_only) << st.sql;
        if (st.parse_only) {
            EXPECT_TRUE(results(r).empty()) << st.sql;
        }
    }
    EXPECT_EQ(s.scalar("select count(*) from sysobjects where name like 'p[_]po%' or name like 'tr[_]po'"), "0");
    EXPECT_EQ(s.scalar("select count(*) from sys.triggers where name = 'tr_ddl_po'"), "0");
    EXPECT_NE(s.scalar("select count(*) from t_sys_menu"), "0");
    // A reset restores the default: off.
    s.run("set parseonly on");
    s.conn->reset(false);
    EXPECT_EQ(s.scalar("select 4"), "4");
}

}  // namespace

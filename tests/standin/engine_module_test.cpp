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
    };
    for (const auto& c : cases) {
        auto r = s.run(c.sql);
        ASSERT_EQ(errors(r), std::vector<int>{c.number}) << c.sql;
        EXPECT_EQ(messages(r)[0].text, c.text) << c.sql;
    }
    EXPECT_EQ(s.scalar("select count(*) from sysobjects where name in ('t1','t2','t3','p1','p2','p3','p4')"), "0");
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

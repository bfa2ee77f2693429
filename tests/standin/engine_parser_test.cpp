// The T-SQL tokenizer and parser, and the value rules behind the SQLite
// functions: collation, date forms, LIKE.

#include <gtest/gtest.h>

#include "sqlserver-standin/tsql_parser.h"
#include "sqlserver-standin/tsql_runtime.h"

using namespace standin::tsql;

namespace {

std::vector<stmt_ptr> parse(const std::string& sql) { return parse_batch(sql, tokenize(sql)); }

int parse_error(const std::string& sql, std::string* text = nullptr, int* line = nullptr) {
    try {
        parse(sql);
    } catch (const syntax_error& e) {
        if (text) *text = e.what();
        if (line) *line = e.line;
        return e.number;
    }
    return 0;
}

TEST(tsql_tokenizer, literals_names_comments_and_lines) {
    auto t = tokenize("select N'it''s 物流', [a]]b], \"q\" -- note\n/* one /* nested */ still */ 0x1F, 1.5e3, @@TRANCOUNT\r\nx");
    ASSERT_GE(t.size(), 12u);
    EXPECT_EQ(t[1].kind, tok::string);
    EXPECT_TRUE(t[1].unicode);
    EXPECT_EQ(t[1].text, "it's 物流");
    EXPECT_EQ(t[3].kind, tok::quoted_ident);
    EXPECT_EQ(t[3].text, "a]b");
    EXPECT_EQ(t[5].text, "q");
    EXPECT_EQ(t[6].text, "0x1F");
    EXPECT_EQ(t[6].line, 2);
    EXPECT_EQ(t[8].kind, tok::number);
    EXPECT_EQ(t[10].kind, tok::sysvar);
    EXPECT_EQ(t[10].upper, "@@TRANCOUNT");
    EXPECT_EQ(t[11].text, "x");
    EXPECT_EQ(t[11].line, 3);
    EXPECT_EQ(t.back().kind, tok::end);
}

TEST(tsql_tokenizer, object_names_as_written_in_strings) {
    EXPECT_EQ(split_object_name("[dbo].[p_x]"), (std::vector<std::string>{"dbo", "p_x"}));
    EXPECT_EQ(split_object_name("dbo.p_x"), (std::vector<std::string>{"dbo", "p_x"}));
    EXPECT_EQ(split_object_name("velmora..t"), (std::vector<std::string>{"velmora", "", "t"}));
    EXPECT_EQ(split_object_name("[a.b]"), std::vector<std::string>{"a.b"});
    EXPECT_EQ(split_object_name(" p_x "), std::vector<std::string>{"p_x"});
}

TEST(tsql_parser, statements_split_without_semicolons) {
    auto s = parse("insert t values (1) select * from t where a = 1 update t set a = 2 delete t\nuse [x]; set nocount on");
    ASSERT_EQ(s.size(), 6u);
    EXPECT_EQ(s[0]->kind, statement::insert);
    EXPECT_EQ(s[1]->kind, statement::select);
    EXPECT_EQ(s[2]->kind, statement::update);
    EXPECT_EQ(s[3]->kind, statement::delete_);
    EXPECT_EQ(s[4]->kind, statement::use);
    EXPECT_EQ(s[4]->line, 2);
    EXPECT_EQ(s[5]->kind, statement::set_option);
}

TEST(tsql_parser, transaction_words_and_blocks) {
    auto s = parse("begin tran\nbegin transaction t1\ncommit tran\nrollback work\nif @@trancount > 0 commit\nbegin insert t values (1) end");
    ASSERT_EQ(s.size(), 6u);
    EXPECT_EQ(s[0]->kind, statement::begin_tran);
    EXPECT_EQ(s[1]->option, "t1");
    EXPECT_EQ(s[2]->kind, statement::commit);
    EXPECT_EQ(s[3]->kind, statement::rollback);
    EXPECT_EQ(s[4]->kind, statement::if_);
    EXPECT_EQ(s[4]->then_branch->kind, statement::commit);
    EXPECT_EQ(s[5]->kind, statement::block);
    EXPECT_EQ(s[5]->body.size(), 1u);
}

TEST(tsql_parser, procedure_and_trigger_headers) {
    auto s = parse("CREATE PROC [dbo].[p] (@a int = -1, @b nvarchar(20) = N'x' OUTPUT) WITH ENCRYPTION, RECOMPILE FOR REPLICATION AS select 1");
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0]->kind, statement::create_module);
    EXPECT_EQ(s[0]->module_type, "P");
    EXPECT_TRUE(s[0]->encrypted);
    EXPECT_EQ(s[0]->name, (std::vector<std::string>{"dbo", "p"}));
    s = parse("create trigger tr on dbo.t with encryption instead of insert, delete as select 1 select 2");
    ASSERT_EQ(s.size(), 1u);  // the body is not parsed into statements
    EXPECT_EQ(s[0]->module_type, "TR");
    EXPECT_EQ(s[0]->trigger_table, (std::vector<std::string>{"dbo", "t"}));
    EXPECT_TRUE(s[0]->encrypted);
    EXPECT_FALSE(parse("create procedure p as select 1")[0]->encrypted);
}

TEST(tsql_parser, errors_name_the_token_as_sql_server_does) {
    std::string text;
    int line = 0;
    EXPECT_EQ(parse_error("select * from t where", &text), 156);
    EXPECT_EQ(text, "Incorrect syntax near the keyword 'where'.");  // the last token at the end of the batch
    EXPECT_EQ(parse_error("select * from t where a =", &text), 102);
    EXPECT_EQ(text, "Incorrect syntax near '='.");
    EXPECT_EQ(parse_error("select 1\n\nselect from t", &text, &line), 156);
    EXPECT_EQ(text, "Incorrect syntax near the keyword 'from'.");
    EXPECT_EQ(line, 3);
    EXPECT_EQ(parse_error("insert into t values (1", &text), 102);
    EXPECT_EQ(parse_error("select 'x", &text), 105);
    EXPECT_EQ(text, "Unclosed quotation mark after the character string 'x'.");
    EXPECT_EQ(parse_error("set bogus on", &text), 195);
    EXPECT_EQ(text, "'bogus' is not a recognized SET option.");
    EXPECT_EQ(parse_error("create table t (a int)\ncreate proc p as select 1", &text, &line), 111);
    EXPECT_EQ(line, 2);
    EXPECT_EQ(parse_error("declare @x cursor for select 1"), 156);
    EXPECT_EQ(parse_error("while 1 = 1 select 1"), 156);
}

TEST(tsql_parser, table_definitions) {
    auto s = parse("create table t (a int identity(10, 5) not null, b numeric(16,4) default (0) null, c nvarchar(max),"
                   " d char, constraint pk primary key clustered (a, d)) on [primary]");
    ASSERT_EQ(s.size(), 1u);
    const auto& c = s[0]->coldefs;
    ASSERT_EQ(c.size(), 4u);
    EXPECT_TRUE(c[0].identity);
    EXPECT_EQ(c[0].identity_seed, 10);
    EXPECT_EQ(c[0].identity_step, 5);
    EXPECT_EQ(c[1].type.precision, 16);
    EXPECT_EQ(c[1].type.scale, 4);
    EXPECT_EQ(c[1].default_text, "(0)");
    EXPECT_EQ(c[2].type.length, -2);
    EXPECT_EQ(s[0]->pk_name, "pk");
    EXPECT_EQ(s[0]->pk_columns, (std::vector<std::string>{"a", "d"}));
    s = parse("alter table t add x int DEFAULT(0) null, y varchar(3) not null default 'a' with values");
    EXPECT_EQ(s[0]->kind, statement::alter_add);
    EXPECT_EQ(s[0]->coldefs.size(), 2u);
    EXPECT_TRUE(s[0]->with_values);
}

TEST(tsql_runtime, collation_ignores_case_and_trailing_blanks_only) {
    auto cmp = [](const std::string& a, const std::string& b) {
        return collate_compare(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()));
    };
    EXPECT_EQ(cmp("Abc", "aBC   "), 0);
    EXPECT_NE(cmp(" abc", "abc"), 0);
    EXPECT_LT(cmp("abc", "abd"), 0);
    EXPECT_LT(cmp("ab", "abc"), 0);
    EXPECT_EQ(cmp("物流", "物流 "), 0);
    EXPECT_NE(cmp("物流", "物料"), 0);
    EXPECT_EQ(gbk_length("a物流"), 5);
}

TEST(tsql_runtime, date_forms) {
    std::string out;
    EXPECT_TRUE(normalize_datetime("2017-06-21", out));
    EXPECT_EQ(out, "2017-06-21 00:00:00.000");
    EXPECT_TRUE(normalize_datetime("20170621 13:05:09.5", out));
    EXPECT_EQ(out, "2017-06-21 13:05:09.500");
    EXPECT_TRUE(normalize_datetime("2017/6/1 1:02 PM", out));
    EXPECT_EQ(out, "2017-06-01 13:02:00.000");
    EXPECT_TRUE(normalize_datetime("06/21/2017", out));
    EXPECT_EQ(out, "2017-06-21 00:00:00.000");
    EXPECT_TRUE(normalize_datetime("2016-02-29T23:59:59", out));
    EXPECT_FALSE(normalize_datetime("2017-02-29", out));
    EXPECT_FALSE(normalize_datetime("2017-13-01", out));
    EXPECT_FALSE(normalize_datetime("yesterday", out));
    EXPECT_FALSE(normalize_datetime("2017-06-21 25:00", out));
}

TEST(tsql_runtime, errors_travel_through_sqlite_messages) {
    std::string text;
    int n = 0, st = 0, sev = 0;
    EXPECT_TRUE(decode_error(encode_error(245, 1, 16, "Conversion failed.").c_str(), n, st, sev, text));
    EXPECT_EQ(n, 245);
    EXPECT_EQ(sev, 16);
    EXPECT_EQ(text, "Conversion failed.");
    EXPECT_FALSE(decode_error("no such table: x", n, st, sev, text));
}

}  // namespace

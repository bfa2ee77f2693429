// The statement builder, case by case: which test refuses a script, and the
// exact drop and create statements of the scripts it accepts.

#include <gtest/gtest.h>

#include <string>

#include "package/create_grammar.h"
#include "package/create_header.h"
#include "package/package_builder.h"
#include "package/statement_builder.h"
#include "support/create_shapes.h"

using velmora::split_failure;

namespace {

struct split_case {
    const char* label;
    std::string script;
    split_failure failure;
    std::string drop;    // expected on success
    std::string create;  // expected on success
};

const std::string demo_drop = "if exists (select * from sysobjects where name = 'p_demo') drop procedure p_demo";

void check(const split_case& c) {
    SCOPED_TRACE(c.label);
    std::string create = c.script;
    std::string drop = "unchanged";
    EXPECT_EQ(velmora::get_sql_go_checked(create, drop), c.failure)
        << "got " << velmora::describe(velmora::get_sql_go_checked(create, drop));
    std::string create2 = c.script, drop2;
    EXPECT_EQ(velmora::wf_get_sql_go(create2, drop2), c.failure == split_failure::none);
    if (c.failure == split_failure::none) {
        EXPECT_EQ(drop, c.drop);
        EXPECT_EQ(create, c.create);
    } else {
        EXPECT_EQ(drop, "unchanged");
    }
}

}  // namespace

TEST(StatementBuilder, WorkedProcedureAndTriggerExamples) {
    const split_case cases[] = {
        {"procedure",
         demo_drop + "\r\nGO\r\nCREATE PROCEDURE p_demo\r\nAS\r\nBEGIN\r\nselect 1\r\nEND\r\n",
         split_failure::none, demo_drop,
         "CREATE PROCEDURE p_demo\r\n with ENCRYPTION AS\r\nBEGIN\r\nselect 1\r\nEND\r\n"},
        {"trigger: the clause goes before for insert",
         "drop trigger t_demo\r\ngo\r\ncreate trigger t_demo on t_item\r\nfor insert\r\nas\r\nbegin\r\nselect 1\r\nend",
         split_failure::none, "drop trigger t_demo",
         "create trigger t_demo on t_item\r\n with ENCRYPTION for insert\r\nas\r\nbegin\r\nselect 1\r\nend"},
    };
    for (const auto& c : cases) check(c);
}

TEST(StatementBuilder, KeysAreFoundInAnyLetterCase) {
    const split_case cases[] = {
        {"mixed case", "DROP PROC P\r\nGo\r\nCrEaTe PROC P As BeGiN END", split_failure::none, "DROP PROC P",
         "CrEaTe PROC P  with ENCRYPTION As BeGiN END"},
        {"upper-case FOR", "drop trigger t\r\ngO\r\nCREATE TRIGGER t ON x FOR UPDATE AS BEGIN END",
         split_failure::none, "drop trigger t",
         "CREATE TRIGGER t ON x  with ENCRYPTION FOR UPDATE AS BEGIN END"},
    };
    for (const auto& c : cases) check(c);
}

TEST(StatementBuilder, CreateKeyNeedsItsBlankAndTheHead) {
    // "create " must end within the first 200 bytes of the trimmed script.
    const auto with_drop_of = [](std::size_t prefix_len) {
        std::string prefix = "drop x\r\ngo\r\n";
        prefix.insert(6, prefix_len - prefix.size(), '-');
        return prefix + "create proc p as begin end";
    };
    std::string at_limit = with_drop_of(193);  // key occupies bytes 194..200
    std::string past_limit = with_drop_of(194);
    const split_case cases[] = {
        {"tab after create", "drop x\r\ngo\r\ncreate\tproc p as begin end", split_failure::create_key, "", ""},
        {"line end after create", "drop x\r\ngo\r\ncreate\r\nproc p as begin end", split_failure::create_key, "", ""},
        {"no create at all", "drop x\r\ngo\r\nalter proc p as begin end", split_failure::create_key, "", ""},
        {"empty script", "", split_failure::create_key, "", ""},
        {"blanks only", "     ", split_failure::create_key, "", ""},
        {"key ends at byte 200", at_limit, split_failure::none, at_limit.substr(0, 187),
         "create proc p  with ENCRYPTION as begin end"},
        {"key ends at byte 201", past_limit, split_failure::create_key, "", ""},
        {"leading blanks do not count towards the head", std::string(50, ' ') + at_limit, split_failure::none,
         at_limit.substr(0, 187), "create proc p  with ENCRYPTION as begin end"},
    };
    for (const auto& c : cases) check(c);
}

TEST(StatementBuilder, KeysInsideLongerWordsAndNames) {
    const split_case cases[] = {
        {"name containing begin cuts the header there",
         "drop x\r\ngo\r\ncreate proc p_has_beginner as begin end", split_failure::none, "drop x",
         "create proc p_h with ENCRYPTION as_beginner as begin end"},
        {"name containing begin and no as before it", "drop x\r\ngo\r\ncreate proc p_beginner as begin end",
         split_failure::procedure_key, "", ""},
        {"rightmost as sits in a comment", "drop x\r\ngo\r\ncreate proc p as\r\n-- alias\r\nbegin end",
         split_failure::none, "drop x", "create proc p as\r\n-- ali with ENCRYPTION as\r\nbegin end"},
        {"for inside a name wins", "drop x\r\ngo\r\ncreate proc p_format as begin end", split_failure::none,
         "drop x", "create proc p_ with ENCRYPTION format as begin end"},
        {"cursor for before begin wins over the later as",
         "drop x\r\ngo\r\ncreate proc p\r\nas\r\ndeclare c cursor for select a from t\r\nbegin end",
         split_failure::none, "drop x",
         "create proc p\r\nas\r\ndeclare c cursor  with ENCRYPTION for select a from t\r\nbegin end"},
        {"create key inside a word of a leading comment is taken",
         "-- recreate p\r\ndrop proc p\r\ngo\r\ncreate proc p as begin end", split_failure::batch_separator, "", ""},
        {"create key needs its blank, so recreate_x is no key",
         "drop proc recreate_x\r\ngo\r\ncreate proc p as begin end", split_failure::none,
         "drop proc recreate_x", "create proc p  with ENCRYPTION as begin end"},
    };
    for (const auto& c : cases) check(c);
}

TEST(StatementBuilder, BodyAndProcedureKeys) {
    // Positions are not cut at 16 bits: "begin" and "as" may lie far out.
    const std::string params(40000, 'x');
    const split_case cases[] = {
        {"keys beyond 32,767 bytes", "drop x\r\ngo\r\ncreate proc p @" + params + " as begin end",
         split_failure::none, "drop x", "create proc p @" + params + "  with ENCRYPTION as begin end"},
        {"no begin", "drop x\r\ngo\r\ncreate proc p as select 1", split_failure::body_key, "", ""},
        {"no as in the header", "drop x\r\ngo\r\ncreate proc p begin end", split_failure::procedure_key, "", ""},
        {"for but no as", "drop x\r\ngo\r\ncreate trigger t on x for insert begin end", split_failure::procedure_key, "", ""},
        {"as only after begin", "drop x\r\ngo\r\ncreate proc p begin select 1 as a end", split_failure::procedure_key, "", ""},
    };
    for (const auto& c : cases) check(c);
}

TEST(StatementBuilder, BatchSeparator) {
    const std::string tail = "create proc p as begin end";
    const std::string create = "create proc p  with ENCRYPTION as begin end";
    const split_case cases[] = {
        {"go with a trailing comment", "drop x\r\ngo -- next batch\r\n" + tail, split_failure::none, "drop x", create},
        {"an earlier line merely starting with go", "drop x\r\ngoto\r\nmore\r\ngo\r\n" + tail, split_failure::none,
         "drop x", create},
        {"go glued to the create key", "drop x\r\ngo" + tail, split_failure::none, "drop x", create},
        {"go not at a line start", "drop x go\r\n" + tail, split_failure::batch_separator, "", ""},
        {"go after a lone line feed", "drop x\ngo\n" + tail, split_failure::batch_separator, "", ""},
        {"go after a lone carriage return", "drop x\rgo\r" + tail, split_failure::batch_separator, "", ""},
        {"separator only after the create key", tail + "\r\ngo\r\n", split_failure::batch_separator, "", ""},
        {"drop section would be empty", "\r\ngo\r\n" + tail, split_failure::batch_separator, "", ""},
        {"empty drop section after trimmed blanks", "   \r\ngo\r\n" + tail, split_failure::batch_separator, "", ""},
        {"the first separator ends the drop section", "a\r\ngo\r\nb\r\ngo\r\n" + tail, split_failure::none, "a",
         create},
    };
    for (const auto& c : cases) check(c);
}

TEST(StatementBuilder, TrimmingAndTextAfterTheFinalEnd) {
    const split_case cases[] = {
        {"closing go stays in the create statement", "drop x\r\ngo\r\ncreate proc p as begin end\r\ngo\r\n",
         split_failure::none, "drop x", "create proc p  with ENCRYPTION as begin end\r\ngo\r\n"},
        {"only blanks are trimmed", "  \tdrop x\r\ngo\r\ncreate proc p as begin end\t  ", split_failure::none,
         "\tdrop x", "create proc p  with ENCRYPTION as begin end\t"},
        {"leading line end stays in the drop", "\r\ndrop x\r\ngo\r\ncreate proc p as begin end",
         split_failure::none, "\r\ndrop x", "create proc p  with ENCRYPTION as begin end"},
    };
    for (const auto& c : cases) check(c);
}

TEST(StatementBuilder, CreateTextLeftBehindByEachRefusal) {
    // The caller must not use it, but what is left is fixed by the order of
    // the tests: untouched, cut at the key, or cut and already rewritten.
    struct row {
        std::string script;
        split_failure failure;
        std::string create_after;
    };
    const row rows[] = {
        {"  no key here  ", split_failure::create_key, "  no key here  "},
        {" drop\r\ngo\r\ncreate proc p as select 1 ", split_failure::body_key, "create proc p as select 1"},
        {"drop\r\ngo\r\ncreate proc p begin", split_failure::procedure_key, "create proc p begin"},
        {"drop go create proc p as begin end", split_failure::batch_separator,
         "create proc p  with ENCRYPTION as begin end"},
    };
    for (const row& r : rows) {
        std::string create = r.script, drop = "kept";
        EXPECT_EQ(velmora::get_sql_go_checked(create, drop), r.failure);
        EXPECT_EQ(create, r.create_after);
        EXPECT_EQ(drop, "kept");
    }
}

TEST(StatementBuilder, DescribesEachFailure) {
    EXPECT_EQ(velmora::describe(split_failure::create_key), "create key");
    EXPECT_EQ(velmora::describe(split_failure::body_key), "body key");
    EXPECT_EQ(velmora::describe(split_failure::procedure_key), "procedure key");
    EXPECT_EQ(velmora::describe(split_failure::batch_separator), "batch separator");
}

// Where the clause lands, read as the server reads the header, and the name
// the create statement gives its object. The builder refuses every script
// whose clause would not encrypt.
TEST(StatementBuilder, ClauseLandsWhereTheServerReadsItAndTheObjectIsNamed) {
    using where = velmora::clause_placement::where;
    struct row {
        const char* label;
        std::string header;  // after "drop p\r\ngo\r\n"
        where at;
        std::size_t line;
        std::string word;
        std::string object;
    };
    const row rows[] = {
        {"a line comment after the as", "create procedure p_x @a int = 1 as -- totals as of the day\r\nbegin end",
         where::comment, 3, "", "p_x"},
        {"a header line after the as", "create procedure p_x as\r\n/* was: create */\r\nbegin end", where::comment, 4,
         "", "p_x"},
        {"an as only in a comment before the real one",
         "create procedure [dbo].[p_x] -- totals as of the day\r\n  @a int = 1\r\nas\r\nbegin end", where::code, 5, "",
         "[dbo].[p_x]"},
        {"nested comments end where the last one closes",
         "create proc dbo.p /* a /* b */ as */ @a int as begin end", where::code, 3, "", "dbo.p"},
        {"a comment opened inside a comment needs its own close",
         "create proc p @a int as /* a /* b */ as */ begin end", where::comment, 3, "", "p"},
        {"a nested comment before the name", "create proc /* a /* b */ p_old */ p_x as begin end", where::code, 3,
         "", "p_x"},
        {"a line comment runs on past a lone carriage return", "create proc p @a int = 1 -- note\r as\r\nbegin end",
         where::comment, 3, "", "p"},
        {"a line comment before the name runs on past a lone carriage return",
         "create proc -- was\r p_old\r\n p_x as begin end", where::code, 4, "", "p_x"},
        {"a string", "create proc p @a varchar(9) = 'as' begin end", where::string, 3, "", "p"},
        {"an escaped quote keeps the string open", "create proc p @a varchar(9) = 'it''s as' begin end",
         where::string, 3, "", "p"},
        {"a bracketed name, ]] inside", "create proc [p]]as] begin end", where::quoted_name, 3, "", "[p]]as]"},
        {"a quoted name", "create proc \"p as\" begin end", where::quoted_name, 3, "", "\"p as\""},
        {"the for inside a word", "create proc /* c */ p_for_x as begin end", where::word, 3, "p_for_x",
         "p_for_x"},
        {"the as starting a longer word", "create proc p as\r\nset ansi_nulls on\r\nselect 1 from assets\r\nbegin end",
         where::word, 5, "assets", "p"},
        {"a trigger's for", "create trigger [tr_x] on t for insert as begin end", where::code, 3, "", "[tr_x]"},
        {"a Chinese name, ] as its trail byte", "create proc p_\xC5\x5D as begin end", where::code, 3, "",
         "p_\xC5\x5D"},
        {"blanks around the dot", "create or alter proc dbo . /* x */ p as begin end", where::code, 3, "", "dbo.p"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.label);
        const std::string script = "drop p\r\ngo\r\n" + r.header;
        const auto p = velmora::place_clause(script);
        ASSERT_TRUE(p);
        EXPECT_EQ(p->at, r.at);
        EXPECT_EQ(p->line, r.line);
        EXPECT_EQ(p->word, r.word);
        std::string create = script, drop;
        velmora::script_cuts cuts;
        ASSERT_EQ(velmora::get_sql_go_checked(create, drop, &cuts), split_failure::none);
        EXPECT_EQ(velmora::created_object_name(std::string_view(script).substr(cuts.create_at)), r.object);
        const std::string refusal = velmora::script_refusal_reason("p_MS.sql", script);
        EXPECT_EQ(refusal.empty(), p->encrypts()) << refusal;
        if (!p->encrypts()) {
            EXPECT_NE(refusal.find("第 " + std::to_string(r.line) + " 行：插入的“ with ENCRYPTION ”会落在"),
                      std::string::npos)
                << refusal;
        }
    }
    EXPECT_EQ(velmora::describe(*velmora::place_clause("d\r\ngo\r\ncreate proc p as -- as\r\nbegin end")),
              "line 3: \" with ENCRYPTION \" would land inside a comment");
    EXPECT_FALSE(velmora::place_clause("create proc p begin end"));
}

// The create statement the builder makes, read after T-SQL's grammar: every
// shape no server takes is refused with its line and fix, and every shape a
// server takes encrypted still packs.
TEST(StatementBuilder, CreateStatementsNoServerTakesAreRefusedWithTheirFix) {
    for (const create_shapes::shape& s : create_shapes::shapes()) {
        SCOPED_TRACE(s.label);
        std::string create = s.script, drop;
        velmora::script_cuts cuts;
        ASSERT_EQ(velmora::get_sql_go_checked(create, drop, &cuts), split_failure::none);
        const velmora::create_reading reading = velmora::read_create_statement(s.script, cuts);
        const std::string refusal = velmora::script_refusal_reason("p_MS.sql", s.script);
        if (!s.fails) {
            EXPECT_TRUE(reading.faults.empty()) << velmora::describe(reading.faults);
            EXPECT_EQ(refusal, "");
            continue;
        }
        ASSERT_FALSE(reading.faults.empty());
        EXPECT_EQ(reading.faults[0].what, *s.fails);
        const std::string message = velmora::describe(reading.faults);
        EXPECT_EQ(message.rfind("line " + std::to_string(s.line) + ": ", 0), 0u) << message;
        EXPECT_NE(message.find(s.fix), std::string::npos) << message;
        EXPECT_EQ(refusal.rfind("第 " + std::to_string(s.line) + " 行：", 0), 0u) << refusal;
    }
    // Faults that come together are named together, each with its fix.
    const std::string both = create_shapes::drop + "create trigger t_x on t_y after insert\r\n"
                                                   "not for replication as begin select 1 end";
    std::string create = both, drop;
    velmora::script_cuts cuts;
    ASSERT_EQ(velmora::get_sql_go_checked(create, drop, &cuts), split_failure::none);
    EXPECT_EQ(velmora::describe(velmora::read_create_statement(both, cuts).faults),
              "line 3: \" with ENCRYPTION \" would follow the trigger's AFTER event list; write FOR instead of AFTER, "
              "they mean the same; line 4: \" with ENCRYPTION \" would land inside NOT FOR REPLICATION; leave out NOT "
              "FOR REPLICATION: the package puts its WITH before the header's last FOR");
}

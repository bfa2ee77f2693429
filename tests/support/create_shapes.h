#pragma once
// Procedure and trigger scripts as everyday work and Management Studio's
// templates write them, each with what a SQL Server makes of the create
// statement the statement builder gives: taken, or refused for the fault the
// builder names (line and fix). The builder's tests and the stand-in's read
// this one table, so the two cannot drift apart.

#include <optional>
#include <string>
#include <vector>

#include "package/create_grammar.h"

namespace create_shapes {

using fault = velmora::grammar_fault::kind;

struct shape {
    const char* label;
    std::string script;          // the whole script; its create statement starts on line 3 unless said
    std::optional<fault> fails;  // nullopt: every server takes the create statement
    std::size_t line = 0;        // the fault's line
    const char* fix = "";        // part of the English message
};

inline const std::string drop = "drop procedure p_x\r\ngo\r\n";
inline constexpr std::nullopt_t none = std::nullopt;

inline const std::vector<shape>& shapes() {
    static const std::vector<shape> all = {
        // Refused: the clause where no server takes it.
        {"an AFTER trigger", drop + "create trigger t_x on t_y after insert as\r\nbegin\r\n  select 1\r\nend\r\n",
         fault::after_events, 3, "write FOR instead of AFTER, they mean the same"},
        {"Management Studio's AFTER trigger",
         drop + "CREATE TRIGGER dbo.t_x \r\n   ON  dbo.t_y \r\n   AFTER INSERT,DELETE,UPDATE\r\nAS \r\nBEGIN\r\n"
                "\tSET NOCOUNT ON;\r\nEND\r\n",
         fault::after_events, 5, "write FOR instead of AFTER"},
        {"an INSTEAD OF trigger", drop + "create trigger t_x on v_y instead of insert as begin select 1 end",
         fault::instead_of, 3, "an INSTEAD OF trigger cannot be packaged"},
        {"NOT FOR REPLICATION",
         drop + "create trigger t_x on t_y for insert, update\r\nnot for replication\r\nas begin select 1 end",
         fault::not_for_replication, 4, "leave out NOT FOR REPLICATION"},
        {"WITH RECOMPILE", drop + "create proc p_x with recompile as begin select 1 end", fault::second_with, 3,
         "leave out WITH RECOMPILE: the package adds a WITH of its own"},
        {"WITH EXECUTE AS OWNER",
         drop + "create procedure p_x @a int\r\nwith execute as owner\r\nas\r\nbegin select @a end",
         fault::second_with, 4, "leave out WITH EXECUTE AS OWNER"},
        {"WITH ENCRYPTION of its own", drop + "create proc p_x with encryption as begin select 1 end",
         fault::second_with, 3, "leave out WITH ENCRYPTION"},
        {"a trigger's WITH EXECUTE AS",
         drop + "create trigger t_x on t_y with execute as caller for insert as begin select 1 end",
         fault::second_with, 3, "leave out WITH EXECUTE AS CALLER"},
        {"a body without BEGIN: a column alias",
         drop + "create procedure p_x as\r\nset nocount on\r\nselect i.item_no as code from t_bd_item_info i\r\n"
                "if @@rowcount = 0 begin\r\n  select 0\r\nend\r\n",
         fault::in_body, 5, "begin the body with BEGIN"},
        {"a body without BEGIN: CAST", drop + "create proc p_x @s varchar(9) as\r\nselect cast(@s as int)\r\n"
                                              "if @s = '' begin select 1 end",
         fault::in_body, 4, "begin the body with BEGIN"},
        {"a body without BEGIN: a cursor",
         drop + "create proc p_x as\r\ndeclare c cursor for select 1\r\nif 1 = 1 begin select 1 end", fault::in_body,
         4, "begin the body with BEGIN"},
        {"a body without BEGIN: FOR XML",
         drop + "create proc p_x as\r\nselect item_no from t_bd_item_info for xml auto\r\n"
                "if @@rowcount = 0 begin select 1 end",
         fault::in_body, 4, "begin the body with BEGIN"},
        {"a body without BEGIN: EXECUTE AS",
         drop + "create proc p_x as\r\nexecute as caller\r\nif 1 = 1 begin select 1 end", fault::in_body, 4,
         "begin the body with BEGIN"},
        {"a trigger's body without BEGIN",
         drop + "create trigger t_x on t_y for insert as\r\ndeclare c cursor for select 1\r\n"
                "if 1 = 1 begin select 1 end",
         fault::in_body, 4, "begin the body with BEGIN"},
        {"Management Studio's template comment",
         drop + "-- =============================================\r\n-- Author:\t\tWang\r\n"
                "-- Create date: 2017-06-21\r\n-- Description:\tstock sums\r\n"
                "-- =============================================\r\nCREATE PROCEDURE p_x\r\nAS\r\nBEGIN\r\n"
                "\tSET NOCOUNT ON;\r\nEND\r\n",
         fault::create_key, 5, "reword the comment above CREATE"},
        {"create in a string above CREATE",
         drop + "print 'create the procedure'\r\ncreate procedure p_x as begin select 1 end", fault::create_key, 3,
         "reword the string above CREATE"},
        {"create ending a word above CREATE",
         drop + "exec p_create 1\r\ncreate procedure p_x as begin select 1 end", fault::create_key, 3,
         "inside the word \"p_create\""},
        {"a \"go\" line after END", drop + "create proc p_x as\r\nbegin\r\n  select 1\r\nend\r\ngo\r\n",
         fault::go_line, 7, "delete the \"go\" line"},
        {"a GO line and a grant after it",
         drop + "create proc p_x as\r\nbegin\r\n  select 1\r\nend\r\nGO\r\ngrant execute on p_x to public\r\n",
         fault::go_line, 7, "delete the \"go\" line"},
        {"an indented GO with a count", drop + "create proc p_x as\r\nbegin select 1 end\r\n  go 2 -- twice\r\n",
         fault::go_line, 5, "delete the \"go\" line"},
        {"\"begin\" in a default, an AS after a parameter",
         drop + "create proc p_x @a as varchar(9) = 'begin' as begin select @a end", fault::early, 3,
         "keep \"begin\" out of the header"},

        // Taken: the clause where every server takes it.
        {"the demo's procedure", drop + "CREATE PROCEDURE p_x\r\nAS\r\nBEGIN\r\n  select 1\r\nEND\r\n", none},
        {"a FOR trigger", drop + "create trigger t_x on t_y for insert, update as begin select 1 end", none},
        {"Management Studio's trigger with FOR",
         drop + "CREATE TRIGGER dbo.t_x \r\n   ON  dbo.t_y \r\n   FOR INSERT,DELETE,UPDATE\r\nAS \r\nBEGIN\r\n"
                "\tSET NOCOUNT ON;\r\nEND\r\n", none},
        {"WITH APPEND", drop + "create trigger t_x on t_y for insert with append as begin select 1 end", none},
        {"defaults, OUTPUT and READONLY",
         drop + "create procedure p_x\r\n  @a int = -1,\r\n  @b varchar(10) = N'\xD6\xD0\xCE\xC4',\r\n"
                "  @c int output,\r\n  @d dbo.t_items readonly\r\nas\r\nbegin select @a end", none},
        {"parameters in parentheses",
         drop + "create procedure p_x (@a int, @b decimal(10, 2) = 1.5) as begin select @a end", none},
        {"a cursor parameter", drop + "create procedure p_x @c cursor varying output as begin select 1 end", none},
        {"an AS after a parameter's name", drop + "create proc p_x @a as int as begin select @a end", none},
        {"a numbered procedure", drop + "create proc p_x;2 @a int as begin select @a end", none},
        {"bracketed names", drop + "create procedure [dbo].[p x] as begin select 1 end", none},
        {"quoted names", drop + "create procedure \"dbo\".\"p_x\" as begin select 1 end", none},
        {"blanks around the dot", drop + "create procedure dbo . p_x as begin select 1 end", none},
        {"FOR REPLICATION", drop + "create procedure p_x for replication as begin select 1 end", none},
        {"an as in a comment before the real one",
         drop + "create procedure p_x -- sums as of today\r\n  @a int\r\nas\r\nbegin select @a end", none},
        {"a Chinese name with ] as a trail byte", drop + "create procedure p_\xC5\x5D as begin select 1 end", none},
        {"a Chinese comment", drop + "create procedure p_x /* \xBF\xE2\xB4\xE6 */ as begin select 1 end", none},
        {"a database DDL trigger",
         drop + "create trigger t_x on database for create_table, alter_table as begin select 1 end", none},
        {"CREATE OR ALTER", drop + "create or alter procedure p_x as begin select 1 end", none},
        {"a body opening with SET NOCOUNT", drop + "create procedure p_x as\r\nset nocount on\r\n"
                                                   "if 1 = 1 begin select 1 end", none},
        {"go inside a comment and a string",
         drop + "create proc p_x as\r\nbegin\r\n/*\r\ngo\r\n*/\r\nselect 'x\r\ngo\r\n'\r\nend\r\n", none},
        {"a goto at a line's start", drop + "create proc p_x as\r\nbegin\r\ngoto done\r\ndone:\r\nend\r\n", none},
        {"SET options between the batches",
         "drop procedure p_x\r\nGO\r\nSET ANSI_NULLS ON\r\nGO\r\nSET QUOTED_IDENTIFIER ON\r\nGO\r\n"
         "CREATE PROCEDURE p_x AS BEGIN select 1 END", none},
    };
    return all;
}

}  // namespace create_shapes

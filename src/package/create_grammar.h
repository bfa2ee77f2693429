#pragma once
// The create statement the statement builder makes of a script, read after
// T-SQL's grammar for CREATE PROCEDURE and CREATE TRIGGER: would a SQL Server
// take it, with " with ENCRYPTION " where the builder put it? The builder
// places the clause by the letters of its keywords alone, so in a header with
// a WITH list of its own, after an AFTER trigger's events, or in a body that
// does not open with BEGIN, the clause lands where every server reports a
// syntax error, and the object is never created at any shop.
//
// Only what every version from SQL Server 2000 on refuses is a fault here;
// what one version takes and another does not is for that server to say.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "package/create_header.h"
#include "package/statement_builder.h"

namespace velmora {

struct grammar_fault {
    enum class kind {
        create_key,           // the create statement would not begin at the CREATE of an object
        second_with,          // the header has a WITH list of its own
        instead_of,           // an INSTEAD OF trigger: the clause would have to stand before INSTEAD OF
        after_events,         // the clause would follow an AFTER trigger's event list
        not_for_replication,  // the clause would land inside NOT FOR REPLICATION
        in_body,              // the clause would land in a body that does not open with BEGIN
        early,                // the clause would land in the name or the parameters: "begin" early in the header
        go_line,              // a "go" line inside the create statement
    } what = kind::create_key;
    std::size_t line = 0;  // 1-based line of the script
    // create_key: where the key stands ("comment", "string", "quoted name",
    // "word") or, in code, the words the statement would begin with;
    // second_with: the WITH list; early: the line of the "begin".
    std::string text;
    std::string word;  // create_key in a word: the word
};

struct create_reading {
    // Where the clause lands, read token by token (see place_clause).
    clause_placement clause;
    // What every server would refuse; empty when none.
    std::vector<grammar_fault> faults;
    // CREATE TRIGGER ... ON DATABASE: a DDL trigger, which OBJECT_ID does not see.
    bool database_trigger = false;

    bool fails_on_server() const { return !faults.empty(); }
};

// script and the cuts the statement builder made of it. When the create key
// itself is misplaced, that is the one fault, and the clause is not read.
create_reading read_create_statement(std::string_view script, const script_cuts& cuts);

// The faults, each naming its line and the fix where there is one, joined by
// "; ": in English for the tools and the plan, in Chinese for the builder's
// message.
std::string describe(const std::vector<grammar_fault>& faults);
std::string describe_zh(const std::vector<grammar_fault>& faults);

}  // namespace velmora

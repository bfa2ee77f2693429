#pragma once
// Tokenizer and parser for the T-SQL subset the stand-in runs. The parser only
// builds a tree; names are resolved and checked when a statement executes, as
// SQL Server defers name resolution too.

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sqlserver-standin/error_catalogue.h"
#include "sqlserver-standin/server_version.h"

namespace standin::tsql {

enum class tok { ident, quoted_ident, string, integer, number, variable, sysvar, op, end };

struct token {
    tok kind = tok::end;
    std::string text;   // as written (for messages); unescaped value for strings/quoted names
    std::string upper;  // upper-cased text for plain identifiers and keywords
    bool unicode = false;  // N'...'
    std::size_t begin = 0, end = 0;  // byte offsets in the batch
    int line = 1;
    bool is(const char* kw) const { return kind == tok::ident && upper == kw; }
    bool is_op(const char* o) const { return kind == tok::op && text == o; }
};

std::vector<token> tokenize(const std::string& sql);
bool is_reserved(const std::string& upper);

// A parse failure, reported as 102 / 156 or another compile-time error.
struct syntax_error : std::runtime_error {
    int number;
    int severity;
    int line;
    syntax_error(const error_def& d, std::initializer_list<std::string_view> args, int l)
        : std::runtime_error(error_text(d, args)), number(d.number), severity(d.severity), line(l) {}
};

struct select_stmt;

struct type_spec {
    std::string name;  // upper-case base name: INT, VARCHAR, NUMERIC, ...
    int length = -1;   // chars/bytes, -1 when not given, -2 for MAX
    int precision = -1;
    int scale = -1;
};

struct expr;
using expr_ptr = std::unique_ptr<expr>;

struct expr {
    enum kind_t {
        lit_int, lit_num, lit_str, lit_null, column, sysvar, variable, unary, binary,
        func, in_list, in_select, exists, is_null, like, between, case_when, subquery,
        cast, star
    } kind;
    std::string op;                  // operator, upper-case function name or system variable
    std::vector<std::string> parts;  // column reference: [table.]column, possibly with owner
    std::string value;               // literal text
    bool negated = false;
    bool distinct = false;
    bool unicode = false;
    std::vector<expr_ptr> args;
    std::shared_ptr<select_stmt> sub;
    type_spec type;                  // CAST / CONVERT target
    std::size_t tok = 0;             // token index, for messages
};

struct table_ref {
    std::vector<std::string> name;  // [db.][owner.]table
    std::string alias;
    std::string join;  // "" for the first / comma, else "INNER", "LEFT", "RIGHT", "CROSS"
    std::shared_ptr<expr> on;
    std::size_t tok = 0;
};

struct select_item {
    expr_ptr e;        // null for a star
    std::string alias;
    std::string assign;  // SELECT @v = expr: the variable
    bool star = false;
    std::vector<std::string> star_qualifier;
};

struct order_item {
    expr_ptr e;
    bool desc = false;
};

struct select_stmt {
    bool distinct = false;
    expr_ptr top;
    std::vector<select_item> items;
    std::vector<table_ref> from;
    expr_ptr where;
    std::vector<expr_ptr> group_by;
    expr_ptr having;
    std::vector<order_item> order_by;
    std::shared_ptr<select_stmt> union_next;
    bool union_all = false;
    std::size_t tok = 0;
};

struct column_def {
    std::string name;
    type_spec type;
    std::optional<bool> nullable;
    expr_ptr default_value;
    std::string default_text;  // the default as written, kept for later inserts
    bool primary_key = false;
    std::string pk_name;
    bool identity = false;
    long long identity_seed = 1, identity_step = 1;
};

struct set_item {
    std::string column;
    expr_ptr value;
    std::size_t tok = 0;
};

// BACKUP DATABASE and RESTORE { DATABASE | VERIFYONLY }: the device and the
// WITH options as written (tsql_parser_backup.cpp).
struct backup_clause {
    enum what_t { backup_database, restore_database, restore_verifyonly } what = backup_database;
    expr_ptr device;  // DISK = 'path' | @variable
    expr_ptr file;    // FILE = n | @variable; null when not given
    bool copy_only = false;
    bool checksum = false;
    bool no_checksum = false;
    bool init = false;     // INIT or FORMAT: the file starts anew
    bool replace = false;
    std::string name;      // NAME = '...'
};

struct statement;
using stmt_ptr = std::unique_ptr<statement>;

struct statement {
    enum kind_t {
        select, insert, update, delete_, create_table, alter_add, alter_drop_column,
        drop_table, create_database, drop_database, use, create_module, drop_module,
        if_, block, set_option, begin_tran, commit, rollback, save_tran, exec, print,
        truncate, declare, set_variable, return_, backup, restore, noop
    } kind = noop;
    int line = 1;
    std::size_t first_tok = 0;

    std::shared_ptr<select_stmt> query;  // select / insert ... select / if condition helper
    std::vector<std::string> name;       // target object (multi-part)
    std::vector<std::vector<std::string>> names;  // drop lists
    std::string alias;
    std::vector<std::string> columns;    // insert column list
    std::vector<std::vector<expr_ptr>> values;  // insert rows
    bool default_values = false;
    std::vector<set_item> sets;
    std::vector<table_ref> from;          // update/delete extra FROM
    expr_ptr where;
    std::vector<column_def> coldefs;
    std::vector<std::string> pk_columns;  // table-level PRIMARY KEY
    std::string pk_name;
    bool with_values = false;

    // create procedure / trigger
    std::string module_type;  // "P" or "TR"
    bool encrypted = false;
    bool or_alter = false;     // CREATE OR ALTER: replaces a module of its kind, else creates it
    bool on_database = false;  // CREATE / ALTER / DROP TRIGGER ... ON DATABASE: a DDL trigger
    std::vector<std::string> trigger_table;

    // if
    expr_ptr condition;
    stmt_ptr then_branch, else_branch;
    std::vector<stmt_ptr> body;  // block

    // set option / exec
    std::string option;
    std::vector<expr_ptr> args;
    std::vector<std::string> arg_names;
    std::vector<type_spec> types;  // declare; procedure parameters
    std::string status_variable;   // EXEC @v = p: the variable taking p's return status
    std::size_t body_begin = 0;    // procedure / trigger: offset of the body in the batch

    std::shared_ptr<backup_clause> backup_info;  // backup / restore
};

// Parses a whole batch. Throws syntax_error. With parseonly, each SET
// PARSEONLY the parse gets through leaves its ON (true) or OFF there, as SQL
// Server applies that option while parsing, also when a later part of the
// batch fails to parse. The grammar is the one of the version that has what
// `has` says: a statement form it lacks is the syntax error that version
// gives, and so is a built-in function it lacks (195).
std::vector<stmt_ptr> parse_batch(const std::string& sql, const std::vector<token>& toks,
                                  std::optional<bool>* parseonly = nullptr, const version_features& has = {});

// "[dbo].[p_x]" / "dbo.p_x" / "p_x" as written inside OBJECT_ID('...') and the like.
std::vector<std::string> split_object_name(const std::string& text);

std::string to_upper(std::string s);
std::string to_lower(std::string s);

}  // namespace standin::tsql

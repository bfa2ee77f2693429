#pragma once
// The translator: parsed T-SQL expressions and queries into SQLite text, with
// names resolved against the catalog and SQL Server's typing rules applied
// (conversions, collation, text concatenation).

#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "catalog.h"
#include "tsql_parser.h"

namespace standin::detail {

using tsql::expr;
using tsql::select_stmt;
using tsql::table_ref;

class conn_impl;

// Translation of parsed T-SQL into SQLite text, with names resolved.
struct typed {
    std::string sql;
    vtype type = vtype::unknown;
};

struct scope_entry {
    std::string alias;     // alias as written, or the table name
    std::string sql_alias;
    std::shared_ptr<table_info> table;
};

struct scope {
    std::vector<scope_entry> tables;
    const scope* parent = nullptr;
};

struct select_out {
    std::string sql;
    std::vector<std::string> names;
    std::vector<vtype> types;
};

struct translator {
    conn_impl& c;
    sqlite3* h;
    bool uses_sysdatabases = false;

    translator(conn_impl& cc, sqlite3* hh) : c(cc), h(hh) {}

    std::string new_alias();

    [[noreturn]] void invalid_column(const std::string& name);

    scope_entry table_entry(const table_ref& r);

    typed column_ref(const expr& e, const scope& sc);

    static bool is_textish(vtype t) { return t == vtype::text || t == vtype::unknown; }

    std::string compare(const typed& a, const std::string& op, const typed& b);

    typed expression(const expr& e, const scope& sc);

    std::string num(const typed& a);

    typed sysvar(const std::string& name);

    typed binary(const expr& e, const scope& sc);

    typed function(const expr& e, const scope& sc);

    static bool has_aggregate(const expr& e);

    std::string build_from(const std::vector<table_ref>& refs, scope& sc);

    // Translates a SELECT. forced_names: name the output columns c0..cn.
    select_out select(const select_stmt& s, const scope* parent, bool forced_names);
};

}  // namespace standin::detail

#pragma once
// The translator: parsed T-SQL expressions and queries into SQLite text, with
// names resolved against the catalog and SQL Server's typing rules applied
// (conversions, collation, text concatenation).

#include <sqlite3.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sqlserver-standin/catalog.h"
#include "sqlserver-standin/tsql_parser.h"

namespace standin::detail {

using tsql::expr;
using tsql::select_stmt;
using tsql::table_ref;

class conn_impl;

// Translation of parsed T-SQL into SQLite text, with names resolved.
struct typed {
    std::string sql;
    vtype type = vtype::unknown;
    // The T-SQL type where it is declared or follows from one (a column, a
    // variable, a CAST, a literal, ISNULL of a column, ...); a result column
    // goes out as that type.
    std::optional<type_spec> decl;

    typed() = default;
    typed(std::string s, vtype t = vtype::unknown, std::optional<type_spec> d = std::nullopt)
        : sql(std::move(s)), type(t), decl(std::move(d)) {}
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
    std::vector<std::optional<type_spec>> decls;
};

// Translates within one statement on one handle; aliases it invents count
// on the connection, so the same statement gives the same SQLite text.
struct translator {
    conn_impl& c;
    sqlite3* h;
    bool uses_sysdatabases = false;

    translator(conn_impl& cc, sqlite3* hh) : c(cc), h(hh) {}

    typed expression(const expr& e, const scope& sc);
    // The FROM list; adds its tables to sc.
    std::string build_from(const std::vector<table_ref>& refs, scope& sc);
    // Translates a SELECT, its output columns named c0..cn.
    select_out select(const select_stmt& s, const scope* parent, bool forced_names);

    // a op b with SQL Server's conversions and the TSQL collation.
    std::string compare(const typed& a, const std::string& op, const typed& b);
    // a as a number: text is converted.
    std::string num(const typed& a);

    static bool is_textish(vtype t) { return t == vtype::text || t == vtype::unknown; }
    static bool has_aggregate(const expr& e);
    // COUNT, MAX, ...: upper-case name.
    static bool is_aggregate(const std::string& function_name);

private:
    std::string new_alias();
    [[noreturn]] void invalid_column(const std::string& name);
    scope_entry table_entry(const table_ref& r);

    // Expressions by kind (translator.cpp).
    static std::optional<type_spec> literal_type(const expr& e);
    static std::optional<type_spec> concatenated(const std::optional<type_spec>& a, const std::optional<type_spec>& b);
    typed column_ref(const expr& e, const scope& sc);
    typed sysvar(const std::string& name);
    typed variable_value(const expr& e);
    typed unary(const expr& e, const scope& sc);
    typed binary(const expr& e, const scope& sc);
    typed in_list(const expr& e, const scope& sc);
    typed in_select(const expr& e, const scope& sc);
    typed subquery(const expr& e, const scope& sc);
    select_out single_column(const select_stmt& s, const scope& sc);
    typed like(const expr& e, const scope& sc);
    typed between(const expr& e, const scope& sc);
    typed case_when(const expr& e, const scope& sc);
    typed cast(const expr& e, const scope& sc);
    // Built-in functions, from their table (translator_functions.cpp).
    typed function(const expr& e, const scope& sc);

    // The parts of a SELECT.
    std::string select_list(const select_stmt& s, const scope& sc, select_out& out);
    std::string output_name(const tsql::select_item& it, const scope& sc);
    std::string order_by(const select_stmt& s, const scope& sc, const select_out& out);
    std::string key_order(const scope_entry& t);
    static bool has_aggregate(const select_stmt& s);
};

}  // namespace standin::detail

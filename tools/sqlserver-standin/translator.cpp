#include "sqlserver-standin/translator.h"

#include <algorithm>
#include <cstdlib>

#include "sqlserver-standin/connection_impl.h"
#include "sqlserver-standin/error_catalogue.h"
#include "sqlserver-standin/sqlite_io.h"
#include "sqlserver-standin/tsql_runtime.h"

namespace standin::detail {

using namespace tsql;

std::string translator::new_alias() { return "_t" + std::to_string(++c.alias_counter_); }

void translator::invalid_column(const std::string& name) {
    throw compile_err(errors::invalid_column, name);
}

scope_entry translator::table_entry(const table_ref& r) {
    scope_entry e;
    e.table = c.resolve_table(h, r.name, false);
    if (e.table->sql_name == "temp.sysdatabases") uses_sysdatabases = true;
    e.alias = r.alias.empty() ? r.name.back() : r.alias;
    e.sql_alias = new_alias();
    return e;
}

typed translator::column_ref(const expr& e, const scope& sc) {
    const auto& p = e.parts;
    std::string col = p.back();
    std::string qual = p.size() >= 2 ? p[p.size() - 2] : std::string();
    for (const scope* s = &sc; s; s = s->parent) {
        const scope_entry* found = nullptr;
        int idx = -1;
        for (const auto& t : s->tables) {
            if (!qual.empty() && !ieq(t.alias, qual) && !ieq(t.table->name, qual)) continue;
            int i = t.table->find(col);
            if (i < 0) continue;
            if (found) throw compile_err(errors::ambiguous_column, col);
            found = &t;
            idx = i;
        }
        if (found) {
            typed r;
            r.sql = quote_id(found->sql_alias) + "." + quote_id(found->table->cols[static_cast<std::size_t>(idx)].name);
            r.type = found->table->cols[static_cast<std::size_t>(idx)].vt();
            r.decl = found->table->cols[static_cast<std::size_t>(idx)].type;
            return r;
        }
        if (!qual.empty()) {
            bool qual_known = false;
            for (const auto& t : s->tables)
                if (ieq(t.alias, qual) || ieq(t.table->name, qual)) qual_known = true;
            if (qual_known) invalid_column(col);
        }
    }
    if (!qual.empty())
        throw compile_err(errors::unbound_identifier, join_name(p));
    invalid_column(col);
}

std::string translator::compare(const typed& a, const std::string& op, const typed& b) {
    std::string l = a.sql, r = b.sql;
    bool an = a.type == vtype::integer || a.type == vtype::decimal;
    bool bn = b.type == vtype::integer || b.type == vtype::decimal;
    if (an && b.type == vtype::text) r = "tsql_num(" + r + ")";
    if (bn && a.type == vtype::text) l = "tsql_num(" + l + ")";
    if (a.type == vtype::datetime && b.type == vtype::text) r = "tsql_dt(" + r + ")";
    if (b.type == vtype::datetime && a.type == vtype::text) l = "tsql_dt(" + l + ")";
    return "((" + l + ") " + op + " (" + r + ") COLLATE TSQL)";
}

typed translator::expression(const expr& e, const scope& sc) {
    switch (e.kind) {
    case expr::lit_int: return {e.value, vtype::integer, literal_type(e)};
    case expr::lit_num: return {e.value, vtype::decimal, literal_type(e)};
    case expr::lit_str: return {quote_str(e.value), vtype::text, literal_type(e)};
    case expr::lit_null:
        if (e.op == "DEFAULT") throw compile_err(errors::syntax_near_keyword, "DEFAULT");
        return {"NULL"};
    case expr::column: return column_ref(e, sc);
    case expr::sysvar: return sysvar(e.op);
    case expr::variable: return variable_value(e);
    case expr::unary: return unary(e, sc);
    case expr::binary: return binary(e, sc);
    case expr::func: return function(e, sc);
    case expr::in_list: return in_list(e, sc);
    case expr::in_select: return in_select(e, sc);
    case expr::exists: return {"(EXISTS (" + select(*e.sub, &sc, false).sql + "))", vtype::integer};
    case expr::subquery: return subquery(e, sc);
    case expr::is_null: {
        typed a = expression(*e.args[0], sc);
        return {"((" + a.sql + ") IS " + (e.negated ? "NOT NULL)" : "NULL)"), vtype::integer};
    }
    case expr::like: return like(e, sc);
    case expr::between: return between(e, sc);
    case expr::case_when: return case_when(e, sc);
    case expr::cast: return cast(e, sc);
    case expr::star: return {"*"};
    }
    return {};
}

// A literal's type as SQL Server gives it: int (numeric(p, 0) past int's
// range), numeric(p, s) with the digits written, float with an exponent,
// varchar(n) with n bytes of the code page, nvarchar(n) for N'...'.
std::optional<type_spec> translator::literal_type(const expr& e) {
    if (e.kind == expr::lit_str) {
        const int n = e.unicode ? tsql::char_length(e.value) : tsql::gbk_length(e.value);
        return character_type(e.unicode, n);
    }
    const std::string& v = e.value;
    if (v.find_first_of("eE") != std::string::npos) return simple_type("FLOAT");
    const std::size_t dot = v.find('.');
    std::string whole = v.substr(0, dot);
    whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
    const int scale = dot == std::string::npos ? 0 : static_cast<int>(v.size() - dot - 1);
    if (e.kind == expr::lit_int && whole.size() <= 10) {
        long long n = std::atoll(v.c_str());
        if (n <= 2147483647LL) return simple_type("INT");
    }
    if (whole.size() + scale > 38) return simple_type("FLOAT");
    return numeric_type(static_cast<int>(whole.size()) + scale, scale);
}

// A batch variable's value, written in as a literal.
typed translator::variable_value(const expr& e) {
    auto it = c.vars_.find(to_lower(e.op));
    if (it == c.vars_.end()) throw compile_err(errors::undeclared_variable, e.op);
    const sql_value& v = it->second.value;
    typed r;
    if (std::holds_alternative<std::monostate>(v)) r.sql = "NULL";
    else if (std::holds_alternative<std::string>(v)) r.sql = quote_str(std::get<std::string>(v));
    else r.sql = value_text(v);
    r.type = vtype_of(it->second.type);
    r.decl = it->second.type;
    return r;
}

typed translator::unary(const expr& e, const scope& sc) {
    typed a = expression(*e.args[0], sc);
    if (e.op == "NOT") return {"(NOT " + a.sql + ")", vtype::integer};
    if (e.op == "-") return {"(-" + num(a) + ")", a.type, a.decl};
    if (e.op == "~") return {"(~" + num(a) + ")", vtype::integer};
    return a;
}

typed translator::in_list(const expr& e, const scope& sc) {
    typed a = expression(*e.args[0], sc);
    bool an = a.type == vtype::integer || a.type == vtype::decimal;
    std::string list;
    for (std::size_t i = 1; i < e.args.size(); ++i) {
        typed v = expression(*e.args[i], sc);
        if (i > 1) list += ",";
        list += (an && v.type == vtype::text) ? "tsql_num(" + v.sql + ")" : v.sql;
    }
    return {"((" + a.sql + ") COLLATE TSQL " + (e.negated ? "NOT IN" : "IN") + " (" + list + "))", vtype::integer};
}

// A subquery that must give one column: IN (SELECT ...) and (SELECT ...).
select_out translator::single_column(const select_stmt& s, const scope& sc) {
    select_out so = select(s, &sc, false);
    if (so.names.size() != 1)
        throw compile_err(errors::subquery_not_one_column);
    return so;
}

typed translator::in_select(const expr& e, const scope& sc) {
    typed a = expression(*e.args[0], sc);
    select_out so = single_column(*e.sub, sc);
    return {"((" + a.sql + ") COLLATE TSQL " + (e.negated ? "NOT IN" : "IN") + " (" + so.sql + "))", vtype::integer};
}

typed translator::subquery(const expr& e, const scope& sc) {
    select_out so = single_column(*e.sub, sc);
    return {"(" + so.sql + ")", so.types[0], so.decls[0]};
}

typed translator::like(const expr& e, const scope& sc) {
    typed a = expression(*e.args[0], sc);
    typed p = expression(*e.args[1], sc);
    std::string call = "tsql_like(" + a.sql + "," + p.sql;
    if (e.args.size() > 2) call += "," + expression(*e.args[2], sc).sql;
    call += ")";
    return {e.negated ? "(NOT " + call + ")" : call, vtype::integer};
}

typed translator::between(const expr& e, const scope& sc) {
    typed a = expression(*e.args[0], sc);
    typed lo = expression(*e.args[1], sc);
    typed hi = expression(*e.args[2], sc);
    std::string s = "(" + compare(a, ">=", lo) + " AND " + compare(a, "<=", hi) + ")";
    return {e.negated ? "(NOT " + s + ")" : s, vtype::integer};
}

// args: [operand or null], (when, then)*, [else]. The result takes the type
// of the first branch that has one.
typed translator::case_when(const expr& e, const scope& sc) {
    std::string s = "(CASE";
    typed operand;
    bool has_operand = e.args[0] != nullptr;
    if (has_operand) operand = expression(*e.args[0], sc);
    vtype result = vtype::unknown;
    std::optional<type_spec> decl;
    std::size_t n = e.args.size();
    std::size_t pairs_end = e.value == "ELSE" ? n - 1 : n;
    for (std::size_t i = 1; i < pairs_end; i += 2) {
        typed w = expression(*e.args[i], sc);
        typed t = expression(*e.args[i + 1], sc);
        if (has_operand) s += " WHEN " + compare(operand, "=", w);
        else s += " WHEN " + w.sql;
        s += " THEN " + t.sql;
        if (result == vtype::unknown) result = t.type;
        if (!decl) decl = t.decl;
    }
    if (e.value == "ELSE") {
        typed el = expression(*e.args[n - 1], sc);
        s += " ELSE " + el.sql;
        if (result == vtype::unknown) result = el.type;
        if (!decl) decl = el.decl;
    }
    return {s + " END)", result, decl};
}

// CAST and CONVERT.
typed translator::cast(const expr& e, const scope& sc) {
    typed a = expression(*e.args[0], sc);
    if (!known_type(e.type.name))
        throw compile_err(errors::unknown_cast_type, e.type.name);
    type_spec t = normalized(e.type, true);
    std::string x = a.sql;
    if (vtype_of(t) == vtype::text && a.type == vtype::datetime && e.args.size() > 1) {
        // CONVERT(varchar, date, style): only the common ISO-ish styles.
        x = "tsql_style(" + x + "," + expression(*e.args[1], sc).sql + ")";
    }
    return {cvt_call(x, t, false), vtype_of(t), t};
}

std::string translator::num(const typed& a) {
    if (a.type == vtype::text) return "tsql_num(" + a.sql + ")";
    return a.sql;
}

typed translator::sysvar(const std::string& name) {
    typed r;
    r.type = vtype::integer;
    if (name == "@@TRANCOUNT") r.sql = std::to_string(c.trancount_);
    else if (name == "@@ROWCOUNT") r.sql = std::to_string(c.rowcount_);
    else if (name == "@@ERROR") r.sql = std::to_string(c.last_error_);
    else if (name == "@@SPID") r.sql = std::to_string(c.spid_);
    else if (name == "@@IDENTITY") r.sql = c.have_identity_ ? std::to_string(c.last_identity_) : "NULL";
    else if (name == "@@VERSION") {
        r.sql = quote_str(c.version().banner);
        r.type = vtype::text;
        r.decl = character_type(true, 300);
    } else if (name == "@@SERVERNAME" || name == "@@SERVICENAME") {
        r.sql = quote_str("STANDIN");
        r.type = vtype::text;
        r.decl = character_type(true, 128);
    } else if (name == "@@LANGUAGE") {
        r.sql = quote_str("us_english");
        r.type = vtype::text;
        r.decl = character_type(true, 128);
    } else if (name == "@@OPTIONS") r.sql = "5496";
    else if (name == "@@MAX_PRECISION") r.sql = "38";
    else if (name == "@@TEXTSIZE") r.sql = "2147483647";
    else if (name == "@@NESTLEVEL") r.sql = "0";
    else if (name == "@@LOCK_TIMEOUT") r.sql = std::to_string(c.lock_timeout_ms_);
    else throw compile_err(errors::undeclared_variable, name);
    return r;
}

typed translator::binary(const expr& e, const scope& sc) {
    typed r;
    typed a = expression(*e.args[0], sc);
    typed b = expression(*e.args[1], sc);
    const std::string& op = e.op;
    if (op == "AND" || op == "OR") {
        r.sql = "(" + a.sql + " " + op + " " + b.sql + ")";
        r.type = vtype::integer;
        return r;
    }
    if (op == "=" || op == "<>" || op == "<" || op == ">" || op == "<=" || op == ">=") {
        r.sql = compare(a, op, b);
        r.type = vtype::integer;
        return r;
    }
    if (op == "+") {
        bool an = a.type == vtype::integer || a.type == vtype::decimal;
        bool bn = b.type == vtype::integer || b.type == vtype::decimal;
        if (a.type == vtype::text && b.type == vtype::text) {
            r.sql = "(" + a.sql + " || " + b.sql + ")";
            r.type = vtype::text;
            r.decl = concatenated(a.decl, b.decl);
        } else if (an && bn) {
            r.sql = "(" + a.sql + " + " + b.sql + ")";
            r.type = (a.type == vtype::decimal || b.type == vtype::decimal) ? vtype::decimal : vtype::integer;
            if (a.decl && b.decl && a.decl->name == "INT" && b.decl->name == "INT") r.decl = a.decl;
        } else {
            r.sql = "tsql_add(" + a.sql + "," + b.sql + ")";
            r.type = (a.type == vtype::text && b.type == vtype::text) ? vtype::text
                     : (an || bn) ? (a.type == vtype::decimal || b.type == vtype::decimal ? vtype::decimal : vtype::integer)
                                  : vtype::unknown;
        }
        return r;
    }
    vtype rt = (a.type == vtype::decimal || b.type == vtype::decimal) ? vtype::decimal : vtype::integer;
    if (op == "/") r.sql = "tsql_div(" + num(a) + "," + num(b) + ")";
    else if (op == "%") r.sql = "tsql_mod(" + num(a) + "," + num(b) + ")";
    else r.sql = "(" + num(a) + " " + op + " " + num(b) + ")";
    r.type = rt;
    return r;
}

// 'a' + N'b': nvarchar when either side is, as long as both together.
std::optional<type_spec> translator::concatenated(const std::optional<type_spec>& a, const std::optional<type_spec>& b) {
    if (!a || !b || !is_character(*a) || !is_character(*b)) return std::nullopt;
    const bool unicode = is_unicode(*a) || is_unicode(*b);
    if (a->length == -2 || b->length == -2 || a->name == "TEXT" || a->name == "NTEXT" || b->name == "TEXT" ||
        b->name == "NTEXT")
        return character_type(unicode, -2);
    return character_type(unicode, std::max(a->length, 1) + std::max(b->length, 1));
}

bool translator::has_aggregate(const expr& e) {
    if (e.kind == expr::func && is_aggregate(e.op)) return true;
    for (const auto& a : e.args)
        if (a && has_aggregate(*a)) return true;
    return false;
}

std::string translator::build_from(const std::vector<table_ref>& refs, scope& sc) {
    std::string from;
    for (std::size_t i = 0; i < refs.size(); ++i) {
        const table_ref& r = refs[i];
        scope_entry e = table_entry(r);
        for (const auto& t : sc.tables)
            if (ieq(t.alias, e.alias))
                throw compile_err(errors::duplicate_exposed_names, t.alias, e.alias);
        std::string src = e.table->sql_name == "temp.sysdatabases" ? "temp.sysdatabases" : quote_id(e.table->sql_name);
        std::string piece = src + " AS " + quote_id(e.sql_alias);
        sc.tables.push_back(e);
        if (i == 0) from = piece;
        else if (r.join.empty()) from += ", " + piece;
        else {
            std::string j = r.join == "INNER" ? " JOIN " : r.join == "LEFT" ? " LEFT JOIN " : r.join == "CROSS" ? " CROSS JOIN " : "";
            if (j.empty()) throw compile_err(errors::syntax_near, r.join);
            from += j + piece;
            if (r.on) from += " ON " + expression(*r.on, sc).sql;
        }
    }
    return from;
}

select_out translator::select(const select_stmt& s, const scope* parent, bool forced_names) {
    select_out out;
    scope sc;
    sc.parent = parent;
    std::string from = build_from(s.from, sc);
    std::string sql = "SELECT ";
    if (s.distinct) sql += "DISTINCT ";
    sql += select_list(s, sc, out);
    if (!from.empty()) sql += " FROM " + from;
    if (s.where) sql += " WHERE " + expression(*s.where, sc).sql;
    if (!s.group_by.empty()) {
        sql += " GROUP BY ";
        for (std::size_t i = 0; i < s.group_by.size(); ++i) {
            if (i) sql += ", ";
            sql += expression(*s.group_by[i], sc).sql;
        }
    }
    if (s.having) sql += " HAVING " + expression(*s.having, sc).sql;
    if (s.union_next) {
        select_out rest = select(*s.union_next, parent, forced_names);
        if (rest.names.size() != out.names.size())
            throw compile_err(errors::union_item_count);
        sql += s.union_all ? " UNION ALL " : " UNION ";
        sql += rest.sql;
    }
    std::string order = order_by(s, sc, out);
    if (order.empty() && !s.union_next && !s.distinct && s.group_by.empty() && !has_aggregate(s) &&
        sc.tables.size() == 1 && !sc.tables[0].table->pk.empty())
        order = key_order(sc.tables[0]);
    if (!order.empty()) sql += " ORDER BY " + order;
    if (s.top) sql += " LIMIT " + num(expression(*s.top, sc));
    out.sql = sql;
    return out;
}

// The select list, each item named c0, c1, ... in the SQLite text; out takes
// the names and types the client sees.
std::string translator::select_list(const select_stmt& s, const scope& sc, select_out& out) {
    std::string items;
    auto add_item = [&](const std::string& sql, const std::string& name, vtype t,
                        const std::optional<type_spec>& decl) {
        if (!items.empty()) items += ", ";
        std::string x = sql;
        if (s.distinct && is_textish(t)) x = "(" + x + ") COLLATE TSQL";
        items += x + " AS " + quote_id("c" + std::to_string(out.names.size()));
        out.names.push_back(name);
        out.types.push_back(t);
        out.decls.push_back(decl);
    };
    for (const auto& it : s.items) {
        if (!it.star) {
            typed t = expression(*it.e, sc);
            add_item(t.sql, output_name(it, sc), t.type, t.decl);
            continue;
        }
        bool matched = false;
        for (const auto& t : sc.tables) {
            if (!it.star_qualifier.empty()) {
                const std::string& q = it.star_qualifier.back();
                if (!ieq(t.alias, q) && !ieq(t.table->name, q)) continue;
            }
            matched = true;
            for (const auto& col : t.table->cols)
                add_item(quote_id(t.sql_alias) + "." + quote_id(col.name), col.name, col.vt(), col.type);
        }
        if (!matched) {
            if (sc.tables.empty()) throw compile_err(errors::select_without_table);
            throw compile_err(errors::unbound_identifier, join_name(it.star_qualifier));
        }
    }
    return items;
}

// An item's name: its alias, or for a column the column's own spelling from
// the catalog, as SQL Server names it; empty for other expressions.
std::string translator::output_name(const select_item& it, const scope& sc) {
    std::string name = it.alias;
    if (name.empty() && it.e->kind == expr::column) name = it.e->parts.back();
    if (it.e->kind != expr::column || name != it.e->parts.back()) return name;
    const auto& parts = it.e->parts;
    for (const auto& te : sc.tables) {
        int ci = te.table->find(name);
        if (ci >= 0 && (parts.size() < 2 || ieq(te.alias, parts[parts.size() - 2]) || ieq(te.table->name, parts[parts.size() - 2]))) {
            if (it.alias.empty()) name = te.table->cols[static_cast<std::size_t>(ci)].name;
            break;
        }
    }
    return name;
}

// ORDER BY: positions, select-list aliases, and for a UNION only the names of
// its columns; anything else as an expression over the FROM list.
std::string translator::order_by(const select_stmt& s, const scope& sc, const select_out& out) {
    std::string order;
    for (const auto& o : s.order_by) {
        if (!order.empty()) order += ", ";
        std::string term;
        if (o.e->kind == expr::lit_int) {
            int k = std::atoi(o.e->value.c_str());
            if (k < 1 || k > static_cast<int>(out.names.size()))
                throw compile_err(errors::order_by_position_out_of_range, o.e->value);
            term = std::to_string(k);
        } else if (o.e->kind == expr::column && o.e->parts.size() == 1) {
            for (std::size_t i = 0; i < s.items.size() && i < out.names.size(); ++i)
                if (!s.items[i].alias.empty() && ieq(s.items[i].alias, o.e->parts[0])) term = quote_id("c" + std::to_string(i));
        }
        if (term.empty() && s.union_next) {
            for (std::size_t i = 0; i < out.names.size(); ++i)
                if (o.e->kind == expr::column && ieq(out.names[i], o.e->parts.back())) term = std::to_string(i + 1);
            if (term.empty()) throw compile_err(errors::order_by_not_in_union_list);
        } else if (term.empty()) {
            typed t = expression(*o.e, sc);
            term = t.sql;
            if (is_textish(t.type)) term = "(" + term + ") COLLATE TSQL";
        }
        order += term + (o.desc ? " DESC" : "");
    }
    return order;
}

// Rows of a table with a clustered primary key come back in key order.
std::string translator::key_order(const scope_entry& t) {
    std::string order;
    for (std::size_t k : t.table->pk) {
        if (!order.empty()) order += ", ";
        order += quote_id(t.sql_alias) + "." + quote_id(t.table->cols[k].name);
    }
    return order;
}

bool translator::has_aggregate(const select_stmt& s) {
    for (const auto& it : s.items)
        if (!it.star && has_aggregate(*it.e)) return true;
    return false;
}

}  // namespace standin::detail

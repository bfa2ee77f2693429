// conn_impl's data statements: SELECT (and SELECT @v = ...), INSERT, UPDATE and DELETE.

#include "sqlserver-standin/connection_impl.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include "sqlserver-standin/sqlite_io.h"
#include "sqlserver-standin/translator.h"
#include "sqlserver-standin/tsql_runtime.h"

namespace standin::detail {

using namespace tsql;

namespace {

// A computed column (no declared type): the static type where it fits
// every value, else text.
column_type computed_type(vtype t, const std::vector<std::vector<sql_value>>& rows, std::size_t i) {
    bool all_int = true, all_num = true, any = false;
    for (const auto& r : rows) {
        const auto& v = r[i];
        if (std::holds_alternative<std::monostate>(v)) continue;
        any = true;
        if (!std::holds_alternative<std::int64_t>(v)) all_int = false;
        if (std::holds_alternative<std::string>(v)) all_num = false;
    }
    switch (t) {
    case vtype::integer:
        if (all_int) return column_type::integer;
        if (all_num) return column_type::floating;
        return column_type::text;
    case vtype::decimal:
        return all_num ? column_type::floating : column_type::text;
    case vtype::datetime:
        return all_num && any ? column_type::floating : column_type::datetime;
    case vtype::text:
        return column_type::text;
    case vtype::unknown:
        if (!any) return column_type::text;
        if (all_int) return column_type::integer;
        if (all_num) return column_type::floating;
        return column_type::text;
    }
    return column_type::text;
}

// A declared type as COLMETADATA describes it.
column declared_column(const type_spec& t) {
    column c;
    const std::string& n = t.name;
    auto sized = [&](column_type k, int size) {
        c.type = k;
        c.size = size;
    };
    if (n == "INT") sized(column_type::integer, 4);
    else if (n == "BIGINT") sized(column_type::integer, 8);
    else if (n == "SMALLINT") sized(column_type::integer, 2);
    else if (n == "TINYINT") sized(column_type::integer, 1);
    else if (n == "BIT") sized(column_type::bit, 1);
    else if (n == "MONEY") sized(column_type::money, 8);
    else if (n == "SMALLMONEY") sized(column_type::money, 4);
    else if (n == "FLOAT") sized(column_type::floating, 8);
    else if (n == "REAL") sized(column_type::floating, 4);
    else if (n == "DATETIME") sized(column_type::datetime, 8);
    else if (n == "SMALLDATETIME") sized(column_type::datetime, 4);
    else if (n == "DATE") c.type = column_type::date;
    else if (n == "NUMERIC" || n == "DECIMAL") {
        c.type = column_type::decimal;
        c.precision = t.precision > 0 ? t.precision : 18;
        c.scale = std::max(t.scale, 0);
        c.numeric = n == "NUMERIC";
    } else {
        c.type = column_type::text;
        c.unicode = is_unicode(t);
        c.fixed = n == "CHAR" || n == "NCHAR";
        c.lob = n == "TEXT" || n == "NTEXT";
        c.length = c.lob || t.length == -2 ? -1 : std::max(t.length, 1);
    }
    return c;
}

// Whether every value can go out as the declared kind: a number for the
// numeric kinds, a date and time the engine's form parses for the dates.
bool values_fit(const column& c, const std::vector<std::vector<sql_value>>& rows, std::size_t i) {
    for (const auto& r : rows) {
        const sql_value& v = r[i];
        if (std::holds_alternative<std::monostate>(v)) continue;
        switch (c.type) {
        case column_type::integer:
        case column_type::bit:
            if (auto* d = std::get_if<double>(&v); d && *d != std::floor(*d)) return false;
            [[fallthrough]];
        case column_type::decimal:
        case column_type::money:
        case column_type::floating:
            if (std::holds_alternative<std::string>(v)) return false;
            break;
        case column_type::datetime:
        case column_type::date: {
            std::string norm;
            if (!std::holds_alternative<std::string>(v) || !normalize_datetime(std::get<std::string>(v), norm))
                return false;
            break;
        }
        case column_type::text:
            break;
        }
    }
    return true;
}

// The result column: its declared type when it has one that holds the
// values, else what the values show.
column result_column(const std::string& name, vtype t, const std::optional<type_spec>& decl,
                     const std::vector<std::vector<sql_value>>& rows, std::size_t i) {
    if (decl && known_type(decl->name)) {
        column c = declared_column(normalized(*decl, false));
        c.name = name;
        if (values_fit(c, rows, i)) return c;
    }
    column c;
    c.name = name;
    c.type = computed_type(t, rows, i);
    if (c.type == column_type::floating || c.type == column_type::datetime) c.size = 8;
    return c;
}

}  // namespace

void conn_impl::exec_select(const statement& st) {
    sqlite3* h = handle();
    translator tr(*this, h);
    select_out so = tr.select(*st.query, nullptr, false);
    std::vector<std::vector<sql_value>> rows;
    std::size_t assigns = 0;
    for (const auto& it : st.query->items)
        if (!it.assign.empty()) ++assigns;
    if (assigns) {
        // SELECT @a = x, @b = y: the variables take the last row's values.
        if (assigns != st.query->items.size() || st.query->union_next)
            throw compile_err(errors::assignment_with_retrieval);
        std::vector<variable*> targets;
        std::string conv = "SELECT ";
        for (std::size_t i = 0; i < st.query->items.size(); ++i) {
            auto v = vars_.find(to_lower(st.query->items[i].assign));
            if (v == vars_.end())
                throw compile_err(errors::undeclared_variable, st.query->items[i].assign);
            targets.push_back(&v->second);
            conv += (i ? ", " : "") + cvt_call("\"_a\".\"c" + std::to_string(i) + "\"", v->second.type, false);
        }
        run(h, conv + " FROM (" + so.sql + ") AS \"_a\"", {}, &rows);
        for (const auto& r : rows)
            for (std::size_t i = 0; i < targets.size(); ++i) targets[i]->value = r[i];
        done(true, static_cast<std::int64_t>(rows.size()));
        return;
    }
    run(h, so.sql, {}, &rows);
    result_set rs;
    for (std::size_t i = 0; i < so.names.size(); ++i)
        rs.columns.push_back(result_column(so.names[i], so.types[i], so.decls[i], rows, i));
    for (auto& r : rows)
        for (std::size_t i = 0; i < r.size(); ++i) {
            auto& v = r[i];
            if (std::holds_alternative<std::monostate>(v)) continue;
            if (rs.columns[i].type == column_type::text) {
                if (!std::holds_alternative<std::string>(v)) v = value_text(v);
            } else if (rs.columns[i].type == column_type::floating && std::holds_alternative<std::int64_t>(v)) {
                v = static_cast<double>(std::get<std::int64_t>(v));
            }
        }
    rs.rows = std::move(rows);
    std::int64_t n = static_cast<std::int64_t>(rs.rows.size());
    reply_->items.push_back(std::move(rs));
    done(true, n);
}

namespace {

// A stored default, parsed back into an expression.
expr_ptr parse_default(const std::string& text) {
    std::string sql = "SELECT " + text;
    auto toks = tokenize(sql);
    auto stmts = parse_batch(sql, toks);
    return std::move(stmts.at(0)->query->items.at(0).e);
}

// 515, ending the statement.
tsql_error null_violation(const std::string& col, const std::string& db, const std::string& table, const char* verb) {
    auto e = err(errors::null_not_allowed, col, db, table, verb);
    e.terminated = true;
    return e;
}

tsql_error duplicate_key(const table_info& t, const std::vector<sql_value>& key) {
    std::string v;
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (i) v += ", ";
        v += value_text(key[i]);
    }
    auto e = err(errors::duplicate_key, t.pk_name, t.name, v);
    e.terminated = true;
    return e;
}

// The table's columns an INSERT gives values for, in the order it gives them.
std::vector<int> insert_targets(const statement& st, const table_info& t, bool ident_insert) {
    std::vector<int> target;
    bool explicit_list = !st.columns.empty();
    if (explicit_list) {
        for (const auto& c : st.columns) {
            int i = t.find(c);
            if (i < 0) throw compile_err(errors::invalid_column, c);
            if (std::find(target.begin(), target.end(), i) != target.end())
                throw compile_err(errors::insert_column_twice, c);
            if (t.cols[static_cast<std::size_t>(i)].identity && !ident_insert)
                throw err(errors::identity_insert_off, t.name);
            target.push_back(i);
        }
    } else if (!st.default_values) {
        for (std::size_t i = 0; i < t.cols.size(); ++i)
            if (!t.cols[i].identity || ident_insert) target.push_back(static_cast<int>(i));
    }
    if (ident_insert && !explicit_list && !st.default_values)
        throw err(errors::identity_needs_column_list, t.name);
    return target;
}

// The SELECTs that give an INSERT's rows, whole and in table order, each
// value converted to its column's type; columns left out take their default.
class insert_sources {
public:
    insert_sources(const table_info& t, const std::vector<int>& target, translator& tr)
        : t_(t), target_(target), tr_(tr) {}

    std::vector<std::string> of(const statement& st) {
        std::vector<std::string> sources;
        bool explicit_list = !st.columns.empty();
        if (st.default_values) {
            sources.push_back("SELECT " + full_row([](std::size_t) { return std::string("NULL"); }));
        } else if (st.query) {
            select_out so = tr_.select(*st.query, nullptr, true);
            if (so.names.size() != target_.size()) {
                if (!explicit_list) throw compile_err(errors::insert_value_count);
                if (so.names.size() < target_.size())
                    throw compile_err(errors::fewer_select_items_than_columns);
                throw compile_err(errors::more_select_items_than_columns);
            }
            sources.push_back("SELECT " + full_row([&](std::size_t k) { return converted("\"_src\".\"c" + std::to_string(k) + "\"", k); }) +
                              " FROM (" + so.sql + ") AS \"_src\"");
        } else {
            for (const auto& row : st.values) sources.push_back("SELECT " + values_row(row, explicit_list));
        }
        return sources;
    }

private:
    const table_info& t_;
    const std::vector<int>& target_;
    translator& tr_;
    scope none_;

    std::string converted(const std::string& sql, std::size_t k) {
        return cvt_call(sql, t_.cols[static_cast<std::size_t>(target_[k])].type, true);
    }

    std::string default_sql(std::size_t j) {
        const col_info& c = t_.cols[j];
        if (c.default_text.empty()) return "NULL";
        auto e = parse_default(c.default_text);
        return cvt_call(tr_.expression(*e, none_).sql, c.type, true);
    }

    // value_of(k): the SQL of the k-th given value.
    std::string full_row(const std::function<std::string(std::size_t)>& value_of) {
        std::string items;
        for (std::size_t j = 0; j < t_.cols.size(); ++j) {
            if (j) items += ", ";
            auto pos = std::find(target_.begin(), target_.end(), static_cast<int>(j));
            if (pos != target_.end()) items += value_of(static_cast<std::size_t>(pos - target_.begin()));
            else if (t_.cols[j].identity) items += "NULL";
            else items += default_sql(j);
        }
        return items;
    }

    std::string values_row(const std::vector<expr_ptr>& row, bool explicit_list) {
        if (row.size() != target_.size()) {
            if (!explicit_list) throw compile_err(errors::insert_value_count);
            if (row.size() < target_.size())
                throw compile_err(errors::fewer_values_than_columns);
            throw compile_err(errors::more_values_than_columns);
        }
        return full_row([&](std::size_t k) {
            const expr& e = *row[k];
            if (e.kind == expr::lit_null && e.op == "DEFAULT") return default_sql(static_cast<std::size_t>(target_[k]));
            return converted(tr_.expression(e, none_).sql, k);
        });
    }
};

}  // namespace

void conn_impl::exec_insert(const statement& st) {
    sqlite3* h = handle();
    check_owner(st.name);
    auto t = resolve_table(h, st.name, true);
    translator tr(*this, h);
    std::vector<int> target = insert_targets(st, *t, identity_insert_.count(t->id) != 0);
    std::vector<std::vector<sql_value>> rows;
    for (const auto& src : insert_sources(*t, target, tr).of(st)) run(h, src, {}, &rows);
    atomic_stmt a(*this, h);
    insert_rows(h, *t, target, rows);
    a.commit();
    done(true, static_cast<std::int64_t>(rows.size()));
}

// Inserts whole rows: numbers the identity column where the INSERT left it
// out, then checks NOT NULL and the key.
void conn_impl::insert_rows(sqlite3* h, const table_info& t, const std::vector<int>& target,
                            std::vector<std::vector<sql_value>>& rows) {
    int ident_col = -1;
    for (std::size_t j = 0; j < t.cols.size(); ++j)
        if (t.cols[j].identity && std::find(target.begin(), target.end(), static_cast<int>(j)) == target.end())
            ident_col = static_cast<int>(j);
    if (ident_col >= 0 && !rows.empty()) {
        const col_info& ic = t.cols[static_cast<std::size_t>(ident_col)];
        auto mx = scalar(h, "SELECT max(" + quote_id(ic.name) + ") FROM " + quote_id(t.name), {});
        std::int64_t next = (mx && std::holds_alternative<std::int64_t>(*mx)) ? std::get<std::int64_t>(*mx) + ic.step : ic.seed;
        for (auto& r : rows) {
            r[static_cast<std::size_t>(ident_col)] = next;
            last_identity_ = next;
            have_identity_ = true;
            next += ic.step;
        }
    }
    for (const auto& r : rows)
        for (std::size_t j = 0; j < t.cols.size(); ++j)
            if (!t.cols[j].nullable && std::holds_alternative<std::monostate>(r[j]))
                throw null_violation(t.cols[j].name, db_, t.name, "INSERT");
    std::string ins = "INSERT INTO " + quote_id(t.name) + " (";
    for (std::size_t j = 0; j < t.cols.size(); ++j) ins += (j ? ", " : "") + quote_id(t.cols[j].name);
    ins += ") VALUES (";
    for (std::size_t j = 0; j < t.cols.size(); ++j) ins += (j ? ", ?" : "?");
    ins += ")";
    for (const auto& r : rows) {
        try {
            run(h, ins, r);
        } catch (const constraint_violation&) {
            std::vector<sql_value> key;
            for (std::size_t k : t.pk) key.push_back(r[k]);
            throw duplicate_key(t, key);
        }
    }
}

namespace {

// The tables of an UPDATE / DELETE: its FROM list, with the target joined
// in front unless the list already names it.
std::vector<table_ref> dml_tables(const statement& st, std::size_t& target_index) {
    std::vector<table_ref> refs;
    for (const auto& r : st.from) {
        table_ref c;
        c.name = r.name;
        c.alias = r.alias;
        c.join = r.join;
        c.on = r.on;
        c.tok = r.tok;
        refs.push_back(std::move(c));
    }
    target_index = refs.size();
    if (st.name.size() == 1) {
        for (std::size_t i = 0; i < refs.size(); ++i)
            if ((!refs[i].alias.empty() && ieq(refs[i].alias, st.name[0])) ||
                (refs[i].alias.empty() && ieq(refs[i].name.back(), st.name[0])))
                target_index = i;
    }
    if (target_index == refs.size()) {
        // The only reference to the target table in FROM is the target, alias or not.
        std::size_t found = refs.size(), count = 0;
        for (std::size_t i = 0; i < refs.size(); ++i)
            if (ieq(refs[i].name.back(), st.name.back())) {
                found = i;
                ++count;
            }
        if (count == 1) target_index = found;
    }
    if (target_index == refs.size()) {
        table_ref t;
        t.name = st.name;
        t.alias = st.alias;
        refs.insert(refs.begin(), std::move(t));
        target_index = 0;
    }
    return refs;
}

// The FROM list of an UPDATE or DELETE, translated, and which of its tables
// is the target.
struct dml_from {
    std::vector<table_ref> refs;
    scope sc;
    std::string sql;
    std::size_t target = 0;
};

dml_from translate_dml_from(const statement& st, translator& tr) {
    dml_from f;
    f.refs = dml_tables(st, f.target);
    f.sql = tr.build_from(f.refs, f.sc);
    if (f.sc.tables[f.target].table->system) throw err(errors::system_catalog_update);
    return f;
}

}  // namespace

void conn_impl::exec_update(const statement& st) {
    sqlite3* h = handle();
    check_owner(st.name);
    translator tr(*this, h);
    dml_from f = translate_dml_from(st, tr);
    const scope& sc = f.sc;
    const scope_entry& target = sc.tables[f.target];
    auto t = target.table;
    std::vector<std::size_t> cols;
    std::string sel = "SELECT " + quote_id(target.sql_alias) + ".rowid";
    for (const auto& s : st.sets) {
        int i = t->find(s.column);
        if (i < 0) throw compile_err(errors::invalid_column, s.column);
        if (t->cols[static_cast<std::size_t>(i)].identity) throw err(errors::identity_updated, s.column);
        cols.push_back(static_cast<std::size_t>(i));
        typed v = tr.expression(*s.value, sc);
        sel += ", " + cvt_call(v.sql, t->cols[static_cast<std::size_t>(i)].type, true);
    }
    for (std::size_t k : t->pk) sel += ", " + quote_id(target.sql_alias) + "." + quote_id(t->cols[k].name);
    sel += " FROM " + f.sql;
    if (st.where) sel += " WHERE " + tr.expression(*st.where, sc).sql;
    std::vector<std::vector<sql_value>> rows;
    run(h, sel, {}, &rows);
    for (const auto& r : rows)
        for (std::size_t k = 0; k < cols.size(); ++k)
            if (!t->cols[cols[k]].nullable && std::holds_alternative<std::monostate>(r[k + 1]))
                throw null_violation(t->cols[cols[k]].name, db_, t->name, "UPDATE");
    atomic_stmt a(*this, h);
    std::string upd = "UPDATE " + quote_id(t->name) + " SET ";
    for (std::size_t k = 0; k < cols.size(); ++k) upd += (k ? ", " : "") + quote_id(t->cols[cols[k]].name) + " = ?" + std::to_string(k + 1);
    upd += " WHERE rowid = ?" + std::to_string(cols.size() + 1);
    std::set<std::int64_t> touched;
    for (const auto& r : rows) {
        std::vector<sql_value> b(r.begin() + 1, r.begin() + 1 + static_cast<long>(cols.size()));
        b.push_back(r[0]);
        try {
            run(h, upd, b);
        } catch (const constraint_violation&) {
            std::vector<sql_value> key;
            for (std::size_t p = 0; p < t->pk.size(); ++p) {
                auto it = std::find(cols.begin(), cols.end(), t->pk[p]);
                key.push_back(it != cols.end() ? r[1 + static_cast<std::size_t>(it - cols.begin())] : r[1 + cols.size() + p]);
            }
            throw duplicate_key(*t, key);
        }
        touched.insert(std::get<std::int64_t>(r[0]));
    }
    a.commit();
    done(true, static_cast<std::int64_t>(touched.size()));
}

void conn_impl::exec_delete(const statement& st) {
    sqlite3* h = handle();
    check_owner(st.name);
    translator tr(*this, h);
    dml_from f = translate_dml_from(st, tr);
    const scope_entry& target = f.sc.tables[f.target];
    std::string sql = "DELETE FROM " + quote_id(target.table->name);
    if (st.where || f.refs.size() > 1) {
        sql += " WHERE rowid IN (SELECT " + quote_id(target.sql_alias) + ".rowid FROM " + f.sql;
        if (st.where) sql += " WHERE " + tr.expression(*st.where, f.sc).sql;
        sql += ")";
    }
    atomic_stmt a(*this, h);
    std::int64_t n = run(h, sql, {});
    a.commit();
    done(true, n);
}
}  // namespace standin::detail

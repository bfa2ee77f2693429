// conn_impl's definitions: tables and their columns, procedures and triggers, databases.

#include "sqlserver-standin/connection_impl.h"

#include <algorithm>

#include "sqlserver-standin/sqlite_io.h"
#include "sqlserver-standin/translator.h"
#include "sqlserver-standin/tsql_runtime.h"

namespace standin::detail {

using namespace tsql;

namespace {

// A column as declared.
col_info declared_column(const column_def& cd, bool nullable_by_default) {
    col_info c;
    c.name = cd.name;
    c.type = normalized(cd.type, false);
    c.identity = cd.identity;
    c.seed = cd.identity_seed;
    c.step = cd.identity_step;
    c.nullable = cd.nullable.value_or(nullable_by_default);
    return c;
}

// The i-th column a statement declares for table t (named as written).
void check_new_column(const column_def& cd, std::size_t i, const table_info& t, const std::string& table_name,
                      int duplicate_state) {
    if (!known_type(cd.type.name))
        throw err(errors::unknown_type, std::to_string(i + 1), cd.type.name);
    if (t.find(cd.name) >= 0)
        throw err(errors::duplicate_column.in_state(duplicate_state), cd.name, table_name);
}

}  // namespace

void conn_impl::exec_create_table(const statement& st) {
    sqlite3* h = handle();
    check_owner(st.name);
    const std::string& name = st.name.back();
    if (name.empty() || name.size() > 128) throw compile_err(errors::syntax_near, name);
    if (object_id(h, name) || ieq(name, "sysobjects") || ieq(name, "syscolumns") || ieq(name, "sysdatabases") ||
        ieq(name.substr(0, 9), "__standin") || ieq(name.substr(0, 7), "sqlite_"))
        throw err(errors::object_exists, name);
    table_info t = declared_table(h, st);
    atomic_stmt a(*this, h);
    store_table(h, t);
    a.commit();
    done(false, 0);
}

// The table a CREATE TABLE describes, checked: columns, key and key name.
table_info conn_impl::declared_table(sqlite3* h, const statement& st) {
    table_info t;
    t.name = st.name.back();
    const std::string& name = t.name;
    translator tr(*this, h);
    scope none;
    for (std::size_t i = 0; i < st.coldefs.size(); ++i) {
        const column_def& cd = st.coldefs[i];
        check_new_column(cd, i, t, name, 3);
        col_info c = declared_column(cd, !cd.primary_key && !cd.identity);
        if (cd.default_value) {
            tr.expression(*cd.default_value, none);
            c.default_text = cd.default_text;
        }
        if (cd.primary_key) {
            if (!t.pk.empty()) throw err(errors::multiple_primary_keys, name);
            if (cd.nullable.value_or(false)) throw err(errors::nullable_key_column, name);
            c.nullable = false;
            t.pk.push_back(t.cols.size());
            t.pk_name = cd.pk_name;
        }
        t.cols.push_back(c);
    }
    if (!st.pk_columns.empty()) {
        if (!t.pk.empty()) throw err(errors::multiple_primary_keys, name);
        for (const auto& pc : st.pk_columns) {
            int i = t.find(pc);
            if (i < 0) throw err(errors::key_column_missing, pc);
            if (st.coldefs[static_cast<std::size_t>(i)].nullable.value_or(false))
                throw err(errors::nullable_key_column, name);
            t.cols[static_cast<std::size_t>(i)].nullable = false;
            t.pk.push_back(static_cast<std::size_t>(i));
        }
        t.pk_name = st.pk_name;
    }
    if (!t.pk.empty() && t.pk_name.empty()) t.pk_name = "PK_" + name;
    if (!t.pk.empty() && object_id(h, t.pk_name))
        throw err(errors::object_exists.in_state(5), t.pk_name);
    return t;
}

// Creates a described table: its catalog rows and its SQLite table.
void conn_impl::store_table(sqlite3* h, const table_info& t) {
    long long id = new_object_id(h);
    std::string now = now_datetime();
    run(h, "INSERT INTO sysobjects(name, id, xtype, type, crdate, refdate) VALUES (?1, ?2, 'U ', 'U ', ?3, ?3)",
        {t.name, static_cast<std::int64_t>(id), now});
    std::string ddl = "CREATE TABLE " + quote_id(t.name) + " (";
    for (std::size_t i = 0; i < t.cols.size(); ++i) {
        const auto& c = t.cols[i];
        auto pk_pos = std::find(t.pk.begin(), t.pk.end(), i);
        std::int64_t pk_order = pk_pos == t.pk.end() ? 0 : static_cast<std::int64_t>(pk_pos - t.pk.begin() + 1);
        store_column(h, id, static_cast<std::int64_t>(i + 1), c, pk_order);
        ddl += (i ? ", " : "") + quote_id(c.name) + " " + sqlite_decl(c.type);
    }
    if (!t.pk.empty()) {
        ddl += ", PRIMARY KEY (";
        for (std::size_t k = 0; k < t.pk.size(); ++k) ddl += (k ? ", " : "") + quote_id(t.cols[t.pk[k]].name);
        ddl += ")";
        long long pkid = new_object_id(h);
        run(h, "INSERT INTO sysobjects(name, id, xtype, type, parent_obj, crdate, refdate) VALUES (?1, ?2, 'PK', 'K ', ?3, ?4, ?4)",
            {t.pk_name, static_cast<std::int64_t>(pkid), static_cast<std::int64_t>(id), now});
    }
    ddl += ")";
    exec_raw(h, ddl);
}

// A column's row in the catalog.
void conn_impl::store_column(sqlite3* h, std::int64_t table_id, std::int64_t colid, const col_info& c,
                             std::int64_t pk_order) {
    run(h, "INSERT INTO __standin_columns VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)",
        {table_id, colid, c.name, c.type.name, static_cast<std::int64_t>(c.type.length),
         static_cast<std::int64_t>(c.type.precision), static_cast<std::int64_t>(c.type.scale),
         static_cast<std::int64_t>(c.nullable), c.default_text.empty() ? sql_value{} : sql_value{c.default_text},
         static_cast<std::int64_t>(c.identity), static_cast<std::int64_t>(c.seed), static_cast<std::int64_t>(c.step),
         pk_order, static_cast<std::int64_t>(xtype_of(c.type)), static_cast<std::int64_t>(storage_length(c.type))});
}

// The table an ALTER TABLE names.
std::shared_ptr<table_info> conn_impl::altered_table(sqlite3* h, const statement& st) {
    check_owner(st.name);
    auto t = load_table(h, st.name.back());
    if (!t) throw err(errors::altered_table_missing, st.name.back());
    return t;
}

void conn_impl::exec_alter_add(const statement& st) {
    sqlite3* h = handle();
    auto t = altered_table(h, st);
    translator tr(*this, h);
    atomic_stmt a(*this, h);
    auto colid = scalar(h, "SELECT coalesce(max(colid), 0) FROM __standin_columns WHERE table_id = ?1", {static_cast<std::int64_t>(t->id)});
    std::int64_t next_colid = std::get<std::int64_t>(*colid) + 1;
    auto count = scalar(h, "SELECT count(*) FROM " + quote_id(t->name), {});
    bool empty = std::get<std::int64_t>(*count) == 0;
    for (std::size_t i = 0; i < st.coldefs.size(); ++i) {
        const column_def& cd = st.coldefs[i];
        check_new_column(cd, i, *t, st.name.back(), 4);
        if (cd.primary_key) throw err(errors::table_has_primary_key, t->name);
        add_column(h, *t, cd, st.with_values, empty, next_colid++, tr);
    }
    if (!st.pk_columns.empty()) add_primary_key(h, *t, st);
    a.commit();
    done(false, 0);
}

// ALTER TABLE ADD column: existing rows get the default only for a NOT NULL
// column or WITH VALUES, and an identity column numbers them.
void conn_impl::add_column(sqlite3* h, table_info& t, const column_def& cd, bool with_values, bool empty,
                           std::int64_t colid, translator& tr) {
    scope none;
    col_info c = declared_column(cd, !cd.identity);
    std::string def;
    if (cd.default_value) {
        def = cvt_call(tr.expression(*cd.default_value, none).sql, c.type, true);
        c.default_text = cd.default_text;
    }
    if (!c.nullable && def.empty() && !c.identity && !empty)
        throw err(errors::column_not_addable, c.name, t.name);
    store_column(h, t.id, colid, c, 0);
    exec_raw(h, "ALTER TABLE " + quote_id(t.name) + " ADD COLUMN " + quote_id(c.name) + " " + sqlite_decl(c.type));
    if (!def.empty() && (!c.nullable || with_values))
        run(h, "UPDATE " + quote_id(t.name) + " SET " + quote_id(c.name) + " = " + def, {});
    if (c.identity)
        run(h, "UPDATE " + quote_id(t.name) + " SET " + quote_id(c.name) + " = " + std::to_string(c.seed) + " + " +
                   std::to_string(c.step) + " * (SELECT count(*) FROM " + quote_id(t.name) + " AS x WHERE x.rowid < " +
                   quote_id(t.name) + ".rowid)",
            {});
    t.cols.push_back(c);
}

// ALTER TABLE ADD [CONSTRAINT n] PRIMARY KEY (...).
void conn_impl::add_primary_key(sqlite3* h, const table_info& t, const statement& st) {
    if (!t.pk.empty()) throw err(errors::table_has_primary_key, t.name);
    std::string pk_name = st.pk_name.empty() ? "PK_" + t.name : st.pk_name;
    if (object_id(h, pk_name)) throw err(errors::object_exists.in_state(5), pk_name);
    std::string cols;
    std::int64_t order = 1;
    for (const auto& pc : st.pk_columns) {
        int i = t.find(pc);
        if (i < 0) throw err(errors::key_column_missing, pc);
        if (t.cols[static_cast<std::size_t>(i)].nullable)
            throw err(errors::nullable_key_column, t.name);
        run(h, "UPDATE __standin_columns SET pk_order = ?1 WHERE table_id = ?2 AND name = ?3",
            {order++, static_cast<std::int64_t>(t.id), pc});
        cols += (cols.empty() ? "" : ", ") + quote_id(t.cols[static_cast<std::size_t>(i)].name);
    }
    try {
        exec_raw(h, "CREATE UNIQUE INDEX " + quote_id("pk_" + std::to_string(t.id)) + " ON " + quote_id(t.name) + " (" + cols + ")");
    } catch (const tsql_error&) {
        throw err(errors::duplicate_key_in_new_index, t.name, pk_name);
    }
    run(h, "INSERT INTO sysobjects(name, id, xtype, type, parent_obj, crdate, refdate) VALUES (?1, ?2, 'PK', 'K ', ?3, ?4, ?4)",
        {pk_name, static_cast<std::int64_t>(new_object_id(h)), static_cast<std::int64_t>(t.id), now_datetime()});
}

void conn_impl::exec_alter_drop(const statement& st) {
    sqlite3* h = handle();
    auto t = altered_table(h, st);
    atomic_stmt a(*this, h);
    for (const auto& c : st.columns) {
        int i = t->find(c);
        if (i < 0) throw err(errors::dropped_column_missing, c, t->name);
        if (std::find(t->pk.begin(), t->pk.end(), static_cast<std::size_t>(i)) != t->pk.end())
            throw err(errors::column_has_dependent, t->pk_name, c);
        exec_raw(h, "ALTER TABLE " + quote_id(t->name) + " DROP COLUMN " + quote_id(t->cols[static_cast<std::size_t>(i)].name));
        run(h, "DELETE FROM __standin_columns WHERE table_id = ?1 AND name = ?2", {static_cast<std::int64_t>(t->id), c});
    }
    a.commit();
    done(false, 0);
}

void conn_impl::exec_drop_table(const statement& st) {
    sqlite3* h = handle();
    std::optional<tsql_error> failure;
    for (const auto& parts : st.names) {
        std::shared_ptr<table_info> t;
        bool other_db = parts.size() >= 3 && !parts[parts.size() - 3].empty() && !ieq(parts[parts.size() - 3], db_);
        if (!other_db) t = load_table(h, parts.back());
        if (!t) {
            if (!st.with_values && !failure)
                failure = err(errors::cannot_drop, "table", join_name(parts));
            continue;
        }
        atomic_stmt a(*this, h);
        std::int64_t id = t->id;
        run(h, "DELETE FROM __standin_modules WHERE table_id = ?1", {id});
        run(h, "DELETE FROM __standin_columns WHERE table_id = ?1", {id});
        run(h, "DELETE FROM sysobjects WHERE id = ?1 OR parent_obj = ?1", {id});
        exec_raw(h, "DROP TABLE " + quote_id(t->name));
        a.commit();
    }
    if (failure) throw *failure;
    done(false, 0);
}

void conn_impl::exec_create_module(const statement& st) {
    if (st.on_database) {
        exec_create_ddl_trigger(st);
        return;
    }
    sqlite3* h = handle();
    check_owner(st.name);
    const std::string& name = st.name.back();
    std::string type;
    auto existing = object_id(h, name, &type);
    while (!type.empty() && type.back() == ' ') type.pop_back();
    // CREATE OR ALTER replaces a module of its own kind; a name that another
    // kind of object holds is taken, as for CREATE.
    bool alter = st.with_values || (st.or_alter && existing && type == st.module_type);
    if (!alter && existing) throw err(errors::object_exists.in_state(3), name);
    if (alter && (!existing || type != st.module_type)) throw err(errors::invalid_object, name);
    std::int64_t table_id = 0;
    if (st.module_type == "TR") {
        check_owner(st.trigger_table);
        auto t = load_table(h, st.trigger_table.back());
        if (!t) throw err(errors::trigger_table_missing, join_name(st.trigger_table));
        table_id = t->id;
    }
    atomic_stmt a(*this, h);
    if (alter) {
        run(h, "UPDATE __standin_modules SET definition = ?1, encrypted = ?2, table_id = ?3, body_start = ?5 WHERE id = ?4",
            {batch_text_, static_cast<std::int64_t>(st.encrypted), table_id, static_cast<std::int64_t>(*existing),
             static_cast<std::int64_t>(st.body_begin)});
    } else {
        long long id = new_object_id(h);
        std::string now = now_datetime();
        std::string code = st.module_type == "P" ? "P " : "TR";
        run(h, "INSERT INTO sysobjects(name, id, xtype, type, parent_obj, crdate, refdate) VALUES (?1, ?2, ?3, ?3, ?4, ?5, ?5)",
            {name, static_cast<std::int64_t>(id), code, table_id, now});
        run(h, "INSERT INTO __standin_modules VALUES (?1, ?2, ?3, ?4, ?5)",
            {static_cast<std::int64_t>(id), batch_text_, static_cast<std::int64_t>(st.encrypted),
             table_id ? sql_value{table_id} : sql_value{}, static_cast<std::int64_t>(st.body_begin)});
    }
    a.commit();
    done(false, 0);
}

// A database DDL trigger is no schema object: it has a row in sys.triggers
// (__standin_ddl_triggers) and its text, and neither OBJECT_ID nor
// sysobjects sees it. Its body never fires.
void conn_impl::exec_create_ddl_trigger(const statement& st) {
    sqlite3* h = handle();
    const std::string& name = st.name.back();
    auto existing = scalar(h, "SELECT id FROM __standin_ddl_triggers WHERE name = ?1", {name});
    bool alter = st.with_values;
    if (existing && !alter && !st.or_alter) throw err(errors::object_exists.in_state(3), name);
    if (!existing && alter) throw err(errors::invalid_object, name);
    const std::string now = now_datetime();
    const std::int64_t encrypted = st.encrypted;
    const std::int64_t body = static_cast<std::int64_t>(st.body_begin);
    atomic_stmt a(*this, h);
    if (existing) {
        run(h, "UPDATE __standin_modules SET definition = ?2, encrypted = ?3, body_start = ?4 WHERE id = ?1",
            {*existing, batch_text_, encrypted, body});
        run(h, "UPDATE __standin_ddl_triggers SET refdate = ?2 WHERE id = ?1", {*existing, now});
    } else {
        const std::int64_t id = new_object_id(h);
        run(h, "INSERT INTO __standin_ddl_triggers VALUES (?1, ?2, ?3, ?3)", {id, name, now});
        run(h, "INSERT INTO __standin_modules VALUES (?1, ?2, ?3, NULL, ?4)", {id, batch_text_, encrypted, body});
    }
    a.commit();
    done(false, 0);
}

// DROP TRIGGER [IF EXISTS] t, ... ON DATABASE
void conn_impl::exec_drop_ddl_triggers(const statement& st) {
    sqlite3* h = handle();
    std::optional<tsql_error> failure;
    for (const auto& parts : st.names) {
        auto id = scalar(h, "SELECT id FROM __standin_ddl_triggers WHERE name = ?1", {parts.back()});
        if (!id) {
            if (!st.with_values && !failure) failure = err(errors::cannot_drop, "trigger", join_name(parts));
            continue;
        }
        atomic_stmt a(*this, h);
        run(h, "DELETE FROM __standin_modules WHERE id = ?1", {*id});
        run(h, "DELETE FROM __standin_ddl_triggers WHERE id = ?1", {*id});
        a.commit();
    }
    if (failure) throw *failure;
    done(false, 0);
}

void conn_impl::exec_drop_module(const statement& st) {
    if (st.on_database) {
        exec_drop_ddl_triggers(st);
        return;
    }
    sqlite3* h = handle();
    std::optional<tsql_error> failure;
    const char* what = st.module_type == "P" ? "procedure" : "trigger";
    for (const auto& parts : st.names) {
        std::string type;
        std::optional<long long> id;
        bool other_db = parts.size() >= 3 && !parts[parts.size() - 3].empty() && !ieq(parts[parts.size() - 3], db_);
        if (!other_db) id = object_id(h, parts.back(), &type);
        while (!type.empty() && type.back() == ' ') type.pop_back();
        if (!id || type != st.module_type) {
            if (!st.with_values && !failure)
                failure = err(errors::cannot_drop, what, join_name(parts));
            continue;
        }
        atomic_stmt a(*this, h);
        run(h, "DELETE FROM __standin_modules WHERE id = ?1", {static_cast<std::int64_t>(*id)});
        run(h, "DELETE FROM sysobjects WHERE id = ?1", {static_cast<std::int64_t>(*id)});
        a.commit();
    }
    if (failure) throw *failure;
    done(false, 0);
}

void conn_impl::exec_use(const statement& st) {
    const std::string& name = st.name.at(0);
    auto d = eng_.find_db(name);
    if (!d) throw err(errors::unknown_database, name);
    std::string old = db_;
    db_ = d->name;
    reply_->items.push_back(database_changed{old, db_});
    info(errors::database_changed.in_state(1), db_);
    done(false, 0);
}

void conn_impl::exec_create_database(const statement& st) {
    if (trancount_ > 0) throw err(errors::create_database_in_transaction);
    const std::string& name = st.name.at(0);
    std::string e;
    if (!eng_.create_db(name, e)) {
        if (e == "exists") throw err(errors::database_exists, name);
        throw err(errors::create_file_failed, e);
    }
    done(false, 0);
}
}  // namespace standin::detail

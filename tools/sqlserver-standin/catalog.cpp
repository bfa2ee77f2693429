// The catalog: system tables and views, reading table descriptions, and the
// SQLite functions that look at the catalog through a connection.

#include "sqlserver-standin/catalog.h"

#include <algorithm>
#include <memory>
#include <sstream>

#include "sqlserver-standin/connection_impl.h"
#include "sqlserver-standin/tsql_runtime.h"

namespace standin::detail {

using namespace tsql;

namespace {

col_info sys_col(const std::string& name, vtype v) {
    col_info c;
    c.name = name;
    c.type.name = v == vtype::integer ? "INT" : v == vtype::datetime ? "DATETIME" : "NVARCHAR";
    c.type.length = 128;
    return c;
}

col_info sys_text_max(const std::string& name) {
    col_info c = sys_col(name, vtype::text);
    c.type.length = -2;
    return c;
}

// The columns of the system tables and views in order, as name:type with
// type t (text), m (nvarchar(max)), i (integer) or d (datetime).
const char* const sysobjects_columns =
    "name:t id:i xtype:t uid:i info:i status:i base_schema_ver:i replinfo:i parent_obj:i crdate:d "
    "ftcatid:i schema_ver:i stats_schema_ver:i type:t userstat:i sysstat:i indexdel:i refdate:d "
    "version:i deltrig:i instrig:i updtrig:i seltrig:i category:i cache:i";
const char* const syscolumns_columns =
    "name:t id:i xtype:i typestat:i xusertype:i length:i xprec:i xscale:i colid:i colorder:i "
    "cdefault:i domain:i number:i status:i type:i usertype:i prec:i scale:i iscomputed:i isoutparam:i "
    "isnullable:i collation:t";
const char* const sysdatabases_columns =
    "name:t dbid:i sid:t mode:i status:i status2:i crdate:d reserved:d category:i cmptlevel:i "
    "filename:t version:i";
const char* const sys_objects_columns =
    "name:t object_id:i principal_id:i schema_id:i parent_object_id:i type:t type_desc:t "
    "create_date:d modify_date:d is_ms_shipped:i is_published:i is_schema_published:i";
const char* const sys_triggers_columns =
    "name:t object_id:i parent_class:i parent_class_desc:t parent_id:i type:t type_desc:t create_date:d "
    "modify_date:d is_ms_shipped:i is_disabled:i is_not_for_replication:i is_instead_of_trigger:i";
const char* const sys_sql_modules_columns = "object_id:i definition:m";
const char* const sys_databases_columns =
    "name:t database_id:i create_date:d compatibility_level:i collation_name:t";

table_info system_table(const std::string& name, const char* columns, const std::string& sql_name) {
    table_info t;
    t.name = name;
    t.sql_name = sql_name;
    t.system = true;
    std::istringstream in(columns);
    std::string col;
    while (in >> col) {
        std::size_t colon = col.find(':');
        char type = col[colon + 1];
        if (type == 'm') t.cols.push_back(sys_text_max(col.substr(0, colon)));
        else t.cols.push_back(sys_col(col.substr(0, colon), type == 'i' ? vtype::integer : type == 'd' ? vtype::datetime : vtype::text));
    }
    return t;
}

}  // namespace

const char* const catalog_schema =
    "PRAGMA journal_mode=WAL;"
    "CREATE TABLE sysobjects(name TEXT COLLATE TSQL, id INT PRIMARY KEY, xtype TEXT COLLATE TSQL,"
    " uid INT DEFAULT 1, info INT DEFAULT 0, status INT DEFAULT 0, base_schema_ver INT DEFAULT 0,"
    " replinfo INT DEFAULT 0, parent_obj INT DEFAULT 0, crdate TEXT, ftcatid INT DEFAULT 0,"
    " schema_ver INT DEFAULT 0, stats_schema_ver INT DEFAULT 0, type TEXT COLLATE TSQL,"
    " userstat INT DEFAULT 0, sysstat INT DEFAULT 0, indexdel INT DEFAULT 0, refdate TEXT,"
    " version INT DEFAULT 0, deltrig INT DEFAULT 0, instrig INT DEFAULT 0, updtrig INT DEFAULT 0,"
    " seltrig INT DEFAULT 0, category INT DEFAULT 0, cache INT DEFAULT 0);"
    "CREATE INDEX sysobjects_name ON sysobjects(name);"
    "CREATE TABLE __standin_columns(table_id INT, colid INT, name TEXT COLLATE TSQL,"
    " type_name TEXT, length INT, prec INT, scale INT, nullable INT, default_text TEXT,"
    " is_identity INT, seed INT, step INT, pk_order INT, xtype INT, bytes INT);"
    "CREATE INDEX __standin_columns_t ON __standin_columns(table_id);"
    "CREATE TABLE __standin_modules(id INT PRIMARY KEY, definition TEXT, encrypted INT,"
    " table_id INT, body_start INT);"
    "CREATE TABLE __standin_ddl_triggers(id INT PRIMARY KEY, name TEXT COLLATE TSQL, crdate TEXT,"
    " refdate TEXT);"
    "CREATE VIEW syscolumns AS SELECT name, table_id AS id, xtype, 0 AS typestat,"
    " xtype AS xusertype, bytes AS length, prec AS xprec, scale AS xscale, colid,"
    " 0 AS colorder, 0 AS cdefault, 0 AS domain, 0 AS number,"
    " CASE WHEN nullable THEN 8 ELSE 0 END AS status, xtype AS type, xtype AS usertype, prec,"
    " scale, 0 AS iscomputed, 0 AS isoutparam, nullable AS isnullable,"
    " CASE WHEN xtype IN (175,167,239,231,35,99) THEN 'Chinese_PRC_CI_AS' END AS collation"
    " FROM __standin_columns;"
    "CREATE VIEW sys_objects AS SELECT name, id AS object_id, NULL AS principal_id, 1 AS schema_id,"
    " parent_obj AS parent_object_id, type, CASE rtrim(type) WHEN 'U' THEN 'USER_TABLE'"
    " WHEN 'P' THEN 'SQL_STORED_PROCEDURE' WHEN 'TR' THEN 'SQL_TRIGGER' WHEN 'K' THEN 'PRIMARY_KEY_CONSTRAINT'"
    " END AS type_desc, crdate AS create_date, refdate AS modify_date, 0 AS is_ms_shipped, 0 AS is_published,"
    " 0 AS is_schema_published FROM sysobjects;"
    "CREATE VIEW sys_procedures AS SELECT * FROM sys_objects WHERE rtrim(type) = 'P';"
    "CREATE VIEW sys_tables AS SELECT * FROM sys_objects WHERE rtrim(type) = 'U';"
    "CREATE VIEW sys_triggers AS SELECT name, object_id, 1 AS parent_class, 'OBJECT_OR_COLUMN' AS parent_class_desc,"
    " parent_object_id AS parent_id, type, type_desc, create_date, modify_date, 0 AS is_ms_shipped, 0 AS is_disabled,"
    " 0 AS is_not_for_replication, 0 AS is_instead_of_trigger FROM sys_objects WHERE rtrim(type) = 'TR'"
    " UNION ALL SELECT name, id, 0, 'DATABASE', 0, 'TR', 'SQL_TRIGGER', crdate, refdate, 0, 0, 0, 0"
    " FROM __standin_ddl_triggers;"
    "CREATE VIEW sys_sql_modules AS SELECT id AS object_id, CASE WHEN encrypted THEN NULL ELSE definition END"
    " AS definition FROM __standin_modules;";

// ------------------------------------------------------------ catalog access

std::shared_ptr<table_info> conn_impl::load_table(sqlite3* h, const std::string& name) {
    std::vector<std::vector<sql_value>> rows;
    run(h, "SELECT id, name FROM sysobjects WHERE name = ?1 AND type = 'U'", {name}, &rows);
    if (rows.empty()) return nullptr;
    auto t = std::make_shared<table_info>();
    t->id = std::get<std::int64_t>(rows[0][0]);
    t->name = std::get<std::string>(rows[0][1]);
    t->sql_name = t->name;
    rows.clear();
    run(h, "SELECT name, type_name, length, prec, scale, nullable, default_text, is_identity, seed, step, pk_order "
           "FROM __standin_columns WHERE table_id = ?1 ORDER BY colid",
        {static_cast<std::int64_t>(t->id)}, &rows);
    std::vector<std::pair<std::int64_t, std::size_t>> pk;
    for (auto& r : rows) {
        col_info c;
        c.name = std::get<std::string>(r[0]);
        c.type.name = std::get<std::string>(r[1]);
        c.type.length = static_cast<int>(std::get<std::int64_t>(r[2]));
        c.type.precision = static_cast<int>(std::get<std::int64_t>(r[3]));
        c.type.scale = static_cast<int>(std::get<std::int64_t>(r[4]));
        c.nullable = std::get<std::int64_t>(r[5]) != 0;
        if (std::holds_alternative<std::string>(r[6])) c.default_text = std::get<std::string>(r[6]);
        c.identity = std::get<std::int64_t>(r[7]) != 0;
        c.seed = std::get<std::int64_t>(r[8]);
        c.step = std::get<std::int64_t>(r[9]);
        std::int64_t pko = std::get<std::int64_t>(r[10]);
        if (pko > 0) pk.push_back({pko, t->cols.size()});
        t->cols.push_back(c);
    }
    std::sort(pk.begin(), pk.end());
    for (auto& p : pk) t->pk.push_back(p.second);
    auto pkn = scalar(h, "SELECT name FROM sysobjects WHERE parent_obj = ?1 AND type = 'K'", {static_cast<std::int64_t>(t->id)});
    if (pkn && std::holds_alternative<std::string>(*pkn)) t->pk_name = std::get<std::string>(*pkn);
    return t;
}

std::shared_ptr<table_info> conn_impl::resolve_table(sqlite3* h, const std::vector<std::string>& parts, bool for_write) {
    const std::string& name = parts.back();
    bool other_db = parts.size() >= 3 && !parts[parts.size() - 3].empty() && !ieq(parts[parts.size() - 3], db_);
    std::string owner = parts.size() >= 2 ? parts[parts.size() - 2] : "";
    if (!for_write)
        if (auto t = server_table(h, parts)) return t;
    // The sys schema and its catalog views came with SQL Server 2005; on
    // SQL Server 2000 a sys. name is an unknown object (208) like any other.
    const bool sys_schema = version().has.catalog_views;
    if (!for_write && (owner.empty() || ieq(owner, "dbo") || (sys_schema && ieq(owner, "sys")))) {
        if (ieq(name, "sysdatabases")) {
            refresh_sysdatabases(h);
            return std::make_shared<table_info>(system_table("sysdatabases", sysdatabases_columns, "temp.sysdatabases"));
        }
        if (!other_db && ieq(name, "sysobjects"))
            return std::make_shared<table_info>(system_table("sysobjects", sysobjects_columns, "sysobjects"));
        if (!other_db && ieq(name, "syscolumns"))
            return std::make_shared<table_info>(system_table("syscolumns", syscolumns_columns, "syscolumns"));
    }
    // The catalog views of SQL Server 2005 and later, as generated scripts use them.
    if (!for_write && sys_schema && ieq(owner, "sys")) {
        if (ieq(name, "databases")) {
            refresh_sysdatabases(h);
            return std::make_shared<table_info>(system_table("databases", sys_databases_columns, "sys_databases"));
        }
        if (!other_db && (ieq(name, "objects") || ieq(name, "procedures") || ieq(name, "tables")))
            return std::make_shared<table_info>(system_table(to_lower(name), sys_objects_columns, "sys_" + to_lower(name)));
        if (!other_db && ieq(name, "triggers"))
            return std::make_shared<table_info>(system_table("triggers", sys_triggers_columns, "sys_triggers"));
        if (!other_db && ieq(name, "sql_modules"))
            return std::make_shared<table_info>(system_table("sql_modules", sys_sql_modules_columns, "sys_sql_modules"));
    }
    if (!other_db && (owner.empty() || ieq(owner, "dbo"))) {
        auto t = load_table(h, name);
        if (t) return t;
    }
    throw compile_err(errors::invalid_object, join_name(parts));
}

void conn_impl::refresh_sysdatabases(sqlite3* h) {
    exec_raw(h, "CREATE TEMP TABLE IF NOT EXISTS sysdatabases(name TEXT COLLATE TSQL, dbid INT, sid TEXT, mode INT,"
                " status INT, status2 INT, crdate TEXT, reserved TEXT, category INT, cmptlevel INT,"
                " filename TEXT, version INT)");
    exec_raw(h, "CREATE TEMP VIEW IF NOT EXISTS sys_databases AS SELECT name, dbid AS database_id, crdate AS create_date,"
                " cmptlevel AS compatibility_level, 'Chinese_PRC_CI_AS' AS collation_name FROM temp.sysdatabases");
    run(h, "DELETE FROM temp.sysdatabases", {});
    // Databases of SQL Server 2019 (version 904) kept at SQL Server 2008's
    // compatibility level (100), as an upgraded shop's are.
    for (const auto& d : eng_.all_dbs())
        run(h, "INSERT INTO temp.sysdatabases VALUES (?1, ?2, NULL, 0, 16, 1090520064, ?3, '1900-01-01 00:00:00.000', 0, 100, ?4, 904)",
            {d.name, static_cast<std::int64_t>(d.dbid), d.crdate, d.path});
}

std::optional<long long> conn_impl::object_id(sqlite3* h, const std::string& name, std::string* type) {
    std::vector<std::vector<sql_value>> rows;
    run(h, "SELECT id, type FROM sysobjects WHERE name = ?1", {name}, &rows);
    if (rows.empty()) return std::nullopt;
    if (type) *type = std::get<std::string>(rows[0][1]);
    return std::get<std::int64_t>(rows[0][0]);
}

long long conn_impl::new_object_id(sqlite3* h) {
    // DDL triggers take their ids from the same range: an id is unique in the database.
    auto v = scalar(h, "SELECT max(id) FROM (SELECT id FROM sysobjects UNION ALL SELECT id FROM __standin_ddl_triggers)", {});
    long long base = 1977058079;
    if (v && std::holds_alternative<std::int64_t>(*v)) base = std::get<std::int64_t>(*v) + 16;
    return base;
}

namespace {

// Functions that need the connection: OBJECT_ID and friends look at the
// catalog through the handle the statement runs on.
void fn_object_id(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    auto* c = static_cast<conn_impl*>(sqlite3_user_data(ctx));
    sqlite3* h = sqlite3_context_db_handle(ctx);
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) { sqlite3_result_null(ctx); return; }
    std::string text(reinterpret_cast<const char*>(sqlite3_value_text(argv[0])));
    auto parts = split_object_name(text);
    if (parts.empty()) { sqlite3_result_null(ctx); return; }
    if (parts.size() >= 3 && !parts[parts.size() - 3].empty() && !ieq(parts[parts.size() - 3], c->db_name())) {
        sqlite3_result_null(ctx);
        return;
    }
    if (parts.size() >= 2 && !parts[parts.size() - 2].empty() && !ieq(parts[parts.size() - 2], "dbo")) {
        sqlite3_result_null(ctx);
        return;
    }
    const char* sql = argc > 1 ? "SELECT id FROM sysobjects WHERE name = ?1 AND type = ?2"
                               : "SELECT id FROM sysobjects WHERE name = ?1";
    sqlite3_stmt* st = c->cached(h, sql);
    if (!st) { sqlite3_result_null(ctx); return; }
    sqlite3_bind_text(st, 1, parts.back().c_str(), -1, SQLITE_TRANSIENT);
    if (argc > 1) {
        const unsigned char* t = sqlite3_value_text(argv[1]);
        std::string ty = t ? reinterpret_cast<const char*>(t) : "";
        sqlite3_bind_text(st, 2, ty.c_str(), -1, SQLITE_TRANSIENT);
    }
    if (sqlite3_step(st) == SQLITE_ROW) sqlite3_result_int64(ctx, sqlite3_column_int64(st, 0));
    else sqlite3_result_null(ctx);
    sqlite3_reset(st);
}

void fn_objectproperty(sqlite3_context* ctx, int, sqlite3_value** argv) {
    auto* c = static_cast<conn_impl*>(sqlite3_user_data(ctx));
    sqlite3* h = sqlite3_context_db_handle(ctx);
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
        sqlite3_result_null(ctx);
        return;
    }
    long long id = sqlite3_value_int64(argv[0]);
    std::string prop = to_lower(reinterpret_cast<const char*>(sqlite3_value_text(argv[1])));
    sqlite3_stmt* st = c->cached(h, "SELECT o.type, m.encrypted FROM sysobjects o LEFT JOIN __standin_modules m ON m.id = o.id WHERE o.id = ?1");
    if (!st) {
        sqlite3_result_null(ctx);
        return;
    }
    sqlite3_bind_int64(st, 1, id);
    if (sqlite3_step(st) != SQLITE_ROW) {
        sqlite3_reset(st);
        sqlite3_result_null(ctx);
        return;
    }
    std::string type = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    while (!type.empty() && type.back() == ' ') type.pop_back();
    bool encrypted = sqlite3_column_int(st, 1) != 0;
    sqlite3_reset(st);
    int v = -1;
    if (prop == "isprocedure") v = type == "P";
    else if (prop == "istrigger") v = type == "TR";
    else if (prop == "isusertable") v = type == "U";
    else if (prop == "istable") v = type == "U" || type == "S";
    else if (prop == "isview") v = type == "V";
    else if (prop == "isencrypted") v = encrypted;
    else if (prop == "isprimarykey") v = type == "K";
    else if (prop == "isconstraint") v = type == "K" || type == "D" || type == "F" || type == "C";
    else if (prop == "issystemtable") v = type == "S";
    else if (prop == "ismsshipped") v = 0;
    else if (prop == "isexecuted") v = type == "P" || type == "TR";
    if (v < 0) sqlite3_result_null(ctx);
    else sqlite3_result_int(ctx, v);
}

void fn_db_name(sqlite3_context* ctx, int, sqlite3_value** argv) {
    auto* c = static_cast<conn_impl*>(sqlite3_user_data(ctx));
    auto d = c->eng().find_dbid(sqlite3_value_int(argv[0]));
    if (!d) sqlite3_result_null(ctx);
    else sqlite3_result_text(ctx, d->name.c_str(), -1, SQLITE_TRANSIENT);
}

void fn_db_id(sqlite3_context* ctx, int, sqlite3_value** argv) {
    auto* c = static_cast<conn_impl*>(sqlite3_user_data(ctx));
    const unsigned char* t = sqlite3_value_text(argv[0]);
    auto d = t ? c->eng().find_db(reinterpret_cast<const char*>(t)) : std::nullopt;
    if (!d) sqlite3_result_null(ctx);
    else sqlite3_result_int(ctx, d->dbid);
}

// APPLOCK_TEST: asks the engine's lock table, in the current database.
void fn_applock_test(sqlite3_context* ctx, int, sqlite3_value** argv) {
    auto* c = static_cast<conn_impl*>(sqlite3_user_data(ctx));
    std::string text[4];
    for (int i = 0; i < 4; ++i) {
        const unsigned char* t = sqlite3_value_text(argv[i]);
        if (!t) { sqlite3_result_null(ctx); return; }
        text[i] = reinterpret_cast<const char*>(t);
    }
    auto d = c->eng().find_db(c->db_name());
    const std::optional<int> v =
        d ? applock_test(c->eng().applocks, c->session_id(), d->dbid, text[0], text[1], text[2], text[3]) : std::nullopt;
    if (v) sqlite3_result_int(ctx, *v);
    else sqlite3_result_null(ctx);
}

void fn_style(sqlite3_context* ctx, int, sqlite3_value** argv) {
    // CONVERT(varchar, datetime, style) for the styles scripts use most.
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) { sqlite3_result_null(ctx); return; }
    std::string s(reinterpret_cast<const char*>(sqlite3_value_text(argv[0])));
    int style = sqlite3_value_int(argv[1]);
    std::string out = s;
    if (s.size() >= 23) {
        std::string y = s.substr(0, 4), m = s.substr(5, 2), d = s.substr(8, 2);
        switch (style) {
        case 112: out = y + m + d; break;
        case 111: out = y + "/" + m + "/" + d; break;
        case 23: out = y + "-" + m + "-" + d; break;
        case 120: out = s.substr(0, 19); break;
        case 121: out = s.substr(0, 23); break;
        // ISO 8601; milliseconds of 0 are left out, as SQL Server leaves them.
        case 126: out = y + "-" + m + "-" + d + "T" + s.substr(11, s.compare(20, 3, "000") == 0 ? 8 : 12); break;
        case 108: out = s.substr(11, 8); break;
        case 101: out = m + "/" + d + "/" + y; break;
        case 102: out = y + "." + m + "." + d; break;
        default: break;
        }
    }
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

}  // namespace

void conn_impl::register_connection_functions(sqlite3* h) {
    sqlite3_create_function(h, "tsql_object_id", -1, SQLITE_UTF8, this, fn_object_id, nullptr, nullptr);
    sqlite3_create_function(h, "tsql_objectproperty", 2, SQLITE_UTF8, this, fn_objectproperty, nullptr, nullptr);
    sqlite3_create_function(h, "tsql_db_name", 1, SQLITE_UTF8, this, fn_db_name, nullptr, nullptr);
    sqlite3_create_function(h, "tsql_db_id", 1, SQLITE_UTF8, this, fn_db_id, nullptr, nullptr);
    sqlite3_create_function(h, "tsql_applock_test", 4, SQLITE_UTF8, this, fn_applock_test, nullptr, nullptr);
    sqlite3_create_function(h, "tsql_style", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, this, fn_style, nullptr, nullptr);
}

}  // namespace standin::detail

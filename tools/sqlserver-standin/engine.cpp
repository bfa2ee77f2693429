// The stand-in's T-SQL engine. Each database is one SQLite file in a private
// temporary directory; each connection opens its own SQLite handle per
// database it touches, so an open transaction stays invisible to other
// connections (WAL mode) and is rolled back when the connection goes away.
// T-SQL is parsed by our own parser and translated into SQLite statements
// whose names are resolved against our catalog, which lives in the same file
// (sysobjects, column descriptions, module texts) and is therefore rolled
// back together with the data.

#include "engine.h"

#include <sqlite3.h>
#include <signal.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <thread>
#include <cerrno>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <unordered_map>

#include "applock.h"
#include "tsql_parser.h"
#include "tsql_runtime.h"

namespace standin {

using namespace tsql;

namespace {

// ------------------------------------------------------------------ errors

struct tsql_error {
    int number;
    int state;
    int severity;
    std::string text;
    bool abort_batch = false;
    bool rollback_tran = false;
    bool terminated = false;  // followed by "The statement has been terminated."
};

tsql_error err(int number, int severity, int state, std::string text) {
    return tsql_error{number, state, severity, std::move(text)};
}
struct constraint_violation {};
struct return_signal {};
// The client cancelled or went away while the request waited for a lock.
struct request_interrupted {};

tsql_error compile_err(int number, int severity, int state, std::string text) {
    auto e = err(number, severity, state, std::move(text));
    e.abort_batch = true;
    return e;
}

bool ieq(const std::string& a, const std::string& b) {
    return collate_compare(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size())) == 0;
}

std::string quote_id(const std::string& s) {
    std::string r = "\"";
    for (char c : s) {
        if (c == '"') r += '"';
        r += c;
    }
    return r + "\"";
}
std::string quote_str(const std::string& s) {
    std::string r = "'";
    for (char c : s) {
        if (c == '\'') r += '\'';
        r += c;
    }
    return r + "'";
}

std::string join_name(const std::vector<std::string>& parts) {
    std::string r;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) r += '.';
        r += parts[i];
    }
    return r;
}

// ------------------------------------------------------------------- types

enum class vtype { unknown, integer, decimal, text, datetime };

bool known_type(const std::string& n) {
    static const std::set<std::string> t = {
        "INT", "INTEGER", "BIGINT", "SMALLINT", "TINYINT", "BIT", "CHAR", "VARCHAR", "NCHAR",
        "NVARCHAR", "TEXT", "NTEXT", "DATETIME", "SMALLDATETIME", "DATE", "NUMERIC", "DECIMAL",
        "DEC", "MONEY", "SMALLMONEY", "FLOAT", "REAL", "SYSNAME", "UNIQUEIDENTIFIER"};
    return t.count(n) != 0;
}

// Fills in the defaults SQL Server applies to a declared type.
type_spec normalized(type_spec t, bool in_cast) {
    if (t.name == "INTEGER") t.name = "INT";
    if (t.name == "DEC") t.name = "DECIMAL";
    if (t.name == "SYSNAME") { t.name = "NVARCHAR"; t.length = 128; }
    if (t.name == "UNIQUEIDENTIFIER") { t.name = "CHAR"; t.length = 36; }
    if (t.name == "CHAR" || t.name == "VARCHAR" || t.name == "NCHAR" || t.name == "NVARCHAR") {
        if (t.length == -1) t.length = in_cast ? 30 : 1;
    }
    if (t.name == "NUMERIC" || t.name == "DECIMAL") {
        if (t.precision < 0) t.precision = 18;
        if (t.scale < 0) t.scale = 0;
    }
    if (t.name == "MONEY") { t.precision = 19; t.scale = 4; }
    if (t.name == "SMALLMONEY") { t.precision = 10; t.scale = 4; }
    return t;
}

vtype vtype_of(const type_spec& t) {
    const std::string& n = t.name;
    if (n == "INT" || n == "BIGINT" || n == "SMALLINT" || n == "TINYINT" || n == "BIT") return vtype::integer;
    if (n == "NUMERIC" || n == "DECIMAL" || n == "MONEY" || n == "SMALLMONEY" || n == "FLOAT" || n == "REAL") {
        if ((n == "NUMERIC" || n == "DECIMAL") && t.scale == 0) return vtype::integer;
        return vtype::decimal;
    }
    if (n == "DATETIME" || n == "SMALLDATETIME" || n == "DATE") return vtype::datetime;
    return vtype::text;
}

std::string sqlite_decl(const type_spec& t) {
    switch (vtype_of(t)) {
    case vtype::integer: return "INT";
    case vtype::decimal: return "REAL";
    case vtype::datetime: return "TEXT";
    default: return "TEXT COLLATE TSQL";
    }
}

std::string cvt_call(const std::string& x, const type_spec& t, bool strict) {
    int code = cvt_text, len = -1, prec = 18, scale = 0;
    const std::string& n = t.name;
    if (n == "INT") { code = cvt_int; len = 4; }
    else if (n == "BIGINT") { code = cvt_int; len = 8; }
    else if (n == "SMALLINT") { code = cvt_int; len = 2; }
    else if (n == "TINYINT") { code = cvt_int; len = 1; }
    else if (n == "BIT") code = cvt_bit;
    else if (n == "NUMERIC" || n == "DECIMAL" || n == "MONEY" || n == "SMALLMONEY") {
        code = cvt_decimal;
        prec = t.precision;
        scale = t.scale;
    } else if (n == "FLOAT" || n == "REAL") code = cvt_float;
    else if (n == "DATETIME" || n == "SMALLDATETIME" || n == "DATE") code = cvt_datetime;
    else if (n == "CHAR") { code = cvt_char; len = t.length; }
    else if (n == "VARCHAR") { code = t.length == -2 ? cvt_text : cvt_varchar; len = t.length; }
    else if (n == "NCHAR") { code = cvt_nchar; len = t.length; }
    else if (n == "NVARCHAR") { code = t.length == -2 ? cvt_text : cvt_nvarchar; len = t.length; }
    return "tsql_cvt(" + x + "," + std::to_string(code) + "," + std::to_string(len) + "," +
           std::to_string(prec) + "," + std::to_string(scale) + "," + (strict ? "1" : "0") + ")";
}


int xtype_of(const type_spec& t) {
    const std::string& n = t.name;
    if (n == "INT") return 56;
    if (n == "BIGINT") return 127;
    if (n == "SMALLINT") return 52;
    if (n == "TINYINT") return 48;
    if (n == "BIT") return 104;
    if (n == "CHAR") return 175;
    if (n == "VARCHAR") return 167;
    if (n == "NCHAR") return 239;
    if (n == "NVARCHAR") return 231;
    if (n == "TEXT") return 35;
    if (n == "NTEXT") return 99;
    if (n == "DATETIME") return 61;
    if (n == "SMALLDATETIME") return 58;
    if (n == "DATE") return 40;
    if (n == "NUMERIC") return 108;
    if (n == "DECIMAL") return 106;
    if (n == "MONEY") return 60;
    if (n == "SMALLMONEY") return 122;
    if (n == "FLOAT") return 62;
    if (n == "REAL") return 59;
    return 0;
}

int storage_length(const type_spec& t) {
    const std::string& n = t.name;
    if (n == "INT" || n == "REAL" || n == "SMALLMONEY" || n == "SMALLDATETIME") return 4;
    if (n == "BIGINT" || n == "FLOAT" || n == "DATETIME" || n == "MONEY") return 8;
    if (n == "SMALLINT") return 2;
    if (n == "TINYINT" || n == "BIT") return 1;
    if (n == "DATE") return 3;
    if (n == "CHAR" || n == "VARCHAR") return t.length == -2 ? -1 : t.length;
    if (n == "NCHAR" || n == "NVARCHAR") return t.length == -2 ? -1 : 2 * t.length;
    if (n == "NUMERIC" || n == "DECIMAL") return t.precision <= 9 ? 5 : t.precision <= 19 ? 9 : t.precision <= 28 ? 13 : 17;
    return 16;
}

// ----------------------------------------------------------------- catalog

struct col_info {
    std::string name;
    type_spec type;
    bool nullable = true;
    std::string default_text;
    bool identity = false;
    long long seed = 1, step = 1;
    vtype vt() const { return vtype_of(type); }
};

struct table_info {
    long long id = 0;
    std::string name;
    std::string sql_name;  // how the translated SQL names it
    std::vector<col_info> cols;
    std::string pk_name;
    std::vector<std::size_t> pk;
    bool system = false;
    int find(const std::string& c) const {
        for (std::size_t i = 0; i < cols.size(); ++i)
            if (ieq(cols[i].name, c)) return static_cast<int>(i);
        return -1;
    }
};

col_info sys_col(const char* name, vtype v) {
    col_info c;
    c.name = name;
    c.type.name = v == vtype::integer ? "INT" : v == vtype::datetime ? "DATETIME" : "NVARCHAR";
    c.type.length = 128;
    return c;
}

const std::vector<std::pair<const char*, vtype>>& sysobjects_cols() {
    static const std::vector<std::pair<const char*, vtype>> c = {
        {"name", vtype::text}, {"id", vtype::integer}, {"xtype", vtype::text},
        {"uid", vtype::integer}, {"info", vtype::integer}, {"status", vtype::integer},
        {"base_schema_ver", vtype::integer}, {"replinfo", vtype::integer},
        {"parent_obj", vtype::integer}, {"crdate", vtype::datetime}, {"ftcatid", vtype::integer},
        {"schema_ver", vtype::integer}, {"stats_schema_ver", vtype::integer},
        {"type", vtype::text}, {"userstat", vtype::integer}, {"sysstat", vtype::integer},
        {"indexdel", vtype::integer}, {"refdate", vtype::datetime}, {"version", vtype::integer},
        {"deltrig", vtype::integer}, {"instrig", vtype::integer}, {"updtrig", vtype::integer},
        {"seltrig", vtype::integer}, {"category", vtype::integer}, {"cache", vtype::integer}};
    return c;
}
const std::vector<std::pair<const char*, vtype>>& syscolumns_cols() {
    static const std::vector<std::pair<const char*, vtype>> c = {
        {"name", vtype::text}, {"id", vtype::integer}, {"xtype", vtype::integer},
        {"typestat", vtype::integer}, {"xusertype", vtype::integer}, {"length", vtype::integer},
        {"xprec", vtype::integer}, {"xscale", vtype::integer}, {"colid", vtype::integer},
        {"colorder", vtype::integer}, {"cdefault", vtype::integer}, {"domain", vtype::integer},
        {"number", vtype::integer}, {"status", vtype::integer}, {"type", vtype::integer},
        {"usertype", vtype::integer}, {"prec", vtype::integer}, {"scale", vtype::integer},
        {"iscomputed", vtype::integer}, {"isoutparam", vtype::integer},
        {"isnullable", vtype::integer}, {"collation", vtype::text}};
    return c;
}
const std::vector<std::pair<const char*, vtype>>& sysdatabases_cols() {
    static const std::vector<std::pair<const char*, vtype>> c = {
        {"name", vtype::text}, {"dbid", vtype::integer}, {"sid", vtype::text},
        {"mode", vtype::integer}, {"status", vtype::integer}, {"status2", vtype::integer},
        {"crdate", vtype::datetime}, {"reserved", vtype::datetime}, {"category", vtype::integer},
        {"cmptlevel", vtype::integer}, {"filename", vtype::text}, {"version", vtype::integer}};
    return c;
}

const std::vector<std::pair<const char*, vtype>>& sys_objects_cols() {
    static const std::vector<std::pair<const char*, vtype>> c = {
        {"name", vtype::text}, {"object_id", vtype::integer}, {"principal_id", vtype::integer},
        {"schema_id", vtype::integer}, {"parent_object_id", vtype::integer}, {"type", vtype::text},
        {"type_desc", vtype::text}, {"create_date", vtype::datetime}, {"modify_date", vtype::datetime},
        {"is_ms_shipped", vtype::integer}, {"is_published", vtype::integer},
        {"is_schema_published", vtype::integer}};
    return c;
}
const std::vector<std::pair<const char*, vtype>>& sys_triggers_cols() {
    static const std::vector<std::pair<const char*, vtype>> c = {
        {"name", vtype::text}, {"object_id", vtype::integer}, {"parent_class", vtype::integer},
        {"parent_id", vtype::integer}, {"type", vtype::text}, {"type_desc", vtype::text},
        {"create_date", vtype::datetime}, {"modify_date", vtype::datetime},
        {"is_ms_shipped", vtype::integer}, {"is_disabled", vtype::integer},
        {"is_not_for_replication", vtype::integer}, {"is_instead_of_trigger", vtype::integer}};
    return c;
}
const std::vector<std::pair<const char*, vtype>>& sys_databases_cols() {
    static const std::vector<std::pair<const char*, vtype>> c = {
        {"name", vtype::text}, {"database_id", vtype::integer}, {"create_date", vtype::datetime},
        {"compatibility_level", vtype::integer}, {"collation_name", vtype::text}};
    return c;
}

table_info system_table(const std::string& name, const std::vector<std::pair<const char*, vtype>>& cols,
                        const std::string& sql_name) {
    table_info t;
    t.name = name;
    t.sql_name = sql_name;
    t.system = true;
    for (const auto& [n, v] : cols) t.cols.push_back(sys_col(n, v));
    return t;
}

const char* kSchema =
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
    "CREATE VIEW sys_triggers AS SELECT name, object_id, 1 AS parent_class, parent_object_id AS parent_id,"
    " type, type_desc, create_date, modify_date, 0 AS is_ms_shipped, 0 AS is_disabled,"
    " 0 AS is_not_for_replication, 0 AS is_instead_of_trigger FROM sys_objects WHERE rtrim(type) = 'TR';";

// ------------------------------------------------------------------ values

sql_value column_value(sqlite3_stmt* st, int i) {
    switch (sqlite3_column_type(st, i)) {
    case SQLITE_INTEGER: return static_cast<std::int64_t>(sqlite3_column_int64(st, i));
    case SQLITE_FLOAT: return sqlite3_column_double(st, i);
    case SQLITE_NULL: return std::monostate{};
    default: {
        const unsigned char* t = sqlite3_column_text(st, i);
        return std::string(reinterpret_cast<const char*>(t), static_cast<std::size_t>(sqlite3_column_bytes(st, i)));
    }
    }
}

void bind_value(sqlite3_stmt* st, int i, const sql_value& v) {
    if (std::holds_alternative<std::int64_t>(v)) sqlite3_bind_int64(st, i, std::get<std::int64_t>(v));
    else if (std::holds_alternative<double>(v)) sqlite3_bind_double(st, i, std::get<double>(v));
    else if (std::holds_alternative<std::string>(v)) {
        const auto& s = std::get<std::string>(v);
        sqlite3_bind_text(st, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    } else sqlite3_bind_null(st, i);
}

std::string value_text(const sql_value& v) {
    if (std::holds_alternative<std::int64_t>(v)) return std::to_string(std::get<std::int64_t>(v));
    if (std::holds_alternative<double>(v)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", std::get<double>(v));
        return buf;
    }
    if (std::holds_alternative<std::string>(v)) return std::get<std::string>(v);
    return "<NULL>";
}

std::string json_escape(const std::string& s) {
    std::string r;
    for (unsigned char c : s) {
        switch (c) {
        case '"': r += "\\\""; break;
        case '\\': r += "\\\\"; break;
        case '\n': r += "\\n"; break;
        case '\r': r += "\\r"; break;
        case '\t': r += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                r += buf;
            } else {
                r += static_cast<char>(c);
            }
        }
    }
    return r;
}

std::string json_value(const sql_value& v) {
    if (std::holds_alternative<std::int64_t>(v)) return std::to_string(std::get<std::int64_t>(v));
    if (std::holds_alternative<double>(v)) {
        double d = std::get<double>(v);
        if (!std::isfinite(d)) return "null";
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", d);
        return buf;
    }
    if (std::holds_alternative<std::string>(v)) return "\"" + json_escape(std::get<std::string>(v)) + "\"";
    return "null";
}

// ---------------------------------------------------------------- sqlite io

struct stmt_guard {
    sqlite3_stmt* st = nullptr;
    ~stmt_guard() {
        if (st) sqlite3_finalize(st);
    }
};

tsql_error sqlite_failure(sqlite3* h, int rc) {
    const char* msg = sqlite3_errmsg(h);
    int number, state, severity;
    std::string text;
    if (decode_error(msg, number, state, severity, text)) {
        auto e = err(number, severity, state, text);
        if (number == 245 || number == 241 || number == 8114) {
            e.abort_batch = true;
            e.rollback_tran = true;
        }
        if (number == 8152 || number == 8115 || number == 8134 || number == 536 || number == 537)
            e.terminated = true;
        return e;
    }
    int primary = rc & 0xff;
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
        return err(1222, 16, 51, "Lock request time out period exceeded.");
    return err(50000, 16, 1, std::string("Internal error: ") + (msg ? msg : "?"));
}

}  // namespace

// ------------------------------------------------------------------ engine

struct db_entry {
    std::string name;
    int dbid = 0;
    std::string path;
    std::string crdate;
};

struct engine_state {
    std::mutex mu;
    std::string dir;
    std::vector<db_entry> dbs;
    std::vector<login_entry> logins;
    std::atomic<int> next_spid{51};
    std::atomic<std::uint64_t> next_descriptor{1};
    int next_dbid = 5;
    applock_table applocks;

    std::optional<db_entry> find_db(const std::string& name) {
        std::lock_guard<std::mutex> g(mu);
        for (const auto& d : dbs)
            if (ieq(d.name, name)) return d;
        return std::nullopt;
    }
    std::optional<db_entry> find_dbid(int id) {
        std::lock_guard<std::mutex> g(mu);
        for (const auto& d : dbs)
            if (d.dbid == id) return d;
        return std::nullopt;
    }
    std::vector<db_entry> all_dbs() {
        std::lock_guard<std::mutex> g(mu);
        return dbs;
    }

    // Creates the file and registers it; false when the name is taken.
    bool create_db(const std::string& name, std::string& error);
};

namespace {

sqlite3* open_handle(const std::string& path) {
    sqlite3* h = nullptr;
    if (sqlite3_open_v2(path.c_str(), &h, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        if (h) sqlite3_close(h);
        return nullptr;
    }
    register_runtime(h);
    sqlite3_busy_timeout(h, 10000);
    sqlite3_exec(h, "PRAGMA synchronous=OFF; PRAGMA temp_store=MEMORY; PRAGMA cache_size=-4000;", nullptr,
                 nullptr, nullptr);
    return h;
}

}  // namespace

bool engine_state::create_db(const std::string& name, std::string& error) {
    std::lock_guard<std::mutex> g(mu);
    for (const auto& d : dbs)
        if (ieq(d.name, name)) {
            error = "exists";
            return false;
        }
    db_entry e;
    e.name = name;
    e.dbid = name == "master" && dbs.empty() ? 1 : next_dbid++;
    e.path = dir + "/db" + std::to_string(e.dbid) + ".sqlite";
    e.crdate = now_datetime();
    sqlite3* h = open_handle(e.path);
    if (!h) {
        error = "cannot create " + e.path;
        return false;
    }
    char* msg = nullptr;
    int rc = sqlite3_exec(h, kSchema, nullptr, nullptr, &msg);
    if (rc != SQLITE_OK) {
        error = msg ? msg : "schema";
        sqlite3_free(msg);
        sqlite3_close(h);
        return false;
    }
    sqlite3_close(h);
    dbs.push_back(e);
    return true;
}

namespace {

// -------------------------------------------------------------- connection

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

class conn_impl : public connection {
public:
    conn_impl(engine_state& eng, std::string db, std::string user)
        : eng_(eng), db_(std::move(db)), user_(std::move(user)), spid_(eng.next_spid++) {}
    ~conn_impl() override {
        eng_.applocks.release_all(spid_, false);
        for (auto& [id, h] : handles_) {
            if (in_tran_.count(id)) sqlite3_exec(h, "ROLLBACK", nullptr, nullptr, nullptr);
            for (auto& [sql, st] : cache_[id]) sqlite3_finalize(st);
            sqlite3_close(h);
        }
    }

    batch_reply execute_batch(const std::string& sql) override;
    batch_reply begin_transaction() override {
        batch_reply r;
        reply_ = &r;
        begin_tran();
        reply_ = nullptr;
        return r;
    }
    batch_reply commit_transaction(bool begin_new) override {
        batch_reply r;
        reply_ = &r;
        try {
            if (trancount_ == 0) throw err(3902, 16, 1, "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.");
            trancount_ = 1;
            commit_tran();
            if (begin_new) begin_tran();
        } catch (const tsql_error& e) {
            report(e, 1);
        }
        reply_ = nullptr;
        return r;
    }
    batch_reply rollback_transaction(bool begin_new) override {
        batch_reply r;
        reply_ = &r;
        try {
            if (trancount_ == 0) throw err(3903, 16, 1, "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.");
            rollback_tran();
            if (begin_new) begin_tran();
        } catch (const tsql_error& e) {
            report(e, 1);
        }
        reply_ = nullptr;
        return r;
    }
    void set_interrupt_check(std::function<bool()> check) override { interrupt_ = std::move(check); }
    std::string current_database() const override { return db_; }
    int trancount() const override { return trancount_; }
    std::uint64_t transaction_descriptor() const override { return trancount_ > 0 ? descriptor_ : 0; }

    // A prepared statement from this connection's cache, reset and unbound.
    sqlite3_stmt* cached(sqlite3* h, const std::string& sql) {
        try {
            return prepare(h, sql);
        } catch (...) {  // called from inside SQLite: nothing may escape
            return nullptr;
        }
    }

    // Used by the SQLite functions bound to this connection.
    sqlite3* current_handle_for_functions() { return fn_handle_; }
    std::string db_name() const { return db_; }
    engine_state& eng() { return eng_; }

private:
    engine_state& eng_;
    std::string db_;
    std::string user_;
    int spid_;
    std::map<int, sqlite3*> handles_;
    std::map<int, std::unordered_map<std::string, sqlite3_stmt*>> cache_;
    std::set<int> in_tran_;
    int trancount_ = 0;
    std::uint64_t descriptor_ = 0;
    bool nocount_ = false;
    bool implicit_ = false;
    bool xact_abort_ = false;
    std::int64_t rowcount_ = 0;
    int last_error_ = 0;
    std::int64_t last_identity_ = 0;
    bool have_identity_ = false;
    std::set<long long> identity_insert_;
    batch_reply* reply_ = nullptr;
    sqlite3* fn_handle_ = nullptr;
    int line_ = 1;
    int alias_counter_ = 0;
    struct variable {
        type_spec type;
        sql_value value;
    };
    std::map<std::string, variable> vars_;  // batch-scoped, keyed by lower-case name

    // SET LOCK_TIMEOUT: milliseconds a statement waits for a lock; -1, SQL
    // Server's default, waits for ever.
    int lock_timeout_ms_ = -1;
    std::function<bool()> interrupt_;
    bool interrupted_ = false;
    std::chrono::steady_clock::time_point wait_started_;

    friend struct translator;

    // SQLite's busy handler: another connection holds the database's write
    // lock (an open transaction). Waits as LOCK_TIMEOUT says, checking now and
    // then whether the client still wants the answer.
    static int busy_wait(void* self, int count) { return static_cast<conn_impl*>(self)->keep_waiting(count); }
    int keep_waiting(int count) {
        const auto now = std::chrono::steady_clock::now();
        if (count == 0) wait_started_ = now;
        if (lock_timeout_ms_ == 0) return 0;
        auto left = std::chrono::milliseconds(20);
        if (lock_timeout_ms_ > 0) {
            auto remaining = wait_started_ + std::chrono::milliseconds(lock_timeout_ms_) - now;
            if (remaining <= std::chrono::steady_clock::duration::zero()) return 0;
            left = std::min(left, std::chrono::ceil<std::chrono::milliseconds>(remaining));
        }
        if (interrupt_ && interrupt_()) {
            interrupted_ = true;
            return 0;
        }
        std::this_thread::sleep_for(left);
        return 1;
    }
    // A failed SQLite call: 1222 after a lock wait ran out, or the end of the
    // request when the wait was interrupted.
    [[noreturn]] void fail(sqlite3* h, int rc) {
        if (interrupted_) throw request_interrupted{};
        throw sqlite_failure(h, rc);
    }

    // ---------------------------------------------------------- plumbing

    void report(const tsql_error& e, int line) {
        server_message m;
        m.number = e.number;
        m.state = e.state;
        m.severity = e.severity;
        m.text = e.text;
        m.line = line + (current_proc_.empty() ? 0 : proc_line_offset_);
        m.procedure = current_proc_;
        reply_->items.push_back(m);
        if (e.terminated) {
            server_message t;
            t.number = 3621;
            t.state = 0;
            t.severity = 0;
            t.text = "The statement has been terminated.";
            t.line = line;
            reply_->items.push_back(t);
        }
        if (e.severity > 10 && reply_->first_error == 0) reply_->first_error = e.number;
        if (e.severity > 10) last_error_ = e.number;
        statement_done d;
        d.error = e.severity > 10;
        reply_->items.push_back(d);
    }

    void info(int number, const std::string& text) {
        server_message m;
        m.number = number;
        m.state = 1;
        m.severity = 0;
        m.text = text;
        m.line = line_;
        reply_->items.push_back(m);
    }

    void done(bool count, std::int64_t n) {
        statement_done d;
        d.has_count = count && !nocount_;
        d.count = n;
        reply_->items.push_back(d);
        if (count) rowcount_ = n;
        last_error_ = 0;
    }

    int current_dbid() {
        auto d = eng_.find_db(db_);
        if (!d) throw err(911, 16, 1, "Database '" + db_ + "' does not exist. Make sure that the name is entered correctly.");
        return d->dbid;
    }

    sqlite3* raw_handle(int dbid) {
        auto it = handles_.find(dbid);
        if (it != handles_.end()) return it->second;
        auto d = eng_.find_dbid(dbid);
        if (!d) throw err(911, 16, 1, "Database does not exist.");
        sqlite3* h = open_handle(d->path);
        if (!h) throw err(50000, 16, 1, "Internal error: cannot open the database file.");
        sqlite3_busy_handler(h, &conn_impl::busy_wait, this);
        register_connection_functions(h);
        handles_[dbid] = h;
        return h;
    }

    // The handle of the current database, inside the open transaction if any.
    sqlite3* handle() {
        int id = current_dbid();
        sqlite3* h = raw_handle(id);
        if (trancount_ > 0 && !in_tran_.count(id)) {
            exec_raw(h, "BEGIN IMMEDIATE");
            in_tran_.insert(id);
        }
        fn_handle_ = h;
        return h;
    }

    sqlite3_stmt* prepare(sqlite3* h, const std::string& sql) {
        int id = 0;
        for (auto& [k, v] : handles_)
            if (v == h) id = k;
        auto& c = cache_[id];
        auto it = c.find(sql);
        if (it != c.end()) {
            sqlite3_reset(it->second);
            sqlite3_clear_bindings(it->second);
            return it->second;
        }
        sqlite3_stmt* st = nullptr;
        int rc = sqlite3_prepare_v3(h, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &st, nullptr);
        if (rc != SQLITE_OK) throw sqlite_failure(h, rc);
        c[sql] = st;
        return st;
    }

    void exec_raw(sqlite3* h, const std::string& sql) {
        char* msg = nullptr;
        int rc = sqlite3_exec(h, sql.c_str(), nullptr, nullptr, &msg);
        if (msg) sqlite3_free(msg);
        if (rc != SQLITE_OK) fail(h, rc);
    }

    // Runs a statement; rows (if wanted) come back as values.
    std::int64_t run(sqlite3* h, const std::string& sql, const std::vector<sql_value>& binds,
                     std::vector<std::vector<sql_value>>* rows = nullptr) {
        sqlite3_stmt* st = prepare(h, sql);
        for (std::size_t i = 0; i < binds.size(); ++i) bind_value(st, static_cast<int>(i + 1), binds[i]);
        int rc;
        int ncol = sqlite3_column_count(st);
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            if (rows) {
                std::vector<sql_value> r;
                r.reserve(static_cast<std::size_t>(ncol));
                for (int i = 0; i < ncol; ++i) r.push_back(column_value(st, i));
                rows->push_back(std::move(r));
            }
        }
        if (rc != SQLITE_DONE) {
            int ext = sqlite3_extended_errcode(h);
            tsql_error e = sqlite_failure(h, rc);
            sqlite3_reset(st);
            if (ext == SQLITE_CONSTRAINT_PRIMARYKEY || ext == SQLITE_CONSTRAINT_UNIQUE) throw constraint_violation{};
            if (interrupted_) throw request_interrupted{};
            throw e;
        }
        std::int64_t changes = sqlite3_changes64(h);
        sqlite3_reset(st);
        return changes;
    }

    std::optional<sql_value> scalar(sqlite3* h, const std::string& sql, const std::vector<sql_value>& binds) {
        std::vector<std::vector<sql_value>> rows;
        run(h, sql, binds, &rows);
        if (rows.empty() || rows[0].empty()) return std::nullopt;
        return rows[0][0];
    }

    void register_connection_functions(sqlite3* h);

    // ------------------------------------------------------ transactions

    void begin_tran() {
        if (trancount_ == 0) {
            descriptor_ = eng_.next_descriptor++;
            trancount_ = 1;
            transaction_changed t{transaction_changed::what::begun, descriptor_};
            reply_->items.push_back(t);
        } else {
            ++trancount_;
        }
    }

    void end_handles(const char* sql) {
        tsql_error first{0, 0, 0, ""};
        for (int id : in_tran_) {
            auto it = handles_.find(id);
            if (it == handles_.end()) continue;
            char* msg = nullptr;
            int rc = sqlite3_exec(it->second, sql, nullptr, nullptr, &msg);
            if (msg) sqlite3_free(msg);
            if (rc != SQLITE_OK && first.number == 0) first = sqlite_failure(it->second, rc);
            if (rc != SQLITE_OK) sqlite3_exec(it->second, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        in_tran_.clear();
        if (first.number) throw first;
    }

    void commit_tran() {
        if (trancount_ > 1) {
            --trancount_;
            return;
        }
        trancount_ = 0;
        std::uint64_t d = descriptor_;
        eng_.applocks.release_all(spid_, true);
        end_handles("COMMIT");
        transaction_changed t{transaction_changed::what::committed, d};
        reply_->items.push_back(t);
    }

    void rollback_tran() {
        trancount_ = 0;
        std::uint64_t d = descriptor_;
        eng_.applocks.release_all(spid_, true);
        end_handles("ROLLBACK");
        transaction_changed t{transaction_changed::what::rolled_back, d};
        reply_->items.push_back(t);
    }

    // A single statement's work is atomic: in a user transaction it runs
    // under a savepoint, otherwise in its own write transaction.
    struct atomic_stmt {
        conn_impl& c;
        sqlite3* h;
        bool own = false;
        bool open = true;
        atomic_stmt(conn_impl& cc, sqlite3* hh) : c(cc), h(hh) {
            if (sqlite3_get_autocommit(h)) {
                c.run(h, "BEGIN IMMEDIATE", {});
                own = true;
            } else {
                c.run(h, "SAVEPOINT stmt", {});
            }
        }
        void commit() {
            if (!open) return;
            open = false;
            c.run(h, own ? "COMMIT" : "RELEASE stmt", {});
        }
        ~atomic_stmt() {
            if (!open) return;
            if (own) sqlite3_exec(h, "ROLLBACK", nullptr, nullptr, nullptr);
            else sqlite3_exec(h, "ROLLBACK TO stmt; RELEASE stmt", nullptr, nullptr, nullptr);
        }
    };

    void implicit_begin() {
        if (implicit_ && trancount_ == 0) begin_tran();
    }

    // ------------------------------------------------------------ catalog

    std::shared_ptr<table_info> load_table(sqlite3* h, const std::string& name);
    std::shared_ptr<table_info> resolve_table(sqlite3* h, const std::vector<std::string>& parts, bool for_write);
    std::optional<long long> object_id(sqlite3* h, const std::string& name, std::string* type = nullptr);
    void refresh_sysdatabases(sqlite3* h);
    long long new_object_id(sqlite3* h);

    // --------------------------------------------------------- statements

    void exec_stmt(const statement& st);
    void exec_select(const statement& st);
    void exec_insert(const statement& st);
    void exec_update(const statement& st);
    void exec_delete(const statement& st);
    void exec_create_table(const statement& st);
    void exec_alter_add(const statement& st);
    void exec_alter_drop(const statement& st);
    void exec_drop_table(const statement& st);
    void exec_create_module(const statement& st);
    void exec_drop_module(const statement& st);
    void exec_use(const statement& st);
    void exec_create_database(const statement& st);
    void exec_exec(const statement& st);
    void exec_set(const statement& st);
    int lock_timeout_value(const std::string& written);
    bool eval_condition(const expr& e);
    sql_value evaluate(const expr& e, const type_spec& type);
    int run_procedure(const statement& call, long long id);
    void exec_applock(const statement& st, bool release);
    std::optional<std::string> applock_argument_text(const expr& e);
    variable* status_variable(const statement& st);
    void set_status(variable* v, int status);
    std::optional<int> return_status_;  // RETURN n inside the running procedure
    int exec_depth_ = 0;
    std::string current_proc_;  // for the procedure field of messages raised inside one
    int proc_line_offset_ = 0;

    void check_owner(const std::vector<std::string>& parts) {
        if (parts.size() >= 3 && !parts[parts.size() - 3].empty() && !ieq(parts[parts.size() - 3], db_))
            throw compile_err(208, 16, 1, "Invalid object name '" + join_name(parts) + "'.");
    }

    std::string batch_text_;
};

// ---------------------------------------------------------------- translator

struct translator {
    conn_impl& c;
    sqlite3* h;
    bool uses_sysdatabases = false;

    translator(conn_impl& cc, sqlite3* hh) : c(cc), h(hh) {}

    std::string new_alias() { return "_t" + std::to_string(++c.alias_counter_); }

    [[noreturn]] void invalid_column(const std::string& name) {
        throw compile_err(207, 16, 1, "Invalid column name '" + name + "'.");
    }

    scope_entry table_entry(const table_ref& r) {
        scope_entry e;
        e.table = c.resolve_table(h, r.name, false);
        if (e.table->sql_name == "temp.sysdatabases") uses_sysdatabases = true;
        e.alias = r.alias.empty() ? r.name.back() : r.alias;
        e.sql_alias = new_alias();
        return e;
    }

    typed column_ref(const expr& e, const scope& sc) {
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
                if (found) throw compile_err(209, 16, 1, "Ambiguous column name '" + col + "'.");
                found = &t;
                idx = i;
            }
            if (found) {
                typed r;
                r.sql = quote_id(found->sql_alias) + "." + quote_id(found->table->cols[static_cast<std::size_t>(idx)].name);
                r.type = found->table->cols[static_cast<std::size_t>(idx)].vt();
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
            throw compile_err(4104, 16, 1, "The multi-part identifier \"" + join_name(p) + "\" could not be bound.");
        invalid_column(col);
    }

    static bool is_textish(vtype t) { return t == vtype::text || t == vtype::unknown; }

    std::string compare(const typed& a, const std::string& op, const typed& b) {
        std::string l = a.sql, r = b.sql;
        bool an = a.type == vtype::integer || a.type == vtype::decimal;
        bool bn = b.type == vtype::integer || b.type == vtype::decimal;
        if (an && b.type == vtype::text) r = "tsql_num(" + r + ")";
        if (bn && a.type == vtype::text) l = "tsql_num(" + l + ")";
        if (a.type == vtype::datetime && b.type == vtype::text) r = "tsql_dt(" + r + ")";
        if (b.type == vtype::datetime && a.type == vtype::text) l = "tsql_dt(" + l + ")";
        return "((" + l + ") " + op + " (" + r + ") COLLATE TSQL)";
    }

    typed expression(const expr& e, const scope& sc) {
        typed r;
        switch (e.kind) {
        case expr::lit_int:
            r.sql = e.value;
            r.type = vtype::integer;
            return r;
        case expr::lit_num:
            r.sql = e.value;
            r.type = vtype::decimal;
            return r;
        case expr::lit_str:
            r.sql = quote_str(e.value);
            r.type = vtype::text;
            return r;
        case expr::lit_null:
            if (e.op == "DEFAULT") throw compile_err(156, 15, 1, "Incorrect syntax near the keyword 'DEFAULT'.");
            r.sql = "NULL";
            return r;
        case expr::column:
            return column_ref(e, sc);
        case expr::sysvar:
            return sysvar(e.op);
        case expr::variable: {
            auto it = c.vars_.find(to_lower(e.op));
            if (it == c.vars_.end()) throw compile_err(137, 15, 2, "Must declare the scalar variable \"" + e.op + "\".");
            const sql_value& v = it->second.value;
            if (std::holds_alternative<std::monostate>(v)) r.sql = "NULL";
            else if (std::holds_alternative<std::string>(v)) r.sql = quote_str(std::get<std::string>(v));
            else r.sql = value_text(v);
            r.type = vtype_of(it->second.type);
            return r;
        }
        case expr::unary: {
            typed a = expression(*e.args[0], sc);
            if (e.op == "NOT") { r.sql = "(NOT " + a.sql + ")"; r.type = vtype::integer; }
            else if (e.op == "-") { r.sql = "(-" + num(a) + ")"; r.type = a.type; }
            else if (e.op == "~") { r.sql = "(~" + num(a) + ")"; r.type = vtype::integer; }
            else { r.sql = a.sql; r.type = a.type; }
            return r;
        }
        case expr::binary:
            return binary(e, sc);
        case expr::func:
            return function(e, sc);
        case expr::in_list: {
            typed a = expression(*e.args[0], sc);
            bool an = a.type == vtype::integer || a.type == vtype::decimal;
            std::string list;
            for (std::size_t i = 1; i < e.args.size(); ++i) {
                typed v = expression(*e.args[i], sc);
                if (i > 1) list += ",";
                list += (an && v.type == vtype::text) ? "tsql_num(" + v.sql + ")" : v.sql;
            }
            r.sql = "((" + a.sql + ") COLLATE TSQL " + (e.negated ? "NOT IN" : "IN") + " (" + list + "))";
            r.type = vtype::integer;
            return r;
        }
        case expr::in_select: {
            typed a = expression(*e.args[0], sc);
            select_out so = select(*e.sub, &sc, false);
            if (so.names.size() != 1)
                throw compile_err(116, 16, 1, "Only one expression can be specified in the select list when the subquery is not introduced with EXISTS.");
            r.sql = "((" + a.sql + ") COLLATE TSQL " + (e.negated ? "NOT IN" : "IN") + " (" + so.sql + "))";
            r.type = vtype::integer;
            return r;
        }
        case expr::exists: {
            select_out so = select(*e.sub, &sc, false);
            r.sql = "(EXISTS (" + so.sql + "))";
            r.type = vtype::integer;
            return r;
        }
        case expr::subquery: {
            select_out so = select(*e.sub, &sc, false);
            if (so.names.size() != 1)
                throw compile_err(116, 16, 1, "Only one expression can be specified in the select list when the subquery is not introduced with EXISTS.");
            r.sql = "(" + so.sql + ")";
            r.type = so.types[0];
            return r;
        }
        case expr::is_null: {
            typed a = expression(*e.args[0], sc);
            r.sql = "((" + a.sql + ") IS " + (e.negated ? "NOT NULL)" : "NULL)");
            r.type = vtype::integer;
            return r;
        }
        case expr::like: {
            typed a = expression(*e.args[0], sc);
            typed p = expression(*e.args[1], sc);
            std::string call = "tsql_like(" + a.sql + "," + p.sql;
            if (e.args.size() > 2) call += "," + expression(*e.args[2], sc).sql;
            call += ")";
            r.sql = e.negated ? "(NOT " + call + ")" : call;
            r.type = vtype::integer;
            return r;
        }
        case expr::between: {
            typed a = expression(*e.args[0], sc);
            typed lo = expression(*e.args[1], sc);
            typed hi = expression(*e.args[2], sc);
            std::string s = "(" + compare(a, ">=", lo) + " AND " + compare(a, "<=", hi) + ")";
            r.sql = e.negated ? "(NOT " + s + ")" : s;
            r.type = vtype::integer;
            return r;
        }
        case expr::case_when: {
            std::string s = "(CASE";
            std::size_t i = 1;
            typed operand;
            bool has_operand = e.args[0] != nullptr;
            if (has_operand) operand = expression(*e.args[0], sc);
            vtype result = vtype::unknown;
            std::size_t n = e.args.size();
            std::size_t pairs_end = e.value == "ELSE" ? n - 1 : n;
            for (; i + 1 < pairs_end + 1 && i < pairs_end; i += 2) {
                typed w = expression(*e.args[i], sc);
                typed t = expression(*e.args[i + 1], sc);
                if (has_operand) s += " WHEN " + compare(operand, "=", w);
                else s += " WHEN " + w.sql;
                s += " THEN " + t.sql;
                if (result == vtype::unknown) result = t.type;
            }
            if (e.value == "ELSE") {
                typed el = expression(*e.args[n - 1], sc);
                s += " ELSE " + el.sql;
                if (result == vtype::unknown) result = el.type;
            }
            s += " END)";
            r.sql = s;
            r.type = result;
            return r;
        }
        case expr::cast: {
            typed a = expression(*e.args[0], sc);
            if (!known_type(e.type.name))
                throw compile_err(243, 16, 1, "Type " + e.type.name + " is not a defined system type.");
            type_spec t = normalized(e.type, true);
            std::string x = a.sql;
            if (vtype_of(t) == vtype::text && a.type == vtype::datetime && e.args.size() > 1) {
                // CONVERT(varchar, date, style): only the common ISO-ish styles.
                x = "tsql_style(" + x + "," + expression(*e.args[1], sc).sql + ")";
            }
            r.sql = cvt_call(x, t, false);
            r.type = vtype_of(t);
            return r;
        }
        case expr::star:
            r.sql = "*";
            return r;
        }
        return r;
    }

    std::string num(const typed& a) {
        if (a.type == vtype::text) return "tsql_num(" + a.sql + ")";
        return a.sql;
    }

    typed sysvar(const std::string& name) {
        typed r;
        r.type = vtype::integer;
        if (name == "@@TRANCOUNT") r.sql = std::to_string(c.trancount_);
        else if (name == "@@ROWCOUNT") r.sql = std::to_string(c.rowcount_);
        else if (name == "@@ERROR") r.sql = std::to_string(c.last_error_);
        else if (name == "@@SPID") r.sql = std::to_string(c.spid_);
        else if (name == "@@IDENTITY") r.sql = c.have_identity_ ? std::to_string(c.last_identity_) : "NULL";
        else if (name == "@@VERSION") {
            r.sql = quote_str("Microsoft SQL Server 2008 R2 (SP2) - 10.50.4000.0 (Velmora stand-in)");
            r.type = vtype::text;
        } else if (name == "@@SERVERNAME" || name == "@@SERVICENAME") {
            r.sql = quote_str("STANDIN");
            r.type = vtype::text;
        } else if (name == "@@LANGUAGE") {
            r.sql = quote_str("us_english");
            r.type = vtype::text;
        } else if (name == "@@OPTIONS") r.sql = "5496";
        else if (name == "@@MAX_PRECISION") r.sql = "38";
        else if (name == "@@TEXTSIZE") r.sql = "2147483647";
        else if (name == "@@NESTLEVEL") r.sql = "0";
        else if (name == "@@LOCK_TIMEOUT") r.sql = std::to_string(c.lock_timeout_ms_);
        else throw compile_err(137, 15, 2, "Must declare the scalar variable \"" + name + "\".");
        return r;
    }

    typed binary(const expr& e, const scope& sc) {
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
            } else if (an && bn) {
                r.sql = "(" + a.sql + " + " + b.sql + ")";
                r.type = (a.type == vtype::decimal || b.type == vtype::decimal) ? vtype::decimal : vtype::integer;
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

    typed function(const expr& e, const scope& sc) {
        typed r;
        const std::string& f = e.op;
        auto arg = [&](std::size_t i) { return expression(*e.args.at(i), sc); };
        auto want = [&](std::size_t lo, std::size_t hi) {
            if (e.args.size() < lo || e.args.size() > hi)
                throw compile_err(174, 15, 1, "The " + to_lower(f) + " function requires " + std::to_string(lo) +
                                                  " argument(s).");
        };
        if (f == "COUNT" || f == "COUNT_BIG") {
            want(1, 1);
            if (e.args[0]->kind == expr::star) r.sql = "count(*)";
            else r.sql = std::string("count(") + (e.distinct ? "DISTINCT " : "") + arg(0).sql + ")";
            r.type = vtype::integer;
            return r;
        }
        if (f == "MAX" || f == "MIN" || f == "SUM" || f == "AVG") {
            want(1, 1);
            typed a = arg(0);
            std::string d = e.distinct ? "DISTINCT " : "";
            if (f == "AVG" && a.type == vtype::integer) r.sql = "CAST(avg(" + d + a.sql + ") AS INTEGER)";
            else r.sql = to_lower(f) + "(" + d + (f == "SUM" || f == "AVG" ? num(a) : a.sql) + ")";
            r.type = a.type;
            return r;
        }
        if (f == "ISNULL") {
            want(2, 2);
            typed a = arg(0), b = arg(1);
            r.sql = "ifnull(" + a.sql + "," + b.sql + ")";
            r.type = a.type == vtype::unknown ? b.type : a.type;
            return r;
        }
        if (f == "COALESCE") {
            if (e.args.size() < 2) want(2, 99);
            std::string s = "coalesce(";
            for (std::size_t i = 0; i < e.args.size(); ++i) {
                typed a = arg(i);
                if (i) s += ",";
                s += a.sql;
                if (r.type == vtype::unknown) r.type = a.type;
            }
            r.sql = s + ")";
            return r;
        }
        if (f == "NULLIF") {
            want(2, 2);
            typed a = arg(0), b = arg(1);
            r.sql = "(CASE WHEN " + compare(a, "=", b) + " THEN NULL ELSE " + a.sql + " END)";
            r.type = a.type;
            return r;
        }
        if (f == "LOWER" || f == "UPPER") {
            want(1, 1);
            r.sql = to_lower(f) + "(" + arg(0).sql + ")";
            r.type = vtype::text;
            return r;
        }
        if (f == "LTRIM" || f == "RTRIM") {
            want(1, 1);
            r.sql = to_lower(f) + "(" + arg(0).sql + ",' ')";
            r.type = vtype::text;
            return r;
        }
        if (f == "LEFT" || f == "RIGHT") {
            want(2, 2);
            r.sql = "tsql_" + to_lower(f) + "(" + arg(0).sql + "," + num(arg(1)) + ")";
            r.type = vtype::text;
            return r;
        }
        if (f == "LEN" || f == "DATALENGTH") {
            want(1, 1);
            r.sql = "tsql_" + to_lower(f) + "(" + arg(0).sql + ")";
            r.type = vtype::integer;
            return r;
        }
        if (f == "SUBSTRING") {
            want(3, 3);
            r.sql = "tsql_substring(" + arg(0).sql + "," + num(arg(1)) + "," + num(arg(2)) + ")";
            r.type = vtype::text;
            return r;
        }
        if (f == "CHARINDEX") {
            want(2, 3);
            r.sql = "tsql_charindex(" + arg(0).sql + "," + arg(1).sql + (e.args.size() > 2 ? "," + num(arg(2)) : "") + ")";
            r.type = vtype::integer;
            return r;
        }
        if (f == "REPLACE") {
            want(3, 3);
            r.sql = "tsql_replace(" + arg(0).sql + "," + arg(1).sql + "," + arg(2).sql + ")";
            r.type = vtype::text;
            return r;
        }
        if (f == "REPLICATE") {
            want(2, 2);
            r.sql = "tsql_replicate(" + arg(0).sql + "," + num(arg(1)) + ")";
            r.type = vtype::text;
            return r;
        }
        if (f == "SPACE") {
            want(1, 1);
            r.sql = "tsql_space(" + num(arg(0)) + ")";
            r.type = vtype::text;
            return r;
        }
        if (f == "ABS") {
            want(1, 1);
            typed a = arg(0);
            r.sql = "abs(" + num(a) + ")";
            r.type = a.type;
            return r;
        }
        if (f == "ROUND") {
            want(2, 3);
            typed a = arg(0);
            r.sql = "round(" + num(a) + "," + num(arg(1)) + ")";
            r.type = a.type == vtype::integer ? vtype::integer : vtype::decimal;
            if (r.type == vtype::integer) r.sql = "CAST(" + r.sql + " AS INTEGER)";
            return r;
        }
        if (f == "GETDATE" || f == "SYSDATETIME" || f == "CURRENT_TIMESTAMP") {
            want(0, 0);
            r.sql = "tsql_getdate()";
            r.type = vtype::datetime;
            return r;
        }
        if (f == "ISNUMERIC") {
            want(1, 1);
            r.sql = "tsql_isnumeric(" + arg(0).sql + ")";
            r.type = vtype::integer;
            return r;
        }
        if (f == "OBJECT_ID") {
            want(1, 2);
            r.sql = "tsql_object_id(" + arg(0).sql + (e.args.size() > 1 ? "," + arg(1).sql : "") + ")";
            r.type = vtype::integer;
            return r;
        }
        if (f == "OBJECTPROPERTY") {
            want(2, 2);
            r.sql = "tsql_objectproperty(" + num(arg(0)) + "," + arg(1).sql + ")";
            r.type = vtype::integer;
            return r;
        }
        if (f == "OBJECT_NAME") {
            want(1, 1);
            r.sql = "(SELECT name FROM sysobjects WHERE id = " + num(arg(0)) + ")";
            r.type = vtype::text;
            return r;
        }
        if (f == "DB_NAME") {
            want(0, 1);
            r.sql = e.args.empty() ? quote_str(c.db_) : "tsql_db_name(" + num(arg(0)) + ")";
            r.type = vtype::text;
            return r;
        }
        if (f == "DB_ID") {
            want(0, 1);
            r.sql = "tsql_db_id(" + (e.args.empty() ? quote_str(c.db_) : arg(0).sql) + ")";
            r.type = vtype::integer;
            return r;
        }
        if (f == "USER_NAME" || f == "CURRENT_USER" || f == "SCHEMA_NAME") {
            r.sql = quote_str("dbo");
            r.type = vtype::text;
            return r;
        }
        if (f == "SUSER_SNAME" || f == "SUSER_NAME" || f == "SYSTEM_USER") {
            r.sql = quote_str(c.user_);
            r.type = vtype::text;
            return r;
        }
        if (f == "HOST_NAME" || f == "APP_NAME") {
            r.sql = "''";
            r.type = vtype::text;
            return r;
        }
        if (f == "SERVERPROPERTY") {
            want(1, 1);
            r.sql = "(CASE lower(" + arg(0).sql + ") WHEN 'productversion' THEN '10.50.4000.0' WHEN 'edition' THEN 'Developer Edition' WHEN 'collation' THEN 'Chinese_PRC_CI_AS' WHEN 'servername' THEN 'STANDIN' ELSE NULL END)";
            r.type = vtype::text;
            return r;
        }
        if (f == "YEAR" || f == "MONTH" || f == "DAY") {
            want(1, 1);
            int off = f == "YEAR" ? 1 : f == "MONTH" ? 6 : 9;
            int len = f == "YEAR" ? 4 : 2;
            r.sql = "CAST(substr(tsql_dt(" + arg(0).sql + ")," + std::to_string(off) + "," + std::to_string(len) + ") AS INTEGER)";
            r.type = vtype::integer;
            return r;
        }
        if (f == "STR") {
            want(1, 3);
            r.sql = "CAST(" + num(arg(0)) + " AS TEXT)";
            r.type = vtype::text;
            return r;
        }
        throw compile_err(195, 15, 10, "'" + to_lower(f) + "' is not a recognized built-in function name.");
    }

    static bool has_aggregate(const expr& e) {
        if (e.kind == expr::func && (e.op == "COUNT" || e.op == "COUNT_BIG" || e.op == "MAX" || e.op == "MIN" ||
                                     e.op == "SUM" || e.op == "AVG"))
            return true;
        for (const auto& a : e.args)
            if (a && has_aggregate(*a)) return true;
        return false;
    }

    std::string build_from(const std::vector<table_ref>& refs, scope& sc) {
        std::string from;
        for (std::size_t i = 0; i < refs.size(); ++i) {
            const table_ref& r = refs[i];
            scope_entry e = table_entry(r);
            for (const auto& t : sc.tables)
                if (ieq(t.alias, e.alias))
                    throw compile_err(1013, 16, 1, "The objects \"" + t.alias + "\" and \"" + e.alias +
                                                       "\" in the FROM clause have the same exposed names. Use correlation names to distinguish them.");
            std::string src = e.table->sql_name == "temp.sysdatabases" ? "temp.sysdatabases" : quote_id(e.table->sql_name);
            std::string piece = src + " AS " + quote_id(e.sql_alias);
            sc.tables.push_back(e);
            if (i == 0) from = piece;
            else if (r.join.empty()) from += ", " + piece;
            else {
                std::string j = r.join == "INNER" ? " JOIN " : r.join == "LEFT" ? " LEFT JOIN " : r.join == "CROSS" ? " CROSS JOIN " : "";
                if (j.empty()) throw compile_err(102, 15, 1, "Incorrect syntax near '" + r.join + "'.");
                from += j + piece;
                if (r.on) from += " ON " + expression(*r.on, sc).sql;
            }
        }
        return from;
    }

    // Translates a SELECT. forced_names: name the output columns c0..cn.
    select_out select(const select_stmt& s, const scope* parent, bool forced_names) {
        select_out out;
        scope sc;
        sc.parent = parent;
        std::string from = build_from(s.from, sc);
        std::string items;
        bool any_agg = false;
        auto add_item = [&](const std::string& sql, const std::string& name, vtype t) {
            if (!items.empty()) items += ", ";
            std::string x = sql;
            if (s.distinct && is_textish(t)) x = "(" + x + ") COLLATE TSQL";
            items += x;
            if (forced_names) items += " AS " + quote_id("c" + std::to_string(out.names.size()));
            else items += " AS " + quote_id("c" + std::to_string(out.names.size()));
            out.names.push_back(name);
            out.types.push_back(t);
        };
        for (const auto& it : s.items) {
            if (it.star) {
                bool matched = false;
                for (const auto& t : sc.tables) {
                    if (!it.star_qualifier.empty()) {
                        const std::string& q = it.star_qualifier.back();
                        if (!ieq(t.alias, q) && !ieq(t.table->name, q)) continue;
                    }
                    matched = true;
                    for (const auto& col : t.table->cols)
                        add_item(quote_id(t.sql_alias) + "." + quote_id(col.name), col.name, col.vt());
                }
                if (!matched) {
                    if (sc.tables.empty()) throw compile_err(263, 16, 1, "Must specify table to select from.");
                    throw compile_err(4104, 16, 1, "The multi-part identifier \"" + join_name(it.star_qualifier) + "\" could not be bound.");
                }
                continue;
            }
            typed t = expression(*it.e, sc);
            if (has_aggregate(*it.e)) any_agg = true;
            std::string name = it.alias;
            if (name.empty() && it.e->kind == expr::column) name = it.e->parts.back();
            if (it.e->kind == expr::column && name == it.e->parts.back()) {
                // The column's own spelling from the catalog, as SQL Server names it.
                for (const auto& te : sc.tables) {
                    int ci = te.table->find(name);
                    if (ci >= 0 && (it.e->parts.size() < 2 || ieq(te.alias, it.e->parts[it.e->parts.size() - 2]) || ieq(te.table->name, it.e->parts[it.e->parts.size() - 2]))) {
                        if (it.alias.empty()) name = te.table->cols[static_cast<std::size_t>(ci)].name;
                        break;
                    }
                }
            }
            add_item(t.sql, name, t.type);
        }
        std::string sql = "SELECT ";
        if (s.distinct) sql += "DISTINCT ";
        sql += items;
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
                throw compile_err(205, 16, 1, "All queries combined using a UNION, INTERSECT or EXCEPT operator must have an equal number of expressions in their target lists.");
            sql += s.union_all ? " UNION ALL " : " UNION ";
            sql += rest.sql;
        }
        std::string order;
        for (const auto& o : s.order_by) {
            if (!order.empty()) order += ", ";
            std::string term;
            if (o.e->kind == expr::lit_int) {
                int k = std::atoi(o.e->value.c_str());
                if (k < 1 || k > static_cast<int>(out.names.size()))
                    throw compile_err(108, 16, 1, "The ORDER BY position number " + o.e->value + " is out of range of the number of items in the select list.");
                term = std::to_string(k);
            } else if (o.e->kind == expr::column && o.e->parts.size() == 1) {
                for (std::size_t i = 0; i < s.items.size() && i < out.names.size(); ++i)
                    if (!s.items[i].alias.empty() && ieq(s.items[i].alias, o.e->parts[0])) term = quote_id("c" + std::to_string(i));
            }
            if (term.empty()) {
                if (s.union_next) {
                    for (std::size_t i = 0; i < out.names.size(); ++i)
                        if (o.e->kind == expr::column && ieq(out.names[i], o.e->parts.back())) term = std::to_string(i + 1);
                    if (term.empty()) throw compile_err(104, 16, 1, "ORDER BY items must appear in the select list if the statement contains a UNION, INTERSECT or EXCEPT operator.");
                } else {
                    typed t = expression(*o.e, sc);
                    term = t.sql;
                    if (is_textish(t.type)) term = "(" + term + ") COLLATE TSQL";
                }
            }
            order += term + (o.desc ? " DESC" : "");
        }
        if (order.empty() && !s.union_next && !s.distinct && s.group_by.empty() && !any_agg && sc.tables.size() == 1 &&
            !sc.tables[0].table->pk.empty()) {
            // Rows of a table with a clustered primary key come back in key order.
            for (std::size_t k : sc.tables[0].table->pk) {
                if (!order.empty()) order += ", ";
                order += quote_id(sc.tables[0].sql_alias) + "." + quote_id(sc.tables[0].table->cols[k].name);
            }
        }
        if (!order.empty()) sql += " ORDER BY " + order;
        if (s.top) sql += " LIMIT " + num(expression(*s.top, sc));
        out.sql = sql;
        return out;
    }
};

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
    if (!for_write && (owner.empty() || ieq(owner, "dbo") || ieq(owner, "sys"))) {
        if (ieq(name, "sysdatabases")) {
            refresh_sysdatabases(h);
            return std::make_shared<table_info>(system_table("sysdatabases", sysdatabases_cols(), "temp.sysdatabases"));
        }
        if (!other_db && ieq(name, "sysobjects"))
            return std::make_shared<table_info>(system_table("sysobjects", sysobjects_cols(), "sysobjects"));
        if (!other_db && ieq(name, "syscolumns"))
            return std::make_shared<table_info>(system_table("syscolumns", syscolumns_cols(), "syscolumns"));
    }
    // The catalog views of SQL Server 2005 and later, as generated scripts use them.
    if (!for_write && ieq(owner, "sys")) {
        if (ieq(name, "databases")) {
            refresh_sysdatabases(h);
            return std::make_shared<table_info>(system_table("databases", sys_databases_cols(), "sys_databases"));
        }
        if (!other_db && (ieq(name, "objects") || ieq(name, "procedures") || ieq(name, "tables")))
            return std::make_shared<table_info>(system_table(to_lower(name), sys_objects_cols(), "sys_" + to_lower(name)));
        if (!other_db && ieq(name, "triggers"))
            return std::make_shared<table_info>(system_table("triggers", sys_triggers_cols(), "sys_triggers"));
    }
    if (!other_db && (owner.empty() || ieq(owner, "dbo"))) {
        auto t = load_table(h, name);
        if (t) return t;
    }
    throw compile_err(208, 16, 1, "Invalid object name '" + join_name(parts) + "'.");
}

void conn_impl::refresh_sysdatabases(sqlite3* h) {
    exec_raw(h, "CREATE TEMP TABLE IF NOT EXISTS sysdatabases(name TEXT COLLATE TSQL, dbid INT, sid TEXT, mode INT,"
                " status INT, status2 INT, crdate TEXT, reserved TEXT, category INT, cmptlevel INT,"
                " filename TEXT, version INT)");
    exec_raw(h, "CREATE TEMP VIEW IF NOT EXISTS sys_databases AS SELECT name, dbid AS database_id, crdate AS create_date,"
                " cmptlevel AS compatibility_level, 'Chinese_PRC_CI_AS' AS collation_name FROM temp.sysdatabases");
    run(h, "DELETE FROM temp.sysdatabases", {});
    for (const auto& d : eng_.all_dbs())
        run(h, "INSERT INTO temp.sysdatabases VALUES (?1, ?2, NULL, 0, 16, 1090520064, ?3, '1900-01-01 00:00:00.000', 0, 100, ?4, 661)",
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
    auto v = scalar(h, "SELECT max(id) FROM sysobjects", {});
    long long base = 1977058079;
    if (v && std::holds_alternative<std::int64_t>(*v)) base = std::get<std::int64_t>(*v) + 16;
    return base;
}

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
        case 108: out = s.substr(11, 8); break;
        case 101: out = m + "/" + d + "/" + y; break;
        case 102: out = y + "." + m + "." + d; break;
        default: break;
        }
    }
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

void conn_impl::register_connection_functions(sqlite3* h) {
    sqlite3_create_function(h, "tsql_object_id", -1, SQLITE_UTF8, this, fn_object_id, nullptr, nullptr);
    sqlite3_create_function(h, "tsql_objectproperty", 2, SQLITE_UTF8, this, fn_objectproperty, nullptr, nullptr);
    sqlite3_create_function(h, "tsql_db_name", 1, SQLITE_UTF8, this, fn_db_name, nullptr, nullptr);
    sqlite3_create_function(h, "tsql_db_id", 1, SQLITE_UTF8, this, fn_db_id, nullptr, nullptr);
    sqlite3_create_function(h, "tsql_style", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, this, fn_style, nullptr, nullptr);
}

// ------------------------------------------------------------------ batches

bool is_write(const statement& st) {
    switch (st.kind) {
    case statement::insert: case statement::update: case statement::delete_:
    case statement::create_table: case statement::alter_add: case statement::alter_drop_column:
    case statement::drop_table: case statement::create_module: case statement::drop_module:
    case statement::truncate:
        return true;
    case statement::select:
        return st.query && !st.query->from.empty();
    default:
        return false;
    }
}

batch_reply conn_impl::execute_batch(const std::string& sql) {
    batch_reply r;
    reply_ = &r;
    batch_text_ = sql;
    // Bound the statement cache; nothing is running between batches.
    for (auto& [id, c] : cache_)
        if (c.size() > 300) {
            for (auto& [k, v] : c) sqlite3_finalize(v);
            c.clear();
        }
    vars_.clear();
    interrupted_ = false;
    std::vector<token> toks = tokenize(sql);
    std::vector<stmt_ptr> stmts;
    try {
        stmts = parse_batch(sql, toks);
    } catch (const syntax_error& e) {
        int sev = (e.number == 102 || e.number == 156 || e.number == 111 || e.number == 105 || e.number == 195) ? 15 : 16;
        auto te = err(e.number, sev, e.number == 195 ? 1 : 1, e.what());
        report(te, e.line);
        reply_ = nullptr;
        return r;
    }
    for (const auto& st : stmts) {
        line_ = st->line;
        alias_counter_ = 0;  // same statement text, same SQLite text: the prepared one is reused
        try {
            exec_stmt(*st);
        } catch (const return_signal&) {
            break;
        } catch (const request_interrupted&) {
            r.interrupted = true;
            break;
        } catch (const std::exception& e) {
            // Never expected; reported instead of taking the connection down.
            report(err(50000, 16, 1, std::string("Internal error: ") + e.what()), line_);
            break;
        } catch (const tsql_error& e) {
            report(e, line_);
            if (e.rollback_tran && trancount_ > 0) {
                try {
                    rollback_tran();
                } catch (const tsql_error&) {
                }
            }
            if (e.abort_batch) break;
        }
    }
    reply_ = nullptr;
    return r;
}

void conn_impl::exec_stmt(const statement& st) {
    line_ = st.line;
    if (is_write(st)) implicit_begin();
    switch (st.kind) {
    case statement::select: exec_select(st); return;
    case statement::insert: exec_insert(st); return;
    case statement::update: exec_update(st); return;
    case statement::delete_: exec_delete(st); return;
    case statement::truncate: {
        sqlite3* h = handle();
        check_owner(st.name);
        auto t = resolve_table(h, st.name, true);
        atomic_stmt a(*this, h);
        run(h, "DELETE FROM " + quote_id(t->name), {});
        a.commit();
        done(false, 0);
        return;
    }
    case statement::create_table: exec_create_table(st); return;
    case statement::alter_add: exec_alter_add(st); return;
    case statement::alter_drop_column: exec_alter_drop(st); return;
    case statement::drop_table: exec_drop_table(st); return;
    case statement::create_module: exec_create_module(st); return;
    case statement::drop_module: exec_drop_module(st); return;
    case statement::use: exec_use(st); return;
    case statement::create_database: exec_create_database(st); return;
    case statement::drop_database:
        throw err(3702, 16, 4, "Cannot drop database \"" + st.name.back() + "\" because it is currently in use.");
    case statement::if_: {
        bool cond = eval_condition(*st.condition);
        if (cond) exec_stmt(*st.then_branch);
        else if (st.else_branch) exec_stmt(*st.else_branch);
        return;
    }
    case statement::block:
        for (const auto& s : st.body) {
            try {
                exec_stmt(*s);
            } catch (const tsql_error& e) {
                if (e.abort_batch) throw;
                report(e, s->line);
                if (e.rollback_tran && trancount_ > 0) rollback_tran();
            }
        }
        return;
    case statement::set_option: exec_set(st); return;
    case statement::begin_tran: begin_tran(); done(false, 0); return;
    case statement::commit:
        if (trancount_ == 0) throw err(3902, 16, 1, "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.");
        commit_tran();
        done(false, 0);
        return;
    case statement::rollback:
        if (trancount_ == 0) throw err(3903, 16, 1, "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.");
        rollback_tran();
        done(false, 0);
        return;
    case statement::save_tran:
        if (trancount_ == 0) throw err(628, 16, 0, "Cannot issue SAVE TRANSACTION when there is no active transaction.");
        done(false, 0);
        return;
    case statement::exec: exec_exec(st); return;
    case statement::print: {
        sqlite3* h = handle();
        translator tr(*this, h);
        scope sc;
        typed t = tr.expression(*st.args[0], sc);
        auto v = scalar(h, "SELECT " + t.sql, {});
        info(0, v ? (std::holds_alternative<std::monostate>(*v) ? "" : value_text(*v)) : "");
        return;
    }
    case statement::declare: {
        for (std::size_t i = 0; i < st.arg_names.size(); ++i) {
            const std::string key = to_lower(st.arg_names[i]);
            if (vars_.count(key))
                throw compile_err(134, 15, 1, "The variable name '" + st.arg_names[i] + "' has already been declared. Variable names must be unique within a query batch or stored procedure.");
            if (!known_type(st.types[i].name))
                throw compile_err(2715, 16, 3, "Column, parameter, or variable #" + std::to_string(i + 1) + ": Cannot find data type " + st.types[i].name + ".");
            variable v;
            v.type = normalized(st.types[i], false);
            if (st.args[i]) v.value = evaluate(*st.args[i], v.type);
            vars_[key] = v;
        }
        return;
    }
    case statement::set_variable: {
        auto it = vars_.find(to_lower(st.arg_names[0]));
        if (it == vars_.end()) throw compile_err(137, 15, 2, "Must declare the scalar variable \"" + st.arg_names[0] + "\".");
        it->second.value = evaluate(*st.args[0], it->second.type);
        return;
    }
    case statement::return_:
        // Ends the procedure, or the batch at its top level.
        if (exec_depth_ > 0 && !st.args.empty()) {
            type_spec int_type;
            int_type.name = "INT";
            sql_value v = evaluate(*st.args[0], int_type);
            return_status_ = std::holds_alternative<std::int64_t>(v) ? static_cast<int>(std::get<std::int64_t>(v)) : 0;
        }
        throw return_signal{};
    case statement::noop: return;
    }
}

sql_value conn_impl::evaluate(const expr& e, const type_spec& type) {
    sqlite3* h = handle();
    translator tr(*this, h);
    scope sc;
    typed t = tr.expression(e, sc);
    auto v = scalar(h, "SELECT " + cvt_call(t.sql, type, false), {});
    return v ? *v : sql_value{};
}

bool conn_impl::eval_condition(const expr& e) {
    sqlite3* h = handle();
    translator tr(*this, h);
    scope sc;
    typed t = tr.expression(e, sc);
    auto v = scalar(h, "SELECT CASE WHEN " + t.sql + " THEN 1 ELSE 0 END", {});
    return v && std::holds_alternative<std::int64_t>(*v) && std::get<std::int64_t>(*v) == 1;
}

// Output column type: the static type where it fits every value, else text.
column_type decide_type(vtype t, const std::vector<std::vector<sql_value>>& rows, std::size_t i) {
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
        if (all_num) return column_type::decimal;
        return column_type::text;
    case vtype::decimal:
        return all_num ? column_type::decimal : column_type::text;
    case vtype::datetime:
        return all_num && any ? column_type::decimal : column_type::datetime;
    case vtype::text:
        return column_type::text;
    case vtype::unknown:
        if (!any) return column_type::text;
        if (all_int) return column_type::integer;
        if (all_num) return column_type::decimal;
        return column_type::text;
    }
    return column_type::text;
}

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
            throw compile_err(141, 15, 1, "A SELECT statement that assigns a value to a variable must not be combined with data-retrieval operations.");
        std::vector<variable*> targets;
        std::string conv = "SELECT ";
        for (std::size_t i = 0; i < st.query->items.size(); ++i) {
            auto v = vars_.find(to_lower(st.query->items[i].assign));
            if (v == vars_.end())
                throw compile_err(137, 15, 2, "Must declare the scalar variable \"" + st.query->items[i].assign + "\".");
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
    for (std::size_t i = 0; i < so.names.size(); ++i) {
        column c;
        c.name = so.names[i];
        c.type = decide_type(so.types[i], rows, i);
        rs.columns.push_back(c);
    }
    for (auto& r : rows)
        for (std::size_t i = 0; i < r.size(); ++i) {
            auto& v = r[i];
            if (std::holds_alternative<std::monostate>(v)) continue;
            if (rs.columns[i].type == column_type::text || rs.columns[i].type == column_type::datetime) {
                if (!std::holds_alternative<std::string>(v)) v = value_text(v);
            } else if (rs.columns[i].type == column_type::decimal && std::holds_alternative<std::int64_t>(v)) {
                v = static_cast<double>(std::get<std::int64_t>(v));
            }
        }
    rs.rows = std::move(rows);
    std::int64_t n = static_cast<std::int64_t>(rs.rows.size());
    reply_->items.push_back(std::move(rs));
    done(true, n);
}

// A stored default, parsed back into an expression.
expr_ptr parse_default(const std::string& text) {
    std::string sql = "SELECT " + text;
    auto toks = tokenize(sql);
    auto stmts = parse_batch(sql, toks);
    return std::move(stmts.at(0)->query->items.at(0).e);
}

std::string null_error(const std::string& col, const std::string& db, const std::string& table, const char* verb) {
    return "Cannot insert the value NULL into column '" + col + "', table '" + db + ".dbo." + table +
           "'; column does not allow nulls. " + verb + " fails.";
}

tsql_error duplicate_key(const table_info& t, const std::vector<sql_value>& key) {
    std::string v;
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (i) v += ", ";
        v += value_text(key[i]);
    }
    auto e = err(2627, 14, 1, "Violation of PRIMARY KEY constraint '" + t.pk_name +
                                   "'. Cannot insert duplicate key in object 'dbo." + t.name +
                                   "'. The duplicate key value is (" + v + ").");
    e.terminated = true;
    return e;
}

void conn_impl::exec_insert(const statement& st) {
    sqlite3* h = handle();
    check_owner(st.name);
    auto t = resolve_table(h, st.name, true);
    translator tr(*this, h);
    bool ident_insert = identity_insert_.count(t->id) != 0;
    std::vector<int> target;
    bool explicit_list = !st.columns.empty();
    if (explicit_list) {
        for (const auto& c : st.columns) {
            int i = t->find(c);
            if (i < 0) throw compile_err(207, 16, 1, "Invalid column name '" + c + "'.");
            if (std::find(target.begin(), target.end(), i) != target.end())
                throw compile_err(264, 16, 1, "The column name '" + c + "' is specified more than once in the SET clause or column list of an INSERT. A column cannot be assigned more than one value in the same clause. Modify the clause to make sure that a column is updated only once. If this statement updates or inserts columns into a view, column aliasing can conceal the duplication in your code.");
            if (t->cols[static_cast<std::size_t>(i)].identity && !ident_insert)
                throw err(544, 16, 1, "Cannot insert explicit value for identity column in table '" + t->name + "' when IDENTITY_INSERT is set to OFF.");
            target.push_back(i);
        }
    } else if (!st.default_values) {
        for (std::size_t i = 0; i < t->cols.size(); ++i)
            if (!t->cols[i].identity || ident_insert) target.push_back(static_cast<int>(i));
    }
    if (ident_insert && !explicit_list && !st.default_values)
        throw err(8101, 16, 1, "An explicit value for the identity column in table '" + t->name + "' can only be specified when a column list is used and IDENTITY_INSERT is ON.");

    scope none;
    auto default_sql = [&](std::size_t j) -> std::string {
        const col_info& c = t->cols[j];
        if (c.default_text.empty()) return "NULL";
        auto e = parse_default(c.default_text);
        return cvt_call(tr.expression(*e, none).sql, c.type, true);
    };
    // One SELECT per source producing whole rows in table order, converted.
    auto full_row = [&](const std::function<std::string(std::size_t)>& value_of) {
        std::string items;
        for (std::size_t j = 0; j < t->cols.size(); ++j) {
            if (j) items += ", ";
            auto pos = std::find(target.begin(), target.end(), static_cast<int>(j));
            if (pos != target.end()) items += value_of(static_cast<std::size_t>(pos - target.begin()));
            else if (t->cols[j].identity) items += "NULL";
            else items += default_sql(j);
        }
        return items;
    };
    std::vector<std::string> sources;
    if (st.default_values) {
        sources.push_back("SELECT " + full_row([](std::size_t) { return std::string("NULL"); }));
    } else if (st.query) {
        select_out so = tr.select(*st.query, nullptr, true);
        if (so.names.size() != target.size()) {
            if (!explicit_list) throw compile_err(213, 16, 1, "Column name or number of supplied values does not match table definition.");
            if (so.names.size() < target.size())
                throw compile_err(120, 15, 1, "The select list for the INSERT statement contains fewer items than the insert list. The number of SELECT values must match the number of INSERT columns.");
            throw compile_err(121, 15, 1, "The select list for the INSERT statement contains more items than the insert list. The number of SELECT values must match the number of INSERT columns.");
        }
        sources.push_back("SELECT " + full_row([&](std::size_t k) {
                              return cvt_call("\"_src\".\"c" + std::to_string(k) + "\"",
                                              t->cols[static_cast<std::size_t>(target[k])].type, true);
                          }) +
                          " FROM (" + so.sql + ") AS \"_src\"");
    } else {
        for (const auto& row : st.values) {
            if (row.size() != target.size()) {
                if (!explicit_list) throw compile_err(213, 16, 1, "Column name or number of supplied values does not match table definition.");
                if (row.size() < target.size())
                    throw compile_err(109, 15, 1, "There are more columns in the INSERT statement than values specified in the VALUES clause. The number of values in the VALUES clause must match the number of columns specified in the INSERT statement.");
                throw compile_err(110, 15, 1, "There are fewer columns in the INSERT statement than values specified in the VALUES clause. The number of values in the VALUES clause must match the number of columns specified in the INSERT statement.");
            }
            sources.push_back("SELECT " + full_row([&](std::size_t k) {
                                  std::size_t j = static_cast<std::size_t>(target[k]);
                                  const expr& e = *row[k];
                                  if (e.kind == expr::lit_null && e.op == "DEFAULT") return default_sql(j);
                                  return cvt_call(tr.expression(e, none).sql, t->cols[j].type, true);
                              }));
        }
    }
    std::vector<std::vector<sql_value>> rows;
    for (const auto& src : sources) run(h, src, {}, &rows);

    int ident_col = -1;
    for (std::size_t j = 0; j < t->cols.size(); ++j)
        if (t->cols[j].identity && std::find(target.begin(), target.end(), static_cast<int>(j)) == target.end())
            ident_col = static_cast<int>(j);
    atomic_stmt a(*this, h);
    if (ident_col >= 0 && !rows.empty()) {
        const col_info& ic = t->cols[static_cast<std::size_t>(ident_col)];
        auto mx = scalar(h, "SELECT max(" + quote_id(ic.name) + ") FROM " + quote_id(t->name), {});
        std::int64_t next = (mx && std::holds_alternative<std::int64_t>(*mx)) ? std::get<std::int64_t>(*mx) + ic.step : ic.seed;
        for (auto& r : rows) {
            r[static_cast<std::size_t>(ident_col)] = next;
            last_identity_ = next;
            have_identity_ = true;
            next += ic.step;
        }
    }
    for (const auto& r : rows)
        for (std::size_t j = 0; j < t->cols.size(); ++j)
            if (!t->cols[j].nullable && std::holds_alternative<std::monostate>(r[j])) {
                auto e = err(515, 16, 2, null_error(t->cols[j].name, db_, t->name, "INSERT"));
                e.terminated = true;
                throw e;
            }
    std::string ins = "INSERT INTO " + quote_id(t->name) + " (";
    for (std::size_t j = 0; j < t->cols.size(); ++j) ins += (j ? ", " : "") + quote_id(t->cols[j].name);
    ins += ") VALUES (";
    for (std::size_t j = 0; j < t->cols.size(); ++j) ins += (j ? ", ?" : "?");
    ins += ")";
    for (const auto& r : rows) {
        try {
            run(h, ins, r);
        } catch (const constraint_violation&) {
            std::vector<sql_value> key;
            for (std::size_t k : t->pk) key.push_back(r[k]);
            throw duplicate_key(*t, key);
        }
    }
    a.commit();
    done(true, static_cast<std::int64_t>(rows.size()));
}

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

void conn_impl::exec_update(const statement& st) {
    sqlite3* h = handle();
    check_owner(st.name);
    translator tr(*this, h);
    std::size_t ti = 0;
    std::vector<table_ref> refs = dml_tables(st, ti);
    scope sc;
    std::string from = tr.build_from(refs, sc);
    const scope_entry& target = sc.tables[ti];
    if (target.table->system) throw err(259, 16, 1, "Ad hoc updates to system catalogs are not allowed.");
    auto t = target.table;
    std::vector<std::size_t> cols;
    std::string sel = "SELECT " + quote_id(target.sql_alias) + ".rowid";
    for (const auto& s : st.sets) {
        int i = t->find(s.column);
        if (i < 0) throw compile_err(207, 16, 1, "Invalid column name '" + s.column + "'.");
        if (t->cols[static_cast<std::size_t>(i)].identity) throw err(8102, 16, 1, "Cannot update identity column '" + s.column + "'.");
        cols.push_back(static_cast<std::size_t>(i));
        typed v = tr.expression(*s.value, sc);
        sel += ", " + cvt_call(v.sql, t->cols[static_cast<std::size_t>(i)].type, true);
    }
    for (std::size_t k : t->pk) sel += ", " + quote_id(target.sql_alias) + "." + quote_id(t->cols[k].name);
    sel += " FROM " + from;
    if (st.where) sel += " WHERE " + tr.expression(*st.where, sc).sql;
    std::vector<std::vector<sql_value>> rows;
    run(h, sel, {}, &rows);
    for (const auto& r : rows)
        for (std::size_t k = 0; k < cols.size(); ++k)
            if (!t->cols[cols[k]].nullable && std::holds_alternative<std::monostate>(r[k + 1])) {
                auto e = err(515, 16, 2, null_error(t->cols[cols[k]].name, db_, t->name, "UPDATE"));
                e.terminated = true;
                throw e;
            }
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
    std::size_t ti = 0;
    std::vector<table_ref> refs = dml_tables(st, ti);
    scope sc;
    std::string from = tr.build_from(refs, sc);
    const scope_entry& target = sc.tables[ti];
    if (target.table->system) throw err(259, 16, 1, "Ad hoc updates to system catalogs are not allowed.");
    std::string sql = "DELETE FROM " + quote_id(target.table->name);
    if (st.where || refs.size() > 1) {
        sql += " WHERE rowid IN (SELECT " + quote_id(target.sql_alias) + ".rowid FROM " + from;
        if (st.where) sql += " WHERE " + tr.expression(*st.where, sc).sql;
        sql += ")";
    }
    atomic_stmt a(*this, h);
    std::int64_t n = run(h, sql, {});
    a.commit();
    done(true, n);
}

void conn_impl::exec_create_table(const statement& st) {
    sqlite3* h = handle();
    check_owner(st.name);
    const std::string& name = st.name.back();
    if (name.empty() || name.size() > 128) throw compile_err(102, 15, 1, "Incorrect syntax near '" + name + "'.");
    if (object_id(h, name) || ieq(name, "sysobjects") || ieq(name, "syscolumns") || ieq(name, "sysdatabases") ||
        ieq(name.substr(0, 9), "__standin") || ieq(name.substr(0, 7), "sqlite_"))
        throw err(2714, 16, 6, "There is already an object named '" + name + "' in the database.");
    table_info t;
    t.name = name;
    translator tr(*this, h);
    scope none;
    for (std::size_t i = 0; i < st.coldefs.size(); ++i) {
        const column_def& cd = st.coldefs[i];
        if (!known_type(cd.type.name))
            throw err(2715, 16, 6, "Column, parameter, or variable #" + std::to_string(i + 1) + ": Cannot find data type " + cd.type.name + ".");
        if (t.find(cd.name) >= 0)
            throw err(2705, 16, 3, "Column names in each table must be unique. Column name '" + cd.name + "' in table '" + name + "' is specified more than once.");
        col_info c;
        c.name = cd.name;
        c.type = normalized(cd.type, false);
        c.identity = cd.identity;
        c.seed = cd.identity_seed;
        c.step = cd.identity_step;
        c.nullable = cd.nullable.value_or(!cd.primary_key && !cd.identity);
        if (cd.default_value) {
            tr.expression(*cd.default_value, none);
            c.default_text = cd.default_text;
        }
        if (cd.primary_key) {
            if (!t.pk.empty()) throw err(8110, 16, 0, "Cannot add multiple PRIMARY KEY constraints to table '" + name + "'.");
            if (cd.nullable.value_or(false)) throw err(8111, 16, 1, "Cannot define PRIMARY KEY constraint on nullable column in table '" + name + "'.");
            c.nullable = false;
            t.pk.push_back(t.cols.size());
            t.pk_name = cd.pk_name;
        }
        t.cols.push_back(c);
    }
    if (!st.pk_columns.empty()) {
        if (!t.pk.empty()) throw err(8110, 16, 0, "Cannot add multiple PRIMARY KEY constraints to table '" + name + "'.");
        for (const auto& pc : st.pk_columns) {
            int i = t.find(pc);
            if (i < 0) throw err(1911, 16, 1, "Column name '" + pc + "' does not exist in the target table or view.");
            auto& c = t.cols[static_cast<std::size_t>(i)];
            if (st.coldefs[static_cast<std::size_t>(i)].nullable.value_or(false))
                throw err(8111, 16, 1, "Cannot define PRIMARY KEY constraint on nullable column in table '" + name + "'.");
            c.nullable = false;
            t.pk.push_back(static_cast<std::size_t>(i));
        }
        t.pk_name = st.pk_name;
    }
    if (!t.pk.empty() && t.pk_name.empty()) t.pk_name = "PK_" + name;
    if (!t.pk.empty() && object_id(h, t.pk_name)) {
        auto e = err(2714, 16, 5, "There is already an object named '" + t.pk_name + "' in the database.");
        throw e;
    }
    atomic_stmt a(*this, h);
    long long id = new_object_id(h);
    std::string now = now_datetime();
    run(h, "INSERT INTO sysobjects(name, id, xtype, type, crdate, refdate) VALUES (?1, ?2, 'U ', 'U ', ?3, ?3)",
        {name, static_cast<std::int64_t>(id), now});
    std::string ddl = "CREATE TABLE " + quote_id(name) + " (";
    for (std::size_t i = 0; i < t.cols.size(); ++i) {
        const auto& c = t.cols[i];
        auto pk_pos = std::find(t.pk.begin(), t.pk.end(), i);
        std::int64_t pk_order = pk_pos == t.pk.end() ? 0 : static_cast<std::int64_t>(pk_pos - t.pk.begin() + 1);
        run(h, "INSERT INTO __standin_columns VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)",
            {static_cast<std::int64_t>(id), static_cast<std::int64_t>(i + 1), c.name, c.type.name,
             static_cast<std::int64_t>(c.type.length), static_cast<std::int64_t>(c.type.precision),
             static_cast<std::int64_t>(c.type.scale), static_cast<std::int64_t>(c.nullable),
             c.default_text.empty() ? sql_value{} : sql_value{c.default_text}, static_cast<std::int64_t>(c.identity),
             static_cast<std::int64_t>(c.seed), static_cast<std::int64_t>(c.step), pk_order,
             static_cast<std::int64_t>(xtype_of(c.type)), static_cast<std::int64_t>(storage_length(c.type))});
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
    a.commit();
    done(false, 0);
}

void conn_impl::exec_alter_add(const statement& st) {
    sqlite3* h = handle();
    check_owner(st.name);
    auto t = load_table(h, st.name.back());
    if (!t) throw err(4902, 16, 1, "Cannot find the object \"" + st.name.back() + "\" because it does not exist or you do not have permissions.");
    translator tr(*this, h);
    scope none;
    atomic_stmt a(*this, h);
    auto colid = scalar(h, "SELECT coalesce(max(colid), 0) FROM __standin_columns WHERE table_id = ?1", {static_cast<std::int64_t>(t->id)});
    std::int64_t next_colid = std::get<std::int64_t>(*colid) + 1;
    auto count = scalar(h, "SELECT count(*) FROM " + quote_id(t->name), {});
    bool empty = std::get<std::int64_t>(*count) == 0;
    for (std::size_t i = 0; i < st.coldefs.size(); ++i) {
        const column_def& cd = st.coldefs[i];
        if (!known_type(cd.type.name))
            throw err(2715, 16, 6, "Column, parameter, or variable #" + std::to_string(i + 1) + ": Cannot find data type " + cd.type.name + ".");
        if (t->find(cd.name) >= 0)
            throw err(2705, 16, 4, "Column names in each table must be unique. Column name '" + cd.name + "' in table '" + st.name.back() + "' is specified more than once.");
        if (cd.primary_key) throw err(1779, 16, 0, "Table '" + t->name + "' already has a primary key defined on it.");
        col_info c;
        c.name = cd.name;
        c.type = normalized(cd.type, false);
        c.identity = cd.identity;
        c.seed = cd.identity_seed;
        c.step = cd.identity_step;
        c.nullable = cd.nullable.value_or(!cd.identity);
        std::string def;
        if (cd.default_value) {
            def = cvt_call(tr.expression(*cd.default_value, none).sql, c.type, true);
            c.default_text = cd.default_text;
        }
        if (!c.nullable && def.empty() && !c.identity && !empty)
            throw err(4901, 16, 1, "ALTER TABLE only allows columns to be added that can contain nulls, or have a DEFAULT definition specified, or the column being added is an identity or timestamp column, or alternatively if none of the previous conditions are satisfied the table must be empty to allow addition of this column. Column '" + c.name + "' cannot be added to non-empty table '" + t->name + "' because it does not satisfy these conditions.");
        run(h, "INSERT INTO __standin_columns VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, 0, ?13, ?14)",
            {static_cast<std::int64_t>(t->id), next_colid++, c.name, c.type.name,
             static_cast<std::int64_t>(c.type.length), static_cast<std::int64_t>(c.type.precision),
             static_cast<std::int64_t>(c.type.scale), static_cast<std::int64_t>(c.nullable),
             c.default_text.empty() ? sql_value{} : sql_value{c.default_text}, static_cast<std::int64_t>(c.identity),
             static_cast<std::int64_t>(c.seed), static_cast<std::int64_t>(c.step),
             static_cast<std::int64_t>(xtype_of(c.type)), static_cast<std::int64_t>(storage_length(c.type))});
        exec_raw(h, "ALTER TABLE " + quote_id(t->name) + " ADD COLUMN " + quote_id(c.name) + " " + sqlite_decl(c.type));
        // Existing rows get the default only for a NOT NULL column or WITH VALUES.
        if (!def.empty() && (!c.nullable || st.with_values))
            run(h, "UPDATE " + quote_id(t->name) + " SET " + quote_id(c.name) + " = " + def, {});
        if (c.identity)
            run(h, "UPDATE " + quote_id(t->name) + " SET " + quote_id(c.name) + " = " + std::to_string(c.seed) +
                       " + " + std::to_string(c.step) + " * (SELECT count(*) FROM " + quote_id(t->name) +
                       " AS x WHERE x.rowid < " + quote_id(t->name) + ".rowid)", {});
        t->cols.push_back(c);
    }
    if (!st.pk_columns.empty()) {
        if (!t->pk.empty()) throw err(1779, 16, 0, "Table '" + t->name + "' already has a primary key defined on it.");
        std::string pk_name = st.pk_name.empty() ? "PK_" + t->name : st.pk_name;
        if (object_id(h, pk_name)) throw err(2714, 16, 5, "There is already an object named '" + pk_name + "' in the database.");
        std::string cols;
        std::int64_t order = 1;
        for (const auto& pc : st.pk_columns) {
            int i = t->find(pc);
            if (i < 0) throw err(1911, 16, 1, "Column name '" + pc + "' does not exist in the target table or view.");
            if (t->cols[static_cast<std::size_t>(i)].nullable)
                throw err(8111, 16, 1, "Cannot define PRIMARY KEY constraint on nullable column in table '" + t->name + "'.");
            run(h, "UPDATE __standin_columns SET pk_order = ?1 WHERE table_id = ?2 AND name = ?3",
                {order++, static_cast<std::int64_t>(t->id), pc});
            cols += (cols.empty() ? "" : ", ") + quote_id(t->cols[static_cast<std::size_t>(i)].name);
        }
        try {
            exec_raw(h, "CREATE UNIQUE INDEX " + quote_id("pk_" + std::to_string(t->id)) + " ON " + quote_id(t->name) + " (" + cols + ")");
        } catch (const tsql_error&) {
            throw err(1505, 16, 1, "The CREATE UNIQUE INDEX statement terminated because a duplicate key was found for the object name 'dbo." + t->name + "' and the index name '" + pk_name + "'.");
        }
        run(h, "INSERT INTO sysobjects(name, id, xtype, type, parent_obj, crdate, refdate) VALUES (?1, ?2, 'PK', 'K ', ?3, ?4, ?4)",
            {pk_name, static_cast<std::int64_t>(new_object_id(h)), static_cast<std::int64_t>(t->id), now_datetime()});
    }
    a.commit();
    done(false, 0);
}

void conn_impl::exec_alter_drop(const statement& st) {
    sqlite3* h = handle();
    check_owner(st.name);
    auto t = load_table(h, st.name.back());
    if (!t) throw err(4902, 16, 1, "Cannot find the object \"" + st.name.back() + "\" because it does not exist or you do not have permissions.");
    atomic_stmt a(*this, h);
    for (const auto& c : st.columns) {
        int i = t->find(c);
        if (i < 0) throw err(4924, 16, 1, "ALTER TABLE DROP COLUMN failed because column '" + c + "' does not exist in table '" + t->name + "'.");
        if (std::find(t->pk.begin(), t->pk.end(), static_cast<std::size_t>(i)) != t->pk.end())
            throw err(5074, 16, 1, "The object '" + t->pk_name + "' is dependent on column '" + c + "'.");
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
                failure = err(3701, 11, 5, "Cannot drop the table '" + join_name(parts) + "', because it does not exist or you do not have permission.");
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
    sqlite3* h = handle();
    check_owner(st.name);
    const std::string& name = st.name.back();
    bool alter = st.with_values;
    std::string type;
    auto existing = object_id(h, name, &type);
    while (!type.empty() && type.back() == ' ') type.pop_back();
    if (!alter && existing) throw err(2714, 16, 3, "There is already an object named '" + name + "' in the database.");
    if (alter && (!existing || type != st.module_type)) throw err(208, 16, 1, "Invalid object name '" + name + "'.");
    std::int64_t table_id = 0;
    if (st.module_type == "TR") {
        check_owner(st.trigger_table);
        auto t = load_table(h, st.trigger_table.back());
        if (!t) throw err(8197, 16, 4, "The object '" + join_name(st.trigger_table) + "' does not exist or is invalid for this operation.");
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

void conn_impl::exec_drop_module(const statement& st) {
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
                failure = err(3701, 11, 5, std::string("Cannot drop the ") + what + " '" + join_name(parts) +
                                               "', because it does not exist or you do not have permission.");
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
    if (!d) throw err(911, 16, 1, "Database '" + name + "' does not exist. Make sure that the name is entered correctly.");
    std::string old = db_;
    db_ = d->name;
    reply_->items.push_back(database_changed{old, db_});
    info(5701, "Changed database context to '" + db_ + "'.");
    done(false, 0);
}

void conn_impl::exec_create_database(const statement& st) {
    if (trancount_ > 0) throw err(226, 16, 6, "CREATE DATABASE statement not allowed within multi-statement transaction.");
    const std::string& name = st.name.at(0);
    std::string e;
    if (!eng_.create_db(name, e)) {
        if (e == "exists") throw err(1801, 16, 3, "Database '" + name + "' already exists. Choose a different database name.");
        throw err(5123, 16, 1, "CREATE FILE encountered operating system error while attempting to open or create the physical file: " + e);
    }
    done(false, 0);
}

void conn_impl::exec_exec(const statement& st) {
    const std::string& proc = st.name.back();
    if (is_applock_procedure(proc)) {
        exec_applock(st, ieq(proc, "sp_releaseapplock"));
        return;
    }
    variable* status = status_variable(st);
    if (ieq(proc, "sp_helptext")) {
        if (st.args.empty() || !st.args[0] || st.args[0]->kind != expr::lit_str)
            throw err(201, 16, 4, "Procedure or function 'sp_helptext' expects parameter '@objname', which was not supplied.");
        sqlite3* h = handle();
        const std::string& objname = st.args[0]->value;
        auto parts = split_object_name(objname);
        std::optional<long long> id;
        if (!parts.empty()) id = object_id(h, parts.back());
        if (!id) throw err(15009, 16, 1, "The object '" + objname + "' does not exist in database '" + db_ + "' or is invalid for this operation.");
        std::vector<std::vector<sql_value>> rows;
        run(h, "SELECT definition, encrypted FROM __standin_modules WHERE id = ?1", {static_cast<std::int64_t>(*id)}, &rows);
        if (rows.empty()) throw err(15197, 16, 1, "There is no text for object '" + objname + "'.");
        if (std::get<std::int64_t>(rows[0][1]) != 0) throw err(15471, 16, 1, "The text for object '" + objname + "' is encrypted.");
        const std::string& def = std::get<std::string>(rows[0][0]);
        result_set rs;
        rs.columns.push_back(column{"Text", column_type::text});
        std::size_t b = 0;
        while (b < def.size()) {
            std::size_t e = def.find('\n', b);
            e = e == std::string::npos ? def.size() : e + 1;
            rs.rows.push_back({def.substr(b, e - b)});
            b = e;
        }
        std::int64_t n = static_cast<std::int64_t>(rs.rows.size());
        reply_->items.push_back(std::move(rs));
        done(true, n);
        set_status(status, 0);
        return;
    }
    sqlite3* h = handle();
    std::string type;
    std::optional<long long> id;
    bool other_db = st.name.size() >= 3 && !st.name[st.name.size() - 3].empty() && !ieq(st.name[st.name.size() - 3], db_);
    if (!other_db) id = object_id(h, proc, &type);
    if (!id || type.rfind("P", 0) != 0) throw err(2812, 16, 62, "Could not find stored procedure '" + proc + "'.");
    set_status(status, run_procedure(st, *id));
}

// EXEC @v = p: the variable must be declared before p runs.
conn_impl::variable* conn_impl::status_variable(const statement& st) {
    if (st.status_variable.empty()) return nullptr;
    auto it = vars_.find(to_lower(st.status_variable));
    if (it == vars_.end()) throw compile_err(137, 15, 2, "Must declare the scalar variable \"" + st.status_variable + "\".");
    return &it->second;
}

void conn_impl::set_status(variable* v, int status) {
    if (!v) return;
    if (vtype_of(v->type) == vtype::integer) {
        v->value = static_cast<std::int64_t>(status);
        return;
    }
    expr e{};
    e.kind = expr::lit_int;
    e.value = std::to_string(status);
    v->value = evaluate(e, v->type);
}

// An argument of sp_getapplock / sp_releaseapplock as text. Literals and
// variables are read without touching the database, so that taking an
// application lock never waits for another connection's transaction.
std::optional<std::string> conn_impl::applock_argument_text(const expr& e) {
    switch (e.kind) {
    case expr::lit_str:
    case expr::lit_int:
    case expr::lit_num: return e.value;
    case expr::lit_null: return std::nullopt;
    case expr::variable: {
        auto it = vars_.find(to_lower(e.op));
        if (it == vars_.end()) throw compile_err(137, 15, 2, "Must declare the scalar variable \"" + e.op + "\".");
        if (std::holds_alternative<std::monostate>(it->second.value)) return std::nullopt;
        return value_text(it->second.value);
    }
    case expr::unary:
        if (e.op == "-" && e.args[0]->kind == expr::lit_int) return "-" + e.args[0]->value;
        break;
    default: break;
    }
    type_spec text_type;
    text_type.name = "NVARCHAR";
    text_type.length = -2;
    sql_value v = evaluate(e, text_type);
    if (std::holds_alternative<std::monostate>(v)) return std::nullopt;
    return value_text(v);
}

void conn_impl::exec_applock(const statement& st, bool release) {
    variable* status = status_variable(st);
    std::vector<applock_argument> args;
    for (std::size_t i = 0; i < st.args.size(); ++i) {
        applock_argument a;
        a.name = st.arg_names[i];
        const expr& e = *st.args[i];
        if (e.kind == expr::lit_null && e.op == "DEFAULT") a.is_default = true;
        else a.value = applock_argument_text(e);
        args.push_back(std::move(a));
    }
    applock_context ctx{eng_.applocks, spid_, current_dbid(), trancount_ > 0, lock_timeout_ms_,
                        [this] { return interrupt_ && interrupt_(); }};
    applock_outcome out = run_applock_procedure(release, args, ctx);
    if (out.refused) {
        const server_message& m = *out.refused;
        auto e = err(m.number, m.severity, m.state, m.text);
        throw e;
    }
    if (out.interrupted) throw request_interrupted{};
    // As SQL Server's own procedures answer: messages raised inside, each
    // error ending its statement there, then the return status.
    last_error_ = 0;
    for (const auto& m : out.messages) {
        reply_->items.push_back(m);
        if (!m.is_error()) continue;
        if (reply_->first_error == 0) reply_->first_error = m.number;
        last_error_ = m.number;
        statement_done d;
        d.error = true;
        d.in_procedure = true;
        reply_->items.push_back(d);
    }
    reply_->items.push_back(procedure_end{out.status});
    set_status(status, out.status);
}

// Runs a stored procedure's body with its parameters as variables; returns
// its return status.
int conn_impl::run_procedure(const statement& call, long long id) {
    const std::string& proc = call.name.back();
    if (exec_depth_ >= 32)
        throw err(217, 16, 1, "Maximum stored procedure, function, trigger, or view nesting level exceeded (limit 32).");
    sqlite3* h = handle();
    std::vector<std::vector<sql_value>> rows;
    run(h, "SELECT definition, body_start FROM __standin_modules WHERE id = ?1", {static_cast<std::int64_t>(id)}, &rows);
    if (rows.empty()) throw err(2812, 16, 62, "Could not find stored procedure '" + proc + "'.");
    const std::string def = std::get<std::string>(rows[0][0]);
    std::size_t body_start = static_cast<std::size_t>(std::get<std::int64_t>(rows[0][1]));
    std::vector<stmt_ptr> header, body;
    std::string body_text = def.substr(std::min(body_start, def.size()));
    try {
        header = parse_batch(def, tokenize(def));
        body = parse_batch(body_text, tokenize(body_text));
    } catch (const syntax_error& e) {
        throw compile_err(e.number, 15, 1, e.what());
    }
    const statement& h0 = *header.at(0);
    // Arguments are evaluated in the caller's scope.
    std::map<std::string, variable> params;
    std::vector<bool> given(h0.arg_names.size(), false);
    std::size_t positional = 0;
    for (std::size_t i = 0; i < call.args.size(); ++i) {
        std::size_t k = h0.arg_names.size();
        if (call.arg_names[i].empty()) k = positional++;
        else
            for (std::size_t j = 0; j < h0.arg_names.size(); ++j)
                if (ieq(h0.arg_names[j], call.arg_names[i])) k = j;
        if (k >= h0.arg_names.size()) {
            if (call.arg_names[i].empty()) throw err(8144, 16, 2, "Procedure or function " + proc + " has too many arguments specified.");
            throw err(8145, 16, 2, call.arg_names[i] + " is not a parameter for procedure " + proc + ".");
        }
        if (call.args[i]->kind == expr::lit_null && call.args[i]->op == "DEFAULT") continue;  // the parameter's default
        variable v;
        v.type = normalized(h0.types[k], false);
        v.value = evaluate(*call.args[i], v.type);
        params[to_lower(h0.arg_names[k])] = v;
        given[k] = true;
    }
    for (std::size_t k = 0; k < h0.arg_names.size(); ++k) {
        if (given[k]) continue;
        if (!h0.args[k])
            throw err(201, 16, 4, "Procedure or function '" + proc + "' expects parameter '" + h0.arg_names[k] + "', which was not supplied.");
        variable v;
        v.type = normalized(h0.types[k], false);
        v.value = evaluate(*h0.args[k], v.type);
        params[to_lower(h0.arg_names[k])] = v;
    }
    struct scope_restore {
        conn_impl& c;
        std::map<std::string, variable> vars;
        bool nocount;
        int line;
        std::string proc;
        int offset;
        ~scope_restore() {
            --c.exec_depth_;
            c.vars_ = std::move(vars);
            c.nocount_ = nocount;  // SET NOCOUNT inside a procedure ends with it
            c.line_ = line;
            c.current_proc_ = std::move(proc);
            c.proc_line_offset_ = offset;
        }
    } restore{*this, std::move(vars_), nocount_, call.line, current_proc_, proc_line_offset_};
    current_proc_ = proc;
    // Lines count from the start of the CREATE batch, as SQL Server counts them.
    proc_line_offset_ = static_cast<int>(std::count(def.begin(), def.begin() + static_cast<long>(std::min(body_start, def.size())), '\n'));
    vars_ = std::move(params);
    ++exec_depth_;
    return_status_.reset();
    for (const auto& s : body) {
        try {
            exec_stmt(*s);
        } catch (const return_signal&) {
            break;
        } catch (const tsql_error& e) {
            report(e, s->line);
            if (e.rollback_tran && trancount_ > 0) rollback_tran();
            if (e.abort_batch) break;
        }
    }
    // A procedure called from this one has taken its own status already.
    int status = return_status_.value_or(0);
    return_status_.reset();
    return status;
}

// SET LOCK_TIMEOUT's value: a number of milliseconds or a variable holding
// one. Anything below -1 waits for ever, as -1 does.
int conn_impl::lock_timeout_value(const std::string& written) {
    sql_value v;
    if (!written.empty() && written[0] == '@') {
        auto it = vars_.find(to_lower(written));
        if (it == vars_.end()) throw compile_err(137, 15, 2, "Must declare the scalar variable \"" + written + "\".");
        v = it->second.value;
        if (auto* s = std::get_if<std::string>(&v)) {
            char* end = nullptr;
            long long n = std::strtoll(s->c_str(), &end, 10);
            if (end == s->c_str() || *end != '\0') throw err(8114, 16, 5, "Error converting data type varchar to int.");
            v = static_cast<std::int64_t>(n);
        }
        if (std::holds_alternative<std::monostate>(v)) return lock_timeout_ms_;
    } else {
        std::size_t digits = written[0] == '-' ? 1 : 0;
        if (written.size() <= digits || written.find_first_not_of("0123456789", digits) != std::string::npos)
            throw compile_err(102, 15, 1, "Incorrect syntax near '" + written + "'.");
        v = static_cast<std::int64_t>(std::strtoll(written.c_str(), nullptr, 10));
    }
    std::int64_t n = std::holds_alternative<std::int64_t>(v) ? std::get<std::int64_t>(v)
                                                              : static_cast<std::int64_t>(std::get<double>(v));
    if (n > INT32_MAX) throw err(8115, 16, 2, "Arithmetic overflow error converting expression to data type int.");
    return n < -1 ? -1 : static_cast<int>(n);
}

void conn_impl::exec_set(const statement& st) {
    bool on = st.with_values;
    if (st.option == "NOCOUNT") nocount_ = on;
    else if (st.option == "IMPLICIT_TRANSACTIONS") implicit_ = on;
    else if (st.option == "XACT_ABORT") xact_abort_ = on;
    else if (st.option == "LOCK_TIMEOUT") lock_timeout_ms_ = lock_timeout_value(st.arg_names.at(0));
    else if (st.option == "IDENTITY_INSERT") {
        sqlite3* h = handle();
        check_owner(st.name);
        auto t = resolve_table(h, st.name, true);
        if (on) identity_insert_.insert(t->id);
        else identity_insert_.erase(t->id);
    }
}

}  // namespace

// ------------------------------------------------------------------ engine

struct engine::impl : engine_state {};

namespace {

// The server leaves with _exit while connection threads may still be inside
// the engine, so its storage is not removed then. Each directory carries the
// pid that made it; directories of processes that are gone are removed here.
void remove_stale_storage(const std::string& base) {
    std::error_code ec;
    const std::string prefix = "sqlserver-standin-";
    for (std::filesystem::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0) continue;
        std::size_t p = prefix.size(), q = p;
        while (q < name.size() && std::isdigit(static_cast<unsigned char>(name[q]))) ++q;
        if (q == p || q >= name.size() || name[q] != '-' || q - p > 9) continue;
        pid_t pid = static_cast<pid_t>(std::stol(name.substr(p, q - p)));
        if (pid <= 0 || (kill(pid, 0) == 0 || errno != ESRCH)) continue;
        std::error_code ec2;
        std::filesystem::remove_all(it->path(), ec2);
    }
}

}  // namespace

engine::engine(std::vector<login_entry> logins) : impl_(std::make_unique<impl>()) {
    impl_->logins = std::move(logins);
    // Memory-backed storage when there is room for it: the files only live
    // as long as the process, and commits then cost no disk writes.
    std::string base = "/tmp";
    if (const char* t = std::getenv("TMPDIR"); t && *t) base = t;
    struct statvfs vfs {};
    if (statvfs("/dev/shm", &vfs) == 0 &&
        static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize >= (1ULL << 30) && access("/dev/shm", W_OK) == 0)
        base = "/dev/shm";
    remove_stale_storage(base);
    std::string tmpl = base + "/sqlserver-standin-" + std::to_string(getpid()) + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    const char* d = mkdtemp(buf.data());
    char fallback[] = "/tmp/sqlserver-standin-XXXXXX";
    if (!d) d = mkdtemp(fallback);
    impl_->dir = d ? d : "";
    std::string error;
    impl_->create_db("master", error);
}

void engine::remove_storage() noexcept {
    std::error_code ec;
    if (!impl_->dir.empty()) std::filesystem::remove_all(impl_->dir, ec);
}

engine::~engine() {
    std::error_code ec;
    if (!impl_->dir.empty()) std::filesystem::remove_all(impl_->dir, ec);
}

login_result engine::login(const std::string& user, const std::string& password, const std::string& database) {
    login_result r;
    bool ok = false;
    for (const auto& l : impl_->logins)
        if (l.name == user && l.password == password) ok = true;
    if (!ok) {
        r.error = server_message{18456, 1, 14, "Login failed for user '" + user + "'.", "", 1};
        return r;
    }
    std::string db = database.empty() ? "master" : database;
    auto d = impl_->find_db(db);
    if (!d) {
        r.error = server_message{4060, 1, 11, "Cannot open database \"" + database + "\" requested by the login. The login failed.", "", 1};
        return r;
    }
    r.conn = std::make_unique<conn_impl>(*impl_, d->name, user);
    r.database = d->name;
    return r;
}

bool engine::run_fixture(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    if (text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF) text.erase(0, 3);  // BOM
    conn_impl c(*impl_, "master", "sa");
    // Split on lines that hold only GO.
    std::vector<std::string> batches;
    std::string cur;
    std::istringstream lines(text);
    std::string line;
    int lineno = 0;
    std::vector<int> starts;
    int start = 1;
    while (std::getline(lines, line)) {
        ++lineno;
        std::string t = line;
        while (!t.empty() && (t.back() == '\r' || t.back() == ' ' || t.back() == '\t')) t.pop_back();
        std::size_t k = 0;
        while (k < t.size() && (t[k] == ' ' || t[k] == '\t')) ++k;
        if (to_upper(t.substr(k)) == "GO") {
            batches.push_back(cur);
            starts.push_back(start);
            cur.clear();
            start = lineno + 1;
            continue;
        }
        cur += line + "\n";
    }
    batches.push_back(cur);
    starts.push_back(start);
    for (std::size_t i = 0; i < batches.size(); ++i) {
        bool blank = batches[i].find_first_not_of(" \t\r\n") == std::string::npos;
        if (blank) continue;
        batch_reply r = c.execute_batch(batches[i]);
        for (const auto& item : r.items)
            if (auto* m = std::get_if<server_message>(&item); m && m->is_error()) {
                error = path + ": batch starting at line " + std::to_string(starts[i]) + ": error " +
                        std::to_string(m->number) + ": " + m->text;
                return false;
            }
    }
    if (c.trancount() > 0) {
        error = path + ": transaction left open";
        return false;
    }
    return true;
}

std::string engine::dump_json() {
    std::string out = "{\"databases\":{";
    bool first_db = true;
    for (const auto& d : impl_->all_dbs()) {
        sqlite3* h = open_handle(d.path);
        if (!h) continue;
        if (!first_db) out += ",";
        first_db = false;
        out += "\"" + json_escape(d.name) + "\":{\"tables\":{";
        std::vector<std::pair<long long, std::string>> tables;
        {
            sqlite3_stmt* st = nullptr;
            sqlite3_prepare_v2(h, "SELECT id, name FROM sysobjects WHERE type = 'U' ORDER BY id", -1, &st, nullptr);
            while (st && sqlite3_step(st) == SQLITE_ROW)
                tables.push_back({sqlite3_column_int64(st, 0), reinterpret_cast<const char*>(sqlite3_column_text(st, 1))});
            sqlite3_finalize(st);
        }
        bool first_t = true;
        for (const auto& [id, name] : tables) {
            std::vector<std::string> cols;
            std::vector<std::pair<long long, int>> pk;
            sqlite3_stmt* st = nullptr;
            sqlite3_prepare_v2(h, "SELECT name, pk_order FROM __standin_columns WHERE table_id = ?1 ORDER BY colid", -1, &st, nullptr);
            sqlite3_bind_int64(st, 1, id);
            while (sqlite3_step(st) == SQLITE_ROW) {
                long long pko = sqlite3_column_int64(st, 1);
                if (pko > 0) pk.push_back({pko, static_cast<int>(cols.size())});
                cols.push_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
            }
            sqlite3_finalize(st);
            std::sort(pk.begin(), pk.end());
            if (!first_t) out += ",";
            first_t = false;
            out += "\"" + json_escape(name) + "\":{\"columns\":[";
            for (std::size_t i = 0; i < cols.size(); ++i) out += (i ? ",\"" : "\"") + json_escape(cols[i]) + "\"";
            out += "],\"rows\":[";
            std::string q = "SELECT ";
            for (std::size_t i = 0; i < cols.size(); ++i) q += (i ? "," : "") + quote_id(cols[i]);
            q += " FROM " + quote_id(name);
            if (!pk.empty()) {
                q += " ORDER BY ";
                for (std::size_t i = 0; i < pk.size(); ++i) q += (i ? "," : "") + quote_id(cols[static_cast<std::size_t>(pk[i].second)]);
            } else {
                q += " ORDER BY rowid";
            }
            st = nullptr;
            sqlite3_prepare_v2(h, q.c_str(), -1, &st, nullptr);
            bool first_r = true;
            while (st && sqlite3_step(st) == SQLITE_ROW) {
                out += first_r ? "[" : ",[";
                first_r = false;
                for (int i = 0; i < sqlite3_column_count(st); ++i) out += (i ? "," : "") + json_value(column_value(st, i));
                out += "]";
            }
            sqlite3_finalize(st);
            out += "]}";
        }
        out += "},\"objects\":[";
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(h,
                           "SELECT o.name, o.type, t.name, m.encrypted, m.definition FROM sysobjects o"
                           " JOIN __standin_modules m ON m.id = o.id LEFT JOIN sysobjects t ON t.id = m.table_id"
                           " ORDER BY o.id",
                           -1, &st, nullptr);
        bool first_o = true;
        while (st && sqlite3_step(st) == SQLITE_ROW) {
            std::string type = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
            while (!type.empty() && type.back() == ' ') type.pop_back();
            if (!first_o) out += ",";
            first_o = false;
            out += "{\"name\":\"" + json_escape(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))) + "\"";
            out += ",\"type\":\"" + type + "\"";
            if (sqlite3_column_type(st, 2) == SQLITE_NULL) out += ",\"table\":null";
            else out += ",\"table\":\"" + json_escape(reinterpret_cast<const char*>(sqlite3_column_text(st, 2))) + "\"";
            out += std::string(",\"encrypted\":") + (sqlite3_column_int(st, 3) ? "true" : "false");
            const unsigned char* def = sqlite3_column_text(st, 4);
            out += ",\"definition\":\"" + json_escape(def ? reinterpret_cast<const char*>(def) : "") + "\"}";
        }
        sqlite3_finalize(st);
        out += "]}";
        sqlite3_close(h);
    }
    out += "}}";
    return out;
}

}  // namespace standin

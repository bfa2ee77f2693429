// The server's own tables, readable from any database by their three-part
// names as on SQL Server: msdb.dbo.backupset and msdb.dbo.backupmediafamily
// from the engine's backup history, master.dbo.sysprocesses from its
// sessions. Each read fills a temporary table on the handle the statement
// runs on, as sysdatabases does.

#include <ctime>
#include <memory>

#include "sqlserver-standin/connection_impl.h"
#include "sqlserver-standin/server_version.h"
#include "sqlserver-standin/tsql_runtime.h"

namespace standin::detail {

using namespace tsql;

namespace {

// The columns of a server table, as "name:TYPE" or "name:TYPE(n)" or
// "name:NUMERIC(p,s)".
table_info server_table_info(const std::string& name, const std::string& sql_name,
                             std::initializer_list<const char*> columns) {
    table_info t;
    t.name = name;
    t.sql_name = sql_name;
    t.system = true;
    for (const char* c : columns) {
        std::string column = c;
        const std::size_t colon = column.find(':');
        col_info col;
        col.name = column.substr(0, colon);
        std::string type = column.substr(colon + 1);
        const std::size_t paren = type.find('(');
        col.type.name = type.substr(0, paren);
        if (paren != std::string::npos) {
            const std::string args = type.substr(paren + 1, type.size() - paren - 2);
            const std::size_t comma = args.find(',');
            if (comma == std::string::npos) {
                col.type.length = std::stoi(args);
            } else {
                col.type.precision = std::stoi(args.substr(0, comma));
                col.type.scale = std::stoi(args.substr(comma + 1));
            }
        }
        t.cols.push_back(col);
    }
    return t;
}

// The SQLite table a server table is filled into: its columns by name only.
std::string temp_table_sql(const table_info& t) {
    std::string sql = "CREATE TEMP TABLE IF NOT EXISTS " + quote_id(t.sql_name) + "(";
    for (std::size_t i = 0; i < t.cols.size(); ++i) {
        if (i) sql += ", ";
        sql += quote_id(t.cols[i].name);
        if (is_character(t.cols[i].type)) sql += " COLLATE TSQL";
    }
    return sql + ")";
}

std::string insert_sql(const table_info& t) {
    std::string sql = "INSERT INTO temp." + t.sql_name + " VALUES (";
    for (std::size_t i = 0; i < t.cols.size(); ++i) sql += i ? ",?" + std::to_string(i + 1) : "?1";
    return sql + ")";
}

// nchar(n) is blank-padded to its length, which is why readers rtrim it.
sql_value padded(const std::string& s, int length) {
    const int have = char_length(s);
    return have >= length ? s : s + std::string(static_cast<std::size_t>(length - have), ' ');
}

sql_value text_or_null(const std::string& s) { return s.empty() ? sql_value{} : sql_value{s}; }

sql_value number(std::int64_t n) { return n; }

// Minutes east of UTC in quarters of an hour, as backupset.time_zone has it.
std::int64_t time_zone_quarters() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local.tm_gmtoff / 900;
}

const table_info& backupset_table() {
    static const table_info t = server_table_info(
        "backupset", "__standin_backupset",
        {"backup_set_id:INT", "media_set_id:INT", "first_family_number:TINYINT", "first_media_number:SMALLINT",
         "last_family_number:TINYINT", "last_media_number:SMALLINT", "position:INT", "expiration_date:DATETIME",
         "name:NVARCHAR(128)", "description:NVARCHAR(255)", "user_name:NVARCHAR(128)",
         "software_major_version:TINYINT", "software_minor_version:TINYINT", "software_build_version:SMALLINT",
         "time_zone:SMALLINT", "database_creation_date:DATETIME", "backup_start_date:DATETIME",
         "backup_finish_date:DATETIME", "type:CHAR(1)", "compatibility_level:TINYINT", "database_version:INT",
         "backup_size:NUMERIC(20,0)", "database_name:NVARCHAR(128)", "server_name:NVARCHAR(128)",
         "machine_name:NVARCHAR(128)", "collation_name:NVARCHAR(128)", "recovery_model:NVARCHAR(60)",
         "has_backup_checksums:BIT", "is_damaged:BIT", "is_copy_only:BIT", "compressed_backup_size:NUMERIC(20,0)"});
    return t;
}

const table_info& backupmediafamily_table() {
    static const table_info t = server_table_info(
        "backupmediafamily", "__standin_backupmediafamily",
        {"media_set_id:INT", "family_sequence_number:TINYINT", "media_count:INT", "logical_device_name:NVARCHAR(128)",
         "physical_device_name:NVARCHAR(260)", "device_type:TINYINT", "physical_block_size:INT", "mirror:TINYINT"});
    return t;
}

const table_info& sysprocesses_table() {
    static const table_info t = server_table_info(
        "sysprocesses", "__standin_sysprocesses",
        {"spid:SMALLINT", "kpid:SMALLINT", "blocked:SMALLINT", "waittime:BIGINT", "lastwaittype:NCHAR(32)",
         "waitresource:NCHAR(256)", "dbid:SMALLINT", "uid:SMALLINT", "cpu:INT", "physical_io:BIGINT", "memusage:INT",
         "login_time:DATETIME", "last_batch:DATETIME", "ecid:SMALLINT", "open_tran:SMALLINT", "status:NCHAR(30)",
         "hostname:NCHAR(128)", "program_name:NCHAR(128)", "hostprocess:NCHAR(10)", "cmd:NCHAR(16)",
         "nt_domain:NCHAR(128)", "nt_username:NCHAR(128)", "net_address:NCHAR(12)", "net_library:NCHAR(12)",
         "loginame:NCHAR(128)", "stmt_start:INT", "stmt_end:INT", "request_id:INT"});
    return t;
}

}  // namespace

void conn_impl::register_session(const client_info& client) {
    session_row r;
    r.spid = spid_;
    r.host = client.host;
    r.program = client.program;
    r.login = user_;
    r.login_time = now_datetime();
    r.last_batch = r.login_time;
    r.database = db_;
    eng_.sessions.put(r);
}

void conn_impl::publish_session(bool running) {
    eng_.sessions.update(spid_, db_, trancount_, running, now_datetime());
}

std::shared_ptr<table_info> conn_impl::server_table(sqlite3* h, const std::vector<std::string>& parts) {
    const std::string& name = parts.back();
    const std::string owner = parts.size() >= 2 ? parts[parts.size() - 2] : "";
    const std::string db = parts.size() >= 3 ? parts[parts.size() - 3] : "";
    const bool dbo = owner.empty() || ieq(owner, "dbo");
    // msdb's tables by three-part name; sysprocesses also as sys.sysprocesses
    // anywhere and unqualified in master, as SQL Server has it.
    const bool in_msdb = dbo && !db.empty() && ieq(db, "msdb");
    const bool in_master = dbo && (db.empty() ? ieq(db_, "master") : ieq(db, "master"));
    const bool sys_view = ieq(owner, "sys") && (db.empty() || eng_.find_db(db));

    const table_info* t = nullptr;
    if (in_msdb && ieq(name, "backupset")) t = &backupset_table();
    else if (in_msdb && ieq(name, "backupmediafamily")) t = &backupmediafamily_table();
    else if ((in_master || sys_view) && ieq(name, "sysprocesses")) t = &sysprocesses_table();
    if (!t) return nullptr;

    exec_raw(h, temp_table_sql(*t));
    run(h, "DELETE FROM temp." + t->sql_name, {});
    const std::string insert = insert_sql(*t);
    if (t == &sysprocesses_table()) {
        for (session_row r : eng_.sessions.all()) {
            if (r.spid == spid_) {  // this session as it is now, mid-request
                r.database = db_;
                r.open_tran = trancount_;
                r.running = true;
            }
            auto d = eng_.find_db(r.database);
            run(h, insert,
                {number(r.spid), number(0), number(0), number(0), padded("", 32),
                 padded("", 256), d ? number(d->dbid) : sql_value{}, number(1), number(0), number(0), number(0),
                 r.login_time, r.last_batch, number(0), number(r.open_tran),
                 padded(r.running ? "runnable" : "sleeping", 30), padded(r.host, 128), padded(r.program, 128),
                 padded("", 10), padded(r.running ? "SELECT" : "AWAITING COMMAND", 16), padded("", 128),
                 padded("", 128), padded("", 12), padded("TCP/IP", 12), padded(r.login, 128), number(0), number(0),
                 number(0)});
        }
    } else if (t == &backupset_table()) {
        const std::int64_t tz = time_zone_quarters();
        for (const backup_record& r : eng_.backups.all())
            run(h, insert,
                {number(r.backup_set_id), number(r.media_set_id), number(1), number(1), number(1), number(1),
                 number(r.position), sql_value{}, text_or_null(r.name), sql_value{}, r.user_name,
                 number(eng_.version->major), number(eng_.version->minor), number(eng_.version->build),
                 number(tz), r.database_creation_date, r.start, r.finish, std::string("D"), number(100), number(904),
                 number(r.size), r.database_name, std::string("STANDIN"), std::string("STANDIN"),
                 std::string("Chinese_PRC_CI_AS"), std::string("SIMPLE"), number(r.checksums ? 1 : 0), number(0),
                 number(r.copy_only ? 1 : 0), number(r.size)});
    } else {
        // One family per file: a set appended to a file is in its media set.
        std::map<int, std::string> media;
        for (const backup_record& r : eng_.backups.all()) media[r.media_set_id] = r.device;
        for (const auto& [id, device] : media)
            run(h, insert,
                {number(id), number(1), number(1), sql_value{}, device, number(2), number(512), number(0)});
    }
    return std::make_shared<table_info>(*t);
}

}  // namespace standin::detail

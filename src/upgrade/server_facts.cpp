#include "upgrade/server_facts.h"

#include <charconv>
#include <ctime>

#include "upgrade/pass_rules.h"
#include "upgrade/utc_text.h"

namespace velmora {

namespace {

using result_row = database_session::result_row;

std::string cell(const result_row& row, std::size_t i) { return i < row.size() && row[i] ? *row[i] : std::string(); }

// A whole number the server wrote, 0 when it is none. (Not atol or strtoull:
// mingw's own versions import character functions XP's list does not hold.)
template <typename Number>
Number number_in(const std::string& text) {
    std::size_t from = text.find_first_not_of(' ');
    if (from == std::string::npos) return 0;
    if (text[from] == '+') ++from;
    Number n = 0;
    if (std::from_chars(text.data() + from, text.data() + text.size(), n).ec != std::errc()) return 0;
    return n;
}

// Characters a Windows file name cannot hold, and the separators.
std::string file_name_part(const std::string& text) {
    std::string out;
    for (char c : text) {
        const bool bad = static_cast<unsigned char>(c) < 0x20 || c == '\\' || c == '/' || c == ':' || c == '*' ||
                         c == '?' || c == '"' || c == '<' || c == '>' || c == '|' || c == ' ';
        out += bad ? '_' : c;
    }
    return out;
}

// The file in the folder, with the folder's own separator ("\" unless it
// only has "/"); the server's, not this machine's.
std::string in_folder(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    const char separator = folder.find('\\') == std::string::npos && folder.find('/') != std::string::npos ? '/' : '\\';
    return folder.back() == '\\' || folder.back() == '/' ? folder + name : folder + separator + name;
}

}  // namespace

std::string server_version::name() const {
    switch (major) {
        case 8: return "SQL Server 2000";
        case 9: return "SQL Server 2005";
        case 10: return minor >= 50 ? "SQL Server 2008 R2" : "SQL Server 2008";
        case 11: return "SQL Server 2012";
        case 12: return "SQL Server 2014";
        case 13: return "SQL Server 2016";
        case 14: return "SQL Server 2017";
        case 15: return "SQL Server 2019";
        case 16: return "SQL Server 2022";
        default: return "SQL Server " + product_version;
    }
}

std::optional<server_version> parse_server_version(const std::string& product_version) {
    server_version v;
    v.product_version = product_version;
    // "major.minor.build": sscanf would pull mingw's own scanf, and its
    // imports, into the 32-bit programs.
    const char* const end = product_version.data() + product_version.size();
    const auto major = std::from_chars(product_version.data(), end, v.major);
    if (major.ec != std::errc() || major.ptr == end || *major.ptr != '.' || v.major <= 0) return std::nullopt;
    if (std::from_chars(major.ptr + 1, end, v.minor).ec != std::errc()) return std::nullopt;
    return v;
}

std::optional<server_version> read_server_version(database_session& sqlca) {
    std::vector<result_row> rows;
    sqlca.select_rows("select convert ( nvarchar ( 128 ) , SERVERPROPERTY ( 'ProductVersion' ) )", rows);
    if (sqlca.status_code != 0 || rows.empty()) return std::nullopt;
    return parse_server_version(cell(rows[0], 0));
}

last_backup_read read_last_backup(database_session& sqlca, const std::string& database) {
    // msdb keeps the server's local time; the report's times are UTC.
    const std::string sql =
        "select top 1 convert ( varchar ( 19 ) , dateadd ( minute , datediff ( minute , getdate ( ) , getutcdate ( ) "
        ") , b.backup_finish_date ) , 126 ) , m.physical_device_name , datediff ( minute , b.backup_finish_date , "
        "getdate ( ) ) / 1440 from msdb.dbo.backupset b join msdb.dbo.backupmediafamily m on m.media_set_id = "
        "b.media_set_id where b.database_name = " +
        pass_rules::unicode_literal(database) +
        " and b.type = 'D' order by b.backup_finish_date desc , b.backup_set_id desc";
    last_backup_read r;
    std::vector<result_row> rows;
    sqlca.select_rows(sql, rows);
    if (sqlca.status_code != 0) {
        r.error = sqlca.error_text;
        return r;
    }
    r.read = true;
    if (!rows.empty()) {
        r.backup.emplace();
        r.backup->finished = cell(rows[0], 0) + "Z";
        r.backup->file = cell(rows[0], 1);
        r.backup->age_days = number_in<long>(cell(rows[0], 2));
    }
    return r;
}

std::optional<std::vector<other_session>> read_other_sessions(database_session& sqlca, const std::string& database) {
    // One row per session (ecid 0; a parallel query has more), this one left out.
    const std::string sql =
        "select p.spid , rtrim ( p.hostname ) , rtrim ( p.program_name ) , rtrim ( p.loginame ) , p.open_tran from "
        "master.dbo.sysprocesses p where p.dbid = db_id ( " +
        pass_rules::unicode_literal(database) + " ) and p.spid != @@spid and p.ecid = 0 order by p.spid";
    std::vector<result_row> rows;
    sqlca.select_rows(sql, rows);
    if (sqlca.status_code != 0) return std::nullopt;
    std::vector<other_session> out;
    for (const result_row& row : rows)
        out.push_back({cell(row, 1), cell(row, 2), cell(row, 3), number_in<long>(cell(row, 4)) > 0});
    return out;
}

std::string backup_plan::backup_statement() const {
    return "BACKUP DATABASE " + pass_rules::bracketed(database) + " TO DISK = " + pass_rules::unicode_literal(file) +
           (copy_only ? " WITH COPY_ONLY , CHECKSUM" : "");
}

std::string backup_plan::verify_statement(const std::string& path, long position) const {
    return "RESTORE VERIFYONLY FROM DISK = " + pass_rules::unicode_literal(path) + " WITH FILE = " +
           std::to_string(position) + (copy_only ? " , CHECKSUM" : "");
}

backup_plan plan_backup(const std::string& database, const std::string& program_version, const std::string& folder,
                        const server_version& version, std::int64_t unix_seconds) {
    const std::string stamp = utc_text(static_cast<std::time_t>(unix_seconds), "%Y%m%dT%H%M%SZ");
    backup_plan p;
    p.database = database;
    p.file = in_folder(folder, file_name_part(database) + "_before_" + file_name_part(program_version) + "_" + stamp +
                                   ".bak");
    p.copy_only = version.has_copy_only_backup();
    return p;
}

std::string restore_statement(const std::string& database, const std::string& path, long position) {
    return "RESTORE DATABASE " + pass_rules::bracketed(database) + " FROM DISK = " +
           pass_rules::unicode_literal(path) + " WITH FILE = " + std::to_string(position) + " , REPLACE";
}

std::optional<backup_written> read_backup_written(database_session& sqlca, const std::string& database) {
    std::vector<result_row> rows;
    sqlca.select_rows("select top 1 m.physical_device_name , b.backup_size , b.position from msdb.dbo.backupset b "
                      "join msdb.dbo.backupmediafamily m on m.media_set_id = b.media_set_id where b.database_name = " +
                          pass_rules::unicode_literal(database) + " order by b.backup_set_id desc",
                      rows);
    if (sqlca.status_code != 0 || rows.empty()) return std::nullopt;
    backup_written w;
    w.path = cell(rows[0], 0);
    w.bytes = number_in<unsigned long long>(cell(rows[0], 1));
    w.position = number_in<long>(cell(rows[0], 2));
    if (w.position < 1) w.position = 1;
    return w;
}

}  // namespace velmora

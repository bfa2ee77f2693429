#pragma once
// What the upgrade and its plan ask a server about itself, in the way every
// version from SQL Server 2000 on answers: its version, the last full backup
// of a database, the other sessions connected to it, and the statements of a
// backup taken before an upgrade.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "session/database_session.h"

namespace velmora {

// SERVERPROPERTY('ProductVersion'), "8.00.2039" for SQL Server 2000 SP4.
struct server_version {
    std::string product_version;
    int major = 0;  // 8 for 2000, 9 for 2005, 10 for 2008 and 2008 R2, ... 16 for 2022
    int minor = 0;
    // "SQL Server 2000", "SQL Server 2008 R2", ...; the version number alone for one we do not know.
    std::string name() const;
    bool has_applock_test() const { return major >= 9; }       // APPLOCK_TEST came with 2005
    bool has_copy_only_backup() const { return major >= 9; }   // COPY_ONLY and CHECKSUM came with 2005
    bool has_default_backup_path() const { return major >= 15; }  // InstanceDefaultBackupPath came with 2019
};
std::optional<server_version> parse_server_version(const std::string& product_version);
// Asked of the server; nullopt when it could not be read.
std::optional<server_version> read_server_version(database_session& sqlca);

// The last full backup of a database on record in msdb.
struct last_backup {
    std::string finished;  // UTC, YYYY-MM-DDThh:mm:ssZ
    std::string file;      // where it was written, as the server names it
    long age_days = 0;     // whole days since it finished
};
struct last_backup_read {
    bool read = false;  // false: the server could not say (error)
    std::optional<last_backup> backup;  // none on record when read
    std::string error;
};
last_backup_read read_last_backup(database_session& sqlca, const std::string& database);

// Another session connected to a database.
struct other_session {
    std::string host, program, login;
    bool open_transaction = false;
};
// nullopt when the server could not say.
std::optional<std::vector<other_session>> read_other_sessions(database_session& sqlca, const std::string& database);

// The backup of a database before its upgrade: its file name, the statements
// that take, find, verify and restore it.
struct backup_plan {
    std::string database;
    std::string file;  // as given to the server: a name alone (the default folder) or folder + name
    // COPY_ONLY, which leaves the shop's own backup chain alone, and
    // CHECKSUM; false before SQL Server 2005, which has neither.
    bool copy_only = true;
    std::string backup_statement() const;
    std::string verify_statement(const std::string& path, long position) const;
};
// DATABASE_before_VERSION_YYYYMMDDThhmmssZ.bak, characters no file name may
// hold replaced; folder empty for the server's default backup folder.
backup_plan plan_backup(const std::string& database, const std::string& program_version, const std::string& folder,
                        const server_version& version, std::int64_t unix_seconds);
// The statement that puts a database back from the backup.
std::string restore_statement(const std::string& database, const std::string& path, long position);

// Where the backup just taken of a database went, as msdb recorded it.
struct backup_written {
    std::string path;
    std::uint64_t bytes = 0;
    long position = 1;
};
std::optional<backup_written> read_backup_written(database_session& sqlca, const std::string& database);

}  // namespace velmora

#pragma once
// The SQL Server the stand-in plays (--version), told the same way wherever
// a client can ask: PRELOGIN's VERSION, LOGINACK's program version,
// @@VERSION and SERVERPROPERTY; the newest TDS version it answers in; and
// what its T-SQL has. Every version is one row of the table in
// server_version.cpp; the README names the Microsoft page behind each fact.

#include <cstdint>
#include <span>
#include <string_view>

namespace standin {

// What came (and stays) from some version on. A version without one answers
// as that version answers a statement using it.
struct version_features {
    bool catalog_views = true;          // sys.objects, sys.triggers, ...: else 208
    bool applock_test = true;           // APPLOCK_TEST: else 195
    bool ddl_triggers = true;           // CREATE / DROP TRIGGER ... ON DATABASE: else 156 at DATABASE / ON
    bool drop_if_exists = true;         // DROP TABLE / PROCEDURE / TRIGGER IF EXISTS: else 156 at IF
    bool create_or_alter = true;        // CREATE OR ALTER PROCEDURE / TRIGGER: else 156 at OR
    bool product_major_version = true;  // SERVERPROPERTY('ProductMajorVersion'): else NULL
    bool default_backup_path = true;    // SERVERPROPERTY('InstanceDefaultBackupPath'): else NULL
    bool utf8_feature = true;           // acknowledges the UTF-8 FeatureExt of a TDS 7.4 login
};

struct server_version {
    const char* name;  // as --version takes it: "2000", "2008R2", "2019"
    int major, minor, build, revision;
    const char* product_version;  // SERVERPROPERTY('ProductVersion')
    const char* product_level;    // SERVERPROPERTY('ProductLevel'): RTM, SP1, SP4
    std::uint32_t newest_tds;     // what LOGINACK answers a client asking for more
    version_features has;
    const char* edition;  // SERVERPROPERTY('Edition')
    const char* banner;   // @@VERSION
};

// Every version the stand-in plays, oldest first.
std::span<const server_version> all_versions();
// The one it plays without --version: SQL Server 2019.
const server_version& default_version();
// By its --version name ("2008R2"; "2008r2" too); nothing for an unknown one.
const server_version* find_version(std::string_view name);

}  // namespace standin

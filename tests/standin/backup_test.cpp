// BACKUP DATABASE, RESTORE VERIFYONLY and RESTORE DATABASE through the ODBC
// driver, the backup history in msdb, and master.dbo.sysprocesses, with the
// statements the upgrade tool sends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <nlohmann/json.hpp>

#include "client_tools.h"
#include "odbc_client.h"
#include "support/standin_process.h"
#include "support/temp_folder.h"

namespace {

using namespace standin_test;
using nlohmann::json;

std::string backup_statement(const std::string& file, const std::string& with = " WITH COPY_ONLY , CHECKSUM") {
    return "BACKUP DATABASE [velmora] TO DISK = N'" + file + "'" + with;
}

std::string verify_statement(const std::string& path, int file = 1, bool checksum = true) {
    return "RESTORE VERIFYONLY FROM DISK = N'" + path + "' WITH FILE = " + std::to_string(file) +
           (checksum ? " , CHECKSUM" : "");
}

std::string restore_statement(const std::string& path, const std::string& db = "velmora") {
    return "RESTORE DATABASE [" + db + "] FROM DISK = N'" + path + "' WITH FILE = 1 , REPLACE";
}

std::vector<long> natives(const odbc_outcome& r) {
    std::vector<long> out;
    for (const auto& d : r.diags) out.push_back(d.native);
    return out;
}

std::string text_of(const odbc_outcome& r, long native) {
    for (const auto& d : r.diags)
        if (d.native == native) return d.text;
    return "";
}

// A stand-in on the demo shop whose default backup folder is a test's own.
struct backup_server {
    test_support::temp_folder folder{"standin_backup"};
    std::string backups = folder.text() + "/backups";
    standin_process s;
    explicit backup_server(std::vector<std::string> extra = {})
        : s(options(backups, std::move(extra))) {}
    static standin_options options(const std::string& dir, std::vector<std::string> extra) {
        std::filesystem::create_directory(dir);
        extra.insert(extra.end(), {"--backup-dir", dir});
        return {{"demo"}, extra};
    }
    std::string path(const std::string& name) const { return backups + "/" + name; }
};

// The upgrade's backup, then what an upgrade does, then the restore: the
// database is as it was, every table, row, procedure, trigger and its
// encryption, as a stand-in that never saw the upgrade has it.
TEST(StandinBackup, RestoreAfterChangesGivesBackTheStateOfTheBackup) {
    backup_server b;
    std::string restored;
    {
        odbc_client c;
        ASSERT_TRUE(c.connect(b.s.odbc_connection_string())) << c.last_text();
        auto backup = c.exec(backup_statement("velmora_before_1.5.0_20261211T143000Z.bak"));
        ASSERT_TRUE(backup.ok) << backup.all_text();
        EXPECT_EQ(natives(backup), (std::vector<long>{4035, 3014})) << backup.all_text();
        EXPECT_NE(text_of(backup, 3014).find("BACKUP DATABASE successfully processed "), std::string::npos);

        odbc_client shop;
        ASSERT_TRUE(shop.connect(b.s.odbc_connection_string("velmora"))) << shop.last_text();
        for (const char* change : {"delete from t_wm_sheet_detail where line_no = 2",
                                   "alter table t_bd_item_info add note nvarchar(20) null",
                                   "create table t_new (id int not null primary key)",
                                   "drop trigger tr_MS_detail_ins",
                                   "create procedure p_new with encryption as select 1"})
            ASSERT_TRUE(shop.exec(change).ok) << change << "\n" << shop.last_text();
        // The restore needs the database to itself: this session leaves it.
        ASSERT_TRUE(shop.exec("use master").ok);

        auto restore = c.exec(restore_statement(b.path("velmora_before_1.5.0_20261211T143000Z.bak")));
        ASSERT_TRUE(restore.ok) << restore.all_text();
        EXPECT_EQ(natives(restore), (std::vector<long>{4035, 3014})) << restore.all_text();
        EXPECT_NE(text_of(restore, 3014).find("RESTORE DATABASE successfully processed "), std::string::npos);
        // Connections that stayed see the restored database at once.
        ASSERT_TRUE(shop.exec("use velmora").ok);
        EXPECT_EQ(shop.exec("select count(*) from t_wm_sheet_detail").scalar(), "3");
        EXPECT_EQ(shop.exec("select object_id('p_new')").scalar(), "NULL");
        restored = b.s.stop_and_dump();
    }
    standin_process untouched({{"demo"}, {}});
    const std::string before = untouched.stop_and_dump();
    EXPECT_EQ(json::parse(restored).at("databases").at("velmora"), json::parse(before).at("databases").at("velmora"));
}

// RESTORE VERIFYONLY of a good set, and of every way a file can be wrong:
// SQL Server's error, then 3013 "VERIFY DATABASE is terminating abnormally."
TEST(StandinBackup, VerifyFindsGoodMissingAndDamagedFiles) {
    backup_server b;
    odbc_client c;
    ASSERT_TRUE(c.connect(b.s.odbc_connection_string())) << c.last_text();
    ASSERT_TRUE(c.exec(backup_statement("good.bak")).ok);
    ASSERT_TRUE(c.exec(backup_statement("plain.bak", "")).ok);
    const std::string good = b.path("good.bak");
    auto copy_with = [&](const std::string& name, const std::function<void(std::string&)>& change) {
        std::string bytes = read_file_text(good);
        change(bytes);
        write_text_file(b.path(name), bytes);
        return b.path(name);
    };
    struct verify_case {
        const char* what;
        std::string statement;
        std::vector<long> expected;
        std::string text;  // in the first message
    };
    const std::vector<verify_case> cases = {
        {"a good set", verify_statement(good), {3262}, "The backup set on file 1 is valid."},
        {"a good set, without CHECKSUM", verify_statement(good, 1, false), {3262}, "is valid"},
        {"a missing file", verify_statement(b.path("nowhere.bak")), {3201, 3013},
         "Cannot open backup device '" + b.path("nowhere.bak") +
             "'. Operating system error 2(The system cannot find the file specified.)."},
        {"a byte of the image changed",
         verify_statement(copy_with("damaged.bak", [](std::string& s) { s[s.size() / 2] ^= 0x5A; })), {3189, 3013},
         "Damage to the backup set was detected."},
        {"a file cut short", verify_statement(copy_with("short.bak", [](std::string& s) { s.resize(s.size() - 100); })),
         {3241, 3013}, "is incorrectly formed"},
        {"a length beyond the file",
         verify_statement(copy_with("long.bak", [](std::string& s) { s[11] = '\x7f'; })), {3241, 3013},
         "is incorrectly formed"},
        {"no backup at all", verify_statement(copy_with("text.bak", [](std::string& s) { s = "not a backup"; })),
         {3241, 3013}, "is incorrectly formed"},
        {"an empty file", verify_statement(copy_with("empty.bak", [](std::string& s) { s.clear(); })), {3254, 3013},
         "is empty"},
        {"a set the file does not have", verify_statement(good, 2), {4038, 3013}, "Cannot find file ID 2 on device"},
        {"CHECKSUM of a set taken without", verify_statement(b.path("plain.bak")), {3187, 3013},
         "does not contain checksum information"},
    };
    for (const auto& k : cases) {
        auto r = c.exec(k.statement);
        EXPECT_EQ(r.ok, k.expected[0] == 3262) << k.what << "\n" << r.all_text();
        EXPECT_EQ(natives(r), k.expected) << k.what << "\n" << r.all_text();
        ASSERT_FALSE(r.diags.empty()) << k.what;
        EXPECT_NE(r.diags[0].text.find(k.text), std::string::npos) << k.what << "\n" << r.all_text();
        if (k.expected.size() > 1) {
            EXPECT_NE(r.diags[1].text.find("VERIFY DATABASE is terminating abnormally."), std::string::npos) << k.what;
        }
    }
}

// What fails a backup or a restore, each with SQL Server's error and 3013.
TEST(StandinBackup, FailuresCarrySqlServersErrors) {
    backup_server b;
    odbc_client c, other;
    ASSERT_TRUE(c.connect(b.s.odbc_connection_string())) << c.last_text();
    ASSERT_TRUE(other.connect(b.s.odbc_connection_string("BrenHolt"))) << other.last_text();
    ASSERT_TRUE(c.exec(backup_statement("v.bak")).ok);
    struct failure_case {
        const char* what;
        std::vector<std::string> batches;  // the last one is looked at
        std::vector<long> expected;
        std::string text;
        std::vector<std::string> other_first = {};  // run by the other session before
    };
    const std::vector<failure_case> cases = {
        {"a folder that does not exist", {backup_statement(b.folder.text() + "/missing/v.bak")}, {3201, 3013},
         "Operating system error 3(The system cannot find the path specified.)."},
        {"a relative folder that does not exist", {backup_statement("missing/v.bak")}, {3201, 3013},
         "'" + b.path("missing/v.bak") + "'"},
        {"a database that does not exist", {"BACKUP DATABASE [nowhere] TO DISK = N'n.bak'"}, {911, 3013},
         "Database 'nowhere' does not exist."},
        {"a backup inside a transaction", {"begin tran", backup_statement("t.bak")}, {3021, 3013},
         "Cannot perform a backup or restore operation within a transaction."},
        {"a restore inside the same transaction", {restore_statement(b.path("v.bak"))}, {3021, 3013}, "within a transaction"},
        {"a restore while in the database", {"rollback", "use velmora", restore_statement(b.path("v.bak"))},
         {3102, 3013},
         "RESTORE cannot process database 'velmora' because it is in use by this session. It is recommended that the "
         "master database be used when performing this operation."},
        {"a restore while another session is in it",
         {"use master", "exec [BrenHolt].dbo.sp_executesql N'select 1'", restore_statement(b.path("v.bak"))},
         {3101, 3013}, "Exclusive access could not be obtained because the database is in use.", {"use velmora"}},
        // Its transaction holds the database while it works elsewhere: the
        // restore fails at once rather than wait for it.
        {"a restore while another session's transaction holds it", {restore_statement(b.path("v.bak"))}, {3101, 3013},
         "Exclusive access could not be obtained",
         {"begin tran", "insert into t_sys_operator (oper_id, oper_name) values ('98', N'x')", "use master"}},
        {"a restore over another database without REPLACE",
         {"RESTORE DATABASE [BrenHolt] FROM DISK = N'" + b.path("v.bak") + "' WITH FILE = 1"}, {3154, 3013},
         "The backup set holds a backup of a database other than the existing 'BrenHolt' database."},
    };
    for (const auto& k : cases) {
        for (const auto& batch : k.other_first) ASSERT_TRUE(other.exec(batch).ok) << batch << "\n" << other.last_text();
        odbc_outcome r;
        for (const auto& batch : k.batches) r = c.exec(batch);
        EXPECT_FALSE(r.ok) << k.what;
        EXPECT_EQ(natives(r), k.expected) << k.what << "\n" << r.all_text();
        EXPECT_NE(r.all_text().find(k.text), std::string::npos) << k.what << "\n" << r.all_text();
    }
    // None of them wrote a file or a history row; the one good backup did.
    EXPECT_EQ(c.exec("select count(*) from msdb.dbo.backupset").scalar(), "1");
    EXPECT_FALSE(std::filesystem::exists(b.path("t.bak")));
}

// Each backup leaves its row in msdb, read as the upgrade tool reads it,
// through another database's sp_executesql too; a second backup to the
// same file is the next set in it.
TEST(StandinBackup, HistoryRecordsEachBackupWithItsFile) {
    backup_server b;
    odbc_client c;
    ASSERT_TRUE(c.connect(b.s.odbc_connection_string())) << c.last_text();
    EXPECT_EQ(c.exec("select convert ( nvarchar ( 4000 ) , SERVERPROPERTY ( 'InstanceDefaultBackupPath' ) )").scalar(),
              b.backups);
    const std::string last_full =
        "select top 1 convert ( varchar ( 19 ) , dateadd ( minute , datediff ( minute , getdate ( ) , getutcdate ( ) ) , "
        "b.backup_finish_date ) , 126 ) , m.physical_device_name , datediff ( minute , b.backup_finish_date , getdate ( ) "
        ") / 1440 from msdb.dbo.backupset b join msdb.dbo.backupmediafamily m on m.media_set_id = b.media_set_id where "
        "b.database_name = N'velmora' and b.type = 'D' order by b.backup_finish_date desc , b.backup_set_id desc";
    const std::string last_any =
        "select top 1 m.physical_device_name , b.backup_size , b.position from msdb.dbo.backupset b join "
        "msdb.dbo.backupmediafamily m on m.media_set_id = b.media_set_id where b.database_name = N'velmora' order by "
        "b.backup_set_id desc";
    auto none = c.exec(last_full);
    ASSERT_TRUE(none.ok) << none.all_text();
    EXPECT_TRUE(none.results.at(0).rows.empty());

    ASSERT_TRUE(c.exec(backup_statement("first.bak")).ok);
    ASSERT_TRUE(c.exec(backup_statement("first.bak", "")).ok);
    auto absolute = c.exec(backup_statement(b.folder.text() + "/elsewhere.bak"));
    ASSERT_TRUE(absolute.ok) << absolute.all_text();

    auto full = c.exec(last_full);
    ASSERT_EQ(full.results.at(0).rows.size(), 1u) << full.all_text();
    const auto& row = full.results[0].rows[0];
    EXPECT_EQ(row[1].value_or(""), b.folder.text() + "/elsewhere.bak");
    EXPECT_EQ(row[2].value_or(""), "0");
    EXPECT_EQ(row[0].value_or("").size(), 19u);
    EXPECT_EQ(row[0].value_or("").at(10), 'T');

    std::string quoted = last_any;
    for (std::size_t at = quoted.find('\''); at != std::string::npos; at = quoted.find('\'', at + 2))
        quoted.insert(at, 1, '\'');
    const auto through_other = c.exec("exec [BrenHolt].dbo.sp_executesql N'" + quoted + "'");
    ASSERT_TRUE(through_other.ok) << through_other.all_text();
    EXPECT_EQ(through_other.results.at(0).rows.at(0)[0].value_or(""), b.folder.text() + "/elsewhere.bak");
    auto sets = c.exec(
        "select b.position , b.is_copy_only , b.has_backup_checksums , m.physical_device_name , b.backup_size from "
        "msdb.dbo.backupset b join msdb.dbo.backupmediafamily m on m.media_set_id = b.media_set_id order by "
        "b.backup_set_id");
    ASSERT_EQ(sets.results.at(0).rows.size(), 3u) << sets.all_text();
    const auto& rows = sets.results[0].rows;
    EXPECT_EQ(rows[0][0], "1");
    EXPECT_EQ(rows[1][0], "2");  // appended to first.bak
    EXPECT_EQ(rows[1][3], b.path("first.bak"));
    EXPECT_EQ(rows[0][1], "1");
    EXPECT_EQ(rows[1][1], "0");
    EXPECT_EQ(rows[0][2], "1");
    EXPECT_EQ(rows[1][2], "0");
    // Both sets make up the file; each is verified and restored by its number.
    const auto file_size = std::filesystem::file_size(b.path("first.bak"));
    EXPECT_EQ(std::stoull(rows[0][4].value_or("0")) + std::stoull(rows[1][4].value_or("0")), file_size);
    EXPECT_TRUE(c.exec(verify_statement(b.path("first.bak"), 2, false)).ok);
    EXPECT_TRUE(c.exec(restore_statement(b.path("first.bak"))).ok);
}

// Who else is connected: a second session holding a transaction open in the
// database shows with the host and program its login gave.
TEST(StandinBackup, SysprocessesListsOtherSessionsWithTheirTransactions) {
    standin_process s({{"demo"}, {}});
    odbc_client till, idle, asking;
    ASSERT_TRUE(till.connect(s.odbc_connection_string("velmora") + ";APP=till_3")) << till.last_text();
    ASSERT_TRUE(idle.connect(s.odbc_connection_string("BrenHolt") + ";APP=office")) << idle.last_text();
    ASSERT_TRUE(asking.connect(s.odbc_connection_string("velmora") + ";APP=velmora_upgrade")) << asking.last_text();
    ASSERT_TRUE(till.set_autocommit(false));
    ASSERT_TRUE(till.exec("insert into t_sys_operator (oper_id, oper_name) values ('99', N'till')").ok) << till.last_text();
    const std::string till_spid = till.exec("select @@spid").scalar();

    auto r = asking.exec(
        "select p.spid , rtrim ( p.hostname ) , rtrim ( p.program_name ) , rtrim ( p.loginame ) , p.open_tran from "
        "master.dbo.sysprocesses p where p.dbid = db_id ( N'velmora' ) and p.spid <> @@spid and p.ecid = 0 order by "
        "p.spid");
    ASSERT_TRUE(r.ok) << r.all_text();
    ASSERT_EQ(r.results.at(0).rows.size(), 1u) << r.all_text();
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const std::vector<std::optional<std::string>> expected = {till_spid, std::string(host), std::string("till_3"),
                                                              std::string("velmora"), std::string("1")};
    EXPECT_EQ(r.results[0].rows[0], expected);

    // Back in autocommit it holds none; the hostname is blank-padded as nchar(128).
    ASSERT_TRUE(till.set_autocommit(true));
    EXPECT_EQ(asking.exec("select open_tran from master.dbo.sysprocesses where spid = " + till_spid).scalar(), "0");
    EXPECT_EQ(asking.exec("select hostname from master.dbo.sysprocesses where spid = @@spid").scalar().size(), 128u);
    EXPECT_EQ(asking.exec("select count(*) from sys.sysprocesses").scalar(), "3");
}

}  // namespace

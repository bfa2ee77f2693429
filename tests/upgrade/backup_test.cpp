// db_upgrade_cli --backup and what the plan tells before an upgrade, on every
// SQL Server the shops run: the backup brings back the database of before,
// a failed one changes nothing, and the plan names who else is connected.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "upgrade_test_support.h"

using namespace upgrade_test;
using nlohmann::json;

namespace {

// Statements that change a database; the backup's own are not among them.
bool changes_something(const journal_entry& e) {
    static const std::regex changing(R"(^\s*(insert|update|delete|alter|create|drop|truncate)\b)", std::regex::icase);
    return !e.parse_only && std::regex_search(e.sql, changing);
}

void point(velmora::database_session& s, const standin_test::standin_process& server, const std::string& database) {
    s.driver = "MSS";
    s.server_name = server.server_name();
    s.database_name = database;
    s.login_id = "velmora";
    s.login_password = "quorbin";
    s.set_autocommit(true);
}

// The demo shop on a stand-in of its own, with db.dat packed and the
// backups written into a folder of the test's.
struct demo_shop {
    explicit demo_shop(std::vector<std::string> args = {}) : server(options(backups, std::move(args))) {
        conf.point_at(server.server_name(), "velmora");
        conf.package(DEMO_SCRIPTS_DIR);
    }
    test_support::temp_folder backups{"velmora_backups"};
    standin_test::standin_process server;
    configuration conf;

    static standin_test::standin_options options(const test_support::temp_folder& backups,
                                                 std::vector<std::string> args) {
        standin_test::standin_options o = with_fixtures({"demo"});
        o.extra_args = std::move(args);
        o.extra_args.insert(o.extra_args.end(), {"--backup-dir", backups.dir()});
        return o;
    }
};

TEST(backup, an_upgraded_shop_restored_from_its_backup_is_the_shop_of_before) {
    demo_shop shop;
    auto& [backups, server, conf] = shop;
    const server_state before = fresh_state({"demo"});

    const reported_run r = run_with_report(conf, {"--backup"});
    ASSERT_EQ(r.cli.exit_code, 0) << r.cli.out << r.cli.err;
    ASSERT_EQ(r.report["databases"].size(), 2u);
    std::vector<std::string> restores;
    for (const json& db : r.report["databases"]) {
        const json& backup = db["backup"];
        EXPECT_EQ(backup["verified"], true) << backup.dump();
        EXPECT_EQ(backup["copy_only"], true);
        const std::string file = backup["file"];
        EXPECT_TRUE(std::regex_search(file, std::regex(db["database"].get<std::string>() +
                                                       R"(_before_[^_]+_\d{8}T\d{6}Z\.bak$)")))
            << file;
        EXPECT_TRUE(fs::is_regular_file(file)) << file;
        EXPECT_GT(backup["bytes"].get<double>(), 0);
        restores.push_back(backup["restore"]);
        EXPECT_NE(r.cli.out.find("已备份到 " + file + "（已校验）"), std::string::npos) << r.cli.out;
    }
    EXPECT_EQ(r.report["server_version"], "15.0.2000.5");

    // The statements the report gives put both databases back as they were.
    velmora::database_session restorer;
    point(restorer, server, "master");
    restorer.connect();
    ASSERT_EQ(restorer.status_code, 0) << restorer.error_text;
    for (const std::string& restore : restores) {
        restorer.execute_immediate(restore);
        EXPECT_EQ(restorer.status_code, 0) << restore << ": " << restorer.error_text;
    }
    restorer.disconnect();
    const server_state after = stop(server);
    for (const char* db : {"velmora", "BrenHolt"})
        EXPECT_EQ(after.doc.at("databases").at(db), before.doc.at("databases").at(db)) << db;
}

TEST(backup, a_backup_that_fails_or_does_not_verify_changes_nothing) {
    const struct {
        const char* label;
        std::string rule;
    } cases[] = {
        {"the backup fails", "^BACKUP DATABASE=3201:Cannot open backup device 'x'. Operating system error 5(Access is "
                             "denied.)."},
        {"the backup does not verify", "^RESTORE VERIFYONLY=3013:VERIFY DATABASE is terminating abnormally."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        demo_shop shop({"--fail", c.rule});
        auto& [backups, server, conf] = shop;
        const reported_run r = run_with_report(conf, {"--backup"});
        EXPECT_EQ(r.cli.exit_code, 1) << r.cli.out;
        ASSERT_EQ(r.report["databases"].size(), 1u) << "the special database's pass is not run";
        const json& db = r.report["databases"][0];
        EXPECT_EQ(db["ending"], "backup_failed");
        EXPECT_EQ(db["backup"]["verified"], false);
        EXPECT_NE(db["backup"]["error"].get<std::string>().find(c.rule.substr(c.rule.find(':') + 1)),
                  std::string::npos)
            << db["backup"].dump();
        EXPECT_TRUE(db["steps"].empty());
        EXPECT_NE(r.cli.out.find("数据库没有任何更改，升级操作被中断。"), std::string::npos) << r.cli.out;
        for (const journal_entry& e : journal(server)) EXPECT_FALSE(changes_something(e)) << e.sql;
    }
}

TEST(backup, the_plan_names_the_other_sessions_and_the_last_backup) {
    demo_shop shop;
    auto& [backups, server, conf] = shop;

    // A till at work: a transaction open in the shop's database.
    velmora::database_session till;
    point(till, server, "velmora");
    till.set_autocommit(false);
    till.connect();
    ASSERT_EQ(till.status_code, 0) << till.error_text;
    till.execute_immediate("update t_sys_system set sys_var_value = sys_var_value where sys_var_id = 'x'");
    ASSERT_EQ(till.status_code, 0) << till.error_text;

    reported_run plan = run_with_report(conf, {"--plan", "--backup-to", backups.dir()});
    const json& db = plan.report["databases"][0];
    ASSERT_EQ(db["other_sessions"].size(), 1u) << db.dump();
    EXPECT_EQ(db["other_sessions"][0]["open_transaction"], true);
    EXPECT_EQ(db["other_sessions"][0]["login"], "velmora");
    EXPECT_TRUE(db["last_backup"].is_null());
    EXPECT_EQ(db["backup_target"]["folder"], backups.dir());
    EXPECT_NE(plan.cli.out.find("velmora: other sessions: 1\n"), std::string::npos) << plan.cli.out;
    EXPECT_NE(plan.cli.out.find("), holds a transaction open\n"), std::string::npos) << plan.cli.out;
    EXPECT_NE(plan.cli.out.find("velmora: last full backup: none on record\n"), std::string::npos);
    till.rollback();
    till.disconnect();

    // Once a backup is on record, the plan names it.
    ASSERT_EQ(run_with_report(conf, {"--backup"}).cli.exit_code, 0);
    plan = run_with_report(conf, {"--plan"});
    const json& last = plan.report["databases"][0]["last_backup"];
    EXPECT_EQ(last["age_days"], 0) << last.dump();
    EXPECT_TRUE(fs::is_regular_file(last["file"].get<std::string>())) << last.dump();
    EXPECT_TRUE(std::regex_match(last["finished"].get<std::string>(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
}

// The oldest and the newest SQL Server a shop may run: the plan, the upgrade
// with its backup, and the check after each pass, end to end.
TEST(server_versions, the_plan_and_the_upgrade_run_on_the_oldest_and_the_newest_server) {
    const struct {
        const char* version;
        const char* server_line;
        const char* lock_line;
        bool copy_only;
    } cases[] = {
        {"2000", "plan: server SQL Server 2000 (8.00.2039)\n",
         "velmora: upgrade lock: cannot be tested on SQL Server 2000, which has no APPLOCK_TEST; the upgrade takes it "
         "with sp_getapplock\n",
         false},
        {"2022", "plan: server SQL Server 2022 (16.0.1000.6)\n", "velmora: upgrade lock: free\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        demo_shop shop({"--version", c.version});
        auto& [backups, server, conf] = shop;

        const reported_run plan = run_with_report(conf, {"--plan"});
        EXPECT_EQ(plan.cli.exit_code, 0) << plan.cli.out;
        EXPECT_NE(plan.cli.out.find(c.server_line), std::string::npos) << plan.cli.out;
        EXPECT_NE(plan.cli.out.find(c.lock_line), std::string::npos) << plan.cli.out;
        for (const json& db : plan.report["databases"])
            for (const json& rec : db["package"]["records"]) EXPECT_EQ(rec["parsed"], "accepted") << rec.dump();

        const reported_run upgrade = run_with_report(conf, {"--backup"});
        EXPECT_EQ(upgrade.cli.exit_code, 0) << upgrade.cli.out;
        for (const json& db : upgrade.report["databases"]) {
            EXPECT_EQ(db["verification"]["outcome"], "passed") << db.dump();
            EXPECT_EQ(db["backup"]["copy_only"], c.copy_only);
            EXPECT_EQ(db["backup"]["verified"], true);
        }
        const server_state state = stop(server);
        for (const char* db : {"velmora", "BrenHolt"}) expect_upgraded(state, db);
    }
}

}  // namespace

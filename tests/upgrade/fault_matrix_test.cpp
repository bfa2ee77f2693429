// db_upgrade_cli against a stand-in that fails in every way a shop's server
// can: a create refused, the connection cut at any request, the server gone
// silent, a built-in statement failing, a database switch failing, the wrong
// database configured, other workstations upgrading at the same time, and a
// package that cannot be used. Whatever happens, every procedure and trigger
// of the package exists afterwards in its old or its new form, nothing lands
// in another database, a run that did not do all its work exits non-zero with
// a message, and every run ends within its bounds. The in-process runs
// against a server gone silent at every request are silent_server_test.cpp,
// which runs as a Windows program as well.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "fault_matrix_support.h"

#include "common/app_names.h"
#include "session/connect_db.h"
#include "support/recording_ui.h"

using namespace upgrade_test;

namespace {

// The statements that change a database, as opposed to the login's own.
bool upgrade_statement(const journal_entry& e) {
    static const std::regex changes(R"(^(insert|alter|update|if exists|CREATE|exec|declare|select isnull))",
                                    std::regex::icase);
    return std::regex_search(e.sql, changes);
}

std::string escaped(const std::string& statement) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return "^" + std::regex_replace(statement, special, R"(\$&)");
}

TEST(fault_matrix, a_clean_run_upgrades_both_databases_and_exits_zero) {
    case_result r = run_case({});
    EXPECT_EQ(r.cli.exit_code, 0) << describe(r);
    for (const auto& db : upgraded_databases) expect_upgraded(r.state, db);
    expect_nothing_lost(r);
    // Each pass confirms its database and locks it before its first change.
    std::vector<std::string> guards;
    for (const auto& e : r.journal)
        if (e.sql == "select db_name()" || e.sql.find("sp_getapplock") != std::string::npos)
            guards.push_back(e.db + ": " + e.sql.substr(0, 24));
    EXPECT_EQ(guards.size(), 4u);
}

TEST(fault_matrix, a_failing_create_at_any_record_keeps_the_old_object) {
    for (const auto& name : demo_object_names()) {
        SCOPED_TRACE(name);
        const std::string kind = name.rfind("tr_", 0) == 0 ? "TRIGGER" : "PROCEDURE";
        case_result r = run_case({"--fail", "^CREATE " + kind + " " + name + "\\b=50000:" + name + " is broken"});
        EXPECT_EQ(r.cli.exit_code, 1) << describe(r);
        EXPECT_TRUE(mentions(r, name + ".sql: [FreeTDS][SQL Server]" + name + " is broken")) << describe(r);
        expect_nothing_lost(r);
        for (const auto& db : upgraded_databases) {
            const auto objects = r.state.objects(db);
            auto it = std::find_if(objects.begin(), objects.end(), [&](const db_object& o) { return o.name == name; });
            ASSERT_NE(it, objects.end());
            EXPECT_FALSE(it->encrypted) << db << ": the failed create replaced the old object";
        }
    }
}

TEST(fault_matrix, a_connection_cut_at_any_request_loses_nothing) {
    const case_result clean = run_case({});
    ASSERT_EQ(clean.cli.exit_code, 0) << describe(clean);
    const std::size_t requests = clean.journal.size();
    ASSERT_GT(requests, 40u);
    for (std::size_t n = 1; n <= requests; ++n) {
        SCOPED_TRACE("connection cut at request " + std::to_string(n) + " of " + std::to_string(requests));
        case_result r = run_case({"--drop-at", std::to_string(n)});
        EXPECT_FALSE(r.cli.timed_out);
        expect_nothing_lost(r);
        expect_honest_outcome(r);
        if (HasFailure()) break;  // one broken boundary tells enough
    }
}

TEST(fault_matrix, a_silent_server_is_given_up_within_the_stated_bounds) {
    const case_result clean = run_case({});
    const std::size_t requests = clean.journal.size();
    // The login itself, the login's own settings (the isolation level, which
    // the driver does not bound), the first pass's guards and built-in steps,
    // its package, the second pass and its very end (the lock's release, when
    // all the work is done): run side by side, so each bound is waited once.
    const std::vector<std::size_t> sample = {0, 1, 6, 14, requests / 2, requests - 10, requests - 2};
    std::vector<std::unique_ptr<standin_test::standin_process>> servers;
    std::vector<std::unique_ptr<configuration>> confs;
    for (std::size_t n : sample) {
        servers.push_back(std::make_unique<standin_test::standin_process>(
            demo_server({"--silent-at", std::to_string(n)})));
        confs.push_back(std::make_unique<configuration>());
        confs.back()->point_at(servers.back()->server_name(), "velmora");
        confs.back()->package(DEMO_SCRIPTS_DIR);
    }
    std::vector<case_result> results(sample.size());
    std::vector<std::thread> runs;
    for (std::size_t i = 0; i < sample.size(); ++i)
        runs.emplace_back([&, i] {
            const auto t0 = std::chrono::steady_clock::now();
            results[i].cli = run_cli(confs[i]->run_dir(), confs[i]->conf_dir(), {}, 200000);
            results[i].seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        });
    for (auto& t : runs) t.join();
    for (std::size_t i = 0; i < sample.size(); ++i) {
        SCOPED_TRACE("silent from request " + std::to_string(sample[i]));
        results[i].state = stop(*servers[i]);
        case_result& r = results[i];
        EXPECT_FALSE(r.cli.timed_out) << describe(r);
        // The whole run is timed here, the work around the wait included:
        // the margins leave room for a busy machine. (The in-process cases
        // of silent_server_test.cpp time the wait itself.)
        if (sample[i] == 0) {
            EXPECT_EQ(r.cli.exit_code, 2) << describe(r);
            EXPECT_GE(r.seconds, 15.0) << describe(r);  // the 15 s login timeout
            EXPECT_LT(r.seconds, 15.0 + 15.0) << describe(r);
        } else {
            EXPECT_NE(r.cli.exit_code, 2) << describe(r);  // the login had finished
            EXPECT_GE(r.seconds, 45.0) << describe(r);  // nothing gives up before the query timeout
            // 45 s and 45 s for the cancel, or 90 s; 5 s more for a statement
            // whose driver keeps neither, 2 s for a call to come back.
            EXPECT_LT(r.seconds, 97.0 + 20.0) << describe(r);
        }
        expect_nothing_lost(r);
        expect_honest_outcome(r);
    }
}

TEST(fault_matrix, a_built_in_statement_failing_for_real_is_reported_and_fails_the_run) {
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"插入升级日期记录 UPGRADE_DATE",
         "insert t_sys_system values ( 'UPGRADE_DATE' , 'UPGRADE_DATE' , '00000000' , '是' , '' , null , null , "
         "null )"},
        {"增加字段 t_wm_sheet_detail.sort_id", "alter table t_wm_sheet_detail add sort_id int DEFAULT(0) null"},
        {"增加菜单项 5120 物流跟踪",
         "insert into t_sys_menu values ( '5120' , '物流跟踪' , 'w_pd_flow' , 'SHEE' , 'S' , '' , '111111' , '0' , "
         "'0' , '0' , '0' , '' , '0' , '' , '' , '' )"},
        {"更新数据库版本号 V9 20170621",
         "update t_sys_system set sys_var_value ='V9 20170621' where sys_var_id ='DataBase_Version'"},
        {"增加操作员权限", "insert t_sys_oper_grant select distinct oper_id"},
    };
    for (const auto& [step, statement] : steps) {
        SCOPED_TRACE(step);
        // The rights insert is long: its head names it well enough.
        const bool whole = statement.find("select distinct") == std::string::npos;
        const std::string pattern = escaped(statement) + (whole ? "$" : "");
        case_result r = run_case({"--fail", pattern + "=50000:disk full"});
        EXPECT_EQ(r.cli.exit_code, 1) << describe(r);
        EXPECT_TRUE(mentions(r, "数据库“velmora”的升级步骤“" + step + "”失败！(错误信息：[FreeTDS][SQL Server]disk full)"))
            << describe(r);
        // The other steps and the package still ran, as on any run.
        EXPECT_TRUE(mentions(r, std::string(velmora::gs_appname) + ": 更新成功！")) << describe(r);
        expect_nothing_lost(r);
    }
}

TEST(fault_matrix, a_date_row_refused_by_a_unique_index_counts_as_already_there) {
    // 2601 is the duplicate under a unique index rather than a key: the row is there all the same.
    case_result r = run_case({"--fail", escaped(std::string("insert t_sys_system values ( 'UPGRADE_DATE'")) +
                                            "=2601:Cannot insert duplicate key row in object 'dbo.t_sys_system' with "
                                            "unique index 'IX_sys_var_id'."});
    EXPECT_EQ(r.cli.exit_code, 0) << describe(r);
    EXPECT_FALSE(mentions(r, "失败")) << describe(r);
    for (const auto& db : upgraded_databases) expect_upgraded(r.state, db);
}

TEST(fault_matrix, already_applied_changes_stay_silent_on_a_second_run) {
    standin_test::standin_process server(demo_server({}));
    configuration conf;
    conf.point_at(server.server_name(), "velmora");
    conf.package(DEMO_SCRIPTS_DIR);
    auto first = run_cli(conf.run_dir(), conf.conf_dir());
    ASSERT_EQ(first.exit_code, 0) << first.out;
    auto second = run_cli(conf.run_dir(), conf.conf_dir());
    EXPECT_EQ(second.exit_code, 0) << second.out;
    const std::string done = std::string(velmora::gs_appname) + ": 更新成功！";
    EXPECT_EQ(lines_of(second.out), (std::vector<std::string>{done, done}));
    std::vector<int> errors;
    for (const auto& e : journal(server))
        if (e.error != 0) errors.push_back(e.error);
    // Each pass of the second run: the date row and the menu row exist, the column too.
    std::sort(errors.begin(), errors.end());
    EXPECT_EQ(errors, (std::vector<int>{2627, 2627, 2627, 2627, 2705, 2705}));
}

TEST(fault_matrix, a_failed_database_switch_never_upgrades_another_database) {
    {
        SCOPED_TRACE("the switch back after the probe fails: the session is left in master");
        case_result r = run_case({"--fail", "^use \\[velmora\\]$=911:Database 'velmora' does not exist."});
        EXPECT_EQ(r.cli.exit_code, 1) << describe(r);
        EXPECT_TRUE(mentions(r, "当前数据库是“master”，不是要升级的数据库“velmora”")) << describe(r);
        for (const auto& e : r.journal) EXPECT_FALSE(upgrade_statement(e)) << e.db << ": " << e.sql;
        expect_nothing_lost(r);
    }
    {
        SCOPED_TRACE("the lookup of the special database fails: the configured one is upgraded, and no more");
        case_result r = run_case({"--fail", "sysdatabases=50001:injected"});
        EXPECT_EQ(r.cli.exit_code, 1) << describe(r);
        EXPECT_EQ(lines_of(r.cli.out).back(), std::string(velmora::gs_appname) +
                                                   ": 无法查询特殊客户数据库，该数据库没有升级。(错误信息：[FreeTDS][SQL "
                                                   "Server]injected)")
            << describe(r);
        expect_upgraded(r.state, "velmora");
        EXPECT_EQ(r.state.doc.at("databases").at("BrenHolt").dump(),
                  untouched().doc.at("databases").at("BrenHolt").dump());
    }
    {
        SCOPED_TRACE("the switch to the special database fails: its pass does not run");
        case_result r = run_case({"--fail", "^use \\[BrenHolt\\]$=916:The server principal is not able to access"});
        EXPECT_EQ(r.cli.exit_code, 1) << describe(r);
        EXPECT_TRUE(mentions(r, "无法切换到数据库“BrenHolt”，该数据库没有升级。(错误信息：")) << describe(r);
        expect_upgraded(r.state, "velmora");
        for (const auto& e : r.journal) EXPECT_NE(e.db, "BrenHolt") << e.sql;
        // velmora was upgraded once, not a second time in place of BrenHolt.
        EXPECT_EQ(std::count_if(r.journal.begin(), r.journal.end(),
                                [](const journal_entry& e) { return e.sql.rfind("alter table", 0) == 0; }),
                  1);
        expect_nothing_lost(r);
    }
}

TEST(fault_matrix, a_system_database_is_never_upgraded) {
    for (const std::string database : {"", "master", "MASTER", "model", "msdb", "TempDB"}) {
        SCOPED_TRACE("DATABASE=" + database);
        case_result r = run_case({"--fixture", fixture("system_databases.sql")}, database);
        EXPECT_EQ(r.cli.exit_code, 1) << describe(r);
        // Named as the server spells it: as created, in lower case.
        std::string named = database.empty() ? "master" : database;
        for (char& c : named) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_TRUE(mentions(r, "数据库“" + named + "”是系统数据库，不能升级")) << describe(r);
        for (const auto& e : r.journal) EXPECT_FALSE(upgrade_statement(e)) << e.db << ": " << e.sql;
        expect_nothing_lost(r);
    }
}

TEST(fault_matrix, a_database_another_workstation_holds_is_left_alone) {
    standin_test::standin_process server(demo_server({}));
    velmora::database_session other;  // a workstation in the middle of its upgrade
    velmora::apply_login_settings(other);
    other.server_name = server.server_name();
    other.database_name = "velmora";
    other.connect();
    std::string granted;
    other.select_into("declare @r int exec @r = sp_getapplock @Resource = N'velmora_db_upgrade' , @LockMode = "
                      "'Exclusive' , @LockOwner = 'Session' , @LockTimeout = 0 select @r",
                      {&granted});
    ASSERT_EQ(granted, "0") << other.error_text;
    case_result r = run_case_on(server, "velmora");
    EXPECT_EQ(r.cli.exit_code, 1) << describe(r);
    EXPECT_TRUE(mentions(r, "另一台计算机正在升级数据库“velmora”，请等它完成后再试")) << describe(r);
    for (const auto& e : r.journal) EXPECT_FALSE(upgrade_statement(e) && e.sql.rfind("declare", 0) != 0) << e.sql;
}

TEST(fault_matrix, workstations_upgrading_at_once_take_turns) {
    for (int workstations : {2, 4}) {
        SCOPED_TRACE(std::to_string(workstations) + " at once");
        // A slower server keeps the runs overlapping.
        standin_test::standin_process server(demo_server({"--delay-ms", "3"}));
        std::vector<std::unique_ptr<configuration>> confs;
        for (int i = 0; i < workstations; ++i) {
            confs.push_back(std::make_unique<configuration>());
            confs.back()->point_at(server.server_name(), "velmora");
            confs.back()->package(DEMO_SCRIPTS_DIR);
        }
        std::vector<standin_test::command_result> runs(static_cast<std::size_t>(workstations));
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < runs.size(); ++i)
            threads.emplace_back([&, i] { runs[i] = run_cli(confs[i]->run_dir(), confs[i]->conf_dir()); });
        for (auto& t : threads) t.join();

        int succeeded = 0;
        for (const auto& run : runs) {
            succeeded += run.exit_code == 0;
            EXPECT_EQ(run.out.find("There is already an object named"), std::string::npos) << run.out;
            if (run.exit_code != 0) {
                EXPECT_EQ(run.exit_code, 1) << run.out;
                EXPECT_NE(run.out.find("另一台计算机正在升级数据库"), std::string::npos) << run.out;
            }
        }
        EXPECT_GE(succeeded, 1);
        case_result r;
        r.state = stop(server);
        for (const auto& db : upgraded_databases) expect_upgraded(r.state, db);
        expect_nothing_lost(r);
    }
}

TEST(fault_matrix, an_unusable_package_sends_nothing_at_all) {
    const std::string missing = std::string(velmora::gs_appname) + ": 数据库升级程序不全，升级操作被中断。";
    const std::string damaged = std::string(velmora::gs_appname) + ": 数据库升级程序包已损坏，升级操作被中断。";
    const std::vector<std::tuple<std::string, std::function<void(configuration&)>, std::string>> packages = {
        {"missing", [](configuration&) {}, missing},
        {"damaged",
         [](configuration& c) {
             c.package(DEMO_SCRIPTS_DIR);
             std::ofstream(c.run_dir() + "db.dat", std::ios::binary | std::ios::app) << "\r\n";
         },
         damaged},
        {"two records run together (a damaged body end)",
         [](configuration& c) {
             c.package(DEMO_SCRIPTS_DIR);
             std::string bytes = standin_test::read_file_text(c.run_dir() + "db.dat");
             bytes[bytes.find("####") + 2] = '\n';
             std::ofstream(c.run_dir() + "db.dat", std::ios::binary | std::ios::trunc) << bytes;
         },
         "数据库升级程序包已损坏（损坏处在记录“p_MS_db_version.sql”中），升级操作被中断。"},
        {"a directory", [](configuration& c) { fs::create_directory(c.run_dir() + "db.dat"); }, "是目录，不是普通文件"},
        {"a FIFO", [](configuration& c) { ASSERT_EQ(::mkfifo((c.run_dir() + "db.dat").c_str(), 0644), 0); },
         "不是普通文件"},
    };
    for (const auto& [what, prepare, message] : packages) {
        SCOPED_TRACE("db.dat " + what);
        case_result r = run_case({}, "velmora", prepare);
        EXPECT_EQ(r.cli.exit_code, 1) << describe(r);
        EXPECT_FALSE(r.cli.timed_out);
        EXPECT_TRUE(mentions(r, message)) << describe(r);
        for (const auto& e : r.journal) EXPECT_FALSE(upgrade_statement(e)) << e.db << ": " << e.sql;
        expect_nothing_lost(r);
        for (const auto& db : upgraded_databases)
            EXPECT_EQ(r.state.doc.at("databases").at(db).dump(), untouched().doc.at("databases").at(db).dump());
    }
}

}  // namespace

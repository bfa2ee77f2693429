// db_upgrade_cli's report and progress lines. The report is checked against
// the field table in the README, so what administrators read there is what
// they get: every field present is described with its type, and every field
// described (but the optional ones) is present.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <map>
#include <functional>
#include <regex>

#include "common/app_names.h"
#include "package/package_format.h"
#include "session/database_session.h"
#include "upgrade/upgrade_plan.h"
#include "upgrade_test_support.h"

using namespace upgrade_test;
using nlohmann::json;

namespace {

struct field {
    std::string type;       // "string", "number", "boolean", "object", "array", or one of them "or null"
    bool optional = false;  // described as present only in some cases
};

// The README's report table: `path` | type | meaning.
std::map<std::string, field> documented_fields() {
    std::ifstream in(std::string(PROJECT_SOURCE_DIR) + "/README.md");
    std::map<std::string, field> out;
    static const std::regex row(R"(^\| `([^`]+)` \| ([a-z ]+) \| (.*)\|$)");
    bool in_section = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("### The report", 0) == 0) in_section = true;
        else if (in_section && line.rfind("#", 0) == 0) break;
        std::smatch m;
        if (in_section && std::regex_match(line, m, row))
            out[m[1]] = {m[2], m[3].str().find("(only") != std::string::npos};
    }
    return out;
}

std::string type_of(const json& v) {
    if (v.is_string()) return "string";
    if (v.is_number()) return "number";
    if (v.is_boolean()) return "boolean";
    if (v.is_object()) return "object";
    if (v.is_array()) return "array";
    return "null";
}

void check_against(const json& v, const std::string& path, const std::map<std::string, field>& fields) {
    if (v.is_array()) {
        for (const auto& item : v) check_against(item, path + "[]", fields);
        return;
    }
    if (!v.is_object()) return;
    for (const auto& [key, value] : v.items()) {
        const std::string p = path.empty() ? key : path + "." + key;
        auto f = fields.find(p);
        if (f == fields.end()) {
            ADD_FAILURE() << "undocumented field " << p;
            continue;
        }
        const std::string t = type_of(value);
        const std::string& documented = f->second.type;
        const bool fits = documented == t || documented == t + " or null" ||
                          (t == "null" && documented.ends_with(" or null"));
        EXPECT_TRUE(fits) << p << " is " << t << ", documented as " << f->second.type;
        check_against(value, p, fields);
    }
    // Fields of this object that must be there.
    const std::string prefix = path.empty() ? "" : path + ".";
    for (const auto& [p, f] : fields) {
        if (p.rfind(prefix, 0) != 0 || f.optional) continue;
        const std::string rest = p.substr(prefix.size());
        if (rest.find('.') != std::string::npos || rest.find('[') != std::string::npos) continue;
        EXPECT_TRUE(v.contains(rest)) << "documented field " << p << " is missing";
    }
}

void expect_valid(const reported_run& r) {
    ASSERT_FALSE(r.report.is_discarded()) << "no report, or not JSON\n" << r.cli.out << r.cli.err;
    const auto fields = documented_fields();
    ASSERT_GT(fields.size(), 30u) << "the README's report table was not found";
    check_against(r.report, "", fields);
    EXPECT_EQ(r.report["exit_status"], r.cli.exit_code);
    const std::string outcome = r.cli.exit_code == 0 ? "succeeded" : r.cli.exit_code == 2 ? "login_failed" : "failed";
    EXPECT_EQ(r.report["outcome"], outcome);
    // The messages are the lines printed on standard output; a plan prints
    // its own lines, and shows no message unless the login failed.
    if (r.report["plan"] == true) {
        if (r.cli.exit_code != 2) {
            EXPECT_TRUE(r.report["messages"].empty()) << r.report["messages"].dump();
        }
        return;
    }
    std::vector<std::string> lines;
    for (const auto& m : r.report["messages"]) {
        std::string text = m["text"].get<std::string>();
        lines.push_back(m["title"].get<std::string>() + ": " + text.substr(0, text.find('\n')));
    }
    std::vector<std::string> printed;
    for (const auto& l : lines_of(r.cli.out))
        if (l.rfind("    ", 0) != 0) printed.push_back(l);
    EXPECT_EQ(lines, printed);
}

TEST(run_report, a_demo_run_reports_every_step_and_object_of_both_databases) {
    demo_setup demo;
    auto& [server, conf] = demo;
    // The report replaces a file whole: a link to the old one keeps the old bytes.
    const std::string path = conf.run_dir() + "report.json";
    std::ofstream(path) << "old";
    ASSERT_EQ(::link(path.c_str(), (conf.run_dir() + "old.json").c_str()), 0);

    reported_run r = run_with_report(conf);
    EXPECT_EQ(r.cli.exit_code, 0) << r.cli.out;
    expect_valid(r);
    EXPECT_EQ(standin_test::read_file_text(conf.run_dir() + "old.json"), "old");
    EXPECT_EQ(r.report["server"], server.server_name());
    ASSERT_EQ(r.report["databases"].size(), 2u);
    EXPECT_EQ(r.report["databases"][0]["database"], "velmora");
    EXPECT_EQ(r.report["databases"][1]["database"], "BrenHolt");
    for (const auto& db : r.report["databases"]) {
        EXPECT_EQ(db["ending"], "completed");
        EXPECT_EQ(db["steps"].size(), 5u);
        for (const auto& step : db["steps"]) EXPECT_EQ(step["outcome"], "done") << step.dump();
        EXPECT_EQ(db["package"]["records"].size(), demo_object_names().size());
        for (const auto& rec : db["package"]["records"]) EXPECT_EQ(rec["outcome"], "executed");
    }
}

TEST(run_report, a_second_run_reports_what_was_already_applied) {
    demo_setup demo;
    auto& [server, conf] = demo;
    ASSERT_EQ(run_cli(conf.run_dir(), conf.conf_dir()).exit_code, 0);
    reported_run r = run_with_report(conf);
    EXPECT_EQ(r.cli.exit_code, 0);
    expect_valid(r);
    std::map<std::string, long> already;
    for (const auto& step : r.report["databases"][0]["steps"])
        if (step["outcome"] == "already_applied") already[step["step"]] = step["error_number"];
    EXPECT_EQ(already, (std::map<std::string, long>{{"插入升级日期记录 UPGRADE_DATE", 2627},
                                                    {"增加字段 t_wm_sheet_detail.sort_id", 2705},
                                                    {"增加菜单项 5120 物流跟踪", 2627}}));
}

TEST(run_report, a_failing_create_is_reported_with_its_error) {
    standin_test::standin_process server(
        {{"demo"}, {"--fail", "^CREATE PROCEDURE p_MS_stock_sum\\b=50000:stock sum is broken"}});
    configuration conf;
    conf.point_at(server.server_name(), "velmora");
    conf.package(DEMO_SCRIPTS_DIR);
    reported_run r = run_with_report(conf);
    EXPECT_EQ(r.cli.exit_code, 1);
    expect_valid(r);
    const auto& package = r.report["databases"][0]["package"];
    EXPECT_EQ(package["ending"], "create_failed");
    const auto& last = package["records"].back();
    EXPECT_EQ(last["name"], "p_MS_stock_sum.sql");
    EXPECT_EQ(last["outcome"], "failed");
    EXPECT_NE(last["error"].get<std::string>().find("stock sum is broken"), std::string::npos);
    EXPECT_EQ(last["object"], "old");  // rolled back
    EXPECT_EQ(last["error_number"], 50000);
    EXPECT_TRUE(last.contains("seconds"));
    // The objects created before the failing one are checked all the same.
    EXPECT_EQ(r.report["databases"][0]["verification"]["outcome"], "passed");
    for (std::size_t i = 0; i + 1 < package["records"].size(); ++i)
        EXPECT_EQ(package["records"][i]["verified"], "encrypted") << package["records"][i].dump();
}

TEST(run_report, a_run_that_did_not_do_all_its_work_is_failed_with_exit_1) {
    for (const bool refused_record : {true, false}) {
        SCOPED_TRACE(refused_record ? "a record the statement builder refuses" : "a failed lookup of the special database");
        standin_test::standin_options options = with_fixtures({"demo"});
        if (!refused_record) options.extra_args = {"--fail", "sysdatabases=50001:injected"};
        standin_test::standin_process server(options);
        configuration conf;
        conf.point_at(server.server_name(), "velmora");
        conf.package(DEMO_SCRIPTS_DIR);
        if (refused_record) {
            std::string bytes = standin_test::read_file_text(conf.run_dir() + "db.dat");
            bytes.resize(bytes.size() - velmora::package::end_marker.size());
            std::ofstream(conf.run_dir() + "db.dat", std::ios::binary | std::ios::trunc)
                << bytes << velmora::package::encode_package({{"p_MS_zz_bad.sql", "CREATE nothing"}});
        }
        reported_run r = run_with_report(conf);
        EXPECT_EQ(r.cli.exit_code, 1) << r.cli.out;
        expect_valid(r);
        EXPECT_EQ(r.report["outcome"], "failed");
        if (refused_record)
            EXPECT_EQ(r.report["databases"][0]["package"]["records"].back()["outcome"], "refused");
        else
            EXPECT_EQ(r.report["special_database_lookup"]["error"], "[FreeTDS][SQL Server]injected");
    }
}

// The demo package with records of its own appended.
void append_records(const configuration& conf, const std::vector<velmora::package::record>& records) {
    std::string bytes = standin_test::read_file_text(conf.run_dir() + "db.dat");
    bytes.resize(bytes.size() - velmora::package::end_marker.size());
    std::ofstream(conf.run_dir() + "db.dat", std::ios::binary | std::ios::trunc)
        << bytes << velmora::package::encode_package(records);
}

// A script whose clause the server reads as part of a comment; the builder
// refuses it, so it can only come from a package built elsewhere.
const velmora::package::record unencrypted_record{
    "p_MS_zz_comment.sql", "drop procedure p_zz_comment\r\ngo\r\ncreate procedure p_zz_comment @a int = 1 as -- "
                           "totals as of the day\r\nbegin\r\n  select @a\r\nend\r\n"};

// What the server holds is checked after each pass; the target comes from
// the command line, the settings pointing nowhere.
TEST(run_report, objects_created_without_encryption_or_gone_are_reported_after_the_pass) {
    standin_test::standin_process server(with_fixtures({"demo"}));
    configuration conf;
    conf.point_at("127.0.0.1," + std::to_string(test_support::closed_port()), "nosuch");
    conf.package(DEMO_SCRIPTS_DIR);
    append_records(conf, {unencrypted_record,
                          {"p_MS_zz_second.sql", "drop procedure p_MS_db_version\r\ngo\r\ncreate procedure "
                                                 "[dbo].[p_zz_second] as begin select 1 end\r\n"}});
    reported_run r = run_with_report(conf, {"--server", server.server_name(), "--database", "velmora"});
    EXPECT_EQ(r.cli.exit_code, 1) << r.cli.out;
    expect_valid(r);
    EXPECT_EQ(r.report["server"], server.server_name());
    EXPECT_EQ(r.report["configured_database"], "velmora");
    ASSERT_EQ(r.report["databases"].size(), 2u);
    for (const auto& db : r.report["databases"]) {
        EXPECT_EQ(db["verification"]["outcome"], "failed");
        std::map<std::string, std::string> verified;
        for (const auto& rec : db["package"]["records"]) verified[rec["object_name"]] = rec["verified"];
        EXPECT_EQ(verified, (std::map<std::string, std::string>{{"p_MS_db_version", "missing"},
                                                                {"p_MS_oper_rights", "encrypted"},
                                                                {"p_MS_stock_sum", "encrypted"},
                                                                {"tr_MS_detail_ins", "encrypted"},
                                                                {"tr_MS_menu_del", "encrypted"},
                                                                {"p_zz_comment", "not_encrypted"},
                                                                {"[dbo].[p_zz_second]", "encrypted"}}));
        EXPECT_NE(db["package"]["records"][5]["without_encryption"].get<std::string>().find("inside a comment"),
                  std::string::npos);
    }
    EXPECT_NE(r.cli.out.find("升级后检查对象：p_MS_db_version（不存在）、p_zz_comment（未加密）。这些对象保持原样"),
              std::string::npos)
        << r.cli.out;
    // One question per pass; the objects stay as they are.
    int asked = 0;
    for (const auto& e : journal(server)) asked += e.sql.rfind("select OBJECTPROPERTY", 0) == 0;
    EXPECT_EQ(asked, 2);
    server_state after = stop(server);
    for (const auto& o : after.objects("velmora"))
        if (o.name == "p_zz_comment") {
            EXPECT_FALSE(o.encrypted);
        }
}

// Each way the check after a pass can fail, in a run of its own, so that no
// case hides another: an object without encryption, a missing one, and a
// check the server could not answer. Each fails the run; only a check not
// made carries the server's error.
TEST(run_report, the_check_after_each_pass_fails_the_run_for_each_reason_alone) {
    struct check_case {
        const char* label;
        std::vector<velmora::package::record> records;  // appended to the demo package
        std::vector<std::string> standin_args;
        const char* outcome;
        std::map<std::string, std::string> verified;  // of the appended records' objects
        const char* message;
    };
    const check_case cases[] = {
        {"an object without encryption", {unencrypted_record}, {}, "failed", {{"p_zz_comment", "not_encrypted"}},
         "升级后检查对象：p_zz_comment（未加密）。"},
        {"a missing object (a later script drops an earlier one)",
         {{"p_MS_zz_second.sql", "drop procedure p_MS_db_version\r\ngo\r\ncreate procedure p_zz_second as begin "
                                 "select 1 end\r\n"}},
         {}, "failed", {{"p_MS_db_version", "missing"}}, "升级后检查对象：p_MS_db_version（不存在）。"},
        {"a check the server cannot answer", {}, {"--fail", "^select OBJECTPROPERTY=50000:cannot say"}, "not_made", {},
         "中升级的对象是否存在并已加密。(错误信息：[FreeTDS][SQL Server]cannot say)"},
    };
    for (const check_case& c : cases) {
        SCOPED_TRACE(c.label);
        standin_test::standin_options options = with_fixtures({"demo"});
        options.extra_args = c.standin_args;
        standin_test::standin_process server(options);
        configuration conf;
        conf.point_at(server.server_name(), "velmora");
        conf.package(DEMO_SCRIPTS_DIR);
        append_records(conf, c.records);
        reported_run r = run_with_report(conf);
        EXPECT_EQ(r.cli.exit_code, 1) << r.cli.out;
        expect_valid(r);
        EXPECT_NE(r.cli.out.find(c.message), std::string::npos) << r.cli.out;
        ASSERT_EQ(r.report["databases"].size(), 2u);
        for (const auto& db : r.report["databases"]) {
            const json& v = db["verification"];
            EXPECT_EQ(v["outcome"], c.outcome) << v.dump();
            const bool not_made = std::string(c.outcome) == "not_made";
            EXPECT_EQ(v.contains("error_number"), not_made) << v.dump();
            EXPECT_EQ(v.contains("error"), not_made) << v.dump();
            if (not_made) {
                EXPECT_EQ(v["error_number"], 50000);
                EXPECT_EQ(v["error"], "[FreeTDS][SQL Server]cannot say");
            }
            std::map<std::string, std::string> verified;
            for (const auto& rec : db["package"]["records"]) {
                if (not_made) EXPECT_FALSE(rec.contains("verified")) << rec.dump();
                else if (c.verified.count(rec["object_name"])) verified[rec["object_name"]] = rec["verified"];
                else EXPECT_EQ(rec["verified"], "encrypted") << rec.dump();
            }
            EXPECT_EQ(verified, c.verified);
        }
    }
}

// db_upgrade_cli --plan against the stand-in: each answer, and nothing sent
// that changes anything.
TEST(run_report, a_plan_tells_what_the_upgrade_would_do_and_changes_nothing) {
    struct plan_case {
        const char* label;
        std::vector<std::string> fixtures;
        std::string database;
        // Run before the plan; what it returns is kept until the plan has run.
        std::function<std::shared_ptr<void>(standin_test::standin_process&, configuration&)> before;
        int exit_code;
        std::function<void(const json&, const std::string& out)> check;
        std::vector<std::string> standin_args = {};
    };
    auto nothing = [](standin_test::standin_process&, configuration&) { return std::shared_ptr<void>(); };
    const plan_case cases[] = {
        {"an old database", {"demo"}, "velmora", nothing, 0,
         [](const json& j, const std::string& out) {
             ASSERT_EQ(j["databases"].size(), 2u);
             for (const auto& db : j["databases"]) {
                 EXPECT_EQ(db["ending"], "completed");
                 EXPECT_TRUE(db["upgrade_date"].is_null());
                 EXPECT_EQ(db["database_version"], "V8 20150301");
                 EXPECT_EQ(db["lock_free"], true);
                 EXPECT_EQ(db["builtin_refused"], false);
                 EXPECT_EQ(db["steps"].size(), 5u);
                 // Nothing was sent, so no step has an error of the server's.
                 for (const auto& step : db["steps"]) {
                     EXPECT_EQ(step["outcome"], "planned");
                     EXPECT_FALSE(step.contains("error_number")) << step.dump();
                     EXPECT_FALSE(step.contains("error")) << step.dump();
                 }
                 // The demo's shop database holds one of the triggers already.
                 for (const auto& rec : db["package"]["records"])
                     EXPECT_EQ(rec["exists"], db["database"] == "velmora" && rec["object_name"] == "tr_MS_detail_ins")
                         << rec.dump();
             }
             EXPECT_EQ(j["databases"][1]["database"], "BrenHolt");
             EXPECT_NE(out.find("BrenHolt: confirmed by the server (select db_name())\n"), std::string::npos);
             EXPECT_NE(out.find("velmora: UPGRADE_DATE (none), DataBase_Version V8 20150301\n"), std::string::npos);
             EXPECT_NE(out.find("\nplan: the upgrade would run cleanly\n"), std::string::npos);
         }},
        {"an upgraded database", {"demo"}, "velmora",
         [](standin_test::standin_process&, configuration& conf) {
             EXPECT_EQ(run_cli(conf.run_dir(), conf.conf_dir()).exit_code, 0);
             return std::shared_ptr<void>();
         },
         0,
         [](const json& j, const std::string& out) {
             for (const auto& db : j["databases"]) {
                 EXPECT_EQ(db["upgrade_date"], "00000000");
                 EXPECT_EQ(db["database_version"], "V9 20170621");
                 for (const auto& rec : db["package"]["records"]) EXPECT_EQ(rec["exists"], true) << rec.dump();
             }
             EXPECT_NE(out.find("velmora: p_MS_db_version.sql: would be executed; p_MS_db_version exists\n"),
                       std::string::npos);
         }},
        {"a dated upgrade on record", {"one_shop.sql", "dated.sql"}, "shop", nothing, 1,
         [](const json& j, const std::string& out) {
             ASSERT_EQ(j["databases"].size(), 1u);
             EXPECT_EQ(j["databases"][0]["upgrade_date"], "20170101");
             EXPECT_EQ(j["databases"][0]["builtin_refused"], true);
             EXPECT_TRUE(j["databases"][0]["steps"].empty());
             EXPECT_NE(out.find("shop: built-in changes: would be refused with \"提示\": "
                                "数据库升级程序不全，升级操作被中断。\n"),
                       std::string::npos);
         }},
        {"a database another session is upgrading", {"demo"}, "velmora",
         [](standin_test::standin_process& server, configuration&) {
             auto other = std::make_shared<velmora::database_session>();
             other->driver = "MSS";
             other->server_name = server.server_name();
             other->database_name = "velmora";
             other->login_id = "velmora";
             other->login_password = "quorbin";
             other->set_autocommit(true);
             other->connect();
             std::string code;
             other->select_into("declare @r int exec @r = sp_getapplock @Resource = N'velmora_db_upgrade' , "
                                "@LockMode = 'Exclusive' , @LockOwner = 'Session' , @LockTimeout = 0 select @r",
                                {&code});
             EXPECT_EQ(code, "0") << other->error_text;
             return std::shared_ptr<void>(other);
         },
         1,
         [](const json& j, const std::string& out) {
             ASSERT_EQ(j["databases"].size(), 1u);
             EXPECT_EQ(j["databases"][0]["ending"], "locked");
             EXPECT_EQ(j["databases"][0]["lock_free"], false);
             EXPECT_TRUE(j["databases"][0]["package"].is_null());
             EXPECT_NE(out.find("velmora: upgrade lock: taken\n"), std::string::npos);
         }},
        {"a package with a refused record and one without encryption", {"demo"}, "velmora",
         [](standin_test::standin_process&, configuration& conf) {
             append_records(conf, {{"p_MS_zz_bad.sql", "drop procedure p_zz_bad\r\ngo\r\ncreate procedure "
                                                       "p_zz_bad as select 1\r\n"},
                                   unencrypted_record});
             return std::shared_ptr<void>();
         },
         1,
         [](const json& j, const std::string& out) {
             const auto& records = j["databases"][0]["package"]["records"];
             ASSERT_EQ(records.size(), 7u);
             EXPECT_EQ(records[5]["outcome"], "refused");
             EXPECT_EQ(records[5]["reason"], "statement builder: body key");
             EXPECT_EQ(records[6]["outcome"], "executed");
             EXPECT_EQ(records[6]["object_name"], "p_zz_comment");
             EXPECT_EQ(records[6]["exists"], false);
             EXPECT_NE(out.find("velmora: p_MS_zz_comment.sql: would be created without encryption (line 3: \" "
                                "with ENCRYPTION \" would land inside a comment); p_zz_comment does not exist\n"),
                       std::string::npos)
                 << out;
             EXPECT_NE(out.find("\nplan: the upgrade would fail or be refused\n"), std::string::npos);
         }},
        // Each reason for a failing plan alone, so that none hides another.
        {"a refused record alone", {"demo"}, "velmora",
         [](standin_test::standin_process&, configuration& conf) {
             append_records(conf, {{"p_MS_zz_bad.sql", "drop procedure p_zz_bad\r\ngo\r\ncreate procedure "
                                                       "p_zz_bad as select 1\r\n"}});
             return std::shared_ptr<void>();
         },
         1,
         [](const json& j, const std::string& out) {
             EXPECT_EQ(j["databases"][0]["package"]["records"].back()["outcome"], "refused");
             EXPECT_NE(out.find("velmora: p_MS_zz_bad.sql: would be refused (statement builder: body key)\n"),
                       std::string::npos)
                 << out;
             EXPECT_NE(out.find("\nplan: the upgrade would fail or be refused\n"), std::string::npos);
         }},
        {"a record without encryption alone", {"demo"}, "velmora",
         [](standin_test::standin_process&, configuration& conf) {
             append_records(conf, {unencrypted_record});
             return std::shared_ptr<void>();
         },
         1,
         [](const json& j, const std::string& out) {
             for (const auto& db : j["databases"]) EXPECT_EQ(db["package"]["refused"], 0);
             EXPECT_NE(out.find("velmora: p_MS_zz_comment.sql: would be created without encryption"),
                       std::string::npos)
                 << out;
             EXPECT_NE(out.find("\nplan: the upgrade would fail or be refused\n"), std::string::npos);
         }},
        {"records no server takes, asked of the server", {"demo"}, "velmora",
         [](standin_test::standin_process&, configuration& conf) {
             append_records(conf, {{"tr_MS_zz_after.sql", "drop trigger tr_zz_after\r\ngo\r\ncreate trigger "
                                                          "tr_zz_after on t_sys_menu after insert as begin select 1 "
                                                          "end\r\n"}});
             return std::shared_ptr<void>();
         },
         1,
         [](const json& j, const std::string& out) {
             for (const auto& db : j["databases"]) {
                 const json& rec = db["package"]["records"].back();
                 EXPECT_EQ(rec["outcome"], "failed") << rec.dump();
                 EXPECT_EQ(rec["parsed"], "refused");
                 EXPECT_EQ(rec["error_number"], 102);
                 EXPECT_FALSE(rec.contains("object")) << "nothing was touched";
                 EXPECT_NE(rec["fails_on_server"].get<std::string>().find("write FOR instead of AFTER"),
                           std::string::npos);
                 EXPECT_EQ(db["package"]["records"][0]["parsed"], "accepted");
                 EXPECT_EQ(db["package"]["ending"], "create_failed");
             }
             EXPECT_NE(out.find("velmora: tr_MS_zz_after.sql: would fail: 102 [FreeTDS][SQL Server]Incorrect syntax "
                                "near 'ENCRYPTION'. (line 3: \" with ENCRYPTION \" would follow the trigger's AFTER "
                                "event list; write FOR instead of AFTER, they mean the same); tr_zz_after does not "
                                "exist\n"),
                       std::string::npos)
                 << out;
             EXPECT_NE(out.find("\nplan: the upgrade would fail or be refused\n"), std::string::npos);
         }},
        {"a failed lookup of the special database", {"demo"}, "velmora", nothing, 1,
         [](const json& j, const std::string& out) {
             ASSERT_EQ(j["databases"].size(), 1u);
             EXPECT_EQ(j["databases"][0]["ending"], "completed");
             EXPECT_EQ(j["special_database_lookup"]["error"], "[FreeTDS][SQL Server]injected");
             EXPECT_NE(out.find("plan: the special customer database cannot be looked up, so it would not be "
                                "upgraded: [FreeTDS][SQL Server]injected\n"),
                       std::string::npos)
                 << out;
             EXPECT_NE(out.find("\nplan: the upgrade would fail or be refused\n"), std::string::npos);
         },
         {"--fail", "sysdatabases=50001:injected"}},
    };
    static const std::regex changing(
        R"(\b(insert|update|delete|merge|create|alter|drop|truncate|use|grant|sp_getapplock|sp_releaseapplock)\b|<)",
        std::regex::icase);
    for (const plan_case& c : cases) {
        SCOPED_TRACE(c.label);
        standin_test::standin_options options = with_fixtures(c.fixtures);
        options.extra_args = c.standin_args;
        standin_test::standin_process server(options);
        configuration conf;
        conf.point_at(server.server_name(), c.database);
        conf.package(DEMO_SCRIPTS_DIR);
        const std::shared_ptr<void> kept = c.before(server, conf);
        const std::size_t sent_before = journal(server).size();
        reported_run r = run_with_report(conf, {"--plan"});
        EXPECT_EQ(r.cli.exit_code, c.exit_code) << r.cli.out << r.cli.err;
        expect_valid(r);
        EXPECT_EQ(r.report["plan"], true);
        c.check(r.report, r.cli.out);
        const auto sent = journal(server);
        ASSERT_GT(sent.size(), sent_before);
        // The creates were parsed by the server, and nothing else went under PARSEONLY.
        std::size_t parsed = 0;
        for (std::size_t i = sent_before; i < sent.size(); ++i) {
            EXPECT_FALSE(!sent[i].parse_only && std::regex_search(sent[i].sql, changing)) << sent[i].sql;
            parsed += sent[i].parse_only && std::regex_search(sent[i].sql, std::regex("^create ", std::regex::icase));
        }
        std::size_t sendable = 0;
        if (r.report["databases"].size() > 0 && !r.report["databases"][0]["package"].is_null())
            for (const auto& rec : r.report["databases"][0]["package"]["records"])
                sendable += rec["outcome"] == "executed" || rec["outcome"] == "failed";
        EXPECT_EQ(parsed, sendable);
    }
}

// A database DDL trigger is found where SQL Server keeps it (OBJECT_ID does
// not see one): checked after the pass, and found by a later plan.
TEST(run_report, a_database_ddl_trigger_is_checked_in_its_own_catalogue) {
    standin_test::standin_process server(with_fixtures({"demo"}));
    configuration conf;
    conf.point_at(server.server_name(), "velmora");
    conf.package(DEMO_SCRIPTS_DIR);
    append_records(conf, {{"tr_MS_zz_ddl.sql", "drop trigger tr_zz_ddl on database\r\ngo\r\ncreate trigger "
                                               "[tr_zz_ddl] on database for create_table as begin select 1 end\r\n"}});
    reported_run r = run_with_report(conf);
    EXPECT_EQ(r.cli.exit_code, 0) << r.cli.out;
    for (const auto& db : r.report["databases"]) {
        EXPECT_EQ(db["verification"]["outcome"], "passed");
        EXPECT_EQ(db["package"]["records"].back()["verified"], "encrypted");
    }
    r = run_with_report(conf, {"--plan"});
    for (const auto& db : r.report["databases"]) EXPECT_EQ(db["package"]["records"].back()["exists"], true);
}

// A record whose object's name cannot be read fails the check after the
// pass, so the plan cannot call the upgrade clean.
TEST(run_report, a_plan_with_an_unnamed_object_would_not_run_cleanly) {
    velmora::upgrade_report plan;
    plan.plan = true;
    velmora::pass_report& pass = plan.passes.emplace_back();
    pass.rehearsed.emplace();
    velmora::record_result& named = pass.package.emplace().records.emplace_back();
    named.what = velmora::record_result::action::executed;
    named.object_name = "p_x";
    EXPECT_FALSE(velmora::plan_fails(plan));
    pass.package->records.emplace_back().what = velmora::record_result::action::executed;
    EXPECT_TRUE(velmora::plan_fails(plan));
    EXPECT_NE(velmora::plan_lines(plan).find("; the name of the object it creates cannot be read, so the check "
                                             "after the pass would fail"),
              std::string::npos);
}

TEST(run_report, a_run_that_stops_before_the_login_is_no_failed_login) {
    // The current directory vanishes under the program: nothing is tried.
    configuration conf;
    const std::string gone = conf.run_dir() + "gone";
    const std::string report_path = conf.run_dir() + "report.json";
    const auto cli = standin_test::run_command(
        {"sh", "-c", "mkdir '" + gone + "' && cd '" + gone + "' && rmdir '" + gone + "' && exec '" DB_UPGRADE_CLI
                     "' --report '" + report_path + "'"},
        "", {"XDG_CONFIG_DIRS=" + conf.conf_dir()});
    EXPECT_EQ(cli.exit_code, 1) << cli.err;
    EXPECT_NE(cli.err.find("cannot read the current directory"), std::string::npos) << cli.err;
    std::ifstream in(report_path);
    reported_run r{cli, json::parse(in, nullptr, false)};
    expect_valid(r);
    EXPECT_EQ(r.report["outcome"], "failed");
    EXPECT_TRUE(r.report["login"].is_null());
    EXPECT_NE(r.report["start_problem"].get<std::string>().find("current directory"), std::string::npos);
}

TEST(run_report, a_failed_login_still_writes_its_report) {
    configuration conf;
    conf.point_at("127.0.0.1," + std::to_string(test_support::closed_port()), "velmora");
    reported_run r = run_with_report(conf);
    EXPECT_EQ(r.cli.exit_code, 2);
    expect_valid(r);
    EXPECT_EQ(r.report["login"]["ok"], false);
    EXPECT_FALSE(r.report["login"]["error"].get<std::string>().empty());
    EXPECT_TRUE(r.report["databases"].empty());
}

TEST(run_report, progress_goes_to_standard_error_and_leaves_the_message_lines_alone) {
    demo_setup demo;
    auto& [server, conf] = demo;
    auto quiet = run_cli(conf.run_dir(), conf.conf_dir());
    auto loud = run_cli(conf.run_dir(), conf.conf_dir(), {"--progress"});
    EXPECT_EQ(quiet.out, loud.out);
    EXPECT_TRUE(quiet.err.empty()) << "standard error is no terminal here";
    std::vector<std::string> objects;
    for (const auto& line : lines_of(loud.err))
        if (line.find(": object ") != std::string::npos) objects.push_back(line);
    const auto names = demo_object_names();
    ASSERT_EQ(objects.size(), 2 * names.size()) << loud.err;
    EXPECT_EQ(objects.front(), "velmora: object 1 of " + std::to_string(names.size()) + ": " + names.front() + ".sql");
    EXPECT_EQ(objects.back(), "BrenHolt: object " + std::to_string(names.size()) + " of " +
                                  std::to_string(names.size()) + ": " + names.back() + ".sql");
}

TEST(run_report, a_report_that_cannot_be_written_fails_the_run) {
    demo_setup demo;
    auto& [server, conf] = demo;
    auto r = run_cli(conf.run_dir(), conf.conf_dir(), {"--report", conf.run_dir() + "no/such/folder/r.json"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("cannot write the report"), std::string::npos) << r.err;
}

}  // namespace

// db_upgrade_cli's report and progress lines. The report is checked against
// the field table in the README, so what administrators read there is what
// they get: every field present is described with its type, and every field
// described (but the optional ones) is present.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <map>
#include <regex>

#include "common/app_names.h"
#include "package/package_format.h"
#include "upgrade_test_support.h"

using namespace upgrade_test;
using nlohmann::json;

namespace {

struct field {
    std::string type;       // "string", "number", "boolean", "object", "array", "object or null"
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
        const bool fits = f->second.type == t || (f->second.type == "object or null" && (t == "object" || t == "null"));
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

struct reported_run {
    standin_test::command_result cli;
    json report;
};

reported_run run_with_report(const configuration& conf, std::vector<std::string> extra = {}) {
    const std::string path = conf.run_dir() + "report.json";
    std::vector<std::string> args = {"--report", path};
    args.insert(args.end(), extra.begin(), extra.end());
    reported_run r;
    r.cli = run_cli(conf.run_dir(), conf.conf_dir(), args);
    std::ifstream in(path);
    r.report = json::parse(in, nullptr, false);
    return r;
}

void expect_valid(const reported_run& r) {
    ASSERT_FALSE(r.report.is_discarded()) << "no report, or not JSON\n" << r.cli.out << r.cli.err;
    const auto fields = documented_fields();
    ASSERT_GT(fields.size(), 30u) << "the README's report table was not found";
    check_against(r.report, "", fields);
    EXPECT_EQ(r.report["exit_status"], r.cli.exit_code);
    const std::string outcome = r.cli.exit_code == 0 ? "succeeded" : r.cli.exit_code == 2 ? "login_failed" : "failed";
    EXPECT_EQ(r.report["outcome"], outcome);
    // The messages are the lines printed on standard output.
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
    EXPECT_TRUE(last.contains("seconds"));
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

#pragma once
// Shared by the upgrade suites: a configured stand-in, a logged-in session,
// and the server's state read back from its dump and journal.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "package/package_builder.h"
#include "session/connect_db.h"
#include "session/database_session.h"
#include "support/closed_port.h"
#include "support/recording_ui.h"
#include "support/settings_file.h"
#include "support/standin_process.h"
#include "support/temp_folder.h"
#include "upgrade/upgrade_command.h"

namespace upgrade_test {

namespace fs = std::filesystem;

inline std::string fixture(const std::string& name) { return std::string(UPGRADE_FIXTURE_DIR) + "/" + name; }

inline standin_test::standin_options with_fixtures(std::vector<std::string> files) {
    standin_test::standin_options o;
    for (auto& f : files) o.fixtures.push_back(f == "demo" ? f : fixture(f));
    return o;
}

using cell = std::optional<std::string>;  // nullopt is NULL
using row = std::vector<cell>;

struct table {
    std::vector<std::string> columns;
    std::vector<row> rows;
    std::multiset<row> row_set() const { return {rows.begin(), rows.end()}; }
    // The row whose first column is key.
    std::optional<row> find(const std::string& key) const {
        for (const auto& r : rows)
            if (!r.empty() && r[0] == key) return r;
        return std::nullopt;
    }
};

inline cell to_cell(const nlohmann::json& v) {
    if (v.is_null()) return std::nullopt;
    if (v.is_string()) return v.get<std::string>();
    if (v.is_number()) {
        double d = v.get<double>();
        if (d == static_cast<double>(static_cast<long long>(d))) return std::to_string(static_cast<long long>(d));
        return std::to_string(d);
    }
    return v.dump();
}

struct db_object {
    std::string name;
    std::string type;
    bool encrypted = false;
    std::string definition;
};

// The dump of one stopped server.
struct server_state {
    nlohmann::json doc;

    bool has_database(const std::string& db) const { return doc.at("databases").contains(db); }
    table get(const std::string& db, const std::string& name) const {
        table t;
        const auto& j = doc.at("databases").at(db).at("tables").at(name);
        for (std::size_t i = 0; i < j.at("columns").size(); ++i) t.columns.push_back(j.at("columns")[i].get<std::string>());
        const auto& rows = j.at("rows");
        for (std::size_t i = 0; i < rows.size(); ++i) {
            row r;
            for (std::size_t c = 0; c < rows[i].size(); ++c) r.push_back(to_cell(rows[i][c]));
            t.rows.push_back(std::move(r));
        }
        return t;
    }
    std::vector<db_object> objects(const std::string& db) const {
        std::vector<db_object> out;
        const auto& j = doc.at("databases").at(db);
        if (!j.contains("objects")) return out;
        for (std::size_t i = 0; i < j.at("objects").size(); ++i) {
            const auto& o = j.at("objects")[i];
            out.push_back({o.at("name").get<std::string>(), o.at("type").get<std::string>(), o.at("encrypted").get<bool>(),
                           o.at("definition").is_string() ? o.at("definition").get<std::string>() : std::string()});
        }
        return out;
    }
};

inline server_state stop(standin_test::standin_process& server) {
    return server_state{nlohmann::json::parse(server.stop_and_dump())};
}

// The state a fixture set gives before anything runs.
inline server_state fresh_state(const std::vector<std::string>& fixtures) {
    standin_test::standin_process server(with_fixtures(fixtures));
    return stop(server);
}

struct journal_entry {
    std::string db;
    std::string sql;
    int error = 0;
    bool parse_only = false;  // parsed under SET PARSEONLY, nothing run
};

inline std::vector<journal_entry> journal(const standin_test::standin_process& server) {
    std::vector<journal_entry> out;
    for (const auto& line : server.journal_lines()) {
        auto j = nlohmann::json::parse(line);
        out.push_back({j.at("db").get<std::string>(), j.at("sql").get<std::string>(),
                       static_cast<int>(j.at("error").get<std::int64_t>()), j.value("parseonly", false)});
    }
    return out;
}

// A velmora.conf of the test's own (in XDG_CONFIG_DIRS for its lifetime) and
// a run directory beside it.
class configuration {
public:
    void point_at(const std::string& server_name, const std::string& database) {
        settings_.point_at(server_name, database);
    }
    std::string conf_dir() const { return settings_.folder(); }
    // The run directory, with a trailing separator as the window keeps it.
    std::string run_dir() const { return run_.dir(); }

    // Packs a script directory into the run directory's db.dat.
    void package(const std::string& script_dir) {
        test_support::recording_ui ui;
        auto r = velmora::build_package(script_dir, run_dir(), ui);
        ASSERT_TRUE(r.written) << (ui.boxes().empty() ? "" : ui.boxes()[0].second);
    }

private:
    test_support::settings_file settings_;
    test_support::temp_folder run_{"velmora_run"};
};

// The demo server, the settings pointing at one of its databases and the demo
// package beside the program: what most runs start from.
struct demo_setup {
    standin_test::standin_process server{with_fixtures({"demo"})};
    configuration conf;
    explicit demo_setup(const std::string& database = "velmora") {
        conf.point_at(server.server_name(), database);
        conf.package(DEMO_SCRIPTS_DIR);
    }
};

// One start of the program: login as the window does it, then the command.
struct program_run {
    std::unique_ptr<velmora::database_session> sqlca = std::make_unique<velmora::database_session>();
    test_support::recording_ui login_ui;
    test_support::recording_ui ui;
    bool logged_in = false;
    velmora::special_database_probe special;
    velmora::upgrade_report report;
};

inline std::unique_ptr<program_run> run_program(const configuration& conf, bool cbx_proc_checked = true) {
    auto r = std::make_unique<program_run>();
    r->logged_in = velmora::wf_connect_db(*r->sqlca, r->login_ui, r->special);
    if (r->logged_in)
        r->report = velmora::run_upgrade_command(*r->sqlca, r->ui,
                                                 velmora::upgrade_options{conf.run_dir(), cbx_proc_checked, r->special});
    return r;
}

using box = std::pair<std::string, std::string>;

// The built-in upgrade refused ("提示") in some pass.
inline bool refused(const velmora::upgrade_report& r) {
    for (const auto& p : r.passes)
        if (p.builtin_refused) return true;
    return false;
}

// The package runs, one per pass that ran the package.
inline std::vector<velmora::run_outcome> package_runs(const velmora::upgrade_report& r) {
    std::vector<velmora::run_outcome> out;
    for (const auto& p : r.passes)
        if (p.package) out.push_back(*p.package);
    return out;
}

#ifdef DB_UPGRADE_CLI
// Runs db_upgrade_cli in dir with the given configuration folder.
inline standin_test::command_result run_cli(const std::string& dir, const std::string& conf_dir,
                                            std::vector<std::string> args = {}, int timeout_ms = 120000) {
    std::string cmd = "cd '" + dir + "' && exec '" DB_UPGRADE_CLI "'";
    for (const auto& a : args) cmd += " '" + a + "'";
    return standin_test::run_command({"sh", "-c", cmd}, "", {"XDG_CONFIG_DIRS=" + conf_dir}, timeout_ms);
}

// db_upgrade_cli --report into the run directory, with the report read back
// (discarded when there is none, or it is not JSON).
struct reported_run {
    standin_test::command_result cli;
    nlohmann::json report;
};

inline reported_run run_with_report(const configuration& conf, std::vector<std::string> extra = {}) {
    const std::string path = conf.run_dir() + "report.json";
    std::vector<std::string> args = {"--report", path};
    args.insert(args.end(), extra.begin(), extra.end());
    reported_run r;
    r.cli = run_cli(conf.run_dir(), conf.conf_dir(), args);
    std::ifstream in(path);
    r.report = nlohmann::json::parse(in, nullptr, false);
    return r;
}
#endif

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// The demo package's objects: one per script, named as its file.
inline std::vector<std::string> demo_object_names() {
    std::vector<std::string> out;
    for (const auto& name : velmora::list_scripts(DEMO_SCRIPTS_DIR)) out.push_back(name.substr(0, name.size() - 4));
    return out;
}

// The built-in changes, the version stamp and every package object, new and encrypted.
inline void expect_upgraded(const server_state& state, const std::string& db) {
    SCOPED_TRACE(db);
    table sys = state.get(db, "t_sys_system");
    ASSERT_TRUE(sys.find("DataBase_Version"));
    EXPECT_EQ((*sys.find("DataBase_Version"))[2], cell("V9 20170621"));
    EXPECT_TRUE(state.get(db, "t_sys_menu").find("5120"));
    auto cols = state.get(db, "t_wm_sheet_detail").columns;
    EXPECT_NE(std::find(cols.begin(), cols.end(), "sort_id"), cols.end());

    auto objects = state.objects(db);
    for (const auto& name : demo_object_names()) {
        auto it = std::find_if(objects.begin(), objects.end(), [&](const db_object& o) { return o.name == name; });
        ASSERT_NE(it, objects.end()) << name;
        EXPECT_TRUE(it->encrypted) << name;
    }
}

}  // namespace upgrade_test

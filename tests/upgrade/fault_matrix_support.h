#pragma once
// Shared by the fault matrix's suites: one shop's run against a demo server
// with faults, and what must hold of every run whatever the fault.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "upgrade_test_support.h"

namespace upgrade_test {

inline const std::vector<std::string> upgraded_databases = {"velmora", "BrenHolt"};

struct case_result {
    standin_test::command_result cli;
    server_state state;
    std::vector<journal_entry> journal;
    double seconds = 0;
    std::string last_message;  // of a run in this process
};

inline std::string describe(const case_result& r) {
    return "exit " + std::to_string(r.cli.exit_code) + (r.cli.timed_out ? " (timed out)" : "") + " after " +
           std::to_string(r.seconds) + " s\nstdout:\n" + r.cli.out + "stderr:\n" + r.cli.err;
}

inline standin_test::standin_options demo_server(std::vector<std::string> extra_args) {
    standin_test::standin_options o = with_fixtures({"demo", "demo_old_objects.sql"});
    o.extra_args = std::move(extra_args);
    return o;
}

#ifdef DB_UPGRADE_CLI
// One shop's run on server: the demo package beside the program (or what
// prepare puts there), and the configured database. The server is stopped.
inline case_result run_case_on(standin_test::standin_process& server, const std::string& database,
                        const std::function<void(configuration&)>& prepare = {}) {
    configuration conf;
    conf.point_at(server.server_name(), database);
    if (prepare) prepare(conf);
    else conf.package(DEMO_SCRIPTS_DIR);
    case_result r;
    const auto t0 = std::chrono::steady_clock::now();
    r.cli = run_cli(conf.run_dir(), conf.conf_dir(), {}, 200000);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.journal = journal(server);
    r.state = stop(server);
    return r;
}

// The same on a demo server with the given faults.
inline case_result run_case(std::vector<std::string> standin_args, const std::string& database = "velmora",
                     const std::function<void(configuration&)>& prepare = {}) {
    standin_test::standin_process server(demo_server(std::move(standin_args)));
    return run_case_on(server, database, prepare);
}
#endif

inline const server_state& untouched() {
    static const server_state s = fresh_state({"demo", "demo_old_objects.sql"});
    return s;
}

// Every package object in each upgraded database, either as it was or new
// and encrypted; every other database exactly as it was.
inline void expect_nothing_lost(const case_result& r) {
    for (const auto& db : upgraded_databases) {
        const auto objects = r.state.objects(db);
        for (const auto& name : demo_object_names()) {
            auto it = std::find_if(objects.begin(), objects.end(), [&](const db_object& o) { return o.name == name; });
            ASSERT_NE(it, objects.end()) << db << "." << name << " is gone\n" << describe(r);
            if (it->encrypted) {
                EXPECT_NE(it->definition.find(" with ENCRYPTION "), std::string::npos) << name;
            }
        }
    }
    for (const auto& entry : untouched().doc.at("databases").items()) {
        const std::string& db = entry.key();
        if (std::find(upgraded_databases.begin(), upgraded_databases.end(), db) != upgraded_databases.end()) continue;
        EXPECT_EQ(r.state.doc.at("databases").at(db).dump(), untouched().doc.at("databases").at(db).dump())
            << "database " << db << " changed";
    }
}

// Exit 0 only with both databases upgraded whole; otherwise a message says what failed.
inline void expect_honest_outcome(const case_result& r) {
    if (r.cli.exit_code == 0) {
        for (const auto& db : upgraded_databases) expect_upgraded(r.state, db);
    } else {
        EXPECT_FALSE(r.cli.out.empty()) << describe(r);
    }
}

inline bool mentions(const case_result& r, const std::string& text) { return r.cli.out.find(text) != std::string::npos; }

}  // namespace upgrade_test

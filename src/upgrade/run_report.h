#pragma once
// The machine-readable record of one unattended upgrade run, for an
// administrator who upgrades many shops from a script: what was done to each
// database, step by step and object by object, how long it took, and how the
// run ended. Its fields are described in the README.

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "upgrade/upgrade_command.h"

namespace velmora {

struct run_record {
    std::string program;  // "db_upgrade_cli"
    bool plan = false;    // a rehearsal (--plan): nothing was changed
    std::string server;
    std::string configured_database;
    // Why the run stopped before the login (the current directory could not
    // be read); empty when it got that far.
    std::string start_problem;
    bool login_tried = false;  // false when the run stopped before the login
    bool logged_in = false;
    std::string login_error;
    std::optional<upgrade_report> upgrade;  // when logged in
    std::vector<std::pair<std::string, std::string>> messages;  // every box shown, (title, text)
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point finished;
    int exit_status = 1;
};

// The report as one JSON document (UTF-8, indented).
std::string run_report_json(const run_record& run);

// Writes the report whole or not at all; false with the reason when it could not.
bool write_run_report(const std::string& path, const run_record& run, std::string& reason);

// The program's version, as the build gives it.
const char* program_version();

}  // namespace velmora

#include "upgrade/run_report.h"

#include <nlohmann/json.hpp>

#include <ctime>

#include "common/atomic_file.h"
#include "common/gbk.h"
#include "upgrade/utc_text.h"

namespace velmora {

namespace {

using json = nlohmann::ordered_json;

std::string iso_time(std::chrono::system_clock::time_point t) {
    return utc_text(std::chrono::system_clock::to_time_t(t), "%Y-%m-%dT%H:%M:%SZ");
}

const char* step_outcome(step_result::status s) {
    switch (s) {
        case step_result::status::done: return "done";
        case step_result::status::already_applied: return "already_applied";
        case step_result::status::failed: return "failed";
        case step_result::status::planned: return "planned";
    }
    return "failed";
}

const char* record_outcome(record_result::action a) {
    switch (a) {
        case record_result::action::executed: return "executed";
        case record_result::action::skipped: return "skipped";
        case record_result::action::refused: return "refused";
        case record_result::action::failed: return "failed";
    }
    return "failed";
}

const char* package_ending(run_outcome::ending e) {
    switch (e) {
        case run_outcome::ending::package_missing: return "package_missing";
        case run_outcome::ending::package_unreadable: return "package_unreadable";
        case run_outcome::ending::package_damaged: return "package_damaged";
        case run_outcome::ending::create_failed: return "create_failed";
        case run_outcome::ending::completed: return "completed";
    }
    return "completed";
}

const char* pass_ending(pass_report::ending e) {
    switch (e) {
        case pass_report::ending::completed: return "completed";
        case pass_report::ending::not_confirmed: return "not_confirmed";
        case pass_report::ending::wrong_database: return "wrong_database";
        case pass_report::ending::system_database: return "system_database";
        case pass_report::ending::locked: return "locked";
        case pass_report::ending::connection_lost: return "connection_lost";
        case pass_report::ending::backup_failed: return "backup_failed";
    }
    return "completed";
}

const char* package_status(package_load::status s) {
    switch (s) {
        case package_load::status::ok: return "ok";
        case package_load::status::missing: return "missing";
        case package_load::status::not_a_file: return "not_a_file";
        case package_load::status::unreadable: return "unreadable";
        case package_load::status::too_large: return "too_large";
        case package_load::status::damaged: return "damaged";
    }
    return "damaged";
}

const char* verified_state(record_result::check c) {
    switch (c) {
        case record_result::check::encrypted: return "encrypted";
        case record_result::check::not_encrypted: return "not_encrypted";
        case record_result::check::missing: return "missing";
        case record_result::check::unnamed: return "unnamed";
        case record_result::check::not_asked: break;
    }
    return "not_asked";
}

const char* parse_state(record_result::parse p) {
    switch (p) {
        case record_result::parse::accepted: return "accepted";
        case record_result::parse::refused: return "refused";
        case record_result::parse::not_asked: break;
    }
    return "not_asked";
}

const char* verification_outcome(object_verification::outcome o) {
    switch (o) {
        case object_verification::outcome::passed: return "passed";
        case object_verification::outcome::failed: return "failed";
        case object_verification::outcome::not_made: return "not_made";
    }
    return "not_made";
}

json optional_text(const std::optional<std::string>& text) { return text ? json(*text) : json(nullptr); }

// A rehearsal's steps and records did not run: they have no outcome of a
// server's and took no time.
json step_json(const step_result& step, bool plan) {
    json j = {{"step", step.step}, {"statement", step.statement}, {"outcome", step_outcome(step.outcome)}};
    if (step.outcome != step_result::status::done && step.outcome != step_result::status::planned) {
        j["error_number"] = step.native_error;
        j["error"] = step.error_text;
    }
    if (!plan) j["seconds"] = step.seconds;
    return j;
}

json package_json(const run_outcome& run, bool plan) {
    json records = json::array();
    for (const record_result& r : run.records) {
        json j = {{"name", gbk_to_utf8_lossy(r.name)}, {"outcome", record_outcome(r.what)}};
        if (r.what == record_result::action::refused) j["reason"] = r.detail;
        if (r.what == record_result::action::failed) {
            j["error_number"] = r.error_number;
            j["error"] = r.detail;
            // A plan's failed record is the server's refusal to parse it: nothing was touched.
            if (!plan) j["object"] = r.object_unknown ? "unknown" : "old";
        }
        if (!r.object_name.empty()) j["object_name"] = gbk_to_utf8_lossy(r.object_name);
        if (!r.without_encryption.empty()) j["without_encryption"] = r.without_encryption;
        if (!r.fails_on_server.empty()) j["fails_on_server"] = r.fails_on_server;
        const bool sent = r.what == record_result::action::executed || r.what == record_result::action::failed;
        if (plan && sent) j["parsed"] = parse_state(r.parsed);
        if (r.verified != record_result::check::not_asked) j["verified"] = verified_state(r.verified);
        if (plan && sent && !r.object_name.empty()) j["exists"] = r.exists ? json(*r.exists) : json(nullptr);
        if (!plan && sent) j["seconds"] = r.seconds;
        records.push_back(std::move(j));
    }
    return {{"ending", package_ending(run.how)},
            {"executed", run.executed},
            {"skipped", run.skipped},
            {"refused", run.refused},
            {"records", std::move(records)}};
}

json backup_json(const pass_report::backup_taken& b) {
    json j = {{"file", b.file},         {"bytes", b.bytes},   {"seconds", b.seconds}, {"verified", b.verified},
              {"copy_only", b.copy_only}, {"restore", b.restore}};
    if (!b.error.empty()) {
        j["error_number"] = b.error_number;
        j["error"] = b.error;
    }
    return j;
}

json pass_json(const pass_report& pass, int number, bool plan) {
    json steps = json::array();
    for (const step_result& s : pass.steps) steps.push_back(step_json(s, plan));
    json j = {{"pass", number},
              {"database", pass.database},
              {"ending", pass_ending(pass.how)},
              {"builtin_refused", pass.builtin_refused},
              {"steps", std::move(steps)}};
    j["package"] = pass.package ? package_json(*pass.package, plan) : json(nullptr);
    json verification = nullptr;
    if (pass.verification) {
        verification = {{"outcome", verification_outcome(pass.verification->how)}};
        if (pass.verification->how == object_verification::outcome::not_made) {
            verification["error_number"] = pass.verification->error_number;
            verification["error"] = pass.verification->error;
        }
    }
    j["verification"] = std::move(verification);
    if (pass.other_sessions) {
        json sessions = json::array();
        for (const other_session& o : *pass.other_sessions)
            sessions.push_back(
                {{"host", o.host}, {"program", o.program}, {"login", o.login}, {"open_transaction", o.open_transaction}});
        j["other_sessions"] = std::move(sessions);
    } else {
        j["other_sessions"] = nullptr;
    }
    if (!plan) j["backup"] = pass.backup ? backup_json(*pass.backup) : json(nullptr);
    if (pass.rehearsed) {
        const pass_report::rehearsal& facts = *pass.rehearsed;
        j["upgrade_date"] = optional_text(facts.upgrade_date);
        j["database_version"] = optional_text(facts.database_version);
        if (!facts.system_values_error.empty()) j["system_values_error"] = facts.system_values_error;
        j["lock_free"] = facts.lock_free ? json(*facts.lock_free) : json(nullptr);
        if (!facts.lock_untested.empty()) j["lock_untested"] = facts.lock_untested;
        if (facts.last_backup.read) {
            const auto& b = facts.last_backup.backup;
            j["last_backup"] =
                b ? json{{"finished", b->finished}, {"file", b->file}, {"age_days", b->age_days}} : json(nullptr);
        } else {
            j["last_backup"] = nullptr;
            j["last_backup_error"] = facts.last_backup.error;
        }
        if (facts.backup_file)
            j["backup_target"] = {{"file", *facts.backup_file},
                                  {"folder", facts.backup_folder ? json(*facts.backup_folder) : json(nullptr)}};
        if (!facts.problem.empty()) j["problem"] = facts.problem;
    }
    j["seconds"] = pass.seconds;
    return j;
}

// login_failed is the failed login's own outcome (exit 2), never that of a
// run that stopped before it.
const char* overall_outcome(const run_record& run) {
    if (run.login_tried && !run.logged_in) return "login_failed";
    return run.exit_status == 0 ? "succeeded" : "failed";
}

}  // namespace

const char* program_version() {
#ifdef VELMORA_VERSION
    return VELMORA_VERSION;
#else
    return "unknown";
#endif
}

std::string run_report_json(const run_record& run) {
    json doc;
    doc["program"] = run.program;
    doc["version"] = program_version();
    doc["plan"] = run.plan;
    doc["server"] = run.server;
    doc["configured_database"] = run.configured_database;
    doc["server_version"] = run.upgrade && run.upgrade->server ? json(run.upgrade->server->product_version) : json(nullptr);
    doc["started"] = iso_time(run.started);
    doc["finished"] = iso_time(run.finished);
    doc["seconds"] = std::chrono::duration<double>(run.finished - run.started).count();
    doc["outcome"] = overall_outcome(run);
    doc["exit_status"] = run.exit_status;
    if (!run.start_problem.empty()) doc["start_problem"] = run.start_problem;
    doc["login"] = !run.login_tried ? json(nullptr)
                   : run.logged_in  ? json{{"ok", true}}
                                    : json{{"ok", false}, {"error", run.login_error}};

    json package = nullptr;
    json databases = json::array();
    json special_lookup = nullptr;
    json special_switch = nullptr;
    if (run.upgrade) {
        const upgrade_report& u = *run.upgrade;
        if (u.package_problem)
            package = {{"status", package_status(*u.package_problem)}, {"message", u.package_message}};
        int number = 0;
        for (const pass_report& pass : u.passes) databases.push_back(pass_json(pass, ++number, u.plan));
        if (u.special_lookup_failed) special_lookup = {{"failed", true}, {"error", u.special_lookup_error}};
        if (u.special_switch_failed) special_switch = {{"failed", true}, {"error", u.special_switch_error}};
    }
    doc["package_problem"] = std::move(package);
    doc["databases"] = std::move(databases);
    doc["special_database_lookup"] = std::move(special_lookup);
    doc["special_database_switch"] = std::move(special_switch);

    json messages = json::array();
    for (const auto& [title, text] : run.messages) messages.push_back({{"title", title}, {"text", text}});
    doc["messages"] = std::move(messages);
    // Texts from the server are not always valid UTF-8; they must never make the report unwritable.
    return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

bool write_run_report(const std::string& path, const run_record& run, std::string& reason) {
    const std::string text = run_report_json(run);
    atomic_file out(path);
    if (!out.open() || !out.write(text) || !out.commit()) {
        reason = out.reason();
        return false;
    }
    return true;
}

}  // namespace velmora

#include "upgrade/upgrade_plan.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#include "common/gbk.h"
#include "package/package_format.h"
#include "package/record_plan.h"
#include "upgrade/builtin_upgrade.h"
#include "upgrade/object_verification.h"
#include "upgrade/pass_rules.h"
#include "upgrade/run_report.h"
#include "upgrade/server_facts.h"

namespace velmora {

namespace {

using result_row = database_session::result_row;

const std::string lock_test = "select APPLOCK_TEST ( 'public' , " + pass_rules::unicode_literal(pass_rules::upgrade_lock) +
                              " , 'Exclusive' , 'Session' )";
constexpr const char* system_values_query =
    "select sys_var_id , sys_var_value from t_sys_system where sys_var_id in ( 'UPGRADE_DATE' , 'DataBase_Version' )";
constexpr const char* refusal_text = "数据库升级程序不全，升级操作被中断。";

step_result planned(const step_definition& step) {
    step_result s;
    s.step = step.name;
    s.statement = step.statement;
    s.outcome = step_result::status::planned;
    return s;
}

// Rehearses the passes on one session. The configured database is current
// after the login; the special one is reached through its own sp_executesql,
// so that no "use" is sent.
class rehearsal {
public:
    rehearsal(database_session& sqlca, const upgrade_options& options) : sqlca_(sqlca), options_(options) {}

    upgrade_report run();

private:
    // How a pass reads: in the current database, or through the named one.
    struct reader {
        database_session& sqlca;
        std::string through;  // empty: the current database
        bool rows(const std::string& sql, std::vector<result_row>& out) const {
            if (through.empty()) {
                sqlca.select_rows(sql, out);
            } else {
                sqlca.select_rows("exec " + pass_rules::bracketed(through) + ".dbo.sp_executesql " +
                                      pass_rules::unicode_literal(sql),
                                  out);
            }
            return sqlca.status_code == 0;
        }
        // The first column of the first row: nullopt for NULL or no row.
        bool value(const std::string& sql, std::optional<std::string>& out) const {
            std::vector<result_row> r;
            if (!rows(sql, r)) return false;
            out = r.empty() || r[0].empty() ? std::nullopt : r[0][0];
            return true;
        }
    };

    pass_report rehearse(const std::string& meant, const reader& read);
    void read_system_values(const reader& read, pass_report::rehearsal& facts);
    void plan_package(const reader& read, pass_report& pass);
    void rehearse_passes(upgrade_report& report);
    void plan_backup_target(pass_report::rehearsal& facts, const std::string& database);
    void ask_server_to_parse(upgrade_report& report);

    // A create statement the upgrade would send, by its record's place in the package.
    struct create_to_parse {
        std::size_t record = 0;
        std::u16string statement;
    };

    database_session& sqlca_;
    const upgrade_options& options_;
    std::string package_;
    std::string ls_upgrade_date;  // as the command keeps it from pass to pass
    // Every pass sends the same statements: they are asked about once.
    std::optional<std::vector<create_to_parse>> creates_;
    std::optional<server_version> server_;
};

// The backup --backup would take: its file, and its folder where the server
// tells it (InstanceDefaultBackupPath came with SQL Server 2019). Nothing is
// written, so whether the folder can be written is not known.
void rehearsal::plan_backup_target(pass_report::rehearsal& facts, const std::string& database) {
    facts.backup_file = plan_backup_now(*options_.backup, database, server_).file;
    if (!options_.backup->folder.empty()) {
        facts.backup_folder = options_.backup->folder;
    } else if (server_ && server_->has_default_backup_path()) {
        std::vector<result_row> rows;
        sqlca_.select_rows("select convert ( nvarchar ( 4000 ) , SERVERPROPERTY ( 'InstanceDefaultBackupPath' ) )", rows);
        if (sqlca_.status_code == 0 && !rows.empty() && !rows[0].empty() && rows[0][0]) facts.backup_folder = rows[0][0];
    }
}

pass_report rehearsal::rehearse(const std::string& meant, const reader& read) {
    pass_report pass;
    pass.database = meant;
    pass.rehearsed.emplace();
    pass_report::rehearsal& facts = *pass.rehearsed;
    auto stop = [&](pass_report::ending how, std::string why) {
        pass.how = sqlca_.connection_broken() ? pass_report::ending::connection_lost : how;
        facts.problem = std::move(why);
        return pass;
    };

    std::optional<std::string> current;
    if (!read.value("select db_name()", current)) return stop(pass_report::ending::not_confirmed, sqlca_.error_text);
    pass.database = current.value_or("");
    if (!pass_rules::same_database(pass.database, meant))
        return stop(pass_report::ending::wrong_database,
                    "the current database is \"" + pass.database + "\", not \"" + meant + "\"");
    if (pass_rules::is_system_database(pass.database))
        return stop(pass_report::ending::system_database, "\"" + pass.database + "\" is a system database");

    // Tested, not taken: whoever holds it is left alone, and nobody is kept
    // out. SQL Server 2000 has no read-only test (APPLOCK_TEST came with
    // 2005); there the upgrade's sp_getapplock alone will tell.
    if (server_ && !server_->has_applock_test()) {
        facts.lock_untested = "cannot be tested on " + server_->name() +
                              ", which has no APPLOCK_TEST; the upgrade takes it with sp_getapplock";
        read_system_values(read, facts);
    } else {
        std::optional<std::string> free;
        const bool lock_tested = read.value(lock_test, free);
        const std::string lock_error = sqlca_.error_text;
        read_system_values(read, facts);
        if (lock_tested) facts.lock_free = free == std::optional<std::string>("1");
        // The command would send nothing more.
        if (!lock_tested) return stop(pass_report::ending::locked, "the upgrade lock cannot be tested: " + lock_error);
        if (!*facts.lock_free)
            return stop(pass_report::ending::locked,
                        "another session holds the upgrade lock: another computer is upgrading the database");
    }

    // What the operator should know before the upgrade: the last backup,
    // and who else works in the database.
    facts.last_backup = read_last_backup(sqlca_, pass.database);
    pass.other_sessions = read_other_sessions(sqlca_, pass.database);
    if (options_.backup) plan_backup_target(facts, pass.database);

    // The command's date query, which a failure leaves as the last pass had it.
    std::optional<std::string> date;
    const bool date_read = read.value(upgrade_date_query, date);
    if (date_read) ls_upgrade_date = date.value_or("");
    if (ls_upgrade_date == "00000000") pass.steps.push_back(planned(date_row_step()));
    // The built-in upgrade reads the date again, and refuses what is not "00000000".
    pass.builtin_refused = !date_read || date.value_or("") != "00000000";
    if (!pass.builtin_refused)
        for (const step_definition& step : builtin_steps()) pass.steps.push_back(planned(step));

    if (options_.run_package) plan_package(read, pass);
    if (sqlca_.connection_broken()) return stop(pass_report::ending::connection_lost, sqlca_.error_text);
    return pass;
}

void rehearsal::read_system_values(const reader& read, pass_report::rehearsal& facts) {
    std::vector<result_row> rows;
    if (!read.rows(system_values_query, rows)) {
        facts.system_values_error = sqlca_.error_text;
        return;
    }
    // The largest value, as the command's date query takes it.
    for (const result_row& r : rows) {
        if (r.size() < 2 || !r[0] || !r[1]) continue;
        std::optional<std::string>& into = pass_rules::same_text(*r[0], "UPGRADE_DATE") ? facts.upgrade_date
                                                                                          : facts.database_version;
        if (!into || *r[1] > *into) into = r[1];
    }
}

void rehearsal::plan_package(const reader& read, pass_report& pass) {
    std::vector<package::record_view> records;
    package::decode_package(package_, records);  // checked whole when it was loaded
    run_outcome& run = pass.package.emplace();
    std::vector<std::size_t> named;  // indexes into run.records
    std::vector<created_object> objects;
    const bool first = !creates_;
    if (first) creates_.emplace();
    for (const package::record_view& r : records) {
        record_plan plan = plan_record(sqlca_.driver, r.name, r.stored_body);
        record_result& result = run.records.emplace_back();
        result.name = std::string(r.name);
        // The runner refuses what does not convert for the server as well.
        std::optional<std::u16string> create16;
        if (plan.what == record_plan::action::execute) {
            create16 = gbk_to_utf16(plan.create);
            if (!gbk_to_utf16(plan.drop) || !create16) {
                plan.what = record_plan::action::refuse;
                plan.reason = "not valid GBK";
            }
        }
        switch (plan.what) {
            case record_plan::action::skip: ++run.skipped; continue;
            case record_plan::action::refuse:
                ++run.refused;
                result.what = record_result::action::refused;
                result.detail = std::move(plan.reason);
                continue;
            case record_plan::action::execute: break;
        }
        ++run.executed;
        result.what = record_result::action::executed;
        result.object_name = std::move(plan.object_name);
        result.without_encryption = std::move(plan.without_encryption);
        result.fails_on_server = std::move(plan.fails_on_server);
        result.database_trigger = plan.database_trigger;
        if (first) creates_->push_back({run.records.size() - 1, std::move(*create16)});
        if (result.object_name.empty()) continue;
        named.push_back(run.records.size() - 1);
        objects.push_back({gbk_to_utf8_lossy(result.object_name), result.database_trigger});
    }
    if (named.empty()) return;
    // One batch for every object; a failure leaves it unknown.
    std::vector<result_row> rows;
    if (!read.rows(existence_query(objects), rows) || rows.size() != named.size()) return;
    for (std::size_t i = 0; i < named.size(); ++i)
        run.records[named[i]].exists = !rows[i].empty() && rows[i][0].has_value();
}

// The target server parses every create statement without running it (SET
// PARSEONLY, which takes effect when its batch is parsed, so it stands in a
// batch of its own), and tells what only it knows: a clause its version no
// longer takes, CREATE OR ALTER before 2016 SP1. Asked last, once the passes
// have read everything, so that a session left parsing only reads nothing
// wrong. A statement that itself mentions PARSEONLY could switch it off
// midway and run: it is not asked about; nor is anything asked of a server
// that does not keep the setting.
void rehearsal::ask_server_to_parse(upgrade_report& report) {
    if (!creates_ || creates_->empty() || sqlca_.connection_broken()) return;
    struct answer {
        record_result::parse parsed = record_result::parse::not_asked;
        long error_number = 0;
        std::string error;
    };
    std::vector<answer> answers(creates_->size());
    sqlca_.execute_immediate("SET PARSEONLY ON");
    // A server that only parses returns no row; one that answered would run
    // the creates, so none is sent to it.
    std::vector<result_row> probe;
    if (sqlca_.status_code == 0) sqlca_.select_rows("select 1", probe);
    if (sqlca_.status_code != -1 && probe.empty()) {
        for (std::size_t i = 0; i < creates_->size() && !sqlca_.connection_broken(); ++i) {
            const std::u16string& statement = (*creates_)[i].statement;
            std::string lower(statement.size(), ' ');
            std::transform(statement.begin(), statement.end(), lower.begin(),
                           [](char16_t c) { return c < 0x80 ? pass_rules::fold(static_cast<char>(c)) : '?'; });
            if (lower.find("parseonly") != std::string::npos) continue;
            sqlca_.execute_immediate(statement);
            if (sqlca_.connection_broken()) break;
            answers[i] = sqlca_.status_code == 0 ? answer{record_result::parse::accepted, 0, {}}
                                                 : answer{record_result::parse::refused, sqlca_.native_error,
                                                          sqlca_.error_text};
        }
        sqlca_.execute_immediate("SET PARSEONLY OFF");
    }
    if (sqlca_.connection_broken()) {
        pass_report& last = report.passes.back();
        last.how = pass_report::ending::connection_lost;
        last.rehearsed->problem = sqlca_.error_text;
        return;
    }
    for (pass_report& pass : report.passes) {
        if (!pass.package) continue;
        run_outcome& run = *pass.package;
        for (std::size_t i = 0; i < creates_->size(); ++i) {
            record_result& r = run.records[(*creates_)[i].record];
            r.parsed = answers[i].parsed;
            if (r.parsed != record_result::parse::refused) continue;
            r.what = record_result::action::failed;
            r.error_number = answers[i].error_number;
            r.detail = answers[i].error;
            --run.executed;
            run.how = run_outcome::ending::create_failed;
        }
    }
}

void rehearsal::rehearse_passes(upgrade_report& report) {
    auto timed = [&](const std::string& meant, const reader& read) {
        const auto started = std::chrono::steady_clock::now();
        report.passes.push_back(rehearse(meant, read));
        report.passes.back().seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    const special_database_probe& special = options_.special;
    timed(sqlca_.intended_database(), reader{sqlca_, {}});
    if (report.passes.back().how != pass_report::ending::completed || special.lookup_error || !special.found)
        return;
    // The second pass begins with the switch; a database the session cannot
    // enter fails its sp_executesql as it would fail the "use".
    std::optional<std::string> entered;
    const reader special_reader{sqlca_, special.name};
    if (!special_reader.value("select 1", entered)) {
        report.special_switch_failed = true;
        report.special_switch_error = sqlca_.error_text;
        return;
    }
    timed(special.name, special_reader);
}

upgrade_report rehearsal::run() {
    upgrade_report report;
    report.plan = true;
    report.note_special_lookup(options_.special);
    if (options_.run_package) {
        package_load load = load_package(options_.run_dir);
        if (load.what != package_load::status::ok) {
            report.package_problem = load.what;
            report.package_message = load.message;
            return report;
        }
        package_ = std::move(load.bytes);
    }
    server_ = report.server = read_server_version(sqlca_);
    rehearse_passes(report);
    ask_server_to_parse(report);
    return report;
}

// Continuation lines of a text indented, as the console shows message boxes.
std::string indented(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r') continue;
        out += c;
        if (c == '\n') out += "    ";
    }
    return out;
}

std::string shown(const std::optional<std::string>& value) { return value ? *value : std::string("(none)"); }

// The last backup on record, the sessions the upgrade would work beside,
// and, with --backup, the backup it would take.
template <typename Line>
void add_backup_lines(const Line& line, const pass_report& pass) {
    const pass_report::rehearsal& facts = *pass.rehearsed;
    const last_backup_read& last = facts.last_backup;
    if (!last.read)
        line("last full backup: cannot be read: " + last.error);
    else if (!last.backup)
        line("last full backup: none on record");
    else
        line("last full backup: " + last.backup->finished + ", " + std::to_string(last.backup->age_days) +
             " day(s) ago, " + last.backup->file);
    if (!pass.other_sessions) {
        line("other sessions: cannot be read");
    } else {
        line("other sessions: " + std::to_string(pass.other_sessions->size()));
        for (const other_session& o : *pass.other_sessions)
            line("  " + o.host + " (" + o.program + ", login " + o.login + ")" +
                 (o.open_transaction ? ", holds a transaction open" : ""));
    }
    if (facts.backup_file)
        line("backup: would write " + *facts.backup_file + " into " +
             (facts.backup_folder ? *facts.backup_folder : std::string("the server's default backup folder")) +
             " (not tested: a plan writes nothing)");
}

void add_pass_lines(std::string& out, const pass_report& pass, int number) {
    const std::string head = pass.database + ": ";
    auto line = [&](const std::string& text) { out += head + indented(text) + "\n"; };
    const pass_report::rehearsal& facts = *pass.rehearsed;
    line("pass " + std::to_string(number) +
         (number == 1 ? " (configured database)" : " (special customer database)"));
    switch (pass.how) {
        case pass_report::ending::not_confirmed:
        case pass_report::ending::wrong_database:
        case pass_report::ending::system_database:
        case pass_report::ending::connection_lost:
            line("the pass would stop before its first change: " + facts.problem);
            return;
        case pass_report::ending::completed:
        case pass_report::ending::locked:
        case pass_report::ending::backup_failed: break;
    }
    line("confirmed by the server (select db_name())");
    if (!facts.system_values_error.empty())
        line("UPGRADE_DATE and DataBase_Version cannot be read: " + facts.system_values_error);
    else
        line("UPGRADE_DATE " + shown(facts.upgrade_date) + ", DataBase_Version " + shown(facts.database_version));
    line(!facts.lock_untested.empty() ? "upgrade lock: " + facts.lock_untested
         : !facts.lock_free          ? std::string("upgrade lock: unknown")
         : *facts.lock_free          ? std::string("upgrade lock: free")
                                     : std::string("upgrade lock: taken"));
    if (pass.how == pass_report::ending::locked) {
        line("the pass would stop at the lock: " + facts.problem);
        return;
    }
    add_backup_lines(line, pass);
    if (pass.builtin_refused)
        line(std::string("built-in changes: would be refused with \"提示\": ") + refusal_text);
    else
        line("built-in changes: would run");
    for (const step_result& s : pass.steps) line("  would send: " + s.step);
    if (!pass.package) return;
    for (const record_result& r : pass.package->records) {
        std::string text = gbk_to_utf8_lossy(r.name) + ": ";
        switch (r.what) {
            case record_result::action::skipped: text += "would be skipped (interface tag)"; break;
            case record_result::action::refused: text += "would be refused (" + r.detail + ")"; break;
            default:
                std::string verdict;
                if (r.what == record_result::action::failed)
                    verdict = "would fail: " + std::to_string(r.error_number) + " " + r.detail +
                              (r.fails_on_server.empty() ? "" : " (" + r.fails_on_server + ")");
                else if (!r.fails_on_server.empty())
                    verdict = "would fail on the server (" + r.fails_on_server + ")";
                if (!r.without_encryption.empty())
                    verdict += (verdict.empty() ? "" : "; ") + std::string("would be created without encryption (") +
                               r.without_encryption + ")";
                text += verdict.empty() ? "would be executed" : verdict;
                if (r.object_name.empty()) {
                    text += "; the name of the object it creates cannot be read, so the check after the pass would "
                            "fail";
                } else {
                    const std::string name = gbk_to_utf8_lossy(r.object_name);
                    text += !r.exists ? "; whether " + name + " exists is not known"
                            : *r.exists ? "; " + name + " exists"
                                        : "; " + name + " does not exist";
                }
                break;
        }
        line(text);
    }
}

}  // namespace

upgrade_report plan_upgrade(database_session& sqlca, const upgrade_options& options) {
    return rehearsal(sqlca, options).run();
}

bool plan_fails(const upgrade_report& plan) {
    if (plan.package_problem || plan.special_lookup_failed || plan.special_switch_failed || plan.passes.empty())
        return true;
    for (const pass_report& pass : plan.passes) {
        if (pass.how != pass_report::ending::completed || pass.builtin_refused) return true;
        if (!pass.package) continue;
        if (pass.package->refused > 0) return true;
        // The upgrade would stop at a failing create, or fail its check
        // after the pass on an object unencrypted or not named.
        for (const record_result& r : pass.package->records) {
            if (r.what == record_result::action::failed || !r.fails_on_server.empty() ||
                !r.without_encryption.empty())
                return true;
            if (r.what == record_result::action::executed && r.object_name.empty()) return true;
        }
    }
    return false;
}

std::string plan_lines(const upgrade_report& plan) {
    std::string out;
    if (plan.server) out += "plan: server " + plan.server->name() + " (" + plan.server->product_version + ")\n";
    if (plan.package_problem) out += "plan: " + indented(plan.package_message) + "\n";
    int number = 0;
    for (const pass_report& pass : plan.passes) add_pass_lines(out, pass, ++number);
    if (plan.special_lookup_failed)
        out += "plan: the special customer database cannot be looked up, so it would not be upgraded: " +
               indented(plan.special_lookup_error) + "\n";
    if (plan.special_switch_failed)
        out += "plan: the special customer database cannot be entered, so it would not be upgraded: " +
               indented(plan.special_switch_error) + "\n";
    out += plan_fails(plan) ? "plan: the upgrade would fail or be refused\n" : "plan: the upgrade would run cleanly\n";
    return out;
}

}  // namespace velmora

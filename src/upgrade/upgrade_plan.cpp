#include "upgrade/upgrade_plan.h"

#include <chrono>
#include <vector>

#include "common/gbk.h"
#include "package/package_format.h"
#include "package/record_plan.h"
#include "upgrade/builtin_upgrade.h"
#include "upgrade/pass_rules.h"

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
                std::string db = "[";
                for (char c : through) db += c == ']' ? std::string("]]") : std::string(1, c);
                sqlca.select_rows("exec " + db + "].dbo.sp_executesql " + pass_rules::unicode_literal(sql), out);
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

    database_session& sqlca_;
    const upgrade_options& options_;
    std::string package_;
    std::string ls_upgrade_date;  // as the command keeps it from pass to pass
};

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

    // Tested, not taken: whoever holds it is left alone, and nobody is kept out.
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
    std::string lookup;
    for (const package::record_view& r : records) {
        record_plan plan = plan_record(sqlca_.driver, r.name, r.stored_body);
        record_result& result = run.records.emplace_back();
        result.name = std::string(r.name);
        // The runner refuses what does not convert for the server as well.
        if (plan.what == record_plan::action::execute && (!gbk_to_utf16(plan.drop) || !gbk_to_utf16(plan.create))) {
            plan.what = record_plan::action::refuse;
            plan.reason = "not valid GBK";
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
        if (result.object_name.empty()) continue;
        named.push_back(run.records.size() - 1);
        if (!lookup.empty()) lookup += '\n';
        lookup += "select OBJECT_ID ( " + pass_rules::unicode_literal(gbk_to_utf8_lossy(result.object_name)) + " )";
    }
    if (named.empty()) return;
    // One batch for every object; a failure leaves it unknown.
    std::vector<result_row> rows;
    if (!read.rows(lookup, rows) || rows.size() != named.size()) return;
    for (std::size_t i = 0; i < named.size(); ++i)
        run.records[named[i]].exists = !rows[i].empty() && rows[i][0].has_value();
}

upgrade_report rehearsal::run() {
    upgrade_report report;
    report.plan = true;
    const special_database_probe& special = options_.special;
    report.note_special_lookup(special);
    if (options_.run_package) {
        package_load load = load_package(options_.run_dir);
        if (load.what != package_load::status::ok) {
            report.package_problem = load.what;
            report.package_message = load.message;
            return report;
        }
        package_ = std::move(load.bytes);
    }

    auto timed = [&](const std::string& meant, const reader& read) {
        const auto started = std::chrono::steady_clock::now();
        report.passes.push_back(rehearse(meant, read));
        report.passes.back().seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    timed(sqlca_.intended_database(), reader{sqlca_, {}});
    if (report.passes.back().how != pass_report::ending::completed || special.lookup_error || !special.found)
        return report;
    // The second pass begins with the switch; a database the session cannot
    // enter fails its sp_executesql as it would fail the "use".
    std::optional<std::string> entered;
    const reader special_reader{sqlca_, special.name};
    if (!special_reader.value("select 1", entered)) {
        report.special_switch_failed = true;
        report.special_switch_error = sqlca_.error_text;
        return report;
    }
    timed(special.name, special_reader);
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
        case pass_report::ending::locked: break;
    }
    line("confirmed by the server (select db_name())");
    if (!facts.system_values_error.empty())
        line("UPGRADE_DATE and DataBase_Version cannot be read: " + facts.system_values_error);
    else
        line("UPGRADE_DATE " + shown(facts.upgrade_date) + ", DataBase_Version " + shown(facts.database_version));
    line(!facts.lock_free ? "upgrade lock: unknown" : *facts.lock_free ? "upgrade lock: free" : "upgrade lock: taken");
    if (pass.how == pass_report::ending::locked) {
        line("the pass would stop at the lock: " + facts.problem);
        return;
    }
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
                text += r.without_encryption.empty() ? "would be executed"
                                                      : "would be created without encryption (" + r.without_encryption + ")";
                if (!r.object_name.empty()) {
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
        for (const record_result& r : pass.package->records)
            if (!r.without_encryption.empty()) return true;
    }
    return false;
}

std::string plan_lines(const upgrade_report& plan) {
    std::string out;
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

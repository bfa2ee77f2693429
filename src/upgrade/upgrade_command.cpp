#include "upgrade/upgrade_command.h"

#include <chrono>
#include <string_view>

#include "common/app_names.h"
#include "common/gbk.h"
#include "session/use_statement.h"
#include "upgrade/pass_rules.h"
#include "upgrade/run_report.h"

namespace velmora {

namespace {

// One upgrade per database at a time: the lock lives in the database it is
// taken in, belongs to the session (not to a transaction, since every object
// commits on its own) and is not waited for.
const std::string take_lock = "declare @r int exec @r = sp_getapplock @Resource = N'" +
                              std::string(pass_rules::upgrade_lock) +
                              "' , @LockMode = 'Exclusive' , @LockOwner = 'Session' , @LockTimeout = 0 select @r";
const std::string release_lock = "declare @r int exec @r = sp_releaseapplock @Resource = N'" +
                                 std::string(pass_rules::upgrade_lock) + "' , @LockOwner = 'Session' select @r";

constexpr const char* text_interrupted = "，升级操作被中断。";

std::string quoted(const std::string& name) { return "“" + name + "”"; }

// Holds the pass's application lock and gives it back when the pass ends.
class database_lock {
public:
    explicit database_lock(database_session& sqlca) : sqlca_(sqlca) {}
    ~database_lock() {
        if (!held_ || sqlca_.connection_broken()) return;  // a lost session's locks went with it
        // Its outcome does not matter to the upgrade, and must not change the
        // status the caller reads.
        const long status = sqlca_.status_code;
        const std::string text = sqlca_.error_text;
        const long native = sqlca_.native_error;
        std::string code;
        sqlca_.select_into(release_lock, {&code});
        sqlca_.status_code = status;
        sqlca_.error_text = text;
        sqlca_.native_error = native;
    }
    database_lock(const database_lock&) = delete;
    database_lock& operator=(const database_lock&) = delete;

    // 0 granted; -1 another session holds it; -2 and below refused otherwise.
    bool take() {
        std::string code;
        sqlca_.select_into(take_lock, {&code});
        held_ = sqlca_.status_code == 0 && (code == "0" || code == "1");
        return held_;
    }

private:
    database_session& sqlca_;
    bool held_ = false;
};

class upgrade_run {
public:
    upgrade_run(database_session& sqlca, ui_services& ui, const upgrade_options& options)
        : sqlca_(sqlca), ui_(ui), options_(options) {}

    upgrade_report run();

private:
    bool run_pass(int number, const std::string& meant, pass_report& pass);
    bool run_pass_steps(const std::string& meant, pass_report& pass);
    bool confirm_database(const std::string& meant, pass_report& pass);
    bool back_up(pass_report& pass);
    void step(const std::string& text) {
        if (!options_.progress) return;
        progress_event event;
        event.what = progress_event::kind::step_started;
        event.step = text;
        options_.progress->progress(event);
    }
    bool lost(pass_report& pass);
    void verify(run_outcome& package, pass_report& pass);
    void tell(const std::string& text) { ui_.message_box(gs_appname, text); }
    void tell_connection_lost() {
        tell("与数据库服务器的连接已中断" + std::string(text_interrupted) + "(错误信息：" + sqlca_.error_text + ")");
    }

    database_session& sqlca_;
    ui_services& ui_;
    const upgrade_options& options_;
    std::string package_;
    std::string ls_upgrade_date;
    std::optional<server_version> server_;  // asked before the first backup
};

// A full backup of the database before the pass changes anything, checked
// with RESTORE VERIFYONLY: no verified backup, no upgrade. COPY_ONLY keeps
// the shop's own backup chain as it was (SQL Server 2000 has no COPY_ONLY:
// there it is a full backup of the chain, and the report says so).
bool upgrade_run::back_up(pass_report& pass) {
    const backup_plan plan = plan_backup_now(*options_.backup, pass.database, server_);
    pass_report::backup_taken& taken = pass.backup.emplace();
    taken.file = plan.file;
    taken.copy_only = plan.copy_only;
    step("备份数据库 " + plan.file);
    const auto started = std::chrono::steady_clock::now();
    // BACKUP runs in no transaction; the pass holds nothing yet but its
    // lock, which belongs to the session.
    sqlca_.commit();
    sqlca_.set_autocommit(true);
    sqlca_.execute_lengthy(plan.backup_statement(), options_.backup->timeout_seconds);
    bool done = sqlca_.status_code == 0;
    std::string failure = "备份数据库" + quoted(pass.database) + "失败";
    if (done) {
        const std::optional<backup_written> written = read_backup_written(sqlca_, pass.database);
        if (written) {
            taken.file = written->path;
            taken.bytes = written->bytes;
            taken.restore = restore_statement(pass.database, written->path, written->position);
            step("校验备份 " + written->path);
            sqlca_.execute_lengthy(plan.verify_statement(written->path, written->position),
                                   options_.backup->timeout_seconds);
            taken.verified = sqlca_.status_code == 0;
            failure = "数据库" + quoted(pass.database) + "的备份 " + written->path + " 未通过校验";
        } else {
            done = false;
            failure = "找不到数据库" + quoted(pass.database) + "刚刚完成的备份记录（msdb.dbo.backupset）";
        }
    }
    taken.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (lost(pass)) return false;
    if (!done || !taken.verified) {
        taken.error_number = sqlca_.native_error;
        taken.error = sqlca_.error_text;
        sqlca_.set_autocommit(false);
        pass.how = pass_report::ending::backup_failed;
        tell(failure + "，数据库没有任何更改" + text_interrupted + "(错误信息：" + sqlca_.error_text + ")");
        return false;
    }
    sqlca_.set_autocommit(false);
    tell("数据库" + quoted(pass.database) + "已备份到 " + taken.file + "（已校验）。");
    return !lost(pass);
}

// When the connection is gone, says so once and ends the pass.
bool upgrade_run::lost(pass_report& pass) {
    if (!sqlca_.connection_broken()) return false;
    pass.how = pass_report::ending::connection_lost;
    tell_connection_lost();
    return true;
}

// The objects the package created, asked for in one batch: an object the
// server holds without encryption, or not at all, is told of and left as it is.
void upgrade_run::verify(run_outcome& package, pass_report& pass) {
    pass.verification = verify_created_objects(sqlca_, package);
    const object_verification& v = *pass.verification;
    if (v.how == object_verification::outcome::passed || sqlca_.connection_broken()) return;
    if (v.how == object_verification::outcome::not_made) {
        tell("无法检查数据库" + quoted(pass.database) + "中升级的对象是否存在并已加密。(错误信息：" + v.error + ")");
        return;
    }
    std::string list;
    for (const record_result& r : package.records) {
        const char* state = r.verified == record_result::check::not_encrypted ? "未加密"
                            : r.verified == record_result::check::missing     ? "不存在"
                            : r.verified == record_result::check::unnamed     ? "无法从创建语句读出对象名"
                                                                              : nullptr;
        if (!state) continue;
        if (!list.empty()) list += "、";
        list += (r.object_name.empty() ? gbk_to_utf8_lossy(r.name) : gbk_to_utf8_lossy(r.object_name)) + "（" +
                state + "）";
    }
    tell("数据库" + quoted(pass.database) + "升级后检查对象：" + list +
         "。这些对象保持原样；请修正数据库升级程序包中的脚本，再升级一次。");
}

// Asks the server which database is current: the pass must upgrade the
// database meant, and never a system database.
bool upgrade_run::confirm_database(const std::string& meant, pass_report& pass) {
    std::string current;
    sqlca_.select_into("select db_name()", {&current});
    if (lost(pass)) return false;
    if (sqlca_.status_code != 0) {
        pass.how = pass_report::ending::not_confirmed;
        tell("无法确认当前数据库" + std::string(text_interrupted) + "(错误信息：" + sqlca_.error_text + ")");
        return false;
    }
    pass.database = current;
    if (!pass_rules::same_database(current, meant)) {
        pass.how = pass_report::ending::wrong_database;
        tell("当前数据库是" + quoted(current) + "，不是要升级的数据库" + quoted(meant) + text_interrupted);
        return false;
    }
    if (pass_rules::is_system_database(current)) {
        pass.how = pass_report::ending::system_database;
        tell("数据库" + quoted(current) + "是系统数据库，不能升级。请检查设置中的数据库名称（DATABASE）" +
             text_interrupted);
        return false;
    }
    return true;
}

bool upgrade_run::run_pass(int number, const std::string& meant, pass_report& pass) {
    busy_pointer oldpointer(ui_);
    if (options_.progress) {
        progress_event event;
        event.what = progress_event::kind::pass_started;
        event.pass = number;
        event.database = meant;
        options_.progress->progress(event);
    }
    const auto started = std::chrono::steady_clock::now();
    const bool completed = run_pass_steps(meant, pass);
    pass.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return completed;
}

bool upgrade_run::run_pass_steps(const std::string& meant, pass_report& pass) {
    pass.database = meant;
    if (!confirm_database(meant, pass)) return false;
    // For the report: who else works in the database as the pass begins.
    pass.other_sessions = read_other_sessions(sqlca_, pass.database);
    if (lost(pass)) return false;

    database_lock lock(sqlca_);
    if (!lock.take()) {
        if (lost(pass)) return false;
        pass.how = pass_report::ending::locked;
        if (sqlca_.status_code != 0)
            tell("无法锁定数据库" + quoted(pass.database) + "以进行升级" + text_interrupted + "(错误信息：" +
                 sqlca_.error_text + ")");
        else
            tell("另一台计算机正在升级数据库" + quoted(pass.database) + "，请等它完成后再试" + text_interrupted);
        return false;
    }

    if (options_.backup && !back_up(pass)) return false;

    // A failed query leaves the previous pass's value in place.
    sqlca_.select_into(upgrade_date_query, {&ls_upgrade_date});
    if (lost(pass)) return false;
    if (ls_upgrade_date == "00000000") pass.steps.push_back(apply_step(sqlca_, ui_, date_row_step(), pass.database, options_.progress));
    if (lost(pass)) return false;

    builtin_result builtin = wf_dbupgrade_2007(sqlca_, ui_, pass.database, options_.progress);
    pass.builtin_refused = builtin.refused;
    pass.steps.insert(pass.steps.end(), builtin.steps.begin(), builtin.steps.end());
    if (lost(pass)) return false;

    sqlca_.set_autocommit(true);
    if (options_.run_package) {
        pass.package = run_package_bytes(package_, sqlca_, ui_, options_.progress);
        if (pass.package->executed > 0 && !sqlca_.connection_broken()) verify(*pass.package, pass);
    }
    sqlca_.set_autocommit(false);
    sqlca_.commit();
    return !lost(pass);
}

upgrade_report upgrade_run::run() {
    upgrade_report report;
    const special_database_probe& special = options_.special;
    report.note_special_lookup(special);
    // The package is checked before the first statement: a database must never
    // be stamped with the new version while its procedures stay old.
    if (options_.run_package) {
        package_load load = load_package(options_.run_dir);
        if (load.what != package_load::status::ok) {
            busy_pointer busy(ui_);
            tell(load.message);
            report.package_problem = load.what;
            report.package_message = load.message;
            return report;
        }
        package_ = std::move(load.bytes);
    }

    if (options_.backup) report.server = server_ = read_server_version(sqlca_);
    std::string meant = sqlca_.intended_database();
    bool lb_too = false;
    for (;;) {
        report.passes.emplace_back();
        if (!run_pass(lb_too ? 2 : 1, meant, report.passes.back())) break;
        if (lb_too) break;
        // A failed lookup leaves it unknown whether the special database
        // exists: the last word tells that it was not upgraded.
        if (special.lookup_error) {
            tell("无法查询特殊客户数据库，该数据库没有升级。(错误信息：" + *special.lookup_error + ")");
            break;
        }
        if (!special.found) break;

        std::string ls_tmp = use_statement(special.name);
        sqlca_.execute_immediate(ls_tmp);
        if (sqlca_.status_code != 0) {
            report.special_switch_failed = true;
            report.special_switch_error = sqlca_.error_text;
            if (sqlca_.connection_broken())
                tell_connection_lost();
            else
                tell("无法切换到数据库" + quoted(special.name) + "，该数据库没有升级。(错误信息：" +
                     sqlca_.error_text + ")");
            break;
        }
        meant = special.name;
        lb_too = true;
    }
    return report;
}

}  // namespace

backup_plan plan_backup_now(const backup_options& backup, const std::string& database,
                            const std::optional<server_version>& server) {
    return plan_backup(
        database, program_version(), backup.folder, server.value_or(server_version{"", 9, 0}),
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

void upgrade_report::note_special_lookup(const special_database_probe& special) {
    if (!special.lookup_error) return;
    special_lookup_failed = true;
    special_lookup_error = *special.lookup_error;
}

bool upgrade_report::failed() const {
    if (package_problem || special_lookup_failed || special_switch_failed || passes.empty()) return true;
    for (const pass_report& pass : passes) {
        if (pass.how != pass_report::ending::completed || pass.builtin_refused) return true;
        for (const step_result& step : pass.steps)
            if (step.outcome == step_result::status::failed) return true;
        if (pass.package && (pass.package->how != run_outcome::ending::completed || pass.package->refused > 0))
            return true;
        if (pass.verification && pass.verification->how != object_verification::outcome::passed) return true;
    }
    return false;
}

upgrade_report run_upgrade_command(database_session& sqlca, ui_services& ui, const upgrade_options& options) {
    return upgrade_run(sqlca, ui, options).run();
}

}  // namespace velmora

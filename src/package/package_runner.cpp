#include "package/package_runner.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "common/app_names.h"
#include "common/gbk.h"
#include "package/package_file.h"
#include "package/package_format.h"
#include "package/record_plan.h"

namespace velmora {
namespace {

constexpr const char* text_missing = "数据库升级程序不全，升级操作被中断。";
constexpr const char* text_damaged = "数据库升级程序包已损坏，升级操作被中断。";
constexpr const char* text_refused = " 语法错误！";
constexpr const char* text_failed_head = "更新";
constexpr const char* text_failed_body = "失败！(错误信息：";
constexpr const char* text_state_unknown = "失败！数据库中该对象是新是旧无法确认，请检查后再升级一次。(错误信息：";
constexpr const char* text_succeeded = "更新成功！";

// What the operator is told of a damaged package: the record it lies in, when known.
std::string damaged_message(const package::validation& why) {
    if (why.record_name.empty()) return text_damaged;
    return "数据库升级程序包已损坏（损坏处在记录“" + gbk_to_utf8_lossy(why.record_name) + "”中），升级操作被中断。";
}

// The whole file, read in pieces of read_piece_size joined in order. Only a
// regular file is read, and nothing waits on a FIFO or a device.
package::file_read read_package(const std::string& path) {
    package::read_options limits;
    limits.piece_size = read_piece_size;
    return package::read_regular_file(path, limits);
}

}  // namespace

std::size_t read_call_count(std::uint64_t file_length) {
    if (file_length <= read_piece_size) return 1;
    return static_cast<std::size_t>((file_length + read_piece_size - 1) / read_piece_size);
}

namespace {

// What one object's transaction left on the server.
enum class replaced_as { new_object, old_object, unknown };

// Sends a record's two statements as one transaction. The transaction is
// driven through the session's commit mode (autocommit off, then one commit
// or rollback per object) rather than BEGIN/COMMIT statements: the texts sent
// stay exactly the statement builder's, and the commit, which also begins
// the next transaction, is the only round trip added per object.
replaced_as replace_object(sql_executor& session, const std::u16string& drop, const std::u16string& create,
                           std::string& error, long& error_number) {
    // The drop's outcome does not matter: the object may not exist yet.
    session.execute_immediate_utf16(drop);
    if (!session.executor_connection_broken()) session.execute_immediate_utf16(create);
    if (session.executor_status() != 0) {
        error = session.executor_error_text();
        error_number = session.executor_native_error();
        // A lost connection's transaction is rolled back by the server itself.
        if (session.executor_connection_broken()) return replaced_as::old_object;
        session.executor_end_transaction(false);
        if (session.executor_status() == 0) return replaced_as::old_object;
        error += "\n" + session.executor_error_text();
        return replaced_as::unknown;
    }
    session.executor_end_transaction(true);
    if (session.executor_status() != 0) {
        // The server may have committed before its answer went astray, or not.
        error = session.executor_error_text();
        error_number = session.executor_native_error();
        return replaced_as::unknown;
    }
    return replaced_as::new_object;
}

run_outcome run_records(std::string_view source, sql_executor& session, ui_services& ui, progress_sink* progress);

// Puts the session in manual commit mode once the first object is about to
// be replaced, and gives it back its mode when the run ends: a run that
// replaces nothing sends nothing.
class object_transactions {
public:
    explicit object_transactions(sql_executor& session) : session_(session) {}
    ~object_transactions() {
        if (restore_) session_.executor_set_autocommit(true);
    }
    object_transactions(const object_transactions&) = delete;
    object_transactions& operator=(const object_transactions&) = delete;

    void before_object() {
        if (started_) return;
        started_ = true;
        restore_ = session_.executor_autocommit();
        if (restore_) session_.executor_set_autocommit(false);
    }

private:
    sql_executor& session_;
    bool started_ = false;
    bool restore_ = false;
};

}  // namespace

package_load load_package(const std::string& run_dir) {
    package_load load;
    const std::string path = run_dir + std::string(package::package_file_name);
    package::file_read file = read_package(path);
    switch (file.status) {
        case package::read_status::ok: break;
        case package::read_status::missing:
            load.what = package_load::status::missing;
            load.message = text_missing;
            return load;
        case package::read_status::not_regular:
        case package::read_status::unreadable:
        case package::read_status::too_large:
            // Called what it is: a directory or a FIFO is no damaged package.
            load.what = file.status == package::read_status::not_regular  ? package_load::status::not_a_file
                        : file.status == package::read_status::too_large ? package_load::status::too_large
                                                                          : package_load::status::unreadable;
            load.message = "数据库升级程序包“" + path + "”" + package::failure_text_zh(file) + "，升级操作被中断。";
            return load;
    }
    const package::validation why = package::validate_package(file.bytes.view());
    if (!why.ok) {
        load.what = package_load::status::damaged;
        load.message = damaged_message(why);
        return load;
    }
    load.bytes = file.bytes.str();
    return load;
}

run_outcome run_package(const std::string& run_dir, sql_executor& session, ui_services& ui,
                        progress_sink* progress) {
    busy_pointer busy(ui);
    run_outcome out;

    package_load load = load_package(run_dir);
    if (load.what != package_load::status::ok) {
        ui.message_box(gs_appname, load.message);
        out.how = load.what == package_load::status::missing   ? run_outcome::ending::package_missing
                  : load.what == package_load::status::damaged ? run_outcome::ending::package_damaged
                                                               : run_outcome::ending::package_unreadable;
        return out;
    }
    return run_records(load.bytes, session, ui, progress);
}

run_outcome run_package_bytes(std::string_view source, sql_executor& session, ui_services& ui,
                              progress_sink* progress) {
    busy_pointer busy(ui);
    return run_records(source, session, ui, progress);
}

namespace {

run_outcome run_records(std::string_view source, sql_executor& session, ui_services& ui, progress_sink* progress) {
    run_outcome out;

    // The package is checked whole before anything runs, so a damaged one
    // never leaves the database half upgraded.
    std::vector<package::record_view> records;
    package::validation why;
    if (!package::decode_package(source, records, &why)) {
        ui.message_box(gs_appname, damaged_message(why));
        out.how = run_outcome::ending::package_damaged;
        return out;
    }

    const std::string driver = session.executor_driver();
    object_transactions per_object(session);
    progress_event event;
    event.what = progress_event::kind::object_started;
    event.count = records.size();
    for (const package::record_view& r : records) {
        const std::string name_shown = gbk_to_utf8_lossy(r.name);
        if (progress) {
            ++event.index;
            event.name = name_shown;
            progress->progress(event);
        }
        record_plan plan = plan_record(driver, r.name, r.stored_body);
        record_result result;
        result.name = std::string(r.name);
        if (plan.what == record_plan::action::skip) {
            ++out.skipped;
            out.records.push_back(std::move(result));
            continue;
        }
        std::optional<std::u16string> drop16, create16;
        if (plan.what == record_plan::action::execute) {
            drop16 = gbk_to_utf16(plan.drop);
            create16 = gbk_to_utf16(plan.create);
            if (!drop16 || !create16) {
                plan.what = record_plan::action::refuse;
                plan.reason = "not valid GBK";
            }
        }
        if (plan.what == record_plan::action::refuse) {
            ui.message_box(gs_appname, name_shown + text_refused);
            ++out.refused;
            result.what = record_result::action::refused;
            result.detail = std::move(plan.reason);
            out.records.push_back(std::move(result));
            continue;
        }

        std::string error;
        result.object_name = std::move(plan.object_name);
        result.without_encryption = std::move(plan.without_encryption);
        result.fails_on_server = std::move(plan.fails_on_server);
        result.database_trigger = plan.database_trigger;
        per_object.before_object();
        const auto started = std::chrono::steady_clock::now();
        const replaced_as left = replace_object(session, *drop16, *create16, error, result.error_number);
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (left != replaced_as::new_object) {
            const bool unknown = left == replaced_as::unknown;
            ui.message_box(name_shown, error);
            ui.beep();
            ui.message_box(gs_appname, std::string(text_failed_head) + (unknown ? text_state_unknown : text_failed_body) +
                                           error + ")");
            out.how = run_outcome::ending::create_failed;
            result.what = record_result::action::failed;
            result.object_unknown = unknown;
            result.detail = std::move(error);
            out.records.push_back(std::move(result));
            return out;
        }
        ++out.executed;
        result.what = record_result::action::executed;
        out.records.push_back(std::move(result));
    }

    ui.message_box(gs_appname, text_succeeded);
    out.how = run_outcome::ending::completed;
    return out;
}

}  // namespace

}  // namespace velmora

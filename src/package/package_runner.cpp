#include "package_runner.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "app_names.h"
#include "gbk.h"
#include "package_format.h"
#include "record_plan.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

constexpr const char* text_missing = "数据库升级程序不全，升级操作被中断。";
constexpr const char* text_damaged = "数据库升级程序包已损坏，升级操作被中断。";
constexpr const char* text_refused = " 语法错误！";
constexpr const char* text_failed_head = "更新";
constexpr const char* text_failed_body = "失败！(错误信息：";
constexpr const char* text_succeeded = "更新成功！";


// The whole file, in pieces of read_piece_size joined in order. A file that
// cannot be opened or read reads as what was got so far; validation then
// calls it damaged.
std::string read_package(const std::string& path) {
    std::error_code ec;
    const std::uintmax_t length = fs::file_size(path, ec);
    std::string source;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return source;
    const std::size_t calls = read_call_count(ec ? 0 : length);
    if (!ec) source.reserve(static_cast<std::size_t>(length));
    std::vector<char> piece(read_piece_size);
    for (std::size_t i = 0; i < calls; ++i) {
        const std::size_t got = std::fread(piece.data(), 1, piece.size(), f);
        source.append(piece.data(), got);
        if (got < piece.size()) break;  // end of file or an error: nothing more comes
    }
    std::fclose(f);
    return source;
}

}  // namespace

std::size_t read_call_count(std::uint64_t file_length) {
    if (file_length <= read_piece_size) return 1;
    return static_cast<std::size_t>((file_length + read_piece_size - 1) / read_piece_size);
}

namespace {

// Sends a record's two statements as one transaction. The transaction is
// driven through the session's commit mode (autocommit off, then one commit
// or rollback per object) rather than BEGIN/COMMIT statements: the texts sent
// stay exactly the statement builder's, and the commit, which also begins
// the next transaction, is the only round trip added per object.
bool replace_object(sql_executor& session, const std::u16string& drop, const std::u16string& create,
                    std::string& error) {
    // The drop's outcome does not matter: the object may not exist yet.
    session.execute_immediate_utf16(drop);
    if (!session.executor_connection_broken()) session.execute_immediate_utf16(create);
    if (session.executor_status() != 0) {
        error = session.executor_error_text();
        // The server keeps the old object. A lost connection rolls back by itself.
        if (!session.executor_connection_broken()) session.executor_end_transaction(false);
        return false;
    }
    session.executor_end_transaction(true);
    if (session.executor_status() != 0) {
        error = session.executor_error_text();
        return false;
    }
    return true;
}

run_outcome run_records(std::string_view source, sql_executor& session, ui_services& ui);

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
    const std::string shown = "“" + path + "”";
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (!fs::exists(st)) {
        load.what = package_load::status::missing;
        load.message = text_missing;
        return load;
    }
    if (!fs::is_regular_file(st)) {
        load.what = package_load::status::not_a_file;
        load.message = "数据库升级程序包" + shown + (fs::is_directory(st) ? "是一个目录" : "不是普通文件") +
                       "，升级操作被中断。";
        return load;
    }
    load.bytes = read_package(path);
    if (!package::validate_package(load.bytes).ok) {
        load.what = package_load::status::damaged;
        load.message = text_damaged;
        load.bytes.clear();
    }
    return load;
}

run_outcome run_package(const std::string& run_dir, sql_executor& session, ui_services& ui) {
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
    return run_records(load.bytes, session, ui);
}

run_outcome run_package_bytes(std::string_view source, sql_executor& session, ui_services& ui) {
    busy_pointer busy(ui);
    return run_records(source, session, ui);
}

namespace {

run_outcome run_records(std::string_view source, sql_executor& session, ui_services& ui) {
    run_outcome out;

    // The package is checked whole before anything runs, so a damaged one
    // never leaves the database half upgraded.
    std::vector<package::record_view> records;
    if (!package::decode_package(source, records)) {
        ui.message_box(gs_appname, text_damaged);
        out.how = run_outcome::ending::package_damaged;
        return out;
    }

    const std::string driver = session.executor_driver();
    object_transactions per_object(session);
    for (const package::record_view& r : records) {
        record_plan plan = plan_record(driver, r.name, r.stored_body);
        record_result result{record_result::action::skipped, std::string(r.name), {}};
        if (plan.what == record_plan::action::skip) {
            ++out.skipped;
            out.records.push_back(std::move(result));
            continue;
        }
        const std::string name_shown = gbk_to_utf8_lossy(r.name);
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
        per_object.before_object();
        if (!replace_object(session, *drop16, *create16, error)) {
            ui.message_box(name_shown, error);
            ui.beep();
            ui.message_box(gs_appname, std::string(text_failed_head) + text_failed_body + error + ")");
            out.how = run_outcome::ending::create_failed;
            result.what = record_result::action::failed;
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

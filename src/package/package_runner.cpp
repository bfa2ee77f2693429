#include "package_runner.h"

#include <optional>
#include <string>
#include <vector>

#include "app_names.h"
#include "gbk.h"
#include "interface_tag.h"
#include "package_file.h"
#include "package_format.h"
#include "statement_builder.h"

namespace velmora {
namespace {

constexpr const char* text_missing = "数据库升级程序不全，升级操作被中断。";
constexpr const char* text_damaged = "数据库升级程序包已损坏，升级操作被中断。";
constexpr const char* text_refused = " 语法错误！";
constexpr const char* text_failed_head = "更新";
constexpr const char* text_failed_body = "失败！(错误信息：";
constexpr const char* text_succeeded = "更新成功！";

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

run_outcome run_package(const std::string& run_dir, sql_executor& session, ui_services& ui) {
    busy_pointer busy(ui);
    run_outcome out;

    const std::string path = run_dir + std::string(package::package_file_name);
    // Nothing there, or something that is no file (a directory, a FIFO, a
    // device), is no package.
    const package::file_read file = read_package(path);
    if (file.status == package::read_status::missing || file.status == package::read_status::not_regular) {
        ui.message_box(gs_appname, text_missing);
        out.how = run_outcome::ending::package_missing;
        return out;
    }

    // The package is checked whole before anything runs, so a damaged one
    // never leaves the database half upgraded. A file that cannot be read
    // whole is as good as damaged.
    std::vector<package::record_view> records;
    if (!file.ok() || !package::decode_package(file.bytes.view(), records)) {
        ui.message_box(gs_appname, text_damaged);
        out.how = run_outcome::ending::package_damaged;
        return out;
    }

    const std::string driver = session.executor_driver();
    for (const package::record_view& r : records) {
        if (!passes_interface_filter(driver, r.name)) {
            ++out.skipped;
            continue;
        }
        const std::string name_shown = gbk_to_utf8_lossy(r.name);
        auto refuse = [&] {
            ui.message_box(gs_appname, name_shown + text_refused);
            ++out.refused;
        };

        // Text that is not GBK could not reach the server as written.
        std::string create = package::reversed(r.stored_body);
        if (!is_valid_gbk(create)) {
            refuse();
            continue;
        }
        std::string drop;
        if (!wf_get_sql_go(create, drop)) {
            refuse();
            continue;
        }
        std::optional<std::u16string> drop16 = gbk_to_utf16(drop);
        std::optional<std::u16string> create16 = gbk_to_utf16(create);
        if (!drop16 || !create16) {
            refuse();
            continue;
        }

        // The drop's outcome does not matter: the object may not exist yet.
        session.execute_immediate_utf16(*drop16);
        session.execute_immediate_utf16(*create16);
        if (session.executor_status() != 0) {
            const std::string error = session.executor_error_text();
            ui.message_box(name_shown, error);
            ui.beep();
            ui.message_box(gs_appname, std::string(text_failed_head) + text_failed_body + error + ")");
            out.how = run_outcome::ending::create_failed;
            return out;
        }
        ++out.executed;
    }

    ui.message_box(gs_appname, text_succeeded);
    out.how = run_outcome::ending::completed;
    return out;
}

}  // namespace velmora

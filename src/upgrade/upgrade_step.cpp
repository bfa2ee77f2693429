#include "upgrade/upgrade_step.h"

#include <algorithm>
#include <chrono>

#include "common/app_names.h"

namespace velmora {

step_result apply_step(database_session& sqlca, ui_services& ui, const step_definition& step, const std::string& database,
                       progress_sink* progress) {
    if (progress) {
        progress_event event;
        event.what = progress_event::kind::step_started;
        event.step = step.name;
        progress->progress(event);
    }
    step_result result{step.name, step_result::status::done, 0, {}, step.statement, 0};
    const auto started = std::chrono::steady_clock::now();
    sqlca.execute(step.statement);
    if (sqlca.status_code != 0) {
        result.native_error = sqlca.native_error;
        result.error_text = sqlca.error_text;
        const bool benign = std::find(step.already_applied.begin(), step.already_applied.end(),
                                      sqlca.native_error) != step.already_applied.end();
        result.outcome = benign ? step_result::status::already_applied : step_result::status::failed;
    }
    sqlca.commit();
    if (sqlca.status_code != 0 && result.outcome != step_result::status::failed) {
        result.outcome = step_result::status::failed;
        result.native_error = sqlca.native_error;
        result.error_text = sqlca.error_text;
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (result.outcome == step_result::status::failed && !sqlca.connection_broken())
        ui.message_box(gs_appname, "数据库“" + database + "”的升级步骤“" + result.step + "”失败！(错误信息：" +
                                       result.error_text + ")");
    return result;
}

}  // namespace velmora

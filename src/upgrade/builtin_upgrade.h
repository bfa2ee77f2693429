#pragma once

#include <span>
#include <vector>

#include "common/ui_services.h"
#include "session/database_session.h"
#include "upgrade/upgrade_step.h"

namespace velmora {

struct builtin_result {
    bool refused = false;            // another dated upgrade is on record: nothing was changed
    std::vector<step_result> steps;  // the changes tried, in order
};

// Applies this release's built-in schema and data changes to the session's
// current database when it has no dated upgrade on record; otherwise shows
// the "提示" refusal and changes nothing. Each change runs and is committed
// on its own, in order; one that fails for a reason other than "already
// applied" is reported (database names the database in that message) and
// the next still runs. A broken connection ends it early.
builtin_result wf_dbupgrade_2007(database_session& sqlca, ui_services& ui, const std::string& database,
                                 progress_sink* progress = nullptr);

// The changes, in the order they run.
std::span<const step_definition> builtin_steps();

// The row the command inserts before the built-in changes when the date reads
// "00000000".
const step_definition& date_row_step();

// The query both the command and the built-in upgrade read the date with.
inline constexpr const char* upgrade_date_query =
    "select isnull ( max ( sys_var_value ) , '00000000' ) from t_sys_system where sys_var_id ='UPGRADE_DATE'";

}  // namespace velmora

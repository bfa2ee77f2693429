#pragma once

#include "sqlca.h"
#include "ui_services.h"

namespace velmora {

// Applies this release's built-in schema and data changes to the session's
// current database when it has no dated upgrade on record; otherwise shows
// the "提示" refusal and changes nothing. No statement's outcome is examined.
// Returns false when it refused (the command does not act on it).
bool wf_dbupgrade_2007(transaction& sqlca, ui_services& ui);

// The query both the command and the built-in upgrade read the date with.
inline constexpr const char* upgrade_date_query =
    "select isnull ( max ( sys_var_value ) , '00000000' ) from t_sys_system where sys_var_id ='UPGRADE_DATE'";

}  // namespace velmora

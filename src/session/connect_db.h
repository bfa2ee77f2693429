#pragma once

#include <string>

#include "common/ui_services.h"
#include "session/database_session.h"

namespace velmora {

// Logs sqlca in with the registry's server and database and the fixed login,
// reports a failed login, and probes for the special customer database.
bool wf_connect_db(database_session& sqlca, ui_services& ui, bool& ib_brenholt, std::string& is_brenholt);

}  // namespace velmora

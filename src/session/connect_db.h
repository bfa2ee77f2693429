#pragma once

#include <string>

#include "sqlca.h"
#include "ui_services.h"

namespace velmora {

// Logs sqlca in with the registry's server and database and the fixed login,
// reports a failed login, and probes for the special customer database.
bool wf_connect_db(transaction& sqlca, ui_services& ui, bool& ib_brenholt, std::string& is_brenholt);

}  // namespace velmora

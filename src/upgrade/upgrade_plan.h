#pragma once
// A rehearsal of the upgrade command (db_upgrade_cli --plan): on a session
// logged in as for the upgrade, it reads what the command's passes would find
// and says what each would do, sending nothing that changes anything. No
// insert, update or DDL, no "use", no lock taken: the special database is
// read through sp_executesql called by its three-part name.

#include <string>

#include "session/database_session.h"
#include "upgrade/upgrade_command.h"

namespace velmora {

// The report the upgrade would give, as far as it can be known beforehand:
// plan set, each pass's ending as it would end, its steps planned, its
// records as the runner would take them (with whether each object exists
// now), and rehearsed set on each pass. options.progress is not used.
upgrade_report plan_upgrade(database_session& sqlca, const upgrade_options& options);

// True when the upgrade would not run cleanly: a pass would stop or be
// refused, a record would be refused or created without encryption, the
// special database could not be looked up or entered, or the package is
// unusable.
bool plan_fails(const upgrade_report& plan);

// The plan as plain lines (UTF-8, each ending in a line feed).
std::string plan_lines(const upgrade_report& plan);

}  // namespace velmora

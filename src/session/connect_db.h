#pragma once

#include <optional>
#include <string>

#include "common/ui_services.h"
#include "session/database_session.h"

namespace velmora {

// What the login found out about the special customer database.
struct special_database_probe {
    bool found = false;  // ib_brenholt: the server holds it
    std::string name;    // is_brenholt: its name, as the server spells it
    // Set when the lookup itself failed (the server's text): whether the
    // server holds the database is not known, and it cannot be upgraded.
    std::optional<std::string> lookup_error;
};

// The registry's server and database and the application's fixed login, into
// sqlca's fields. The bounds on waiting are left as the caller set them.
void apply_login_settings(database_session& sqlca);

// Logs sqlca in as its fields say, reports a failed login (false), and probes
// for the special customer database. A session whose connection was lost
// right after the server accepted the login counts as logged in (true): the
// work that follows reports the lost connection.
//
// The window and the upgrade look for the special database from master
// ("use master", then back); a rehearsal reads master's catalogue by its
// three-part name instead and sends nothing that changes the session.
enum class probe_by { use_master, three_part_name };
bool connect_and_probe(database_session& sqlca, ui_services& ui, special_database_probe& special,
                       probe_by how = probe_by::use_master);

// Both, as the window and db_upgrade_cli log in.
bool wf_connect_db(database_session& sqlca, ui_services& ui, special_database_probe& special);

}  // namespace velmora

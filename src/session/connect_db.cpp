#include "session/connect_db.h"

#include "common/app_names.h"
#include "session/registry.h"
#include "session/use_statement.h"

namespace velmora {

namespace {

constexpr const char* registry_key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\velmora";

bool blank(const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; }

}  // namespace

void apply_login_settings(database_session& sqlca) {
    sqlca.driver = "MSS";
    registry_get(registry_key, "DATABASE", sqlca.database_name);
    sqlca.login_password = "quorbin";
    registry_get(registry_key, "SERVERNAME", sqlca.server_name);
    sqlca.login_id = "velmora";
    sqlca.connect_options = "";
    sqlca.isolation = "RU";
    sqlca.set_autocommit(true);
}

bool connect_and_probe(database_session& sqlca, ui_services& ui, special_database_probe& special, probe_by how) {
    sqlca.connect();
    if (!sqlca.connected()) {
        ui.beep();
        std::string ls_msg = "不能连接到数据库！(错误信息：" + sqlca.error_text + ")";
        ui.message_box(gs_appname, ls_msg);
        return false;
    }

    special = special_database_probe{};
    const bool rehearsal = how == probe_by::three_part_name;
    // The database to come back to after master, never master itself.
    std::string ls_database = sqlca.intended_database();
    std::string ls_tmp = "use master";
    if (!rehearsal) sqlca.execute_immediate(ls_tmp);
    sqlca.select_into(rehearsal ? "SELECT Name FROM master.dbo.sysdatabases WHERE Lower ( Name ) ='brenholt'"
                                : "SELECT Name FROM sysdatabases WHERE Lower ( Name ) ='brenholt'",
                      {&special.name});
    if (sqlca.status_code == -1) {
        // Not knowing is no "not there": the upgrade reports it.
        special.lookup_error = sqlca.error_text;
        special.name.clear();
    }
    special.found = !blank(special.name);
    if (!rehearsal && !ls_database.empty()) {
        ls_tmp = use_statement(ls_database);
        sqlca.execute_immediate(ls_tmp);
    }
    return true;
}

bool wf_connect_db(database_session& sqlca, ui_services& ui, special_database_probe& special) {
    apply_login_settings(sqlca);
    return connect_and_probe(sqlca, ui, special);
}

}  // namespace velmora

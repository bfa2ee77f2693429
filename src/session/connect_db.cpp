#include "session/connect_db.h"

#include "common/app_names.h"
#include "session/registry.h"
#include "session/use_statement.h"

namespace velmora {

namespace {

constexpr const char* registry_key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\velmora";

bool blank(const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; }

}  // namespace

bool wf_connect_db(database_session& sqlca, ui_services& ui, bool& ib_brenholt, std::string& is_brenholt) {
    sqlca.driver = "MSS";
    registry_get(registry_key, "DATABASE", sqlca.database_name);
    sqlca.login_password = "quorbin";
    registry_get(registry_key, "SERVERNAME", sqlca.server_name);
    sqlca.login_id = "velmora";
    sqlca.connect_options = "";
    sqlca.isolation = "RU";
    sqlca.set_autocommit(true);

    sqlca.connect();
    if (sqlca.status_code != 0) {
        ui.beep();
        std::string ls_msg = "不能连接到数据库！(错误信息：" + sqlca.error_text + ")";
        ui.message_box(gs_appname, ls_msg);
        return false;
    }

    // The database to come back to after master, never master itself.
    std::string ls_database = sqlca.intended_database();
    std::string ls_tmp = "use master";
    sqlca.execute_immediate(ls_tmp);
    sqlca.select_into("SELECT Name FROM sysdatabases WHERE Lower ( Name ) ='brenholt'", {&is_brenholt});
    ib_brenholt = !blank(is_brenholt);
    if (!ls_database.empty()) {
        ls_tmp = use_statement(ls_database);
        sqlca.execute_immediate(ls_tmp);
    }
    return true;
}

}  // namespace velmora

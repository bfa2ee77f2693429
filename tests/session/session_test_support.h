#pragma once
// Shared by the session suites: logging a session in to a stand-in and
// asking the server what it holds.

#include <string>
#include <vector>

#include "session/database_session.h"
#include "support/closed_port.h"
#include "support/standin_process.h"

namespace session_test {

inline std::string fixture(const std::string& name) { return std::string(SESSION_FIXTURE_DIR) + "/" + name; }

inline standin_test::standin_options with_fixtures(std::vector<std::string> files) {
    standin_test::standin_options o;
    o.fixtures = std::move(files);
    return o;
}

inline void log_in(velmora::database_session& t, const std::string& server_name, const std::string& database,
                   bool autocommit = true, const std::string& password = "quorbin") {
    t.driver = "MSS";
    t.server_name = server_name;
    t.database_name = database;
    t.login_id = "velmora";
    t.login_password = password;
    t.isolation = "RU";
    t.set_autocommit(autocommit);
    t.connect();
}

// What the server says the current database is.
inline std::string server_db_name(velmora::database_session& t) {
    std::string name = "(no answer)";
    t.select_into("select db_name()", {&name});
    return name;
}

}  // namespace session_test

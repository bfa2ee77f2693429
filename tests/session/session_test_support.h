#pragma once
// Shared by the session suites: logging a session in to a stand-in and
// asking the server what it holds.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sqlca.h"
#include "standin_process.h"

namespace session_test {

inline std::string fixture(const std::string& name) { return std::string(SESSION_FIXTURE_DIR) + "/" + name; }

inline standin_test::standin_options with_fixtures(std::vector<std::string> files) {
    standin_test::standin_options o;
    o.fixtures = std::move(files);
    return o;
}

inline void log_in(velmora::transaction& t, const std::string& server_name, const std::string& database,
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
inline std::string server_db_name(velmora::transaction& t) {
    std::string name = "(no answer)";
    t.select_into("select db_name()", {&name});
    return name;
}

// A loopback port nobody listens on.
inline int closed_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    int port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

}  // namespace session_test

#pragma once
// Running FreeTDS tsql and unixODBC isql/iusql against a stand-in.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/standin_process.h"

namespace standin_test {

inline const std::vector<std::string>& client_env() {
    // UTF-8 on the client side whatever the test runner's locale is; no
    // stray dump or configuration from the developer's shell.
    static const std::vector<std::string> env{"LC_ALL=C.UTF-8", "LANG=C.UTF-8", "TDSDUMP=", "TDSVER="};
    return env;
}

inline std::string write_text_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return path;
}

// tsql with a script on stdin ("go" lines end batches).
inline command_result run_tsql(const standin_process& s, const std::string& script,
                               const std::string& user = "velmora", const std::string& password = "quorbin",
                               const std::string& database = "") {
    std::vector<std::string> argv{"tsql", "-H", "127.0.0.1", "-p", std::to_string(s.port()), "-U", user, "-P",
                                  password};
    if (!database.empty()) {
        argv.push_back("-D");
        argv.push_back(database);
    }
    return run_command(argv, script, client_env());
}

// isql in batch mode over a DSN-less connection string; one statement a line.
inline command_result run_isql(const standin_process& s, const std::string& statements,
                               const std::string& database = "", const std::string& password = "quorbin") {
    return run_command({"isql", "-b", "-v", "-k", s.odbc_connection_string(database, "velmora", password)},
                       statements, client_env());
}

// iusql (the wide-character variant) through a DSN in a temporary odbc.ini.
inline command_result run_iusql(const standin_process& s, const std::string& statements,
                                const std::string& database = "") {
    std::string ini = s.temp_dir() + "/odbc.ini";
    write_text_file(ini, "[standin]\nDriver = FreeTDS\nServer = 127.0.0.1\nPort = " + std::to_string(s.port()) +
                             "\nTDS_Version = 7.4\nClientCharset = UTF-8\n" +
                             (database.empty() ? "" : "Database = " + database + "\n"));
    std::vector<std::string> env = client_env();
    env.push_back("ODBCINI=" + ini);
    return run_command({"iusql", "-b", "-v", "standin", "velmora", "quorbin"}, statements, env);
}

// A small shop database for the client tests, written once per test program.
inline std::string shop_fixture() {
    // Removed when the test program ends.
    struct temp_file {
        std::string path;
        ~temp_file() { std::remove(path.c_str()); }
    };
    static const temp_file file{[] {
        std::string p = ::testing::TempDir() + "/standin_shop_" + std::to_string(::getpid()) + ".sql";
        write_text_file(p,
                        "create database shop\n"
                        "go\n"
                        "use shop\n"
                        "go\n"
                        "create table t_item (item_id int not null primary key, item_name nvarchar(40) null,\n"
                        "  price numeric(10,2) null, added datetime null)\n"
                        "go\n"
                        "insert into t_item values (1, N'苹果', 1.5, '2020-01-02 03:04:05')\n"
                        "insert into t_item values (2, N'pear', 2, null)\n"
                        "go\n");
        return p;
    }()};
    return file.path;
}

}  // namespace standin_test

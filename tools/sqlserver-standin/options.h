#pragma once
// The stand-in's command line.

#include <regex>
#include <string>
#include <vector>

#include "sqlserver-standin/engine.h"
#include "sqlserver-standin/server_version.h"

namespace standin {

// --fail 'REGEX=NUMBER:MESSAGE'
struct fail_rule {
    std::string pattern;
    std::regex regex;
    int number = 0;
    std::string message;
};

struct server_options {
    std::string bind = "127.0.0.1";
    int port = 1433;
    std::vector<std::string> fixtures;
    std::vector<login_entry> logins;  // default velmora:quorbin when none given
    std::string journal_path;
    std::string dump_path;
    std::vector<fail_rule> fail_rules;
    int drop_after = 0;  // 0: never
    int drop_at = 0;     // 0: never; counts every request after the login
    int silent_at = -1;  // -1: never; 0: from the first byte; N: from the Nth request after the login
    int delay_ms = 0;
    std::string backup_dir;  // empty: a folder inside the engine's own storage
    const server_version* version = &default_version();  // --version
};

struct parse_result {
    server_options options;
    bool help = false;
    std::string error;  // empty on success
};

parse_result parse_command_line(const std::vector<std::string>& args);  // args without argv[0]
bool parse_fail_rule(const std::string& text, fail_rule& rule, std::string& error);
std::string usage_text();

}  // namespace standin

// What the stand-in harness does alike whether the stand-in is its own child
// (Linux) or asked of standin_broker (Windows under Wine).
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

#include "support/standin_process.h"

#ifndef STANDIN_SOURCE_DIR
#define STANDIN_SOURCE_DIR "tools/sqlserver-standin"
#endif

namespace standin_test {

std::string read_file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string demo_fixture_path() { return std::string(STANDIN_SOURCE_DIR) + "/fixtures/demo.sql"; }

std::string standin_process::server_name() const { return "127.0.0.1," + std::to_string(port_); }

std::vector<std::string> standin_process::journal_sql() const {
    std::vector<std::string> out;
    for (const auto& line : journal_lines()) out.push_back(nlohmann::json::parse(line).at("sql").get<std::string>());
    return out;
}

}  // namespace standin_test

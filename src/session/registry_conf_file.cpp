// Away from Windows there is no registry: velmora.conf, the first found in
// $XDG_CONFIG_DIRS, stands in for the key, one value per line.
#include "session/registry.h"

#include <cstdlib>
#include <fstream>
#include <vector>

namespace velmora {

namespace {

std::string trim(const std::string& s) {
    const char* blanks = " \t\r\n";
    auto b = s.find_first_not_of(blanks);
    if (b == std::string::npos) return {};
    auto e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

bool same_ascii_nocase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// The key's last component names the file: ...\SOFTWARE\velmora -> velmora.conf.
std::string conf_file_name(const std::string& key) {
    auto slash = key.find_last_of("\\/");
    std::string last = slash == std::string::npos ? key : key.substr(slash + 1);
    return last.empty() ? std::string() : last + ".conf";
}

std::vector<std::string> config_dirs() {
    const char* env = std::getenv("XDG_CONFIG_DIRS");
    std::string list = (env && *env) ? env : "/etc/xdg";
    std::vector<std::string> dirs;
    std::size_t start = 0;
    while (start <= list.size()) {
        auto colon = list.find(':', start);
        std::string dir = list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        // Relative entries are not valid in the list and are skipped.
        if (!dir.empty() && dir.front() == '/') dirs.push_back(dir);
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return dirs;
}

}  // namespace

bool registry_get(const std::string& key, const std::string& value_name, std::string& value) {
    std::string file = conf_file_name(key);
    if (file.empty()) return false;
    for (const auto& dir : config_dirs()) {
        std::ifstream in(dir + (dir.back() == '/' ? "" : "/") + file, std::ios::binary);
        if (!in) continue;
        // The first file found stands for the key, whether or not it holds the value.
        std::string line;
        std::string section;
        bool first_line = true;
        bool found = false;
        std::string found_value;
        while (std::getline(in, line)) {
            if (first_line && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
            first_line = false;
            std::string t = trim(line);
            if (t.empty() || t[0] == ';' || t[0] == '#') continue;
            if (t.front() == '[') {
                auto close = t.find(']');
                section = trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
                continue;
            }
            if (!section.empty() && !same_ascii_nocase(section, "General")) continue;
            auto eq = t.find('=');
            if (eq == std::string::npos) continue;
            if (!same_ascii_nocase(trim(t.substr(0, eq)), value_name)) continue;
            std::string v = trim(t.substr(eq + 1));
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
            found = true;
            found_value = v;  // a later line overrides an earlier one
        }
        if (found) value = found_value;
        return found;
    }
    return false;
}

}  // namespace velmora

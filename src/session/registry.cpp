#include "registry.h"

#ifdef _WIN32
#include <string.h>
#include <windows.h>

#include "gbk.h"
#else
#include <cstdlib>
#include <fstream>
#include <vector>
#endif

namespace velmora {

#ifdef _WIN32

bool registry_get(const std::string& key, const std::string& value_name, std::string& value) {
    struct root_name {
        const char* name;
        HKEY root;
    };
    static const root_name roots[] = {{"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}, {"HKLM", HKEY_LOCAL_MACHINE},
                                      {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},   {"HKCU", HKEY_CURRENT_USER},
                                      {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},   {"HKEY_USERS", HKEY_USERS}};
    auto slash = key.find('\\');
    std::string root_part = key.substr(0, slash);
    std::string sub = slash == std::string::npos ? std::string() : key.substr(slash + 1);
    HKEY root = nullptr;
    for (const auto& r : roots)
        if (_stricmp(root_part.c_str(), r.name) == 0) root = r.root;
    if (!root) return false;

    std::u16string wsub = utf8_to_utf16(sub);
    std::u16string wname = utf8_to_utf16(value_name);
    HKEY h = nullptr;
    // The application is 32-bit: read the view a 32-bit process sees.
    if (RegOpenKeyExW(root, reinterpret_cast<LPCWSTR>(wsub.c_str()), 0, KEY_READ | KEY_WOW64_32KEY, &h) !=
        ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    DWORD bytes = 0;
    LONG rc = RegQueryValueExW(h, reinterpret_cast<LPCWSTR>(wname.c_str()), nullptr, &type, nullptr, &bytes);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
        RegCloseKey(h);
        return false;
    }
    std::u16string data(bytes / sizeof(char16_t) + 1, u'\0');
    rc = RegQueryValueExW(h, reinterpret_cast<LPCWSTR>(wname.c_str()), nullptr, &type,
                          reinterpret_cast<LPBYTE>(data.data()), &bytes);
    RegCloseKey(h);
    if (rc != ERROR_SUCCESS) return false;
    data.resize(bytes / sizeof(char16_t));
    if (auto nul = data.find(u'\0'); nul != std::u16string::npos) data.resize(nul);
    value = utf16_to_utf8(data);
    return true;
}

#else

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

#endif

}  // namespace velmora

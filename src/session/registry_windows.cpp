// The registry key on Windows, read in the 32-bit view that a 32-bit
// process sees.
#include "session/registry.h"

#include <string.h>

#include "common/gbk.h"
#include "common/os_headers.h"

namespace velmora {

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

}  // namespace velmora

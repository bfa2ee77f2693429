#pragma once

#include <string>

namespace velmora {

// Reads a string value of a registry key. On Windows the 32-bit view of the
// key; elsewhere velmora.conf in $XDG_CONFIG_DIRS stands in for
// HKEY_LOCAL_MACHINE\SOFTWARE\velmora. Returns false and leaves value as it
// was when the key or value is missing.
bool registry_get(const std::string& key, const std::string& value_name, std::string& value);

}  // namespace velmora

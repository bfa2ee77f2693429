#pragma once
// Which client interface a packaged script is meant for: its name carries
// "MS" (the program's own "MSS" driver) or "ANY5" (ODBC).

#include <string_view>

namespace velmora {

// True when a record called name is run under the session driver: "ODBC" in
// any letter case needs "ANY5" in the name, any other driver needs "MS".
// The search in the name respects letter case.
bool passes_interface_filter(std::string_view driver, std::string_view name);

}  // namespace velmora

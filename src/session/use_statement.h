#pragma once

#include <string>
#include <string_view>

namespace velmora {

// "use [name]" with any "]" in the name doubled, so that every name the
// server can hold, blanks included, reaches it as one identifier.
std::string use_statement(std::string_view database);

}  // namespace velmora

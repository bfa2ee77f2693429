#pragma once

namespace velmora {

// Title of most message boxes; never reassigned.
inline constexpr const char* gs_appname = "Torvane商业管理软件";

}  // namespace velmora

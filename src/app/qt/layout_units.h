#pragma once
// The window was laid out in dialog-style layout units: 1/32 of the system
// font's average character width across, 1/64 of its height down. At 96 dpi
// that is 7/32 px per horizontal unit and 1/4 px per vertical unit; Qt scales
// the resulting device-independent pixels for other densities.

#include <cmath>

namespace velmora::app {

constexpr int units_to_px_x(int units) { return static_cast<int>(units * 7 / 32.0 + 0.5); }
constexpr int units_to_px_y(int units) { return static_cast<int>(units / 4.0 + 0.5); }

}  // namespace velmora::app

#pragma once
// What the Windows programs need to start on Windows XP SP3, the oldest
// Windows a shop runs. Linked into every Windows program (xp_compat.cpp).
#include <cstdint>

namespace velmora {

// GetTickCount64 from GetTickCount's 32-bit count: `previous` is the last
// 64-bit value given out, `now` a fresh 32-bit reading taken after it. A
// reading below the low half of `previous` means the count wrapped (every
// 49.7 days), which holds as long as it is asked at least once per wrap.
constexpr std::uint64_t widened_tick_count(std::uint64_t previous, std::uint32_t now) {
    std::uint64_t high = previous & ~std::uint64_t{0xFFFFFFFF};
    if (now < static_cast<std::uint32_t>(previous)) high += std::uint64_t{1} << 32;
    return high | now;
}

}  // namespace velmora

#include "common/xp_compat.h"

#include <gtest/gtest.h>

// The 64-bit tick count built on XP from the 32-bit one: each wrap of the
// 32-bit count adds 2^32, and nothing else moves the high half.
TEST(xp_tick_count, widens_the_32_bit_count_across_its_wraps) {
    const struct {
        std::uint64_t previous;
        std::uint32_t now;
        std::uint64_t expected;
    } cases[] = {
        {0, 0, 0},
        {1000, 1000, 1000},
        {1000, 5000, 5000},
        {0xFFFFFFF0, 0xFFFFFFFF, 0xFFFFFFFF},
        {0xFFFFFFF0, 0x10, 0x100000010},            // the first wrap
        {0x1FFFFFFFF, 0x0, 0x200000000},            // the second
        {0x300000010, 0x20, 0x300000020},           // no wrap after many
    };
    for (const auto& c : cases)
        EXPECT_EQ(velmora::widened_tick_count(c.previous, c.now), c.expected)
            << std::hex << c.previous << " then " << c.now;
}

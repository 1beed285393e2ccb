// The stall rule of the WinINet transport: below 1 byte per second over a 60 s window.
#include "net/stall_guard.h"

#include <gtest/gtest.h>

namespace {

using net_detail::CStallGuard;
using std::chrono::seconds;

TEST(StallGuard, SlowButMovingTransferGoesOnAndATrickleStops) {
    const auto start = CStallGuard::Clock::time_point{};
    CStallGuard moving(start);
    // 60 bytes in every window of 60 s is exactly 1 byte per second: never stalled.
    for (int nMinute = 1; nMinute <= 5; ++nMinute) {
        EXPECT_FALSE(moving.Stalled(59, start + seconds(60 * nMinute - 1)));
        EXPECT_FALSE(moving.Stalled(1, start + seconds(60 * nMinute)));
    }

    CStallGuard trickle(start);
    EXPECT_FALSE(trickle.Stalled(10, start + seconds(20)));
    EXPECT_FALSE(trickle.Stalled(10, start + seconds(40)));
    EXPECT_TRUE(trickle.Stalled(10, start + seconds(61)));
}

TEST(StallGuard, ABurstCarriesOnlyItsOwnWindow) {
    const auto start = CStallGuard::Clock::time_point{};
    CStallGuard guard(start);
    EXPECT_FALSE(guard.Stalled(1 << 20, start + seconds(1)));
    EXPECT_FALSE(guard.Stalled(0, start + seconds(60)));  // the burst's window closes
    EXPECT_FALSE(guard.Stalled(30, start + seconds(100)));
    EXPECT_TRUE(guard.Stalled(1, start + seconds(121)));
}

}  // namespace

// The speed and rate limit of a download, on synthetic times: the limit holds for everything
// received together, bursts are paid back by pauses, and the speed follows the last seconds.
#include "net/internal/TransferMeter.h"

#include <gtest/gtest.h>

using namespace ZipSync;

// Simulates a reader that reads `chunk` bytes whenever no pause is needed, for `seconds`, in
// steps of 1 ms; returns the bytes it could read.
static uint64_t ReadAsAllowed(TransferMeter& meter, uint64_t chunk, double seconds) {
    uint64_t total = 0;
    for (int ms = 0; ms < int(seconds * 1000); ms++) {
        if (meter.PauseNeeded() <= 0) total += chunk;
        meter.Record(total, ms / 1000.0);
    }
    return total;
}

TEST(TransferMeter, LimitHoldsForAllReadsTogether) {
    // 1 MiB/s; reads of 256 KiB at once overshoot, the pauses after them pay it back.
    TransferMeter meter(1 << 20);
    uint64_t total = ReadAsAllowed(meter, 256 << 10, 10.0);
    EXPECT_GT(total, uint64_t(9.5 * (1 << 20)));
    EXPECT_LT(total, uint64_t(10.5 * (1 << 20)) + (256 << 10));
    EXPECT_NEAR(meter.Speed(), double(1 << 20), 0.15 * (1 << 20));
}

TEST(TransferMeter, NoLimitNeverPauses) {
    TransferMeter meter;
    uint64_t total = ReadAsAllowed(meter, 1000, 2.0);
    EXPECT_EQ(total, 2000u * 1000u);
    EXPECT_EQ(meter.PauseNeeded(), 0.0);
    EXPECT_NEAR(meter.Speed(), 1e6, 1e4);
}

TEST(TransferMeter, SpeedFollowsTheLastSeconds) {
    TransferMeter meter;
    EXPECT_EQ(meter.Speed(), 0.0);
    uint64_t total = 0;
    double now = 0.0;
    for (; now < 10.0; now += 0.01) meter.Record(total += 10000, now); // 1 MB/s
    EXPECT_NEAR(meter.Speed(), 1e6, 2e4);
    for (; now < 20.0; now += 0.01) meter.Record(total += 1000, now); // then 100 kB/s
    EXPECT_NEAR(meter.Speed(), 1e5, 2e3);
    // A stall shows as a falling speed.
    meter.Record(total, now + 3.0);
    EXPECT_LT(meter.Speed(), 5e4);
}

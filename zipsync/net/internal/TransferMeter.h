// What a download receives over time: its recent speed, and how long it must pause so that all
// its transfers together stay below a rate limit (a token bucket).
//
// The downloader feeds it the running total of body bytes received by every transfer; the
// meter keeps a few seconds of samples. Times are seconds on a monotonic clock.
#pragma once

#include <deque>
#include <stdint.h>
#include <utility>

namespace ZipSync {

class TransferMeter {
public:
    // bytesPerSecond 0: no limit.
    explicit TransferMeter(uint64_t bytesPerSecond = 0);

    // The total received so far (never decreasing) at time now.
    void Record(uint64_t totalReceived, double now);
    // Bytes per second over the last few seconds; 0 until half a second has been measured.
    double Speed() const;
    // Seconds to pause before reading more so that the limit holds; 0 without a limit.
    double PauseNeeded() const;

private:
    uint64_t _rate;
    // The bucket: bytes that may still arrive at once (negative after an overshoot).
    double _tokens;
    double _burst;
    double _stamp = -1.0;
    uint64_t _lastTotal = 0;
    // (time, total) samples, at least 0.1 s apart, of the last few seconds.
    std::deque<std::pair<double, uint64_t>> _samples;
};

} // namespace ZipSync

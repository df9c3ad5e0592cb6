#include "net/internal/TransferMeter.h"

#include <algorithm>

namespace ZipSync {

// The speed is measured over this many seconds, so that it follows changes but does not jump
// with every packet.
static const double kSpeedWindow = 4.0;
static const double kSampleInterval = 0.1;

TransferMeter::TransferMeter(uint64_t bytesPerSecond) : _rate(bytesPerSecond) {
    // A tenth of a second of traffic at once, but at least what one read of every transfer
    // brings, so that the limit does not cut every read in pieces.
    _burst = std::max(double(_rate) / 10.0, 65536.0);
    _tokens = _burst;
}

void TransferMeter::Record(uint64_t totalReceived, double now) {
    if (_stamp < 0) _stamp = now;
    uint64_t arrived = totalReceived >= _lastTotal ? totalReceived - _lastTotal : 0;
    _lastTotal = std::max(_lastTotal, totalReceived);
    if (_rate) _tokens = std::min(_burst, _tokens + (now - _stamp) * double(_rate)) - double(arrived);
    _stamp = now;
    if (_samples.empty() || now - _samples.back().first >= kSampleInterval)
        _samples.push_back({now, _lastTotal});
    while (_samples.size() > 2 && now - _samples[1].first >= kSpeedWindow) _samples.pop_front();
}

double TransferMeter::Speed() const {
    if (_samples.size() < 2) return 0.0;
    double span = _samples.back().first - _samples.front().first;
    if (span < 0.5) return 0.0;
    return double(_samples.back().second - _samples.front().second) / span;
}

double TransferMeter::PauseNeeded() const {
    if (!_rate || _tokens >= 0) return 0.0;
    return -_tokens / double(_rate);
}

} // namespace ZipSync

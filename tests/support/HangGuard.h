// A bound for test code that must not block, such as opening a FIFO that nobody writes to: while
// a HangGuard lives, a watchdog thread ends the test process after the given seconds, so that a
// regression fails its test instead of hanging the suite. Not a measure of speed: the bound is
// generous.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdio.h>
#include <stdlib.h>
#include <thread>

class HangGuard {
public:
    explicit HangGuard(unsigned seconds = 60)
        : _watchdog([this, seconds] {
              std::unique_lock<std::mutex> lock(_mutex);
              if (!_done.wait_for(lock, std::chrono::seconds(seconds), [this] { return _finished; })) {
                  fprintf(stderr, "HangGuard: still blocked after %u s\n", seconds);
                  _Exit(124);
              }
          }) {}
    ~HangGuard() {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _finished = true;
        }
        _done.notify_one();
        _watchdog.join();
    }
    HangGuard(const HangGuard&) = delete;
    HangGuard& operator=(const HangGuard&) = delete;

private:
    std::mutex _mutex;
    std::condition_variable _done;
    bool _finished = false;
    std::thread _watchdog;
};

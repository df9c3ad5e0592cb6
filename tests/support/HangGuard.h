// A bound for test code that must not block, such as opening a FIFO that nobody writes to: while
// a HangGuard lives, SIGALRM ends the test process after the given seconds, so that a regression
// fails its test instead of hanging the suite. Not a measure of speed: the bound is generous.
#pragma once

#include <unistd.h>

class HangGuard {
public:
    explicit HangGuard(unsigned seconds = 60) { alarm(seconds); }
    ~HangGuard() { alarm(0); }
    HangGuard(const HangGuard&) = delete;
    HangGuard& operator=(const HangGuard&) = delete;
};

// Running a loop body over a range of indices on a small pool of threads.
//
// RunParallel owns its worker threads for the duration of the call: it starts them, hands out
// the indices in blocks under one mutex, and joins every started thread before it returns or
// throws. The body must be safe to call from several threads at once; whatever it shares
// beyond its index it guards itself.
#pragma once

#include <functional>

namespace ZipSync {

// The number of threads RunParallel uses for threadsNum: threadsNum itself when at least 1,
// otherwise the hardware concurrency (at least 1).
int ThreadCount(int threadsNum);

// Calls body(i) for every i in [begin, end).
//
// threadsNum == 1: in the calling thread, in order; an exception propagates at once.
// Otherwise threadsNum threads (the hardware concurrency when threadsNum < 1) repeatedly claim
// the next blockSize indices (fewer at the end) and run them in order. When body throws, the
// worker stores the exception (replacing one stored before) and stops; the others finish what
// they have claimed but claim nothing new. After all workers are joined the stored exception
// is rethrown. When a thread cannot be started, no more are started and those running do the
// whole range; once they are joined, the failure is raised as ErrorException (lcGeneral)
// naming the system's error (an exception escaping body takes precedence over it). blockSize
// must be at least 1.
void RunParallel(int begin, int end, const std::function<void(int)>& body, int threadsNum, int blockSize = 1);

} // namespace ZipSync

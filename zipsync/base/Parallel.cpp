#include "base/Parallel.h"

#include "base/Logging.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace ZipSync {

namespace {

// What the workers of one RunParallel call share; every member is guarded by mutex.
struct SharedWork {
    std::mutex mutex;
    int next = 0;
    int end = 0;
    int blockSize = 1;
    // The last exception that escaped body.
    std::exception_ptr error;
};

void WorkerLoop(SharedWork& work, const std::function<void(int)>& body, bool errorsReportedByCaller) {
    // The work is the caller's: its errors are reported the way the caller asked for.
    std::optional<ErrorsReportedByCaller> reportedByCaller;
    if (errorsReportedByCaller) reportedByCaller.emplace();
    while (true) {
        int first, last;
        {
            std::lock_guard<std::mutex> lock(work.mutex);
            if (work.error || work.next >= work.end) return;
            first = work.next;
            last = first + std::min(work.blockSize, work.end - first);
            work.next = last;
        }
        try {
            for (int i = first; i < last; i++) body(i);
        } catch (...) {
            std::lock_guard<std::mutex> lock(work.mutex);
            work.error = std::current_exception();
            return;
        }
    }
}

} // namespace

int ThreadCount(int threadsNum) {
    return threadsNum >= 1 ? threadsNum : std::max(1, int(std::thread::hardware_concurrency()));
}

void RunParallel(int begin, int end, const std::function<void(int)>& body, int threadsNum, int blockSize) {
    ZipSyncAssert(blockSize >= 1);
    if (threadsNum == 1) {
        for (int i = begin; i < end; i++) body(i);
        return;
    }
    threadsNum = ThreadCount(threadsNum);

    SharedWork work;
    work.next = begin;
    work.end = end;
    work.blockSize = blockSize;
    std::vector<std::thread> threads;
    threads.reserve(threadsNum);
    // Anything that escapes here must wait until the started threads are joined: a joinable
    // std::thread destroyed while unwinding would terminate the process.
    std::exception_ptr startError;
    for (int t = 0; t < threadsNum && !startError; t++) {
        try {
            threads.emplace_back(WorkerLoop, std::ref(work), std::cref(body),
                                 ErrorsReportedByCaller::Active());
        } catch (...) {
            // The threads already running share out the whole range among themselves.
            startError = std::current_exception();
        }
    }
    for (std::thread& thread : threads) thread.join();
    if (work.error) std::rethrow_exception(work.error);
    if (startError) {
        try {
            std::rethrow_exception(startError);
        } catch (const std::system_error& e) {
            g_logger->errorf(lcGeneral, "Failed to start worker thread %d of %d: %s", int(threads.size()) + 1,
                             threadsNum, e.what());
        }
    }
}

} // namespace ZipSync

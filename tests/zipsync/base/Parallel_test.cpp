// RunParallel: every index exactly once, blocks claimed whole and run in order, the pool size,
// exceptions stored and rethrown after the join, and a worker thread that cannot be started.
#include "base/Parallel.h"

#include "CatchError.h"
#include "RecordingLogger.h"
#include "base/Logging.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <set>
#include <stdexcept>
#include <stdio.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#endif
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ZipSync;

namespace {

struct Call {
    std::thread::id thread;
    int index;
    int sequence;
};

// Records every call of the body, from any thread.
class CallLog {
public:
    void Add(int index) {
        std::lock_guard<std::mutex> lock(_mutex);
        calls.push_back({std::this_thread::get_id(), index, int(calls.size())});
    }
    std::vector<Call> calls;

private:
    std::mutex _mutex;
};

int HardwareThreads() {
    return std::max(1, int(std::thread::hardware_concurrency()));
}

} // namespace

TEST(RunParallel, EveryIndexExactlyOnce) {
    struct Case {
        int begin, end, threads, block;
    } cases[] = {
        {0, 0, 2, 1},   {5, 5, 0, 1},    {7, 3, 2, 1},     {0, 1, 2, 1},   {0, 100, 1, 1},   {0, 100, 2, 1},
        {0, 100, 3, 7}, {-10, 37, 4, 5}, {3, 1000, 0, 64}, {0, 10, 16, 1}, {0, 50, -2, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.begin << ".." << c.end << " threads " << c.threads << " block " << c.block);
        CallLog log;
        RunParallel(
            c.begin, c.end, [&](int i) { log.Add(i); }, c.threads, c.block);
        std::map<int, int> seen;
        for (const Call& call : log.calls) seen[call.index]++;
        EXPECT_EQ(int(seen.size()), std::max(0, c.end - c.begin));
        for (const auto& entry : seen) {
            EXPECT_GE(entry.first, c.begin);
            EXPECT_LT(entry.first, c.end);
            EXPECT_EQ(entry.second, 1) << entry.first;
        }
    }
}

TEST(RunParallel, OneThreadRunsInTheCallerInOrder) {
    CallLog log;
    RunParallel(
        2, 12, [&](int i) { log.Add(i); }, 1, 3);
    ASSERT_EQ(log.calls.size(), 10u);
    for (int k = 0; k < 10; k++) {
        EXPECT_EQ(log.calls[k].index, 2 + k);
        EXPECT_EQ(log.calls[k].thread, std::this_thread::get_id());
    }
    // An exception propagates at once: nothing after the failing index runs.
    std::vector<int> done;
    EXPECT_THROW(RunParallel(
                     0, 10,
                     [&](int i) {
                         if (i == 3) throw std::out_of_range("three");
                         done.push_back(i);
                     },
                     1),
                 std::out_of_range);
    EXPECT_EQ(done, (std::vector<int>{0, 1, 2}));
}

// A block is claimed by one worker and run in order; each worker's claims ascend.
TEST(RunParallel, BlocksClaimedWholeAndInOrder) {
    const int begin = 1, end = 203, block = 4;
    CallLog log;
    RunParallel(
        begin, end,
        [&](int i) {
            log.Add(i);
            if (i % 9 == 0) std::this_thread::yield();
        },
        3, block);
    ASSERT_EQ(int(log.calls.size()), end - begin);
    std::map<int, Call> byIndex;
    std::map<std::thread::id, int> lastIndex;
    for (const Call& call : log.calls) {
        byIndex[call.index] = call;
        auto it = lastIndex.find(call.thread);
        if (it != lastIndex.end()) {
            EXPECT_GT(call.index, it->second);
        }
        lastIndex[call.thread] = call.index;
    }
    for (int first = begin; first < end; first += block) {
        for (int i = first + 1; i < std::min(end, first + block); i++) {
            EXPECT_EQ(byIndex[i].thread, byIndex[first].thread) << i;
            EXPECT_GT(byIndex[i].sequence, byIndex[i - 1].sequence) << i;
        }
    }
    EXPECT_LE(lastIndex.size(), 3u);
}

// The pool has exactly the asked number of threads (the hardware concurrency below 1): every
// one of them must arrive at a barrier before any may go on, and no other thread shows up.
TEST(RunParallel, PoolSize) {
    for (int asked : {2, 4, 0, -1}) {
        int expected = asked < 1 ? HardwareThreads() : asked;
        SCOPED_TRACE(testing::Message() << "asked " << asked);
        std::mutex mutex;
        std::condition_variable arrived;
        std::set<std::thread::id> threads;
        bool timedOut = false;
        RunParallel(
            0, expected * 3,
            [&](int) {
                std::unique_lock<std::mutex> lock(mutex);
                threads.insert(std::this_thread::get_id());
                arrived.notify_all();
                // A generous bound only guards against a hang when threads are missing.
                if (!arrived.wait_for(lock, std::chrono::seconds(60),
                                      [&] { return int(threads.size()) >= expected; }))
                    timedOut = true;
            },
            asked, 1);
        EXPECT_FALSE(timedOut);
        EXPECT_EQ(int(threads.size()), expected);
        EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    }
}

// A throwing body stops further claims; every block already claimed by another worker is
// finished before the exception, with its own type and text, reaches the caller.
TEST(RunParallel, ExceptionRethrownAfterAllWorkersFinished) {
    const int block = 5;
    std::mutex mutex;
    std::map<int, int> started, finished;
    std::thread::id thrower;
    auto body = [&](int i) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            started[i / block]++;
        }
        if (i == 12) {
            std::lock_guard<std::mutex> lock(mutex);
            thrower = std::this_thread::get_id();
            throw std::range_error("body failed at 12");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::lock_guard<std::mutex> lock(mutex);
        finished[i / block]++;
    };
    try {
        RunParallel(0, 400, body, 3, block);
        ADD_FAILURE() << "no exception";
    } catch (const std::range_error& e) {
        EXPECT_STREQ(e.what(), "body failed at 12");
    }
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& entry : started) {
        if (entry.first == 12 / block) continue;
        EXPECT_EQ(entry.second, block) << "block " << entry.first;
        EXPECT_EQ(finished[entry.first], block) << "block " << entry.first;
    }
    EXPECT_EQ(started[12 / block], 3); // the failing worker stops at once

    // The engine's own exception keeps its code.
    CaughtError error = CatchError([] {
        RunParallel(
            0, 4, [](int i) { g_logger->errorf(lcCantOpenFile, "cannot open %d", i); }, 2);
    });
    EXPECT_EQ(error.code, lcCantOpenFile);
    EXPECT_EQ(error.message.rfind("cannot open ", 0), 0u);
}

TEST(RunParallel, BlockSizeBelowOneAsserts) {
    EXPECT_TRUE(IsAssertionOf(CatchError([] {
                                  RunParallel(
                                      0, 4, [](int) {}, 2, 0);
                              }),
                              "blockSize >= 1"));
}

// A worker thread that cannot start, provoked by limiting the address space of a forked child:
// Linux only.
#ifndef _WIN32
namespace {

long AddressSpaceInUse() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    statm >> pages;
    return pages * sysconf(_SC_PAGESIZE);
}

// In a child process whose address space leaves room for `room` more bytes (a thread's stack
// takes 8 MiB), runs RunParallel over 20 indices with 4 threads. Exit status: 0 when it failed
// with expectedMessage after doing expectedCalls calls, 1 on no error, 2 on another message,
// 3 on another call count.
int RunWithAddressSpaceRoom(long room, const std::string& expectedMessage, int expectedCalls) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        SilentLogger silent;
        // New threads take their stack size from the stack limit (ulimit -s) unless a default
        // is set; fix it so that the room below means the same number of threads everywhere.
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstacksize(&attributes, 8L << 20);
        pthread_setattr_default_np(&attributes);
        // The C library keeps the stacks of finished threads for reuse, and those cost no new
        // address space; blocked threads take them until a thread needs a fresh stack.
        std::mutex mutex;
        std::condition_variable never;
        std::vector<std::thread> blockers;
        for (int k = 0; k < 64; k++) {
            long before = AddressSpaceInUse();
            blockers.emplace_back([&] {
                std::unique_lock<std::mutex> lock(mutex);
                never.wait(lock, [] { return false; });
            });
            if (AddressSpaceInUse() - before >= (4L << 20)) break;
        }
        rlimit limit;
        limit.rlim_cur = limit.rlim_max = rlim_t(AddressSpaceInUse() + room);
        setrlimit(RLIMIT_AS, &limit);
        std::atomic<int> calls(0);
        int status = 1;
        try {
            RunParallel(
                0, 20,
                [&](int) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    calls++;
                },
                4, 1);
        } catch (const ErrorException& e) {
            status = e.what() != expectedMessage ? 2 : calls != expectedCalls ? 3 : 0;
        }
        _exit(status);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

} // namespace

// The thread that cannot be started leaves the work to the one that did start; the failure
// arrives after that one has done all of it and was joined.
TEST(RunParallel, WorkerThreadThatCannotBeStarted) {
    const char* error = "Resource temporarily unavailable";
    EXPECT_EQ(
        RunWithAddressSpaceRoom(12L << 20, std::string("Failed to start worker thread 2 of 4: ") + error, 20),
        0);
    EXPECT_EQ(
        RunWithAddressSpaceRoom(1L << 20, std::string("Failed to start worker thread 1 of 4: ") + error, 0),
        0);
}
#endif

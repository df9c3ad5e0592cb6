// The exclusive file lock: one holder at a time across processes, released by the system when
// its holder dies, never taken through a link or on anything but a regular file.
#include "CatchError.h"
#include "TempDir.h"
#include "base/FileLock.h"

#include <filesystem>
#include <gtest/gtest.h>
#ifdef _WIN32
#include "ScopedEnv.h"

#include <optional>
#include <windows.h>
#else
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace ZipSync;
namespace fs = std::filesystem;

#ifdef _WIN32

// The other process is a death test's child, which runs this test again from its start: it
// takes the parent's directory from the environment, and only the parent asserts outside the
// statements (in a child, the parent holds the lock).
TEST(FileLock, OneHolderAcrossProcessesUntilItsProcessEnds) {
    const char* inherited = getenv("QMH_TEST_LOCK_DIR");
    bool parent = inherited == nullptr;
    std::optional<TempDir> own;
    if (parent) own.emplace();
    std::string dir = parent ? own->path() : inherited;
    ScopedEnv shared("QMH_TEST_LOCK_DIR", dir.c_str());
    std::string path = dir + "/lock";
    // Killed while it holds the lock (no destructor, no clean-up): the system releases it.
    EXPECT_EXIT(
        {
            FileLock lock;
            TerminateProcess(GetCurrentProcess(), lock.TryLock(path) ? 7 : 1);
        },
        testing::ExitedWithCode(7), "");
    FileLock lock;
    bool locked = lock.TryLock(path);
    if (parent) {
        ASSERT_TRUE(locked);
    }
    EXPECT_EXIT(
        {
            FileLock other;
            _exit(other.TryLock(path) ? 1 : 7);
        },
        testing::ExitedWithCode(7), "");
    if (!parent) return;
    // The lock belongs to the open file: a second lock in this process fails too.
    FileLock second;
    EXPECT_FALSE(second.TryLock(path));
    FileLock moved = std::move(lock);
    EXPECT_FALSE(lock.IsLocked());
    EXPECT_FALSE(second.TryLock(path));
    moved.Unlock();
    EXPECT_TRUE(second.TryLock(path));
    second.UnlockAndRemove();
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(second.TryLock(path));
}

TEST(FileLock, NeverOnAnythingButAFile) {
    TempDir dir;
    fs::create_directories(dir / "folder");
    FileLock lock;
    ExpectError([&] { lock.TryLock(dir / "folder"); }, lcCantOpenFile,
                "Failed to lock file " + dir / "folder" + ": it is not a regular file");
    ExpectError([&] { lock.TryLock(dir / "missing/lock"); }, lcCantOpenFile,
                "Failed to lock file " + dir / "missing/lock" + ": No such file or directory");
    EXPECT_FALSE(lock.IsLocked());
}

#else

namespace {

// A child process that takes the lock on path and keeps it until it is killed.
class LockingChild {
public:
    // asNobody: the child becomes the unprivileged user "nobody" first (the test runs as root).
    explicit LockingChild(const std::string& path, bool asNobody = false) {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
        _pid = fork();
        if (_pid == 0) {
            close(fds[0]);
            struct passwd* nobody = getpwnam("nobody");
            if (asNobody && (!nobody || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)) _exit(1);
            char result = '0';
            FileLock lock;
            try {
                if (lock.TryLock(path)) result = '1';
            } catch (...) {
            }
            if (write(fds[1], &result, 1) != 1 || result != '1') _exit(1);
            while (true) pause();
        }
        close(fds[1]);
        char result = 0;
        _locked = read(fds[0], &result, 1) == 1 && result == '1';
        close(fds[0]);
        // The child shares the open files of this process, locks included, until it ends.
        if (!_locked) Kill();
    }
    ~LockingChild() { Kill(); }

    bool Locked() const { return _locked; }
    void Kill() {
        if (_pid <= 0) return;
        kill(_pid, SIGKILL);
        waitpid(_pid, nullptr, 0);
        _pid = -1;
    }

private:
    pid_t _pid = -1;
    bool _locked = false;
};

} // namespace

TEST(FileLock, OneHolderUntilItsProcessDies) {
    TempDir dir;
    std::string path = dir / "lock";
    LockingChild child(path);
    ASSERT_TRUE(child.Locked());
    FileLock lock;
    EXPECT_FALSE(lock.TryLock(path));
    EXPECT_FALSE(lock.IsLocked());
    // SIGKILL gives the holder no chance to release anything: the system does it.
    child.Kill();
    EXPECT_TRUE(lock.TryLock(path));
    EXPECT_TRUE(lock.IsLocked());
    // The lock belongs to the open file: a second lock in this process fails too.
    FileLock second;
    EXPECT_FALSE(second.TryLock(path));
    LockingChild other(path);
    EXPECT_FALSE(other.Locked());
    FileLock moved = std::move(lock);
    EXPECT_FALSE(lock.IsLocked());
    EXPECT_FALSE(second.TryLock(path));
    moved.Unlock();
    EXPECT_TRUE(second.TryLock(path));
    EXPECT_TRUE(fs::is_regular_file(path));
    // Its holder may remove the file; the next one locks a new file of that name.
    second.UnlockAndRemove();
    EXPECT_FALSE(fs::exists(path));
    LockingChild next(path);
    EXPECT_TRUE(next.Locked());
    EXPECT_FALSE(second.TryLock(path));
    next.Kill();

    // A lock file that an administrator's run made stays usable for an ordinary user.
    if (geteuid() == 0) {
        fs::permissions(dir.path(), fs::perms::all);
        LockingChild user(path, true);
        EXPECT_TRUE(user.Locked());
        EXPECT_FALSE(second.TryLock(path));
    }
}

TEST(FileLock, NeverThroughALinkOrOnAnythingButAFile) {
    TempDir dir;
    WriteTestFile(dir / "target", "the player's file");
    fs::create_symlink(dir / "target", dir / "link");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0666), 0);
    FileLock lock;
    ExpectError([&] { lock.TryLock(dir / "link"); }, lcCantOpenFile,
                "Failed to lock file " + dir / "link" + ": it is a symbolic link");
    ExpectError([&] { lock.TryLock(dir / "dangling"); }, lcCantOpenFile,
                "Failed to lock file " + dir / "dangling" + ": it is a symbolic link");
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
    ExpectError([&] { lock.TryLock(dir / "fifo"); }, lcCantOpenFile,
                "Failed to lock file " + dir / "fifo" + ": it is not a regular file");
    ExpectError([&] { lock.TryLock(dir / "missing/lock"); }, lcCantOpenFile,
                "Failed to lock file " + dir / "missing/lock" + ": No such file or directory");
    EXPECT_FALSE(lock.IsLocked());
    EXPECT_EQ(ReadTestFile(dir / "target"), "the player's file");
}

#endif

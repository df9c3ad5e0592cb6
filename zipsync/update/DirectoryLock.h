// The lock that keeps two updates out of one install directory.
//
// Whoever changes the archives of an install directory (the installer, `zipsync update`) holds
// the DirectoryLock of that directory for the whole run: a FileLock (base/FileLock.h) on
// ".zipsync/lock". A second one finds it held and stops before it changes anything; the operating
// system releases the lock when its holder ends, however it ends. The lock file stays in
// ".zipsync" unless its holder asked to leave no trace; then it removes the file while it still
// holds the lock, and ".zipsync" when nothing else is left there.
//
// A DirectoryLock owns its FileLock; it can be moved, not copied.
#pragma once

#include "base/FileLock.h"

#include <string>

namespace ZipSync {

// The lock file below an install directory, relative to it.
extern const char* const kDirectoryLockFile;

class DirectoryLock {
public:
    // Holds no lock.
    DirectoryLock() = default;
    // Locks rootDir (an existing directory, absolute path) for this process. Creates ".zipsync"
    // when missing; neither it nor the lock file may be a symbolic link ("Path %s is a symbolic
    // link", RefuseLinksBelowRoot; the lock itself refuses a link that appears in between). When
    // another process holds the lock, raises "Another installation or update is running in %s;
    // try again once it has finished" (lcGeneral) with rootDir. With leaveNoTrace the lock file
    // (and an empty ".zipsync") goes when the lock is released.
    explicit DirectoryLock(const std::string& rootDir, bool leaveNoTrace = false);
    ~DirectoryLock();
    DirectoryLock(DirectoryLock&& other) noexcept = default;
    DirectoryLock& operator=(DirectoryLock&& other) noexcept;

    bool IsLocked() const { return _lock.IsLocked(); }
    // Releases the lock, if any (removing its traces as asked).
    void Release();

private:
    FileLock _lock;
    std::string _rootDir;
    bool _leaveNoTrace = false;
};

} // namespace ZipSync

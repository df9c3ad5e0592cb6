// An exclusive lock on a file, held until its owner lets go or its process ends.
//
// A FileLock opens the file at a path (creating it when missing) and locks it without waiting:
// on POSIX with flock on the open file, on Windows by opening it with no sharing at all. The
// lock belongs to the open file, so a second FileLock on the same file fails, in another
// process and in the same one alike, and the operating system releases it when the file is
// closed, however the process ends (a crash or SIGKILL leaves no stale lock). The file's
// contents mean nothing. Only its holder removes it (UnlockAndRemove), while it still holds the
// lock; a TryLock that locked a file which is no longer at the path then tries again, so that
// two holders never lock two different files of one name.
//
// The FileLock owns the open file and closes it when destroyed; it can be moved, not copied.
// The file is never opened through a symbolic link, nor is anything but a regular file used.
#pragma once

#include <stdint.h>
#include <string>

namespace ZipSync {

class FileLock {
public:
    FileLock() = default;
    ~FileLock();
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Releases a lock held before, then locks the file at path. Returns false when someone else
    // holds the lock. Raises "Failed to lock file %s: %s" (lcCantOpenFile; the path and the
    // system's reason, "it is a symbolic link" or "it is not a regular file" for those) when the
    // file cannot be opened or locked at all.
    bool TryLock(const std::string& path);
    bool IsLocked() const { return _handle != kNoHandle; }
    // Releases the lock, if any.
    void Unlock();
    // Removes the locked file and releases the lock; nothing when no lock is held. A failure
    // to remove the file leaves it (it is only a name) and releases the lock all the same.
    void UnlockAndRemove();

private:
    // A file descriptor on POSIX, a HANDLE on Windows (Platform.h's OpenLockedFile).
    static const intptr_t kNoHandle = -1;
    intptr_t _handle = kNoHandle;
    std::string _path;
};

} // namespace ZipSync

#include "update/DirectoryLock.h"

#include "base/Logging.h"
#include "base/Path.h"

#include <filesystem>
#include <utility>

namespace ZipSync {

const char* const kDirectoryLockFile = ".zipsync/lock";

DirectoryLock::DirectoryLock(const std::string& rootDir, bool leaveNoTrace)
    : _rootDir(rootDir), _leaveNoTrace(leaveNoTrace) {
    PathAR lockPath = PathAR::FromAbs(rootDir + "/" + kDirectoryLockFile, rootDir);
    // A linked ".zipsync" would put the lock (and everything else kept there) elsewhere.
    RefuseLinksBelowRoot(lockPath.abs, rootDir);
    CreateDirectoriesForFile(lockPath.abs, rootDir);
    if (!_lock.TryLock(lockPath.abs))
        g_logger->errorf(lcGeneral,
                         "Another installation or update is running in %s; try again once it has finished",
                         rootDir.c_str());
}

DirectoryLock::~DirectoryLock() {
    Release();
}

DirectoryLock& DirectoryLock::operator=(DirectoryLock&& other) noexcept {
    if (this != &other) {
        Release();
        _lock = std::move(other._lock);
        _rootDir = std::move(other._rootDir);
        _leaveNoTrace = other._leaveNoTrace;
    }
    return *this;
}

void DirectoryLock::Release() {
    if (!_lock.IsLocked()) return;
    if (!_leaveNoTrace) {
        _lock.Unlock();
        return;
    }
    _lock.UnlockAndRemove();
    // Only when empty: whatever else lives there stays.
    std::error_code ec;
    std::filesystem::remove(_rootDir + "/" + GetDirPath(kDirectoryLockFile), ec);
}

} // namespace ZipSync

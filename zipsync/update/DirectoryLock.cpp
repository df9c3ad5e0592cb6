#include "update/DirectoryLock.h"

#include "base/Logging.h"
#include "base/Path.h"

namespace ZipSync {

const char* const kDirectoryLockFile = ".zipsync/lock";

FileLock LockDirectory(const std::string& rootDir) {
    PathAR lockPath = PathAR::FromAbs(rootDir + "/" + kDirectoryLockFile, rootDir);
    // A linked ".zipsync" would put the lock (and everything else kept there) elsewhere.
    RefuseLinksBelowRoot(lockPath.abs, rootDir);
    CreateDirectoriesForFile(lockPath.abs, rootDir);
    FileLock lock;
    if (!lock.TryLock(lockPath.abs))
        g_logger->errorf(lcGeneral,
                         "Another installation or update is running in %s; try again once it has finished",
                         rootDir.c_str());
    return lock;
}

} // namespace ZipSync

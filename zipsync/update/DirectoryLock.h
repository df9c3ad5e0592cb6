// The lock that keeps two updates out of one install directory.
//
// Whoever changes the archives of an install directory (the installer, `zipsync update`) holds
// the lock of that directory for the whole run: a FileLock (base/FileLock.h) on ".zipsync/lock".
// A second one finds it held and stops before it changes anything; the operating system
// releases the lock when its holder ends, however it ends. The lock file stays in ".zipsync".
#pragma once

#include "base/FileLock.h"

#include <string>

namespace ZipSync {

// The lock file below an install directory, relative to it.
extern const char* const kDirectoryLockFile;

// Locks rootDir (an existing directory, absolute path) for this process and returns the owner of
// the lock. Creates ".zipsync" when missing; neither it nor the lock file may be a symbolic link
// ("Path %s is a symbolic link", RefuseLinksBelowRoot; the lock itself refuses a link that
// appears in between). When another
// process holds the lock, raises "Another installation or update is running in %s; try again
// once it has finished" (lcGeneral) with rootDir.
FileLock LockDirectory(const std::string& rootDir);

} // namespace ZipSync

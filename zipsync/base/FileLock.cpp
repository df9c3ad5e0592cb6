#include "base/FileLock.h"

#include "base/Logging.h"
#include "base/Platform.h"

#include <errno.h>
#include <utility>

namespace ZipSync {

FileLock::~FileLock() {
    Unlock();
}

FileLock::FileLock(FileLock&& other) noexcept : _handle(other._handle), _path(std::move(other._path)) {
    other._handle = kNoHandle;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        Unlock();
        std::swap(_handle, other._handle);
        std::swap(_path, other._path);
    }
    return *this;
}

bool FileLock::TryLock(const std::string& path) {
    Unlock();
    // Each removal by a holder costs a waiter one more try; a few are plenty.
    for (int attempt = 0; attempt < 100; attempt++) {
        intptr_t handle = kNoHandle;
        int error = OpenLockedFile(path, handle);
        if (error == EWOULDBLOCK) return false;
        if (error != 0) {
            std::string reason = error == ELOOP   ? "it is a symbolic link"
                                 : error == ENXIO ? "it is not a regular file"
                                                  : ErrnoText(error);
            g_logger->errorf(lcCantOpenFile, "Failed to lock file %s: %s", path.c_str(), reason.c_str());
        }
        if (LockedFileIsAt(handle, path)) {
            _handle = handle;
            _path = path;
            return true;
        }
        CloseLockedFile(handle, path, false);
    }
    g_logger->errorf(lcCantOpenFile, "Failed to lock file %s: it keeps being removed", path.c_str());
}

void FileLock::Unlock() {
    if (_handle != kNoHandle) CloseLockedFile(_handle, _path, false);
    _handle = kNoHandle;
}

void FileLock::UnlockAndRemove() {
    if (_handle != kNoHandle) CloseLockedFile(_handle, _path, true);
    _handle = kNoHandle;
}

} // namespace ZipSync

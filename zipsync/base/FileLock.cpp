#include "base/FileLock.h"

#include "base/Logging.h"

#include <errno.h>
#include <utility>
#ifdef _WIN32
#include <system_error>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

[[noreturn]] static void RaiseLockFailure(const std::string& path, const std::string& reason) {
    g_logger->errorf(lcCantOpenFile, "Failed to lock file %s: %s", path.c_str(), reason.c_str());
}

#ifdef _WIN32
// A file that others hold open cannot be removed on Windows: the one locked is always the one
// at its path.
static bool StillAtPath(intptr_t, const std::string&) {
    return true;
}

bool FileLock::TryLockOnce(const std::string& path) {
    Unlock();
    // Without sharing, a second open of the file fails until this handle is closed; the reparse
    // flag opens a link itself, which is then refused, instead of its target.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return false;
        RaiseLockFailure(path, std::system_category().message(int(error)));
    }
    BY_HANDLE_FILE_INFORMATION info;
    std::string refusal;
    if (!GetFileInformationByHandle(handle, &info))
        refusal = std::system_category().message(int(GetLastError()));
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        refusal = "it is a symbolic link";
    else if (GetFileType(handle) != FILE_TYPE_DISK || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        refusal = "it is not a regular file";
    if (!refusal.empty()) {
        CloseHandle(handle);
        RaiseLockFailure(path, refusal);
    }
    _handle = intptr_t(handle);
    _path = path;
    return true;
}

void FileLock::Unlock() {
    if (_handle != kNoHandle) CloseHandle(HANDLE(_handle));
    _handle = kNoHandle;
}

void FileLock::UnlockAndRemove() {
    if (_handle == kNoHandle) return;
    // Nobody else can open the file meanwhile: it goes when the handle is closed.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    SetFileInformationByHandle(HANDLE(_handle), FileDispositionInfo, &disposition, sizeof(disposition));
    Unlock();
}
#else
// Whether the open file is still the file at path: its holder removes a lock file before it
// releases the lock, and one that was waiting may then have locked the removed file.
static bool StillAtPath(intptr_t fd, const std::string& path) {
    struct stat opened, named;
    return fstat(int(fd), &opened) == 0 && lstat(path.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

bool FileLock::TryLockOnce(const std::string& path) {
    Unlock();
    // O_NONBLOCK: a FIFO at path must not hold the caller up; it is refused below.
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | flags, 0666);
    // A lock file that another user made (one who ran as administrator, say) can still be locked
    // for reading.
    if (fd < 0 && errno == EACCES) fd = open(path.c_str(), O_RDONLY | flags);
    if (fd < 0) {
        int error = errno;
        struct stat st;
        if (error == ELOOP && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            RaiseLockFailure(path, "it is a symbolic link");
        RaiseLockFailure(path, error == ENXIO ? "it is not a regular file" : ErrnoText(error));
    }
    struct stat st;
    std::string refusal;
    if (fstat(fd, &st) != 0)
        refusal = ErrnoText(errno);
    else if (!S_ISREG(st.st_mode))
        refusal = "it is not a regular file";
    else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        if (error == EWOULDBLOCK) {
            close(fd);
            return false;
        }
        refusal = ErrnoText(error);
    }
    if (!refusal.empty()) {
        close(fd);
        RaiseLockFailure(path, refusal);
    }
    _handle = fd;
    _path = path;
    return true;
}

void FileLock::Unlock() {
    // Closing the only descriptor of the open file releases its flock.
    if (_handle != kNoHandle) close(int(_handle));
    _handle = kNoHandle;
}

void FileLock::UnlockAndRemove() {
    if (_handle == kNoHandle) return;
    // While the lock is held: a waiter that locks the removed file finds it gone and tries again.
    if (StillAtPath(_handle, _path)) unlink(_path.c_str());
    Unlock();
}
#endif

bool FileLock::TryLock(const std::string& path) {
    // Each removal by a holder costs a waiter one more try; a few are plenty.
    for (int attempt = 0; attempt < 100; attempt++) {
        if (!TryLockOnce(path)) return false;
        if (StillAtPath(_handle, path)) return true;
        Unlock();
    }
    RaiseLockFailure(path, "it keeps being removed");
}

} // namespace ZipSync

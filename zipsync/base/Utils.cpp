#include "base/Utils.h"

#include "base/Logging.h"
#include "base/Path.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif
#include <algorithm>
#include <utility>

namespace ZipSync {

#ifdef _WIN32
FILE* OpenStdioFile(const std::string& path, const char* mode) {
    return fopen(path.c_str(), mode);
}
#else
FILE* OpenStdioFile(const std::string& path, const char* mode) {
    int flags = strchr(mode, '+') ? O_RDWR : mode[0] == 'r' ? O_RDONLY : O_WRONLY;
    if (mode[0] == 'w') flags |= O_CREAT | O_TRUNC;
    if (mode[0] == 'a') flags |= O_CREAT | O_APPEND;
    // Opening a FIFO waits for the other end: O_NONBLOCK returns at once, and the kind is
    // checked on what was opened, so that nothing swapped in meanwhile slips through.
    int fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat st;
    int refusal = 0;
    if (fstat(fd, &st) != 0)
        refusal = errno;
    else if (S_ISDIR(st.st_mode))
        refusal = EISDIR;
    else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
        refusal = ENXIO;
    int status = fcntl(fd, F_GETFL);
    if (!refusal && (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0)) refusal = errno;
    FILE* file = refusal ? nullptr : fdopen(fd, mode);
    if (!file) {
        if (!refusal) refusal = errno;
        close(fd);
        errno = refusal;
    }
    return file;
}
#endif

void RaiseWriteFailure(const std::string& path, int error) {
    g_logger->errorf(lcGeneral, "Failed to write file \"%s\": %s", path.c_str(),
                     ErrnoText(error != 0 ? error : EIO).c_str());
}

StdioFileHolder::StdioFileHolder(const std::string& path, const char* mode) : _file(nullptr) {
    _file = OpenStdioFile(path, mode);
    if (!_file) {
        std::string kind = NonRegularFileKind(path);
        if (kind == "FIFO" || kind == "socket")
            g_logger->errorf(lcCantOpenFile, "%s is not a regular file (a %s)", path.c_str(), kind.c_str());
        g_logger->errorf(lcCantOpenFile, "Failed to open file \"%s\"", path.c_str());
    }
}

StdioFileHolder::~StdioFileHolder() {
    reset();
}

StdioFileHolder::StdioFileHolder(StdioFileHolder&& other) noexcept : _file(other._file) {
    other._file = nullptr;
}

StdioFileHolder& StdioFileHolder::operator=(StdioFileHolder&& other) noexcept {
    if (this != &other) {
        reset();
        _file = other._file;
        other._file = nullptr;
    }
    return *this;
}

FILE* StdioFileHolder::release() {
    FILE* file = _file;
    _file = nullptr;
    return file;
}

int StdioFileHolder::reset(FILE* file) {
    int res = 0;
    if (_file && _file != file) res = fclose(_file);
    _file = file;
    return res;
}

void SyncFile(FILE* file, const std::string& path) {
    errno = 0;
#ifdef _WIN32
    bool ok = fflush(file) == 0 && _commit(_fileno(file)) == 0;
#else
    bool ok = fflush(file) == 0 && fdatasync(fileno(file)) == 0;
#endif
    if (!ok)
        g_logger->errorf(lcCantOpenFile, "Failed to sync file \"%s\": %s", path.c_str(),
                         ErrnoText(errno != 0 ? errno : EIO).c_str());
}

void SyncDirectory(const std::string& dir) {
#ifndef _WIN32
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    bool ok = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    if (!ok) g_logger->errorf(lcCantOpenFile, "Failed to sync directory %s", dir.c_str());
#else
    (void)dir; // the names of a file system without this need are durable with the file
#endif
}

int FileSeek64(FILE* file, int64_t offset, int origin) {
#ifdef _WIN32
    return _fseeki64(file, offset, origin);
#else
    return fseeko(file, off_t(offset), origin);
#endif
}

int64_t FileTell64(FILE* file) {
#ifdef _WIN32
    return _ftelli64(file);
#else
    return int64_t(ftello(file));
#endif
}

// Size of an open stream by seeking to its end; the position stays at the end.
static uint64_t SizeByEndPosition(FILE* file, const std::string& path) {
    int64_t size = -1;
    if (FileSeek64(file, 0, SEEK_END) == 0) size = FileTell64(file);
    if (size < 0) g_logger->errorf(lcGeneral, "Failed to measure file \"%s\"", path.c_str());
    return uint64_t(size);
}

uint64_t SizeOfFile(const std::string& path) {
    StdioFileHolder file(path, "rb");
    return SizeByEndPosition(file, path);
}

// The one reader of whole files, for byte vectors and text alike. It reads in chunks up to the
// end rather than trusting a size measured first, so files that change length or report none
// (pipes, /proc) are read as they are.
// At most one byte beyond maxSize is read, which tells a file of exactly maxSize bytes from a
// longer one, so an endless file (/dev/zero through a link) costs no more memory than the bound.
template <class Container> static Container ReadAll(const std::string& path, uint64_t maxSize) {
    StdioFileHolder file(path, "rb");
    Container result;
    const size_t chunk = 65536;
    while (true) {
        size_t had = result.size();
        size_t want = size_t(std::min<uint64_t>(chunk, maxSize + 1 - had));
        result.resize(had + want);
        size_t got = fread(&result[had], 1, want, file);
        result.resize(had + got);
        if (result.size() > maxSize)
            g_logger->errorf(lcGeneral, "File \"%s\" is larger than the limit of %llu bytes", path.c_str(),
                             (unsigned long long)maxSize);
        if (got < want) break;
    }
    // A read error would otherwise pass for the end of a shorter file.
    if (ferror(file)) g_logger->errorf(lcGeneral, "Failed to read file \"%s\"", path.c_str());
    return result;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path, uint64_t maxSize) {
    return ReadAll<std::vector<uint8_t>>(path, maxSize);
}

std::string ReadWholeTextFile(const std::string& path, uint64_t maxSize) {
    return ReadAll<std::string>(path, maxSize);
}

HashDigest DigestOfFile(const std::string& path) {
    StdioFileHolder file(path, "rb");
    std::vector<uint8_t> buffer(65536);
    Hasher hasher;
    while (size_t got = fread(buffer.data(), 1, buffer.size(), file)) hasher.Update(buffer.data(), got);
    if (ferror(file)) g_logger->errorf(lcGeneral, "Failed to read file \"%s\"", path.c_str());
    return hasher.Finalize();
}

} // namespace ZipSync

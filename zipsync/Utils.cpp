#include "Utils.h"

#include "Logging.h"

#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif
#include <utility>

namespace ZipSync {

StdioFileHolder::StdioFileHolder(const std::string& path, const char* mode) : _file(nullptr) {
    _file = fopen(path.c_str(), mode);
    // POSIX opens a directory for reading (and then reports absurd sizes for it); it is no
    // file, just as on Windows, where fopen refuses it.
#ifndef _WIN32
    struct stat st;
    if (_file && fstat(fileno(_file), &st) == 0 && S_ISDIR(st.st_mode)) reset();
#endif
    if (!_file) g_logger->errorf(lcCantOpenFile, "Failed to open file \"%s\"", path.c_str());
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

void SyncFile(FILE* file) {
#ifdef _WIN32
    bool ok = fflush(file) == 0 && _commit(_fileno(file)) == 0;
#else
    bool ok = fflush(file) == 0 && fdatasync(fileno(file)) == 0;
#endif
    if (!ok) g_logger->errorf(lcCantOpenFile, "Failed to sync file");
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
template <class Container> static Container ReadAll(const std::string& path) {
    StdioFileHolder file(path, "rb");
    Container result;
    const size_t chunk = 65536;
    while (true) {
        size_t had = result.size();
        result.resize(had + chunk);
        size_t got = fread(&result[had], 1, chunk, file);
        result.resize(had + got);
        if (got < chunk) break;
    }
    // A read error would otherwise pass for the end of a shorter file.
    if (ferror(file)) g_logger->errorf(lcGeneral, "Failed to read file \"%s\"", path.c_str());
    return result;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    return ReadAll<std::vector<uint8_t>>(path);
}

std::string ReadWholeTextFile(const std::string& path) {
    return ReadAll<std::string>(path);
}

} // namespace ZipSync

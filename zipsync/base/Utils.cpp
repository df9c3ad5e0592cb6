#include "base/Utils.h"

#include "base/Logging.h"
#include "base/Path.h"

#include <algorithm>
#include <errno.h>
#include <string.h>
#include <utility>

namespace ZipSync {

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

int RemoveTree(const std::string& path) {
    if (GetFileKind(path, false) == FileKind::Directory) {
        std::vector<DirectoryEntry> entries;
        if (!ReadDirectory(path, entries)) return errno;
        for (const DirectoryEntry& entry : entries)
            if (int error = RemoveTree(path + "/" + entry.name)) return error;
        return RemoveEmptyDirectory(path);
    }
    return RemovePath(path) == 0 ? 0 : errno;
}

void SyncFile(FILE* file, const std::string& path) {
    int error = SyncFileData(file);
    if (error != 0)
        g_logger->errorf(lcCantOpenFile, "Failed to sync file \"%s\": %s", path.c_str(),
                         ErrnoText(error).c_str());
}

void SyncDirectory(const std::string& dir) {
    if (SyncDirectoryEntries(dir) != 0)
        g_logger->errorf(lcCantOpenFile, "Failed to sync directory %s", dir.c_str());
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

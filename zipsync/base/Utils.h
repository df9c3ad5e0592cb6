// Small shared helpers: the owner of a C stdio stream and whole-file reading.
//
// StdioFileHolder is the sole owner of one FILE*: it closes it when destroyed, can be moved,
// never copied. Open failures report "Failed to open file \"%s\"" with lcCantOpenFile.
// Sizes are 64-bit so that archives of up to 4 GiB (and beyond) are measured without wrap.
// Streams are opened through the platform file (OpenStdioFile, which this header brings in).
#pragma once

#include "base/Hash.h"
#include "base/Platform.h"

#include <stdint.h>
#include <stdio.h>
#include <string>
#include <vector>

namespace ZipSync {

// The largest file the engine fetches or reads whole: a manifest (checksummed or not), the
// configuration, the installer's own archive. A manifest takes about 390 bytes per file, so this
// holds 1.3 million files. Requests that run to the end of their file stop here by default, and
// a checksummed zip whose payload declares more is refused before anything is inflated.
static const uint64_t MAX_MANIFEST_SIZE = uint64_t(512) << 20;

class StdioFileHolder {
public:
    // Takes ownership of an already open stream (may be null).
    explicit StdioFileHolder(FILE* file = nullptr) : _file(file) {}
    // Opens with OpenStdioFile(path, mode) or fails with lcCantOpenFile: "Failed to open file
    // \"%s\"", or "%s is not a regular file (a FIFO)" for a FIFO or socket.
    StdioFileHolder(const std::string& path, const char* mode);
    ~StdioFileHolder();
    StdioFileHolder(StdioFileHolder&& other) noexcept;
    StdioFileHolder& operator=(StdioFileHolder&& other) noexcept;
    StdioFileHolder(const StdioFileHolder&) = delete;
    StdioFileHolder& operator=(const StdioFileHolder&) = delete;

    FILE* get() const { return _file; }
    operator FILE*() const { return _file; }
    // Gives the stream up without closing it.
    FILE* release();
    // Closes the current stream (if any) and takes the given one. Returns fclose's result,
    // 0 when there was nothing to close.
    int reset(FILE* file = nullptr);

private:
    FILE* _file;
};

// ErrnoText (the system's text for an error number) is in base/Logging.h.
// Raises "Failed to write file \"%s\": %s" (lcGeneral) with the path and ErrnoText(error); an
// error of 0 (a failure that set no errno) counts as EIO.
[[noreturn]] void RaiseWriteFailure(const std::string& path, int error);

// Size in bytes of the file at path; fails when it cannot be opened ("rb").
uint64_t SizeOfFile(const std::string& path);
// All bytes of the file at path, which may hold at most maxSize bytes. Fails with "Failed to
// open file \"%s\"" (lcCantOpenFile) when it cannot be opened, with "Failed to read file
// \"%s\"" (lcGeneral) when reading fails before its end, and with "File \"%s\" is larger than
// the limit of %llu bytes" (lcGeneral; the path and maxSize) as soon as more than maxSize bytes
// have come, so that a huge or endless file (a link to /dev/zero) is never read whole.
std::vector<uint8_t> ReadWholeFile(const std::string& path, uint64_t maxSize = MAX_MANIFEST_SIZE);
// The same as text, byte for byte (no newline conversion).
std::string ReadWholeTextFile(const std::string& path, uint64_t maxSize = MAX_MANIFEST_SIZE);
// The BLAKE2s digest of the whole file at path, read in chunks of 64 KiB (no size bound is
// needed). Fails as ReadWholeFile does when the file cannot be opened or read.
HashDigest DigestOfFile(const std::string& path);

// Removes path and, when it is a directory, everything below it (a symbolic link is removed, not
// what it points at): 0, or the errno value of the first failure.
int RemoveTree(const std::string& path);

// Flushes the stream (of the file at path) and makes its data durable on the disk; fails with
// "Failed to sync file \"%s\": %s", the path and the system's reason.
void SyncFile(FILE* file, const std::string& path);
// Makes the entries of the directory (the names of the files in it) durable on the disk, where
// the system needs that; fails with "Failed to sync directory %s".
void SyncDirectory(const std::string& dir);

} // namespace ZipSync

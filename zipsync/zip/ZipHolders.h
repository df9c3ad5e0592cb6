// Owners of minizip's reading and writing handles, and the three operations the engine needs
// beyond minizip's published interface (raw entry copy, Zip64 query, text flag of an entry).
//
// UnzFileHolder owns one unzFile and ZipFileHolder one zipFile; each closes its handle when
// destroyed or reset, and both can be moved, never copied. Both convert to the bare handle, so
// minizip's own functions take them directly. minizip's handles are opaque, so the holders keep
// the little state the extension operations need beside the handle: whether the archive has a
// Zip64 end record, and how the current entry was opened. Entries that the extensions work on
// must therefore be opened and written through the holders' members, not through minizip's
// functions on the bare handle. UnzFileHolder reads the archive through the cached stream of
// ZipReadCache.h, which spares minizip's many seeks their system calls.
//
// ZipFileHolder deflates entries itself (zlib raw deflate, window 15, memory level 8, the same
// settings minizip uses) and hands minizip the finished bytes in raw mode. The compressed
// bytes equal minizip's own, but the internal attributes written are always the ones given at
// open, never zlib's guess of text data.
//
// Failures raise ErrorException through g_logger: "Failed to open zip file \"%s\""
// (lcCantOpenFile; when writing, followed by the system's reason) and "Minizip error %d (%s)"
// (lcMinizipError) with the library's status and what it means. A write that failed in the file system names
// the file and the cause: "Minizip error -1 writing \"%s\": No space left on device". Neither holder opens
// anything but a regular file: "%s is not a regular file (a FIFO)" (lcCantOpenFile).
#pragma once

#include <minizip/unzip.h>
#include <minizip/zip.h>

#include <memory>
#include <stdint.h>
#include <string>
#include <utility>
#include <vector>

namespace ZipSync {

struct WriteStreamErrors;

// What a minizip (or zlib) status means, for messages: "CRC mismatch, the data is damaged".
const char* MinizipStatusText(int status);
// Raises "Minizip error %d (%s)" (lcMinizipError) with the status and its MinizipStatusText when
// the status is nonzero.
void CheckMinizip(int status);

class UnzFileHolder {
public:
    UnzFileHolder() = default;
    // Same as Open.
    explicit UnzFileHolder(const std::string& path);
    virtual ~UnzFileHolder();
    UnzFileHolder(UnzFileHolder&& other) noexcept;
    UnzFileHolder& operator=(UnzFileHolder&& other) noexcept;
    UnzFileHolder(const UnzFileHolder&) = delete;
    UnzFileHolder& operator=(const UnzFileHolder&) = delete;

    // Closes the previous handle and opens the archive at path; fails with lcCantOpenFile. A
    // plain (not Zip64) archive whose end record counts other entries than its central
    // directory holds is refused with lcGeneral: "Zip file \"%s\" has %lld entries, more than
    // 65535 (Zip64 is not supported)" or "Zip file \"%s\" is damaged: ...".
    virtual void Open(const std::string& path);
    // Closes the handle, if any.
    void Reset();

    unzFile get() const { return _handle; }
    operator unzFile() const { return _handle; }
    // The path the archive was opened from; empty when none is open.
    const std::string& Path() const { return _path; }

    // Opens the current entry (unzOpenCurrentFile2), raw or inflating, and remembers the mode
    // and compressed size for CopyCurrentFileRaw. Fails with "Minizip error %d".
    void OpenCurrentFile(bool raw, int* method = nullptr, int* level = nullptr);
    // Closes the open entry (unzCloseCurrentFile). After an inflating read of the whole entry
    // this checks its CRC; a mismatch fails with "Minizip error %d".
    void CloseCurrentFile();

private:
    friend int IsZip64(const UnzFileHolder& zf);
    friend int CopyCurrentFileRaw(UnzFileHolder& from, class ZipFileHolder& to, void* buffer,
                                  unsigned bufferSize);
    void ForgetEntry();

    unzFile _handle = nullptr;
    std::string _path;
    bool _zip64 = false;
    bool _entryOpen = false;
    bool _entryRaw = false;
    uint64_t _entryCompressedSize = 0;
};

class ZipFileHolder {
public:
    ZipFileHolder();
    // Same as Open.
    explicit ZipFileHolder(const std::string& path);
    // Closes quietly; a failure while closing is lost, so call Close where it matters.
    ~ZipFileHolder();
    ZipFileHolder(ZipFileHolder&& other) noexcept;
    ZipFileHolder& operator=(ZipFileHolder&& other) noexcept;
    ZipFileHolder(const ZipFileHolder&) = delete;
    ZipFileHolder& operator=(const ZipFileHolder&) = delete;

    // Closes the previous archive, deletes a file existing at path and creates a new archive
    // there; fails with lcCantOpenFile, also when something other than a regular file is there
    // (which stays).
    void Open(const std::string& path);
    // Writes the central directory and closes the archive (no archive comment). A failure
    // raises "Minizip error %d". Nothing happens when no archive is open.
    void Close();
    // Like Close, but ignores failures.
    void Reset();

    zipFile get() const { return _handle; }
    operator zipFile() const { return _handle; }

    // Starts an entry like zipOpenNewFileInZip2 with no extra fields and no comment. The DOS
    // date, internal and external attributes come from info. The general purpose flag gets
    // bits 1-2 from the level as minizip sets them (8 or 9 give 2, 2 gives 4, 1 gives 6).
    // raw: the caller writes compressed bytes and closes with CloseFileRaw; otherwise the
    // caller writes plain bytes, deflated here when method is 8, and closes with CloseFile.
    // An entry still open fails with "Minizip error -102" instead of being closed blindly.
    void OpenNewFile(const char* filename, const zip_fileinfo& info, int method, int level, bool raw);
    void WriteInFile(const void* data, size_t size);
    // Finishes an entry opened without raw; CRC and size are those of the bytes written.
    void CloseFile();
    // Finishes an entry opened raw, recording the given uncompressed size and CRC-32.
    void CloseFileRaw(uint64_t uncompressedSize, uint32_t crc);
    // Raises "Minizip error %d" for a nonzero status of a call on this archive, naming the file
    // and the cause when the file system refused an operation on it.
    void CheckStatus(int status) const;

private:
    struct Deflater;
    friend int SetCurrentFileTextFlag(ZipFileHolder& zf, int flag);
    friend int CopyCurrentFileRaw(UnzFileHolder& from, ZipFileHolder& to, void* buffer, unsigned bufferSize);
    int CloseHandle();
    int PatchInternalAttribs();
    void WriteRaw(const void* data, size_t size);
    void FinishEntry(uint64_t uncompressedSize, uint32_t crc);

    zipFile _handle = nullptr;
    std::string _path;
    // Where the file functions of _handle record failures; owned here, so that it survives moves.
    std::unique_ptr<WriteStreamErrors> _errors;
    // State of the entry being written.
    bool _entryOpen = false;
    bool _entryRaw = false;
    uint64_t _entryBytesWritten = 0;
    uint32_t _entryCrc = 0;
    uint16_t _entryInternalAttribs = 0;
    int _entryTextFlag = 0;
    std::unique_ptr<Deflater> _deflater;
    // Number of entries started so far; the current one is _entryCount - 1.
    uint32_t _entryCount = 0;
    // Internal attributes that SetCurrentFileTextFlag changed: (entry number, value). minizip
    // keeps the central records to itself until the archive is closed, so these are patched
    // into the file afterwards.
    std::vector<std::pair<uint32_t, uint16_t>> _attribPatches;
};

// Extension operations. Each returns a minizip status (0 = ZIP_OK / UNZ_OK).

// Moves the remaining compressed bytes of the current entry of from (opened raw through
// OpenCurrentFile) into the entry open in to (opened raw through OpenNewFile, nothing written
// yet), in chunks of at most bufferSize bytes. Returns -102 (parameter error) when these
// requirements are not met, -1 when a chunk cannot be read or written whole, 0 when done.
// The target's CRC and size are then set by CloseFileRaw.
int CopyCurrentFileRaw(UnzFileHolder& from, ZipFileHolder& to, void* buffer, unsigned bufferSize);

// Enumeration of the entries in central-directory order: each returns UNZ_OK when it made an
// entry the current one, UNZ_END_OF_LIST_OF_FILE when there is none (also for an archive without
// entries, and after exactly 65535, where minizip's own enumeration fails), or a minizip error.
int GoToFirstEntry(unzFile zf);
int GoToNextEntry(unzFile zf);

// Nonzero when the archive has a Zip64 end-of-central-directory record (found the way minizip
// looks for it when opening); 0 when the holder holds no archive.
int IsZip64(const UnzFileHolder& zf);

// For the entry being written: when bit 0 of flag is set, its internal attributes are written
// as 1; otherwise they keep the value given at open. Returns -102 without an open entry.
int SetCurrentFileTextFlag(ZipFileHolder& zf, int flag);

} // namespace ZipSync

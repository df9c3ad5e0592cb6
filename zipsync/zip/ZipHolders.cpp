#include "zip/ZipHolders.h"

#include "base/Logging.h"
#include "base/Path.h"
#include "base/Utils.h"
#include "zip/internal/ZipFormat.h"
#include "zip/internal/ZipReadCache.h"
#include "zip/internal/ZipWriteStream.h"

#include <algorithm>
#include <errno.h>
#include <string.h>
#include <zlib.h>

namespace ZipSync {

const char* MinizipStatusText(int status) {
    // minizip's own statuses, and zlib's, which reading an entry passes on.
    switch (status) {
    case UNZ_ERRNO:
        return "the file cannot be read or written, or ends early";
    case Z_STREAM_ERROR:
        return "inconsistent compression state";
    case Z_DATA_ERROR:
        return "the compressed data is corrupt";
    case Z_MEM_ERROR:
        return "out of memory";
    case Z_BUF_ERROR:
        return "the compressed data is cut short";
    case UNZ_END_OF_LIST_OF_FILE:
        return "no such entry";
    case UNZ_PARAMERROR:
        return "invalid request";
    case UNZ_BADZIPFILE:
        return "the archive is damaged or no zip file";
    case UNZ_INTERNALERROR:
        return "internal error";
    case UNZ_CRCERROR:
        return "CRC mismatch, the data is damaged";
    default:
        return "unknown failure";
    }
}

void CheckMinizip(int status) {
    if (status != 0)
        g_logger->errorf(lcMinizipError, "Minizip error %d (%s)", status, MinizipStatusText(status));
}

// Reads exactly size bytes at offset; false when the file is shorter or cannot be read.
static bool ReadAt(FILE* file, uint64_t offset, void* buffer, size_t size) {
    if (FileSeek64(file, int64_t(offset), SEEK_SET) != 0) return false;
    return fread(buffer, 1, size, file) == size;
}

// Whether minizip would open the archive as Zip64: the last Zip64 end-of-central-directory
// locator within the tail (never at offset 0) names disk 0 of 1 and points at a Zip64 end
// record signature. A locator failing these checks means "not Zip64", as in minizip.
static bool HasZip64EndRecord(FILE* file, const std::vector<uint8_t>& tail, uint64_t tailStart) {
    uint64_t found = 0;
    for (size_t i = tail.size() - 4; i + 1 > 0; i--) {
        if (ReadLE32(&tail[i]) == kZip64EndLocatorSignature) {
            found = tailStart + i;
            break;
        }
    }
    if (found == 0) return false;
    uint8_t raw[kZip64EndLocatorSize], signature[4];
    if (!ReadAt(file, found, raw, sizeof(raw))) return false;
    Zip64EndLocator locator = ParseZip64EndLocator(raw);
    if (locator.endRecordDisk != 0 || locator.totalDisks != 1) return false;
    if (!ReadAt(file, locator.endRecordOffset, signature, 4)) return false;
    return ReadLE32(signature) == kZip64EndRecordSignature;
}

// The number of records of the central directory [start, start + size), or -1 when the records
// do not fill it exactly.
static int64_t CountCentralRecords(const uint8_t* dir, uint64_t size) {
    int64_t count = 0;
    uint64_t pos = 0;
    while (pos < size) {
        if (size - pos < kCentralRecordSize || ReadLE32(dir + pos) != kCentralRecordSignature) return -1;
        pos += ParseCentralRecord(dir + pos).Length();
        count++;
    }
    return pos == size ? count : -1;
}

// Reads the end of the archive at path. Returns whether it is Zip64. A plain archive whose end
// record counts other entries than its central directory holds (the 16-bit count wraps beyond
// 65535 entries, and minizip would then see only some of them) is refused. Anything minizip
// cannot open anyway is left for it to report.
static bool CheckArchiveEnd(const std::string& path) {
    FILE* raw = OpenStdioFile(path, "rb");
    if (!raw) return false;
    StdioFileHolder file(raw);
    if (FileSeek64(file, 0, SEEK_END) != 0) return false;
    int64_t fileSize = FileTell64(file);
    if (fileSize < kEndRecordSize) return false;
    // minizip looks for the end record within the last 64 KiB plus its own size; a Zip64
    // locator lies right before it.
    uint64_t tailSize =
        std::min<uint64_t>(uint64_t(fileSize), 0xffff + kEndRecordSize + kZip64EndLocatorSize);
    uint64_t tailStart = uint64_t(fileSize) - tailSize;
    std::vector<uint8_t> tail(static_cast<size_t>(tailSize));
    if (!ReadAt(file, tailStart, tail.data(), tail.size())) return false;
    if (HasZip64EndRecord(file, tail, tailStart)) return true;

    size_t end = tail.size() - kEndRecordSize;
    while (ReadLE32(&tail[end]) != kEndRecordSignature)
        if (end-- == 0) return false;
    EndRecord record = ParseEndRecord(&tail[end]);
    uint32_t declared = record.totalEntries;
    uint64_t dirSize = record.directorySize, dirOffset = record.directoryOffset;
    uint64_t endPos = tailStart + end;
    if (dirOffset + dirSize > endPos) return false;
    // Data in front of the archive (a self-extractor) shifts everything, as minizip allows.
    uint64_t dirStart = endPos - dirSize;
    std::vector<uint8_t> dir;
    const uint8_t* records;
    if (dirStart >= tailStart) {
        records = &tail[size_t(dirStart - tailStart)];
    } else {
        dir.resize(size_t(dirSize));
        if (!ReadAt(file, dirStart, dir.data(), dir.size())) return false;
        records = dir.data();
    }
    int64_t count = CountCentralRecords(records, dirSize);
    if (count > 0xffff)
        g_logger->errorf(lcGeneral,
                         "Zip file \"%s\" has %lld entries, more than 65535 (Zip64 is not supported)",
                         path.c_str(), (long long)count);
    if (count != int64_t(declared))
        g_logger->errorf(lcGeneral,
                         "Zip file \"%s\" is damaged: its central directory does not end where its count of "
                         "%u entries says",
                         path.c_str(), declared);
    return false;
}

// ---------------------------------------------------------------------------------------------

UnzFileHolder::UnzFileHolder(const std::string& path) {
    Open(path);
}

UnzFileHolder::~UnzFileHolder() {
    Reset();
}

UnzFileHolder::UnzFileHolder(UnzFileHolder&& other) noexcept {
    *this = std::move(other);
}

UnzFileHolder& UnzFileHolder::operator=(UnzFileHolder&& other) noexcept {
    if (this != &other) {
        Reset();
        std::swap(_handle, other._handle);
        std::swap(_path, other._path);
        _zip64 = other._zip64;
        _entryOpen = other._entryOpen;
        _entryRaw = other._entryRaw;
        _entryCompressedSize = other._entryCompressedSize;
        other.ForgetEntry();
    }
    return *this;
}

void UnzFileHolder::Open(const std::string& path) {
    Reset();
    // Opening a FIFO would wait for a writer; a directory or a device is no archive either.
    RefuseNonRegularFile(path, lcCantOpenFile);
    bool zip64 = CheckArchiveEnd(path);
    zlib_filefunc64_def funcs;
    FillCachedReadFileFuncs(&funcs);
    _handle = unzOpen2_64(path.c_str(), &funcs);
    if (!_handle) g_logger->errorf(lcCantOpenFile, "Failed to open zip file \"%s\"", path.c_str());
    _zip64 = zip64;
    _path = path;
}

void UnzFileHolder::Reset() {
    if (_handle) unzClose(_handle);
    _handle = nullptr;
    _path.clear();
    _zip64 = false;
    ForgetEntry();
}

void UnzFileHolder::ForgetEntry() {
    _entryOpen = false;
    _entryRaw = false;
    _entryCompressedSize = 0;
}

void UnzFileHolder::OpenCurrentFile(bool raw, int* method, int* level) {
    ForgetEntry();
    unz_file_info64 info;
    CheckMinizip(unzGetCurrentFileInfo64(_handle, &info, nullptr, 0, nullptr, 0, nullptr, 0));
    CheckMinizip(unzOpenCurrentFile2(_handle, method, level, raw ? 1 : 0));
    _entryOpen = true;
    _entryRaw = raw;
    _entryCompressedSize = info.compressed_size;
}

void UnzFileHolder::CloseCurrentFile() {
    ForgetEntry();
    CheckMinizip(unzCloseCurrentFile(_handle));
}

// ---------------------------------------------------------------------------------------------

// A zlib raw-deflate stream with minizip's settings and output buffer size.
struct ZipFileHolder::Deflater {
    z_stream stream;
    std::vector<uint8_t> out;

    explicit Deflater(int level) : out(65536) {
        memset(&stream, 0, sizeof(stream));
        int err = deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
        if (err != Z_OK) CheckMinizip(err);
    }
    ~Deflater() { deflateEnd(&stream); }
};

ZipFileHolder::ZipFileHolder() : _errors(new WriteStreamErrors()) {}

ZipFileHolder::ZipFileHolder(const std::string& path) : _errors(new WriteStreamErrors()) {
    Open(path);
}

ZipFileHolder::~ZipFileHolder() {
    Reset();
}

ZipFileHolder::ZipFileHolder(ZipFileHolder&& other) noexcept {
    *this = std::move(other);
}

ZipFileHolder& ZipFileHolder::operator=(ZipFileHolder&& other) noexcept {
    if (this != &other) {
        Reset();
        std::swap(_handle, other._handle);
        _path = std::move(other._path);
        // The handle's file functions record into this object.
        std::swap(_errors, other._errors);
        _entryOpen = other._entryOpen;
        _entryRaw = other._entryRaw;
        _entryBytesWritten = other._entryBytesWritten;
        _entryCrc = other._entryCrc;
        _entryInternalAttribs = other._entryInternalAttribs;
        _entryTextFlag = other._entryTextFlag;
        _deflater = std::move(other._deflater);
        _entryCount = other._entryCount;
        _attribPatches = std::move(other._attribPatches);
        other._entryOpen = false;
        other._entryCount = 0;
        other._attribPatches.clear();
    }
    return *this;
}

void ZipFileHolder::Open(const std::string& path) {
    Reset();
    // A FIFO at path would make creating the file wait for a reader; whatever it is, it is not
    // the engine's to delete.
    RefuseNonRegularFile(path, lcCantOpenFile);
    if (IfFileExists(path)) RemoveFile(path);
    if (!_errors) _errors.reset(new WriteStreamErrors());
    _errors->firstErrno = 0;
    zlib_filefunc64_def funcs;
    FillRecordingWriteFileFuncs(&funcs, _errors.get());
    _handle = zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &funcs);
    if (!_handle && _errors->firstErrno != 0)
        g_logger->errorf(lcCantOpenFile, "Failed to open zip file \"%s\": %s", path.c_str(),
                         ErrnoText(_errors->firstErrno).c_str());
    if (!_handle) g_logger->errorf(lcCantOpenFile, "Failed to open zip file \"%s\"", path.c_str());
    _path = path;
}

void ZipFileHolder::CheckStatus(int status) const {
    if (status == 0) return;
    if (_errors && _errors->firstErrno != 0)
        g_logger->errorf(lcMinizipError, "Minizip error %d writing \"%s\": %s", status, _path.c_str(),
                         ErrnoText(_errors->firstErrno).c_str());
    CheckMinizip(status);
}

int ZipFileHolder::CloseHandle() {
    if (!_handle) return 0;
    int status = zipClose(_handle, nullptr);
    _handle = nullptr;
    _entryOpen = false;
    _deflater.reset();
    if (status == 0) status = PatchInternalAttribs();
    _attribPatches.clear();
    _entryCount = 0;
    return status;
}

void ZipFileHolder::Close() {
    CheckStatus(CloseHandle());
}

void ZipFileHolder::Reset() {
    CloseHandle();
}

// Rewrites the internal attributes of the central records listed in _attribPatches. The
// archive was just closed by minizip, so it ends in an end record without comment, preceded by
// a Zip64 locator when minizip needed Zip64.
int ZipFileHolder::PatchInternalAttribs() {
    if (_attribPatches.empty()) return 0;
    auto failed = [this] {
        if (_errors->firstErrno == 0) _errors->firstErrno = errno != 0 ? errno : EIO;
        return ZIP_ERRNO;
    };
    errno = 0;
    FILE* file = OpenStdioFile(_path, "r+b");
    if (!file) return failed();
    StdioFileHolder holder(file);
    if (FileSeek64(file, 0, SEEK_END) != 0) return failed();
    int64_t fileSize = FileTell64(file);
    uint8_t eocd[kEndRecordSize];
    if (fileSize < kEndRecordSize || !ReadAt(file, fileSize - kEndRecordSize, eocd, kEndRecordSize) ||
        ReadLE32(eocd) != kEndRecordSignature)
        return ZIP_BADZIPFILE;
    uint64_t dirStart = ParseEndRecord(eocd).directoryOffset;
    if (dirStart == 0xffffffff) {
        uint8_t locator[kZip64EndLocatorSize], end64[kZip64EndRecordSize];
        const int64_t tailSize = kEndRecordSize + kZip64EndLocatorSize;
        if (fileSize < tailSize || !ReadAt(file, fileSize - tailSize, locator, sizeof(locator)) ||
            !ReadAt(file, ParseZip64EndLocator(locator).endRecordOffset, end64, sizeof(end64)))
            return ZIP_BADZIPFILE;
        dirStart = Zip64DirectoryOffset(end64);
    }
    std::sort(_attribPatches.begin(), _attribPatches.end());
    uint64_t pos = dirStart;
    size_t next = 0;
    for (uint32_t index = 0; next < _attribPatches.size(); index++) {
        uint8_t record[kCentralRecordSize];
        if (!ReadAt(file, pos, record, sizeof(record)) || ReadLE32(record) != kCentralRecordSignature)
            return ZIP_BADZIPFILE;
        for (; next < _attribPatches.size() && _attribPatches[next].first == index; next++) {
            uint8_t value[2] = {uint8_t(_attribPatches[next].second),
                                uint8_t(_attribPatches[next].second >> 8)};
            if (FileSeek64(file, int64_t(pos + kCentralInternalAttribsOffset), SEEK_SET) != 0 ||
                fwrite(value, 1, 2, file) != 2)
                return failed();
        }
        pos += ParseCentralRecord(record).Length();
    }
    if (holder.reset() != 0) return failed();
    return 0;
}

void ZipFileHolder::OpenNewFile(const char* filename, const zip_fileinfo& info, int method, int level,
                                bool raw) {
    // minizip would close an open entry by itself, as raw data without CRC, and lose what
    // the Deflater still holds.
    if (_entryOpen) CheckMinizip(ZIP_PARAMERROR);
    // minizip always writes raw: for the compressed case the bytes come from the Deflater.
    CheckStatus(zipOpenNewFileInZip2_64(_handle, filename, &info, nullptr, 0, nullptr, 0, nullptr, method,
                                        level, 1, 0));
    if (!raw && method == Z_DEFLATED) _deflater.reset(new Deflater(level));
    _entryOpen = true;
    _entryRaw = raw;
    _entryBytesWritten = 0;
    _entryCrc = 0;
    _entryInternalAttribs = uint16_t(info.internal_fa);
    _entryTextFlag = 0;
    _entryCount++;
}

void ZipFileHolder::WriteRaw(const void* data, size_t size) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        unsigned chunk = unsigned(std::min<size_t>(size, 1u << 30));
        CheckStatus(zipWriteInFileInZip(_handle, bytes, chunk));
        bytes += chunk;
        size -= chunk;
    }
}

void ZipFileHolder::WriteInFile(const void* data, size_t size) {
    if (!_entryOpen) CheckMinizip(ZIP_PARAMERROR);
    _entryBytesWritten += size;
    if (_entryRaw) return WriteRaw(data, size);
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < size;) {
        uInt chunk = uInt(std::min<size_t>(size - done, 1u << 30));
        _entryCrc = uint32_t(crc32(_entryCrc, bytes + done, chunk));
        done += chunk;
    }
    if (!_deflater) return WriteRaw(data, size);
    z_stream& zs = _deflater->stream;
    zs.next_in = const_cast<Bytef*>(bytes);
    size_t remaining = size;
    while (remaining > 0 || zs.avail_in > 0) {
        if (zs.avail_in == 0) {
            zs.avail_in = uInt(std::min<size_t>(remaining, 1u << 30));
            remaining -= zs.avail_in;
        }
        zs.next_out = _deflater->out.data();
        zs.avail_out = uInt(_deflater->out.size());
        int err = deflate(&zs, Z_NO_FLUSH);
        if (err != Z_OK && err != Z_BUF_ERROR) CheckMinizip(err);
        WriteRaw(_deflater->out.data(), _deflater->out.size() - zs.avail_out);
    }
}

void ZipFileHolder::FinishEntry(uint64_t uncompressedSize, uint32_t crc) {
    _entryOpen = false;
    _deflater.reset();
    CheckStatus(zipCloseFileInZipRaw64(_handle, uncompressedSize, crc));
    if ((_entryTextFlag & 1) && _entryInternalAttribs != 1) _attribPatches.emplace_back(_entryCount - 1, 1);
}

void ZipFileHolder::CloseFile() {
    if (!_entryOpen || _entryRaw) CheckMinizip(ZIP_PARAMERROR);
    if (_deflater) {
        z_stream& zs = _deflater->stream;
        zs.next_in = nullptr;
        zs.avail_in = 0;
        int err = Z_OK;
        while (err == Z_OK) {
            zs.next_out = _deflater->out.data();
            zs.avail_out = uInt(_deflater->out.size());
            err = deflate(&zs, Z_FINISH);
            if (err != Z_OK && err != Z_STREAM_END) CheckMinizip(err);
            WriteRaw(_deflater->out.data(), _deflater->out.size() - zs.avail_out);
        }
    }
    FinishEntry(_entryBytesWritten, _entryCrc);
}

void ZipFileHolder::CloseFileRaw(uint64_t uncompressedSize, uint32_t crc) {
    if (!_entryOpen || !_entryRaw) CheckMinizip(ZIP_PARAMERROR);
    FinishEntry(uncompressedSize, crc);
}

// ---------------------------------------------------------------------------------------------

int CopyCurrentFileRaw(UnzFileHolder& from, ZipFileHolder& to, void* buffer, unsigned bufferSize) {
    if (!from._handle || !from._entryOpen || !from._entryRaw || !buffer || bufferSize == 0)
        return ZIP_PARAMERROR;
    if (unzGetCurrentFileZStreamPos64(from._handle) == 0) return ZIP_PARAMERROR;
    if (!to._handle || !to._entryOpen || !to._entryRaw || to._entryBytesWritten != 0) return ZIP_PARAMERROR;
    // In raw mode minizip counts the compressed bytes handed out as the read position.
    uint64_t done = uint64_t(unztell64(from._handle));
    if (done > from._entryCompressedSize) return -1;
    for (uint64_t remaining = from._entryCompressedSize - done; remaining > 0;) {
        unsigned chunk = unsigned(std::min<uint64_t>(remaining, std::min(bufferSize, 1u << 30)));
        int got = unzReadCurrentFile(from._handle, buffer, chunk);
        if (got < 0 || unsigned(got) != chunk) return -1;
        if (zipWriteInFileInZip(to._handle, buffer, chunk) != 0) return -1;
        to._entryBytesWritten += chunk;
        remaining -= chunk;
    }
    return 0;
}

int GoToFirstEntry(unzFile zf) {
    unz_global_info64 global;
    int status = unzGetGlobalInfo64(zf, &global);
    if (status != UNZ_OK) return status;
    // minizip cannot go to the first entry of an archive without entries.
    if (global.number_entry == 0) return UNZ_END_OF_LIST_OF_FILE;
    return unzGoToFirstFile(zf);
}

int GoToNextEntry(unzFile zf) {
    unz_global_info64 global;
    unz64_file_pos pos;
    int status = unzGetGlobalInfo64(zf, &global);
    if (status == UNZ_OK) status = unzGetFilePos64(zf, &pos);
    if (status != UNZ_OK) return status;
    // minizip takes a count of exactly 65535 for a wrapped one and reads on past the directory.
    if (pos.num_of_file + 1 >= global.number_entry) return UNZ_END_OF_LIST_OF_FILE;
    return unzGoToNextFile(zf);
}

int IsZip64(const UnzFileHolder& zf) {
    return zf._handle && zf._zip64 ? 1 : 0;
}

int SetCurrentFileTextFlag(ZipFileHolder& zf, int flag) {
    if (!zf._handle || !zf._entryOpen) return ZIP_PARAMERROR;
    zf._entryTextFlag = flag;
    return 0;
}

} // namespace ZipSync

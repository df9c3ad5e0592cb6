#include "zip/ZipAnalysis.h"

#include "base/Logging.h"
#include "base/Parallel.h"
#include "base/Path.h"
#include "base/Utils.h"
#include "zip/ZipUtils.h"
#include "zip/internal/ZipFormat.h"

#include <algorithm>
#include <mutex>
#include <stdio.h>
#include <zlib.h>

namespace ZipSync {

namespace {

const unsigned BLOCK_SIZE = 65536;

// Rules 1 to 9, on the central-directory record.
void CheckSubsetRules(const unz_file_info64& info, const char* name) {
    if (info.version != 0)
        g_logger->errorf(lcGeneral, "File %s has made-by version %d (not supported)", name,
                         int(info.version));
    if (info.version_needed != 20)
        g_logger->errorf(lcGeneral, "File %s needs zip version %d (not supported)", name,
                         int(info.version_needed));
    if (info.flag & 8) g_logger->errorf(lcGeneral, "File %s has data descriptor (not supported)", name);
    if (info.flag & 1) g_logger->errorf(lcGeneral, "File %s is encrypted (not supported)", name);
    if (info.flag & ~6UL)
        g_logger->errorf(lcGeneral, "File %s has flags %d (not supported)", name, int(info.flag));
    if (info.compression_method != 0 && info.compression_method != Z_DEFLATED)
        g_logger->errorf(lcGeneral, "File %s has compression %d (not supported)", name,
                         int(info.compression_method));
    if (info.size_file_extra != 0)
        g_logger->errorf(lcGeneral, "File %s has extra field in header (not supported)", name);
    if (info.size_file_comment != 0)
        g_logger->errorf(lcGeneral, "File %s has comment in header (not supported)", name);
    if (info.disk_num_start != 0)
        g_logger->errorf(lcGeneral, "File %s has disk nonzero number (not supported)", name);
}

// Opens the current entry through the reader. The byte range is computed from the central
// record's lengths, so a local header carrying an extra field of its own is refused like one
// in the central record.
void OpenEntry(UnzFileHolder& zf, bool raw, const char* name) {
    zf.OpenCurrentFile(raw);
    int localExtra = unzGetLocalExtrafield(zf, nullptr, 0);
    if (localExtra < 0) CheckMinizip(localExtra);
    if (localExtra > 0) {
        zf.CloseCurrentFile();
        g_logger->errorf(lcGeneral, "File %s has extra field in header (not supported)", name);
    }
}

// Reads the open entry to its end, feeding every byte to hasher (and to *crc when given).
// Returns the number of bytes read.
uint64_t ReadOpenEntry(UnzFileHolder& zf, std::vector<uint8_t>& buffer, Hasher& hasher, uLong* crc) {
    uint64_t count = 0;
    while (true) {
        int got = unzReadCurrentFile(zf, buffer.data(), unsigned(buffer.size()));
        if (got < 0) CheckMinizip(got);
        if (got == 0) return count;
        hasher.Update(buffer.data(), size_t(got));
        if (crc) *crc = crc32(*crc, buffer.data(), uInt(got));
        count += unsigned(got);
    }
}

void CheckCount(const char* name, const char* what, uint64_t directoryValue, uint64_t count) {
    if (count != directoryValue)
        g_logger->errorf(lcGeneral, "File %s has wrong %s size: %llu instead of %llu", name, what,
                         (unsigned long long)directoryValue, (unsigned long long)count);
}

// The entry at which a reader stands, while it is analysed.
struct Entry {
    UnzFileHolder& zf;
    // A stream of its own on the same archive, or null.
    FILE* file;
    unz_file_info64 info;
    std::string filename;
    uint32_t headerStart = 0, dataStart = 0, dataEnd = 0;
    // The block buffer, kept by the caller from one entry to the next.
    std::vector<uint8_t>& buffer;

    Entry(UnzFileHolder& zf, FILE* file, std::vector<uint8_t>& buffer) : zf(zf), file(file), buffer(buffer) {}
    const char* name() const { return filename.c_str(); }

    // Feeds the compressed bytes to hasher (and *crc), returning their number. With a stream
    // they are read from it directly, which spares minizip's small buffers and byte-wise
    // copy; the bytes at the start of the range must then be a local header without extra
    // field. Without a stream the reader delivers them, opened raw.
    uint64_t ReadCompressed(Hasher& hasher, uLong* crc) {
        if (!file) {
            OpenEntry(zf, true, name());
            uint64_t count = ReadOpenEntry(zf, buffer, hasher, crc);
            zf.CloseCurrentFile();
            return count;
        }
        // Header and name are read rather than skipped: a seek would cost a system call.
        uint8_t raw[kLocalHeaderSize];
        size_t nameLen = dataStart - headerStart - kLocalHeaderSize;
        if (FileSeek64(file, headerStart, SEEK_SET) != 0 || fread(raw, 1, sizeof(raw), file) != sizeof(raw) ||
            fread(buffer.data(), 1, nameLen, file) != nameLen)
            CheckMinizip(UNZ_ERRNO);
        LocalHeader header = ParseLocalHeader(raw);
        if (header.signature != kLocalHeaderSignature || header.extraLen != 0)
            g_logger->errorf(lcGeneral, "File %s has extra field in header (not supported)", name());
        uint64_t count = 0;
        for (uint64_t left = info.compressed_size; left > 0;) {
            size_t chunk = size_t(std::min<uint64_t>(left, buffer.size()));
            size_t got = fread(buffer.data(), 1, chunk, file);
            hasher.Update(buffer.data(), got);
            if (crc) *crc = crc32(*crc, buffer.data(), uInt(got));
            count += got;
            left -= got;
            if (got < chunk) {
                if (ferror(file)) CheckMinizip(UNZ_ERRNO);
                break;
            }
        }
        return count;
    }

    // Pass 0: the digest of the compressed bytes.
    HashDigest HashCompressed() {
        Hasher hasher;
        uint64_t count = ReadCompressed(hasher, nullptr);
        CheckCount(name(), "compressed", info.compressed_size, count);
        return hasher.Finalize();
    }

    // Pass 1: the digest of the contents, inflated by the reader, which checks the CRC-32
    // when the fully read entry is closed.
    HashDigest HashContents() {
        OpenEntry(zf, false, name());
        Hasher hasher;
        uint64_t count = ReadOpenEntry(zf, buffer, hasher, nullptr);
        zf.CloseCurrentFile();
        CheckCount(name(), "uncompressed", info.uncompressed_size, count);
        return hasher.Finalize();
    }

    // Both passes at once for a stored entry whose two sizes agree: its compressed bytes are
    // its contents, so one read gives the same bytes, counts and failures as the two passes,
    // the CRC-32 being checked here instead of by the reader.
    HashDigest HashStored() {
        Hasher hasher;
        uLong crc = crc32(0, nullptr, 0);
        uint64_t count = ReadCompressed(hasher, &crc);
        CheckCount(name(), "compressed", info.compressed_size, count);
        if (crc != info.crc) CheckMinizip(UNZ_CRCERROR);
        return hasher.Finalize();
    }

    void Analyze(FileMetainfo& out, bool hashContents, bool hashCompressed) {
        // Names up to 4095 bytes need one reading of the directory record, longer ones two.
        char nameBuffer[4096];
        CheckMinizip(
            unzGetCurrentFileInfo64(zf, &info, nameBuffer, sizeof(nameBuffer), nullptr, 0, nullptr, 0));
        if (info.size_filename < sizeof(nameBuffer))
            filename.assign(nameBuffer, info.size_filename);
        else
            GetCurrentFileInfo(zf, &info, &filename);
        // Names end up in manifests and logs as text; a line break there could forge entries.
        for (unsigned char ch : filename)
            if (ch < 0x20 || ch == 0x7f)
                g_logger->errorf(lcGeneral,
                                 "Zip %s has a file name with control character %d (not supported)",
                                 zf.Path().c_str(), int(ch));
        CheckSubsetRules(info, name());

        out.filename = filename;
        out.crc32 = uint32_t(info.crc);
        out.compressedSize = uint32_t(info.compressed_size);
        out.contentsSize = uint32_t(info.uncompressed_size);
        out.lastModTime = uint32_t(info.dosDate);
        out.externalAttribs = uint32_t(info.external_fa);
        out.compressionMethod = uint16_t(info.compression_method);
        out.gpbitFlag = uint16_t(info.flag);
        out.internalAttribs = uint16_t(info.internal_fa);
        GetCurrentFileByterange(zf, &headerStart, &dataStart, &dataEnd);
        out.byterange[0] = headerStart;
        out.byterange[1] = dataEnd;

        if (!hashContents && !hashCompressed) {
            OpenEntry(zf, false, name());
            zf.CloseCurrentFile();
            return;
        }
        if (buffer.size() != BLOCK_SIZE) buffer.resize(BLOCK_SIZE);
        if (hashContents && hashCompressed && info.compression_method == 0 &&
            info.compressed_size == info.uncompressed_size) {
            out.compressedHash = out.contentsHash = HashStored();
            return;
        }
        if (hashCompressed) out.compressedHash = HashCompressed();
        if (hashContents) out.contentsHash = HashContents();
    }
};

} // namespace

void AnalyzeCurrentEntry(UnzFileHolder& zf, FileMetainfo& out, bool hashContents, bool hashCompressed,
                         FILE* stream) {
    std::vector<uint8_t> buffer;
    Entry(zf, stream, buffer).Analyze(out, hashContents, hashCompressed);
}

void Manifest::AddZip(const std::string& zipPathAbs, const std::string& rootDir, FileLocation location,
                      const std::string& package) {
    PathAR zipPath = PathAR::FromAbs(zipPathAbs, rootDir);
    UnzFileHolder zf(zipPathAbs);
    // The compressed bytes are read through a stream of their own (see Entry::ReadCompressed).
    StdioFileHolder stream(zipPathAbs, "rb");
    if (IsZip64(zf)) g_logger->errorf(lcGeneral, "Zip64 is not supported!");
    std::vector<uint8_t> buffer;
    for (int status = GoToFirstEntry(zf); status != UNZ_END_OF_LIST_OF_FILE; status = GoToNextEntry(zf)) {
        CheckMinizip(status);
        FileMetainfo entry;
        entry.zipPath = zipPath;
        entry.location = location;
        entry.package = package;
        Entry(zf, stream, buffer).Analyze(entry, true, true);
        AppendFile(std::move(entry));
    }
}

void Manifest::AddLocalZip(const std::string& zipPathAbs, const std::string& rootDir,
                           const std::string& package) {
    ZipSyncAssert(PathAR::IsHttp(rootDir) == false);
    AddZip(zipPathAbs, rootDir, FileLocation::Local, package);
}

// ---------------------------------------------------------------------------------------------

namespace {

// What the workers of one AnalyzeZips call share beyond their own slots; guarded by mutex.
struct AnalysisProgress {
    std::mutex mutex;
    ProgressIndicator* indicator = nullptr;
    double doneBytes = 0.0;
    double totalBytes = 1.0;

    // Called with the mutex held.
    void Report(const std::string& text) {
        if (indicator) indicator->Update(doneBytes / totalBytes, text, -1.0, "");
    }
};

uint32_t ArchiveSize(const std::string& path) {
    // Archives beyond 4 GiB are Zip64 and refused anyway; the progress counts 32-bit sizes.
    return uint32_t(SizeOfFile(path));
}

// Whether the file at path is a regular file that can be opened for reading: if not, its
// analysis failed for want of access, or because it is no file at all (a FIFO, which is never
// opened), not because of what it holds.
bool IsReadable(const std::string& path) {
    return IfFileExists(path);
}

// Analyses one archive into slot, normalizing it and analysing it once more when allowed. The
// errors of the attempts are not written: the caller reports the last one, naming the archive.
// Returns whether an attempt succeeded; slot is empty otherwise.
bool TryAnalyzeZip(const std::string& rootDir, const std::string& zipPath, bool normalizeOnFailure,
                   Manifest& slot, std::string& failure, LogCode& code) {
    ErrorsReportedByCaller reportedHere;
    for (int attempt = 0; attempt < (normalizeOnFailure ? 2 : 1); attempt++) {
        try {
            if (attempt > 0) NormalizeZip(zipPath);
            slot.AddLocalZip(zipPath, rootDir, "");
            return true;
        } catch (const ErrorException& e) {
            slot.clear();
            failure = e.what();
            code = e.code;
        }
    }
    return false;
}

void AnalyzeOneZip(const std::string& rootDir, const std::string& zipPath, bool normalizeOnFailure,
                   Manifest& slot, std::string* damage, AnalysisProgress& progress) {
    std::string rel = PathAR::FromAbs(zipPath, rootDir).rel;
    {
        std::lock_guard<std::mutex> lock(progress.mutex);
        progress.Report("Analysing \"" + rel + "\"...");
    }
    std::string failure;
    LogCode code = lcNone;
    if (!TryAnalyzeZip(rootDir, zipPath, normalizeOnFailure, slot, failure, code)) {
        if (!damage || !IsReadable(zipPath)) {
            // Messages of the reader and the rules name the entry at most; the archive is named
            // here unless the message already does.
            if (failure.find(zipPath) != std::string::npos) g_logger->errorf(code, "%s", failure.c_str());
            g_logger->errorf(code, "%s in archive %s", failure.c_str(), rel.c_str());
        }
        // An empty message must still mark the archive.
        *damage = failure.empty() ? "unknown error" : failure;
    }
    uint32_t size = ArchiveSize(zipPath);
    std::lock_guard<std::mutex> lock(progress.mutex);
    progress.doneBytes += size;
    progress.Report("Analysed  \"" + rel + "\"");
}

} // namespace

Manifest AnalyzeZips(const std::string& rootDir, const std::vector<std::string>& zipPaths,
                     bool normalizeOnFailure, int threadsNum, ProgressIndicator* progress,
                     std::vector<DamagedZip>* damaged) {
    AnalysisProgress shared;
    shared.indicator = progress;
    for (const std::string& path : zipPaths) shared.totalBytes += ArchiveSize(path);
    g_logger->infof("Going to analyze %d zips in %s of total size %0.3lf MB in %d threads",
                    int(zipPaths.size()), rootDir.c_str(), shared.totalBytes * 1e-6, ThreadCount(threadsNum));

    std::vector<Manifest> slots(zipPaths.size());
    // The failure of each damaged archive; empty for the others.
    std::vector<std::string> damages(zipPaths.size());
    RunParallel(
        0, int(zipPaths.size()),
        [&](int i) {
            AnalyzeOneZip(rootDir, zipPaths[i], normalizeOnFailure, slots[i], damaged ? &damages[i] : nullptr,
                          shared);
        },
        threadsNum, 1);
    if (progress) progress->Update(1.0, "Analysing done", -1.0, "");
    // Logged here rather than by the workers: the logger takes no lock, and the order is fixed.
    for (size_t i = 0; i < zipPaths.size(); i++) {
        if (damages[i].empty()) continue;
        g_logger->warningf("Archive %s is damaged, left out of the analysis: %s",
                           PathAR::FromAbs(zipPaths[i], rootDir).rel.c_str(), damages[i].c_str());
        damaged->push_back({zipPaths[i], damages[i]});
    }

    Manifest result;
    size_t total = 0;
    for (const Manifest& slot : slots) total += slot.size();
    result.reserve(int(total));
    for (Manifest& slot : slots) result.Merge(std::move(slot));
    return result;
}

} // namespace ZipSync

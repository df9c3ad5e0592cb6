#include "ZipAnalysis.h"

#include "Logging.h"
#include "Parallel.h"
#include "Path.h"
#include "Utils.h"
#include "ZipUtils.h"

#include <mutex>
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

// Opens the current entry. The byte range is computed from the central record's lengths, so a
// local header carrying an extra field of its own is refused like one in the central record.
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
uint64_t ReadEntry(UnzFileHolder& zf, std::vector<uint8_t>& buffer, Hasher& hasher, uLong* crc) {
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
        g_logger->errorf(lcGeneral, "File %s has wrong %s size: %d instead of %d", name, what,
                         int(directoryValue), int(count));
}

// One pass: pass 0 hashes the raw compressed bytes, pass 1 the inflated contents (minizip
// checks the CRC-32 when the fully read entry is closed).
HashDigest HashPass(UnzFileHolder& zf, const unz_file_info64& info, const char* name, int pass,
                    std::vector<uint8_t>& buffer) {
    OpenEntry(zf, pass == 0, name);
    Hasher hasher;
    uint64_t count = ReadEntry(zf, buffer, hasher, nullptr);
    HashDigest digest = hasher.Finalize();
    zf.CloseCurrentFile();
    if (pass == 0)
        CheckCount(name, "compressed", info.compressed_size, count);
    else
        CheckCount(name, "uncompressed", info.uncompressed_size, count);
    return digest;
}

// Both passes at once for a stored entry whose two sizes agree: its compressed bytes are its
// contents. The raw read gives the same bytes, counts and failures as the two passes, the
// CRC-32 being checked here instead of by minizip.
HashDigest HashStoredEntry(UnzFileHolder& zf, const unz_file_info64& info, const char* name,
                           std::vector<uint8_t>& buffer) {
    OpenEntry(zf, true, name);
    Hasher hasher;
    uLong crc = crc32(0, nullptr, 0);
    uint64_t count = ReadEntry(zf, buffer, hasher, &crc);
    HashDigest digest = hasher.Finalize();
    zf.CloseCurrentFile();
    CheckCount(name, "compressed", info.compressed_size, count);
    if (crc != info.crc) CheckMinizip(UNZ_CRCERROR);
    return digest;
}

} // namespace

void AnalyzeCurrentEntry(UnzFileHolder& zf, FileMetainfo& out, bool hashContents, bool hashCompressed) {
    unz_file_info64 info;
    std::string filename;
    GetCurrentFileInfo(zf, &info, &filename);
    const char* name = filename.c_str();
    CheckSubsetRules(info, name);

    out.filename = filename;
    out.crc32 = uint32_t(info.crc);
    out.compressedSize = uint32_t(info.compressed_size);
    out.contentsSize = uint32_t(info.uncompressed_size);
    out.lastModTime = uint32_t(info.dosDate);
    out.externalAttribs = uint32_t(info.external_fa);
    out.compressionMethod = uint16_t(info.compression_method);
    out.gpbitFlag = uint16_t(info.flag);
    out.internalAttribs = uint16_t(info.internal_fa);
    GetCurrentFileByterange(zf, &out.byterange[0], nullptr, &out.byterange[1]);

    if (!hashContents && !hashCompressed) {
        OpenEntry(zf, false, name);
        zf.CloseCurrentFile();
        return;
    }
    std::vector<uint8_t> buffer(BLOCK_SIZE);
    if (hashContents && hashCompressed && info.compression_method == 0 &&
        info.compressed_size == info.uncompressed_size) {
        out.compressedHash = out.contentsHash = HashStoredEntry(zf, info, name, buffer);
        return;
    }
    if (hashCompressed) out.compressedHash = HashPass(zf, info, name, 0, buffer);
    if (hashContents) out.contentsHash = HashPass(zf, info, name, 1, buffer);
}

void Manifest::AddZip(const std::string& zipPathAbs, const std::string& rootDir, FileLocation location,
                      const std::string& package) {
    PathAR zipPath = PathAR::FromAbs(zipPathAbs, rootDir);
    UnzFileHolder zf(zipPathAbs);
    if (IsZip64(zf)) g_logger->errorf(lcGeneral, "Zip64 is not supported!");
    unz_global_info64 global;
    CheckMinizip(unzGetGlobalInfo64(zf, &global));
    // minizip cannot go to the first entry of an archive without entries.
    if (global.number_entry == 0) return;
    for (int status = unzGoToFirstFile(zf); status != UNZ_END_OF_LIST_OF_FILE; status = unzGoToNextFile(zf)) {
        CheckMinizip(status);
        FileMetainfo file;
        file.zipPath = zipPath;
        file.location = location;
        file.package = package;
        AnalyzeCurrentEntry(zf, file, true, true);
        AppendFile(std::move(file));
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

void AnalyzeOneZip(const std::string& rootDir, const std::string& zipPath, bool normalizeOnFailure,
                   Manifest& slot, AnalysisProgress& progress) {
    std::string rel = PathAR::FromAbs(zipPath, rootDir).rel;
    {
        std::lock_guard<std::mutex> lock(progress.mutex);
        progress.Report("Analysing \"" + rel + "\"...");
    }
    try {
        slot.AddLocalZip(zipPath, rootDir, "");
    } catch (const ErrorException&) {
        if (!normalizeOnFailure) throw;
        slot.clear();
        NormalizeZip(zipPath);
        slot.AddLocalZip(zipPath, rootDir, "");
    }
    uint32_t size = ArchiveSize(zipPath);
    std::lock_guard<std::mutex> lock(progress.mutex);
    progress.doneBytes += size;
    progress.Report("Analysed  \"" + rel + "\"");
}

} // namespace

Manifest AnalyzeZips(const std::string& rootDir, const std::vector<std::string>& zipPaths,
                     bool normalizeOnFailure, int threadsNum, ProgressIndicator* progress) {
    AnalysisProgress shared;
    shared.indicator = progress;
    for (const std::string& path : zipPaths) shared.totalBytes += ArchiveSize(path);
    g_logger->infof("Going to analyze %d zips in %s of total size %0.3lf MB in %d threads",
                    int(zipPaths.size()), rootDir.c_str(), shared.totalBytes * 1e-6, threadsNum);

    std::vector<Manifest> slots(zipPaths.size());
    RunParallel(
        0, int(zipPaths.size()),
        [&](int i) { AnalyzeOneZip(rootDir, zipPaths[i], normalizeOnFailure, slots[i], shared); }, threadsNum,
        1);
    if (progress) progress->Update(1.0, "Analysing done", -1.0, "");

    Manifest result;
    size_t total = 0;
    for (const Manifest& slot : slots) total += slot.size();
    result.reserve(int(total));
    for (Manifest& slot : slots) result.Merge(std::move(slot));
    return result;
}

} // namespace ZipSync

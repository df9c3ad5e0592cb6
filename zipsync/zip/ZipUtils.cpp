#include "zip/ZipUtils.h"

#include "base/Logging.h"
#include "base/Path.h"
#include "base/Utils.h"
#include "zip/TemporaryNames.h"
#include "zip/internal/ZipFormat.h"
#include "zip/internal/ZipReadCache.h"

#include <algorithm>
#include <errno.h>
#include <memory>
#include <string.h>

namespace ZipSync {

UnzFileIndexed::UnzFileIndexed(const std::string& path) {
    Open(path);
}

void UnzFileIndexed::Open(const std::string& path) {
    _index.clear();
    UnzFileHolder::Open(path);
    for (int status = GoToFirstEntry(get()); status != UNZ_END_OF_LIST_OF_FILE;
         status = GoToNextEntry(get())) {
        CheckMinizip(status);
        IndexEntry entry;
        GetCurrentFileByterange(*this, &entry.offset, nullptr, nullptr);
        CheckMinizip(unzGetFilePos64(get(), &entry.pos));
        _index.push_back(entry);
    }
    auto byOffset = [](const IndexEntry& a, const IndexEntry& b) { return a.offset < b.offset; };
    if (!std::is_sorted(_index.begin(), _index.end(), byOffset))
        std::stable_sort(_index.begin(), _index.end(), byOffset);
}

void UnzFileIndexed::LocateByByterange(uint32_t begin, uint32_t end) {
    auto it = std::lower_bound(_index.begin(), _index.end(), begin,
                               [](const IndexEntry& a, uint32_t offset) { return a.offset < offset; });
    if (it == _index.end() || it->offset != begin)
        g_logger->errorf(lcGeneral, "Failed to find file at byterange [%u..%u]", begin, end);
    CheckMinizip(unzGoToFilePos64(get(), &it->pos));
}

void GetCurrentFileInfo(unzFile zf, unz_file_info64* info, std::string* filename) {
    CheckMinizip(unzGetCurrentFileInfo64(zf, info, nullptr, 0, nullptr, 0, nullptr, 0));
    if (!filename) return;
    std::vector<char> buffer(info->size_filename + 1, 0);
    CheckMinizip(unzGetCurrentFileInfo64(zf, info, buffer.data(), buffer.size(), nullptr, 0, nullptr, 0));
    filename->assign(buffer.data(), info->size_filename);
}

void GetCurrentFileByterange(UnzFileHolder& zf, uint32_t* headerStart, uint32_t* dataStart,
                             uint32_t* dataEnd) {
    unz_file_info64 info;
    CheckMinizip(unzGetCurrentFileInfo64(zf, &info, nullptr, 0, nullptr, 0, nullptr, 0));
    zf.OpenCurrentFile(false);
    uint64_t dataPos = unzGetCurrentFileZStreamPos64(zf);
    zf.CloseCurrentFile();
    uint64_t headerLen = kLocalHeaderSize + uint64_t(info.size_filename) + info.size_file_extra;
    uint64_t end = dataPos + info.compressed_size;
    if (dataPos < headerLen || end > 0xFFFFFFFFu) {
        std::string name;
        GetCurrentFileInfo(zf, &info, &name);
        if (dataPos < headerLen)
            g_logger->errorf(lcGeneral,
                             "Zip file \"%s\" is damaged: the local header of entry %s is shorter than its "
                             "central record says",
                             zf.Path().c_str(), EscapeControlChars(name).c_str());
        g_logger->errorf(lcGeneral, "Zip file \"%s\": entry %s ends beyond 4 GiB (Zip64 is not supported)",
                         zf.Path().c_str(), EscapeControlChars(name).c_str());
    }
    if (headerStart) *headerStart = uint32_t(dataPos - headerLen);
    if (dataStart) *dataStart = uint32_t(dataPos);
    if (dataEnd) *dataEnd = uint32_t(end);
}

int LevelFromFlag(int flag) {
    switch (flag & 6) {
    case 2:
        return 9;
    case 4:
        return 2;
    case 6:
        return 1;
    default:
        return -1;
    }
}

void MinizipCopyFile(UnzFileHolder& from, ZipFileHolder& to, const char* filename, int method, int flag,
                     uint16_t internalAttribs, uint32_t externalAttribs, uint32_t dosDate, bool copyRaw,
                     uint32_t crc, uint32_t contentsSize) {
    from.OpenCurrentFile(copyRaw);
    zip_fileinfo info;
    memset(&info, 0, sizeof(info));
    info.dosDate = dosDate;
    info.internal_fa = internalAttribs;
    info.external_fa = externalAttribs;
    to.OpenNewFile(filename, info, method, LevelFromFlag(flag), copyRaw);
    std::vector<uint8_t> buffer(65536);
    if (copyRaw) {
        to.CheckStatus(CopyCurrentFileRaw(from, to, buffer.data(), unsigned(buffer.size())));
        from.CloseCurrentFile();
        to.CloseFileRaw(contentsSize, crc);
    } else {
        while (true) {
            int got = unzReadCurrentFile(from, buffer.data(), unsigned(buffer.size()));
            if (got < 0) CheckMinizip(got);
            if (got == 0) break;
            to.WriteInFile(buffer.data(), size_t(got));
        }
        // The source's CRC is checked before the copy is finished. The holder writes the
        // given internal attributes whatever the data looks like, so no text flag is needed.
        from.CloseCurrentFile();
        to.CloseFile();
    }
}

// ---------------------------------------------------------------------------------------------

namespace {

// A file of local entries that AppendCentralDirectory cannot complete; what names the defect.
[[noreturn]] void RefuseLocalEntries(const std::string& path, uint64_t offset, const std::string& what) {
    g_logger->errorf(lcGeneral, "Zip file \"%s\" is damaged at offset %llu: %s", path.c_str(),
                     (unsigned long long)offset, what.c_str());
}

} // namespace

void AppendCentralDirectory(const std::string& path, std::vector<CentralDirAttribs> attribs) {
    std::stable_sort(
        attribs.begin(), attribs.end(),
        [](const CentralDirAttribs& a, const CentralDirAttribs& b) { return a.offset < b.offset; });
    StdioFileHolder file(path, "r+b");
    FILE* f = file.get();
    ZipSyncAssert(FileSeek64(f, 0, SEEK_END) == 0);
    int64_t fileSize = FileTell64(f);
    ZipSyncAssert(fileSize >= 0 && FileSeek64(f, 0, SEEK_SET) == 0);

    std::vector<uint8_t> central;
    uint64_t count = 0;
    for (uint64_t pos = 0;; count++) {
        uint8_t raw[kLocalHeaderSize];
        if (fread(raw, kLocalHeaderSize, 1, f) != 1) break;
        LocalHeader lh = ParseLocalHeader(raw);
        if (lh.signature != kLocalHeaderSignature) RefuseLocalEntries(path, pos, "no local file header");
        std::string filename(lh.filenameLen, '\0');
        if (lh.filenameLen > 0 && fread(&filename[0], lh.filenameLen, 1, f) != 1)
            RefuseLocalEntries(path, pos, "the file ends inside a local file header");
        std::string name = EscapeControlChars(filename);
        if (lh.extraLen != 0)
            RefuseLocalEntries(path, pos, "entry " + name + " has an extra field (not supported)");
        uint64_t dataEnd = pos + kLocalHeaderSize + lh.filenameLen + lh.compressedSize;
        if (dataEnd > uint64_t(fileSize))
            RefuseLocalEntries(path, pos, "the file ends inside the data of entry " + name);
        if (pos > 0xFFFFFFFFu)
            RefuseLocalEntries(path, pos, "the entries outgrow 4 GiB (Zip64 is not supported)");
        auto it =
            std::lower_bound(attribs.begin(), attribs.end(), pos,
                             [](const CentralDirAttribs& a, uint64_t offset) { return a.offset < offset; });
        CentralDirAttribs found = {uint32_t(pos), 0, 0};
        if (it != attribs.end() && it->offset == pos) found = *it;

        CentralRecord record;
        static_cast<EntryFields&>(record) = lh;
        record.internalAttribs = found.internalAttribs;
        record.externalAttribs = found.externalAttribs;
        record.localHeaderOffset = uint32_t(pos);
        AppendCentralRecord(central, record);
        central.insert(central.end(), filename.begin(), filename.end());
        ZipSyncAssert(FileSeek64(f, int64_t(dataEnd), SEEK_SET) == 0);
        pos = dataEnd;
    }
    if (count > 0xFFFF)
        RefuseLocalEntries(path, 0,
                           std::to_string(count) + " entries, more than 65535 (Zip64 is not supported)");

    ZipSyncAssert(FileSeek64(f, 0, SEEK_END) == 0);
    int64_t dirStart = FileTell64(f);
    ZipSyncAssert(dirStart >= 0);
    if (uint64_t(dirStart) + central.size() > 0xFFFFFFFFu)
        RefuseLocalEntries(path, uint64_t(dirStart), "the archive outgrows 4 GiB (Zip64 is not supported)");
    EndRecord end;
    end.diskEntries = end.totalEntries = uint16_t(count);
    end.directorySize = uint32_t(central.size());
    end.directoryOffset = uint32_t(dirStart);
    AppendEndRecord(central, end);
    errno = 0;
    if (fwrite(central.data(), 1, central.size(), f) != central.size()) RaiseWriteFailure(path, errno);
    if (file.reset() != 0) RaiseWriteFailure(path, errno);
}

// ---------------------------------------------------------------------------------------------

namespace {

// An entry of an archive being normalized: its name and byte range.
struct NormalizedRecord {
    std::string filename;
    uint32_t begin, end;
};

// The general purpose flag bit that marks a name as UTF-8. Names are bytes to the engine, so
// the normal form drops the mark and keeps the bytes.
const unsigned long kUtf8NameFlag = 0x800;

// Writes the entries of zf in the order of records into a new archive at path.
void WriteNormalized(UnzFileIndexed& zf, const std::vector<NormalizedRecord>& records,
                     const std::string& path) {
    ZipFileHolder out(path);
    for (const NormalizedRecord& rec : records) {
        zf.LocateByByterange(rec.begin, rec.end);
        unz_file_info64 info;
        std::string filename;
        GetCurrentFileInfo(zf, &info, &filename);
        std::string shown = EscapeControlChars(filename);
        const char* name = shown.c_str();
        if (info.compression_method != 0 && info.compression_method != 8)
            g_logger->errorf(lcGeneral, "File %s has compression %d (not supported)", name,
                             int(info.compression_method));
        if ((info.flag & ~(6UL | kUtf8NameFlag)) != 0)
            g_logger->errorf(lcGeneral, "File %s has flags %d (not supported)", name, int(info.flag));
        if (info.internal_fa > 1)
            g_logger->errorf(lcGeneral, "File %s has internal attribs %d (not supported)", name,
                             int(info.internal_fa));
        // The written flag comes from the level alone, which keeps bits 1-2 only.
        MinizipCopyFile(zf, out, filename.c_str(), int(info.compression_method), int(info.flag & 6),
                        uint16_t(info.internal_fa), uint32_t(info.external_fa & 0xFF), uint32_t(info.dosDate),
                        true, uint32_t(info.crc), uint32_t(info.uncompressed_size));
    }
    out.Close();
}

} // namespace

void NormalizeZip(const std::string& zipPath, const std::string& outputPath) {
    std::string output = outputPath.empty() ? zipPath : outputPath;
    std::string tempPath = PrefixFile(output, kNormalizedPrefix);

    std::vector<NormalizedRecord> records;
    UnzFileIndexed zf(zipPath);
    for (int status = GoToFirstEntry(zf); status != UNZ_END_OF_LIST_OF_FILE; status = GoToNextEntry(zf)) {
        CheckMinizip(status);
        unz_file_info64 info;
        std::string filename;
        GetCurrentFileInfo(zf, &info, &filename);
        bool directory = info.uncompressed_size == 0 && info.compression_method == 0 &&
                         ((info.external_fa & 0x10) || (!filename.empty() && filename.back() == '/'));
        if (directory) continue;
        NormalizedRecord rec;
        rec.filename = filename;
        GetCurrentFileByterange(zf, &rec.begin, nullptr, &rec.end);
        records.push_back(rec);
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const NormalizedRecord& a, const NormalizedRecord& b) {
                         if (a.filename != b.filename) return a.filename < b.filename;
                         return a.begin < b.begin;
                     });

    if (IfFileExists(tempPath)) RemoveFile(tempPath);
    try {
        WriteNormalized(zf, records, tempPath);
    } catch (...) {
        // The original stays as it was; a half-written copy would only be cleaned up later.
        if (IfFileExists(tempPath)) RemovePath(tempPath);
        throw;
    }
    zf.Reset();

    // In one step: in place, removing the original first would leave only the temporary file
    // after a crash in between.
    ReplaceFile(tempPath, output);
}

namespace {

// Closes a bare minizip reading handle; the check below must not log or raise, so it does not
// use the engine's holders.
struct QuietUnzFile {
    unzFile handle;
    ~QuietUnzFile() {
        if (handle) unzClose(handle);
    }
};

} // namespace

bool IsCompleteZip(const std::string& path) {
    // The engine's own file functions: they open through the platform file (wide characters on
    // Windows) and refuse anything but a regular file.
    zlib_filefunc64_def funcs;
    FillCachedReadFileFuncs(&funcs);
    QuietUnzFile zf{unzOpen2_64(path.c_str(), &funcs)};
    if (!zf.handle) return false;
    int status = GoToFirstEntry(zf.handle);
    while (status == UNZ_OK) {
        // Opening an entry makes minizip read its local header and compare it with the central
        // record; a header that is cut off or overwritten fails here.
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(zf.handle, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
            return false;
        if (unzOpenCurrentFile2(zf.handle, nullptr, nullptr, 1) != UNZ_OK) return false;
        if (unzCloseCurrentFile(zf.handle) != UNZ_OK) return false;
        status = GoToNextEntry(zf.handle);
    }
    return status == UNZ_END_OF_LIST_OF_FILE;
}

bool LooksLikeZip(const std::string& path) {
    StdioFileHolder file(OpenStdioFile(path, "rb"));
    if (!file) return false;
    uint8_t head[4] = {};
    if (fread(head, 1, 4, file) == 4) {
        uint32_t signature = ReadLE32(head);
        if (signature == kLocalHeaderSignature || signature == kEndRecordSignature) return true;
    }
    // The end record is followed by a comment of at most 65535 bytes.
    std::vector<uint8_t> tail(kEndRecordSize + 65535);
    if (FileSeek64(file, 0, SEEK_END) != 0) return false;
    int64_t size = FileTell64(file);
    int64_t start = std::max<int64_t>(0, size - int64_t(tail.size()));
    if (size < 0 || FileSeek64(file, start, SEEK_SET) != 0) return false;
    tail.resize(fread(tail.data(), 1, tail.size(), file));
    for (size_t i = 0; i + 4 <= tail.size(); i++)
        if (ReadLE32(&tail[i]) == kEndRecordSignature) return true;
    return false;
}

} // namespace ZipSync

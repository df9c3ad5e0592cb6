#include "update/DownloadJournal.h"

#include "base/FileTree.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "base/Utils.h"
#include "update/UpdateProcess.h"
#include "zip/TemporaryNames.h"
#include "zip/ZipAnalysis.h"
#include "zip/ZipUtils.h"
#include "zip/internal/ZipFormat.h"

#include <algorithm>
#include <vector>

namespace ZipSync {

const char* const kDownloadJournalDir = ".zipsync/download";

namespace {

// Every regular file of the journal (no symbolic link), sorted.
std::vector<std::string> JournalFiles(const std::string& rootDir) {
    std::vector<std::string> files;
    std::string dir = DownloadJournalDir(rootDir);
    // The journal is salvaged and pruned in place: through a link that would be elsewhere.
    RefuseLinksBelowRoot(dir, rootDir);
    if (GetFileKind(dir, false) != FileKind::Directory) return files;
    // A link is never a kept download (not listed): salvaging writes to the file.
    for (const std::string& rel : ListFilesRecursively(dir, false)) files.push_back(dir + "/" + rel);
    return files;
}

// Length of the run of complete local entries at the start of the file, as DownloadRemoteFiles
// writes them, and their number. The run ends at anything else: a torn entry, a central
// directory, a header that the journal never holds (extra field, data descriptor).
uint64_t CompleteEntriesLength(const std::string& path, int& count) {
    StdioFileHolder file(path, "rb");
    uint64_t size = SizeOfFile(path), pos = 0;
    count = 0;
    while (count < int(MAX_ZIP_ENTRIES)) {
        uint8_t raw[kLocalHeaderSize];
        if (FileSeek64(file, int64_t(pos), SEEK_SET) != 0 || fread(raw, kLocalHeaderSize, 1, file) != 1)
            break;
        LocalHeader header = ParseLocalHeader(raw);
        if (header.signature != kLocalHeaderSignature || header.extraLen != 0 || (header.flag & 8)) break;
        uint64_t end = pos + kLocalHeaderSize + header.filenameLen + header.compressedSize;
        if (end > size || end > 0xFFFFFFFFu) break;
        pos = end;
        count++;
    }
    return pos;
}

void SalvageFile(const std::string& path, const std::string& rootDir) {
    if (IsCompleteZip(path)) return;
    int count = 0;
    uint64_t length = CompleteEntriesLength(path, count);
    if (count == 0) {
        g_logger->infof("Deleting %s: no complete entry", path.c_str());
        RemoveFile(path);
        DeleteEmptyParentDirs(path, rootDir);
        return;
    }
    g_logger->infof("Salvaging %s: %d entries kept", path.c_str(), count);
    if (ResizeFile(path, length) != 0)
        g_logger->errorf(lcCantOpenFile, "Failed to truncate file %s", path.c_str());
    AppendCentralDirectory(path, {});
}

// Appends the Local entries of the journal zip at path that pass the analysis.
void AnalyzeJournalZip(const std::string& path, const std::string& rootDir, Manifest& out) {
    UnzFileHolder zf(path);
    if (IsZip64(zf)) g_logger->errorf(lcGeneral, "Zip64 is not supported!");
    PathAR zipPath = PathAR::FromAbs(path, rootDir);
    for (int status = GoToFirstEntry(zf); status != UNZ_END_OF_LIST_OF_FILE; status = GoToNextEntry(zf)) {
        CheckMinizip(status);
        FileMetainfo file;
        file.zipPath = zipPath;
        file.location = FileLocation::Local;
        try {
            AnalyzeCurrentEntry(zf, file, true, true);
            out.AppendFile(std::move(file));
        } catch (const ErrorException& e) {
            // A corrupt entry is dropped alone; the others of the file stay usable.
            unzCloseCurrentFile(zf);
            g_logger->warningf("Kept entry %s of %s is left out: %s", file.filename.c_str(),
                               zipPath.rel.c_str(), e.what());
        }
    }
}

} // namespace

std::string DownloadJournalDir(const std::string& rootDir) {
    return rootDir + "/" + kDownloadJournalDir;
}

bool IsInDownloadJournal(const std::string& path, const std::string& rootDir) {
    std::string dir = DownloadJournalDir(rootDir) + "/";
    return path.compare(0, dir.size(), dir) == 0;
}

void SalvageDownloadJournal(const std::string& rootDir) {
    for (const std::string& path : JournalFiles(rootDir)) SalvageFile(path, rootDir);
}

Manifest AnalyzeDownloadJournal(const std::string& rootDir, const std::set<std::string>& known,
                                bool salvage) {
    if (salvage) SalvageDownloadJournal(rootDir);
    Manifest kept;
    for (const std::string& path : JournalFiles(rootDir)) {
        if (known.count(path) || (!salvage && !IsCompleteZip(path))) continue;
        try {
            AnalyzeJournalZip(path, rootDir, kept);
        } catch (const ErrorException& e) {
            g_logger->warningf("Kept download %s is left out: %s", path.c_str(), e.what());
        }
    }
    uint64_t bytes = 0;
    for (const FileMetainfo& file : kept) bytes += file.byterange[1] - file.byterange[0];
    if (kept.size() > 0)
        g_logger->infof("Kept from earlier downloads: %d entries, %llu bytes", kept.size(),
                        (unsigned long long)bytes);
    return kept;
}

void PruneDownloadJournal(const std::string& rootDir, const std::set<std::string>& used) {
    for (const std::string& path : JournalFiles(rootDir)) {
        if (used.count(path)) continue;
        g_logger->infof("Deleting %s: no longer needed", path.c_str());
        RemoveFile(path);
        DeleteEmptyParentDirs(path, rootDir);
    }
}

void RemoveDownloadJournal(const std::string& rootDir) {
    std::string dir = DownloadJournalDir(rootDir);
    RefuseLinksBelowRoot(dir, rootDir);
    if (!PathExists(dir)) return;
    if (RemoveTree(dir) != 0) g_logger->errorf(lcCantOpenFile, "Failed to remove directory %s", dir.c_str());
    // ".zipsync" itself goes too when nothing else lives there.
    RemoveEmptyDirectory(GetDirPath(dir));
}

} // namespace ZipSync

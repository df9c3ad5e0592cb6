// UpdateProcess::DownloadRemoteFiles: fetching the remote providers of a plan into the zips of
// the download journal and verifying them.
#include "update/UpdateProcess.h"

#include "base/Logging.h"
#include "base/Path.h"
#include "base/Utils.h"
#include "net/Downloader.h"
#include "update/DownloadJournal.h"
#include "update/TemporaryFiles.h"
#include "zip/ZipUtils.h"
#include "zip/internal/ZipFormat.h"

#include <errno.h>
#include <map>
#include <optional>
#include <set>
#include <vector>
#include <zlib.h>

namespace ZipSync {

namespace {

// The journal zip that collects the downloaded entries of one remote zip.
struct DownloadedZip {
    PathAR tempPath;
    // Open from the first written entry until the last expected one is written.
    StdioFileHolder file;
    int piecesWritten = 0;
    int piecesExpected = 0;
    // Bytes written since the file was last synced to the disk.
    uint64_t unsynced = 0;
    // The directories from the file's up to the root have been synced.
    bool namesSynced = false;
    // Offset of each entry's local header in the temporary zip -> index of the remote entry in
    // the provided manifest.
    std::map<uint32_t, int> pieceOffsets;
};

const int kReadChunk = 65536;
// A power loss costs at most this many received bytes of each journal zip.
const uint64_t kSyncInterval = 8 << 20;

// The first free name among __download0__X ... __download99__X for the remote zip X (relative
// to its mirror), placed at the same relative path in the download journal of rootDir.
PathAR ChooseDownloadPath(const std::string& remoteRel, const std::string& rootDir,
                          std::set<std::string>& chosen) {
    for (int n = 0; n < 100; n++) {
        std::string prefix = std::string(kDownloadPrefix) + std::to_string(n) + "__";
        // The journal's relative paths start with a dot, which FromRel refuses.
        PathAR path =
            PathAR::FromAbs(DownloadJournalDir(rootDir) + "/" + PrefixFile(remoteRel, prefix), rootDir);
        // Whatever stands there (a FIFO even) takes the name: it is neither opened nor replaced.
        if (chosen.count(path.abs) || PathExists(path.abs)) continue;
        // The journal is the engine's own: no link in it, wherever it leads.
        RefuseLinksBelowRoot(path.abs, rootDir);
        std::string problem = WhyNotCreatable(path.abs, rootDir);
        if (!problem.empty())
            g_logger->errorf(lcGeneral, "Cannot download into %s: %s", path.abs.c_str(), problem.c_str());
        chosen.insert(path.abs);
        return path;
    }
    g_logger->errorf(lcGeneral, "too many \"__download??__%s\" files", remoteRel.c_str());
}

// Opens the current entry of zf, inflating, and reads it to its end into a digest and its
// CRC-32. The entry stays open: closing it makes minizip compare the CRC with the header, which
// the caller does after its own checks against the target.
HashDigest HashCurrentContents(UnzFileHolder& zf, uLong& crc) {
    std::vector<char> buffer(kReadChunk);
    zf.OpenCurrentFile(false);
    Hasher hasher;
    crc = crc32(0L, Z_NULL, 0);
    while (true) {
        int got = unzReadCurrentFile(zf, buffer.data(), kReadChunk);
        if (got < 0) CheckMinizip(got);
        if (got == 0) break;
        hasher.Update(buffer.data(), got);
        crc = crc32(crc, (const Bytef*)buffer.data(), got);
    }
    return hasher.Finalize();
}

// What one DownloadRemoteFiles call collects before it downloads.
struct DownloadTables {
    // One temporary zip per remote zip, keyed by the remote zip's URL.
    std::map<std::string, DownloadedZip> zips;
    // Absolute paths of the temporary zips chosen so far.
    std::set<std::string> chosenNames;
    // Index of a remote entry in the provided manifest -> the matches it serves.
    std::map<int, std::vector<int>> matchesOfEntry;
    // Why the first received entry that failed its check did; empty while none did.
    std::string firstFailure;
};

// What is wrong with one received entry (its local header and compressed data, as the manifest's
// byterange covers them) for the remote entry, or empty when nothing is: the header must describe
// exactly these bytes, and the compressed data must have the entry's compressedHash. Hashing here,
// while the transfers go on, leaves the verification after the download little to do.
std::string CheckReceivedEntry(const FileMetainfo& remote, const uint8_t* data, uint32_t bytes) {
    std::string fullName = GetFullPath(remote.zipPath.abs, remote.filename);
    LocalHeader header;
    if (bytes >= kLocalHeaderSize) header = ParseLocalHeader(data);
    uint64_t headerLength = kLocalHeaderSize + uint64_t(header.filenameLen) + header.extraLen;
    if (bytes < kLocalHeaderSize || header.signature != kLocalHeaderSignature ||
        headerLength + header.compressedSize != bytes)
        return FormatString("Entry \"%s\" after download does not start with a local header for its %u bytes",
                            fullName.c_str(), unsigned(bytes));
    Hasher hasher;
    hasher.Update(data + headerLength, header.compressedSize);
    HashDigest obtained = hasher.Finalize();
    if (obtained != remote.compressedHash)
        return FormatString("Hash of \"%s\" after download is %s instead of %s", fullName.c_str(),
                            obtained.Hex().c_str(), remote.compressedHash.Hex().c_str());
    return "";
}

// Brings the journal zip's bytes to the disk, and the names of its file and of the folders made
// for it too; closes it after its last expected entry.
void SyncJournalZip(DownloadedZip& zip, const std::string& rootDir, bool last) {
    SyncFile(zip.file, zip.tempPath.abs);
    zip.unsynced = 0;
    for (std::string dir = GetDirPath(zip.tempPath.abs); !zip.namesSynced; dir = GetDirPath(dir)) {
        SyncDirectory(dir);
        zip.namesSynced = dir.size() <= rootDir.size();
    }
    if (last && zip.file.reset() != 0) RaiseWriteFailure(zip.tempPath.abs, errno);
}

// Writes one received and checked entry to the end of its journal zip, which is created at the
// first one and closed after the last expected one. Each entry reaches the file system before
// the next is fetched, so that a killed process keeps every complete entry; a sync now and then
// bounds what a power loss costs.
void WriteEntry(DownloadedZip& zip, const void* data, uint32_t bytes, int index, const std::string& rootDir) {
    if (!zip.file) {
        CreateDirectoriesForFile(zip.tempPath.abs, rootDir);
        zip.file = StdioFileHolder(zip.tempPath.abs, "wb");
    }
    int64_t offset = FileTell64(zip.file);
    ZipSyncAssert(offset >= 0);
    // The entries a mirror's manifest lists can add up to more than a zip without Zip64 holds.
    if (uint64_t(offset) + bytes > 0xFFFFFFFFu)
        g_logger->errorf(lcGeneral, "Downloaded entries outgrow 4 GiB in %s (Zip64 is not supported)",
                         zip.tempPath.abs.c_str());
    zip.pieceOffsets[uint32_t(offset)] = index;
    errno = 0;
    if (fwrite(data, 1, bytes, zip.file) != bytes || fflush(zip.file) != 0)
        RaiseWriteFailure(zip.tempPath.abs, errno);
    zip.unsynced += bytes;
    bool last = ++zip.piecesWritten == zip.piecesExpected;
    if (last || zip.unsynced >= kSyncInterval) SyncJournalZip(zip, rootDir, last);
}

// A received entry that failed its check is not written, and the download goes on: what else
// arrives is kept for the next run, as after any failure. The first such failure ends the call
// once the download is over.
void SkipEntry(DownloadedZip& zip, const std::string& problem, const std::string& rootDir,
               std::string& firstFailure) {
    g_logger->warningf("%s", problem.c_str());
    if (firstFailure.empty()) firstFailure = problem;
    zip.piecesExpected--;
    if (zip.file && zip.piecesWritten == zip.piecesExpected) SyncJournalZip(zip, rootDir, true);
}

// Enqueues every remote entry that a match needs, once each, with a callback that writes it to
// the journal zip of its remote zip.
void EnqueueRemoteEntries(Downloader& downloader, const Manifest& provided,
                          const std::vector<FileMatch>& matches, const std::string& rootDir,
                          DownloadTables& tables) {
    for (int m = 0; m < (int)matches.size(); m++) {
        const ManifestRef& ref = matches[m].provided;
        if (!ref || ref->location != FileLocation::Remote) continue;
        int index = ref.GetIndex();
        std::vector<int>& users = tables.matchesOfEntry[index];
        users.push_back(m);
        // An entry needed by several targets is fetched once.
        if (users.size() > 1) continue;

        const FileMetainfo& entry = provided[index];
        std::string url = entry.zipPath.abs;
        DownloadedZip& zip = tables.zips[url];
        if (zip.tempPath.abs.empty())
            zip.tempPath = ChooseDownloadPath(entry.zipPath.rel, rootDir, tables.chosenNames);
        zip.piecesExpected++;
        DownloadSource source(url, entry.byterange[0], entry.byterange[1]);
        downloader.EnqueueDownload(
            source, [&tables, &provided, &rootDir, url, index](const void* data, uint32_t bytes) {
                DownloadedZip& zip = tables.zips.at(url);
                std::string problem =
                    CheckReceivedEntry(provided[index], static_cast<const uint8_t*>(data), bytes);
                if (problem.empty())
                    WriteEntry(zip, data, bytes, index, rootDir);
                else
                    SkipEntry(zip, problem, rootDir, tables.firstFailure);
            });
    }
}

// A downloader with silent errors returns without the entries of a URL that failed.
void CheckAllArrived(const std::map<std::string, DownloadedZip>& zips) {
    for (const auto& pair : zips) {
        const DownloadedZip& zip = pair.second;
        if (zip.piecesWritten != zip.piecesExpected)
            g_logger->errorf(lcGeneral, "Download of %s is incomplete: %d of %d entries arrived",
                             pair.first.c_str(), zip.piecesWritten, zip.piecesExpected);
    }
}

// Whether a target that the remote entry serves has other compressed bytes: then only its
// contents, inflated, can show that the entry is what the target needs.
bool NeedsContentsCheck(const FileMetainfo& remote, const std::vector<int>& users,
                        const std::vector<FileMatch>& matches) {
    for (int m : users)
        if (matches[m].target->compressedHash != remote.compressedHash) return true;
    return false;
}

// Checks the contents of the downloaded entry at offset of reader, described by the remote entry,
// against every target it serves (users) whose compressed bytes differ from it. (Its compressed
// bytes were checked as they arrived.) A mirror's manifest only claims what its zips hold; where
// the compressed bytes are not the target's own, nothing else would ever compare them with the
// target.
void CheckContents(UnzFileIndexed& reader, uint32_t offset, const FileMetainfo& remote,
                   const std::vector<int>& users, const std::vector<FileMatch>& matches) {
    std::string fullName = GetFullPath(remote.zipPath.abs, remote.filename);
    uint32_t length = remote.byterange[1] - remote.byterange[0];
    reader.LocateByByterange(offset, offset + length);
    uLong crc = 0;
    HashDigest contents = HashCurrentContents(reader, crc);
    for (int m : users) {
        const FileMetainfo& target = *matches[m].target;
        if (target.compressedHash == remote.compressedHash) continue;
        if (contents != target.contentsHash)
            g_logger->errorf(lcGeneral, "Hash of \"%s\" after download is %s instead of %s", fullName.c_str(),
                             contents.Hex().c_str(), target.contentsHash.Hex().c_str());
        if (crc != target.crc32)
            g_logger->errorf(lcGeneral, "CRC32 of \"%s\" after download is %08x instead of %08x",
                             fullName.c_str(), unsigned(crc), unsigned(target.crc32));
    }
    // The downloaded header must agree with the contents too.
    reader.CloseCurrentFile();
}

// Completes the journal zip with a central directory, checks the contents of the entries that
// need it, appends the entries to the provided manifest as Local entries and re-points the
// matches they serve.
void VerifyDownloadedZip(const DownloadedZip& zip, const DownloadTables& tables, Manifest& provided,
                         std::vector<FileMatch>& matches) {
    std::vector<CentralDirAttribs> attribs;
    bool inflate = false;
    for (const auto& piece : zip.pieceOffsets) {
        const FileMetainfo& entry = provided[piece.second];
        attribs.push_back(CentralDirAttribs{piece.first, entry.externalAttribs, entry.internalAttribs});
        inflate = inflate || NeedsContentsCheck(entry, tables.matchesOfEntry.at(piece.second), matches);
    }
    AppendCentralDirectory(zip.tempPath.abs, attribs);

    std::optional<UnzFileIndexed> reader;
    if (inflate) reader.emplace(zip.tempPath.abs);
    for (const auto& piece : zip.pieceOffsets) {
        const std::vector<int>& users = tables.matchesOfEntry.at(piece.second);
        if (NeedsContentsCheck(provided[piece.second], users, matches))
            CheckContents(*reader, piece.first, provided[piece.second], users, matches);
        FileMetainfo local = provided[piece.second];
        uint32_t length = local.byterange[1] - local.byterange[0];
        local.zipPath = zip.tempPath;
        local.byterange[0] = piece.first;
        local.byterange[1] = piece.first + length;
        local.location = FileLocation::Local;
        provided.AppendFile(std::move(local));
        ManifestRef copy(provided, provided.size() - 1);
        for (int m : users) matches[m].provided = copy;
    }
}

} // namespace

void UpdateProcess::ResumeFromJournal() {
    // Journal zips that the plan does not know yet, such as those of an attempt that failed
    // after the plan was made, may provide remote files too.
    std::set<std::string> known;
    for (const FileMetainfo& file : _providedManifest)
        if (file.location != FileLocation::Remote && file.location != FileLocation::Absent &&
            IsInDownloadJournal(file.zipPath.abs, _rootDir))
            known.insert(file.zipPath.abs);
    Manifest kept = AnalyzeDownloadJournal(_rootDir, known);
    std::map<HashDigest, int> keptByContents;
    for (int i = 0; i < kept.size(); i++) keptByContents.emplace(kept[i].contentsHash, i);
    std::map<int, int> appended;
    for (FileMatch& match : _matches) {
        if (!match.provided || match.provided->location != FileLocation::Remote) continue;
        auto it = keptByContents.find(match.target->contentsHash);
        if (it == keptByContents.end()) continue;
        const FileMetainfo& file = kept[it->second];
        if (_updateType == UpdateType::BitwiseExact && file.compressedHash != match.target->compressedHash)
            continue;
        auto added = appended.find(it->second);
        if (added == appended.end()) {
            _providedManifest.AppendFile(file);
            added = appended.emplace(it->second, _providedManifest.size() - 1).first;
        }
        match.provided = ManifestRef(_providedManifest, added->second);
    }

    std::set<std::string> used;
    std::set<int> resumed;
    uint64_t bytes = 0;
    for (const FileMatch& match : _matches) {
        if (!match.provided || !IsInDownloadJournal(match.provided->zipPath.abs, _rootDir)) continue;
        used.insert(match.provided->zipPath.abs);
        if (resumed.insert(match.provided.GetIndex()).second)
            bytes += match.provided->byterange[1] - match.provided->byterange[0];
    }
    PruneDownloadJournal(_rootDir, used);
    g_logger->infof("Resumed bytes: %llu", (unsigned long long)bytes);
}

void UpdateProcess::DownloadRemoteFiles(Downloader& downloader, const ProgressCallback& progress) {
    ResumeFromJournal();
    DownloadTables tables;
    EnqueueRemoteEntries(downloader, _providedManifest, _matches, _rootDir, tables);
    downloader.DownloadAll();
    if (!tables.firstFailure.empty()) g_logger->errorf(lcGeneral, "%s", tables.firstFailure.c_str());
    CheckAllArrived(tables.zips);

    double total = 1e-20, done = 0.0;
    for (const auto& pair : tables.zips) total += SizeOfFile(pair.second.tempPath.abs);
    if (progress) progress(0.0, "Verifying started");
    for (const auto& pair : tables.zips) {
        const DownloadedZip& zip = pair.second;
        uint64_t size = SizeOfFile(zip.tempPath.abs);
        if (progress) {
            std::string text = FormatString("Verifying \"%s\"...", zip.tempPath.rel.c_str());
            if (progress(done / total, text.c_str()))
                g_logger->errorf(lcUserInterrupt, "Interrupted by user");
        }
        VerifyDownloadedZip(zip, tables, _providedManifest, _matches);
        done += size;
    }
    if (progress) progress(1.0, "Verifying finished");
}

} // namespace ZipSync

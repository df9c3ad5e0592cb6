#include "update/internal/Repacker.h"

#include "base/Logging.h"
#include "base/Path.h"
#include "update/DownloadJournal.h"
#include "update/TemporaryFiles.h"
#include "zip/ZipAnalysis.h"
#include "zip/internal/RawZipWriter.h"
#include "zip/internal/ZipFormat.h"

#include <algorithm>
#include <set>
#include <stdio.h>

namespace ZipSync {

void UpdateProcess::RepackZips(const ProgressCallback& progress) {
    Repacker repacker(*this, progress);
    repacker.Run();
}

Repacker::Repacker(UpdateProcess& owner, const ProgressCallback& progress)
    : _owner(owner), _progress(progress) {}

void Repacker::Report(double ratio, const std::string& text) const {
    // Repacking runs to its end once started: an interruption would only leave more to repair.
    if (_progress) _progress(ratio, text.c_str());
}

void Repacker::Run() {
    Report(0.0, "Repacking started");
    ValidatePlan();
    _owner._renamedZips.clear();
    _owner._changedZips.clear();
    PrepareStates();
    _repackedManifest.clear();
    _reducedManifest.clear();
    // The matches get re-pointed to what this run writes; after a failure before the commit the
    // old files are all there again, and so must be the plan that refers to them.
    std::vector<FileMatch> plan = _owner._matches;
    try {
        WriteNewZips();
    } catch (...) {
        CloseReaders();
        RemoveWrittenFiles();
        _owner._matches = std::move(plan);
        throw;
    }
    try {
        Commit();
    } catch (...) {
        // Half committed, the plan refers to files moved or deleted and to this run's manifests:
        // it is spent, and only a new plan can be repacked.
        _owner._matches.clear();
        throw;
    }

    Manifest provided;
    provided.reserve(_repackedManifest.size() + _reducedManifest.size() + _owner._providedManifest.size());
    provided.Merge(std::move(_repackedManifest));
    provided.Merge(std::move(_reducedManifest));
    for (const FileMetainfo& file : _owner._providedManifest)
        if (file.location != FileLocation::Absent) provided.AppendFile(file);
    _owner._matches.clear();
    _owner._providedManifest = std::move(provided);
    Report(1.0, "Repacking finished");
}

void Repacker::WriteNewZips() {
    ChooseTakeOvers();
    for (ZipState& state : _zips) {
        if (!state.managed || state.matches.empty() || state.repacked) continue;
        RepackZip(state);
        CheckRepackedZip(state);
    }
    CloseReaders();
    WriteReducedZips();
}

void Repacker::CloseReaders() {
    for (ZipState& state : _zips) {
        state.reader.reset();
        state.file.reset();
    }
}

void Repacker::ValidatePlan() const {
    if (_owner._matches.size() != (size_t)_owner._targetManifest.size())
        g_logger->errorf(lcGeneral, "RepackZips: DevelopPlan not called yet");
    for (const FileMatch& m : _owner._matches) {
        std::string fullName = GetFullPath(m.target->zipPath.abs, m.target->filename);
        if (!m.provided)
            g_logger->errorf(lcGeneral, "RepackZips: target file %s is not provided", fullName.c_str());
        FileLocation location = m.provided->location;
        if (location != FileLocation::InPlace && location != FileLocation::Local)
            g_logger->errorf(lcGeneral, "RepackZips: target file %s is not available locally",
                             fullName.c_str());
        ZipSyncAssert(_owner._managedZips.count(m.target->zipPath.abs));
    }
}

static bool IsLocal(const FileMetainfo& file) {
    return file.location == FileLocation::InPlace || file.location == FileLocation::Local;
}

void Repacker::PrepareStates() {
    Manifest& provided = _owner._providedManifest;
    std::set<std::string> paths = _owner._managedZips;
    for (const FileMetainfo& file : provided) {
        if (!IsLocal(file)) continue;
        paths.insert(file.zipPath.abs);
        _copiesByHash[file.compressedHash]++;
    }
    _zips.clear();
    _zips.resize(paths.size());
    size_t i = 0;
    for (const std::string& path : paths) {
        ZipState& state = _zips[i++];
        state.path = path;
        state.managed = _owner._managedZips.count(path) > 0;
        state.damaged = _owner._damagedZips.count(path) > 0;
        state.repackedPath = PrefixFile(path, kRepackedPrefix);
        state.reducedPath = PrefixFile(path, kReducedPrefix);
    }
    Manifest& target = _owner._targetManifest;
    for (int t = 0; t < target.size(); t++) {
        ZipState& state = StateOf(target[t].zipPath.abs);
        state.targets.emplace_back(target, t);
        state.size += target[t].compressedSize;
    }
    for (int p = 0; p < provided.size(); p++)
        if (IsLocal(provided[p])) StateOf(provided[p].zipPath.abs).provided.emplace_back(provided, p);
    std::vector<FileMatch>& matches = _owner._matches;
    for (int m = 0; m < (int)matches.size(); m++) {
        StateOf(matches[m].target->zipPath.abs).matches.push_back(m);
        StateOf(matches[m].provided->zipPath.abs).usedCnt++;
    }
    _recompressed.assign(matches.size(), false);
}

Repacker::ZipState& Repacker::StateOf(const std::string& path) {
    auto it = std::lower_bound(_zips.begin(), _zips.end(), path,
                               [](const ZipState& state, const std::string& p) { return state.path < p; });
    ZipSyncAssert(it != _zips.end() && it->path == path);
    return *it;
}

double Repacker::ProgressRatio() const {
    uint64_t done = 0, total = 0;
    for (const ZipState& state : _zips) {
        total += state.size;
        if (state.repacked) done += state.size;
    }
    return total == 0 ? 0.0 : double(done) / double(total);
}

// Whether the zip of source holds exactly the entries that target needs, each with the header
// values of its target, so that renaming the file gives the target zip.
bool Repacker::CanTakeOver(const ZipState& target, const ZipState& source) const {
    const std::vector<FileMatch>& matches = _owner._matches;
    size_t count = target.matches.size();
    if (source.provided.size() != count || source.usedCnt != (int)count) return false;
    // A journal zip may become a new archive, but replaces no file: until the new archive is in
    // place, its entries must stay where a crash does not delete them.
    bool journal = IsInDownloadJournal(source.path, _owner._rootDir) && !PathExists(target.path);
    if (!source.managed && !journal) return false;
    // The match served by the entry at each local header offset.
    std::map<uint32_t, int> matchByOffset;
    for (int m : target.matches) {
        const FileMetainfo& provider = *matches[m].provided;
        if (provider.zipPath.abs != source.path) return false;
        if (!matchByOffset.emplace(provider.byterange[0], m).second) return false;
    }

    bool bitwise = _owner._updateType == UpdateType::BitwiseExact;
    UnzFileHolder zf(source.path);
    size_t seen = 0;
    for (int status = GoToFirstEntry(zf); status != UNZ_END_OF_LIST_OF_FILE; status = GoToNextEntry(zf)) {
        CheckMinizip(status);
        FileMetainfo entry;
        AnalyzeCurrentEntry(zf, entry, false, false);
        auto it = matchByOffset.find(entry.byterange[0]);
        if (it == matchByOffset.end() || it->second < 0) return false;
        const FileMetainfo& provider = *matches[it->second].provided;
        const FileMetainfo& t = *matches[it->second].target;
        if (provider.byterange[1] != entry.byterange[1]) return false;
        // Bitwise, the zip must also be the target's byte for byte: the same entries in the same
        // order at the same offsets. Otherwise it is rewritten.
        if (bitwise && (entry.byterange[0] != t.byterange[0] || entry.byterange[1] != t.byterange[1]))
            return false;
        if (!SameHeaderValues(entry, t)) return false;
        it->second = -1;
        seen++;
    }
    return seen == count;
}

void Repacker::ChooseTakeOvers() {
    std::vector<FileMatch>& matches = _owner._matches;
    for (ZipState& target : _zips) {
        if (target.matches.empty()) continue;
        ZipState& source = StateOf(matches[target.matches[0]].provided->zipPath.abs);
        if (!CanTakeOver(target, source)) continue;

        // The file is renamed by the commit; its folders are made now, while a failure still
        // leaves everything as it was.
        CreateDirectoriesForFile(target.repackedPath, _owner._rootDir);
        target.takeOverSource = int(&source - _zips.data());
        target.repacked = true;
        source.usedCnt = 0;
        source.reduced = true;
        PathAR newPath = PathAR::FromAbs(target.repackedPath, _owner._rootDir);
        for (int m : target.matches) {
            FileMetainfo moved = *matches[m].provided;
            moved.zipPath = newPath;
            // The entry now belongs to its target, whose label it takes like a written entry
            // does: what a scan analysed carries none, and another version's may differ.
            moved.package = matches[m].target->package;
            _repackedManifest.AppendFile(std::move(moved));
            matches[m].provided = ManifestRef(_repackedManifest, _repackedManifest.size() - 1);
        }
    }
}

void Repacker::RepackZip(ZipState& state) {
    std::string text = FormatString("Repacking %s...", state.repackedPath.c_str());
    g_logger->infof(lcRepackZip, "%s", text.c_str());
    Report(ProgressRatio(), text);

    const std::vector<FileMatch>& matches = _owner._matches;
    bool bitwise = _owner._updateType == UpdateType::BitwiseExact;
    bool allRaw = true;
    for (int m : state.matches) {
        const FileMetainfo& t = *matches[m].target;
        const FileMetainfo& p = *matches[m].provided;
        unz_file_info64 info;
        LocateSource(p, &info);
        bool sameBytes = p.compressedHash == t.compressedHash;
        bool raw = sameBytes;
        if (!bitwise && info.compression_method == t.compressionMethod && info.flag == t.gpbitFlag)
            raw = true;
        // A raw copy writes the target's CRC and sizes beside the source's bytes, and the check
        // after writing compares them with themselves: a target that disagrees with its source
        // would make an archive with a bad CRC pass.
        if (raw && (info.crc != t.crc32 || info.uncompressed_size != t.contentsSize ||
                    (sameBytes && info.compressed_size != t.compressedSize)))
            g_logger->errorf(
                lcGeneral, "Target file %s has crc32 %08x and sizes %u/%u, its source %s has %08x and %u/%u",
                GetFullPath(t.zipPath.rel, t.filename).c_str(), unsigned(t.crc32), unsigned(t.compressedSize),
                unsigned(t.contentsSize), GetFullPath(p.zipPath.abs, p.filename).c_str(), unsigned(info.crc),
                unsigned(info.compressed_size), unsigned(info.uncompressed_size));
        _recompressed[m] = !raw;
        allRaw = allRaw && raw;
    }
    CreateDirectoriesForFile(state.path, _owner._rootDir);
    if (allRaw)
        WriteRawCopies(state);
    else
        WriteThroughMinizip(state);
    state.repacked = true;
    Report(ProgressRatio(), text);
}

// Makes the provider's entry the current one of its zip's reader; info gets its directory data.
Repacker::ZipState& Repacker::LocateSource(const FileMetainfo& provider, unz_file_info64* info) {
    ZipState& source = StateOf(provider.zipPath.abs);
    if (!source.reader) source.reader = std::make_unique<UnzFileIndexed>(source.path);
    source.reader->LocateByByterange(provider.byterange[0], provider.byterange[1]);
    GetCurrentFileInfo(*source.reader, info, nullptr);
    return source;
}

// The common case: every entry's compressed bytes are taken over, so they are copied straight
// from file to file with the target's header values, the way MinizipCopyFile would write them
// but without passing each byte through minizip's buffers.
void Repacker::WriteRawCopies(ZipState& state) {
    const std::vector<FileMatch>& matches = _owner._matches;
    RawZipWriter writer(state.repackedPath);
    for (int m : state.matches) {
        const FileMetainfo& t = *matches[m].target;
        const FileMetainfo& p = *matches[m].provided;
        unz_file_info64 info;
        ZipState& source = LocateSource(p, &info);
        if (!source.file) source.file = StdioFileHolder(source.path, "rb");
        // The engine's byte ranges hold a local header without extra field; check that this one
        // does, so that the data really starts where the range says.
        uint8_t raw[kLocalHeaderSize];
        bool read = FileSeek64(source.file, p.byterange[0], SEEK_SET) == 0 &&
                    fread(raw, 1, sizeof(raw), source.file) == sizeof(raw);
        LocalHeader local = ParseLocalHeader(raw);
        uint64_t dataStart = uint64_t(p.byterange[0]) + kLocalHeaderSize + local.filenameLen;
        // The zip changed since it was analysed, or its local header disagrees with its
        // central record.
        if (!read || local.signature != kLocalHeaderSignature || local.extraLen != 0 ||
            local.filenameLen != info.size_filename || dataStart + info.compressed_size != p.byterange[1])
            g_logger->errorf(
                lcGeneral, "Zip file \"%s\" is damaged: the local header of entry %s is not the one analysed",
                source.path.c_str(), EscapeControlChars(p.filename).c_str());

        RawEntryHeader header;
        header.filename = t.filename;
        header.compressionMethod = t.compressionMethod;
        // minizip derives the deflate options from the level, which comes from the flag.
        header.gpbitFlag = t.gpbitFlag & 6;
        header.lastModTime = t.lastModTime;
        header.crc32 = t.crc32;
        header.compressedSize = uint32_t(info.compressed_size);
        header.contentsSize = t.contentsSize;
        header.internalAttribs = t.internalAttribs;
        header.externalAttribs = t.externalAttribs;
        writer.AppendEntry(header, source.file, dataStart);
    }
    writer.Finish();
}

void Repacker::WriteThroughMinizip(ZipState& state) {
    const std::vector<FileMatch>& matches = _owner._matches;
    ZipFileHolder out(state.repackedPath);
    for (int m : state.matches) {
        const FileMetainfo& t = *matches[m].target;
        const FileMetainfo& p = *matches[m].provided;
        unz_file_info64 info;
        ZipState& source = LocateSource(p, &info);
        MinizipCopyFile(*source.reader, out, t.filename.c_str(), t.compressionMethod, t.gpbitFlag,
                        t.internalAttribs, t.externalAttribs, t.lastModTime, !_recompressed[m], t.crc32,
                        t.contentsSize);
    }
    out.Close();
}

void Repacker::CheckRepackedZip(ZipState& state) {
    std::vector<FileMatch>& matches = _owner._matches;
    bool bitwise = _owner._updateType == UpdateType::BitwiseExact;
    PathAR repackedPath = PathAR::FromAbs(state.repackedPath, _owner._rootDir);
    UnzFileHolder zf(state.repackedPath);
    StdioFileHolder stream(state.repackedPath, "rb");
    const FileMetainfo* previousPlaced = nullptr;
    for (size_t i = 0; i < state.matches.size(); i++) {
        int m = state.matches[i];
        CheckMinizip(i == 0 ? GoToFirstEntry(zf) : GoToNextEntry(zf));
        const FileMetainfo& t = *matches[m].target;
        const FileMetainfo& p = *matches[m].provided;
        FileMetainfo r;
        r.zipPath = repackedPath;
        r.location = FileLocation::Local;
        r.package = t.package;
        r.contentsHash = p.contentsHash;
        // Every written entry is hashed: a raw copy must carry exactly the bytes its source had
        // when it was analysed (the source zip may have changed since), a recompressed entry the
        // target's contents.
        AnalyzeCurrentEntry(zf, r, _recompressed[m], true, stream);

        std::string name = GetFullPath(r.zipPath.abs, r.filename);
        const char* n = name.c_str();
        if (!_recompressed[m] && r.compressedHash != p.compressedHash) {
            _owner._changedZips.insert(p.zipPath.abs);
            g_logger->errorf(lcGeneral,
                             "Wrong compressed bytes of %s after repack: %s changed since it was analysed", n,
                             p.zipPath.abs.c_str());
        }
        if (r.filename != t.filename)
            g_logger->errorf(lcGeneral, "Wrong filename of %s after repack: need %s", n, t.filename.c_str());
        if (r.contentsHash != t.contentsHash)
            g_logger->errorf(lcGeneral, "Wrong contents hash of %s after repack", n);
        if (r.contentsSize != t.contentsSize)
            g_logger->errorf(lcGeneral, "Wrong contents size of %s after repack", n);
        if (r.crc32 != t.crc32) g_logger->errorf(lcGeneral, "Wrong crc32 of %s after repack", n);
        if (bitwise && r.compressedHash != t.compressedHash)
            g_logger->errorf(lcGeneral, "Wrong compressed hash of %s after repack", n);
        if (bitwise && r.compressedSize != t.compressedSize)
            g_logger->errorf(lcGeneral, "Wrong compressed size of %s after repack", n);
        // Bitwise, the entries must also come in the order of the target's archive. Absent
        // targets (described only by an earlier version) have no position there to compare.
        bool placed = t.byterange[0] != 0 || t.byterange[1] != 0;
        if (bitwise && placed) {
            if (previousPlaced && previousPlaced->byterange[0] > t.byterange[0])
                g_logger->errorf(lcGeneral, "Wrong order of %s after repack: the target has it before %s", n,
                                 previousPlaced->filename.c_str());
            previousPlaced = &t;
        }
        if (r.compressionMethod != t.compressionMethod)
            g_logger->errorf(lcGeneral, "Wrong compression method of %s after repack", n);
        if (r.gpbitFlag != t.gpbitFlag) g_logger->errorf(lcGeneral, "Wrong flags of %s after repack", n);
        if (r.lastModTime != t.lastModTime)
            g_logger->errorf(lcGeneral, "Wrong modification time of %s after repack", n);
        if (r.internalAttribs != t.internalAttribs)
            g_logger->errorf(lcGeneral, "Wrong internal attribs of %s after repack", n);
        if (r.externalAttribs != t.externalAttribs)
            g_logger->errorf(lcGeneral, "Wrong external attribs of %s after repack", n);

        int& usedCnt = StateOf(p.zipPath.abs).usedCnt;
        usedCnt--;
        ZipSyncAssert(usedCnt >= 0);
        _copiesByHash[r.compressedHash]++;
        _repackedManifest.AppendFile(std::move(r));
        matches[m].provided = ManifestRef(_repackedManifest, _repackedManifest.size() - 1);
    }
}

void Repacker::WriteReducedZips() {
    for (ZipState& state : _zips) {
        if (!state.managed || state.reduced) continue;
        // A damaged target zip stays until its replacement is renamed over it.
        if (state.damaged && !state.matches.empty()) continue;
        // Every target is written: nothing can still need an old zip.
        ZipSyncAssert(state.usedCnt == 0);
        WriteReducedZip(state);
    }
}

// Saves the entries of a zip that goes whose compressed bytes exist nowhere else in its
// "__reduced__" zip, and marks the zip for deletion by the commit.
void Repacker::WriteReducedZip(ZipState& state) {
    const std::string& root = _owner._rootDir;
    state.reduced = true;
    if (!IfFileExists(state.path)) return;
    state.deleteAtCommit = true;
    // Without provided files nothing can be kept, so the zip is not even opened: a damaged zip
    // (whose entries were cleared) is never read.
    bool anyProvided = false;
    for (const ManifestRef& p : state.provided) anyProvided = anyProvided || IsLocal(*p);
    if (!anyProvided) return;
    std::vector<ManifestRef> kept;
    {
        UnzFileHolder in(state.path);
        state.reducedWritten = true;
        ZipFileHolder out(state.reducedPath);
        for (int status = GoToFirstEntry(in); status != UNZ_END_OF_LIST_OF_FILE; status = GoToNextEntry(in)) {
            CheckMinizip(status);
            uint32_t range[2];
            GetCurrentFileByterange(in, &range[0], nullptr, &range[1]);
            ManifestRef found;
            for (const ManifestRef& p : state.provided) {
                if (p->byterange[0] != range[0] || p->byterange[1] != range[1]) continue;
                if (found)
                    g_logger->errorf(lcGeneral, "Provided manifest of %s has duplicate byteranges",
                                     state.path.c_str());
                found = p;
            }
            if (!found) continue;
            auto copies = _copiesByHash.find(found->compressedHash);
            if (copies == _copiesByHash.end()) g_logger->errorf(lcGeneral, "invalid map<K, T> key");
            if (copies->second != 1) {
                copies->second--;
                continue;
            }
            unz_file_info64 info;
            std::string filename;
            GetCurrentFileInfo(in, &info, &filename);
            MinizipCopyFile(in, out, filename.c_str(), info.compression_method, info.flag, info.internal_fa,
                            info.external_fa, info.dosDate, true, info.crc, info.uncompressed_size);
            kept.push_back(found);
        }
        out.Close();
    }
    if (kept.empty()) {
        RemoveFile(state.reducedPath);
        DeleteEmptyParentDirs(state.reducedPath, root);
        state.reducedWritten = false;
        return;
    }
    PathAR reducedPath = PathAR::FromAbs(state.reducedPath, root);
    UnzFileHolder zf(state.reducedPath);
    for (size_t i = 0; i < kept.size(); i++) {
        CheckMinizip(i == 0 ? GoToFirstEntry(zf) : GoToNextEntry(zf));
        FileMetainfo entry;
        AnalyzeCurrentEntry(zf, entry, false, true);
        // Kept entries are the only copies: they must be the bytes that were analysed.
        if (entry.compressedHash != kept[i]->compressedHash) {
            _owner._changedZips.insert(state.path);
            g_logger->errorf(lcGeneral,
                             "Wrong compressed bytes of %s after repack: %s changed since it was analysed",
                             GetFullPath(state.reducedPath, entry.filename).c_str(), state.path.c_str());
        }
        FileMetainfo record = *kept[i];
        record.zipPath = reducedPath;
        record.byterange[0] = entry.byterange[0];
        record.byterange[1] = entry.byterange[1];
        _reducedManifest.AppendFile(std::move(record));
    }
}

// A zip written before the commit is not in place yet, and some may be complete: left behind,
// CleanupTemporaryFiles would put them in place of missing originals. So they all go at once.
void Repacker::RemoveWrittenFiles() noexcept {
    const std::string& root = _owner._rootDir;
    for (ZipState& state : _zips) {
        std::vector<std::string> written;
        if (state.managed && !state.matches.empty()) written.push_back(state.repackedPath);
        if (state.reducedWritten) written.push_back(state.reducedPath);
        for (const std::string& path : written) {
            // Only the engine's own files: a leftover zip is a regular file, anything else stays.
            if (IfFileExists(path)) remove(path.c_str());
            try {
                DeleteEmptyParentDirs(path, root);
            } catch (const ErrorException&) {
                // A folder that cannot go is only untidy; the failure being handled matters.
            }
        }
        state.repacked = false;
        state.reducedWritten = false;
    }
}

// Deletes what goes first (its unique entries are in reduced zips), then only renames: a full
// disk cannot stop the commit halfway.
void Repacker::Commit() {
    const std::string& root = _owner._rootDir;
    for (ZipState& state : _zips) {
        if (!state.deleteAtCommit) continue;
        if (state.damaged) g_logger->infof("Deleting damaged zip %s", state.path.c_str());
        RemoveFile(state.path);
        DeleteEmptyParentDirs(state.path, root);
        for (const ManifestRef& p : state.provided) p->Clear();
    }
    for (ZipState& target : _zips) {
        if (target.takeOverSource < 0) continue;
        ZipState& source = _zips[target.takeOverSource];
        g_logger->infof(lcRenameZipWithoutRepack, "Renaming %s to %s without repacking...",
                        source.path.c_str(), target.repackedPath.c_str());
        RenameFile(source.path, target.repackedPath);
        _owner._renamedZips[target.path] = source.path;
        // Like a zip deleted above, one renamed away leaves no empty folder.
        DeleteEmptyParentDirs(source.path, root);
        for (const ManifestRef& old : source.provided) old->Clear();
        Report(ProgressRatio(),
               FormatString("Renamed %s to %s", source.path.c_str(), target.repackedPath.c_str()));
    }
    RenameRepackedIntoPlace();
}

void Repacker::RenameRepackedIntoPlace() {
    const std::string& root = _owner._rootDir;
    for (ZipState& state : _zips) {
        if (!state.repacked) continue;
        // Every target was written before this step, so nothing can still need an old zip.
        ZipSyncAssert(state.reduced || state.damaged);
        if (state.matches.empty()) {
            RemoveFile(state.repackedPath);
            DeleteEmptyParentDirs(state.repackedPath, root);
            continue;
        }
        if (state.damaged && IfFileExists(state.path)) {
            // In one step, so that a crash leaves either the damaged zip or the repaired one.
            g_logger->infof("Replacing damaged zip %s", state.path.c_str());
            ReplaceFile(state.repackedPath, state.path);
        } else {
            // Whatever stands there (a FIFO even) is not replaced: rename() would.
            if (PathExists(state.path))
                g_logger->errorf(lcGeneral, "Zip %s exists immediately before renaming repacked file",
                                 state.path.c_str());
            RenameFile(state.repackedPath, state.path);
        }
        PathAR path = PathAR::FromAbs(state.path, root);
        for (int m : state.matches) {
            FileMetainfo& provider = *_owner._matches[m].provided;
            provider.zipPath = path;
            provider.location = FileLocation::InPlace;
        }
    }
}

} // namespace ZipSync

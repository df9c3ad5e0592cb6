#include "update/DiskPeak.h"

#include "base/Logging.h"
#include "base/Path.h"
#include "update/DownloadJournal.h"
#include "zip/internal/ZipFormat.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace ZipSync {

namespace {

// An entry as an archive holds it: local header, name, data, central record with the name again.
uint64_t EntryBytes(const FileMetainfo& file, uint32_t compressedSize) {
    return kLocalHeaderSize + kCentralRecordSize + 2 * uint64_t(file.filename.size()) + compressedSize;
}

bool IsLocal(const FileMetainfo& file) {
    return file.location == FileLocation::InPlace || file.location == FileLocation::Local;
}

// What the plan says about the zips that provide files.
struct Sources {
    // Matches served by each zip (local path or URL).
    std::map<std::string, int> uses;
    // Entries each zip would hold when taken over: a local zip's local provided entries, a remote
    // zip's entries that the plan downloads (into one journal zip per remote zip).
    std::map<std::string, int> entries;
};

// Whether the target zip of the matches ms would be renamed from the one zip that serves them,
// as the repack decides it from the plan (Repacker::CanTakeOver, which also reads the file).
bool TakenOver(const UpdateProcess& process, const std::vector<int>& ms, const Sources& sources) {
    const std::vector<FileMatch>& matches = process.GetMatches();
    const FileMetainfo& first = *matches[ms[0]].provided;
    const std::string& source = first.zipPath.abs;
    const std::string& target = matches[ms[0]].target->zipPath.abs;
    int count = int(ms.size());
    if (sources.uses.at(source) != count || sources.entries.at(source) != count) return false;
    bool placeFree = !PathExists(target);
    if (first.location == FileLocation::Remote) {
        if (!placeFree) return false;
    } else if (!process.GetManagedZips().count(source) &&
               !(IsInDownloadJournal(source, process.GetRootDir()) && placeFree)) {
        return false;
    }
    bool bitwise = process.GetUpdateType() == UpdateType::BitwiseExact;
    std::set<uint32_t> offsets;
    for (int m : ms) {
        const FileMetainfo& provider = *matches[m].provided;
        const FileMetainfo& t = *matches[m].target;
        if (provider.zipPath.abs != source || !offsets.insert(provider.byterange[0]).second) return false;
        if (!SameHeaderValues(provider, t)) return false;
        // A journal zip holds its entries in the order they were fetched, not at the mirror's offsets.
        bool sameOffsets = provider.byterange[0] == t.byterange[0] && provider.byterange[1] == t.byterange[1];
        if (bitwise && provider.location != FileLocation::Remote && !sameOffsets) return false;
    }
    return true;
}

} // namespace

uint64_t ComputeDiskPeak(const UpdateProcess& process) {
    const std::vector<FileMatch>& matches = process.GetMatches();
    ZipSyncAssert(matches.size() == (size_t)process.GetTargetManifest().size());
    uint64_t peak = 0;

    Sources sources;
    std::map<std::string, std::vector<int>> byTarget;
    std::set<const FileMetainfo*> downloaded;
    for (int m = 0; m < (int)matches.size(); m++) {
        if (!matches[m].provided) continue;
        byTarget[matches[m].target->zipPath.abs].push_back(m);
        const FileMetainfo& provider = *matches[m].provided;
        sources.uses[provider.zipPath.abs]++;
        if (provider.location != FileLocation::Remote || !downloaded.insert(&provider).second) continue;
        // A remote entry is fetched once, whichever targets it serves.
        if (sources.entries[provider.zipPath.abs]++ == 0) peak += kEndRecordSize;
        peak += EntryBytes(provider, provider.byterange[1] - provider.byterange[0] - kLocalHeaderSize -
                                         uint32_t(provider.filename.size()));
    }
    std::map<HashDigest, int> localCopies;
    for (const FileMetainfo& file : process.GetProvidedManifest()) {
        if (!IsLocal(file)) continue;
        sources.entries[file.zipPath.abs]++;
        localCopies[file.compressedHash]++;
    }

    std::set<std::string> renamed;
    // Copies of each compressed digest once the new zips are written.
    std::map<HashDigest, int>& copies = localCopies;
    for (const auto& [target, ms] : byTarget) {
        if (TakenOver(process, ms, sources)) {
            renamed.insert(matches[ms[0]].provided->zipPath.abs);
            continue;
        }
        peak += kEndRecordSize;
        for (int m : ms) {
            peak += EntryBytes(*matches[m].target, matches[m].target->compressedSize);
            copies[matches[m].target->compressedHash]++;
        }
    }

    // The managed zips that go keep the entries that exist nowhere else, visited in path order
    // as the repack does: of two copies in zips that go, the second one visited is kept.
    std::map<std::string, std::vector<const FileMetainfo*>> going;
    for (const FileMetainfo& file : process.GetProvidedManifest())
        if (IsLocal(file) && process.GetManagedZips().count(file.zipPath.abs) &&
            !renamed.count(file.zipPath.abs))
            going[file.zipPath.abs].push_back(&file);
    for (const auto& [zip, files] : going) {
        uint64_t bytes = 0;
        for (const FileMetainfo* file : files) {
            int& count = copies[file->compressedHash];
            if (count != 1) {
                count--;
                continue;
            }
            bytes += EntryBytes(*file, file->compressedSize);
        }
        if (bytes > 0) peak += bytes + kEndRecordSize;
    }
    return peak;
}

} // namespace ZipSync

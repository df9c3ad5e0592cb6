#include "update/UpdateProcess.h"

#include "base/Logging.h"
#include "base/Path.h"
#include "update/internal/PositionTable.h"
#include "zip/TemporaryNames.h"

#include <functional>
#include <map>
#include <string.h>
#include <string_view>
#include <utility>

namespace ZipSync {

namespace {

// The finaliser of MurmurHash3: spreads every input bit over the whole word.
inline uint64_t Mix64(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

inline uint64_t HashBytes(const std::string& text) {
    return std::hash<std::string_view>()(text);
}

// Hash of the place of a file: its absolute zip path and its name inside the zip.
inline uint64_t PlaceHash(const FileMetainfo& file) {
    return Mix64(HashBytes(file.zipPath.abs) * 0x9e3779b97f4a7c15ULL ^ HashBytes(file.filename));
}

// Zip paths cannot contain '|' (ValidatePath refuses it), so comparing both parts is the same as
// comparing the full names "abs||filename".
inline bool SamePlace(const FileMetainfo& a, const FileMetainfo& b) {
    return a.filename == b.filename && a.zipPath.abs == b.zipPath.abs;
}

// Digests are already uniform, but the mix keeps hand-made or structured digests apart too.
inline uint64_t DigestHash(const HashDigest& digest) {
    uint64_t head;
    memcpy(&head, digest.data, sizeof(head));
    return Mix64(head);
}

inline bool SameDigest(const HashDigest& a, const HashDigest& b) {
    return memcmp(a.data, b.data, sizeof(a.data)) == 0;
}

// The names a place comparison reads.
inline void PrefetchPlaceNames(const FileMetainfo& file) {
    PrefetchLine(file.zipPath.abs.data());
    PrefetchLine(file.filename.data());
}

// The lowest score a candidate can reach: in place, same offset, same zip and name.
const int BEST_POSSIBLE_SCORE = 6;

} // namespace

void UpdateProcess::Init(Manifest targetManifest, Manifest providedManifest, std::string rootDir) {
    // Everything that can fail happens on the arguments; the members change only at the end.
    ValidatePath(rootDir, false);
    targetManifest.Rebase(rootDir);
    std::set<std::string> managedZips;
    for (const std::string& rel : targetManifest.ZipRelPaths()) {
        ValidateArchivePath(rel);
        managedZips.insert(PathAR::FromRel(rel, rootDir).abs);
    }

    _targetManifest = std::move(targetManifest);
    _providedManifest = std::move(providedManifest);
    _rootDir = std::move(rootDir);
    _updateType = UpdateType::ContentsOnly;
    _managedZips = std::move(managedZips);
    _damagedZips.clear();
    _matches.clear();
    _renamedZips.clear();
    _changedZips.clear();
}

void UpdateProcess::AddManagedZip(const std::string& path, bool relative) {
    PathAR zipPath = relative ? PathAR::FromRel(path, _rootDir) : PathAR::FromAbs(path, _rootDir);
    ValidateArchivePath(zipPath.rel);
    _managedZips.insert(std::move(zipPath.abs));
}

void UpdateProcess::AddDamagedZip(const std::string& path) {
    PathAR zipPath = PathAR::FromAbs(path, _rootDir);
    ValidateArchivePath(zipPath.rel);
    for (FileMetainfo& file : _providedManifest)
        if (file.location != FileLocation::Remote && file.location != FileLocation::Absent &&
            file.zipPath.abs == zipPath.abs)
            file.Clear();
    _managedZips.insert(zipPath.abs);
    _damagedZips.insert(std::move(zipPath.abs));
}

// The longest prefix that an update puts in front of the file name of a target zip beside it.
static const char* LongestTemporaryPrefix() {
    const char* longest = kRepackedPrefix;
    for (const char* prefix : {kReducedPrefix, kNormalizedPrefix})
        if (strlen(prefix) > strlen(longest)) longest = prefix;
    return longest;
}

static void CheckTargetZipName(const std::string& zipPath, const std::string& rootDir) {
    std::string name = GetFilename(zipPath);
    // The clean-up of the next run would move or delete such an archive.
    if (IsTemporaryFileName(name))
        g_logger->errorf(lcGeneral, "Target zip %s is named like a temporary file", zipPath.c_str());
    std::string problem = WhyNotCreatable(PrefixFile(zipPath, LongestTemporaryPrefix()), rootDir);
    if (!problem.empty())
        g_logger->errorf(lcGeneral, "Target zip %s cannot be created: %s", zipPath.c_str(), problem.c_str());
}

void CheckZipsToWrite(const Manifest& targetManifest, const std::set<std::string>& managedZips,
                      const std::string& rootDir) {
    // Entries per target zip; the entries of one zip usually come together.
    std::map<std::string, uint64_t> entryCounts;
    const std::string* previous = nullptr;
    uint64_t run = 0;
    for (const FileMetainfo& file : targetManifest) {
        if (previous && *previous != file.zipPath.abs) {
            entryCounts[*previous] += run;
            run = 0;
        }
        previous = &file.zipPath.abs;
        run++;
    }
    if (previous) entryCounts[*previous] += run;
    for (const auto& pair : entryCounts) {
        if (pair.second > MAX_ZIP_ENTRIES)
            g_logger->errorf(lcGeneral, "Target zip %s has %llu files, more than a zip can hold (%u)",
                             pair.first.c_str(), (unsigned long long)pair.second, MAX_ZIP_ENTRIES);
        CheckTargetZipName(pair.first, rootDir);
        std::string kind = NonRegularFileKind(pair.first);
        if (kind == "directory")
            g_logger->errorf(lcGeneral, "Target zip %s is a directory", pair.first.c_str());
        // A FIFO would block whoever opens it, and renaming the new zip over it would delete it.
        if (!kind.empty())
            g_logger->errorf(lcGeneral, "Target zip %s is not a regular file (a %s)", pair.first.c_str(),
                             kind.c_str());
    }
    for (const std::string& zip : managedZips) {
        CheckStaysInsideRoot(zip, rootDir);
        RefuseNonRegularFile(zip);
    }
}

namespace {

// The steps of DevelopPlan. Each walks a manifest through PipelinedLookups on one table.

// Fails when two targets share a place (zip and name). Leaves the places of all targets in
// table.
void CheckUniqueTargetPlaces(const Manifest& targets, PositionTable& table, int tableSize) {
    table.Reset(tableSize);
    PipelinedLookups(
        table, targets.size(),
        [&](int i) {
            PrefetchPlaceNames(targets[i]);
            return true;
        },
        [&](int i) { return PlaceHash(targets[i]); },
        [&](int other, int step) {
            if (step == 0)
                PrefetchObject(targets[other]);
            else
                PrefetchPlaceNames(targets[other]);
        },
        [&](int i, uint64_t hash) {
            const FileMetainfo& target = targets[i];
            uint64_t& slot = table.Lookup(hash, [&](int other) { return SamePlace(targets[other], target); });
            if (!PositionTable::IsEmpty(slot)) {
                g_logger->errorf(lcGeneral, "Duplicate target file at place %s",
                                 GetFullPath(target.zipPath.abs, target.filename).c_str());
            }
            slot = PositionTable::Make(hash, i);
        });
}

// Marks InPlace every Local provided file that lies at the place of a target; table holds the
// places of the targets.
void MarkProvidedInPlace(Manifest& provided, const Manifest& targets, PositionTable& table) {
    PipelinedLookups(
        table, provided.size(),
        [&](int i) {
            if (provided[i].location != FileLocation::Local) return false;
            PrefetchPlaceNames(provided[i]);
            return true;
        },
        [&](int i) { return PlaceHash(provided[i]); },
        [&](int target, int step) {
            if (step == 0)
                PrefetchObject(targets[target]);
            else
                PrefetchPlaceNames(targets[target]);
        },
        [&](int i, uint64_t hash) {
            FileMetainfo& file = provided[i];
            uint64_t& slot = table.Lookup(hash, [&](int target) { return SamePlace(targets[target], file); });
            if (!PositionTable::IsEmpty(slot)) file.location = FileLocation::InPlace;
        });
}

// Candidates by contents: afterwards table holds the first provided entry of every
// contentsHash, and the returned links lead from each entry to the next one with the same
// contents, in manifest order (-1 after the last). Built backwards so that each new entry
// becomes the head of its list.
std::vector<int> LinkCandidatesByContents(const Manifest& provided, PositionTable& table) {
    const int count = provided.size();
    table.Reset(count);
    std::vector<int> nextCandidate;
    ReserveLarge(nextCandidate, count);
    nextCandidate.resize(count, -1);
    auto backwards = [count](int step) { return count - 1 - step; };
    PipelinedLookups(
        table, count, [&](int) { return true; },
        [&](int step) { return DigestHash(provided[backwards(step)].contentsHash); },
        [&](int other, int step) {
            if (step == 0) PrefetchLine(&provided[other].contentsHash);
        },
        [&](int step, uint64_t hash) {
            int i = backwards(step);
            const HashDigest& contents = provided[i].contentsHash;
            uint64_t& slot = table.Lookup(
                hash, [&](int other) { return SameDigest(provided[other].contentsHash, contents); });
            if (!PositionTable::IsEmpty(slot)) nextCandidate[i] = PositionTable::Position(slot);
            slot = PositionTable::Make(hash, i);
        });
    return nextCandidate;
}

} // namespace

bool UpdateProcess::DevelopPlan(UpdateType updateType) {
    CheckZipsToWrite(_targetManifest, _managedZips, _rootDir);
    PositionTable table;
    // Places of the targets must be unique; nothing changes before this check has passed.
    CheckUniqueTargetPlaces(_targetManifest, table,
                            std::max(_targetManifest.size(), _providedManifest.size()));
    _updateType = updateType;
    MarkProvidedInPlace(_providedManifest, _targetManifest, table);
    std::vector<int> nextCandidate = LinkCandidatesByContents(_providedManifest, table);
    return MatchTargets(table, nextCandidate, updateType == UpdateType::BitwiseExact);
}

// Gives every target the best provider among the provided files of its contents; table and
// nextCandidate come from LinkCandidatesByContents.
bool UpdateProcess::MatchTargets(PositionTable& table, const std::vector<int>& nextCandidate, bool bitwise) {
    const int targetCount = _targetManifest.size();
    bool complete = true;
    _matches.clear();
    ReserveLarge(_matches, targetCount);
    _matches.resize(targetCount);
    PipelinedLookups(
        table, targetCount,
        [&](int i) {
            const FileMetainfo& target = _targetManifest[i];
            PrefetchLine(target.filename.data());
            PrefetchLine(target.zipPath.rel.data());
            return true;
        },
        [&](int i) { return DigestHash(_targetManifest[i].contentsHash); },
        [&](int candidate, int step) {
            const FileMetainfo& c = _providedManifest[candidate];
            if (step == 0) {
                PrefetchObject(c);
                PrefetchLine(&nextCandidate[candidate]);
            } else {
                PrefetchLine(c.filename.data());
                PrefetchLine(c.zipPath.rel.data());
                if (nextCandidate[candidate] >= 0)
                    PrefetchObject(_providedManifest[nextCandidate[candidate]]);
            }
        },
        [&](int i, uint64_t hash) {
            const FileMetainfo& target = _targetManifest[i];
            uint64_t& slot = table.Lookup(hash, [&](int provided) {
                return SameDigest(_providedManifest[provided].contentsHash, target.contentsHash);
            });
            int candidate = PositionTable::IsEmpty(slot) ? -1 : PositionTable::Position(slot);
            int best = ChooseProvider(target, candidate, nextCandidate, bitwise);
            FileMatch& match = _matches[i];
            match.target = ManifestRef(_targetManifest, i);
            if (best >= 0) {
                match.provided = ManifestRef(_providedManifest, best);
            } else {
                complete = false;
            }
        });
    return complete;
}

int UpdateProcess::ChooseProvider(const FileMetainfo& target, int candidate,
                                  const std::vector<int>& nextCandidate, bool bitwise) const {
    int best = -1;
    int bestScore = 1000000000;
    for (; candidate >= 0 && bestScore > BEST_POSSIBLE_SCORE; candidate = nextCandidate[candidate]) {
        const FileMetainfo& c = _providedManifest[candidate];
        if (bitwise && !SameDigest(c.compressedHash, target.compressedHash)) continue;
        int score = 10 * (int)c.location + (c.byterange[0] == target.byterange[0] ? 7 : 9);
        // The name comparison can only matter when it would make the candidate the best.
        if (score - 1 < bestScore && c.filename == target.filename && c.zipPath.rel == target.zipPath.rel)
            score--;
        if (score < bestScore) {
            best = candidate;
            bestScore = score;
        }
    }
    return best;
}

} // namespace ZipSync

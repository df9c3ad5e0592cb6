#include "UpdateProcess.h"

#include "Logging.h"
#include "Path.h"

#include <functional>
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

// Paths never contain '|', so comparing both parts is the same as comparing the full names
// "abs||filename".
inline bool SamePlace(const FileMetainfo& a, const FileMetainfo& b) {
    return a.filename == b.filename && a.zipPath.abs == b.zipPath.abs;
}

// Digests are already uniform, but the mix keeps hand-made or structured digests apart too.
inline uint64_t DigestHash(const HashDigest& digest) {
    uint64_t head;
    memcpy(&head, digest.data, sizeof(head));
    return Mix64(head);
}

// Open-addressing hash table of manifest positions. It stores only a position and 32 bits of
// its hash per slot; callers decide equality by looking at the entries themselves, so the table
// needs no per-entry allocation. Built once per plan for a known number of positions and never
// grown.
class PositionTable {
public:
    // Empties the table and sizes it for count positions (at most half full), reusing the
    // memory of an earlier use when it is large enough.
    void Reset(size_t count) {
        size_t capacity = 16;
        while (capacity < 2 * count) capacity *= 2;
        if (_slots.size() == capacity) {
            std::fill(_slots.begin(), _slots.end(), 0);
        } else {
            _slots.assign(capacity, 0);
        }
        _mask = capacity - 1;
    }

    // The slot that holds a position p stored under hash with same(p), or else the empty slot
    // where such a position belongs. Store into an empty slot with Make.
    template <class Same> uint64_t& Lookup(uint64_t hash, Same&& same) {
        uint64_t tag = hash >> 32;
        for (size_t i = hash & _mask;; i = (i + 1) & _mask) {
            uint64_t& slot = _slots[i];
            if (slot == 0 || ((slot >> 32) == tag && same(Position(slot)))) return slot;
        }
    }

    static bool IsEmpty(uint64_t slot) { return slot == 0; }
    static int Position(uint64_t slot) { return (int)(uint32_t)slot - 1; }
    static uint64_t Make(uint64_t hash, int position) {
        return (hash >> 32 << 32) | (uint64_t)(uint32_t)(position + 1);
    }

private:
    std::vector<uint64_t> _slots;
    size_t _mask = 0;
};

// The lowest score a candidate can reach: in place, same offset, same zip and name.
const int BEST_POSSIBLE_SCORE = 6;

} // namespace

void UpdateProcess::Init(Manifest targetManifest, Manifest providedManifest, std::string rootDir) {
    // Everything that can fail happens on the arguments; the members change only at the end.
    ValidatePath(rootDir, false);
    targetManifest.Rebase(rootDir);
    std::set<std::string> managedZips;
    const std::string* previous = nullptr;
    for (const FileMetainfo& file : targetManifest) {
        // Entries of one zip usually come together; skip the set look-up for repeats.
        if (previous && *previous == file.zipPath.abs) continue;
        managedZips.insert(file.zipPath.abs);
        previous = &file.zipPath.abs;
    }

    _targetManifest = std::move(targetManifest);
    _providedManifest = std::move(providedManifest);
    _rootDir = std::move(rootDir);
    _updateType = UpdateType::ContentsOnly;
    _managedZips = std::move(managedZips);
    _matches.clear();
}

void UpdateProcess::AddManagedZip(const std::string& path, bool relative) {
    PathAR zipPath = relative ? PathAR::FromRel(path, _rootDir) : PathAR::FromAbs(path, _rootDir);
    _managedZips.insert(std::move(zipPath.abs));
}

bool UpdateProcess::DevelopPlan(UpdateType updateType) {
    const int targetCount = _targetManifest.size();
    const int providedCount = _providedManifest.size();
    PositionTable table;

    // Places of the targets must be unique; nothing changes before this check has passed.
    table.Reset(std::max(targetCount, providedCount));
    for (int i = 0; i < targetCount; i++) {
        const FileMetainfo& target = _targetManifest[i];
        uint64_t hash = PlaceHash(target);
        uint64_t& slot =
            table.Lookup(hash, [&](int other) { return SamePlace(_targetManifest[other], target); });
        if (!PositionTable::IsEmpty(slot)) {
            g_logger->errorf(lcGeneral, "Duplicate target file at place %s",
                             GetFullPath(target.zipPath.abs, target.filename).c_str());
        }
        slot = PositionTable::Make(hash, i);
    }
    _updateType = updateType;

    for (FileMetainfo& provided : _providedManifest) {
        if (provided.location != FileLocation::Local) continue;
        uint64_t& slot = table.Lookup(
            PlaceHash(provided), [&](int target) { return SamePlace(_targetManifest[target], provided); });
        if (!PositionTable::IsEmpty(slot)) provided.location = FileLocation::InPlace;
    }

    // Candidates by contents: the table holds the first provided entry of every contentsHash,
    // nextCandidate links the others in manifest order. Built backwards so that each new entry
    // becomes the head of its list.
    table.Reset(providedCount);
    std::vector<int> nextCandidate(providedCount, -1);
    for (int i = providedCount - 1; i >= 0; i--) {
        const HashDigest& contents = _providedManifest[i].contentsHash;
        uint64_t hash = DigestHash(contents);
        uint64_t& slot =
            table.Lookup(hash, [&](int other) { return _providedManifest[other].contentsHash == contents; });
        if (!PositionTable::IsEmpty(slot)) nextCandidate[i] = PositionTable::Position(slot);
        slot = PositionTable::Make(hash, i);
    }

    const bool bitwise = updateType == UpdateType::BitwiseExact;
    bool complete = true;
    _matches.clear();
    _matches.reserve(targetCount);
    for (int i = 0; i < targetCount; i++) {
        const FileMetainfo& target = _targetManifest[i];
        uint64_t& slot = table.Lookup(DigestHash(target.contentsHash), [&](int provided) {
            return _providedManifest[provided].contentsHash == target.contentsHash;
        });
        int best = -1;
        int bestScore = 1000000000;
        int candidate = PositionTable::IsEmpty(slot) ? -1 : PositionTable::Position(slot);
        for (; candidate >= 0 && bestScore > BEST_POSSIBLE_SCORE; candidate = nextCandidate[candidate]) {
            const FileMetainfo& c = _providedManifest[candidate];
            if (bitwise && c.compressedHash != target.compressedHash) continue;
            int score = 10 * (int)c.location + (c.byterange[0] == target.byterange[0] ? 7 : 9);
            // The name comparison can only matter when it would make the candidate the best.
            if (score - 1 < bestScore && c.filename == target.filename && c.zipPath.rel == target.zipPath.rel)
                score--;
            if (score < bestScore) {
                best = candidate;
                bestScore = score;
            }
        }
        FileMatch match;
        match.target = ManifestRef(_targetManifest, i);
        if (best >= 0) {
            match.provided = ManifestRef(_providedManifest, best);
        } else {
            complete = false;
        }
        _matches.push_back(match);
    }
    return complete;
}

} // namespace ZipSync

// The update process: the engine object that turns an install directory into a target version.
//
// An UpdateProcess owns its own copies of two manifests: the target manifest (every file the
// target version's zips must hold, attached to the install directory) and the provided manifest
// (every file known to be available, in local zips and on mirrors). DevelopPlan matches them:
// for every target file it chooses one provided file with the same contents, preferring files
// already in place over files in other local zips, and those over remote files. The plan is a
// vector of FileMatch records that refer into the two owned manifests by position, so the process
// is neither copyable nor movable; keep it where it was created (the installer holds it through a
// pointer). The later steps (download, repack) read the plan and the manifests and update the
// provided manifest and the matches through the mutable accessors.
//
// The process also keeps the set of managed zips: absolute paths of the archives it owns and may
// rewrite or delete. It starts as the zips of the target manifest and grows by AddManagedZip.
// Some managed zips may be damaged (AddDamagedZip): nothing is ever read from them, and the
// repack replaces each with its target zip in one step, or deletes it when the target has none.
//
// Used by one thread at a time; nothing here locks.
#pragma once

#include "base/ProgressIndicator.h"
#include "zip/Manifest.h"

#include <map>
#include <set>
#include <stdint.h>
#include <string>
#include <vector>

namespace ZipSync {

class Downloader;
class PositionTable;

// Most entries a zip without Zip64 records can hold.
static const unsigned MAX_ZIP_ENTRIES = 65535;

enum class UpdateType : uint32_t {
    // A provided file may serve a target when its contents are equal (same contentsHash).
    ContentsOnly = 0,
    // It must also have the same compressed bytes (same compressedHash).
    BitwiseExact = 1,
};

// One record of the plan: a target file and the provided file chosen for it.
struct FileMatch {
    // Into the process's target manifest; the index of match i is i.
    ManifestRef target;
    // Into the process's provided manifest; null when nothing provides the target's contents.
    ManifestRef provided;
};

// The checks DevelopPlan makes on the zips an update may write, for callers that want them
// before they prepare anything: no target zip (of targetManifest, attached to rootDir) has more
// than MAX_ZIP_ENTRIES files ("Target zip %s has %llu files, more than a zip can hold (%u)"), is
// named like a temporary file ("Target zip %s is named like a temporary file"), has a name that
// the file system cannot hold, also with the longest temporary prefix in front ("Target zip %s
// cannot be created: %s", the reason of WhyNotCreatable), or is a directory ("Target zip %s is
// a directory") or another non-regular file ("Target zip %s is not a regular file (a FIFO)"),
// and no managed zip is a symbolic link, lies below one leading out of rootDir
// (CheckStaysInsideRoot) or is not a regular file (RefuseNonRegularFile).
void CheckZipsToWrite(const Manifest& targetManifest, const std::set<std::string>& managedZips,
                      const std::string& rootDir);

class UpdateProcess {
public:
    UpdateProcess() = default;
    UpdateProcess(const UpdateProcess&) = delete;
    UpdateProcess& operator=(const UpdateProcess&) = delete;

    // Takes the two manifests (copied from lvalues, moved from rvalues) and the install
    // directory, an absolute local path. The target manifest is re-attached to rootDir: its
    // entries become Local there (Absent ones stay Absent). The plan is emptied, and the
    // managed set becomes exactly the zips of the target manifest. On failure (a root or zip
    // path that does not validate) the process is left as it was.
    void Init(Manifest targetManifest, Manifest providedManifest, std::string rootDir);

    // Adds the zip at path (relative to the root when relative is set, otherwise absolute and
    // inside the root) to the managed set. Fails with "Abs path %s is not within root dir %s"
    // for an absolute path outside the root, and for a path with an empty, "." or ".."
    // component (see ValidateArchivePath; Init checks the target zips the same way).
    void AddManagedZip(const std::string& path, bool relative = false);

    // Adds the zip at path (absolute, inside the root, checked as by AddManagedZip) to the managed
    // set as damaged: its bytes are not trusted, so its entries in the provided manifest are
    // cleared (made Absent) and none of them can serve a target. The repack never reads the
    // file; it renames the rebuilt target zip of that name over it, so that the damaged file
    // stays until its replacement is complete, or deletes it when the target has no such zip.
    // Call after Init and before DevelopPlan.
    void AddDamagedZip(const std::string& path);

    // Builds the plan from scratch and returns whether it is complete (every target file has a
    // provider). First checks, leaving the process unchanged on failure, the zips it may write
    // (CheckZipsToWrite) and that no two target files share a place (absolute zip path and filename), failing
    // with "Duplicate target file at place %s". Otherwise marks every Local provided file that sits at the
    // place of a target as InPlace (such marks persist over later calls), and picks for each target, among
    // the provided files with its contentsHash (and in BitwiseExact mode its compressedHash), the one of
    // lowest score: 10 * location, plus 7 when its byte range begins where the target's does and 9 otherwise,
    // minus 1 when its zip rel and filename equal the target's. Ties go to the file that comes first in the
    // provided manifest.
    bool DevelopPlan(UpdateType updateType);

    // The mutable accessors serve the steps that carry out the plan (download, repack): they
    // append provided entries and re-point matches. While matches refer into the provided
    // manifest, its entries must be neither removed nor reordered.
    const Manifest& GetTargetManifest() const { return _targetManifest; }
    const Manifest& GetProvidedManifest() const { return _providedManifest; }
    Manifest& GetProvidedManifest() { return _providedManifest; }
    // The plan, in target-manifest order; empty before the first DevelopPlan. Later steps take
    // the plan as developed only when it has one record per target file.
    const std::vector<FileMatch>& GetMatches() const { return _matches; }
    std::vector<FileMatch>& GetMatches() { return _matches; }
    const std::set<std::string>& GetManagedZips() const { return _managedZips; }
    // The managed zips marked damaged since Init.
    const std::set<std::string>& GetDamagedZips() const { return _damagedZips; }
    // The target zips that the last RepackZips took over by renaming another zip (or the same
    // one, in place), each with the path of the zip it was before; the others it wrote anew.
    const std::map<std::string, std::string>& GetRenamedZips() const { return _renamedZips; }
    // The zips that the last RepackZips found changed since they were analysed (it failed then):
    // the provided manifest's description of them is stale, and whoever saved it should analyse
    // them again.
    const std::set<std::string>& GetChangedZips() const { return _changedZips; }
    const std::string& GetRootDir() const { return _rootDir; }
    // The mode of the last DevelopPlan that did not fail; ContentsOnly after Init.
    UpdateType GetUpdateType() const { return _updateType; }

    // Fetches the Remote providers of a complete plan through downloader (configured by the
    // caller; this sets none of its options) into one journal zip "__download<N>__<name>" per
    // remote zip, in the download journal at the zip's relative path (DownloadJournal.h). First
    // takes what the journal holds beyond the provided manifest (an attempt that failed after
    // the plan was made) for the remote files it provides, deletes the journal zips that the
    // plan does not use, and logs "Resumed bytes: %llu", the bytes of the journal's entries that
    // it does use. Every received entry is checked as it arrives, before it is written: its local
    // header must span exactly its byterange and its compressed bytes must have the provided
    // manifest's compressedHash; then it is flushed to its file at once. An entry that fails is
    // not written (the warning names it) and the download goes on, so that the next run needs
    // only what failed; once it is over, the first failure ends the call ("Hash of \"%s\" after
    // download is %s instead of %s"). After the download each journal zip is completed with a central
    // directory, and an entry whose compressed bytes differ from those of a target it serves is inflated and
    // checked against that target's contentsHash and crc32 (mirror manifests are not trusted).
    // Verified entries are appended to the provided manifest as Local entries of their journal zip and the
    // matches are re-pointed to them; journal zips are never managed (the repack may rename one into the
    // place of a new archive, but deletes none). progress (may be empty) sees the verification; a nonzero
    // answer there fails with "Interrupted by user". On failure the journal zips stay for
    // CleanupTemporaryFiles, which salvages their complete entries.
    void DownloadRemoteFiles(Downloader& downloader, const ProgressCallback& progress = ProgressCallback());

    // Rebuilds every target zip from the local providers of a complete plan (after
    // DownloadRemoteFiles), checks what it wrote against the target manifest (every written
    // entry hashed again: "Wrong compressed bytes of %s after repack: %s changed since it was
    // analysed" when a source changed during the run), and only then
    // deletes the managed zips nothing needs any more (keeping entries found nowhere else in
    // "__reduced__" zips) and puts the new zips in place. The provided manifest then describes
    // the new state (the entries in place first, each labelled with its target's package, also
    // in a zip that was renamed rather than written) and the plan is emptied. A failure before
    // the deletions leaves every old zip and the plan as they were; one after them empties the
    // plan, so that only a new one can be repacked. See Repacker.h.
    void RepackZips(const ProgressCallback& progress = ProgressCallback());

private:
    friend class Repacker;

    // Re-points Remote providers to equal entries of journal zips the provided manifest does
    // not hold yet (in BitwiseExact mode only those with the target's compressed bytes), then
    // deletes the journal zips that no match uses and logs the bytes resumed from the others.
    void ResumeFromJournal();

    // The last step of DevelopPlan: fills _matches; false when a target has no provider.
    bool MatchTargets(PositionTable& table, const std::vector<int>& nextCandidate, bool bitwise);
    // The position of the best-scoring provider of target among candidate and the candidates
    // linked after it by nextCandidate, or -1 when none qualifies.
    int ChooseProvider(const FileMetainfo& target, int candidate, const std::vector<int>& nextCandidate,
                       bool bitwise) const;

    Manifest _targetManifest;
    Manifest _providedManifest;
    std::string _rootDir;
    UpdateType _updateType = UpdateType::ContentsOnly;
    std::set<std::string> _managedZips;
    std::set<std::string> _damagedZips;
    std::vector<FileMatch> _matches;
    std::map<std::string, std::string> _renamedZips;
    std::set<std::string> _changedZips;
};

} // namespace ZipSync

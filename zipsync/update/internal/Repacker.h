// The last step of an update: rebuilding the target zips from local providers.
//
// A Repacker works for one UpdateProcess::RepackZips call. When it starts, every target file
// of the plan has a provider in a local zip: in place already, in another local zip of the
// install directory, or in a zip of the download journal. Every zip involved gets a ZipState. A
// target zip that some managed zip (or, when no file is at its place yet, a journal zip)
// already holds exactly (same entries, same header values) is taken over by renaming that zip;
// every other target zip is written anew as "__repacked__X", copying compressed bytes unchanged
// wherever they fit (straight from file to file when every entry of the zip allows it, through
// minizip otherwise) and checking each written entry against the target manifest: its
// compressed bytes are hashed again, so that a copied entry must hold exactly the bytes its
// source had when it was analysed (a source changed since fails the update before the commit),
// and a recompressed one is inflated and must have the target's contents.
//
// Nothing of the old zips is deleted or moved away until every target zip is written and
// checked, and the entries of the managed zips that nothing needs any more and that exist
// nowhere else are saved in "__reduced__X" zips. A failure up to then removes what the run
// wrote and restores the plan: every old zip is where it was. Then the commit deletes the old
// zips that go, renames the zips taken over to "__repacked__X" and puts all "__repacked__" zips
// in place under their real names; it needs no disk space beyond what was written before, so a
// full disk cannot stop it halfway. A crash at any point leaves either the old zip or a complete
// new one under each name (see TemporaryFiles.h for the repair).
// A damaged zip (UpdateProcess::AddDamagedZip) is never opened: it stays where it is until its
// "__repacked__" replacement is renamed over it in one step, or, when no target zip has its
// name, it is deleted like any zip that nothing needs.
//
// The Repacker refers into the process's manifests and plan and owns the manifests of the
// entries it wrote (_repackedManifest) and kept (_reducedManifest) until it hands the new
// provided manifest to the process. Single-threaded.
#pragma once

#include "base/ProgressIndicator.h"
#include "base/Utils.h"
#include "update/UpdateProcess.h"
#include "zip/Manifest.h"
#include "zip/ZipUtils.h"

#include <map>
#include <memory>
#include <stdint.h>
#include <string>
#include <vector>

namespace ZipSync {

class Repacker {
public:
    Repacker(UpdateProcess& owner, const ProgressCallback& progress);
    // The whole of UpdateProcess::RepackZips.
    void Run();

private:
    struct ZipState {
        std::string path;
        // The process owns the zip and may rewrite or delete it.
        bool managed = false;
        // Its bytes are not trusted: it is never read, only replaced or deleted.
        bool damaged = false;
        // Target files that live in this zip, and local provided files found in it.
        std::vector<ManifestRef> targets;
        std::vector<ManifestRef> provided;
        // Indices of the matches whose target lives here, in plan order.
        std::vector<int> matches;
        std::string repackedPath;
        std::string reducedPath;
        // Matches whose provider lives here and whose target is not written yet.
        int usedCnt = 0;
        // The new contents exist at repackedPath, or will once the zip taken over is renamed.
        bool repacked = false;
        // Index in _zips of the zip that becomes this one by renaming, or -1.
        int takeOverSource = -1;
        // The old file at path is accounted for: the commit deletes it or renames it away.
        bool reduced = false;
        // The commit deletes the old file at path.
        bool deleteAtCommit = false;
        // This run created reducedPath, which holds entries found nowhere else.
        bool reducedWritten = false;
        // Sum of the targets' compressedSize; the weight of the zip in the progress.
        uint64_t size = 0;
        std::unique_ptr<UnzFileIndexed> reader;
        // The same file as plain bytes, for raw copies.
        StdioFileHolder file;
    };

    void ValidatePlan() const;
    void PrepareStates();
    ZipState& StateOf(const std::string& path);
    // Everything up to the commit; nothing of the old zips changes.
    void WriteNewZips();
    void ChooseTakeOvers();
    bool CanTakeOver(const ZipState& target, const ZipState& source) const;
    void RepackZip(ZipState& state);
    ZipState& LocateSource(const FileMetainfo& provider, unz_file_info64* info);
    void WriteRawCopies(ZipState& state);
    void WriteThroughMinizip(ZipState& state);
    void CheckRepackedZip(ZipState& state);
    void CloseReaders();
    void WriteReducedZips();
    void WriteReducedZip(ZipState& state);
    // Removes the files written before the commit, after a failure there.
    void RemoveWrittenFiles() noexcept;
    void Commit();
    void RenameRepackedIntoPlace();
    double ProgressRatio() const;
    void Report(double ratio, const std::string& text) const;

    UpdateProcess& _owner;
    std::vector<ZipState> _zips;
    std::vector<bool> _recompressed;
    std::map<HashDigest, int> _copiesByHash;
    Manifest _repackedManifest;
    Manifest _reducedManifest;
    ProgressCallback _progress;
};

} // namespace ZipSync

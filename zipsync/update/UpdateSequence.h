// One update of a directory of archives to a target manifest, from the plan to the clean-up: the
// sequence that the installer, the zipsync tool ('update' and 'diff'), the benchmarks and the
// tests all run.
//
// The caller brings what only it knows, as UpdateSources: what the root's archives hold (its
// own scan), which archives the update owns and which of them are damaged, the entries the
// download journal kept (AnalyzeDownloadJournal) and what mirrors serve. The sequence gathers the
// providers and the owned archives into its UpdateProcess, develops the plan with its statistics
// (Plan), and carries it out in steps: Download, with a downloader the caller configured (whose
// progress callback sees the transfer) and a progress callback of its own for the verification;
// Repack; then Finish after success, or CleanUpAfterFailure after a failure of either step.
// Execute runs the steps in a row for callers that do nothing else in between; a caller that
// does (the installer records its installation between the repack and the clean-up) calls them
// one by one.
//
// A caller's checks of the target that must come before anything is written belong before the
// steps: Plan itself writes nothing.
//
// An UpdateSequence owns its UpdateProcess (the plan refers into it) and can be moved; one thread
// uses it at a time.
#pragma once

#include "base/ProgressIndicator.h"
#include "update/UpdateProcess.h"
#include "update/UpdateStats.h"
#include "zip/Manifest.h"
#include "zip/ZipAnalysis.h"

#include <functional>
#include <memory>
#include <optional>
#include <stdint.h>
#include <string>
#include <vector>

namespace ZipSync {

class Downloader;

// What an update is planned from. The providers keep this order in the plan's provided manifest,
// which decides between equally good candidates: local, kept, remote.
struct UpdateSources {
    // The install directory, an absolute local path.
    std::string rootDir;
    // The manifest to reach; its zips are taken relative to rootDir.
    Manifest target;
    // What the archives under rootDir hold (the caller's scan), attached to rootDir.
    Manifest local;
    // The entries kept from interrupted downloads (AnalyzeDownloadJournal).
    Manifest kept;
    // What mirrors serve, attached to their URLs.
    Manifest remote;
    // The archives under rootDir (absolute paths) that the update may rewrite or delete.
    std::vector<std::string> owned;
    // Owned archives whose bytes are not trusted: none of their entries serves a target, and the
    // repack replaces or deletes them (UpdateProcess::AddDamagedZip).
    std::vector<DamagedZip> damaged;
    // The size of the archives there now; the file sizes of the owned archives when not given.
    std::optional<uint64_t> currentSize;
};

enum class UpdateStep { Download, Repack };

class UpdateSequence {
public:
    // Gathers the providers (the present entries of local, kept and remote, in that order) and
    // the owned and damaged archives into a new process. Fails as UpdateProcess::Init and
    // AddManagedZip do, or when an owned archive cannot be measured for currentSize.
    explicit UpdateSequence(UpdateSources sources);

    // Develops the plan in the given mode (UpdateProcess::DevelopPlan, whose failures pass
    // through) and its statistics; returns whether it is complete. May be called again.
    bool Plan(UpdateType type);
    // Of the last Plan.
    bool IsComplete() const { return _complete; }
    const UpdateStats& Stats() const { return _stats; }

    UpdateProcess& Process() { return *_process; }
    const UpdateProcess& Process() const { return *_process; }
    const std::string& RootDir() const { return _process->GetRootDir(); }

    // Fetches and verifies the remote files of a complete plan (UpdateProcess::DownloadRemoteFiles).
    void Download(Downloader& downloader, const ProgressCallback& verifyProgress = ProgressCallback());
    // Rebuilds the archives (UpdateProcess::RepackZips).
    void Repack(const ProgressCallback& progress = ProgressCallback());
    // After the repack: repairs or removes the temporary files (CleanupTemporaryFiles) and
    // removes the download journal, whose entries are in the archives now.
    void Finish();
    // After a failed step: repairs or removes the temporary files, keeping the journal's
    // complete entries for the next run. Never raises: a failure of its own is logged as the
    // warning "Clean-up after the failure failed too: %s", since the first one matters more.
    void CleanUpAfterFailure();

    // Download, Repack and Finish; afterStep (may be empty) runs after each of the first two.
    // A failure logs "Update failed; cleaning temporary files", cleans up (CleanUpAfterFailure)
    // and passes on.
    void Execute(Downloader& downloader, const ProgressCallback& verifyProgress = ProgressCallback(),
                 const ProgressCallback& repackProgress = ProgressCallback(),
                 const std::function<void(UpdateStep done)>& afterStep = {});

private:
    std::unique_ptr<UpdateProcess> _process;
    uint64_t _currentSize = 0;
    bool _complete = false;
    UpdateStats _stats;
};

} // namespace ZipSync

// The installation of an evaluated version: the download stage, the repack stage and the
// finalisation, which records the result (manifest, last-scan and last-install state), replaces
// the game's loose binaries by those of the shared archive and moves the game's configuration
// aside so that the new version starts with fresh settings.
//
// RunInstallation is the sequence the installation page runs; its stages report to a
// SequenceView. A failure in any stage cleans up the temporary files (the engine's
// UpdateSequence::CleanUpAfterFailure) before it passes on, so that the install directory holds
// whole archives again and the installation can be started anew. Checks that need the plan and
// must hold before the first write belong at the start of RunInstallation, before the download
// stage; checks of the target alone are the evaluation's (Evaluation.h).
#pragma once

#include "Evaluation.h"
#include "InstallerDownloader.h"
#include "Scan.h"
#include "SequenceView.h"
#include "StoredState.h"
#include "base/ProgressIndicator.h"
#include "update/UpdateSequence.h"

#include <string>

struct InstallationResult {
    // What ".zipsync/lastinstall.ini" now holds.
    InstallState lastInstall;
    // The name "Quillmere.cfg" was moved aside to (or would have been, had that name been free);
    // empty when there was no configuration file.
    std::string oldConfigFilename;
};

// Downloads the remote files of the plan into the download journal and verifies them.
// downloadProgress and verifyProgress may be null.
void PerformInstallDownload(ZipSync::UpdateSequence& update, const NetworkOptions& network,
                            ZipSync::ProgressIndicator* downloadProgress,
                            ZipSync::ProgressIndicator* verifyProgress);
// Rebuilds the archives of the plan. progress may be null.
void PerformInstallRepack(ZipSync::UpdateSequence& update, ZipSync::ProgressIndicator* progress);
// Records the finished installation of evaluation (after its repack): saves "manifest.iniz",
// removes temporary files and the download journal, deletes the old game binaries and the files
// the last installation (of scan) unpacked, unpacks "qmh_shared_stuff.zip", writes
// ".zipsync/lastscan.ini" and ".zipsync/lastinstall.ini", marks the Linux game executables and
// moves "Quillmere.cfg" aside. Every file of the shared archive is checked (no installer file,
// game archive or temporary name) and written aside before any old file is deleted, so that a
// refused or unwritable one leaves the old binaries; the staged files then replace theirs in one
// rename each. An old file that is a game archive or an installer file is never deleted as a
// binary. An archive taken over by renaming that changed since the scan (another program wrote
// it meanwhile) is left out of ".zipsync/lastscan.ini" and raises "Archive %s changed while the
// installer ran, ..." once the rest is recorded, before the configuration is moved aside.
// progress may be null.
InstallationResult PerformInstallFinalize(Evaluation& evaluation, const LocalScan& scan,
                                          ZipSync::ProgressIndicator* progress);

// Raises "Not enough free space in the installation directory: %llu MB needed, %llu MB
// available" when the update's disk peak (ComputeDiskPeak, rounded up to whole MiB) exceeds the
// space available there (rounded down).
void CheckFreeSpace(const ZipSync::UpdateSequence& update);

// The installation page's sequence: CheckFreeSpace, then PerformInstallDownload (stage Download),
// PerformInstallRepack (stage Repack) and PerformInstallFinalize (stage Finalize) of the evaluation, whose
// plan must exist (assertion "updater"). The download forgets the scan's kept downloads, since it changes the
// journal whatever its outcome.
InstallationResult RunInstallation(Evaluation& evaluation, LocalScan& scan, const NetworkOptions& network,
                                   SequenceView& view);

// The scan of the install directory: what the last installation recorded, which archives are the
// game's, and what they provide, either analysed again or taken from the manifest the previous
// scan saved when nothing changed since.
//
// The scan lists the install directory once (for its owned archives); the evaluations and the
// installation that follow take the owned archives from the LocalScan it returns. Every path is
// relative to the working directory, the install directory.
#pragma once

#include "StoredState.h"
#include "base/ProgressIndicator.h"
#include "zip/Manifest.h"
#include "zip/ZipAnalysis.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

struct LocalScan {
    // The last completed installation as ".zipsync/lastinstall.ini" tells it; empty when unknown.
    // The digests of the files it unpacked that an older installer did not record are those of
    // the entries of the same names in the installation's shared archive, when it has them.
    InstallState lastInstall;
    // The game's archives in the install directory (CollectOwnedZips), absolute paths.
    std::vector<std::string> ownedZips;
    // The owned archives as the scan found them, before it analysed them: what their entries in
    // localManifest describe.
    ScanState archives;
    // What the owned archives provide.
    ZipSync::Manifest localManifest;
    // Owned archives that cannot be analysed even after normalisation: left out of localManifest,
    // replaced (or removed) by the installation.
    std::vector<ZipSync::DamagedZip> damagedZips;
    // The entries kept from interrupted downloads (AnalyzeDownloadJournal), analysed by the first
    // evaluation after the scan and forgotten when a download changes the journal.
    std::optional<ZipSync::Manifest> keptDownloads;
};

// The state of ".zipsync/lastinstall.ini"; an empty state when the file is missing or
// unreadable. Never raises.
InstallState ReadLastInstallInfo();

// The state of ".zipsync/lastscan.ini"; nothing when the file is missing or unreadable. Never
// raises.
std::optional<ScanState> ReadLastScanInfo(const std::string& root);

// Whether the owned archives (their state, archives) and the manifest differ from the recorded
// state; no recorded state, or no manifest, means true. Never raises.
bool NeedsRescan(const std::string& root, const ScanState& archives,
                 const std::optional<ScanState>& recorded);

// Drops the archives changed (absolute paths, as UpdateProcess::GetChangedZips names them) from
// ".zipsync/lastscan.ini", so that the next scan analyses the installation again instead of
// trusting its saved manifest. Never raises: a state file that cannot be read or written is
// left, with a warning.
void ForgetScannedArchives(const std::string& root, const std::set<std::string>& changed);

// Scans the working directory: cleans temporary files, reads the last-install state, collects
// the owned archives, then analyses them (saving "manifest.iniz" and ".zipsync/lastscan.ini")
// when forced or when anything changed, else loads "manifest.iniz". An owned archive that cannot
// be analysed even after normalisation is damaged: logged, left out of the manifest and of the
// recorded scan state (so that every scan analyses again until it is replaced) and listed in
// damagedZips. Finally every owned archive and the manifest must be writable, else raises
// "...Please make sure no Quillmere-related programs are running and try again." progress may
// be null.
LocalScan ScanInstallDirIfNecessary(bool force, ZipSync::ProgressIndicator* progress);

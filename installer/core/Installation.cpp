#include "Installation.h"

#include "GameRules.h"
#include "InstallerFiles.h"
#include "LogUtils.h"
#include "ManifestCache.h"
#include "OsUtils.h"
#include "UnpackZip.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "net/Downloader.h"
#include "update/DiskPeak.h"
#include "zip/IniFile.h"
#include "zip/TemporaryNames.h"
#include "zip/ZipHolders.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <memory>
#include <set>
#include <vector>

using namespace ZipSync;
namespace fs = std::filesystem;

void PerformInstallDownload(UpdateSequence& update, const NetworkOptions& network,
                            ProgressIndicator* downloadProgress, ProgressIndicator* verifyProgress) {
    g_logger->infof("Starting installation: download");
    Downloader downloader = MakeInstallerDownloader(network, downloadProgress);
    downloader.SetFollowRedirects(true); // game data is checked by its digests
    update.Download(downloader, MakeProgressCallback(verifyProgress));
    g_logger->infof("Downloaded bytes: %lld", (long long)downloader.TotalBytesDownloaded());
    g_logger->infof("");
}

void PerformInstallRepack(UpdateSequence& update, ProgressIndicator* progress) {
    g_logger->infof("Starting installation: repack");
    update.Repack(MakeProgressCallback(progress));
    g_logger->infof("Repacking finished");
    g_logger->infof("");
}

namespace {

void Report(ProgressIndicator* progress, double ratio, const std::string& comment) {
    if (progress) progress->Update(ratio, comment);
}

const int UNPACKED_ARCHIVE_COUNT = sizeof(UNPACKED_ARCHIVES) / sizeof(UNPACKED_ARCHIVES[0]);

struct StagedArchive {
    // Position in UNPACKED_ARCHIVES.
    int index;
    StagedUnpack files;
};

// Every file of the shared archives that the version has, checked and written to its temporary
// name; then checked against what stands in its place (WhyPlaceTaken), now that its contents
// are known.
std::vector<StagedArchive> StageSharedArchives(const std::string& root, const EntryRefusal& refusal,
                                               const InstallState& lastInstall) {
    std::vector<StagedArchive> staged;
    for (int i = 0; i < UNPACKED_ARCHIVE_COUNT; i++) {
        // A version without it has none: the repack removed any file of that name.
        if (!IfFileExists(UNPACKED_ARCHIVES[i])) continue;
        UnzFileHolder zf(UNPACKED_ARCHIVES[i]);
        StagedUnpack files;
        files.Stage(zf, refusal);
        for (const auto& [name, digest] : files.Digests()) {
            std::string problem = WhyPlaceTaken(root, name, digest, lastInstall);
            if (!problem.empty())
                g_logger->errorf(lcGeneral, "Refusing to unpack entry \"%s\": %s", name.c_str(),
                                 problem.c_str());
        }
        staged.push_back({i, std::move(files)});
    }
    return staged;
}

// Puts the staged files in place; returns their names.
std::vector<std::string> CommitSharedArchives(std::vector<StagedArchive>& staged,
                                              ProgressIndicator* progress) {
    std::vector<std::string> unpacked;
    for (StagedArchive& archive : staged) {
        double count = UNPACKED_ARCHIVE_COUNT;
        Report(progress, 0.7 + 0.1 * archive.index / count,
               std::string("Unpacking ") + UNPACKED_ARCHIVES[archive.index] + "...");
        std::vector<std::string> names = archive.files.Commit();
        unpacked.insert(unpacked.end(), names.begin(), names.end());
        Report(progress, 0.7 + 0.1 * (archive.index + 1) / count, "Unpacking finished");
    }
    return unpacked;
}

// Deletes the game binaries and what the last installation unpacked, except the files about to
// be replaced by staged ones (replaced in one step when they are committed), names that are no
// loose file (refusal: a state file that lists an archive or the installer's own file) and
// unpacked files that are no longer as they were unpacked (StillAsUnpacked).
void DeleteOldFiles(const std::string& root, const InstallState& lastInstall,
                    const std::vector<StagedArchive>& staged, const EntryRefusal& refusal) {
    std::set<std::string> replaced;
    for (const StagedArchive& archive : staged)
        for (const std::string& name : archive.files.Names()) replaced.insert(name);
    std::vector<std::string> names(std::begin(GAME_BINARIES), std::end(GAME_BINARIES));
    names.insert(names.end(), lastInstall.unpackedFiles.begin(), lastInstall.unpackedFiles.end());
    for (const std::string& path : FindFilesByName(root, names)) {
        std::string rel = fs::path(path).lexically_relative(root).generic_string();
        std::string problem = refusal(rel);
        if (problem.empty() && !IsGameBinary(rel) && !StillAsUnpacked(root, rel, lastInstall))
            problem = "it is not as the installer unpacked it";
        if (!problem.empty())
            g_logger->warningf("Old file %s is not deleted: %s", rel.c_str(), problem.c_str());
        else if (!replaced.count(rel))
            RemoveFile(path);
    }
}

// What ".zipsync/lastscan.ini" records after an installation: each installed zip as it is now,
// and the manifest. A zip that the repack renamed rather than wrote holds what the scan found
// in its old place only if it is still as the scan found it; one that changed since is left
// out (and added to changed), so that the next scan analyses it again instead of trusting the
// saved manifest.
ScanState InstalledScanState(const std::string& root, const std::set<std::string>& zips,
                             const UpdateProcess& process, const LocalScan& scan,
                             std::vector<std::string>& changed) {
    ScanState recorded;
    for (const std::string& rel : zips) {
        std::string path = JoinPath(root, rel);
        ZipScanEntry now = BuildScanState({path}, root).at(0);
        auto renamed = process.GetRenamedZips().find(path);
        if (renamed != process.GetRenamedZips().end()) {
            std::string source = PathAR::FromAbs(renamed->second, root).rel;
            auto before = std::find_if(scan.archives.begin(), scan.archives.end(),
                                       [&](const ZipScanEntry& e) { return e.path == source; });
            if (before != scan.archives.end() &&
                (before->modTimeNs != now.modTimeNs || before->size != now.size)) {
                changed.push_back(rel);
                continue;
            }
        }
        recorded.push_back(now);
    }
    return WithManifestState(recorded, root);
}

// Returns the name the configuration went to (or would have, had it been free); empty when there
// is none.
std::string MoveGameConfigAside() {
    if (!IfFileExists(GAME_CONFIG)) return "";
    std::string newName = FormatFilenameWithDatetime("Quillmere_%y%m%d_%H%M%S.cfg", "QMH config");
    g_logger->infof("Renaming %s to %s...", GAME_CONFIG, newName.c_str());
    std::error_code ec;
    if (fs::exists(newName, ec))
        g_logger->infof("Failed to rename: destination file already exists.");
    else
        RenameFile(GAME_CONFIG, newName);
    return newName;
}

} // namespace

InstallationResult PerformInstallFinalize(Evaluation& evaluation, const LocalScan& scan,
                                          ProgressIndicator* progress) {
    std::string root = GetCwd();
    std::unique_ptr<UpdateSequence>& updater = evaluation.update;
    ZipSyncAssert(updater);
    UpdateSequence& update = *updater;

    Report(progress, 0.0, "Saving resulting manifest...");
    // Entries kept in "__reduced__" zips come out of the repack still marked InPlace, but the
    // clean-up below deletes those zips: they must not enter the saved manifest.
    Manifest installed = update.Process().GetProvidedManifest().Select([](const FileMetainfo& file) {
        return file.location == FileLocation::InPlace && !IsTemporaryFileName(GetFilename(file.zipPath.rel));
    });
    // The installer's own file: never written through a link.
    RefuseLinksBelowRoot(JoinPath(root, MANIFEST_FILE), root);
    SaveManifest(installed, JoinPath(root, MANIFEST_FILE));
    Report(progress, 0.5, "Manifest saved");

    Report(progress, 0.5, "Cleaning temporary zips...");
    // Installed: what was downloaded is in the archives now, and the journal goes.
    update.Finish();
    RemoveUnpackLeftovers(root);
    Report(progress, 0.6, "Cleaning finished");

    // The archives the evaluation's check of the target knew: the staged files are checked again.
    std::set<std::string> archives = GameArchives(update.Process().GetTargetManifest(), scan.ownedZips, root);
    EntryRefusal refusal = [&](const std::string& name) { return WhyLooseFileRefused(name, archives); };
    // Every file of the shared archives is checked and written aside before any old binary is
    // deleted: one that is refused or cannot be written leaves the old binaries in place.
    std::vector<StagedArchive> staged = StageSharedArchives(root, refusal, scan.lastInstall);

    Report(progress, 0.6, "Deleting old files...");
    DeleteOldFiles(root, scan.lastInstall, staged, refusal);
    Report(progress, 0.7, "Deleting finished");

    InstallationResult result;
    for (const StagedArchive& archive : staged)
        for (const auto& [name, digest] : archive.files.Digests())
            result.lastInstall.unpackedHashes[name] = digest;
    result.lastInstall.unpackedFiles = CommitSharedArchives(staged, progress);
    result.lastInstall.version = evaluation.version;
    std::set<std::string> zips = installed.ZipRelPaths();
    result.lastInstall.zips.assign(zips.begin(), zips.end());

    Report(progress, 0.8, "Saving .zipsync/lastscan.ini...");
    // The repack removed every owned archive that the target has not and put the target's in
    // place: the installed zips are the game's archives now, which the next scan finds.
    std::vector<std::string> changed;
    WriteStateFile(root, LAST_SCAN_PATH,
                   ScanStateToIni(InstalledScanState(root, zips, update.Process(), scan, changed)));
    Report(progress, 0.85, "Saved properly");

    Report(progress, 0.85, "Saving .zipsync/lastinstall.ini...");
    WriteStateFile(root, LAST_INSTALL_PATH, InstallStateToIni(result.lastInstall));
    Report(progress, 0.9, "Saved properly");

    Report(progress, 0.9, "Mark as executable...");
    for (const std::string& path :
         FindFilesByName(root, std::vector<std::string>(std::begin(EXECUTABLES), std::end(EXECUTABLES))))
        // chmod follows a link, which may lead out of the install directory.
        if (!IsSymbolicLink(path)) MarkAsExecutable(path);
    Report(progress, 0.95, "Executables marked");

    // The installation is complete but for these archives, which another program changed while
    // it ran: not the version installed, so no success (the configuration stays where it is).
    if (!changed.empty())
        g_logger->errorf(lcGeneral,
                         "Archive %s changed while the installer ran, so the installation is not "
                         "sound; start the installer again to repair it",
                         changed[0].c_str());

    Report(progress, 0.95, "Renaming config file...");
    result.oldConfigFilename = MoveGameConfigAside();
    Report(progress, 1.0, "Renamed config file");

    Report(progress, 1.0, "Finalization complete");
    g_logger->infof("");
    return result;
}

void CheckFreeSpace(const UpdateSequence& update) {
    const uint64_t mb = uint64_t(1) << 20;
    uint64_t needed = (ComputeDiskPeak(update.Process()) + mb - 1) / mb;
    uint64_t available = GetAvailableSpace(update.RootDir()) / mb;
    g_logger->infof("Free space needed at most: %llu MB, available: %llu MB", (unsigned long long)needed,
                    (unsigned long long)available);
    if (needed > available)
        g_logger->errorf(
            lcGeneral,
            "Not enough free space in the installation directory: %llu MB needed, %llu MB available",
            (unsigned long long)needed, (unsigned long long)available);
}

InstallationResult RunInstallation(Evaluation& evaluation, LocalScan& scan, const NetworkOptions& network,
                                   SequenceView& view) {
    std::unique_ptr<UpdateSequence>& updater = evaluation.update;
    ZipSyncAssert(updater);
    // Before anything is written: a full disk half way would only leave more to clean up.
    CheckFreeSpace(*updater);
    try {
        {
            std::unique_ptr<StageScope> stage = view.BeginStage(Stage::Download);
            // The download changes the journal of kept entries, whatever its outcome.
            scan.keptDownloads.reset();
            PerformInstallDownload(*updater, network, stage->Progress(), stage->VerifyProgress());
        }
        {
            std::unique_ptr<StageScope> stage = view.BeginStage(Stage::Repack);
            PerformInstallRepack(*updater, stage->Progress());
        }
        std::unique_ptr<StageScope> stage = view.BeginStage(Stage::Finalize);
        return PerformInstallFinalize(evaluation, scan, stage->Progress());
    } catch (...) {
        updater->CleanUpAfterFailure();
        // An archive that changed since the scan is not to be trusted by the next one either.
        ForgetScannedArchives(updater->RootDir(), updater->Process().GetChangedZips());
        throw;
    }
}

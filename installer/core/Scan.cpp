#include "Scan.h"

#include "GameRules.h"
#include "InstallerFiles.h"
#include "OsUtils.h"
#include "UnpackZip.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "base/Utils.h"
#include "update/TemporaryFiles.h"
#include "zip/IniFile.h"

#include <algorithm>
#include <filesystem>
#include <optional>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

// A missing state file is normal where nothing was installed or scanned yet, so it is told at
// information level; a file that exists but cannot be read is still reported by its reader.
bool StateFileMissing(const std::string& path) {
    std::error_code ec;
    if (fs::exists(path, ec) || ec) return false;
    g_logger->infof("File \"%s\" does not exist", path.c_str());
    return true;
}

} // namespace

InstallState ReadLastInstallInfo() {
    try {
        g_logger->infof("Trying to read %s", LAST_INSTALL_PATH);
        if (!StateFileMissing(LAST_INSTALL_PATH)) {
            InstallState state = InstallStateFromIni(ReadStateFile(GetCwd(), LAST_INSTALL_PATH));
            g_logger->infof("Last install state read successfully");
            return state;
        }
    } catch (const std::exception&) {
        // Unreadable or malformed: unknown, as when there is none.
    }
    g_logger->infof("Failed to read it: last install unknown");
    return InstallState();
}

std::optional<ScanState> ReadLastScanInfo(const std::string& root) {
    try {
        g_logger->infof("Trying to read %s", LAST_SCAN_PATH);
        if (!StateFileMissing(JoinPath(root, LAST_SCAN_PATH))) {
            ScanState state = ScanStateFromIni(ReadStateFile(root, LAST_SCAN_PATH));
            g_logger->infof("Last scan state read successfully");
            return state;
        }
    } catch (const std::exception&) {
        // Unreadable or malformed: analysed again as when there is none.
    }
    g_logger->infof("Failed to read it, fallback to scanning");
    return std::nullopt;
}

bool NeedsRescan(const std::string& root, const ScanState& archives,
                 const std::optional<ScanState>& recorded) {
    if (!recorded) return true;
    try {
        if (WithManifestState(archives, root) == *recorded) {
            g_logger->infof("Zips seem to have not changed since last time");
            return false;
        }
    } catch (const std::exception&) {
        // No manifest to reuse.
    }
    g_logger->infof("Perform scan because something changed since last run");
    return true;
}

void ForgetScannedArchives(const std::string& root, const std::set<std::string>& changed) {
    if (changed.empty()) return;
    try {
        ScanState recorded = ScanStateFromIni(ReadStateFile(root, LAST_SCAN_PATH));
        recorded.erase(
            std::remove_if(recorded.begin(), recorded.end(),
                           [&](const ZipScanEntry& e) { return changed.count(JoinPath(root, e.path)); }),
            recorded.end());
        WriteStateFile(root, LAST_SCAN_PATH, ScanStateToIni(recorded));
    } catch (const std::exception& e) {
        g_logger->warningf("The archives that changed are analysed again only when %s goes: %s",
                           LAST_SCAN_PATH, e.what());
    }
}

namespace {

// Analyses the owned archives into scan (saving "manifest.iniz" and ".zipsync/lastscan.ini").
void AnalyzeInstallation(const std::string& root, LocalScan& scan, ProgressIndicator* progress) {
    const std::vector<std::string>& owned = scan.ownedZips;
    g_logger->infof("Installation currently contains of %d QMH-owned zips", (int)owned.size());
    uint64_t totalSize = 0;
    for (const std::string& zip : owned) {
        g_logger->infof("  %s", zip.c_str());
        totalSize += SizeOfFile(zip);
    }
    g_logger->infof("Total size of managed zips: %0.0lf MB", totalSize * 1e-6);
    g_logger->infof("Analysing the archives");
    scan.localManifest = AnalyzeZips(root, owned, true, 1, progress, &scan.damagedZips);
    for (const DamagedZip& zip : scan.damagedZips)
        g_logger->infof("Damaged archive %s will be replaced by the installation", zip.path.c_str());
    g_logger->infof("Saving results of analysis to manifest file");
    WriteStateFile(root, MANIFEST_FILE, scan.localManifest.SaveToIni());
    g_logger->infof("Saving current scan at %s", LAST_SCAN_PATH);
    // Damaged archives stay out of the recorded state, so that the next scan analyses again
    // (and finds them damaged again) as long as they have not been replaced. The others are
    // recorded as they were before they were analysed: one that changed meanwhile is analysed
    // again next time.
    ScanState recorded;
    for (const ZipScanEntry& entry : scan.archives)
        if (std::none_of(scan.damagedZips.begin(), scan.damagedZips.end(),
                         [&](const DamagedZip& zip) { return zip.path == JoinPath(root, entry.path); }))
            recorded.push_back(entry);
    WriteStateFile(root, LAST_SCAN_PATH, ScanStateToIni(WithManifestState(recorded, root)));
    g_logger->infof("");
}

} // namespace

LocalScan ScanInstallDirIfNecessary(bool force, ProgressIndicator* progress) {
    std::string root = GetCwd();
    g_logger->infof("Cleaning temporary files");
    CleanupTemporaryFiles(root);
    RemoveUnpackLeftovers(root);
    LocalScan scan;
    scan.lastInstall = ReadLastInstallInfo();
    std::optional<ScanState> recorded = ReadLastScanInfo(root);
    g_logger->infof("Collecting set of already existing QMH-owned zips");
    scan.ownedZips = CollectOwnedZips(root, scan.lastInstall.zips, recorded ? *recorded : ScanState());
    scan.archives = BuildScanState(scan.ownedZips, root);
    bool rescan = NeedsRescan(root, scan.archives, recorded);

    if (force) g_logger->infof("Do scanning because forced by user");
    if (force || rescan) {
        AnalyzeInstallation(root, scan, progress);
    } else {
        g_logger->infof("Trying to read local %s", MANIFEST_FILE);
        scan.localManifest.LoadFromIni(ReadIniFile(JoinPath(root, MANIFEST_FILE)), root);
        g_logger->infof("Local manifest read successfully");
        g_logger->infof("");
    }

    // An older installer recorded no digests of the files it unpacked: the shared archive they
    // came from, still in the installation, tells what they were.
    const std::vector<std::string>& unpacked = scan.lastInstall.unpackedFiles;
    for (const FileMetainfo& file : scan.localManifest)
        if (IsUnpackedArchive(file.zipPath.rel) &&
            std::find(unpacked.begin(), unpacked.end(), file.filename) != unpacked.end())
            scan.lastInstall.unpackedHashes.emplace(file.filename, file.contentsHash);

    std::string problem = CheckFilesWritable(ScannedFiles(root, scan.ownedZips), false);
    if (!problem.empty())
        g_logger->errorf(lcGeneral,
                         "%s.\nPlease make sure no Quillmere-related programs are running and try again.",
                         problem.c_str());
    return scan;
}

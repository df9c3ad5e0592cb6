#include "Actions.h"

#include "InstallerFiles.h"
#include "InstallerState.h"
#include "LogUtils.h"
#include "ManifestCache.h"
#include "OsUtils.h"
#include "StoredState.h"
#include "base/Hash.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "base/Utils.h"
#include "net/RemoteChecksummedZip.h"
#include "update/DownloadJournal.h"
#include "update/TemporaryFiles.h"
#include "zip/ChecksummedZip.h"
#include "zip/IniFile.h"
#include "zip/ZipAnalysis.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <stdio.h>
#include <string.h>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const char* const INSTALLER_PAYLOAD = "qmh_installer.exe";
#else
const char* const INSTALLER_PAYLOAD = "qmh_installer.linux64";
#endif
// Which archives belong to the game: relative path with this prefix and suffix.
const std::pair<const char*, const char*> OWNED_ZIP_RULES[] = {
    {"qmh_", ".pk4"},
    {"qmh_", ".zip"},
    {"fms/qmh_", ".pk4"},
    {"fms/harborjob/", ".pk4"},
    {"fms/stmarin/", ".pk4"},
    {"fms/saintmarin/", ".pk4"},
    {"fms/practice_mission/", ".pk4"},
};

// Deleted before the shared archive is unpacked again.
const char* const GAME_BINARIES[] = {
    "Quillmere.exe",  "Quillmerex64.exe", "Vantrel.dll",        "Vantrelx64.dll",
    "quillmere.x86",  "quillmere.x64",    "logicx86.dll",       "logicx86.so",
    "qmh_update.exe", "qmh_update.linux", "qmh_update.linux64",
};
const char* const UNPACKED_ARCHIVES[] = {"qmh_shared_stuff.zip"};
const char* const EXECUTABLES[] = {"quillmere.x86", "quillmere.x64"};
#ifdef _WIN32
const char* const SHORTCUT_TARGETS[] = {"Quillmerex64.exe", "Quillmere.exe"};
#else
const char* const SHORTCUT_TARGETS[] = {"quillmere.x64", "quillmere.x86"};
#endif

const char* const GAME_CONFIG = "Quillmere.cfg";
const char* const SHORTCUT_NAME = "Quillmere";

std::string Join(const std::string& dir, const std::string& name) {
    return (fs::path(dir) / name).generic_string();
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool MatchesOwnedZipRule(const std::string& rel) {
    for (const auto& rule : OWNED_ZIP_RULES)
        if (StartsWith(rel, rule.first) && EndsWith(rel, rule.second)) return true;
    return false;
}

// Whether the file begins like a zip (a local header, or the end record of an empty zip) or
// holds an end record where one can be: a damaged archive still passes, a savegame does not.
bool LooksLikeZip(const std::string& path) {
    static const char kLocalHeader[] = "PK\x03\x04", kEndRecord[] = "PK\x05\x06";
    StdioFileHolder file(OpenStdioFile(path, "rb"));
    if (!file) return false;
    char head[4] = {};
    if (fread(head, 1, 4, file) == 4 && (!memcmp(head, kLocalHeader, 4) || !memcmp(head, kEndRecord, 4)))
        return true;
    // The end record (22 bytes) is followed by a comment of at most 65535 bytes.
    std::vector<char> tail(22 + 65535);
    if (FileSeek64(file, 0, SEEK_END) != 0) return false;
    int64_t size = FileTell64(file);
    int64_t start = std::max<int64_t>(0, size - int64_t(tail.size()));
    if (size < 0 || FileSeek64(file, start, SEEK_SET) != 0) return false;
    tail.resize(fread(tail.data(), 1, tail.size(), file));
    return std::search(tail.begin(), tail.end(), kEndRecord, kEndRecord + 4) != tail.end();
}

// Relative paths ('/' separators) of the regular files under root, in listing order.
std::vector<std::string> ListFilesRecursively(const std::string& root) {
    std::vector<std::string> result;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied);
         it != fs::recursive_directory_iterator(); ++it)
        // Lexically: fs::relative would resolve a link and name its target instead.
        if (it->is_regular_file()) result.push_back(it->path().lexically_relative(root).generic_string());
    return result;
}

void Report(ProgressIndicator* progress, double ratio, const std::string& comment) {
    if (progress) progress->Update(ratio, comment);
}

// The owned archives followed by the installation's manifest: what the scan state records.
std::vector<std::string> ScannedFiles(const std::string& root, const std::vector<std::string>& owned) {
    std::vector<std::string> scanned = owned;
    scanned.push_back(Join(root, MANIFEST_FILE));
    return scanned;
}

void WriteStateFile(const std::string& root, const char* relPath, const IniData& ini) {
    std::string path = Join(root, relPath);
    fs::create_directories(fs::path(path).parent_path());
    WriteIniFile(path, ini);
}

// The logger installed by StartLogFile. It lives until the next StartLogFile replaces it and is
// never destroyed at exit, so that messages logged during static destruction still have a logger.
LoggerQmh* g_fileLogger = nullptr;

} // namespace

std::string GetConfigUrl() {
    return GetUpdateServerUrl() + "/zipsync/" + CONFIG_FILE;
}

std::string GetInstallerUrl() {
    return GetUpdateServerUrl() + "/zipsync/" + INSTALLER_PAYLOAD + ".zip";
}

// ---- Start-up checks, configuration and self-update ----

std::vector<std::string> CheckSpaceAndPermissions(const std::string& dir) {
    return CheckSpaceAndPermissions(dir, GetAvailableSpace);
}

std::vector<std::string> CheckSpaceAndPermissions(const std::string& dir,
                                                  const AvailableSpaceFunction& availableSpace) {
    std::error_code ec;
    std::string checked = fs::absolute(dir, ec).string();
    while (!fs::exists(checked, ec)) {
        std::string parent = fs::path(checked).parent_path().string();
        if (parent == checked)
            g_logger->errorf(lcGeneral, "Invalid installation directory %s: no ancestor directory exists",
                             dir.c_str());
        checked = parent;
    }

    std::string probe = Join(checked, PERMISSIONS_PROBE);
    g_logger->infof("Test writing file %s", probe.c_str());
    {
        StdioFileHolder file(OpenStdioFile(probe, "wt"));
        if (!file)
            g_logger->errorf(lcCantOpenFile,
                             "Cannot write anything in installation directory \"%s\".\n"
                             "Please choose a directory where files can be created without admin rights.\n"
                             "Directory \"C:\\Games\\Quillmere\" is a usually good.\n"
                             "Do NOT try to install Quillmere into Program Files! ",
                             dir.c_str());
    }
    RemoveFile(probe);

    g_logger->infof("Checking for free space at %s", checked.c_str());
    double freeMb = double(availableSpace(checked) >> 20);
    if (freeMb < 100.0)
        g_logger->errorf(lcGeneral,
                         "Only %0.0lf MB of free space is available in installation directory.\n"
                         "Installer surely won't work without at least %0.0lf MB of free space!",
                         freeMb, 100.0);
    std::vector<std::string> warnings;
    if (freeMb < 5120.0) {
        char text[512];
        snprintf(text, sizeof(text),
                 "Only %0.2lf GB of free space is available in installation directory.\n"
                 "Installation or update can fail due to lack of space.\n"
                 "Better free at least %0.2lf GB and restart updater.\n",
                 freeMb / 1024.0, 5.0);
        warnings.push_back(text);
    }
    return warnings;
}

void StartLogFile() {
    std::unique_ptr<LoggerQmh> previous(g_fileLogger);
    // The console logger that static initialisation made is replaced for good: ours to delete.
    std::unique_ptr<Logger> console(dynamic_cast<LoggerConsole*>(g_logger));
    g_fileLogger = new LoggerQmh();
    g_logger = g_fileLogger;
    g_fileLogger->OpenLogFile();
    g_logger->infof("Install directory: %s", GetCwd().c_str());
}

bool NeedsSelfUpdate(ProgressIndicator* progress) {
    std::string exe = GetExecutablePath();
    std::string tempExe = exe + TEMP_EXE_SUFFIX;
    std::string tempZip = exe + TEMP_ZIP_SUFFIX;
    std::string url = GetInstallerUrl();

    g_logger->infof("Computing hash of myself at %s...", exe.c_str());
    std::vector<uint8_t> myBytes = ReadWholeFile(exe);
    Hasher hasher;
    hasher.Update(myBytes.data(), myBytes.size());
    HashDigest myHash = hasher.Finalize();
    g_logger->infof("My hash is %s", myHash.Hex().c_str());

    g_logger->infof("Checking installer executable at %s...", url.c_str());
    HashDigest serverHash;
    {
        Downloader downloader = MakeInstallerDownloader(progress);
        serverHash = DownloadChecksummedZipHashes(downloader, {url})[0];
        g_logger->infof("Downloaded bytes: %lld", (long long)downloader.TotalBytesDownloaded());
    }
    g_logger->infof("Hash of installer on server is %s", serverHash.Hex().c_str());
    if (serverHash == myHash) {
        g_logger->infof("Hashes match, update not needed");
        return false;
    }

    g_logger->infof("Downloading installer executable from %s...", url.c_str());
    {
        Downloader downloader = MakeInstallerDownloader(progress);
        std::vector<std::string> outPaths = {tempZip};
        DownloadChecksummedZips(downloader, {url}, {serverHash}, {}, outPaths);
        g_logger->infof("Downloaded bytes: %lld", (long long)downloader.TotalBytesDownloaded());
        const std::string& exeZipPath = tempZip;
        ZipSyncAssert(exeZipPath == outPaths[0]);
    }

    g_logger->infof("Unpacking data from %s to temporary file %s", tempZip.c_str(), tempExe.c_str());
    std::vector<uint8_t> data = ReadChecksummedZip(tempZip, INSTALLER_PAYLOAD);
    {
        StdioFileHolder file(tempExe, "wb");
        size_t wr = fwrite(data.data(), 1, data.size(), file);
        ZipSyncAssert(wr == data.size());
    }
    // The restart script may move the file over ours: it must be runnable as it is.
    MarkAsExecutable(tempExe);
    RemoveFile(tempZip);
    g_logger->infof("");
    return true;
}

void DoSelfUpdate() {
    g_logger->infof("Replacing and restarting myself...");
    std::string exe = GetExecutablePath();
    ReplaceAndRestartExecutable(exe, exe + TEMP_EXE_SUFFIX, {});
}

void ReadConfigFile(bool download, ProgressIndicator* progress) {
    g_state.config.Clear();
    if (download) {
        std::string url = GetConfigUrl();
        g_logger->infof("Downloading config file from %s...", url.c_str());
        Downloader downloader = MakeInstallerDownloader(progress);
        downloader.EnqueueDownload(DownloadSource(url), [](const void* data, uint32_t len) {
            StdioFileHolder file(CONFIG_FILE, "wb");
            size_t res = fwrite(data, 1, len, file);
            ZipSyncAssert(res == len);
        });
        downloader.DownloadAll();
        g_logger->infof("Downloaded bytes: %lld", (long long)downloader.TotalBytesDownloaded());
    }
    g_logger->infof("Reading INI file %s", CONFIG_FILE);
    IniData ini = ReadIniFile(CONFIG_FILE);
    g_logger->infof("Loading installer config from it");
    try {
        g_state.config.InitFromIni(ini);
    } catch (...) {
        g_state.config.Clear();
        throw;
    }
    g_logger->infof("");
}

void RestartWithInstallDir(const std::string& dir) {
    g_logger->infof("Restarting QMH installer in directory: %s", dir.c_str());
    std::error_code ec;
    if (!fs::exists(dir, ec)) {
        g_logger->infof("Creating missing directories for restart");
        fs::create_directories(dir, ec);
        if (ec || !fs::is_directory(dir, ec))
            g_logger->errorf(lcGeneral, "Failed to create missing directories for restart");
    }
    std::string oldPath = GetExecutablePath();
    std::string newPath = Join(dir, GetExecutableName());
    if (fs::equivalent(oldPath, newPath, ec)) {
        g_logger->infof("Old and new paths are equivalent: \"%s\" === \"%s\"", oldPath.c_str(),
                        newPath.c_str());
    } else {
        g_logger->infof("Copying updater to new install directory: \"%s\" -> \"%s\"", oldPath.c_str(),
                        newPath.c_str());
        if (fs::exists(newPath, ec)) RemoveFile(newPath);
        fs::copy_file(oldPath, newPath);
    }
    ReplaceAndRestartExecutable(newPath, "", {});
}

// ---- Local scan and version evaluation ----

std::vector<std::string> CollectOwnedZips(const std::string& root) {
    const std::vector<std::string>& lastZips = g_state.lastInstall.zips;
    std::vector<std::string> owned;
    for (const std::string& rel : ListFilesRecursively(root)) {
        // A link is the player's, not ours, wherever it points: updating an archive through it
        // would change a file outside the installation.
        std::error_code ec;
        if (fs::is_symlink(fs::symlink_status(Join(root, rel), ec))) continue;
        bool byRule = MatchesOwnedZipRule(rel);
        if (!byRule && std::find(lastZips.begin(), lastZips.end(), rel) == lastZips.end()) continue;
        // Not even a name the rules match makes the installer's own files the game's.
        if (!DescribeInstallerFile(rel).empty()) continue;
        // The state file is only a list of names: one that is no archive is the player's file
        // (a damaged game archive keeps its zip signature, and one named by the rules is owned
        // in any case, so that both are repaired).
        if (!byRule && !LooksLikeZip(Join(root, rel))) {
            g_logger->warningf("%s is listed in %s but is no zip: it is left alone", rel.c_str(),
                               LAST_INSTALL_PATH);
            continue;
        }
        owned.push_back(Join(root, rel));
    }
    return owned;
}

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

void ReadLastInstallInfo() {
    g_state.lastInstall = InstallState();
    try {
        g_logger->infof("Trying to read %s", LAST_INSTALL_PATH);
        if (!StateFileMissing(LAST_INSTALL_PATH)) {
            g_state.lastInstall = InstallStateFromIni(ReadIniFile(LAST_INSTALL_PATH));
            g_logger->infof("Last install state read successfully");
            return;
        }
    } catch (const std::exception&) {
        g_state.lastInstall = InstallState();
    }
    g_logger->infof("Failed to read it: last install unknown");
}

bool NeedsRescan(const std::string& root, const std::vector<std::string>& scanned) {
    try {
        g_logger->infof("Trying to read %s", LAST_SCAN_PATH);
        std::string path = Join(root, LAST_SCAN_PATH);
        if (!StateFileMissing(path)) {
            ScanState last = ScanStateFromIni(ReadIniFile(path));
            g_logger->infof("Last scan state read successfully");
            if (BuildScanState(scanned, root) == last) {
                g_logger->infof("Zips seem to have not changed since last time");
                return false;
            }
            g_logger->infof("Perform scan because something changed since last run");
            return true;
        }
    } catch (const std::exception&) {
        // Unreadable or malformed: analysed again as when there is none.
    }
    g_logger->infof("Failed to read it, fallback to scanning");
    g_state.localManifest.clear();
    return true;
}

namespace {

void AnalyzeInstallation(const std::string& root, const std::vector<std::string>& owned,
                         const std::vector<std::string>& scanned, ProgressIndicator* progress) {
    g_logger->infof("Installation currently contains of %d QMH-owned zips", (int)owned.size());
    uint64_t totalSize = 0;
    for (const std::string& zip : owned) {
        g_logger->infof("  %s", zip.c_str());
        totalSize += SizeOfFile(zip);
    }
    g_logger->infof("Total size of managed zips: %0.0lf MB", totalSize * 1e-6);
    g_logger->infof("Analysing the archives");
    std::vector<DamagedZip> damaged;
    Manifest manifest = AnalyzeZips(root, owned, true, 1, progress, &damaged);
    for (const DamagedZip& zip : damaged)
        g_logger->infof("Damaged archive %s will be replaced by the installation", zip.path.c_str());
    g_logger->infof("Saving results of analysis to manifest file");
    WriteIniFile(Join(root, MANIFEST_FILE), manifest.SaveToIni());
    g_state.localManifest = std::move(manifest);
    g_state.damagedZips = std::move(damaged);
    g_logger->infof("Saving current scan at %s", LAST_SCAN_PATH);
    // Damaged archives stay out of the recorded state, so that the next scan analyses again
    // (and finds them damaged again) as long as they have not been replaced.
    std::vector<std::string> recorded;
    for (const std::string& path : scanned)
        if (std::none_of(g_state.damagedZips.begin(), g_state.damagedZips.end(),
                         [&](const DamagedZip& zip) { return zip.path == path; }))
            recorded.push_back(path);
    WriteStateFile(root, LAST_SCAN_PATH, ScanStateToIni(BuildScanState(recorded, root)));
    g_logger->infof("");
}

} // namespace

void ScanInstallDirIfNecessary(bool force, ProgressIndicator* progress) {
    std::string root = GetCwd();
    g_state.damagedZips.clear();
    g_logger->infof("Cleaning temporary files");
    CleanupTemporaryFiles(root);
    RemoveUnpackLeftovers(root);
    g_state.keptDownloadsKnown = false;
    ReadLastInstallInfo();
    g_logger->infof("Collecting set of already existing QMH-owned zips");
    std::vector<std::string> owned = CollectOwnedZips(root);
    std::vector<std::string> scanned = ScannedFiles(root, owned);
    bool rescan = NeedsRescan(root, scanned);

    if (force) g_logger->infof("Do scanning because forced by user");
    if (force || rescan) {
        AnalyzeInstallation(root, owned, scanned, progress);
    } else {
        g_logger->infof("Trying to read local %s", MANIFEST_FILE);
        // A fresh manifest: loading appends, and the previous scan's entries must not stay.
        Manifest manifest;
        manifest.LoadFromIni(ReadIniFile(Join(root, MANIFEST_FILE)), root);
        g_state.localManifest = std::move(manifest);
        g_logger->infof("Local manifest read successfully");
        g_logger->infof("");
    }

    std::string problem = CheckFilesWritable(scanned, false);
    if (!problem.empty())
        g_logger->errorf(lcGeneral,
                         "%s.\nPlease make sure no Quillmere-related programs are running and try again.",
                         problem.c_str());
}

namespace {

// Why a loose file of a shared archive may not be written where its name says (beyond what no
// unpacking accepts): it would take the place of one of the installer's own files, of a game
// archive (one of archives, or any name the owned-archive rules match, which the next scan would
// take for an archive), or of a temporary file, which the next clean-up deletes.
std::string WhyLooseFileRefused(const std::string& name, const std::set<std::string>& archives) {
    std::string what = DescribeInstallerFile(name);
    if (!what.empty()) return "it is " + what;
    if (archives.count(name) || MatchesOwnedZipRule(name)) return "it is a game archive";
    if (IsTemporaryFileName(GetFilename(name))) return "it is named like a temporary file";
    return "";
}

std::set<std::string> TargetArchives(const Manifest& target) {
    std::set<std::string> archives;
    // A manifest lists the files of an archive one after the other.
    const std::string* previous = nullptr;
    for (const FileMetainfo& file : target)
        if (!previous || *previous != file.zipPath.rel) previous = &*archives.insert(file.zipPath.rel).first;
    return archives;
}

// The target's archives and the owned ones (absolute paths under root), relative to root.
std::set<std::string> ArchivePaths(const Manifest& target, const std::vector<std::string>& owned,
                                   const std::string& root) {
    std::set<std::string> archives = TargetArchives(target);
    for (const std::string& path : owned)
        archives.insert(fs::path(path).lexically_relative(root).generic_string());
    return archives;
}

// Raises "Refusing to install archive %s: it is %s" for a target archive that would replace one
// of the installer's own files.
void RefuseInstallerFilesAsArchives(const Manifest& target) {
    for (const std::string& rel : TargetArchives(target)) {
        std::string what = DescribeInstallerFile(rel);
        if (!what.empty())
            g_logger->errorf(lcGeneral, "Refusing to install archive %s: it is %s", rel.c_str(),
                             what.c_str());
    }
}

// Raises CheckEntryName's "Refusing to unpack entry ..." for a file of a shared archive of the
// target that the finalisation would refuse: found before anything is downloaded.
void CheckSharedArchiveFiles(const Manifest& target, const std::set<std::string>& archives) {
    for (const FileMetainfo& file : target)
        if (std::find(std::begin(UNPACKED_ARCHIVES), std::end(UNPACKED_ARCHIVES), file.zipPath.rel) !=
            std::end(UNPACKED_ARCHIVES))
            CheckEntryName(file.filename,
                           [&](const std::string& name) { return WhyLooseFileRefused(name, archives); });
}

} // namespace

UpdateStats EvaluateVersion(const std::string& version, const std::string& customManifestUrl,
                            bool bitwiseExact, ProgressIndicator* progress) {
    std::string root = GetCwd();
    g_logger->infof("Evaluating version %s", version.c_str());
    if (!customManifestUrl.empty())
        g_logger->infof("With custom manifest URL: %s", customManifestUrl.c_str());
    if (!g_state.preferredMirror.empty())
        g_logger->infof("Preferred mirror: %s", g_state.preferredMirror.c_str());

    std::vector<std::string> keys, urls;
    if (customManifestUrl.empty()) {
        keys = {version + "$$" + "trusted"};
        urls = {g_state.config.ChooseManifestUrl(version, true, g_state.preferredMirror)};
    } else {
        keys = {customManifestUrl, customManifestUrl};
        urls = {customManifestUrl};
    }
    for (const std::string& dependency : g_state.config.GetDependencies(version)) keys.push_back(dependency);
    urls.resize(keys.size());
    // Trusted URLs are written "http://" while the official server speaks TLS: the target
    // manifest travels over TLS (the downloader downgrades it when told to). An official server
    // given as an "http://" root has no TLS to upgrade to.
    if (StartsWith(urls[0], "http://") && StartsWith(GetUpdateServerUrl(), "https://"))
        urls[0] = "https://" + urls[0].substr(7);

    std::vector<bool> loaded(keys.size());
    for (size_t i = 0; i < keys.size(); i++) loaded[i] = g_state.loadedManifests.count(keys[i]) > 0;
    g_logger->infof("Target manifest at %s", urls[0].c_str());
    g_logger->infof("Version %s needs files from %d versions", version.c_str(), (int)keys.size() - 1);
    for (size_t i = 1; i < keys.size(); i++)
        g_logger->debugf("  %s %s", keys[i].c_str(), loaded[i] ? "(loaded)" : "");
    LoadManifests(keys, urls, loaded, progress);

    std::vector<std::string> owned = CollectOwnedZips(root);
    g_logger->infof("There are %d QMH-owned zips locally", (int)owned.size());
    for (const std::string& zip : owned) g_logger->debugf("  %s", zip.c_str());

    Manifest target = g_state.loadedManifests.at(keys[0]);
    // A manifest comes from a server: it must not make the installation write over what the
    // installer keeps in the directory.
    RefuseInstallerFilesAsArchives(target);
    CheckSharedArchiveFiles(target, ArchivePaths(target, owned, root));
    Manifest provided = g_state.localManifest;
    // What an interrupted installation downloaded is not fetched again.
    if (!g_state.keptDownloadsKnown) {
        g_state.keptDownloads = AnalyzeDownloadJournal(root);
        g_state.keptDownloadsKnown = true;
    }
    provided.Merge(g_state.keptDownloads);
    for (size_t i = 1; i < keys.size(); i++)
        provided.Merge(g_state.loadedManifests.at(keys[i]).Select(
            [](const FileMetainfo& file) { return file.location != FileLocation::Absent; }));
    g_logger->infof("Collected full manifest: target (%d files) and provided (%d files)", target.size(),
                    provided.size());

    g_logger->infof("Developing update plan");
    auto process = std::make_unique<UpdateProcess>();
    process->Init(std::move(target), std::move(provided), root);
    for (const std::string& zip : owned) process->AddManagedZip(zip);
    for (const DamagedZip& zip : g_state.damagedZips) process->AddDamagedZip(zip.path);
    bool ok = process->DevelopPlan(bitwiseExact ? UpdateType::BitwiseExact : UpdateType::ContentsOnly);
    UpdateStats info = ComputeUpdateStats(*process, SumOfZipSizes(owned));
    ZipSyncAssert(ok == (info.missingSize == 0));

    g_logger->infof("Update statistics:");
    g_logger->infof("  current: %llu", (unsigned long long)info.currentSize);
    g_logger->infof("  final: %llu", (unsigned long long)info.finalSize);
    g_logger->infof("  download: %llu", (unsigned long long)info.downloadSize);
    g_logger->infof("  added: %llu", (unsigned long long)info.addedSize);
    g_logger->infof("  removed: %llu", (unsigned long long)info.removedSize);
    g_logger->infof("  missing: %llu", (unsigned long long)info.missingSize);

    if (!ok) {
        ZipSyncAssert(!customManifestUrl.empty());
        process.reset();
    }
    g_state.updater = std::move(process);
    g_logger->infof("");
    return info;
}

// ---- Installation and finalization ----

void PerformInstallDownload(ProgressIndicator* downloadProgress, ProgressIndicator* verifyProgress) {
    g_logger->infof("Starting installation: download");
    std::unique_ptr<UpdateProcess>& updater = g_state.updater;
    ZipSyncAssert(updater);
    // Checked by the evaluation already; nothing is written before it holds.
    RefuseInstallerFilesAsArchives(updater->GetTargetManifest());
    // The download changes the journal of kept entries, whatever its outcome.
    g_state.keptDownloadsKnown = false;
    Downloader downloader = MakeInstallerDownloader(downloadProgress);
    downloader.SetFollowRedirects(true); // game data is checked by its digests
    updater->DownloadRemoteFiles(downloader,
                                 verifyProgress ? MakeProgressCallback(verifyProgress) : ProgressCallback());
    g_logger->infof("Downloaded bytes: %lld", (long long)downloader.TotalBytesDownloaded());
    g_logger->infof("");
}

void PerformInstallRepack(ProgressIndicator* progress) {
    g_logger->infof("Starting installation: repack");
    std::unique_ptr<UpdateProcess>& updater = g_state.updater;
    ZipSyncAssert(updater);
    updater->RepackZips(progress ? MakeProgressCallback(progress) : ProgressCallback());
    g_logger->infof("Repacking finished");
    g_logger->infof("");
}

namespace {

const int UNPACKED_ARCHIVE_COUNT = sizeof(UNPACKED_ARCHIVES) / sizeof(UNPACKED_ARCHIVES[0]);

struct StagedArchive {
    // Position in UNPACKED_ARCHIVES.
    int index;
    StagedUnpack files;
};

// Every file of the shared archives that exist, checked and written to its temporary name.
std::vector<StagedArchive> StageSharedArchives(const EntryRefusal& refusal) {
    std::vector<StagedArchive> staged;
    for (int i = 0; i < UNPACKED_ARCHIVE_COUNT; i++) {
        UnzFileHolder zf;
        try {
            zf.Open(UNPACKED_ARCHIVES[i]);
        } catch (const ErrorException&) {
            continue;
        }
        StagedUnpack files;
        files.Stage(zf, refusal);
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
// be replaced by staged ones (replaced in one step when they are committed) and names that are
// no loose file (refusal): a state file that lists an archive or the installer's own file.
void DeleteOldFiles(const std::string& root, const std::vector<StagedArchive>& staged,
                    const EntryRefusal& refusal) {
    std::set<std::string> replaced;
    for (const StagedArchive& archive : staged)
        for (const std::string& name : archive.files.Names()) replaced.insert(name);
    std::vector<std::string> names(std::begin(GAME_BINARIES), std::end(GAME_BINARIES));
    names.insert(names.end(), g_state.lastInstall.unpackedFiles.begin(),
                 g_state.lastInstall.unpackedFiles.end());
    for (const std::string& path : FindFilesByName(root, names)) {
        std::string rel = fs::path(path).lexically_relative(root).generic_string();
        std::string problem = refusal(rel);
        if (!problem.empty())
            g_logger->warningf("Old file %s is not deleted: %s", rel.c_str(), problem.c_str());
        else if (!replaced.count(rel))
            RemoveFile(path);
    }
}

void MoveGameConfigAside() {
    if (!IfFileExists(GAME_CONFIG)) return;
    std::string newName = FormatFilenameWithDatetime("Quillmere_%y%m%d_%H%M%S.cfg", "QMH config");
    g_logger->infof("Renaming %s to %s...", GAME_CONFIG, newName.c_str());
    std::error_code ec;
    if (fs::exists(newName, ec))
        g_logger->infof("Failed to rename: destination file already exists.");
    else
        RenameFile(GAME_CONFIG, newName);
    g_state.oldConfigFilename = newName;
}

} // namespace

void PerformInstallFinalize(ProgressIndicator* progress) {
    std::string root = GetCwd();
    std::unique_ptr<UpdateProcess>& updater = g_state.updater;
    ZipSyncAssert(updater);

    Report(progress, 0.0, "Saving resulting manifest...");
    // Entries kept in "__reduced__" zips come out of the repack still marked InPlace, but the
    // clean-up below deletes those zips: they must not enter the saved manifest.
    Manifest installed = updater->GetProvidedManifest().Select([](const FileMetainfo& file) {
        return file.location == FileLocation::InPlace && !IsTemporaryFileName(GetFilename(file.zipPath.rel));
    });
    WriteIniFile(Join(root, MANIFEST_FILE), installed.SaveToIni());
    Report(progress, 0.5, "Manifest saved");

    Report(progress, 0.5, "Cleaning temporary zips...");
    CleanupTemporaryFiles(root);
    RemoveUnpackLeftovers(root);
    // Installed: what was downloaded is in the archives now.
    RemoveDownloadJournal(root);
    Report(progress, 0.6, "Cleaning finished");

    std::set<std::string> zips;
    for (const FileMetainfo& file : installed) zips.insert(file.zipPath.rel);
    std::set<std::string> archives = ArchivePaths(updater->GetTargetManifest(), CollectOwnedZips(root), root);
    archives.insert(zips.begin(), zips.end());
    EntryRefusal refusal = [&](const std::string& name) { return WhyLooseFileRefused(name, archives); };
    // Every file of the shared archives is checked and written aside before any old binary is
    // deleted: one that is refused or cannot be written leaves the old binaries in place.
    std::vector<StagedArchive> staged = StageSharedArchives(refusal);

    Report(progress, 0.6, "Deleting old files...");
    DeleteOldFiles(root, staged, refusal);
    Report(progress, 0.7, "Deleting finished");

    // The repack replaced or removed the damaged archives; the scan's list is spent.
    g_state.damagedZips.clear();

    std::vector<std::string> unpacked = CommitSharedArchives(staged, progress);

    g_state.lastInstall.version = g_state.evaluatedVersion;
    g_state.lastInstall.zips.assign(zips.begin(), zips.end());
    g_state.lastInstall.unpackedFiles = unpacked;

    Report(progress, 0.8, "Saving .zipsync/lastscan.ini...");
    std::vector<std::string> scanned = ScannedFiles(root, CollectOwnedZips(root));
    WriteStateFile(root, LAST_SCAN_PATH, ScanStateToIni(BuildScanState(scanned, root)));
    Report(progress, 0.85, "Saved properly");

    Report(progress, 0.85, "Saving .zipsync/lastinstall.ini...");
    WriteStateFile(root, LAST_INSTALL_PATH, InstallStateToIni(g_state.lastInstall));
    Report(progress, 0.9, "Saved properly");

    Report(progress, 0.9, "Mark as executable...");
    for (const std::string& path :
         FindFilesByName(root, std::vector<std::string>(std::begin(EXECUTABLES), std::end(EXECUTABLES))))
        MarkAsExecutable(path);
    Report(progress, 0.95, "Executables marked");

    Report(progress, 0.95, "Renaming config file...");
    MoveGameConfigAside();
    Report(progress, 1.0, "Renamed config file");

    Report(progress, 1.0, "Finalization complete");
    g_logger->infof("");
}

bool CanRestoreOldConfig() {
    return !g_state.oldConfigFilename.empty();
}

void RestoreOldConfig() {
    ZipSyncAssert(CanRestoreOldConfig());
    g_logger->infof("Restoring %s...", g_state.oldConfigFilename.c_str());
    if (IfFileExists(GAME_CONFIG)) {
        RemoveFile(GAME_CONFIG);
        g_logger->infof("Removed %s", GAME_CONFIG);
    }
    RenameFile(g_state.oldConfigFilename, GAME_CONFIG);
    g_state.oldConfigFilename.clear();
    g_logger->infof("Finished.");
    g_logger->infof("");
}

void CreateDesktopShortcut() {
    const char* target = nullptr;
    for (const char* name : SHORTCUT_TARGETS)
        if (!target && IfFileExists(name)) target = name;
    if (!target) g_logger->errorf(lcGeneral, "Cannot find any QMH executable");
    ShortcutInfo info;
    info.workingDirectory = GetCwd();
    info.executablePath = target;
    info.name = SHORTCUT_NAME;
    info.iconPath = "QMH_icon.ico";
    info.comment = "Quillmere: lanterns, fog and the quiet streets of the mere";
    CreateShortcut(info);
    g_logger->infof("");
}

bool ShortcutExists() {
    bool exists = IfShortcutExists(SHORTCUT_NAME);
    g_logger->infof("");
    return exists;
}

std::vector<std::string> FindFilesByName(const std::string& root, const std::vector<std::string>& names) {
    std::set<std::string> wanted(names.begin(), names.end());
    std::vector<std::string> found;
    for (const std::string& rel : ListFilesRecursively(root))
        if (wanted.count(rel)) found.push_back(Join(root, rel));
    return found;
}

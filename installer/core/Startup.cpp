#include "Startup.h"

#include "ExecutableHeader.h"
#include "InstallerFiles.h"
#include "LogUtils.h"
#include "ManifestCache.h"
#include "OsUtils.h"
#include "base/Hash.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "base/Utils.h"
#include "net/RemoteChecksummedZip.h"
#include "update/DirectoryLock.h"
#include "update/DownloadJournal.h"
#include "zip/ChecksummedZip.h"
#include "zip/IniFile.h"

#include <filesystem>
#include <memory>
#include <stdio.h>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const char* const INSTALLER_PAYLOAD = "qmh_installer.exe";
#else
const char* const INSTALLER_PAYLOAD = "qmh_installer.linux64";
#endif

// The logger installed by StartLogFile. It lives until the next StartLogFile replaces it and is
// never destroyed at exit, so that messages logged during static destruction still have a logger.
LoggerQmh* g_fileLogger = nullptr;

// The lock of the install directory, taken by the first start-up and held until the process
// ends; the system releases it then, however the process ends.
DirectoryLock g_directoryLock;

// Puts each warning to the view; false when one of them was answered with "stop".
bool ConfirmWarnings(SequenceView& view, const std::vector<std::string>& warnings) {
    for (const std::string& warning : warnings)
        if (!view.ConfirmWarning(warning)) return false;
    return true;
}

} // namespace

std::string GetConfigUrl() {
    return GetUpdateServerUrl() + "/zipsync/" + CONFIG_FILE;
}

std::string GetInstallerUrl() {
    return GetUpdateServerUrl() + "/zipsync/" + INSTALLER_PAYLOAD + ".zip";
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

    std::string probe = JoinPath(checked, PERMISSIONS_PROBE);
    g_logger->infof("Test writing file %s", probe.c_str());
    // The probe is the installer's own file: never written through a link, never a FIFO.
    if (IsSymbolicLink(probe)) g_logger->errorf(lcGeneral, "Path %s is a symbolic link", probe.c_str());
    RefuseNonRegularFile(probe);
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
    double freeMb = double((availableSpace ? availableSpace(checked) : GetAvailableSpace(checked)) >> 20);
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

void RefuseLinksAmongInstallerFiles(const std::string& root) {
    for (const char* rel : {CONFIG_FILE, MANIFEST_FILE, LAST_SCAN_PATH, LAST_INSTALL_PATH, MANIFEST_CACHE_DIR,
                            kDownloadJournalDir, kDirectoryLockFile})
        RefuseLinksBelowRoot(JoinPath(root, rel), root);
}

void LockInstallDirectory() {
    if (g_directoryLock.IsLocked()) return;
    g_directoryLock = DirectoryLock(GetCwd());
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

bool NeedsSelfUpdate(const NetworkOptions& network, ProgressIndicator* progress) {
    std::string exe = GetExecutablePath();
    std::string tempExe = exe + TEMP_EXE_SUFFIX;
    std::string tempZip = exe + TEMP_ZIP_SUFFIX;
    std::string url = GetInstallerUrl();

    g_logger->infof("Computing hash of myself at %s...", exe.c_str());
    HashDigest myHash = DigestOfFile(exe);
    g_logger->infof("My hash is %s", myHash.Hex().c_str());

    g_logger->infof("Checking installer executable at %s...", url.c_str());
    HashDigest serverHash;
    {
        Downloader downloader = MakeInstallerDownloader(network, progress);
        serverHash = DownloadChecksummedZipHashes(downloader, {url})[0];
        g_logger->infof("Downloaded bytes: %lld", (long long)downloader.TotalBytesDownloaded());
    }
    g_logger->infof("Hash of installer on server is %s", serverHash.Hex().c_str());
    if (serverHash == myHash) {
        g_logger->infof("Hashes match, update not needed");
        return false;
    }

    // The new build goes beside the executable, into the installer's own files.
    std::string dir = GetExecutableDir();
    for (const std::string& path : {tempZip, tempExe}) RefuseLinksBelowRoot(path, dir);
    g_logger->infof("Downloading installer executable from %s...", url.c_str());
    {
        Downloader downloader = MakeInstallerDownloader(network, progress);
        downloader.SetOpenEndedResponseLimit(MAX_INSTALLER_SIZE);
        std::vector<std::string> outPaths = {tempZip};
        DownloadChecksummedZips(downloader, {url}, {serverHash}, {}, outPaths);
        g_logger->infof("Downloaded bytes: %lld", (long long)downloader.TotalBytesDownloaded());
        const std::string& exeZipPath = tempZip;
        ZipSyncAssert(exeZipPath == outPaths[0]);
    }

    g_logger->infof("Unpacking data from %s to temporary file %s", tempZip.c_str(), tempExe.c_str());
    std::vector<uint8_t> data = ReadChecksummedZip(tempZip, INSTALLER_PAYLOAD, MAX_INSTALLER_SIZE);
    std::string problem = WhyNotExecutableForThisPlatform(data);
    if (!problem.empty()) {
        RemoveFile(tempZip);
        g_logger->errorf(lcGeneral, "Refusing the installer published at %s: %s", url.c_str(),
                         problem.c_str());
    }
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

InstallerConfig ReadConfigFile(bool download, const NetworkOptions& network, ProgressIndicator* progress) {
    if (download) {
        std::string url = GetConfigUrl();
        g_logger->infof("Downloading config file from %s...", url.c_str());
        RefuseLinksBelowRoot(JoinPath(GetCwd(), CONFIG_FILE), GetCwd());
        Downloader downloader = MakeInstallerDownloader(network, progress);
        downloader.SetOpenEndedResponseLimit(MAX_CONFIG_FILE_SIZE);
        downloader.EnqueueDownload(DownloadSource(url), [](const void* data, uint32_t len) {
            StdioFileHolder file(CONFIG_FILE, "wb");
            size_t res = fwrite(data, 1, len, file);
            ZipSyncAssert(res == len);
        });
        downloader.DownloadAll();
        g_logger->infof("Downloaded bytes: %lld", (long long)downloader.TotalBytesDownloaded());
    }
    g_logger->infof("Reading INI file %s", CONFIG_FILE);
    IniData ini = ReadIniFile(CONFIG_FILE, INI_FORMAT_BY_NAME, MAX_CONFIG_FILE_SIZE);
    g_logger->infof("Loading installer config from it");
    InstallerConfig config;
    config.InitFromIni(ini);
    g_logger->infof("");
    return config;
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
    std::string newPath = JoinPath(dir, GetExecutableName());
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

std::optional<StartupResult> RunStartup(const StartupOptions& options, SequenceView& view) {
    if (!ConfirmWarnings(view, CheckSpaceAndPermissions(GetCwd(), options.availableSpace)))
        return std::nullopt;
    RefuseLinksAmongInstallerFiles(GetCwd());
    // Before the log: a second installer in the directory stops here and changes nothing.
    LockInstallDirectory();
    StartLogFile();
    if (SelfUpdateFailed()) {
        std::string message =
            "The installer could not replace itself by the new build it downloaded; it goes "
            "on as it is. Start it again to retry.";
        g_logger->warningf("%s", message.c_str());
        view.Inform(message);
    } else if (options.selfUpdate) {
        bool downloaded;
        {
            std::unique_ptr<StageScope> stage = view.BeginStage(Stage::SelfUpdate);
            downloaded = NeedsSelfUpdate(options.network, stage->Progress());
        }
        if (downloaded) {
            view.Inform("New version of installer has been downloaded. Installer will be restarted to finish "
                        "update.");
            DoSelfUpdate();
        }
    }
    StartupResult result;
    {
        std::unique_ptr<StageScope> stage = view.BeginStage(Stage::ConfigDownload);
        result.config = ReadConfigFile(options.downloadConfig, options.network, stage->Progress());
    }
    {
        std::unique_ptr<StageScope> stage = view.BeginStage(Stage::Scan);
        result.scan = ScanInstallDirIfNecessary(options.forceScan, stage->Progress());
    }
    return result;
}

void RunRestart(const std::string& dir, const AvailableSpaceFunction& availableSpace, SequenceView& view) {
    if (!ConfirmWarnings(view, CheckSpaceAndPermissions(dir, availableSpace))) return;
    RestartWithInstallDir(dir);
}

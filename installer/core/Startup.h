// The start-up of every installation, run when the settings page is confirmed: the install
// directory's checks, the log file, the installer's own update, the configuration and the scan
// (RunStartup), and the restart of the installer in another directory (RunRestart).
//
// The steps are free functions that work on the current working directory, the install
// directory, and report progress through the indicator they are given (may be null); the two
// sequences run them in order and report to a SequenceView. Failures raise ErrorException.
#pragma once

#include "InstallerConfig.h"
#include "InstallerDownloader.h"
#include "Scan.h"
#include "SequenceView.h"
#include "base/ProgressIndicator.h"

#include <functional>
#include <optional>
#include <stdint.h>
#include <string>
#include <vector>

// The official server's configuration file: <server>/zipsync/qmh_installer.ini.
std::string GetConfigUrl();
// The official server's checksummed zip of this build of the installer executable.
std::string GetInstallerUrl();

// Available bytes for the user at a path (GetAvailableSpace by default); tests replace it.
using AvailableSpaceFunction = std::function<uint64_t(const std::string& path)>;

// Checks that dir (or, when it does not exist yet, its nearest existing ancestor) can hold an
// installation: a probe file "__permissions_test" must be creatable there (it is removed
// again; a link or anything but a regular file in its place is refused, "Path %s is a symbolic
// link" or "%s is not a regular file (a FIFO)"), and at least 100 MB must be free. Raises
// "Invalid installation directory ...", "Cannot write anything in installation directory ..."
// or "Only %0.0lf MB of free space ...";
// returns the warnings the user should confirm (one when less than 5120 MB are free). An empty
// availableSpace means the real one.
std::vector<std::string> CheckSpaceAndPermissions(const std::string& dir,
                                                  const AvailableSpaceFunction& availableSpace = {});

// Raises "Path %s is a symbolic link" (RefuseLinksBelowRoot) when one of the installer's own
// files or folders in root, the install directory, is a symbolic link: the configuration, the
// manifest, ".zipsync" and what the installer keeps there (the state files, the manifest cache,
// the download journal, the lock). None of them is ever written or deleted through a link; the
// start-up checks them all before it changes anything.
void RefuseLinksAmongInstallerFiles(const std::string& root);

// Takes the lock of the working directory (DirectoryLock) for the rest of the process, unless
// this process holds it already: "Another installation or update is running in %s; try again
// once it has finished" when another installer (or `zipsync update`) holds it.
void LockInstallDirectory();

// Makes a LoggerQmh the process-wide logger and opens its log file in the working directory
// (kept when already open), then logs the install directory.
void StartLogFile();

// Compares the digest of the running executable with the installer published on the official
// server (fetching only the hash of its checksummed zip). When they differ, downloads the
// published one and leaves it as "<executable>.__temp__" beside the executable; returns whether
// it did. The published zip and its payload may hold at most MAX_INSTALLER_SIZE bytes, and the
// payload must be an executable of this platform ("Refusing the installer published at %s: %s",
// WhyNotExecutableForThisPlatform); the files beside the executable are never written through a
// link.
bool NeedsSelfUpdate(const NetworkOptions& network, ZipSync::ProgressIndicator* progress);
// Replaces the executable by "<executable>.__temp__" and restarts it; never returns.
[[noreturn]] void DoSelfUpdate();

// When download is set, fetches the configuration from the official server into
// "qmh_installer.ini" (never through a link); then parses that file and returns it. The file
// may hold at most MAX_CONFIG_FILE_SIZE bytes, downloaded or not.
InstallerConfig ReadConfigFile(bool download, const NetworkOptions& network,
                               ZipSync::ProgressIndicator* progress);

// Copies the installer into dir (created with its parents when missing) and starts the copy
// there; never returns. When dir already holds this executable it is restarted without copying.
[[noreturn]] void RestartWithInstallDir(const std::string& dir);

// The choices of the settings page.
struct StartupOptions {
    bool selfUpdate = true;
    // Otherwise "qmh_installer.ini" in the install directory is used as it is.
    bool downloadConfig = true;
    // Analyse every archive even when the last scan seems to hold.
    bool forceScan = false;
    NetworkOptions network;
    AvailableSpaceFunction availableSpace;
};

struct StartupResult {
    InstallerConfig config;
    LocalScan scan;
};

// The settings page's sequence: CheckSpaceAndPermissions on the working directory (each warning
// put to the view; a "stop" ends the sequence with nothing), RefuseLinksAmongInstallerFiles,
// LockInstallDirectory, StartLogFile;
// when a restart script could not replace the installer (SelfUpdateFailed), the warning "The
// installer could not replace itself by the new build it downloaded; ..." to the view, and no
// self-update in this process; otherwise, unless
// options.selfUpdate is off, NeedsSelfUpdate (stage SelfUpdate) and, when a new installer was
// downloaded, the news "New version of installer has been downloaded. Installer will be restarted
// to finish update." and DoSelfUpdate; ReadConfigFile (stage ConfigDownload, downloading unless
// told not to); ScanInstallDirIfNecessary (stage Scan). Returns the configuration and the scan.
std::optional<StartupResult> RunStartup(const StartupOptions& options, SequenceView& view);

// The restart in another directory: CheckSpaceAndPermissions on dir (each warning put to the
// view; a "stop" returns), then RestartWithInstallDir, which does not return.
void RunRestart(const std::string& dir, const AvailableSpaceFunction& availableSpace, SequenceView& view);

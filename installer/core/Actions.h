// The installer's actions: the steps the wizard's pages run, one free function each.
//
// Every action works on the current working directory, which is the install directory (the
// entry point makes the installer's own directory the working directory; installing elsewhere
// means copying the installer there and restarting it). Actions share their data through
// g_state (InstallerState.h): the configuration, the local manifest, the last-install state,
// the loaded manifests and the update process. They log at info level (lists at debug level)
// through g_logger, report progress through the ProgressIndicator they are given (may be null
// where said), and fail by raising ErrorException; they never show a window.
//
// Calling order: settings page CheckSpaceAndPermissions, StartLogFile, NeedsSelfUpdate (and
// DoSelfUpdate), ReadConfigFile, ScanInstallDirIfNecessary; version page EvaluateVersion;
// installation page PerformInstallDownload, PerformInstallRepack, PerformInstallFinalize;
// finishing page RestoreOldConfig, CreateDesktopShortcut. UnpackZip (UnpackZip.h) serves the
// finalisation.
#pragma once

#include "InstallerDownloader.h"
#include "UnpackZip.h"
#include "base/ProgressIndicator.h"
#include "update/UpdateStats.h"

#include <functional>
#include <stdint.h>
#include <string>
#include <vector>

// ---- Downloads ----

// MakeInstallerDownloader (InstallerDownloader.h) makes every downloader of the actions.

// The official server's configuration file: <server>/zipsync/qmh_installer.ini.
std::string GetConfigUrl();
// The official server's checksummed zip of this build of the installer executable.
std::string GetInstallerUrl();

// ---- Start-up checks, configuration and self-update ----

// Available bytes for the user at a path (GetAvailableSpace by default); tests replace it.
using AvailableSpaceFunction = std::function<uint64_t(const std::string& path)>;

// Checks that dir (or, when it does not exist yet, its nearest existing ancestor) can hold an
// installation: a probe file "__permissions_test" must be creatable there (it is removed
// again), and at least 100 MB must be free. Raises "Invalid installation directory ...",
// "Cannot write anything in installation directory ..." or "Only %0.0lf MB of free space ...";
// returns the warnings the user should confirm (one when less than 5120 MB are free).
std::vector<std::string> CheckSpaceAndPermissions(const std::string& dir);
std::vector<std::string> CheckSpaceAndPermissions(const std::string& dir,
                                                  const AvailableSpaceFunction& availableSpace);

// Makes a LoggerQmh the process-wide logger and opens its log file in the working directory
// (kept when already open), then logs the install directory.
void StartLogFile();

// Compares the digest of the running executable with the installer published on the official
// server (fetching only the hash of its checksummed zip). When they differ, downloads the
// published one and leaves it as "<executable>.__temp__" beside the executable; returns whether
// it did. progress may be null.
bool NeedsSelfUpdate(ZipSync::ProgressIndicator* progress);
// Replaces the executable by "<executable>.__temp__" and restarts it; never returns.
[[noreturn]] void DoSelfUpdate();

// Empties g_state.config; when download is set, fetches the configuration from the official
// server into "qmh_installer.ini"; then parses that file into g_state.config. On a failure the
// configuration stays empty. progress may be null.
void ReadConfigFile(bool download, ZipSync::ProgressIndicator* progress);

// Copies the installer into dir (created with its parents when missing) and starts the copy
// there; never returns. When dir already holds this executable it is restarted without copying.
[[noreturn]] void RestartWithInstallDir(const std::string& dir);

// ---- Local scan and version evaluation ----

// Absolute paths of the game's archives under root, in listing order: the files whose path
// relative to root matches one of the owned-archive rules ("qmh_*.pk4", "qmh_*.zip",
// "fms/qmh_*.pk4", "fms/harborjob/*.pk4", ...) or is one of g_state.lastInstall.zips. A listed
// file that matches no rule counts only when it looks like a zip (else a warning names it and
// it is left alone); links and the installer's own files (InstallerFiles.h) never count.
std::vector<std::string> CollectOwnedZips(const std::string& root);

// Fills g_state.lastInstall from ".zipsync/lastinstall.ini"; an empty state when the file is
// missing or unreadable. Never raises.
void ReadLastInstallInfo();

// Whether the scanned files (owned archives followed by root + "/manifest.iniz") differ from
// what ".zipsync/lastscan.ini" recorded. An unreadable state file means true (and empties the
// local manifest). Never raises.
bool NeedsRescan(const std::string& root, const std::vector<std::string>& scanned);

// Fills g_state.localManifest with what the install directory provides: cleans temporary
// files, reads the last-install state, then analyses the owned archives (saving
// "manifest.iniz" and ".zipsync/lastscan.ini") when forced or when anything changed, else
// loads "manifest.iniz". An owned archive that cannot be analysed even after normalisation is
// damaged: logged, left out of the manifest and of the recorded scan state (so that every scan
// analyses again until it is replaced) and listed in g_state.damagedZips. Finally every owned
// archive and the manifest must be writable, else raises "...Please make sure no
// Quillmere-related programs are running and try again." progress may be null.
void ScanInstallDirIfNecessary(bool force, ZipSync::ProgressIndicator* progress);

// Develops the update plan for version (or, with a non-empty customManifestUrl, for that
// manifest on top of version as its base): loads the manifests of the version and of every
// version it depends on (cache ".zipsync/mani", then download), and stores the new process in
// g_state.updater; the archives the scan found damaged are replaced (or removed) by that
// process without being read. Returns the plan's statistics. With a custom manifest whose files
// are not all available, g_state.updater becomes empty and the statistics show a non-zero
// missingSize. A target that names one of the installer's own files as an archive ("Refusing to
// install archive %s: it is %s") or holds a shared-archive file that the finalisation would
// refuse ("Refusing to unpack entry ...") fails before anything is downloaded. On failure the
// previous updater stays. progress may be null.
ZipSync::UpdateStats EvaluateVersion(const std::string& version, const std::string& customManifestUrl,
                                     bool bitwiseExact, ZipSync::ProgressIndicator* progress);

// ---- Installation and finalization ----

// Downloads the remote files of g_state.updater into temporary archives and verifies them; first
// refuses a target archive that is one of the installer's own files, as the evaluation does.
// downloadProgress and verifyProgress may be null.
void PerformInstallDownload(ZipSync::ProgressIndicator* downloadProgress,
                            ZipSync::ProgressIndicator* verifyProgress);
// Rebuilds the archives of g_state.updater. progress may be null.
void PerformInstallRepack(ZipSync::ProgressIndicator* progress);
// Records the finished installation: saves "manifest.iniz", removes temporary files, deletes
// the old game binaries and previously unpacked files, unpacks "qmh_shared_stuff.zip", writes
// ".zipsync/lastscan.ini" and ".zipsync/lastinstall.ini", marks the Linux game executables
// and moves "Quillmere.cfg" aside (recording its new name in g_state.oldConfigFilename).
// Every file of the shared archive is checked (no installer file, game archive or temporary
// name) and written aside before any old file is deleted, so that a refused or unwritable one
// leaves the old binaries; the staged files then replace theirs in one rename each. An old file
// that is a game archive or an installer file is never deleted as a binary. progress may be null.
void PerformInstallFinalize(ZipSync::ProgressIndicator* progress);

// True when the finalisation moved a configuration file aside that was not restored yet.
bool CanRestoreOldConfig();
// Moves the set-aside configuration file back to "Quillmere.cfg" (replacing one there).
void RestoreOldConfig();
// Creates the desktop shortcut "Quillmere" to the game executable; raises "Cannot find any QMH
// executable" when none is installed.
void CreateDesktopShortcut();
bool ShortcutExists();

// root joined with every file under root (recursively, in listing order) whose path relative
// to root, with '/' separators, equals one of names.
std::vector<std::string> FindFilesByName(const std::string& root, const std::vector<std::string>& names);

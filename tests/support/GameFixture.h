// Two versions of a small game installation (written by make_game.py) and the steps of a whole
// update from one to the other, for the engine's end-to-end tests and benchmarks.
//
// GetGameVersions generates A and B once per process into a directory that lives until the
// process exits, and analyses both (which brings the Info-ZIP archive into normal form, as the
// installer's scan would). Tests copy A into their own directory and update the copy.
#pragma once

#include "base/ProgressIndicator.h"
#include "update/UpdateProcess.h"
#include "update/UpdateStats.h"
#include "zip/Manifest.h"
#include "zip/ZipAnalysis.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <stdint.h>
#include <string>
#include <vector>

namespace ZipSync {
class Downloader;
}

struct GameVersions {
    // Pristine copies; only read, never updated.
    std::string dirA, dirB;
    // Every archive of A (user's included) and of B, analysed with their directory as root.
    ZipSync::Manifest manifestA, manifestB;
    // Relative paths: the game's archives of each version, and the user's own files in A
    // (base/zz_usermod.pk4 among them).
    std::vector<std::string> archivesA, archivesB, userFiles;

    // The archives of A and of B: those an update may rewrite or delete.
    std::vector<std::string> ProductArchives() const;
};

const GameVersions& GetGameVersions();

// Copies the directory tree from into to (created when missing, merged into when it exists), or
// the single file from to the new file to.
void CopyDirectory(const std::string& from, const std::string& to);
// An installation made from the tree of a published version: a copy of the tree at install
// (which must not exist yet) without the tree's "manifest.iniz", as a player's directory holds
// the version's archives.
void InstallPublishedTree(const std::string& tree, const std::string& install);
// Relative path -> contents of every regular file below dir.
std::map<std::string, std::string> SnapshotFiles(const std::string& dir);
// Whether two snapshots hold the same files with the same contents; the failure names the
// files that differ (never their bytes).
::testing::AssertionResult SameFiles(const std::map<std::string, std::string>& actual,
                                     const std::map<std::string, std::string>& expected);
// The snapshot without the files of the download journal (".zipsync/download/").
std::map<std::string, std::string> OutsideJournal(std::map<std::string, std::string> files);
// Relative paths of the ".pk4" files below dir, sorted.
std::vector<std::string> ListArchives(const std::string& dir);

// One update as the installer runs it.
struct UpdateRequest {
    std::string rootDir;
    // Relative to any root; the update re-attaches it to rootDir.
    const ZipSync::Manifest* target = nullptr;
    // What the mirror at mirrorUrl (a root URL ending in '/') serves, relative paths.
    const ZipSync::Manifest* mirror = nullptr;
    std::string mirrorUrl;
    // Archives the update owns, relative to rootDir (those present become managed).
    std::vector<std::string> product;
    ZipSync::UpdateType type = ZipSync::UpdateType::ContentsOnly;
    // Given to the downloader, the verification and the repacking (may be empty).
    ZipSync::ProgressCallback progress;
    // Called with the fresh downloader before the download (may be empty).
    std::function<void(ZipSync::Downloader&)> configureDownloader;
    // Whether the update starts with CleanupTemporaryFiles, as the installer's scan does.
    bool cleanupFirst = true;
    // Called after the download and after the repack (before the final clean-up).
    std::function<void(ZipSync::UpdateProcess&)> afterDownload, afterRepack;
    // Whether archives the scan cannot analyse are repaired (left out of the scan and marked
    // damaged) instead of failing the update.
    bool repairDamaged = false;
};

struct UpdateResult {
    bool planComplete = false;
    ZipSync::UpdateStats stats;
    uint64_t bytesDownloaded = 0;
    // The archives the scan found damaged (with repairDamaged).
    std::vector<ZipSync::DamagedZip> damaged;
};

// The scan of rootDir: every ".pk4" below it that is not a temporary file, analysed
// (normalised on failure), one thread. With damaged, archives that cannot be analysed are
// left out and listed there (see AnalyzeZips).
ZipSync::Manifest ScanInstallation(const std::string& rootDir,
                                   std::vector<ZipSync::DamagedZip>* damaged = nullptr);

// CleanupTemporaryFiles and the scan, then the engine's UpdateSequence with the download journal's
// kept entries and the mirror as further providers: the plan, and when it is complete Execute
// (download, repack, clean-up, the journal removed; the clean-up after a failure). Failures
// propagate as ErrorException.
UpdateResult RunUpdate(const UpdateRequest& request);

// Whether rootDir holds exactly version B and the user's files of A: B's archives (each
// byte-identical to B's when bitwise, otherwise with B's entries, each with B's name, contents
// and header values, in any order within an archive), the user's files unchanged, and no other file.
::testing::AssertionResult HoldsVersionB(const std::string& rootDir, bool bitwise);

#ifndef _WIN32
// Runs body in a forked child process and returns its wait status. The child ends with exit
// status 0 when body returns, 3 when it throws; it never returns into the test. (Windows has
// no fork.)
int RunInChild(const std::function<void()>& body);
#endif

// The state the installer keeps between runs in the install directory's ".zipsync" folder.
//
// ScanState records the game's zips as they were when last analysed (path, last-write time,
// size), stored in ".zipsync/lastscan.ini"; a fresh ScanState equal to the stored one means
// the saved manifest can be reused instead of analysing again. InstallState records the last
// completed installation (version, the zips it installed, the files it unpacked), stored in
// ".zipsync/lastinstall.ini". This header converts between the records and their INI form and
// writes the files; the callers read them.
//
// The readers repair nothing: a malformed file fails an assertion (ErrorException, lcGeneral)
// and the caller falls back (full analysis, empty install state).
#pragma once

#include "base/Hash.h"
#include "base/Ini.h"

#include <map>
#include <stdint.h>
#include <string>
#include <vector>

// Paths of the two state files relative to the install directory.
static const char* const LAST_SCAN_PATH = ".zipsync/lastscan.ini";
static const char* const LAST_INSTALL_PATH = ".zipsync/lastinstall.ini";

struct ZipScanEntry {
    // Relative to the install directory.
    std::string path;
    // Last-write time in whole seconds; only ever compared.
    uint64_t modTime = 0;
    // File size, low 32 bits.
    uint32_t size = 0;
    // Last-write time in the system's finest steps (GetFileTimeNs): in memory only, never saved
    // nor compared by ==, for noticing that a file changed within a second during one run.
    int64_t modTimeNs = 0;
};
bool operator==(const ZipScanEntry& a, const ZipScanEntry& b);
bool operator!=(const ZipScanEntry& a, const ZipScanEntry& b);

// Entries in order; two scan states are equal when they are equal position by position, so
// only a state stored from a sorted one (BuildScanState's) compares equal to a fresh one.
typedef std::vector<ZipScanEntry> ScanState;

// One entry per zip (absolute paths inside rootDir), sorted by path as byte strings. A zip
// outside rootDir fails with the path layer's message; one that cannot be examined with
// "Failed to open file \"%s\"" (lcCantOpenFile).
ScanState BuildScanState(const std::vector<std::string>& zipPaths, const std::string& rootDir);
// One section "Zip <path>" per entry, in order, with "modTime" then "size".
ZipSync::IniData ScanStateToIni(const ScanState& state);
// archives (the state of owned archives) with the present state of rootDir's "manifest.iniz"
// joined in, sorted as BuildScanState sorts: what a scan state records. Fails like
// BuildScanState when the manifest cannot be examined.
ScanState WithManifestState(ScanState archives, const std::string& rootDir);
// What a scan state records: the owned archives (absolute paths) followed by root joined with
// "manifest.iniz", the installation's manifest, so that a changed or missing manifest is noticed.
std::vector<std::string> ScannedFiles(const std::string& root, const std::vector<std::string>& ownedZips);
// Entries in file order. Fails the assertion "false" for a section not named "Zip ...",
// sec[0].first == "modTime" or sec[1].first == "size" for a missing or misplaced key, and
// "k == 1" for a value that does not begin with a number. Further keys are ignored.
ScanState ScanStateFromIni(const ZipSync::IniData& ini);

struct InstallState {
    // Name of the installed version; empty when unknown.
    std::string version;
    // Zips of the installation and files it unpacked from zips, in the installer's order.
    std::vector<std::string> zips;
    std::vector<std::string> unpackedFiles;
    // The BLAKE2s of each unpacked file's contents as it was written, by name; a file that an
    // older installer unpacked has none.
    std::map<std::string, ZipSync::HashDigest> unpackedHashes;
};
bool operator==(const InstallState& a, const InstallState& b);
bool operator!=(const InstallState& a, const InstallState& b);

// Section "Version" (key "version", written even when empty), then "Zip <path>" per zip without
// keys and "UnpackedFile <path>" per unpacked file, with the key "contentsHash" (64 hex digits)
// when its digest is known. Older installers ignore the keys of these sections, and read the
// file as before.
ZipSync::IniData InstallStateToIni(const InstallState& state);
// Walks the sections in order: "Version" sets version (the last one wins; its first key must
// be "version", else the assertion sec[0].first == "version" fails), "Zip " and
// "UnpackedFile " sections append the rest of their names, and the "contentsHash" of an
// "UnpackedFile " section that holds a valid digest becomes its unpackedHashes entry (a file
// written by an older installer has none); anything else is ignored.
InstallState InstallStateFromIni(const ZipSync::IniData& ini);

// The most bytes a state file may hold; a longer one is unreadable (and the state unknown).
static const uint64_t MAX_STATE_FILE_SIZE = uint64_t(16) << 20;
// Reads the state file root joined with relPath (one of the two paths above), at most
// MAX_STATE_FILE_SIZE bytes (ReadIniFile's message otherwise).
ZipSync::IniData ReadStateFile(const std::string& root, const char* relPath);
// Writes ini to root joined with relPath (one of the two paths above, or the installation's
// manifest) with WriteIniFile, after creating its directory with missing parents; never through
// a symbolic link ("Path %s is a symbolic link" for ".zipsync" or the file).
void WriteStateFile(const std::string& root, const char* relPath, const ZipSync::IniData& ini);

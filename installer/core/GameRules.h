// The game's rules: which files of the install directory belong to the game, and what the
// finalisation of an installation replaces, unpacks and marks.
//
// A file belongs to the game ("owned") when its path relative to the install directory matches
// one of the owned-archive rules (a prefix and a suffix: "qmh_*.pk4", "fms/harborjob/*.pk4", ...)
// or when the last installation recorded it as one of its archives. Everything else, other
// archives included, is the player's and is left alone. The game's loose binaries come from a
// shared archive that every installation unpacks again; the names here are relative to the
// install directory and compare exactly.
#pragma once

#include "StoredState.h"
#include "zip/Manifest.h"

#include <set>
#include <string>
#include <vector>

// Deleted before the shared archive is unpacked again.
inline constexpr const char* GAME_BINARIES[] = {
    "Quillmere.exe",  "Quillmerex64.exe", "Vantrel.dll",        "Vantrelx64.dll",
    "quillmere.x86",  "quillmere.x64",    "logicx86.dll",       "logicx86.so",
    "qmh_update.exe", "qmh_update.linux", "qmh_update.linux64",
};
// The archives unpacked into the install directory by the finalisation.
inline constexpr const char* UNPACKED_ARCHIVES[] = {"qmh_shared_stuff.zip"};
// Marked as executable after unpacking.
inline constexpr const char* EXECUTABLES[] = {"quillmere.x86", "quillmere.x64"};
// What the desktop shortcut starts, in order of preference.
#ifdef _WIN32
inline constexpr const char* SHORTCUT_TARGETS[] = {"Quillmerex64.exe", "Quillmere.exe"};
#else
inline constexpr const char* SHORTCUT_TARGETS[] = {"quillmere.x64", "quillmere.x86"};
#endif
// The game's configuration file, moved aside by the finalisation.
static const char* const GAME_CONFIG = "Quillmere.cfg";
static const char* const SHORTCUT_NAME = "Quillmere";

// Whether relPath ('/' separators) matches one of the owned-archive rules.
bool MatchesOwnedZipRule(const std::string& relPath);
// Whether relPath is one of UNPACKED_ARCHIVES.
bool IsUnpackedArchive(const std::string& relPath);

// Absolute paths of the game's archives under root, sorted by relative path: the files whose
// path relative to root matches an owned-archive rule or is one of lastInstallZips. A listed file
// that matches no rule counts only when it is the file the installer left there: a zip whose
// size and modification time are those that the recorded scan state (".zipsync/lastscan.ini",
// written whenever the installer has analysed or installed its archives) holds for it. Any
// other listed file is the player's and is left alone, with a warning naming it. Links and the
// installer's own files (InstallerFiles.h) never count.
std::vector<std::string> CollectOwnedZips(const std::string& root,
                                          const std::vector<std::string>& lastInstallZips,
                                          const ScanState& recorded);

// Why a loose file of a shared archive may not be written where its name says (beyond what no
// unpacking accepts), empty when it may: it would take the place of one of the installer's own
// files ("it is " and DescribeInstallerFile's text), of a game archive (one of archives, or any
// name the owned-archive rules match, which the next scan would take for an archive: "it is a
// game archive"), or of a temporary file, which the next clean-up deletes ("it is named like a
// temporary file").
std::string WhyLooseFileRefused(const std::string& name, const std::set<std::string>& archives);

// Whether name is one of GAME_BINARIES.
bool IsGameBinary(const std::string& name);

// What stands at root joined with the loose file name of a shared archive, whose new contents
// have the digest contentsHash, when it is not the installer's to replace (empty when it is):
// nothing may be there, or one of the game's binaries (by name), or a regular file that the last
// installation unpacked and that still has the digest it was unpacked with, or one that holds
// the new contents already. Anything else (the player's configuration, a savegame, a link) is
// the player's: "a file that the installer did not unpack is in its place".
std::string WhyPlaceTaken(const std::string& root, const std::string& name,
                          const ZipSync::HashDigest& contentsHash, const InstallState& lastInstall);
// Whether a file that the last installation unpacked, at root joined with name, may be deleted:
// a regular file that still has the digest it was unpacked with. A file recorded without one
// (by an older installer) or changed since stays.
bool StillAsUnpacked(const std::string& root, const std::string& name, const InstallState& lastInstall);

// The archives of an installation, relative to root: those of the target and the owned ones
// (absolute paths under root).
std::set<std::string> GameArchives(const ZipSync::Manifest& target, const std::vector<std::string>& ownedZips,
                                   const std::string& root);

// root joined with every file under root (ListFilesRecursively) whose path relative to root
// equals one of names, in listing order.
std::vector<std::string> FindFilesByName(const std::string& root, const std::vector<std::string>& names);

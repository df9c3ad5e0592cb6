// Paths of the engine and the few file-system operations that work on them.
//
// Every path uses '/' as its only separator; a backslash is a forbidden character. A file is
// named twice: by an absolute path (or URL) and by its path relative to a root directory (the
// install directory or the base URL of a mirror). PathAR keeps both forms together and is built
// only through FromAbs and FromRel, which validate their input with ValidatePath.
//
// A file inside a zip has a "full name": the zip's path, "||", and the name inside the zip.
//
// Every failure is raised through g_logger->errorf with lcGeneral and so throws ErrorException.
// The file-system operations go through the platform file (base/Platform.h): UTF-8 paths, which
// reach Windows as wide characters.
#pragma once

#include "base/Logging.h"

#include <string>

namespace ZipSync {

// Throws unless the path obeys the engine's path syntax: not empty and not "/"; no byte below
// 0x20; none of the characters \ | [ ] = ? &; no leading '.'. A relative path must furthermore
// contain no ':', must not start with '/', and its ".." components must never climb above
// its start ("a/../b" passes, "a/../../b" does not).
void ValidatePath(const std::string& path, bool isRelative);
// Throws unless the relative path of an archive names it one way only: no empty, "." or ".."
// component ("a//b.pk4", "./a.pk4", "x/../a.pk4"), so that two names never alias one file.
// Names of entries inside archives are no file-system paths and are not checked this way.
void ValidateArchivePath(const std::string& relPath);

struct PathAR {
    // Absolute path or URL: the root, '/' unless the root ends with '/', then rel.
    std::string abs;
    // The same location relative to the root, without a leading '/'.
    std::string rel;

    // Validates root and absPath as absolute paths; absPath must lie strictly inside root
    // (byte-wise prefix followed by '/'). rel is what follows; it may be empty when absPath
    // is root + "/", and it must not climb above the root through ".." components.
    static PathAR FromAbs(const std::string& absPath, const std::string& rootDir);
    // Validates root as absolute and relPath as relative, then joins them.
    static PathAR FromRel(const std::string& relPath, const std::string& rootDir);
    // True when path starts with "http://" exactly (case-sensitive; "https://" is not).
    static bool IsHttp(const std::string& path);
};

// The part before the last '/'; asserts that there is one.
std::string GetDirPath(const std::string& somePath);
// The part after the last '/', or the whole path when it has none; asserts that the path does
// not end with '/'.
std::string GetFilename(const std::string& somePath);

// dir, '/' and name, with no second '/' where dir ends with one already.
std::string JoinPath(const std::string& dir, const std::string& name);

// zipPath + "||" + filename.
std::string GetFullPath(const std::string& zipPath, const std::string& filename);
// Splits a full name at its first "||"; the file name may contain "||" itself.
void ParseFullPath(const std::string& fullPath, std::string& zipPath, std::string& filename);

// Inserts prefix in front of the file-name part: "dir/x.pk4" + "__p__" -> "dir/__p__x.pk4".
std::string PrefixFile(const std::string& path, const std::string& prefix);
// Undoes PrefixFile: removes prefix after the last "/" + prefix, or at the very start of a
// path that begins with it; any other path comes back unchanged.
std::string UnprefixFile(const std::string& path, const std::string& prefix);

// Whether the path names a regular file (symbolic links followed) that can be opened for
// reading. Anything else counts as absent: a directory, a FIFO, a socket or a device is never
// opened, so that the test cannot block.
bool IfFileExists(const std::string& path);
// What stands at path (symbolic links followed) when it is neither nothing nor a regular file:
// "directory", "FIFO", "socket", "character device", "block device" or "special file"; empty
// otherwise. Never opens the path.
std::string NonRegularFileKind(const std::string& path);
// Throws "%s is not a regular file (a FIFO)" (the path and its kind, with code) when something
// other than a regular file stands at path; nothing there, or a regular file, passes.
void RefuseNonRegularFile(const std::string& path, LogCode code = lcGeneral);
// Creates the directories between rootDir (which must exist) and the file absPath, keeping
// those that exist already. Directories made before a failure stay.
void CreateDirectoriesForFile(const std::string& absPath, const std::string& rootDir);
// After the file absPath is gone, removes its parent directories bottom-up while they are
// empty; never removes rootDir itself.
void DeleteEmptyParentDirs(const std::string& absPath, const std::string& rootDir);
// Deletes a file; "Failed to remove file %s: %s" (the system's reason) on failure.
void RemoveFile(const std::string& path);
// Renames or moves a file; "Failed to rename file %s to %s: %s" (the system's reason) on failure.
void RenameFile(const std::string& oldPath, const std::string& newPath);
// Renames oldPath to newPath in one step, replacing a file at newPath: at every moment one of
// the two files is at newPath. Fails like RenameFile.
void ReplaceFile(const std::string& oldPath, const std::string& newPath);

// Whether anything (file, directory, symbolic link, even a dangling one) exists at path.
bool PathExists(const std::string& path);
// Whether path is a directory (symbolic links not followed).
bool IsDirectory(const std::string& path);
// Whether path itself is a symbolic link (on Windows any reparse point, such as a junction).
bool IsSymbolicLink(const std::string& path);
// Throws "Path %s is a symbolic link" (lcGeneral), naming the first one, unless absPath and every
// directory between rootDir and absPath that exists is no symbolic link: for the files that the
// engine and the installer keep for themselves, which are never written or deleted through a
// link, wherever it leads.
void RefuseLinksBelowRoot(const std::string& absPath, const std::string& rootDir);
// Throws unless writing, renaming or deleting absPath stays inside rootDir on the file system:
// absPath itself is no symbolic link ("Path %s is a symbolic link"), and the deepest of its
// existing parent directories resolves, symbolic links followed, to rootDir or a directory
// below it ("Path %s leads outside of root directory %s").
void CheckStaysInsideRoot(const std::string& absPath, const std::string& rootDir);

// Empty when the file system can hold a file at absPath (inside rootDir, which exists), else
// why not, naming the part at fault: a component of the path below rootDir (a folder or the
// file name) longer than the file system allows, the whole path longer than the system takes,
// or (on Windows) a character or a name that the file system refuses. Nothing is created;
// callers check every name they will write before they write the first one.
std::string WhyNotCreatable(const std::string& absPath, const std::string& rootDir);

} // namespace ZipSync

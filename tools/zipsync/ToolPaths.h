// Paths as the zipsync tool takes them from the command line, and the archives of a tree.
//
// The engine works with absolute paths using '/' only; the user types relative ones. These
// helpers turn the one into the other and find the archives (".pk4" and ".zip") below a root.
#pragma once

#include <string>
#include <vector>

namespace ZipSyncCli {

// The absolute, normalised form of path (relative ones against the working directory), without
// a trailing '/'.
std::string AbsolutePath(const std::string& path);

// Whether the file name ends in ".pk4" or ".zip" (and has something before it).
bool IsArchiveName(const std::string& name);

// Absolute paths of every regular file below rootDir whose name ends in ".pk4" or ".zip",
// temporary files and symbolic links excluded, sorted by their path relative to rootDir. Fails
// (ErrorException) when rootDir is not a directory.
std::vector<std::string> CollectArchives(const std::string& rootDir);

// Whether text matches the shell wildcard pattern as fnmatch without flags matches it: '*'
// any run of characters ('/' included), '?' one character, "[...]" one of a set (ranges "a-z",
// negated by a leading '!' or '^'), '\' takes the next character literally. Bytes are compared
// as they are (UTF-8 names match byte-wise).
bool MatchesPattern(const std::string& pattern, const std::string& text);

// An archive named on the command line: absolute paths stay, relative ones are taken relative
// to rootDir. Fails unless the file exists.
std::string ArchiveUnderRoot(const std::string& path, const std::string& rootDir);

} // namespace ZipSyncCli

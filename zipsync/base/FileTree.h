// Listing the files of a directory tree: the one walk that the clean-up of temporary files and
// the installer's searches for its archives and binaries share.
#pragma once

#include <string>
#include <vector>

namespace ZipSync {

// The regular files below rootDir, recursively, as paths relative to it with '/' separators,
// sorted as byte strings. A symbolic link is listed when it leads to a regular file; a link to
// a directory is not entered. Directories that cannot be read are passed over; any other
// failure, a missing rootDir among them, raises "Failed to list directory %s" (lcCantOpenFile).
std::vector<std::string> ListFilesRecursively(const std::string& rootDir);

} // namespace ZipSync

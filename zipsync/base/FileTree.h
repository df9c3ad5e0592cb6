// Listing the files of a directory tree: the one walk that the clean-up of temporary files, the
// download journal, the tool's and the installer's searches for archives and binaries share.
// It reads directories through the platform file, so long paths and names beyond ASCII work on
// Windows too.
#pragma once

#include <string>
#include <vector>

namespace ZipSync {

// The regular files below rootDir, recursively, as paths relative to it with '/' separators,
// sorted as byte strings. With listLinks a symbolic link is listed when it leads to a regular
// file; without, links are never listed. A link to a directory is never entered. Directories
// below rootDir that cannot be read are passed over; a rootDir that cannot be read (a missing
// one among them) raises "Failed to list directory %s" (lcCantOpenFile).
std::vector<std::string> ListFilesRecursively(const std::string& rootDir, bool listLinks = true);

} // namespace ZipSync

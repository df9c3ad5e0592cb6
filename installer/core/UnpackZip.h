// Unpacking an archive's files into the install directory.
//
// The finalisation unpacks the game's loose files (binaries, libraries) from a shared archive
// into the working directory. Entry names come from a downloaded archive, so they are checked
// before anything is written: only plain relative file names that stay inside the working
// directory are accepted. The caller owns the open zip; every output file is closed before the
// next entry.
#pragma once

#include "ZipHolders.h"

#include <string>
#include <vector>

// Writes every file entry of the open zip, in central-directory order, to the working directory
// under its stored name, and returns the names written. Nothing is written outside the working
// directory and no directories are created: an entry whose name is absolute, climbs out with
// "..", contains a backslash or a control character, or names a directory fails with an error
// naming it before anything is written for it, as does an entry that cannot be opened for
// writing.
std::vector<std::string> UnpackZip(ZipSync::UnzFileHolder& zf);

// Empty when an entry name may be written below the working directory, else why not: the name
// is empty or absolute, climbs out with "..", holds a backslash or a control character, or names
// a directory.
std::string WhyUnsafeEntryName(const std::string& name);

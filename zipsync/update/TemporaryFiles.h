// The temporary files of an update and their repair after an interruption.
//
// The temporary files carry the name prefixes of TemporaryNames.h. CleanupTemporaryFiles turns
// whatever a run left behind, finished or not, into a directory that holds only real archives
// again, and the download journal (DownloadJournal.h) into zips the next run can read.
#pragma once

#include "zip/TemporaryNames.h"

#include <string>

namespace ZipSync {

// Repairs or deletes the temporary files anywhere below rootDir. A file whose name (the part
// after the last '/') is one of the prefixes followed by at least one more character is
// handled; others, including a file named exactly like a prefix, are left alone. A
// "__repacked__X" where nothing (no file, directory or link) exists at X and which is a complete
// zip is renamed to X ("Restoring %s..."); every other such file is deleted ("Deleting %s...") together with
// the parent directories this leaves empty (rootDir itself stays). The download journal
// (DownloadJournal.h) is salvaged instead: its completely received entries stay for the next run.
void CleanupTemporaryFiles(const std::string& rootDir);

} // namespace ZipSync

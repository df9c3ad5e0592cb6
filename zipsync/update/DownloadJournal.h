// The download journal: downloaded entries kept on disk until an installation has used them.
//
// DownloadRemoteFiles writes every entry it receives into a journal zip below
// "<root>/.zipsync/download/", one per remote zip, flushing each entry as soon as it is
// written. Until the download finishes, a journal zip is a run of local entries without a
// central directory; an interruption of any kind (failure, Cancel, crash, kill, power loss)
// leaves it so, with possibly a torn entry at its end. Salvaging cuts such a file after its last
// complete entry and appends a central directory, which makes it a zip that the next run
// analyses like any local archive: every entry is hashed again from its bytes, an entry that
// fails the analysis is left out, and the planner matches the rest by digest, so nothing is
// trusted because it was kept. The journal is never an owned archive, and is removed once an
// installation has succeeded (RemoveDownloadJournal); DownloadRemoteFiles deletes the journal
// zips that its plan does not use, so it holds little more than one download. The journal is
// the engine's own folder: a symbolic link at ".zipsync", ".zipsync/download" or below fails
// every operation here with "Path %s is a symbolic link" (RefuseLinksBelowRoot), and nothing is
// read, written or deleted through it.
#pragma once

#include "zip/Manifest.h"

#include <set>
#include <string>

namespace ZipSync {

// The journal directory below a root directory, relative to it.
extern const char* const kDownloadJournalDir;

// The journal directory of rootDir (absolute, as rootDir).
std::string DownloadJournalDir(const std::string& rootDir);
// Whether path (absolute) lies in the journal directory of rootDir.
bool IsInDownloadJournal(const std::string& path, const std::string& rootDir);

// Makes every journal file a complete zip of its completely received entries ("Salvaging %s:
// %d entries kept" when anything changes) and deletes files that keep none. Files that are
// complete zips already stay as they are.
void SalvageDownloadJournal(const std::string& rootDir);

// Salvages the journal, then analyses it: the Local entries of every journal zip but those in
// known (absolute paths), both digests computed from the bytes on disk. Entries (or whole files)
// that fail the analysis are left out with a warning. Logs "Kept from earlier downloads: %d
// entries, %llu bytes" when there are any. Without salvage nothing is written, and only the
// journal zips that are complete already are analysed.
Manifest AnalyzeDownloadJournal(const std::string& rootDir, const std::set<std::string>& known = {},
                                bool salvage = true);

// Deletes the journal files that are not among used (absolute paths).
void PruneDownloadJournal(const std::string& rootDir, const std::set<std::string>& used);

// Deletes the journal directory and everything in it, and ".zipsync" when that is left empty.
void RemoveDownloadJournal(const std::string& rootDir);

} // namespace ZipSync

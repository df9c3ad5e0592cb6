// Zip analysis: turning zip archives on the local disk into manifest entries.
//
// The analysis reads each entry's central-directory record, computes the BLAKE2s digests of its
// compressed bytes and of its contents, and checks that the archive lies in the narrow subset
// of the zip format that the engine can rebuild byte for byte. The rules, tested per entry in
// this order (the first one violated ends the analysis with its message, lcGeneral):
//   1. version made by is 0              "File %s has made-by version %d (not supported)"
//   2. version needed is 20              "File %s needs zip version %d (not supported)"
//   3. no data descriptor (flag bit 3)   "File %s has data descriptor (not supported)"
//   4. not encrypted (flag bit 0)        "File %s is encrypted (not supported)"
//   5. no flag bits but 1 and 2          "File %s has flags %d (not supported)"
//   6. method 0 or 8                     "File %s has compression %d (not supported)"
//   7. no extra field                    "File %s has extra field in header (not supported)"
//   8. no file comment                   "File %s has comment in header (not supported)"
//   9. disk number start is 0            "File %s has disk nonzero number (not supported)"
//  10. the compressed bytes read equal the directory's compressed size
//                                        "File %s has wrong compressed size: %d instead of %d"
//  11. the contents read equal the directory's uncompressed size
//                                        "File %s has wrong uncompressed size: %d instead of %d"
// Rule 7 is also applied to the local header, whose extra field would shift the byte range.
// Zip64 archives are refused as a whole ("Zip64 is not supported!"), and every reader error,
// including a CRC-32 mismatch found when a fully read entry is closed, fails as
// "Minizip error %d" (lcMinizipError).
//
// AddZip reads the compressed bytes through a stream of its own on the archive, so that data
// claimed beyond the end of the file fails rule 10; AnalyzeCurrentEntry on a bare reader gets
// them from minizip, which reports the same case as "Minizip error -1".
//
// Nothing here keeps state beyond a call. Each analysed archive is opened and closed within the
// call; AnalyzeZips gives every archive its own manifest and merges them in input order, so the
// result does not depend on thread scheduling.
#pragma once

#include "base/ProgressIndicator.h"
#include "zip/Manifest.h"
#include "zip/ZipHolders.h"

#include <stdio.h>
#include <string>
#include <vector>

namespace ZipSync {

// An owned archive that could not be analysed, not even after normalization.
struct DamagedZip {
    // Absolute path.
    std::string path;
    // The message of the failure.
    std::string reason;
};

// Analyses the entry at which zf stands: fills out.filename, the header members, the byte
// range and each digest whose flag is set (the compressed bytes first); every other member of
// out, including a digest whose flag is clear, is left alone. The entry is closed again. With a
// stream of its own on the same archive (stdio, may be null) the compressed bytes are read from
// it directly, which is faster than through the reader.
void AnalyzeCurrentEntry(UnzFileHolder& zf, FileMetainfo& out, bool hashContents, bool hashCompressed,
                         FILE* stream = nullptr);

// The entries of all archives zipPaths (absolute paths inside rootDir), archive by archive in
// the order given and in central-directory order within each, located Local with an empty
// package. Logs "Going to analyze %d zips in %s of total size %0.3lf MB in %d threads" with the
// number of threads used.
//
// With normalizeOnFailure, an archive whose analysis fails with ErrorException is rewritten
// in place into normal form (NormalizeZip) and analysed once more; a second failure propagates.
// threadsNum as in RunParallel; archives are handed out one at a time. progress (may be null)
// is called under a lock with "Analysing \"<rel>\"..." before and "Analysed  \"<rel>\"" after
// each archive, the ratio counting archive bytes, and finally with 1.0 and "Analysing done";
// its answer is ignored. A failing archive stops further archives from being started; its
// error (the last one when several fail at once), raised once as the last attempt's message
// followed by " in archive <rel>" (unless it names the archive's path already) with that
// attempt's LogCode, reaches the caller once every
// worker has finished, and no manifest is returned.
//
// With damaged, an archive whose analysis (or normalization) still fails with ErrorException is
// not fatal: it is left out of the result, appended to *damaged (in the order of zipPaths) and
// logged as a warning "Archive %s is damaged, left out of the analysis: %s" naming its path
// relative to rootDir and the failure. A file that cannot be opened for reading at all (missing,
// no permission) is no damaged archive: its error still propagates.
Manifest AnalyzeZips(const std::string& rootDir, const std::vector<std::string>& zipPaths,
                     bool normalizeOnFailure, int threadsNum, ProgressIndicator* progress = nullptr,
                     std::vector<DamagedZip>* damaged = nullptr);

} // namespace ZipSync

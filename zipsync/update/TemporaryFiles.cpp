#include "update/TemporaryFiles.h"

#include "base/FileTree.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "update/DownloadJournal.h"
#include "zip/ZipUtils.h"

namespace ZipSync {

void CleanupTemporaryFiles(const std::string& rootDir) {
    // Sorted, so that the log reads the same on every run.
    for (const std::string& rel : ListFilesRecursively(rootDir)) {
        std::string path = rootDir + "/" + rel;
        // Downloaded entries are kept for the next run, in a form it can read.
        if (IsInDownloadJournal(path, rootDir)) continue;
        std::string name = GetFilename(path);
        // A link is the player's, whatever its name: neither it nor its target is touched.
        if (!IsTemporaryFileName(name) || IsSymbolicLink(path)) continue;
        if (HasTemporaryPrefix(name, kRepackedPrefix)) {
            std::string original = UnprefixFile(path, kRepackedPrefix);
            // A repacked zip is complete only once it was closed; one cut short by a crash
            // must not take the place of its original. Nor may it take the place of anything
            // else, such as a directory of that name.
            if (!PathExists(original) && IsCompleteZip(path)) {
                g_logger->infof("Restoring %s...", original.c_str());
                RenameFile(path, original);
                continue;
            }
        }
        g_logger->infof("Deleting %s...", path.c_str());
        RemoveFile(path);
        DeleteEmptyParentDirs(path, rootDir);
    }
    SalvageDownloadJournal(rootDir);
}

} // namespace ZipSync

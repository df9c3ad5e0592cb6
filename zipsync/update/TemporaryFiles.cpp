#include "update/TemporaryFiles.h"

#include "base/Logging.h"
#include "base/Path.h"
#include "update/DownloadJournal.h"
#include "zip/ZipUtils.h"

#include <algorithm>
#include <filesystem>
#include <vector>

namespace ZipSync {

namespace {

// Every regular file below rootDir, as engine paths ('/' separated), sorted so that the log
// reads the same on every run.
std::vector<std::string> ListFilesRecursively(const std::string& rootDir) {
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    std::error_code ec;
    fs::recursive_directory_iterator it(rootDir, ec), end;
    if (ec) g_logger->errorf(lcCantOpenFile, "Failed to list directory %s", rootDir.c_str());
    for (; it != end; it.increment(ec)) {
        if (ec) g_logger->errorf(lcCantOpenFile, "Failed to list directory %s", rootDir.c_str());
        // A link is the player's, whatever its name: neither it nor its target is touched.
        if (fs::is_regular_file(it->symlink_status(ec))) files.push_back(it->path().generic_string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

void CleanupTemporaryFiles(const std::string& rootDir) {
    for (const std::string& path : ListFilesRecursively(rootDir)) {
        // Downloaded entries are kept for the next run, in a form it can read.
        if (IsInDownloadJournal(path, rootDir)) continue;
        std::string name = GetFilename(path);
        if (!IsTemporaryFileName(name)) continue;
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

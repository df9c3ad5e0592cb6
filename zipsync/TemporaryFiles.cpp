#include "TemporaryFiles.h"

#include "DownloadJournal.h"
#include "Logging.h"
#include "Path.h"

#include "ZipHolders.h"
#include <algorithm>
#include <filesystem>
#include <vector>

namespace ZipSync {

namespace {

// Closes a bare minizip reading handle; the check below must not log or raise, so it does not
// use the engine's holders.
struct QuietUnzFile {
    unzFile handle;
    ~QuietUnzFile() {
        if (handle) unzClose(handle);
    }
};

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
        if (it->is_regular_file(ec)) files.push_back(it->path().generic_string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

bool IsCompleteZip(const std::string& path) {
    QuietUnzFile zf{unzOpen64(path.c_str())};
    if (!zf.handle) return false;
    int status = GoToFirstEntry(zf.handle);
    while (status == UNZ_OK) {
        // Opening an entry makes minizip read its local header and compare it with the central
        // record; a header that is cut off or overwritten fails here.
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(zf.handle, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
            return false;
        if (unzOpenCurrentFile2(zf.handle, nullptr, nullptr, 1) != UNZ_OK) return false;
        if (unzCloseCurrentFile(zf.handle) != UNZ_OK) return false;
        status = GoToNextEntry(zf.handle);
    }
    return status == UNZ_END_OF_LIST_OF_FILE;
}

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

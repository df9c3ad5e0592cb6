#include "base/FileTree.h"

#include "base/Logging.h"
#include "base/Platform.h"

#include <algorithm>

namespace ZipSync {

namespace {

void ListInto(const std::string& rootDir, const std::string& rel, bool listLinks,
              std::vector<std::string>& files) {
    std::vector<DirectoryEntry> entries;
    std::string dir = rel.empty() ? rootDir : rootDir + "/" + rel;
    if (!ReadDirectory(dir, entries)) {
        if (rel.empty()) g_logger->errorf(lcCantOpenFile, "Failed to list directory %s", rootDir.c_str());
        return;
    }
    for (const DirectoryEntry& entry : entries) {
        std::string path = rel.empty() ? entry.name : rel + "/" + entry.name;
        if (entry.kind == FileKind::Directory)
            ListInto(rootDir, path, listLinks, files);
        else if (entry.kind == FileKind::Regular ||
                 (listLinks && entry.kind == FileKind::SymbolicLink &&
                  GetFileKind(rootDir + "/" + path, true) == FileKind::Regular))
            files.push_back(path);
    }
}

} // namespace

std::vector<std::string> ListFilesRecursively(const std::string& rootDir, bool listLinks) {
    std::vector<std::string> files;
    ListInto(rootDir, "", listLinks, files);
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace ZipSync

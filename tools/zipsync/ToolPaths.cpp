#include "ToolPaths.h"

#include "base/Logging.h"
#include "base/Path.h"
#include "base/Text.h"
#include "zip/TemporaryNames.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace ZipSyncCli {

using namespace ZipSync;
namespace fs = std::filesystem;

std::string AbsolutePath(const std::string& path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(fs::path(path), ec);
    if (ec)
        g_logger->errorf(lcGeneral, "Cannot make path %s absolute: %s", path.c_str(), ec.message().c_str());
    std::string text = absolute.lexically_normal().generic_string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

bool IsArchiveName(const std::string& name) {
    // Something must come before the extension.
    return name.size() > 4 && (EndsWith(name, ".pk4") || EndsWith(name, ".zip"));
}

std::vector<std::string> CollectArchives(const std::string& rootDir) {
    std::error_code ec;
    if (!fs::is_directory(rootDir, ec))
        g_logger->errorf(lcGeneral, "Directory %s does not exist", rootDir.c_str());
    std::vector<std::string> relPaths;
    fs::recursive_directory_iterator it(rootDir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        // A link is no archive of the tree, whatever it points at: writing through it would
        // change files elsewhere.
        if (!fs::is_regular_file(it->symlink_status(ec))) continue;
        std::string name = it->path().filename().string();
        if (!IsArchiveName(name) || IsTemporaryFileName(name)) continue;
        relPaths.push_back(it->path().lexically_relative(rootDir).generic_string());
    }
    if (ec)
        g_logger->errorf(lcGeneral, "Cannot list directory %s: %s", rootDir.c_str(), ec.message().c_str());
    std::sort(relPaths.begin(), relPaths.end());
    std::vector<std::string> result;
    for (const std::string& rel : relPaths) result.push_back(rootDir + "/" + rel);
    return result;
}

std::string ArchiveUnderRoot(const std::string& path, const std::string& rootDir) {
    std::string absolute =
        path.size() > 0 && path[0] == '/' ? AbsolutePath(path) : AbsolutePath(rootDir + "/" + path);
    RefuseNonRegularFile(absolute, lcCantOpenFile);
    if (!IfFileExists(absolute))
        g_logger->errorf(lcCantOpenFile, "Archive %s does not exist", absolute.c_str());
    return absolute;
}

} // namespace ZipSyncCli

#include "base/FileTree.h"

#include "base/Logging.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace ZipSync {

std::vector<std::string> ListFilesRecursively(const std::string& rootDir) {
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    std::error_code ec;
    fs::recursive_directory_iterator it(rootDir, fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        // Lexically: fs::relative would resolve a link and name its target instead.
        if (it->is_regular_file(typeError))
            files.push_back(it->path().lexically_relative(rootDir).generic_string());
    }
    if (ec) g_logger->errorf(lcCantOpenFile, "Failed to list directory %s", rootDir.c_str());
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace ZipSync

#include "ToolPaths.h"

#include "base/FileTree.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "base/Platform.h"
#include "base/Text.h"
#include "zip/TemporaryNames.h"

#include <filesystem>
#include <system_error>

namespace ZipSyncCli {

using namespace ZipSync;
namespace fs = std::filesystem;

std::string AbsolutePath(const std::string& path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(FsPath(path), ec);
    if (ec)
        g_logger->errorf(lcGeneral, "Cannot make path %s absolute: %s", path.c_str(), ec.message().c_str());
    std::string text = FsPathText(absolute.lexically_normal());
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

bool IsArchiveName(const std::string& name) {
    // Something must come before the extension.
    return name.size() > 4 && (EndsWith(name, ".pk4") || EndsWith(name, ".zip"));
}

std::vector<std::string> CollectArchives(const std::string& rootDir) {
    if (GetFileKind(rootDir, true) != FileKind::Directory)
        g_logger->errorf(lcGeneral, "Directory %s does not exist", rootDir.c_str());
    // A link is no archive of the tree, whatever it points at (not listed): writing through it
    // would change files elsewhere.
    std::vector<std::string> result;
    for (const std::string& rel : ListFilesRecursively(rootDir, false)) {
        std::string name = GetFilename(rel);
        if (IsArchiveName(name) && !IsTemporaryFileName(name)) result.push_back(rootDir + "/" + rel);
    }
    return result;
}

// One "[...]" set at pattern[p] (p just past '['): whether c is in it; end is set past its ']'.
// A set without a closing ']' is no set: false, end = npos.
static bool MatchesSet(const std::string& pattern, size_t p, unsigned char c, size_t& end) {
    bool negated = p < pattern.size() && (pattern[p] == '!' || pattern[p] == '^');
    if (negated) p++;
    bool found = false;
    for (bool first = true; p < pattern.size(); first = false) {
        if (pattern[p] == ']' && !first) {
            end = p + 1;
            return found != negated;
        }
        if (pattern[p] == '\\' && p + 1 < pattern.size()) p++;
        unsigned char low = (unsigned char)pattern[p++], high = low;
        if (p + 1 < pattern.size() && pattern[p] == '-' && pattern[p + 1] != ']') {
            p++;
            if (pattern[p] == '\\' && p + 1 < pattern.size()) p++;
            high = (unsigned char)pattern[p++];
        }
        if (low <= c && c <= high) found = true;
    }
    end = std::string::npos;
    return false;
}

bool MatchesPattern(const std::string& pattern, const std::string& text) {
    // Backtracking to the last '*' only: the classic linear wildcard match.
    size_t p = 0, t = 0, starP = std::string::npos, starT = 0;
    while (t < text.size()) {
        size_t next = std::string::npos;
        bool step = false;
        if (p < pattern.size()) {
            char c = pattern[p];
            if (c == '*') {
                starP = ++p;
                starT = t;
                continue;
            }
            if (c == '?') {
                step = true, next = p + 1;
            } else if (c == '[') {
                size_t end;
                bool in = MatchesSet(pattern, p + 1, (unsigned char)text[t], end);
                if (end == std::string::npos)
                    step = text[t] == '[', next = p + 1; // an unclosed '[' is itself
                else
                    step = in, next = end;
            } else {
                size_t q = c == '\\' && p + 1 < pattern.size() ? p + 1 : p;
                step = pattern[q] == text[t], next = q + 1;
            }
        }
        if (step) {
            p = next;
            t++;
        } else if (starP != std::string::npos) {
            p = starP;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') p++;
    return p == pattern.size();
}

std::string ArchiveUnderRoot(const std::string& path, const std::string& rootDir) {
    // "C:/x" and "/x" are no paths below the root on Windows either.
    bool rooted = !path.empty() && FsPath(path).has_root_directory();
    std::string absolute = rooted ? AbsolutePath(path) : AbsolutePath(rootDir + "/" + path);
    RefuseNonRegularFile(absolute, lcCantOpenFile);
    if (!IfFileExists(absolute))
        g_logger->errorf(lcCantOpenFile, "Archive %s does not exist", absolute.c_str());
    return absolute;
}

} // namespace ZipSyncCli

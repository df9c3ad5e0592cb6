#include "base/Path.h"

#include "base/Logging.h"

#include "base/Platform.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <vector>

namespace ZipSync {

// Whether the ".." components of a relative path ever climb above its start. Empty and "."
// components stay in place.
static bool ClimbsAboveStart(const std::string& path) {
    long depth = 0;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        size_t len = end - start;
        if (len == 2 && path[start] == '.' && path[start + 1] == '.') {
            if (--depth < 0) return true;
        } else if (len > 0 && !(len == 1 && path[start] == '.')) {
            depth++;
        }
        start = end + 1;
    }
    return false;
}

void ValidatePath(const std::string& path, bool isRelative) {
    if (path.empty()) g_logger->errorf(lcGeneral, "Empty path [%s]", path.c_str());
    for (unsigned char ch : path)
        if (ch < 0x20) g_logger->errorf(lcGeneral, "Non-printable character %d in path", int(ch));
    if (path == "/") g_logger->errorf(lcGeneral, "Empty path [%s]", path.c_str());
    if (path.find_first_of("\\|[]=?&") != std::string::npos)
        g_logger->errorf(lcGeneral, "Forbidden symbol in path %s", path.c_str());
    if (path[0] == '.') g_logger->errorf(lcGeneral, "Path must not start with dot: %s", path.c_str());
    if (!isRelative) return;
    if (path.find(':') != std::string::npos)
        g_logger->errorf(lcGeneral, "Colon in relative path %s", path.c_str());
    if (path[0] == '/') g_logger->errorf(lcGeneral, "Relative path starts with slash: %s", path.c_str());
    // Relative paths come from manifests and archives off the network; one that climbs out
    // would make the engine write outside the root directory.
    if (ClimbsAboveStart(path))
        g_logger->errorf(lcGeneral, "Path %s goes outside of root directory", path.c_str());
}

void ValidateArchivePath(const std::string& relPath) {
    size_t start = 0;
    while (start <= relPath.size()) {
        size_t end = relPath.find('/', start);
        if (end == std::string::npos) end = relPath.size();
        size_t len = end - start;
        if (len == 0 || (relPath[start] == '.' && (len == 1 || (len == 2 && relPath[start + 1] == '.'))))
            g_logger->errorf(lcGeneral, "Archive path %s has an empty, \".\" or \"..\" component",
                             relPath.c_str());
        start = end + 1;
    }
}

PathAR PathAR::FromAbs(const std::string& absPath, const std::string& rootDir) {
    ValidatePath(rootDir, false);
    ValidatePath(absPath, false);
    size_t n = rootDir.size();
    if (rootDir.back() == '/') n--;
    if (absPath.size() <= n || absPath.compare(0, n, rootDir, 0, n) != 0 || absPath[n] != '/')
        g_logger->errorf(lcGeneral, "Abs path %s is not within root dir %s", absPath.c_str(),
                         rootDir.c_str());
    PathAR res;
    res.abs = absPath;
    res.rel = absPath.substr(n + 1);
    // Being a prefix of the root is not enough: "root/../x" lies outside it.
    if (ClimbsAboveStart(res.rel))
        g_logger->errorf(lcGeneral, "Path %s goes outside of root directory", absPath.c_str());
    return res;
}

PathAR PathAR::FromRel(const std::string& relPath, const std::string& rootDir) {
    ValidatePath(rootDir, false);
    ValidatePath(relPath, true);
    PathAR res;
    res.rel = relPath;
    res.abs = rootDir;
    if (rootDir.back() != '/') res.abs += '/';
    res.abs += relPath;
    return res;
}

bool PathAR::IsHttp(const std::string& path) {
    return path.compare(0, 7, "http://") == 0;
}

std::string GetDirPath(const std::string& somePath) {
    size_t pos = somePath.rfind('/');
    ZipSyncAssert(pos != std::string::npos);
    return somePath.substr(0, pos);
}

std::string GetFilename(const std::string& somePath) {
    size_t pos = somePath.rfind('/');
    if (pos == std::string::npos) return somePath;
    ZipSyncAssert(pos + 1 < somePath.size());
    return somePath.substr(pos + 1);
}

std::string GetFullPath(const std::string& zipPath, const std::string& filename) {
    return zipPath + "||" + filename;
}

void ParseFullPath(const std::string& fullPath, std::string& zipPath, std::string& filename) {
    size_t pos = fullPath.size() < 2 ? std::string::npos : fullPath.find("||");
    if (pos == std::string::npos)
        g_logger->errorf(lcGeneral, "Cannot split fullname into zip path and filename: %s", fullPath.c_str());
    zipPath = fullPath.substr(0, pos);
    filename = fullPath.substr(pos + 2);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string PrefixFile(const std::string& path, const std::string& prefix) {
    size_t pos = path.rfind('/');
    pos = (pos == std::string::npos ? 0 : pos + 1);
    std::string res = path;
    res.insert(pos, prefix);
    return res;
}

std::string UnprefixFile(const std::string& path, const std::string& prefix) {
    size_t pos = path.rfind("/" + prefix);
    std::string res = path;
    if (pos != std::string::npos)
        res.erase(pos + 1, prefix.size());
    else if (path.compare(0, prefix.size(), prefix) == 0)
        res.erase(0, prefix.size());
    return res;
}

bool IfFileExists(const std::string& path) {
    // Opening a FIFO for reading waits for a writer, so nothing but a regular file is opened;
    // OpenStdioFile keeps a FIFO swapped in after the check from blocking either.
    if (GetFileKind(path, true) != FileKind::Regular) return false;
    FILE* file = OpenStdioFile(path, "rb");
    if (!file) return false;
    fclose(file);
    return true;
}

std::string NonRegularFileKind(const std::string& path) {
    switch (GetFileKind(path, true)) {
    case FileKind::Missing:
    case FileKind::Regular:
        return "";
    case FileKind::Directory:
        return "directory";
    case FileKind::Fifo:
        return "FIFO";
    case FileKind::Socket:
        return "socket";
    case FileKind::CharacterDevice:
        return "character device";
    case FileKind::BlockDevice:
        return "block device";
    default:
        return "special file";
    }
}

void RefuseNonRegularFile(const std::string& path, LogCode code) {
    std::string kind = NonRegularFileKind(path);
    if (!kind.empty()) g_logger->errorf(code, "%s is not a regular file (a %s)", path.c_str(), kind.c_str());
}

// The components of rel, split at '/' (empty ones dropped).
static std::vector<std::string> Components(const std::string& rel) {
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= rel.size()) {
        size_t end = rel.find('/', start);
        if (end == std::string::npos) end = rel.size();
        if (end > start) components.push_back(rel.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

void CreateDirectoriesForFile(const std::string& absPath, const std::string& rootDir) {
    PathAR path = PathAR::FromAbs(absPath, rootDir);
    std::vector<std::string> components = Components(path.rel);
    std::string dir = rootDir;
    for (size_t i = 0; i + 1 < components.size(); i++) {
        dir += "/" + components[i];
        int error = MakeDirectory(dir);
        if (error != 0) {
            if (error != EEXIST)
                g_logger->errorf(lcGeneral, "Failed to create directory %s: %s", dir.c_str(),
                                 ErrnoText(error).c_str());
        }
    }
}

void DeleteEmptyParentDirs(const std::string& absPath, const std::string& rootDir) {
    std::string rel = PathAR::FromAbs(absPath, rootDir).rel;
    while (true) {
        size_t pos = rel.rfind('/');
        if (pos == std::string::npos) break;
        rel.resize(pos);
        // An empty component ("a//b", or a rel starting with '/') names no directory of its
        // own; removing "root/" + "" would remove the root itself.
        if (rel.empty() || rel.back() == '/') continue;
        std::string dir = rootDir + "/" + rel;
        int error = RemoveEmptyDirectory(dir);
        if (error != 0) {
            if (error == ENOTEMPTY || error == EEXIST) break;
            g_logger->errorf(lcGeneral, "Failed to delete directory %s: %s", dir.c_str(),
                             ErrnoText(error).c_str());
        }
    }
}

void RemoveFile(const std::string& path) {
    int res = RemovePath(path);
    if (res != 0)
        g_logger->errorf(lcGeneral, "Failed to remove file %s: %s", path.c_str(), ErrnoText(errno).c_str());
}

void RenameFile(const std::string& oldPath, const std::string& newPath) {
    int res = RenamePath(oldPath, newPath);
    if (res != 0)
        g_logger->errorf(lcGeneral, "Failed to rename file %s to %s: %s", oldPath.c_str(), newPath.c_str(),
                         ErrnoText(errno).c_str());
}

void ReplaceFile(const std::string& oldPath, const std::string& newPath) {
    int res = RenamePath(oldPath, newPath);
    if (res != 0)
        g_logger->errorf(lcGeneral, "Failed to rename file %s to %s: %s", oldPath.c_str(), newPath.c_str(),
                         ErrnoText(errno).c_str());
}

bool PathExists(const std::string& path) {
    return GetFileKind(path, false) != FileKind::Missing;
}

bool IsDirectory(const std::string& path) {
    return GetFileKind(path, false) == FileKind::Directory;
}

bool IsSymbolicLink(const std::string& path) {
    return GetFileKind(path, false) == FileKind::SymbolicLink;
}

void CheckStaysInsideRoot(const std::string& absPath, const std::string& rootDir) {
    if (GetFileKind(absPath, false) == FileKind::SymbolicLink)
        g_logger->errorf(lcGeneral, "Path %s is a symbolic link", absPath.c_str());
    std::string parent = GetDirPath(absPath);
    while (parent.size() > rootDir.size() && !PathExists(parent)) parent = GetDirPath(parent);
    // Below a root that does not exist yet nothing exists either, so no link can be in the way.
    if (parent.size() <= rootDir.size() && !PathExists(rootDir)) return;
    std::string root = ResolvedPath(rootDir);
    std::string resolved = ResolvedPath(parent);
    bool inside = !root.empty() && !resolved.empty() &&
                  (resolved == root || (resolved.compare(0, root.size(), root) == 0 &&
                                        (root.back() == '/' || resolved[root.size()] == '/')));
    if (!inside)
        g_logger->errorf(lcGeneral, "Path %s leads outside of root directory %s", absPath.c_str(),
                         rootDir.c_str());
}

void RefuseLinksBelowRoot(const std::string& absPath, const std::string& rootDir) {
    std::string path = rootDir;
    for (const std::string& component : Components(PathAR::FromAbs(absPath, rootDir).rel)) {
        path += "/" + component;
        if (IsSymbolicLink(path)) g_logger->errorf(lcGeneral, "Path %s is a symbolic link", path.c_str());
    }
}

// ---- Names the file system can hold ----

std::string WhyNotCreatable(const std::string& absPath, const std::string& rootDir) {
    PathAR path = PathAR::FromAbs(absPath, rootDir);
    FileNameLimits limits = GetFileNameLimits(rootDir);
    for (const std::string& component : Components(path.rel)) {
        size_t length = FileNameLength(component);
        if (long(length) > limits.maxName)
            return FormatString("the name %s is %zu %s long, more than the %ld the file system allows",
                                component.c_str(), length, limits.unit, limits.maxName);
        std::string refusal = WhyFileNameRefused(component);
        if (!refusal.empty()) return component + " " + refusal;
    }
    size_t length = FileNameLength(absPath);
    if (long(length) > limits.maxPath)
        return FormatString("the path is %zu %s long, more than the %ld the system allows", length,
                            limits.unit, limits.maxPath);
    return "";
}

} // namespace ZipSync

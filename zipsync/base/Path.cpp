#include "base/Path.h"

#include "base/Logging.h"

#include <algorithm>
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <vector>
#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#endif

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

#ifdef _WIN32
bool IfFileExists(const std::string& path) {
    struct _stat64 st;
    if (_stat64(path.c_str(), &st) != 0 || !(st.st_mode & _S_IFREG)) return false;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    fclose(f);
    return true;
}

std::string NonRegularFileKind(const std::string& path) {
    struct _stat64 st;
    if (_stat64(path.c_str(), &st) != 0 || (st.st_mode & _S_IFREG)) return "";
    return (st.st_mode & _S_IFDIR) ? "directory" : "special file";
}
#else
bool IfFileExists(const std::string& path) {
    // Opening a FIFO for reading waits for a writer, so nothing but a regular file is opened;
    // O_NONBLOCK keeps a file swapped in after the check from blocking either.
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    return regular;
}

std::string NonRegularFileKind(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return "";
    if (S_ISDIR(st.st_mode)) return "directory";
    if (S_ISFIFO(st.st_mode)) return "FIFO";
    if (S_ISSOCK(st.st_mode)) return "socket";
    if (S_ISCHR(st.st_mode)) return "character device";
    if (S_ISBLK(st.st_mode)) return "block device";
    return "special file";
}
#endif

void RefuseNonRegularFile(const std::string& path, LogCode code) {
    std::string kind = NonRegularFileKind(path);
    if (!kind.empty()) g_logger->errorf(code, "%s is not a regular file (a %s)", path.c_str(), kind.c_str());
}

static int MakeDirectory(const char* path) {
#ifdef _WIN32
    return _mkdir(path);
#else
    return mkdir(path, 0777);
#endif
}

static int RemoveDirectory(const char* path) {
#ifdef _WIN32
    return _rmdir(path);
#else
    return rmdir(path);
#endif
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
        if (MakeDirectory(dir.c_str()) != 0) {
            int error = errno;
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
        if (RemoveDirectory(dir.c_str()) != 0) {
            int error = errno;
            if (error == ENOTEMPTY || error == EEXIST) break;
            g_logger->errorf(lcGeneral, "Failed to delete directory %s: %s", dir.c_str(),
                             ErrnoText(error).c_str());
        }
    }
}

void RemoveFile(const std::string& path) {
    int res = remove(path.c_str());
    if (res != 0)
        g_logger->errorf(lcGeneral, "Failed to remove file %s: %s", path.c_str(), ErrnoText(errno).c_str());
}

void RenameFile(const std::string& oldPath, const std::string& newPath) {
    int res = rename(oldPath.c_str(), newPath.c_str());
    if (res != 0)
        g_logger->errorf(lcGeneral, "Failed to rename file %s to %s: %s", oldPath.c_str(), newPath.c_str(),
                         ErrnoText(errno).c_str());
}

void ReplaceFile(const std::string& oldPath, const std::string& newPath) {
#ifdef _WIN32
    bool ok =
        MoveFileExA(oldPath.c_str(), newPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    int res = ok ? 0 : -1;
#else
    int res = rename(oldPath.c_str(), newPath.c_str());
#endif
    if (res != 0)
        g_logger->errorf(lcGeneral, "Failed to rename file %s to %s: %s", oldPath.c_str(), newPath.c_str(),
                         ErrnoText(errno).c_str());
}

#ifdef _WIN32
bool PathExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsSymbolicLink(const std::string& path) {
    // Windows links and junctions are reparse points.
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

void CheckStaysInsideRoot(const std::string&, const std::string&) {
    // The installer's directories hold no links of their own making.
}
#else
bool IsSymbolicLink(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool PathExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The path with every symbolic link resolved, or empty when it cannot be resolved.
static std::string RealPath(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return "";
    std::string result = resolved;
    free(resolved);
    return result;
}

void CheckStaysInsideRoot(const std::string& absPath, const std::string& rootDir) {
    struct stat st;
    if (lstat(absPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        g_logger->errorf(lcGeneral, "Path %s is a symbolic link", absPath.c_str());
    std::string parent = GetDirPath(absPath);
    while (parent.size() > rootDir.size() && !PathExists(parent)) parent = GetDirPath(parent);
    // Below a root that does not exist yet nothing exists either, so no link can be in the way.
    if (parent.size() <= rootDir.size() && !PathExists(rootDir)) return;
    std::string root = RealPath(rootDir);
    std::string resolved = RealPath(parent);
    bool inside = !root.empty() && !resolved.empty() &&
                  (resolved == root || (resolved.compare(0, root.size(), root) == 0 &&
                                        (root.back() == '/' || resolved[root.size()] == '/')));
    if (!inside)
        g_logger->errorf(lcGeneral, "Path %s leads outside of root directory %s", absPath.c_str(),
                         rootDir.c_str());
}
#endif

void RefuseLinksBelowRoot(const std::string& absPath, const std::string& rootDir) {
    std::string path = rootDir;
    for (const std::string& component : Components(PathAR::FromAbs(absPath, rootDir).rel)) {
        path += "/" + component;
        if (IsSymbolicLink(path)) g_logger->errorf(lcGeneral, "Path %s is a symbolic link", path.c_str());
    }
}

// ---- Names the file system can hold ----

namespace {

#ifdef _WIN32
// Lengths count UTF-16 code units, which is what the file system counts: a UTF-8 lead byte
// starts one unit, or two for a character beyond the basic plane.
size_t NameLength(const std::string& name) {
    size_t units = 0;
    for (unsigned char c : name)
        if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
    return units;
}
const char* const kLengthUnit = "characters";
// The engine reaches long paths through the "\\?\" prefix; the system's absolute limit stays.
long MaxNameLength(const std::string&) {
    return 255;
}
long MaxPathLength(const std::string&) {
    return 32767;
}

std::string WhyComponentRefused(const std::string& component) {
    for (unsigned char c : component)
        if (c < 0x20 || strchr("<>:\"|?*\\", c))
            return FormatString("%s contains the character '%c', which the file system refuses",
                                component.c_str(), c < 0x20 ? '?' : c);
    if (component.back() == '.' || component.back() == ' ')
        return component + " ends with a dot or a space, which the file system drops";
    // Device names, also with an extension ("nul.pk4" is the device NUL).
    std::string stem = component.substr(0, component.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    for (char& c : stem) c = char(toupper((unsigned char)c));
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
    bool device = std::find(std::begin(kDevices), std::end(kDevices), stem) != std::end(kDevices);
    if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
        stem[3] >= '0' && stem[3] <= '9')
        device = true;
    if (device) return component + " is the name of a device";
    return "";
}
#else
size_t NameLength(const std::string& name) {
    return name.size();
}
const char* const kLengthUnit = "bytes";
// The limits of the file system that holds path; the usual values when it does not tell.
long MaxNameLength(const std::string& path) {
    long limit = pathconf(path.c_str(), _PC_NAME_MAX);
    return limit > 0 ? limit : 255;
}
long MaxPathLength(const std::string& path) {
    // The limit counts the terminating zero byte.
    long limit = pathconf(path.c_str(), _PC_PATH_MAX);
    return (limit > 0 ? limit : 4096) - 1;
}
std::string WhyComponentRefused(const std::string&) {
    // Any byte but '/' and zero, which no engine path holds, names a file.
    return "";
}
#endif

} // namespace

std::string WhyNotCreatable(const std::string& absPath, const std::string& rootDir) {
    PathAR path = PathAR::FromAbs(absPath, rootDir);
    long maxName = MaxNameLength(rootDir), maxPath = MaxPathLength(rootDir);
    for (const std::string& component : Components(path.rel)) {
        if (long(NameLength(component)) > maxName)
            return FormatString("the name %s is %zu %s long, more than the %ld the file system allows",
                                component.c_str(), NameLength(component), kLengthUnit, maxName);
        std::string refusal = WhyComponentRefused(component);
        if (!refusal.empty()) return refusal;
    }
    if (long(NameLength(absPath)) > maxPath)
        return FormatString("the path is %zu %s long, more than the %ld the system allows",
                            NameLength(absPath), kLengthUnit, maxPath);
    return "";
}

} // namespace ZipSync

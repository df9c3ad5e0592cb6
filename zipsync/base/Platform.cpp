#include "base/Platform.h"

#include <algorithm>
#include <ctype.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace ZipSync {

#ifdef _WIN32

namespace {

// UTF-16 form of a UTF-8 text; false (errno EILSEQ) when it is no valid UTF-8.
bool Widen(const std::string& text, std::wstring& wide) {
    wide.clear();
    if (text.empty()) return true;
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), nullptr, 0);
    if (n <= 0) {
        errno = EILSEQ;
        return false;
    }
    wide.resize(size_t(n));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), &wide[0], n);
    return true;
}

std::string Narrow(const std::wstring& wide) {
    if (wide.empty()) return "";
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string text(size_t(std::max(n, 0)), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), &text[0], n, nullptr, nullptr);
    return text;
}

// The path as the wide-character functions take it: backslashes, and for a path near or past
// the classic limit the absolute form with "\\?\" (which turns the limit off; such a path is
// taken literally, so it is normalised first). 248 is the limit for directories.
bool WidePath(const std::string& path, std::wstring& wide) {
    if (!Widen(path, wide)) return false;
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    if (wide.size() < 248 || wide.compare(0, 4, L"\\\\?\\") == 0) return true;
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(n, L'\0');
    n = n ? GetFullPathNameW(wide.c_str(), n, &full[0], nullptr) : 0;
    if (n == 0 || n >= full.size()) return true; // the system then names the failure itself
    full.resize(n);
    if (full.compare(0, 2, L"\\\\") == 0)
        wide = L"\\\\?\\UNC\\" + full.substr(2);
    else
        wide = L"\\\\?\\" + full;
    return true;
}

// A path back from the system: UTF-8, '/' separators, without the "\\?\" prefix.
std::string EnginePath(std::wstring wide) {
    if (wide.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        wide = L"\\\\" + wide.substr(8);
    else if (wide.compare(0, 4, L"\\\\?\\") == 0)
        wide = wide.substr(4);
    std::replace(wide.begin(), wide.end(), L'\\', L'/');
    return Narrow(wide);
}

// errno for the last Windows error of a file function.
int ErrnoOfLastError() {
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return ENOENT;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    default:
        return EIO;
    }
}

} // namespace

FILE* OpenStdioFile(const std::string& path, const char* mode) {
    std::wstring widePath, wideMode;
    if (!WidePath(path, widePath) || !Widen(mode, wideMode)) return nullptr;
    FILE* file = _wfopen(widePath.c_str(), wideMode.c_str());
    if (!file) {
        int error = errno;
        if (GetFileKind(path, true) == FileKind::Directory) error = EISDIR;
        errno = error;
        return nullptr;
    }
    // Names such as "con", "nul" or "aux.pk4" open devices wherever they stand.
    if (GetFileType(HANDLE(_get_osfhandle(_fileno(file)))) != FILE_TYPE_DISK) {
        fclose(file);
        errno = ENXIO;
        return nullptr;
    }
    return file;
}

// Names that open a device in any directory: CON, PRN, AUX, NUL, COM1-9, LPT1-9, also with an
// extension ("nul.pk4") or trailing blanks.
static bool IsDeviceName(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    name = name.substr(0, name.find('.'));
    while (!name.empty() && name.back() == ' ') name.pop_back();
    for (char& c : name) c = char(toupper((unsigned char)c));
    if (name == "CON" || name == "PRN" || name == "AUX" || name == "NUL") return true;
    return name.size() == 4 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "LPT") == 0) &&
           name[3] >= '1' && name[3] <= '9';
}

FileKind GetFileKind(const std::string& path, bool followLinks) {
    if (IsDeviceName(path)) return FileKind::CharacterDevice;
    std::wstring wide;
    if (!WidePath(path, wide)) return FileKind::Missing;
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::Missing;
    if (!followLinks && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return FileKind::SymbolicLink;
    if (followLinks && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // What the link leads to: opening follows it.
        HANDLE handle = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return FileKind::Missing;
        BY_HANDLE_FILE_INFORMATION info;
        bool ok = GetFileInformationByHandle(handle, &info);
        CloseHandle(handle);
        if (!ok) return FileKind::Missing;
        attributes = info.dwFileAttributes;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FileKind::Directory;
    if (attributes & FILE_ATTRIBUTE_DEVICE) return FileKind::CharacterDevice;
    return FileKind::Regular;
}

bool GetFileTimeAndSize(const std::string& path, int64_t& modTime, uint64_t& size) {
    std::wstring wide;
    if (!WidePath(path, wide)) return false;
    struct _stat64 st;
    if (_wstat64(wide.c_str(), &st) != 0) return false;
    modTime = int64_t(st.st_mtime);
    size = uint64_t(st.st_size);
    return true;
}

int64_t GetFileTimeNs(const std::string& path) {
    std::wstring wide;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!WidePath(path, wide) || !GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) return 0;
    // 100-nanosecond steps since 1601.
    int64_t steps = (int64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    return (steps - 116444736000000000LL) * 100;
}

int MakeDirectory(const std::string& path) {
    std::wstring wide;
    if (!WidePath(path, wide)) return errno;
    return _wmkdir(wide.c_str()) == 0 ? 0 : errno;
}

int RemoveEmptyDirectory(const std::string& path) {
    std::wstring wide;
    if (!WidePath(path, wide)) return errno;
    return _wrmdir(wide.c_str()) == 0 ? 0 : errno;
}

int RemovePath(const std::string& path) {
    std::wstring wide;
    if (!WidePath(path, wide)) return -1;
    return _wremove(wide.c_str());
}

int RenamePath(const std::string& oldPath, const std::string& newPath) {
    std::wstring from, to;
    if (!WidePath(oldPath, from) || !WidePath(newPath, to)) return -1;
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    errno = ErrnoOfLastError();
    return -1;
}

bool ReadDirectory(const std::string& dir, std::vector<DirectoryEntry>& entries) {
    entries.clear();
    std::wstring wide;
    if (!WidePath(dir + "/*", wide)) return false;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW(wide.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        errno = ErrnoOfLastError();
        return false;
    }
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        FileKind kind = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? FileKind::SymbolicLink
                        : (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)   ? FileKind::Directory
                                                                               : FileKind::Regular;
        entries.push_back(DirectoryEntry{Narrow(name), kind});
    } while (FindNextFileW(find, &data));
    bool complete = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(find);
    if (!complete) errno = EIO;
    return complete;
}

int ResizeFile(const std::string& path, uint64_t length) {
    std::wstring wide;
    if (!WidePath(path, wide)) return errno;
    HANDLE file =
        CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ErrnoOfLastError();
    LARGE_INTEGER position;
    position.QuadPart = LONGLONG(length);
    bool ok = SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    int error = ok ? 0 : ErrnoOfLastError();
    CloseHandle(file);
    return error;
}

std::string ResolvedPath(const std::string& path) {
    std::wstring wide;
    if (!WidePath(path, wide)) return "";
    HANDLE handle = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return "";
    std::wstring resolved(32768, L'\0');
    DWORD n = GetFinalPathNameByHandleW(handle, &resolved[0], DWORD(resolved.size()), FILE_NAME_NORMALIZED);
    CloseHandle(handle);
    if (n == 0 || n >= resolved.size()) return "";
    resolved.resize(n);
    return EnginePath(resolved);
}

int FileSeek64(FILE* file, int64_t offset, int origin) {
    return _fseeki64(file, offset, origin);
}

int64_t FileTell64(FILE* file) {
    return _ftelli64(file);
}

int SyncFileData(FILE* file) {
    errno = 0;
    if (fflush(file) == 0 && _commit(_fileno(file)) == 0) return 0;
    return errno != 0 ? errno : EIO;
}

int SyncDirectoryEntries(const std::string&) {
    return 0; // the names of a file are durable with its data here
}

uint64_t CopyInKernel(FILE*, uint64_t, FILE*, uint64_t) {
    return 0;
}

std::wstring WindowsPath(const std::string& path) {
    std::wstring wide;
    return WidePath(path, wide) ? wide : std::wstring();
}

std::wstring WideText(const std::string& text) {
    std::wstring wide;
    return Widen(text, wide) ? wide : std::wstring();
}

std::string Utf8Text(const std::wstring& text) {
    return Narrow(text);
}

std::filesystem::path FsPath(const std::string& path) {
    std::wstring wide;
    // No valid UTF-8: a path that names nothing, so that the operation fails.
    if (!WidePath(path, wide)) return std::filesystem::path();
    return std::filesystem::path(wide);
}

std::string FsPathText(const std::filesystem::path& path) {
    return EnginePath(path.wstring());
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> args;
    for (int i = 0; i < count; i++) args.push_back(Narrow(wide[i]));
    LocalFree(wide);
    return args;
}

FileNameLimits GetFileNameLimits(const std::string&) {
    // Long paths go through the "\\?\" prefix; the system's absolute limit stays.
    return {255, 32767, "characters"};
}

size_t FileNameLength(const std::string& name) {
    // A UTF-8 lead byte starts one UTF-16 unit, or two for a character beyond the basic plane.
    size_t units = 0;
    for (unsigned char c : name)
        if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
    return units;
}

std::string WhyFileNameRefused(const std::string& name) {
    for (unsigned char c : name)
        if (c < 0x20 || strchr("<>:\"|?*\\", c))
            return std::string("contains the character '") + char(c < 0x20 ? '?' : c) +
                   "', which the file system refuses";
    if (!name.empty() && (name.back() == '.' || name.back() == ' '))
        return "ends with a dot or a space, which the file system drops";
    // Also with an extension: "nul.pk4" is the device NUL.
    if (IsDeviceName(name)) return "is the name of a device";
    return "";
}

int OpenLockedFile(const std::string& path, intptr_t& handle) {
    std::wstring wide;
    if (!WidePath(path, wide)) return errno;
    // Without sharing, a second open fails until this handle is closed; the reparse flag opens a
    // link itself, which is then refused, instead of its target.
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return EWOULDBLOCK;
        int errnoValue = ErrnoOfLastError();
        // A folder opens only with backup semantics, else "access denied": it is no file to lock.
        if (error == ERROR_ACCESS_DENIED && GetFileKind(path, false) == FileKind::Directory) return ENXIO;
        return errnoValue;
    }
    BY_HANDLE_FILE_INFORMATION info;
    int refusal = 0;
    if (!GetFileInformationByHandle(file, &info))
        refusal = ErrnoOfLastError();
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        refusal = ELOOP;
    else if (GetFileType(file) != FILE_TYPE_DISK || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        refusal = ENXIO;
    if (refusal) {
        CloseHandle(file);
        return refusal;
    }
    handle = intptr_t(file);
    return 0;
}

bool LockedFileIsAt(intptr_t, const std::string&) {
    // A file that others hold open cannot be removed: the one locked is the one at its path.
    return true;
}

void CloseLockedFile(intptr_t handle, const std::string&, bool remove) {
    if (remove) {
        // Nobody else can open the file meanwhile: it goes when the handle is closed.
        FILE_DISPOSITION_INFO disposition = {TRUE};
        SetFileInformationByHandle(HANDLE(handle), FileDispositionInfo, &disposition, sizeof(disposition));
    }
    CloseHandle(HANDLE(handle));
}

#else // POSIX

FILE* OpenStdioFile(const std::string& path, const char* mode) {
    int flags = strchr(mode, '+') ? O_RDWR : mode[0] == 'r' ? O_RDONLY : O_WRONLY;
    if (mode[0] == 'w') flags |= O_CREAT | O_TRUNC;
    if (mode[0] == 'a') flags |= O_CREAT | O_APPEND;
    // Opening a FIFO waits for the other end: O_NONBLOCK returns at once, and the kind is
    // checked on what was opened, so that nothing swapped in meanwhile slips through.
    int fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat st;
    int refusal = 0;
    if (fstat(fd, &st) != 0)
        refusal = errno;
    else if (S_ISDIR(st.st_mode))
        refusal = EISDIR;
    else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
        refusal = ENXIO;
    int status = fcntl(fd, F_GETFL);
    if (!refusal && (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0)) refusal = errno;
    FILE* file = refusal ? nullptr : fdopen(fd, mode);
    if (!file) {
        if (!refusal) refusal = errno;
        close(fd);
        errno = refusal;
    }
    return file;
}

FileKind GetFileKind(const std::string& path, bool followLinks) {
    struct stat st;
    if ((followLinks ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) return FileKind::Missing;
    if (S_ISREG(st.st_mode)) return FileKind::Regular;
    if (S_ISDIR(st.st_mode)) return FileKind::Directory;
    if (S_ISLNK(st.st_mode)) return FileKind::SymbolicLink;
    if (S_ISFIFO(st.st_mode)) return FileKind::Fifo;
    if (S_ISSOCK(st.st_mode)) return FileKind::Socket;
    if (S_ISCHR(st.st_mode)) return FileKind::CharacterDevice;
    if (S_ISBLK(st.st_mode)) return FileKind::BlockDevice;
    return FileKind::Other;
}

bool GetFileTimeAndSize(const std::string& path, int64_t& modTime, uint64_t& size) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    modTime = int64_t(st.st_mtime);
    size = uint64_t(st.st_size);
    return true;
}

int64_t GetFileTimeNs(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

int MakeDirectory(const std::string& path) {
    return mkdir(path.c_str(), 0777) == 0 ? 0 : errno;
}

int RemoveEmptyDirectory(const std::string& path) {
    return rmdir(path.c_str()) == 0 ? 0 : errno;
}

int RemovePath(const std::string& path) {
    return remove(path.c_str());
}

int RenamePath(const std::string& oldPath, const std::string& newPath) {
    return rename(oldPath.c_str(), newPath.c_str());
}

bool ReadDirectory(const std::string& dir, std::vector<DirectoryEntry>& entries) {
    entries.clear();
    DIR* handle = opendir(dir.c_str());
    if (!handle) return false;
    errno = 0;
    while (dirent* entry = readdir(handle)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        entries.push_back(DirectoryEntry{name, GetFileKind(dir + "/" + name, false)});
        errno = 0;
    }
    int error = errno;
    closedir(handle);
    errno = error;
    return error == 0;
}

int ResizeFile(const std::string& path, uint64_t length) {
    return truncate(path.c_str(), off_t(length)) == 0 ? 0 : errno;
}

std::string ResolvedPath(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return "";
    std::string result = resolved;
    free(resolved);
    return result;
}

int FileSeek64(FILE* file, int64_t offset, int origin) {
    return fseeko(file, off_t(offset), origin);
}

int64_t FileTell64(FILE* file) {
    return int64_t(ftello(file));
}

int SyncFileData(FILE* file) {
    errno = 0;
    if (fflush(file) == 0 && fdatasync(fileno(file)) == 0) return 0;
    return errno != 0 ? errno : EIO;
}

int SyncDirectoryEntries(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int result = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return result;
}

uint64_t CopyInKernel(FILE* from, uint64_t offset, FILE* to, uint64_t size) {
#ifdef __linux__
    if (fflush(to) != 0) return 0;
    int64_t position = FileTell64(to);
    if (position < 0) return 0;
    loff_t in = loff_t(offset), out = loff_t(position);
    uint64_t done = 0;
    while (done < size) {
        size_t chunk = size_t(std::min<uint64_t>(size - done, 1u << 30));
        ssize_t copied = copy_file_range(fileno(from), &in, fileno(to), &out, chunk, 0);
        if (copied <= 0) break;
        done += uint64_t(copied);
    }
    // copy_file_range moved neither stream; put the output where the bytes end.
    if (FileSeek64(to, int64_t(out), SEEK_SET) != 0) return 0;
    return done;
#else
    return 0;
#endif
}

std::filesystem::path FsPath(const std::string& path) {
    return std::filesystem::path(path);
}

std::string FsPathText(const std::filesystem::path& path) {
    return path.generic_string();
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

FileNameLimits GetFileNameLimits(const std::string& dir) {
    // The usual values where the file system does not tell; the path limit counts its zero byte.
    long name = pathconf(dir.c_str(), _PC_NAME_MAX), path = pathconf(dir.c_str(), _PC_PATH_MAX);
    return {name > 0 ? name : 255, (path > 0 ? path : 4096) - 1, "bytes"};
}

size_t FileNameLength(const std::string& name) {
    return name.size();
}

std::string WhyFileNameRefused(const std::string&) {
    // Any byte but '/' and zero, which no engine path holds, names a file.
    return "";
}

int OpenLockedFile(const std::string& path, intptr_t& handle) {
    // O_NONBLOCK: a FIFO at path must not hold the caller up; it is refused below.
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | flags, 0666);
    // A lock file that another user made (one who ran as administrator, say) can still be locked
    // for reading.
    if (fd < 0 && errno == EACCES) fd = open(path.c_str(), O_RDONLY | flags);
    if (fd < 0) return errno;
    struct stat st;
    int refusal = 0;
    if (fstat(fd, &st) != 0)
        refusal = errno;
    else if (!S_ISREG(st.st_mode))
        refusal = ENXIO;
    else if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        refusal = errno;
    if (refusal) {
        close(fd);
        return refusal;
    }
    handle = fd;
    return 0;
}

bool LockedFileIsAt(intptr_t handle, const std::string& path) {
    struct stat opened, named;
    return fstat(int(handle), &opened) == 0 && lstat(path.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

void CloseLockedFile(intptr_t handle, const std::string& path, bool remove) {
    // While the lock is held: a waiter that locks the removed file finds it gone and tries again.
    if (remove && LockedFileIsAt(handle, path)) unlink(path.c_str());
    // Closing the only descriptor of the open file releases its flock.
    close(int(handle));
}

#endif

} // namespace ZipSync

// The engine's one door to the operating system's file functions; every other source of the
// engine is portable C++ and C stdio on streams opened here.
//
// Paths are UTF-8 texts with '/' separators. On Windows they reach the system as UTF-16 through
// the wide-character functions ('\' is accepted there too), and a path too long for the classic
// limit of 260 characters is made absolute and given the "\\?\" prefix, so long paths work
// without any setting of the system (directories are listed with ReadDirectory, as the C++
// library cannot list long ones on Windows). std::filesystem paths are made with FsPath and read back
// with FsPathText, never from or to std::string directly (which would use the local code page
// on Windows).
//
// The functions report like the C runtime: a result and errno. Callers raise the engine's
// errors with their own messages.
#pragma once

#include <filesystem>
#include <stdint.h>
#include <stdio.h>
#include <string>
#include <vector>

namespace ZipSync {

// fopen(path, mode) that never blocks on opening and opens nothing but files: a FIFO or socket
// at path is not opened (null, errno ENXIO), nor is a directory (null, errno EISDIR), nor a
// device such as one of the names Windows reserves ("con.pk4": null, errno ENXIO).
FILE* OpenStdioFile(const std::string& path, const char* mode);

enum class FileKind {
    Missing,
    Regular,
    Directory,
    SymbolicLink,
    Fifo,
    Socket,
    CharacterDevice,
    BlockDevice,
    Other
};
// What is at path. With followLinks false a symbolic link (on Windows any reparse point, such as
// a junction) is reported as such rather than what it points at.
FileKind GetFileKind(const std::string& path, bool followLinks);

// Size and last-write time (seconds since 1970) of what path names, links followed; false (errno
// set) when it does not exist.
bool GetFileTimeAndSize(const std::string& path, int64_t& modTime, uint64_t& size);
// The last-write time of what path names (links followed) in the finest steps the system keeps
// (nanoseconds since 1970; 100 of them on Windows), which tells apart two writes within one
// second; 0 when it cannot be read.
int64_t GetFileTimeNs(const std::string& path);

// mkdir and rmdir: 0 on success, else the errno value (EEXIST, ENOTEMPTY, ...).
int MakeDirectory(const std::string& path);
int RemoveEmptyDirectory(const std::string& path);
// remove(): 0 on success, -1 with errno set.
int RemovePath(const std::string& path);
// rename() as POSIX has it, also on Windows: an existing file at newPath is replaced in one step.
// 0 on success, -1 with errno set.
int RenamePath(const std::string& oldPath, const std::string& newPath);
struct DirectoryEntry {
    std::string name;
    FileKind kind; // links not followed
};
// The entries of a directory except "." and "..", in no particular order; false (errno set) when
// it cannot be read.
bool ReadDirectory(const std::string& dir, std::vector<DirectoryEntry>& entries);
// Cuts or extends the file to length bytes: 0, or the errno value.
int ResizeFile(const std::string& path, uint64_t length);
// The path with every link resolved and made absolute ('/' separators), or empty when it
// cannot be resolved (it does not exist, say).
std::string ResolvedPath(const std::string& path);

// 64-bit seek and tell on a stdio stream.
int FileSeek64(FILE* file, int64_t offset, int origin);
int64_t FileTell64(FILE* file);
// Flushes the stream and makes its data durable: 0, or the errno value.
int SyncFileData(FILE* file);
// Makes the names of the directory's files durable where the system needs that: 0, or the
// errno value.
int SyncDirectoryEntries(const std::string& dir);
// Copies size bytes at offset of from to the current position of to inside the kernel where
// the system can; returns how many bytes it copied (0 where it cannot), to's position moved
// past them.
uint64_t CopyInKernel(FILE* from, uint64_t offset, FILE* to, uint64_t size);

// The limits of the file system that holds the existing directory dir: the longest name (one
// path component) and the longest path it takes, counted in unit ("bytes" on POSIX, UTF-16
// "characters" on Windows) as FileNameLength counts.
struct FileNameLimits {
    long maxName;
    long maxPath;
    const char* unit;
};
FileNameLimits GetFileNameLimits(const std::string& dir);
// The length of a name or path as the file system counts it.
size_t FileNameLength(const std::string& name);
// Empty when the file system takes name (one path component) as it is, else why not, a phrase
// that follows the name: "contains the character ':', which the file system refuses", "ends with
// a dot or a space, which the file system drops", "is the name of a device" (all on Windows; a
// POSIX file system refuses nothing that an engine path holds).
std::string WhyFileNameRefused(const std::string& name);

// Opens the file at path (created when missing; never through a link, nothing but a regular
// file) and locks it for this open file alone, without waiting: on POSIX with flock, on Windows
// by opening it without sharing. 0 and the handle (a descriptor on POSIX) on success;
// EWOULDBLOCK when someone else holds the lock; else the errno value (ELOOP for a link, ENXIO
// for anything but a regular file).
int OpenLockedFile(const std::string& path, intptr_t& handle);
// Whether the locked file is still the one at path: its holder may have removed it.
bool LockedFileIsAt(intptr_t handle, const std::string& path);
// Closes the handle, which releases the lock; with remove the file at path goes first, while the
// lock is still held.
void CloseLockedFile(intptr_t handle, const std::string& path, bool remove);

// A std::filesystem path for an engine path, and back (UTF-8, '/' separators, no "\\?\").
std::filesystem::path FsPath(const std::string& path);
std::string FsPathText(const std::filesystem::path& path);

#ifdef _WIN32
// The path as the wide-character functions take it ('\' separators, "\\?\" when long); empty
// for text that is no valid UTF-8.
std::wstring WindowsPath(const std::string& path);
// UTF-16 of UTF-8 text and back (invalid UTF-8 gives an empty text).
std::wstring WideText(const std::string& text);
std::string Utf8Text(const std::wstring& text);
#endif

// The program's command-line arguments as UTF-8 (on Windows the wide-character ones, whatever
// the code page); argv on POSIX.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

} // namespace ZipSync

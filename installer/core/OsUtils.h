// What the installer needs from the operating system: the saved command name and the
// executable's location, the working directory, the test for an elevated process, locked-file
// and free-space checks, execute permissions, desktop shortcuts, taskbar progress, and
// replacing the running executable through a restart script.
//
// The command name is process-wide, saved once by the entry point with SetArgv0; the
// functions that derive the executable's location fail the assertion "!_argv0.empty()" before
// that. Path failures raise the file-system layer's own std::filesystem::filesystem_error.
// Paths are returned with '/' separators.
#pragma once

#include <stdint.h>
#include <string>
#include <vector>

// Logs "Save command line of current process" and stores the program's own name (argv[0]).
void SetArgv0(const char* argv0);
// The saved command name made absolute and canonical. A name without '/' was found through
// PATH (or is otherwise not a path), so the running executable's own path is used instead.
std::string GetExecutablePath();
// Parent directory of GetExecutablePath().
std::string GetExecutableDir();
// File-name component of the saved command name.
std::string GetExecutableName();

std::string GetCwd();
// Makes `dir` the working directory. Returns false, after logging a warning, when it is not
// an existing directory or the working directory read back differs from `dir`.
bool SetCwd(const std::string& dir);

// True exactly for an elevated process (on POSIX: effective user id 0).
bool IsRunningAsAdmin();

// Checks the files in order and returns the message for the first that fails, empty when all
// pass: "File %s is not a regular file (a FIFO)" (or directory, socket, device) for anything but
// a regular file, which is never opened; "File %s cannot be modified" when it can be read but not
// opened for appending, or is locked (flock or POSIX record lock) by another process; "File %s
// does not exist" when it cannot be read, unless allowMissing.
std::string CheckFilesWritable(const std::vector<std::string>& filePaths, bool allowMissing);

// Bytes available to the caller on the file system holding the path; 0 when the query fails.
uint64_t GetAvailableSpace(const std::string& path);

// Adds execute permission wherever read permission is set (owner, group, others). Fails with
// "Cannot mark %s as executable" when the permissions cannot be read or changed.
void MarkAsExecutable(const std::string& filePath);

// What a desktop shortcut starts. The three paths may be relative to the working directory.
struct ShortcutInfo {
    std::string workingDirectory;
    std::string executablePath;
    // A command-line text appended to the executable (may be empty).
    std::string arguments;
    // File name of the shortcut without extension; must not contain '/'.
    std::string name;
    // May be empty.
    std::string iconPath;
    // May be empty.
    std::string comment;
};

// The user's desktop folder: XDG_DESKTOP_DIR of the XDG user directories file
// ($XDG_CONFIG_HOME or ~/.config, then "user-dirs.dirs"), else ~/Desktop. Fails with "Cannot
// find the desktop folder" when there is no home directory.
std::string GetDesktopDir();
// Creates or replaces "<desktop>/<name>.desktop", a freedesktop application entry whose Path,
// Exec, Icon and Comment come from the record (paths made absolute against the working
// directory, Exec quoted as the entry format requires), and creates the desktop folder when
// missing. Fails with "Cannot create shortcut %s" when the file cannot be written, or
// "Invalid shortcut name %s".
void CreateShortcut(ShortcutInfo info);
// True when "<desktop>/<name>.desktop" exists and reads as a desktop entry.
bool IfShortcutExists(const std::string& name);

// Shows the ratio on the window's taskbar button where the platform has one; ratio >= 1 or
// < 0 removes it. `nativeWindow` is the toolkit's native handle (may be null). Does nothing
// on POSIX.
void SetTaskbarProgress(void* nativeWindow, double ratio);

// Writes the shell script targetPath + "__temp__.sh" beside the target, which waits
// pauseSeconds, then (when sourcePath is not empty) copies the source over the target and
// deletes the source, and starts the target with the arguments in the script's working
// directory (ours). The script calls every command by its absolute path with PATH set to the
// system's directories. When the copy fails it keeps the source and starts the target with the
// environment variable QMH_SELF_UPDATE_FAILED set (SelfUpdateFailed). Starts the script detached
// from this process, then ends the process with exit code 0. Paths and arguments reach the
// script unchanged whatever characters they hold. Fails with "Cannot write script %s" or "(OS
// error) %s" when the script cannot be written or started; it never returns otherwise.
// Whether this process was started by a restart script whose replacement of the executable
// failed; clears the sign, so that the programs this one starts do not inherit it.
bool SelfUpdateFailed();
[[noreturn]] void ReplaceAndRestartExecutable(const std::string& targetPath, const std::string& sourcePath,
                                              const std::vector<std::string>& arguments,
                                              int pauseSeconds = 5);

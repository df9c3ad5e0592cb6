// What the installer needs from the operating system: the saved command name and the
// executable's location, the working directory, the test for an elevated process, locked-file
// and free-space checks, execute permissions, desktop shortcuts, taskbar progress, and
// replacing the running executable through a restart script, the debugger output, the
// console of a windowed program and the system's proxy settings.
//
// OsUtils.cpp holds what both platforms share, OsUtilsPosix.cpp and OsUtilsWindows.cpp the
// rest; nothing else of the installer calls the system directly.
//
// The command name is process-wide, saved once by the entry point with SetArgv0; the
// functions that derive the executable's location fail the assertion "!_argv0.empty()" before
// that. Path failures raise the file-system layer's own std::filesystem::filesystem_error.
// Paths are UTF-8 and returned with '/' separators.
#pragma once

#include <functional>
#include <stdint.h>
#include <string>
#include <time.h>
#include <vector>

// Logs "Save command line of current process" and stores the program's own name (argv[0]).
void SetArgv0(const char* argv0);
// The saved name; fails the assertion "!_argv0.empty()" before SetArgv0.
const std::string& SavedArgv0();
// The running executable's path, absolute and canonical. On POSIX the saved command name made
// so, except that a name without '/' was found through PATH (or is otherwise not a path) and the
// executable's own path is used instead; on Windows always the executable's own path (the
// command name may lack the ".exe" or have been found through PATH).
std::string GetExecutablePath();
// Parent directory of GetExecutablePath().
std::string GetExecutableDir();
// File-name component of the saved command name.
std::string GetExecutableName();

std::string GetCwd();
// Makes `dir` the working directory. Returns false, after logging a warning, when it is not
// an existing directory or the working directory read back differs from `dir`.
bool SetCwd(const std::string& dir);

// True exactly for an elevated process: on POSIX effective user id 0, on Windows a process token
// of high or system integrity.
bool IsRunningAsAdmin();

// The broken-down UTC time of a time_t, thread-safe.
struct tm UtcTime(time_t instant);

// Whether a debugger is attached to the process, and a line for its output window (Windows;
// POSIX has no such channel, and tracing debuggers are only detected).
bool IsDebuggerAttached();
void WriteToDebugger(const char* line);

// A windowed (GUI-subsystem) program on Windows has no console of its own: when it was started
// from one and its output is not redirected, its standard output and error go to that console
// (as UTF-8). Does nothing elsewhere.
void UseParentConsole();

// Checks the files in order and returns the message for the first that fails, empty when all
// pass: "File %s is not a regular file (a FIFO)" (or directory, socket, device) for anything but
// a regular file, which is never opened; "File %s cannot be modified" when it can be read but not
// opened for appending, or is locked (POSIX: flock or record lock) or open (Windows: an append
// open that shares nothing fails) in another process; "File %s does not exist" when it cannot
// be read, unless allowMissing.
std::string CheckFilesWritable(const std::vector<std::string>& filePaths, bool allowMissing);

// Bytes available to the caller on the file system holding the path; 0 when the query fails.
uint64_t GetAvailableSpace(const std::string& path);

// Adds execute permission wherever read permission is set (owner, group, others). Fails with
// "Cannot mark %s as executable" when the permissions cannot be read or changed. Does nothing on
// Windows, which has no such permission.
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

// The user's desktop folder. Windows: the shell's known folder (FOLDERID_Desktop), or "WinAPI
// error %d" with the result code. POSIX: XDG_DESKTOP_DIR of the XDG user directories file
// ($XDG_CONFIG_HOME or ~/.config, then "user-dirs.dirs"), else ~/Desktop. Fails with "Cannot
// find the desktop folder" when there is no home directory.
std::string GetDesktopDir();
// Windows: creates or replaces the shell link "<desktop>/<name>.lnk" (COM IShellLink and
// IPersistFile; the paths made absolute, with backslashes); failures are "Failed to initialize
// COM" or "WinAPI error %d". POSIX: creates or replaces "<desktop>/<name>.desktop", a
// freedesktop application entry whose Path,
// Exec, Icon and Comment come from the record (paths made absolute against the working
// directory, Exec quoted as the entry format requires), and creates the desktop folder when
// missing. Fails with "Cannot create shortcut %s" when the file cannot be written, or
// "Invalid shortcut name %s".
void CreateShortcut(ShortcutInfo info);
// True when "<desktop>/<name>.desktop" exists and reads as a desktop entry (Windows: when
// "<desktop>/<name>.lnk" loads as a shell link).
bool IfShortcutExists(const std::string& name);

// Shows the ratio on the window's taskbar button where the platform has one; ratio >= 1 or
// < 0 removes it. `nativeWindow` is the toolkit's native handle (may be null). Windows: the
// ITaskbarList3 of the process, made on first use; nothing when it cannot be made. Does nothing
// on POSIX.
void SetTaskbarProgress(void* nativeWindow, double ratio);

// The proxy the user set for the whole system: Windows keeps it in the Internet Options (read
// through WinHttpGetIEProxyConfigForCurrentUser; a configuration script or automatic detection
// set there is not followed), POSIX has none besides the environment variables, which curl
// reads itself. servers is empty when no proxy is set.
struct SystemProxySettings {
    // "host:port" for every scheme, or entries "scheme=host:port" (http, https, socks) separated
    // by ';' or blanks.
    std::string servers;
    // Hosts reached directly: patterns separated by ';' with '*' for any text, "<local>" for
    // host names without a dot, "<-loopback>" to send even the loopback addresses through it.
    std::string bypass;
};
SystemProxySettings ReadSystemProxySettings();
// The proxy of one URL under the settings, as the downloader's proxy lookup answers: "" for a
// direct connection (no server for the URL's scheme, or a bypass pattern matches), else
// "http://host:port" (port 80 when none is given) or "socks4://host:port" (port 1080). The
// server of the scheme ("http=", "https=") comes first, then one for every scheme, then
// "socks=". Patterns compare without regard to case against the host, "host:port",
// "scheme://host" and "scheme://host:port"; loopback hosts (localhost, 127.*, [::1]) are
// reached directly unless the list holds "<-loopback>".
std::string ProxyForUrl(const SystemProxySettings& settings, const std::string& url);
// The proxy lookup of the installer's downloads: empty (curl then reads the environment) when a
// proxy variable that curl reads is set (http_proxy, https_proxy, all_proxy, the last two also
// in capitals) or the system sets no proxy; otherwise ProxyForUrl of the system's settings,
// which it logs the first time they are used.
std::function<std::string(const std::string& url)> SystemProxyLookup();

// The environment variable by which a restart script tells the installer it starts that the
// replacement of the executable failed.
static const char* const SELF_UPDATE_FAILED_VARIABLE = "QMH_SELF_UPDATE_FAILED";
// Whether this process was started by a restart script whose replacement of the executable
// failed (SELF_UPDATE_FAILED_VARIABLE is set); clears the sign, so that the programs this one
// starts do not inherit it.
bool SelfUpdateFailed();

// Windows: writes the batch script targetPath + "__temp__.cmd" (the system's ping.exe by its path
// as the pause, copy, del, start; arguments quoted for the program's command line, refused when
// they hold a double quote or a line break), starts it without a window and ends the process
// with exit code 0; a script that does not start fails with "(WinAPI error) %s" and the system's
// text. When the copy fails it keeps the source and starts the target with
// QMH_SELF_UPDATE_FAILED set, as on POSIX.
// POSIX: writes the shell script targetPath + "__temp__.sh" beside the target, which waits
// pauseSeconds, then (when sourcePath is not empty) copies the source over the target and
// deletes the source, and starts the target with the arguments in the script's working
// directory (ours). The script calls every command by its absolute path with PATH set to the
// system's directories. When the copy fails it keeps the source and starts the target with the
// environment variable QMH_SELF_UPDATE_FAILED set (SelfUpdateFailed). Starts the script detached
// from this process, then ends the process with exit code 0. Paths and arguments reach the
// script unchanged whatever characters they hold. Fails with "Cannot write script %s" or "(OS
// error) %s" when the script cannot be written or started; it never returns otherwise.
[[noreturn]] void ReplaceAndRestartExecutable(const std::string& targetPath, const std::string& sourcePath,
                                              const std::vector<std::string>& arguments,
                                              int pauseSeconds = 5);

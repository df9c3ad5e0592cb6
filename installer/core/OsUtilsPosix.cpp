// The POSIX half of the operating-system layer (see OsUtils.h).
#ifndef _WIN32
#include "OsUtils.h"

#include "base/Logging.h"
#include "base/Path.h"
#include "base/Utils.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace ZipSync;
namespace fs = std::filesystem;

std::string GetExecutablePath() {
    const std::string& argv0 = SavedArgv0();
    fs::path path =
        argv0.find('/') == std::string::npos ? fs::read_symlink("/proc/self/exe") : fs::canonical(argv0);
    return path.generic_string();
}

bool IsRunningAsAdmin() {
    return geteuid() == 0;
}

namespace {

// Sole owner of a file descriptor.
class FdHolder {
public:
    explicit FdHolder(int fd) : _fd(fd) {}
    ~FdHolder() {
        if (_fd >= 0) close(_fd);
    }
    FdHolder(const FdHolder&) = delete;
    FdHolder& operator=(const FdHolder&) = delete;
    int get() const { return _fd; }

private:
    int _fd;
};

// Whether the file opens for appending and no other process holds a lock on it, of either
// kind: flock locks and POSIX record locks do not see each other.
bool CanModifyExclusively(const std::string& path) {
    // O_NONBLOCK: a FIFO swapped in after the caller's check must not make this wait.
    FdHolder fd(open(path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return false;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;
    struct flock query = {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    if (fcntl(fd.get(), F_GETLK, &query) != 0 || query.l_type != F_UNLCK) return false;
    // Closing the descriptor releases the flock.
    return true;
}

} // namespace

std::string CheckFilesWritable(const std::vector<std::string>& filePaths, bool allowMissing) {
    for (const std::string& path : filePaths) {
        // Opening a FIFO would wait for its other end; no such thing is a file of the game.
        std::string kind = NonRegularFileKind(path);
        if (!kind.empty())
            return FormatString("File %s is not a regular file (a %s)", path.c_str(), kind.c_str());
        FdHolder readable(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (readable.get() < 0) {
            if (!allowMissing) return FormatString("File %s does not exist", path.c_str());
            continue;
        }
        if (!CanModifyExclusively(path)) return FormatString("File %s cannot be modified", path.c_str());
    }
    return "";
}

uint64_t GetAvailableSpace(const std::string& path) {
    struct statvfs info;
    if (statvfs(path.c_str(), &info) != 0) return 0;
    return uint64_t(info.f_bavail) * info.f_frsize;
}

void MarkAsExecutable(const std::string& filePath) {
    struct stat info;
    if (stat(filePath.c_str(), &info) != 0)
        g_logger->errorf(lcGeneral, "Cannot mark %s as executable", filePath.c_str());
    mode_t mode = info.st_mode & 07777;
    mode_t wanted = mode | ((mode & (S_IRUSR | S_IRGRP | S_IROTH)) >> 2);
    if (wanted != mode && chmod(filePath.c_str(), wanted) != 0)
        g_logger->errorf(lcGeneral, "Cannot mark %s as executable", filePath.c_str());
}

// The lines of a text file that may well be missing, without logging an error for it.
static bool ReadTextLines(const std::string& path, std::vector<std::string>& lines) {
    StdioFileHolder file(OpenStdioFile(path, "rb"));
    if (!file) return false;
    std::string text;
    char buffer[4096];
    while (size_t got = fread(buffer, 1, sizeof(buffer), file)) text.append(buffer, got);
    lines.clear();
    for (size_t pos = 0; pos < text.size();) {
        size_t end = std::min(text.find('\n', pos), text.size());
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return !ferror(file);
}

static std::string HomeDir() {
    const char* home = getenv("HOME");
    if (home && *home) return home;
    struct passwd* user = getpwuid(getuid());
    return user && user->pw_dir ? user->pw_dir : "";
}

// The value of XDG_DESKTOP_DIR in a user-dirs.dirs file: a double-quoted shell word that is
// "$HOME/..." or absolute. Empty when the file or the entry is missing or unusable.
static std::string ReadUserDirsDesktop(const std::string& file, const std::string& home) {
    std::vector<std::string> lines;
    if (!ReadTextLines(file, lines)) return "";
    std::string result;
    for (std::string line : lines) {
        line.erase(0, line.find_first_not_of(" \t"));
        const std::string key = "XDG_DESKTOP_DIR=\"";
        size_t close = line.rfind('"');
        if (line.compare(0, key.size(), key) != 0 || close < key.size()) continue;
        std::string value;
        for (size_t i = key.size(); i < close; i++) {
            if (line[i] == '\\' && i + 1 < close) i++;
            value += line[i];
        }
        if (value == "$HOME" || value.compare(0, 6, "$HOME/") == 0)
            result = home + value.substr(5);
        else if (!value.empty() && value[0] == '/')
            result = value;
    }
    while (result.size() > 1 && result.back() == '/') result.pop_back();
    return result;
}

std::string GetDesktopDir() {
    std::string home = HomeDir();
    if (home.empty()) g_logger->errorf(lcGeneral, "Cannot find the desktop folder");
    const char* configHome = getenv("XDG_CONFIG_HOME");
    std::string config = configHome && configHome[0] == '/' ? configHome : home + "/.config";
    std::string desktop = ReadUserDirsDesktop(config + "/user-dirs.dirs", home);
    return desktop.empty() ? home + "/Desktop" : desktop;
}

static std::string ShortcutPath(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        g_logger->errorf(lcGeneral, "Invalid shortcut name %s", name.c_str());
    return GetDesktopDir() + "/" + name + ".desktop";
}

// A desktop-entry string value: backslash and control characters escaped, and a leading
// blank kept from being trimmed away.
static std::string EscapeEntryValue(const std::string& text) {
    std::string escaped;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '\n')
            escaped += "\\n";
        else if (c == '\t')
            escaped += "\\t";
        else if (c == '\r')
            escaped += "\\r";
        else if (c == ' ' && i == 0)
            escaped += "\\s";
        else
            escaped += c;
    }
    return escaped;
}

// One argument of an Exec key: in double quotes when it holds a reserved character, with '"',
// '`', '$' and backslash escaped inside; a literal '%' is always doubled.
static std::string QuoteExecArgument(const std::string& arg) {
    bool quote = arg.empty() || arg.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string::npos;
    std::string result = quote ? "\"" : "";
    for (char c : arg) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) result += '\\';
        result += c == '%' ? std::string("%%") : std::string(1, c);
    }
    return result + (quote ? "\"" : "");
}

static std::string MakeAbsolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    return path.empty() ? GetCwd() : GetCwd() + "/" + path;
}

void CreateShortcut(ShortcutInfo info) {
    g_logger->infof("Shortcut to %s is going to be created", info.executablePath.c_str());
    info.workingDirectory = MakeAbsolute(info.workingDirectory);
    info.executablePath = MakeAbsolute(info.executablePath);
    if (!info.iconPath.empty()) info.iconPath = MakeAbsolute(info.iconPath);
    std::string path = ShortcutPath(info.name);

    g_logger->infof("Setting shortcut properties");
    std::string exec = QuoteExecArgument(info.executablePath);
    if (!info.arguments.empty()) {
        std::string arguments;
        for (char c : info.arguments) arguments += c == '%' ? std::string("%%") : std::string(1, c);
        exec += " " + arguments;
    }
    std::string text = "[Desktop Entry]\nType=Application\nName=" + EscapeEntryValue(info.name) + "\n";
    if (!info.comment.empty()) text += "Comment=" + EscapeEntryValue(info.comment) + "\n";
    text += "Path=" + EscapeEntryValue(info.workingDirectory) + "\n";
    text += "Exec=" + EscapeEntryValue(exec) + "\n";
    if (!info.iconPath.empty()) text += "Icon=" + EscapeEntryValue(info.iconPath) + "\n";
    text += "Terminal=false\n";

    g_logger->infof("Saving shortcut to %s", path.c_str());
    std::error_code ec;
    fs::create_directories(GetDirPath(path), ec);
    StdioFileHolder file(OpenStdioFile(path, "wb"));
    if (!file || fwrite(text.data(), 1, text.size(), file) != text.size() || file.reset() != 0)
        g_logger->errorf(lcGeneral, "Cannot create shortcut %s", path.c_str());
    // Desktops launch only entries marked executable.
    MarkAsExecutable(path);
}

bool IfShortcutExists(const std::string& name) {
    std::vector<std::string> lines;
    if (!ReadTextLines(ShortcutPath(name), lines)) return false;
    // A desktop entry: the first group is "Desktop Entry" and it has Type and Name.
    bool inEntry = false, hasType = false, hasName = false;
    for (const std::string& line : lines) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            if (inEntry || line != "[Desktop Entry]") break;
            inEntry = true;
        } else if (!inEntry) {
            return false;
        } else {
            hasType |= line.compare(0, 5, "Type=") == 0;
            hasName |= line.compare(0, 5, "Name=") == 0;
        }
    }
    return inEntry && hasType && hasName;
}

struct tm UtcTime(time_t instant) {
    struct tm utc;
    gmtime_r(&instant, &utc);
    return utc;
}

bool IsDebuggerAttached() {
    // A tracing debugger shows up as a nonzero TracerPid.
    std::vector<std::string> lines;
    if (!ReadTextLines("/proc/self/status", lines)) return false;
    for (const std::string& line : lines)
        if (line.compare(0, 10, "TracerPid:") == 0) return atol(line.c_str() + 10) != 0;
    return false;
}

void WriteToDebugger(const char*) {
    // POSIX has no debugger output channel.
}

void UseParentConsole() {
    // A POSIX program always has the standard streams it was started with.
}

SystemProxySettings ReadSystemProxySettings() {
    return {};
}

void SetTaskbarProgress(void* nativeWindow, double ratio) {
    // No desktop-independent taskbar progress exists on POSIX desktops.
}

// Quotes a text for the POSIX shell: everything inside single quotes is literal.
static std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

void ReplaceAndRestartExecutable(const std::string& targetPath, const std::string& sourcePath,
                                 const std::vector<std::string>& arguments, int pauseSeconds) {
    std::string joined, quotedArgs;
    for (const std::string& arg : arguments) {
        joined += (joined.empty() ? "" : " ") + arg;
        quotedArgs += " " + ShellQuote(arg);
    }
    std::string scriptPath = targetPath + "__temp__.sh";
    g_logger->infof("Restarting executable \"%s\" from \"%s\" (arguments: %s)", targetPath.c_str(),
                    sourcePath.c_str(), joined.c_str());
    g_logger->infof("Creating updating batch/shell file \"%s\"", scriptPath.c_str());

    // A target without '/' would be looked up in PATH rather than in the working directory.
    std::string launched = targetPath.find('/') == std::string::npos ? "./" + targetPath : targetPath;
    // Every command by its absolute path, with a PATH of the system's directories only: the
    // working directory is the install directory, where anyone may have put a "sleep".
    std::string text = "#!/bin/sh\nPATH=/usr/bin:/bin\nexport PATH\n";
    text += FormatString("/bin/sleep %d\n", pauseSeconds);
    if (!sourcePath.empty()) {
        std::string source = ShellQuote(sourcePath), target = ShellQuote(targetPath);
        // The source stays when the copy fails, so that the new build is not lost; the old one
        // then starts knowing that, and does not fetch and restart again and again.
        text += "if /bin/cp -f -- " + source + " " + target + " && /bin/chmod +x -- " + target +
                " && /bin/rm -f -- " + source + "; then\n  echo 'Executable has been replaced.'\nelse\n  " +
                std::string(SELF_UPDATE_FAILED_VARIABLE) + "=1\n  export " + SELF_UPDATE_FAILED_VARIABLE +
                "\nfi\n";
    }
    text += "echo 'Re-launching executable.'\n";
    text += "exec " + ShellQuote(launched) + quotedArgs + "\n";
    // The script is the installer's own file: never written through a link.
    if (IsSymbolicLink(scriptPath))
        g_logger->errorf(lcGeneral, "Path %s is a symbolic link", scriptPath.c_str());
    {
        StdioFileHolder file(OpenStdioFile(scriptPath, "w"));
        if (!file || fwrite(text.data(), 1, text.size(), file) != text.size() || file.reset() != 0)
            g_logger->errorf(lcGeneral, "Cannot write script %s", scriptPath.c_str());
    }
    MarkAsExecutable(scriptPath);

    g_logger->infof("Running updating script");
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // Our log file and any other descriptor stay with us.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // A relative name starting with '-' must not read as an option of the shell.
    std::string runnable = scriptPath[0] == '/' ? scriptPath : "./" + scriptPath;
    const char* argv[] = {"/bin/sh", runnable.c_str(), nullptr};
    pid_t pid;
    int err = posix_spawn(&pid, "/bin/sh", &actions, &attr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (err != 0) g_logger->errorf(lcGeneral, "(OS error) %s", strerror(err));
    g_logger->infof("Updating script started successfully");
    exit(0);
}

#endif

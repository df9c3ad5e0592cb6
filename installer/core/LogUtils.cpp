#include "LogUtils.h"

#include "OsUtils.h"
#include "base/Path.h"
#include "base/Platform.h"
#include "base/Utils.h"

#include <filesystem>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <vector>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

enum class DebuggerState { Unknown, No, Yes };

// Process-wide, shared by every LoggerQmh.
FILE* g_logFile = nullptr;
DebuggerState g_debugger = DebuggerState::Unknown;

const char* const kLogFileFormat = "qmh_installer_%lld.log";
const long long kLogMaxAgeSeconds = 30LL * 24 * 3600;

// Names of the regular files directly inside the working directory, relative to it.
std::vector<std::string> ListRegularFilesInCwd() {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(".")) {
        // A link named like a log is the player's, not one of ours.
        if (fs::is_regular_file(entry.symlink_status())) names.push_back(FsPathText(entry.path().filename()));
    }
    return names;
}

// The stamp of a name made by kLogFileFormat exactly ("qmh_installer_", decimal digits, ".log"),
// or -1 for any other name: the user's own "qmh_installer_116.exe" is no log file.
long long LogFileStamp(const std::string& name) {
    static const char kPrefix[] = "qmh_installer_", kSuffix[] = ".log";
    const size_t prefixLen = sizeof(kPrefix) - 1, suffixLen = sizeof(kSuffix) - 1;
    if (name.size() <= prefixLen + suffixLen || name.compare(0, prefixLen, kPrefix) != 0 ||
        name.compare(name.size() - suffixLen, suffixLen, kSuffix) != 0)
        return -1;
    std::string digits = name.substr(prefixLen, name.size() - prefixLen - suffixLen);
    if (digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stoll(digits);
}

} // namespace

bool IsLogFileName(const std::string& name) {
    return LogFileStamp(name) >= 0;
}

namespace {

void RemoveOldLogFiles(long long now) {
    for (const std::string& name : ListRegularFilesInCwd()) {
        long long stamp = LogFileStamp(name);
        if (stamp < 0) continue;
        if (now - stamp <= kLogMaxAgeSeconds) continue;
        g_logger->infof("Removing old logfile: %s", name.c_str());
        fs::remove(FsPath(name));
    }
}

} // namespace

void LoggerQmh::Message(LogCode code, LogSeverity severity, const char* message) {
    std::string line = FormatString("%s%s\n", SeverityPrefix(severity), message);
    fputs(line.c_str(), stdout);
    fflush(stdout);
    if (g_debugger != DebuggerState::No) WriteToDebugger(line.c_str());
    if (g_logFile) {
        fputs(line.c_str(), g_logFile);
        fflush(g_logFile);
    }
}

void LoggerQmh::OpenLogFile() {
    OpenLogFileAt((long long)time(nullptr));
}

void LoggerQmh::OpenLogFileAt(long long now) {
    if (g_debugger == DebuggerState::Unknown)
        g_debugger = IsDebuggerAttached() ? DebuggerState::Yes : DebuggerState::No;
    if (g_logFile) return;

    std::string name = FormatString(kLogFileFormat, now);
    // Appending: a second run that starts within the same second gets the same name, and its
    // log continues after the first run's instead of erasing it. Like every file of the
    // installer's: never through a link, and nothing but a regular file, opened without waiting.
    std::string refusal;
    if (IsSymbolicLink(name))
        refusal = ": it is a symbolic link";
    else if (!NonRegularFileKind(name).empty())
        refusal = ": it is not a regular file (a " + NonRegularFileKind(name) + ")";
    FILE* file = refusal.empty() ? OpenStdioFile(name, "at") : nullptr;
    if (!file && refusal.empty()) refusal = ": " + ErrnoText(errno);
    if (!file) throw ErrorException(("cannot open log file " + name + refusal).c_str(), lcCantOpenFile);
    g_logFile = file;

    time_t t = (time_t)now;
    const char* created = ctime(&t);
    fprintf(g_logFile, "This is log file of qmh_installer application.\nCreated at %s\n",
            created ? created : "(unknown time)\n");
    fflush(g_logFile);

    RemoveOldLogFiles(now);
}

std::string FormatFilenameWithDatetime(const char* pattern, const char* description) {
    static const time_t instant = time(nullptr);
    struct tm utc = UtcTime(instant);
    char buffer[1024];
    memset(buffer, 0, sizeof(buffer));
    size_t length = strftime(buffer, sizeof(buffer), pattern, &utc);
    if (length == 0 || length >= sizeof(buffer) - 1)
        g_logger->errorf(lcGeneral, "Failed to format %s filename with datetime (%d)", description,
                         (int)length);
    return buffer;
}

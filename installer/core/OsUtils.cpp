#include "OsUtils.h"

#include "Logging.h"

#include <filesystem>
#include <unistd.h>

using namespace ZipSync;
namespace fs = std::filesystem;

static std::string _argv0;

void SetArgv0(const char* argv0) {
    g_logger->infof("Save command line of current process: \"%s\"", argv0);
    _argv0 = argv0;
}

std::string GetExecutablePath() {
    ZipSyncAssert(!_argv0.empty());
    fs::path path =
        _argv0.find('/') == std::string::npos ? fs::read_symlink("/proc/self/exe") : fs::canonical(_argv0);
    return path.generic_string();
}

std::string GetExecutableDir() {
    return fs::path(GetExecutablePath()).parent_path().generic_string();
}

std::string GetExecutableName() {
    ZipSyncAssert(!_argv0.empty());
    return fs::path(_argv0).filename().generic_string();
}

std::string GetCwd() {
    return fs::current_path().generic_string();
}

bool SetCwd(const std::string& dir) {
    g_logger->infof("Setting CWD to \"%s\"", dir.c_str());
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        g_logger->warningf("Suggested CWD is not an existing directory");
        return false;
    }
    fs::current_path(dir, ec);
    std::string now = fs::current_path(ec).generic_string();
    if (ec || now != dir) {
        g_logger->warningf("Failed to reset CWD");
        return false;
    }
    return true;
}

bool IsRunningAsAdmin() {
    return geteuid() == 0;
}

std::string CheckFilesWritable(const std::vector<std::string>& filePaths, bool allowMissing) {
    g_logger->errorf(lcGeneral, "CheckFilesWritable: not implemented");
}

uint64_t GetAvailableSpace(const std::string& path) {
    return 0;
}

void MarkAsExecutable(const std::string& filePath) {
    g_logger->errorf(lcGeneral, "MarkAsExecutable: not implemented");
}

std::string GetDesktopDir() {
    g_logger->errorf(lcGeneral, "GetDesktopDir: not implemented");
}

void CreateShortcut(ShortcutInfo info) {
    g_logger->errorf(lcGeneral, "CreateShortcut: not implemented");
}

bool IfShortcutExists(const std::string& name) {
    g_logger->errorf(lcGeneral, "IfShortcutExists: not implemented");
}

void SetTaskbarProgress(void* nativeWindow, double ratio) {}

void ReplaceAndRestartExecutable(const std::string& targetPath, const std::string& sourcePath,
                                 const std::vector<std::string>& arguments, int pauseSeconds) {
    g_logger->errorf(lcGeneral, "ReplaceAndRestartExecutable: not implemented");
}

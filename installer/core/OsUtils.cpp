// The part of the operating-system layer that both platforms share: the saved command name and
// the working directory, on top of the engine's platform file.
#include "OsUtils.h"

#include "base/Logging.h"
#include "base/Platform.h"

#include <filesystem>
#include <stdlib.h>

using namespace ZipSync;
namespace fs = std::filesystem;

static std::string _argv0;

void SetArgv0(const char* argv0) {
    g_logger->infof("Save command line of current process: \"%s\"", argv0);
    _argv0 = argv0;
}

const std::string& SavedArgv0() {
    ZipSyncAssert(!_argv0.empty());
    return _argv0;
}

std::string GetExecutableDir() {
    return FsPathText(FsPath(GetExecutablePath()).parent_path());
}

std::string GetExecutableName() {
    return FsPathText(FsPath(SavedArgv0()).filename());
}

std::string GetCwd() {
    return FsPathText(fs::current_path());
}

bool SetCwd(const std::string& dir) {
    g_logger->infof("Setting CWD to \"%s\"", dir.c_str());
    std::error_code ec;
    if (!fs::is_directory(FsPath(dir), ec)) {
        g_logger->warningf("Suggested CWD is not an existing directory");
        return false;
    }
    fs::current_path(FsPath(dir), ec);
    std::string now = FsPathText(fs::current_path(ec));
    if (ec || now != dir) {
        g_logger->warningf("Failed to reset CWD");
        return false;
    }
    return true;
}

bool SelfUpdateFailed() {
    const char* const name = SELF_UPDATE_FAILED_VARIABLE;
    bool failed = getenv(name) != nullptr;
    // Not for the programs this one starts, a restarted installer among them.
#ifdef _WIN32
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
    return failed;
}

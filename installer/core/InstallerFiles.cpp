#include "InstallerFiles.h"

#include "LogUtils.h"
#include "OsUtils.h"
#include "base/Logging.h"

using namespace ZipSync;

namespace {

// The name the installer was started with; empty before the entry point saved it, as when the
// actions run inside a test.
std::string ExecutableNameIfKnown() {
    ErrorsReportedByCaller quiet;
    try {
        return GetExecutableName();
    } catch (const ErrorException&) {
        return "";
    }
}

} // namespace

std::string DescribeInstallerFile(const std::string& relPath) {
    const std::string stateDir = STATE_DIR;
    if (relPath == stateDir || relPath.compare(0, stateDir.size() + 1, stateDir + "/") == 0)
        return "the installer's state folder";
    if (relPath == CONFIG_FILE) return "the installer's configuration";
    if (relPath == MANIFEST_FILE) return "the installation's manifest";
    if (relPath == PERMISSIONS_PROBE) return "the probe file of the directory check";
    if (IsLogFileName(relPath)) return "a log file of the installer";
    std::string exe = ExecutableNameIfKnown();
    if (exe.empty()) return "";
    if (relPath == exe) return "the installer's executable";
    for (const char* suffix : {TEMP_EXE_SUFFIX, TEMP_ZIP_SUFFIX, RESTART_SCRIPT_SUFFIX})
        if (relPath == exe + suffix) return "a temporary file of the installer's self-update";
    return "";
}

#include "InstallerRun.h"

#include "ChildProcess.h"
#include "InstallerWorld.h"
#include "TempDir.h"

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

static const double kPatience = 300; // seconds; only a bound for slow machines

InstallerRun::InstallerRun(const std::string& installDir, const std::string& outputName)
    : installDir(installDir), outputPath(std::string(TESTS_BINARY_DIR) + "/tests/" + outputName + ".out") {}

std::string InstallerRun::ProgramPath() const {
    return installDir + "/qmh_installer" + TESTS_EXECUTABLE_SUFFIX;
}

void InstallerRun::CopyProgram() const {
    GiveToUnprivilegedUser(installDir);
    fs::copy_file(std::string(TESTS_BIN_DIR) + "/qmh_installer" + TESTS_EXECUTABLE_SUFFIX, ProgramPath(),
                  fs::copy_options::overwrite_existing);
#ifndef _WIN32
    fs::permissions(ProgramPath(), fs::perms(0755));
#endif
}

int InstallerRun::Run(const std::vector<std::string>& args, double killAfter) const {
    ChildOptions options;
    options.argv = {ProgramPath(), "--unattended"};
#ifdef _WIN32
    if (allowAdmin) options.argv.push_back("--allow-admin");
#endif
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.cwd = installDir;
    options.env = GetInstallerWorld().Environment();
    for (std::string& entry : options.env)
        if (!updateServer.empty() && entry.rfind("QMH_UPDATE_SERVER=", 0) == 0)
            entry = "QMH_UPDATE_SERVER=" + updateServer;
#ifndef _WIN32
    options.env.push_back("DISPLAY=");
    options.env.push_back("HOME=" + installDir);
#endif
    options.outputPath = outputPath;
    options.unprivileged = true;
    ChildProcess child(options);
    if (killAfter <= 0) return child.Wait(kPatience);
    int code = child.Wait(killAfter);
    if (code != -1) return code;
    child.Kill();
    return -1;
}

std::string InstallerRun::Output() const {
    std::string text = ReadTestFile(outputPath);
    // The Windows program's console is in text mode: its line ends are "\r\n".
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

bool InstallerRun::Holds(const std::string& version) const {
    // timeout: a verify that hangs (on a FIFO, say) fails instead of stopping the suite.
    return RunShellCommand("timeout " + std::to_string(int(kPatience)) + " " + TESTS_LINUX_ZIPSYNC +
                           " -q verify '" + installDir + "' '" +
                           GetInstallerWorld().FullManifestPath(version) + "'") == 0;
}

void InstallerRun::WriteConfig(const std::string& mirrorRoot, const std::string& extraSections) const {
    const InstallerWorld& world = GetInstallerWorld();
    std::string config = world.DefaultConfig(extraSections);
    std::string mirror = world.MirrorRoot();
    config.replace(config.find(mirror), mirror.size(), mirrorRoot);
    WriteTestFile(installDir + "/qmh_installer.ini", config);
    GiveToUnprivilegedUser(installDir);
}

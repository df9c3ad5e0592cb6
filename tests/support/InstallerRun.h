// The installer program as the tests of whole installations run it: unattended, as the
// unprivileged user "nobody", without a display, in an install directory of its own, against
// the published test game (InstallerWorld). Its console output goes to a file per test.
// The Windows program runs under Wine with the test's display, and with "--allow-admin" (Wine
// reports every process as elevated) unless allowAdmin is cleared.
#pragma once

#include <string>
#include <vector>

class InstallerRun {
public:
    // outputName names the console output file under the build's tests/ directory.
    InstallerRun(const std::string& installDir, const std::string& outputName);

    // The installer program in the install directory.
    std::string ProgramPath() const;
    // Copies the installer program into the install directory and gives that to "nobody".
    void CopyProgram() const;
    // Runs it with "--unattended" and args; returns its exit code, or -1 when killAfter seconds
    // (when positive) passed first and SIGKILL ended it.
    int Run(const std::vector<std::string>& args, double killAfter = 0) const;
    // The console output of the last run, with "\n" line ends.
    std::string Output() const;
    // Whether the install directory holds exactly the given version of the test game (the Linux
    // zipsync tool verifies it, also for the Windows program).
    bool Holds(const std::string& version) const;
    // Writes the test game's configuration with its mirror at mirrorRoot (a URL ending in '/')
    // into the install directory, for "--skip-config-download".
    void WriteConfig(const std::string& mirrorRoot, const std::string& extraSections = "") const;

    std::string installDir;
    std::string outputPath;
    // When not empty, the QMH_UPDATE_SERVER of the runs instead of the world's official server.
    std::string updateServer;
    // Windows: "--allow-admin" on the command line.
    bool allowAdmin = true;
};

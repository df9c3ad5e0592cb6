// Unattended runs of the installer program as the unprivileged user "nobody", each in a fresh
// install directory, against the published test game: exit codes 0, 2 and 3, the version
// choice, a failed download that leaves no temporary file and is resumed by the next run, and
// the same run without a display.
#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "FaultServer.h"
#include "GameFixture.h"
#include "InstallerWorld.h"
#include "TempDir.h"
#include "TemporaryFileNames.h"
#include "VirtualDisplay.h"
#include "ZipFixture.h"

#include "GuiInit.h"
#include "GuiLayout.h"
#include "GuiPageSettings.h"
#include "GuiUtils.h"
#include "Unattended.h"

#include <filesystem>
#include <fstream>
#include <grp.h>
#include <map>
#include <memory>
#include <pwd.h>
#include <regex>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const double kPatience = 300; // seconds; only a bound for slow machines

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The installer copied into its own install directory, which "nobody" may write.
class UnattendedRun : public testing::Test {
protected:
    void SetUp() override {
        GiveToUnprivilegedUser(dir.path());
        fs::copy_file(std::string(TESTS_BIN_DIR) + "/qmh_installer", dir / "qmh_installer");
        fs::permissions(dir / "qmh_installer", fs::perms(0755));
        outputPath = std::string(TESTS_BINARY_DIR) + "/tests/unattended_" +
                     testing::UnitTest::GetInstance()->current_test_info()->name() + ".out";
    }

    // Starts the installer with --unattended and the given arguments.
    std::unique_ptr<ChildProcess> Start(std::vector<std::string> args, bool display = true) {
        ChildOptions options;
        options.argv = {dir / "qmh_installer", "--unattended"};
        options.argv.insert(options.argv.end(), args.begin(), args.end());
        options.cwd = dir.path();
        options.env = World().Environment();
        options.env.push_back(display ? VirtualDisplay::Shared().DisplayEnv() : "DISPLAY=");
        options.env.push_back("HOME=" + dir.path());
        options.outputPath = outputPath;
        options.unprivileged = true;
        return std::make_unique<ChildProcess>(options);
    }
    // The same, waiting for the end; returns the exit code.
    int Run(std::vector<std::string> args, bool display = true) {
        return Start(args, display)->Wait(kPatience);
    }
    std::string Output() const { return ReadTestFile(outputPath); }
    // Whether the directory holds exactly the given version's files (manifest included).
    bool Holds(const std::string& version) const {
        return RunShellCommand(std::string(TESTS_BIN_DIR) + "/zipsync -q verify '" + dir.path() + "' '" +
                               World().FullManifestPath(version) + "'") == 0;
    }
    // A configuration in the install directory, for --skip-config-download.
    void WriteConfig(const std::string& extraSections) const {
        WriteTestFile(dir / "qmh_installer.ini", World().DefaultConfig(extraSections));
        GiveToUnprivilegedUser(dir.path());
    }

    // Made on first use: the forked run below must not inherit its servers.
    static const InstallerWorld& World() { return GetInstallerWorld(); }

    TempDir dir{"qmhunattended"};
    std::string outputPath;
};

} // namespace

TEST_F(UnattendedRun, FreeSpaceWarningEndsWith2BeforeAnyDownload) {
    if (!CanDropPrivileges()) GTEST_SKIP() << "needs root to become nobody";
    // The settings page's free-space seam only exists inside a process: the unattended run goes
    // on in a forked copy of this test, as "nobody", without a display. It runs first, before any
    // server of this binary exists, since the copy ends through exit() and its static destructors.
    std::string installDir = dir.path();
    std::string output = outputPath;
    int status = RunInChild([&] {
        if (!freopen(output.c_str(), "w", stdout) || chdir(installDir.c_str()) != 0) _exit(99);
        struct passwd* nobody = getpwnam("nobody");
        struct group* nogroup = getgrnam("nogroup");
        if (!nobody || !nogroup || setgroups(0, nullptr) != 0 || setgid(nogroup->gr_gid) != 0 ||
            setuid(nobody->pw_uid) != 0)
            _exit(98);
        g_settingsAvailableSpace = [](const std::string&) { return uint64_t(2047) << 20; };
        g_headless = true;
        BuildMainWindow();
        InitMainWindow();
        char program[] = "qmh_installer", unattended[] = "--unattended";
        char* argv[] = {program, unattended, nullptr};
        RunUnattended(2, argv);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2) << Output();
    EXPECT_TRUE(Contains(Output(),
                         "Warning: Showing warning message: Only 2.00 GB of free space is available "
                         "in installation directory.\n"))
        << Output();
    EXPECT_FALSE(Contains(Output(), "Downloading"));
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir.path())) left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"qmh_installer"});
}

TEST_F(UnattendedRun, VersionAsLastArgumentInstallsTheDefault) {
    ASSERT_EQ(Run({"--version"}), 0) << Output();
    EXPECT_TRUE(Holds("2.0"));
    EXPECT_EQ(TemporaryFileNames(dir.path()), std::vector<std::string>{});
    EXPECT_TRUE(Contains(Output(), "Running in unattended mode\n"));
    EXPECT_TRUE(Contains(Output(), "Closing installer after successful install\n"));
    // A fresh directory has no state files yet, which is no error.
    EXPECT_FALSE(Contains(Output(), "ERROR")) << Output();
    EXPECT_TRUE(Contains(Output(), "Failed to read it: last install unknown\n")) << Output();
    // The log file tells the same story.
    bool logged = false;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.path().filename().string().rfind("qmh_installer_", 0) == 0)
            logged =
                Contains(ReadTestFile(entry.path().string()), "Closing installer after successful install");
    EXPECT_TRUE(logged);
}

// Also with the command line's download options, which every download takes: the console shows
// how far each download is, in bytes.
TEST_F(UnattendedRun, WithoutDisplayInstallsWithProgressOnTheConsole) {
    ASSERT_EQ(Run({"--version", "2.1", "--limit-rate", "50M", "--transfers", "3"}, false), 0) << Output();
    EXPECT_TRUE(Holds("2.1"));
    EXPECT_EQ(TemporaryFileNames(dir.path()), std::vector<std::string>{});
    std::string output = Output();
    EXPECT_TRUE(Contains(output, "No display: the window is not shown\n"));
    size_t download = output.find("Starting installation: download\n");
    ASSERT_NE(download, std::string::npos) << output;
    EXPECT_NE(
        output.find("Rate limit: 52428800 bytes per second\nTransfers in flight: at most 3\n", download),
        std::string::npos)
        << output;
    EXPECT_TRUE(std::regex_search(output.substr(download),
                                  std::regex(R"(\n\[100%\] Downloading: ([0-9.]+ [kM]?B) of \1\n)")))
        << output;
    EXPECT_TRUE(Contains(output, "[100%] Finalization complete\n")) << output;
}

TEST_F(UnattendedRun, RequestedVersionMissingOrAmbiguousEndsWith3) {
    EXPECT_EQ(Run({"--version", "9.9"}), 3) << Output();
    EXPECT_TRUE(Contains(Output(), "Warning: Showing error message: Specified version 9.9 not found\n"))
        << Output();
    EXPECT_FALSE(Contains(Output(), "Evaluating version"));

    // The folder "2.0" holds a version of its own: the label 2.0 is then found twice.
    WriteConfig("[Version extra]\nfolder=2.0\nmanifestUrl=${MIRROR}zipsync/2.0/manifest.iniz\n");
    EXPECT_EQ(Run({"--skip-config-download", "--version", "2.0"}), 3) << Output();
    EXPECT_TRUE(Contains(Output(), "Warning: Showing error message: Specified version 2.0 not found\n"))
        << Output();
    EXPECT_FALSE(Contains(Output(), "Evaluating version"));
}

TEST_F(UnattendedRun, FailedDownloadCleansUpBeforeEndingWith3) {
    // A copy of 2.0 on the server whose base archive has one byte changed inside.
    static int serial = 0;
    std::string name = "broken" + std::to_string(getpid()) + "_" + std::to_string(serial++);
    std::string published = World().www + "/zipsync/" + name;
    fs::copy(World().www + "/zipsync/2.0", published, fs::copy_options::recursive);
    std::string archive = published + "/qmh_base.pk4";
    std::string bytes = ReadTestFile(archive);
    bytes[bytes.size() / 2] ^= 0x5A;
    WriteTestFile(archive, bytes);
    WriteConfig("[Version " + name + "]\nfolder=Test\nmanifestUrl=${MIRROR}zipsync/" + name +
                "/manifest.iniz\n");

    EXPECT_EQ(Run({"--skip-config-download", "--version", name}), 3) << Output();
    std::string output = Output();
    EXPECT_TRUE(Contains(output, "Starting installation: download\n"));
    size_t error = output.find("Warning: Showing error message: ");
    ASSERT_NE(error, std::string::npos) << output;
    // The clean-up ran before the error ended the process: what arrived is kept, in a form the
    // next run reads, and nothing temporary is left among the archives.
    size_t cleanup = output.rfind("Salvaging ", error);
    EXPECT_NE(cleanup, std::string::npos) << output;
    EXPECT_EQ(TemporaryFileNames(dir.path()), std::vector<std::string>{});
    EXPECT_FALSE(Contains(output, "Closing installer"));

    // Once the server is mended, the next run fetches only what was not kept, and leaves no
    // journal behind.
    auto figure = [](const std::string& text, const std::string& label) {
        size_t at = text.find(label);
        return at == std::string::npos ? 0 : std::stoull(text.substr(at + label.size()));
    };
    uint64_t first = figure(output, "  download: ");
    fs::copy_file(World().www + "/zipsync/2.0/qmh_base.pk4", archive, fs::copy_options::overwrite_existing);
    EXPECT_EQ(Run({"--skip-config-download", "--version", name}), 0) << Output();
    EXPECT_TRUE(Holds("2.0"));
    uint64_t second = figure(Output(), "  download: ");
    EXPECT_GT(second, 0u);
    EXPECT_LT(second * 4, first) << Output();
    EXPECT_GT(figure(Output(), "Resumed bytes: "), 0u) << Output();
    EXPECT_FALSE(fs::exists(dir / ".zipsync/download"));
    fs::remove_all(published);
}

// An installation damaged in each way a player meets: an unattended run of the same version
// with a forced scan repairs it (exit 0, the output and log naming the archive), counting and
// fetching the damaged archive's entries and nothing else, and leaving the player's files alone.
TEST_F(UnattendedRun, ForcedScanRepairsDamagedArchives) {
    fs::copy(World().user, dir.path(), fs::copy_options::recursive);
    for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
        GiveToUnprivilegedUser(entry.path());
    ASSERT_EQ(Run({"--version", "2.0"}), 0) << Output();
    std::map<std::string, std::string> userFiles = SnapshotFiles(World().user);
    // Moved aside by every installation.
    userFiles.erase("Quillmere.cfg");
    const std::pair<Damage, std::string> cases[] = {
        {Damage::Truncated, "qmh_base.pk4"},
        {Damage::FlippedDataByte, "qmh_sounds.pk4"},
        {Damage::GarbageDirectory, "fms/qmh_lighthouse.pk4"},
        {Damage::TextFile, "qmh_shared_stuff.zip"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(DamageName(c.first));
        DamageArchive(dir / c.second, c.first);
        uint64_t entryBytes = 0, compressed = 0;
        for (const ZipSync::FileMetainfo& file : World().FullManifest("2.0"))
            if (file.zipPath.rel == c.second) {
                entryBytes += file.byterange[1] - file.byterange[0];
                compressed += file.compressedSize;
            }
        World().nginx->ClearAccessLog();
        ASSERT_EQ(Run({"--force-scan", "--version", "2.0"}), 0) << Output();
        EXPECT_TRUE(Holds("2.0"));
        EXPECT_EQ(RequestedArchiveBytes(*World().nginx), entryBytes);
        // The version's figures count the replacement as downloaded and added.
        for (const char* figure : {"  download: ", "  added: "})
            EXPECT_TRUE(Contains(Output(), figure + std::to_string(compressed) + "\n")) << Output();
        EXPECT_TRUE(
            Contains(Output(), "Warning: Archive " + c.second + " is damaged, left out of the analysis: "))
            << Output();
        EXPECT_TRUE(Contains(Output(), "Replacing damaged zip " + dir / c.second + "\n")) << Output();
        EXPECT_EQ(TemporaryFileNames(dir.path()), std::vector<std::string>{});
        for (const auto& file : userFiles)
            EXPECT_EQ(ReadTestFile(dir / file.first), file.second) << file.first;
    }
}

// Killed with SIGKILL while it fetches the repair (from a mirror that sends archives slowly),
// the installation keeps its damaged archive, and the next run repairs it.
TEST_F(UnattendedRun, KilledDuringARepairThenRerunEndsCorrect) {
    ASSERT_EQ(Run({"--version", "2.0"}), 0) << Output();
    DamageArchive(dir / "qmh_base.pk4", Damage::Truncated);
    std::string damaged = ReadTestFile(dir / "qmh_base.pk4");
    FaultServer slow;
    fs::create_directories(slow.Root() + "/zipsync");
    fs::copy(World().www + "/zipsync/2.0", slow.Root() + "/zipsync/2.0", fs::copy_options::recursive);
    WriteTestFile(dir / "qmh_installer.ini",
                  "[Mirror official]\nurl=" + World().TrustedRoot() +
                      "\nweight=0\nhidden=1\n\n[Mirror slow]\nurl=" + slow.Url("slowarchives", "") +
                      "\nweight=1\n\n[Version 2.0]\nfolder=Release\ndefault=1\n"
                      "manifestUrl=${MIRROR}zipsync/2.0/manifest.iniz\n");

    std::unique_ptr<ChildProcess> child =
        Start({"--skip-config-download", "--force-scan", "--version", "2.0"});
    auto fetchingAnArchive = [&] {
        for (const FaultServer::Request& request : slow.Requests())
            if (request.path.find(".pk4") != std::string::npos) return true;
        return false;
    };
    for (int i = 0; i < kPatience * 100 && child->Running() && !fetchingAnArchive(); i++) usleep(10000);
    ASSERT_TRUE(child->Running()) << Output();
    child->Kill();
    EXPECT_TRUE(Contains(Output(), "Starting installation: download\n")) << Output();
    EXPECT_EQ(ReadTestFile(dir / "qmh_base.pk4"), damaged);

    ASSERT_EQ(Run({"--force-scan", "--version", "2.0"}), 0) << Output();
    EXPECT_TRUE(Holds("2.0"));
    EXPECT_EQ(TemporaryFileNames(dir.path()), std::vector<std::string>{});
}

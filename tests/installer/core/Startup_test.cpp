// The start-up of an installation against a published game served by nginx: the directory
// checks, the configuration download, the installer's own update, the settings page's sequence
// and the restarts.
#include "CatchError.h"
#include "ChildProcess.h"
#include "GameFixture.h"
#include "InstallSession.h"
#include "OsUtils.h"
#include "ScopedEnv.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string.h>
#include <unistd.h>

using namespace ZipSync;
namespace fs = std::filesystem;

TEST(Startup, DirectoryChecks) {
    InstallDir dir;
    const uint64_t MB = 1 << 20;
    struct Case {
        uint64_t freeMb;
        std::string error, warning;
    } cases[] = {
        {99,
         "Only 99 MB of free space is available in installation directory.\n"
         "Installer surely won't work without at least 100 MB of free space!",
         ""},
        {100, "", "Only 0.10 GB of free space is available in installation directory.\n"},
        {5119, "", "Only 5.00 GB of free space"},
        {5120, "", ""},
    };
    for (const Case& c : cases) {
        std::string measuredAt;
        auto space = [&](const std::string& path) {
            measuredAt = path;
            return c.freeMb * MB + MB - 1;
        };
        std::vector<std::string> warnings;
        CaughtError error = CatchError([&] { warnings = CheckSpaceAndPermissions(dir / "new/sub", space); });
        EXPECT_EQ(error.message, c.error);
        EXPECT_EQ(measuredAt, dir.root) << "checked at the nearest existing ancestor";
        ASSERT_EQ(warnings.size(), c.warning.empty() || error.thrown ? 0u : 1u) << c.freeMb;
        if (!warnings.empty()) {
            EXPECT_EQ(warnings[0].rfind(c.warning, 0), 0u) << warnings[0];
        }
    }
    EXPECT_FALSE(fs::exists(dir / "__permissions_test"));
    EXPECT_FALSE(fs::exists(dir / "new"));

    // Root ignores permissions: the read-only case runs as an unprivileged user.
    ASSERT_TRUE(CanDropPrivileges()) << "the tests run as root";
    int status = RunInChild([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) throw std::runtime_error("cannot drop privileges");
        CaughtError refused = CatchError([&] { CheckSpaceAndPermissions(dir.root); });
        if (refused.message.rfind("Cannot write anything in installation directory \"" + dir.root + "\".\n",
                                  0) != 0)
            throw std::runtime_error(refused.message);
    });
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(fs::exists(dir / "__permissions_test"));
}

TEST(Startup, ConfigDownloadAndParseFailure) {
    InstallDir dir;
    InstallerConfig config = ReadConfigFile(true, NetworkOptions(), nullptr);
    EXPECT_EQ(config.GetVersions(), (std::vector<std::string>{"1.0", "2.0", "2.1"}));
    EXPECT_EQ(ReadTestFile(dir / "qmh_installer.ini"), dir.world.DefaultConfig());

    WriteTestFile(dir / "qmh_installer.ini", dir.world.DefaultConfig("[Version 3.0]\nfolder=X\n"));
    ExpectError([] { ReadConfigFile(false, NetworkOptions(), nullptr); }, lcGeneral,
                "Version 3.0: no manifestUrl-s");
    fs::remove(dir / "qmh_installer.ini");
    EXPECT_TRUE(CatchError([] { ReadConfigFile(false, NetworkOptions(), nullptr); }).thrown);
}

TEST(Startup, SelfUpdateFetchesOnlyTheHashWhenEqual) {
    InstallDir dir;
    WriteTestFile(dir / "bin/qmh_installer", "installer build one");
    SetArgv0((dir / "bin/qmh_installer").c_str());
    NginxServer& nginx = *dir.world.nginx;

    dir.world.PublishInstaller("installer build one");
    nginx.ClearAccessLog();
    EXPECT_FALSE(NeedsSelfUpdate(NetworkOptions(), nullptr));
    std::vector<NginxServer::LogEntry> log = nginx.AccessLog(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].uri, "/zipsync/qmh_installer.linux64.zip");
    EXPECT_EQ(log[0].range, "bytes=0-127");

    // Only an executable of this platform may replace the installer: not a text file, nor a
    // build for another processor.
    std::string buildTwo = ReadTestFile("/bin/true"), otherMachine = buildTwo;
    otherMachine[18] = char(183); // EM_AARCH64
    const std::pair<std::string, std::string> refused[] = {{"#!/bin/sh\necho planted\n", "text"},
                                                           {otherMachine, "aarch64"}};
    for (const auto& [payload, what] : refused) {
        dir.world.PublishInstaller(payload);
        ExpectError([&] { NeedsSelfUpdate(NetworkOptions(), nullptr); }, lcGeneral,
                    "Refusing the installer published at " + GetInstallerUrl() +
                        ": it is no ELF executable for x86-64");
        EXPECT_FALSE(fs::exists(dir / "bin/qmh_installer.__temp__")) << what;
        EXPECT_FALSE(fs::exists(dir / "bin/qmh_installer.__temp__.zip")) << what;
    }

    dir.world.PublishInstaller(buildTwo);
    EXPECT_TRUE(NeedsSelfUpdate(NetworkOptions(), nullptr));
    EXPECT_EQ(ReadTestFile(dir / "bin/qmh_installer.__temp__"), buildTwo);
    EXPECT_NE(fs::status(dir / "bin/qmh_installer.__temp__").permissions() & fs::perms::owner_exec,
              fs::perms::none);
    EXPECT_FALSE(fs::exists(dir / "bin/qmh_installer.__temp__.zip"));
    EXPECT_EQ(ReadTestFile(dir / "bin/qmh_installer"), "installer build one");
}

// The settings page's sequence: a warning answered with "stop" ends it before the log file, and
// otherwise the stages run in order, the installer finds itself up to date, and the result holds
// the configuration and the scan of the directory.
TEST(Startup, SequenceOfTheSettingsPage) {
    InstallDir dir;
    fs::copy(dir.world.versions + "/1.0", dir.root, fs::copy_options::recursive);
    WriteTestFile(dir / "bin/qmh_installer", "installer build one");
    SetArgv0((dir / "bin/qmh_installer").c_str());
    dir.world.PublishInstaller("installer build one");
    auto logFiles = [&] {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(dir.root))
            count += entry.path().filename().string().rfind("qmh_installer_", 0) == 0;
        return count;
    };

    StartupOptions options;
    options.availableSpace = [](const std::string&) { return uint64_t(1) << 30; };
    RecordingView stopped;
    stopped.confirm = false;
    EXPECT_FALSE(RunStartup(options, stopped));
    ASSERT_EQ(stopped.warnings.size(), 1u);
    EXPECT_EQ(stopped.warnings[0].rfind("Only 1.00 GB of free space", 0), 0u) << stopped.warnings[0];
    EXPECT_TRUE(stopped.stages.empty());
    EXPECT_EQ(logFiles(), 0);

    RecordingView view;
    std::optional<StartupResult> started = RunStartup(options, view);
    ASSERT_TRUE(started);
    EXPECT_EQ(view.warnings.size(), 1u);
    EXPECT_TRUE(view.news.empty());
    EXPECT_EQ(view.stages, (std::vector<Stage>{Stage::SelfUpdate, Stage::ConfigDownload, Stage::Scan}));
    EXPECT_FALSE(view.progress[Stage::Scan].updates.empty()) << "the analysis reports its progress";
    EXPECT_EQ(logFiles(), 1);
    EXPECT_EQ(started->config.GetVersions(), (std::vector<std::string>{"1.0", "2.0", "2.1"}));
    EXPECT_EQ(started->scan.ownedZips.size(), dir.world.Archives("1.0").size());
    EXPECT_EQ(started->scan.localManifest.size(), dir.world.FullManifest("1.0").size());
    EXPECT_TRUE(fs::exists(dir / ".zipsync/lastscan.ini"));

    // Without the downloads: the configuration already in the directory, and no self-update.
    WriteTestFile(dir / "qmh_installer.ini", dir.world.DefaultConfig("[Version 3.0]\nfolder=X\n"));
    options.selfUpdate = false;
    options.downloadConfig = false;
    RecordingView local;
    ExpectError([&] { RunStartup(options, local); }, lcGeneral, "Version 3.0: no manifestUrl-s");
    EXPECT_EQ(local.stages, (std::vector<Stage>{Stage::ConfigDownload}));
}

// Both restarts end the process; the restart script starts the new installer 5 s later. The
// death-test child runs this body anew, so it takes the parent's directory from the environment.
TEST(StartupDeathTest, RestartsStartTheNewInstaller) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::unique_ptr<TempDir> made;
    if (!getenv("QMH_TEST_RESTART_DIR")) {
        made = std::make_unique<TempDir>();
        setenv("QMH_TEST_RESTART_DIR", made->path().c_str(), 1);
        for (const char* name : {"qmh_installer", "qmh_installer.__temp__"}) {
            std::string which = strchr(name, '.') ? "new" : "old";
            WriteTestFile(made->path() + "/a/" + name, "#!/bin/sh\necho " + which + " > \"$0.started\"\n");
            fs::permissions(made->path() + "/a/" + name, fs::perms::owner_all);
        }
    }
    std::string dir = getenv("QMH_TEST_RESTART_DIR");
    SetArgv0((dir + "/a/qmh_installer").c_str());
    EXPECT_EXIT(RestartWithInstallDir(dir + "/b/c"), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(DoSelfUpdate(), testing::ExitedWithCode(0), "");
    unsetenv("QMH_TEST_RESTART_DIR");
    for (int i = 0; i < 300 && !(fs::exists(dir + "/a/qmh_installer.started") &&
                                 fs::exists(dir + "/b/c/qmh_installer.started"));
         i++)
        SleepMs(100);
    EXPECT_EQ(ReadTestFile(dir + "/b/c/qmh_installer.started"), "old\n");
    EXPECT_EQ(ReadTestFile(dir + "/a/qmh_installer.started"), "new\n");
    EXPECT_FALSE(fs::exists(dir + "/a/qmh_installer.__temp__"));
}

// The installer's actions against a published game served by nginx: directory checks, the
// configuration download, self-update, scan, evaluation with its manifest cache and failing
// mirrors, installation, updates and finalisation, and unpacking of crafted archives.
#include "Actions.h"

#include "CatchError.h"
#include "ChildProcess.h"
#include "GameFixture.h"
#include "InstallerState.h"
#include "InstallerWorld.h"
#include "LogUtils.h"
#include "OsUtils.h"
#include "RecordingLogger.h"
#include "ScopedEnv.h"
#include "Subprocess.h"
#include "TempDir.h"
#include "ZipFixture.h"
#include "zip/ChecksummedZip.h"
#include "zip/IniFile.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

// A fresh install directory as the working directory, an empty installer state and the world's
// environment; the previous working directory comes back at the end.
class InstallDir {
public:
    InstallDir() : world(GetInstallerWorld()), _saved(fs::current_path()) {
        world.SetEnvironment();
        g_state.Clear();
        fs::current_path(_dir.path());
        root = fs::current_path().generic_string();
    }
    ~InstallDir() {
        fs::current_path(_saved);
        g_state.Clear();
    }
    std::string operator/(const std::string& rel) const { return root + "/" + rel; }
    void AddUserFiles() const { fs::copy(world.user, root, fs::copy_options::recursive); }

    const InstallerWorld& world;
    std::string root;

private:
    TempDir _dir{"qmhinstall"};
    fs::path _saved;
};

struct ProgressLog : ProgressIndicator {
    int Update(double ratio, std::string comment, double, std::string) override {
        updates.push_back({ratio, comment});
        return 0;
    }
    std::vector<std::pair<double, std::string>> updates;
};

bool Logged(const RecordingLogger& log, const std::string& text) {
    return !log.WithPrefix(text).empty();
}

// Scan, evaluation and the three installation stages, as the wizard runs them.
UpdateStats Install(const std::string& version, bool bitwise, ProgressIndicator* finalizeProgress = nullptr) {
    ScanInstallDirIfNecessary(false, nullptr);
    UpdateStats stats = EvaluateVersion(version, "", bitwise, nullptr);
    g_state.evaluatedVersion = version;
    PerformInstallDownload(nullptr, nullptr);
    PerformInstallRepack(nullptr);
    PerformInstallFinalize(finalizeProgress);
    return stats;
}

// Bytes of the target's files whose contents the local manifest lacks: their whole byte ranges
// (local headers included), or with compressedOnly their compressed sizes.
uint64_t MissingBytes(const Manifest& target, const Manifest& local, bool compressedOnly = false) {
    std::set<std::string> present, counted;
    for (const FileMetainfo& file : local) present.insert(file.contentsHash.Hex());
    uint64_t bytes = 0;
    for (const FileMetainfo& file : target)
        if (!present.count(file.contentsHash.Hex()) && counted.insert(file.contentsHash.Hex()).second)
            bytes += compressedOnly ? file.compressedSize : file.byterange[1] - file.byterange[0];
    return bytes;
}

::testing::AssertionResult Verifies(const std::string& root, const std::string& manifest) {
    std::string command = std::string(TESTS_BIN_DIR) + "/zipsync -q verify '" + root + "' '" + manifest + "'";
    if (RunShell(command) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "zipsync verify failed for " << manifest;
}

// The archives a saved manifest describes, sorted.
std::vector<std::string> ManifestZips(const std::string& path) {
    Manifest manifest;
    manifest.LoadFromIni(ReadIniFile(path), "/install");
    std::set<std::string> zips;
    for (const FileMetainfo& file : manifest) zips.insert(file.zipPath.rel);
    return std::vector<std::string>(zips.begin(), zips.end());
}

} // namespace

TEST(Actions, DirectoryChecks) {
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

TEST(Actions, ConfigDownloadAndParseFailure) {
    InstallDir dir;
    ReadConfigFile(true, nullptr);
    EXPECT_EQ(g_state.config.GetVersions(), (std::vector<std::string>{"1.0", "2.0", "2.1"}));
    EXPECT_EQ(ReadTestFile(dir / "qmh_installer.ini"), dir.world.DefaultConfig());

    WriteTestFile(dir / "qmh_installer.ini", dir.world.DefaultConfig("[Version 3.0]\nfolder=X\n"));
    ExpectError([] { ReadConfigFile(false, nullptr); }, lcGeneral, "Version 3.0: no manifestUrl-s");
    EXPECT_TRUE(g_state.config.GetVersions().empty());
    fs::remove(dir / "qmh_installer.ini");
    EXPECT_TRUE(CatchError([] { ReadConfigFile(false, nullptr); }).thrown);
}

TEST(Actions, SelfUpdateFetchesOnlyTheHashWhenEqual) {
    InstallDir dir;
    WriteTestFile(dir / "bin/qmh_installer", "installer build one");
    SetArgv0((dir / "bin/qmh_installer").c_str());
    NginxServer& nginx = *dir.world.nginx;

    dir.world.PublishInstaller("installer build one");
    nginx.ClearAccessLog();
    EXPECT_FALSE(NeedsSelfUpdate(nullptr));
    std::vector<NginxServer::LogEntry> log = nginx.AccessLog(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].uri, "/zipsync/qmh_installer.linux64.zip");
    EXPECT_EQ(log[0].range, "bytes=0-127");

    dir.world.PublishInstaller("installer build two");
    EXPECT_TRUE(NeedsSelfUpdate(nullptr));
    EXPECT_EQ(ReadTestFile(dir / "bin/qmh_installer.__temp__"), "installer build two");
    EXPECT_NE(fs::status(dir / "bin/qmh_installer.__temp__").permissions() & fs::perms::owner_exec,
              fs::perms::none);
    EXPECT_FALSE(fs::exists(dir / "bin/qmh_installer.__temp__.zip"));
    EXPECT_EQ(ReadTestFile(dir / "bin/qmh_installer"), "installer build one");
}

// A fresh installation of the default version, then a downgrade and an update to the
// differential version, with the player's files around.
TEST(Actions, InstallUpdateAndFinalize) {
    InstallDir dir;
    const InstallerWorld& world = dir.world;
    dir.AddUserFiles();
    std::map<std::string, std::string> userFiles = SnapshotFiles(world.user);
    // Left by an older installation: binaries (one in a subfolder, not the game's) and a file
    // it unpacked.
    WriteTestFile(dir / "Quillmere.exe", "old");
    WriteTestFile(dir / "tools/Quillmere.exe", "not ours");
    WriteTestFile(dir / "oldtool.bin", "old");
    WriteTestFile(dir / ".zipsync/lastinstall.ini", "[Version]\nversion=0.9\n\n[UnpackedFile oldtool.bin]\n");

    EXPECT_TRUE(CheckSpaceAndPermissions(dir.root, [](const std::string&) { return 1ull << 40; }).empty());
    StartLogFile();
    std::vector<std::string> logs;
    for (const auto& entry : fs::directory_iterator(dir.root))
        if (entry.path().filename().string().rfind("qmh_installer_", 0) == 0) logs.push_back(entry.path());
    EXPECT_EQ(logs.size(), 1u);
    ReadConfigFile(true, nullptr);
    ProgressLog progress;
    UpdateStats fresh = Install(g_state.config.GetDefaultVersion(), true, &progress);

    EXPECT_EQ(fresh.downloadSize, fresh.finalSize);
    EXPECT_EQ(fresh.missingSize, 0u);
    for (const std::string& rel : world.Archives("2.0"))
        EXPECT_EQ(ReadTestFile(dir / rel), ReadTestFile(world.www + "/zipsync/2.0/" + rel)) << rel;
    EXPECT_TRUE(Verifies(dir.root, world.FullManifestPath("2.0")));
    InstallState last = InstallStateFromIni(ReadIniFile(dir / ".zipsync/lastinstall.ini"));
    EXPECT_EQ(last.version, "2.0");
    EXPECT_EQ(last.zips, world.Archives("2.0"));
    EXPECT_EQ(last.unpackedFiles,
              (std::vector<std::string>{"logicx86.so", "quillmere.x64", "quillmere.x86"}));
    EXPECT_EQ(ManifestZips(dir / "manifest.iniz"), world.Archives("2.0"));
    EXPECT_NE(fs::status(dir / "quillmere.x64").permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_FALSE(fs::exists(dir / "Quillmere.exe"));
    EXPECT_FALSE(fs::exists(dir / "oldtool.bin"));
    EXPECT_TRUE(fs::exists(dir / "tools/Quillmere.exe"));
    std::vector<double> ratios = {0.0,  0.5,  0.5, 0.6, 0.6,  0.7,  0.7, 0.8, 0.8,
                                  0.85, 0.85, 0.9, 0.9, 0.95, 0.95, 1,   1};
    ASSERT_EQ(progress.updates.size(), ratios.size());
    for (size_t i = 0; i < ratios.size(); i++) EXPECT_NEAR(progress.updates[i].first, ratios[i], 1e-9) << i;
    EXPECT_EQ(progress.updates[7].second, "Unpacking finished");

    // The player's files: the configuration moved aside (and restorable), the rest untouched.
    ASSERT_TRUE(CanRestoreOldConfig());
    std::string aside = g_state.oldConfigFilename;
    EXPECT_EQ(aside, FormatFilenameWithDatetime("Quillmere_%y%m%d_%H%M%S.cfg", "QMH config"));
    EXPECT_FALSE(fs::exists(dir / "Quillmere.cfg"));
    WriteTestFile(dir / "Quillmere.cfg", "written by the new game");
    RestoreOldConfig();
    EXPECT_FALSE(CanRestoreOldConfig());
    for (const auto& file : userFiles) EXPECT_EQ(ReadTestFile(dir / file.first), file.second) << file.first;

    // The state files agree: a new scan reuses the manifest (twice: nothing accumulates), unless
    // forced.
    for (bool force : {false, false, true}) {
        RecordingLogger log;
        ScanInstallDirIfNecessary(force, nullptr);
        EXPECT_TRUE(Logged(log, "Zips seem to have not changed since last time"));
        EXPECT_EQ(Logged(log, "Analysing the archives"), force);
        EXPECT_EQ(g_state.localManifest.size(), world.FullManifest("2.0").size());
    }

    // Down to 1.0: only the entries whose contents are missing travel.
    Manifest before = g_state.localManifest;
    world.nginx->ClearAccessLog();
    UpdateStats down = Install("1.0", false);
    EXPECT_EQ(RequestedArchiveBytes(*world.nginx), MissingBytes(world.FullManifest("1.0"), before));
    EXPECT_EQ(down.downloadSize, MissingBytes(world.FullManifest("1.0"), before, true));
    EXPECT_TRUE(Verifies(dir.root, world.FullManifestPath("1.0")));
    // Entries kept aside in __reduced__ zips during the repack are not part of the installation.
    EXPECT_EQ(ManifestZips(dir / "manifest.iniz"), world.Archives("1.0"));
    EXPECT_FALSE(fs::exists(dir / "fms/qmh_lighthouse.pk4"));
    for (const auto& file : userFiles)
        if (file.first != "Quillmere.cfg") {
            EXPECT_EQ(ReadTestFile(dir / file.first), file.second) << file.first;
        }

    // Up to 2.1, whose files come from its own directory and from 2.0's. The moved-aside name is
    // taken already: the configuration stays.
    WriteTestFile(dir / "Quillmere.cfg", "newer settings");
    WriteTestFile(dir / aside, "older settings");
    {
        RecordingLogger log;
        Install("2.1", true);
        EXPECT_TRUE(Logged(log, "Failed to rename: destination file already exists."));
    }
    EXPECT_TRUE(Verifies(dir.root, world.FullManifestPath("2.1")));
    EXPECT_EQ(ReadTestFile(dir / "Quillmere.cfg"), "newer settings");
    EXPECT_EQ(g_state.oldConfigFilename, aside);
    EXPECT_EQ(InstallStateFromIni(ReadIniFile(dir / ".zipsync/lastinstall.ini")).version, "2.1");
}

// A damaged archive is left out of the scan's manifest and of its recorded state: until it is
// replaced, every scan, forced or not, analyses again and finds it.
TEST(Actions, DamagedArchiveIsFoundByEveryScanUntilReplaced) {
    InstallDir dir;
    fs::copy(dir.world.versions + "/2.0", dir.root, fs::copy_options::recursive);
    DamageArchive(dir / "qmh_sounds.pk4", Damage::FlippedDataByte);
    for (bool force : {true, false}) {
        RecordingLogger log;
        ScanInstallDirIfNecessary(force, nullptr);
        EXPECT_TRUE(Logged(log, "Analysing the archives"));
        ASSERT_EQ(g_state.damagedZips.size(), 1u);
        EXPECT_EQ(g_state.damagedZips[0].path, dir / "qmh_sounds.pk4");
        EXPECT_EQ(
            ManifestZips(dir / "manifest.iniz"),
            (std::vector<std::string>{"fms/qmh_lighthouse.pk4", "qmh_base.pk4", "qmh_shared_stuff.zip"}));
    }
}

TEST(Actions, InstallationByAnotherProgramIsNormalisedAndUpdated) {
    InstallDir dir;
    fs::copy(dir.world.infoZip, dir.root, fs::copy_options::recursive);
    ReadConfigFile(true, nullptr);
    ScanInstallDirIfNecessary(false, nullptr);
    // Analysable only after normalisation (no directory entries, no extra fields).
    EXPECT_EQ(g_state.localManifest.size(), dir.world.FullManifest("1.0").size());
    UpdateStats stats = EvaluateVersion("2.0", "", false, nullptr);
    EXPECT_EQ(stats.downloadSize, MissingBytes(dir.world.FullManifest("2.0"), g_state.localManifest, true));
    g_state.evaluatedVersion = "2.0";
    g_state.noMultipartByteranges = true;
    dir.world.nginx->ClearAccessLog();
    PerformInstallDownload(nullptr, nullptr);
    for (const NginxServer::LogEntry& entry : dir.world.nginx->AccessLog(1))
        EXPECT_EQ(entry.range.find(','), std::string::npos) << entry.range;
    PerformInstallRepack(nullptr);
    PerformInstallFinalize(nullptr);
    EXPECT_TRUE(Verifies(dir.root, dir.world.FullManifestPath("2.0")));
    EXPECT_FALSE(fs::exists(dir / "fms/harborjob/map.pk4"));
}

TEST(Actions, LinkedArchivesAreLeftAlone) {
    InstallDir dir;
    TempDir outside;
    fs::copy_file(dir.world.versions + "/1.0/qmh_base.pk4", dir / "qmh_base.pk4");
    fs::copy_file(dir.world.versions + "/1.0/qmh_base.pk4", outside / "qmh_elsewhere.pk4");
    std::string before = ReadTestFile(outside / "qmh_elsewhere.pk4");
    fs::create_symlink(outside / "qmh_elsewhere.pk4", dir / "qmh_extra.pk4");
    fs::create_symlink("qmh_base.pk4", dir / "qmh_alias.pk4");
    EXPECT_EQ(CollectOwnedZips(dir.root), std::vector<std::string>{dir / "qmh_base.pk4"});
    ReadConfigFile(true, nullptr);
    Install("2.0", false);
    EXPECT_TRUE(fs::is_symlink(dir / "qmh_extra.pk4"));
    EXPECT_TRUE(fs::is_symlink(dir / "qmh_alias.pk4"));
    EXPECT_EQ(ReadTestFile(outside / "qmh_elsewhere.pk4"), before);
    EXPECT_TRUE(Verifies(dir.root, dir.world.FullManifestPath("2.0")));
}

TEST(Actions, ManifestCache) {
    InstallDir dir;
    NginxServer& nginx = *dir.world.nginx;
    ReadConfigFile(true, nullptr);
    ScanInstallDirIfNecessary(false, nullptr);
    EvaluateVersion("2.1", "", false, nullptr);
    for (const char* key : {"2.1$$trusted", "2.1", "2.0"})
        EXPECT_EQ(g_state.loadedManifests.count(key), 1u) << key;
    auto manifestRequests = [&nginx](size_t expected) {
        std::vector<std::string> requests;
        for (const NginxServer::LogEntry& entry : nginx.AccessLog(expected))
            if (entry.uri.find(".iniz") != std::string::npos) requests.push_back(entry.range);
        return requests;
    };

    // Again in this process: nothing is fetched.
    nginx.ClearAccessLog();
    {
        RecordingLogger log;
        UpdateStats stats = EvaluateVersion("2.1", "", false, nullptr);
        EXPECT_EQ(log.WithPrefix("  2.").size(), 2u);
        EXPECT_EQ(log.WithPrefix("  2.1 (loaded)").size() + log.WithPrefix("  2.0 (loaded)").size(), 2u);
        EXPECT_EQ(stats.missingSize, 0u);
    }
    EXPECT_TRUE(manifestRequests(0).empty());

    // In a new process: only the digests are fetched; an invalid cache file goes.
    g_state.Clear();
    ReadConfigFile(true, nullptr);
    ScanInstallDirIfNecessary(false, nullptr);
    WriteTestFile(dir / ".zipsync/mani/7.iniz", "not a zip");
    nginx.ClearAccessLog();
    RecordingLogger log;
    EvaluateVersion("2.1", "", false, nullptr);
    EXPECT_TRUE(Logged(log, "Removing .zipsync/mani/7.iniz from manifest cache since it is not a valid zip"));
    EXPECT_FALSE(fs::exists(dir / ".zipsync/mani/7.iniz"));
    EXPECT_EQ(manifestRequests(3), std::vector<std::string>(3, "bytes=0-127"));
    EXPECT_TRUE(g_state.updater);
}

// A custom manifest (here 2.1's differential one) works only on top of a base version that
// provides its absent files.
TEST(Actions, CustomManifestNeedsTheRightBaseVersion) {
    InstallDir dir;
    ReadConfigFile(true, nullptr);
    ScanInstallDirIfNecessary(false, nullptr);
    // The target manifest is asked for over TLS, which the mirror's port does not speak.
    g_state.disableTls = true;
    std::string custom = dir.world.MirrorRoot() + "zipsync/2.1/manifest.iniz";
    EXPECT_GT(EvaluateVersion("1.0", custom, false, nullptr).missingSize, 0u);
    EXPECT_FALSE(g_state.updater);
    UpdateStats stats = EvaluateVersion("2.0", custom, false, nullptr);
    EXPECT_EQ(stats.missingSize, 0u);
    EXPECT_EQ(stats.downloadSize, MissingBytes(dir.world.FullManifest("2.1"), Manifest(), true));
    EXPECT_TRUE(g_state.updater);
}

TEST(Actions, FailingMirrorsAreDropped) {
    InstallDir dir;
    const InstallerWorld& world = dir.world;
    std::string broken = "http://127.0.0.1:" + std::to_string(FindFreePort()) + "/";
    WriteTestFile(dir / "qmh_installer.ini",
                  world.DefaultConfig("[Mirror broken]\nurl=" + broken + "\nweight=1\n"));
    ReadConfigFile(false, nullptr);
    ScanInstallDirIfNecessary(false, nullptr);
    g_state.preferredMirror = "broken";
    {
        RecordingLogger log;
        EvaluateVersion("2.0", "", false, nullptr);
        EXPECT_TRUE(
            Logged(log, "Removed manifest URL " + broken + "zipsync/2.0/manifest.iniz from version 2.0"));
    }
    EXPECT_TRUE(g_state.updater);
    for (const ManifestUrl& url : g_state.config.FindVersion("2.0", true)->manifestUrls)
        EXPECT_EQ(url.url.find(broken), std::string::npos);

    // Only the official server, whose https port does not speak http: nothing is left.
    WriteTestFile(
        dir / "qmh_installer.ini",
        "[Mirror official]\nurl=" + world.TrustedRoot() +
            "\nweight=1\n\n"
            "[Version 2.0]\nfolder=Release\ndefault=1\nmanifestUrl=${MIRROR}zipsync/2.0/manifest.iniz\n");
    g_state.Clear();
    ReadConfigFile(false, nullptr);
    ExpectError([] { EvaluateVersion("2.0", "", false, nullptr); }, lcGeneral,
                "No candidates to choose url from (version 2.0)");
}

TEST(Actions, LockedArchiveFailsTheScan) {
    InstallDir dir;
    fs::copy(dir.world.versions + "/1.0", dir.root, fs::copy_options::recursive);
    Subprocess holder;
    holder.Start({"flock", dir / "qmh_base.pk4", "sleep", "60"}, dir / "flock.out");
    for (int i = 0; i < 500; i++) {
        int fd = open((dir / "qmh_base.pk4").c_str(), O_RDONLY);
        bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
        close(fd);
        if (locked) break;
        SleepMs(10);
    }
    CaughtError error = CatchError([] { ScanInstallDirIfNecessary(false, nullptr); });
    EXPECT_EQ(error.message, "File " + dir.root +
                                 "/qmh_base.pk4 cannot be modified.\n"
                                 "Please make sure no Quillmere-related programs are running and try again.");
}

TEST(Actions, ShortcutToTheGame) {
    InstallDir dir;
    ScopedEnv home("HOME", dir.root.c_str());
    ScopedEnv config("XDG_CONFIG_HOME", nullptr);
    ExpectError([] { CreateDesktopShortcut(); }, lcGeneral, "Cannot find any QMH executable");
    WriteTestFile(dir / "quillmere.x86", "");
    WriteTestFile(dir / "quillmere.x64", "");
    EXPECT_FALSE(ShortcutExists());
    CreateDesktopShortcut();
    EXPECT_TRUE(ShortcutExists());
    std::string entry = ReadTestFile(dir / "Desktop/Quillmere.desktop");
    EXPECT_NE(entry.find(dir / "quillmere.x64"), std::string::npos) << entry;
}

// Both restarts end the process; the restart script starts the new installer 5 s later. The
// death-test child runs this body anew, so it takes the parent's directory from the environment.
TEST(ActionsDeathTest, RestartsStartTheNewInstaller) {
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

// Entry names of a downloaded archive never reach outside the install directory, and an archive
// with one entry that cannot be unpacked writes none: the file already there (here a link to
// outside) stays until a whole archive is unpacked, which replaces the link without writing
// through it.
TEST(Actions, UnpackZipRefusesUnsafeNames) {
    InstallDir dir;
    fs::create_directories(dir / "game/taken");
    fs::current_path(dir / "game");
    auto makeZip = [&](const std::vector<std::string>& names) {
        ZipFileHolder zf(dir / "crafted.zip");
        for (const std::string& name : names) {
            zip_fileinfo info = {};
            zf.OpenNewFile(name.c_str(), info, Z_DEFLATED, 6, false);
            zf.WriteInFile("data", 4);
            zf.CloseFile();
        }
        zf.Close();
    };
    struct Case {
        std::string name, error;
    } cases[] = {
        {"../evil.txt", "Refusing to unpack entry \"../evil.txt\": path goes up with \"..\""},
        {"sub/../../evil.txt", "Refusing to unpack entry \"sub/../../evil.txt\": path goes up with \"..\""},
        {dir / "evil.txt", "Refusing to unpack entry \"" + dir / "evil.txt" + "\": absolute path"},
        {"..\\evil.txt", "Refusing to unpack entry \"..\\evil.txt\": name contains a backslash"},
        {"evil\x1b.txt", "Refusing to unpack entry \"evil\\x1B.txt\": name contains a control character"},
        {"somedir/", "Refusing to unpack entry \"somedir/\": directory entry"},
        {"./good.txt", "Refusing to unpack entry \"./good.txt\": path has an empty or \".\" component"},
        {"taken//x.txt", "Refusing to unpack entry \"taken//x.txt\": path has an empty or \".\" component"},
        {"__unpacking__good.txt",
         "Refusing to unpack entry \"__unpacking__good.txt\": name of a temporary file"},
        {"nodir/file.txt", "Cannot open file \"nodir/file.txt\" for writing: No such file or directory"},
        {"taken", "Cannot unpack entry \"taken\": a directory is in its place"},
    };
    fs::create_symlink(dir / "outside.txt", dir / "game/good.txt");
    for (const Case& c : cases) {
        makeZip({"good.txt", c.name});
        UnzFileHolder zf(dir / "crafted.zip");
        ExpectError([&] { UnpackZip(zf); }, c.error.rfind("Cannot open", 0) == 0 ? lcCantOpenFile : lcGeneral,
                    c.error);
        EXPECT_TRUE(fs::is_symlink(dir / "game/good.txt")) << c.name;
        EXPECT_EQ(SnapshotFiles(dir / "game"), (std::map<std::string, std::string>{})) << c.name;
        EXPECT_FALSE(fs::exists(dir / "evil.txt"));
        EXPECT_FALSE(fs::exists(dir / "outside.txt"));
    }
    makeZip({"good.txt", "taken/inside.txt"});
    UnzFileHolder zf(dir / "crafted.zip");
    EXPECT_EQ(UnpackZip(zf), (std::vector<std::string>{"good.txt", "taken/inside.txt"}));
    EXPECT_EQ(SnapshotFiles(dir / "game"),
              (std::map<std::string, std::string>{{"good.txt", "data"}, {"taken/inside.txt", "data"}}));
    EXPECT_FALSE(fs::is_symlink(dir / "game/good.txt"));
    EXPECT_FALSE(fs::exists(dir / "outside.txt"));
}

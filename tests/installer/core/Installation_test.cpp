// The installation of an evaluated version against a published game served by nginx: the
// sequence of the installation page, updates between versions with the player's files around,
// a cancelled installation started again, and the finishing actions.
#include "CatchError.h"
#include "GameFixture.h"
#include "InstallSession.h"
#include "LogUtils.h"
#include "ScopedEnv.h"
#include "TemporaryFileNames.h"
#include "base/Utils.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace ZipSync;
namespace fs = std::filesystem;

// A fresh installation of the default version, then a downgrade and an update to the
// differential version, with the player's files around.
TEST(Installation, InstallUpdateAndFinalize) {
    InstallDir dir;
    const InstallerWorld& world = dir.world;
    dir.AddUserFiles();
    std::map<std::string, std::string> userFiles = SnapshotFiles(world.user);
    // Left by an older installation: binaries (one in a subfolder, not the game's) and a file
    // it unpacked, whose digest it did not record: not known to be as it was unpacked, it stays.
    WriteTestFile(dir / "Quillmere.exe", "old");
    WriteTestFile(dir / "tools/Quillmere.exe", "not ours");
    WriteTestFile(dir / "oldtool.bin", "old");
    WriteTestFile(dir / ".zipsync/lastinstall.ini", "[Version]\nversion=0.9\n\n[UnpackedFile oldtool.bin]\n");

    Session session;
    session.ReadConfig();
    RecordingView view;
    UpdateStats fresh = session.Install(session.config.GetDefaultVersion(), true, view);
    EXPECT_EQ(view.stages, (std::vector<Stage>{Stage::Download, Stage::Repack, Stage::Finalize}));
    EXPECT_FALSE(view.progress[Stage::Download].updates.empty());
    EXPECT_EQ(view.verifyProgress.updates.back().second, "Verifying finished");
    EXPECT_EQ(view.progress[Stage::Repack].updates.back().second, "Repacking finished");

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
    for (const std::string& name : last.unpackedFiles)
        EXPECT_EQ(last.unpackedHashes.at(name), DigestOfFile(dir / name)) << name;
    EXPECT_EQ(ManifestZips(dir / "manifest.iniz"), world.Archives("2.0"));
    EXPECT_NE(fs::status(dir / "quillmere.x64").permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_FALSE(fs::exists(dir / "Quillmere.exe"));
    EXPECT_EQ(ReadTestFile(dir / "oldtool.bin"), "old");
    EXPECT_TRUE(fs::exists(dir / "tools/Quillmere.exe"));
    std::vector<double> ratios = {0.0,  0.5,  0.5, 0.6, 0.6,  0.7,  0.7, 0.8, 0.8,
                                  0.85, 0.85, 0.9, 0.9, 0.95, 0.95, 1,   1};
    const ProgressLog& finalize = view.progress[Stage::Finalize];
    ASSERT_EQ(finalize.updates.size(), ratios.size());
    for (size_t i = 0; i < ratios.size(); i++) EXPECT_NEAR(finalize.updates[i].first, ratios[i], 1e-9) << i;
    EXPECT_EQ(finalize.updates[7].second, "Unpacking finished");

    // The player's files: the configuration moved aside (and restorable), the rest untouched.
    ASSERT_TRUE(CanRestoreOldConfig(session.oldConfigFilename));
    std::string aside = session.oldConfigFilename;
    EXPECT_EQ(aside, FormatFilenameWithDatetime("Quillmere_%y%m%d_%H%M%S.cfg", "QMH config"));
    EXPECT_FALSE(fs::exists(dir / "Quillmere.cfg"));
    WriteTestFile(dir / "Quillmere.cfg", "written by the new game");
    RestoreOldConfig(session.oldConfigFilename);
    EXPECT_FALSE(CanRestoreOldConfig(session.oldConfigFilename));
    for (const auto& file : userFiles) EXPECT_EQ(ReadTestFile(dir / file.first), file.second) << file.first;

    // The state files agree: a new scan reuses the manifest (twice: nothing accumulates), unless
    // forced.
    for (bool force : {false, false, true}) {
        RecordingLogger log;
        session.Scan(force);
        EXPECT_TRUE(Logged(log, "Zips seem to have not changed since last time"));
        EXPECT_EQ(Logged(log, "Analysing the archives"), force);
        EXPECT_EQ(session.scan.localManifest.size(), world.FullManifest("2.0").size());
    }

    // Down to 1.0: only the entries whose contents are missing travel.
    Manifest before = session.scan.localManifest;
    world.nginx->ClearAccessLog();
    UpdateStats down = session.Install("1.0");
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
        session.Install("2.1", true);
        EXPECT_TRUE(Logged(log, "Failed to rename: destination file already exists."));
    }
    EXPECT_TRUE(Verifies(dir.root, world.FullManifestPath("2.1")));
    EXPECT_EQ(ReadTestFile(dir / "Quillmere.cfg"), "newer settings");
    EXPECT_EQ(session.oldConfigFilename, aside);
    EXPECT_EQ(InstallStateFromIni(ReadIniFile(dir / ".zipsync/lastinstall.ini")).version, "2.1");
}

// A stage that fails (here the verification of the download, cancelled) leaves only whole
// archives: the previous version as it was and the entries that arrived, kept for the next
// attempt. START again with the same evaluation fetches nothing more and finishes.
TEST(Installation, CancelledInstallationCleansUpAndCanBeStartedAgain) {
    InstallDir dir;
    const InstallerWorld& world = dir.world;
    fs::copy(world.versions + "/1.0", dir.root, fs::copy_options::recursive);
    Session session;
    session.ReadConfig();
    session.Scan();
    Evaluation evaluation = session.Evaluate("2.0", "", true);
    std::map<std::string, std::string> before = SnapshotFiles(dir.root);

    RecordingView cancelled;
    cancelled.verifyProgress.stopAt = 0.0;
    ExpectError([&] { RunInstallation(evaluation, session.scan, session.network, cancelled); },
                lcUserInterrupt, "Interrupted by user");
    EXPECT_EQ(cancelled.stages, std::vector<Stage>{Stage::Download});
    EXPECT_EQ(TemporaryFileNames(dir.root), std::vector<std::string>());
    EXPECT_TRUE(SameFiles(OutsideJournal(SnapshotFiles(dir.root)), before));
    EXPECT_NE(OutsideJournal(SnapshotFiles(dir.root)).size(), SnapshotFiles(dir.root).size());

    world.nginx->ClearAccessLog();
    RecordingLogger log;
    RecordingView view;
    InstallationResult result = RunInstallation(evaluation, session.scan, session.network, view);
    EXPECT_EQ(view.stages, (std::vector<Stage>{Stage::Download, Stage::Repack, Stage::Finalize}));
    std::vector<std::string> resumed = log.WithPrefix("Resumed bytes: ");
    ASSERT_EQ(resumed.size(), 1u);
    EXPECT_NE(resumed[0], "Resumed bytes: 0");
    EXPECT_EQ(RequestedArchiveBytes(*world.nginx), 0u);
    EXPECT_EQ(result.lastInstall.version, "2.0");
    EXPECT_EQ(result.lastInstall.zips, world.Archives("2.0"));
    for (const std::string& rel : world.Archives("2.0"))
        EXPECT_EQ(ReadTestFile(dir / rel), ReadTestFile(world.www + "/zipsync/2.0/" + rel)) << rel;
    EXPECT_FALSE(fs::exists(dir / ".zipsync/download"));
}

TEST(Installation, InstallationByAnotherProgramIsNormalisedAndUpdated) {
    InstallDir dir;
    fs::copy(dir.world.infoZip, dir.root, fs::copy_options::recursive);
    Session session;
    session.ReadConfig();
    session.Scan();
    // Analysable only after normalisation (no directory entries, no extra fields).
    EXPECT_EQ(session.scan.localManifest.size(), dir.world.FullManifest("1.0").size());
    Evaluation evaluation = session.Evaluate("2.0");
    EXPECT_EQ(evaluation.stats.downloadSize,
              MissingBytes(dir.world.FullManifest("2.0"), session.scan.localManifest, true));
    session.network.noMultipartByteranges = true;
    dir.world.nginx->ClearAccessLog();
    PerformInstallDownload(*evaluation.update, session.network, nullptr, nullptr);
    for (const NginxServer::LogEntry& entry : dir.world.nginx->AccessLog(1))
        EXPECT_EQ(entry.range.find(','), std::string::npos) << entry.range;
    PerformInstallRepack(*evaluation.update, nullptr);
    EXPECT_EQ(PerformInstallFinalize(evaluation, session.scan, nullptr).lastInstall.version, "2.0");
    EXPECT_TRUE(Verifies(dir.root, dir.world.FullManifestPath("2.0")));
    EXPECT_FALSE(fs::exists(dir / "fms/harborjob/map.pk4"));
}

// The finishing actions of the installation page.
TEST(Installation, ShortcutToTheGame) {
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

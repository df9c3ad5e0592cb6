// Hostile publishes and hostile local state, met by the unattended installer run as the
// unprivileged user "nobody": a manifest that names the installer's own files as archives, a
// shared archive whose files would land on the manifest, the state, an archive or the
// installer, a directory where a game binary goes, a state file that lists a savegame as an
// archive, and an official server without TLS. Each ends with the exit code and message that
// tell what happened, and `zipsync verify` and the files on disk show that nothing was lost.
#include "HostileInstall.h"

#include <filesystem>
#include <map>

namespace fs = std::filesystem;

// A manifest whose archive lies where the installer keeps its own files: refused, and the
// installation, the installer and its configuration stay as they were.
TEST_F(HostileInstall, ArchivesNamedLikeTheInstallersFilesAreRefused) {
    Install("2.0");
    std::string program = ReadTestFile(Path("qmh_installer"));
    const std::pair<std::string, std::string> cases[] = {
        {"qmh_installer", "the installer's executable"},
        {"qmh_installer.__temp__", "a temporary file of the installer's self-update"},
        {"qmh_installer.ini", "the installer's configuration"},
        {"manifest.iniz", "the installation's manifest"},
        {"qmh_installer_1700000000.log", "a log file of the installer"},
        {"__permissions_test", "the probe file of the directory check"},
    };
    for (const auto& [archive, what] : cases) {
        SCOPED_TRACE(archive);
        std::string version = PublishVariant(
            [&](const std::string& tree) { fs::rename(tree + "/qmh_sounds.pk4", tree + "/" + archive); });
        std::string config = ReadTestFile(Path("qmh_installer.ini"));
        ExpectRefused(version, "Refusing to install archive " + archive + ": it is " + what);
        EXPECT_TRUE(Holds("2.0"));
        EXPECT_EQ(ReadTestFile(Path("qmh_installer")), program);
        EXPECT_EQ(ReadTestFile(Path("qmh_installer.ini")), config);
    }
}

// A shared archive with one file that would land on the manifest, the state, an archive or the
// installer: refused before anything is written, the old game binaries stay.
TEST_F(HostileInstall, SharedFilesNamedLikeArchivesOrStateAreRefused) {
    Install("2.0");
    std::map<std::string, std::string> before = SnapshotFiles(installer.installDir);
    const std::pair<std::string, std::string> cases[] = {
        {"manifest.iniz", "it is the installation's manifest"},
        {".zipsync/lastinstall.ini", "no plain file name (no folders are made)"},
        {"qmh_base.pk4", "it is a game archive"},
        {"fms/qmh_lighthouse.pk4", "no plain file name (no folders are made)"},
        {"qmh_unknown.pk4", "it is a game archive"},
        {"qmh_installer", "it is the installer's executable"},
        {"__repacked__qmh_base.pk4", "it is named like a temporary file"},
    };
    for (const auto& [file, what] : cases) {
        SCOPED_TRACE(file);
        std::string version = PublishVariant([&](const std::string& tree) { AddSharedFile(tree, file); });
        ExpectRefused(version, "Refusing to unpack entry \"" + file + "\": " + what);
        EXPECT_TRUE(Holds("2.0"));
        std::map<std::string, std::string> after = SnapshotFiles(installer.installDir);
        for (const auto& [rel, bytes] : before)
            if (rel.rfind("qmh_installer", 0) != 0) {
                EXPECT_EQ(after[rel], bytes) << rel;
            }
    }
}

// A directory where a game binary goes stops the finalisation before any old binary is deleted;
// once it is gone the next run completes the update and removes what an unpacking cut short by a
// crash left.
TEST_F(HostileInstall, UnwritableBinaryKeepsTheOldBinaries) {
    Install("2.0");
    std::string x64 = ReadTestFile(Path("quillmere.x64")), logic = ReadTestFile(Path("logicx86.so"));
    fs::remove(Path("quillmere.x86"));
    fs::create_directory(Path("quillmere.x86"));
    GiveToUnprivilegedUser(Path("quillmere.x86"));
    EXPECT_EQ(Run({"--version", "1.0"}), 3) << Output();
    EXPECT_TRUE(Contains(Output(), "Warning: Showing error message: Cannot unpack entry \"quillmere.x86\": a "
                                   "directory is in its place\n"))
        << Output();
    EXPECT_EQ(ReadTestFile(Path("quillmere.x64")), x64);
    EXPECT_EQ(ReadTestFile(Path("logicx86.so")), logic);
    EXPECT_TRUE(fs::is_directory(Path("quillmere.x86")));
    EXPECT_EQ(SnapshotFiles(installer.installDir).count("__unpacking__quillmere.x64"), 0u);

    // What a run killed while it unpacked would leave.
    WriteTestFile(Path("__unpacking__quillmere.x64"), "cut short");
    fs::remove(Path("quillmere.x86"));
    EXPECT_EQ(Run({"--version", "1.0"}), 0) << Output();
    EXPECT_TRUE(Holds("1.0"));
    EXPECT_FALSE(fs::exists(Path("__unpacking__quillmere.x64")));
    EXPECT_NE(ReadTestFile(Path("quillmere.x64")), x64);
    EXPECT_TRUE(fs::is_regular_file(Path("quillmere.x86")));
}

// An archive that a version names like a game binary is not deleted as an old binary after it
// was installed.
TEST_F(HostileInstall, ArchiveNamedLikeAGameBinaryStaysInstalled) {
    Install("2.0");
    std::string version = PublishVariant(
        [&](const std::string& tree) { fs::rename(tree + "/qmh_sounds.pk4", tree + "/logicx86.dll"); });
    EXPECT_EQ(Run({"--skip-config-download", "--version", version}), 0) << Output();
    EXPECT_TRUE(Contains(Output(), "Warning: Old file logicx86.dll is not deleted: it is a game archive\n"))
        << Output();
    EXPECT_EQ(RunShellCommand(Zipsync() + "verify '" + installer.installDir + "' '" + published[0] +
                              "/hostile.iniz'"),
              0);
}

// Files that the last-install state lists as archives: a savegame, which is no zip, stays, and
// so does a zip that is not the one the installer left there.
TEST_F(HostileInstall, ListedFilesThatAreNoZipsAreLeftAlone) {
    Install("2.0");
    WriteTestFile(Path("saves/game.sav"), "level 7, 3 lanterns lit");
    WriteTestFile(Path("extras/bonus.dat"), ReadTestFile(World().user + "/zz_mymod.pk4"));
    std::string state = ReadTestFile(Path(".zipsync/lastinstall.ini"));
    WriteTestFile(Path(".zipsync/lastinstall.ini"),
                  state + "[Zip saves/game.sav]\n\n[Zip extras/bonus.dat]\n\n");
    for (const char* sub : {"saves", "extras"}) {
        GiveToUnprivilegedUser(Path(sub));
        for (const auto& entry : fs::directory_iterator(Path(sub))) GiveToUnprivilegedUser(entry.path());
    }

    EXPECT_EQ(Run({"--version", "2.0"}), 0) << Output();
    EXPECT_TRUE(Holds("2.0"));
    EXPECT_EQ(ReadTestFile(Path("saves/game.sav")), "level 7, 3 lanterns lit");
    EXPECT_TRUE(Contains(Output(),
                         "Warning: saves/game.sav is listed in .zipsync/lastinstall.ini but is no zip: it "
                         "is left alone\n"))
        << Output();
    // A zip that the installer never installed there is the player's too.
    EXPECT_EQ(ReadTestFile(Path("extras/bonus.dat")), ReadTestFile(World().user + "/zz_mymod.pk4"));
    EXPECT_TRUE(Contains(Output(),
                         "Warning: extras/bonus.dat is listed in .zipsync/lastinstall.ini but is not "
                         "the archive the installer left there: it is left alone\n"))
        << Output();
}

// An official server given as an http:// root serves the configuration and the target manifests
// without TLS; a manifest it cannot deliver is named with the reason.
TEST_F(HostileInstall, OfficialServerWithoutTls) {
    std::string root = World().MirrorRoot();
    installer.updateServer = root.substr(0, root.size() - 1);
    Install("2.0");
    EXPECT_TRUE(Contains(Output(), "Target manifest at " + root + "zipsync/2.0/manifest.iniz\n")) << Output();

    installer.WriteConfig(root,
                          "[Version gone]\nfolder=Test\nmanifestUrl=${MIRROR}zipsync/gone/manifest.iniz\n");
    std::string url = root + "zipsync/gone/manifest.iniz";
    EXPECT_EQ(Run({"--skip-config-download", "--version", "gone"}), 3) << Output();
    EXPECT_TRUE(Contains(Output(), "Warning: Showing error message: Cannot handle nonworking URL " + url +
                                       ": Not found result for URL " + url + "\n"))
        << Output();
    EXPECT_TRUE(Holds("2.0"));
}

// Hostile publishes and hostile local state, met by the unattended installer run as the
// unprivileged user "nobody": a manifest that names the installer's own files as archives, a
// shared archive whose files would land on the manifest, the state, an archive or the
// installer, a directory where a game binary goes, a state file that lists a savegame as an
// archive, and an official server without TLS. Each ends with the exit code and message that
// tell what happened, and `zipsync verify` and the files on disk show that nothing was lost.
#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "GameFixture.h"
#include "InstallerRun.h"
#include "InstallerWorld.h"
#include "TempDir.h"

#include <filesystem>
#include <map>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string Zipsync() {
    return std::string(TESTS_BIN_DIR) + "/zipsync -q ";
}

class HostileInstall : public testing::Test {
protected:
    void SetUp() override {
        if (!CanDropPrivileges()) GTEST_SKIP() << "needs root to become nobody";
        installer.CopyProgram();
    }
    void TearDown() override {
        for (const std::string& tree : published) fs::remove_all(tree);
    }

    void Install(const std::string& version) {
        ASSERT_EQ(Run({"--version", version}), 0) << Output();
        ASSERT_TRUE(Holds(version));
    }
    int Run(const std::vector<std::string>& args) { return installer.Run(args); }
    std::string Output() const { return installer.Output(); }
    bool Holds(const std::string& version) const { return installer.Holds(version); }
    std::string Path(const std::string& rel) const { return installer.installDir + "/" + rel; }

    // Publishes a copy of 2.0 as a new version, changed by edit (called with the copy's
    // directory), under a manifest "hostile.iniz" that the zipsync tool writes for every file
    // of the copy; the configuration in the install directory gets the version. Returns its name.
    std::string PublishVariant(const std::function<void(const std::string& tree)>& edit) {
        std::string name = "hostile" + std::to_string(getpid()) + "_" + std::to_string(published.size());
        std::string tree = World().www + "/zipsync/" + name;
        published.push_back(tree);
        fs::copy(World().www + "/zipsync/2.0", tree, fs::copy_options::recursive);
        fs::remove(tree + "/manifest.iniz");
        edit(tree);
        std::string files;
        for (const auto& entry : fs::recursive_directory_iterator(tree))
            if (entry.is_regular_file())
                files += " '" + fs::relative(entry.path(), tree).generic_string() + "'";
        EXPECT_EQ(RunShell(Zipsync() + "normalize '" + tree + "'"), 0);
        EXPECT_EQ(RunShell(Zipsync() + "analyze -j 1 -o '" + tree + "/hostile.iniz' '" + tree + "'" + files),
                  0);
        installer.WriteConfig(World().MirrorRoot(), "[Version " + name +
                                                        "]\nfolder=Test\nmanifestUrl=${MIRROR}zipsync/" +
                                                        name + "/hostile.iniz\n");
        return name;
    }
    // The run of a refused version: exit code 3 with the message, before anything was downloaded.
    void ExpectRefused(const std::string& version, const std::string& message) {
        EXPECT_EQ(Run({"--skip-config-download", "--version", version}), 3) << Output();
        EXPECT_TRUE(Contains(Output(), "Warning: Showing error message: " + message + "\n")) << Output();
        EXPECT_FALSE(Contains(Output(), "Starting installation: download")) << Output();
    }

    static const InstallerWorld& World() { return GetInstallerWorld(); }

    TempDir dir{"qmhhostile"};
    InstallerRun installer{dir.path(), std::string("hostile_") +
                                           testing::UnitTest::GetInstance()->current_test_info()->name()};
    std::vector<std::string> published;
};

// Rewrites the tree's shared archive with Python's zipfile: its files, then one more.
void AddSharedFile(const std::string& tree, const std::string& name) {
    std::string archive = tree + "/qmh_shared_stuff.zip";
    std::string script =
        "import sys, zipfile\n"
        "src, dst, name = sys.argv[1:]\n"
        "with zipfile.ZipFile(src) as a, zipfile.ZipFile(dst, 'w', zipfile.ZIP_DEFLATED) as b:\n"
        "    for info in a.infolist(): b.writestr(info, a.read(info))\n"
        "    b.writestr(name, 'planted by the server')\n";
    WriteTestFile(tree + "/add.py", script);
    EXPECT_EQ(
        RunShell("python3 '" + tree + "/add.py' '" + archive + "' '" + archive + ".new' '" + name + "'"), 0);
    fs::rename(archive + ".new", archive);
    fs::remove(tree + "/add.py");
}

} // namespace

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
    EXPECT_EQ(
        RunShell(Zipsync() + "verify '" + installer.installDir + "' '" + published[0] + "/hostile.iniz'"), 0);
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
    EXPECT_TRUE(Contains(Output(), "Warning: extras/bonus.dat is listed in .zipsync/lastinstall.ini but is not "
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

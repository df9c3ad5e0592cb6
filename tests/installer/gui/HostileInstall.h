// The unattended installer run as the unprivileged user "nobody" against versions that a test
// publishes, for the tests of hostile publishes and hostile local state: a fixture with an
// install directory, the player's files, a file outside the install directory, and helpers that
// publish changed copies of version 2.0.
#pragma once

#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "GameFixture.h"
#include "InstallerRun.h"
#include "InstallerWorld.h"
#include "TempDir.h"
#include "zip/IniFile.h"

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

inline std::string Zipsync() {
    return std::string(TESTS_BIN_DIR) + "/zipsync -q ";
}

class HostileInstall : public testing::Test {
protected:
    void SetUp() override {
        if (!CanDropPrivileges()) GTEST_SKIP() << "needs root to become nobody";
        installer.CopyProgram();
    }
    void TearDown() override {
        for (const std::string& tree : published) std::filesystem::remove_all(tree);
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
    // of the copy; the configuration in the install directory gets the version (and
    // extraSections). Returns its name.
    std::string PublishVariant(const std::function<void(const std::string& tree)>& edit,
                               const std::string& extraSections = "") {
        namespace fs = std::filesystem;
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
        EXPECT_EQ(RunShellCommand(Zipsync() + "normalize '" + tree + "'"), 0);
        EXPECT_EQ(
            RunShellCommand(Zipsync() + "analyze -j 1 -o '" + tree + "/hostile.iniz' '" + tree + "'" + files),
            0);
        installer.WriteConfig(World().MirrorRoot(), "[Version " + name +
                                                        "]\nfolder=Test\nmanifestUrl=${MIRROR}zipsync/" +
                                                        name + "/hostile.iniz\n" + extraSections);
        return name;
    }
    // Publishes a copy of 2.0 whose manifest names the archive from as to instead (no such
    // file needs to exist on the server: the name is refused before anything is downloaded).
    std::string PublishRenamedArchive(const std::string& from, const std::string& to) {
        std::string name = PublishVariant([](const std::string&) {});
        std::string path = published.back() + "/hostile.iniz";
        ZipSync::IniData ini = ZipSync::ReadIniFile(path);
        for (auto& [section, pairs] : ini)
            if (section.rfind("File " + from + "||", 0) == 0)
                section = "File " + to + section.substr(5 + from.size());
        ZipSync::WriteIniFile(path, ini);
        return name;
    }
    // The run of a refused version: exit code 3 with the message, before anything was downloaded.
    void ExpectRefused(const std::string& version, const std::string& message) {
        EXPECT_EQ(Run({"--skip-config-download", "--version", version}), 3) << Output();
        EXPECT_TRUE(Contains(Output(), "Warning: Showing error message: " + message + "\n")) << Output();
        EXPECT_FALSE(Contains(Output(), "Starting installation: download")) << Output();
    }

    // The player's files (World().user) copied into the install directory, and a file outside it.
    void AddPlayersFiles() {
        std::filesystem::copy(World().user, installer.installDir,
                              std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::overwrite_existing);
        GiveToUnprivilegedUser(installer.installDir);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(installer.installDir))
            GiveToUnprivilegedUser(entry.path());
        WriteTestFile(outside / "precious.txt", "outside the install directory");
    }
    // Every file of the player's and the file outside are byte for byte as AddPlayersFiles left
    // them; the game's configuration may have been moved aside (to "Quillmere_<date>.cfg") by
    // a finished installation, as the game's rules want.
    void ExpectPlayersFilesIntact() {
        std::map<std::string, std::string> now = SnapshotFiles(installer.installDir);
        for (const auto& [rel, bytes] : SnapshotFiles(World().user)) {
            std::string found = now.count(rel) ? now[rel] : "(missing)";
            if (rel == "Quillmere.cfg" && !now.count(rel))
                for (const auto& [name, contents] : now)
                    if (name.rfind("Quillmere_", 0) == 0) found = contents;
            EXPECT_EQ(found, bytes) << rel;
        }
        EXPECT_EQ(ReadTestFile(outside / "precious.txt"), "outside the install directory");
    }

    static const InstallerWorld& World() { return GetInstallerWorld(); }

    TempDir dir{"qmhhostile"};
    TempDir outside{"qmhoutside"};
    InstallerRun installer{dir.path(), std::string("hostile_") +
                                           testing::UnitTest::GetInstance()->current_test_info()->name()};
    std::vector<std::string> published;
};

// Rewrites the tree's shared archive with Python's zipfile: its files, then one more.
inline void AddSharedFile(const std::string& tree, const std::string& name) {
    std::string archive = tree + "/qmh_shared_stuff.zip";
    std::string script =
        "import sys, zipfile\n"
        "src, dst, name = sys.argv[1:]\n"
        "with zipfile.ZipFile(src) as a, zipfile.ZipFile(dst, 'w', zipfile.ZIP_DEFLATED) as b:\n"
        "    for info in a.infolist(): b.writestr(info, a.read(info))\n"
        "    b.writestr(name, 'planted by the server')\n";
    WriteTestFile(tree + "/add.py", script);
    EXPECT_EQ(RunShellCommand("python3 '" + tree + "/add.py' '" + archive + "' '" + archive + ".new' '" +
                              name + "'"),
              0);
    std::filesystem::rename(archive + ".new", archive);
    std::filesystem::remove(tree + "/add.py");
}

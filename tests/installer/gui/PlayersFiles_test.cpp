// The player's files in the install directory, met by the unattended installer run as the
// unprivileged user "nobody": a second installer in the directory, versions whose archives or
// shared files would take the place of a savegame, a mod, a fan mission or the configuration,
// a stale or edited state file, symbolic links where the installer keeps its own files, names
// the file system cannot hold or that look temporary, and files too large to read whole. Each
// ends with its exit code and message; the player's files, a file outside the install directory
// and `zipsync verify` of the version installed show that nothing was lost.
#include "HostileInstall.h"

#include "update/DirectoryLock.h"
#include "zip/ChecksummedZip.h"

#include <filesystem>
#include <sys/stat.h>
#include <time.h>

namespace fs = std::filesystem;

namespace {

class PlayersFiles : public HostileInstall {
protected:
    // The run of version ended with exit code 3 and the message, and changed nothing.
    void ExpectStopped(const std::vector<std::string>& args, const std::string& message) {
        EXPECT_EQ(Run(args), 3) << Output();
        EXPECT_TRUE(Contains(Output(), "Warning: Showing error message: " + message)) << Output();
        EXPECT_FALSE(Contains(Output(), "Starting installation: download")) << Output();
        EXPECT_TRUE(Holds("2.0"));
        ExpectPlayersFilesIntact();
    }
    std::string Dir() const { return installer.installDir; }
};

} // namespace

// While an installer holds the directory, a second one ends at once and changes nothing, not
// even a log file; once the first has ended, the second one runs.
TEST_F(PlayersFiles, SecondInstallerInTheDirectoryStopsAtOnce) {
    Install("2.0");
    AddPlayersFiles();
    std::map<std::string, std::string> before = SnapshotFiles(Dir());
    {
        ZipSync::DirectoryLock held(Dir());
        ExpectStopped({"--version", "1.0"}, "Another installation or update is running in " + Dir() +
                                                "; try again once it has finished\n");
        EXPECT_TRUE(SameFiles(SnapshotFiles(Dir()), before));
    }
    EXPECT_EQ(Run({"--version", "1.0"}), 0) << Output();
    EXPECT_TRUE(Holds("1.0"));
    ExpectPlayersFilesIntact();
}

// A version whose archive lies where a file of the player's is: refused before anything is
// downloaded.
TEST_F(PlayersFiles, ArchivesOverThePlayersFilesAreRefused) {
    Install("2.0");
    AddPlayersFiles();
    for (const char* rel :
         {"fms/other/qmh_fanmission.pk4", "zz_mymod.pk4", "savegames/quick.save", "Quillmere.cfg"}) {
        SCOPED_TRACE(rel);
        std::string version = PublishVariant([&](const std::string& tree) {
            fs::create_directories(fs::path(tree + "/" + rel).parent_path());
            fs::rename(tree + "/qmh_sounds.pk4", tree + "/" + rel);
        });
        ExpectStopped({"--skip-config-download", "--version", version},
                      "Refusing to install archive " + std::string(rel) +
                          ": a file that is not the game's is in its place\n");
    }
}

// Files of the shared archive go only where nothing of the player's is, and only into the
// install directory itself, not into a folder (nor through a link to one elsewhere).
TEST_F(PlayersFiles, SharedFilesOverThePlayersFilesAreRefused) {
    Install("2.0");
    AddPlayersFiles();
    fs::create_directory_symlink(outside.path(), Path("linkedsaves"));
    const std::string taken = "a file that the installer did not unpack is in its place";
    const std::string folder = "no plain file name (no folders are made)";
    const std::pair<std::string, std::string> cases[] = {
        {"Quillmere.cfg", taken},
        {"zz_mymod.pk4", taken},
        {"savegames/quick.save", folder},
        {"fms/other/qmh_fanmission.pk4", folder},
        {"linkedsaves/precious.txt", folder},
    };
    for (const auto& [name, why] : cases) {
        SCOPED_TRACE(name);
        std::string version = PublishVariant([&](const std::string& tree) { AddSharedFile(tree, name); });
        ExpectStopped({"--skip-config-download", "--version", version},
                      "Refusing to unpack entry \"" + name + "\": " + why + "\n");
    }
}

// A stale or edited last-install state names the player's files as unpacked files and as
// archives: the update deletes none of them.
TEST_F(PlayersFiles, StaleStateDeletesNothingOfThePlayers) {
    Install("2.0");
    AddPlayersFiles();
    std::string state = ReadTestFile(Path(".zipsync/lastinstall.ini"));
    WriteTestFile(Path(".zipsync/lastinstall.ini"),
                  state +
                      "[UnpackedFile Quillmere.cfg]\n\n[UnpackedFile savegames/quick.save]\n\n"
                      "[UnpackedFile zz_mymod.pk4]\ncontentsHash=" +
                      std::string(64, '0') +
                      "\n\n[Zip zz_mymod.pk4]\n\n[Zip fms/other/qmh_fanmission.pk4]\n\n");
    GiveToUnprivilegedUser(Path(".zipsync/lastinstall.ini"));
    EXPECT_EQ(Run({"--version", "1.0"}), 0) << Output();
    EXPECT_TRUE(Holds("1.0"));
    ExpectPlayersFilesIntact();
    EXPECT_TRUE(Contains(Output(),
                         "Warning: zz_mymod.pk4 is listed in .zipsync/lastinstall.ini but is not the "
                         "archive the installer left there: it is left alone\n"))
        << Output();
}

// Where the installer keeps its own files, a link leads elsewhere: nothing is written or deleted
// through it, and the run stops before it changes anything. So does a FIFO where the probe file
// or the log goes, without waiting for it.
TEST_F(PlayersFiles, NothingIsWrittenOrDeletedThroughALink) {
    Install("2.0");
    AddPlayersFiles();
    enum Kind { FileLink, DirectoryLink, Fifo };
    // Every name the log of a run starting in the next minute can have.
    std::vector<std::string> logNames;
    for (long long t = time(nullptr), end = t + 60; t < end; t++)
        logNames.push_back("qmh_installer_" + std::to_string(t) + ".log");
    struct Case {
        std::vector<std::string> rels;
        Kind kind;
        std::string message, messageEnd = "";
    } cases[] = {
        {{".zipsync/download"}, DirectoryLink, "Path " + Dir() + "/.zipsync/download is a symbolic link\n"},
        {{".zipsync"}, DirectoryLink, "Path " + Dir() + "/.zipsync is a symbolic link\n"},
        {{".zipsync/mani"}, DirectoryLink, "Path " + Dir() + "/.zipsync/mani is a symbolic link\n"},
        {{".zipsync/lastscan.ini"},
         FileLink,
         "Path " + Dir() + "/.zipsync/lastscan.ini is a symbolic link\n"},
        {{"qmh_installer.ini"}, FileLink, "Path " + Dir() + "/qmh_installer.ini is a symbolic link\n"},
        {{"manifest.iniz"}, FileLink, "Path " + Dir() + "/manifest.iniz is a symbolic link\n"},
        {{"__permissions_test"}, FileLink, "Path " + Dir() + "/__permissions_test is a symbolic link\n"},
        {{"__permissions_test"}, Fifo, Dir() + "/__permissions_test is not a regular file (a FIFO)\n"},
        {logNames, FileLink, "cannot open log file qmh_installer_", ": it is a symbolic link\n"},
        {logNames, Fifo, "cannot open log file qmh_installer_", ": it is not a regular file (a FIFO)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rels[0] + " " + std::to_string(c.kind));
        std::map<std::string, std::string> before = SnapshotFiles(Dir());
        for (const std::string& rel : c.rels) {
            if (fs::exists(fs::symlink_status(Path(rel)))) fs::rename(Path(rel), Path(rel + ".aside"));
            if (c.kind == FileLink) fs::create_symlink(outside / "precious.txt", Path(rel));
            if (c.kind == DirectoryLink) fs::create_directory_symlink(outside.path(), Path(rel));
            if (c.kind == Fifo) {
                ASSERT_EQ(mkfifo(Path(rel).c_str(), 0666), 0);
            }
        }
        ExpectStopped({"--version", "1.0"}, c.message);
        if (!c.messageEnd.empty()) {
            EXPECT_TRUE(Contains(Output(), c.messageEnd)) << Output();
        }
        for (const std::string& rel : c.rels) {
            fs::remove(Path(rel));
            if (fs::exists(fs::symlink_status(Path(rel + ".aside"))))
                fs::rename(Path(rel + ".aside"), Path(rel));
        }
        EXPECT_TRUE(SameFiles(SnapshotFiles(Dir()), before));
    }
    EXPECT_EQ(Run({"--version", "1.0"}), 0) << Output();
    EXPECT_TRUE(Holds("1.0"));
    ExpectPlayersFilesIntact();
}

// Archive names that the file system cannot hold, or that the clean-up would take for a
// temporary file, are refused before anything changes.
TEST_F(PlayersFiles, ArchiveNamesThatCannotOrMustNotBeAreRefused) {
    Install("2.0");
    AddPlayersFiles();
    std::string longName = std::string(300, 'n') + ".pk4";
    const std::pair<std::string, std::string> cases[] = {
        {longName, "Target zip " + Dir() + "/" + longName + " cannot be created: the name __normalized__" +
                       longName + " is 318 bytes long, more than the 255 the file system allows"},
        {"__repacked__sounds.pk4",
         "Target zip " + Dir() + "/__repacked__sounds.pk4 is named like a temporary file"},
        {"__normalized__sounds.pk4",
         "Target zip " + Dir() + "/__normalized__sounds.pk4 is named like a temporary file"},
        {"__unpacking__sounds.pk4",
         "Refusing to install archive __unpacking__sounds.pk4: it is named like a temporary file"},
    };
    for (const auto& [name, message] : cases) {
        SCOPED_TRACE(name.substr(0, 30));
        std::string version = PublishRenamedArchive("qmh_sounds.pk4", name);
        ExpectStopped({"--skip-config-download", "--version", version}, message + "\n");
    }
}

// Files read whole: the configuration (in the directory or as its ${MIRROR} URLs expand), the
// state files and the manifests of the versions a target depends on, which any mirror may
// serve, each within its bound.
TEST_F(PlayersFiles, FilesReadWholeHaveBounds) {
    Install("2.0");
    AddPlayersFiles();
    std::string config = ReadTestFile(Path("qmh_installer.ini"));
    std::string comments;
    while (comments.size() <= (4u << 20)) comments += "# " + std::string(1000, 'c') + "\n";
    WriteTestFile(Path("qmh_installer.ini"), config + comments);
    ExpectStopped({"--skip-config-download", "--version", "1.0"},
                  "File \"qmh_installer.ini\" is larger than the limit of 4194304 bytes\n");

    std::string mirrors;
    for (int i = 0; i < 40; i++)
        mirrors += "[Mirror long" + std::to_string(i) + "]\nurl=" + World().MirrorRoot() +
                   std::string(90000, 'u') + "/\nweight=1\n";
    for (int i = 0; i < 5; i++)
        mirrors += "[Version long" + std::to_string(i) +
                   "]\nfolder=Test\nmanifestUrl=${MIRROR}zipsync/2.0/manifest.iniz\n";
    installer.WriteConfig(World().MirrorRoot(), mirrors);
    ExpectStopped({"--skip-config-download", "--version", "1.0"},
                  "Manifest URLs after expanding ${MIRROR} take ");
    EXPECT_TRUE(Contains(Output(), " bytes (limit 16777216)\n")) << Output();

    // 8 MiB of text in a few kilobytes, from a version the target depends on.
    std::string dependency = "bloated" + std::to_string(getpid());
    std::string text = "[Comment]\n";
    while (text.size() < (8u << 20)) text += "#" + std::string(1023, 'b') + "\n";
    text.resize(8u << 20);
    std::string tree = World().www + "/zipsync/" + dependency;
    published.push_back(tree);
    fs::create_directories(tree);
    ZipSync::WriteChecksummedZip(tree + "/manifest.iniz", text.data(), text.size(), "data.ini");
    std::string version =
        PublishVariant([](const std::string&) {}, "depends=" + dependency + "\n[Version " + dependency +
                                                      "]\nfolder=Test\nmanifestUrl=${MIRROR}zipsync/" +
                                                      dependency + "/manifest.iniz\n");
    ExpectStopped({"--skip-config-download", "--version", version}, "Payload \"data.ini\" of .zipsync/mani/");
    EXPECT_TRUE(Contains(Output(), ".iniz declares 8388608 bytes, more than 1048576\n")) << Output();

    // A state file beyond its bound counts as none: the update runs, from what the scan finds.
    WriteTestFile(Path(".zipsync/lastinstall.ini"), std::string((16u << 20) + 1, '#'));
    GiveToUnprivilegedUser(Path(".zipsync/lastinstall.ini"));
    installer.WriteConfig(World().MirrorRoot());
    EXPECT_EQ(Run({"--skip-config-download", "--version", "1.0"}), 0) << Output();
    EXPECT_TRUE(Contains(Output(), "Failed to read it: last install unknown\n")) << Output();
    EXPECT_TRUE(Holds("1.0"));
    ExpectPlayersFilesIntact();
}

// A version without the shared archive installs without an error line in its log.
TEST_F(PlayersFiles, SuccessfulRunLogsNoError) {
    Install("2.0");
    AddPlayersFiles();
    std::string version =
        PublishVariant([](const std::string& tree) { fs::remove(tree + "/qmh_shared_stuff.zip"); });
    EXPECT_EQ(Run({"--skip-config-download", "--version", version}), 0) << Output();
    EXPECT_EQ(RunShellCommand(Zipsync() + "verify '" + Dir() + "' '" + published.back() + "/hostile.iniz'"),
              0);
    EXPECT_FALSE(Contains(Output(), "ERROR")) << Output();
    ExpectPlayersFilesIntact();
}

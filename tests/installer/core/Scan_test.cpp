// The scan of the install directory: the game's archives among the player's files, damaged and
// linked archives, and archives another program holds.
#include "CatchError.h"
#include "InstallSession.h"
#include "ZipFixture.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

using namespace ZipSync;
namespace fs = std::filesystem;

// A damaged archive is left out of the scan's manifest and of its recorded state: until it is
// replaced, every scan, forced or not, analyses again and finds it.
TEST(Scan, DamagedArchiveIsFoundByEveryScanUntilReplaced) {
    InstallDir dir;
    fs::copy(dir.world.versions + "/2.0", dir.root, fs::copy_options::recursive);
    DamageArchive(dir / "qmh_sounds.pk4", Damage::FlippedDataByte);
    for (bool force : {true, false}) {
        RecordingLogger log;
        LocalScan scan = ScanInstallDirIfNecessary(force, nullptr);
        EXPECT_TRUE(Logged(log, "Analysing the archives"));
        ASSERT_EQ(scan.damagedZips.size(), 1u);
        EXPECT_EQ(scan.damagedZips[0].path, dir / "qmh_sounds.pk4");
        EXPECT_EQ(
            ManifestZips(dir / "manifest.iniz"),
            (std::vector<std::string>{"fms/qmh_lighthouse.pk4", "qmh_base.pk4", "qmh_shared_stuff.zip"}));
    }
}

TEST(Scan, LinkedArchivesAreLeftAlone) {
    InstallDir dir;
    TempDir outside;
    fs::copy_file(dir.world.versions + "/1.0/qmh_base.pk4", dir / "qmh_base.pk4");
    fs::copy_file(dir.world.versions + "/1.0/qmh_base.pk4", outside / "qmh_elsewhere.pk4");
    std::string before = ReadTestFile(outside / "qmh_elsewhere.pk4");
    fs::create_symlink(outside / "qmh_elsewhere.pk4", dir / "qmh_extra.pk4");
    fs::create_symlink("qmh_base.pk4", dir / "qmh_alias.pk4");
    EXPECT_EQ(CollectOwnedZips(dir.root, {}, {}), std::vector<std::string>{dir / "qmh_base.pk4"});
    Session session;
    session.ReadConfig();
    session.Install("2.0");
    EXPECT_TRUE(fs::is_symlink(dir / "qmh_extra.pk4"));
    EXPECT_TRUE(fs::is_symlink(dir / "qmh_alias.pk4"));
    EXPECT_EQ(ReadTestFile(outside / "qmh_elsewhere.pk4"), before);
    EXPECT_TRUE(Verifies(dir.root, dir.world.FullManifestPath("2.0")));
}

TEST(Scan, LockedArchiveFailsTheScan) {
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

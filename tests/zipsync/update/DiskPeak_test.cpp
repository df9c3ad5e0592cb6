// The disk peak of a plan: exactly what the download and the repack put beside the old version.
#include "GameFixture.h"
#include "TempDir.h"
#include "base/Path.h"
#include "base/Utils.h"
#include "update/DiskPeak.h"
#include "update/UpdateProcess.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sys/stat.h>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

#ifndef _WIN32
ino_t Inode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

Manifest EntriesOf(const Manifest& manifest, const std::string& rel) {
    return manifest.Select([&](const FileMetainfo& f) { return f.zipPath.rel == rel; });
}
#endif

} // namespace

// A fresh installation from a mirror downloads every archive, whose journal zips become the
// archives by renaming: the peak is the size of the version. Where a file already stands at an
// archive's place, that archive is written anew beside its download.
TEST(DiskPeak, FreshInstallationIsTheDownload) {
    const GameVersions& game = GetGameVersions();
    TempDir dir;
    Manifest mirror = game.manifestB;
    mirror.Rebase("http://mirror.example/B");
    uint64_t versionSize = 0, pak000Size = SizeOfFile(game.dirB + "/base/pak000.pk4");
    for (const std::string& rel : game.archivesB) versionSize += SizeOfFile(game.dirB + "/" + rel);

    UpdateProcess fresh;
    fresh.Init(game.manifestB, mirror, dir.path());
    ASSERT_TRUE(fresh.DevelopPlan(UpdateType::BitwiseExact));
    EXPECT_EQ(ComputeDiskPeak(fresh), versionSize);

    WriteTestFile(dir / "base/pak000.pk4", "a damaged archive");
    UpdateProcess occupied;
    occupied.Init(game.manifestB, mirror, dir.path());
    occupied.AddDamagedZip(dir / "base/pak000.pk4");
    ASSERT_TRUE(occupied.DevelopPlan(UpdateType::BitwiseExact));
    EXPECT_EQ(ComputeDiskPeak(occupied), versionSize + pak000Size);
}

#ifndef _WIN32 // tells renamed files from new ones by their inode, which Windows' stat lacks
// A local update: the archives written anew and the reduced zips count, those renamed do not.
TEST(DiskPeak, LocalRepackCountsWhatIsWrittenBesideTheOldVersion) {
    const GameVersions& game = GetGameVersions();
    for (UpdateType type : {UpdateType::ContentsOnly, UpdateType::BitwiseExact}) {
        TempDir dir;
        std::string root = dir / "game";
        CopyDirectory(game.dirA, root);
        Manifest local = ScanInstallation(root);
        // pak000 stays (renamed there and back), old_dlc moves to a new folder (renamed), two
        // entries of pak001 are copied into a new zip (written, and pak001 with them: a zip that
        // serves another one too is not renamed), pak_same goes (its entries found nowhere else
        // are kept aside).
        Manifest target = local.Select([](const FileMetainfo& f) {
            return f.zipPath.rel == "base/pak000.pk4" || f.zipPath.rel == "base/pak001.pk4";
        });
        for (FileMetainfo f : EntriesOf(local, "base/old_dlc.pk4")) {
            f.zipPath = PathAR::FromRel("base/dlc/moved.pk4", root);
            target.AppendFile(f);
        }
        int copied = 0;
        for (FileMetainfo f : EntriesOf(local, "base/pak001.pk4")) {
            f.zipPath = PathAR::FromRel("base/copy.pk4", root);
            if (copied++ < 2) target.AppendFile(f);
        }
        // A file renamed keeps its inode.
        std::set<ino_t> oldFiles;
        for (const auto& entry : fs::recursive_directory_iterator(root))
            oldFiles.insert(Inode(entry.path().string()));
        UpdateProcess process;
        process.Init(target, local, root);
        for (const std::string& rel : game.archivesA) process.AddManagedZip(root + "/" + rel);
        ASSERT_TRUE(process.DevelopPlan(type));
        uint64_t peak = ComputeDiskPeak(process);
        process.RepackZips();

        uint64_t written = 0;
        int reduced = 0;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            std::string path = entry.path().string();
            if (!entry.is_regular_file() || oldFiles.count(Inode(path))) continue;
            written += SizeOfFile(path);
            reduced += GetFilename(path).rfind("__reduced__", 0) == 0;
        }
        EXPECT_GT(reduced, 0);
        EXPECT_EQ(peak, written);
        EXPECT_EQ(process.GetRenamedZips(), (std::map<std::string, std::string>{
                                                {root + "/base/dlc/moved.pk4", root + "/base/old_dlc.pk4"},
                                                {root + "/base/pak000.pk4", root + "/base/pak000.pk4"}}));
    }
}
#endif

// Repacking without a network: the checks of the plan, the check of written entries, and the
// repair of temporary files.
#include "CatchError.h"
#ifndef _WIN32
#include "ChildProcess.h"
#endif
#include "GameFixture.h"
#include "RecordingLogger.h"
#include "TempDir.h"
#include "base/Path.h"
#include "update/DownloadJournal.h"
#include "update/TemporaryFiles.h"
#include "update/UpdateProcess.h"
#include "zip/ZipAnalysis.h"
#include "zip/ZipUtils.h"
#include "zip/internal/RawZipWriter.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/stat.h>
#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <vector>

using namespace ZipSync;

namespace {

// The entries of manifest (relative to root) that lie in the zip rel.
Manifest EntriesOf(const Manifest& manifest, const std::string& rel) {
    return manifest.Select([&](const FileMetainfo& f) { return f.zipPath.rel == rel; });
}

// A target manifest that puts the given entries into the zip rel instead of their own.
Manifest MovedTo(Manifest entries, const std::string& rel, const std::string& root) {
    for (FileMetainfo& f : entries) f.zipPath = PathAR::FromRel(rel, root);
    return entries;
}

// Plans the update of root to target from the provided files and repacks; what that raised.
CaughtError RepackError(const Manifest& target, const Manifest& provided, const std::string& root,
                        UpdateType type) {
    UpdateProcess process;
    process.Init(target, provided, root);
    EXPECT_TRUE(process.DevelopPlan(type));
    return CatchError([&] { process.RepackZips(); });
}

struct Work {
    TempDir dir{"qmhrepack"};
    std::string root = dir.path() + "/game";
    Work() { CopyDirectory(GetGameVersions().dirA, root); }
};

} // namespace

TEST(Repack, RefusesAPlanThatIsMissingOrNotLocal) {
    const GameVersions& game = GetGameVersions();
    Work work;
    Manifest local = ScanInstallation(work.root);

    UpdateProcess process;
    process.Init(game.manifestB, local, work.root);
    CaughtError error = CatchError([&] { process.RepackZips(); });
    EXPECT_EQ(error.message, "RepackZips: DevelopPlan not called yet");

    // B has files that A lacks: the plan stays incomplete.
    EXPECT_FALSE(process.DevelopPlan(UpdateType::ContentsOnly));
    error = CatchError([&] { process.RepackZips(); });
    EXPECT_EQ(error.message.rfind("RepackZips: target file " + work.root + "/base/", 0), 0u) << error.message;
    EXPECT_NE(error.message.find(" is not provided"), std::string::npos) << error.message;

    // With B's mirror the plan is complete but still remote until downloaded.
    Manifest withMirror = local;
    Manifest remote = game.manifestB;
    remote.Rebase("http://127.0.0.1:9/B");
    withMirror.Merge(remote);
    UpdateProcess remoteProcess;
    remoteProcess.Init(game.manifestB, withMirror, work.root);
    ASSERT_TRUE(remoteProcess.DevelopPlan(UpdateType::ContentsOnly));
    error = CatchError([&] { remoteProcess.RepackZips(); });
    EXPECT_EQ(error.message, "RepackZips: target file " + work.root +
                                 "/base/pak000.pk4||textures/t12.tga is not available locally");
    // Nothing was touched.
    EXPECT_TRUE(SameFiles(SnapshotFiles(work.root), SnapshotFiles(game.dirA)));
}

TEST(Repack, BitwiseModeRefusesRecompressedBytesThatDiffer) {
    Work work;
    Manifest local = ScanInstallation(work.root);
    // Two entries of the Info-ZIP archive, wanted in a new zip. The random sound data that zip
    // deflated does not come out of zlib the same way.
    Manifest picked = EntriesOf(local, "base/pak001.pk4").Select([](const FileMetainfo& f) {
        return f.filename == "sound/s00.ogg" || f.filename == "sound/s01.ogg";
    });
    ASSERT_EQ(picked.size(), 2);
    UpdateProcess process;
    process.Init(MovedTo(picked, "base/copy.pk4", work.root), local, work.root);
    ASSERT_TRUE(process.DevelopPlan(UpdateType::BitwiseExact));
    // A provider whose recorded compressed digest no longer matches forces a recompression.
    process.GetMatches()[1].provided->compressedHash.data[0] ^= 1;
    CaughtError error = CatchError([&] { process.RepackZips(); });
    EXPECT_EQ(error.message, "Wrong compressed hash of " + work.root + "/base/__repacked__copy.pk4||" +
                                 picked[1].filename + " after repack");
    // The zip that failed its check is gone at once: a cleanup must not put it in place.
    EXPECT_FALSE(IfFileExists(work.root + "/base/__repacked__copy.pk4"));
    CleanupTemporaryFiles(work.root);
    EXPECT_TRUE(SameFiles(SnapshotFiles(work.root), SnapshotFiles(GetGameVersions().dirA)));
}

// A raw copy takes the target's CRC and sizes into its headers, so a target that disagrees with
// its source is refused before anything is written, naming the file.
TEST(Repack, RawCopyRefusesTargetCrcOrSizesUnlikeTheSource) {
    struct Case {
        const char* what;
        void (*spoil)(FileMetainfo&);
    } cases[] = {
        {"crc32", [](FileMetainfo& f) { f.crc32 = 0xFFFFFFFFu; }},
        {"contents size", [](FileMetainfo& f) { f.contentsSize++; }},
        {"compressed size", [](FileMetainfo& f) { f.compressedSize++; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Work work;
        Manifest local = ScanInstallation(work.root);
        Manifest target = MovedTo(EntriesOf(local, "base/pak_same.pk4"), "base/copy.pk4", work.root);
        c.spoil(target[1]);
        for (UpdateType type : {UpdateType::ContentsOnly, UpdateType::BitwiseExact}) {
            CaughtError error = RepackError(target, local, work.root, type);
            std::string name = "base/copy.pk4||" + target[1].filename;
            EXPECT_EQ(error.message.rfind("Target file " + name + " has crc32 ", 0), 0u) << error.message;
            EXPECT_NE(
                error.message.find("its source " + work.root + "/base/pak_same.pk4||" + target[1].filename),
                std::string::npos)
                << error.message;
            EXPECT_TRUE(SameFiles(SnapshotFiles(work.root), SnapshotFiles(GetGameVersions().dirA)));
        }
    }
}

// Bitwise, the written order must be the target archive's: a target manifest that lists the
// entries of an archive against their order there cannot be met.
TEST(Repack, BitwiseModeRefusesEntriesOutOfTheTargetsOrder) {
    Work work;
    Manifest local = ScanInstallation(work.root);
    // All but the first entry, so that the zip is rebuilt rather than renamed, listed backwards.
    Manifest same = EntriesOf(local, "base/pak_same.pk4");
    Manifest swapped;
    for (int i = same.size() - 1; i >= 1; i--) swapped.AppendFile(same[i]);
    CaughtError error = RepackError(swapped, local, work.root, UpdateType::BitwiseExact);
    EXPECT_EQ(error.message, "Wrong order of " + work.root + "/base/__repacked__pak_same.pk4||" +
                                 same[same.size() - 2].filename + " after repack: the target has it before " +
                                 same[same.size() - 1].filename);
    CleanupTemporaryFiles(work.root);
    EXPECT_TRUE(SameFiles(SnapshotFiles(work.root), SnapshotFiles(GetGameVersions().dirA)));
}

// Nothing of the old archives is deleted or moved away before every target zip is written and
// checked and the entries found nowhere else are saved: a failure up to then leaves the directory
// as it was, even with an archive that the target drops (pak_same.pk4) and one that becomes
// another archive by renaming (old_dlc.pk4 -> dlc/moved.pk4), and the plan can run again.
TEST(Repack, FailureBeforeTheCommitLeavesEveryOldArchive) {
    const GameVersions& game = GetGameVersions();
    struct Case {
        const char* what;
        bool spoilProvider;     // a provider that can only be recompressed, which bitwise fails
        const char* blockedDir; // a directory in the place of a reduced zip
        bool changeSource;      // a byte of a raw-copied entry changes after the analysis
        std::string message;    // the start of the failure (with %s for the root)
    } cases[] = {
        {"target zip fails its check", true, nullptr, false,
         "Wrong compressed hash of %s/base/__repacked__copy.pk4||"},
        {"reduced zip cannot be written", false, "base/__reduced__pak_same.pk4", false,
         "%s/base/__reduced__pak_same.pk4 is not a regular file (a directory)"},
        {"source changed during the run", false, nullptr, true,
         "Wrong compressed bytes of %s/base/__repacked__copy.pk4||sound/s00.ogg after repack: "
         "%s/base/pak001.pk4 changed since it was analysed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Work work;
        Manifest local = ScanInstallation(work.root);
        Manifest target = local.Select([](const FileMetainfo& f) {
            return f.zipPath.rel == "base/pak000.pk4" || f.zipPath.rel == "base/pak001.pk4";
        });
        target.Merge(MovedTo(EntriesOf(local, "base/old_dlc.pk4"), "base/dlc/moved.pk4", work.root));
        Manifest picked = EntriesOf(local, "base/pak001.pk4").Select([](const FileMetainfo& f) {
            return f.filename == "sound/s00.ogg" || f.filename == "sound/s01.ogg";
        });
        target.Merge(MovedTo(picked, "base/copy.pk4", work.root));
        UpdateProcess process;
        process.Init(target, local, work.root);
        for (const std::string& rel : game.archivesA) process.AddManagedZip(work.root + "/" + rel);
        ASSERT_TRUE(process.DevelopPlan(UpdateType::BitwiseExact));
        if (c.spoilProvider) {
            for (FileMatch& m : process.GetMatches())
                if (m.target->zipPath.rel == "base/copy.pk4") m.provided->compressedHash.data[0] ^= 1;
        }
        if (c.blockedDir) std::filesystem::create_directories(work.root + "/" + c.blockedDir);
        if (c.changeSource) {
            // The second byte of the compressed data: the headers stay as they were analysed.
            std::string path = work.root + "/base/pak001.pk4", bytes = ReadTestFile(path);
            bytes[picked[0].byterange[0] + 30 + picked[0].filename.size() + 1] ^= 0x40;
            WriteTestFile(path, bytes);
        }
        std::map<std::string, std::string> before = SnapshotFiles(work.root);

        CaughtError error = CatchError([&] { process.RepackZips(); });
        // The root as often as the message names it.
        std::string expected = FormatString(c.message.c_str(), work.root.c_str(), work.root.c_str());
        EXPECT_EQ(error.message.rfind(expected, 0), 0u) << error.message;
        EXPECT_TRUE(SameFiles(SnapshotFiles(work.root), before));
        if (c.spoilProvider || c.changeSource) continue;
        // With the obstacle gone the same plan goes through.
        std::filesystem::remove(work.root + "/" + c.blockedDir);
        process.RepackZips();
        CleanupTemporaryFiles(work.root);
        EXPECT_EQ(ListArchives(work.root),
                  (std::vector<std::string>{"base/copy.pk4", "base/dlc/moved.pk4", "base/pak000.pk4",
                                            "base/pak001.pk4", "base/zz_usermod.pk4"}));
        EXPECT_EQ(ReadTestFile(work.root + "/base/dlc/moved.pk4"),
                  ReadTestFile(game.dirA + "/base/old_dlc.pk4"));
    }
}

// A commit that fails half way (a file appeared where a new archive goes) spends the plan: a
// second repack of it reports so instead of following the failed run's records.
TEST(Repack, FailureDuringTheCommitSpendsThePlan) {
    Work work;
    Manifest local = ScanInstallation(work.root);
    Manifest target = EntriesOf(local, "base/pak000.pk4");
    target.Merge(MovedTo(EntriesOf(local, "base/pak_same.pk4"), "base/copy.pk4", work.root));
    UpdateProcess process;
    process.Init(target, local, work.root);
    for (const std::string& rel : GetGameVersions().archivesA) process.AddManagedZip(work.root + "/" + rel);
    ASSERT_TRUE(process.DevelopPlan(UpdateType::ContentsOnly));
    std::string intruder = work.root + "/base/copy.pk4";
    auto plantWhileCommitting = [&](double, const char* text) {
        if (std::string(text).rfind("Renamed ", 0) == 0) WriteTestFile(intruder, "not an archive");
        return 0;
    };
    EXPECT_EQ(CatchError([&] { process.RepackZips(plantWhileCommitting); }).message,
              "Zip " + intruder + " exists immediately before renaming repacked file");
    EXPECT_EQ(CatchError([&] { process.RepackZips(); }).message, "RepackZips: DevelopPlan not called yet");
}

#ifndef _WIN32 // another user in a forked child
// A temporary zip that cannot be created names the system's reason.
TEST(Repack, TemporaryZipThatCannotBeCreatedNamesTheReason) {
    if (!CanDropPrivileges()) GTEST_SKIP() << "needs root to become nobody";
    Work work;
    // Everything readable by nobody, nothing writable.
    chmod(work.dir.path().c_str(), 0755);
    Manifest local = ScanInstallation(work.root);
    UpdateProcess process;
    process.Init(MovedTo(EntriesOf(local, "base/pak_same.pk4"), "base/copy.pk4", work.root), local,
                 work.root);
    ASSERT_TRUE(process.DevelopPlan(UpdateType::ContentsOnly));
    std::string expected =
        "Failed to create file \"" + work.root + "/base/__repacked__copy.pk4\": Permission denied";
    int status = RunInChild([&] {
        struct passwd* nobody = getpwnam("nobody");
        struct group* nogroup = getgrnam("nogroup");
        if (!nobody || !nogroup || setgid(nogroup->gr_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(98);
        std::string message = CatchError([&] { process.RepackZips(); }).message;
        if (message != expected) fprintf(stderr, "got: %s\n", message.c_str());
        _exit(message == expected ? 0 : 1);
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(SameFiles(SnapshotFiles(work.root), SnapshotFiles(GetGameVersions().dirA)));
}
#endif

TEST(Repack, ContentsModeRecompressesWhereMethodOrFlagsDiffer) {
    Work work;
    Manifest local = ScanInstallation(work.root);
    Manifest pak000 = EntriesOf(local, "base/pak000.pk4");
    Manifest wanted;
    for (FileMetainfo f : pak000) {
        if (f.filename != "maps/m1.map" && f.filename != "textures/t03.tga") continue;
        // Stored in A: wanted deflated with flag 2; deflated in A: wanted stored.
        if (f.compressionMethod == 0) {
            f.compressionMethod = 8;
            f.gpbitFlag = 2;
            f.compressedHash.Clear();
        } else {
            f.compressionMethod = 0;
            f.gpbitFlag = 0;
            f.compressedSize = f.contentsSize;
            f.compressedHash = f.contentsHash;
        }
        wanted.AppendFile(f);
    }
    ASSERT_EQ(wanted.size(), 2);
    UpdateProcess process;
    process.Init(MovedTo(wanted, "base/other.pk4", work.root), local, work.root);
    for (const std::string& rel : GetGameVersions().archivesA) process.AddManagedZip(work.root + "/" + rel);
    ASSERT_TRUE(process.DevelopPlan(UpdateType::ContentsOnly));
    process.RepackZips();

    Manifest result = AnalyzeZips(work.root, {work.root + "/base/other.pk4"}, false, 1);
    ASSERT_EQ(result.size(), 2);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(result[i].filename, wanted[i].filename);
        EXPECT_EQ(result[i].contentsHash, wanted[i].contentsHash);
        EXPECT_EQ(result[i].crc32, wanted[i].crc32);
        EXPECT_EQ(result[i].compressionMethod, wanted[i].compressionMethod);
        EXPECT_EQ(result[i].gpbitFlag, wanted[i].gpbitFlag);
    }
    // The old zips are not needed any more: gone, their entries kept in reduced zips until the
    // cleanup; the user's zip is not the update's to remove.
    for (const std::string& rel : GetGameVersions().archivesA) {
        EXPECT_FALSE(IfFileExists(work.root + "/" + rel)) << rel;
        EXPECT_TRUE(IfFileExists(work.root + "/" + PrefixFile(rel, "__reduced__"))) << rel;
    }
    CleanupTemporaryFiles(work.root);
    EXPECT_EQ(ListArchives(work.root), (std::vector<std::string>{"base/other.pk4", "base/zz_usermod.pk4"}));
}

TEST(Repack, NewProvidedManifestDescribesTheResult) {
    const GameVersions& game = GetGameVersions();
    Work work;
    Manifest local = ScanInstallation(work.root);
    // Version A again, with old_dlc's entries moved into a zip of a new folder.
    Manifest target = local.Select([](const FileMetainfo& f) {
        return f.zipPath.rel != "base/zz_usermod.pk4" && f.zipPath.rel != "base/old_dlc.pk4";
    });
    target.Merge(MovedTo(EntriesOf(local, "base/old_dlc.pk4"), "base/dlc/moved.pk4", work.root));
    // The scan labels nothing; the target does.
    for (FileMetainfo& f : target) f.package = "in " + f.zipPath.rel;
    UpdateProcess process;
    process.Init(target, local, work.root);
    for (const std::string& rel : game.archivesA) process.AddManagedZip(work.root + "/" + rel);
    ASSERT_TRUE(process.DevelopPlan(UpdateType::BitwiseExact));
    process.RepackZips();

    EXPECT_TRUE(process.GetMatches().empty());
    const Manifest& provided = process.GetProvidedManifest();
    // Every target entry comes first, in place, describing its new zip exactly, with the
    // target's package whether its zip was written or renamed.
    Manifest now = ScanInstallation(work.root);
    Manifest inPlace =
        provided.Select([](const FileMetainfo& f) { return f.location == FileLocation::InPlace; });
    ASSERT_EQ(inPlace.size(), target.size());
    // Besides them only the user's zip, which was only read from.
    EXPECT_EQ(provided.size(), target.size() + 1);
    for (int i = 0; i < inPlace.size(); i++) EXPECT_EQ(provided[i].location, FileLocation::InPlace);
    for (const FileMetainfo& f : inPlace) {
        bool found = false;
        for (const FileMetainfo& g : now)
            if (g.zipPath.abs == f.zipPath.abs && g.filename == f.filename) {
                found = true;
                EXPECT_EQ(g.byterange[0], f.byterange[0]) << f.filename;
                EXPECT_EQ(g.byterange[1], f.byterange[1]) << f.filename;
                EXPECT_EQ(g.compressedHash, f.compressedHash) << f.filename;
                EXPECT_EQ(g.contentsHash, f.contentsHash) << f.filename;
            }
        EXPECT_TRUE(found) << f.zipPath.rel << "||" << f.filename;
        EXPECT_EQ(f.package, "in " + f.zipPath.rel) << f.filename;
    }
    EXPECT_EQ(provided[provided.size() - 1].zipPath.rel, "base/zz_usermod.pk4");
    EXPECT_EQ(provided[provided.size() - 1].location, FileLocation::Local);
    // The old zip was taken over by renaming; everything else is as it was.
    std::map<std::string, std::string> files = SnapshotFiles(game.dirA);
    files["base/dlc/moved.pk4"] = files["base/old_dlc.pk4"];
    files.erase("base/old_dlc.pk4");
    EXPECT_TRUE(SameFiles(SnapshotFiles(work.root), files));
}

TEST(Repack, CleanupRestoresOnlyCompleteRepackedZips) {
    TempDir dir("qmhcleanup");
    const std::string root = dir.path();
    const GameVersions& game = GetGameVersions();
    std::string zipBytes = ReadTestFile(game.dirA + "/base/old_dlc.pk4");

    // A finished repacked zip whose original is gone, and one whose original exists.
    WriteTestFile(root + "/base/__repacked__done.pk4", zipBytes);
    WriteTestFile(root + "/base/__repacked__old.pk4", zipBytes);
    WriteTestFile(root + "/base/old.pk4", "original");
    // Repacked zips cut short while being written: no central directory, or a torn one.
    WriteTestFile(root + "/base/__repacked__cut.pk4", zipBytes.substr(0, zipBytes.size() / 2));
    WriteTestFile(root + "/base/__repacked__torn.pk4", zipBytes.substr(0, zipBytes.size() - 10));
    WriteTestFile(root + "/base/__repacked__empty.pk4", "");
    // Other temporary files, one alone in its folder.
    WriteTestFile(root + "/base/__reduced__pak000.pk4", zipBytes);
    WriteTestFile(root + "/base/__download0__pak000.pk4", "partial");
    WriteTestFile(root + "/deep/er/__download3__x.pk4", "partial");
    WriteTestFile(root + "/base/__normalized__pak001.pk4", zipBytes);
    // A finished repacked zip whose place is taken by a directory is no zip to restore.
    WriteTestFile(root + "/base/sub.pk4/inner", "user");
    WriteTestFile(root + "/base/__repacked__sub.pk4", zipBytes);
    // Names that only look like temporary ones.
    WriteTestFile(root + "/base/__download", "user");
    WriteTestFile(root + "/base/__repacked__", "user");
    WriteTestFile(root + "/base/my__download1__x.pk4", "user");
    WriteTestFile(root + "/base/__Download0__x.pk4", "user");

    RecordingLogger log;
    CleanupTemporaryFiles(root);

    EXPECT_EQ(ReadTestFile(root + "/base/done.pk4"), zipBytes);
    EXPECT_EQ(ReadTestFile(root + "/base/old.pk4"), "original");
    std::map<std::string, std::string> expected = {
        {"base/done.pk4", zipBytes},           {"base/old.pk4", "original"},
        {"base/__download", "user"},           {"base/__repacked__", "user"},
        {"base/my__download1__x.pk4", "user"}, {"base/__Download0__x.pk4", "user"},
        {"base/sub.pk4/inner", "user"},
    };
    EXPECT_TRUE(SameFiles(SnapshotFiles(root), expected));
    EXPECT_FALSE(std::filesystem::exists(root + "/deep"));
    EXPECT_EQ(log.WithPrefix("Restoring "),
              std::vector<std::string>{"Restoring " + root + "/base/done.pk4..."});
    std::vector<std::string> deleted = log.WithPrefix("Deleting ");
    EXPECT_EQ(deleted.size(), 9u);
    for (const char* name :
         {"base/__repacked__cut.pk4", "base/__repacked__empty.pk4", "base/__repacked__torn.pk4",
          "base/__repacked__old.pk4", "base/__download0__pak000.pk4", "deep/er/__download3__x.pk4",
          "base/__normalized__pak001.pk4", "base/__repacked__sub.pk4"})
        EXPECT_NE(std::find(deleted.begin(), deleted.end(), "Deleting " + root + "/" + name + "..."),
                  deleted.end())
            << name;
}

#ifndef _WIN32 // Wine shows a Unix link as what it points at and makes no Windows links
// Links in the install directory are the player's: the clean-up neither follows nor removes a
// link named like a temporary file, and the download journal is never used through a link.
TEST(Repack, CleanupTouchesNothingThroughALink) {
    TempDir dir("qmhcleanup");
    const std::string root = dir / "game", outside = dir / "outside";
    std::string zipBytes = ReadTestFile(GetGameVersions().dirA + "/base/old_dlc.pk4");
    WriteTestFile(outside + "/complete.pk4", zipBytes);
    WriteTestFile(outside + "/torn.pk4", "cut");
    std::filesystem::create_directories(root + "/base");
    std::filesystem::create_symlink(outside + "/complete.pk4", root + "/base/__repacked__a.pk4");
    std::filesystem::create_symlink(outside + "/torn.pk4", root + "/base/__download0__b.pk4");
    CleanupTemporaryFiles(root);
    EXPECT_TRUE(std::filesystem::is_symlink(root + "/base/__repacked__a.pk4"));
    EXPECT_TRUE(std::filesystem::is_symlink(root + "/base/__download0__b.pk4"));
    EXPECT_FALSE(std::filesystem::exists(root + "/base/a.pk4"));

    for (const char* link : {".zipsync", ".zipsync/download"}) {
        SCOPED_TRACE(link);
        std::filesystem::remove_all(root + "/.zipsync");
        std::filesystem::create_directories(root + "/.zipsync");
        std::filesystem::remove(root + "/" + link);
        std::filesystem::create_directory_symlink(outside, root + "/" + link);
        std::string message = "Path " + root + "/" + link + " is a symbolic link";
        ExpectError([&] { CleanupTemporaryFiles(root); }, lcGeneral, message);
        ExpectError([&] { AnalyzeDownloadJournal(root); }, lcGeneral, message);
        ExpectError([&] { RemoveDownloadJournal(root); }, lcGeneral, message);
    }
    EXPECT_EQ(ReadTestFile(outside + "/complete.pk4"), zipBytes);
    EXPECT_EQ(ReadTestFile(outside + "/torn.pk4"), "cut");
}
#endif

TEST(Repack, CompleteZipCheck) {
    TempDir dir("qmhcomplete");
    const GameVersions& game = GetGameVersions();
    std::string bytes = ReadTestFile(game.dirB + "/base/pak000.pk4");
    struct Case {
        const char* name;
        std::string bytes;
        bool complete;
    } cases[] = {
        {"whole", bytes, true},
        {"no end record", bytes.substr(0, bytes.size() - 22), false},
        {"half of the central directory", bytes.substr(0, bytes.size() - 400), false},
        {"entries only", bytes.substr(0, 200000), false},
        {"empty file", "", false},
        {"not a zip", "hello", false},
    };
    for (const Case& c : cases) {
        WriteTestFile(dir / "z.pk4", c.bytes);
        EXPECT_EQ(IsCompleteZip(dir / "z.pk4"), c.complete) << c.name;
    }
    EXPECT_FALSE(IsCompleteZip(dir / "missing.pk4"));
    // A local header that was overwritten while the central directory survived.
    std::string broken = bytes;
    broken[1] = 'X';
    WriteTestFile(dir / "z.pk4", broken);
    EXPECT_FALSE(IsCompleteZip(dir / "z.pk4"));
}

TEST(Repack, ZipWithTheEntriesInAnotherOrderIsRenamedOnlyForContents) {
    const GameVersions& game = GetGameVersions();
    // The server's pak_same.pk4 holds A's entries in reverse order.
    TempDir server("qmhreversed");
    std::string reversed = server / "base/pak_same.pk4";
    std::filesystem::create_directories(server / "base");
    {
        UnzFileIndexed in(game.dirA + "/base/pak_same.pk4");
        ZipFileHolder out(reversed);
        Manifest entries = EntriesOf(game.manifestA, "base/pak_same.pk4");
        for (int i = entries.size() - 1; i >= 0; i--) {
            const FileMetainfo& f = entries[i];
            in.LocateByByterange(f.byterange[0], f.byterange[1]);
            MinizipCopyFile(in, out, f.filename.c_str(), f.compressionMethod, f.gpbitFlag, f.internalAttribs,
                            f.externalAttribs, f.lastModTime, true, f.crc32, f.contentsSize);
        }
        out.Close();
    }
    Manifest target = AnalyzeZips(server.path(), {reversed}, false, 1);

    struct Case {
        UpdateType type;
        bool renamed;
    } cases[] = {{UpdateType::ContentsOnly, true}, {UpdateType::BitwiseExact, false}};
    for (const Case& c : cases) {
        Work work;
        UpdateProcess process;
        process.Init(target, ScanInstallation(work.root), work.root);
        ASSERT_TRUE(process.DevelopPlan(c.type));
        RecordingLogger log;
        process.RepackZips();
        EXPECT_EQ(log.WithPrefix("Renaming ").size(), c.renamed ? 1u : 0u);
        std::string result = ReadTestFile(work.root + "/base/pak_same.pk4");
        if (c.renamed)
            EXPECT_EQ(result, ReadTestFile(game.dirA + "/base/pak_same.pk4"));
        else
            EXPECT_TRUE(result == ReadTestFile(reversed)) << "bitwise result differs from the target zip";
    }
}

TEST(Repack, CopiesFileBytesWithOrWithoutTheKernel) {
    TempDir dir("qmhcopy");
    std::string bytes;
    for (int i = 0; i < 200000; i++) bytes.push_back(char(i * 7 + i / 251));
    WriteTestFile(dir / "source", bytes);
    StdioFileHolder source(dir / "source", "rb");
    std::vector<FILE*> sources = {source.get()};
#ifndef _WIN32 // Windows has no in-kernel copy: the file above already goes through the buffer
    // A memory stream has no descriptor: the copy goes through a buffer.
    std::string memory = bytes.substr(0, 150000);
    FILE* memorySource = fmemopen(memory.data(), memory.size(), "rb");
    ASSERT_NE(memorySource, nullptr);
    StdioFileHolder memoryHolder(memorySource);
    sources.push_back(memorySource);
#endif
    for (FILE* from : sources) {
        StdioFileHolder out(dir / "out", "wb");
        ASSERT_EQ(fwrite("head", 1, 4, out), 4u);
        CopyFileBytes(from, 1000, out, 70000);
        CopyFileBytes(from, 0, out, 10);
        ASSERT_EQ(fwrite("tail", 1, 4, out), 4u);
        out.reset();
        EXPECT_TRUE(ReadTestFile(dir / "out") ==
                    "head" + bytes.substr(1000, 70000) + bytes.substr(0, 10) + "tail");
    }
    StdioFileHolder out(dir / "out", "wb");
    CaughtError error = CatchError([&] { CopyFileBytes(source, 190000, out, 20000); });
    EXPECT_EQ(error.message, "Failed to copy 20000 bytes at 190000");
#ifndef _WIN32
    error = CatchError([&] { CopyFileBytes(memorySource, 140000, out, 20000); });
    EXPECT_EQ(error.message, "Failed to copy 20000 bytes at 140000");
#endif
}

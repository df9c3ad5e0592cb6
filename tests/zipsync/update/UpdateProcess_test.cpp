// The update process: Init and the managed zips, the choice of providers in DevelopPlan (score
// order, ties, bitwise mode, digests that share their leading bytes), duplicate targets, in-place
// marking, and the statistics derived from a plan.
#include "update/UpdateProcess.h"
#include "update/UpdateStats.h"

#include "CatchError.h"
#include "TempDir.h"
#include "base/Logging.h"
#include "base/Platform.h"

#include <gtest/gtest.h>
#include <map>
#include <set>
#include <stdint.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace ZipSync;

namespace {

const char ROOT[] = "/inst/dir";
const char OTHER_ROOT[] = "/old/copy";
const char MIRROR[] = "http://mirror.example.org/base";

// A digest made from id: every byte differs between ids, so that no two share a table slot by
// accident. salt tells contents and compressed digests of the same id apart.
HashDigest DigestOf(int id, int salt) {
    HashDigest digest;
    for (int i = 0; i < 32; i++) digest.data[i] = (uint8_t)(id * 37 + salt * 101 + i * 13);
    return digest;
}

HashDigest Contents(int id) {
    return DigestOf(id, 1);
}
HashDigest Compressed(int id) {
    return DigestOf(id, 2);
}

// A file of the given zip and name, with contents id, its local header at begin. Remote files
// live under the mirror, Local and InPlace ones under root.
FileMetainfo File(const std::string& zipRel, const std::string& name, int contents, uint32_t begin = 100,
                  FileLocation location = FileLocation::Local, const std::string& root = ROOT) {
    FileMetainfo file;
    file.zipPath = PathAR::FromRel(zipRel, location == FileLocation::Remote ? MIRROR : root);
    file.filename = name;
    file.location = location;
    file.byterange[0] = begin;
    file.byterange[1] = begin + 50;
    file.compressionMethod = 8;
    file.compressedSize = 40;
    file.contentsSize = 90;
    file.contentsHash = Contents(contents);
    file.compressedHash = Compressed(contents);
    return file;
}

FileMetainfo Remote(const std::string& zipRel, const std::string& name, int contents, uint32_t begin = 100) {
    return File(zipRel, name, contents, begin, FileLocation::Remote);
}

Manifest ManifestOf(const std::vector<FileMetainfo>& files) {
    Manifest manifest;
    for (const FileMetainfo& file : files) manifest.AppendFile(file);
    return manifest;
}

// Index in the provided manifest of the provider of target i, -1 for none.
int ProviderOf(const UpdateProcess& process, int i) {
    const FileMatch& match = process.GetMatches().at(i);
    if (match.provided.IsNull()) return -1;
    EXPECT_EQ(match.provided.GetManifest(), &process.GetProvidedManifest());
    return match.provided.GetIndex();
}

std::vector<FileLocation> LocationsOf(const Manifest& manifest) {
    std::vector<FileLocation> locations;
    for (const FileMetainfo& file : manifest) locations.push_back(file.location);
    return locations;
}

} // namespace

TEST(UpdateProcessInit, AttachesTargetToRootAndManagesItsZips) {
    FileMetainfo absent = Remote("b.pk4", "gone.txt", 3);
    absent.Clear();
    Manifest target = ManifestOf(
        {Remote("b.pk4", "x.txt", 1), Remote("a/c.pk4", "y.txt", 2), Remote("b.pk4", "z.txt", 4), absent});
    Manifest provided = ManifestOf({Remote("b.pk4", "x.txt", 1)});
    UpdateProcess process;
    process.Init(target, provided, ROOT);

    EXPECT_EQ(process.GetRootDir(), ROOT);
    ASSERT_EQ(process.GetTargetManifest().size(), 4);
    EXPECT_EQ(process.GetTargetManifest()[0].zipPath.abs, "/inst/dir/b.pk4");
    EXPECT_EQ(process.GetTargetManifest()[1].zipPath.abs, "/inst/dir/a/c.pk4");
    EXPECT_EQ(process.GetTargetManifest()[1].zipPath.rel, "a/c.pk4");
    EXPECT_EQ(LocationsOf(process.GetTargetManifest()),
              (std::vector<FileLocation>{FileLocation::Local, FileLocation::Local, FileLocation::Local,
                                         FileLocation::Absent}));
    // The provided manifest is taken as it is.
    EXPECT_EQ(process.GetProvidedManifest()[0].zipPath.abs, "http://mirror.example.org/base/b.pk4");
    EXPECT_EQ(process.GetProvidedManifest()[0].location, FileLocation::Remote);
    EXPECT_EQ(process.GetManagedZips(), (std::set<std::string>{"/inst/dir/a/c.pk4", "/inst/dir/b.pk4"}));
    EXPECT_TRUE(process.GetMatches().empty());

    // Lvalue arguments are copied: the caller's manifests are untouched.
    EXPECT_EQ(target[0].zipPath.abs, "http://mirror.example.org/base/b.pk4");
    EXPECT_EQ(target[0].location, FileLocation::Remote);
    EXPECT_EQ(provided.size(), 1);
}

TEST(UpdateProcessInit, RvalueManifestsAreMovedIn) {
    Manifest target = ManifestOf({Remote("b.pk4", "x.txt", 1)});
    Manifest provided = ManifestOf({Remote("b.pk4", "x.txt", 1), Remote("b.pk4", "y.txt", 2)});
    const FileMetainfo* targetEntries = &target[0];
    const FileMetainfo* providedEntries = &provided[0];
    UpdateProcess process;
    process.Init(std::move(target), std::move(provided), ROOT);
    // The process holds the very entries it was given, not copies of them.
    EXPECT_EQ(&process.GetTargetManifest()[0], targetEntries);
    EXPECT_EQ(&process.GetProvidedManifest()[0], providedEntries);
    EXPECT_EQ(process.GetTargetManifest()[0].zipPath.abs, "/inst/dir/b.pk4");
    EXPECT_EQ(process.GetProvidedManifest().size(), 2);
}

TEST(UpdateProcessInit, SecondInitStartsOver) {
    UpdateProcess process;
    process.Init(ManifestOf({Remote("old.pk4", "x.txt", 1)}), ManifestOf({File("old.pk4", "x.txt", 1)}),
                 ROOT);
    process.AddManagedZip("extra.pk4", true);
    ASSERT_TRUE(process.DevelopPlan(UpdateType::BitwiseExact));

    process.Init(ManifestOf({Remote("new.pk4", "y.txt", 2)}), Manifest(), OTHER_ROOT);
    EXPECT_EQ(process.GetManagedZips(), (std::set<std::string>{"/old/copy/new.pk4"}));
    EXPECT_TRUE(process.GetMatches().empty());
    EXPECT_EQ(process.GetProvidedManifest().size(), 0);
    EXPECT_EQ(process.GetTargetManifest()[0].zipPath.abs, "/old/copy/new.pk4");
}

TEST(UpdateProcessInit, FailureLeavesProcessAsItWas) {
    UpdateProcess process;
    process.Init(ManifestOf({Remote("a.pk4", "x.txt", 1)}), ManifestOf({File("a.pk4", "x.txt", 1)}), ROOT);
    ASSERT_TRUE(process.DevelopPlan(UpdateType::ContentsOnly));

    for (const char* badRoot : {"", "/inst/dir?x=1"}) {
        SCOPED_TRACE(badRoot);
        // The root is checked even when no target entry would need it.
        for (bool emptyTarget : {false, true}) {
            Manifest target = emptyTarget ? Manifest() : ManifestOf({Remote("b.pk4", "y.txt", 2)});
            EXPECT_TRUE(CatchError([&] { process.Init(target, Manifest(), badRoot); }).thrown);
            EXPECT_EQ(process.GetRootDir(), ROOT);
            EXPECT_EQ(process.GetTargetManifest().size(), 1);
            EXPECT_EQ(process.GetTargetManifest()[0].zipPath.abs, "/inst/dir/a.pk4");
            EXPECT_EQ(process.GetProvidedManifest().size(), 1);
            EXPECT_EQ(process.GetMatches().size(), 1u);
            EXPECT_EQ(process.GetManagedZips(), (std::set<std::string>{"/inst/dir/a.pk4"}));
        }
    }
}

TEST(UpdateProcessManagedZips, RelativeAbsoluteAndOutsideRoot) {
    UpdateProcess process;
    process.Init(ManifestOf({Remote("a.pk4", "x.txt", 1)}), Manifest(), ROOT);
    process.AddManagedZip("fms/qmh_b.pk4", true);
    process.AddManagedZip("/inst/dir/qmh_c.pk4", false);
    process.AddManagedZip("/inst/dir/a.pk4", false);
    EXPECT_EQ(process.GetManagedZips(),
              (std::set<std::string>{"/inst/dir/a.pk4", "/inst/dir/fms/qmh_b.pk4", "/inst/dir/qmh_c.pk4"}));

    CaughtError outside = CatchError([&] { process.AddManagedZip("/inst/directory/qmh_d.pk4", false); });
    EXPECT_TRUE(outside.thrown);
    EXPECT_EQ(outside.code, lcGeneral);
    EXPECT_EQ(outside.message, "Abs path /inst/directory/qmh_d.pk4 is not within root dir /inst/dir");
    // An absolute path given as relative is refused too.
    EXPECT_TRUE(CatchError([&] { process.AddManagedZip("/inst/dir/e.pk4", true); }).thrown);
    // So are names that alias another one: two managed zips for one file.
    const std::string alias = "Archive path %s has an empty, \".\" or \"..\" component";
    for (const char* rel : {"x/../a.pk4", "x/./a.pk4", "x//a.pk4"}) {
        ExpectError([&] { process.AddManagedZip(rel, true); }, lcGeneral, FormatString(alias.c_str(), rel));
        ExpectError([&] { process.AddManagedZip(std::string(ROOT) + "/" + rel, false); }, lcGeneral,
                    FormatString(alias.c_str(), rel));
        UpdateProcess other;
        ExpectError([&] { other.Init(ManifestOf({File(rel, "x.txt", 1)}), Manifest(), ROOT); }, lcGeneral,
                    FormatString(alias.c_str(), rel));
    }
    EXPECT_EQ(process.GetManagedZips().size(), 3u);
}

// Zips the plan may not write are refused when it is made, before anything changes: one target
// zip with more entries than a zip holds, a directory where a target zip belongs, and paths that
// would lead a write out of the root through a link.
TEST(UpdateProcessPlan, RefusesZipsItCannotWriteBeforeAnythingChanges) {
    TempDir dir;
    std::string root = dir / "root";
    WriteTestFile(dir / "outside/victim.pk4", "precious");
    WriteTestFile(root + "/sub.pk4/inner.txt", "user");
    std::string longName = std::string(241, 'n') + ".pk4";
    std::vector<FileMetainfo> big;
    for (int i = 0; i < 65536; i++)
        big.push_back(File("big.pk4", "f" + std::to_string(i), 1, 100, FileLocation::Local, root));
    struct Case {
        std::vector<FileMetainfo> targets;
        std::string managed; // added with AddManagedZip when not empty
        std::string message;
    };
    std::vector<Case> cases = {
        {big, "", "Target zip " + root + "/big.pk4 has 65536 files, more than a zip can hold (65535)"},
        {{File("sub.pk4", "x.txt", 1, 100, FileLocation::Local, root)},
         "",
         "Target zip " + root + "/sub.pk4 is a directory"},
        {{File("fms/__repacked__a.pk4", "x.txt", 1, 100, FileLocation::Local, root)},
         "",
         "Target zip " + root + "/fms/__repacked__a.pk4 is named like a temporary file"},
        // The file system's 255 must hold the name with "__normalized__" in front.
        {{File(longName, "x.txt", 1, 100, FileLocation::Local, root)},
         "",
         "Target zip " + root + "/" + longName + " cannot be created: the name __normalized__" + longName +
             " is 259 " + GetFileNameLimits(root).unit + " long, more than the 255 the file system allows"},
    };
#ifndef _WIN32 // Windows takes paths of 32767 characters
    std::string longPath;
    while (longPath.size() < 4096) longPath += std::string(200, 'd') + "/";
    longPath += "x.pk4";
    cases.push_back({{File(longPath, "x.txt", 1, 100, FileLocation::Local, root)},
                     "",
                     "Target zip " + root + "/" + longPath + " cannot be created: the path is " +
                         std::to_string(root.size() + longPath.size() + 15) +
                         " bytes long, more than the 4095 the system allows"});
#endif
#ifndef _WIN32 // Wine shows a Unix link as what it points at and makes no Windows links
    ASSERT_EQ(symlink("../outside", (root + "/link").c_str()), 0);
    ASSERT_EQ(symlink("../outside/victim.pk4", (root + "/victim.pk4").c_str()), 0);
    cases.insert(cases.end(),
                 {
                     {{File("link/x.pk4", "x.txt", 1, 100, FileLocation::Local, root)},
                      "",
                      "Path " + root + "/link/x.pk4 leads outside of root directory " + root},
                     {{File("link/new/x.pk4", "x.txt", 1, 100, FileLocation::Local, root)},
                      "",
                      "Path " + root + "/link/new/x.pk4 leads outside of root directory " + root},
                     {{File("victim.pk4", "x.txt", 1, 100, FileLocation::Local, root)},
                      "",
                      "Path " + root + "/victim.pk4 is a symbolic link"},
                     {{File("a.pk4", "x.txt", 1, 100, FileLocation::Local, root)},
                      root + "/victim.pk4",
                      "Path " + root + "/victim.pk4 is a symbolic link"},
                 });
#endif
    big.resize(65535);
    for (const Case& c : cases) {
        Manifest provided = ManifestOf({File("a.pk4", "x.txt", 1, 100, FileLocation::Local, root)});
        UpdateProcess process;
        process.Init(ManifestOf(c.targets), provided, root);
        if (!c.managed.empty()) process.AddManagedZip(c.managed);
        ExpectError([&] { process.DevelopPlan(UpdateType::ContentsOnly); }, lcGeneral, c.message);
        EXPECT_TRUE(process.GetMatches().empty());
        EXPECT_EQ(LocationsOf(process.GetProvidedManifest()), LocationsOf(provided));
    }
    // Exactly as many entries as a zip holds are fine (and provided nowhere here).
    UpdateProcess full;
    full.Init(ManifestOf(big), Manifest(), root);
    EXPECT_FALSE(full.DevelopPlan(UpdateType::ContentsOnly));
    EXPECT_EQ(full.GetMatches().size(), 65535u);
    EXPECT_EQ(ReadTestFile(dir / "outside/victim.pk4"), "precious");
}

// One target t.pk4||t.txt (contents 7, local header at 100) and a list of candidates: the
// provider expected, by its position among the candidates.
struct ChoiceCase {
    const char* name;
    std::vector<FileMetainfo> candidates;
    int expected;
};

TEST(UpdateProcessPlan, ScoreOrderAndTies) {
    const FileMetainfo elsewhereSameOffset = File("other.pk4", "o.txt", 7, 100); // 17
    const FileMetainfo ownPlaceOtherRoot =
        File("t.pk4", "t.txt", 7, 300, FileLocation::Local, OTHER_ROOT); // 18
    const std::vector<ChoiceCase> cases = {
        {"in place beats another local zip at the same offset",
         {elsewhereSameOffset, File("t.pk4", "t.txt", 7, 300)},
         1},
        {"same offset elsewhere (17) beats own zip and name at another offset (18)",
         {ownPlaceOtherRoot, elsewhereSameOffset},
         1},
        {"the same, listed the other way round", {elsewhereSameOffset, ownPlaceOtherRoot}, 0},
        {"own zip and name at another offset (18) beats neither (19)",
         {File("other.pk4", "o.txt", 7, 500), ownPlaceOtherRoot},
         1},
        {"same offset, zip and name (16) beats same offset only (17)",
         {elsewhereSameOffset, File("t.pk4", "t.txt", 7, 100, FileLocation::Local, OTHER_ROOT)},
         1},
        {"any local file beats the best remote one",
         {Remote("t.pk4", "t.txt", 7, 100), File("other.pk4", "o.txt", 7, 900)},
         1},
        {"remote: same offset, zip and name (26) first",
         {Remote("x.pk4", "x.txt", 7, 100), Remote("t.pk4", "t.txt", 7, 100)},
         1},
        {"remote: same offset (27) beats same zip and name (28)",
         {Remote("t.pk4", "t.txt", 7, 900), Remote("x.pk4", "x.txt", 7, 100)},
         1},
        {"remote: same zip and name (28) beats neither (29)",
         {Remote("x.pk4", "x.txt", 7, 900), Remote("t.pk4", "t.txt", 7, 900)},
         1},
        {"the name alone is not the place: other zip with the target's name scores as neither",
         {Remote("x.pk4", "t.txt", 7, 900), Remote("t.pk4", "x.txt", 7, 900),
          Remote("t.pk4", "t.txt", 7, 900)},
         2},
        {"equal scores: the earlier candidate wins",
         {Remote("x.pk4", "a.txt", 7, 900), Remote("y.pk4", "b.txt", 7, 800)},
         0},
        {"equal scores among local files",
         {File("x.pk4", "a.txt", 7, 100), File("y.pk4", "b.txt", 7, 100)},
         0},
        {"other contents never qualify",
         {File("t.pk4", "t.txt", 8, 100), Remote("x.pk4", "x.txt", 7, 900)},
         1},
        {"an absent file with equal contents is chosen when nothing else has them",
         {File("t.pk4", "t.txt", 8, 100), File("x.pk4", "x.txt", 7, 100, FileLocation::Absent)},
         1},
        {"absent loses to remote",
         {File("x.pk4", "x.txt", 7, 100, FileLocation::Absent), Remote("y.pk4", "y.txt", 7, 5)},
         1},
        {"nothing with equal contents",
         {File("t.pk4", "t.txt", 8, 100), Remote("t.pk4", "t.txt", 9, 100)},
         -1},
    };
    for (const ChoiceCase& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateProcess process;
        process.Init(ManifestOf({Remote("t.pk4", "t.txt", 7, 100)}), ManifestOf(c.candidates), ROOT);
        bool complete = process.DevelopPlan(UpdateType::ContentsOnly);
        ASSERT_EQ(process.GetMatches().size(), 1u);
        EXPECT_EQ(ProviderOf(process, 0), c.expected);
        EXPECT_EQ(complete, c.expected >= 0);
        const FileMatch& match = process.GetMatches()[0];
        EXPECT_EQ(match.target.GetManifest(), &process.GetTargetManifest());
        EXPECT_EQ(match.target.GetIndex(), 0);
    }
}

TEST(UpdateProcessPlan, InPlaceFileWinsAndIsMarked) {
    // Another local zip holds the same contents at the target's offset (17) and comes first; the
    // file at the target's own place becomes InPlace and wins even at another offset (8).
    UpdateProcess process;
    process.Init(ManifestOf({Remote("t.pk4", "t.txt", 7, 100)}),
                 ManifestOf({File("other.pk4", "o.txt", 7, 100), File("t.pk4", "t.txt", 7, 300)}), ROOT);
    EXPECT_TRUE(process.DevelopPlan(UpdateType::ContentsOnly));
    EXPECT_EQ(ProviderOf(process, 0), 1);
    EXPECT_EQ(LocationsOf(process.GetProvidedManifest()),
              (std::vector<FileLocation>{FileLocation::Local, FileLocation::InPlace}));
}

TEST(UpdateProcessPlan, BitwiseExactPassesOverOtherCompressedBytes) {
    // The local file has the target's contents compressed differently (another level, say).
    FileMetainfo recompressed = File("t.pk4", "t.txt", 7, 100);
    recompressed.compressedHash = Compressed(70);
    recompressed.compressedSize = 44;
    FileMetainfo remoteExact = Remote("t.pk4", "t.txt", 7, 100);
    Manifest target = ManifestOf({Remote("t.pk4", "t.txt", 7, 100)});

    UpdateProcess process;
    process.Init(target, ManifestOf({recompressed, remoteExact}), ROOT);
    EXPECT_TRUE(process.DevelopPlan(UpdateType::ContentsOnly));
    EXPECT_EQ(ProviderOf(process, 0), 0);
    EXPECT_EQ(process.GetUpdateType(), UpdateType::ContentsOnly);
    EXPECT_TRUE(process.DevelopPlan(UpdateType::BitwiseExact));
    EXPECT_EQ(ProviderOf(process, 0), 1);
    EXPECT_EQ(process.GetUpdateType(), UpdateType::BitwiseExact);

    UpdateProcess alone;
    alone.Init(target, ManifestOf({recompressed}), ROOT);
    EXPECT_FALSE(alone.DevelopPlan(UpdateType::BitwiseExact));
    EXPECT_EQ(ProviderOf(alone, 0), -1);
    // Equal compressed bytes with other contents do not qualify either.
    FileMetainfo otherContents = Remote("t.pk4", "t.txt", 8, 100);
    otherContents.compressedHash = Compressed(7);
    alone.Init(target, ManifestOf({otherContents}), ROOT);
    EXPECT_FALSE(alone.DevelopPlan(UpdateType::BitwiseExact));
}

TEST(UpdateProcessPlan, DigestsSharingLeadingBytesAreToldApart) {
    // Thirty digests equal in all but their last byte, provided in an order unrelated to the
    // targets'; each target must get exactly the provider with its own digest.
    auto nearly = [](int id) {
        HashDigest digest;
        for (int i = 0; i < 31; i++) digest.data[i] = 0x5a;
        digest.data[31] = (uint8_t)id;
        return digest;
    };
    Manifest target, provided;
    for (int id = 0; id < 30; id++) {
        FileMetainfo t = Remote("t.pk4", "f" + std::to_string(id), 0, 1000 + id);
        t.contentsHash = nearly(id);
        target.AppendFile(t);
    }
    for (int k = 0; k < 30; k++) {
        int id = (k * 7) % 30;
        FileMetainfo p = Remote("p.pk4", "g" + std::to_string(id), 0, 5000 + k);
        p.contentsHash = nearly(id);
        provided.AppendFile(p);
    }
    UpdateProcess process;
    process.Init(target, provided, ROOT);
    ASSERT_TRUE(process.DevelopPlan(UpdateType::ContentsOnly));
    for (int id = 0; id < 30; id++) {
        SCOPED_TRACE(id);
        int p = ProviderOf(process, id);
        ASSERT_GE(p, 0);
        EXPECT_EQ(process.GetProvidedManifest()[p].filename, "g" + std::to_string(id));
    }
}

TEST(UpdateProcessPlan, DuplicateTargetFailsAndChangesNothing) {
    // Same name in another zip and another name in the same zip are fine; the fourth entry
    // repeats the place of the first, and the fifth that of the second.
    Manifest target =
        ManifestOf({Remote("a.pk4", "x.txt", 1), Remote("b.pk4", "x.txt", 2), Remote("a.pk4", "y.txt", 3),
                    Remote("a.pk4", "x.txt", 4), Remote("b.pk4", "x.txt", 5)});
    Manifest provided = ManifestOf({File("a.pk4", "x.txt", 1), File("b.pk4", "x.txt", 2),
                                    File("a.pk4", "y.txt", 3), Remote("a.pk4", "x.txt", 4)});
    UpdateProcess process;
    process.Init(target, provided, ROOT);
    // Whatever the plan holds before the call stays.
    FileMatch earlier;
    earlier.provided = ManifestRef(process.GetProvidedManifest(), 3);
    process.GetMatches().push_back(earlier);

    CaughtError error = CatchError([&] { process.DevelopPlan(UpdateType::BitwiseExact); });
    EXPECT_TRUE(error.thrown);
    EXPECT_EQ(error.code, lcGeneral);
    EXPECT_EQ(error.message, "Duplicate target file at place /inst/dir/a.pk4||x.txt");
    ASSERT_EQ(process.GetMatches().size(), 1u);
    EXPECT_TRUE(process.GetMatches()[0].target.IsNull());
    EXPECT_EQ(process.GetMatches()[0].provided, earlier.provided);
    // No provided file was marked in place, and the mode of the plan is unchanged.
    EXPECT_EQ(LocationsOf(process.GetProvidedManifest()), LocationsOf(provided));
    EXPECT_EQ(process.GetUpdateType(), UpdateType::ContentsOnly);
}

TEST(UpdateProcessPlan, OnlyLocalFilesAtTargetPlacesBecomeInPlace) {
    FileMetainfo remoteAtPlace = File("a.pk4", "x.txt", 1);
    remoteAtPlace.location = FileLocation::Remote;
    FileMetainfo absentAtPlace = File("a.pk4", "y.txt", 2);
    absentAtPlace.location = FileLocation::Absent;
    FileMetainfo alreadyInPlace = File("c.pk4", "w.txt", 3);
    alreadyInPlace.location = FileLocation::InPlace;
    Manifest provided = ManifestOf({
        File("a.pk4", "x.txt", 9),                                       // at a place, other contents
        remoteAtPlace,                                                   // not examined
        absentAtPlace,                                                   // not examined
        File("a.pk4", "z.txt", 1),                                       // same zip, no target there
        File("b.pk4", "x.txt", 1),                                       // same name, other zip
        File("a.pk4", "x.txt", 1, 100, FileLocation::Local, OTHER_ROOT), // same rel, other root
        File("a.pk4", "x.txt", 1, 700),                                  // a second file at the place
        alreadyInPlace,                                                  // no target there, stays as it is
    });
    UpdateProcess process;
    process.Init(ManifestOf({Remote("a.pk4", "x.txt", 1), Remote("a.pk4", "y.txt", 2)}), provided, ROOT);
    // Complete: an absent provider counts as a provider.
    EXPECT_TRUE(process.DevelopPlan(UpdateType::ContentsOnly));
    using L = FileLocation;
    EXPECT_EQ(LocationsOf(process.GetProvidedManifest()),
              (std::vector<FileLocation>{L::InPlace, L::Remote, L::Absent, L::Local, L::Local, L::Local,
                                         L::InPlace, L::InPlace}));
    // In place at another offset (8) beats the same offset in the other root's copy (16).
    EXPECT_EQ(ProviderOf(process, 0), 6);
    // The absent file with the contents of a.pk4||y.txt is its only candidate.
    EXPECT_EQ(ProviderOf(process, 1), 2);
}

TEST(UpdateProcessPlan, ReplanStartsFromScratchAndKeepsInPlaceMarks) {
    UpdateProcess process;
    process.Init(ManifestOf({Remote("a.pk4", "x.txt", 1), Remote("a.pk4", "y.txt", 2)}),
                 ManifestOf({File("a.pk4", "x.txt", 1), Remote("a.pk4", "y.txt", 2)}), ROOT);
    ASSERT_TRUE(process.DevelopPlan(UpdateType::ContentsOnly));
    EXPECT_EQ(ProviderOf(process, 0), 0);
    EXPECT_EQ(ProviderOf(process, 1), 1);

    // A local copy appended later (as a download leaves one) is preferred by the next plan.
    process.GetProvidedManifest().AppendFile(File("b.pk4", "y.txt", 2, 100));
    ASSERT_TRUE(process.DevelopPlan(UpdateType::ContentsOnly));
    ASSERT_EQ(process.GetMatches().size(), 2u);
    EXPECT_EQ(ProviderOf(process, 0), 0);
    EXPECT_EQ(ProviderOf(process, 1), 2);
    EXPECT_EQ(process.GetProvidedManifest()[0].location, FileLocation::InPlace);
    EXPECT_EQ(process.GetProvidedManifest()[2].location, FileLocation::Local);
}

TEST(UpdateProcessPlan, EmptyTargetGivesEmptyCompletePlan) {
    UpdateProcess process;
    process.Init(Manifest(), ManifestOf({File("a.pk4", "x.txt", 1)}), ROOT);
    EXPECT_TRUE(process.DevelopPlan(UpdateType::BitwiseExact));
    EXPECT_TRUE(process.GetMatches().empty());
    EXPECT_EQ(process.GetProvidedManifest()[0].location, FileLocation::Local);
    EXPECT_TRUE(process.GetManagedZips().empty());

    UpdateStats stats = ComputeUpdateStats(process, 1234);
    EXPECT_EQ(stats.currentSize, 1234u);
    EXPECT_EQ(stats.finalSize, 0u);
    EXPECT_EQ(stats.addedSize, 0u);
    EXPECT_EQ(stats.removedSize, 1234u);
    EXPECT_EQ(stats.downloadSize, 0u);
    EXPECT_EQ(stats.missingSize, 0u);
}

namespace {

FileMetainfo Sized(FileMetainfo file, uint32_t compressedSize) {
    file.compressedSize = compressedSize;
    return file;
}

} // namespace

TEST(UpdateStats, SixCountsOfAMixedPlan) {
    FileMetainfo absent = File("d.pk4", "w.txt", 4);
    absent.location = FileLocation::Absent;
    Manifest target =
        ManifestOf({Sized(Remote("a.pk4", "x.txt", 1), 1), Sized(Remote("a.pk4", "y.txt", 2), 2),
                    Sized(Remote("a.pk4", "z.txt", 3), 4), Sized(Remote("c.pk4", "w.txt", 4), 8),
                    Sized(Remote("c.pk4", "v.txt", 5), 16)});
    // The providers' own sizes differ from the targets'; the targets' count.
    Manifest provided =
        ManifestOf({Sized(File("a.pk4", "x.txt", 1), 1000), Sized(File("b.pk4", "y.txt", 2), 1000),
                    Sized(Remote("a.pk4", "z.txt", 3), 1000), Sized(absent, 1000)});
    UpdateProcess process;
    process.Init(target, provided, ROOT);
    bool complete = process.DevelopPlan(UpdateType::ContentsOnly);
    EXPECT_FALSE(complete);
    using L = FileLocation;
    ASSERT_EQ(LocationsOf(process.GetProvidedManifest()),
              (std::vector<FileLocation>{L::InPlace, L::Local, L::Remote, L::Absent}));
    EXPECT_EQ(ProviderOf(process, 4), -1);

    UpdateStats stats = ComputeUpdateStats(process, 100);
    EXPECT_EQ(stats.currentSize, 100u);
    EXPECT_EQ(stats.finalSize, 31u);
    EXPECT_EQ(stats.addedSize, 2u + 4u + 8u);
    EXPECT_EQ(stats.downloadSize, 4u);
    EXPECT_EQ(stats.missingSize, 16u);
    EXPECT_EQ(stats.removedSize, 99u); // current minus the one byte already in place
    EXPECT_EQ(complete, stats.missingSize == 0);
}

TEST(UpdateStats, RemovedSizeWrapsAround) {
    // One file in place serves two targets, so more is "in place" than the current zips hold.
    Manifest target =
        ManifestOf({Sized(Remote("a.pk4", "x.txt", 1), 1000), Sized(Remote("b.pk4", "x.txt", 1), 1000)});
    UpdateProcess process;
    process.Init(target, ManifestOf({File("a.pk4", "x.txt", 1)}), ROOT);
    ASSERT_TRUE(process.DevelopPlan(UpdateType::ContentsOnly));
    EXPECT_EQ(ProviderOf(process, 0), 0);
    EXPECT_EQ(ProviderOf(process, 1), 0);
    UpdateStats stats = ComputeUpdateStats(process, 1500);
    EXPECT_EQ(stats.finalSize, 2000u);
    EXPECT_EQ(stats.addedSize, 0u);
    EXPECT_EQ(stats.missingSize, 0u);
    EXPECT_EQ(stats.removedSize, UINT64_MAX - 499u); // 1500 - 2000 modulo 2^64
}

TEST(UpdateStats, SumsAreSixtyFourBit) {
    // Five thousand targets of 4,000,000 bytes each: 2 * 10^10 bytes, beyond 32 bits.
    Manifest target;
    for (int i = 0; i < 5000; i++)
        target.AppendFile(Sized(Remote("big.pk4", "f" + std::to_string(i), 100 + i, 100 + i), 4000000));
    UpdateProcess process;
    process.Init(target, target, ROOT);
    ASSERT_TRUE(process.DevelopPlan(UpdateType::ContentsOnly));
    UpdateStats stats = ComputeUpdateStats(process, 0);
    EXPECT_EQ(stats.finalSize, 20000000000ull);
    EXPECT_EQ(stats.downloadSize, 20000000000ull);
    EXPECT_EQ(stats.addedSize, 20000000000ull);
    EXPECT_EQ(stats.removedSize, 0u);
}

TEST(UpdateStats, RequireADevelopedPlan) {
    UpdateProcess process;
    process.Init(ManifestOf({Remote("a.pk4", "x.txt", 1)}), Manifest(), ROOT);
    EXPECT_TRUE(IsAssertionOf(CatchError([&] { ComputeUpdateStats(process, 0); }),
                              "process.GetMatches().size() == (size_t)process.GetTargetManifest().size()"));
}

TEST(UpdateStats, SumOfZipSizesTakesEachSizeAsThirtyTwoBits) {
    TempDir dir;
    WriteTestFile(dir / "empty.pk4", "");
    WriteTestFile(dir / "ten.pk4", std::string(10, 'x'));
    WriteTestFile(dir / "sub/three.pk4", std::string(300, 'y'));
    EXPECT_EQ(SumOfZipSizes({}), 0u);
    EXPECT_EQ(SumOfZipSizes({dir / "empty.pk4", dir / "ten.pk4", dir / "sub/three.pk4"}), 310u);

    // A sparse file of 4 GiB + 7 bytes counts as 7.
    WriteTestFile(dir / "huge.pk4", "");
    ASSERT_EQ(truncate((dir / "huge.pk4").c_str(), (off_t)(4ull << 30) + 7), 0);
    EXPECT_EQ(SumOfZipSizes({dir / "ten.pk4", dir / "huge.pk4"}), 17u);

    CaughtError missing = CatchError([&] { SumOfZipSizes({dir / "ten.pk4", dir / "missing.pk4"}); });
    EXPECT_TRUE(missing.thrown);
    EXPECT_EQ(missing.code, lcCantOpenFile);
}

namespace {

// The plan as its rules read, with ordered containers and full-name strings: the model the
// hashed, prefetching planner is checked against.
struct ModelPlan {
    std::vector<int> providers;
    std::vector<FileLocation> locations;
    bool complete = true;
};

ModelPlan PlanByModel(const Manifest& target, Manifest provided, UpdateType type) {
    std::set<std::string> places;
    for (const FileMetainfo& t : target) places.insert(GetFullPath(t.zipPath.abs, t.filename));
    for (FileMetainfo& p : provided)
        if (p.location == FileLocation::Local && places.count(GetFullPath(p.zipPath.abs, p.filename)))
            p.location = FileLocation::InPlace;
    std::map<HashDigest, std::vector<int>> byContents;
    for (int i = 0; i < provided.size(); i++) byContents[provided[i].contentsHash].push_back(i);
    ModelPlan plan;
    for (const FileMetainfo& t : target) {
        int best = -1, bestScore = 1000000000;
        for (int c : byContents[t.contentsHash]) {
            const FileMetainfo& p = provided[c];
            if (type == UpdateType::BitwiseExact && p.compressedHash != t.compressedHash) continue;
            int score = 10 * (int)p.location + (p.byterange[0] == t.byterange[0] ? 7 : 9);
            if (p.filename == t.filename && p.zipPath.rel == t.zipPath.rel) score--;
            if (score < bestScore) {
                best = c;
                bestScore = score;
            }
        }
        plan.providers.push_back(best);
        plan.complete = plan.complete && best >= 0;
    }
    plan.locations = LocationsOf(provided);
    return plan;
}

} // namespace

TEST(UpdateProcessPlan, AgreesWithModelOnRandomManifests) {
    // Few zips, names, offsets and contents, so that candidates pile up, places coincide and
    // ties are common; contents digests 0..3 of a kind share their leading bytes. Every tenth
    // round is large enough for the look-ups to run many items ahead of each other.
    uint64_t state = 2024;
    auto next = [&](int n) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return (int)((state >> 33) % (uint64_t)n);
    };
    auto contents = [&](int id) {
        HashDigest digest = Contents(id / 4);
        digest.data[31] = (uint8_t)id;
        return digest;
    };
    const char* zips[] = {"a.pk4", "b.pk4", "sub/a.pk4"};
    const FileLocation locations[] = {FileLocation::InPlace, FileLocation::Local, FileLocation::Local,
                                      FileLocation::Remote, FileLocation::Absent};
    for (int round = 0; round < 300; round++) {
        SCOPED_TRACE(round);
        bool large = round % 10 == 9;
        int nameCount = large ? 60 : 4;
        int places = 3 * nameCount;
        auto name = [&] { return "n" + std::to_string(next(nameCount)); };
        Manifest target, provided;
        std::set<std::string> used;
        int targetCount = next(places);
        while (target.size() < targetCount) {
            FileMetainfo t = Remote(zips[next(3)], name(), 0, 100 * (1 + next(3)));
            if (!used.insert(t.zipPath.rel + "||" + t.filename).second) continue;
            t.contentsHash = contents(next(large ? 80 : 8));
            t.compressedHash = Compressed(next(2));
            target.AppendFile(t);
        }
        int providedCount = next(large ? 400 : 30);
        for (int i = 0; i < providedCount; i++) {
            FileLocation location = locations[next(5)];
            FileMetainfo p =
                File(zips[next(3)], name(), 0, 100 * (1 + next(3)), location, next(4) ? ROOT : OTHER_ROOT);
            p.contentsHash = contents(next(large ? 80 : 8));
            p.compressedHash = Compressed(next(2));
            provided.AppendFile(p);
        }
        for (UpdateType type : {UpdateType::ContentsOnly, UpdateType::BitwiseExact}) {
            UpdateProcess process;
            process.Init(target, provided, ROOT);
            ModelPlan model = PlanByModel(process.GetTargetManifest(), provided, type);
            bool complete = process.DevelopPlan(type);
            EXPECT_EQ(complete, model.complete);
            ASSERT_EQ(process.GetMatches().size(), (size_t)target.size());
            for (int i = 0; i < target.size(); i++)
                EXPECT_EQ(ProviderOf(process, i), model.providers[i]) << i;
            EXPECT_EQ(LocationsOf(process.GetProvidedManifest()), model.locations);
        }
    }
}

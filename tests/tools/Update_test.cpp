// The publisher's whole road with the zipsync tool: raw archives of two game versions are
// normalized and analysed into a server tree, nginx serves it on loopback, and 'zipsync update'
// brings installations of A to B, while 'zipsync diff' predicts the cost.
#include "ToolRunner.h"

#include "FaultServer.h"
#include "GameFixture.h"
#include "NginxServer.h"
#include "ZipFixture.h"
#include "update/DirectoryLock.h"
#include "zip/IniFile.h"
#include "zip/Manifest.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The versions as make_game.py writes them (Info-ZIP archive not normalized), and the server
// tree published from them: <server>/zipsync/A and <server>/zipsync/B, each with its
// manifest.iniz. A's tree holds only the game's archives, not the user's files.
struct Published {
    std::unique_ptr<TempDir> dir;
    std::string rawA, rawB, server;
    std::vector<std::string> archivesA, archivesB, userFiles;

    std::string Tree(const char* version) const { return server + "/zipsync/" + version; }
    std::string ManifestOf(const char* version) const { return Tree(version) + "/manifest.iniz"; }
};

void Publish(const Published& p, const char* version, const std::string& raw,
             const std::vector<std::string>& archives) {
    for (const std::string& rel : archives) {
        fs::create_directories(fs::path(p.Tree(version) + "/" + rel).parent_path());
        fs::copy_file(raw + "/" + rel, p.Tree(version) + "/" + rel);
    }
    // The Info-ZIP archive is refused, with a hint naming it. Python's pak000 is accepted, but
    // it is not in name order, for which analyze warns. Only those two are normalized, so that
    // the other archives stay byte for byte as the publisher made them.
    ToolResult refused = RunZipsync({"analyze", p.Tree(version)});
    std::string infoZip = p.Tree(version) + "/base/pak001.pk4";
    ASSERT_EQ(refused.status, 1) << Dump(refused);
    ASSERT_TRUE(Contains(refused.err, "Hint: 'zipsync normalize " + infoZip + "'")) << Dump(refused);
    ToolResult normalized = RunZipsync({"normalize", infoZip});
    ASSERT_EQ(normalized.status, 0) << Dump(normalized);
    ToolResult analyzed = RunZipsync({"analyze", p.Tree(version)});
    ASSERT_EQ(analyzed.status, 0) << Dump(analyzed);
    std::string warning = "Warning: Archive base/pak000.pk4 is not in normal form";
    ASSERT_TRUE(Contains(analyzed.err, warning)) << Dump(analyzed);
    ASSERT_EQ(RunZipsync({"normalize", p.Tree(version) + "/base/pak000.pk4"}).status, 0);
    analyzed = RunZipsync({"analyze", p.Tree(version)});
    ASSERT_EQ(analyzed.status, 0) << Dump(analyzed);
    ASSERT_FALSE(Contains(analyzed.err, "Warning: ")) << Dump(analyzed);
    ToolResult verified = RunZipsync({"verify", p.Tree(version), p.ManifestOf(version)});
    ASSERT_EQ(verified.status, 0) << Dump(verified);
}

const Published& GetPublished() {
    static std::unique_ptr<Published> published;
    if (published) return *published;
    auto p = std::make_unique<Published>();
    p->dir = std::make_unique<TempDir>("zspublish");
    std::string script = std::string(TESTS_SOURCE_DIR) + "/support/make_game.py";
    EXPECT_EQ(RunShellCommand("python3 '" + script + "' '" + p->dir->path() + "'"), 0);
    p->rawA = p->dir->path() + "/A";
    p->rawB = p->dir->path() + "/B";
    p->server = p->dir->path() + "/www";
    std::istringstream layout(ReadTestFile(p->dir->path() + "/layout.txt"));
    std::string kind, rel;
    while (layout >> kind >> rel) {
        if (kind == "A") p->archivesA.push_back(rel);
        if (kind == "B") p->archivesB.push_back(rel);
        if (kind == "U") p->userFiles.push_back(rel);
    }
    Publish(*p, "A", p->rawA, p->archivesA);
    Publish(*p, "B", p->rawB, p->archivesB);
    published = std::move(p);
    return *published;
}

// A copy of A's published archives in dir/game (without A's manifest), as an installation.
std::string InstallationOfA(const Published& p, const TempDir& dir) {
    std::string install = dir / "game";
    InstallPublishedTree(p.Tree("A"), install);
    return install;
}

// The figure of one statistic line ("  download   123  ...") of the tool's output.
uint64_t Figure(const std::string& output, const std::string& name) {
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string word;
        uint64_t value = 0;
        if (words >> word && word == name && words >> value) return value;
    }
    ADD_FAILURE() << "no figure " << name << " in\n" << output;
    return 0;
}

// The six statistics lines of an output, for comparing two outputs.
std::string StatLines(const std::string& output) {
    std::istringstream lines(output);
    std::string line, stats;
    while (std::getline(lines, line))
        for (const char* name : {"current", "final", "download", "added", "removed", "missing"})
            if (line.compare(0, 3 + strlen(name), std::string("  ") + name + " ") == 0) stats += line + "\n";
    return stats;
}

// Byte ranges [from, to) of a "Range: bytes=a-b,c-d" header.
std::vector<std::pair<uint64_t, uint64_t>> Ranges(const std::string& header) {
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    if (header.compare(0, 6, "bytes=") != 0) return ranges;
    std::istringstream parts(header.substr(6));
    std::string part;
    while (std::getline(parts, part, ',')) {
        size_t dash = part.find('-');
        ranges.push_back({std::stoull(part.substr(0, dash)), std::stoull(part.substr(dash + 1)) + 1});
    }
    return ranges;
}

// Whether two files hold the same bytes (without printing them when they do not).
bool SameBytes(const std::string& a, const std::string& b) {
    return ReadTestFile(a) == ReadTestFile(b);
}

std::string Url(const NginxServer& nginx, const char* version) {
    return nginx.HttpUrl(std::string("zipsync/") + version + "/manifest.iniz");
}

} // namespace

// Bitwise, the installation ends up byte for byte as the published tree.
TEST(Update, OverNginxReachesTheTargetInBothModes) {
    const Published& p = GetPublished();
    NginxServer nginx(p.server);
    for (bool bitwise : {false, true}) {
        TempDir dir;
        std::string install = dir / "game";
        CopyDirectory(p.rawA, install);
        // The user's archive is kept through a wildcard pattern, read as fnmatch reads it.
        std::vector<std::string> args = {
            "update", "--target", Url(nginx, "B"), "--keep", "base/zz_[t-v]ser*.pk4", install};
        if (bitwise) args.push_back("--bitwise");
        nginx.ClearAccessLog();
        ToolResult result = RunZipsync(args);
        ASSERT_EQ(result.status, 0) << Dump(result);
        EXPECT_TRUE(HoldsVersionB(install, false)) << Dump(result);
        for (const std::string& rel : p.archivesB) {
            if (bitwise) {
                EXPECT_TRUE(SameBytes(install + "/" + rel, p.Tree("B") + "/" + rel)) << rel;
            }
        }
        EXPECT_TRUE(Contains(result.out, bitwise ? "(bitwise exact):" : "(same contents):")) << Dump(result);
        EXPECT_TRUE(Contains(result.out, "Downloaded bytes: ")) << Dump(result);
        // Archives are fetched by ranges only, never whole.
        for (const NginxServer::LogEntry& entry : nginx.AccessLog()) {
            if (entry.uri.find(".pk4") == std::string::npos) continue;
            EXPECT_NE(entry.range, "-") << entry.uri;
        }
        // A second run finds nothing to do: no download at all.
        nginx.ClearAccessLog();
        ToolResult again = RunZipsync(args);
        ASSERT_EQ(again.status, 0) << Dump(again);
        EXPECT_EQ(Figure(again.out, "download"), 0u);
        EXPECT_EQ(Figure(again.out, "added"), 0u);
        EXPECT_TRUE(HoldsVersionB(install, false));
        for (const NginxServer::LogEntry& entry : nginx.AccessLog())
            EXPECT_EQ(entry.uri.find(".pk4"), std::string::npos) << entry.uri;
    }
}

TEST(Update, DiffFiguresAgreeWithTheUpdatesRealTraffic) {
    const Published& p = GetPublished();
    NginxServer nginx(p.server);
    TempDir dir;
    std::string install = InstallationOfA(p, dir);
    uint64_t sizeOfA = 0;
    for (const std::string& rel : p.archivesA) sizeOfA += fs::file_size(install + "/" + rel);

    ToolResult diff = RunZipsync({"diff", p.ManifestOf("A"), Url(nginx, "B")});
    ASSERT_EQ(diff.status, 0) << Dump(diff);
    EXPECT_EQ(Figure(diff.out, "current"), sizeOfA) << Dump(diff);
    ToolResult files = RunZipsync({"diff", "--files", p.ManifestOf("A"), Url(nginx, "B")});
    EXPECT_EQ(files.status, 0) << Dump(files);
    EXPECT_TRUE(Contains(files.out, StatLines(diff.out))) << Dump(files);
    EXPECT_TRUE(Contains(files.out, "  removed  base/old_dlc.pk4||dlc/d1.tga\n")) << Dump(files);
    EXPECT_TRUE(Contains(files.out, "  added    base/new/dlc2.pk4||dlc/d3.tga  (")) << Dump(files);
    EXPECT_TRUE(Contains(files.out, "  changed  base/pak001.pk4||scripts/ai.script  (")) << Dump(files);
    EXPECT_FALSE(Contains(files.out, "base/pak_same.pk4")) << Dump(files);
    uint64_t download = Figure(diff.out, "download");
    EXPECT_GT(download, 0u);

    nginx.ClearAccessLog();
    ToolResult update = RunZipsync({"update", "--target", Url(nginx, "B"), install});
    ASSERT_EQ(update.status, 0) << Dump(update);
    // The update planned what diff predicted.
    EXPECT_EQ(StatLines(update.out), StatLines(diff.out)) << Dump(update);

    // And it fetched exactly that: the requested ranges are whole entries of B's manifest,
    // whose compressed bytes add up to the download figure, with nothing else requested.
    ZipSync::Manifest b;
    b.LoadFromIni(ZipSync::ReadIniFile(p.ManifestOf("B")), "/b");
    uint64_t requested = 0, entryBytes = 0, compressed = 0;
    for (const NginxServer::LogEntry& entry : nginx.AccessLog()) {
        if (entry.uri.find(".pk4") == std::string::npos) continue;
        std::string rel = entry.uri.substr(std::string("/zipsync/B/").size());
        for (auto range : Ranges(entry.range)) {
            requested += range.second - range.first;
            for (const ZipSync::FileMetainfo& file : b)
                if (file.zipPath.rel == rel && file.byterange[0] >= range.first &&
                    file.byterange[1] <= range.second) {
                    entryBytes += file.byterange[1] - file.byterange[0];
                    compressed += file.compressedSize;
                }
        }
    }
    EXPECT_EQ(compressed, download);
    EXPECT_EQ(requested, entryBytes);
    ToolResult verified = RunZipsync({"verify", install, p.ManifestOf("B")});
    EXPECT_EQ(verified.status, 0) << Dump(verified);
}

TEST(Update, HttpsTargetTrustsTheExtraCertificateAuthority) {
    const Published& p = GetPublished();
    NginxServer nginx(p.server, NginxServer::Options{true});
    TempDir dir;
    std::string install = InstallationOfA(p, dir);
    std::string url = nginx.HttpsUrl("zipsync/B/manifest.iniz");

    ToolResult untrusted = RunZipsync({"update", "--target", url, install});
    EXPECT_EQ(untrusted.status, 1) << Dump(untrusted);
    EXPECT_TRUE(Contains(untrusted.err, "ERROR: ")) << Dump(untrusted);

    ToolResult trusted = RunZipsync({"update", "--bitwise", "--target", url, install},
                                    {"QMH_EXTRA_CA_FILE=" + nginx.CaFile()});
    ASSERT_EQ(trusted.status, 0) << Dump(trusted);
    ToolResult verified = RunZipsync({"verify", install, p.ManifestOf("B")});
    EXPECT_EQ(verified.status, 0) << Dump(verified);
    for (const std::string& rel : p.archivesB)
        EXPECT_TRUE(SameBytes(install + "/" + rel, p.Tree("B") + "/" + rel)) << rel;
}

TEST(Update, LocalTargetWithAMirrorDryRunAndMissingProviders) {
    const Published& p = GetPublished();
    NginxServer nginx(p.server);
    TempDir dir;
    std::string install = InstallationOfA(p, dir);
    fs::copy_file(p.ManifestOf("B"), dir / "b.iniz");
    std::map<std::string, std::string> before = SnapshotFiles(install);

    // Without a mirror, B's new files are available nowhere.
    ToolResult nowhere = RunZipsync({"update", "--target", dir / "b.iniz", install});
    EXPECT_EQ(nowhere.status, 1) << Dump(nowhere);
    EXPECT_TRUE(Contains(nowhere.err, "Warning: No provider for base/new/dlc2.pk4||dlc/d3.tga"))
        << Dump(nowhere);
    EXPECT_TRUE(Contains(nowhere.err, "files of the target are provided nowhere")) << Dump(nowhere);
    EXPECT_GT(Figure(nowhere.out, "missing"), 0u);
    EXPECT_TRUE(SameFiles(SnapshotFiles(install), before));

    std::string provide = Url(nginx, "B") + "=" + nginx.HttpUrl("zipsync/B");
    ToolResult dry = RunZipsync({"update", "-n", "--target", dir / "b.iniz", "--provide", provide, install});
    EXPECT_EQ(dry.status, 0) << Dump(dry);
    EXPECT_EQ(Figure(dry.out, "missing"), 0u);
    EXPECT_GT(Figure(dry.out, "download"), 0u);
    EXPECT_TRUE(SameFiles(SnapshotFiles(install), before));

    ToolResult done = RunZipsync({"update", "--target", dir / "b.iniz", "--provide", provide, install});
    ASSERT_EQ(done.status, 0) << Dump(done);
    EXPECT_EQ(RunZipsync({"verify", install, dir / "b.iniz"}).status, 0);
}

TEST(Update, LocalDirectoryAsProviderAndFreshInstall) {
    const Published& p = GetPublished();
    TempDir dir;
    // A fresh installation (the directory does not exist yet) filled from B's tree on disk.
    std::string install = dir / "new/game";
    std::vector<std::string> args = {"update",    "--bitwise",
                                     "--target",  p.ManifestOf("B"),
                                     "--provide", p.ManifestOf("B") + "=" + p.Tree("B"),
                                     install};
    // While another update (here this test) holds the directory, a second one ends at once.
    fs::create_directories(install);
    {
        ZipSync::DirectoryLock held(install);
        ToolResult locked = RunZipsync(args);
        EXPECT_EQ(locked.status, 1) << Dump(locked);
        EXPECT_TRUE(Contains(locked.err, "ERROR: Another installation or update is running in " + install +
                                             "; try again once it has finished\n"))
            << Dump(locked);
        EXPECT_EQ(SnapshotFiles(install), (std::map<std::string, std::string>{{".zipsync/lock", ""}}));
    }
    ToolResult result = RunZipsync(args);
    ASSERT_EQ(result.status, 0) << Dump(result);
    for (const std::string& rel : p.archivesB)
        EXPECT_TRUE(SameBytes(install + "/" + rel, p.Tree("B") + "/" + rel)) << rel;
    // The provider's tree is read, never changed.
    EXPECT_EQ(RunZipsync({"verify", p.Tree("B"), p.ManifestOf("B")}).status, 0);
}

TEST(Update, FailedDownloadLeavesTheInstallationAsItWasAndResumes) {
    const Published& p = GetPublished();
    TempDir dir;
    // A server tree of B that lacks the archive fetched last.
    std::string www = dir / "www";
    fs::create_directories(www + "/zipsync");
    CopyDirectory(p.Tree("B"), www + "/zipsync/B");
    fs::rename(www + "/zipsync/B/base/pak001.pk4", dir / "pak001.pk4");
    NginxServer nginx(www);
    std::string install = InstallationOfA(p, dir);
    std::map<std::string, std::string> before = SnapshotFiles(install);

    ToolResult result = RunZipsync({"update", "--target", Url(nginx, "B"), install});
    EXPECT_EQ(result.status, 1) << Dump(result);
    EXPECT_TRUE(Contains(result.err, "ERROR: ")) << Dump(result);
    EXPECT_TRUE(Contains(result.out, "Update failed; cleaning temporary files")) << Dump(result);
    EXPECT_TRUE(SameFiles(OutsideJournal(SnapshotFiles(install)), before));

    // With the archive back, the next run takes what arrived from the journal, and removes it.
    fs::rename(dir / "pak001.pk4", www + "/zipsync/B/base/pak001.pk4");
    result = RunZipsync({"update", "--target", Url(nginx, "B"), install});
    EXPECT_EQ(result.status, 0) << Dump(result);
    EXPECT_TRUE(Contains(result.out, "Resumed bytes: ") && !Contains(result.out, "Resumed bytes: 0\n"))
        << Dump(result);
    EXPECT_EQ(RunZipsync({"verify", install, p.ManifestOf("B")}).status, 0);
    EXPECT_FALSE(fs::exists(install + "/.zipsync"));
}

// A version published differentially lists the files it shares with an earlier version as
// absent, and the earlier version's manifest provides them. An archive mixing shared and new
// files still comes out as the full publication, in its name order.
TEST(Update, DifferentialVersionComesOutAsTheFullPublication) {
    TempDir dir;
    std::string oldTree = dir / "old", newTree = dir / "new";
    WriteNormalZip(oldTree + "/harbor.pk4", {{"harbor02", TestText(2, 3000)}});
    std::vector<TestEntry> all;
    for (int i = 0; i < 4; i++) all.push_back({"harbor0" + std::to_string(i), TestText(i, 3000)});
    WriteNormalZip(newTree + "/harbor.pk4", all);
    ASSERT_EQ(RunZipsync({"analyze", oldTree, "-o", dir / "old.iniz"}).status, 0);
    ASSERT_EQ(RunZipsync({"analyze", newTree, "-o", dir / "full.iniz"}).status, 0);
    ZipSync::Manifest differential;
    differential.LoadFromIni(ZipSync::ReadIniFile(dir / "full.iniz"), newTree);
    for (ZipSync::FileMetainfo& file : differential)
        if (file.filename == "harbor02") file.byterange[0] = file.byterange[1] = 0;
    ZipSync::WriteIniFile(dir / "new.iniz", differential.SaveToIni());

    for (bool bitwise : {true, false}) {
        std::string install = dir / (bitwise ? "bitwise" : "contents");
        std::vector<std::string> args = {"update",
                                         "--target",
                                         dir / "new.iniz",
                                         "--provide",
                                         dir / "new.iniz=" + newTree,
                                         "--provide",
                                         dir / "old.iniz=" + oldTree,
                                         install};
        if (bitwise) args.push_back("--bitwise");
        ToolResult result = RunZipsync(args);
        ASSERT_EQ(result.status, 0) << Dump(result);
        EXPECT_TRUE(SameBytes(install + "/harbor.pk4", newTree + "/harbor.pk4")) << bitwise;
    }
}

// The update writes only archives it owns, inside ROOT: a dry run writes nothing, kept archives
// are read as they are (even outside the zip subset), linked archives are foreign, and target
// names that are no archives or lead through a link out of ROOT are refused before anything
// changes.
TEST(Update, WritesOnlyArchivesItOwnsInsideTheRoot) {
    TempDir dir;
    std::string src = dir / "src", install = dir / "game", outside = dir / "outside";
    WriteNormalZip(src + "/game.pk4", {{"a.txt", TestText(1, 2000)}, {"b.txt", TestText(2, 2000)}});
    ASSERT_EQ(RunZipsync({"analyze", src, "-o", dir / "m.iniz"}).status, 0);
    fs::create_directories(install);
    const char* python = R"({"entries": [{"name": "a.txt", "data": "not normal form"}]})";
    MakePyZip(install + "/py.zip", python);
    MakePyZip(install + "/user.zip", python);
    WriteTestFile(install + "/__download0__game.pk4", "left by a failed update");
    WriteNormalZip(outside + "/victim.pk4", {{"v.txt", "precious"}});
#ifndef _WIN32 // Wine shows a Unix link as what it points at and makes no Windows links
    ASSERT_EQ(symlink("../outside/victim.pk4", (install + "/victim.pk4").c_str()), 0);
    ASSERT_EQ(symlink("../outside", (install + "/link").c_str()), 0);
#endif
    std::map<std::string, std::string> before = SnapshotFiles(install),
                                       outsideBefore = SnapshotFiles(outside);
    std::vector<std::string> update = {
        "update", "--target", dir / "m.iniz", "--provide", dir / "m.iniz=" + src, "--keep", "user.zip"};

    std::vector<std::string> dry = update;
    dry.insert(dry.end(), {"-n", install});
    ToolResult planned = RunZipsync(dry);
    EXPECT_EQ(planned.status, 0) << Dump(planned);
    EXPECT_TRUE(SameFiles(SnapshotFiles(install), before));
    // Archives analysed as they are: each refusal is one warning naming the archive, no error.
    EXPECT_TRUE(Contains(planned.err,
                         " in archive py.zip: the archive cannot be analysed as it is; the update "
                         "normalizes it first, this dry run leaves it out\n"))
        << Dump(planned);
    EXPECT_FALSE(Contains(planned.err, "ERROR:")) << Dump(planned);

    // Target archives that are no archives of the update's, or lie outside ROOT.
    struct Refused {
        std::string archive, message;
    };
    std::vector<Refused> refused = {
        {"save.odt", "Target archive save.odt is not a .pk4 or .zip file; the update owns only those"},
        {"user.zip", "Target archive user.zip matches a --keep pattern; kept archives are never written"},
    };
#ifndef _WIN32
    refused.push_back(
        {"link/x.pk4", "Path " + install + "/link/x.pk4 leads outside of root directory " + install});
#endif
    for (const Refused& r : refused) {
        std::string tree = dir / ("t" + std::to_string(&r - refused.data()));
        WriteNormalZip(tree + "/" + r.archive, {{"a.txt", TestText(1, 2000)}});
        ASSERT_EQ(RunZipsync({"analyze", tree, r.archive, "-o", tree + ".iniz"}).status, 0);
        ToolResult result = RunZipsync({"update", "--target", tree + ".iniz", "--provide",
                                        tree + ".iniz=" + tree, "--keep", "user.zip", install});
        EXPECT_EQ(result.status, 1) << Dump(result);
        EXPECT_TRUE(Contains(result.err, "ERROR: " + r.message)) << Dump(result);
        EXPECT_TRUE(SameFiles(SnapshotFiles(install), before));
    }

    update.push_back(install);
    ToolResult done = RunZipsync(update);
    ASSERT_EQ(done.status, 0) << Dump(done);
    EXPECT_TRUE(Contains(done.err,
                         " in archive user.zip: the archive cannot be analysed as it is; it is left out "
                         "as a source\n"))
        << Dump(done);
    EXPECT_FALSE(Contains(done.err, "ERROR:")) << Dump(done);
    EXPECT_EQ(ReadTestFile(install + "/user.zip"), before["user.zip"]);
#ifndef _WIN32
    EXPECT_TRUE(fs::is_symlink(install + "/victim.pk4"));
#endif
    EXPECT_FALSE(fs::exists(install + "/py.zip"));
    EXPECT_FALSE(fs::exists(install + "/__download0__game.pk4"));
    EXPECT_TRUE(SameBytes(install + "/game.pk4", src + "/game.pk4"));
    EXPECT_TRUE(SameFiles(SnapshotFiles(outside), outsideBefore));
}

// Damaged archives of A: verify names each of them, the update repairs them (replacing the one B
// keeps, deleting the one B drops) and verify passes against B.
TEST(Update, RepairsDamagedArchives) {
    const Published& p = GetPublished();
    NginxServer nginx(p.server);
    TempDir dir;
    std::string install = InstallationOfA(p, dir);
    DamageArchive(install + "/base/pak000.pk4", Damage::FlippedDataByte);
    DamageArchive(install + "/base/old_dlc.pk4", Damage::Truncated);

    ToolResult verify = RunZipsync({"verify", install, p.ManifestOf("A")});
    EXPECT_EQ(verify.status, 1) << Dump(verify);
    EXPECT_TRUE(
        Contains(verify.out, "corrupt: base/pak000.pk4||sound/loop.ogg: compressed bytes differ (hash)\n"))
        << Dump(verify);
    EXPECT_TRUE(Contains(verify.out, "corrupt: base/old_dlc.pk4 (the whole archive, 3 files): "))
        << Dump(verify);

    ToolResult update = RunZipsync({"update", "--target", Url(nginx, "B"), install});
    ASSERT_EQ(update.status, 0) << Dump(update);
    for (const char* rel : {"base/old_dlc.pk4", "base/pak000.pk4"})
        EXPECT_TRUE(Contains(update.err, std::string("Warning: Archive ") + rel +
                                             " is damaged, left out of the analysis: "))
            << Dump(update);
    EXPECT_TRUE(Contains(update.out, "Replacing damaged zip " + install + "/base/pak000.pk4\n"))
        << Dump(update);
    EXPECT_TRUE(Contains(update.out, "Deleting damaged zip " + install + "/base/old_dlc.pk4\n"))
        << Dump(update);
    verify = RunZipsync({"verify", install, p.ManifestOf("B")});
    EXPECT_EQ(verify.status, 0) << Dump(verify);
    EXPECT_FALSE(fs::exists(install + "/base/old_dlc.pk4"));
}

// Archive data may come through redirects (here a 307 for every archive request), several
// requests at once under a rate limit for all of them; the console shows bytes, speed and time
// left. Manifests are not redirected, and a rate that is no number is a usage error.
TEST(Update, ArchivesThroughRedirectsWithTransfersAndRateLimit) {
    const Published& p = GetPublished();
    FaultServer server;
    CopyDirectory(p.server, server.Root());
    TempDir dir;
    std::string install = dir / "game";
    CopyDirectory(p.rawA, install);
    std::string mirror = server.Url("redirect307", "zipsync/B");
    ToolResult result =
        RunZipsync({"update", "--target", p.ManifestOf("B"), "--provide", p.ManifestOf("B") + "=" + mirror,
                    "--keep", "base/zz_usermod.pk4", "--transfers", "3", "--limit-rate", "4M", install});
    ASSERT_EQ(result.status, 0) << Dump(result);
    EXPECT_TRUE(HoldsVersionB(install, false)) << Dump(result);
    int redirected = 0, followed = 0;
    for (const FaultServer::Request& request : server.Requests()) {
        redirected += request.path.rfind("/redirect307/zipsync/B/", 0) == 0;
        followed += request.path.rfind("/ok/zipsync/B/", 0) == 0;
    }
    EXPECT_GT(redirected, 0);
    EXPECT_EQ(followed, redirected);
    EXPECT_TRUE(Contains(result.err, "Downloading finished (80.6 kB of 80.6 kB")) << Dump(result);

    ToolResult wrong = RunZipsync({"update", "--target", p.ManifestOf("B"), "--limit-rate", "fast", install});
    EXPECT_EQ(wrong.status, 2) << Dump(wrong);
    EXPECT_TRUE(Contains(wrong.err, "--limit-rate")) << Dump(wrong);
}

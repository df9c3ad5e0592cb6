// Whole updates from version A to version B of the test game over nginx on loopback: plan,
// download, verification, repacking and cleanup together, their traffic, and their failures.
#include "CatchError.h"
#include "FaultServer.h"
#include "GameFixture.h"
#include "NginxServer.h"
#include "RecordingLogger.h"
#include "TempDir.h"
#include "TestDigest.h"
#include "base/Path.h"
#include "base/Utils.h"
#include "net/Downloader.h"
#include "update/DownloadJournal.h"
#include "update/TemporaryFiles.h"
#include "update/UpdateProcess.h"
#include "update/UpdateSequence.h"
#include "zip/ZipAnalysis.h"
#include "zip/ZipUtils.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

using namespace ZipSync;

namespace {

// Merged [from, to) byte ranges per request URI.
using RangeMap = std::map<std::string, std::vector<std::pair<uint64_t, uint64_t>>>;

void Merge(RangeMap& map) {
    for (auto& pair : map) {
        auto& ranges = pair.second;
        std::sort(ranges.begin(), ranges.end());
        std::vector<std::pair<uint64_t, uint64_t>> merged;
        for (const auto& r : ranges) {
            if (!merged.empty() && r.first <= merged.back().second)
                merged.back().second = std::max(merged.back().second, r.second);
            else
                merged.push_back(r);
        }
        ranges = merged;
    }
}

// What the server sent, from the "Range" headers of its access log ("bytes=0-99,200-299").
RangeMap LoggedRanges(const std::vector<NginxServer::LogEntry>& log) {
    RangeMap map;
    for (const NginxServer::LogEntry& entry : log) {
        EXPECT_EQ(entry.range.rfind("bytes=", 0), 0u) << entry.uri << " " << entry.range;
        std::string list = entry.range.substr(6);
        size_t pos = 0;
        while (pos < list.size()) {
            size_t comma = std::min(list.find(',', pos), list.size());
            std::string one = list.substr(pos, comma - pos);
            size_t dash = one.find('-');
            map[entry.uri].emplace_back(std::stoull(one.substr(0, dash)),
                                        std::stoull(one.substr(dash + 1)) + 1);
            pos = comma + 1;
        }
    }
    Merge(map);
    return map;
}

// The least an update from A can fetch from the mirror under uriRoot: the byte ranges of B's
// entries whose contents (bitwise: compressed bytes) A has nowhere.
RangeMap IdealRanges(const std::string& uriRoot, bool bitwise, const std::set<std::string>& skipped = {}) {
    const GameVersions& game = GetGameVersions();
    std::set<HashDigest> have;
    for (const FileMetainfo& f : game.manifestA) have.insert(bitwise ? f.compressedHash : f.contentsHash);
    RangeMap map;
    for (const FileMetainfo& f : game.manifestB) {
        if (have.count(bitwise ? f.compressedHash : f.contentsHash) || skipped.count(f.filename)) continue;
        map[uriRoot + f.zipPath.rel].emplace_back(f.byterange[0], f.byterange[1]);
    }
    Merge(map);
    return map;
}

std::string ReadEntry(const std::string& zipPath, const std::string& name) {
    UnzFileHolder zf(zipPath);
    CheckMinizip(unzLocateFile(zf, name.c_str(), 1));
    zf.OpenCurrentFile(false);
    std::string contents;
    char buffer[65536];
    int got;
    while ((got = unzReadCurrentFile(zf, buffer, sizeof(buffer))) > 0) contents.append(buffer, got);
    CheckMinizip(got);
    zf.CloseCurrentFile();
    return contents;
}

// Rewrites the zip with the entry name holding contents, deflated at level; the other entries
// and all header values stay.
void ReplaceEntry(const std::string& path, const std::string& name, const std::string& contents, int level) {
    std::string temp = path + ".new";
    {
        UnzFileHolder in(path);
        ZipFileHolder out(temp);
        for (int status = unzGoToFirstFile(in); status != UNZ_END_OF_LIST_OF_FILE;
             status = unzGoToNextFile(in)) {
            CheckMinizip(status);
            unz_file_info64 info;
            std::string filename;
            GetCurrentFileInfo(in, &info, &filename);
            if (filename != name) {
                MinizipCopyFile(in, out, filename.c_str(), info.compression_method, info.flag,
                                info.internal_fa, info.external_fa, info.dosDate, true, info.crc,
                                info.uncompressed_size);
                continue;
            }
            zip_fileinfo zi = {};
            zi.dosDate = info.dosDate;
            zi.internal_fa = info.internal_fa;
            zi.external_fa = info.external_fa;
            out.OpenNewFile(filename.c_str(), zi, 8, level, false);
            out.WriteInFile(contents.data(), contents.size());
            out.CloseFile();
        }
        out.Close();
    }
    RenameFile(temp, path);
}

const FileMetainfo& EntryOfB(const std::string& filename) {
    for (const FileMetainfo& f : GetGameVersions().manifestB)
        if (f.filename == filename) return f;
    throw std::runtime_error("no entry " + filename);
}

struct Work {
    TempDir dir{"qmhupdate"};
    std::string root = dir.path() + "/game";
    Work() { CopyDirectory(GetGameVersions().dirA, root); }
};

} // namespace

class UpdateEndToEnd : public ::testing::Test {
protected:
    // The mirrors, each a copy of B under the server's root: "B" itself, "Bbad" with one entry's
    // bytes damaged, "Blie" whose manifest claims B's contents for other bytes, "Bre" with one
    // entry compressed differently (and an honest manifest).
    static void SetUpTestSuite() {
        const GameVersions& game = GetGameVersions();
        docRoot = new TempDir("qmhmirror");
        for (const char* name : {"B", "Bbad", "Blie", "Bre"}) CopyDirectory(game.dirB, *docRoot / name);

        const FileMetainfo& t20 = EntryOfB("textures/t20.tga");
        std::string bad = ReadTestFile(*docRoot / "Bbad/base/pak000.pk4");
        size_t at = t20.byterange[0] + 30 + t20.filename.size() + t20.compressedSize / 2;
        bad[at] = char(bad[at] ^ 0x40);
        WriteTestFile(*docRoot / "Bbad/base/pak000.pk4", bad);

        std::string ai = ReadEntry(game.dirB + "/base/pak001.pk4", "scripts/ai.script");
        ReplaceEntry(*docRoot / "Blie/base/pak001.pk4", "scripts/ai.script", std::string(ai.size(), 'x'), 6);
        ReplaceEntry(*docRoot / "Bre/base/pak001.pk4", "scripts/ai.script", ai, 1);
        std::vector<std::string> zips;
        for (const std::string& rel : game.archivesB) zips.push_back(*docRoot / ("Blie/" + rel));
        lyingManifest = new Manifest(AnalyzeZips(*docRoot / "Blie", zips, false, 1));
        const FileMetainfo& trueAi = EntryOfB("scripts/ai.script");
        for (FileMetainfo& f : *lyingManifest)
            if (f.filename == trueAi.filename) {
                f.contentsHash = trueAi.contentsHash;
                f.crc32 = trueAi.crc32;
                f.contentsSize = trueAi.contentsSize;
            }
        zips.clear();
        for (const std::string& rel : game.archivesB) zips.push_back(*docRoot / ("Bre/" + rel));
        recompressedManifest = new Manifest(AnalyzeZips(*docRoot / "Bre", zips, false, 1));

        server = new NginxServer(docRoot->path());
    }
    static void TearDownTestSuite() {
        delete server;
        delete lyingManifest;
        delete recompressedManifest;
        delete docRoot;
    }
    void SetUp() override { server->ClearAccessLog(); }

    UpdateRequest Request(const std::string& root, UpdateType type, const std::string& mirror = "B",
                          const Manifest* mirrorManifest = nullptr) const {
        const GameVersions& game = GetGameVersions();
        UpdateRequest request;
        request.rootDir = root;
        request.target = &game.manifestB;
        request.mirror = mirrorManifest ? mirrorManifest : &game.manifestB;
        request.mirrorUrl = server->HttpUrl(mirror + "/");
        request.product = game.ProductArchives();
        request.type = type;
        return request;
    }

    // Every request the server logged, once as many as expected are there.
    static std::vector<NginxServer::LogEntry> Log(const RangeMap& expected) {
        return server->AccessLog(expected.size());
    }

    static TempDir* docRoot;
    static NginxServer* server;
    static Manifest* lyingManifest;
    static Manifest* recompressedManifest;
};

TempDir* UpdateEndToEnd::docRoot = nullptr;
NginxServer* UpdateEndToEnd::server = nullptr;
Manifest* UpdateEndToEnd::lyingManifest = nullptr;
Manifest* UpdateEndToEnd::recompressedManifest = nullptr;

class UpdateModes : public UpdateEndToEnd, public ::testing::WithParamInterface<UpdateType> {};

TEST_P(UpdateModes, UpdatesAToBFetchingOnlyWhatAHasNot) {
    const GameVersions& game = GetGameVersions();
    bool bitwise = GetParam() == UpdateType::BitwiseExact;
    Work work;
    UpdateRequest request = Request(work.root, GetParam());
    request.afterDownload = [&](UpdateProcess& process) {
        // The downloaded entries of each journal zip follow one another from offset 0.
        std::map<std::string, std::vector<std::pair<uint32_t, uint32_t>>> pieces;
        for (const FileMetainfo& f : process.GetProvidedManifest())
            if (f.location == FileLocation::Local && GetFilename(f.zipPath.rel).rfind("__download", 0) == 0)
                pieces[f.zipPath.rel].emplace_back(f.byterange[0], f.byterange[1]);
        EXPECT_EQ(pieces.size(), IdealRanges("/B/", bitwise).size());
        for (auto& zip : pieces) {
            EXPECT_EQ(zip.first.rfind(".zipsync/download/", 0), 0u) << zip.first;
            EXPECT_FALSE(process.GetManagedZips().count(work.root + "/" + zip.first)) << zip.first;
            std::sort(zip.second.begin(), zip.second.end());
            uint32_t next = 0;
            for (const auto& piece : zip.second) {
                EXPECT_EQ(piece.first, next) << zip.first;
                next = piece.second;
            }
            EXPECT_EQ(
                next, SizeOfFile(work.root + "/" + zip.first) - 22 - 46 * zip.second.size() -
                          [&] {
                              size_t names = 0;
                              for (const FileMetainfo& f : process.GetProvidedManifest())
                                  if (f.zipPath.rel == zip.first) names += f.filename.size();
                              return names;
                          }())
                << "central directory appended right after the entries of " << zip.first;
        }
        for (const FileMatch& m : process.GetMatches()) EXPECT_NE(m.provided->location, FileLocation::Remote);
    };
    request.afterRepack = [&](UpdateProcess&) {
        // The one file of the dropped archive that exists nowhere else waits in a reduced zip.
        std::string reduced = work.root + "/base/__reduced__old_dlc.pk4";
        ASSERT_TRUE(IfFileExists(reduced));
        Manifest kept = AnalyzeZips(work.root, {reduced}, false, 1);
        ASSERT_EQ(kept.size(), 1);
        EXPECT_EQ(kept[0].filename, "dlc/d1.tga");
        EXPECT_FALSE(IfFileExists(work.root + "/base/old_dlc.pk4"));
    };
    RecordingLogger log;
    UpdateResult result = RunUpdate(request);
    ASSERT_TRUE(result.planComplete);
    EXPECT_TRUE(HoldsVersionB(work.root, bitwise));

    RangeMap ideal = IdealRanges("/B/", bitwise);
    EXPECT_EQ(LoggedRanges(Log(ideal)), ideal);
    uint64_t idealBytes = 0;
    for (const auto& uri : ideal)
        for (const auto& r : uri.second) idealBytes += r.second - r.first;
    EXPECT_GE(result.bytesDownloaded, idealBytes);
    EXPECT_LE(result.bytesDownloaded, idealBytes + 4096) << "beyond the multipart framing";
    // pak_same.pk4 is the same in both versions: renamed there and back, never rewritten.
    EXPECT_EQ(log.WithPrefix("Renaming "),
              std::vector<std::string>{"Renaming " + work.root + "/base/pak_same.pk4 to " + work.root +
                                       "/base/__repacked__pak_same.pk4 without repacking..."});

    // A second update finds everything in place: no traffic, no change.
    std::map<std::string, std::string> before = SnapshotFiles(work.root);
    server->ClearAccessLog();
    request.afterDownload = request.afterRepack = nullptr;
    result = RunUpdate(request);
    EXPECT_EQ(result.bytesDownloaded, 0u);
    EXPECT_EQ(result.stats.addedSize, 0u);
    EXPECT_TRUE(SameFiles(SnapshotFiles(work.root), before));
    EXPECT_TRUE(server->AccessLog().empty());
    (void)game;
}

INSTANTIATE_TEST_SUITE_P(Modes, UpdateModes,
                         ::testing::Values(UpdateType::ContentsOnly, UpdateType::BitwiseExact),
                         [](const ::testing::TestParamInfo<UpdateType>& info) {
                             return info.param == UpdateType::BitwiseExact ? "BitwiseExact" : "ContentsOnly";
                         });

TEST_F(UpdateEndToEnd, EntryCorruptedOnServerFailsAndLeavesA) {
    Work work;
    CaughtError error = CatchError([&] { RunUpdate(Request(work.root, UpdateType::ContentsOnly, "Bbad")); });
    std::string prefix =
        "Hash of \"" + server->HttpUrl("Bbad/base/pak000.pk4") + "||textures/t20.tga\" after download is ";
    EXPECT_EQ(error.message.substr(0, prefix.size()), prefix) << error.message;
    EXPECT_EQ(error.message.substr(error.message.size() - 64),
              EntryOfB("textures/t20.tga").compressedHash.Hex());
    // The failed update has cleaned up after itself.
    EXPECT_TRUE(SameFiles(OutsideJournal(SnapshotFiles(work.root)), SnapshotFiles(GetGameVersions().dirA)));
    // The download went on past the damaged entry: every other one is kept for the next run, the
    // damaged one is not.
    std::set<HashDigest> inA;
    for (const FileMetainfo& f : GetGameVersions().manifestA) inA.insert(f.contentsHash);
    std::set<std::string> wanted, kept;
    for (const FileMetainfo& f : GetGameVersions().manifestB)
        if (!inA.count(f.contentsHash) && f.filename != "textures/t20.tga") wanted.insert(f.filename);
    for (const FileMetainfo& f : AnalyzeDownloadJournal(work.root)) kept.insert(f.filename);
    EXPECT_EQ(kept, wanted);
}

// A mirror's manifest whose byte range of an entry is off by one byte: what arrives is no local
// header with its data, which the download says before anything of it is written.
TEST_F(UpdateEndToEnd, RangeThatIsNoEntryFails) {
    Work work;
    Manifest shifted = GetGameVersions().manifestB;
    for (FileMetainfo& f : shifted)
        if (f.filename == "textures/t20.tga") f.byterange[0]++, f.byterange[1]++;
    CaughtError error =
        CatchError([&] { RunUpdate(Request(work.root, UpdateType::ContentsOnly, "B", &shifted)); });
    const FileMetainfo& t20 = EntryOfB("textures/t20.tga");
    EXPECT_EQ(error.message,
              "Entry \"" + server->HttpUrl("B/base/pak000.pk4") +
                  "||textures/t20.tga\" after download does not start with a local header for its " +
                  std::to_string(t20.byterange[1] - t20.byterange[0]) + " bytes");
    EXPECT_TRUE(SameFiles(OutsideJournal(SnapshotFiles(work.root)), SnapshotFiles(GetGameVersions().dirA)));
}

TEST_F(UpdateEndToEnd, ServerStoppedMidwayKeepsWhatArrivedForTheNextRun) {
    Work work;
    auto stopping = std::make_unique<NginxServer>(docRoot->path());
    UpdateRequest request = Request(work.root, UpdateType::BitwiseExact);
    request.mirrorUrl = stopping->HttpUrl("B/");
    std::string secondUrl = stopping->HttpUrl("B/base/pak000.pk4");
    // One transfer at a time: the first zip's entries have arrived when the transfer for the
    // second one begins.
    request.configureDownloader = [](Downloader& downloader) { downloader.SetMaxTransfers(1); };
    request.progress = [&](double, const char* text) {
        if (stopping && std::string(text) == "Downloading \"" + secondUrl + "\"...") stopping.reset();
        return 0;
    };
    CaughtError error = CatchError([&] { RunUpdate(request); });
    EXPECT_TRUE(error.thrown);
    EXPECT_EQ(stopping, nullptr);
    EXPECT_NE(error.message.find(secondUrl), std::string::npos) << error.message;
    std::string kept = work.root + "/.zipsync/download/base/new/__download0__dlc2.pk4";
    // Salvaged by the failed update's clean-up: a zip of the entries that arrived.
    EXPECT_TRUE(IsCompleteZip(kept));
    EXPECT_TRUE(SameFiles(OutsideJournal(SnapshotFiles(work.root)), SnapshotFiles(GetGameVersions().dirA)));
    EXPECT_FALSE(std::filesystem::exists(work.root + "/base/new"));

    // The next run fetches only what had not arrived, and removes the journal once done.
    server->ClearAccessLog();
    RecordingLogger log;
    EXPECT_TRUE(RunUpdate(Request(work.root, UpdateType::BitwiseExact)).planComplete);
    EXPECT_TRUE(HoldsVersionB(work.root, true));
    RangeMap ideal = IdealRanges("/B/", true);
    uint64_t resumed = 0;
    for (const auto& range : ideal["/B/base/new/dlc2.pk4"]) resumed += range.second - range.first;
    ideal.erase("/B/base/new/dlc2.pk4");
    EXPECT_EQ(LoggedRanges(Log(ideal)), ideal);
    EXPECT_EQ(log.WithPrefix("Resumed bytes: "),
              std::vector<std::string>{"Resumed bytes: " + std::to_string(resumed)});
    EXPECT_FALSE(std::filesystem::exists(work.root + "/.zipsync"));
}

TEST_F(UpdateEndToEnd, MirrorManifestThatLiesAboutContentsIsCaught) {
    Work work;
    CaughtError error =
        CatchError([&] { RunUpdate(Request(work.root, UpdateType::ContentsOnly, "Blie", lyingManifest)); });
    std::string served(EntryOfB("scripts/ai.script").contentsSize, 'x');
    EXPECT_EQ(error.message, "Hash of \"" + server->HttpUrl("Blie/base/pak001.pk4") +
                                 "||scripts/ai.script\" after download is " + Digest(served).Hex() +
                                 " instead of " + EntryOfB("scripts/ai.script").contentsHash.Hex());
    EXPECT_TRUE(SameFiles(OutsideJournal(SnapshotFiles(work.root)), SnapshotFiles(GetGameVersions().dirA)));
}

TEST_F(UpdateEndToEnd, MirrorWithOtherCompressionServesContents) {
    Work work;
    // Bitwise, the differently compressed entry cannot serve: the plan stays incomplete.
    EXPECT_FALSE(
        RunUpdate(Request(work.root, UpdateType::BitwiseExact, "Bre", recompressedManifest)).planComplete);
    UpdateResult result =
        RunUpdate(Request(work.root, UpdateType::ContentsOnly, "Bre", recompressedManifest));
    EXPECT_TRUE(result.planComplete);
    EXPECT_TRUE(HoldsVersionB(work.root, false));
}

TEST_F(UpdateEndToEnd, EntryServingTwoTargetsIsFetchedOnce) {
    Work work;
    Manifest mirror = GetGameVersions().manifestB.Select(
        [](const FileMetainfo& f) { return f.filename != "textures/twin_b.tga"; });
    UpdateRequest request = Request(work.root, UpdateType::BitwiseExact, "B", &mirror);
    int twinA = -1, twinB = -1;
    const Manifest& target = GetGameVersions().manifestB;
    for (int i = 0; i < target.size(); i++) {
        if (target[i].filename == "textures/twin_a.tga") twinA = i;
        if (target[i].filename == "textures/twin_b.tga") twinB = i;
    }
    request.afterDownload = [&](UpdateProcess& process) {
        const FileMatch &a = process.GetMatches()[twinA], &b = process.GetMatches()[twinB];
        EXPECT_EQ(a.provided, b.provided);
        EXPECT_EQ(a.provided->location, FileLocation::Local);
    };
    EXPECT_TRUE(RunUpdate(request).planComplete);
    EXPECT_TRUE(HoldsVersionB(work.root, true));
    RangeMap ideal = IdealRanges("/B/", true, {"textures/twin_b.tga"});
    EXPECT_EQ(LoggedRanges(Log(ideal)), ideal);
}

// Cancel during the download and START again, as the installer's pages allow: the same plan
// takes what the first attempt received from the journal and fetches only the rest.
TEST_F(UpdateEndToEnd, DownloadCancelledAndStartedAgainFetchesTheRestOnly) {
    const GameVersions& game = GetGameVersions();
    Work work;
    // The installer's way: one plan, its download cancelled and cleaned up after, then started
    // again from the same plan.
    UpdateSources sources;
    sources.rootDir = work.root;
    sources.target = game.manifestB;
    sources.local = ScanInstallation(work.root);
    sources.remote = game.manifestB;
    sources.remote.Rebase(server->HttpUrl("B/"));
    for (const std::string& rel : game.ProductArchives())
        if (IfFileExists(work.root + "/" + rel)) sources.owned.push_back(work.root + "/" + rel);
    UpdateSequence update(std::move(sources));
    ASSERT_TRUE(update.Plan(UpdateType::BitwiseExact));

    std::string second = "Downloading \"" + server->HttpUrl("B/base/pak000.pk4") + "\"...";
    Downloader cancelled;
    // One transfer at a time: the first zip's entries are all in when the second zip's begin.
    cancelled.SetMaxTransfers(1);
    cancelled.SetProgressCallback([&](double, const char* text) { return second == text ? 1 : 0; });
    ExpectError([&] { update.Download(cancelled); }, lcUserInterrupt, "Interrupted by user");
    update.CleanUpAfterFailure();
    server->ClearAccessLog();

    Downloader again;
    update.Download(again);
    update.Repack();
    update.Finish();
    EXPECT_TRUE(HoldsVersionB(work.root, true));
    RangeMap ideal = IdealRanges("/B/", true);
    ideal.erase("/B/base/new/dlc2.pk4");
    EXPECT_EQ(LoggedRanges(Log(ideal)), ideal);
}

// A journal left by an interrupted run: one entry intact, one corrupted, one torn off, and a zip
// of entries the update has anyway. Only the intact entry is used; the others are fetched again,
// into a journal zip of another name, and the unneeded zip goes.
TEST_F(UpdateEndToEnd, KeptEntriesAreCheckedBeforeUse) {
    const GameVersions& game = GetGameVersions();
    Work work;
    std::set<HashDigest> inA;
    for (const FileMetainfo& f : game.manifestA) inA.insert(f.compressedHash);
    std::vector<const FileMetainfo*> needed;
    for (const FileMetainfo& f : game.manifestB)
        if (f.zipPath.rel == "base/pak000.pk4" && !inA.count(f.compressedHash)) needed.push_back(&f);
    ASSERT_GE(needed.size(), 3u);
    std::string archive = ReadTestFile(game.dirB + "/base/pak000.pk4");
    auto bytesOf = [&](const FileMetainfo* f) {
        return archive.substr(f->byterange[0], f->byterange[1] - f->byterange[0]);
    };
    std::string corrupted = bytesOf(needed[1]);
    corrupted[corrupted.size() - 2] ^= 0x55;
    std::string torn = bytesOf(needed[2]);
    std::string kept = work.root + "/.zipsync/download/base/__download0__pak000.pk4";
    std::filesystem::create_directories(GetDirPath(kept));
    WriteTestFile(kept, bytesOf(needed[0]) + corrupted + torn.substr(0, torn.size() / 2));
    // A kept zip whose entries the update does not need (A has them in place) is deleted.
    std::string unneeded = work.root + "/.zipsync/download/base/__download0__pak_same.pk4";
    CopyDirectory(game.dirA + "/base/pak_same.pk4", unneeded);
    // A link there is no kept zip: nothing writes through it. (Wine makes no links.)
    std::string outside = work.dir.path() + "/outside.pk4";
    WriteTestFile(outside, bytesOf(needed[0]) + "torn");
#ifndef _WIN32
    std::filesystem::create_symlink(outside, work.root + "/.zipsync/download/base/__download1__pak001.zip");
#endif

    UpdateRequest request = Request(work.root, UpdateType::BitwiseExact);
    request.afterDownload = [&](UpdateProcess& process) {
        EXPECT_FALSE(IfFileExists(unneeded));
        for (const FileMatch& m : process.GetMatches()) {
            const std::string& zip = m.provided->zipPath.rel;
            if (m.target->filename == needed[0]->filename) {
                EXPECT_EQ(zip, ".zipsync/download/base/__download0__pak000.pk4");
            }
            if (m.target->filename == needed[1]->filename || m.target->filename == needed[2]->filename) {
                EXPECT_EQ(zip, ".zipsync/download/base/__download1__pak000.pk4");
            }
        }
    };
    EXPECT_TRUE(RunUpdate(request).planComplete);
    EXPECT_TRUE(HoldsVersionB(work.root, true));
    RangeMap ideal = IdealRanges("/B/", true, {needed[0]->filename});
    EXPECT_EQ(LoggedRanges(Log(ideal)), ideal);
    EXPECT_EQ(ReadTestFile(outside), bytesOf(needed[0]) + "torn");
}

TEST_F(UpdateEndToEnd, PlanWithoutRemoteProvidersFetchesNothing) {
    const GameVersions& game = GetGameVersions();
    Work work;
    Manifest target =
        game.manifestA.Select([](const FileMetainfo& f) { return f.zipPath.rel != "base/zz_usermod.pk4"; });
    UpdateRequest request = Request(work.root, UpdateType::BitwiseExact);
    request.target = &target;
    std::vector<std::string> texts;
    request.progress = [&](double, const char* text) {
        texts.push_back(text);
        return 0;
    };
    RecordingLogger log;
    UpdateResult result = RunUpdate(request);
    EXPECT_TRUE(result.planComplete);
    EXPECT_EQ(result.bytesDownloaded, 0u);
    std::vector<std::string> downloadTexts(texts.begin(), texts.begin() + 4);
    EXPECT_EQ(downloadTexts, (std::vector<std::string>{"Downloading started", "Downloading finished",
                                                       "Verifying started", "Verifying finished"}));
    EXPECT_EQ(log.WithPrefix("Renaming ").size(), 4u);
    EXPECT_TRUE(SameFiles(SnapshotFiles(work.root), SnapshotFiles(game.dirA)));
}

TEST_F(UpdateEndToEnd, NewZipOnlyLeavesTheOthersAsTheyWere) {
    const GameVersions& game = GetGameVersions();
    Work work;
    Manifest target =
        game.manifestA.Select([](const FileMetainfo& f) { return f.zipPath.rel != "base/zz_usermod.pk4"; });
    target.Merge(
        game.manifestB.Select([](const FileMetainfo& f) { return f.zipPath.rel == "base/new/dlc2.pk4"; }));
    UpdateRequest request = Request(work.root, UpdateType::BitwiseExact);
    request.target = &target;
    RecordingLogger log;
    EXPECT_TRUE(RunUpdate(request).planComplete);
    std::map<std::string, std::string> expected = SnapshotFiles(game.dirA);
    expected["base/new/dlc2.pk4"] = ReadTestFile(game.dirB + "/base/new/dlc2.pk4");
    EXPECT_TRUE(SameFiles(SnapshotFiles(work.root), expected));
    // old_dlc.pk4 also provides two files of the new zip, so it is rewritten (to the same bytes).
    EXPECT_EQ(log.WithPrefix("Renaming ").size(), 3u);
    EXPECT_EQ(log.WithPrefix("Repacking ").size(), 2u);
    RangeMap ideal = {{"/B/base/new/dlc2.pk4",
                       {{EntryOfB("dlc/d4.tga").byterange[0], EntryOfB("dlc/d4.tga").byterange[1]}}}};
    EXPECT_EQ(LoggedRanges(Log(ideal)), ideal);
}

// With silent errors the downloader returns without the entries of a URL that failed (here the
// server starts the part of the first range late, and its single range again when asked once
// more); the temporary zip would be finished without them, so the download reports it instead.
TEST(UpdateDownload, EntryMissingFromASilentDownloadIsReported) {
    const GameVersions& game = GetGameVersions();
    FaultServer server;
    server.AddFile("base/pak000.pk4", ReadTestFile(game.dirB + "/base/pak000.pk4"));
    std::string mirror = server.Url("late", "");
    mirror.pop_back();
    Manifest remote =
        game.manifestB.Select([](const FileMetainfo& f) { return f.zipPath.rel == "base/pak000.pk4"; });
    remote.Rebase(mirror);
    // Two entries that do not touch, so that they travel as two ranges of one request.
    Manifest target = remote.Select([](const FileMetainfo& f) {
        return f.filename == "textures/t12.tga" || f.filename == "textures/t20.tga";
    });
    ASSERT_EQ(target.size(), 2);
    TempDir dir;
    UpdateProcess process;
    process.Init(target, remote, dir.path());
    ASSERT_TRUE(process.DevelopPlan(UpdateType::BitwiseExact));
    Downloader downloader;
    downloader.SetSilentErrors(true);
    ExpectError([&] { process.DownloadRemoteFiles(downloader); }, lcGeneral,
                "Download of " + mirror + "/base/pak000.pk4 is incomplete: 0 of 2 entries arrived");
    EXPECT_EQ(server.RangeHeaders().size(), 2u);
}

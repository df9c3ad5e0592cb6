// Updates killed at many points: after CleanupTemporaryFiles no broken archive is left, the
// user's files are untouched, and a fresh update reaches the target exactly, fetching again
// nothing that had arrived before the kill except the request then in flight.
//
// The update runs in a forked child that is killed with SIGKILL either at its Nth progress
// report (N swept over the whole download, verification and repack) or, during the download or
// the repack, at the first write that takes a file beyond a size limit (RLIMIT_FSIZE), which
// lands in the middle of writing a downloaded entry or an archive.
#include "GameFixture.h"
#include "NginxServer.h"
#include "RecordingLogger.h"
#include "TempDir.h"
#include "ZipFixture.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "net/Downloader.h"
#include "update/TemporaryFiles.h"
#include "zip/ZipUtils.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <signal.h>
#include <string.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace ZipSync;

namespace {

void KillSelf(int) {
    kill(getpid(), SIGKILL);
}

struct KillPoint {
    // Killed at the report with this number (from 1), when nonzero.
    int report = 0;
    // Killed once a write during the phase that starts with this report text would take a file
    // beyond fileLimit bytes, when fileLimit is nonzero.
    const char* phase = "Repacking started";
    rlim_t fileLimit = 0;
};

// Body bytes sent per request URI.
using Traffic = std::map<std::string, uint64_t>;

Traffic TrafficOf(const std::vector<NginxServer::LogEntry>& log) {
    Traffic traffic;
    for (const NginxServer::LogEntry& entry : log) traffic[entry.uri] += entry.bodyBytesSent;
    return traffic;
}

class CrashSafety : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        docRoot = new TempDir("qmhcrashmirror");
        CopyDirectory(GetGameVersions().dirB, *docRoot / "B");
        server = new NginxServer(docRoot->path());
        // What one whole update from A fetches in either mode.
        for (UpdateType type : {UpdateType::ContentsOnly, UpdateType::BitwiseExact}) {
            TempDir dir("qmhcrashref");
            std::string root = dir / "game";
            CopyDirectory(GetGameVersions().dirA, root);
            server->ClearAccessLog();
            RunUpdate(Request(root, type));
            wholeUpdate[int(type)] = TrafficOf(server->AccessLog(3));
        }
    }
    static void TearDownTestSuite() {
        delete server;
        delete docRoot;
    }

    static UpdateRequest Request(const std::string& root, UpdateType type) {
        const GameVersions& game = GetGameVersions();
        UpdateRequest request;
        request.rootDir = root;
        request.target = &game.manifestB;
        request.mirror = &game.manifestB;
        request.mirrorUrl = server->HttpUrl("B/");
        request.product = game.ProductArchives();
        request.type = type;
        // One transfer at a time, so that the URL a progress text names is the only one in flight
        // at a kill (with several, each of them may be fetched twice).
        request.configureDownloader = [](Downloader& downloader) { downloader.SetMaxTransfers(1); };
        return request;
    }

    // The progress texts of a whole update from A (with the archive damaged when given).
    std::vector<std::string> ReportsOfAWholeUpdate(const std::string& damaged = "") const {
        TempDir dir("qmhcrashref");
        std::string root = dir / "game";
        CopyDirectory(GetGameVersions().dirA, root);
        if (!damaged.empty()) DamageArchive(root + "/" + damaged, Damage::GarbageDirectory);
        std::vector<std::string> texts;
        UpdateRequest request = Request(root, UpdateType::ContentsOnly);
        request.repairDamaged = !damaged.empty();
        request.progress = [&](double, const char* text) {
            texts.push_back(text);
            return 0;
        };
        RunUpdate(request);
        return texts;
    }

    // Runs the update from A in root in a child killed at point; returns whether it was killed.
    // lastReport (optional) receives the text of the report at which the child died.
    bool UpdateUntilKilled(const std::string& root, UpdateType type, const KillPoint& point,
                           std::string* lastReport = nullptr, bool repairDamaged = false) const {
        server->ClearAccessLog();
        UpdateRequest request = Request(root, type);
        request.repairDamaged = repairDamaged;
        int status = RunInChild([&] {
            // The size limit must only ever meet the archives.
            int devNull = open("/dev/null", O_WRONLY);
            dup2(devNull, 1);
            dup2(devNull, 2);
            new SilentLogger(); // for the rest of the child's life
            signal(SIGXFSZ, KillSelf);
            int reports = 0;
            request.progress = [&](double, const char* text) {
                if (++reports == point.report) {
                    // Tells the parent where it died: the number of reports varies a little.
                    WriteTestFile(root + ".killed", text);
                    KillSelf(0);
                }
                if (point.fileLimit && strcmp(text, point.phase) == 0) {
                    rlimit limit = {point.fileLimit, point.fileLimit};
                    setrlimit(RLIMIT_FSIZE, &limit);
                }
                return 0;
            };
            RunUpdate(request);
        });
        bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        if (lastReport && point.report && killed) *lastReport = ReadTestFile(root + ".killed");
        EXPECT_TRUE(killed || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << "status " << status;
        return killed;
    }

    // After an update of type killed in root: the cleanup leaves only complete archives (the
    // kept downloads included), and a fresh update reaches B exactly, the user's files
    // untouched. Both runs together fetch what the fresh update alone would have fetched, plus
    // at most once more the URL that was being fetched at the kill (inFlight, may be empty).
    void ExpectRecovery(const std::string& root, UpdateType killed, const std::string& inFlight,
                        const std::string& label) const {
        CleanupTemporaryFiles(root);
        for (const std::string& rel : ListArchives(root))
            EXPECT_TRUE(IsCompleteZip(root + "/" + rel)) << label << ": " << rel;
        UpdateResult result = RunUpdate(Request(root, UpdateType::BitwiseExact));
        EXPECT_TRUE(result.planComplete) << label;
        EXPECT_TRUE(HoldsVersionB(root, true)) << label;
        for (const auto& uri : TrafficOf(server->AccessLog())) {
            uint64_t bound = wholeUpdate[int(UpdateType::BitwiseExact)][uri.first];
            if (!inFlight.empty() && server->HttpUrl(uri.first.substr(1)) == inFlight)
                bound += wholeUpdate[int(killed)][uri.first];
            // Ranges that skip kept entries cost a multipart boundary each.
            EXPECT_LE(uri.second, bound + 1024) << label << ": " << uri.first;
        }
    }

    // The URL a progress text names as being downloaded, or "".
    static std::string UrlInText(const std::string& text) {
        const std::string head = "Downloading \"";
        if (text.rfind(head, 0) != 0) return "";
        return text.substr(head.size(), text.size() - head.size() - 4);
    }

    static TempDir* docRoot;
    static NginxServer* server;
    static Traffic wholeUpdate[2];
};

TempDir* CrashSafety::docRoot = nullptr;
NginxServer* CrashSafety::server = nullptr;
Traffic CrashSafety::wholeUpdate[2];

} // namespace

TEST_F(CrashSafety, KilledAtProgressReportsThroughoutTheUpdate) {
    std::vector<std::string> reports = ReportsOfAWholeUpdate();
    ASSERT_GT(reports.size(), 10u);
    // At most about 30 kill points, spread over the whole run; the number of reports a
    // transfer makes varies a little from run to run, which only shifts them.
    int count = (int)reports.size();
    int step = std::max(1, count / 30);
    printf("%d progress reports, a kill at every %d:", count, step);
    for (int n = 1; n <= count; n += step) printf(" [%s]", reports[n - 1].c_str());
    printf("\n");
    int killedCount = 0;
    for (int n = 1; n <= count; n += step) {
        TempDir dir("qmhcrash");
        std::string root = dir / "game";
        CopyDirectory(GetGameVersions().dirA, root);
        UpdateType type = (n / step) % 2 ? UpdateType::BitwiseExact : UpdateType::ContentsOnly;
        KillPoint point;
        point.report = n;
        std::string text;
        if (UpdateUntilKilled(root, type, point, &text)) killedCount++;
        ExpectRecovery(root, type, UrlInText(text),
                       "killed at report " + std::to_string(n) + " (" + text + ")");
    }
    EXPECT_GT(killedCount, count / step / 2);
}

TEST_F(CrashSafety, KilledWhileWritingFiles) {
    // The download writes the entries of base/new/dlc2.pk4 (6 kB), then of base/pak000.pk4
    // (157 kB) into their journal zips; the repack writes base/new/dlc2.pk4 (about 42 kB)
    // first, then base/pak000.pk4 (about 445 kB) and base/pak001.pk4. The limits cut each of
    // them at several places, inside entries and central directories.
    struct Cut {
        const char* phase;
        rlim_t limit;
        const char* inFlight;
    };
    for (Cut cut :
         {Cut{"Downloading started", 1, "B/base/new/dlc2.pk4"},
          Cut{"Downloading started", 3000, "B/base/new/dlc2.pk4"},
          Cut{"Downloading started", 80000, "B/base/pak000.pk4"}, Cut{"Verifying started", 6400, ""},
          Cut{"Repacking started", 1, ""}, Cut{"Repacking started", 20000, ""},
          Cut{"Repacking started", 41900, ""}, Cut{"Repacking started", 100000, ""},
          Cut{"Repacking started", 300000, ""}, Cut{"Repacking started", 440000, ""},
          Cut{"Repacking started", 444000, ""}, Cut{"Repacking started", 350000, ""}}) {
        std::string label =
            std::string("killed at file size ") + std::to_string(cut.limit) + " after " + cut.phase;
        TempDir dir("qmhcrash");
        std::string root = dir / "game";
        CopyDirectory(GetGameVersions().dirA, root);
        KillPoint point;
        point.phase = cut.phase;
        point.fileLimit = cut.limit;
        EXPECT_TRUE(UpdateUntilKilled(root, UpdateType::ContentsOnly, point)) << label;
        // Every write comes before the repack deletes or renames anything: the old version is
        // whole, base/old_dlc.pk4 (which B drops) included.
        const GameVersions& game = GetGameVersions();
        for (const std::string& rel : game.archivesA) {
            EXPECT_TRUE(ReadTestFile(root + "/" + rel) == ReadTestFile(game.dirA + "/" + rel))
                << label << ": " << rel;
        }
        std::string inFlight = *cut.inFlight ? server->HttpUrl(cut.inFlight) : "";
        ExpectRecovery(root, UpdateType::ContentsOnly, inFlight, label);
    }
}

TEST_F(CrashSafety, NewArchiveCutShortIsNotPutInPlace) {
    TempDir dir("qmhcrash");
    std::string root = dir / "game";
    CopyDirectory(GetGameVersions().dirA, root);
    KillPoint point;
    point.fileLimit = 20000;
    ASSERT_TRUE(UpdateUntilKilled(root, UpdateType::ContentsOnly, point));
    // The child died while writing the archive that version A does not have.
    std::string partial = root + "/base/new/__repacked__dlc2.pk4";
    ASSERT_TRUE(IfFileExists(partial));
    EXPECT_FALSE(IsCompleteZip(partial));
    EXPECT_FALSE(IfFileExists(root + "/base/new/dlc2.pk4"));

    CleanupTemporaryFiles(root);
    EXPECT_FALSE(IfFileExists(root + "/base/new/dlc2.pk4"));
    EXPECT_FALSE(IfFileExists(partial));
    ExpectRecovery(root, UpdateType::ContentsOnly, "", "killed while writing dlc2.pk4");
}

// Killed anywhere during the repair of a damaged archive that B keeps: the cleanup leaves either
// the damaged archive or its replacement, never neither, and the next run repairs it.
TEST_F(CrashSafety, KilledDuringARepair) {
    const std::string damaged = "base/pak000.pk4";
    std::vector<std::string> reports = ReportsOfAWholeUpdate(damaged);
    int count = (int)reports.size();
    int step = std::max(1, count / 15);
    std::string repaired = ReadTestFile(GetGameVersions().dirB + "/" + damaged);
    for (int n = 1; n <= count + step; n += step) {
        SCOPED_TRACE("killed at report " + std::to_string(n));
        TempDir dir("qmhcrash");
        std::string root = dir / "game";
        CopyDirectory(GetGameVersions().dirA, root);
        DamageArchive(root + "/" + damaged, Damage::GarbageDirectory);
        std::string damagedBytes = ReadTestFile(root + "/" + damaged);
        KillPoint point;
        point.report = n;
        bool killed = UpdateUntilKilled(root, UpdateType::BitwiseExact, point, nullptr, true);
        CleanupTemporaryFiles(root);
        ASSERT_TRUE(IfFileExists(root + "/" + damaged));
        std::string now = ReadTestFile(root + "/" + damaged);
        EXPECT_TRUE(now == damagedBytes || now == repaired);
        // The replacement is renamed into place with the other new archives, before this report.
        EXPECT_EQ(now == repaired, !killed || ReadTestFile(root + ".killed") == "Repacking finished");
        UpdateRequest request = Request(root, UpdateType::BitwiseExact);
        request.repairDamaged = true;
        EXPECT_TRUE(RunUpdate(request).planComplete);
        EXPECT_TRUE(HoldsVersionB(root, true));
    }
}

// The range downloader against real servers: the fault server (which records the "Range"
// header of every request and misbehaves on demand) and nginx over HTTP and HTTPS.
#include "CacheServer.h"
#include "FaultServer.h"
#include "GameFixture.h"
#include "NginxServer.h"
#include "RecordingLogger.h"
#include "ScopedEnv.h"
#include "TempDir.h"
#include "base/Logging.h"
#include "net/CertificateBundle.h"
#include "net/Downloader.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <set>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#endif
#include <vector>

using namespace ZipSync;

namespace {

// Deterministic bytes without short periods, so that a misplaced range shows.
std::string PatternBytes(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = char(x >> 24);
    }
    return bytes;
}

// What one request's callback received.
struct Fetched {
    int calls = 0;
    std::string data;
};

void Enqueue(Downloader& downloader, const std::string& url, uint32_t from, uint32_t to, Fetched& fetched) {
    downloader.EnqueueDownload(DownloadSource(url, from, to), [&fetched](const void* data, uint32_t length) {
        fetched.calls++;
        fetched.data.assign(static_cast<const char*>(data), length);
    });
}

// Runs DownloadAll; returns the error message, or "" when it succeeded.
std::string RunDownload(Downloader& downloader, LogCode* code = nullptr) {
    try {
        downloader.DownloadAll();
    } catch (const ErrorException& e) {
        if (code) *code = e.code;
        return e.what();
    }
    return "";
}

// The product's ladder with one-second low-speed times, so that timeouts take seconds.
TimeoutTable FastTimeouts() {
    TimeoutTable table = DefaultTimeoutTable();
    for (TimeoutLevel& level : table) level.lowSpeedTime = 1;
    return table;
}

std::vector<std::string> Sorted(std::vector<std::string> texts) {
    std::sort(texts.begin(), texts.end());
    return texts;
}

std::string RangeHeader(const std::vector<std::pair<uint64_t, uint64_t>>& inclusive) {
    std::string text = "bytes=";
    for (size_t i = 0; i < inclusive.size(); i++) {
        if (i) text += ",";
        text += std::to_string(inclusive[i].first) + "-" + std::to_string(inclusive[i].second);
    }
    return text;
}

class DownloaderTest : public testing::Test {
protected:
    void SetUp() override {
        content = PatternBytes(100000, 1);
        server.AddFile("data.bin", content);
    }
    std::string Slice(uint32_t from, uint32_t to) const { return content.substr(from, to - from); }
    std::string Path(const std::string& mode, const std::string& name = "data.bin") const {
        return "/" + mode + "/" + name;
    }

    RecordingLogger logger;
    FaultServer server;
    std::string content;
};

} // namespace

TEST_F(DownloaderTest, TouchingRangesShareOneRange) {
    Downloader downloader;
    std::vector<Fetched> got(3);
    std::string url = server.Url("ok", "data.bin");
    // Enqueued out of order: the downloader sorts by start.
    Enqueue(downloader, url, 300, 400, got[2]);
    Enqueue(downloader, url, 0, 100, got[0]);
    Enqueue(downloader, url, 100, 200, got[1]);
    EXPECT_EQ(RunDownload(downloader), "");
    EXPECT_EQ(server.RangeHeaders(), std::vector<std::string>({"bytes=0-199,300-399"}));
    const uint32_t ranges[3][2] = {{0, 100}, {100, 200}, {300, 400}};
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(got[i].calls, 1);
        EXPECT_EQ(got[i].data, Slice(ranges[i][0], ranges[i][1])) << i;
    }
}

TEST_F(DownloaderTest, OverlappingRangesAreMergedAndEachGetsItsBytes) {
    Downloader downloader;
    std::vector<Fetched> got(3);
    std::string url = server.Url("ok", "data.bin");
    Enqueue(downloader, url, 0, 100, got[0]);
    Enqueue(downloader, url, 50, 150, got[1]);
    Enqueue(downloader, url, 60, 70, got[2]);
    EXPECT_EQ(RunDownload(downloader), "");
    EXPECT_EQ(server.RangeHeaders(), std::vector<std::string>({"bytes=0-149"}));
    EXPECT_EQ(got[0].data, Slice(0, 100));
    EXPECT_EQ(got[1].data, Slice(50, 150));
    EXPECT_EQ(got[2].data, Slice(60, 70));
}

TEST_F(DownloaderTest, TwentyRangesPerRequest) {
    Downloader downloader;
    std::vector<Fetched> got(25);
    std::string url = server.Url("ok", "data.bin");
    std::vector<std::pair<uint64_t, uint64_t>> first, second;
    for (uint32_t i = 0; i < 25; i++) {
        uint32_t from = 1000 * i + 10, to = from + 100 + i;
        Enqueue(downloader, url, from, to, got[i]);
        (i < 20 ? first : second).push_back({from, to - 1});
    }
    EXPECT_EQ(RunDownload(downloader), "");
    // Two requests, in flight at once.
    EXPECT_EQ(Sorted(server.RangeHeaders()), Sorted({RangeHeader(first), RangeHeader(second)}));
    for (uint32_t i = 0; i < 25; i++) {
        EXPECT_EQ(got[i].calls, 1);
        EXPECT_EQ(got[i].data, Slice(1000 * i + 10, 1000 * i + 110 + i)) << i;
    }
}

TEST_F(DownloaderTest, SingleRangeModeStillMergesTouchingRanges) {
    Downloader downloader;
    downloader.SetSingleRangeOnly(true);
    std::vector<Fetched> got(4);
    std::string url = server.Url("ok", "data.bin");
    Enqueue(downloader, url, 0, 100, got[0]);
    Enqueue(downloader, url, 100, 200, got[1]);
    Enqueue(downloader, url, 300, 400, got[2]);
    Enqueue(downloader, url, 500, 600, got[3]);
    EXPECT_EQ(RunDownload(downloader), "");
    EXPECT_EQ(Sorted(server.RangeHeaders()), Sorted({"bytes=0-199", "bytes=300-399", "bytes=500-599"}));
    EXPECT_EQ(got[1].data, Slice(100, 200));
    EXPECT_EQ(got[3].data, Slice(500, 600));
}

TEST_F(DownloaderTest, LongRequestIsSplitAndDeliveredOnce) {
    const uint32_t kMiB = 1048576, start = 1000, size = 25 * kMiB;
    std::string big = PatternBytes(26 * kMiB, 7);
    server.AddFile("big.bin", big);
    Downloader downloader;
    // One transfer at a time: with others in flight, pieces are cut to the bytes in flight left.
    downloader.SetMaxTransfers(1);
    Fetched got, small;
    std::string url = server.Url("ok", "big.bin");
    Enqueue(downloader, url, start, start + size, got);
    // A later request of the same URL waits for the split one.
    Enqueue(downloader, url, start + size + 10, start + size + 20, small);
    EXPECT_EQ(RunDownload(downloader), "");
    uint64_t a = start, b = a + 10 * kMiB, c = b + 10 * kMiB, end = start + size;
    // The three pieces travel at once and may arrive in any order.
    EXPECT_EQ(Sorted(server.RangeHeaders()), Sorted({RangeHeader({{a, b - 1}}), RangeHeader({{b, c - 1}}),
                                                     RangeHeader({{c, end - 1}, {end + 10, end + 19}})}));
    EXPECT_EQ(got.calls, 1);
    EXPECT_TRUE(got.data == big.substr(start, size));
    EXPECT_EQ(small.data, big.substr(end + 10, 10));
    // The last answer is multipart: its part headers count as received bytes too.
    EXPECT_GT(downloader.TotalBytesDownloaded(), uint64_t(size) + 10);
    EXPECT_LT(downloader.TotalBytesDownloaded(), uint64_t(size) + 10 + 1000);
}

TEST_F(DownloaderTest, OpenEndedRequestLearnsTheFileSize) {
    server.AddFile("k.bin", content.substr(0, 1000));
    Downloader downloader;
    Fetched whole, tail;
    downloader.EnqueueDownload(DownloadSource(server.Url("ok", "k.bin")),
                               [&](const void* data, uint32_t length) {
                                   whole.calls++;
                                   whole.data.assign(static_cast<const char*>(data), length);
                               });
    Enqueue(downloader, server.Url("ok", "data.bin"), 99000, 0xFFFFFFFFu, tail);
    EXPECT_EQ(RunDownload(downloader), "");
    EXPECT_EQ(server.RangeHeaders(Path("ok", "k.bin")), std::vector<std::string>({"bytes=0-"}));
    EXPECT_EQ(server.RangeHeaders(Path("ok")), std::vector<std::string>({"bytes=99000-"}));
    EXPECT_EQ(whole.calls, 1);
    EXPECT_EQ(whole.data, content.substr(0, 1000));
    EXPECT_EQ(tail.data, content.substr(99000));
}

TEST_F(DownloaderTest, OpenEndedRequestIsNeverSplitOrBatched) {
    std::string big = PatternBytes(11 * 1048576 + 5, 3);
    server.AddFile("big.bin", big);
    Downloader downloader;
    Fetched whole, later;
    std::string url = server.Url("ok", "big.bin");
    Enqueue(downloader, url, 0, 0xFFFFFFFFu, whole);
    Enqueue(downloader, url, 5, 10, later);
    EXPECT_EQ(RunDownload(downloader), "");
    EXPECT_EQ(Sorted(server.RangeHeaders()), Sorted({"bytes=0-", "bytes=5-9"}));
    EXPECT_TRUE(whole.data == big);
    EXPECT_EQ(later.data, big.substr(5, 5));
}

TEST_F(DownloaderTest, EmptyRangeNeedsNoTransfer) {
    Downloader downloader;
    std::vector<Fetched> got(2);
    Enqueue(downloader, server.Url("ok", "data.bin"), 500, 500, got[0]);
    Enqueue(downloader, server.Url("ok", "data.bin"), 700, 710, got[1]);
    EXPECT_EQ(RunDownload(downloader), "");
    EXPECT_EQ(server.RangeHeaders(), std::vector<std::string>({"bytes=700-709"}));
    EXPECT_EQ(got[0].calls, 1);
    EXPECT_EQ(got[0].data, "");
    EXPECT_EQ(got[1].data, Slice(700, 710));
}

TEST_F(DownloaderTest, MultipartVariantsThatAreAccepted) {
    // Parts in another order, a 200-character boundary token, a quoted boundary, a body that
    // opens with the first delimiter line without CRLF in front (lighttpd, Caddy).
    for (const char* mode : {"reorder", "longboundary", "quoted", "bareopening"}) {
        Downloader downloader;
        std::vector<Fetched> got(3);
        std::string url = server.Url(mode, "data.bin");
        Enqueue(downloader, url, 10, 20, got[0]);
        Enqueue(downloader, url, 5000, 6000, got[1]);
        Enqueue(downloader, url, 9000, 9001, got[2]);
        EXPECT_EQ(RunDownload(downloader), "") << mode;
        EXPECT_EQ(got[0].data, Slice(10, 20)) << mode;
        EXPECT_EQ(got[1].data, Slice(5000, 6000)) << mode;
        EXPECT_EQ(got[2].data, Slice(9000, 9001)) << mode;
    }
}

TEST_F(DownloaderTest, FaultyAnswersFailWithTheirMessages) {
    struct Case {
        const char* mode;
        int ranges;          // requests [0,100), [200,300), [400,500), ... of data.bin
        std::string message; // with %s for the URL
        int completed;       // how many callbacks ran before the failure
    } cases[] = {
        {"whole", 2, "Response without byteranges for URL %s", 0},
        {"notfound", 1, "Not found result for URL %s", 0},
        {"redirect", 1, "Unexpected HTTP return code 302 for URL %s", 0},
        // The status tells what went wrong, not the body that came with it.
        {"servererror", 2, "Unexpected HTTP return code 500 for URL %s", 0},
        // An answer to one range that lacks some of it (answers to several ranges that lack
        // some are asked again: AnswersLackingRangesSwitchThatUrlToSingleRanges).
        {"late", 1, "Missing chunk 0..10 (10 bytes) after downloading URL %s", 0},
        {"nopartrange", 2, "Failed to find range in part headers", 0},
        {"dropnow", 1, "Unexpected CURL error 52 on URL %s (Server returned nothing (no headers, no data))",
         0},
        {"drop", 1, "Unexpected CURL error 18 on URL %s (Transferred a partial file)", 0},
        {"endless", 1, "Response larger than 1052772 bytes for URL %s", 0},
        {"gzip", 2, "Response with Content-Encoding gzip for URL %s (only identity was accepted)", 0},
    };
    for (const Case& c : cases) {
        Downloader downloader;
        std::vector<Fetched> got(c.ranges);
        std::string url = server.Url(c.mode, "data.bin");
        for (int i = 0; i < c.ranges; i++) Enqueue(downloader, url, 200 * i, 200 * i + 100, got[i]);
        LogCode code = lcNone;
        std::string message = RunDownload(downloader, &code);
        EXPECT_EQ(message, FormatString(c.message.c_str(), url.c_str())) << c.mode;
        EXPECT_EQ(code, lcGeneral) << c.mode;
        int called = 0;
        for (const Fetched& f : got) called += f.calls;
        EXPECT_EQ(called, c.completed) << c.mode;
        if (c.completed) {
            EXPECT_EQ(got[0].data, Slice(0, 100)) << c.mode;
        }
    }
    // Every request said it wants the file's own bytes: an encoded answer was not asked for.
    for (const FaultServer::Request& request : server.Requests())
        EXPECT_EQ(request.acceptEncoding, "identity");
}

TEST_F(DownloaderTest, WholeFileForSeveralRangesSwitchesThatUrlToSingleRanges) {
    server.AddFile("big.bin", PatternBytes(8 * 1048576, 2));
    Downloader downloader;
    std::vector<Fetched> got(3), other(2);
    std::string url = server.Url("nomulti", "big.bin"), okUrl = server.Url("ok", "data.bin");
    for (int i = 0; i < 3; i++) Enqueue(downloader, url, 200 * i, 200 * i + 100, got[i]);
    for (int i = 0; i < 2; i++) Enqueue(downloader, okUrl, 200 * i, 200 * i + 100, other[i]);
    EXPECT_EQ(RunDownload(downloader), "");
    std::string big = ReadTestFile(server.Root() + "/big.bin");
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(got[i].calls, 1);
        EXPECT_EQ(got[i].data, big.substr(200 * i, 100)) << i;
    }
    std::vector<std::string> asked = server.RangeHeaders(Path("nomulti", "big.bin"));
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked[0], "bytes=0-99,200-299,400-499");
    EXPECT_EQ(Sorted(std::vector<std::string>(asked.begin() + 1, asked.end())),
              Sorted({"bytes=0-99", "bytes=200-299", "bytes=400-499"}));
    // Other URLs keep their multi-range requests.
    EXPECT_EQ(server.RangeHeaders(Path("ok")), std::vector<std::string>({"bytes=0-99,200-299"}));
    EXPECT_EQ(other[1].data, Slice(200, 300));
    EXPECT_EQ(logger.WithPrefix("Server sent the whole file").size(), 1u);

    // A server that ignores ranges altogether still fails, once single ranges get 200 too.
    Downloader ignoring;
    std::vector<Fetched> lost(2);
    std::string wholeUrl = server.Url("whole", "data.bin");
    for (int i = 0; i < 2; i++) Enqueue(ignoring, wholeUrl, 200 * i, 200 * i + 100, lost[i]);
    EXPECT_EQ(RunDownload(ignoring), "Response without byteranges for URL " + wholeUrl);
    asked = server.RangeHeaders(Path("whole"));
    ASSERT_GE(asked.size(), 2u);
    EXPECT_EQ(asked[0], "bytes=0-99,200-299");
    EXPECT_EQ(asked[1].find(','), std::string::npos) << asked[1];
    EXPECT_EQ(lost[0].calls + lost[1].calls, 0);
}

// Varnish answers 416, object stores the whole file, some servers a plain 206 with the first
// range only or multipart without some parts: each switches that URL to one range per request
// (logged once), keeps what did arrive and asks again for the rest only.
TEST_F(DownloaderTest, AnswersLackingRangesSwitchThatUrlToSingleRanges) {
    struct Case {
        const char* mode;
        std::vector<std::string> singles; // asked one by one after the first request
    } cases[] = {
        {"multi416", {"bytes=0-149", "bytes=200-299", "bytes=400-499"}},
        {"nomulti", {"bytes=0-149", "bytes=200-299", "bytes=400-499"}},
        {"firstonly", {"bytes=200-299", "bytes=400-499"}},
        {"omit", {"bytes=200-299"}},
        {"shortpart", {"bytes=75-149"}}, // the first part held half of 0-149
    };
    for (const Case& c : cases) {
        RecordingLogger log;
        Downloader downloader;
        std::vector<Fetched> got(4);
        std::string url = server.Url(c.mode, "data.bin");
        for (int i = 0; i < 3; i++) Enqueue(downloader, url, 200 * i, 200 * i + 100, got[i]);
        // Touching ranges still share one request.
        Enqueue(downloader, url, 100, 150, got[3]);
        EXPECT_EQ(RunDownload(downloader), "") << c.mode;
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(got[i].calls, 1) << c.mode;
            EXPECT_EQ(got[i].data, Slice(200 * i, 200 * i + 100)) << c.mode << " " << i;
        }
        EXPECT_EQ(got[3].data, Slice(100, 150)) << c.mode;
        std::vector<std::string> asked = server.RangeHeaders(Path(c.mode));
        ASSERT_EQ(asked.size(), c.singles.size() + 1) << c.mode;
        EXPECT_EQ(asked[0], "bytes=0-149,200-299,400-499") << c.mode;
        EXPECT_EQ(Sorted(std::vector<std::string>(asked.begin() + 1, asked.end())), Sorted(c.singles))
            << c.mode;
        EXPECT_EQ(log.WithPrefix("Server sent ").size(), 1u) << c.mode;
    }
}

// Redirects of data are followed when the caller allows them (any of 301, 302, 303, 307, 308, a
// chain, another host), http and https only, at most 10 hops; without that the status is the
// failure, so that no redirect decides which server a trusted file comes from.
TEST_F(DownloaderTest, RedirectsAreFollowedOnlyWhenAllowed) {
    for (const char* mode : {"redirect301", "redirect302", "redirect303", "redirect307", "redirect308",
                             "hops10", "redirecthost"}) {
        Downloader downloader;
        downloader.SetFollowRedirects(true);
        std::vector<Fetched> got(2);
        std::string url = server.Url(mode, "data.bin");
        Enqueue(downloader, url, 10, 20, got[0]);
        Enqueue(downloader, url, 5000, 6000, got[1]);
        EXPECT_EQ(RunDownload(downloader), "") << mode;
        EXPECT_EQ(got[0].data, Slice(10, 20)) << mode;
        EXPECT_EQ(got[1].data, Slice(5000, 6000)) << mode;
    }
    // The ranges travel with every hop.
    EXPECT_EQ(server.RangeHeaders(Path("ok")).back(), "bytes=10-19,5000-5999");
    struct Case {
        const char* mode;
        bool follow;
        std::string message;
    } failures[] = {
        {"redirect302", false, "Unexpected HTTP return code 302 for URL %s"},
        {"redirecthost", false, "Unexpected HTTP return code 302 for URL %s"},
        {"hops11", true, "Too many redirects (more than 10) for URL %s"},
        {"redirectloop", true, "Too many redirects (more than 10) for URL %s"},
        {"redirectscheme", true, "Redirect to a URL that is neither http nor https for URL %s"},
    };
    for (const Case& c : failures) {
        Downloader downloader;
        downloader.SetFollowRedirects(c.follow);
        Fetched got;
        std::string url = server.Url(c.mode, "data.bin");
        Enqueue(downloader, url, 10, 20, got);
        EXPECT_EQ(RunDownload(downloader), FormatString(c.message.c_str(), url.c_str())) << c.mode;
        EXPECT_EQ(got.calls, 0) << c.mode;
    }
}

// A slow server holds up no other URL: their callbacks all come before its ladder ends, while it
// is asked one request at a time.
TEST_F(DownloaderTest, SlowUrlHoldsUpNoOther) {
    server.AddFile("other.bin", content);
    Downloader downloader;
    downloader.SetTimeoutTable(FastTimeouts());
    downloader.SetSilentErrors(true);
    std::vector<Fetched> got(30);
    std::vector<size_t> logLengthAtCall(30);
    std::string slow = server.Url("slow", "data.bin"), fast = server.Url("ok", "other.bin");
    for (int i = 0; i < 30; i++) {
        std::string url = i < 5 ? slow : fast;
        downloader.EnqueueDownload(DownloadSource(url, 3000 * i, 3000 * i + 100),
                                   [&, i](const void* data, uint32_t length) {
                                       got[i].calls++;
                                       got[i].data.assign(static_cast<const char*>(data), length);
                                       logLengthAtCall[i] = logger.entries.size();
                                   });
    }
    EXPECT_EQ(RunDownload(downloader), "");
    EXPECT_EQ(downloader.SkippedUrls().count(slow), 1u);
    size_t firstTimeout = logger.entries.size();
    for (size_t e = 0; e < logger.entries.size() && firstTimeout == logger.entries.size(); e++)
        if (logger.entries[e].code == lcDownloadTimeout) firstTimeout = e;
    ASSERT_LT(firstTimeout, logger.entries.size());
    for (int i = 5; i < 30; i++) {
        EXPECT_EQ(got[i].data, Slice(3000 * i, 3000 * i + 100)) << i;
        EXPECT_LE(logLengthAtCall[i], firstTimeout) << i;
    }
    for (int i = 0; i < 5; i++) EXPECT_EQ(got[i].calls, 0) << i;
    // After its first timeout the slow URL got one request at a time, down the whole ladder.
    EXPECT_EQ(server.RangeHeaders(Path("slow")).size(), 5u);
}

TEST_F(DownloaderTest, TransferProgressCountsTheBytesOfTheRanges) {
    Downloader downloader;
    std::vector<TransferProgress> reports;
    downloader.SetTransferProgressCallback([&](const TransferProgress& progress) {
        reports.push_back(progress);
        return 0;
    });
    std::vector<Fetched> got(3);
    std::string url = server.Url("ok", "data.bin");
    Enqueue(downloader, url, 0, 30000, got[0]);
    Enqueue(downloader, url, 50000, 60000, got[1]);
    server.AddFile("k.bin", content.substr(0, 5000));
    Enqueue(downloader, server.Url("ok", "k.bin"), 0, 0xFFFFFFFFu, got[2]);
    EXPECT_EQ(RunDownload(downloader), "");
    ASSERT_GE(reports.size(), 3u);
    EXPECT_EQ(reports.front().comment, "Downloading started");
    EXPECT_EQ(reports.front().bytesDone, 0u);
    EXPECT_EQ(reports.back().comment, "Downloading finished");
    EXPECT_EQ(reports.back().ratio, 1.0);
    // The whole file counts once its size is known.
    EXPECT_EQ(reports[1].bytesTotal, 40000u);
    EXPECT_EQ(reports.back().bytesTotal, 45000u);
    EXPECT_EQ(reports.back().bytesDone, 45000u);
    for (const TransferProgress& p : reports) EXPECT_LE(p.bytesDone, p.bytesTotal);
}

// With a rate limit the download still delivers everything; how well the limit holds is
// measured by the benchmark (bench/compare.sh) and TransferMeter's own test.
TEST_F(DownloaderTest, RateLimitedDownloadDeliversEverything) {
    std::string big = PatternBytes(600000, 13);
    server.AddFile("big.bin", big);
    Downloader downloader;
    downloader.SetRateLimit(2 << 20);
    std::vector<Fetched> got(6);
    for (int i = 0; i < 6; i++)
        Enqueue(downloader, server.Url("ok", "big.bin"), 100000 * i, 100000 * i + 90000, got[i]);
    EXPECT_EQ(RunDownload(downloader), "");
    for (int i = 0; i < 6; i++) EXPECT_TRUE(got[i].data == big.substr(100000 * i, 90000)) << i;
}

TEST_F(DownloaderTest, EndlessOpenEndedBodyStopsAtTheLimit) {
    Downloader downloader;
    downloader.SetOpenEndedResponseLimit(2 * 1048576);
    Fetched got;
    std::string url = server.Url("endless", "data.bin");
    Enqueue(downloader, url, 0, 0xFFFFFFFFu, got);
    std::string message = RunDownload(downloader);
    // limit + 1 MiB allowance + 4 KiB for the one range
    EXPECT_EQ(message,
              FormatString("Response larger than %llu bytes for URL %s", 3ull * 1048576 + 4096, url.c_str()));
    EXPECT_EQ(got.calls, 0);
}

// An endless body costs no more memory than the limit of its request, whatever range the
// server claims: nothing beyond the claimed range is kept, and the body never grows by doubling.
// Measured in a child process, whose peak resident size starts from the parent's (Linux: fork).
#ifndef _WIN32
TEST_F(DownloaderTest, EndlessBodyHoldsNoMoreThanTheLimit) {
    const uint64_t limit = 64 << 20;
    // AddressSanitizer keeps freed blocks in quarantine, so the buffers a growing body left
    // behind stay resident for a while: some megabytes more, never another whole body.
#if defined(__SANITIZE_ADDRESS__)
    const uint64_t slack = limit / 2;
#else
    const uint64_t slack = limit / 4;
#endif
    for (const char* mode : {"endless", "endlessbig"}) {
        std::string url = server.Url(mode, "data.bin");
        int status = RunInChild([&] {
            struct rusage before, after;
            getrusage(RUSAGE_SELF, &before);
            Downloader downloader;
            downloader.SetOpenEndedResponseLimit(limit);
            Fetched got;
            Enqueue(downloader, url, 0, 0xFFFFFFFFu, got);
            std::string message = RunDownload(downloader);
            getrusage(RUSAGE_SELF, &after);
            uint64_t grown = uint64_t(after.ru_maxrss - before.ru_maxrss) * 1024;
            fprintf(stderr, "%s: peak grew by %llu bytes\n", mode, (unsigned long long)grown);
            bool stopped = message == FormatString("Response larger than %llu bytes for URL %s",
                                                   (unsigned long long)(limit + 1048576 + 4096), url.c_str());
            _exit(stopped && got.calls == 0 && grown < limit + slack ? 0 : 1);
        });
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << mode << " status " << status;
    }
}
#endif

TEST_F(DownloaderTest, TimeoutsDescendTheLadderAndGiveUpAfterFive) {
    std::string big = PatternBytes(1048576, 5);
    server.AddFile("big.bin", big);
    Downloader downloader;
    downloader.SetTimeoutTable(FastTimeouts());
    Fetched got;
    std::string url = server.Url("slow", "big.bin");
    Enqueue(downloader, url, 0, 1048576, got);
    LogCode code = lcNone;
    EXPECT_EQ(RunDownload(downloader, &code), "Repeated timeout on URL " + url);
    EXPECT_EQ(code, lcGeneral);
    EXPECT_EQ(server.RangeHeaders(),
              std::vector<std::string>(
                  {"bytes=0-1048575", "bytes=0-524287", "bytes=0-32767", "bytes=0-4095", "bytes=0-4095"}));
    EXPECT_EQ(got.calls, 0);
    EXPECT_EQ(downloader.TotalBytesDownloaded(), 0u);
    int timeouts = 0;
    for (const RecordingLogger::Entry& e : logger.entries) {
        if (e.severity == sevWarning && e.code == lcDownloadTimeout) {
            EXPECT_EQ(e.text.rfind("Timeout for request with 1 segments of total size ", 0), 0u) << e.text;
            timeouts++;
        }
    }
    EXPECT_EQ(timeouts, 5);
}

TEST_F(DownloaderTest, LevelsRelaxOnceTheirBudgetHasArrived) {
    const uint32_t size = 12 * 1048576;
    std::string big = PatternBytes(size, 9);
    server.AddFile("big.bin", big);
    Downloader downloader;
    downloader.SetTimeoutTable(FastTimeouts());
    // One transfer at a time: the 10 MiB and 2 MiB pieces of level 0 would both meet the slow
    // server, which counts requests.
    downloader.SetMaxTransfers(1);
    Fetched got;
    std::string url = server.Url("slow4", "big.bin"); // the first four requests time out
    Enqueue(downloader, url, 0, size, got);
    EXPECT_EQ(RunDownload(downloader), "");
    EXPECT_EQ(got.calls, 1);
    EXPECT_TRUE(got.data == big);
    EXPECT_EQ(downloader.TotalBytesDownloaded(), uint64_t(size));

    std::vector<std::string> expected = {"bytes=0-10485759", "bytes=0-524287", "bytes=0-32767",
                                         "bytes=0-4095"};
    uint64_t at = 0;
    auto take = [&](uint64_t length, int times) {
        for (int i = 0; i < times; i++, at += length)
            expected.push_back(RangeHeader({{at, at + length - 1}}));
    };
    take(4096, 2);    // level 4 until more than 4096 bytes arrived: back to level 3
    take(4096, 7);    // level 3 until more than 32768: level 2 (36864 bytes so far)
    take(32768, 15);  // level 2 until more than 512 KiB: level 1 (528384)
    take(524288, 19); // level 1 until more than 10 MiB: level 0 (10489856)
    take(size - at, 1);
    EXPECT_EQ(server.RangeHeaders(), expected);
}

TEST_F(DownloaderTest, FailureOfOneUrlWithAndWithoutSilentErrors) {
    for (bool silent : {false, true}) {
        FaultServer fresh;
        fresh.AddFile("a.bin", content);
        Downloader downloader;
        downloader.SetSilentErrors(silent);
        // One transfer at a time: URLs run in lexicographic order, notfound before ok.
        downloader.SetMaxTransfers(1);
        std::vector<Fetched> got(3);
        Enqueue(downloader, fresh.Url("ok", "a.bin"), 0, 10, got[0]);
        Enqueue(downloader, fresh.Url("notfound", "a.bin"), 0, 10, got[1]);
        Enqueue(downloader, fresh.Url("ok", "a.bin"), 20, 30, got[2]);
        std::string message = RunDownload(downloader);
        EXPECT_EQ(got[1].calls, 0);
        if (silent) {
            EXPECT_EQ(message, "");
            EXPECT_EQ(got[0].data, Slice(0, 10));
            EXPECT_EQ(got[2].data, Slice(20, 30));
            EXPECT_EQ(fresh.Requests().size(), 2u);
        } else {
            EXPECT_EQ(message, "Not found result for URL " + fresh.Url("notfound", "a.bin"));
            EXPECT_EQ(got[0].calls + got[2].calls, 0);
            ASSERT_EQ(fresh.Requests().size(), 1u);
            EXPECT_EQ(fresh.Requests()[0].path, "/notfound/a.bin");
        }
    }
}

TEST_F(DownloaderTest, LogsAnEquivalentCurlCommandPerRequest) {
    Downloader downloader;
    downloader.SetUserAgent("qmh_installer/1.16");
    downloader.SetSingleRangeOnly(true);
    std::vector<Fetched> got(2);
    std::string url = server.Url("ok", "data.bin");
    Enqueue(downloader, url, 0, 100, got[0]);
    Enqueue(downloader, url, 300, 0xFFFFFFFFu, got[1]);
    EXPECT_EQ(RunDownload(downloader), "");
    EXPECT_EQ(logger.WithPrefix("[curl-cmd]"),
              std::vector<std::string>(
                  {"[curl-cmd] curl " + url +
                       " -r 0-99 -H \"Accept-Encoding: identity\" -Y 1000 -y 10 --connect-timeout 10 -A "
                       "\"qmh_installer/1.16\" -o out0.bin",
                   "[curl-cmd] curl " + url +
                       " -r 300- -H \"Accept-Encoding: identity\" -Y 1000 -y 10 --connect-timeout 10 -A "
                       "\"qmh_installer/1.16\" -o out1.bin"}));
    EXPECT_TRUE(logger.WithPrefix("[curl-res]").empty());
}

TEST_F(DownloaderTest, FailedTransfersLogTheirCurlResult) {
    Downloader downloader;
    Fetched got;
    Enqueue(downloader, server.Url("notfound", "data.bin"), 0, 10, got);
    RunDownload(downloader);
    EXPECT_EQ(logger.WithPrefix("[curl-res]"), std::vector<std::string>({"[curl-res] ret:23 http:404"}));
}

TEST_F(DownloaderTest, ProgressGrowsByEachRequestsShare) {
    // Weights: (to - from) + 100 = 1000, 1000 and 3000 of 5000; one transfer at a time.
    Downloader downloader;
    downloader.SetSingleRangeOnly(true);
    downloader.SetMaxTransfers(1);
    std::vector<std::pair<double, std::string>> calls;
    downloader.SetProgressCallback([&](double ratio, const char* comment) {
        calls.push_back({ratio, comment});
        return 0;
    });
    std::vector<Fetched> got(3);
    std::string url = server.Url("ok", "data.bin");
    Enqueue(downloader, url, 0, 900, got[0]);
    Enqueue(downloader, url, 1000, 1900, got[1]);
    Enqueue(downloader, url, 3000, 5900, got[2]);
    EXPECT_EQ(RunDownload(downloader), "");
    ASSERT_GE(calls.size(), 5u);
    EXPECT_EQ(calls.front(), std::make_pair(0.0, std::string("Downloading started")));
    EXPECT_EQ(calls.back(), std::make_pair(1.0, std::string("Downloading finished")));
    std::string comment = "Downloading \"" + url + "\"...";
    double previous = 0.0;
    for (size_t i = 1; i + 1 < calls.size(); i++) {
        EXPECT_EQ(calls[i].second, comment);
        EXPECT_GE(calls[i].first, previous - 1e-12);
        EXPECT_LE(calls[i].first, 1.0 + 1e-12);
        previous = calls[i].first;
    }
    // Every transfer ends with a call at the sum of the shares so far.
    std::vector<double> expectedEnds = {0.2, 0.4, 1.0};
    size_t found = 0;
    for (const auto& call : calls)
        if (found < expectedEnds.size() && std::abs(call.first - expectedEnds[found]) < 1e-9) found++;
    EXPECT_EQ(found, expectedEnds.size());
}

TEST_F(DownloaderTest, ProgressCommentKeepsTheEndOfALongUrl) {
    std::string name;
    for (int i = 0; i < 6; i++) name += std::string(60, char('a' + i)) + "/";
    name += "end.bin";
    server.AddFile(name, content.substr(0, 100));
    Downloader downloader;
    std::vector<std::string> comments;
    downloader.SetProgressCallback([&](double, const char* comment) {
        comments.push_back(comment);
        return 0;
    });
    Fetched got;
    std::string url = server.Url("ok", name);
    ASSERT_GT(url.size(), 300u);
    Enqueue(downloader, url, 0, 10, got);
    EXPECT_EQ(RunDownload(downloader), "");
    EXPECT_EQ(got.data, Slice(0, 10));
    ASSERT_GE(comments.size(), 3u);
    const std::string& shown = comments[1];
    EXPECT_LT(shown.size(), 256u);
    EXPECT_EQ(shown.rfind("Downloading \"...", 0), 0u) << shown;
    std::string tail = "/end.bin\"...";
    EXPECT_EQ(shown.compare(shown.size() - tail.size(), tail.size(), tail), 0) << shown;
}

TEST_F(DownloaderTest, TimedOutTransferAddsNoProgress) {
    Downloader downloader;
    downloader.SetTimeoutTable(FastTimeouts());
    std::vector<double> values;
    downloader.SetProgressCallback([&](double ratio, const char*) {
        values.push_back(ratio);
        return 0;
    });
    Fetched got;
    Enqueue(downloader, server.Url("slow1", "data.bin"), 0, 50000, got); // the first attempt times out
    EXPECT_EQ(RunDownload(downloader), "");
    EXPECT_EQ(server.RangeHeaders(), std::vector<std::string>({"bytes=0-49999", "bytes=0-49999"}));
    EXPECT_EQ(got.data, Slice(0, 50000));
    // The trickle of the first attempt showed some progress; the retry starts from zero again.
    size_t positive = 0;
    while (positive < values.size() && values[positive] == 0.0) positive++;
    ASSERT_LT(positive, values.size());
    EXPECT_LT(values[positive], 0.01);
    bool restarted = false;
    for (size_t i = positive; i < values.size(); i++) restarted = restarted || values[i] == 0.0;
    EXPECT_TRUE(restarted);
    EXPECT_EQ(values.back(), 1.0);
    EXPECT_EQ(downloader.TotalBytesDownloaded(), 50000u);
}

TEST_F(DownloaderTest, EmptyRequestListReportsStartAndFinishOnly) {
    Downloader downloader;
    std::vector<std::pair<double, std::string>> calls;
    downloader.SetProgressCallback([&](double ratio, const char* comment) {
        calls.push_back({ratio, comment});
        return 0;
    });
    EXPECT_EQ(RunDownload(downloader), "");
    EXPECT_EQ(calls, (std::vector<std::pair<double, std::string>>{{0.0, "Downloading started"},
                                                                  {1.0, "Downloading finished"}}));
    EXPECT_TRUE(logger.WithPrefix("[curl-cmd]").empty());
    EXPECT_EQ(downloader.TotalBytesDownloaded(), 0u);
}

// Also with silent errors, which skip failing servers but never the user's wish to stop: the
// second URL is not fetched.
TEST_F(DownloaderTest, NonzeroProgressAnswerInterrupts) {
    std::string big = PatternBytes(4 * 1048576, 11);
    server.AddFile("big.bin", big);
    for (bool silent : {false, true}) {
        SCOPED_TRACE(silent);
        Downloader downloader;
        downloader.SetSilentErrors(silent);
        downloader.SetProgressCallback([](double, const char* comment) {
            return std::string(comment).find("Downloading \"") == 0 ? 1 : 0;
        });
        Fetched got, other;
        Enqueue(downloader, server.Url("ok", "big.bin"), 0, 4 * 1048576, got);
        Enqueue(downloader, server.Url("whole", "data.bin"), 0, 100, other);
        size_t requestsBefore = server.Requests().size();
        LogCode code = lcNone;
        EXPECT_EQ(RunDownload(downloader, &code), "Interrupted by user");
        EXPECT_EQ(code, lcUserInterrupt);
        EXPECT_EQ(got.calls + other.calls, 0);
        // Stopped at the first report, before the transfers got far: the servers saw at most
        // the requests started with it.
        EXPECT_LE(server.Requests().size(), requestsBefore + 2);
    }
}

TEST_F(DownloaderTest, ExceptionsOfCallbacksPassThrough) {
    {
        Downloader downloader;
        downloader.EnqueueDownload(DownloadSource(server.Url("ok", "data.bin"), 0, 10),
                                   [](const void*, uint32_t) { throw std::logic_error("from callback"); });
        EXPECT_THROW(downloader.DownloadAll(), std::logic_error);
    }
    {
        // Thrown by the progress callback between curl's calls: the transfers are stopped.
        Downloader downloader;
        downloader.SetProgressCallback([](double, const char* comment) -> int {
            if (std::string(comment).find("Downloading \"") == 0) throw std::logic_error("from progress");
            return 0;
        });
        Fetched got;
        Enqueue(downloader, server.Url("ok", "data.bin"), 0, 50000, got);
        EXPECT_THROW(downloader.DownloadAll(), std::logic_error);
    }
}

TEST_F(DownloaderTest, HttpsDowngrade) {
    TempDir root;
    WriteTestFile(root / "f.bin", content);
    NginxServer nginx(root.path());
    std::string https = "https://127.0.0.1:" + std::to_string(nginx.httpPort()) + "/f.bin";
    std::string http = nginx.HttpUrl("f.bin");
    {
        Downloader downloader;
        downloader.SetDowngradeHttps(true);
        downloader.SetCertificateBundle(BuiltinCertificateBundle());
        Fetched got;
        Enqueue(downloader, https, 10, 20, got);
        EXPECT_EQ(RunDownload(downloader), "");
        EXPECT_EQ(got.data, Slice(10, 20));
        EXPECT_EQ(logger.WithPrefix("HTTPS downgraded"),
                  std::vector<std::string>({"HTTPS downgraded: " + http}));
        std::vector<std::string> commands = logger.WithPrefix("[curl-cmd]");
        ASSERT_EQ(commands.size(), 1u);
        EXPECT_EQ(commands[0].rfind("[curl-cmd] curl " + http + " -r 10-19 ", 0), 0u);
    }
    {
        // Without the downgrade TLS meets a plain HTTP port; the message names the https URL.
        Downloader downloader;
        Fetched got;
        Enqueue(downloader, https, 10, 20, got);
        std::string message = RunDownload(downloader);
        EXPECT_EQ(message, "Unexpected CURL error 35 on URL " + https + " (SSL connect error)");
    }
}

TEST(DownloaderNginx, ScatteredRangesOverOneConnection) {
    TempDir root;
    std::string a = PatternBytes(3 * 1048576, 21), b = PatternBytes(200000, 22);
    WriteTestFile(root / "a.bin", a);
    WriteTestFile(root / "b.bin", b);
    NginxServer nginx(root.path());
    Downloader downloader;
    downloader.SetMaxTransfers(1);
    std::vector<Fetched> got(45);
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    for (uint32_t i = 0; i < 40; i++)
        ranges.push_back({70000 * i + 3 * i, 70000 * i + 3 * i + 1000 + 37 * i});
    for (uint32_t i = 0; i < 40; i++)
        Enqueue(downloader, nginx.HttpUrl("a.bin"), ranges[i].first, ranges[i].second, got[i]);
    for (uint32_t i = 0; i < 5; i++)
        Enqueue(downloader, nginx.HttpUrl("b.bin"), 100 * i, 100 * i + 100, got[40 + i]);
    EXPECT_EQ(RunDownload(downloader), "");
    for (uint32_t i = 0; i < 40; i++)
        EXPECT_TRUE(got[i].data == a.substr(ranges[i].first, ranges[i].second - ranges[i].first)) << i;
    for (uint32_t i = 0; i < 5; i++) EXPECT_EQ(got[40 + i].data, b.substr(100 * i, 100)) << i;

    std::vector<NginxServer::LogEntry> log = nginx.AccessLog(3);
    ASSERT_EQ(log.size(), 3u);
    std::vector<std::pair<uint64_t, uint64_t>> first, second;
    for (uint32_t i = 0; i < 40; i++)
        (i < 20 ? first : second).push_back({ranges[i].first, ranges[i].second - 1});
    EXPECT_EQ(log[0].uri, "/a.bin");
    EXPECT_EQ(log[0].range, RangeHeader(first));
    EXPECT_EQ(log[1].range, RangeHeader(second));
    EXPECT_EQ(log[2].uri, "/b.bin");
    EXPECT_EQ(log[2].range, "bytes=0-499"); // five touching ranges merged into one
    for (const NginxServer::LogEntry& e : log) {
        EXPECT_EQ(e.status, 206);
        EXPECT_EQ(e.connection, log[0].connection) << "the connection is reused";
    }
    uint64_t bodies = 0;
    for (const NginxServer::LogEntry& e : log) bodies += e.bodyBytesSent;
    EXPECT_EQ(downloader.TotalBytesDownloaded(), bodies);
}

TEST(DownloaderNginx, HttpsTrustsTheExtraCaOnlyWhenGiven) {
    TempDir root;
    std::string data = PatternBytes(50000, 31);
    WriteTestFile(root / "s.bin", data);
    NginxServer::Options options;
    options.https = true;
    NginxServer nginx(root.path(), options);
    std::string url = nginx.HttpsUrl("s.bin");
    RecordingLogger logger;
    {
        ScopedEnv env(EXTRA_CA_FILE_VARIABLE, nginx.CaFile().c_str());
        Downloader downloader;
        downloader.SetCertificateBundle(AssembleCertificateBundle());
        std::vector<Fetched> got(2);
        Enqueue(downloader, url, 0, 100, got[0]);
        Enqueue(downloader, url, 40000, 50000, got[1]);
        EXPECT_EQ(RunDownload(downloader), "");
        EXPECT_EQ(got[0].data, data.substr(0, 100));
        EXPECT_EQ(got[1].data, data.substr(40000));
        std::vector<NginxServer::LogEntry> log = nginx.AccessLog(1);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].range, "bytes=0-99,40000-49999");
    }
    {
        ScopedEnv env(EXTRA_CA_FILE_VARIABLE, nullptr);
        Downloader downloader;
        downloader.SetCertificateBundle(AssembleCertificateBundle());
        Fetched got;
        Enqueue(downloader, url, 0, 100, got);
        // curl's CURLE_PEER_FAILED_VERIFICATION
        EXPECT_EQ(RunDownload(downloader), "Unexpected CURL error 60 on URL " + url +
                                               " (SSL peer certificate or SSH remote key was not OK)");
        EXPECT_EQ(got.calls, 0);
    }
}

// Four files with many ranges each and four transfers in flight: every file is fetched over
// connections that stay open (more requests than connections, at most four of them), and the
// callbacks of each file come in the order of their ranges although its requests overlap.
TEST(DownloaderNginx, SeveralTransfersInFlightOverReusedConnections) {
    TempDir root;
    std::vector<std::string> files;
    for (int f = 0; f < 4; f++) {
        files.push_back(PatternBytes(2 * 1048576, 40 + f));
        WriteTestFile(root / ("f" + std::to_string(f) + ".bin"), files[f]);
    }
    NginxServer nginx(root.path());
    Downloader downloader;
    downloader.SetMaxTransfers(4);
    std::vector<std::vector<uint32_t>> order(4);
    std::vector<int> right(4, 0);
    for (int f = 0; f < 4; f++) {
        // 60 ranges: three multi-range requests per file.
        for (uint32_t i = 0; i < 60; i++) {
            uint32_t from = 30000 * i + 7 * f, to = from + 5000;
            downloader.EnqueueDownload(
                DownloadSource(nginx.HttpUrl("f" + std::to_string(f) + ".bin"), from, to),
                [&, f, from, to](const void* data, uint32_t length) {
                    order[f].push_back(from);
                    if (std::string(static_cast<const char*>(data), length) ==
                        files[f].substr(from, to - from))
                        right[f]++;
                });
        }
    }
    EXPECT_EQ(RunDownload(downloader), "");
    std::vector<NginxServer::LogEntry> log = nginx.AccessLog(12);
    ASSERT_EQ(log.size(), 12u);
    std::set<uint64_t> connections;
    for (const NginxServer::LogEntry& e : log) {
        EXPECT_EQ(e.status, 206);
        connections.insert(e.connection);
    }
    EXPECT_GT(connections.size(), 1u);
    EXPECT_LE(connections.size(), 4u);
    for (int f = 0; f < 4; f++) {
        EXPECT_EQ(right[f], 60) << f;
        EXPECT_TRUE(std::is_sorted(order[f].begin(), order[f].end())) << f;
    }
}

// A server that takes one range per request gets kSingleRangeFactor times the default
// transfers: its requests are small, and each costs a round trip.
TEST(DownloaderNginx, SingleRangesGetMoreTransfers) {
    TempDir root;
    std::string data = PatternBytes(1048576, 61);
    WriteTestFile(root / "s.bin", data);
    NginxServer::Options options;
    options.limitRate = 100000; // each answer takes a while, so that the transfers overlap
    NginxServer nginx(root.path(), options);
    Downloader downloader;
    downloader.SetSingleRangeOnly(true);
    std::vector<Fetched> got(40);
    for (uint32_t i = 0; i < 40; i++)
        Enqueue(downloader, nginx.HttpUrl("s.bin"), 20000 * i, 20000 * i + 5000, got[i]);
    EXPECT_EQ(RunDownload(downloader), "");
    for (uint32_t i = 0; i < 40; i++) EXPECT_EQ(got[i].data, data.substr(20000 * i, 5000)) << i;
    std::set<uint64_t> connections;
    for (const NginxServer::LogEntry& e : nginx.AccessLog(40)) connections.insert(e.connection);
    EXPECT_GT(connections.size(), size_t(kDefaultMaxTransfers));
    EXPECT_LE(connections.size(), size_t(kDefaultMaxTransfers * kSingleRangeFactor));
}

namespace {

// Two ranges of url in one download, checked against data.
void FetchTwoRanges(const std::string& url, const std::string& data, const ProxyLookup& lookup = {}) {
    Downloader downloader;
    downloader.SetCertificateBundle(AssembleCertificateBundle());
    downloader.SetProxyLookup(lookup);
    std::vector<Fetched> got(2);
    Enqueue(downloader, url, 0, 100, got[0]);
    Enqueue(downloader, url, 40000, 50000, got[1]);
    EXPECT_EQ(RunDownload(downloader), "") << url;
    EXPECT_EQ(got[0].data, data.substr(0, 100)) << url;
    EXPECT_EQ(got[1].data, data.substr(40000)) << url;
}

} // namespace

// http_proxy, https_proxy and no_proxy reach curl unchanged: plain requests go through Squid as
// a forward proxy, https ones through its CONNECT tunnel (still checked against the trusted
// roots), and no_proxy bypasses it.
TEST(DownloaderNginx, ProxiesFromTheEnvironment) {
    if (CacheServer::Program(CacheServer::SquidForwardProxy).empty())
        GTEST_SKIP() << "Squid is not installed (Debian package squid)";
    TempDir root;
    std::string data = PatternBytes(50000, 51);
    WriteTestFile(root / "p.bin", data);
    NginxServer::Options options;
    options.https = true;
    NginxServer nginx(root.path(), options);
    CacheServer proxy(CacheServer::SquidForwardProxy, 0);
    RecordingLogger logger;
    ScopedEnv ca(EXTRA_CA_FILE_VARIABLE, nginx.CaFile().c_str());
    ScopedEnv httpProxy("http_proxy", proxy.Url().c_str());
    ScopedEnv httpsProxy("https_proxy", proxy.Url().c_str());
    {
        ScopedEnv noProxy("no_proxy", nullptr);
        FetchTwoRanges(nginx.HttpUrl("p.bin"), data);
        FetchTwoRanges(nginx.HttpsUrl("p.bin"), data);
    }
    std::string tunnel = "CONNECT 127.0.0.1:" + std::to_string(nginx.httpsPort());
    std::string through = proxy.AccessLogWith(tunnel);
    EXPECT_NE(through.find(nginx.HttpUrl("p.bin")), std::string::npos) << through;
    EXPECT_NE(through.find(tunnel), std::string::npos) << through;
    {
        ScopedEnv noProxy("no_proxy", "127.0.0.1");
        FetchTwoRanges(nginx.HttpUrl("p.bin"), data);
    }
    EXPECT_EQ(proxy.AccessLog(), through);
    // Each time one request for both ranges: the proxy's answer to CONNECT is no answer to it.
    std::vector<NginxServer::LogEntry> served = nginx.AccessLog(3);
    ASSERT_EQ(served.size(), 3u);
    for (const NginxServer::LogEntry& e : served) EXPECT_EQ(e.range, "bytes=0-99,40000-49999");
    EXPECT_TRUE(logger.WithPrefix("Server sent").empty());
}

// A proxy lookup decides alone, per URL: the environment's proxy (a dead one here) and its
// no_proxy are not read.
TEST(DownloaderNginx, ProxyLookupDecidesPerUrl) {
    if (CacheServer::Program(CacheServer::SquidForwardProxy).empty())
        GTEST_SKIP() << "Squid is not installed (Debian package squid)";
    TempDir root;
    std::string data = PatternBytes(50000, 52);
    WriteTestFile(root / "proxied.bin", data);
    WriteTestFile(root / "direct.bin", data);
    NginxServer::Options options;
    options.https = true;
    NginxServer nginx(root.path(), options);
    CacheServer proxy(CacheServer::SquidForwardProxy, 0);
    ScopedEnv ca(EXTRA_CA_FILE_VARIABLE, nginx.CaFile().c_str());
    std::string dead = "http://127.0.0.1:" + std::to_string(FindFreePort()) + "/";
    ScopedEnv httpProxy("http_proxy", dead.c_str());
    ScopedEnv httpsProxy("https_proxy", dead.c_str());
    ScopedEnv noProxy("no_proxy", "127.0.0.1");
    ProxyLookup lookup = [&](const std::string& url) {
        return url.find("proxied") != std::string::npos ? proxy.Url() : "";
    };
    FetchTwoRanges(nginx.HttpUrl("proxied.bin"), data, lookup);
    FetchTwoRanges(nginx.HttpsUrl("proxied.bin"), data, lookup);
    FetchTwoRanges(nginx.HttpUrl("direct.bin"), data, lookup);
    std::string tunnel = "CONNECT 127.0.0.1:" + std::to_string(nginx.httpsPort());
    std::string through = proxy.AccessLogWith(tunnel);
    EXPECT_NE(through.find(nginx.HttpUrl("proxied.bin")), std::string::npos) << through;
    EXPECT_NE(through.find(tunnel), std::string::npos) << through;
    EXPECT_EQ(through.find("direct.bin"), std::string::npos) << through;
    EXPECT_EQ(nginx.AccessLog(3).size(), 3u);
}

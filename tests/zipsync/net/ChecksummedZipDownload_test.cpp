// Remote checksummed zips: digests learned from their first 128 bytes, and downloads that reuse
// local files and earlier downloads of the same batch. Served by nginx on loopback.
#include "NginxServer.h"
#include "RecordingLogger.h"
#include "TempDir.h"
#include "TestDigest.h"
#include "base/Logging.h"
#include "net/Downloader.h"
#include "net/RemoteChecksummedZip.h"
#include "zip/ChecksummedZip.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace ZipSync;

namespace {

std::string PayloadText(int i) {
    std::string text = "[version]\nname=" + std::to_string(i) + "\n";
    for (int k = 0; k < 50; k++) text += "[file]\nname=f" + std::to_string(i * 1000 + k) + "\n";
    return text;
}

// Writes a checksummed zip of payload PayloadText(i) at path.
std::string WriteZip(const std::string& path, int i) {
    std::string payload = PayloadText(i);
    WriteChecksummedZip(path, payload.data(), payload.size(), "data.ini");
    return payload;
}

class ChecksummedZipDownloadTest : public testing::Test {
protected:
    RecordingLogger logger;
    TempDir root{"qmhroot"};
    TempDir local{"qmhlocal"};
};

} // namespace

TEST_F(ChecksummedZipDownloadTest, DigestsFromTheFirst128Bytes) {
    WriteZip(root / "a.iniz", 1);
    WriteZip(root / "b.iniz", 2);
    std::string hex = Digest("x").Hex();
    WriteTestFile(root / "plain.bin", std::string(300, 'q')); // no marker
    WriteTestFile(root / "upper.bin",
                  std::string(10, ' ') + "zsMH:" + std::string(64, 'A') + std::string(100, ' '));
    WriteTestFile(root / "cut.bin", std::string(80, ' ') + "zsMH:" + hex); // digest beyond byte 128
    WriteTestFile(root / "late.bin",
                  std::string(20, ' ') + "zsMH:" + hex + std::string(100, ' ')); // found anywhere
    NginxServer nginx(root.path());
    std::vector<std::string> names = {"a.iniz",  "b.iniz",   "plain.bin", "upper.bin",
                                      "cut.bin", "late.bin", "missing"};
    std::vector<std::string> urls;
    for (const std::string& name : names) urls.push_back(nginx.HttpUrl(name));

    Downloader downloader;
    downloader.SetSilentErrors(true);
    std::vector<HashDigest> digests = DownloadChecksummedZipHashes(downloader, urls);
    ASSERT_EQ(digests.size(), names.size());
    EXPECT_EQ(digests[0], ReadChecksummedZipHash(root / "a.iniz"));
    EXPECT_EQ(digests[0], Digest(PayloadText(1)));
    EXPECT_EQ(digests[1], Digest(PayloadText(2)));
    for (size_t i = 2; i <= 4; i++) EXPECT_TRUE(digests[i].IsZero()) << names[i];
    EXPECT_EQ(digests[5].Hex(), hex);
    EXPECT_TRUE(digests[6].IsZero()); // 404, swallowed by the silent downloader

    std::vector<NginxServer::LogEntry> log = nginx.AccessLog(names.size());
    ASSERT_EQ(log.size(), names.size());
    for (const NginxServer::LogEntry& e : log) EXPECT_EQ(e.range, "bytes=0-127") << e.uri;
}

TEST_F(ChecksummedZipDownloadTest, DigestFailureWithoutSilentErrorsPropagates) {
    WriteZip(root / "a.iniz", 1);
    NginxServer nginx(root.path());
    Downloader downloader;
    try {
        DownloadChecksummedZipHashes(downloader, {nginx.HttpUrl("a.iniz"), nginx.HttpUrl("missing")});
        FAIL() << "no error";
    } catch (const ErrorException& e) {
        EXPECT_EQ(std::string(e.what()), "Not found result for URL " + nginx.HttpUrl("missing"));
    }
}

TEST_F(ChecksummedZipDownloadTest, ShortRemoteFileHasNoDigest) {
    // Fewer than 128 bytes: the range cannot be complete, which the silent downloader swallows.
    WriteTestFile(root / "tiny.bin", "zsMH:" + Digest("t").Hex());
    NginxServer nginx(root.path());
    Downloader downloader;
    downloader.SetSilentErrors(true);
    std::vector<HashDigest> digests = DownloadChecksummedZipHashes(downloader, {nginx.HttpUrl("tiny.bin")});
    ASSERT_EQ(digests.size(), 1u);
    EXPECT_TRUE(digests[0].IsZero());
}

TEST_F(ChecksummedZipDownloadTest, ReusesLocalFilesAndEarlierDownloads) {
    // Local candidates: payloads 1 and 2. Remote: 3, 1 (local 0), 3 again (remote 0), 4 with
    // an unknown digest, 2 (local 1).
    WriteZip(local / "l0.iniz", 1);
    WriteZip(local / "l1.iniz", 2);
    const int remotePayloads[] = {3, 1, 3, 4, 2};
    std::vector<std::string> urls, outputs;
    std::vector<HashDigest> hashes;
    NginxServer nginx(root.path());
    for (int i = 0; i < 5; i++) {
        std::string name = "r" + std::to_string(i) + ".iniz";
        WriteZip(root / name, remotePayloads[i]);
        urls.push_back(nginx.HttpUrl(name));
        outputs.push_back(local / ("out" + std::to_string(i) + ".iniz"));
        hashes.push_back(i == 3 ? HashDigest() : Digest(PayloadText(remotePayloads[i])));
    }
    std::vector<std::string> localPaths = {local / "l0.iniz", local / "l1.iniz"};
    std::vector<std::string> requested = outputs;

    Downloader downloader;
    std::vector<int> result = DownloadChecksummedZips(downloader, urls, hashes, localPaths, outputs);
    EXPECT_EQ(result, std::vector<int>({-1, 0, 2, -1, 1}));
    EXPECT_EQ(outputs, std::vector<std::string>(
                           {requested[0], localPaths[0], requested[0], requested[3], localPaths[1]}));
    for (int i = 0; i < 5; i++) {
        std::vector<uint8_t> payload = ReadChecksummedZip(outputs[i], "data.ini");
        EXPECT_EQ(std::string(payload.begin(), payload.end()), PayloadText(remotePayloads[i])) << i;
    }
    EXPECT_EQ(ReadTestFile(requested[0]), ReadTestFile(root / "r0.iniz"));

    // Only the two files without a source were fetched, each whole.
    std::vector<NginxServer::LogEntry> log = nginx.AccessLog(2);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].uri, "/r0.iniz");
    EXPECT_EQ(log[1].uri, "/r3.iniz");
    for (const NginxServer::LogEntry& e : log) EXPECT_EQ(e.range, "bytes=0-");
    EXPECT_FALSE(std::filesystem::exists(local / "out1.iniz"));
}

TEST_F(ChecksummedZipDownloadTest, RefusesInconsistentArguments) {
    WriteTestFile(local / "notzip.iniz", "not a zip");
    std::vector<std::string> outputs = {local / "o.iniz"};
    struct Case {
        std::vector<HashDigest> hashes;
        std::vector<std::string> locals;
        std::vector<std::string> outputs;
        std::string messageStart;
    } cases[] = {
        {{}, {}, outputs, "Assertion remoteHashes.size() == n failed"},
        {{HashDigest()}, {}, {}, "Assertion outputPaths.size() == n failed"},
        {{HashDigest()}, {local / "notzip.iniz"}, outputs, ""},
        {{HashDigest()}, {local / "absent.iniz"}, outputs, ""},
    };
    for (Case& c : cases) {
        Downloader downloader;
        try {
            DownloadChecksummedZips(downloader, {"http://127.0.0.1:1/x.iniz"}, c.hashes, c.locals, c.outputs);
            ADD_FAILURE() << "no error for " << c.messageStart;
        } catch (const ErrorException& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.messageStart, 0), 0u) << e.what();
        }
    }
}

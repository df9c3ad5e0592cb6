// Fresh installs interrupted half-way, then run again: the two runs together fetch little more
// than one run would, and the result is the published archives byte for byte.
//
// A version of QMH_RESUME_MB megabytes (default 40, about 35 MB compressed) is served by nginx
// at QMH_RESUME_RATE bytes per second (default 8000000). The first run is interrupted once its
// download journal holds half of the version: killed with SIGKILL, cancelled through its
// progress callback, or cut off by the mirror stopping. The second run fetches from the same
// files without a rate limit. Counted are the body bytes in nginx's access logs; what the first
// run had in flight (at most kMaxBytesInFlight) is fetched twice.
// QMH_RESUME_MB=96 QMH_RESUME_RATE=1000000 measures an install of about 80 MB at 1 MB/s.
#include "CatchError.h"
#include "GameFixture.h"
#include "NginxServer.h"
#include "TempDir.h"
#include "net/Downloader.h"
#include "update/DownloadJournal.h"
#include "update/TemporaryFiles.h"
#include "zip/ZipAnalysis.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* text = getenv(name);
    return text && *text ? std::stoull(text) : fallback;
}

// Bytes in the download journal of root.
uint64_t JournalBytes(const std::string& root) {
    uint64_t bytes = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(DownloadJournalDir(root), ec), end; !ec && it != end;
         it.increment(ec))
        if (it->is_regular_file(ec)) bytes += it->file_size(ec);
    return bytes;
}

uint64_t BodyBytes(const std::vector<NginxServer::LogEntry>& log) {
    uint64_t bytes = 0;
    for (const NginxServer::LogEntry& entry : log) bytes += entry.bodyBytesSent;
    return bytes;
}

class Resume : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        www = new TempDir("qmhresumewww");
        std::string script = std::string(TESTS_SOURCE_DIR) + "/support/make_large_version.py";
        ASSERT_EQ(RunShellCommand("python3 '" + script + "' '" + www->path() + "/v' " +
                                  std::to_string(EnvNumber("QMH_RESUME_MB", 40))),
                  0);
        for (const auto& entry : fs::recursive_directory_iterator(www->path() + "/v"))
            if (entry.is_regular_file())
                archives.push_back(fs::relative(entry.path(), www->path() + "/v").generic_string());
        std::vector<std::string> paths;
        for (const std::string& rel : archives) paths.push_back(www->path() + "/v/" + rel);
        published = new Manifest(AnalyzeZips(www->path() + "/v", paths, true, 1));
        for (const FileMetainfo& file : *published) ideal += file.byterange[1] - file.byterange[0];
        NginxServer::Options limited;
        limited.limitRate = EnvNumber("QMH_RESUME_RATE", 8000000);
        slow = new NginxServer(www->path(), limited);
        fast = new NginxServer(www->path());
    }
    static void TearDownTestSuite() {
        delete fast;
        delete slow;
        delete published;
        delete www;
    }
    void SetUp() override {
        fs::create_directories(root);
        slow->ClearAccessLog();
        fast->ClearAccessLog();
    }

    UpdateRequest Request(const NginxServer& server) const {
        UpdateRequest request;
        request.rootDir = root;
        request.target = published;
        request.mirror = published;
        request.mirrorUrl = server.HttpUrl("v/");
        request.product = archives;
        request.type = UpdateType::BitwiseExact;
        return request;
    }

    // The second run, without a limit: the published archives byte for byte, the journal gone,
    // and both runs together (firstRun bytes, plus what fast sent) within the bound.
    void ExpectResumed(uint64_t firstRun, uint64_t allowance) const {
        CleanupTemporaryFiles(root);
        EXPECT_GT(JournalBytes(root), ideal / 2);
        EXPECT_TRUE(RunUpdate(Request(*fast)).planComplete);
        for (const std::string& rel : archives)
            EXPECT_TRUE(ReadTestFile(root + "/" + rel) == ReadTestFile(www->path() + "/v/" + rel)) << rel;
        EXPECT_FALSE(fs::exists(root + "/.zipsync"));
        uint64_t total = firstRun + BodyBytes(fast->AccessLog(1));
        printf("ideal %llu bytes, fetched %llu + %llu = %llu bytes (%.3f of ideal)\n",
               (unsigned long long)ideal, (unsigned long long)firstRun,
               (unsigned long long)(total - firstRun), (unsigned long long)total,
               double(total) / double(ideal));
        EXPECT_LE(total, uint64_t(ideal * 1.05) + allowance);
    }

    TempDir dir{"qmhresume"};
    std::string root = dir.path() + "/game";

    static TempDir* www;
    static std::vector<std::string> archives;
    static Manifest* published;
    static uint64_t ideal;
    static NginxServer *slow, *fast;
};

TempDir* Resume::www = nullptr;
std::vector<std::string> Resume::archives;
Manifest* Resume::published = nullptr;
uint64_t Resume::ideal = 0;
NginxServer* Resume::slow = nullptr;
NginxServer* Resume::fast = nullptr;

const uint64_t kMiB = 1 << 20;

} // namespace

TEST_F(Resume, KilledHalfWay) {
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        try {
            RunUpdate(Request(*slow));
        } catch (...) {
        }
        _exit(0);
    }
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (JournalBytes(root) > ideal / 2) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        usleep(20000);
    }
    ASSERT_TRUE(WIFSIGNALED(status)) << "the update ended before it was killed";
    // nginx logs the answer cut short once it notices the closed connection.
    ExpectResumed(BodyBytes(slow->AccessLog(1)), kMaxBytesInFlight + kMiB);
}

TEST_F(Resume, CancelledHalfWay) {
    UpdateRequest request = Request(*slow);
    request.progress = [&](double, const char*) { return JournalBytes(root) > ideal / 2 ? 1 : 0; };
    ExpectError([&] { RunUpdate(request); }, lcUserInterrupt, "Interrupted by user");
    ExpectResumed(BodyBytes(slow->AccessLog(1)), kMaxBytesInFlight + kMiB);
}

TEST_F(Resume, MirrorStoppedHalfWay) {
    // A mirror of its own, stopped from the progress callback; what it sent before is read from
    // its log first. Answers cut off by the stop are not logged; those that had arrived whole but
    // waited for an earlier one of their file are, and are fetched again: at most the bytes in
    // flight.
    NginxServer::Options limited;
    limited.limitRate = EnvNumber("QMH_RESUME_RATE", 8000000);
    auto stopping = std::make_unique<NginxServer>(www->path(), limited);
    UpdateRequest request = Request(*stopping);
    uint64_t sent = 0;
    request.progress = [&](double, const char*) {
        if (stopping && JournalBytes(root) > ideal / 2) {
            sent = BodyBytes(stopping->AccessLog());
            stopping.reset();
        }
        return 0;
    };
    CaughtError error = CatchError([&] { RunUpdate(request); });
    EXPECT_TRUE(error.thrown);
    EXPECT_EQ(stopping, nullptr);
    ExpectResumed(sent, kMaxBytesInFlight + kMiB);
}

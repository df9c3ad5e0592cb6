// Range download benchmark: thousands of scattered ranges of a large file served by nginx on
// loopback, fetched with the Downloader, against one plain transfer of the same byte total.
//
// Prints the bytes asked for, the bytes nginx put on the wire (from its access log), the number
// of HTTP requests, and the times. Goals: wire bytes <= 1.02 x requested, and
// requests = ceil(ranges / 20) for scattered ranges.
//
// Usage: download [file MiB (default 256)] [ranges (default 5000)]
#include "NginxServer.h"
#include "ServerDir.h"
#include "base/Logging.h"
#include "net/Downloader.h"

#include <algorithm>
#include <chrono>
#include <curl/curl.h>
#include <fcntl.h>
#include <random>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <vector>

using namespace ZipSync;

namespace {

// Drops debug lines (one "[curl-cmd]" per request) so that only the figures are printed.
class QuietLogger : public Logger {
public:
    void Message(LogCode, LogSeverity severity, const char* message) override {
        if (severity >= sevWarning) fprintf(stderr, "%s%s\n", SeverityPrefix(severity), message);
    }
};

void WriteRandomFile(const std::string& path, uint64_t size, uint64_t seed) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) {
        perror(path.c_str());
        exit(1);
    }
    std::mt19937_64 random(seed);
    std::vector<uint64_t> block(1 << 17);
    for (uint64_t written = 0; written < size;) {
        for (uint64_t& word : block) word = random();
        size_t bytes = size_t(std::min<uint64_t>(size - written, block.size() * 8));
        fwrite(block.data(), 1, bytes, file);
        written += bytes;
    }
    fclose(file);
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct Range {
    uint32_t from, to;
};

// Non-adjacent ranges: one per slot of the file, of random length, never touching the next.
std::vector<Range> ScatteredRanges(uint64_t fileSize, int count) {
    std::mt19937 random(12345);
    uint64_t slot = fileSize / count;
    std::vector<Range> ranges;
    for (int i = 0; i < count; i++) {
        uint32_t length = 64 + random() % uint32_t(slot - 128);
        uint32_t offset = random() % uint32_t(slot - length - 1);
        uint32_t from = uint32_t(i * slot + offset);
        ranges.push_back({from, from + length});
    }
    std::shuffle(ranges.begin(), ranges.end(), random); // the downloader sorts them itself
    return ranges;
}

struct RunFigures {
    double seconds = 0;
    size_t requests = 0;
    uint64_t wireBytes = 0;
    uint64_t received = 0;
    size_t mismatches = 0;
};

RunFigures FetchRanges(const NginxServer& nginx, const std::string& url, int fd,
                       const std::vector<Range>& ranges, bool singleRange) {
    nginx.ClearAccessLog();
    RunFigures figures;
    Downloader downloader;
    downloader.SetSingleRangeOnly(singleRange);
    std::vector<char> expected;
    for (const Range& r : ranges) {
        downloader.EnqueueDownload(DownloadSource(url, r.from, r.to),
                                   [&, r](const void* data, uint32_t length) {
                                       expected.resize(r.to - r.from);
                                       ssize_t got = pread(fd, expected.data(), expected.size(), r.from);
                                       if (got != ssize_t(expected.size()) || length != expected.size() ||
                                           memcmp(data, expected.data(), length) != 0)
                                           figures.mismatches++;
                                   });
    }
    auto start = std::chrono::steady_clock::now();
    downloader.DownloadAll();
    figures.seconds = Seconds(start);
    figures.received = downloader.TotalBytesDownloaded();
    size_t expectedRequests = singleRange ? ranges.size() : (ranges.size() + 19) / 20;
    std::vector<NginxServer::LogEntry> log = nginx.AccessLog(expectedRequests);
    figures.requests = log.size();
    for (const NginxServer::LogEntry& e : log) figures.wireBytes += e.bytesSent;
    return figures;
}

size_t Discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

RunFigures FetchPlain(const NginxServer& nginx, const std::string& url) {
    nginx.ClearAccessLog();
    RunFigures figures;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Discard);
    auto start = std::chrono::steady_clock::now();
    CURLcode ret = curl_easy_perform(curl);
    figures.seconds = Seconds(start);
    curl_easy_cleanup(curl);
    if (ret != CURLE_OK) fprintf(stderr, "plain transfer failed: curl error %d\n", int(ret));
    std::vector<NginxServer::LogEntry> log = nginx.AccessLog(1);
    figures.requests = log.size();
    for (const NginxServer::LogEntry& e : log) figures.wireBytes += e.bytesSent;
    return figures;
}

void PrintRun(const char* name, const RunFigures& f, uint64_t requested) {
    printf("%-28s %8zu requests  %12llu wire bytes (%.4f x requested)  %7.3f s  %8.1f MiB/s%s\n", name,
           f.requests, (unsigned long long)f.wireBytes, double(f.wireBytes) / double(requested), f.seconds,
           double(requested) / 1048576.0 / f.seconds, f.mismatches ? "  CONTENT MISMATCHES!" : "");
}

} // namespace

int main(int argc, char** argv) {
    uint64_t fileMiB = argc > 1 ? strtoull(argv[1], nullptr, 10) : 256;
    int count = argc > 2 ? atoi(argv[2]) : 5000;
    uint64_t fileSize = fileMiB << 20;
    if (fileMiB < 1 || fileMiB > 4000 || count < 1 || fileSize / count < 1024) {
        fprintf(stderr, "usage: %s [file MiB (1..4000)] [ranges (slots of at least 1 KiB)]\n", argv[0]);
        return 2;
    }
    delete g_logger;
    g_logger = new QuietLogger();

    ServerDir root("qmhbench");
    std::string bigPath = root.path() + "/big.bin";
    WriteRandomFile(bigPath, fileSize, 1);
    std::vector<Range> ranges = ScatteredRanges(fileSize, count);
    uint64_t requested = 0;
    for (const Range& r : ranges) requested += r.to - r.from;
    WriteRandomFile(root.path() + "/plain.bin", requested, 2);
    int fd = open(bigPath.c_str(), O_RDONLY);

    NginxServer nginx(root.path());
    printf("file %llu MiB, %d scattered ranges, %llu bytes requested (%.1f MiB, mean %.0f bytes)\n",
           (unsigned long long)fileMiB, count, (unsigned long long)requested, double(requested) / 1048576.0,
           double(requested) / count);
    try {
        RunFigures plain = FetchPlain(nginx, nginx.HttpUrl("plain.bin"));
        RunFigures multi = FetchRanges(nginx, nginx.HttpUrl("big.bin"), fd, ranges, false);
        RunFigures single = FetchRanges(nginx, nginx.HttpUrl("big.bin"), fd, ranges, true);
        PrintRun("plain transfer, same total", plain, requested);
        PrintRun("Downloader, multi-range", multi, requested);
        PrintRun("Downloader, single range", single, requested);
        printf("multi-range: requests %zu (goal ceil(%d/20) = %d), wire/requested %.4f (goal <= 1.02), "
               "time %.2f x plain, body bytes received %llu\n",
               multi.requests, count, (count + 19) / 20, double(multi.wireBytes) / double(requested),
               multi.seconds / plain.seconds, (unsigned long long)multi.received);
        bool ok = multi.requests == size_t((count + 19) / 20) && multi.wireBytes <= requested * 1.02 &&
                  multi.mismatches == 0 && single.mismatches == 0;
        printf("%s\n", ok ? "goals met" : "GOALS MISSED");
        close(fd);
        return ok ? 0 : 1;
    } catch (const ErrorException& e) {
        fprintf(stderr, "download failed: %s\n", e.what());
        close(fd);
        return 1;
    }
}

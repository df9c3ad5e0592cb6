// Connections kept from one download to the next, against nginx over HTTPS: downloaders of one
// cache share one TLS connection, also after one of them was interrupted; without a cache each
// download opens its own.
#include "NginxServer.h"
#include "ServerDir.h"
#include "base/Logging.h"
#include "net/ConnectionCache.h"
#include "net/Downloader.h"

#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <set>
#include <string>

using namespace ZipSync;

namespace {

// Fetches [from, to) of url with a downloader of cache (none: no cache); returns the bytes.
std::string Fetch(const NginxServer& nginx, const std::shared_ptr<ConnectionCache>& cache, uint32_t from,
                  uint32_t to, const ProgressCallback& progress = ProgressCallback()) {
    Downloader downloader;
    std::ifstream ca(nginx.CaFile());
    downloader.SetCertificateBundle(std::string(std::istreambuf_iterator<char>(ca), {}));
    if (cache) downloader.SetConnectionCache(cache);
    downloader.SetProgressCallback(progress);
    std::string bytes;
    downloader.EnqueueDownload(DownloadSource(nginx.HttpsUrl("data.bin"), from, to),
                               [&bytes](const void* data, uint32_t length) {
                                   bytes.assign(static_cast<const char*>(data), length);
                               });
    downloader.DownloadAll();
    return bytes;
}

std::set<uint64_t> Connections(const NginxServer& nginx, size_t entries) {
    std::set<uint64_t> connections;
    for (const NginxServer::LogEntry& entry : nginx.AccessLog(entries)) connections.insert(entry.connection);
    return connections;
}

} // namespace

TEST(ConnectionCache, DownloadsOfOneCacheShareTheirConnection) {
    ServerDir docs("qmhcache");
    std::string data(300000, 'q');
    for (size_t i = 0; i < data.size(); i++) data[i] = char(i * 7 % 251);
    WriteWholeFile(docs.path() + "/data.bin", data);
    NginxServer::Options options;
    options.https = true;
    // Slow enough that a progress report comes while the transfer runs.
    options.limitRate = 200000;
    NginxServer nginx(docs.path(), options);

    auto cache = std::make_shared<ConnectionCache>();
    EXPECT_EQ(Fetch(nginx, cache, 0, 1000), data.substr(0, 1000));
    // Cancelled in the middle: its connection is closed, the cache stays usable.
    try {
        Fetch(nginx, cache, 1000, 300000, [](double ratio, const char*) { return ratio > 0.0 ? 1 : 0; });
        ADD_FAILURE() << "not interrupted";
    } catch (const ErrorException& e) {
        EXPECT_EQ(e.code, lcUserInterrupt);
    }
    EXPECT_EQ(Fetch(nginx, cache, 5000, 6000), data.substr(5000, 1000));
    EXPECT_EQ(Fetch(nginx, cache, 6000, 7000), data.substr(6000, 1000));
    std::map<std::string, uint64_t> connectionOf;
    for (const NginxServer::LogEntry& entry : nginx.AccessLog(4))
        connectionOf[entry.range] = entry.connection;
    ASSERT_EQ(connectionOf.size(), 4u);
    // The interrupted download took over the first one's connection, which went with it; the
    // next two share a new one.
    EXPECT_EQ(connectionOf["bytes=0-999"], connectionOf["bytes=1000-299999"]);
    EXPECT_NE(connectionOf["bytes=1000-299999"], connectionOf["bytes=5000-5999"]);
    EXPECT_EQ(connectionOf["bytes=5000-5999"], connectionOf["bytes=6000-6999"]);

    nginx.ClearAccessLog();
    EXPECT_EQ(Fetch(nginx, nullptr, 0, 1000), data.substr(0, 1000));
    EXPECT_EQ(Fetch(nginx, nullptr, 1000, 2000), data.substr(1000, 1000));
    EXPECT_EQ(Connections(nginx, 2).size(), 2u);
}

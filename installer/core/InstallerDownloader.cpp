#include "InstallerDownloader.h"

#include "OsUtils.h"
#include "base/Logging.h"
#include "base/SizeText.h"
#include "net/CertificateBundle.h"
#include "net/ConnectionCache.h"

#include <errno.h>
#include <memory>
#include <stdlib.h>
#include <string.h>

using namespace ZipSync;

const TimeoutTable* g_installerTimeoutTable = nullptr;

namespace {

// One cache for every download of the run, so that the configuration, the digests, the
// manifests and the game's data reuse the connections of the downloads before them. It lives as
// long as the process and is never destroyed: at exit, closing its TLS connections would come
// after the TLS library has cleaned up.
std::shared_ptr<ConnectionCache> RunConnections() {
    static std::shared_ptr<ConnectionCache>* cache =
        new std::shared_ptr<ConnectionCache>(std::make_shared<ConnectionCache>());
    return *cache;
}

} // namespace

Downloader MakeInstallerDownloader(const NetworkOptions& options, ProgressIndicator* progress) {
    Downloader downloader;
    downloader.SetUserAgent("qmh_installer/1.16");
    downloader.SetCertificateBundle(AssembleCertificateBundle());
    downloader.SetSingleRangeOnly(options.noMultipartByteranges);
    downloader.SetDowngradeHttps(options.disableTls);
    downloader.SetRateLimit(options.rateLimit);
    if (options.rateLimit)
        g_logger->debugf("Rate limit: %llu bytes per second", (unsigned long long)options.rateLimit);
    if (options.maxTransfers > 0) {
        downloader.SetMaxTransfers(options.maxTransfers);
        g_logger->debugf("Transfers in flight: at most %d", options.maxTransfers);
    }
    downloader.SetConnectionCache(RunConnections());
    downloader.SetProxyLookup(SystemProxyLookup());
    if (g_installerTimeoutTable) downloader.SetTimeoutTable(*g_installerTimeoutTable);
    downloader.SetTransferProgressCallback(MakeTransferProgressCallback(progress));
    return downloader;
}

DownloadArguments ParseDownloadArguments(int argc, const char* const* argv) {
    DownloadArguments arguments;
    for (int i = 1; i < argc; i++) {
        bool rate = strcmp(argv[i], "--limit-rate") == 0, transfers = strcmp(argv[i], "--transfers") == 0;
        if (!rate && !transfers) continue;
        if (i + 1 == argc) g_logger->errorf(lcGeneral, "Option %s needs a value", argv[i]);
        const char* value = argv[++i];
        if (rate) {
            ParseRateLimit(value);
            arguments.rateLimit = value;
            continue;
        }
        char* end = nullptr;
        errno = 0;
        long count = strtol(value, &end, 10);
        if (value[0] < '0' || value[0] > '9' || *end || errno || count < 1 || count > 1000000)
            g_logger->errorf(lcGeneral, "Option --transfers needs a number of at least 1, not \"%s\"", value);
        arguments.maxTransfers = int(count);
    }
    return arguments;
}

uint64_t ParseRateLimit(const std::string& text) {
    size_t first = text.find_first_not_of(" \t"), last = text.find_last_not_of(" \t");
    if (first == std::string::npos) return 0;
    std::optional<uint64_t> rate = ParseByteCount(text.substr(first, last + 1 - first));
    if (!rate)
        g_logger->errorf(lcGeneral,
                         "Rate limit \"%s\" is not a number of bytes per second such as 500k or 2M",
                         text.c_str());
    return *rate;
}

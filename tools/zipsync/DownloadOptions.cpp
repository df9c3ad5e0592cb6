#include "DownloadOptions.h"

#include "ManifestSource.h"
#include "base/SizeText.h"

namespace ZipSyncCli {

using namespace ZipSync;

OptionSpec TransfersOption() {
    static const std::string help =
        "HTTP requests in flight at once (default " + std::to_string(kDefaultMaxTransfers) + "; " +
        std::to_string(kSingleRangeFactor) + " times as many for a server that takes one range per request)";
    return {0, "transfers", "N", false, help.c_str()};
}

OptionSpec LimitRateOption() {
    return {0, "limit-rate", "RATE", false, "download at most RATE bytes per second in all (suffix k, M, G)"};
}

uint64_t ParseRate(const std::string& text) {
    std::optional<uint64_t> rate = ParseByteCount(text);
    if (!rate)
        throw UsageError("option --limit-rate needs bytes per second such as 500000, 500k or 2M, not '" +
                         text + "'");
    return *rate;
}

Downloader MakeArchiveDownloader(Console& console, const ParsedArgs& args) {
    Downloader downloader = MakeToolDownloader(console);
    downloader.SetFollowRedirects(true);
    if (args.Has("transfers")) downloader.SetMaxTransfers(args.GetInt("transfers", kDefaultMaxTransfers, 1));
    if (args.Has("limit-rate")) downloader.SetRateLimit(ParseRate(args.Get("limit-rate")));
    return downloader;
}

} // namespace ZipSyncCli

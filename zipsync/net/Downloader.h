// Fetches byte ranges of remote files over HTTP or HTTPS.
//
// Callers enqueue any number of requests (a URL, a byte range and a callback) and then run
// them all with one DownloadAll. Requests for the same URL are packed into as few HTTP
// requests as possible (up to 20 separate ranges and 10 MiB each, as multi-range "Range"
// headers answered with multipart/byteranges). Several HTTP requests are in flight at once,
// across the URLs and mirrors of the download and within one URL (SetMaxTransfers), over
// connections that stay open for the next request. A server that answers a request for several
// ranges with 416, with the whole file or with fewer ranges than asked gets one range per
// request from then on (what did arrive is used); touching ranges still share one.
//
// After a timeout the same position of that URL is retried with smaller requests and more
// patient timeouts, five levels deep, one request at a time; the levels relax again once enough
// data has arrived from it. Other URLs go on meanwhile. Each callback is called exactly once,
// with its whole range in one buffer, after its last byte has arrived, on the caller's thread;
// the callbacks of one URL come in ascending order of their ranges. A request whose URL fails
// first never gets its call.
//
// Everything runs on the caller's thread: libcurl's multi interface drives the transfers, and
// DownloadAll calls the callbacks in between. The Downloader owns its requests, their buffers
// (each released once its callback returned) and the transfers in flight. It is configured,
// filled, run once and destroyed; it is never copied.
#pragma once

#include "base/ProgressIndicator.h"

#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdint.h>
#include <string>
#include <vector>

namespace ZipSync {

struct Segment;
struct Transfer;
struct TransferSettings;
class ConnectionCache;
class CurlMulti;
class TransferMeter;

// What to fetch: byterange [from, to) of url; to = 0xFFFFFFFF means up to the end of the file.
struct DownloadSource {
    std::string url;
    uint32_t byterange[2] = {0, 0xFFFFFFFFU};

    DownloadSource() = default;
    // The whole file.
    explicit DownloadSource(const std::string& url) : url(url) {}
    DownloadSource(const std::string& url, uint32_t from, uint32_t to) : url(url), byterange{from, to} {}
};

using DownloadCallback = std::function<void(const void* data, uint32_t length)>;

// The proxy of a request, chosen by its URL: "" for a direct connection, or the proxy's URL as
// curl takes it ("http://proxy:3128", "socks4://proxy:1080").
using ProxyLookup = std::function<std::string(const std::string& url)>;

// One row of the timeout ladder: how big an HTTP request may be, and how patient curl is.
// A transfer slower than 1000 bytes per second for lowSpeedTime seconds times out.
struct TimeoutLevel {
    uint32_t maxBytes;
    int maxSegments;
    int lowSpeedTime;
    int connectTimeout;
};
using TimeoutTable = std::array<TimeoutLevel, 5>;

// The ladder the product uses: 10 MiB/20 ranges, 512 KiB, 32 KiB, 4 KiB, and 4 KiB with 60 s.
const TimeoutTable& DefaultTimeoutTable();

// HTTP requests in flight at once by default: enough to hide the round trips of far mirrors
// (see the README's measurements).
static const int kDefaultMaxTransfers = 16;
// A server that takes one range per request costs a round trip per range, and its requests are
// small (an entry or a few touching ones): by default it gets this many times the transfers.
// Such servers are caches, CDN edges and object stores, made for many connections.
static const int kSingleRangeFactor = 4;
// Bytes of the requests in flight at once, all URLs together: enough to keep a fast link busy
// over long round trips, while what a crash or a failing mirror loses stays small (what is in
// flight is fetched again by the next run). A transfer is cut to fit.
static const uint64_t kMaxBytesInFlight = uint64_t(16) << 20;
// The smallest rate limit: every transfer in flight keeps well above the low-speed limit.
static const uint64_t kMinRateLimit = 16384;

class Downloader {
public:
    Downloader();
    ~Downloader();
    Downloader(Downloader&&);
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;
    Downloader& operator=(Downloader&&) = delete;

    // When set, a failing URL is logged and skipped; its unfinished callbacks are never called.
    // "Interrupted by user" is never skipped.
    void SetSilentErrors(bool silent) { _silentErrors = silent; }
    // The URLs skipped so, each with the message of its failure.
    const std::map<std::string, std::string>& SkippedUrls() const { return _skippedUrls; }
    // Copies the text; null removes the user agent.
    void SetUserAgent(const char* userAgent);
    // PEM text of the trusted roots for "https://" URLs; empty means curl's own default.
    void SetCertificateBundle(const std::string& pem);
    // One range per HTTP request (ranges that touch still share one).
    void SetSingleRangeOnly(bool single) { _singleRangeOnly = single; }
    // Requests "https://" URLs as "http://".
    void SetDowngradeHttps(bool downgrade) { _downgradeHttps = downgrade; }
    // Follows redirects (301, 302, 303, 307, 308) to http and https URLs, at most 10 hops. Off by
    // default: a download whose source decides whom to trust (the configuration, a trusted
    // manifest, the installer itself) must come from the server it names. Data checked by its
    // digest afterwards may come from wherever the server sends the client.
    void SetFollowRedirects(bool follow);
    // When set, every request goes through the proxy the lookup names for its URL (a redirect
    // keeps it), and the environment variables (http_proxy, https_proxy, no_proxy) are not
    // read. Unset (the default), curl follows them.
    void SetProxyLookup(const ProxyLookup& lookup);
    // HTTP requests in flight at once, all URLs together (at least 1). By default
    // kDefaultMaxTransfers, and kSingleRangeFactor times as many for URLs that take one range
    // per request.
    void SetMaxTransfers(int count);
    // Bytes per second for all transfers together; 0 (the default) for no limit. Values below
    // kMinRateLimit are raised to it.
    void SetRateLimit(uint64_t bytesPerSecond);
    // Runs the transfers on the cache's connections and leaves them open there for the next
    // downloader of the same cache (ConnectionCache.h). Without one, the connections close when
    // DownloadAll returns.
    void SetConnectionCache(std::shared_ptr<ConnectionCache> cache);
    void SetProgressCallback(const ProgressCallback& callback) { _progressCallback = callback; }
    // Progress with bytes, speed and time left, reported at the same moments as the plain
    // callback; a nonzero answer stops the download like one of the plain callback.
    void SetTransferProgressCallback(const TransferProgressCallback& callback) {
        _transferCallback = callback;
    }

    // Test seam for fuzzing: the parts that header lines (each with its CRLF, as curl delivers
    // them) and a body of a successful answer yield, as [from, end) and bytes, sorted by start;
    // or the ErrorException a transfer would fail with.
    struct ResponsePart {
        uint32_t from, end;
        std::vector<uint8_t> data;
    };
    static std::vector<ResponsePart> ParseResponse(const std::vector<std::string>& headerLines,
                                                   const std::vector<uint8_t>& body);

    // Test seams; the product keeps the defaults. Replaces the timeout ladder, so that tests
    // can run it in seconds.
    void SetTimeoutTable(const TimeoutTable& table);
    // Largest body accepted for a request that runs to the end of its file (default
    // MAX_MANIFEST_SIZE).
    void SetOpenEndedResponseLimit(uint64_t bytes) { _openEndedLimit = bytes; }

    // Registers a request; nothing is fetched yet. The range must have from <= to.
    void EnqueueDownload(const DownloadSource& source, DownloadCallback callback);
    // Performs every request; returns when every callback has been called, or throws
    // ErrorException (see the messages in Downloader.cpp). Called once per Downloader.
    void DownloadAll();

    // Bytes received by HTTP requests that succeeded (timed-out transfers not counted).
    uint64_t TotalBytesDownloaded() const { return _totalBytes; }

private:
    struct DownloadRequest {
        std::string url;
        uint32_t byterange[2];
        DownloadCallback callback;
        // The range's bytes; sized at the first that arrive (pieces of a split request may come
        // in any order). received counts those in place.
        std::vector<uint8_t> buffer;
        uint64_t received = 0;
        uint64_t weight;
        bool complete = false;
    };
    struct SegmentOrder {
        bool operator()(const Segment& a, const Segment& b) const;
    };
    struct UrlState {
        std::vector<int> requestIds; // sorted by byterange start: the order of the callbacks
        size_t delivered = 0;        // requestIds[0, delivered) have had their callbacks
        // Pieces of requests not in any transfer, by start.
        std::set<Segment, SegmentOrder> pending;
        int inFlight = 0;
        int timeoutLevel = 0;
        // This URL's bytes received when it timed out at each level; -1 for none.
        int64_t savedTotals[5] = {-1, -1, -1, -1, -1};
        uint64_t bytesReceived = 0;
        // Bytes of complete requests that wait for an earlier one of this URL.
        uint64_t heldBytes = 0;
        // The server answered a request for several ranges without them: one range per
        // request from then on.
        bool singleRange = false;
        bool failed = false;
    };
    enum class Outcome { Done, TimedOut, SingleRangesNeeded };

    void Prepare();
    void FinishEmptyRequests(UrlState& state);
    void RunTransfers(CurlMulti& multi);
    // The transfers in flight allowed when the next one is for state's URL (null: any URL).
    int EffectiveMaxTransfers(const UrlState* state) const;
    std::map<std::string, UrlState>::iterator NextUrlToStart();
    // Takes the next HTTP request's segments from the URL's pending ones.
    std::vector<Segment> BuildBatch(UrlState& state, uint64_t maxBytes) const;
    void StartTransfer(CurlMulti& multi, UrlState& state, const std::string& url);
    void FinishTransfer(CurlMulti& multi, Transfer& t, int result);
    Outcome CheckTransfer(Transfer& t, int result, long http);
    bool DistributePieces(Transfer& t, UrlState& state);
    void Requeue(UrlState& state, const Segment& segment);
    void SwitchToSingleRanges(UrlState& state, const Transfer& t, const char* why);
    void AfterTimeout(UrlState& state, const Transfer& t);
    void RelaxTimeoutLevel(UrlState& state) const;
    void DeliverCompleted(UrlState& state);
    // Runs f for url; an ErrorException skips the URL when errors are silent (never "Interrupted
    // by user"), and travels on otherwise.
    template <class F> void ForUrl(CurlMulti& multi, const std::string& url, F f);
    void FailUrl(CurlMulti& multi, const std::string& url, const std::string& message);
    void StopAll(CurlMulti& multi);
    int64_t BatchWeight(const std::vector<Segment>& segments) const;
    uint64_t ResponseLimit(const std::vector<std::pair<uint32_t, uint32_t>>& ranges) const;
    double Now() const;
    // Reports progress (at most every few dozen milliseconds unless forced); a nonzero answer
    // raises "Interrupted by user".
    void ReportProgress(bool force);
    TransferProgress CurrentProgress();

    bool _silentErrors = false;
    std::map<std::string, std::string> _skippedUrls;
    bool _singleRangeOnly = false;
    bool _downgradeHttps = false;
    std::unique_ptr<TransferSettings> _settings;
    // Outlives the transfers (declared before them).
    std::shared_ptr<ConnectionCache> _connections;
    // 0: the defaults.
    int _maxTransfers = 0;
    uint64_t _rateLimit = 0;
    ProgressCallback _progressCallback;
    TransferProgressCallback _transferCallback;
    std::vector<DownloadRequest> _requests;
    std::map<std::string, UrlState> _urlStates;
    std::vector<std::unique_ptr<Transfer>> _transfers;
    // Payload bytes of the transfers in flight.
    uint64_t _bytesInFlight = 0;
    // Progress: the weight of the bytes in place so far, and the payload bytes.
    double _doneWeight = 0.0;
    uint64_t _bytesTotal = 0;
    uint64_t _bytesInPlace = 0;
    uint64_t _totalBytes = 0;
    // Body bytes of transfers that ended, whatever their outcome (what the link carried).
    uint64_t _finishedWireBytes = 0;
    std::unique_ptr<TransferMeter> _meter;
    std::chrono::steady_clock::time_point _start;
    double _lastReport = -1.0;
    // The URL that progress names: of the first transfer in flight, or of the last one.
    std::string _shownUrl;
    int _commandCounter = 0;

    TimeoutTable _timeoutTable;
    uint64_t _openEndedLimit;
    // Sum of the weights of all requests, fixed when DownloadAll starts.
    uint64_t _totalWeight = 0;
};

} // namespace ZipSync

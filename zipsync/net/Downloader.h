// Fetches byte ranges of remote files over HTTP or HTTPS.
//
// Callers enqueue any number of requests (a URL, a byte range and a callback) and then run
// them all with one DownloadAll. Requests for the same URL are packed into as few HTTP
// requests as possible (up to 20 separate ranges and 10 MiB each, as multi-range "Range"
// headers answered with multipart/byteranges). After a timeout the same position is retried
// with smaller requests and more patient timeouts, five levels deep; the levels relax again
// once enough data has arrived. Each callback is called exactly once, with its whole range in
// one buffer, after its last byte has arrived; a request whose URL fails first never gets its
// call.
//
// Everything runs on the caller's thread with one libcurl easy handle, which exists only inside
// DownloadAll; transfers are strictly sequential. The Downloader owns its requests, their
// buffers (each released once its callback returned), the response in flight and the handle.
// It is configured, filled, run once and destroyed; it is never copied.
#pragma once

#include "base/ProgressIndicator.h"

#include <array>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdint.h>
#include <string>
#include <vector>

namespace ZipSync {

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
    void SetCertificateBundle(const std::string& pem) { _caBundle = pem; }
    // One range per HTTP request (ranges that touch still share one).
    void SetSingleRangeOnly(bool single) { _singleRangeOnly = single; }
    // Requests "https://" URLs as "http://".
    void SetDowngradeHttps(bool downgrade) { _downgradeHttps = downgrade; }
    void SetProgressCallback(const ProgressCallback& callback) { _progressCallback = callback; }

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
        std::vector<uint8_t> buffer;
        uint64_t weight;
    };
    struct UrlState {
        std::vector<int> requestIds; // sorted by byterange start
        int doneCount = 0;
        uint32_t doneOffset = 0; // bytes of the first unfinished request already received
        int timeoutLevel = 0;
        // The server answered a request for several ranges with the whole file: from then on
        // this URL gets one range per request.
        bool singleRange = false;
    };
    // How a transfer ended when it raised no error.
    enum class Transfer { Done, TimedOut, WholeFileAnswer };
    struct RequestSegment {
        int id;
        uint32_t from, to;
    };
    struct CurlResponse;

    void DownloadAllForUrl(const std::string& url);
    void FinishEmptyRequests(UrlState& state);
    std::vector<RequestSegment> BuildBatch(const UrlState& state, const TimeoutLevel& level,
                                           int& nextIndex) const;
    void RelaxTimeoutLevel(UrlState& state, const int64_t savedTotals[5]) const;
    Transfer PerformRequest(std::string url, const std::vector<RequestSegment>& segments, int lowSpeedTime,
                            int connectTimeout);
    int64_t BatchWeight(const std::vector<RequestSegment>& segments) const;
    uint64_t ResponseLimit(const std::vector<std::pair<uint32_t, uint32_t>>& ranges) const;
    void SetTransferOptions(const std::string& url, const std::string& rangeText, int lowSpeedTime,
                            int connectTimeout);
    // Logs a transfer that failed; returns for a timeout and for a whole-file answer to several
    // ranges, throws for everything else.
    void ReportFailedTransfer(int ret, long http, size_t segmentCount, int64_t batchWeight,
                              const CurlResponse& response);
    // Moves the bytes of parts into the requests of segments; parts may be emptied.
    void DistributeParts(const std::vector<RequestSegment>& segments, std::vector<CurlResponse>& parts,
                         const std::string& url);
    int UpdateProgress();
    static std::vector<CurlResponse> SplitMultipartResponse(const CurlResponse& response);

    // curl's header, body and progress functions (Downloader.cpp).
    friend struct CurlCallbacks;

    bool _silentErrors = false;
    std::map<std::string, std::string> _skippedUrls;
    std::optional<std::string> _userAgent;
    bool _singleRangeOnly = false;
    std::string _caBundle;
    bool _downgradeHttps = false;
    ProgressCallback _progressCallback;
    std::vector<DownloadRequest> _requests;
    std::map<std::string, UrlState> _urlStates;
    std::unique_ptr<CurlResponse> _currentResponse;
    double _doneFraction = 0.0;
    uint64_t _totalBytes = 0;
    std::unique_ptr<void, void (*)(void*)> _curlHandle;
    int _commandCounter = 0;

    TimeoutTable _timeoutTable;
    uint64_t _openEndedLimit;
    // Sum of the weights of all requests, fixed when DownloadAll starts.
    uint64_t _totalWeight = 0;
    // An exception thrown by a callback that curl called, held until curl has returned.
    std::exception_ptr _callbackException;
};

} // namespace ZipSync

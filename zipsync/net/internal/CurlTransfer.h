// The transfers of a download as libcurl runs them: one easy handle per HTTP request in flight,
// all driven by one multi handle on the caller's thread, which keeps the connections to each
// server open for the next request.
//
// The Downloader owns a CurlMulti for the length of DownloadAll and one Transfer per request in
// flight; a Transfer owns its easy handle and its response. curl's header, body and progress
// functions write into the Transfer; nothing is thrown through curl: an exception is kept in
// the Transfer and the transfer is cut.
#pragma once

#include "net/internal/HttpResponse.h"

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdint.h>
#include <string>
#include <vector>

namespace ZipSync {

// A piece of one request: bytes [from, to) of request id.
struct Segment {
    int id;
    uint32_t from, to;
};

// What every transfer of a download is set up with.
struct TransferSettings {
    std::optional<std::string> userAgent;
    // PEM text of the trusted roots; empty for curl's own default. Not copied into curl: the
    // settings outlive every transfer.
    std::string caBundle;
    bool followRedirects = false;
    // Empty: the proxies of the environment, as curl reads them.
    std::function<std::string(const std::string& url)> proxyLookup;
};

// Redirects of a transfer that follows them: at most this many hops, http and https only.
static const int kMaxRedirects = 10;

struct Transfer {
    Transfer();
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // The URL as registered by the caller, and the one requested (after a downgrade).
    std::string url, requestedUrl;
    std::vector<Segment> segments;
    // The timeout level it was started at.
    int level = 0;
    // Bytes of the file it asks for, and its share of the whole download's progress.
    uint64_t payload = 0;
    int64_t weight = 0;
    double weightFraction = 0.0;
    // Several ranges in one request.
    bool multiRange = false;
    HttpResponse response;
    // Body bytes received so far and the fraction of what curl expects.
    uint64_t bytesNow = 0;
    double ratio = 0.0;
    // Thrown inside a curl callback, rethrown once curl has returned.
    std::exception_ptr error;
    std::unique_ptr<void, void (*)(void*)> easy;
};

// Sets the options of one transfer of rangeText from t.requestedUrl on its easy handle: curl's
// header, body and progress functions, the low-speed limit (1000 bytes per second for
// lowSpeedTime seconds), the connect timeout, identity encoding, the user agent, the trusted
// roots and, when wanted, redirects. Proxies come from the settings' lookup when there is one,
// else from curl's own reading of http_proxy, https_proxy and no_proxy. Returns the text of an
// equivalent curl command line (without "-o").
std::string PrepareTransfer(Transfer& t, const std::string& rangeText, int lowSpeedTime, int connectTimeout,
                            const TransferSettings& settings);

// The multi handle: at most maxConnections connections at once, kept open between requests
// (and, in a ConnectionCache, between downloads).
class CurlMulti {
public:
    explicit CurlMulti(int maxConnections);
    ~CurlMulti();
    CurlMulti(const CurlMulti&) = delete;
    CurlMulti& operator=(const CurlMulti&) = delete;

    void SetMaxConnections(int maxConnections);

    void Add(Transfer& t);
    void Remove(Transfer& t);
    // Lets curl do what it can without waiting.
    void Perform();
    // A transfer that has ended (still added), with curl's result; null when none.
    Transfer* NextDone(int& result);
    // Waits up to milliseconds for activity on any transfer.
    void Wait(int milliseconds);

private:
    void* _multi;
};

} // namespace ZipSync

#include "net/internal/CurlTransfer.h"

#include "base/Logging.h"

#include <curl/curl.h>
#include <strings.h>

namespace ZipSync {

static const long kLowSpeedLimit = 1000;

Transfer::Transfer() : easy(curl_easy_init(), curl_easy_cleanup) {
    if (!easy) g_logger->errorf(lcGeneral, "Failed to initialize CURL");
}
Transfer::~Transfer() = default;

namespace {

size_t OnHeaderLine(char* line, size_t size, size_t count, void* self) {
    Transfer& t = *static_cast<Transfer*>(self);
    try {
        t.response.HeaderLine(std::string(line, size * count));
        // Stopping here keeps the whole file from being transferred.
        if (t.response.wholeFileAnswer) return 0;
    } catch (...) {
        t.error = std::current_exception();
        return 0;
    }
    return size * count;
}

size_t OnBodyData(char* data, size_t size, size_t count, void* self) {
    Transfer& t = *static_cast<Transfer*>(self);
    // A body that is not a byte-range answer, or too long, is refused: curl then fails with a
    // write error.
    try {
        if (!t.response.Append(data, size * count)) return 0;
    } catch (...) {
        t.error = std::current_exception();
        return 0;
    }
    return size * count;
}

int OnTransferProgress(void* self, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
    Transfer& t = *static_cast<Transfer*>(self);
    // Counted even without a known total, so that bodies without a length still count.
    if (dlnow > 0) t.bytesNow = uint64_t(dlnow);
    if (dltotal <= 0 || dlnow <= 0) return 0;
    if (dlnow > dltotal) dltotal = dlnow;
    t.ratio = double(dlnow) / double(dltotal);
    return 0;
}

} // namespace

std::string PrepareTransfer(Transfer& t, const std::string& rangeText, int lowSpeedTime, int connectTimeout,
                            const TransferSettings& settings) {
    CURL* curl = t.easy.get();
    const std::string& url = t.requestedUrl;
    std::string command = "curl";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    command += " " + url;
    curl_easy_setopt(curl, CURLOPT_RANGE, rangeText.c_str());
    command += " -r " + rangeText;
    // Ranges must be of the file's own bytes, never of a compressed form of it.
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "identity");
    command += " -H \"Accept-Encoding: identity\"";
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBodyData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &OnHeaderLine);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnTransferProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_PRIVATE, &t);
    // Through a proxy, the answer to CONNECT ("200 Connection established") is no answer to the
    // request.
    curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimit);
    command += " -Y " + std::to_string(kLowSpeedLimit);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, long(lowSpeedTime));
    command += " -y " + std::to_string(lowSpeedTime);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, long(connectTimeout));
    command += " --connect-timeout " + std::to_string(connectTimeout);
    if (settings.followRedirects) {
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, long(kMaxRedirects));
#if LIBCURL_VERSION_NUM >= 0x075500
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, long(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
        command += " -L --max-redirs " + std::to_string(kMaxRedirects) + " --proto-redir =http,https";
    }
    if (settings.proxyLookup) {
        // The lookup decides alone: an empty proxy means none, and an empty list of hosts to
        // reach directly keeps curl from reading no_proxy.
        std::string proxy = settings.proxyLookup(url);
        curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
        curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
        command += proxy.empty() ? " --noproxy \"*\"" : " -x " + proxy;
    }
    if (settings.userAgent) {
        curl_easy_setopt(curl, CURLOPT_USERAGENT, settings.userAgent->c_str());
        command += " -A \"" + *settings.userAgent + "\"";
    }
    // Set for plain http too: a redirect may lead to https.
    if (!settings.caBundle.empty()) {
        curl_blob blob;
        blob.data = const_cast<char*>(settings.caBundle.data());
        blob.len = settings.caBundle.size();
        blob.flags = CURL_BLOB_NOCOPY;
        curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &blob);
        // Schannel (Windows) checks the revocation of every certificate of the chain and fails
        // when it cannot: a private CA publishes no revocation list, and the lists of public
        // ones may be out of reach. Revoked certificates stay refused. Other back ends ignore it.
        curl_easy_setopt(curl, CURLOPT_SSL_OPTIONS, long(CURLSSLOPT_REVOKE_BEST_EFFORT));
    }
    return command;
}

CurlMulti::CurlMulti(int maxConnections) : _multi(curl_multi_init()) {
    if (!_multi) g_logger->errorf(lcGeneral, "Failed to initialize CURL");
    SetMaxConnections(maxConnections);
}

void CurlMulti::SetMaxConnections(int maxConnections) {
    curl_multi_setopt(_multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, long(maxConnections));
    curl_multi_setopt(_multi, CURLMOPT_MAXCONNECTS, long(maxConnections));
}

CurlMulti::~CurlMulti() {
    curl_multi_cleanup(_multi);
}

void CurlMulti::Add(Transfer& t) {
    CURLMcode code = curl_multi_add_handle(_multi, t.easy.get());
    if (code != CURLM_OK)
        g_logger->errorf(lcGeneral, "CURL multi error %d (%s)", int(code), curl_multi_strerror(code));
}

void CurlMulti::Remove(Transfer& t) {
    curl_multi_remove_handle(_multi, t.easy.get());
}

void CurlMulti::Perform() {
    int running = 0;
    CURLMcode code = curl_multi_perform(_multi, &running);
    if (code != CURLM_OK)
        g_logger->errorf(lcGeneral, "CURL multi error %d (%s)", int(code), curl_multi_strerror(code));
}

Transfer* CurlMulti::NextDone(int& result) {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(_multi, &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        Transfer* t = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&t));
        result = int(message->data.result);
        return t;
    }
    return nullptr;
}

void CurlMulti::Wait(int milliseconds) {
    curl_multi_poll(_multi, nullptr, 0, milliseconds, nullptr);
}

} // namespace ZipSync

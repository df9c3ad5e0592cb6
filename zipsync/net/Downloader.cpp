#include "net/Downloader.h"

#include "base/Logging.h"
#include "base/Utils.h"

#include <algorithm>
#include <curl/curl.h>
#include <functional>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <utility>

// Failures raised here, in the order PerformRequest checks them:
//   "Interrupted by user" (lcUserInterrupt), a timeout (warning, retried at the next level),
//   "Repeated timeout on URL %s", "Not found result for URL %s",
//   "Unexpected HTTP return code %d for URL %s" (any status but 200 and 206),
//   "Response with Content-Encoding %s for URL %s (only identity was accepted)",
//   "Response larger than %llu bytes for URL %s", "Response without byteranges for URL %s",
//   "Unexpected CURL error %d on URL %s (%s)" (with curl's description),
//   "Failed to find range in part headers",
//   "Missing chunk %u..%u (%u bytes) after downloading URL %s",
//   "Missing end chunk %zu..%u (%u bytes) after downloading URL %s".

namespace ZipSync {

static const uint32_t kOpenEnd = 0xFFFFFFFFU;
static const uint64_t kOpenEndedWeight = 1048576;
static const uint64_t kWeightExtra = 100;
static const long kLowSpeedLimit = 1000;
// What a response may carry beyond the requested bytes: multipart part headers and the closing
// delimiter take about a hundred bytes per range; this is far more than any server needs.
static const uint64_t kResponseAllowance = 1 << 20;
static const uint64_t kResponseAllowancePerRange = 4096;

struct Downloader::CurlResponse {
    std::string url;
    std::vector<uint8_t> data;
    uint32_t totalSize = kOpenEnd;
    uint32_t from = kOpenEnd, end = kOpenEnd;
    std::string boundary;
    double ratio = 0.0;
    uint64_t bytesNow = 0;
    double weightFraction = 0.0;
    // The body may not grow past this; overLimit records that the transfer was cut for it.
    uint64_t dataLimit = UINT64_MAX;
    bool overLimit = false;
    // Body bytes received, kept or not: a single-range body keeps no more than its range.
    uint64_t received = 0;
    // The request asked for several ranges; status of the last status line seen.
    bool multiRange = false;
    int status = 0;
    // A 200 answer with the whole file to a request for several ranges, stopped at its headers.
    bool wholeFileAnswer = false;
};

const TimeoutTable& DefaultTimeoutTable() {
    static const TimeoutTable table = {{
        {10485760, 20, 10, 10},
        {524288, 1, 10, 10},
        {32768, 1, 10, 30},
        {4096, 1, 10, 30},
        {4096, 1, 60, 60},
    }};
    return table;
}

Downloader::Downloader()
    : _curlHandle(nullptr, curl_easy_cleanup), _timeoutTable(DefaultTimeoutTable()),
      _openEndedLimit(MAX_MANIFEST_SIZE) {}
Downloader::~Downloader() = default;
Downloader::Downloader(Downloader&&) = default;

void Downloader::SetUserAgent(const char* userAgent) {
    if (userAgent)
        _userAgent = std::string(userAgent);
    else
        _userAgent.reset();
}

void Downloader::SetTimeoutTable(const TimeoutTable& table) {
    for (const TimeoutLevel& level : table) {
        // A row that admits nothing would never make progress.
        ZipSyncAssert(level.maxBytes > 0 && level.maxSegments > 0);
    }
    _timeoutTable = table;
}

void Downloader::EnqueueDownload(const DownloadSource& source, DownloadCallback callback) {
    uint32_t from = source.byterange[0], to = source.byterange[1];
    ZipSyncAssert(from <= to);
    DownloadRequest request;
    request.url = source.url;
    request.byterange[0] = from;
    request.byterange[1] = to;
    request.callback = std::move(callback);
    request.weight = (to == kOpenEnd ? kOpenEndedWeight : uint64_t(to - from)) + kWeightExtra;
    _requests.push_back(std::move(request));
}

void Downloader::DownloadAll() {
    if (_progressCallback) _progressCallback(0.0, "Downloading started");
    _curlHandle.reset(curl_easy_init());
    if (!_curlHandle) g_logger->errorf(lcGeneral, "Failed to initialize CURL");

    _totalWeight = 0;
    for (const DownloadRequest& request : _requests) _totalWeight += request.weight;
    for (int id = 0; id < int(_requests.size()); id++) _urlStates[_requests[id].url].requestIds.push_back(id);
    for (auto& entry : _urlStates) {
        std::vector<int>& ids = entry.second.requestIds;
        std::sort(ids.begin(), ids.end(),
                  [this](int a, int b) { return _requests[a].byterange[0] < _requests[b].byterange[0]; });
    }
    for (auto& entry : _urlStates) {
        try {
            DownloadAllForUrl(entry.first);
        } catch (const ErrorException& e) {
            // Silence is for failing servers; the user's wish to stop always goes through.
            if (!_silentErrors || e.code == lcUserInterrupt) throw;
            _skippedUrls[entry.first] = e.what();
        }
    }

    ZipSyncAssert(_curlHandle.get_deleter() == &curl_easy_cleanup);
    _curlHandle.reset();
    if (_progressCallback) _progressCallback(1.0, "Downloading finished");
}

void Downloader::FinishEmptyRequests(UrlState& state) {
    // An empty range has no valid "Range" text and would divide by zero in the weights; its
    // callback needs no data.
    std::vector<int> remaining;
    for (int id : state.requestIds) {
        DownloadRequest& request = _requests[id];
        if (request.byterange[0] != request.byterange[1]) {
            remaining.push_back(id);
            continue;
        }
        _doneFraction += double(request.weight) / double(_totalWeight);
        static const uint8_t kNothing = 0;
        request.callback(&kNothing, 0);
    }
    state.requestIds.swap(remaining);
}

void Downloader::DownloadAllForUrl(const std::string& url) {
    UrlState& state = _urlStates[url];
    FinishEmptyRequests(state);
    int64_t savedTotals[5] = {-1, -1, -1, -1, -1};
    int count = int(state.requestIds.size());
    while (state.doneCount < count) {
        if (state.timeoutLevel >= 5) g_logger->errorf(lcGeneral, "Repeated timeout on URL %s", url.c_str());
        const TimeoutLevel& level = _timeoutTable[state.timeoutLevel];
        int next = state.doneCount;
        std::vector<RequestSegment> batch = BuildBatch(state, level, next);
        ZipSyncAssert(!batch.empty());
        Transfer transfer = PerformRequest(url, batch, level.lowSpeedTime, level.connectTimeout);
        if (transfer == Transfer::WholeFileAnswer) {
            // Some object stores and CDNs answer multi-range requests with the whole file: the
            // same position is asked again, one range per request.
            ZipSyncAssert(!state.singleRange);
            state.singleRange = true;
            g_logger->warningf("Server sent the whole file for a request of several ranges; "
                               "asking for one range per request from URL %s",
                               url.c_str());
        } else if (transfer == Transfer::Done) {
            state.doneCount = next;
            state.doneOffset = 0;
            if (next < count && batch.back().id == state.requestIds[next])
                state.doneOffset = batch.back().to - _requests[batch.back().id].byterange[0];
            RelaxTimeoutLevel(state, savedTotals);
        } else {
            savedTotals[state.timeoutLevel] = int64_t(_totalBytes);
            state.timeoutLevel++;
        }
    }
}

std::vector<Downloader::RequestSegment>
Downloader::BuildBatch(const UrlState& state, const TimeoutLevel& level, int& nextIndex) const {
    std::vector<RequestSegment> batch;
    int maxSegments = _singleRangeOnly || state.singleRange ? 1 : level.maxSegments;
    int count = int(state.requestIds.size());
    int i = state.doneCount;
    uint64_t total = 0;
    int segments = 0;
    uint32_t prevEnd = kOpenEnd;
    while (i < count) {
        int id = state.requestIds[i];
        const DownloadRequest& request = _requests[id];
        uint32_t from = request.byterange[0] + (batch.empty() ? state.doneOffset : 0);
        uint32_t to = request.byterange[1];
        total += to - from;
        if (prevEnd != from) segments++; // a range starting where the previous ended shares its range
        if (segments > maxSegments) break;
        if (total > level.maxBytes) {
            if (!batch.empty()) break;
            if (to != kOpenEnd) {
                // Split: the rest of this request is fetched by the following batches.
                batch.push_back({id, from, from + level.maxBytes});
                break;
            }
            // An open-ended request is never split.
        }
        batch.push_back({id, from, to});
        prevEnd = to;
        i++;
    }
    nextIndex = i;
    return batch;
}

void Downloader::RelaxTimeoutLevel(UrlState& state, const int64_t savedTotals[5]) const {
    // Drop back to the first level whose own byte budget has arrived since the timeout that
    // left it.
    for (int j = 0; j < state.timeoutLevel; j++) {
        if (savedTotals[j] < 0 ||
            int64_t(_totalBytes) - savedTotals[j] > int64_t(_timeoutTable[j].maxBytes)) {
            state.timeoutLevel = j;
            break;
        }
    }
}

// a * b / c in 64-bit integers, truncated; falls back to long double where the product would
// not fit (requests of several GiB).
static int64_t MulDiv(uint64_t a, uint64_t b, uint64_t c) {
    if (b == 0 || a <= UINT64_MAX / b) return int64_t(a * b / c);
    return int64_t((long double)a * (long double)b / (long double)c);
}

int64_t Downloader::BatchWeight(const std::vector<RequestSegment>& segments) const {
    int64_t weight = 0;
    for (const RequestSegment& s : segments) {
        const DownloadRequest& r = _requests[s.id];
        uint32_t from = r.byterange[0], to = r.byterange[1];
        uint64_t length = to - from;
        weight +=
            MulDiv(r.weight, std::min(to, s.to) - from, length) - MulDiv(r.weight, s.from - from, length);
    }
    return weight;
}

uint64_t Downloader::ResponseLimit(const std::vector<std::pair<uint32_t, uint32_t>>& ranges) const {
    uint64_t limit = kResponseAllowance + kResponseAllowancePerRange * ranges.size();
    for (const auto& range : ranges)
        limit += range.second == kOpenEnd ? _openEndedLimit : uint64_t(range.second - range.first);
    return limit;
}

// Parses "first-last/total" of a "Content-Range: bytes " header. Ranges that are not
// first <= last < total < 0xFFFFFFFF are refused, so that no later computation can overflow.
static bool ParseContentRange(const char* text, uint32_t& from, uint32_t& end, uint32_t& total) {
    unsigned long long first, last, size;
    if (sscanf(text, "%llu-%llu/%llu", &first, &last, &size) != 3) return false;
    if (first > last || last >= size || size >= kOpenEnd) return false;
    from = uint32_t(first);
    end = uint32_t(last + 1);
    total = uint32_t(size);
    return true;
}

static bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t length = strlen(prefix);
    return text.size() >= length && strncasecmp(text.c_str(), prefix, length) == 0;
}

static const char kContentRangePrefix[] = "Content-Range: bytes ";
static const char kMultipartPrefix[] = "Content-Type: multipart/byteranges; boundary=";
static const char kContentEncodingPrefix[] = "Content-Encoding:";

// Functions that curl calls during a transfer. Nothing may be thrown through curl's C frames:
// an exception is kept in _callbackException, the transfer is aborted, and PerformRequest
// rethrows it once curl has returned.
struct CurlCallbacks {
    static size_t OnHeaderLine(char* line, size_t size, size_t count, void* self) {
        Downloader* downloader = static_cast<Downloader*>(self);
        try {
            Downloader::CurlResponse& response = *downloader->_currentResponse;
            HeaderLine(response, std::string(line, size * count));
            // Stopping here keeps the whole file from being transferred.
            if (response.wholeFileAnswer) return 0;
        } catch (...) {
            downloader->_callbackException = std::current_exception();
            return 0;
        }
        return size * count;
    }

    static void HeaderLine(Downloader::CurlResponse& response, const std::string& line) {
        int status;
        if (StartsWithNoCase(line, "HTTP/") && sscanf(line.c_str(), "HTTP/%*s %d", &status) == 1) {
            // A new answer begins (after a 100 Continue, say): nothing seen so far belongs to it.
            response.status = status;
            response.from = response.end = response.totalSize = kOpenEnd;
            response.boundary.clear();
        }
        if (line == "\r\n" || line == "\n") {
            response.wholeFileAnswer = response.multiRange && response.status == 200 &&
                                       response.from == response.end && response.boundary.empty();
            return;
        }
        if (StartsWithNoCase(line, kContentEncodingPrefix)) {
            size_t begin = line.find_first_not_of(" \t", strlen(kContentEncodingPrefix));
            size_t stop = line.find_last_not_of(" \t\r\n");
            // At once: curl would otherwise set about decoding the body.
            if (begin != std::string::npos && stop != std::string::npos && stop >= begin)
                CheckContentEncoding(response, line.substr(begin, stop + 1 - begin));
        }
        if (StartsWithNoCase(line, kContentRangePrefix)) {
            uint32_t from, end, total;
            if (ParseContentRange(line.c_str() + strlen(kContentRangePrefix), from, end, total)) {
                response.from = from;
                response.end = end;
                response.totalSize = total;
            }
        }
        if (StartsWithNoCase(line, kMultipartPrefix)) {
            // The token is kept whole, however long; a quoted one loses its quotes.
            size_t begin = line.find_first_not_of(" \t", strlen(kMultipartPrefix));
            if (begin == std::string::npos) return;
            size_t stop = line.find_first_of(" \t\r\n", begin);
            std::string token =
                line.substr(begin, stop == std::string::npos ? std::string::npos : stop - begin);
            if (token.size() >= 2 && token.front() == '"' && token.back() == '"')
                token = token.substr(1, token.size() - 2);
            if (!token.empty()) response.boundary = "\r\n--" + token;
        }
    }

    // Byte ranges of an encoded body are ranges of the encoded bytes, which are not the file's:
    // the answer is useless, and would only fail later with a misleading message. Identity is
    // asked for (SetTransferOptions); a server that encodes all the same is named.
    static void CheckContentEncoding(const Downloader::CurlResponse& response, const std::string& encoding) {
        // An error page may come encoded; its status tells what went wrong.
        bool success = response.status == 200 || response.status == 206;
        if (success && strcasecmp(encoding.c_str(), "identity") != 0)
            g_logger->errorf(lcGeneral,
                             "Response with Content-Encoding %s for URL %s (only identity was accepted)",
                             EscapeControlChars(encoding).c_str(), response.url.c_str());
    }

    static size_t OnBodyData(char* data, size_t size, size_t count, void* self) {
        Downloader* downloader = static_cast<Downloader*>(self);
        Downloader::CurlResponse& response = *downloader->_currentResponse;
        // A body that is not a byte-range answer is refused (curl then fails with a write error).
        if (response.from == response.end && response.boundary.empty()) return 0;
        size_t length = size * count;
        response.received += length;
        if (response.received > response.dataLimit) {
            response.overLimit = true;
            return 0;
        }
        try {
            Store(response, data, length);
        } catch (...) {
            downloader->_callbackException = std::current_exception();
            return 0;
        }
        return length;
    }

    // Appends body bytes to the response without ever holding twice its size: a single-range
    // body gets room for its announced range once and nothing beyond it is kept (the range
    // tells what belongs to it); a multipart body grows geometrically up to the limit.
    static void Store(Downloader::CurlResponse& response, const char* data, size_t length) {
        std::vector<uint8_t>& body = response.data;
        if (response.boundary.empty()) {
            uint64_t wanted = std::min<uint64_t>(response.end - response.from, response.dataLimit);
            if (body.capacity() < wanted) body.reserve(size_t(wanted));
            length = size_t(std::min<uint64_t>(length, wanted - std::min<uint64_t>(wanted, body.size())));
        } else if (body.size() + length > body.capacity()) {
            uint64_t grown = std::max<uint64_t>(body.size() + length, 2 * uint64_t(body.capacity()));
            body.reserve(size_t(std::min<uint64_t>(grown, response.dataLimit)));
        }
        body.insert(body.end(), data, data + length);
    }

    static int OnTransferProgress(void* self, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
        Downloader* downloader = static_cast<Downloader*>(self);
        Downloader::CurlResponse& response = *downloader->_currentResponse;
        // Counted even without a known total, so that bodies without a length still count.
        if (dlnow > 0) response.bytesNow = uint64_t(dlnow);
        if (dltotal <= 0 || dlnow <= 0) return 0;
        if (dlnow > dltotal) dltotal = dlnow;
        response.ratio = double(dlnow) / double(dltotal);
        try {
            return downloader->UpdateProgress();
        } catch (...) {
            downloader->_callbackException = std::current_exception();
            return 1;
        }
    }
};

// Positions of every occurrence of pattern in data.
static std::vector<size_t> FindAll(const std::vector<uint8_t>& data, const std::string& pattern) {
    std::vector<size_t> positions;
    if (pattern.empty()) return positions;
    std::boyer_moore_horspool_searcher<std::string::const_iterator> searcher(pattern.begin(), pattern.end());
    const char* begin = reinterpret_cast<const char*>(data.data());
    const char* end = begin + data.size();
    const char* from = begin;
    while (true) {
        const char* hit = std::search(from, end, searcher);
        if (hit == end) break;
        positions.push_back(size_t(hit - begin));
        from = hit + 1;
    }
    return positions;
}

// Position of the first CRLF in text[from, limit), or npos.
static size_t FindLineEnd(const char* text, size_t from, size_t limit) {
    for (size_t i = from; i + 1 < limit; i++)
        if (text[i] == '\r' && text[i + 1] == '\n') return i;
    return std::string::npos;
}

std::vector<Downloader::CurlResponse> Downloader::SplitMultipartResponse(const CurlResponse& response) {
    const std::vector<uint8_t>& body = response.data;
    const char* text = reinterpret_cast<const char*>(body.data());
    std::vector<size_t> positions = FindAll(body, response.boundary);
    // The first delimiter line may open the body without the CRLF in front of it (RFC 2046;
    // lighttpd and Go's servers send it so): it counts as a boundary just before the body.
    const size_t kOpening = SIZE_MAX;
    size_t bare = response.boundary.size() - 2;
    if (body.size() >= bare && memcmp(text, response.boundary.data() + 2, bare) == 0)
        positions.insert(positions.begin(), kOpening);
    std::vector<CurlResponse> parts;
    for (size_t b = 1; b < positions.size(); b++) {
        // Each part starts after its delimiter line and the CRLF that ends it.
        size_t pos = (positions[b - 1] == kOpening ? bare : positions[b - 1] + response.boundary.size()) + 2;
        size_t limit = positions[b];
        CurlResponse part;
        bool headersEnded = false;
        // Header lines end with CRLF; the first empty line ends them. Nothing past the next
        // boundary belongs to this part.
        while (pos + 2 <= limit) {
            size_t lineEnd = FindLineEnd(text, pos, limit);
            if (lineEnd == std::string::npos) break;
            if (lineEnd == pos) {
                headersEnded = true;
                pos += 2;
                break;
            }
            std::string line(text + pos, lineEnd - pos);
            uint32_t from, end, total;
            if (StartsWithNoCase(line, kContentRangePrefix) &&
                ParseContentRange(line.c_str() + strlen(kContentRangePrefix), from, end, total)) {
                part.from = from;
                part.end = end;
            }
            pos = lineEnd + 2;
        }
        if (!headersEnded || part.from == part.end)
            g_logger->errorf(lcGeneral, "Failed to find range in part headers");
        part.data.assign(body.begin() + pos, body.begin() + limit);
        parts.push_back(std::move(part));
    }
    return parts;
}

std::vector<Downloader::ResponsePart> Downloader::ParseResponse(const std::vector<std::string>& headerLines,
                                                                const std::vector<uint8_t>& body) {
    CurlResponse response;
    for (const std::string& line : headerLines) CurlCallbacks::HeaderLine(response, line);
    std::vector<CurlResponse> parts;
    if (!response.boundary.empty()) {
        response.data = body;
        parts = SplitMultipartResponse(response);
    } else if (response.from != response.end) {
        CurlCallbacks::Store(response, reinterpret_cast<const char*>(body.data()), body.size());
        parts.push_back(std::move(response));
    } else {
        g_logger->errorf(lcGeneral, "Response without byteranges for URL %s", "(parsed)");
    }
    std::sort(parts.begin(), parts.end(),
              [](const CurlResponse& a, const CurlResponse& b) { return a.from < b.from; });
    std::vector<ResponsePart> result;
    for (CurlResponse& part : parts) result.push_back({part.from, part.end, std::move(part.data)});
    return result;
}

static std::string RangeText(const std::vector<std::pair<uint32_t, uint32_t>>& ranges) {
    std::string text;
    for (const auto& range : ranges) {
        if (!text.empty()) text += ',';
        text += std::to_string(range.first) + '-';
        if (range.second != kOpenEnd) text += std::to_string(range.second - 1);
    }
    return text;
}

Downloader::Transfer Downloader::PerformRequest(std::string url, const std::vector<RequestSegment>& segments,
                                                int lowSpeedTime, int connectTimeout) {
    if (segments.empty()) return Transfer::Done;
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    for (const RequestSegment& s : segments) {
        if (!ranges.empty() && s.from <= ranges.back().second)
            ranges.back().second = std::max(ranges.back().second, s.to);
        else
            ranges.push_back({s.from, s.to});
    }
    int64_t batchWeight = BatchWeight(segments);
    double weightFraction = double(batchWeight) / double(_totalWeight);

    if (_downgradeHttps && strncasecmp(url.c_str(), "https://", 8) == 0) {
        url = "http://" + url.substr(8);
        g_logger->infof("HTTPS downgraded: %s", url.c_str());
    }
    _currentResponse.reset(new CurlResponse());
    _currentResponse->url = url;
    _currentResponse->weightFraction = weightFraction;
    _currentResponse->dataLimit = ResponseLimit(ranges);
    _currentResponse->multiRange = ranges.size() > 1;
    SetTransferOptions(url, RangeText(ranges), lowSpeedTime, connectTimeout);

    UpdateProgress();
    _callbackException = nullptr;
    CURLcode ret = curl_easy_perform(_curlHandle.get());
    long http = 0;
    if (curl_easy_getinfo(_curlHandle.get(), CURLINFO_RESPONSE_CODE, &http) != CURLE_OK) http = 0;
    if (_callbackException) {
        _currentResponse.reset();
        std::rethrow_exception(std::exchange(_callbackException, nullptr));
    }

    DownloadRequest& first = _requests[segments[0].id];
    uint32_t totalSize = _currentResponse->totalSize;
    if (totalSize != kOpenEnd && first.byterange[1] == kOpenEnd && totalSize >= first.byterange[0])
        first.byterange[1] = totalSize; // the file size is now known

    if (ret != CURLE_OK || (http != 200 && http != 206)) {
        std::unique_ptr<CurlResponse> failed = std::move(_currentResponse);
        ReportFailedTransfer(ret, http, segments.size(), batchWeight, *failed);
        // The caller retries: after a timeout at the next level, after a whole-file answer with
        // single ranges.
        return failed->wholeFileAnswer ? Transfer::WholeFileAnswer : Transfer::TimedOut;
    }

    _currentResponse->ratio = 1.0;
    UpdateProgress();
    std::unique_ptr<CurlResponse> response = std::move(_currentResponse);
    _totalBytes += response->bytesNow;
    _doneFraction += response->weightFraction;

    std::vector<CurlResponse> parts;
    if (!response->boundary.empty())
        parts = SplitMultipartResponse(*response);
    else
        parts.push_back(std::move(*response));
    response.reset();
    std::sort(parts.begin(), parts.end(),
              [](const CurlResponse& a, const CurlResponse& b) { return a.from < b.from; });
    DistributeParts(segments, parts, url);
    return Transfer::Done;
}

void Downloader::ReportFailedTransfer(int ret, long http, size_t segmentCount, int64_t batchWeight,
                                      const CurlResponse& response) {
    const char* url = response.url.c_str();
    g_logger->debugf("[curl-res] ret:%d http:%d", ret, int(http));
    if (ret == CURLE_ABORTED_BY_CALLBACK) g_logger->errorf(lcUserInterrupt, "Interrupted by user");
    if (ret == CURLE_OPERATION_TIMEDOUT) {
        g_logger->warningf(lcDownloadTimeout,
                           "Timeout for request with %d segments of total size %lld on URL %s",
                           int(segmentCount), (long long)batchWeight, url);
        return;
    }
    if (http == 404) g_logger->errorf(lcGeneral, "Not found result for URL %s", url);
    // An error status comes first: its body (an error page) is refused as a body, but the status
    // is what tells the user what went wrong.
    if (http != 0 && http != 200 && http != 206)
        g_logger->errorf(lcGeneral, "Unexpected HTTP return code %d for URL %s", int(http), url);
    if (response.wholeFileAnswer && ret == CURLE_WRITE_ERROR) return;
    if (ret == CURLE_WRITE_ERROR) {
        if (response.overLimit)
            g_logger->errorf(lcGeneral, "Response larger than %llu bytes for URL %s",
                             (unsigned long long)response.dataLimit, url);
        g_logger->errorf(lcGeneral, "Response without byteranges for URL %s", url);
    }
    if (ret != CURLE_OK)
        g_logger->errorf(lcGeneral, "Unexpected CURL error %d on URL %s (%s)", ret, url,
                         curl_easy_strerror(CURLcode(ret)));
    g_logger->errorf(lcGeneral, "Unexpected HTTP return code %d for URL %s", int(http), url);
}

void Downloader::SetTransferOptions(const std::string& url, const std::string& rangeText, int lowSpeedTime,
                                    int connectTimeout) {
    CURL* curl = _curlHandle.get();
    std::string command = "curl";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    command += " " + url;
    curl_easy_setopt(curl, CURLOPT_RANGE, rangeText.c_str());
    command += " -r " + rangeText;
    // Ranges must be of the file's own bytes, never of a compressed form of it.
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "identity");
    command += " -H \"Accept-Encoding: identity\"";
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CurlCallbacks::OnBodyData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &CurlCallbacks::OnHeaderLine);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &CurlCallbacks::OnTransferProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimit);
    command += " -Y " + std::to_string(kLowSpeedLimit);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, long(lowSpeedTime));
    command += " -y " + std::to_string(lowSpeedTime);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, long(connectTimeout));
    command += " --connect-timeout " + std::to_string(connectTimeout);
    if (_userAgent) {
        curl_easy_setopt(curl, CURLOPT_USERAGENT, _userAgent->c_str());
        command += " -A \"" + *_userAgent + "\"";
    }
    if (strncasecmp(url.c_str(), "https://", 8) == 0 && !_caBundle.empty()) {
        // Not copied by curl: the bundle text lives as long as this Downloader.
        curl_blob blob;
        blob.data = const_cast<char*>(_caBundle.data());
        blob.len = _caBundle.size();
        blob.flags = CURL_BLOB_NOCOPY;
        curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &blob);
    }
    command += " -o out" + std::to_string(_commandCounter++) + ".bin";
    g_logger->debugf("[curl-cmd] %s", command.c_str());
}

void Downloader::DistributeParts(const std::vector<RequestSegment>& segments,
                                 std::vector<CurlResponse>& parts, const std::string& url) {
    for (const RequestSegment& s : segments) {
        DownloadRequest& r = _requests[s.id];
        uint32_t rFrom = r.byterange[0], rTo = r.byterange[1];
        // One request answered by one part that holds exactly its range: the part's bytes
        // become the request's without a copy, which matters for big whole files.
        if (segments.size() == 1 && parts.size() == 1 && r.buffer.empty() && parts[0].from == rFrom &&
            (rTo == kOpenEnd || parts[0].data.size() == uint64_t(rTo - rFrom)) &&
            parts[0].end - parts[0].from == parts[0].data.size())
            r.buffer.swap(parts[0].data);
        for (const CurlResponse& p : parts) {
            // A part may carry fewer bytes than its "Content-Range" claims; only what is
            // really there counts.
            uint32_t pEnd = p.from + uint32_t(std::min<uint64_t>(p.end - p.from, p.data.size()));
            uint32_t k = rFrom + uint32_t(r.buffer.size()); // the next byte r needs
            uint32_t j = std::max(k, p.from);
            uint32_t l = std::min(pEnd, rTo);
            if (l <= j) continue;
            if (j != k)
                g_logger->errorf(lcGeneral, "Missing chunk %u..%u (%u bytes) after downloading URL %s", k, j,
                                 j - k, url.c_str());
            const uint8_t* bytes = p.data.data() + (j - p.from);
            r.buffer.insert(r.buffer.end(), bytes, bytes + (l - j));
        }
        if (s.to < rTo) continue; // a split request keeps collecting in the next batch
        if (rTo != kOpenEnd && r.buffer.size() != rTo - rFrom) {
            g_logger->errorf(lcGeneral, "Missing end chunk %zu..%u (%u bytes) after downloading URL %s",
                             r.buffer.size(), rTo - rFrom, uint32_t(rTo - rFrom - r.buffer.size()),
                             url.c_str());
        }
        std::vector<uint8_t> data;
        data.swap(r.buffer); // released once the callback returns
        r.callback(data.data(), uint32_t(data.size()));
    }
}

int Downloader::UpdateProgress() {
    char comment[256];
    double value = _doneFraction;
    if (_currentResponse) {
        // Long URLs keep their end, which names the file.
        const std::string& url = _currentResponse->url;
        const size_t kShown = sizeof(comment) - 20;
        if (url.size() <= kShown)
            snprintf(comment, sizeof(comment), "Downloading \"%s\"...", url.c_str());
        else
            snprintf(comment, sizeof(comment), "Downloading \"...%s\"...",
                     url.c_str() + url.size() - (kShown - 3));
        value += _currentResponse->weightFraction * _currentResponse->ratio;
    } else {
        snprintf(comment, sizeof(comment), "Downloading...");
    }
    if (!_progressCallback) return 0;
    return _progressCallback(value, comment);
}

} // namespace ZipSync

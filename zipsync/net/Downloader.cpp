#include "net/Downloader.h"

#include "base/Logging.h"
#include "base/Utils.h"
#include "net/ConnectionCache.h"
#include "net/internal/CurlTransfer.h"
#include "net/internal/HttpResponse.h"
#include "net/internal/TransferMeter.h"

#include <algorithm>
#include <curl/curl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <thread>
#include <utility>

// Failures raised here (the URL is the one requested, after a downgrade):
//   "Interrupted by user" (lcUserInterrupt), a timeout (warning, retried at the next level),
//   "Repeated timeout on URL %s" (the URL as registered), "Not found result for URL %s",
//   "Unexpected HTTP return code %d for URL %s" (any status but 200 and 206, and 416 to a
//   single range), "Response with Content-Encoding %s for URL %s (only identity was accepted)",
//   "Response larger than %llu bytes for URL %s", "Response without byteranges for URL %s",
//   "Too many redirects (more than %d) for URL %s",
//   "Redirect to a URL that is neither http nor https for URL %s",
//   "Unexpected CURL error %d on URL %s (%s)" (with curl's description),
//   "Failed to find range in part headers",
//   and for an answer to one range that lacks some of it:
//   "Missing chunk %u..%u (%u bytes) after downloading URL %s",
//   "Missing end chunk %zu..%u (%u bytes) after downloading URL %s".
// An answer to several ranges that lacks some of them (416, the whole file, fewer parts, short
// parts) is no failure: the URL gets one range per request, and what is missing is asked again.

namespace ZipSync {

static const uint64_t kOpenEndedWeight = 1048576;
static const uint64_t kWeightExtra = 100;
// What a response may carry beyond the requested bytes: multipart part headers and the closing
// delimiter take about a hundred bytes per range; this is far more than any server needs.
static const uint64_t kResponseAllowance = 1 << 20;
static const uint64_t kResponseAllowancePerRange = 4096;
// Complete requests of one URL that wait for an earlier one: beyond this no further transfer of
// that URL starts until the earlier one has arrived.
static const uint64_t kMaxHeldBytes = uint64_t(64) << 20;
// With a rate limit every transfer in flight gets at least this share of it.
static const uint64_t kMinShareOfRate = 32768;
// Progress is reported at least this often (seconds) while transfers run, and whenever one
// starts or ends.
static const double kReportInterval = 0.05;
static const int kWaitMilliseconds = 50;
// A further transfer starts only when the bytes in flight leave it at least this much.
static const uint64_t kMinRoom = 1 << 20;

bool Downloader::SegmentOrder::operator()(const Segment& a, const Segment& b) const {
    return a.from != b.from ? a.from < b.from : a.id < b.id;
}

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
    : _settings(new TransferSettings()), _timeoutTable(DefaultTimeoutTable()),
      _openEndedLimit(MAX_MANIFEST_SIZE) {}
Downloader::~Downloader() = default;
Downloader::Downloader(Downloader&&) = default;

void Downloader::SetUserAgent(const char* userAgent) {
    if (userAgent)
        _settings->userAgent = std::string(userAgent);
    else
        _settings->userAgent.reset();
}

void Downloader::SetCertificateBundle(const std::string& pem) {
    _settings->caBundle = pem;
}

void Downloader::SetProxyLookup(const ProxyLookup& lookup) {
    _settings->proxyLookup = lookup;
}

void Downloader::SetFollowRedirects(bool follow) {
    _settings->followRedirects = follow;
}

void Downloader::SetConnectionCache(std::shared_ptr<ConnectionCache> cache) {
    _connections = std::move(cache);
}

void Downloader::SetMaxTransfers(int count) {
    _maxTransfers = std::max(1, count);
}

void Downloader::SetRateLimit(uint64_t bytesPerSecond) {
    _rateLimit = bytesPerSecond == 0 ? 0 : std::max(bytesPerSecond, kMinRateLimit);
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

double Downloader::Now() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - _start).count();
}

void Downloader::DownloadAll() {
    _start = std::chrono::steady_clock::now();
    _meter.reset(new TransferMeter(_rateLimit));
    Prepare();
    if (_progressCallback) _progressCallback(0.0, "Downloading started");
    if (_transferCallback) {
        TransferProgress started = CurrentProgress();
        started.ratio = 0.0;
        started.comment = "Downloading started";
        _transferCallback(started);
    }
    if (_connections) {
        ConnectionCache& cache = *_connections;
        ZipSyncAssert(!cache._inUse);
        cache._inUse = true;
        struct Release {
            ConnectionCache& cache;
            ~Release() { cache._inUse = false; }
        } release{cache};
        cache._multi->SetMaxConnections(EffectiveMaxTransfers(nullptr));
        RunTransfers(*cache._multi);
    } else {
        CurlMulti multi(EffectiveMaxTransfers(nullptr));
        RunTransfers(multi);
    }
    _lastReport = Now();
    if (_transferCallback) {
        TransferProgress done = CurrentProgress();
        done.ratio = 1.0;
        done.comment = "Downloading finished";
        _transferCallback(done);
    }
    if (_progressCallback) _progressCallback(1.0, "Downloading finished");
}

void Downloader::Prepare() {
    _totalWeight = 0;
    for (const DownloadRequest& request : _requests) _totalWeight += request.weight;
    for (int id = 0; id < int(_requests.size()); id++) _urlStates[_requests[id].url].requestIds.push_back(id);
    for (auto& entry : _urlStates) {
        std::vector<int>& ids = entry.second.requestIds;
        std::stable_sort(ids.begin(), ids.end(), [this](int a, int b) {
            return _requests[a].byterange[0] < _requests[b].byterange[0];
        });
        FinishEmptyRequests(entry.second);
    }
}

void Downloader::FinishEmptyRequests(UrlState& state) {
    // An empty range has no valid "Range" text and would divide by zero in the weights; it is
    // complete before anything is fetched.
    for (int id : state.requestIds) {
        DownloadRequest& request = _requests[id];
        uint32_t from = request.byterange[0], to = request.byterange[1];
        if (from == to) {
            request.complete = true;
            _doneWeight += double(request.weight);
            continue;
        }
        state.pending.insert(Segment{id, from, to});
        if (to != kOpenEnd) _bytesTotal += to - from;
    }
}

int Downloader::EffectiveMaxTransfers(const UrlState* state) const {
    bool single = _singleRangeOnly || !state || state->singleRange;
    uint64_t count = _maxTransfers ? _maxTransfers : kDefaultMaxTransfers * (single ? kSingleRangeFactor : 1);
    if (_rateLimit) count = std::max<uint64_t>(1, std::min<uint64_t>(count, _rateLimit / kMinShareOfRate));
    return int(count);
}

template <class F> void Downloader::ForUrl(CurlMulti& multi, const std::string& url, F f) {
    try {
        f();
    } catch (const ErrorException& e) {
        // Silence is for failing servers; the user's wish to stop always goes through.
        if (!_silentErrors || e.code == lcUserInterrupt) throw;
        FailUrl(multi, url, e.what());
    }
}

void Downloader::RunTransfers(CurlMulti& multi) {
    try {
        for (auto& entry : _urlStates) ForUrl(multi, entry.first, [&] { DeliverCompleted(entry.second); });
        bool changed = false;
        while (true) {
            while (_transfers.empty() || _bytesInFlight + kMinRoom <= kMaxBytesInFlight) {
                auto next = NextUrlToStart();
                if (next == _urlStates.end() ||
                    int(_transfers.size()) >= EffectiveMaxTransfers(&next->second))
                    break;
                ForUrl(multi, next->first, [&] { StartTransfer(multi, next->second, next->first); });
                changed = true;
            }
            if (changed || !_transfers.empty()) ReportProgress(changed);
            if (_transfers.empty()) break;
            // Over the rate limit nothing is read: the servers wait until the sockets drain.
            double pause = _meter->PauseNeeded();
            if (pause > 0)
                std::this_thread::sleep_for(std::chrono::duration<double>(std::min(pause, 0.05)));
            else
                multi.Perform();
            changed = false;
            int result = 0;
            while (Transfer* t = multi.NextDone(result)) {
                FinishTransfer(multi, *t, result);
                changed = true;
            }
            uint64_t wire = _finishedWireBytes;
            for (const auto& t : _transfers) wire += t->bytesNow;
            _meter->Record(wire, Now());
            if (!changed && pause <= 0) multi.Wait(kWaitMilliseconds);
        }
    } catch (...) {
        StopAll(multi);
        throw;
    }
}

std::map<std::string, Downloader::UrlState>::iterator Downloader::NextUrlToStart() {
    // The URL with the fewest transfers in flight, so that the transfers spread over the files
    // and mirrors; in URL order among equals.
    auto best = _urlStates.end();
    for (auto it = _urlStates.begin(); it != _urlStates.end(); ++it) {
        const UrlState& state = it->second;
        if (state.failed || state.pending.empty()) continue;
        // After a timeout the URL is asked one request at a time until it has recovered.
        if (state.inFlight > 0 && (state.timeoutLevel > 0 || state.heldBytes >= kMaxHeldBytes)) continue;
        if (best == _urlStates.end() || state.inFlight < best->second.inFlight) best = it;
    }
    return best;
}

std::vector<Segment> Downloader::BuildBatch(UrlState& state, uint64_t maxBytes) const {
    const TimeoutLevel& level = _timeoutTable[state.timeoutLevel];
    int maxSegments = _singleRangeOnly || state.singleRange ? 1 : level.maxSegments;
    std::vector<Segment> batch;
    uint64_t total = 0;
    int segments = 0;
    uint32_t prevEnd = kOpenEnd;
    while (!state.pending.empty()) {
        Segment s = *state.pending.begin();
        total += s.to - s.from;
        if (prevEnd != s.from) segments++; // a range starting where the previous ended shares its range
        if (segments > maxSegments) break;
        if (total > maxBytes && !batch.empty()) break;
        state.pending.erase(state.pending.begin());
        if (total > maxBytes && s.to != kOpenEnd) {
            // Split: the rest of this request is fetched by later transfers.
            state.pending.insert(Segment{s.id, s.from + uint32_t(maxBytes), s.to});
            batch.push_back(Segment{s.id, s.from, s.from + uint32_t(maxBytes)});
            break;
        }
        // An open-ended request is never split, and nothing follows it.
        batch.push_back(s);
        prevEnd = s.to;
        if (s.to == kOpenEnd || total > maxBytes) break;
    }
    return batch;
}

// a * b / c in 64-bit integers, truncated; falls back to long double where the product would
// not fit (requests of several GiB).
static int64_t MulDiv(uint64_t a, uint64_t b, uint64_t c) {
    if (b == 0 || a <= UINT64_MAX / b) return int64_t(a * b / c);
    return int64_t((long double)a * (long double)b / (long double)c);
}

int64_t Downloader::BatchWeight(const std::vector<Segment>& segments) const {
    int64_t weight = 0;
    for (const Segment& s : segments) {
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

static std::string RangeText(const std::vector<std::pair<uint32_t, uint32_t>>& ranges) {
    std::string text;
    for (const auto& range : ranges) {
        if (!text.empty()) text += ',';
        text += std::to_string(range.first) + '-';
        if (range.second != kOpenEnd) text += std::to_string(range.second - 1);
    }
    return text;
}

void Downloader::StartTransfer(CurlMulti& multi, UrlState& state, const std::string& url) {
    if (state.timeoutLevel >= 5) g_logger->errorf(lcGeneral, "Repeated timeout on URL %s", url.c_str());
    std::unique_ptr<Transfer> t(new Transfer());
    t->url = url;
    t->level = state.timeoutLevel;
    // The row's size, cut to what the bytes in flight leave.
    uint64_t room = _bytesInFlight < kMaxBytesInFlight ? kMaxBytesInFlight - _bytesInFlight : 0;
    uint64_t maxBytes =
        std::min<uint64_t>(_timeoutTable[t->level].maxBytes, std::max<uint64_t>(room, kMinRoom));
    t->segments = BuildBatch(state, maxBytes);
    ZipSyncAssert(!t->segments.empty());
    // Touching and overlapping segments (they come by start) share one range.
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    for (const Segment& s : t->segments) {
        if (!ranges.empty() && s.from <= ranges.back().second)
            ranges.back().second = std::max(ranges.back().second, s.to);
        else
            ranges.push_back({s.from, s.to});
        if (s.to != kOpenEnd) t->payload += s.to - s.from;
    }
    t->multiRange = ranges.size() > 1;
    t->weight = BatchWeight(t->segments);
    t->weightFraction = double(t->weight) / double(_totalWeight);
    t->requestedUrl = url;
    if (_downgradeHttps && strncasecmp(url.c_str(), "https://", 8) == 0) {
        t->requestedUrl = "http://" + url.substr(8);
        g_logger->infof("HTTPS downgraded: %s", t->requestedUrl.c_str());
    }
    t->response.url = t->requestedUrl;
    t->response.dataLimit = ResponseLimit(ranges);
    t->response.multiRange = t->multiRange;
    const TimeoutLevel& level = _timeoutTable[t->level];
    std::string command =
        PrepareTransfer(*t, RangeText(ranges), level.lowSpeedTime, level.connectTimeout, *_settings);
    command += " -o out" + std::to_string(_commandCounter++) + ".bin";
    g_logger->debugf("[curl-cmd] %s", command.c_str());
    multi.Add(*t);
    state.inFlight++;
    _bytesInFlight += t->payload;
    _transfers.push_back(std::move(t));
}

void Downloader::FinishTransfer(CurlMulti& multi, Transfer& t, int result) {
    long http = 0;
    if (curl_easy_getinfo(t.easy.get(), CURLINFO_RESPONSE_CODE, &http) != CURLE_OK) http = 0;
    multi.Remove(t);
    auto owned = std::find_if(_transfers.begin(), _transfers.end(),
                              [&t](const std::unique_ptr<Transfer>& p) { return p.get() == &t; });
    ZipSyncAssert(owned != _transfers.end());
    std::unique_ptr<Transfer> transfer = std::move(*owned);
    _transfers.erase(owned);
    _finishedWireBytes += t.bytesNow;
    _bytesInFlight -= t.payload;
    UrlState& state = _urlStates[t.url];
    state.inFlight--;
    ForUrl(multi, t.url, [&] {
        if (t.error) std::rethrow_exception(std::exchange(t.error, nullptr));
        switch (CheckTransfer(t, result, http)) {
        case Outcome::TimedOut:
            AfterTimeout(state, t);
            break;
        case Outcome::SingleRangesNeeded:
            SwitchToSingleRanges(state, t, http == 416 ? "416 (Range Not Satisfiable)" : "the whole file");
            for (const Segment& s : t.segments) Requeue(state, s);
            break;
        case Outcome::Done:
            _totalBytes += t.bytesNow;
            state.bytesReceived += t.bytesNow;
            if (!DistributePieces(t, state)) SwitchToSingleRanges(state, t, "fewer ranges than asked");
            RelaxTimeoutLevel(state);
            break;
        }
        DeliverCompleted(state);
    });
}

Downloader::Outcome Downloader::CheckTransfer(Transfer& t, int result, long http) {
    const char* url = t.requestedUrl.c_str();
    if (result == CURLE_OK && (http == 200 || http == 206)) {
        if (t.response.HasRanges()) return Outcome::Done;
        // A whole file that is empty comes without a range.
        if (t.response.received == 0 && t.segments.size() == 1 && t.segments[0].to == kOpenEnd)
            return Outcome::Done;
        g_logger->errorf(lcGeneral, "Response without byteranges for URL %s", url);
    }
    g_logger->debugf("[curl-res] ret:%d http:%d", result, int(http));
    if (result == CURLE_OPERATION_TIMEDOUT) {
        g_logger->warningf(lcDownloadTimeout,
                           "Timeout for request with %d segments of total size %lld on URL %s",
                           int(t.segments.size()), (long long)t.weight, url);
        return Outcome::TimedOut;
    }
    // Varnish answers 416 to every request for several ranges, some object stores the whole
    // file; both serve single ranges.
    if (t.multiRange && (http == 416 || t.response.wholeFileAnswer)) return Outcome::SingleRangesNeeded;
    if (result == CURLE_TOO_MANY_REDIRECTS)
        g_logger->errorf(lcGeneral, "Too many redirects (more than %d) for URL %s", kMaxRedirects, url);
    long redirects = 0;
    curl_easy_getinfo(t.easy.get(), CURLINFO_REDIRECT_COUNT, &redirects);
    if (result == CURLE_UNSUPPORTED_PROTOCOL && redirects > 0)
        g_logger->errorf(lcGeneral, "Redirect to a URL that is neither http nor https for URL %s", url);
    if (http == 404) g_logger->errorf(lcGeneral, "Not found result for URL %s", url);
    // An error status comes first: its body (an error page) is refused as a body, but the status
    // is what tells the user what went wrong.
    if (http != 0 && http != 200 && http != 206)
        g_logger->errorf(lcGeneral, "Unexpected HTTP return code %d for URL %s", int(http), url);
    if (result == CURLE_WRITE_ERROR) {
        if (t.response.overLimit)
            g_logger->errorf(lcGeneral, "Response larger than %llu bytes for URL %s",
                             (unsigned long long)t.response.dataLimit, url);
        g_logger->errorf(lcGeneral, "Response without byteranges for URL %s", url);
    }
    if (result != CURLE_OK)
        g_logger->errorf(lcGeneral, "Unexpected CURL error %d on URL %s (%s)", result, url,
                         curl_easy_strerror(CURLcode(result)));
    g_logger->errorf(lcGeneral, "Unexpected HTTP return code %d for URL %s", int(http), url);
}

bool Downloader::DistributePieces(Transfer& t, UrlState& state) {
    std::vector<ResponsePiece> pieces = t.response.TakePieces();
    const char* url = t.requestedUrl.c_str();
    bool whole = true;
    for (Segment s : t.segments) {
        DownloadRequest& r = _requests[s.id];
        uint32_t total = t.response.totalSize;
        if (r.byterange[1] == kOpenEnd) {
            // The file size is now known; an empty whole file comes without one.
            if (total == kOpenEnd && t.response.received == 0 && !t.response.HasRanges())
                total = r.byterange[0];
            if (total == kOpenEnd || total < r.byterange[0]) continue;
            r.byterange[1] = total;
            _bytesTotal += total - r.byterange[0];
        }
        if (s.to == kOpenEnd) s.to = r.byterange[1];
        uint32_t rFrom = r.byterange[0];
        uint64_t length = r.byterange[1] - rFrom;
        // A missing stretch [from, to) of this segment: asked again after an answer to several
        // ranges, a failure after an answer to one.
        auto missing = [&](uint32_t from, uint32_t to, bool atEnd) {
            if (t.multiRange) {
                Requeue(state, Segment{s.id, from, to});
                whole = false;
            } else if (!atEnd) {
                g_logger->errorf(lcGeneral, "Missing chunk %u..%u (%u bytes) after downloading URL %s", from,
                                 to, to - from, url);
            } else {
                g_logger->errorf(lcGeneral, "Missing end chunk %zu..%u (%u bytes) after downloading URL %s",
                                 size_t(from - rFrom), uint32_t(length), uint32_t(to - from), url);
            }
        };
        uint32_t pos = s.from;
        for (ResponsePiece& p : pieces) {
            uint32_t j = std::max(pos, p.from), l = std::min(p.DataEnd(), s.to);
            if (l <= j) continue;
            if (j != pos) missing(pos, j, false);
            // One request answered by one piece that holds exactly its range: the bytes become
            // the request's without a copy, which matters for big whole files.
            if (t.segments.size() == 1 && r.received == 0 && j == rFrom && l - j == length && p.from == j &&
                p.data.size() == length) {
                r.buffer.swap(p.data);
            } else {
                if (r.buffer.size() != length) r.buffer.resize(size_t(length));
                memcpy(r.buffer.data() + (j - rFrom), p.data.data() + (j - p.from), l - j);
            }
            r.received += l - j;
            _bytesInPlace += l - j;
            _doneWeight += double(r.weight) * double(l - j) / double(length);
            pos = l;
        }
        if (pos < s.to) missing(pos, s.to, true);
        if (r.received == length && !r.complete) {
            r.complete = true;
            state.heldBytes += length;
        }
    }
    return whole;
}

void Downloader::Requeue(UrlState& state, const Segment& segment) {
    // Pieces of one request that touch become one again, so that the request is fetched on
    // as if it had never been cut there.
    Segment joined = segment;
    auto next = state.pending.lower_bound(segment);
    if (next != state.pending.end() && next->id == joined.id && next->from == joined.to) {
        joined.to = next->to;
        next = state.pending.erase(next);
    }
    if (next != state.pending.begin()) {
        auto previous = std::prev(next);
        if (previous->id == joined.id && previous->to == joined.from) {
            joined.from = previous->from;
            state.pending.erase(previous);
        }
    }
    state.pending.insert(joined);
}

void Downloader::SwitchToSingleRanges(UrlState& state, const Transfer& t, const char* why) {
    if (state.singleRange) return;
    state.singleRange = true;
    g_logger->warningf(
        "Server sent %s for a request of several ranges; asking for one range per request from URL %s", why,
        t.requestedUrl.c_str());
}

void Downloader::AfterTimeout(UrlState& state, const Transfer& t) {
    // Transfers started before the last timeout of this URL count no further: the ladder goes
    // down one level per position, not per transfer that was in flight.
    if (t.level == state.timeoutLevel) {
        state.savedTotals[state.timeoutLevel] = int64_t(state.bytesReceived);
        state.timeoutLevel++;
    }
    // The same position is asked again, with the next row; what arrived is discarded.
    for (const Segment& s : t.segments) Requeue(state, s);
    if (state.timeoutLevel >= 5) g_logger->errorf(lcGeneral, "Repeated timeout on URL %s", t.url.c_str());
}

void Downloader::RelaxTimeoutLevel(UrlState& state) const {
    // Drop back to the first level whose own byte budget has arrived since the timeout that
    // left it.
    for (int j = 0; j < state.timeoutLevel; j++) {
        if (state.savedTotals[j] < 0 ||
            int64_t(state.bytesReceived) - state.savedTotals[j] > int64_t(_timeoutTable[j].maxBytes)) {
            state.timeoutLevel = j;
            break;
        }
    }
}

void Downloader::DeliverCompleted(UrlState& state) {
    while (state.delivered < state.requestIds.size()) {
        DownloadRequest& r = _requests[state.requestIds[state.delivered]];
        if (!r.complete) break;
        state.delivered++;
        std::vector<uint8_t> data;
        data.swap(r.buffer); // released once the callback returns
        state.heldBytes -= std::min<uint64_t>(state.heldBytes, data.size());
        static const uint8_t kNothing = 0;
        r.callback(data.empty() ? &kNothing : data.data(), uint32_t(data.size()));
    }
}

void Downloader::FailUrl(CurlMulti& multi, const std::string& url, const std::string& message) {
    UrlState& state = _urlStates[url];
    state.failed = true;
    state.pending.clear();
    for (auto it = _transfers.begin(); it != _transfers.end();) {
        if ((*it)->url != url) {
            ++it;
            continue;
        }
        multi.Remove(**it);
        _finishedWireBytes += (*it)->bytesNow;
        _bytesInFlight -= (*it)->payload;
        it = _transfers.erase(it);
    }
    state.inFlight = 0;
    _skippedUrls[url] = message;
}

void Downloader::StopAll(CurlMulti& multi) {
    for (const auto& t : _transfers) multi.Remove(*t);
    _transfers.clear();
    _bytesInFlight = 0;
}

TransferProgress Downloader::CurrentProgress() {
    TransferProgress progress;
    double value = _totalWeight ? _doneWeight / double(_totalWeight) : 0.0;
    progress.bytesDone = _bytesInPlace;
    for (const auto& t : _transfers) {
        value += t->weightFraction * t->ratio;
        progress.bytesDone += std::min(t->bytesNow, t->payload);
    }
    progress.ratio = std::min(1.0, std::max(0.0, value));
    progress.bytesTotal = _bytesTotal;
    progress.bytesPerSecond = _meter ? _meter->Speed() : 0.0;
    if (progress.bytesPerSecond > 0 && _bytesTotal >= progress.bytesDone)
        progress.secondsLeft = double(_bytesTotal - progress.bytesDone) / progress.bytesPerSecond;
    char comment[256];
    // The URL shown stays while it has a transfer in flight, so that the text does not jump
    // between the files of a download with every request.
    bool shownInFlight = false;
    for (const auto& t : _transfers) shownInFlight = shownInFlight || t->requestedUrl == _shownUrl;
    if (!shownInFlight && !_transfers.empty()) _shownUrl = _transfers.front()->requestedUrl;
    if (!_shownUrl.empty()) {
        // Long URLs keep their end, which names the file.
        const std::string& url = _shownUrl;
        const size_t kShown = sizeof(comment) - 20;
        if (url.size() <= kShown)
            snprintf(comment, sizeof(comment), "Downloading \"%s\"...", url.c_str());
        else
            snprintf(comment, sizeof(comment), "Downloading \"...%s\"...",
                     url.c_str() + url.size() - (kShown - 3));
    } else {
        snprintf(comment, sizeof(comment), "Downloading...");
    }
    progress.comment = comment;
    return progress;
}

void Downloader::ReportProgress(bool force) {
    if (!_progressCallback && !_transferCallback) return;
    double now = Now();
    if (!force && now - _lastReport < kReportInterval) return;
    _lastReport = now;
    TransferProgress progress = CurrentProgress();
    int answer = 0;
    if (_transferCallback) answer |= _transferCallback(progress);
    if (_progressCallback) answer |= _progressCallback(progress.ratio, progress.comment.c_str());
    if (answer) g_logger->errorf(lcUserInterrupt, "Interrupted by user");
}

std::vector<Downloader::ResponsePart> Downloader::ParseResponse(const std::vector<std::string>& headerLines,
                                                                const std::vector<uint8_t>& body) {
    HttpResponse response;
    response.url = "(parsed)";
    for (const std::string& line : headerLines) response.HeaderLine(line);
    if (!response.HasRanges())
        g_logger->errorf(lcGeneral, "Response without byteranges for URL %s", response.url.c_str());
    if (response.boundary.empty())
        response.Append(reinterpret_cast<const char*>(body.data()), body.size());
    else
        response.data = body;
    std::vector<ResponsePart> result;
    for (ResponsePiece& piece : response.TakePieces())
        result.push_back({piece.from, piece.end, std::move(piece.data)});
    return result;
}

} // namespace ZipSync

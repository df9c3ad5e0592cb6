#include "net/internal/HttpResponse.h"

#include "base/Logging.h"
#include "base/Utils.h"

#include <algorithm>
#include <functional>
#include <stdio.h>
#include <string.h>
#include <strings.h>

namespace ZipSync {

static const char kContentRangePrefix[] = "Content-Range: bytes ";
static const char kMultipartPrefix[] = "Content-Type: multipart/byteranges; boundary=";
static const char kContentEncodingPrefix[] = "Content-Encoding:";

uint32_t ResponsePiece::DataEnd() const {
    return from + uint32_t(std::min<uint64_t>(end - from, data.size()));
}

static bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t length = strlen(prefix);
    return text.size() >= length && strncasecmp(text.c_str(), prefix, length) == 0;
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

void HttpResponse::HeaderLine(const std::string& line) {
    int code;
    if (StartsWithNoCase(line, "HTTP/") && sscanf(line.c_str(), "HTTP/%*s %d", &code) == 1) {
        // A new answer begins (after a redirect or a 100 Continue): nothing seen so far belongs
        // to it.
        status = code;
        from = end = totalSize = kOpenEnd;
        boundary.clear();
    }
    if (line == "\r\n" || line == "\n") {
        wholeFileAnswer = multiRange && status == 200 && !HasRanges();
        return;
    }
    if (StartsWithNoCase(line, kContentEncodingPrefix)) {
        size_t begin = line.find_first_not_of(" \t", strlen(kContentEncodingPrefix));
        size_t stop = line.find_last_not_of(" \t\r\n");
        // Byte ranges of an encoded body are ranges of the encoded bytes, not of the file: the
        // answer is useless. Refused at once, before curl sets about decoding it; an error page
        // may come encoded, and its status tells what went wrong.
        bool success = status == 200 || status == 206;
        if (success && begin != std::string::npos && stop != std::string::npos && stop >= begin) {
            std::string encoding = line.substr(begin, stop + 1 - begin);
            if (strcasecmp(encoding.c_str(), "identity") != 0)
                g_logger->errorf(lcGeneral,
                                 "Response with Content-Encoding %s for URL %s (only identity was accepted)",
                                 EscapeControlChars(encoding).c_str(), url.c_str());
        }
    }
    if (StartsWithNoCase(line, kContentRangePrefix)) {
        uint32_t first, stop, total;
        if (ParseContentRange(line.c_str() + strlen(kContentRangePrefix), first, stop, total)) {
            from = first;
            end = stop;
            totalSize = total;
        }
    }
    if (StartsWithNoCase(line, kMultipartPrefix)) {
        // The token is kept whole, however long; a quoted one loses its quotes.
        size_t begin = line.find_first_not_of(" \t", strlen(kMultipartPrefix));
        if (begin == std::string::npos) return;
        size_t stop = line.find_first_of(" \t\r\n", begin);
        std::string token = line.substr(begin, stop == std::string::npos ? std::string::npos : stop - begin);
        if (token.size() >= 2 && token.front() == '"' && token.back() == '"')
            token = token.substr(1, token.size() - 2);
        if (!token.empty()) boundary = "\r\n--" + token;
    }
}

bool HttpResponse::Append(const char* bytes, size_t length) {
    if (!HasRanges()) return false;
    received += length;
    if (received > dataLimit) {
        overLimit = true;
        return false;
    }
    if (boundary.empty()) {
        uint64_t wanted = std::min<uint64_t>(end - from, dataLimit);
        if (data.capacity() < wanted) data.reserve(size_t(wanted));
        length = size_t(std::min<uint64_t>(length, wanted - std::min<uint64_t>(wanted, data.size())));
    } else if (data.size() + length > data.capacity()) {
        uint64_t grown = std::max<uint64_t>(data.size() + length, 2 * uint64_t(data.capacity()));
        data.reserve(size_t(std::min<uint64_t>(grown, dataLimit)));
    }
    data.insert(data.end(), bytes, bytes + length);
    return true;
}

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

// The parts of a multipart body delimited by boundary ("\r\n--" + token).
static std::vector<ResponsePiece> SplitMultipart(const std::vector<uint8_t>& body,
                                                 const std::string& boundary) {
    const char* text = reinterpret_cast<const char*>(body.data());
    std::vector<size_t> positions = FindAll(body, boundary);
    // The first delimiter line may open the body without the CRLF in front of it (RFC 2046;
    // lighttpd and Go's servers send it so): it counts as a boundary just before the body.
    const size_t kOpening = SIZE_MAX;
    size_t bare = boundary.size() - 2;
    if (body.size() >= bare && memcmp(text, boundary.data() + 2, bare) == 0)
        positions.insert(positions.begin(), kOpening);
    std::vector<ResponsePiece> parts;
    for (size_t b = 1; b < positions.size(); b++) {
        // Each part starts after its delimiter line and the CRLF that ends it.
        size_t pos = (positions[b - 1] == kOpening ? bare : positions[b - 1] + boundary.size()) + 2;
        size_t limit = positions[b];
        ResponsePiece part;
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

std::vector<ResponsePiece> HttpResponse::TakePieces() {
    std::vector<ResponsePiece> pieces;
    if (!boundary.empty()) {
        pieces = SplitMultipart(data, boundary);
        data = std::vector<uint8_t>();
    } else if (from != end) {
        ResponsePiece piece;
        piece.from = from;
        piece.end = end;
        piece.data.swap(data);
        pieces.push_back(std::move(piece));
    }
    std::sort(pieces.begin(), pieces.end(),
              [](const ResponsePiece& a, const ResponsePiece& b) { return a.from < b.from; });
    return pieces;
}

} // namespace ZipSync

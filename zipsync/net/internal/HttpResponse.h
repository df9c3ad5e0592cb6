// One HTTP answer to a byte-range request, as the downloader collects it: the header lines that
// matter (status, Content-Range, the multipart boundary, Content-Encoding), the body, and the
// parts it splits into.
//
// The downloader owns one HttpResponse per transfer in flight; curl's header and body functions
// fill it (CurlTransfers.cpp), and once the transfer is over its parts are handed to the
// requests. Nothing here knows about curl, so that the parsing can be fuzzed on its own.
#pragma once

#include <stdint.h>
#include <string>
#include <vector>

namespace ZipSync {

static const uint32_t kOpenEnd = 0xFFFFFFFFU;

// A piece of the file: [from, end) and its bytes. data may hold fewer bytes than the range
// claims (a short part); never more.
struct ResponsePiece {
    uint32_t from = kOpenEnd, end = kOpenEnd;
    std::vector<uint8_t> data;
    // The end of the bytes really there.
    uint32_t DataEnd() const;
};

struct HttpResponse {
    // The URL requested (after a downgrade); messages name it.
    std::string url;
    // Status of the last status line seen (after redirects and 100 Continue: the final one).
    int status = 0;
    // The range of a "Content-Range" header and the file size after its slash.
    uint32_t from = kOpenEnd, end = kOpenEnd, totalSize = kOpenEnd;
    // "\r\n--" and the boundary token of a multipart answer, empty otherwise.
    std::string boundary;
    std::vector<uint8_t> data;
    // The body may not grow past this; overLimit records that the transfer was cut for it.
    uint64_t dataLimit = UINT64_MAX;
    bool overLimit = false;
    // Body bytes received, kept or not: a single-range body keeps no more than its range.
    uint64_t received = 0;
    // The request asked for several ranges.
    bool multiRange = false;
    // A 200 answer without ranges to a request for several ranges: stopped at its headers.
    bool wholeFileAnswer = false;

    bool HasRanges() const { return from != end || !boundary.empty(); }
    // Takes one header line (with its CRLF, as curl delivers them). Throws ErrorException for an
    // encoded body of a successful answer ("Response with Content-Encoding ...").
    void HeaderLine(const std::string& line);
    // Appends body bytes without ever holding twice the body: a single-range body gets room for
    // its announced range once and keeps nothing beyond it; a multipart body grows
    // geometrically up to the limit. Returns false when the body is no byte-range answer or
    // outgrows the limit (the transfer is then cut).
    bool Append(const char* bytes, size_t length);
    // The pieces of a successful answer, sorted by start; the body is moved into them. Throws
    // ErrorException "Failed to find range in part headers" for a part without a range.
    std::vector<ResponsePiece> TakePieces();
};

} // namespace ZipSync

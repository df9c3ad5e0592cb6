// Checksummed zips: a small zip holding "hash.txt" (the marker "zsMH:" and the 64-digit hex
// BLAKE2s digest of the payload, stored) followed by the payload itself (deflated), written with
// fixed dates so that the same payload always gives the same bytes. Reading verifies the payload
// against the stored digest. The two download operations learn remote digests from the first
// bytes of remote checksummed zips and fetch only those not already present.
#pragma once

#include "Hash.h"

#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

namespace ZipSync {

class Downloader;

static const char* const CHECKSUMMED_HASH_PREFIX = "zsMH:";
static const int HASH_PREFIX_LEN = 5;
// Bytes fetched from the start of a remote checksummed zip to learn its digest.
static const int DOWNLOADED_BYTES = 128;

// Writes a new checksummed zip at path (an existing file is replaced).
void WriteChecksummedZip(const std::string& path, const void* data, size_t size,
                         const std::string& payloadName);
// The digest stored in "hash.txt".
HashDigest ReadChecksummedZipHash(const std::string& path);
// The payload bytes, after checking them against the stored digest. A payload that declares
// more than MAX_MANIFEST_SIZE (Downloader.h) bytes is refused before it is inflated:
// "Payload \"%s\" of %s declares %llu bytes, more than %llu".
std::vector<uint8_t> ReadChecksummedZip(const std::string& path, const std::string& payloadName);

// The digest of each remote checksummed zip, read from its first DOWNLOADED_BYTES bytes (one
// 128-byte range request per URL, batched by the downloader); all-zero where the marker or a
// valid digest is missing, or, with the downloader's silent errors, where the URL failed.
// Runs the downloader's DownloadAll; the caller configured the downloader.
std::vector<HashDigest> DownloadChecksummedZipHashes(Downloader& downloader,
                                                     const std::vector<std::string>& urls);

// Makes outputPaths[i] name a file with the contents of urls[i], whose digest is remoteHashes[i].
// A file whose (non-zero) digest equals that of one of the localPaths (each must be a valid
// checksummed zip) or of an earlier URL is not downloaded: result i is then the index of that
// source (j < localPaths.size(): local file j; otherwise remote file j - localPaths.size()) and
// outputPaths[i] becomes the source's path. Every other file is downloaded whole into
// outputPaths[i] and result i is -1. Downloaded files are not verified here. Runs the
// downloader's DownloadAll.
std::vector<int> DownloadChecksummedZips(Downloader& downloader, const std::vector<std::string>& urls,
                                         const std::vector<HashDigest>& remoteHashes,
                                         const std::vector<std::string>& localPaths,
                                         std::vector<std::string>& outputPaths);

} // namespace ZipSync

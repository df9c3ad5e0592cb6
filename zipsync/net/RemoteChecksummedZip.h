// Checksummed zips on a server: their digests are learnt from the first bytes of each remote
// file, and only those not present already are fetched (ChecksummedZip.h for the format).
#pragma once

#include "base/Hash.h"

#include <string>
#include <vector>

namespace ZipSync {

class Downloader;

// Bytes fetched from the start of a remote checksummed zip to learn its digest.
static const int DOWNLOADED_BYTES = 128;

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

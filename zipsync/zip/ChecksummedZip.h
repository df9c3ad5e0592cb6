// Checksummed zips: a small zip holding "hash.txt" (the marker "zsMH:" and the 64-digit hex
// BLAKE2s digest of the payload, stored) followed by the payload itself (deflated), written with
// fixed dates so that the same payload always gives the same bytes. Reading verifies the payload
// against the stored digest. net/RemoteChecksummedZip.h fetches them from servers.
#pragma once

#include "base/Hash.h"
#include "base/Utils.h"

#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

namespace ZipSync {

static const char* const CHECKSUMMED_HASH_PREFIX = "zsMH:";
static const int HASH_PREFIX_LEN = 5;

// Writes a new checksummed zip at path (an existing file is replaced).
void WriteChecksummedZip(const std::string& path, const void* data, size_t size,
                         const std::string& payloadName);
// The digest stored in "hash.txt".
HashDigest ReadChecksummedZipHash(const std::string& path);
// The payload bytes, after checking them against the stored digest. A payload that declares
// more than maxSize bytes is refused before it is inflated:
// "Payload \"%s\" of %s declares %llu bytes, more than %llu". A zip without the payload (or
// without "hash.txt") fails with "Checksummed zip \"%s\" holds no \"%s\"".
std::vector<uint8_t> ReadChecksummedZip(const std::string& path, const std::string& payloadName,
                                        uint64_t maxSize = MAX_MANIFEST_SIZE);

} // namespace ZipSync

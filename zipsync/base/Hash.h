// Content digests: the 32-byte BLAKE2s-256 digest, its hex text, and the hasher computing it.
//
// HashDigest is a plain value: comparison is byte-wise (memcmp order), so digests serve as
// sort and map keys. A default-constructed digest is all zero, which means "no hash".
// Hasher wraps one unkeyed BLAKE2s state (RFC 7693, 32-byte output) and yields its digest once.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string>

namespace ZipSync {

// Length of the hex text of a digest.
static const int HASH_SIZE = 64;

struct HashDigest {
    uint8_t data[32] = {};

    // 64 lower-case hex digits, high nibble first.
    std::string Hex() const;
    // Sets the digest from exactly 64 lower-case hex digits. Fails (lcGeneral) with
    // "Hex digest has wrong length %d" or "Cannot parse hex digest digit %c"; on failure the
    // digest may be partly overwritten.
    void Parse(const char* hex);
    void Clear();
    // Whether all 32 bytes are zero.
    bool IsZero() const;

    bool operator==(const HashDigest& other) const;
    bool operator!=(const HashDigest& other) const { return !(*this == other); }
    bool operator<(const HashDigest& other) const;
};

class Hasher {
public:
    Hasher();
    // Feeds bytes; a count of 0 does nothing.
    void Update(const void* data, size_t size);
    // Finishes the hash; may be called only once.
    HashDigest Finalize();

private:
    // Storage of the library's BLAKE2s state, kept opaque so that users of this header need
    // no BLAKE2 headers.
    alignas(16) unsigned char _state[256];
    bool _finalized = false;
};

} // namespace ZipSync

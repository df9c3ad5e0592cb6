#include "base/Hash.h"

#include "base/Logging.h"

#include <blake2.h>
#include <new>
#include <stdio.h>
#include <string.h>

namespace ZipSync {

std::string HashDigest::Hex() const {
    static const char digits[] = "0123456789abcdef";
    std::string res(2 * sizeof(data), '0');
    for (size_t i = 0; i < sizeof(data); i++) {
        res[2 * i] = digits[data[i] >> 4];
        res[2 * i + 1] = digits[data[i] & 15];
    }
    return res;
}

static int HexDigitValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    g_logger->errorf(lcGeneral, "Cannot parse hex digest digit %c", ch);
}

void HashDigest::Parse(const char* hex) {
    size_t len = strlen(hex);
    if (len != 2 * sizeof(data)) g_logger->errorf(lcGeneral, "Hex digest has wrong length %d", int(len));
    for (size_t i = 0; i < sizeof(data); i++)
        data[i] = uint8_t(HexDigitValue(hex[2 * i]) * 16 + HexDigitValue(hex[2 * i + 1]));
}

void HashDigest::Clear() {
    memset(data, 0, sizeof(data));
}

bool HashDigest::IsZero() const {
    for (uint8_t byte : data)
        if (byte) return false;
    return true;
}

bool HashDigest::operator==(const HashDigest& other) const {
    return memcmp(data, other.data, sizeof(data)) == 0;
}

bool HashDigest::operator<(const HashDigest& other) const {
    return memcmp(data, other.data, sizeof(data)) < 0;
}

static_assert(sizeof(blake2s_state) <= 256, "Hasher::_state too small");
static_assert(alignof(blake2s_state) <= 16, "Hasher::_state misaligned");

static blake2s_state* State(unsigned char* storage) {
    return reinterpret_cast<blake2s_state*>(storage);
}

Hasher::Hasher() {
    blake2s_state* state = new (_state) blake2s_state;
    int res = blake2s_init(state, sizeof(HashDigest::data));
    ZipSyncAssert(res == 0);
}

void Hasher::Update(const void* data, size_t size) {
    if (size == 0) return;
    ZipSyncAssert(!_finalized);
    int res = blake2s_update(State(_state), static_cast<const uint8_t*>(data), size);
    ZipSyncAssert(res == 0);
}

HashDigest Hasher::Finalize() {
    ZipSyncAssert(!_finalized);
    _finalized = true;
    HashDigest res;
    int res2 = blake2s_final(State(_state), res.data, sizeof(res.data));
    ZipSyncAssert(res2 == 0);
    return res;
}

} // namespace ZipSync

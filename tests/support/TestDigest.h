// The BLAKE2s digest of a string, as the engine computes it for contents and compressed bytes.
#pragma once

#include "base/Hash.h"

#include <string>

inline ZipSync::HashDigest Digest(const std::string& bytes) {
    ZipSync::Hasher hasher;
    hasher.Update(bytes.data(), bytes.size());
    return hasher.Finalize();
}

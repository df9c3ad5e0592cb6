// Byte counts as people read them: "1.23 MB", with decimal units (1 kB = 1000 bytes), the way
// the installer reports sizes; and as people type them in options ("500k", "2M").
#pragma once

#include <optional>
#include <stdint.h>
#include <string>

namespace ZipSync {

// "0 B" ... "999 B", then three significant digits with kB, MB, GB, TB.
std::string FormatSize(uint64_t bytes);
// The same for a signed count; negative values get a leading '-'.
std::string FormatSignedSize(int64_t bytes);

// A whole number with an optional suffix k, M or G (either case) for KiB, MiB or GiB, as curl's
// options take rates: "500000", "500k", "2M". Nothing for any other text, or beyond 2^64.
std::optional<uint64_t> ParseByteCount(const std::string& text);

} // namespace ZipSync

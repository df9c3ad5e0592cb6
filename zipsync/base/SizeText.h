// Byte counts as people read them: "1.23 MB", with decimal units (1 kB = 1000 bytes), the way
// the installer reports sizes.
#pragma once

#include <stdint.h>
#include <string>

namespace ZipSync {

// "0 B" ... "999 B", then three significant digits with kB, MB, GB, TB.
std::string FormatSize(uint64_t bytes);
// The same for a signed count; negative values get a leading '-'.
std::string FormatSignedSize(int64_t bytes);

} // namespace ZipSync

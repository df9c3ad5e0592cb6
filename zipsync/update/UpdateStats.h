// The six byte counts that describe what an update plan costs.
//
// ComputeUpdateStats derives them from a developed plan; the installer and the command-line
// tools both call it, so the figures they show agree. All counts are unsigned 64-bit byte counts
// and use the target files' compressedSize, even where a provider's compressed size differs.
#pragma once

#include "update/UpdateProcess.h"

#include <stdint.h>
#include <string>
#include <vector>

namespace ZipSync {

struct UpdateStats {
    // Size of the product's zips now in the install directory.
    uint64_t currentSize = 0;
    // Sum of compressedSize over all target files.
    uint64_t finalSize = 0;
    // Over the target files whose provider is not InPlace (Local, Remote or Absent).
    uint64_t addedSize = 0;
    // currentSize + addedSize + missingSize - finalSize in wrap-around arithmetic: currentSize
    // minus the bytes of target files already in place. It wraps to a huge value when more is
    // in place than currentSize accounts for (an in-place file serving several targets).
    uint64_t removedSize = 0;
    // Over the target files whose provider is Remote.
    uint64_t downloadSize = 0;
    // Over the target files without a provider.
    uint64_t missingSize = 0;
};

// The statistics of the process's current plan, given the size of the zips found in the install
// directory. Asserts that the plan is developed (one FileMatch per target file).
UpdateStats ComputeUpdateStats(const UpdateProcess& process, uint64_t currentSize);

// The currentSize of ComputeUpdateStats for the zips at the given paths: the sum of their file
// sizes, each taken as an unsigned 32-bit value. Fails when a file cannot be opened.
uint64_t SumOfZipSizes(const std::vector<std::string>& zipPaths);

} // namespace ZipSync

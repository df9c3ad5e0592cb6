#include "update/UpdateStats.h"

#include "base/Logging.h"
#include "base/Utils.h"

namespace ZipSync {

UpdateStats ComputeUpdateStats(const UpdateProcess& process, uint64_t currentSize) {
    // Counting matches against all targets would give meaningless figures for a missing plan.
    ZipSyncAssert(process.GetMatches().size() == (size_t)process.GetTargetManifest().size());
    UpdateStats stats;
    stats.currentSize = currentSize;
    for (const FileMetainfo& target : process.GetTargetManifest()) stats.finalSize += target.compressedSize;
    for (const FileMatch& match : process.GetMatches()) {
        uint64_t size = match.target->compressedSize;
        if (match.provided.IsNull()) {
            stats.missingSize += size;
            continue;
        }
        FileLocation location = match.provided->location;
        if (location != FileLocation::InPlace) stats.addedSize += size;
        if (location == FileLocation::Remote) stats.downloadSize += size;
    }
    stats.removedSize = stats.currentSize + stats.addedSize + stats.missingSize - stats.finalSize;
    return stats;
}

uint64_t SumOfZipSizes(const std::vector<std::string>& zipPaths) {
    uint64_t total = 0;
    for (const std::string& path : zipPaths) total += (uint32_t)SizeOfFile(path);
    return total;
}

} // namespace ZipSync

#include "zip/TemporaryNames.h"

#include <string.h>

namespace ZipSync {

const char* const kDownloadPrefix = "__download";
const char* const kRepackedPrefix = "__repacked__";
const char* const kReducedPrefix = "__reduced__";
const char* const kNormalizedPrefix = "__normalized__";

bool HasTemporaryPrefix(const std::string& fileName, const char* prefix) {
    size_t len = strlen(prefix);
    return fileName.size() > len && fileName.compare(0, len, prefix) == 0;
}

bool IsTemporaryFileName(const std::string& fileName) {
    for (const char* prefix : {kDownloadPrefix, kRepackedPrefix, kReducedPrefix, kNormalizedPrefix})
        if (HasTemporaryPrefix(fileName, prefix)) return true;
    return false;
}

} // namespace ZipSync

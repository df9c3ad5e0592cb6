#include "UpdateReport.h"

#include "Console.h"
#include "SizeText.h"

namespace ZipSyncCli {

static void PrintStat(Console& console, const char* name, uint64_t value, const char* meaning, bool mayWrap) {
    // removed wraps around when more bytes stay in place than the old archives hold (an
    // in-place file serving several targets); shown signed, it reads as the negative it is.
    std::string human = mayWrap ? FormatSignedSize((int64_t)value) : FormatSize(value);
    console.Result("  %-9s %15llu  %-9s  %s", name, (unsigned long long)value, human.c_str(), meaning);
}

void PrintUpdateStats(Console& console, const ZipSync::UpdateStats& stats) {
    PrintStat(console, "current", stats.currentSize, "size of the archives there now", false);
    PrintStat(console, "final", stats.finalSize, "compressed bytes of all target files", false);
    PrintStat(console, "download", stats.downloadSize, "compressed bytes fetched from mirrors", false);
    PrintStat(console, "added", stats.addedSize, "compressed bytes of target files not already in place",
              false);
    PrintStat(console, "removed", stats.removedSize, "bytes of the present archives that go away", true);
    PrintStat(console, "missing", stats.missingSize, "compressed bytes of target files available nowhere",
              false);
}

} // namespace ZipSyncCli

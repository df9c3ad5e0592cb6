// How the zipsync tool shows the six figures of an update plan (UpdateStats), the same way for
// 'diff' and 'update': one line per figure, in bytes, in human units and with its meaning, in
// the order the installer logs them.
#pragma once

#include "update/UpdateStats.h"

namespace ZipSyncCli {

class Console;

void PrintUpdateStats(Console& console, const ZipSync::UpdateStats& stats);

} // namespace ZipSyncCli

// Byte counts as people read them: the engine's "1.23 MB" (base/SizeText.h), by the tool's
// names.
#pragma once

#include "base/SizeText.h"

namespace ZipSyncCli {

using ZipSync::FormatSignedSize;
using ZipSync::FormatSize;

} // namespace ZipSyncCli

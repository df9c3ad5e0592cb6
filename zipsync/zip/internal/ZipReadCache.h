// A reading stream for minizip that keeps recently read parts of the archive in memory.
//
// While it walks an archive, minizip reads a central-directory record, then a local header far
// away, then the next record, each after a seek. A stdio stream drops its buffer at every such
// seek and pays a system call for the seek and one for the refill, many times per entry. This
// stream keeps two windows of 64 KiB of the file: one tends to hold the stretch of the central
// directory being walked, the other the entry being read. Reads inside a window cost a copy;
// larger reads go to the file directly. Each stream owns its FILE and its windows; minizip owns
// the stream between its open and close calls.
#pragma once

#include <minizip/ioapi.h>

namespace ZipSync {

// Fills funcs with the functions of the cached stream, for unzOpen2_64. Only reading is
// supported: opening for writing fails.
void FillCachedReadFileFuncs(zlib_filefunc64_def* funcs);

} // namespace ZipSync

// The disk space an update needs at its peak, computed from its plan before anything is written.
//
// The repack changes no old archive until every new one is written (RepackZips, Repacker.h), so
// at the peak the install directory holds the whole old version and, next to it, the download
// journal (the entries fetched from mirrors), every target archive written anew as
// "__repacked__X", and the "__reduced__X" archives that keep the entries of archives that go
// which exist nowhere else. A target archive that one archive already holds exactly (a managed
// archive, or the journal zip of one remote archive when no file is at its place) is renamed,
// not written, and costs nothing more. Callers compare the peak with the free space before the
// download starts, instead of failing half way.
#pragma once

#include "update/UpdateProcess.h"

#include <stdint.h>

namespace ZipSync {

// The bytes the update of the process's developed plan (one match per target; asserted) adds to
// the install directory at its peak, as described above. Each written entry counts its local
// header, its compressed bytes (the target's compressedSize) and its central record, each
// written archive its end record. Entries without a provider count nothing.
uint64_t ComputeDiskPeak(const UpdateProcess& process);

} // namespace ZipSync

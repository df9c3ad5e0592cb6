// Zip utilities: finding an entry by its byte range, copying entries between archives with all
// metadata kept, completing a file of bare local entries with a central directory, and
// rewriting an archive into the engine's normal form.
//
// The engine identifies an entry by its byte range: from the first byte of its local header up
// to the end of its compressed data (exclusive). Everything here assumes local headers without
// extra fields, so that the range is 30 bytes + file name + compressed data. Offsets are held
// as unsigned 32-bit values, as in non-Zip64 archives (up to 4 GiB); arithmetic on them is
// 64-bit, and a value that does not fit fails instead of wrapping.
//
// Failures raise ErrorException: open failures with lcCantOpenFile, library statuses as
// "Minizip error %d" with lcMinizipError, format violations and unsupported entries with
// lcGeneral. Handles are owned by the holders (ZipHolders.h) and closed while unwinding.
#pragma once

#include "zip/ZipHolders.h"

#include <stdint.h>
#include <string>
#include <vector>

namespace ZipSync {

// Whether the file at path opens as a complete zip: its end record and central directory are
// found and every entry's local header agrees with its central record. Never raises and logs
// nothing; a missing or truncated file is simply not complete.
bool IsCompleteZip(const std::string& path);

// Whether the file at path begins like a zip (a local header, or the end record of an empty
// zip) or holds an end record where one can be (in its last 22 + 65535 bytes): a damaged
// archive still passes, most other files do not. Never raises; a file that cannot be read is
// no zip. Opens only regular files (OpenStdioFile).
bool LooksLikeZip(const std::string& path);

// A reading handle with an index from local header offsets to central directory positions.
class UnzFileIndexed : public UnzFileHolder {
public:
    UnzFileIndexed() = default;
    explicit UnzFileIndexed(const std::string& path);

    // Closes the previous archive, opens the one at path and indexes all its entries.
    void Open(const std::string& path) override;
    // Makes the entry whose local header starts at begin the current one, or fails with
    // "Failed to find file at byterange [%u..%u]" (lcGeneral). end only serves the message.
    void LocateByByterange(uint32_t begin, uint32_t end);

private:
    struct IndexEntry {
        uint32_t offset;
        unz64_file_pos pos;
    };
    // Sorted by offset.
    std::vector<IndexEntry> _index;
};

// Directory info of the current entry and, when filename is not null, its whole name.
void GetCurrentFileInfo(unzFile zf, unz_file_info64* info, std::string* filename);

// Byte range of the current entry: headerStart is its local header offset (computed from the
// data position and the lengths in the central record), [dataStart, dataEnd) its compressed
// data. Opens and closes the entry. Each output may be null.
void GetCurrentFileByterange(UnzFileHolder& zf, uint32_t* headerStart, uint32_t* dataStart,
                             uint32_t* dataEnd);

// Deflate level that makes minizip write the general purpose flag bits 1-2 of flag again:
// 2 gives 9, 4 gives 2, 6 gives 1, anything else -1 (the library default).
int LevelFromFlag(int flag);

// Copies the current entry of from into a new entry of to, named filename, with the given
// method, level (from flag), internal and external attributes and DOS date/time; no extra
// fields, no comment. copyRaw: the compressed bytes move unchanged and crc and contentsSize are
// recorded. Otherwise the entry is inflated, its CRC checked, and compressed anew; the written
// internal attributes are exactly the given ones in both cases.
void MinizipCopyFile(UnzFileHolder& from, ZipFileHolder& to, const char* filename, int method, int flag,
                     uint16_t internalAttribs, uint32_t externalAttribs, uint32_t dosDate, bool copyRaw,
                     uint32_t crc, uint32_t contentsSize);

// Attributes for the central record of the local entry whose header is at offset.
struct CentralDirAttribs {
    uint32_t offset;
    uint32_t externalAttribs;
    uint16_t internalAttribs;
};

// Turns a file holding a gap-free run of local entries (sizes in their headers, no extra
// fields, no data descriptors) into a complete archive by appending central records (version
// made by 0; attributes from attribs, zero for an offset not listed) and the end record.
// Violations fail as assertions: "lh.magic == 0x04034b50", "lh.extraLen == 0", and so on.
void AppendCentralDirectory(const std::string& path, std::vector<CentralDirAttribs> attribs);

// Rewrites the archive at zipPath into normal form at outputPath (zipPath itself when empty):
// files sorted by name (byte-wise; equal names keep their order in the source), directory
// entries dropped, compressed bytes, CRC and sizes unchanged, no extra fields or comments,
// version made by 0, only the low 8 bits of the external attributes, no flag bits but 1-2 (the
// mark of UTF-8 names, bit 11, is dropped: names stay the same bytes). Entries with a method
// other than 0 and 8, other flags, or internal attributes other than 0 and 1 are refused ("File
// %s has compression %d (not supported)" and similar). The work goes into outputPath prefixed
// with "__normalized__", which replaces the output at the end in one atomic rename; a failure
// removes it again, and a leftover of an earlier run is replaced (CleanupTemporaryFiles also
// removes such leftovers).
void NormalizeZip(const std::string& zipPath, const std::string& outputPath = "");

} // namespace ZipSync

// Writing a zip whose entries are compressed bytes copied unchanged from other files.
//
// A RawZipWriter owns the file it creates. Each entry gets a local header made from the values
// given (version needed 20, no extra field, no data descriptor: what minizip writes for the
// same values) followed by the compressed bytes, copied from a source file without passing
// through minizip (on Linux in the kernel with copy_file_range). Finish completes the file
// with AppendCentralDirectory, so until then it has no end record and is no complete zip: a
// file cut short by a crash is never mistaken for an archive.
#pragma once

#include "base/Utils.h"
#include "zip/ZipUtils.h"

#include <stdint.h>
#include <stdio.h>
#include <string>
#include <vector>

namespace ZipSync {

// Header values of one entry, as in the zip directory.
struct RawEntryHeader {
    std::string filename;
    uint16_t compressionMethod = 0;
    uint16_t gpbitFlag = 0;
    uint32_t lastModTime = 0;
    uint32_t crc32 = 0;
    uint32_t compressedSize = 0;
    uint32_t contentsSize = 0;
    uint16_t internalAttribs = 0;
    uint32_t externalAttribs = 0;
};

class RawZipWriter {
public:
    // Creates the file at path, replacing any file there; fails with lcCantOpenFile and
    // "Failed to create file \"%s\": %s", the path and the system's reason.
    explicit RawZipWriter(const std::string& path);

    // Appends an entry with header values header whose compressedSize compressed bytes are
    // those of source from offset dataStart. Fails when they cannot all be copied (a write that
    // fails names the file and the reason, see RaiseWriteFailure), or when the archive would
    // outgrow 32-bit offsets.
    void AppendEntry(const RawEntryHeader& header, FILE* source, uint64_t dataStart);
    // Writes the central directory and the end record, and closes the file.
    void Finish();

private:
    std::string _path;
    StdioFileHolder _file;
    uint64_t _position = 0;
    std::vector<CentralDirAttribs> _attribs;
};

// Copies size bytes of from, starting at offset, to the current position of to, which then
// stands after them. Fails with "Failed to copy %llu bytes at %llu" when from has fewer bytes
// there, and with "Failed to write file \"%s\": %s" (toPath and the reason) when writing fails.
void CopyFileBytes(FILE* from, uint64_t offset, FILE* to, uint64_t size, const std::string& toPath = "");

} // namespace ZipSync

#include "zip/internal/RawZipWriter.h"

#include "base/Logging.h"
#include "zip/internal/ZipFormat.h"

#include <algorithm>
#include <errno.h>
#include <vector>

namespace ZipSync {

void CopyFileBytes(FILE* from, uint64_t offset, FILE* to, uint64_t size, const std::string& toPath) {
    uint64_t done = CopyInKernel(from, offset, to, size);
    if (done < size) {
        // Also when the kernel copy stopped for want of room: the buffered copy below then fails
        // in the same way and names the reason.
        std::vector<char> buffer(65536);
        if (FileSeek64(from, int64_t(offset + done), SEEK_SET) != 0) done = ~uint64_t(0);
        while (done < size) {
            size_t chunk = size_t(std::min<uint64_t>(size - done, buffer.size()));
            if (fread(buffer.data(), 1, chunk, from) != chunk) break;
            errno = 0;
            if (fwrite(buffer.data(), 1, chunk, to) != chunk) RaiseWriteFailure(toPath, errno);
            done += chunk;
        }
    }
    if (done != size)
        g_logger->errorf(lcGeneral, "Failed to copy %llu bytes at %llu", (unsigned long long)size,
                         (unsigned long long)offset);
}

RawZipWriter::RawZipWriter(const std::string& path) : _path(path) {
    _file.reset(OpenStdioFile(path, "wb"));
    if (!_file)
        g_logger->errorf(lcCantOpenFile, "Failed to create file \"%s\": %s", path.c_str(),
                         ErrnoText(errno).c_str());
}

void RawZipWriter::AppendEntry(const RawEntryHeader& header, FILE* source, uint64_t dataStart) {
    ZipSyncAssert(header.filename.size() <= 0xFFFF);
    ZipSyncAssert(_position + 30 + header.filename.size() + header.compressedSize <= 0xFFFFFFFFu);
    LocalHeader fields;
    fields.flag = header.gpbitFlag;
    fields.method = header.compressionMethod;
    fields.dosDateTime = header.lastModTime;
    fields.crc = header.crc32;
    fields.compressedSize = header.compressedSize;
    fields.contentsSize = header.contentsSize;
    fields.filenameLen = uint16_t(header.filename.size());
    std::vector<uint8_t> local;
    AppendLocalHeader(local, fields);
    local.insert(local.end(), header.filename.begin(), header.filename.end());
    errno = 0;
    if (fwrite(local.data(), 1, local.size(), _file) != local.size()) RaiseWriteFailure(_path, errno);
    CopyFileBytes(source, dataStart, _file, header.compressedSize, _path);
    _attribs.push_back(
        CentralDirAttribs{uint32_t(_position), header.externalAttribs, header.internalAttribs});
    _position += local.size() + header.compressedSize;
}

void RawZipWriter::Finish() {
    // Buffered bytes that find no room on the disk fail here.
    if (_file.reset() != 0) RaiseWriteFailure(_path, errno);
    AppendCentralDirectory(_path, _attribs);
}

} // namespace ZipSync

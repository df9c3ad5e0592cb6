#include "net/RemoteChecksummedZip.h"

#include "base/Logging.h"
#include "base/Utils.h"
#include "net/Downloader.h"
#include "zip/ChecksummedZip.h"

#include <algorithm>
#include <errno.h>

namespace ZipSync {

// The digest following the first "zsMH:" of the bytes, or all-zero when there is none or it is
// cut off or not 64 lower-case hex digits.
static HashDigest FindHashInPrefix(const std::vector<uint8_t>& bytes) {
    HashDigest digest;
    const char* begin = reinterpret_cast<const char*>(bytes.data());
    const char* end = begin + bytes.size();
    const char* marker =
        std::search(begin, end, CHECKSUMMED_HASH_PREFIX, CHECKSUMMED_HASH_PREFIX + HASH_PREFIX_LEN);
    if (marker == end || end - (marker + HASH_PREFIX_LEN) < HASH_SIZE) return digest;
    std::string hex(marker + HASH_PREFIX_LEN, HASH_SIZE);
    for (char c : hex)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return digest;
    digest.Parse(hex.c_str());
    return digest;
}

std::vector<HashDigest> DownloadChecksummedZipHashes(Downloader& downloader,
                                                     const std::vector<std::string>& urls) {
    size_t n = urls.size();
    std::vector<std::vector<uint8_t>> buffers(n);
    for (size_t i = 0; i < n; i++) {
        downloader.EnqueueDownload(DownloadSource(urls[i], 0, DOWNLOADED_BYTES),
                                   [&buffers, i](const void* data, uint32_t size) {
                                       ZipSyncAssert(size == DOWNLOADED_BYTES);
                                       const uint8_t* bytes = static_cast<const uint8_t*>(data);
                                       buffers[i].assign(bytes, bytes + size);
                                   });
    }
    downloader.DownloadAll();
    std::vector<HashDigest> digests(n);
    for (size_t i = 0; i < n; i++)
        if (!buffers[i].empty()) digests[i] = FindHashInPrefix(buffers[i]);
    return digests;
}

std::vector<int> DownloadChecksummedZips(Downloader& downloader, const std::vector<std::string>& urls,
                                         const std::vector<HashDigest>& remoteHashes,
                                         const std::vector<std::string>& localPaths,
                                         std::vector<std::string>& outputPaths) {
    size_t n = urls.size();
    ZipSyncAssert(remoteHashes.size() == n);
    ZipSyncAssert(outputPaths.size() == n);
    size_t m = localPaths.size();
    std::vector<HashDigest> localHashes;
    for (const std::string& path : localPaths) localHashes.push_back(ReadChecksummedZipHash(path));

    std::vector<int> result(n, -1);
    for (size_t i = 0; i < n; i++) {
        if (remoteHashes[i].IsZero()) continue;
        for (size_t j = 0; j < m + i; j++) {
            const HashDigest& candidate = j < m ? localHashes[j] : remoteHashes[j - m];
            if (candidate != remoteHashes[i]) continue;
            result[i] = int(j);
            outputPaths[i] = j < m ? localPaths[j] : outputPaths[j - m];
            break;
        }
    }

    std::vector<StdioFileHolder> files(n);
    for (size_t i = 0; i < n; i++) {
        if (result[i] >= 0) continue;
        files[i] = StdioFileHolder(outputPaths[i], "wb");
        FILE* file = files[i].get();
        const std::string& path = outputPaths[i];
        downloader.EnqueueDownload(DownloadSource(urls[i]), [file, path](const void* data, uint32_t size) {
            errno = 0;
            if (fwrite(data, 1, size, file) != size) RaiseWriteFailure(path, errno);
        });
    }
    downloader.DownloadAll();
    for (size_t i = 0; i < n; i++) {
        // A failed close means buffered bytes never reached the file.
        if (files[i].get() && files[i].reset() != 0) RaiseWriteFailure(outputPaths[i], errno);
    }
    return result;
}

} // namespace ZipSync

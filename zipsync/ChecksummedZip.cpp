#include "ChecksummedZip.h"

#include "Downloader.h"
#include "Logging.h"
#include "Utils.h"
#include "ZipUtils.h"

#include <algorithm>
#include <string.h>

namespace ZipSync {

static const char* const HASH_ENTRY_NAME = "hash.txt";
// 2000-01-01 00:00:00, so that the same payload always gives the same archive bytes.
static const uint32_t CHECKSUMMED_DOS_DATE = 0x28210000;

void WriteChecksummedZip(const std::string& path, const void* data, size_t size,
                         const std::string& payloadName) {
    Hasher hasher;
    hasher.Update(data, size);
    std::string text = std::string(CHECKSUMMED_HASH_PREFIX) + hasher.Finalize().Hex();

    ZipFileHolder zf(path);
    zip_fileinfo info;
    memset(&info, 0, sizeof(info));
    info.dosDate = CHECKSUMMED_DOS_DATE;
    zf.OpenNewFile(HASH_ENTRY_NAME, info, 0, 0, false);
    zf.WriteInFile(text.data(), text.size());
    zf.CloseFile();
    zf.OpenNewFile(payloadName.c_str(), info, Z_DEFLATED, 9, false);
    zf.WriteInFile(data, size);
    zf.CloseFile();
    zf.Close();
}

// Opens the current entry (inflating) and returns what it yields, never more than its declared
// size. Reads in pieces and lets the buffer grow with the data actually obtained, up to that
// size, so that a forged size in the directory cannot make it allocate more than the entry
// really holds.
static std::vector<uint8_t> ReadCurrentEntry(UnzFileHolder& zf, uint64_t declaredSize) {
    std::vector<uint8_t> data;
    data.reserve(size_t(std::min<uint64_t>(declaredSize, 1 << 24)));
    zf.OpenCurrentFile(false);
    std::vector<uint8_t> chunk(65536);
    while (data.size() < declaredSize) {
        unsigned wanted = unsigned(std::min<uint64_t>(chunk.size(), declaredSize - data.size()));
        int got = unzReadCurrentFile(zf, chunk.data(), wanted);
        if (got < 0) CheckMinizip(got);
        if (got == 0) break;
        if (data.size() + unsigned(got) > data.capacity())
            data.reserve(size_t(std::min<uint64_t>(declaredSize, 2 * uint64_t(data.capacity()))));
        data.insert(data.end(), chunk.begin(), chunk.begin() + got);
    }
    return data;
}

HashDigest ReadChecksummedZipHash(const std::string& path) {
    UnzFileHolder zf(path);
    CheckMinizip(unzLocateFile(zf, HASH_ENTRY_NAME, 1));
    unz_file_info64 info;
    CheckMinizip(unzGetCurrentFileInfo64(zf, &info, nullptr, 0, nullptr, 0, nullptr, 0));
    ZipSyncAssert(info.uncompressed_size == HASH_PREFIX_LEN + HASH_SIZE);
    std::vector<uint8_t> data = ReadCurrentEntry(zf, info.uncompressed_size);
    std::string text(HASH_PREFIX_LEN + HASH_SIZE, '\0');
    size_t read = std::min(data.size(), text.size());
    memcpy(&text[0], data.data(), read);
    ZipSyncAssert(read == text.size());
    zf.CloseCurrentFile();
    ZipSyncAssert(memcmp(text.data(), CHECKSUMMED_HASH_PREFIX, strlen(CHECKSUMMED_HASH_PREFIX)) == 0);
    std::string hex = text.substr(HASH_PREFIX_LEN);
    HashDigest digest;
    digest.Parse(hex.c_str());
    return digest;
}

std::vector<uint8_t> ReadChecksummedZip(const std::string& path, const std::string& payloadName) {
    HashDigest expectedHash = ReadChecksummedZipHash(path);
    UnzFileHolder zf(path);
    CheckMinizip(unzLocateFile(zf, payloadName.c_str(), 1));
    unz_file_info64 info;
    CheckMinizip(unzGetCurrentFileInfo64(zf, &info, nullptr, 0, nullptr, 0, nullptr, 0));
    if (info.uncompressed_size > MAX_MANIFEST_SIZE)
        g_logger->errorf(lcGeneral, "Payload \"%s\" of %s declares %llu bytes, more than %llu",
                         payloadName.c_str(), path.c_str(), (unsigned long long)info.uncompressed_size,
                         (unsigned long long)MAX_MANIFEST_SIZE);
    std::vector<uint8_t> data = ReadCurrentEntry(zf, info.uncompressed_size);
    uint64_t read = data.size();
    ZipSyncAssert(read == info.uncompressed_size);
    zf.CloseCurrentFile();
    Hasher hasher;
    hasher.Update(data.data(), data.size());
    HashDigest obtainedHash = hasher.Finalize();
    ZipSyncAssert(expectedHash == obtainedHash);
    return data;
}

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
        downloader.EnqueueDownload(DownloadSource(urls[i]), [file](const void* data, uint32_t size) {
            size_t wr = fwrite(data, 1, size, file);
            ZipSyncAssert(wr == size);
        });
    }
    downloader.DownloadAll();
    for (size_t i = 0; i < n; i++) {
        // A failed close means buffered bytes never reached the file.
        if (files[i].get() && files[i].reset() != 0)
            g_logger->errorf(lcGeneral, "Failed to write file \"%s\"", outputPaths[i].c_str());
    }
    return result;
}

} // namespace ZipSync

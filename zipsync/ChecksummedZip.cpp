#include "ChecksummedZip.h"

#include "Downloader.h"
#include "Logging.h"
#include "Utils.h"
#include "ZipUtils.h"

#include <algorithm>
#include <errno.h>
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

// A checksummed zip whose contents are not what its writer put there.
[[noreturn]] static void RefuseChecksummedZip(const std::string& path, const std::string& what) {
    g_logger->errorf(lcGeneral, "Checksummed zip \"%s\" is damaged: %s", path.c_str(), what.c_str());
}

static bool IsLowerHex(const std::string& text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

HashDigest ReadChecksummedZipHash(const std::string& path) {
    UnzFileHolder zf(path);
    CheckMinizip(unzLocateFile(zf, HASH_ENTRY_NAME, 1));
    unz_file_info64 info;
    CheckMinizip(unzGetCurrentFileInfo64(zf, &info, nullptr, 0, nullptr, 0, nullptr, 0));
    const size_t textSize = HASH_PREFIX_LEN + HASH_SIZE;
    if (info.uncompressed_size != textSize)
        RefuseChecksummedZip(path,
                             FormatString("%s holds %llu bytes instead of %u", HASH_ENTRY_NAME,
                                          (unsigned long long)info.uncompressed_size, unsigned(textSize)));
    std::vector<uint8_t> data = ReadCurrentEntry(zf, info.uncompressed_size);
    if (data.size() != textSize)
        RefuseChecksummedZip(path, FormatString("%s is shorter than its header says", HASH_ENTRY_NAME));
    zf.CloseCurrentFile();
    std::string text(data.begin(), data.end());
    std::string hex = text.substr(HASH_PREFIX_LEN);
    if (text.compare(0, HASH_PREFIX_LEN, CHECKSUMMED_HASH_PREFIX) != 0 || !IsLowerHex(hex))
        RefuseChecksummedZip(
            path, FormatString("%s holds no digest after \"%s\"", HASH_ENTRY_NAME, CHECKSUMMED_HASH_PREFIX));
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
    if (data.size() != info.uncompressed_size)
        RefuseChecksummedZip(path, FormatString("%s is shorter than its header says",
                                                EscapeControlChars(payloadName).c_str()));
    zf.CloseCurrentFile();
    Hasher hasher;
    hasher.Update(data.data(), data.size());
    HashDigest obtainedHash = hasher.Finalize();
    if (expectedHash != obtainedHash)
        RefuseChecksummedZip(path, FormatString("the digest of %s is %s instead of %s",
                                                EscapeControlChars(payloadName).c_str(),
                                                obtainedHash.Hex().c_str(), expectedHash.Hex().c_str()));
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

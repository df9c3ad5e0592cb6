#include "zip/ChecksummedZip.h"

#include "base/Logging.h"
#include "base/Utils.h"
#include "zip/ZipUtils.h"

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

// Makes the entry name (exact case) the current one of zf, the checksummed zip at path.
static void LocateEntry(UnzFileHolder& zf, const std::string& path, const std::string& name) {
    int status = unzLocateFile(zf, name.c_str(), 1);
    if (status == UNZ_END_OF_LIST_OF_FILE)
        g_logger->errorf(lcGeneral, "Checksummed zip \"%s\" holds no \"%s\"", path.c_str(),
                         EscapeControlChars(name).c_str());
    CheckMinizip(status);
}

static bool IsLowerHex(const std::string& text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

HashDigest ReadChecksummedZipHash(const std::string& path) {
    UnzFileHolder zf(path);
    LocateEntry(zf, path, HASH_ENTRY_NAME);
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

std::vector<uint8_t> ReadChecksummedZip(const std::string& path, const std::string& payloadName,
                                        uint64_t maxSize) {
    HashDigest expectedHash = ReadChecksummedZipHash(path);
    UnzFileHolder zf(path);
    LocateEntry(zf, path, payloadName);
    unz_file_info64 info;
    CheckMinizip(unzGetCurrentFileInfo64(zf, &info, nullptr, 0, nullptr, 0, nullptr, 0));
    if (info.uncompressed_size > maxSize)
        g_logger->errorf(lcGeneral, "Payload \"%s\" of %s declares %llu bytes, more than %llu",
                         payloadName.c_str(), path.c_str(), (unsigned long long)info.uncompressed_size,
                         (unsigned long long)maxSize);
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

} // namespace ZipSync

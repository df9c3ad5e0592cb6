#include "StoredState.h"

#include "InstallerFiles.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "base/Platform.h"
#include "base/Text.h"
#include "zip/IniFile.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <stdio.h>

using namespace ZipSync;

static const std::string ZIP_PREFIX = "Zip ";
static const std::string UNPACKED_PREFIX = "UnpackedFile ";
static const char* const CONTENTS_HASH_KEY = "contentsHash";

// Asserts that the section's key at `index` is `key`; a missing key fails the same way, citing
// the condition as written.
#define ASSERT_KEY_AT(sec, index, key)                                                                       \
    do {                                                                                                     \
        if ((sec).size() <= (index) || (sec)[index].first != key)                                            \
            AssertFailed("sec[" #index "].first == \"" key "\"", __FILE__, __LINE__);                        \
    } while (0)

bool operator==(const ZipScanEntry& a, const ZipScanEntry& b) {
    return a.path == b.path && a.modTime == b.modTime && a.size == b.size;
}
bool operator!=(const ZipScanEntry& a, const ZipScanEntry& b) {
    return !(a == b);
}

ScanState BuildScanState(const std::vector<std::string>& zipPaths, const std::string& rootDir) {
    ScanState state;
    for (const std::string& zip : zipPaths) {
        ZipScanEntry entry;
        entry.path = PathAR::FromAbs(zip, rootDir).rel;
        int64_t modTime = 0;
        uint64_t size = 0;
        if (GetFileKind(zip, true) != FileKind::Regular || !GetFileTimeAndSize(zip, modTime, size))
            g_logger->errorf(lcCantOpenFile, "Failed to open file \"%s\"", zip.c_str());
        entry.modTime = uint64_t(modTime);
        entry.size = uint32_t(size);
        entry.modTimeNs = GetFileTimeNs(zip);
        state.push_back(std::move(entry));
    }
    // std::string compares through char_traits<char>, i.e. as unsigned bytes.
    std::sort(state.begin(), state.end(),
              [](const ZipScanEntry& a, const ZipScanEntry& b) { return a.path < b.path; });
    return state;
}

IniData ScanStateToIni(const ScanState& state) {
    IniData ini;
    for (const ZipScanEntry& entry : state) {
        IniSect sec;
        sec.emplace_back("modTime", std::to_string(entry.modTime));
        sec.emplace_back("size", std::to_string(entry.size));
        ini.emplace_back(ZIP_PREFIX + entry.path, std::move(sec));
    }
    return ini;
}

ScanState ScanStateFromIni(const IniData& ini) {
    ScanState state;
    for (const auto& [name, sec] : ini) {
        if (!StartsWith(name, ZIP_PREFIX)) ZipSyncAssert(false);
        ZipScanEntry entry;
        entry.path = name.substr(ZIP_PREFIX.size());
        ASSERT_KEY_AT(sec, 0, "modTime");
        unsigned long long modTime = 0;
        int k = sscanf(sec[0].second.c_str(), "%llu", &modTime);
        ZipSyncAssert(k == 1);
        ASSERT_KEY_AT(sec, 1, "size");
        unsigned size = 0;
        k = sscanf(sec[1].second.c_str(), "%u", &size);
        ZipSyncAssert(k == 1);
        entry.modTime = modTime;
        entry.size = size;
        state.push_back(std::move(entry));
    }
    return state;
}

bool operator==(const InstallState& a, const InstallState& b) {
    return a.version == b.version && a.zips == b.zips && a.unpackedFiles == b.unpackedFiles &&
           a.unpackedHashes == b.unpackedHashes;
}
bool operator!=(const InstallState& a, const InstallState& b) {
    return !(a == b);
}

IniData InstallStateToIni(const InstallState& state) {
    IniData ini;
    ini.emplace_back("Version", IniSect{{"version", state.version}});
    for (const std::string& zip : state.zips) ini.emplace_back(ZIP_PREFIX + zip, IniSect());
    for (const std::string& file : state.unpackedFiles) {
        IniSect sec;
        auto hash = state.unpackedHashes.find(file);
        if (hash != state.unpackedHashes.end()) sec.emplace_back(CONTENTS_HASH_KEY, hash->second.Hex());
        ini.emplace_back(UNPACKED_PREFIX + file, std::move(sec));
    }
    return ini;
}

// The digest of a "contentsHash" value, or nothing when the text is none.
static std::optional<HashDigest> ParseDigest(const std::string& hex) {
    try {
        ErrorsReportedByCaller quiet;
        HashDigest digest;
        digest.Parse(hex.c_str());
        return digest;
    } catch (const ErrorException&) {
        return std::nullopt;
    }
}

InstallState InstallStateFromIni(const IniData& ini) {
    InstallState state;
    for (const auto& [name, sec] : ini) {
        if (name == "Version") {
            ASSERT_KEY_AT(sec, 0, "version");
            state.version = sec[0].second;
        } else if (StartsWith(name, ZIP_PREFIX)) {
            state.zips.push_back(name.substr(ZIP_PREFIX.size()));
        } else if (StartsWith(name, UNPACKED_PREFIX)) {
            std::string file = name.substr(UNPACKED_PREFIX.size());
            state.unpackedFiles.push_back(file);
            for (const auto& [key, value] : sec)
                if (key == CONTENTS_HASH_KEY)
                    if (std::optional<HashDigest> digest = ParseDigest(value))
                        state.unpackedHashes[file] = *digest;
        }
    }
    return state;
}

ScanState WithManifestState(ScanState archives, const std::string& rootDir) {
    archives.push_back(BuildScanState({JoinPath(rootDir, MANIFEST_FILE)}, rootDir).at(0));
    std::sort(archives.begin(), archives.end(),
              [](const ZipScanEntry& a, const ZipScanEntry& b) { return a.path < b.path; });
    return archives;
}

std::vector<std::string> ScannedFiles(const std::string& root, const std::vector<std::string>& ownedZips) {
    std::vector<std::string> scanned = ownedZips;
    scanned.push_back(JoinPath(root, MANIFEST_FILE));
    return scanned;
}

IniData ReadStateFile(const std::string& root, const char* relPath) {
    return ReadIniFile(JoinPath(root, relPath), INI_FORMAT_BY_NAME, MAX_STATE_FILE_SIZE);
}

void WriteStateFile(const std::string& root, const char* relPath, const IniData& ini) {
    std::string path = JoinPath(root, relPath);
    RefuseLinksBelowRoot(path, root);
    CreateDirectoriesForFile(path, root);
    WriteIniFile(path, ini);
}

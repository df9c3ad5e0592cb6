#include "ManifestCache.h"

#include "OsUtils.h"
#include "base/Hash.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "base/Utils.h"
#include "net/RemoteChecksummedZip.h"
#include "zip/ChecksummedZip.h"
#include "zip/IniFile.h"
#include "zip/Manifest.h"

#include <algorithm>
#include <errno.h>
#include <filesystem>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

struct CacheContents {
    // Valid checksummed zips.
    std::vector<std::string> cached;
    // Names not taken, in ascending order.
    std::vector<std::string> freeNames;
};

// Looks at names 0, 1, ... while below 1000 or while fewer than wantedFree free names were found.
CacheContents ScanCache(size_t wantedFree) {
    CacheContents contents;
    for (int number = 0; number < 1000 || contents.freeNames.size() < wantedFree; number++) {
        std::string path = std::string(MANIFEST_CACHE_DIR) + "/" + std::to_string(number) + ".iniz";
        // The cache is the installer's own: nothing in it is read, written or deleted through a link.
        if (IsSymbolicLink(path)) g_logger->errorf(lcGeneral, "Path %s is a symbolic link", path.c_str());
        std::error_code ec;
        if (!fs::exists(path, ec)) {
            contents.freeNames.push_back(path);
            continue;
        }
        // A file without a readable digest could never be matched, and would be offered as a
        // candidate that the download rejects: it goes, like any file that is not a zip.
        try {
            ReadChecksummedZipHash(path);
            contents.cached.push_back(path);
        } catch (const ErrorException&) {
            g_logger->infof("Removing %s from manifest cache since it is not a valid zip", path.c_str());
            RemoveFile(path);
            contents.freeNames.push_back(path);
        }
    }
    return contents;
}

struct Pair {
    // Position of the request.
    size_t request;
    std::string key, url, path;
    HashDigest hash;
    // Why the digest could not be had, when it could not.
    std::string failure;
};

void LogPairs(const std::vector<Pair>& pairs) {
    for (const Pair& pair : pairs)
        g_logger->infof("  (%s) %s -> %s", pair.hash.Hex().c_str(), pair.url.c_str(), pair.path.c_str());
}

// Drops the pairs whose digest could not be fetched and removes their URLs from the configuration.
void DropFailedUrls(std::vector<Pair>& pairs, InstallerConfig& config) {
    std::vector<const Pair*> failed;
    for (const Pair& pair : pairs)
        if (pair.hash.IsZero() && std::none_of(failed.begin(), failed.end(),
                                               [&](const Pair* other) { return other->url == pair.url; }))
            failed.push_back(&pair);
    if (failed.empty()) return;
    int failedCount =
        (int)std::count_if(pairs.begin(), pairs.end(), [](const Pair& p) { return p.hash.IsZero(); });
    g_logger->infof("Failed to download %d manifests", failedCount);
    std::vector<std::pair<std::string, std::string>> causes;
    for (const Pair* pair : failed) {
        g_logger->warningf("Manifest %s cannot be fetched: %s", pair->url.c_str(), pair->failure.c_str());
        causes.emplace_back(pair->url, pair->failure);
    }
    pairs.erase(std::remove_if(pairs.begin(), pairs.end(), [](const Pair& p) { return p.hash.IsZero(); }),
                pairs.end());
    for (const auto& [url, cause] : causes) config.RemoveNonworkingUrl(url, cause);
}

// The most bytes the text of a manifest that provides files may take, measured against the
// target: ten times the 400 bytes or so that each of its entries takes, and at least 1 MiB.
// Such manifests may come from any mirror.
uint64_t ProviderManifestLimit(const Manifest& target) {
    return std::max<uint64_t>(uint64_t(1) << 20, uint64_t(target.size()) * 4096);
}

// The manifest of the cache file at path (at most maxSize bytes of text), attached to the
// directory of url. texts keeps the text of each file read, so that a file that serves several
// URLs (the same manifest on the official server and on a mirror) is read and parsed once.
Manifest LoadManifestFile(const std::string& path, const std::string& url, uint64_t maxSize,
                          std::map<std::string, IniData>& texts) {
    try {
        auto text = texts.find(path);
        if (text == texts.end())
            text = texts.emplace(path, ReadIniFile(path, INI_FORMAT_BY_NAME, maxSize)).first;
        Manifest manifest;
        manifest.LoadFromIni(text->second, GetDirPath(url));
        return manifest;
    } catch (const std::exception&) {
        // Kept, it would be taken for the same remote digest again and fail every time.
        g_logger->infof("Removing %s from manifest cache since it cannot be loaded", path.c_str());
        std::error_code ec;
        fs::remove(path, ec);
        throw;
    }
}

size_t CountNotLoaded(const std::vector<ManifestRequest>& requests) {
    return std::count_if(requests.begin(), requests.end(),
                         [](const ManifestRequest& r) { return !r.loaded; });
}

// One pass: fetches what is not loaded yet (or as much of it as works) into loaded. Until the
// target (the first request) is known, the others wait for the next pass.
void LoadPass(std::vector<ManifestRequest>& requests, InstallerConfig& config,
              const std::string& preferredMirror, const NetworkOptions& network, ProgressIndicator* progress,
              const Manifest*& target, std::map<std::string, Manifest>& loaded) {
    std::string root = GetCwd();
    RefuseLinksBelowRoot(JoinPath(root, MANIFEST_CACHE_DIR), root);
    fs::create_directories(MANIFEST_CACHE_DIR);
    g_logger->infof("Looking into manifests cache");
    CacheContents cache = ScanCache(CountNotLoaded(requests));
    g_logger->infof("Detected %d manifests in cache", (int)cache.cached.size());

    g_logger->infof("Need to download manifests:");
    std::vector<Pair> pairs;
    for (size_t i = 0; i < requests.size(); i++) {
        ManifestRequest& request = requests[i];
        if (request.loaded) continue;
        if (i != 0) request.url = config.ChooseManifestUrl(request.key, false, preferredMirror);
        pairs.push_back({i, request.key, request.url, "", HashDigest(), ""});
        g_logger->infof("  %s at %s", request.key.c_str(), request.url.c_str());
    }

    g_logger->infof("Downloading hashes of remote manifests");
    std::vector<std::string> pairUrls;
    for (const Pair& pair : pairs) pairUrls.push_back(pair.url);
    {
        Downloader downloader = MakeInstallerDownloader(network, progress);
        downloader.SetSilentErrors(true);
        std::vector<HashDigest> hashes = DownloadChecksummedZipHashes(downloader, pairUrls);
        g_logger->infof("Downloaded bytes: %lld", (long long)downloader.TotalBytesDownloaded());
        const std::map<std::string, std::string>& skipped = downloader.SkippedUrls();
        for (size_t j = 0; j < pairs.size(); j++) {
            pairs[j].hash = hashes[j];
            auto failure = skipped.find(pairs[j].url);
            if (failure != skipped.end())
                pairs[j].failure = failure->second;
            else if (hashes[j].IsZero())
                pairs[j].failure = "the answer is not a checksummed zip (no digest in its first bytes)";
        }
    }
    DropFailedUrls(pairs, config);

    g_logger->infof("Downloading actual remote manifests");
    std::vector<std::string> outPaths;
    std::vector<HashDigest> allHashes;
    pairUrls.clear();
    const HashDigest zeroHash;
    for (size_t i = 0; i < pairs.size(); i++) {
        pairs[i].path = cache.freeNames[i];
        pairUrls.push_back(pairs[i].url);
        allHashes.push_back(pairs[i].hash);
        outPaths.push_back(pairs[i].path);
        ZipSyncAssert(!(allHashes[i] == zeroHash));
    }
    LogPairs(pairs);
    {
        Downloader downloader = MakeInstallerDownloader(network, progress);
        DownloadChecksummedZips(downloader, pairUrls, allHashes, cache.cached, outPaths);
        g_logger->infof("Downloaded bytes: %lld", (long long)downloader.TotalBytesDownloaded());
    }
    g_logger->infof("Downloaded manifests successfully");
    for (size_t j = 0; j < pairs.size(); j++) pairs[j].path = outPaths[j];
    LogPairs(pairs);

    g_logger->infof("Loading downloaded manifests");
    std::map<std::string, IniData> texts;
    for (size_t j = 0; j < pairs.size(); j++) {
        const Pair& pair = pairs[j];
        if (pair.request != 0 && !target) continue;
        if (progress) progress->Update(double(j) / pairs.size(), "Loading manifest \"" + pair.path + "\"...");
        uint64_t limit = pair.request == 0 ? MAX_MANIFEST_SIZE : ProviderManifestLimit(*target);
        loaded[pair.key] = LoadManifestFile(pair.path, pair.url, limit, texts);
        requests[pair.request].loaded = true;
        if (pair.request == 0) target = &loaded[pair.key];
        if (progress) progress->Update(double(j + 1) / pairs.size(), "Manifest \"" + pair.path + "\" loaded");
    }
    if (progress) progress->Update(1.0, "Manifests loaded");
}

// A cache file whose text has the digest, or empty when there is none.
std::string FindCachedText(const HashDigest& digest) {
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(MANIFEST_CACHE_DIR, ec)) {
        std::string cached = entry.path().generic_string();
        try {
            // Reading checks the text against the digest: a damaged file is no copy.
            if (!entry.is_symlink(ec) && entry.is_regular_file(ec) &&
                ReadChecksummedZipHash(cached) == digest) {
                ReadIniFile(cached);
                return cached;
            }
        } catch (const ErrorException&) {
        }
    }
    return "";
}

} // namespace

std::map<std::string, Manifest> LoadManifests(std::vector<ManifestRequest>& requests, InstallerConfig& config,
                                              const std::string& preferredMirror,
                                              const NetworkOptions& network, ProgressIndicator* progress,
                                              const Manifest* knownTarget) {
    std::map<std::string, Manifest> loaded;
    const Manifest* target = knownTarget;
    while (CountNotLoaded(requests) > 0)
        LoadPass(requests, config, preferredMirror, network, progress, target, loaded);
    return loaded;
}

void SaveManifest(const Manifest& manifest, const std::string& path) {
    IniData ini = manifest.SaveToIni();
    std::string text = FormatIniText(ini);
    Hasher hasher;
    hasher.Update(text.data(), text.size());
    std::string cached = FindCachedText(hasher.Finalize());
    if (cached.empty()) {
        WriteIniFile(path, ini);
        return;
    }
    std::vector<uint8_t> bytes = ReadWholeFile(cached);
    StdioFileHolder file(path, "wb");
    errno = 0;
    if (fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) RaiseWriteFailure(path, errno);
    if (file.reset() != 0) RaiseWriteFailure(path, errno);
}

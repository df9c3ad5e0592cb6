#include "Evaluation.h"

#include "GameRules.h"
#include "InstallerFiles.h"
#include "ManifestCache.h"
#include "OsUtils.h"
#include "UnpackZip.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "base/Text.h"
#include "update/DownloadJournal.h"

#include <vector>

using namespace ZipSync;

namespace {

// The manifests an evaluation needs: the target first (its URL chosen among the trusted ones),
// then, for a custom manifest, the custom manifest again as a provider of its own files, then
// the version and every version it depends on. Those in loadedManifests are marked loaded.
std::vector<ManifestRequest> RequestManifests(const VersionChoice& choice, const InstallerConfig& config,
                                              const std::map<std::string, Manifest>& loadedManifests) {
    std::vector<ManifestRequest> requests;
    if (choice.customManifestUrl.empty()) {
        requests.push_back({choice.version + "$$" + "trusted",
                            config.ChooseManifestUrl(choice.version, true, choice.preferredMirror)});
    } else {
        requests.push_back({choice.customManifestUrl, choice.customManifestUrl});
        requests.push_back({choice.customManifestUrl, ""});
    }
    for (const std::string& dependency : config.GetDependencies(choice.version))
        requests.push_back({dependency, ""});
    // Trusted URLs are written "http://" while the official server speaks TLS: the target
    // manifest travels over TLS (the downloader downgrades it when told to). An official server
    // given as an "http://" root has no TLS to upgrade to.
    std::string& targetUrl = requests[0].url;
    if (StartsWith(targetUrl, "http://") && StartsWith(GetUpdateServerUrl(), "https://"))
        targetUrl = "https://" + targetUrl.substr(7);
    for (ManifestRequest& request : requests) request.loaded = loadedManifests.count(request.key) > 0;
    return requests;
}

// Why a target archive at rel may not be installed, empty when it may: it would replace one of
// the installer's own files, it is named like a temporary file of the unpacking (which the
// clean-up deletes), or a file that is not the game's (not one of owned) holds its place. A
// FIFO, a directory or a device there is refused by the plan's checks of the zips.
std::string WhyArchiveRefused(const std::string& rel, const std::string& root,
                              const std::set<std::string>& owned) {
    std::string what = DescribeInstallerFile(rel);
    if (!what.empty()) return "it is " + what;
    if (IsUnpackTemporaryName(GetFilename(rel))) return "it is named like a temporary file";
    std::string path = JoinPath(root, rel);
    bool occupied = IsSymbolicLink(path) || (PathExists(path) && NonRegularFileKind(path).empty());
    if (occupied && !owned.count(rel)) return "a file that is not the game's is in its place";
    return "";
}

// The target's checks before anything is written. A manifest comes from a server: it must not
// make the installation write over what the installer keeps in the directory, nor over the
// player's files. Raises "Refusing to install archive %s: %s" (WhyArchiveRefused), and
// CheckEntryName's "Refusing to unpack entry ..." for a file of a shared archive that the
// finalisation would refuse or whose place is taken (WhyPlaceTaken).
void CheckTarget(const Manifest& target, const LocalScan& scan, const std::string& root) {
    std::set<std::string> owned;
    for (const std::string& path : scan.ownedZips) owned.insert(PathAR::FromAbs(path, root).rel);
    for (const std::string& rel : target.ZipRelPaths()) {
        std::string problem = WhyArchiveRefused(rel, root, owned);
        if (!problem.empty())
            g_logger->errorf(lcGeneral, "Refusing to install archive %s: %s", rel.c_str(), problem.c_str());
    }
    std::set<std::string> archives = GameArchives(target, scan.ownedZips, root);
    for (const FileMetainfo& file : target)
        if (IsUnpackedArchive(file.zipPath.rel))
            CheckEntryName(file.filename, [&](const std::string& name) {
                std::string problem = WhyLooseFileRefused(name, archives);
                return problem.empty() ? WhyPlaceTaken(root, name, file.contentsHash, scan.lastInstall)
                                       : problem;
            });
}

void LogStats(const UpdateStats& stats) {
    g_logger->infof("Update statistics:");
    g_logger->infof("  current: %llu", (unsigned long long)stats.currentSize);
    g_logger->infof("  final: %llu", (unsigned long long)stats.finalSize);
    g_logger->infof("  download: %llu", (unsigned long long)stats.downloadSize);
    g_logger->infof("  added: %llu", (unsigned long long)stats.addedSize);
    g_logger->infof("  removed: %llu", (unsigned long long)stats.removedSize);
    g_logger->infof("  missing: %llu", (unsigned long long)stats.missingSize);
}

} // namespace

std::string EvaluationKey(const std::string& version, const std::string& customManifestUrl) {
    return customManifestUrl.empty() ? version : version + " & " + customManifestUrl;
}

Evaluation EvaluateVersion(const VersionChoice& choice, InstallerConfig& config,
                           std::map<std::string, Manifest>& loadedManifests, LocalScan& scan,
                           const NetworkOptions& network, ProgressIndicator* progress) {
    std::string root = GetCwd();
    g_logger->infof("Evaluating version %s", choice.version.c_str());
    if (!choice.customManifestUrl.empty())
        g_logger->infof("With custom manifest URL: %s", choice.customManifestUrl.c_str());
    if (!choice.preferredMirror.empty())
        g_logger->infof("Preferred mirror: %s", choice.preferredMirror.c_str());

    std::vector<ManifestRequest> requests = RequestManifests(choice, config, loadedManifests);
    g_logger->infof("Target manifest at %s", requests[0].url.c_str());
    g_logger->infof("Version %s needs files from %d versions", choice.version.c_str(),
                    (int)requests.size() - 1);
    for (size_t i = 1; i < requests.size(); i++)
        g_logger->debugf("  %s %s", requests[i].key.c_str(), requests[i].loaded ? "(loaded)" : "");
    const Manifest* knownTarget = requests[0].loaded ? &loadedManifests.at(requests[0].key) : nullptr;
    for (auto& [key, manifest] :
         LoadManifests(requests, config, choice.preferredMirror, network, progress, knownTarget))
        loadedManifests[key] = std::move(manifest);

    g_logger->infof("There are %d QMH-owned zips locally", (int)scan.ownedZips.size());
    for (const std::string& zip : scan.ownedZips) g_logger->debugf("  %s", zip.c_str());

    UpdateSources sources;
    sources.rootDir = root;
    sources.target = loadedManifests.at(requests[0].key);
    CheckTarget(sources.target, scan, root);
    sources.local = scan.localManifest;
    // What an interrupted installation downloaded is not fetched again.
    if (!scan.keptDownloads) scan.keptDownloads = AnalyzeDownloadJournal(root);
    sources.kept = *scan.keptDownloads;
    for (size_t i = 1; i < requests.size(); i++) sources.remote.Merge(loadedManifests.at(requests[i].key));
    sources.owned = scan.ownedZips;
    sources.damaged = scan.damagedZips;
    auto update = std::make_unique<UpdateSequence>(std::move(sources));
    g_logger->infof("Collected full manifest: target (%d files) and provided (%d files)",
                    update->Process().GetTargetManifest().size(),
                    update->Process().GetProvidedManifest().size());

    g_logger->infof("Developing update plan");
    bool complete = update->Plan(choice.bitwiseExact ? UpdateType::BitwiseExact : UpdateType::ContentsOnly);
    Evaluation evaluation;
    evaluation.version = EvaluationKey(choice.version, choice.customManifestUrl);
    evaluation.stats = update->Stats();
    LogStats(evaluation.stats);
    if (complete) {
        evaluation.update = std::move(update);
    } else {
        ZipSyncAssert(!choice.customManifestUrl.empty());
    }
    g_logger->infof("");
    return evaluation;
}

#include "GameRules.h"

#include "InstallerFiles.h"
#include "StoredState.h"
#include "base/FileTree.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "base/Text.h"
#include "base/Utils.h"
#include "zip/TemporaryNames.h"
#include "zip/ZipUtils.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <optional>
#include <utility>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

// Which archives belong to the game: relative path with this prefix and suffix.
const std::pair<const char*, const char*> OWNED_ZIP_RULES[] = {
    {"qmh_", ".pk4"},
    {"qmh_", ".zip"},
    {"fms/qmh_", ".pk4"},
    {"fms/harborjob/", ".pk4"},
    {"fms/stmarin/", ".pk4"},
    {"fms/saintmarin/", ".pk4"},
    {"fms/practice_mission/", ".pk4"},
};

} // namespace

bool MatchesOwnedZipRule(const std::string& relPath) {
    for (const auto& rule : OWNED_ZIP_RULES)
        if (StartsWith(relPath, rule.first) && EndsWith(relPath, rule.second)) return true;
    return false;
}

bool IsUnpackedArchive(const std::string& relPath) {
    return std::find(std::begin(UNPACKED_ARCHIVES), std::end(UNPACKED_ARCHIVES), relPath) !=
           std::end(UNPACKED_ARCHIVES);
}

namespace {

// Whether the listed archive at rel is still the file the installer recorded: the scan state
// that was saved after its last analysis or installation has it with its present size and time.
bool StillAsRecorded(const std::string& root, const std::string& rel, const ScanState& recorded) {
    auto entry =
        std::find_if(recorded.begin(), recorded.end(), [&](const ZipScanEntry& e) { return e.path == rel; });
    if (entry == recorded.end()) return false;
    try {
        ErrorsReportedByCaller quiet;
        return BuildScanState({JoinPath(root, rel)}, root).at(0) == *entry;
    } catch (const ErrorException&) {
        return false;
    }
}

} // namespace

std::vector<std::string> CollectOwnedZips(const std::string& root,
                                          const std::vector<std::string>& lastInstallZips,
                                          const ScanState& recorded) {
    std::vector<std::string> owned;
    for (const std::string& rel : ListFilesRecursively(root)) {
        // A link is the player's, not ours, wherever it points: updating an archive through it
        // would change a file outside the installation.
        std::error_code ec;
        if (fs::is_symlink(fs::symlink_status(JoinPath(root, rel), ec))) continue;
        bool byRule = MatchesOwnedZipRule(rel);
        if (!byRule &&
            std::find(lastInstallZips.begin(), lastInstallZips.end(), rel) == lastInstallZips.end())
            continue;
        // Not even a name the rules match makes the installer's own files the game's.
        if (!DescribeInstallerFile(rel).empty()) continue;
        // The state file is only a list of names: one that is no archive, or not the archive
        // the installer left there, is the player's file (one named by the rules is owned in
        // any case, so that a damaged game archive is repaired).
        if (!byRule && !LooksLikeZip(JoinPath(root, rel))) {
            g_logger->warningf("%s is listed in %s but is no zip: it is left alone", rel.c_str(),
                               LAST_INSTALL_PATH);
            continue;
        }
        if (!byRule && !StillAsRecorded(root, rel, recorded)) {
            g_logger->warningf(
                "%s is listed in %s but is not the archive the installer left there: it is left alone",
                rel.c_str(), LAST_INSTALL_PATH);
            continue;
        }
        owned.push_back(JoinPath(root, rel));
    }
    return owned;
}

std::string WhyLooseFileRefused(const std::string& name, const std::set<std::string>& archives) {
    std::string what = DescribeInstallerFile(name);
    if (!what.empty()) return "it is " + what;
    if (archives.count(name) || MatchesOwnedZipRule(name)) return "it is a game archive";
    if (IsTemporaryFileName(GetFilename(name))) return "it is named like a temporary file";
    return "";
}

bool IsGameBinary(const std::string& name) {
    return std::find(std::begin(GAME_BINARIES), std::end(GAME_BINARIES), name) != std::end(GAME_BINARIES);
}

namespace {

// The digest of the regular file (no link) at path, or nothing.
std::optional<HashDigest> DigestOfRegularFile(const std::string& path) {
    if (IsSymbolicLink(path) || !IfFileExists(path)) return std::nullopt;
    try {
        ErrorsReportedByCaller quiet;
        return DigestOfFile(path);
    } catch (const ErrorException&) {
        return std::nullopt;
    }
}

} // namespace

bool StillAsUnpacked(const std::string& root, const std::string& name, const InstallState& lastInstall) {
    auto recorded = lastInstall.unpackedHashes.find(name);
    if (recorded == lastInstall.unpackedHashes.end()) return false;
    std::optional<HashDigest> present = DigestOfRegularFile(JoinPath(root, name));
    return present && *present == recorded->second;
}

std::string WhyPlaceTaken(const std::string& root, const std::string& name, const HashDigest& contentsHash,
                          const InstallState& lastInstall) {
    std::string path = JoinPath(root, name);
    if (!PathExists(path) || IsGameBinary(name) || StillAsUnpacked(root, name, lastInstall)) return "";
    std::optional<HashDigest> present = DigestOfRegularFile(path);
    if (present && *present == contentsHash) return "";
    return "a file that the installer did not unpack is in its place";
}

std::set<std::string> GameArchives(const Manifest& target, const std::vector<std::string>& ownedZips,
                                   const std::string& root) {
    std::set<std::string> archives = target.ZipRelPaths();
    for (const std::string& path : ownedZips)
        archives.insert(fs::path(path).lexically_relative(root).generic_string());
    return archives;
}

std::vector<std::string> FindFilesByName(const std::string& root, const std::vector<std::string>& names) {
    std::set<std::string> wanted(names.begin(), names.end());
    std::vector<std::string> found;
    for (const std::string& rel : ListFilesRecursively(root))
        if (wanted.count(rel)) found.push_back(JoinPath(root, rel));
    return found;
}

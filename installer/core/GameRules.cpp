#include "GameRules.h"

#include "InstallerFiles.h"
#include "StoredState.h"
#include "base/FileTree.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "base/Text.h"
#include "zip/TemporaryNames.h"
#include "zip/ZipUtils.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
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

std::vector<std::string> CollectOwnedZips(const std::string& root,
                                          const std::vector<std::string>& lastInstallZips) {
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
        // The state file is only a list of names: one that is no archive is the player's file
        // (a damaged game archive keeps its zip signature, and one named by the rules is owned
        // in any case, so that both are repaired).
        if (!byRule && !LooksLikeZip(JoinPath(root, rel))) {
            g_logger->warningf("%s is listed in %s but is no zip: it is left alone", rel.c_str(),
                               LAST_INSTALL_PATH);
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

#include "GameFixture.h"

#include "TempDir.h"
#include "base/Path.h"
#include "net/Downloader.h"
#include "update/DownloadJournal.h"
#include "update/TemporaryFiles.h"
#include "update/UpdateSequence.h"
#include "zip/ZipAnalysis.h"

#include <algorithm>
#include <errno.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <stdio.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif
#include <tuple>
#include <unistd.h>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> ToAbsolute(const std::string& root, const std::vector<std::string>& rels) {
    std::vector<std::string> paths;
    for (const std::string& rel : rels) paths.push_back(root + "/" + rel);
    return paths;
}

GameVersions MakeGameVersions(const std::string& dir) {
    std::string script = std::string(TESTS_SOURCE_DIR) + "/support/make_game.py";
    if (RunShellCommand("python3 '" + script + "' '" + dir + "'") != 0)
        throw std::runtime_error("make_game.py failed");
    GameVersions game;
    game.dirA = dir + "/A";
    game.dirB = dir + "/B";
    std::ifstream layout(dir + "/layout.txt");
    std::string kind, rel;
    while (layout >> kind >> rel) {
        if (kind == "A") game.archivesA.push_back(rel);
        if (kind == "B") game.archivesB.push_back(rel);
        if (kind == "U") game.userFiles.push_back(rel);
    }
    game.manifestA = ScanInstallation(game.dirA);
    game.manifestB = AnalyzeZips(game.dirB, ToAbsolute(game.dirB, game.archivesB), true, 1);
    return game;
}

} // namespace

std::vector<std::string> GameVersions::ProductArchives() const {
    std::set<std::string> all(archivesA.begin(), archivesA.end());
    all.insert(archivesB.begin(), archivesB.end());
    return std::vector<std::string>(all.begin(), all.end());
}

const GameVersions& GetGameVersions() {
    static std::unique_ptr<TempDir> dir;
    static std::unique_ptr<GameVersions> game;
    if (!game) {
        dir = std::make_unique<TempDir>("qmhgame");
        game = std::make_unique<GameVersions>(MakeGameVersions(dir->path()));
    }
    return *game;
}

void CopyDirectory(const std::string& from, const std::string& to) {
    if (!fs::is_directory(from)) {
        fs::copy(from, to);
        return;
    }
    // Entry by entry into a directory that may exist: the C++ library of mingw-w64 refuses to copy
    // a directory onto an existing one.
    fs::create_directories(to);
    for (const fs::directory_entry& entry : fs::directory_iterator(from))
        fs::copy(entry.path(), fs::path(to) / entry.path().filename(), fs::copy_options::recursive);
}

void InstallPublishedTree(const std::string& tree, const std::string& install) {
    CopyDirectory(tree, install);
    fs::remove(install + "/manifest.iniz");
}

std::map<std::string, std::string> SnapshotFiles(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        files[fs::relative(entry.path(), dir).generic_string()] = bytes.str();
    }
    return files;
}

::testing::AssertionResult SameFiles(const std::map<std::string, std::string>& actual,
                                     const std::map<std::string, std::string>& expected) {
    std::string differences;
    for (const auto& file : actual) {
        auto it = expected.find(file.first);
        if (it == expected.end())
            differences += " unexpected:" + file.first;
        else if (it->second != file.second)
            differences += " changed:" + file.first;
    }
    for (const auto& file : expected)
        if (!actual.count(file.first)) differences += " missing:" + file.first;
    if (differences.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "files differ:" << differences;
}

std::map<std::string, std::string> OutsideJournal(std::map<std::string, std::string> files) {
    std::string journal = std::string(kDownloadJournalDir) + "/";
    for (auto it = files.begin(); it != files.end();)
        it = it->first.rfind(journal, 0) == 0 ? files.erase(it) : std::next(it);
    return files;
}

std::vector<std::string> ListArchives(const std::string& dir) {
    std::vector<std::string> archives;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file() && entry.path().extension() == ".pk4")
            archives.push_back(fs::relative(entry.path(), dir).generic_string());
    std::sort(archives.begin(), archives.end());
    return archives;
}

Manifest ScanInstallation(const std::string& rootDir, std::vector<DamagedZip>* damaged) {
    std::vector<std::string> archives;
    for (const std::string& rel : ListArchives(rootDir))
        if (!IsTemporaryFileName(GetFilename(rel))) archives.push_back(rel);
    return AnalyzeZips(rootDir, ToAbsolute(rootDir, archives), true, 1, nullptr, damaged);
}

UpdateResult RunUpdate(const UpdateRequest& request) {
    const std::string& root = request.rootDir;
    if (request.cleanupFirst) CleanupTemporaryFiles(root);
    UpdateResult result;
    UpdateSources sources;
    sources.rootDir = root;
    sources.target = *request.target;
    sources.local = ScanInstallation(root, request.repairDamaged ? &result.damaged : nullptr);
    sources.kept = AnalyzeDownloadJournal(root);
    if (request.mirror) {
        sources.remote = *request.mirror;
        sources.remote.Rebase(request.mirrorUrl);
    }
    for (const std::string& rel : request.product)
        if (IfFileExists(root + "/" + rel)) sources.owned.push_back(root + "/" + rel);
    sources.damaged = result.damaged;
    UpdateSequence update(std::move(sources));
    result.planComplete = update.Plan(request.type);
    result.stats = update.Stats();
    if (!result.planComplete) return result;

    Downloader downloader;
    if (request.progress) downloader.SetProgressCallback(request.progress);
    if (request.configureDownloader) request.configureDownloader(downloader);
    update.Execute(downloader, request.progress, request.progress, [&](UpdateStep done) {
        if (done == UpdateStep::Download) {
            result.bytesDownloaded = downloader.TotalBytesDownloaded();
            if (request.afterDownload) request.afterDownload(update.Process());
        } else if (request.afterRepack) {
            request.afterRepack(update.Process());
        }
    });
    return result;
}

::testing::AssertionResult HoldsVersionB(const std::string& rootDir, bool bitwise) {
    const GameVersions& game = GetGameVersions();
    std::map<std::string, std::string> files = SnapshotFiles(rootDir);
    std::set<std::string> expected(game.archivesB.begin(), game.archivesB.end());
    expected.insert(game.userFiles.begin(), game.userFiles.end());
    for (const auto& file : files)
        if (!expected.count(file.first))
            return ::testing::AssertionFailure() << "unexpected file " << file.first;
    for (const std::string& rel : expected)
        if (!files.count(rel)) return ::testing::AssertionFailure() << "missing file " << rel;
    for (const std::string& rel : game.userFiles)
        if (files[rel] != ReadTestFile(game.dirA + "/" + rel))
            return ::testing::AssertionFailure() << "user file changed: " << rel;
    if (bitwise) {
        for (const std::string& rel : game.archivesB)
            if (files[rel] != ReadTestFile(game.dirB + "/" + rel))
                return ::testing::AssertionFailure() << "archive differs from B's: " << rel;
        return ::testing::AssertionSuccess();
    }
    Manifest now = AnalyzeZips(rootDir, ToAbsolute(rootDir, game.archivesB), false, 1);
    const Manifest& want = game.manifestB;
    if (now.size() != want.size())
        return ::testing::AssertionFailure() << now.size() << " entries instead of " << want.size();
    // An update writes each archive in the order of its target manifest, which need not be B's.
    auto byPlace = [](const Manifest& m) {
        std::vector<const FileMetainfo*> sorted;
        for (const FileMetainfo& file : m) sorted.push_back(&file);
        std::stable_sort(sorted.begin(), sorted.end(), [](const FileMetainfo* x, const FileMetainfo* y) {
            return std::tie(x->zipPath.rel, x->filename) < std::tie(y->zipPath.rel, y->filename);
        });
        return sorted;
    };
    std::vector<const FileMetainfo*> nowSorted = byPlace(now), wantSorted = byPlace(want);
    for (int i = 0; i < want.size(); i++) {
        const FileMetainfo &a = *nowSorted[i], &b = *wantSorted[i];
        if (a.zipPath.rel != b.zipPath.rel || a.filename != b.filename || a.contentsHash != b.contentsHash ||
            a.contentsSize != b.contentsSize || a.crc32 != b.crc32 ||
            a.compressionMethod != b.compressionMethod || a.gpbitFlag != b.gpbitFlag ||
            a.lastModTime != b.lastModTime || a.internalAttribs != b.internalAttribs ||
            a.externalAttribs != b.externalAttribs)
            return ::testing::AssertionFailure()
                   << "entry " << i << " is " << a.zipPath.rel << "||" << a.filename << " instead of "
                   << b.zipPath.rel << "||" << b.filename << " or differs from it";
    }
    return ::testing::AssertionSuccess();
}

#ifndef _WIN32
int RunInChild(const std::function<void()>& body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int code = 0;
        try {
            body();
        } catch (...) {
            code = 3;
        }
        fflush(nullptr);
        _exit(code);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    return status;
}
#endif

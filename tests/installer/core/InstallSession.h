// What the tests of the installer's actions share: a fresh install directory as the working
// directory, the values the wizard keeps between its pages (Session), a SequenceView that
// records instead of showing (RecordingView), and checks of an installation. Everything runs
// without a display against the published game of InstallerWorld.h.
#pragma once

#include "Actions.h"
#include "InstallerWorld.h"
#include "RecordingLogger.h"
#include "Subprocess.h"
#include "TempDir.h"
#include "zip/IniFile.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// A fresh install directory as the working directory, with the world's environment; the
// previous working directory comes back at the end.
class InstallDir {
public:
    InstallDir() : world(GetInstallerWorld()), _saved(std::filesystem::current_path()) {
        world.SetEnvironment();
        std::filesystem::current_path(_dir.path());
        root = std::filesystem::current_path().generic_string();
    }
    ~InstallDir() { std::filesystem::current_path(_saved); }
    std::string operator/(const std::string& rel) const { return root + "/" + rel; }
    void AddUserFiles() const {
        std::filesystem::copy(world.user, root, std::filesystem::copy_options::recursive);
    }

    const InstallerWorld& world;
    std::string root;

private:
    TempDir _dir{"qmhinstall"};
    std::filesystem::path _saved;
};

// The progress reports an action made.
struct ProgressLog : ZipSync::ProgressIndicator {
    int Update(double ratio, std::string comment, double, std::string) override {
        updates.push_back({ratio, comment});
        return stopAt && ratio >= *stopAt ? 1 : 0;
    }
    std::vector<std::pair<double, std::string>> updates;
    // Asks to stop once the ratio reaches it.
    std::optional<double> stopAt;
};

// Records what a sequence shows instead of showing it; answers every warning with confirm.
class RecordingView : public SequenceView {
public:
    bool ConfirmWarning(const std::string& warning) override {
        warnings.push_back(warning);
        return confirm;
    }
    void Inform(const std::string& message) override { news.push_back(message); }
    std::unique_ptr<StageScope> BeginStage(Stage stage) override {
        stages.push_back(stage);
        return std::make_unique<Scope>(progress[stage], verifyProgress);
    }

    bool confirm = true;
    std::vector<std::string> warnings, news;
    std::vector<Stage> stages;
    // The progress of each stage, and of the download stage's verification.
    std::map<Stage, ProgressLog> progress;
    ProgressLog verifyProgress;

private:
    struct Scope : StageScope {
        Scope(ProgressLog& progress, ProgressLog& verify) : _progress(progress), _verify(verify) {}
        ZipSync::ProgressIndicator* Progress() override { return &_progress; }
        ZipSync::ProgressIndicator* VerifyProgress() override { return &_verify; }
        ProgressLog& _progress;
        ProgressLog& _verify;
    };
};

// What the wizard keeps between its pages, and its steps.
struct Session {
    void ReadConfig(bool download = true) { config = ReadConfigFile(download, network, nullptr); }
    void Scan(bool force = false) { scan = ScanInstallDirIfNecessary(force, nullptr); }
    Evaluation Evaluate(const std::string& version, const std::string& customUrl = "", bool bitwise = false) {
        return EvaluateVersion({version, customUrl, bitwise, preferredMirror}, config, loadedManifests, scan,
                               network, nullptr);
    }
    // Scan, evaluation and installation, as the wizard runs them; returns the plan's statistics.
    ZipSync::UpdateStats Install(const std::string& version, bool bitwise, RecordingView& view) {
        Scan();
        Evaluation evaluation = Evaluate(version, "", bitwise);
        InstallationResult result = RunInstallation(evaluation, scan, network, view);
        if (!result.oldConfigFilename.empty()) oldConfigFilename = result.oldConfigFilename;
        return evaluation.stats;
    }
    ZipSync::UpdateStats Install(const std::string& version, bool bitwise = false) {
        RecordingView view;
        return Install(version, bitwise, view);
    }

    InstallerConfig config;
    LocalScan scan;
    std::map<std::string, ZipSync::Manifest> loadedManifests;
    NetworkOptions network;
    std::string preferredMirror;
    std::string oldConfigFilename;
};

inline bool Logged(const RecordingLogger& log, const std::string& text) {
    return !log.WithPrefix(text).empty();
}

// Bytes of the target's files whose contents the local manifest lacks: their whole byte ranges
// (local headers included), or with compressedOnly their compressed sizes.
inline uint64_t MissingBytes(const ZipSync::Manifest& target, const ZipSync::Manifest& local,
                             bool compressedOnly = false) {
    std::set<std::string> present, counted;
    for (const ZipSync::FileMetainfo& file : local) present.insert(file.contentsHash.Hex());
    uint64_t bytes = 0;
    for (const ZipSync::FileMetainfo& file : target)
        if (!present.count(file.contentsHash.Hex()) && counted.insert(file.contentsHash.Hex()).second)
            bytes += compressedOnly ? file.compressedSize : file.byterange[1] - file.byterange[0];
    return bytes;
}

inline ::testing::AssertionResult Verifies(const std::string& root, const std::string& manifest) {
    std::string command = std::string(TESTS_BIN_DIR) + "/zipsync -q verify '" + root + "' '" + manifest + "'";
    if (RunShellCommand(command) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "zipsync verify failed for " << manifest;
}

// The archives a saved manifest describes, sorted.
inline std::vector<std::string> ManifestZips(const std::string& path) {
    ZipSync::Manifest manifest;
    manifest.LoadFromIni(ZipSync::ReadIniFile(path), "/install");
    std::set<std::string> zips = manifest.ZipRelPaths();
    return std::vector<std::string>(zips.begin(), zips.end());
}

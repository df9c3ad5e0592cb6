// The evaluation of a version against a published game served by nginx: the manifest cache, a
// custom manifest on top of a base version, and mirrors that fail.
#include "CatchError.h"
#include "InstallSession.h"
#include "Subprocess.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace ZipSync;
namespace fs = std::filesystem;

TEST(Evaluation, ManifestCache) {
    InstallDir dir;
    NginxServer& nginx = *dir.world.nginx;
    Session session;
    session.ReadConfig();
    session.Scan();
    Evaluation first = session.Evaluate("2.1");
    EXPECT_EQ(first.version, "2.1");
    for (const char* key : {"2.1$$trusted", "2.1", "2.0"})
        EXPECT_EQ(session.loadedManifests.count(key), 1u) << key;
    auto manifestRequests = [&nginx](size_t expected) {
        std::vector<std::string> requests;
        for (const NginxServer::LogEntry& entry : nginx.AccessLog(expected))
            if (entry.uri.find(".iniz") != std::string::npos) requests.push_back(entry.range);
        return requests;
    };

    // Again in this process: nothing is fetched.
    nginx.ClearAccessLog();
    {
        RecordingLogger log;
        UpdateStats stats = session.Evaluate("2.1").stats;
        EXPECT_EQ(log.WithPrefix("  2.").size(), 2u);
        EXPECT_EQ(log.WithPrefix("  2.1 (loaded)").size() + log.WithPrefix("  2.0 (loaded)").size(), 2u);
        EXPECT_EQ(stats.missingSize, 0u);
    }
    EXPECT_TRUE(manifestRequests(0).empty());

    // In a new process: only the digests are fetched; an invalid cache file goes.
    session = Session();
    session.ReadConfig();
    session.Scan();
    WriteTestFile(dir / ".zipsync/mani/7.iniz", "not a zip");
    nginx.ClearAccessLog();
    RecordingLogger log;
    Evaluation evaluation = session.Evaluate("2.1");
    EXPECT_TRUE(Logged(log, "Removing .zipsync/mani/7.iniz from manifest cache since it is not a valid zip"));
    EXPECT_FALSE(fs::exists(dir / ".zipsync/mani/7.iniz"));
    EXPECT_EQ(manifestRequests(3), std::vector<std::string>(3, "bytes=0-127"));
    EXPECT_TRUE(evaluation.update);
}

// A custom manifest (here 2.1's differential one) works only on top of a base version that
// provides its absent files.
TEST(Evaluation, CustomManifestNeedsTheRightBaseVersion) {
    InstallDir dir;
    Session session;
    session.ReadConfig();
    session.Scan();
    // The target manifest is asked for over TLS, which the mirror's port does not speak.
    session.network.disableTls = true;
    std::string custom = dir.world.MirrorRoot() + "zipsync/2.1/manifest.iniz";
    Evaluation wrongBase = session.Evaluate("1.0", custom);
    EXPECT_GT(wrongBase.stats.missingSize, 0u);
    EXPECT_FALSE(wrongBase.update);
    Evaluation evaluation = session.Evaluate("2.0", custom);
    EXPECT_EQ(evaluation.version, "2.0 & " + custom);
    EXPECT_EQ(evaluation.stats.missingSize, 0u);
    EXPECT_EQ(evaluation.stats.downloadSize, MissingBytes(dir.world.FullManifest("2.1"), Manifest(), true));
    EXPECT_TRUE(evaluation.update);
}

TEST(Evaluation, FailingMirrorsAreDropped) {
    InstallDir dir;
    const InstallerWorld& world = dir.world;
    std::string broken = "http://127.0.0.1:" + std::to_string(FindFreePort()) + "/";
    WriteTestFile(dir / "qmh_installer.ini",
                  world.DefaultConfig("[Mirror broken]\nurl=" + broken + "\nweight=1\n"));
    Session session;
    session.ReadConfig(false);
    session.Scan();
    session.preferredMirror = "broken";
    {
        RecordingLogger log;
        EXPECT_TRUE(session.Evaluate("2.0").update);
        EXPECT_TRUE(
            Logged(log, "Removed manifest URL " + broken + "zipsync/2.0/manifest.iniz from version 2.0"));
    }
    for (const ManifestUrl& url : session.config.FindVersion("2.0", true)->manifestUrls)
        EXPECT_EQ(url.url.find(broken), std::string::npos);

    // Only the official server, whose https port does not speak http: nothing is left.
    WriteTestFile(
        dir / "qmh_installer.ini",
        "[Mirror official]\nurl=" + world.TrustedRoot() +
            "\nweight=1\n\n"
            "[Version 2.0]\nfolder=Release\ndefault=1\nmanifestUrl=${MIRROR}zipsync/2.0/manifest.iniz\n");
    session = Session();
    session.ReadConfig(false);
    ExpectError([&] { session.Evaluate("2.0"); }, lcGeneral,
                "No candidates to choose url from (version 2.0)");
}

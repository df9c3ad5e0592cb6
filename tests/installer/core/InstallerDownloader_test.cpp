// The installer's downloads: which of them follow a redirect (no redirect decides which server is
// trusted), the connections one run reuses, and the command line's download options.
#include "CatchError.h"
#include "FaultServer.h"
#include "InstallSession.h"
#include "OsUtils.h"
#include "ScopedEnv.h"
#include "base/Text.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <iterator>
#include <set>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

// The published game (configuration, installer, versions) on the fault server, whose URL modes
// redirect: "redirecthost" sends every request to the same file under another host name,
// "redirecthost.pk4" only those for archives.
struct RedirectingServer {
    explicit RedirectingServer(const InstallerWorld& world) {
        fs::copy(world.www + "/zipsync", server.Root() + "/zipsync", fs::copy_options::recursive);
    }
    // The root of a mode without its final slash, as QMH_UPDATE_SERVER takes it.
    std::string Root(const std::string& mode) const {
        std::string url = server.Url(mode, "");
        url.pop_back();
        return url;
    }
    std::string Config(const std::string& officialMode, const std::string& mirror) const {
        return "[Mirror official]\nurl=" + Root(officialMode) +
               "/\nweight=0\nhidden=1\n\n[Mirror other]\nurl=" + mirror +
               "\nweight=1\n\n[Version 2.0]\nfolder=Release\ndefault=1\n"
               "manifestUrl=${MIRROR}zipsync/2.0/manifest.iniz\n";
    }
    // The files asked for in a mode so far (paths without "/<mode>/") whose names end with suffix.
    std::set<std::string> Asked(const std::string& mode, const std::string& suffix = "") const {
        std::set<std::string> names;
        std::string prefix = "/" + mode + "/";
        for (const FaultServer::Request& request : server.Requests())
            if (StartsWith(request.path, prefix) && EndsWith(request.path, suffix))
                names.insert(request.path.substr(prefix.size()));
        return names;
    }

    FaultServer server;
};

} // namespace

// The official server answers every request with a redirect to another host that serves the
// same files: the configuration, the installer's own update and the trusted manifest all fail
// with the redirect's status, and nothing is fetched from where it points.
TEST(InstallerDownloads, TrustedFilesRefuseARedirectToAnotherServer) {
    InstallDir dir;
    RedirectingServer redirecting(dir.world);
    std::string official = redirecting.Root("redirecthost");
    ScopedEnv server("QMH_UPDATE_SERVER", official.c_str());

    ExpectError([] { ReadConfigFile(true, NetworkOptions(), nullptr); }, lcGeneral,
                "Unexpected HTTP return code 302 for URL " + official + "/zipsync/qmh_installer.ini");
    EXPECT_FALSE(fs::exists(dir / "qmh_installer.ini"));

    WriteTestFile(dir / "bin/qmh_installer", "installer build one");
    SetArgv0((dir / "bin/qmh_installer").c_str());
    ExpectError([] { NeedsSelfUpdate(NetworkOptions(), nullptr); }, lcGeneral,
                "Unexpected HTTP return code 302 for URL " + official + "/zipsync/qmh_installer.linux64.zip");
    EXPECT_FALSE(fs::exists(dir / "bin/qmh_installer.__temp__"));

    // The other mirror (the world's nginx) would serve the version's manifest, but only the
    // official server's copy may be the target.
    WriteTestFile(dir / "qmh_installer.ini", redirecting.Config("redirecthost", dir.world.MirrorRoot()));
    Session session;
    session.ReadConfig(false);
    session.Scan();
    CaughtError error = CatchError([&] { session.Evaluate("2.0"); });
    std::string trusted = official + "/zipsync/2.0/manifest.iniz";
    EXPECT_EQ(error.message, "Cannot handle nonworking URL " + trusted +
                                 ": Unexpected HTTP return code 302 for URL " + trusted);

    EXPECT_EQ(redirecting.Asked("redirecthost"),
              (std::set<std::string>{"zipsync/2.0/manifest.iniz", "zipsync/qmh_installer.ini",
                                     "zipsync/qmh_installer.linux64.zip"}));
    EXPECT_EQ(redirecting.Asked("ok"), std::set<std::string>{});
}

// Game data follows a mirror's redirect to another host; the bytes are checked by their digests
// as always, and the installation is whole.
TEST(InstallerDownloads, GameDataFollowsARedirect) {
    InstallDir dir;
    RedirectingServer redirecting(dir.world);
    ScopedEnv server("QMH_UPDATE_SERVER", redirecting.Root("ok").c_str());
    WriteTestFile(dir / "qmh_installer.ini",
                  redirecting.Config("ok", redirecting.Root("redirecthost.pk4") + "/"));
    Session session;
    session.ReadConfig(false);
    UpdateStats stats = session.Install("2.0");
    EXPECT_GT(stats.downloadSize, 0u);
    EXPECT_TRUE(Verifies(dir.root, dir.world.FullManifestPath("2.0")));

    std::set<std::string> asked = redirecting.Asked("redirecthost.pk4", ".pk4");
    EXPECT_EQ(asked.size(), 3u);
    EXPECT_EQ(redirecting.Asked("ok", ".pk4"), asked);
}

// One run's downloads share their connections: the configuration, the digest and the target
// manifest come over one TLS connection to the official server, and the mirror's manifests and
// archives over connections that stay open from one download to the next.
TEST(InstallerDownloads, OneRunReusesItsConnections) {
    InstallDir dir;
    const NginxServer& nginx = *dir.world.nginx;
    nginx.ClearAccessLog();
    Session session;
    session.ReadConfig(true);
    session.Install("2.1");
    EXPECT_TRUE(Verifies(dir.root, dir.world.FullManifestPath("2.1")));

    std::set<uint64_t> official, mirrorManifests, mirrorArchives;
    size_t officialRequests = 0;
    for (const NginxServer::LogEntry& entry : nginx.AccessLog()) {
        if (entry.scheme == "https") {
            official.insert(entry.connection);
            officialRequests++;
        } else {
            bool manifest = entry.uri.find(".iniz") != std::string::npos;
            (manifest ? mirrorManifests : mirrorArchives).insert(entry.connection);
        }
    }
    EXPECT_GE(officialRequests, 3u);
    EXPECT_EQ(official.size(), 1u);
    // The archives come (also) over a connection that brought the mirror's manifests.
    std::vector<uint64_t> shared;
    std::set_intersection(mirrorManifests.begin(), mirrorManifests.end(), mirrorArchives.begin(),
                          mirrorArchives.end(), std::back_inserter(shared));
    EXPECT_FALSE(shared.empty());
}

TEST(InstallerDownloads, CommandLineOptions) {
    const char* arguments[] = {"qmh_installer", "--unattended", "--limit-rate", "2M",    "--transfers", "8",
                               "--version",     "2.0",          "--limit-rate", " 500k "};
    DownloadArguments parsed = ParseDownloadArguments(10, arguments);
    EXPECT_EQ(parsed.rateLimit, " 500k ");
    EXPECT_EQ(parsed.maxTransfers, 8);
    EXPECT_EQ(ParseRateLimit(parsed.rateLimit), 500u << 10);
    EXPECT_EQ(ParseRateLimit("  "), 0u);
    EXPECT_EQ(ParseRateLimit("3G"), uint64_t(3) << 30);
    EXPECT_EQ(ParseDownloadArguments(2, arguments).maxTransfers, 0);

    struct Case {
        std::vector<const char*> arguments;
        std::string error;
    } cases[] = {
        {{"qmh_installer", "--transfers"}, "Option --transfers needs a value"},
        {{"qmh_installer", "--transfers", "0"}, "Option --transfers needs a number of at least 1, not \"0\""},
        {{"qmh_installer", "--transfers", "8x"},
         "Option --transfers needs a number of at least 1, not \"8x\""},
        {{"qmh_installer", "--limit-rate", "-5"},
         "Rate limit \"-5\" is not a number of bytes per second such as 500k or 2M"},
        {{"qmh_installer", "--limit-rate", "2 M"},
         "Rate limit \"2 M\" is not a number of bytes per second such as 500k or 2M"},
    };
    for (const Case& c : cases)
        ExpectError([&] { ParseDownloadArguments(int(c.arguments.size()), c.arguments.data()); }, lcGeneral,
                    c.error);
}

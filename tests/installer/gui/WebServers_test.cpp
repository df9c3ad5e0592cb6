// Installation and update through the installer (unattended, as "nobody") with the mirror
// served by each web server a mirror operator may run: nginx, Apache httpd, lighttpd and Caddy,
// each answering the installer's multi-range requests in its own way, and through the caches
// that may stand in front of one: Varnish (which refuses every request for several ranges with
// 416) and Squid. A server whose Debian package is missing is skipped with the package named.
#include <gtest/gtest.h>

#include "CacheServer.h"
#include "ChildProcess.h"
#include "InstallerRun.h"
#include "InstallerWorld.h"
#include "TempDir.h"
#include "TemporaryFileNames.h"
#include "WebServer.h"

#include <memory>

namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Installs 1.0 from the mirror at mirrorRoot and updates it to 2.0, checking both results and
// that the archives came from that mirror; updateOutput receives the output of the update.
void InstallAndUpdateFrom(const std::string& mirrorRoot, const std::string& name, bool multiRange = true,
                          std::string* updateOutput = nullptr) {
    TempDir dir("qmhmirror");
    InstallerRun installer(dir.path(), "mirror_" + name);
    installer.CopyProgram();
    installer.WriteConfig(mirrorRoot);
    ASSERT_EQ(installer.Run({"--skip-config-download", "--version", "1.0"}), 0) << installer.Output();
    EXPECT_TRUE(installer.Holds("1.0"));
    EXPECT_TRUE(Contains(installer.Output(), "curl " + mirrorRoot + "zipsync/1.0/qmh_base.pk4 -r "))
        << installer.Output();
    ASSERT_EQ(installer.Run({"--skip-config-download", "--version", "2.0"}), 0) << installer.Output();
    EXPECT_TRUE(installer.Holds("2.0"));
    EXPECT_TRUE(Contains(installer.Output(), "curl " + mirrorRoot + "zipsync/2.0/")) << installer.Output();
    // The update asked for several ranges in one request at least once.
    if (multiRange) {
        EXPECT_TRUE(Contains(installer.Output(), ",")) << installer.Output();
    }
    EXPECT_EQ(TemporaryFileNames(dir.path()), std::vector<std::string>{});
    if (updateOutput) *updateOutput = installer.Output();
}

class MirrorServer : public testing::TestWithParam<int> {};
class MirrorCache : public testing::TestWithParam<int> {};

} // namespace

TEST(MirrorServers, Nginx) {
    if (!CanDropPrivileges()) GTEST_SKIP() << "needs root to become nobody";
    InstallAndUpdateFrom(GetInstallerWorld().MirrorRoot(), "nginx");
}

TEST_P(MirrorServer, InstallsAndUpdates) {
    if (!CanDropPrivileges()) GTEST_SKIP() << "needs root to become nobody";
    WebServer::Kind kind = WebServer::Kind(GetParam());
    if (WebServer::Program(kind).empty())
        GTEST_SKIP() << WebServer::Name(kind) << " is not installed (Debian package "
                     << WebServer::Package(kind) << ")";
    WebServer server(kind, GetInstallerWorld().www);
    InstallAndUpdateFrom(server.RootUrl(), WebServer::Name(kind));
}

INSTANTIATE_TEST_SUITE_P(Debian, MirrorServer,
                         testing::Values(WebServer::Apache, WebServer::Lighttpd, WebServer::Caddy),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(WebServer::Name(WebServer::Kind(info.param)));
                         });

// A cache in front of the nginx mirror: Varnish answers the first request for several ranges
// with 416, after which the installer asks that URL for one range per request (logged once);
// Squid passes such requests on, or answers them itself once it holds the file.
TEST_P(MirrorCache, InstallsAndUpdates) {
    if (!CanDropPrivileges()) GTEST_SKIP() << "needs root to become nobody";
    CacheServer::Kind kind = CacheServer::Kind(GetParam());
    if (CacheServer::Program(kind).empty())
        GTEST_SKIP() << CacheServer::Name(kind) << " is not installed (Debian package "
                     << CacheServer::Package(kind) << ")";
    CacheServer cache(kind, GetInstallerWorld().nginx->httpPort());
    std::string output;
    InstallAndUpdateFrom(cache.Url(), CacheServer::Name(kind), kind != CacheServer::Varnish, &output);
    if (kind == CacheServer::Varnish) {
        EXPECT_TRUE(Contains(output, "one range per request")) << output;
    }
}

INSTANTIATE_TEST_SUITE_P(Debian, MirrorCache, testing::Values(CacheServer::Varnish, CacheServer::Squid),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(CacheServer::Name(CacheServer::Kind(info.param)));
                         });

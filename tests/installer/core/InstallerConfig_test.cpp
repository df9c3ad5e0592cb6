// The installer configuration: validation, URL expansion, dependency lists, the weighted
// choice of manifest URLs and the official server setting.
#include "CatchError.h"
#include "InstallerConfig.h"
#include "InstallerState.h"
#include "RecordingLogger.h"

#include <gtest/gtest.h>
#include <map>
#include <stdexcept>
#include <stdlib.h>

using namespace ZipSync;

namespace {

const char* const SERVER = "https://127.0.0.1:8443";
const std::string TRUSTED = "http://127.0.0.1:8443/";

class InstallerConfigTest : public testing::Test {
protected:
    void SetUp() override {
        setenv("QMH_UPDATE_SERVER", SERVER, 1);
        g_state.preferredMirror.clear();
    }
    void TearDown() override {
        unsetenv("QMH_UPDATE_SERVER");
        g_state.preferredMirror.clear();
    }
    void Load(const std::string& text) { config.InitFromIni(ParseIniText(text)); }
    // How often each URL is chosen in n draws.
    std::map<std::string, int> Draw(const std::string& version, bool trustedOnly, int n) {
        std::map<std::string, int> counts;
        for (int i = 0; i < n; i++) counts[config.ChooseManifestUrl(version, trustedOnly)]++;
        return counts;
    }
    InstallerConfig config;
};

const std::string MIRRORS = "[Mirror beta]\nurl=http://beta.example/q/\nweight=3\n"
                            "[Mirror alpha]\nurl=http://alpha.example/\nweight=1\n";

} // namespace

TEST_F(InstallerConfigTest, ValidationFailuresInOrder) {
    const std::string ok = "[Version 1]\nfolder=a\ndefault=1\nmanifestUrl=" + TRUSTED + "1.iniz\n";
    struct Case {
        std::string ini;
        std::string message;
    } cases[] = {
        {"[Mirror]\nurl=x\n", "No space in INI section header: \"Mirror\""},
        {"[ Mirror a]\n", "No space in INI section header: \" Mirror a\""},
        {"[Mirror ]\nurl=x\nweight=1\n", "Mirror with empty name"},
        {"[Mirror m]\nurl=x\nweight=1\n[Mirror m]\nurl=y\nweight=1\n", "Mirror m: described in INI twice"},
        {"[Mirror m]\nurl=x\nweight=1\nport=80\n", "Mirror m: unexpected key \"port\""},
        {"[Mirror m]\nweight=1\n", "Mirror m: url not set or empty"},
        {"[Mirror m]\nurl=x\n", "Mirror m: weight < 0 or not set"},
        {"[Mirror m]\nurl=x\nweight=-0.5\n", "Mirror m: weight < 0 or not set"},
        {"[Mirror m]\nurl=x\nweight=nan\n", "Mirror m: weight < 0 or not set"},
        {ok + "[Version 1]\nfolder=b\nmanifestUrl=" + TRUSTED + "x\n", "Version 1: described in INI twice"},
        {"[Version 2]\nfolder=a\nfolder=b\n", "Version 2: folder described twice"},
        {ok + "[Version 2]\ndefault=\n", "Two versions marked as default"},
        {"[Version 2]\nfolder=a\nchecksum=1\n", "Version 2: unexpected key \"checksum\""},
        {"[Version 2]\nmanifestUrl=" + TRUSTED + "2\n", "Version 2: folder not specified"},
        {"[Version 2]\nfolder=a\ndepends=1\n", "Version 2: no manifestUrl-s"},
        {"[Game 2]\n", "Unknown INI section class \"Game\""},
        {"[Version 1]\nfolder=a\nmanifestUrl=" + TRUSTED + "1\n", "No default version specified in INI"},
        {ok + "[Version 2]\nfolder=a\nmanifestUrl=https://127.0.0.1:8443/2\n",
         "Version 2: manifest URL is not recognized as HTTP"},
        {ok + "[Version 2]\nfolder=a\nmanifestUrl=ftp://x/2\n",
         "Version 2: manifest URL is not recognized as HTTP"},
        {ok + "[Version 2]\nfolder=a\nmanifestUrl=http://elsewhere.example/2\n",
         "Version 2: has no manifest URL at trusted location"},
        // The trusted test is a case-sensitive prefix test including the final '/'.
        {ok + "[Version 2]\nfolder=a\nmanifestUrl=http://127.0.0.1:84430/2\n",
         "Version 2: has no manifest URL at trusted location"},
        {ok + "[Version 2]\nfolder=a\nmanifestUrl=${MIRROR}2.iniz\n",
         "Version 2: has no manifest URL at trusted location"},
        {ok + "[Version 2]\nfolder=a\nmanifestUrl=" + TRUSTED + "2\ndepends=1\ndepends_x=3\n",
         "Version 2: depends on missing Version 3"},
        {ok + "[Version 2]\nfolder=a\nmanifestUrl=" + TRUSTED +
             "2\ndepends=3\n[Version 3]\nfolder=a\nmanifestUrl=" + TRUSTED + "3\ndepends=2\n",
         "Version 2: at dependency cycle"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini);
        ExpectError([&] { Load(c.ini); }, lcGeneral, c.message);
    }

    try {
        Load("[Mirror m]\nurl=x\nweight=heavy\n");
        ADD_FAILURE() << "weight=heavy accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "invalid stod argument");
    }
    try {
        Load("[Mirror m]\nurl=x\nweight=1e999\n");
        ADD_FAILURE() << "weight=1e999 accepted";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "stod argument out of range");
    }
}

TEST_F(InstallerConfigTest, WholeConfigurationParsed) {
    Load(MIRRORS + "[Mirror gamma]\nurl=http://gamma.example/\nweight=0\nhidden=no\n" +
         "[Version 2.12 beta]\nfolder=Beta/2.x\nmanifestUrl=${MIRROR}b/2.12.iniz\nmanifestUrl_extra=" +
         TRUSTED +
         "2.12.iniz\ndepends=B\ndepends_more=C\ndepends_last=E\n"
         "[Version B]\nfolder=Old\nmanifestUrl=" +
         TRUSTED + "B\ndepends=D\n[Version C]\nfolder=/Old//\nmanifestUrl=" + TRUSTED +
         "C\ndepends=D\n[Version E]\nfolder=Old\ndefault=\nmanifestUrl=" + TRUSTED +
         "E\ndepends=D\n[Version D]\nfolder=\nmanifestUrl=" + TRUSTED + "D\n");

    EXPECT_EQ(config.GetMirrorNames(), (std::vector<std::string>{"alpha", "beta"}));
    EXPECT_EQ(config.GetVersions(), (std::vector<std::string>{"2.12 beta", "B", "C", "E", "D"}));
    EXPECT_EQ(config.GetDefaultVersion(), "E");
    EXPECT_EQ(config.GetFolderPath("2.12 beta"), (std::vector<std::string>{"Beta", "2.x"}));
    EXPECT_EQ(config.GetFolderPath("C"), (std::vector<std::string>{"Old"}));
    EXPECT_TRUE(config.GetFolderPath("D").empty());
    // D is reached over three paths and listed once, in pre-order.
    EXPECT_EQ(config.GetDependencies("2.12 beta"),
              (std::vector<std::string>{"2.12 beta", "B", "D", "C", "E"}));
    EXPECT_EQ(config.GetDependencies("D"), (std::vector<std::string>{"D"}));

    // "${MIRROR}" expands in mirror-name order, hidden mirrors included, in place of the URL.
    const Version* version = config.FindVersion("2.12 beta", true);
    ASSERT_NE(version, nullptr);
    std::vector<std::tuple<std::string, double, std::string>> urls;
    for (const ManifestUrl& url : version->manifestUrls) urls.emplace_back(url.url, url.weight, url.mirror);
    EXPECT_EQ(urls, (std::vector<std::tuple<std::string, double, std::string>>{
                        {"http://alpha.example/b/2.12.iniz", 1.0, "alpha"},
                        {"http://beta.example/q/b/2.12.iniz", 1.0, "beta"},
                        {"http://gamma.example/b/2.12.iniz", 1.0, "gamma"},
                        {TRUSTED + "2.12.iniz", 1.0, ""},
                    }));

    EXPECT_EQ(config.FindVersion("2.12", false), nullptr);
    ExpectError([&] { config.GetDependencies("2.12"); }, lcGeneral, "Can't find version 2.12");
    ExpectError([&] { config.GetFolderPath("X"); }, lcGeneral, "Can't find version X");

    config.Clear();
    EXPECT_TRUE(config.GetVersions().empty());
    EXPECT_TRUE(config.GetMirrorNames().empty());
    ExpectError([&] { config.GetDefaultVersion(); }, lcGeneral,
                "Cannot return default version: qmh_installer.ini was not read");
}

TEST_F(InstallerConfigTest, WeightedChoiceOfManifestUrls) {
    // The trusted URL is written out in full, so it carries the preferred-mirror factor of an
    // empty choice; the mirror-only version shows the 1:3 weights.
    Load(MIRRORS + "[Mirror zero]\nurl=http://zero.example/\nweight=0\n" +
         "[Version M]\nfolder=f\ndefault=1\nmanifestUrl=${MIRROR}m.iniz\nmanifestUrl_t=" + TRUSTED +
         "m.iniz\n");
    const int n = 20000;

    std::map<std::string, int> counts = Draw("M", false, n);
    EXPECT_GE(counts[TRUSTED + "m.iniz"], n - 2);

    // Only the mirrors compete once the full URL is gone.
    RecordingLogger log;
    config.RemoveNonworkingUrl(TRUSTED + "m.iniz");
    counts = Draw("M", false, n);
    EXPECT_EQ(counts.count("http://zero.example/m.iniz"), 0u);
    double ratio = double(counts["http://beta.example/q/m.iniz"]) / counts["http://alpha.example/m.iniz"];
    EXPECT_NEAR(ratio, 3.0, 0.3);
    EXPECT_EQ(counts["http://beta.example/q/m.iniz"] + counts["http://alpha.example/m.iniz"], n);

    g_state.preferredMirror = "alpha";
    counts = Draw("M", false, 2000);
    EXPECT_EQ(counts["http://alpha.example/m.iniz"], 2000);

    // Nothing of M lies at the trusted location any more.
    ExpectError([&] { config.ChooseManifestUrl("M", true); }, lcGeneral,
                "No candidates to choose url from (version M)");
    EXPECT_EQ(config.ChooseManifestUrl("http://custom.example/x.iniz", true), "http://custom.example/x.iniz");
    ExpectError([&] { config.ChooseManifestUrl("N", false); }, lcGeneral, "Can't find version N");
}

TEST_F(InstallerConfigTest, TrustedOnlyChoiceAndRemovalOfUrls) {
    Load(MIRRORS + "[Version A]\nfolder=f\ndefault=1\nmanifestUrl=${MIRROR}a\nmanifestUrl_2=" + TRUSTED +
         "a\n" + "[Version B]\nfolder=f\nmanifestUrl=" + TRUSTED + "a\nmanifestUrl_2=" + TRUSTED + "b\n");
    g_state.preferredMirror = "beta";
    EXPECT_EQ(Draw("A", true, 200), (std::map<std::string, int>{{TRUSTED + "a", 200}}));
    EXPECT_TRUE(config.IsTrustedUrl(TRUSTED + "x"));
    EXPECT_FALSE(config.IsTrustedUrl("https://127.0.0.1:8443/x"));

    RecordingLogger log;
    config.RemoveNonworkingUrl(TRUSTED + "a");
    EXPECT_EQ(log.WithPrefix("Removed"),
              (std::vector<std::string>{"Removed manifest URL " + TRUSTED + "a from version A",
                                        "Removed manifest URL " + TRUSTED + "a from version B"}));
    EXPECT_EQ(Draw("B", true, 50), (std::map<std::string, int>{{TRUSTED + "b", 50}}));
    ExpectError([&] { config.ChooseManifestUrl("A", true); }, lcGeneral,
                "No candidates to choose url from (version A)");
    ExpectError([&] { config.RemoveNonworkingUrl(TRUSTED + "a"); }, lcGeneral,
                "Cannot handle nonworking URL " + TRUSTED + "a");
}

TEST_F(InstallerConfigTest, UpdateServerFromEnvironmentOrBuildSetting) {
    struct Case {
        const char* env;
        std::string server;
        std::string trusted;
    } cases[] = {
        {"https://127.0.0.1:8443", "https://127.0.0.1:8443", "http://127.0.0.1:8443/"},
        {"https://mirror.example/base//", "https://mirror.example/base", "http://mirror.example/base/"},
        {"http://127.0.0.1:8080/", "http://127.0.0.1:8080", "http://127.0.0.1:8080/"},
    };
    for (const Case& c : cases) {
        setenv("QMH_UPDATE_SERVER", c.env, 1);
        EXPECT_EQ(GetUpdateServerUrl(), c.server);
        EXPECT_EQ(GetTrustedUrlPrefix(), c.trusted);
    }
    setenv("QMH_UPDATE_SERVER", "127.0.0.1:8443", 1);
    ExpectError([] { GetUpdateServerUrl(); }, lcGeneral,
                "QMH_UPDATE_SERVER is not an http(s) URL: 127.0.0.1:8443");

    for (bool set : {false, true}) {
        if (set)
            setenv("QMH_UPDATE_SERVER", "", 1);
        else
            unsetenv("QMH_UPDATE_SERVER");
        std::string server = GetUpdateServerUrl();
        EXPECT_EQ(server.rfind("https://", 0), 0u) << server;
        EXPECT_NE(server.back(), '/');
        EXPECT_EQ(GetTrustedUrlPrefix(), "http://" + server.substr(8) + "/");
    }
}

// The installer configuration: validation, URL expansion, dependency lists, the weighted
// choice of manifest URLs and the official server setting.
#include "CatchError.h"
#include "InstallerConfig.h"
#include "InstallerState.h"
#include "RecordingLogger.h"
#include "ScopedEnv.h"

#include <gtest/gtest.h>
#include <map>

using namespace ZipSync;

namespace {

const std::string TRUSTED = "http://127.0.0.1:8443/";
// Weights written in the decimal forms a person may use: 3, 1 and 0.
const std::string MIRRORS = "[Mirror beta]\nurl=http://beta.example/q/\nweight=3.0e0\n"
                            "[Mirror alpha]\nurl=http://alpha.example/\nweight=+1.\n"
                            "[Mirror zero]\nurl=http://zero.example/\nweight= .0\nhidden=no\n";

// count copies of the pattern, the i-th with every "%d" replaced by i and every "%n" by i + 1.
std::string Repeat(size_t count, const std::string& pattern) {
    std::string text;
    for (size_t i = 0; i < count; i++) {
        std::string copy = pattern;
        for (size_t at = copy.find('%'); at != std::string::npos; at = copy.find('%', at))
            copy.replace(at, 2, std::to_string(copy[at + 1] == 'n' ? i + 1 : i));
        text += copy;
    }
    return text;
}

class InstallerConfigTest : public testing::Test {
protected:
    void Load(const std::string& text) { config.InitFromIni(ParseIniText(text)); }
    std::map<std::string, int> Draw(const std::string& version, bool trustedOnly, int n,
                                    const std::string& preferredMirror = "") {
        std::map<std::string, int> counts;
        for (int i = 0; i < n; i++) counts[config.ChooseManifestUrl(version, trustedOnly, preferredMirror)]++;
        return counts;
    }
    ScopedEnv server{"QMH_UPDATE_SERVER", "https://127.0.0.1:8443"};
    InstallerConfig config;
};

} // namespace

TEST_F(InstallerConfigTest, ValidationFailuresInOrder) {
    const std::string v1 = "[Version 1]\nfolder=a\ndefault=1\nmanifestUrl=" + TRUSTED + "1\n";
    const std::string v2 = v1 + "[Version 2]\nfolder=a\nmanifestUrl=";
    std::pair<std::string, std::string> cases[] = {
        {"[Mirror]\n", "No space in INI section header: \"Mirror\""},
        {"[ Mirror a]\n", "No space in INI section header: \" Mirror a\""},
        {"[Mirror ]\n", "Mirror with empty name"},
        {"[Mirror m]\nurl=x\nweight=1\n[Mirror m]\n", "Mirror m: described in INI twice"},
        {"[Mirror m]\nurl=x\nport=80\n", "Mirror m: unexpected key \"port\""},
        {"[Mirror m]\nweight=1\n", "Mirror m: url not set or empty"},
        {"[Mirror m]\nurl=x\n", "Mirror m: weight < 0 or not set"},
        {"[Mirror m]\nurl=x\nweight=-0.5\n", "Mirror m: weight < 0 or not set"},
        {v1 + "[Version 1]\n", "Version 1: described in INI twice"},
        {"[Version 2]\nfolder=a\nfolder=b\n", "Version 2: folder described twice"},
        {v1 + "[Version 2]\ndefault=\n", "Two versions marked as default"},
        {"[Version 2]\nfolder=a\nchecksum=1\n", "Version 2: unexpected key \"checksum\""},
        {"[Version 2]\nmanifestUrl=x\n", "Version 2: folder not specified"},
        {"[Version 2]\nfolder=a\ndepends=1\n", "Version 2: no manifestUrl-s"},
        {"[Game 2]\n", "Unknown INI section class \"Game\""},
        {"[Version 1]\nfolder=a\nmanifestUrl=x\n", "No default version specified in INI"},
        {v2 + "https://127.0.0.1:8443/2\n", "Version 2: manifest URL is not recognized as HTTP"},
        {v2 + "http://127.0.0.1:84430/2\n", "Version 2: has no manifest URL at trusted location"},
        {v2 + "${MIRROR}2.iniz\n", "Version 2: has no manifest URL at trusted location"},
        {v2 + TRUSTED + "2\ndepends=1\ndepends_x=3\n", "Version 2: depends on missing Version 3"},
        {v2 + TRUSTED + "2\ndepends=3\n[Version 3]\nfolder=a\nmanifestUrl=" + TRUSTED + "3\ndepends=2\n",
         "Version 2: at dependency cycle"},
        // The standard library's conversion errors, with the texts users know, after the place.
        {"[Mirror m]\nweight=heavy\n", "Mirror m: weight \"heavy\": invalid stod argument"},
        {"[Mirror m]\nweight=1e999\n", "Mirror m: weight \"1e999\": stod argument out of range"},
        {"[Mirror m]\nweight=-1e-999\n", "Mirror m: weight \"-1e-999\": stod argument out of range"},
        // Only a finite decimal number, the whole value.
        {"[Mirror m]\nweight=inf\n", "Mirror m: weight \"inf\": invalid stod argument"},
        {"[Mirror m]\nweight=NaN\n", "Mirror m: weight \"NaN\": invalid stod argument"},
        {"[Mirror m]\nweight=0x10\n", "Mirror m: weight \"0x10\": invalid stod argument"},
        {"[Mirror m]\nweight=0x10 junk\n", "Mirror m: weight \"0x10 junk\": invalid stod argument"},
        {"[Mirror m]\nweight=2 \t3\n", "Mirror m: weight \"2 \\t3\": invalid stod argument"},
        {"[Mirror m]\nweight=1e\n", "Mirror m: weight \"1e\": invalid stod argument"},
        {"[Mirror m]\nweight=.\n", "Mirror m: weight \".\": invalid stod argument"},
        {"[Mirror m]\nweight=\n", "Mirror m: weight \"\": invalid stod argument"},
        {"[Mirror m]\nweight=\x01\xff" + std::string(50, '9') + "\n",
         "Mirror m: weight \"\\x01\\xff" + std::string(38, '9') + "...\": invalid stod argument"},
        // What a configuration may hold.
        {Repeat(101, "[Mirror m%d]\nurl=http://m%d/\nweight=1\n"), "Too many mirrors in INI (limit 100)"},
        {Repeat(1001, "[Version %d]\nfolder=a\nmanifestUrl=x%d\n"), "Too many versions in INI (limit 1000)"},
        {Repeat(100, "[Mirror m%d]\nurl=http://m%d/\nweight=1\n") +
             Repeat(200, "[Version %d]\nfolder=a\nmanifestUrl=${MIRROR}%d\n") + "[Version d]\nfolder=a\n" +
             "default=1\nmanifestUrl=${MIRROR}d\nmanifestUrl_t=" + TRUSTED + "d\n",
         "Too many manifest URLs after expanding ${MIRROR} (limit 20000)"},
        // 98 mirrors with URLs of 100 kB, 2 versions: 19.6 MB of URLs once expanded.
        {Repeat(98, "[Mirror m%d]\nurl=http://m%d/" + std::string(100000, 'u') + "/\nweight=1\n") +
             "[Version d]\nfolder=a\ndefault=1\nmanifestUrl=${MIRROR}d\nmanifestUrl_t=" + TRUSTED + "d\n" +
             "[Version e]\nfolder=a\nmanifestUrl=${MIRROR}e\nmanifestUrl_t=" + TRUSTED + "e\n",
         "Manifest URLs after expanding ${MIRROR} take 19602574 bytes (limit 16777216)"},
    };
    for (const auto& [ini, message] : cases) {
        try {
            Load(ini);
            ADD_FAILURE() << "accepted: " << ini;
        } catch (const std::exception& e) {
            EXPECT_EQ(e.what(), message) << ini;
            const ErrorException* error = dynamic_cast<const ErrorException*>(&e);
            EXPECT_EQ(error && error->code == lcGeneral, message.find("stod") == std::string::npos) << ini;
            EXPECT_TRUE(config.GetVersions().empty() && config.GetMirrorNames().empty()) << ini;
        }
    }
}

TEST_F(InstallerConfigTest, WholeConfigurationParsed) {
    Load(MIRRORS +
         "[Version 2.12 beta]\nfolder=Beta//2.x\nmanifestUrl=${MIRROR}b/2.12\nmanifestUrl_x=" + TRUSTED +
         "2.12\ndepends=B\ndepends_more=C\ndepends_last=E\n"
         "[Version B]\nfolder=Old\nmanifestUrl=" +
         TRUSTED + "B\ndepends=D\n[Version C]\nfolder=Old\nmanifestUrl=" + TRUSTED +
         "C\ndepends=D\n[Version E]\nfolder=\ndefault=\nmanifestUrl=" + TRUSTED + "E\ndepends=D\n" +
         "[Version D]\nfolder=Old\nmanifestUrl=" + TRUSTED + "D\n");
    EXPECT_EQ(config.GetMirrorNames(), (std::vector<std::string>{"alpha", "beta"}));
    EXPECT_EQ(config.GetVersions(), (std::vector<std::string>{"2.12 beta", "B", "C", "E", "D"}));
    EXPECT_EQ(config.GetDefaultVersion(), "E");
    EXPECT_EQ(config.GetFolderPath("2.12 beta"), (std::vector<std::string>{"Beta", "2.x"}));
    EXPECT_TRUE(config.GetFolderPath("E").empty());
    // D is reached over three paths and listed once, in pre-order.
    EXPECT_EQ(config.GetDependencies("2.12 beta"),
              (std::vector<std::string>{"2.12 beta", "B", "D", "C", "E"}));

    // "${MIRROR}" expands in place, in mirror-name order, hidden mirrors included.
    std::vector<std::tuple<std::string, double, std::string>> urls;
    for (const ManifestUrl& u : config.FindVersion("2.12 beta", true)->manifestUrls)
        urls.emplace_back(u.url, u.weight, u.mirror);
    EXPECT_EQ(urls, (decltype(urls){{"http://alpha.example/b/2.12", 1.0, "alpha"},
                                    {"http://beta.example/q/b/2.12", 1.0, "beta"},
                                    {"http://zero.example/b/2.12", 1.0, "zero"},
                                    {TRUSTED + "2.12", 1.0, ""}}));
    EXPECT_EQ(config.FindVersion("2.12", false), nullptr);
    ExpectError([&] { config.GetDependencies("2.12"); }, lcGeneral, "Can't find version 2.12");

    // The longest chain a configuration may hold, each version depending on the next.
    Load(Repeat(MAX_CONFIG_VERSIONS - 1,
                "[Version %d]\nfolder=a\nmanifestUrl=" + TRUSTED + "%d\ndepends=%n\n") +
         "[Version " + std::to_string(MAX_CONFIG_VERSIONS - 1) +
         "]\nfolder=a\ndefault=1\nmanifestUrl=" + TRUSTED + "\n");
    std::vector<std::string> chain = config.GetDependencies("0");
    ASSERT_EQ(chain.size(), MAX_CONFIG_VERSIONS);
    for (size_t i = 0; i < chain.size(); i++) EXPECT_EQ(chain[i], std::to_string(i));

    config.Clear();
    EXPECT_TRUE(config.GetVersions().empty());
    ExpectError([&] { config.GetDefaultVersion(); }, lcGeneral,
                "Cannot return default version: qmh_installer.ini was not read");
}

TEST_F(InstallerConfigTest, WeightedChoiceAndRemovalOfUrls) {
    Load(MIRRORS + "[Version M]\nfolder=f\ndefault=1\nmanifestUrl=${MIRROR}m\nmanifestUrl_t=" + TRUSTED +
         "m\n" + "[Version N]\nfolder=f\nmanifestUrl=" + TRUSTED + "m\n");
    const int n = 20000;
    // With no preferred mirror, the URL written out in full outweighs the mirrors by 1e9.
    EXPECT_GE(Draw("M", false, n)[TRUSTED + "m"], n - 2);
    EXPECT_EQ(Draw("M", true, 100, "alpha"), (std::map<std::string, int>{{TRUSTED + "m", 100}}));

    RecordingLogger log;
    config.RemoveNonworkingUrl(TRUSTED + "m");
    EXPECT_EQ(log.WithPrefix("Removed"),
              (std::vector<std::string>{"Removed manifest URL " + TRUSTED + "m from version M",
                                        "Removed manifest URL " + TRUSTED + "m from version N"}));
    EXPECT_EQ(Draw("M", false, 2000, "alpha"),
              (std::map<std::string, int>{{"http://alpha.example/m", 2000}}));
    std::map<std::string, int> counts = Draw("M", false, n);
    EXPECT_EQ(counts.count("http://zero.example/m"), 0u);
    EXPECT_EQ(counts["http://alpha.example/m"] + counts["http://beta.example/q/m"], n);
    EXPECT_NEAR(double(counts["http://beta.example/q/m"]) / counts["http://alpha.example/m"], 3.0, 0.3);

    ExpectError([&] { config.ChooseManifestUrl("M", true, ""); }, lcGeneral,
                "No candidates to choose url from (version M)");
    ExpectError([&] { config.RemoveNonworkingUrl(TRUSTED + "m"); }, lcGeneral,
                "Cannot handle nonworking URL " + TRUSTED + "m");
    EXPECT_EQ(config.ChooseManifestUrl("http://custom.example/x", true, ""), "http://custom.example/x");
}

TEST_F(InstallerConfigTest, UpdateServerFromEnvironmentOrBuildSetting) {
    EXPECT_TRUE(config.IsTrustedUrl(TRUSTED + "x"));
    EXPECT_FALSE(config.IsTrustedUrl("https://127.0.0.1:8443/x"));
    ScopedEnv slashes("QMH_UPDATE_SERVER", "http://mirror.example/base//");
    EXPECT_EQ(GetUpdateServerUrl(), "http://mirror.example/base");
    EXPECT_EQ(GetTrustedUrlPrefix(), "http://mirror.example/base/");
    ScopedEnv empty("QMH_UPDATE_SERVER", "");
    std::string server = GetUpdateServerUrl();
    EXPECT_EQ(server.rfind("https://", 0), 0u) << server;
    EXPECT_EQ(GetTrustedUrlPrefix(), "http://" + server.substr(8) + "/");
    ScopedEnv bad("QMH_UPDATE_SERVER", "127.0.0.1:8443");
    ExpectError([] { GetUpdateServerUrl(); }, lcGeneral,
                "QMH_UPDATE_SERVER is not an http(s) URL: 127.0.0.1:8443");
}

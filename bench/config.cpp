// Times InstallerConfig::InitFromIni on generated configurations of the sizes a hostile or
// careless "qmh_installer.ini" may have: a long "depends" chain, many versions, many mirrors
// times many "${MIRROR}" versions. Each run prints its time and how it ended (the dependency
// list length, or the error text).
// Usage: build/bench/config [chain versions mirrors mirroredVersions]
//        (defaults 1000 20000 3000 3000)
#include "InstallerConfig.h"

#include "base/Ini.h"
#include "base/Logging.h"

#include <chrono>
#include <functional>
#include <stdio.h>
#include <stdlib.h>
#include <string>

using namespace ZipSync;

namespace {

const char* const kTrusted = "http://update.quillmere.example/";

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Logs nothing: the error lines of failed runs would only flood the console.
class QuietLogger : public Logger {
public:
    void Message(LogCode, LogSeverity, const char*) override {}
};

std::string VersionSection(int i, const std::string& url, const std::string& extra) {
    return "[Version v" + std::to_string(i) + "]\nfolder=f\nmanifestUrl=" + url + "\n" + extra;
}

// Versions v0 ... v(n-1), each depending on the next.
std::string Chain(int n) {
    std::string text;
    for (int i = 0; i < n; i++)
        text += VersionSection(i, kTrusted + std::to_string(i),
                               (i == 0 ? "default=1\n" : "") +
                                   (i + 1 < n ? "depends=v" + std::to_string(i + 1) + "\n" : ""));
    return text;
}

// n independent versions.
std::string Flat(int n) {
    std::string text;
    for (int i = 0; i < n; i++)
        text += VersionSection(i, kTrusted + std::to_string(i), i == 0 ? "default=1\n" : "");
    return text;
}

// m mirrors and n versions whose URLs expand over every mirror.
std::string Mirrored(int m, int n) {
    std::string text;
    for (int j = 0; j < m; j++)
        text +=
            "[Mirror m" + std::to_string(j) + "]\nurl=http://m" + std::to_string(j) + ".example/\nweight=1\n";
    for (int i = 0; i < n; i++)
        text += VersionSection(i, "${MIRROR}" + std::to_string(i),
                               "manifestUrl_t=" + std::string(kTrusted) + std::to_string(i) + "\n" +
                                   (i == 0 ? "default=1\n" : ""));
    return text;
}

void Measure(const char* what, const std::string& text) {
    IniData ini = ParseIniText(text);
    InstallerConfig config;
    double start = Now();
    std::string result;
    try {
        config.InitFromIni(ini);
        result = "v0 has " + std::to_string(config.GetDependencies("v0").size()) + " dependencies";
    } catch (const std::exception& e) {
        result = std::string("failed: ") + e.what();
    }
    printf("%-36s %8.3f s  %s\n", what, Now() - start, result.c_str());
    fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    int chain = argc > 1 ? atoi(argv[1]) : 1000;
    int versions = argc > 2 ? atoi(argv[2]) : 20000;
    int mirrors = argc > 3 ? atoi(argv[3]) : 3000;
    int mirrored = argc > 4 ? atoi(argv[4]) : 3000;
    delete g_logger;
    g_logger = new QuietLogger();
    setenv("QMH_UPDATE_SERVER", "https://update.quillmere.example", 1);
    char label[64];
    snprintf(label, sizeof(label), "chain of %d versions", chain);
    Measure(label, Chain(chain));
    snprintf(label, sizeof(label), "%d independent versions", versions);
    Measure(label, Flat(versions));
    snprintf(label, sizeof(label), "%d mirrors x %d versions", mirrors, mirrored);
    Measure(label, Mirrored(mirrors, mirrored));
    return 0;
}

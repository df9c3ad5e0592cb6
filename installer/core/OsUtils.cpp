// The part of the operating-system layer that both platforms share: the saved command name, the
// working directory, on top of the engine's platform file, and the rules of the system's proxy
// settings.
#include "OsUtils.h"

#include "base/Logging.h"
#include "base/Platform.h"
#include "base/Text.h"

#include <algorithm>
#include <ctype.h>
#include <filesystem>
#include <stdlib.h>

using namespace ZipSync;
namespace fs = std::filesystem;

static std::string _argv0;

void SetArgv0(const char* argv0) {
    g_logger->infof("Save command line of current process: \"%s\"", argv0);
    _argv0 = argv0;
}

const std::string& SavedArgv0() {
    ZipSyncAssert(!_argv0.empty());
    return _argv0;
}

std::string GetExecutableDir() {
    return FsPathText(FsPath(GetExecutablePath()).parent_path());
}

std::string GetExecutableName() {
    return FsPathText(FsPath(SavedArgv0()).filename());
}

std::string GetCwd() {
    return FsPathText(fs::current_path());
}

bool SetCwd(const std::string& dir) {
    g_logger->infof("Setting CWD to \"%s\"", dir.c_str());
    std::error_code ec;
    if (!fs::is_directory(FsPath(dir), ec)) {
        g_logger->warningf("Suggested CWD is not an existing directory");
        return false;
    }
    fs::current_path(FsPath(dir), ec);
    std::string now = FsPathText(fs::current_path(ec));
    if (ec || now != dir) {
        g_logger->warningf("Failed to reset CWD");
        return false;
    }
    return true;
}

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = char(tolower((unsigned char)c));
    return text;
}

// The pieces of a list separated by any of the separators, without empty ones.
std::vector<std::string> SplitList(const std::string& text, const char* separators) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = std::min(text.find_first_of(separators, start), text.size());
        if (end > start) pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

// '*' stands for any text; everything else compares exactly (the brackets of an IPv6 address
// are no character set, as they would be for the shell's wildcards).
bool WildcardMatch(const char* pattern, const char* text) {
    if (*pattern == '*')
        return WildcardMatch(pattern + 1, text) || (*text && WildcardMatch(pattern, text + 1));
    return *pattern == *text && (!*text || WildcardMatch(pattern + 1, text + 1));
}

struct UrlParts {
    std::string scheme, host, port;
};

// Scheme, host (lower case; an IPv6 address keeps its brackets) and port (the scheme's default
// when none is given) of a URL.
UrlParts SplitUrl(const std::string& url) {
    UrlParts parts;
    size_t colon = url.find("://");
    parts.scheme = Lower(url.substr(0, colon == std::string::npos ? 0 : colon));
    size_t start = colon == std::string::npos ? 0 : colon + 3;
    std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
    authority = authority.substr(authority.find('@') + 1);
    size_t hostEnd = authority[0] == '[' ? authority.find(']') + 1 : authority.find(':');
    parts.host = Lower(authority.substr(0, hostEnd));
    if (hostEnd < authority.size() && authority[hostEnd] == ':') parts.port = authority.substr(hostEnd + 1);
    if (parts.port.empty()) parts.port = parts.scheme == "https" ? "443" : "80";
    return parts;
}

bool Bypassed(const std::string& bypass, const UrlParts& url) {
    std::vector<std::string> patterns = SplitList(Lower(bypass), "; \t\r\n");
    bool loopbackThrough = std::find(patterns.begin(), patterns.end(), "<-loopback>") != patterns.end();
    if (!loopbackThrough && (url.host == "localhost" || StartsWith(url.host, "127.") || url.host == "[::1]"))
        return true;
    std::string hostPort = url.host + ":" + url.port;
    for (const std::string& pattern : patterns) {
        if (pattern == "<local>" && url.host.find('.') == std::string::npos && url.host[0] != '[')
            return true;
        for (const std::string& candidate :
             {url.host, hostPort, url.scheme + "://" + url.host, url.scheme + "://" + hostPort})
            if (WildcardMatch(pattern.c_str(), candidate.c_str())) return true;
    }
    return false;
}

// The proxy URL of a server entry ("host", "host:port", "scheme://host:port").
std::string ProxyUrl(const std::string& server, bool socks) {
    if (server.find("://") != std::string::npos) return server;
    bool hasPort = server.find(':', server[0] == '[' ? server.find(']') : 0) != std::string::npos;
    return (socks ? "socks4://" : "http://") + server + (hasPort ? "" : socks ? ":1080" : ":80");
}

} // namespace

std::string ProxyForUrl(const SystemProxySettings& settings, const std::string& url) {
    UrlParts parts = SplitUrl(url);
    std::string forScheme, forAll, socks;
    for (const std::string& entry : SplitList(settings.servers, "; \t\r\n")) {
        size_t equals = entry.find('=');
        if (equals == std::string::npos) {
            forAll = entry;
            continue;
        }
        std::string scheme = Lower(entry.substr(0, equals)), server = entry.substr(equals + 1);
        if (scheme == parts.scheme) forScheme = server;
        if (scheme == "socks") socks = server;
    }
    std::string server = !forScheme.empty() ? forScheme : !forAll.empty() ? forAll : socks;
    if (server.empty() || Bypassed(settings.bypass, parts)) return "";
    return ProxyUrl(server, forScheme.empty() && forAll.empty());
}

std::function<std::string(const std::string& url)> SystemProxyLookup() {
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        const char* value = getenv(name);
        if (value && *value) return {};
    }
    SystemProxySettings settings = ReadSystemProxySettings();
    if (settings.servers.empty()) return {};
    // Logged once for each setting met, not for every downloader.
    static std::string logged;
    std::string text = settings.servers + " (direct: " + settings.bypass + ")";
    if (text != logged) {
        g_logger->infof("Proxy of the system: %s", text.c_str());
        logged = text;
    }
    return [settings](const std::string& url) { return ProxyForUrl(settings, url); };
}

bool SelfUpdateFailed() {
    const char* const name = SELF_UPDATE_FAILED_VARIABLE;
    bool failed = getenv(name) != nullptr;
    // Not for the programs this one starts, a restarted installer among them.
#ifdef _WIN32
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
    return failed;
}

#include "InstallerConfig.h"

#include "base/Logging.h"
#include "base/Text.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <random>
#include <set>
#include <stdexcept>
#include <stdlib.h>

using namespace ZipSync;

#ifndef QMH_UPDATE_SERVER_DEFAULT
#define QMH_UPDATE_SERVER_DEFAULT "https://update.quillmere.example"
#endif

static const char* const CONFIG_FILENAME = "qmh_installer.ini";
static const char* const MIRROR_MACRO = "${MIRROR}";

// A finite decimal number and nothing else: optional sign, digits with an optional fraction,
// an optional exponent. Blanks may lead (the INI keeps those after '='); hexadecimal, "inf",
// "nan" and trailing text are refused.
static bool IsDecimalNumber(const std::string& text) {
    size_t i = text.find_first_not_of(" \t\n\r\f\v");
    if (i == std::string::npos) return false;
    auto digits = [&] {
        size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') i++;
        return i - start;
    };
    if (text[i] == '+' || text[i] == '-') i++;
    size_t mantissa = digits();
    if (i < text.size() && text[i] == '.') {
        i++;
        mantissa += digits();
    }
    if (mantissa == 0) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        i++;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) i++;
        if (digits() == 0) return false;
    }
    return i == text.size();
}

// Failures keep the standard library's exception types and the texts the configuration's users
// know ("invalid stod argument", "stod argument out of range"), after the mirror and the value.
static double ParseWeight(const std::string& mirror, const std::string& text) {
    std::string where = "Mirror " + mirror + ": weight \"" + ExcerptForMessage(text, 40) + "\": ";
    if (!IsDecimalNumber(text)) throw std::invalid_argument(where + "invalid stod argument");
    try {
        return std::stod(text);
    } catch (const std::out_of_range&) {
        throw std::out_of_range(where + "stod argument out of range");
    }
}

static std::vector<std::string> SplitFolder(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('/', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

void InstallerConfig::Clear() {
    _mirrors.clear();
    _versions.clear();
    _versionIndex.clear();
    _defaultVersion.clear();
}

static Mirror ParseMirror(const std::string& name, const IniSect& sect) {
    Mirror mirror;
    mirror.name = name;
    mirror.params = sect;
    for (const auto& [key, value] : sect) {
        if (key == "url")
            mirror.url = value;
        else if (key == "weight")
            mirror.weight = ParseWeight(name, value);
        else if (key == "hidden")
            mirror.hidden = true;
        else
            g_logger->errorf(lcGeneral, "Mirror %s: unexpected key \"%s\"", name.c_str(), key.c_str());
    }
    if (mirror.url.empty()) g_logger->errorf(lcGeneral, "Mirror %s: url not set or empty", name.c_str());
    if (!(mirror.weight >= 0.0))
        g_logger->errorf(lcGeneral, "Mirror %s: weight < 0 or not set", name.c_str());
    return mirror;
}

// Reads the keys of one version; a "default" key makes it `defaultVersion`.
static Version ParseVersion(const std::string& name, const IniSect& sect, std::string& defaultVersion) {
    Version version;
    version.name = name;
    version.params = sect;
    bool hasFolder = false;
    for (const auto& [key, value] : sect) {
        if (key == "folder") {
            if (hasFolder) g_logger->errorf(lcGeneral, "Version %s: folder described twice", name.c_str());
            hasFolder = true;
            version.folderPath = SplitFolder(value);
        } else if (key == "default") {
            if (!defaultVersion.empty()) g_logger->errorf(lcGeneral, "Two versions marked as default");
            defaultVersion = name;
        } else if (key == "manifestUrl" || StartsWith(key, "manifestUrl_")) {
            version.manifestUrls.push_back(ManifestUrl{value, 1.0, ""});
        } else if (key == "depends" || StartsWith(key, "depends_")) {
            version.depends.push_back(value);
        } else {
            g_logger->errorf(lcGeneral, "Version %s: unexpected key \"%s\"", name.c_str(), key.c_str());
        }
    }
    if (!hasFolder) g_logger->errorf(lcGeneral, "Version %s: folder not specified", name.c_str());
    if (version.manifestUrls.empty())
        g_logger->errorf(lcGeneral, "Version %s: no manifestUrl-s", name.c_str());
    return version;
}

void InstallerConfig::InitFromIni(const IniData& ini) {
    Clear();
    try {
        ReadSections(ini);
        ExpandManifestUrls();
        ComputeDependencies();
    } catch (...) {
        // Nothing half-validated stays usable.
        Clear();
        throw;
    }
}

void InstallerConfig::ReadSections(const IniData& ini) {
    for (const auto& [header, sect] : ini) {
        size_t space = header.find(' ');
        if (space == std::string::npos || space == 0)
            g_logger->errorf(lcGeneral, "No space in INI section header: \"%s\"", header.c_str());
        std::string kind = header.substr(0, space);
        std::string name = header.substr(space + 1);
        if (kind == "Mirror") {
            if (name.empty()) g_logger->errorf(lcGeneral, "Mirror with empty name");
            if (_mirrors.count(name))
                g_logger->errorf(lcGeneral, "Mirror %s: described in INI twice", name.c_str());
            if (_mirrors.size() == MAX_CONFIG_MIRRORS)
                g_logger->errorf(lcGeneral, "Too many mirrors in INI (limit %zu)", MAX_CONFIG_MIRRORS);
            _mirrors[name] = ParseMirror(name, sect);
        } else if (kind == "Version") {
            if (FindVersion(name, false))
                g_logger->errorf(lcGeneral, "Version %s: described in INI twice", name.c_str());
            if (_versions.size() == MAX_CONFIG_VERSIONS)
                g_logger->errorf(lcGeneral, "Too many versions in INI (limit %zu)", MAX_CONFIG_VERSIONS);
            _versions.push_back(ParseVersion(name, sect, _defaultVersion));
            _versionIndex[name] = _versions.size() - 1;
        } else {
            g_logger->errorf(lcGeneral, "Unknown INI section class \"%s\"", kind.c_str());
        }
    }
    if (_defaultVersion.empty()) g_logger->errorf(lcGeneral, "No default version specified in INI");
}

void InstallerConfig::ExpandManifestUrls() {
    // Counted and measured before anything is expanded: mirrors times versions can be far more
    // than memory, and so can long mirror URLs times many versions.
    size_t total = 0, text = 0, mirrorsText = 0;
    for (const auto& [name, mirror] : _mirrors) mirrorsText += mirror.url.size();
    for (const Version& version : _versions)
        for (const ManifestUrl& murl : version.manifestUrls) {
            bool expands = StartsWith(murl.url, MIRROR_MACRO);
            total += expands ? _mirrors.size() : 1;
            size_t rest = murl.url.size() - (expands ? strlen(MIRROR_MACRO) : 0);
            text += expands ? mirrorsText + _mirrors.size() * rest : rest;
        }
    if (total > MAX_CONFIG_MANIFEST_URLS)
        g_logger->errorf(lcGeneral, "Too many manifest URLs after expanding %s (limit %zu)", MIRROR_MACRO,
                         MAX_CONFIG_MANIFEST_URLS);
    if (text > MAX_CONFIG_MANIFEST_URL_TEXT)
        g_logger->errorf(lcGeneral, "Manifest URLs after expanding %s take %zu bytes (limit %zu)",
                         MIRROR_MACRO, text, MAX_CONFIG_MANIFEST_URL_TEXT);
    for (Version& version : _versions) {
        const char* name = version.name.c_str();
        std::vector<ManifestUrl> expanded;
        for (const ManifestUrl& murl : version.manifestUrls) {
            if (!StartsWith(murl.url, MIRROR_MACRO)) {
                expanded.push_back(murl);
                continue;
            }
            std::string rest = murl.url.substr(strlen(MIRROR_MACRO));
            for (const auto& [mirrorName, mirror] : _mirrors)
                expanded.push_back(ManifestUrl{mirror.url + rest, murl.weight, mirrorName});
        }
        version.manifestUrls = std::move(expanded);
        bool anyTrusted = false;
        for (const ManifestUrl& murl : version.manifestUrls) {
            if (!StartsWith(murl.url, "http://"))
                g_logger->errorf(lcGeneral, "Version %s: manifest URL is not recognized as HTTP", name);
            anyTrusted |= IsTrustedUrl(murl.url);
        }
        if (!anyTrusted)
            g_logger->errorf(lcGeneral, "Version %s: has no manifest URL at trusted location", name);
        for (const std::string& dep : version.depends)
            if (!FindVersion(dep, false))
                g_logger->errorf(lcGeneral, "Version %s: depends on missing Version %s", name, dep.c_str());
    }
}

void InstallerConfig::ComputeDependencies() {
    // Reset after every use; onPath holds the versions between the root and the current one.
    std::vector<char> visited(_versions.size()), onPath(_versions.size());
    // Versions by index (every name in depends is known to exist by now), each dependency once:
    // a repeated one would only be skipped again, in every walk.
    std::vector<std::vector<size_t>> depends(_versions.size());
    for (size_t v = 0; v < _versions.size(); v++) {
        for (const std::string& dep : _versions[v].depends) {
            size_t d = _versionIndex.at(dep);
            if (!visited[d]) depends[v].push_back(d);
            visited[d] = 1;
        }
        for (size_t d : depends[v]) visited[d] = 0;
    }
    struct Frame {
        size_t version, nextDepend;
    };
    std::vector<Frame> stack;
    for (size_t root = 0; root < _versions.size(); root++) {
        // Depth-first pre-order walk without recursion: a chain of thousands of versions must
        // not exhaust the stack.
        std::vector<size_t> all;
        auto enter = [&](size_t v) {
            if (onPath[v])
                g_logger->errorf(lcGeneral, "Version %s: at dependency cycle", _versions[v].name.c_str());
            if (visited[v]) return;
            visited[v] = onPath[v] = 1;
            all.push_back(v);
            stack.push_back({v, 0});
        };
        enter(root);
        while (!stack.empty()) {
            Frame& top = stack.back();
            if (top.nextDepend < depends[top.version].size()) {
                enter(depends[top.version][top.nextDepend++]);
            } else {
                onPath[top.version] = 0;
                stack.pop_back();
            }
        }
        std::vector<std::string>& names = _versions[root].dependsAll;
        names.clear();
        for (size_t v : all) {
            names.push_back(_versions[v].name);
            visited[v] = 0;
        }
    }
}

std::vector<std::string> InstallerConfig::GetMirrorNames() const {
    std::vector<std::string> names;
    for (const auto& [name, mirror] : _mirrors)
        if (!mirror.hidden) names.push_back(name);
    return names;
}

std::vector<std::string> InstallerConfig::GetVersions() const {
    std::vector<std::string> names;
    for (const Version& version : _versions) names.push_back(version.name);
    return names;
}

std::string InstallerConfig::GetDefaultVersion() const {
    if (_defaultVersion.empty())
        g_logger->errorf(lcGeneral, "Cannot return default version: %s was not read", CONFIG_FILENAME);
    return _defaultVersion;
}

std::vector<std::string> InstallerConfig::GetFolderPath(const std::string& version) const {
    return FindVersion(version, true)->folderPath;
}

std::vector<std::string> InstallerConfig::GetDependencies(const std::string& version) const {
    return FindVersion(version, true)->dependsAll;
}

const Version* InstallerConfig::FindVersion(const std::string& name, bool mustExist) const {
    auto found = _versionIndex.find(name);
    if (found != _versionIndex.end()) return &_versions[found->second];
    if (mustExist) g_logger->errorf(lcGeneral, "Can't find version %s", name.c_str());
    return nullptr;
}

bool InstallerConfig::IsTrustedUrl(const std::string& url) const {
    return StartsWith(url, GetTrustedUrlPrefix());
}

// The process-wide generator, seeded once at its first use.
static std::mt19937& RandomGenerator() {
    static std::mt19937 generator(
        uint32_t(time(nullptr)) ^
        uint32_t(std::chrono::high_resolution_clock::now().time_since_epoch().count()));
    return generator;
}

std::string InstallerConfig::ChooseManifestUrl(const std::string& version, bool trustedOnly,
                                               const std::string& preferredMirror) const {
    if (StartsWith(version, "http://")) return version;
    const Version* ver = FindVersion(version, true);
    std::vector<const ManifestUrl*> candidates;
    std::vector<double> weights;
    double total = 0.0;
    for (const ManifestUrl& murl : ver->manifestUrls) {
        if (trustedOnly && !IsTrustedUrl(murl.url)) continue;
        double weight = murl.weight;
        if (!murl.mirror.empty()) weight *= _mirrors.at(murl.mirror).weight;
        if (murl.mirror == preferredMirror) weight *= 1e9;
        candidates.push_back(&murl);
        weights.push_back(weight);
        total += weight;
    }
    total = std::max(total, 1e-6);
    if (candidates.empty())
        g_logger->errorf(lcGeneral, "No candidates to choose url from (version %s)", version.c_str());
    double x = (RandomGenerator()() % 1000000) * 1e-6 * total;
    for (size_t i = 0; i < candidates.size(); i++) {
        x -= weights[i];
        if (x < 0.0) return candidates[i]->url;
    }
    return candidates[0]->url;
}

void InstallerConfig::RemoveNonworkingUrl(const std::string& url, const std::string& cause) {
    bool removed = false;
    for (Version& version : _versions) {
        auto& urls = version.manifestUrls;
        for (size_t i = 0; i < urls.size();) {
            if (urls[i].url != url) {
                i++;
                continue;
            }
            g_logger->warningf("Removed manifest URL %s from version %s", url.c_str(), version.name.c_str());
            urls.erase(urls.begin() + i);
            removed = true;
        }
    }
    if (!removed && cause.empty())
        g_logger->errorf(lcGeneral, "Cannot handle nonworking URL %s", url.c_str());
    if (!removed)
        g_logger->errorf(lcGeneral, "Cannot handle nonworking URL %s: %s", url.c_str(), cause.c_str());
}

std::string GetUpdateServerUrl() {
    std::string url = QMH_UPDATE_SERVER_DEFAULT;
    const char* env = getenv("QMH_UPDATE_SERVER");
    if (env && *env) {
        url = env;
        if (!StartsWith(url, "https://") && !StartsWith(url, "http://"))
            g_logger->errorf(lcGeneral, "QMH_UPDATE_SERVER is not an http(s) URL: %s", env);
    }
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

std::string GetTrustedUrlPrefix() {
    std::string url = GetUpdateServerUrl();
    return "http://" + url.substr(url.find("://") + 3) + "/";
}

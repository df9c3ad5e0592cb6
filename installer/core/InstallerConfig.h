// The installer configuration "qmh_installer.ini": mirrors, versions and their manifest URLs.
//
// InstallerConfig is filled from the parsed INI text by InitFromIni, which validates all of it
// before anything else may use it, expands "${MIRROR}" URLs into one URL per mirror and
// computes each version's full dependency list. It then answers the wizard and the actions:
// version names and folders, the default version, mirror names, which URLs are trusted, a
// weighted random choice among a version's manifest URLs, and the removal of URLs that did not
// work. It owns plain copies of everything; no reference into it survives InitFromIni or Clear.
//
// Failures are ErrorException(lcGeneral) raised through g_logger, except a "weight" that is
// not a finite decimal number (std::invalid_argument "Mirror %s: weight \"%s\": invalid stod
// argument") or out of range (std::out_of_range "...: stod argument out of range"). A failed
// InitFromIni leaves the configuration empty. The file comes from a server: what it may hold is
// bounded by the limits below, and no stage of InitFromIni recurses or searches linearly.
//
// The official update server is a build setting (CMake cache variable QMH_UPDATE_SERVER)
// that the environment variable of the same name overrides at run time.
#pragma once

#include "base/Ini.h"

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

// What one configuration may describe: mirrors, versions, and manifest URLs in all versions
// after "${MIRROR}" expansion, in number and in bytes. Beyond a limit InitFromIni fails with
// "Too many mirrors in INI (limit 100)", "Too many versions in INI (limit 1000)", "Too many
// manifest URLs after expanding ${MIRROR} (limit 20000)" or "Manifest URLs after expanding
// ${MIRROR} take %zu bytes (limit 16777216)", before anything is expanded.
static const size_t MAX_CONFIG_MIRRORS = 100;
static const size_t MAX_CONFIG_VERSIONS = 1000;
static const size_t MAX_CONFIG_MANIFEST_URLS = 20000;
static const size_t MAX_CONFIG_MANIFEST_URL_TEXT = size_t(16) << 20;

struct Mirror {
    std::string name;
    // Base URL; a "${MIRROR}" manifest URL continues it.
    std::string url;
    // -1 until the "weight" key sets it.
    double weight = -1.0;
    // The section's pairs as read.
    ZipSync::IniSect params;
    bool hidden = false;
};

// One candidate location of a version's manifest.
struct ManifestUrl {
    std::string url;
    double weight = 1.0;
    // Mirror the URL was expanded from; empty for a URL written out in full.
    std::string mirror;
};

struct Version {
    std::vector<ManifestUrl> manifestUrls;
    // Direct dependencies, as written.
    std::vector<std::string> depends;
    // Folder of the version in the wizard's tree, split at '/' (empty components dropped).
    std::vector<std::string> folderPath;
    // The version itself, then every version it depends on, directly or not, each once, in
    // depth-first pre-order.
    std::vector<std::string> dependsAll;
    std::string name;
    // The section's pairs as read.
    ZipSync::IniSect params;
};

class InstallerConfig {
public:
    // Empties mirrors, versions and the default version.
    void Clear();
    // Clears, then parses and validates the whole file; the first failure ends it and leaves
    // the configuration empty.
    void InitFromIni(const ZipSync::IniData& ini);

    // Names of the mirrors that are not hidden, in name order.
    std::vector<std::string> GetMirrorNames() const;
    // All version names in file order.
    std::vector<std::string> GetVersions() const;
    // Fails with "Cannot return default version: qmh_installer.ini was not read" when none.
    std::string GetDefaultVersion() const;
    // Both fail with "Can't find version %s" for an unknown name.
    std::vector<std::string> GetFolderPath(const std::string& version) const;
    std::vector<std::string> GetDependencies(const std::string& version) const;
    // First version with that name; nullptr when there is none, or with mustExist the error
    // "Can't find version %s". The pointer is valid until the configuration next changes.
    const Version* FindVersion(const std::string& name, bool mustExist) const;

    // Whether the URL begins, byte for byte, with GetTrustedUrlPrefix().
    bool IsTrustedUrl(const std::string& url) const;
    // A manifest URL of the version drawn at random by weight (its own weight times its
    // mirror's; times 1e9 when its mirror name equals preferredMirror exactly, so an empty
    // preferred mirror favours URLs written out in full); only trusted URLs when
    // trustedOnly. A name that itself begins with "http://" is returned unchanged. Fails with
    // "No candidates to choose url from (version %s)" when the version has no candidate.
    std::string ChooseManifestUrl(const std::string& version, bool trustedOnly,
                                  const std::string& preferredMirror) const;
    // Removes the URL from every version, logging "Removed manifest URL %s from version %s"
    // for each; fails with "Cannot handle nonworking URL %s" when no version held it, followed
    // by ": " and the cause when one is given (why the URL did not work).
    void RemoveNonworkingUrl(const std::string& url, const std::string& cause = "");

private:
    // The three stages of InitFromIni: sections read one by one; "${MIRROR}" URLs expanded and
    // every version's URLs and dependencies checked; the dependency closures.
    void ReadSections(const ZipSync::IniData& ini);
    void ExpandManifestUrls();
    void ComputeDependencies();

    std::map<std::string, Mirror> _mirrors;
    std::vector<Version> _versions;
    // Position of each version in _versions, by name.
    std::unordered_map<std::string, size_t> _versionIndex;
    std::string _defaultVersion;
};

// Root URL of the official update server, "https://host[:port]" without trailing slash: the
// environment variable QMH_UPDATE_SERVER when set and not empty (trailing slashes removed),
// otherwise the build setting. An override that begins with neither "https://" nor "http://"
// fails with "QMH_UPDATE_SERVER is not an http(s) URL: %s". Read anew at every call.
std::string GetUpdateServerUrl();
// The trusted location: GetUpdateServerUrl() written with the "http://" scheme and ending in
// "/", e.g. "http://update.quillmere.example/".
std::string GetTrustedUrlPrefix();

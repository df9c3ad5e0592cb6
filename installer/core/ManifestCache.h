// Loading the manifests a version evaluation needs, through the cache ".zipsync/mani".
//
// The cache directory of the install directory holds checksummed manifest zips named "0.iniz",
// "1.iniz" and so on; a cached file is found again by the digest stored in it, never by its
// name. Before downloading a manifest, the evaluation fetches only the digest of the remote
// checksummed zip (its first bytes) and takes a cached file with the same digest instead.
// The configuration loses the URLs that fail.
#pragma once

#include "InstallerConfig.h"
#include "InstallerDownloader.h"
#include "base/ProgressIndicator.h"
#include "zip/Manifest.h"

#include <map>
#include <string>
#include <vector>

// Relative to the install directory.
static const char* const MANIFEST_CACHE_DIR = ".zipsync/mani";

// One manifest an evaluation needs.
struct ManifestRequest {
    // A version name, a version name followed by "$$trusted", or a custom manifest URL.
    std::string key;
    // Where the first request (the target) is fetched from; for the others it is chosen anew in
    // every pass.
    std::string url;
    // Whether the caller has it already: then it is not fetched.
    bool loaded = false;
};

// Loads every request not loaded yet, in passes until all are, and returns the manifests by key.
// The URL of the first request is taken as given; that of every other one is chosen in each pass
// from config (any mirror, preferredMirror preferred). A URL whose digest cannot be fetched is
// named with the reason in a warning ("Manifest %s cannot be fetched: %s"), removed from config,
// and the request waits for the next pass; so the passes end, at the latest with the
// configuration's "No candidates to choose url from (version %s)" or "Cannot handle nonworking
// URL %s: %s" (the URL and the reason). Manifest entries are attached to the directory of their
// URL, as remote files. Cache files that are not valid checksummed zips are deleted, and so is a
// cache file whose manifest then fails to load. The target's manifest (the first request; given
// as knownTarget when the caller has it) may hold MAX_MANIFEST_SIZE bytes of text, every other
// one, which any mirror may serve, ten times what the target's entries take (4 KiB per entry)
// and at least 1 MiB: a longer one fails before it is inflated ("Payload \"data.ini\" of %s
// declares %llu bytes, more than %llu"). A link in the cache directory, or in its place, fails
// with "Path %s is a symbolic link". progress may be null.
std::map<std::string, ZipSync::Manifest>
LoadManifests(std::vector<ManifestRequest>& requests, InstallerConfig& config,
              const std::string& preferredMirror, const NetworkOptions& network,
              ZipSync::ProgressIndicator* progress, const ZipSync::Manifest* knownTarget = nullptr);

// Writes manifest as the checksummed zip at path (as WriteIniFile does). The installed manifest
// usually has the text of the target's manifest that the evaluation downloaded: a cache file
// whose payload is exactly that text is copied instead, which gives the same bytes (those
// published) without deflating the text anew (most of a second for 20,000 entries).
void SaveManifest(const ZipSync::Manifest& manifest, const std::string& path);

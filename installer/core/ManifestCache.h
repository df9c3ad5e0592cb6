// Loading the manifests a version evaluation needs, through the cache ".zipsync/mani".
//
// The cache directory of the install directory holds checksummed manifest zips named "0.iniz",
// "1.iniz" and so on; a cached file is found again by the digest stored in it, never by its
// name. Before downloading a manifest, the evaluation fetches only the digest of the remote
// checksummed zip (its first bytes) and takes a cached file with the same digest instead.
// Loaded manifests go to g_state.loadedManifests; the configuration loses the URLs that fail.
#pragma once

#include "base/ProgressIndicator.h"

#include <string>
#include <vector>

// Relative to the install directory.
static const char* const MANIFEST_CACHE_DIR = ".zipsync/mani";

// Loads every key whose loaded flag is false into g_state.loadedManifests[key] and sets the
// flag, in passes until all are loaded. urls[0] is the URL of keys[0] as given; the URL of
// every other key is chosen anew in each pass from the configuration (any mirror). A URL whose
// digest cannot be fetched is named with the reason in a warning ("Manifest %s cannot be
// fetched: %s"), removed from the configuration, and the key waits for the next pass; so the
// passes end, at the latest with the configuration's "No candidates to choose url from (version
// %s)" or "Cannot handle nonworking URL %s: %s" (the URL and the reason). Manifest entries are attached to
// the directory of their URL, as remote files. Cache files that are not valid checksummed zips are deleted,
// and so is a cache file whose manifest then fails to load. progress may be null.
void LoadManifests(const std::vector<std::string>& keys, std::vector<std::string>& urls,
                   std::vector<bool>& loaded, ZipSync::ProgressIndicator* progress);

// The evaluation of a version: its manifests, the checks of its target, and the update plan
// that the installation carries out.
//
// EvaluateVersion loads the manifests of the chosen version and of every version it depends on
// (through the cache ".zipsync/mani", ManifestCache.h), checks the target against the
// installer's own files and the shared archive's entries, and plans the engine's update
// (UpdateSequence) from the scan, the download journal's kept entries and the other versions'
// manifests. It returns the plan with its statistics; the caller keeps it for the installation.
//
// The checks of a target that must hold before anything is written belong in its target check
// (Evaluation.cpp), which runs before the plan and before anything of the installation; checks
// that need the plan come first in RunInstallation (Installation.h).
#pragma once

#include "InstallerConfig.h"
#include "InstallerDownloader.h"
#include "Scan.h"
#include "base/ProgressIndicator.h"
#include "update/UpdateSequence.h"
#include "zip/Manifest.h"

#include <map>
#include <memory>
#include <string>

// What the version page asks for.
struct VersionChoice {
    std::string version;
    // A custom manifest on top of version as its base; empty for the version itself.
    std::string customManifestUrl;
    bool bitwiseExact = false;
    // A mirror name; empty means automatic choice.
    std::string preferredMirror;
};

struct Evaluation {
    // What the plan is for (EvaluationKey), the version that the installation records.
    std::string version;
    ZipSync::UpdateStats stats;
    // The plan; null when it is incomplete (a custom manifest whose files neither the install
    // directory nor the base version's manifests provide).
    std::unique_ptr<ZipSync::UpdateSequence> update;
};

// The version name, followed by " & " and the custom manifest URL when there is one.
std::string EvaluationKey(const std::string& version, const std::string& customManifestUrl);

// Evaluates choice against the scan. loadedManifests keeps the manifests of earlier evaluations
// by key (a version name, a version name followed by "$$trusted", or a custom manifest URL):
// those are not loaded again, and the new ones are added. The configuration loses the manifest
// URLs that do not work. The scan's kept downloads are analysed when they are not yet. A target
// that names one of the installer's own files as an archive ("Refusing to install archive %s: it
// is %s") or holds a shared-archive file that the finalisation would refuse ("Refusing to unpack
// entry ...") fails before anything is downloaded. With an incomplete plan the statistics show a
// non-zero missingSize and the evaluation holds no plan; without a custom manifest that is an
// internal error. progress may be null.
Evaluation EvaluateVersion(const VersionChoice& choice, InstallerConfig& config,
                           std::map<std::string, ZipSync::Manifest>& loadedManifests, LocalScan& scan,
                           const NetworkOptions& network, ZipSync::ProgressIndicator* progress);

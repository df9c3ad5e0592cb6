// What the wizard keeps between its pages, and the unattended flag.
//
// The actions take what they need as arguments and return what they find; InstallerState holds
// their results from one page to the next: the configuration and the scan from the settings
// page, the manifests loaded and the evaluation of the version page, the name of the moved-aside
// configuration from the installation page. g_state is the one InstallerState of the process,
// created empty by static initialisation and never destroyed. No action reads it.
#pragma once

#include "Evaluation.h"
#include "InstallerConfig.h"
#include "InstallerDownloader.h"
#include "Scan.h"
#include "zip/Manifest.h"

#include <map>
#include <string>

struct InstallerState {
    // Filled by reading "qmh_installer.ini"; empty when it was not read.
    InstallerConfig config;
    // What the last scan found in the install directory.
    LocalScan scan;
    // Manifests loaded by evaluations, by key: a version name, a version name followed by
    // "$$trusted", or a custom manifest URL. Kept so that no manifest is loaded twice.
    std::map<std::string, ZipSync::Manifest> loadedManifests;
    // The last successful evaluation; without a plan before one.
    Evaluation evaluation;
    // The selection the sizes on the version page belong to (EvaluationKey of the version
    // page's choice); cleared when page 1 is left, so that the version page evaluates again.
    std::string evaluatedVersion;
    // Name the finalisation gave to the game's old configuration file when it moved it aside;
    // empty when there was none.
    std::string oldConfigFilename;
    // Mirror chosen on the version page; empty means automatic choice.
    std::string preferredMirror;
    // Copied from the settings page; every downloader an action creates is configured from them.
    NetworkOptions network;

    // Back to the empty state (the settings page's Reset).
    void Clear();
};

extern InstallerState g_state;

// Set by the unattended run before anything else it does. GuiMessageBox then ends the
// process instead of asking.
extern bool g_unattended;

// What the installer's actions share between wizard pages, and the unattended flag.
//
// g_state is the one InstallerState of the process, created empty by static initialisation
// and never destroyed.
#pragma once

#include "InstallerConfig.h"
#include "StoredState.h"
#include "update/UpdateProcess.h"
#include "zip/Manifest.h"
#include "zip/ZipAnalysis.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

struct InstallerState {
    // Filled by reading "qmh_installer.ini"; empty when it was not read or failed to load.
    InstallerConfig config;
    // What the install directory provides; filled by the scan.
    ZipSync::Manifest localManifest;
    // Owned archives the last analysis could not read: left out of localManifest, replaced (or
    // removed) by the installation.
    std::vector<ZipSync::DamagedZip> damagedZips;
    // The last completed installation as read from, or about to be written to, the install
    // directory's state; empty when unknown.
    InstallState lastInstall;
    // The entries kept from interrupted downloads (the engine's download journal), as analysed
    // when keptDownloadsKnown; the scan and the download, which change the journal, clear it.
    ZipSync::Manifest keptDownloads;
    bool keptDownloadsKnown = false;
    // Manifests loaded by evaluations, by key: a version name, a version name followed by
    // "$$trusted", or a custom manifest URL. Kept so that no manifest is loaded twice.
    std::map<std::string, ZipSync::Manifest> loadedManifests;
    // The process of the last successful evaluation; null before one.
    std::unique_ptr<ZipSync::UpdateProcess> updater;
    // What the current update plan was developed for: the version name, or the version name,
    // " & " and the custom manifest URL.
    std::string evaluatedVersion;
    // Name the finalisation gave to the game's old configuration file when it moved it aside;
    // empty when there was none.
    std::string oldConfigFilename;
    // Mirror chosen on the version page; empty means automatic choice.
    std::string preferredMirror;
    // Copied from the settings page; every downloader an action creates is configured from them.
    bool noMultipartByteranges = false;
    bool disableTls = false;

    // Back to the empty state (the settings page's Reset).
    void Clear();
};

extern InstallerState g_state;

// Set by the unattended run before anything else it does. GuiMessageBox then ends the
// process instead of asking.
extern bool g_unattended;

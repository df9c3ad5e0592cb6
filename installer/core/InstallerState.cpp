#include "InstallerState.h"

InstallerState g_state;
bool g_unattended = false;

void InstallerState::Clear() {
    config.Clear();
    localManifest.clear();
    keptDownloads.clear();
    keptDownloadsKnown = false;
    damagedZips.clear();
    lastInstall = InstallState();
    loadedManifests.clear();
    updater.reset();
    evaluatedVersion.clear();
    oldConfigFilename.clear();
    preferredMirror.clear();
    noMultipartByteranges = false;
    disableTls = false;
}

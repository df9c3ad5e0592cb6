#include "InstallerState.h"

InstallerState g_state;
bool g_unattended = false;

void InstallerState::Clear() {
    config.Clear();
    scan = LocalScan();
    loadedManifests.clear();
    evaluation = Evaluation();
    evaluatedVersion.clear();
    oldConfigFilename.clear();
    preferredMirror.clear();
    network = NetworkOptions();
}

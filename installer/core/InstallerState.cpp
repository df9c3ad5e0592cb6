#include "InstallerState.h"

InstallerState g_state;
bool g_unattended = false;

void InstallerState::Clear() {
    config.Clear();
    lastInstall = InstallState();
    evaluatedVersion.clear();
    oldConfigFilename.clear();
    preferredMirror.clear();
    noMultipartByteranges = false;
    disableTls = false;
}

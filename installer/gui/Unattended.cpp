#include "Unattended.h"

#include "GuiInit.h"
#include "GuiLayout.h"
#include "GuiUtils.h"
#include "InstallerState.h"
#include "Logging.h"

#include <stdlib.h>
#include <string.h>
#include <string>

using namespace ZipSync;

void RunUnattended(int argc, char** argv) {
    g_unattended = true;

    bool skipConfig = false;
    std::string requestedVersion;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--skip-config-download") == 0) skipConfig = true;
        if (strcmp(argv[i], "--version") == 0 && i + 1 < argc) requestedVersion = argv[i + 1];
    }

    Fl::flush();
    CheckAdminRights();
    Fl::flush();

    customVersionCheck->value(1);
    advancedCheck->value(1);
    skipSelfUpdateCheck->value(1);
    skipConfigDownloadCheck->value(skipConfig ? 1 : 0);
    Fl::flush();

    // The installation steps driven from here (settings, version, START, Close) are not part
    // of this build yet; pressing the bare page moves would report success without
    // installing anything, so the run ends as failed.
    GuiMessageBox(GuiMbOk | GuiMbIconError | GuiMbFirstLabelFirst,
                  "Unattended installation is not available in this build of the installer");
    exit(3);
}

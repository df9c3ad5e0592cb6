// Entry point of qmh_installer: help mode, interactive wizard or unattended run.
#include "GuiInit.h"
#include "GuiLayout.h"
#include "OsUtils.h"
#include "Unattended.h"

#include <string.h>

int main(int argc, char** argv) {
    bool unattended = false, help = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--unattended") == 0) unattended = true;
        if (strcmp(argv[i], "--help") == 0) help = true;
    }

    if (help) {
        BuildHelpWindow();
        InitHelpWindow();
        helpWindow->show();
        return Fl::run();
    }

    SetArgv0(argv[0]);
    SetCwd(GetExecutableDir());

    BuildMainWindow();
    InitMainWindow();
    mainWindow->show();

    if (unattended) RunUnattended(argc, argv);

    Fl::add_timeout(0.3, CheckAdminRightsTimer);
    return Fl::run();
}

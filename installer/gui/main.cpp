// Entry point of qmh_installer: help mode, interactive wizard or unattended run.
#include "GuiInit.h"
#include "GuiLayout.h"
#include "GuiPageSettings.h"
#include "GuiUtils.h"
#include "InstallerState.h"
#include "OsUtils.h"
#include "Unattended.h"
#include "base/Logging.h"
#include "base/Platform.h"

#include <exception>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

int Run(int argc, char** argv) {
    bool unattended = false, help = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--unattended") == 0) unattended = true;
        if (strcmp(argv[i], "--help") == 0) help = true;
        if (strcmp(argv[i], "--allow-admin") == 0) g_allowAdmin = true;
    }

    if (!OpenDisplay()) {
        if (help) {
            fputs(kHelpText, stdout);
            return 0;
        }
        if (!unattended) {
            fprintf(stderr,
                    "No display can be opened. Run with --unattended to install without the window.\n");
            return 1;
        }
        // Servers, containers and CI: the same wizard runs unattended without ever being shown.
        g_headless = true;
    }

    if (help) {
        BuildHelpWindow();
        InitHelpWindow();
        helpWindow->show();
        return Fl::run();
    }

    try {
        g_downloadArguments = ParseDownloadArguments(argc, argv);
    } catch (const ZipSync::ErrorException& e) {
        // As any failure of an unattended run: exit code 3.
        g_unattended = unattended;
        GuiMessageBox(GuiMbOk | GuiMbIconError | GuiMbFirstLabelFirst, e.what());
        return 3;
    }

    SetArgv0(argv[0]);
    SetCwd(GetExecutableDir());

    BuildMainWindow();
    InitMainWindow();
    if (g_headless)
        ZipSync::g_logger->infof("No display: the window is not shown");
    else
        mainWindow->show();

    if (unattended) RunUnattended(argc, argv);

    Fl::add_timeout(0.3, CheckAdminRightsTimer);
    return Fl::run();
}

} // namespace

int main(int argc, char** argv) {
    UseParentConsole();
    // UTF-8 whatever the platform's code page.
    std::vector<std::string> args = ZipSync::CommandLineArguments(argc, argv);
    std::vector<char*> utf8Argv;
    for (std::string& arg : args) utf8Argv.push_back(&arg[0]);
    utf8Argv.push_back(nullptr);
    argc = int(args.size());
    argv = utf8Argv.data();
    // Start-up failures (a working directory that vanished, say) end the process as an error
    // would end an unattended run.
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        fprintf(stderr, "ERROR: %s\n", e.what());
    } catch (...) {
        fprintf(stderr, "ERROR: unexpected failure of unknown kind\n");
    }
    return 3;
}

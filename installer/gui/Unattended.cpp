#include "Unattended.h"

#include "GuiInit.h"
#include "GuiLayout.h"
#include "GuiUtils.h"
#include "InstallerState.h"
#include "base/Logging.h"

#include <FL/Fl_Tree_Item.H>
#include <optional>
#include <stdlib.h>
#include <string.h>
#include <string>

using namespace ZipSync;

namespace {

// Selects every tree item labelled `version` (and nothing else); returns how many there are.
int SelectVersion(const std::string& version) {
    versionTree->deselect_all(nullptr, 0);
    int count = 0;
    for (Fl_Tree_Item* item = versionTree->first(); item; item = versionTree->next(item)) {
        if (item->label() && version == item->label()) {
            versionTree->select(item, 0);
            count++;
        }
    }
    return count;
}

} // namespace

void RunUnattended(int argc, char** argv) {
    g_unattended = true;

    bool skipConfig = false, forceScan = false;
    std::optional<std::string> requestedVersion;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--skip-config-download") == 0) skipConfig = true;
        // The settings page's "Force scan": analyse every archive, which finds and repairs damaged ones.
        if (strcmp(argv[i], "--force-scan") == 0) forceScan = true;
        if (strcmp(argv[i], "--version") == 0 && i + 1 < argc) requestedVersion = argv[i + 1];
    }

    Fl::flush();
    CheckAdminRights();
    Fl::flush();

    customVersionCheck->value(1);
    advancedCheck->value(1);
    skipSelfUpdateCheck->value(1);
    skipConfigDownloadCheck->value(skipConfig ? 1 : 0);
    forceScanCheck->value(forceScan ? 1 : 0);
    Fl::flush();

    // Every step that fails reports through GuiMessageBox, which ends an unattended run; so
    // each step is reached only when the previous one succeeded.
    settingsNextButton->do_callback();
    Fl::flush();
    g_logger->infof("Running in unattended mode");

    if (requestedVersion && SelectVersion(*requestedVersion) != 1) {
        std::string message = "Specified version " + *requestedVersion + " not found";
        GuiMessageBox(GuiMbOk | GuiMbIconError | GuiMbFirstLabelFirst, message.c_str());
    }
    versionNextButton->do_callback();
    Fl::flush();
    startButton->do_callback();
    Fl::flush();
    // Close reports success: it must find a finished installation, not a step that gave up
    // without a message.
    if (wizard->value() != pageInstall || !closeButton->active())
        GuiMessageBox(GuiMbOk | GuiMbIconError | GuiMbFirstLabelFirst,
                      "Installation did not reach its end; see the log above");
    closeButton->do_callback();
    exit(0);
}

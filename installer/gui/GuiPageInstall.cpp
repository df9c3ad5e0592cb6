#include "GuiPageInstall.h"

#include "Finishing.h"
#include "GuiLayout.h"
#include "GuiUtils.h"
#include "Installation.h"
#include "InstallerState.h"
#include "ProgressIndicatorGui.h"
#include "WizardView.h"
#include "base/Logging.h"

#include <stdlib.h>

using namespace ZipSync;

namespace {

void UpdateFinishingButtons() {
    RunShowingErrors([] {
        if (CanRestoreOldConfig(g_state.oldConfigFilename))
            restoreConfigButton->activate();
        else
            restoreConfigButton->deactivate();
        shortcutButton->label(ShortcutExists() ? "Recreate shortcut" : "Create shortcut");
    });
}

void RunInstallationStages() {
    WizardView view;
    InstallationResult result = RunInstallation(g_state.evaluation, g_state.scan, g_state.network, view);
    if (!result.oldConfigFilename.empty()) g_state.oldConfigFilename = result.oldConfigFilename;
}

} // namespace

void ConfirmBackButtonCallback(Fl_Widget*, void*) {
    wizard->value(customVersionCheck->value() ? pageVersion : pageSettings);
}

void StartButtonCallback(Fl_Widget*, void*) {
    Fl_Widget* stageControls[] = {downloadProgress, verifyProgress,      remainingLabel,
                                  repackProgress,   finalizeProgress,    finishedText,
                                  additionalText,   restoreConfigButton, shortcutButton};
    for (Fl_Widget* widget : stageControls) widget->hide();
    installText->show();
    wizard->value(pageInstall);
    closeButton->deactivate();
    cancelButton->activate();

    bool installed = RunShowingErrors(RunInstallationStages);
    if (!installed) {
        wizard->value(pageConfirm);
        return;
    }

    installText->hide();
    finishedText->show();
    additionalText->show();
    restoreConfigButton->show();
    shortcutButton->show();
    closeButton->activate();
    cancelButton->deactivate();
    UpdateFinishingButtons();
}

void CancelButtonCallback(Fl_Widget*, void*) {
    g_interruptFlag = 1;
}

void CloseButtonCallback(Fl_Widget*, void*) {
    g_logger->infof("Closing installer after successful install");
    exit(0);
}

void RestoreConfigButtonCallback(Fl_Widget*, void*) {
    RunShowingErrors([] { RestoreOldConfig(g_state.oldConfigFilename); });
    UpdateFinishingButtons();
}

void ShortcutButtonCallback(Fl_Widget*, void*) {
    RunShowingErrors([] {
        CreateDesktopShortcut();
        shortcutButton->deactivate();
    });
    UpdateFinishingButtons();
}

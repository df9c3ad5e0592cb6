#include "GuiPageInstall.h"

#include "Actions.h"
#include "GuiLayout.h"
#include "GuiUtils.h"
#include "InstallerState.h"
#include "OsUtils.h"
#include "ProgressIndicatorGui.h"
#include "base/Logging.h"
#include "update/TemporaryFiles.h"

#include <stdlib.h>

using namespace ZipSync;

namespace {

void UpdateFinishingButtons() {
    RunShowingErrors([] {
        if (CanRestoreOldConfig())
            restoreConfigButton->activate();
        else
            restoreConfigButton->deactivate();
        shortcutButton->label(ShortcutExists() ? "Recreate shortcut" : "Create shortcut");
    });
}

void RunInstallationStages() {
    {
        GuiDeactivizer deactivizer(pageInstall, {cancelButton});
        downloadProgress->show();
        Fl::check();
        ProgressIndicatorGui download(downloadProgress);
        download.SetRemainingTimeLabel(remainingLabel);
        download.SetMainWindow(mainWindow);
        ProgressIndicatorGui verify(verifyProgress);
        verify.SetMainWindow(mainWindow);
        PerformInstallDownload(&download, &verify);
    }
    {
        GuiDeactivizer deactivizer(pageInstall);
        ProgressIndicatorGui repack(repackProgress);
        repack.SetMainWindow(mainWindow);
        PerformInstallRepack(&repack);
    }
    {
        GuiDeactivizer deactivizer(pageInstall);
        ProgressIndicatorGui finalize(finalizeProgress);
        PerformInstallFinalize(&finalize);
    }
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

    bool installed = RunShowingErrors(RunInstallationStages, [] { CleanupTemporaryFiles(GetCwd()); });
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
    RunShowingErrors(RestoreOldConfig);
    UpdateFinishingButtons();
}

void ShortcutButtonCallback(Fl_Widget*, void*) {
    RunShowingErrors([] {
        CreateDesktopShortcut();
        shortcutButton->deactivate();
    });
    UpdateFinishingButtons();
}

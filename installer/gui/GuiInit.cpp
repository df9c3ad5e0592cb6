#include "GuiInit.h"

#include "Assets.h"
#include "GuiLayout.h"
#include "GuiPageInstall.h"
#include "GuiPageSettings.h"
#include "GuiPageVersion.h"
#include "GuiUtils.h"
#include "OsUtils.h"
#include "base/Logging.h"

#include <FL/Fl_JPEG_Image.H>
#include <FL/Fl_PNG_Image.H>
#include <FL/Fl_Text_Buffer.H>
#include <stdlib.h>

using namespace ZipSync;

const char* const kInstallerVersion = "1.16";
const char* const kInstallerBuildDate = __DATE__;

bool g_allowAdmin = false;

const char* const kHelpText = "List of command line parameters:\n\n"
                              "--help\n"
                              "    Display this list of parameters.\n\n"
                              "--unattended\n"
                              "    Install game without any human intervention.\n"
                              "    The most recent stable version is installed by default\n"
                              "    into the directory where this installer is located.\n"
                              "    BEWARE: it won't ask for any confirmation!\n"
                              "    Make sure to look into qmh_installer.log after it finishes.\n"
                              "    Return code should be nonzero if an error happens.\n\n"
                              "--version {ver}\n"
                              "    Install the version {ver} instead of the default one.\n"
                              "    Only has effect when combined with --unattended.\n\n"
                              "--limit-rate {rate}\n"
                              "    Download at most {rate} bytes per second in all,\n"
                              "    with k, M or G for KiB, MiB or GiB: 500k, 2M.\n\n"
                              "--transfers {n}\n"
                              "    Keep at most {n} HTTP requests in flight at once.\n\n"
                              "--allow-admin\n"
                              "    Go on although run as admin (root on Linux),\n"
                              "    without the warning, also with --unattended.\n";

namespace {

Fl_RGB_Image* Icon() {
    static Fl_PNG_Image* icon = new Fl_PNG_Image("icon.png", g_iconPng, (int)g_iconPngSize);
    return icon;
}

Fl_JPEG_Image* LeftPanelImage() {
    static Fl_JPEG_Image* image = new Fl_JPEG_Image("LeftPanelImage.jpg", g_leftPanelImageJpg);
    return image;
}

// A page callback whose exceptions, of whatever type, are shown as errors instead of leaving
// the toolkit's event loop (which would end the program).
template <Fl_Callback* callback> void Guarded(Fl_Widget* widget, void* data) {
    RunShowingErrors([&] { callback(widget, data); });
}

void SetText(Fl_Text_Display* display, const char* text) {
    TextBuffer(display)->text(text);
}

} // namespace

void SetWindowIcon(Fl_Window* window) {
    Fl_RGB_Image* icon = Icon();
    if (icon->w() > 0 && icon->h() > 0) window->icon(icon);
}

void InitMainWindow() {
    SetWindowIcon(mainWindow);
    Fl_JPEG_Image* panel = LeftPanelImage();
    if (panel->w() > 0 && panel->h() > 0) leftPanel->image(panel);

    static std::string title =
        FormatString("Quillmere installer v%s (built on %s)", kInstallerVersion, kInstallerBuildDate);
    mainWindow->label(title.c_str());
    if (!g_headless) mainWindow->position((Fl::w() - mainWindow->w()) / 2, (Fl::h() - mainWindow->h()) / 2);

    SetText(settingsText,
            "This application will install Quillmere, or update existing installation \n"
            "to the most recent version available. An active internet connection will be required. \n"
            "Review the settings below, then click Next to start. ");
    restartButton->hide();
    scanProgress->hide();
    customUrlHint->hide();
    evaluateProgress->hide();

    SetText(confirmText,
            "Quillmere is ready to install or update. \nCheck the information below and click START. \n");
    SetText(installText, "Quillmere is being installed right now. \nPlease wait... \n");

    SetText(finishedText, "Installation finished successfully! \nClick Close to exit. \n");
    finishedText->hide();
    downloadProgress->hide();
    remainingLabel->hide();
    repackProgress->hide();
    finalizeProgress->hide();
    SetText(additionalText, "Additional actions:\n");
    additionalText->hide();

    wizard->value(pageSettings);

    mainWindow->callback(Guarded<MainWindowCloseCallback>);
    installDirInput->callback(Guarded<InstallDirInputCallback>);
    installDirInput->when(FL_WHEN_CHANGED);
    browseButton->callback(Guarded<BrowseButtonCallback>);
    restartButton->callback(Guarded<RestartButtonCallback>);
    settingsResetButton->callback(Guarded<SettingsResetButtonCallback>);
    advancedCheck->callback(Guarded<AdvancedCheckCallback>);
    settingsNextButton->callback(Guarded<SettingsNextButtonCallback>);

    settingsResetButton->do_callback();

    versionTree->callback(Guarded<VersionSelectionCallback>);
    customUrlInput->callback(Guarded<VersionSelectionCallback>);
    customUrlInput->when(FL_WHEN_CHANGED);
    refreshInfoButton->callback(Guarded<RefreshInfoButtonCallback>);
    versionNextButton->callback(Guarded<VersionNextButtonCallback>);
    mirrorChoice->callback(Guarded<MirrorChoiceCallback>);
    confirmBackButton->callback(Guarded<ConfirmBackButtonCallback>);
    startButton->callback(Guarded<StartButtonCallback>);
    restoreConfigButton->callback(Guarded<RestoreConfigButtonCallback>);
    shortcutButton->callback(Guarded<ShortcutButtonCallback>);
    cancelButton->callback(Guarded<CancelButtonCallback>);
    closeButton->callback(Guarded<CloseButtonCallback>);

    ApplyStyle(mainWindow);
}

void InitHelpWindow() {
    SetWindowIcon(helpWindow);
    ApplyStyle(helpWindow);
    SetText(helpText, kHelpText);
}

void CheckAdminRights() {
    if (!IsRunningAsAdmin()) return;
    if (g_allowAdmin) {
        g_logger->infof("Running as admin, as --allow-admin asks");
        return;
    }
    int answer =
        GuiMessageBox(GuiMbQuestion | GuiMbIconWarning | GuiMbFirstLabelFirst,
                      "The installer was run \"as admin\". This is strongly discouraged!\n"
                      "If you continue, admin rights will most likely be necessary to play the game.",
                      "I know what I'm doing", "Exit");
    if (answer == 1) exit(0);
}

void CheckAdminRightsTimer(void*) {
    CheckAdminRights();
}

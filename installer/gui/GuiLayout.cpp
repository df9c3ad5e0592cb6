#include "GuiLayout.h"

#include "GuiUtils.h"

Fl_Double_Window* mainWindow = nullptr;
Fl_Box* leftPanel = nullptr;
Fl_Wizard* wizard = nullptr;

Fl_Group* pageSettings = nullptr;
Fl_Text_Display* settingsText = nullptr;
Fl_Input* installDirInput = nullptr;
Fl_Button* browseButton = nullptr;
Fl_Button* restartButton = nullptr;
Fl_Box* advancedFrame = nullptr;
Fl_Check_Button* customVersionCheck = nullptr;
Fl_Check_Button* advancedCheck = nullptr;
Fl_Check_Button* skipSelfUpdateCheck = nullptr;
Fl_Check_Button* skipConfigDownloadCheck = nullptr;
Fl_Check_Button* forceScanCheck = nullptr;
Fl_Check_Button* bitwiseExactCheck = nullptr;
Fl_Check_Button* noMultipartCheck = nullptr;
Fl_Check_Button* disableTlsCheck = nullptr;
Fl_Box* rateLimitLabel = nullptr;
Fl_Input* rateLimitInput = nullptr;
Fl_Progress* scanProgress = nullptr;
Fl_Button* settingsNextButton = nullptr;
Fl_Button* settingsResetButton = nullptr;

Fl_Group* pageVersion = nullptr;
Fl_Output* lastInstalledOutput = nullptr;
Fl_Tree* versionTree = nullptr;
Fl_Input* customUrlInput = nullptr;
Fl_Box* customUrlHint = nullptr;
Fl_Output* versionCurrentSize = nullptr;
Fl_Output* versionFinalSize = nullptr;
Fl_Output* versionAddedSize = nullptr;
Fl_Output* versionRemovedSize = nullptr;
Fl_Output* versionDownloadSize = nullptr;
Fl_Button* refreshInfoButton = nullptr;
Fl_Progress* evaluateProgress = nullptr;
Fl_Button* versionNextButton = nullptr;
Fl_Button* versionBackButton = nullptr;
Fl_Choice* mirrorChoice = nullptr;

Fl_Group* pageConfirm = nullptr;
Fl_Text_Display* confirmText = nullptr;
Fl_Output* confirmInstallDir = nullptr;
Fl_Output* confirmLastInstalled = nullptr;
Fl_Output* confirmVersion = nullptr;
Fl_Output* confirmCurrentSize = nullptr;
Fl_Output* confirmFinalSize = nullptr;
Fl_Output* confirmAddedSize = nullptr;
Fl_Output* confirmRemovedSize = nullptr;
Fl_Output* confirmDownloadSize = nullptr;
Fl_Button* startButton = nullptr;
Fl_Button* confirmBackButton = nullptr;

Fl_Group* pageInstall = nullptr;
Fl_Text_Display* installText = nullptr;
Fl_Progress* downloadProgress = nullptr;
Fl_Box* remainingLabel = nullptr;
Fl_Progress* verifyProgress = nullptr;
Fl_Progress* repackProgress = nullptr;
Fl_Progress* finalizeProgress = nullptr;
Fl_Text_Display* finishedText = nullptr;
Fl_Button* closeButton = nullptr;
Fl_Button* cancelButton = nullptr;
Fl_Button* restoreConfigButton = nullptr;
Fl_Text_Display* additionalText = nullptr;
Fl_Button* shortcutButton = nullptr;

Fl_Double_Window* helpWindow = nullptr;
Fl_Text_Display* helpText = nullptr;

namespace {

void NextPage(Fl_Widget*, void*) {
    wizard->next();
}
void PrevPage(Fl_Widget*, void*) {
    wizard->prev();
}

template <class W>
W* Make(int x, int y, int w, int h, const char* label = nullptr, const char* tooltip = nullptr) {
    W* widget = new W(x, y, w, h, label);
    if (tooltip) widget->tooltip(tooltip);
    return widget;
}

Fl_Text_Display* MakeText(int x, int y, int w, int h) {
    Fl_Text_Display* text = new Fl_Text_Display(x, y, w, h);
    // Attaching a buffer measures the font, which needs the display; headless, the buffer
    // waits in user_data (see TextBuffer).
    if (g_headless)
        text->user_data(new Fl_Text_Buffer());
    else
        text->buffer(new Fl_Text_Buffer());
    return text;
}

Fl_Button* MakeButton(int x, int y, int w, int h, const char* label, const char* tooltip,
                      Fl_Callback* pageMove = nullptr) {
    Fl_Button* button = Make<Fl_Button>(x, y, w, h, label, tooltip);
    if (pageMove) button->callback(pageMove);
    return button;
}

void BuildPageSettings() {
    pageSettings = new Fl_Group(325, 0, 720, 550, "Page 1: Settings");
    settingsText = MakeText(340, 35, 660, 70);
    installDirInput = Make<Fl_Input>(
        445, 125, 485, 20, "Install directory: ",
        "This is where the game will be installed. Do not install to Program Files! Choose some directory "
        "where you can write, like: C:/Games/Quillmere. Path must be absolute, period character is not "
        "allowed.");
    browseButton = MakeButton(940, 125, 60, 20, "Browse", nullptr);
    restartButton = MakeButton(590, 155, 150, 30, "Create_and_Restart", "Restart is required to proceed.");
    // One row below the check buttons holds the rate limit.
    advancedFrame = Make<Fl_Box>(395, 311, 505, 119);
    advancedFrame->box(FL_ENGRAVED_FRAME);
    customVersionCheck = Make<Fl_Check_Button>(
        395, 245, 200, 20, "Get custom version",
        "Click this checkbox if you want to install custom version of QMH. Otherwise, the most recent "
        "official release will be installed.");
    advancedCheck = Make<Fl_Check_Button>(395, 283, 205, 20, "Advanced settings",
                                          "Unlock settings shown below. Using them is not recommended.");
    skipSelfUpdateCheck = Make<Fl_Check_Button>(415, 323, 225, 20, "Skip installer self-update",
                                                "Do not download the new version of this installer.");
    skipConfigDownloadCheck = Make<Fl_Check_Button>(
        415, 348, 225, 20, "Skip config file download",
        "Do not download up-to-date configuration file. Use information from qmh_installer.ini in the "
        "install directory instead.");
    forceScanCheck = Make<Fl_Check_Button>(
        415, 373, 220, 20, "Force scan",
        "Be sure to reanalyze all pk4 and zip files in the install directory before proceeding. This can "
        "be useful if local version is suspected to be corrupted.");
    bitwiseExactCheck = Make<Fl_Check_Button>(
        695, 323, 175, 20, "Bitwise exact zips",
        "Make zip files bitwise the same as on the server, possibly at the cost of more download.");
    noMultipartCheck = Make<Fl_Check_Button>(
        695, 348, 175, 20, "No multipart byteranges",
        "Never use multipart byterange HTTP requests, use only single-range requests. This makes downloads "
        "slower, but can help in case of network issues.");
    disableTlsCheck = Make<Fl_Check_Button>(
        695, 373, 175, 20, "Disable TLS",
        "Use unencrypted HTTP instead of HTTPS, which means you can get malicious data if the network is "
        "compromised.");
    // The caption sits inside the frame: a label outside the field would cross the frame's box.
    rateLimitLabel = Make<Fl_Box>(695, 398, 135, 20, "Rate limit (bytes/s):");
    rateLimitLabel->align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT);
    rateLimitInput = Make<Fl_Input>(
        830, 398, 65, 20, nullptr,
        "Download at most this many bytes per second, all connections together, for example 500k or 2M "
        "(k, M and G stand for KiB, MiB and GiB). Empty: no limit.");
    scanProgress = Make<Fl_Progress>(335, 480, 680, 20, "scanning...");
    settingsNextButton = MakeButton(935, 510, 80, 30, "Next", nullptr, NextPage);
    settingsResetButton =
        MakeButton(335, 510, 80, 30, "Reset", "Reset all settings on this page to defaults.", PrevPage);
    pageSettings->end();
}

Fl_Output* MakeSizeOutput(int x, int y, int w, const char* label, const char* tooltip = nullptr) {
    return Make<Fl_Output>(x, y, w, 20, label, tooltip);
}

void BuildPageVersion() {
    pageVersion = new Fl_Group(325, 0, 700, 550, "Page 2: Choose Version");
    lastInstalledOutput = Make<Fl_Output>(
        575, 10, 425, 20, "Version installed during last update: ",
        "This version was installed in this directory the last time. It does not affect the installation "
        "procedure in any way, and is displayed only for information.");
    versionTree = Make<Fl_Tree>(345, 40, 555, 390);
    customUrlInput = Make<Fl_Input>(
        490, 450, 510, 20, "Custom manifest URL:",
        "Do not enter anything here unless you know what you are doing! This is only used to share quick "
        "test patches and unofficial versions.");
    customUrlHint = Make<Fl_Box>(
        360, 432, 600, 16,
        "In the GUI tree above, select the base version from which the custom one was branched.");
    versionCurrentSize = MakeSizeOutput(920, 60, 80, "Current Size:");
    versionFinalSize = MakeSizeOutput(920, 110, 80, "Final Size:");
    versionAddedSize = MakeSizeOutput(920, 160, 80, "Added Size:");
    versionRemovedSize = MakeSizeOutput(920, 210, 80, "Removed Size:");
    versionDownloadSize = MakeSizeOutput(920, 260, 80, "Download Size:");
    refreshInfoButton = MakeButton(
        910, 300, 100, 30, "Refresh Info",
        "Click to update the numbers shown above. It can trigger downloading a bit of data, but it will be "
        "downloaded sooner or later anyway.");
    evaluateProgress = Make<Fl_Progress>(335, 480, 680, 20, "downloading...");
    versionNextButton = MakeButton(935, 510, 80, 30, "Next",
                                   "To unlock it, select one version of the game to install.", NextPage);
    versionBackButton = MakeButton(335, 510, 80, 30, "Back", nullptr, PrevPage);
    mirrorChoice = Make<Fl_Choice>(
        920, 380, 80, 20, "Prefer Mirror:",
        "If you select a mirror here, then it will be used for all downloads. If you don't, then mirrors "
        "will be chosen randomly for better distribution of traffic among mirror hosters.");
    mirrorChoice->align(FL_ALIGN_TOP);
    // The sizes stand in a column right of the tree, which labels on their left would overlap.
    for (Fl_Output* size :
         {versionCurrentSize, versionFinalSize, versionAddedSize, versionRemovedSize, versionDownloadSize})
        size->align(FL_ALIGN_TOP);
    pageVersion->end();
}

void BuildPageConfirm() {
    pageConfirm = new Fl_Group(325, 0, 700, 550, "Page 3: Confirmation");
    confirmText = MakeText(340, 35, 660, 55);
    confirmInstallDir = Make<Fl_Output>(450, 115, 550, 20, "Install directory:  ");
    confirmLastInstalled = Make<Fl_Output>(575, 150, 425, 20, "Version installed during last update:  ");
    confirmVersion = Make<Fl_Output>(575, 185, 425, 20, "Version to be installed:  ");
    confirmCurrentSize =
        MakeSizeOutput(575, 245, 105, "Current Size:", "The full size of currently installed QMH files.");
    confirmFinalSize =
        MakeSizeOutput(575, 280, 105, "Final Size:", "The full size of the version being installed.");
    confirmAddedSize =
        MakeSizeOutput(575, 315, 105, "Added Size:", "How much data will be added to the installation.");
    confirmRemovedSize = MakeSizeOutput(
        575, 350, 105, "Removed Size:", "How much existing data will be removed from installation.");
    confirmDownloadSize = MakeSizeOutput(
        575, 385, 105, "Download Size:", "The installer will download approximately this amount of data.");
    startButton = MakeButton(935, 510, 80, 30, "START", "Note: there is no turning back!", NextPage);
    confirmBackButton = MakeButton(335, 510, 80, 30, "Back", nullptr, PrevPage);
    pageConfirm->end();
}

void BuildPageInstall() {
    pageInstall = new Fl_Group(325, 0, 700, 550, "Page 4: Installing");
    installText = MakeText(340, 35, 660, 60);
    downloadProgress = Make<Fl_Progress>(335, 105, 680, 20, "Downloading...");
    remainingLabel = Make<Fl_Box>(465, 124, 405, 16, "Remaining ~ ?:??:??");
    verifyProgress = Make<Fl_Progress>(335, 155, 680, 20, "Verifying...");
    repackProgress = Make<Fl_Progress>(335, 205, 680, 20, "Repacking...");
    finalizeProgress = Make<Fl_Progress>(335, 255, 680, 20, "Finalizing...");
    finishedText = MakeText(340, 35, 660, 55);
    closeButton = MakeButton(935, 510, 80, 30, "Close", nullptr, NextPage);
    cancelButton =
        MakeButton(335, 510, 80, 30, "Cancel",
                   "WARNING: This will stop the installation! All progress will be lost.", PrevPage);
    restoreConfigButton = MakeButton(
        380, 390, 190, 30, "Restore old quillmere.cfg",
        "NOT RECOMMENDED! File quillmere.cfg contains most of user settings, like antialiasing level, play "
        "music in menu, etc. Installer has deleted this config file because it can conflict with the new "
        "version of the game. Click this button to restore deleted config file.");
    additionalText = MakeText(340, 345, 660, 35);
    shortcutButton = MakeButton(790, 390, 145, 30, "Create shortcut",
                                "Creates desktop shortcut for QMH executable (for the current user).");
    pageInstall->end();
}

} // namespace

Fl_Text_Buffer* TextBuffer(Fl_Text_Display* display) {
    if (display->buffer()) return display->buffer();
    return static_cast<Fl_Text_Buffer*>(display->user_data());
}

Fl_Double_Window* BuildMainWindow() {
    mainWindow = new Fl_Double_Window(1025, 550, "Quillmere installer v?.??");
    leftPanel = new Fl_Box(0, 0, 325, 550);
    wizard = new Fl_Wizard(325, 0, 720, 550);
    BuildPageSettings();
    BuildPageVersion();
    BuildPageConfirm();
    BuildPageInstall();
    wizard->end();
    mainWindow->end();
    return mainWindow;
}

Fl_Double_Window* BuildHelpWindow() {
    // Tall enough for every option without scrolling.
    helpWindow = new Fl_Double_Window(450, 510, "Quillmere installer: help");
    helpText = MakeText(20, 20, 410, 470);
    helpText->box(FL_NO_BOX);
    helpText->color(FL_BACKGROUND_COLOR);
    helpWindow->end();
    return helpWindow;
}

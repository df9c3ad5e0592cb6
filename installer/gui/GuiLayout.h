// The wizard's widgets: the main window with its left image panel and four pages, and the
// help window.
//
// Every widget is a process-wide object, created once by BuildMainWindow or BuildHelpWindow
// and alive until the process ends; the windows own their children. The layout installs only
// default page moves on the wizard's buttons (forward for Next, START and Close, backward for
// Reset, Back and Cancel); InitMainWindow replaces them with the pages' behaviour.
#pragma once

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Display.H>
#include <FL/Fl_Tree.H>
#include <FL/Fl_Wizard.H>

extern Fl_Double_Window* mainWindow;
extern Fl_Box* leftPanel;
extern Fl_Wizard* wizard;

// Page 1: settings
extern Fl_Group* pageSettings;
extern Fl_Text_Display* settingsText;
extern Fl_Input* installDirInput;
extern Fl_Button* browseButton;
extern Fl_Button* restartButton;
extern Fl_Box* advancedFrame;
extern Fl_Check_Button* customVersionCheck;
extern Fl_Check_Button* advancedCheck;
extern Fl_Check_Button* skipSelfUpdateCheck;
extern Fl_Check_Button* skipConfigDownloadCheck;
extern Fl_Check_Button* forceScanCheck;
extern Fl_Check_Button* bitwiseExactCheck;
extern Fl_Check_Button* noMultipartCheck;
extern Fl_Check_Button* disableTlsCheck;
// The download rate limit: a caption box (a plain label inside the advanced frame) and the field.
extern Fl_Box* rateLimitLabel;
extern Fl_Input* rateLimitInput;
extern Fl_Progress* scanProgress;
extern Fl_Button* settingsNextButton;
extern Fl_Button* settingsResetButton;

// Page 2: version choice
extern Fl_Group* pageVersion;
extern Fl_Output* lastInstalledOutput;
extern Fl_Tree* versionTree;
extern Fl_Input* customUrlInput;
extern Fl_Box* customUrlHint;
extern Fl_Output* versionCurrentSize;
extern Fl_Output* versionFinalSize;
extern Fl_Output* versionAddedSize;
extern Fl_Output* versionRemovedSize;
extern Fl_Output* versionDownloadSize;
extern Fl_Button* refreshInfoButton;
extern Fl_Progress* evaluateProgress;
extern Fl_Button* versionNextButton;
extern Fl_Button* versionBackButton;
extern Fl_Choice* mirrorChoice;

// Page 3: confirmation
extern Fl_Group* pageConfirm;
extern Fl_Text_Display* confirmText;
extern Fl_Output* confirmInstallDir;
extern Fl_Output* confirmLastInstalled;
extern Fl_Output* confirmVersion;
extern Fl_Output* confirmCurrentSize;
extern Fl_Output* confirmFinalSize;
extern Fl_Output* confirmAddedSize;
extern Fl_Output* confirmRemovedSize;
extern Fl_Output* confirmDownloadSize;
extern Fl_Button* startButton;
extern Fl_Button* confirmBackButton;

// Page 4: installation
extern Fl_Group* pageInstall;
extern Fl_Text_Display* installText;
extern Fl_Progress* downloadProgress;
extern Fl_Box* remainingLabel;
extern Fl_Progress* verifyProgress;
extern Fl_Progress* repackProgress;
extern Fl_Progress* finalizeProgress;
extern Fl_Text_Display* finishedText;
extern Fl_Button* closeButton;
extern Fl_Button* cancelButton;
extern Fl_Button* restoreConfigButton;
extern Fl_Text_Display* additionalText;
extern Fl_Button* shortcutButton;

// Help window
extern Fl_Double_Window* helpWindow;
extern Fl_Text_Display* helpText;

// Creates mainWindow and every widget above it, with labels, tooltips and default page moves.
Fl_Double_Window* BuildMainWindow();
// Creates helpWindow and helpText.
Fl_Double_Window* BuildHelpWindow();

// The text buffer of a display made by the layout (also when g_headless kept it detached).
Fl_Text_Buffer* TextBuffer(Fl_Text_Display* display);

// What the settings page (page 1) and the main window's close button do.
//
// The install directory is always the working directory: choosing another one offers a restart
// of the installer there. Next runs the start-up actions (directory checks, log file,
// self-update, configuration, scan), fills the version page and moves on; unless a custom
// version is wanted, it passes the version page at once. Failures are shown and page 1 stays.
#pragma once

#include "InstallerDownloader.h"
#include "Startup.h"

#include <FL/Fl_Widget.H>

// Free space as the page's directory checks read it; empty means the real one. Tests replace it.
extern AvailableSpaceFunction g_settingsAvailableSpace;
// The command line's options for downloads (set by the entry point before the window is
// initialised): the rate field's default, and the transfers of every download.
extern DownloadArguments g_downloadArguments;

// Hides the main window (ending the event loop) unless an action is running.
void MainWindowCloseCallback(Fl_Widget*, void*);
// Checks the typed install directory: red when invalid ("." anywhere, not absolute, or a file),
// and Next unlocked only when it is the working directory; otherwise "Restart" or "Create and
// Restart" is offered.
void InstallDirInputCallback(Fl_Widget*, void*);
void BrowseButtonCallback(Fl_Widget*, void*);
// Checks the typed directory (asking about each warning) and restarts the installer there
// (RunRestart).
void RestartButtonCallback(Fl_Widget*, void*);
// Empties the installer state and puts page 1 (and the version page's inputs) back to defaults.
void SettingsResetButtonCallback(Fl_Widget*, void*);
// Unlocks the six advanced options and the rate limit; clearing it clears and locks them (the
// rate limit goes back to the command line's).
void AdvancedCheckCallback(Fl_Widget*, void*);
// Runs the start-up (RunStartup) with the page's options (a malformed rate limit is an error),
// keeps its configuration and scan, fills the version page and moves there.
void SettingsNextButtonCallback(Fl_Widget*, void*);

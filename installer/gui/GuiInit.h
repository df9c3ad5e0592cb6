// Start-up of the windows built by GuiLayout: icon, title, texts, initial visibility,
// callbacks and style; and the warning shown to an elevated process.
#pragma once

#include <FL/Fl_Window.H>

extern const char* const kInstallerVersion;   // "1.16"
extern const char* const kInstallerBuildDate; // as the compiler's __DATE__, e.g. "Apr 26 2026"

// The help window's text: the command-line parameters.
extern const char* const kHelpText;

// Sets the embedded icon on `window`.
void SetWindowIcon(Fl_Window* window);

// Prepares mainWindow after BuildMainWindow: icon, title "Quillmere installer v%s (built on
// %s)", centred on the screen, texts, hidden progress and finishing controls, style, page 1.
void InitMainWindow();
// Prepares helpWindow after BuildHelpWindow: icon, style and kHelpText.
void InitHelpWindow();

// Set by the command-line option "--allow-admin": the installer runs elevated on purpose (an
// administrator's own installation; Wine, which reports every process as elevated).
extern bool g_allowAdmin;

// When the process runs elevated, warns and offers to exit (exit code 0); in unattended mode
// the warning ends the process with exit code 2. With g_allowAdmin set it only logs that the
// process is elevated and goes on.
void CheckAdminRights();
// Timer callback form of CheckAdminRights for Fl::add_timeout.
void CheckAdminRightsTimer(void*);

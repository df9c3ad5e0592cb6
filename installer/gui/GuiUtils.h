// Dialog helpers through which every error, warning and question is shown, the directory
// chooser, and the wizard's look.
#pragma once

#include <FL/Fl_Widget.H>
#include <functional>
#include <optional>
#include <string>

// True when the program runs without a display (an unattended run where none could be
// opened): no window is ever shown, message boxes only log, and progress goes to the console.
extern bool g_headless;

// Opens the toolkit's connection to the display; false, with nothing opened, when there is
// none (no DISPLAY, or the server refuses).
bool OpenDisplay();

// GuiMessageBox flags: the low four bits are the kind, the next four the icon, and
// GuiMbFirstLabelFirst puts the first label on the dialog's first button.
enum GuiMessageBoxFlags {
    GuiMbOk = 0x1,
    GuiMbQuestion = 0x2,
    GuiMbIconError = 0x10,
    GuiMbIconInfo = 0x20,
    GuiMbIconWarning = 0x30,
    GuiMbFirstLabelFirst = 0x8000,
};

// Shows a message or asks a two-way question; the combinations are 0x8011 (error), 0x21
// (information) and 0x8032 / 0x32 (warning questions); any other fails the assertion "false".
// Returns 1 exactly when the button bearing `secondLabel` was chosen, else 0.
// In unattended mode an error ends the process with exit code 3, and a warning question with
// GuiMbFirstLabelFirst ends it with exit code 2; nothing is shown then. Headless, information is
// only logged and every question ends the process with exit code 2, since nobody can answer.
int GuiMessageBox(int flags, const char* message, const char* firstLabel = nullptr,
                  const char* secondLabel = nullptr);

// Runs a callback's body; any exception escaping it, of whatever type, is shown as an error
// (ending an unattended run with exit code 3). On failure `beforeShowing` runs first, so that
// its clean-up happens even when showing ends the process; its own failures are only logged.
// Returns false when the body failed.
bool RunShowingErrors(const std::function<void()>& body, const std::function<void()>& beforeShowing = {});

// Lets the user pick (or create) a directory, starting at "."; returns nothing on cancel.
// Modal: runs the event loop while the chooser is shown.
std::optional<std::string> ChooseDirectory(const char* title);

// Sets the background colour and restyles buttons, outputs, file inputs, text displays and
// progress bars of the widget tree under `root`, giving every label and text one font size;
// check buttons keep the toolkit's look.
void ApplyStyle(Fl_Widget* root);

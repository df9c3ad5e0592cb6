// Dialog helpers through which every error, warning and question is shown, the directory
// chooser, and the wizard's look.
#pragma once

#include <FL/Fl_Widget.H>
#include <optional>
#include <string>

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
// GuiMbFirstLabelFirst ends it with exit code 2; nothing is shown then.
int GuiMessageBox(int flags, const char* message, const char* firstLabel = nullptr,
                  const char* secondLabel = nullptr);

// Lets the user pick (or create) a directory, starting at "."; returns nothing on cancel.
// Modal: runs the event loop while the chooser is shown.
std::optional<std::string> ChooseDirectory(const char* title);

// Sets the background colour and restyles buttons, outputs, file inputs and progress bars of
// the widget tree under `root`; check buttons keep the toolkit's look.
void ApplyStyle(Fl_Widget* root);

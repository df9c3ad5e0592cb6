// What the confirmation page (page 3) and the installation page (page 4) do: START runs the
// download, repack and finalisation stages with their progress bars, Cancel interrupts the
// download stage, and the finishing buttons restore the old game configuration, create the
// desktop shortcut and close the installer.
//
// START runs the installation (RunInstallation); a failed one has removed the temporary files
// it left when the error is shown, and the page returns to page 3, so that START can be pressed
// again; an unattended run ends with exit code 3 only after that clean-up.
#pragma once

#include <FL/Fl_Widget.H>

// Back to page 2 when a custom version is wanted, else to page 1.
void ConfirmBackButtonCallback(Fl_Widget*, void*);
void StartButtonCallback(Fl_Widget*, void*);
// Sets the interrupt flag; the running download stage stops at its next progress update.
void CancelButtonCallback(Fl_Widget*, void*);
// Logs "Closing installer after successful install" and ends the process with exit code 0.
void CloseButtonCallback(Fl_Widget*, void*);
void RestoreConfigButtonCallback(Fl_Widget*, void*);
void ShortcutButtonCallback(Fl_Widget*, void*);

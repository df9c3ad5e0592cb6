// The finishing actions of the installation page: restoring the game's configuration that the
// finalisation moved aside, and the desktop shortcut to the game. They work on the working
// directory, the install directory.
#pragma once

#include <string>

// True when oldConfigFilename names a configuration the finalisation moved aside.
bool CanRestoreOldConfig(const std::string& oldConfigFilename);
// Moves the set-aside configuration back to "Quillmere.cfg" (replacing one there) and empties
// oldConfigFilename; asserts "CanRestoreOldConfig(oldConfigFilename)".
void RestoreOldConfig(std::string& oldConfigFilename);
// Creates the desktop shortcut "Quillmere" to the game executable; raises "Cannot find any QMH
// executable" when none is installed.
void CreateDesktopShortcut();
bool ShortcutExists();

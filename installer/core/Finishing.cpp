#include "Finishing.h"

#include "GameRules.h"
#include "OsUtils.h"
#include "base/Logging.h"
#include "base/Path.h"

using namespace ZipSync;

bool CanRestoreOldConfig(const std::string& oldConfigFilename) {
    return !oldConfigFilename.empty();
}

void RestoreOldConfig(std::string& oldConfigFilename) {
    ZipSyncAssert(CanRestoreOldConfig(oldConfigFilename));
    g_logger->infof("Restoring %s...", oldConfigFilename.c_str());
    if (IfFileExists(GAME_CONFIG)) {
        RemoveFile(GAME_CONFIG);
        g_logger->infof("Removed %s", GAME_CONFIG);
    }
    RenameFile(oldConfigFilename, GAME_CONFIG);
    oldConfigFilename.clear();
    g_logger->infof("Finished.");
    g_logger->infof("");
}

void CreateDesktopShortcut() {
    const char* target = nullptr;
    for (const char* name : SHORTCUT_TARGETS)
        if (!target && IfFileExists(name)) target = name;
    if (!target) g_logger->errorf(lcGeneral, "Cannot find any QMH executable");
    ShortcutInfo info;
    info.workingDirectory = GetCwd();
    info.executablePath = target;
    info.name = SHORTCUT_NAME;
    info.iconPath = "QMH_icon.ico";
    info.comment = "Quillmere: lanterns, fog and the quiet streets of the mere";
    CreateShortcut(info);
    g_logger->infof("");
}

bool ShortcutExists() {
    bool exists = IfShortcutExists(SHORTCUT_NAME);
    g_logger->infof("");
    return exists;
}

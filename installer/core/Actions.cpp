#include "Actions.h"

#include "Logging.h"

using namespace ZipSync;

namespace {
[[noreturn]] void NotYet(const char* name) {
    g_logger->errorf(lcGeneral, "%s is not implemented yet", name);
}
} // namespace

Downloader MakeInstallerDownloader(ProgressIndicator*) {
    NotYet("MakeInstallerDownloader");
}
std::string GetConfigUrl() {
    NotYet("GetConfigUrl");
}
std::string GetInstallerUrl() {
    NotYet("GetInstallerUrl");
}
std::vector<std::string> CheckSpaceAndPermissions(const std::string&) {
    NotYet("CheckSpaceAndPermissions");
}
std::vector<std::string> CheckSpaceAndPermissions(const std::string&, const AvailableSpaceFunction&) {
    NotYet("CheckSpaceAndPermissions");
}
void StartLogFile() {
    NotYet("StartLogFile");
}
bool NeedsSelfUpdate(ProgressIndicator*) {
    NotYet("NeedsSelfUpdate");
}
void DoSelfUpdate() {
    NotYet("DoSelfUpdate");
}
void ReadConfigFile(bool, ProgressIndicator*) {
    NotYet("ReadConfigFile");
}
void RestartWithInstallDir(const std::string&) {
    NotYet("RestartWithInstallDir");
}
std::vector<std::string> CollectOwnedZips(const std::string&) {
    NotYet("CollectOwnedZips");
}
void ReadLastInstallInfo() {
    NotYet("ReadLastInstallInfo");
}
bool NeedsRescan(const std::string&, const std::vector<std::string>&) {
    NotYet("NeedsRescan");
}
void ScanInstallDirIfNecessary(bool, ProgressIndicator*) {
    NotYet("ScanInstallDirIfNecessary");
}
UpdateStats EvaluateVersion(const std::string&, const std::string&, bool, ProgressIndicator*) {
    NotYet("EvaluateVersion");
}
void PerformInstallDownload(ProgressIndicator*, ProgressIndicator*) {
    NotYet("PerformInstallDownload");
}
void PerformInstallRepack(ProgressIndicator*) {
    NotYet("PerformInstallRepack");
}
void PerformInstallFinalize(ProgressIndicator*) {
    NotYet("PerformInstallFinalize");
}
bool CanRestoreOldConfig() {
    NotYet("CanRestoreOldConfig");
}
void RestoreOldConfig() {
    NotYet("RestoreOldConfig");
}
void CreateDesktopShortcut() {
    NotYet("CreateDesktopShortcut");
}
bool ShortcutExists() {
    NotYet("ShortcutExists");
}
std::vector<std::string> FindFilesByName(const std::string&, const std::vector<std::string>&) {
    NotYet("FindFilesByName");
}
std::vector<std::string> UnpackZip(UnzFileHolder&) {
    NotYet("UnpackZip");
}

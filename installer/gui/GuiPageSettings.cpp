#include "GuiPageSettings.h"

#include "GuiLayout.h"
#include "GuiPageVersion.h"
#include "GuiUtils.h"
#include "InstallerState.h"
#include "OsUtils.h"
#include "ProgressIndicatorGui.h"
#include "WizardView.h"
#include "base/Logging.h"

#include <filesystem>
#include <optional>
#include <system_error>

using namespace ZipSync;
namespace fs = std::filesystem;

AvailableSpaceFunction g_settingsAvailableSpace;
DownloadArguments g_downloadArguments;

namespace {

const Fl_Color kInvalidColor = 88;

// The path as the field should show it: '/' separators, ".." resolved where it names
// something. Empty when it cannot be resolved.
std::string NormalInstallPath(const std::string& text) {
    std::string path = text;
    if (path.size() > 1 && path.find("..") != std::string::npos) {
        std::error_code ec;
        fs::path canonical = fs::canonical(fs::absolute(fs::path(path), ec), ec);
        if (ec) return "";
        path = canonical.string();
    }
    return fs::path(path).generic_string();
}

bool IsValidInstallPath(const std::string& path) {
    return !path.empty() && path.find('.') == std::string::npos && fs::path(path).is_absolute();
}

} // namespace

void MainWindowCloseCallback(Fl_Widget*, void*) {
    if (g_busyCounter == 0) mainWindow->hide();
}

void InstallDirInputCallback(Fl_Widget*, void*) {
    static const Fl_Color originalColor = installDirInput->color();
    std::string text = installDirInput->value();
    std::string path = NormalInstallPath(text);
    if (!path.empty() && path != text) installDirInput->value(path.c_str());

    std::error_code ec;
    bool isDirectory = fs::is_directory(path, ec);
    bool isOtherFile = !isDirectory && fs::exists(path, ec);
    if (!IsValidInstallPath(path) || isOtherFile) {
        installDirInput->color(kInvalidColor);
        restartButton->deactivate();
    } else {
        installDirInput->color(originalColor);
        restartButton->activate();
    }
    installDirInput->redraw();

    if (path == GetCwd()) {
        restartButton->hide();
        settingsNextButton->activate();
        settingsNextButton->tooltip(nullptr);
    } else {
        if (isDirectory) {
            restartButton->label("Restart");
            settingsNextButton->tooltip("Please click 'Restart' button to proceed.");
        } else {
            restartButton->label("Create and Restart");
            settingsNextButton->tooltip("Please click 'Create and Restart' button to proceed.");
        }
        restartButton->show();
        settingsNextButton->deactivate();
    }
}

void BrowseButtonCallback(Fl_Widget*, void*) {
    std::optional<std::string> chosen = ChooseDirectory("Choose where to install Quillmere");
    if (!chosen) return;
    installDirInput->value(chosen->c_str());
    installDirInput->do_callback();
}

void RestartButtonCallback(Fl_Widget*, void*) {
    std::string dir = installDirInput->value();
    RunShowingErrors([&] {
        WizardView view;
        RunRestart(dir, g_settingsAvailableSpace, view);
    });
}

void SettingsResetButtonCallback(Fl_Widget*, void*) {
    g_state.Clear();
    installDirInput->value(GetCwd().c_str());
    installDirInput->do_callback();
    customVersionCheck->value(0);
    advancedCheck->value(0);
    advancedCheck->do_callback();
    customUrlInput->value("");
    versionTree->do_callback();
    for (Fl_Output* size : VersionSizeOutputs()) size->value("");
}

void AdvancedCheckCallback(Fl_Widget*, void*) {
    Fl_Check_Button* options[] = {skipSelfUpdateCheck, skipConfigDownloadCheck, forceScanCheck,
                                  bitwiseExactCheck,   noMultipartCheck,        disableTlsCheck};
    for (Fl_Check_Button* option : options) {
        if (advancedCheck->value()) {
            option->activate();
        } else {
            option->value(0);
            option->deactivate();
        }
    }
    if (advancedCheck->value()) {
        rateLimitLabel->activate();
        rateLimitInput->activate();
    } else {
        rateLimitInput->value(g_downloadArguments.rateLimit.c_str());
        rateLimitLabel->deactivate();
        rateLimitInput->deactivate();
    }
}

void SettingsNextButtonCallback(Fl_Widget*, void*) {
    bool passed = RunShowingErrors(
        [] {
            g_state.network.noMultipartByteranges = noMultipartCheck->value() != 0;
            g_state.network.disableTls = disableTlsCheck->value() != 0;
            g_state.network.rateLimit = ParseRateLimit(rateLimitInput->value());
            g_state.network.maxTransfers = g_downloadArguments.maxTransfers;
            StartupOptions options;
            options.selfUpdate = !skipSelfUpdateCheck->value();
            options.downloadConfig = !skipConfigDownloadCheck->value();
            options.forceScan = forceScanCheck->value() != 0;
            options.network = g_state.network;
            options.availableSpace = g_settingsAvailableSpace;
            WizardView view;
            std::optional<StartupResult> started = RunStartup(options, view);
            if (!started) return;
            g_state.config = std::move(started->config);
            g_state.scan = std::move(started->scan);

            FillVersionPage();
            g_state.evaluatedVersion.clear();
            versionTree->do_callback();
            wizard->value(pageVersion);
        },
        [] { scanProgress->hide(); });
    if (passed && wizard->value() == pageVersion && !customVersionCheck->value())
        versionNextButton->do_callback();
}

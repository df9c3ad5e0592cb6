// A whole installation through the wizard under Xvfb against the published test game, driven as a
// user would (set a field, run its callback): the install-directory checks, advanced options and
// Reset, version folders and custom URLs, a custom manifest missing data, sizes, Cancel during the
// download, START again, and a screenshot of each page kept in the build tree.
#include <gtest/gtest.h>

#include "GuiInit.h"
#include "GuiLayout.h"
#include "GuiPageVersion.h"
#include "InstallerState.h"
#include "InstallerWorld.h"
#include "OsUtils.h"
#include "ProgressIndicatorGui.h"
#include "ScopedEnv.h"
#include "TempDir.h"
#include "TemporaryFileNames.h"
#include "VirtualDisplay.h"

#include <FL/Fl_Box.H>
#include <FL/Fl_Tree_Item.H>
#include <filesystem>
#include <functional>
#include <string.h>

namespace fs = std::filesystem;

namespace {

// Answers every modal dialog (an error box, say) from a timer inside the dialog's own event
// loop, recording the texts it showed; so a failure can never leave the test waiting.
struct DialogAnswerer {
    std::vector<std::string> texts;

    DialogAnswerer() { Fl::add_timeout(0.05, Tick, this); }
    ~DialogAnswerer() { Fl::remove_timeout(Tick, this); }

    // The message is the longest label of the dialog's boxes (the icon is another one).
    static void Collect(Fl_Widget* w, std::string& text) {
        if (dynamic_cast<Fl_Box*>(w) && w->label() && strlen(w->label()) > text.size()) text = w->label();
        if (Fl_Group* g = w->as_group())
            for (int i = 0; i < g->children(); i++) Collect(g->child(i), text);
    }
    static void Tick(void* self) {
        DialogAnswerer* answerer = static_cast<DialogAnswerer*>(self);
        if (Fl_Window* modal = Fl::modal()) {
            std::string text;
            Collect(modal, text);
            answerer->texts.push_back(text);
            modal->hide();
        }
        Fl::repeat_timeout(0.05, Tick, self);
    }
};

// Presses Cancel once the download stage has reported progress. It runs as a check, after the
// event processing of every progress update, so it cannot miss the download however fast that is.
void CancelDuringDownload(void*) {
    const char* label = downloadProgress->label();
    if (cancelButton->active() && downloadProgress->visible() && label &&
        std::string(label).rfind("Downloading: ", 0) == 0)
        cancelButton->do_callback();
}

void Type(Fl_Input* input, const std::string& text) {
    input->value(text.c_str());
    input->do_callback();
}

void Select(const char* path) {
    versionTree->deselect_all(nullptr, 0);
    versionTree->select(path, 0);
    versionTree->do_callback();
}

// Screenshot of the window with the given page, kept as tests/screenshots/wizard_<name>.xwd;
// the page area must show more than a blank background.
void ExpectPageOnScreen(const std::string& name) {
    fs::create_directories(std::string(TESTS_BINARY_DIR) + "/tests/screenshots");
    std::string path = std::string(TESTS_BINARY_DIR) + "/tests/screenshots/wizard_" + name + ".xwd";
    size_t colours = 0;
    for (int attempt = 0; attempt < 20 && colours < 8; attempt++) {
        Fl::flush();
        for (int i = 0; i < 5; i++) Fl::wait(0.02);
        RgbImage shot;
        ASSERT_TRUE(VirtualDisplay::Shared().Screenshot(path));
        ASSERT_TRUE(ReadXwd(path, shot));
        colours = CountColours(shot, mainWindow->x() + 325, mainWindow->y(), 700, 550);
    }
    EXPECT_GE(colours, 8u) << "page " << name << " looks blank; see " << path;
}

} // namespace

TEST(Wizard, InstallsThroughThePagesWithCancelAndRetry) {
    const InstallerWorld& world = GetInstallerWorld();
    world.SetEnvironment();
    // A custom manifest is fetched both at its own "http://" URL and, as the target, over TLS;
    // the mirror's port serves both once TLS is disabled, so it stands in for the official
    // server here.
    std::string mirror = world.MirrorRoot();
    ScopedEnv server("QMH_UPDATE_SERVER", mirror.substr(0, mirror.size() - 1).c_str());
    TempDir dir("qmhwizard");
    ScopedEnv home("HOME", dir.path().c_str()); // the finishing page looks for a desktop shortcut
    fs::path saved = fs::current_path();
    fs::current_path(dir.path());
    VirtualDisplay::Shared();
    BuildMainWindow();
    InitMainWindow();
    mainWindow->show();
    for (int i = 0; i < 200 && !mainWindow->shown(); i++) Fl::wait(0.02);
    DialogAnswerer dialogs;

    // Page 1: only the working directory unlocks Next; "." anywhere, a relative path or a file
    // is red; another directory offers a restart there.
    WriteTestFile(dir / "file", "x");
    const char* restart = "Please click 'Restart' button to proceed.";
    const char* create = "Please click 'Create and Restart' button to proceed.";
    struct Case {
        std::string typed;
        bool red, restartShown, nextActive;
        const char* nextTooltip;
    } cases[] = {{dir / "file", true, true, false, create},
                 {dir / "game 2.1", true, true, false, create},
                 {"relative", true, true, false, create},
                 {"/", false, true, false, restart},
                 {dir / "new", false, true, false, create},
                 {dir / ("../" + fs::path(dir.path()).filename().string()), false, false, true, nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        Type(installDirInput, c.typed);
        EXPECT_EQ(installDirInput->color() == 88, c.red);
        EXPECT_EQ(restartButton->active() != 0, !c.red);
        EXPECT_EQ(restartButton->visible() != 0, c.restartShown);
        EXPECT_EQ(settingsNextButton->active() != 0, c.nextActive);
        EXPECT_STREQ(settingsNextButton->tooltip(), c.nextTooltip);
    }
    EXPECT_EQ(std::string(installDirInput->value()), dir.path()); // ".." resolved
    Fl_Check_Button* options[] = {skipSelfUpdateCheck, skipConfigDownloadCheck, forceScanCheck,
                                  bitwiseExactCheck,   noMultipartCheck,        disableTlsCheck};
    advancedCheck->value(1);
    advancedCheck->do_callback();
    for (Fl_Check_Button* option : options) {
        EXPECT_TRUE(option->active());
        option->value(1);
    }
    EXPECT_TRUE(rateLimitInput->active());
    Type(rateLimitInput, "fast");
    advancedCheck->value(0);
    advancedCheck->do_callback();
    for (Fl_Check_Button* option : options) EXPECT_FALSE(option->active() || option->value());
    EXPECT_FALSE(rateLimitInput->active());
    EXPECT_STREQ(rateLimitInput->value(), "");
    // A rate limit that is no number of bytes per second keeps page 1.
    advancedCheck->value(1);
    advancedCheck->do_callback();
    Type(rateLimitInput, "fast");
    settingsNextButton->do_callback();
    EXPECT_EQ(wizard->value(), pageSettings);
    ASSERT_FALSE(dialogs.texts.empty());
    EXPECT_EQ(dialogs.texts.back(),
              "ERROR: Rate limit \"fast\" is not a number of bytes per second such as 500k or 2M");
    advancedCheck->value(0);
    advancedCheck->do_callback();
    Type(installDirInput, "/");
    customVersionCheck->value(1);
    Type(customUrlInput, "x");
    g_state.evaluatedVersion = "x";
    settingsResetButton->do_callback();
    EXPECT_EQ(std::string(installDirInput->value()), dir.path());
    EXPECT_TRUE(settingsNextButton->active());
    EXPECT_FALSE(customVersionCheck->value() || customUrlInput->size() || g_state.evaluatedVersion.size());

    // A custom version is wanted, and the test binary must not replace itself by the published
    // installer.
    customVersionCheck->value(1);
    advancedCheck->value(1);
    advancedCheck->do_callback();
    skipSelfUpdateCheck->value(1);
    disableTlsCheck->value(1);
    Type(rateLimitInput, "50M");
    ExpectPageOnScreen("1_settings");
    settingsNextButton->do_callback();
    ASSERT_EQ(wizard->value(), pageVersion) << testing::PrintToString(dialogs.texts);

    // Page 2: the default version is selected; folders and URLs not starting with "http://"
    // lock Next and Refresh Info.
    ASSERT_NE(versionTree->first_selected_item(), nullptr);
    EXPECT_STREQ(versionTree->first_selected_item()->label(), "2.0");
    EXPECT_EQ(mirrorChoice->size(), 2 + 1); // "[auto]", "riverside" and the menu's end
    const std::string custom = mirror + "zipsync/2.1/manifest.iniz";
    struct Selection {
        const char* item;
        std::string url;
        bool nextActive, red;
    } selections[] = {{"Release", "", false, false},
                      {"Release/Old", custom, false, false},
                      {"Release/Old/1.0", "https://127.0.0.1/x.iniz", false, true},
                      {"Release/Old/1.0", "ftp://127.0.0.1/x.iniz", false, true},
                      {"Release/Old/1.0", custom, true, false}};
    for (const Selection& c : selections) {
        SCOPED_TRACE(std::string(c.item) + " " + c.url);
        Type(customUrlInput, c.url);
        Select(c.item);
        EXPECT_EQ(versionNextButton->active() != 0, c.nextActive);
        EXPECT_EQ(refreshInfoButton->active() != 0, c.nextActive);
        EXPECT_EQ(customUrlInput->color() == 88, c.red);
        EXPECT_EQ(customUrlHint->visible() != 0, !c.url.empty());
    }
    // The custom manifest on the wrong base misses data.
    refreshInfoButton->do_callback();
    for (Fl_Output* size : VersionSizeOutputs()) EXPECT_STREQ(size->value(), "MISS");
    versionNextButton->do_callback();
    EXPECT_EQ(wizard->value(), pageVersion);
    ASSERT_FALSE(dialogs.texts.empty());
    EXPECT_EQ(dialogs.texts.back(), "ERROR: Custom manifest URL cannot be used with base version 1.0.\n"
                                    "Make sure you select correct base version.");

    // The default version evaluates to sizes in whole megabytes.
    Type(customUrlInput, "");
    Select("Release/2.0");
    refreshInfoButton->do_callback();
    EXPECT_FALSE(refreshInfoButton->visible());
    EXPECT_STREQ(versionCurrentSize->value(), "0 MB");
    EXPECT_STREQ(versionDownloadSize->value(), "1 MB");
    ExpectPageOnScreen("2_version");
    versionNextButton->do_callback();
    ASSERT_EQ(wizard->value(), pageConfirm);
    EXPECT_STREQ(confirmVersion->value(), "2.0");
    EXPECT_STREQ(confirmInstallDir->value(), dir.path().c_str());
    EXPECT_STREQ(confirmDownloadSize->value(), "1 MB");
    ExpectPageOnScreen("3_confirm");

    // Page 4: Cancel during the download fails the installation, which cleans up and returns.
    size_t dialogsBefore = dialogs.texts.size();
    Fl::add_check(CancelDuringDownload);
    startButton->do_callback();
    Fl::remove_check(CancelDuringDownload);
    EXPECT_EQ(wizard->value(), pageConfirm);
    ASSERT_EQ(dialogs.texts.size(), dialogsBefore + 1);
    EXPECT_EQ(dialogs.texts.back(), "ERROR: Interrupted by user");
    EXPECT_EQ(TemporaryFileNames(dir.path()), std::vector<std::string>{});
    EXPECT_EQ(g_busyCounter, 0);

    // START again installs.
    startButton->do_callback();
    ASSERT_EQ(wizard->value(), pageInstall) << testing::PrintToString(dialogs.texts);
    EXPECT_EQ(dialogs.texts.size(), dialogsBefore + 1);
    EXPECT_TRUE(finishedText->visible());
    EXPECT_FALSE(installText->visible());
    EXPECT_TRUE(closeButton->active());
    EXPECT_FALSE(cancelButton->active());
    // Every bar says what it stood for.
    EXPECT_EQ(std::string(downloadProgress->label()).rfind("Download finished: ", 0), 0u)
        << downloadProgress->label();
    EXPECT_STREQ(verifyProgress->label(), "Verification finished");
    EXPECT_STREQ(repackProgress->label(), "Repacking finished");
    EXPECT_STREQ(finalizeProgress->label(), "Finalization finished");
    EXPECT_EQ(g_state.network.rateLimit, 50u << 20);
    // No game configuration was moved aside, and the fresh home has no shortcut yet.
    EXPECT_FALSE(restoreConfigButton->active());
    EXPECT_STREQ(shortcutButton->label(), "Create shortcut");
    EXPECT_EQ(RunShellCommand(std::string(TESTS_BIN_DIR) + "/zipsync -q verify '" + dir.path() + "' '" +
                              world.FullManifestPath("2.0") + "'"),
              0);
    EXPECT_EQ(TemporaryFileNames(dir.path()), std::vector<std::string>{});
    ExpectPageOnScreen("4_install");

    // The window closes only while no action runs.
    g_busyCounter++;
    mainWindow->do_callback();
    EXPECT_TRUE(mainWindow->shown());
    g_busyCounter--;
    mainWindow->do_callback();
    EXPECT_FALSE(mainWindow->shown());
    fs::current_path(saved);
}

TEST(Wizard, SizesInMegabytesRoundedUp) {
    EXPECT_EQ(FormatSize(0), "0 MB");
    EXPECT_EQ(FormatSize(1), "1 MB");
    EXPECT_EQ(FormatSize(1000000), "1 MB");
    EXPECT_EQ(FormatSize(1000001), "2 MB");
}

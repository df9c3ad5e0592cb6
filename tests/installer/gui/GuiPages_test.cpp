// The settings and version pages driven as a user would (set a field, run its callback) on the
// initialised wizard under Xvfb: install-directory checks, advanced options, Reset, the version
// tree with folders, custom URL checks, sizes and the mirror choice.
#include <gtest/gtest.h>

#include "GuiInit.h"
#include "GuiLayout.h"
#include "GuiPageVersion.h"
#include "Ini.h"
#include "InstallerState.h"
#include "OsUtils.h"
#include "Path.h"
#include "TempDir.h"
#include "VirtualDisplay.h"

#include <FL/Fl_Tree_Item.H>

namespace {

const Fl_Color kRed = 88;

class WizardPages : public testing::Test {
protected:
    static void SetUpTestSuite() {
        VirtualDisplay::Shared();
        BuildMainWindow();
        InitMainWindow();
        mainWindow->show();
        for (int i = 0; i < 200 && !mainWindow->shown(); i++) Fl::wait(0.02);
    }
    void SetUp() override {
        settingsResetButton->do_callback();
        wizard->value(pageSettings);
    }

    static void TypeInstallDir(const std::string& text) {
        installDirInput->value(text.c_str());
        installDirInput->do_callback();
    }
    static void TypeCustomUrl(const std::string& text) {
        customUrlInput->value(text.c_str());
        customUrlInput->do_callback();
    }
    static void Select(const char* path) {
        versionTree->deselect_all(nullptr, 0);
        versionTree->select(path, 0);
        versionTree->do_callback();
    }
    // Loads a configuration with two folders, three versions and three mirrors (one hidden), and
    // fills the version page from it as Next on page 1 does.
    static void FillFromConfig() {
        std::string trusted = GetTrustedUrlPrefix();
        g_state.config.InitFromIni(
            ZipSync::ParseIniText("[Mirror b&w/main]\nurl=" + trusted +
                                  "\nweight=1\n"
                                  "[Mirror alpha]\nurl=http://alpha.example/\nweight=1\n"
                                  "[Mirror zed]\nurl=http://zed.example/\nweight=1\nhidden=1\n"
                                  "[Version 2.10]\nfolder=Release/Old\nmanifestUrl=" +
                                  trusted +
                                  "v210.iniz\n"
                                  "[Version 2.11]\nfolder=Release\nmanifestUrl=" +
                                  trusted +
                                  "v211.iniz\ndefault=1\n"
                                  "[Version dev]\nfolder=Beta\nmanifestUrl=" +
                                  trusted + "dev.iniz\n"));
        FillVersionPage();
        g_state.evaluatedVersion.clear();
        versionTree->do_callback();
        wizard->value(pageVersion);
    }
};

} // namespace

TEST_F(WizardPages, InstallDirectoryIsCheckedAsTyped) {
    TempDir other("qmhpages");
    WriteTestFile(other / "file", "x");
    const std::string cwd = GetCwd();
    struct Case {
        std::string typed, shown;
        bool red, restartShown, restartActive, nextActive;
        const char* restartLabel;
        const char* nextTooltip;
    } cases[] = {
        {cwd, cwd, false, false, true, true, nullptr, nullptr},
        {other.path(), other.path(), false, true, true, false, "Restart",
         "Please click 'Restart' button to proceed."},
        {other / "new/dir", other / "new/dir", false, true, true, false, "Create and Restart",
         "Please click 'Create and Restart' button to proceed."},
        // A version number in a folder name: "." is not allowed anywhere.
        {other / "game 2.12", other / "game 2.12", true, true, false, false, "Create and Restart", nullptr},
        {other / "file", other / "file", true, true, false, false, "Create and Restart", nullptr},
        {"relative/dir", "relative/dir", true, true, false, false, "Create and Restart", nullptr},
        // ".." is resolved where it can be, which gives back the working directory here.
        {cwd + "/../" + ZipSync::GetFilename(cwd), cwd, false, false, true, true, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        TypeInstallDir(c.typed);
        EXPECT_EQ(installDirInput->value(), c.shown);
        EXPECT_EQ(installDirInput->color() == kRed, c.red);
        EXPECT_EQ(restartButton->visible() != 0, c.restartShown);
        EXPECT_EQ(restartButton->active() != 0, c.restartActive);
        EXPECT_EQ(settingsNextButton->active() != 0, c.nextActive);
        if (c.restartLabel) EXPECT_STREQ(restartButton->label(), c.restartLabel);
        if (c.nextTooltip || c.nextActive) EXPECT_STREQ(settingsNextButton->tooltip(), c.nextTooltip);
    }
}

TEST_F(WizardPages, AdvancedSettingsUnlockAndClearTheSixOptions) {
    Fl_Check_Button* options[] = {skipSelfUpdateCheck, skipConfigDownloadCheck, forceScanCheck,
                                  bitwiseExactCheck,   noMultipartCheck,        disableTlsCheck};
    for (Fl_Check_Button* option : options) EXPECT_FALSE(option->active());
    advancedCheck->value(1);
    advancedCheck->do_callback();
    for (Fl_Check_Button* option : options) {
        EXPECT_TRUE(option->active());
        option->value(1);
    }
    advancedCheck->value(0);
    advancedCheck->do_callback();
    for (Fl_Check_Button* option : options) {
        EXPECT_FALSE(option->active()) << option->label();
        EXPECT_EQ(option->value(), 0) << option->label();
    }
}

TEST_F(WizardPages, ResetRestoresDefaults) {
    TempDir other("qmhpages");
    TypeInstallDir(other.path());
    customVersionCheck->value(1);
    advancedCheck->value(1);
    advancedCheck->do_callback();
    bitwiseExactCheck->value(1);
    FillFromConfig();
    TypeCustomUrl("ftp://x");
    for (Fl_Output* size : VersionSizeOutputs()) size->value("7 MB");
    g_state.evaluatedVersion = "2.11";
    g_state.preferredMirror = "alpha";

    settingsResetButton->do_callback();
    EXPECT_EQ(installDirInput->value(), GetCwd());
    EXPECT_FALSE(restartButton->visible());
    EXPECT_TRUE(settingsNextButton->active());
    EXPECT_EQ(customVersionCheck->value(), 0);
    EXPECT_EQ(advancedCheck->value(), 0);
    EXPECT_EQ(bitwiseExactCheck->value(), 0);
    EXPECT_FALSE(bitwiseExactCheck->active());
    EXPECT_STREQ(customUrlInput->value(), "");
    EXPECT_NE(customUrlInput->color(), kRed);
    EXPECT_FALSE(customUrlHint->visible());
    for (Fl_Output* size : VersionSizeOutputs()) EXPECT_STREQ(size->value(), "");
    EXPECT_EQ(g_state.evaluatedVersion, "");
    EXPECT_EQ(g_state.preferredMirror, "");
    EXPECT_TRUE(g_state.config.GetVersions().empty());
}

TEST_F(WizardPages, VersionTreeFoldersAndCustomUrlsLockNext) {
    FillFromConfig();
    // The default version is selected, under its folder.
    Fl_Tree_Item* selected = versionTree->first_selected_item();
    ASSERT_NE(selected, nullptr);
    EXPECT_STREQ(selected->label(), "2.11");
    EXPECT_NE(versionTree->find_item("Release/Old/2.10"), nullptr);
    EXPECT_NE(versionTree->find_item("Beta/dev"), nullptr);

    struct Case {
        const char* selection;
        const char* url;
        bool nextActive, red, hint;
    } cases[] = {
        {"Release/2.11", "", true, false, false},
        {"Release", "", false, false, false},
        {"Release/Old", "", false, false, false},
        {"Beta/dev", "http://elsewhere.example/custom.iniz", true, false, true},
        {"Beta/dev", "https://elsewhere.example/custom.iniz", false, true, true},
        {"Beta/dev", "ftp://elsewhere.example/custom.iniz", false, true, true},
        {"Release", "http://elsewhere.example/custom.iniz", false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.selection) + " " + c.url);
        TypeCustomUrl(c.url);
        Select(c.selection);
        EXPECT_EQ(versionNextButton->active() != 0, c.nextActive);
        EXPECT_EQ(refreshInfoButton->active() != 0, c.nextActive);
        EXPECT_TRUE(refreshInfoButton->visible());
        EXPECT_EQ(customUrlInput->color() == kRed, c.red);
        EXPECT_EQ(customUrlHint->visible() != 0, c.hint);
        for (Fl_Output* size : VersionSizeOutputs()) EXPECT_FALSE(size->active());
    }

    // An evaluated selection shows its sizes and hides Refresh Info; its key carries the URL.
    g_state.evaluatedVersion = "dev & http://elsewhere.example/custom.iniz";
    TypeCustomUrl("http://elsewhere.example/custom.iniz");
    Select("Beta/dev");
    EXPECT_FALSE(refreshInfoButton->visible());
    for (Fl_Output* size : VersionSizeOutputs()) EXPECT_TRUE(size->active());
    TypeCustomUrl("");
    EXPECT_TRUE(refreshInfoButton->visible());
}

TEST_F(WizardPages, MirrorChoiceListsVisibleMirrorsAndSetsThePreference) {
    FillFromConfig();
    ASSERT_EQ(mirrorChoice->size(), 3 + 1); // the menu's terminator counts
    EXPECT_STREQ(mirrorChoice->text(0), "[auto]");
    EXPECT_STREQ(mirrorChoice->text(1), "alpha");
    EXPECT_STREQ(mirrorChoice->text(2), "b&w/main");
    EXPECT_EQ(mirrorChoice->value(), 0);
    mirrorChoice->value(2);
    mirrorChoice->do_callback();
    EXPECT_EQ(g_state.preferredMirror, "b&w/main");
    mirrorChoice->value(0);
    mirrorChoice->do_callback();
    EXPECT_EQ(g_state.preferredMirror, "");
}

TEST(FormatSize, MegabytesRoundedUp) {
    struct Case {
        uint64_t bytes;
        const char* shown;
    } cases[] = {{0, "0 MB"}, {1, "1 MB"}, {1000000, "1 MB"}, {1000001, "2 MB"}, {5000000000ULL, "5000 MB"}};
    for (const Case& c : cases) EXPECT_EQ(FormatSize(c.bytes), c.shown) << c.bytes;
}

// The wizard window and the help window as built and initialised at start-up, checked on
// a real X server (Xvfb): layout, texts, initial state, style, every page's labels and texts
// shown whole, and screenshots.
// gtest first: the toolkit headers bring X11 macros such as None.
#include <gtest/gtest.h>

#include "GuiInit.h"
#include "GuiLayout.h"
#include "TempDir.h"
#include "VirtualDisplay.h"

#include <FL/Fl_Image.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/fl_draw.H>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>
#include <string.h>

namespace fs = std::filesystem;

namespace {

struct WidgetSpec {
    const char* name;
    std::function<Fl_Widget*()> widget;
    const char* kind;
    int x, y, w, h;
    const char* label;
    const char* tooltip;
};

const WidgetSpec kWidgets[] = {
    {"settingsText", [] { return (Fl_Widget*)settingsText; }, "Text", 340, 35, 660, 70, nullptr, nullptr},
    {"installDirInput", [] { return (Fl_Widget*)installDirInput; }, "Input", 445, 125, 485, 20,
     "Install directory: ",
     "This is where the game will be installed. Do not install to Program Files! Choose some directory where "
     "you can write, like: C:/Games/Quillmere. Path must be absolute, period character is not allowed."},
    {"browseButton", [] { return (Fl_Widget*)browseButton; }, "Button", 940, 125, 60, 20, "Browse", nullptr},
    {"restartButton", [] { return (Fl_Widget*)restartButton; }, "Button", 590, 155, 150, 30,
     "Create_and_Restart", "Restart is required to proceed."},
    {"advancedFrame", [] { return (Fl_Widget*)advancedFrame; }, "Box", 395, 311, 505, 119, nullptr, nullptr},
    {"customVersionCheck", [] { return (Fl_Widget*)customVersionCheck; }, "Check", 395, 245, 200, 20,
     "Get custom version",
     "Click this checkbox if you want to install custom version of QMH. Otherwise, the most recent official "
     "release will be installed."},
    {"advancedCheck", [] { return (Fl_Widget*)advancedCheck; }, "Check", 395, 283, 205, 20,
     "Advanced settings", "Unlock settings shown below. Using them is not recommended."},
    {"skipSelfUpdateCheck", [] { return (Fl_Widget*)skipSelfUpdateCheck; }, "Check", 415, 323, 225, 20,
     "Skip installer self-update", "Do not download the new version of this installer."},
    {"skipConfigDownloadCheck", [] { return (Fl_Widget*)skipConfigDownloadCheck; }, "Check", 415, 348, 225,
     20, "Skip config file download",
     "Do not download up-to-date configuration file. Use information from qmh_installer.ini in the install "
     "directory instead."},
    {"forceScanCheck", [] { return (Fl_Widget*)forceScanCheck; }, "Check", 415, 373, 220, 20, "Force scan",
     "Be sure to reanalyze all pk4 and zip files in the install directory before proceeding. This can be "
     "useful if local version is suspected to be corrupted."},
    {"bitwiseExactCheck", [] { return (Fl_Widget*)bitwiseExactCheck; }, "Check", 695, 323, 175, 20,
     "Bitwise exact zips",
     "Make zip files bitwise the same as on the server, possibly at the cost of more download."},
    {"noMultipartCheck", [] { return (Fl_Widget*)noMultipartCheck; }, "Check", 695, 348, 175, 20,
     "No multipart byteranges",
     "Never use multipart byterange HTTP requests, use only single-range requests. This makes downloads "
     "slower, but can help in case of network issues."},
    {"disableTlsCheck", [] { return (Fl_Widget*)disableTlsCheck; }, "Check", 695, 373, 175, 20, "Disable TLS",
     "Use unencrypted HTTP instead of HTTPS, which means you can get malicious data if the network is "
     "compromised."},
    {"rateLimitLabel", [] { return (Fl_Widget*)rateLimitLabel; }, "Box", 695, 398, 135, 20,
     "Rate limit (bytes/s):", nullptr},
    {"rateLimitInput", [] { return (Fl_Widget*)rateLimitInput; }, "Input", 830, 398, 65, 20, nullptr,
     "Download at most this many bytes per second, all connections together, for example 500k or 2M (k, M "
     "and G stand for KiB, MiB and GiB). Empty: no limit."},
    {"scanProgress", [] { return (Fl_Widget*)scanProgress; }, "Progress", 335, 480, 680, 20, "scanning...",
     nullptr},
    {"settingsNextButton", [] { return (Fl_Widget*)settingsNextButton; }, "Button", 935, 510, 80, 30, "Next",
     nullptr},
    {"settingsResetButton", [] { return (Fl_Widget*)settingsResetButton; }, "Button", 335, 510, 80, 30,
     "Reset", "Reset all settings on this page to defaults."},
    {"lastInstalledOutput", [] { return (Fl_Widget*)lastInstalledOutput; }, "Output", 575, 10, 425, 20,
     "Version installed during last update: ",
     "This version was installed in this directory the last time. It does not affect the installation "
     "procedure in any way, and is displayed only for information."},
    {"versionTree", [] { return (Fl_Widget*)versionTree; }, "Tree", 345, 40, 555, 390, nullptr, nullptr},
    {"customUrlInput", [] { return (Fl_Widget*)customUrlInput; }, "Input", 490, 450, 510, 20,
     "Custom manifest URL:",
     "Do not enter anything here unless you know what you are doing! This is only used to share quick test "
     "patches and unofficial versions."},
    {"customUrlHint", [] { return (Fl_Widget*)customUrlHint; }, "Box", 360, 432, 600, 16,
     "In the GUI tree above, select the base version from which the custom one was branched.", nullptr},
    {"versionCurrentSize", [] { return (Fl_Widget*)versionCurrentSize; }, "Output", 920, 60, 80, 20,
     "Current Size:", nullptr},
    {"versionFinalSize", [] { return (Fl_Widget*)versionFinalSize; }, "Output", 920, 110, 80, 20,
     "Final Size:", nullptr},
    {"versionAddedSize", [] { return (Fl_Widget*)versionAddedSize; }, "Output", 920, 160, 80, 20,
     "Added Size:", nullptr},
    {"versionRemovedSize", [] { return (Fl_Widget*)versionRemovedSize; }, "Output", 920, 210, 80, 20,
     "Removed Size:", nullptr},
    {"versionDownloadSize", [] { return (Fl_Widget*)versionDownloadSize; }, "Output", 920, 260, 80, 20,
     "Download Size:", nullptr},
    {"refreshInfoButton", [] { return (Fl_Widget*)refreshInfoButton; }, "Button", 910, 300, 100, 30,
     "Refresh Info",
     "Click to update the numbers shown above. It can trigger downloading a bit of data, but it will be "
     "downloaded sooner or later anyway."},
    {"evaluateProgress", [] { return (Fl_Widget*)evaluateProgress; }, "Progress", 335, 480, 680, 20,
     "downloading...", nullptr},
    {"versionNextButton", [] { return (Fl_Widget*)versionNextButton; }, "Button", 935, 510, 80, 30, "Next",
     "To unlock it, select one version of the game to install."},
    {"versionBackButton", [] { return (Fl_Widget*)versionBackButton; }, "Button", 335, 510, 80, 30, "Back",
     nullptr},
    {"mirrorChoice", [] { return (Fl_Widget*)mirrorChoice; }, "Choice", 920, 380, 80, 20, "Prefer Mirror:",
     "If you select a mirror here, then it will be used for all downloads. If you don't, then mirrors will "
     "be chosen randomly for better distribution of traffic among mirror hosters."},
    {"confirmText", [] { return (Fl_Widget*)confirmText; }, "Text", 340, 35, 660, 55, nullptr, nullptr},
    {"confirmInstallDir", [] { return (Fl_Widget*)confirmInstallDir; }, "Output", 450, 115, 550, 20,
     "Install directory:  ", nullptr},
    {"confirmLastInstalled", [] { return (Fl_Widget*)confirmLastInstalled; }, "Output", 575, 150, 425, 20,
     "Version installed during last update:  ", nullptr},
    {"confirmVersion", [] { return (Fl_Widget*)confirmVersion; }, "Output", 575, 185, 425, 20,
     "Version to be installed:  ", nullptr},
    {"confirmCurrentSize", [] { return (Fl_Widget*)confirmCurrentSize; }, "Output", 575, 245, 105, 20,
     "Current Size:", "The full size of currently installed QMH files."},
    {"confirmFinalSize", [] { return (Fl_Widget*)confirmFinalSize; }, "Output", 575, 280, 105, 20,
     "Final Size:", "The full size of the version being installed."},
    {"confirmAddedSize", [] { return (Fl_Widget*)confirmAddedSize; }, "Output", 575, 315, 105, 20,
     "Added Size:", "How much data will be added to the installation."},
    {"confirmRemovedSize", [] { return (Fl_Widget*)confirmRemovedSize; }, "Output", 575, 350, 105, 20,
     "Removed Size:", "How much existing data will be removed from installation."},
    {"confirmDownloadSize", [] { return (Fl_Widget*)confirmDownloadSize; }, "Output", 575, 385, 105, 20,
     "Download Size:", "The installer will download approximately this amount of data."},
    {"startButton", [] { return (Fl_Widget*)startButton; }, "Button", 935, 510, 80, 30, "START",
     "Note: there is no turning back!"},
    {"confirmBackButton", [] { return (Fl_Widget*)confirmBackButton; }, "Button", 335, 510, 80, 30, "Back",
     nullptr},
    {"installText", [] { return (Fl_Widget*)installText; }, "Text", 340, 35, 660, 60, nullptr, nullptr},
    {"downloadProgress", [] { return (Fl_Widget*)downloadProgress; }, "Progress", 335, 105, 680, 20,
     "Downloading...", nullptr},
    {"remainingLabel", [] { return (Fl_Widget*)remainingLabel; }, "Box", 465, 124, 405, 16,
     "Remaining ~ ?:??:??", nullptr},
    {"verifyProgress", [] { return (Fl_Widget*)verifyProgress; }, "Progress", 335, 155, 680, 20,
     "Verifying...", nullptr},
    {"repackProgress", [] { return (Fl_Widget*)repackProgress; }, "Progress", 335, 205, 680, 20,
     "Repacking...", nullptr},
    {"finalizeProgress", [] { return (Fl_Widget*)finalizeProgress; }, "Progress", 335, 255, 680, 20,
     "Finalizing...", nullptr},
    {"finishedText", [] { return (Fl_Widget*)finishedText; }, "Text", 340, 35, 660, 55, nullptr, nullptr},
    {"closeButton", [] { return (Fl_Widget*)closeButton; }, "Button", 935, 510, 80, 30, "Close", nullptr},
    {"cancelButton", [] { return (Fl_Widget*)cancelButton; }, "Button", 335, 510, 80, 30, "Cancel",
     "WARNING: This will stop the installation! All progress will be lost."},
    {"restoreConfigButton", [] { return (Fl_Widget*)restoreConfigButton; }, "Button", 380, 390, 190, 30,
     "Restore old quillmere.cfg",
     "NOT RECOMMENDED! File quillmere.cfg contains most of user settings, like antialiasing level, play "
     "music in menu, etc. Installer has deleted this config file because it can conflict with the new "
     "version of the game. Click this button to restore deleted config file."},
    {"additionalText", [] { return (Fl_Widget*)additionalText; }, "Text", 340, 345, 660, 35, nullptr,
     nullptr},
    {"shortcutButton", [] { return (Fl_Widget*)shortcutButton; }, "Button", 790, 390, 145, 30,
     "Create shortcut", "Creates desktop shortcut for QMH executable (for the current user)."},
};

bool IsKind(Fl_Widget* w, const std::string& kind) {
    if (kind == "Text")
        return dynamic_cast<Fl_Text_Display*>(w) && static_cast<Fl_Text_Display*>(w)->buffer();
    if (kind == "Input") return dynamic_cast<Fl_Input*>(w) && !dynamic_cast<Fl_Output*>(w);
    if (kind == "Output") return dynamic_cast<Fl_Output*>(w) != nullptr;
    if (kind == "Check") return dynamic_cast<Fl_Check_Button*>(w) != nullptr;
    if (kind == "Button") return dynamic_cast<Fl_Button*>(w) && !dynamic_cast<Fl_Check_Button*>(w);
    if (kind == "Box") return dynamic_cast<Fl_Box*>(w) != nullptr;
    if (kind == "Progress") return dynamic_cast<Fl_Progress*>(w) != nullptr;
    if (kind == "Tree") return dynamic_cast<Fl_Tree*>(w) != nullptr;
    if (kind == "Choice") return dynamic_cast<Fl_Choice*>(w) != nullptr;
    return false;
}

std::string Text(Fl_Text_Display* display) {
    char* text = display->buffer()->text();
    std::string result = text;
    free(text);
    return result;
}

// Builds, initialises and shows the main window once for the whole binary, as the entry
// point does, and waits until it is on screen.
class MainWindowTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        VirtualDisplay::Shared();
        BuildMainWindow();
        InitMainWindow();
        mainWindow->show();
        for (int i = 0; i < 200 && !mainWindow->shown(); i++) Fl::wait(0.02);
        Fl::flush();
        ASSERT_TRUE(VirtualDisplay::Shared().WaitForWindow("Quillmere installer v", 30));
        for (int i = 0; i < 10; i++) Fl::wait(0.02);
    }
};

} // namespace

TEST_F(MainWindowTest, EveryWidgetHasItsKindGeometryLabelAndTooltip) {
    for (const WidgetSpec& s : kWidgets) {
        SCOPED_TRACE(s.name);
        Fl_Widget* w = s.widget();
        ASSERT_NE(w, nullptr);
        EXPECT_TRUE(IsKind(w, s.kind)) << s.kind;
        EXPECT_EQ(w->x(), s.x);
        EXPECT_EQ(w->y(), s.y);
        EXPECT_EQ(w->w(), s.w);
        EXPECT_EQ(w->h(), s.h);
        // Button labels on page 4 change later; this checks the state at start-up.
        EXPECT_STREQ(w->label() ? w->label() : nullptr, s.label);
        EXPECT_STREQ(w->tooltip(), s.tooltip);
        EXPECT_EQ(w->window(), mainWindow);
    }
    EXPECT_EQ(advancedFrame->box(), FL_ENGRAVED_FRAME);
    EXPECT_EQ(mirrorChoice->align() & (FL_ALIGN_TOP | FL_ALIGN_BOTTOM | FL_ALIGN_INSIDE), FL_ALIGN_TOP);
}

TEST_F(MainWindowTest, WindowPanelAndPagesHaveTheirPlaces) {
    EXPECT_EQ(mainWindow->w(), 1025);
    EXPECT_EQ(mainWindow->h(), 550);
    EXPECT_NE(dynamic_cast<Fl_Double_Window*>(mainWindow), nullptr);
    EXPECT_EQ(leftPanel->x(), 0);
    EXPECT_EQ(leftPanel->w(), 325);
    EXPECT_EQ(leftPanel->h(), 550);
    EXPECT_EQ(wizard->x(), 325);
    EXPECT_EQ(wizard->w(), 720);
    struct Page {
        Fl_Group* page;
        const char* label;
        int width;
        Fl_Widget* member;
    } pages[] = {{pageSettings, "Page 1: Settings", 720, settingsNextButton},
                 {pageVersion, "Page 2: Choose Version", 700, versionTree},
                 {pageConfirm, "Page 3: Confirmation", 700, startButton},
                 {pageInstall, "Page 4: Installing", 700, closeButton}};
    ASSERT_EQ(wizard->children(), 4);
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(pages[i].label);
        EXPECT_EQ(wizard->child(i), pages[i].page);
        EXPECT_STREQ(pages[i].page->label(), pages[i].label);
        EXPECT_EQ(pages[i].page->x(), 325);
        EXPECT_EQ(pages[i].page->y(), 0);
        EXPECT_EQ(pages[i].page->w(), pages[i].width);
        EXPECT_EQ(pages[i].page->h(), 550);
        EXPECT_EQ(pages[i].member->parent(), pages[i].page);
    }
}

TEST_F(MainWindowTest, TitleCarriesVersionAndBuildDateAndWindowIsCentred) {
    std::string title = mainWindow->label();
    EXPECT_TRUE(std::regex_match(
        title, std::regex(R"(Quillmere installer v1\.16 \(built on [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4}\))")))
        << title;
    EXPECT_EQ(title, std::string("Quillmere installer v1.16 (built on ") + __DATE__ + ")");
    EXPECT_EQ(mainWindow->x(), (Fl::w() - 1025) / 2);
    EXPECT_EQ(mainWindow->y(), (Fl::h() - 550) / 2);
    EXPECT_EQ(Fl::w(), 1280); // the virtual screen, so centring is not trivially 0
}

TEST_F(MainWindowTest, OnlyPageOneIsVisibleWithStartUpTexts) {
    EXPECT_EQ(wizard->value(), pageSettings);
    EXPECT_TRUE(pageSettings->visible());
    for (Fl_Group* page : {pageVersion, pageConfirm, pageInstall})
        EXPECT_FALSE(page->visible()) << page->label();
    EXPECT_TRUE(pageSettings->visible_r());

    for (Fl_Widget* hidden :
         {(Fl_Widget*)restartButton, (Fl_Widget*)scanProgress, (Fl_Widget*)customUrlHint,
          (Fl_Widget*)evaluateProgress, (Fl_Widget*)finishedText, (Fl_Widget*)downloadProgress,
          (Fl_Widget*)remainingLabel, (Fl_Widget*)repackProgress, (Fl_Widget*)finalizeProgress,
          (Fl_Widget*)additionalText})
        EXPECT_FALSE(hidden->visible()) << (hidden->label() ? hidden->label() : "text");
    for (Fl_Widget* shown :
         {(Fl_Widget*)settingsNextButton, (Fl_Widget*)installDirInput, (Fl_Widget*)browseButton,
          (Fl_Widget*)verifyProgress, (Fl_Widget*)installText, (Fl_Widget*)refreshInfoButton})
        EXPECT_TRUE(shown->visible()) << (shown->label() ? shown->label() : "text");

    EXPECT_EQ(
        Text(settingsText),
        "This application will install Quillmere, or update existing installation \nto the most recent "
        "version "
        "available. An active internet connection will be required. \nReview the settings below, then click "
        "Next to start. ");
    EXPECT_EQ(Text(confirmText),
              "Quillmere is ready to install or update. \nCheck the information below and click START. \n");
    EXPECT_EQ(Text(installText), "Quillmere is being installed right now. \nPlease wait... \n");
    EXPECT_EQ(Text(finishedText), "Installation finished successfully! \nClick Close to exit. \n");
    EXPECT_EQ(Text(additionalText), "Additional actions:\n");
}

TEST_F(MainWindowTest, StyleAndLeftPanelImage) {
    unsigned char r, g, b;
    Fl::get_color(FL_BACKGROUND_COLOR, r, g, b);
    EXPECT_EQ(r, 240);
    EXPECT_EQ(g, 240);
    EXPECT_EQ(b, 240);
    for (const WidgetSpec& s : kWidgets) {
        Fl_Widget* w = s.widget();
        SCOPED_TRACE(s.name);
        if (std::string(s.kind) == "Button") {
            EXPECT_EQ(w->box(), FL_BORDER_BOX);
            EXPECT_EQ(w->color(), fl_rgb_color(225, 225, 225));
            EXPECT_EQ(w->selection_color(), fl_rgb_color(204, 228, 247));
        } else if (std::string(s.kind) == "Check") {
            EXPECT_EQ(w->box(), FL_NO_BOX);
            EXPECT_EQ(static_cast<Fl_Button*>(w)->down_box(), FL_DOWN_BOX);
        } else if (std::string(s.kind) == "Output") {
            EXPECT_EQ(w->box(), FL_BORDER_BOX);
            EXPECT_EQ(w->color(), FL_BACKGROUND_COLOR);
        } else if (std::string(s.kind) == "Progress") {
            EXPECT_EQ(w->selection_color(), fl_rgb_color(0, 255, 0));
        }
    }
    Fl_Image* image = leftPanel->image();
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->w(), 325);
    EXPECT_EQ(image->h(), 550);
    EXPECT_EQ(image->d(), 3);
}

TEST_F(MainWindowTest, ScreenshotShowsPanelAndStyledPage) {
    fs::create_directories(std::string(TESTS_BINARY_DIR) + "/tests/screenshots");
    std::string path = std::string(TESTS_BINARY_DIR) + "/tests/screenshots/main_window.xwd";
    RgbImage shot;
    int x0 = mainWindow->x(), y0 = mainWindow->y();
    // Drawing reaches the server asynchronously; retry a few times until the panel is there.
    size_t panelColours = 0;
    for (int attempt = 0; attempt < 20 && panelColours < 500; attempt++) {
        Fl::flush();
        for (int i = 0; i < 5; i++) Fl::wait(0.02);
        ASSERT_TRUE(VirtualDisplay::Shared().Screenshot(path));
        ASSERT_TRUE(ReadXwd(path, shot));
        panelColours = CountColours(shot, x0, y0, 325, 550);
    }
    EXPECT_GE(panelColours, 500u) << "left panel image not on screen; see " << path;
    // The page background, and a restyled button face (inside "Next", away from its label).
    EXPECT_EQ(shot.at(x0 + 1010, y0 + 300), 0xF0F0F0u);
    EXPECT_EQ(shot.at(x0 + 935 + 5, y0 + 510 + 5), 0xE1E1E1u);
    EXPECT_GE(CountColours(shot, x0 + 325, y0, 700, 550), 3u);
    // Outside the window the virtual screen stays black.
    EXPECT_EQ(shot.at(5, 5), 0u);
}

namespace {

struct Box {
    int x, y, w, h;
    bool Inside(const Box& o) const {
        return x >= o.x && y >= o.y && x + w <= o.x + o.w && y + h <= o.y + o.h;
    }
    bool Overlaps(const Box& o) const { return x < o.x + o.w && o.x < x + w && y < o.y + o.h && o.y < y + h; }
};

Box BoxOf(const Fl_Widget* w) {
    return {w->x(), w->y(), w->w(), w->h()};
}

// What a label outside its widget covers, measured with the label's font the way the toolkit
// places it: left of the widget (3 pixels apart, centred vertically) or above it (centred).
Box OutsideLabelBox(Fl_Widget* w) {
    fl_font(w->labelfont(), w->labelsize());
    int lw = 0, lh = 0;
    fl_measure(w->label(), lw, lh, 0);
    if (w->align() & FL_ALIGN_TOP) return {w->x() + (w->w() - lw) / 2, w->y() - lh, lw, lh};
    return {w->x() - 3 - lw, w->y() + (w->h() - lh) / 2, lw, lh};
}

// Whether a label drawn inside its widget fits the room the toolkit gives it there (right of
// the box of a check button).
bool InsideLabelFits(Fl_Widget* w) {
    fl_font(w->labelfont(), w->labelsize());
    int lw = 0, lh = 0;
    fl_measure(w->label(), lw, lh, 0);
    int room =
        dynamic_cast<Fl_Check_Button*>(w) ? w->w() - w->labelsize() - 4 : w->w() - Fl::box_dw(w->box());
    return lw <= room && lh <= w->h() - Fl::box_dh(w->box());
}

// Whether the whole text of a display fits its text area (the toolkit keeps 3 pixels left and
// right of the text and 1 above and below); a final line break starts no line.
bool TextFits(Fl_Text_Display* display) {
    std::string text = Text(display);
    fl_font(display->textfont(), display->textsize());
    int lines = 0, widest = 0;
    for (size_t start = 0; start < text.size(); lines++) {
        size_t end = std::min(text.find('\n', start), text.size());
        widest = std::max(widest, int(fl_width(text.c_str() + start, int(end - start))));
        start = end + 1;
    }
    Fl_Boxtype box = display->box();
    return lines * fl_height() <= display->h() - Fl::box_dh(box) - 2 &&
           widest <= display->w() - Fl::box_dw(box) - 6;
}

} // namespace

// On every page, under the virtual display's DejaVu fonts, each label lies whole inside its page
// and the window, clear of the other widgets, and each text shows whole without scrollbars. A
// screenshot of each page is kept as tests/screenshots/layout_<n>.xwd.
TEST_F(MainWindowTest, EveryPageShowsItsLabelsAndTextsWhole) {
    fs::create_directories(std::string(TESTS_BINARY_DIR) + "/tests/screenshots");
    Fl_Group* pages[] = {pageSettings, pageVersion, pageConfirm, pageInstall};
    for (int n = 0; n < 4; n++) {
        Fl_Group* page = pages[n];
        SCOPED_TRACE(page->label());
        Box area = BoxOf(page);
        area.w = std::min(area.x + area.w, mainWindow->w()) - area.x;
        for (int i = 0; i < page->children(); i++) {
            Fl_Widget* w = page->child(i);
            std::string name = w->label() ? w->label() : "";
            if (Fl_Text_Display* display = dynamic_cast<Fl_Text_Display*>(w)) {
                EXPECT_TRUE(TextFits(display)) << Text(display);
                for (int k = 0; k < display->children(); k++)
                    EXPECT_FALSE(display->child(k)->visible())
                        << "scrollbar " << k << " of text at y " << w->y();
            }
            if (name.empty()) continue;
            if ((w->align() & FL_ALIGN_INSIDE) || !(w->align() & 15)) {
                EXPECT_TRUE(InsideLabelFits(w)) << name;
                continue;
            }
            Box label = OutsideLabelBox(w);
            EXPECT_TRUE(label.Inside(area)) << name << " at x " << label.x << ", y " << label.y;
            for (int k = 0; k < page->children(); k++) {
                if (k != i) {
                    EXPECT_FALSE(label.Overlaps(BoxOf(page->child(k)))) << name << " covers child " << k;
                }
            }
        }

        wizard->value(page);
        std::string path =
            std::string(TESTS_BINARY_DIR) + "/tests/screenshots/layout_" + std::to_string(n + 1) + ".xwd";
        RgbImage shot;
        size_t colours = 0;
        for (int attempt = 0; attempt < 20 && colours < 8; attempt++) {
            Fl::flush();
            for (int k = 0; k < 5; k++) Fl::wait(0.02);
            ASSERT_TRUE(VirtualDisplay::Shared().Screenshot(path));
            ASSERT_TRUE(ReadXwd(path, shot));
            colours = CountColours(shot, mainWindow->x() + 325, mainWindow->y(), 700, 550);
        }
        EXPECT_GE(colours, 8u) << "page looks blank; see " << path;
    }
    wizard->value(pageSettings);
}

TEST(HelpWindow, ShowsParameterList) {
    VirtualDisplay::Shared();
    BuildHelpWindow();
    InitHelpWindow();
    EXPECT_EQ(helpWindow->w(), 450);
    EXPECT_EQ(helpWindow->h(), 510);
    EXPECT_STREQ(helpWindow->label(), "Quillmere installer: help");
    EXPECT_EQ(helpText->x(), 20);
    EXPECT_EQ(helpText->y(), 20);
    EXPECT_EQ(helpText->w(), 410);
    EXPECT_EQ(helpText->h(), 470);
    EXPECT_EQ(helpText->box(), FL_NO_BOX);
    EXPECT_EQ(helpText->color(), 49u);
    EXPECT_EQ(
        Text(helpText),
        "List of command line parameters:\n\n--help\n    Display this list of parameters.\n\n--unattended\n  "
        "  "
        "Install game without any human intervention.\n    The most recent stable version is installed by "
        "default\n    into the directory where this installer is located.\n    BEWARE: it won't ask for any "
        "confirmation!\n    Make sure to look into qmh_installer.log after it finishes.\n    Return code "
        "should "
        "be nonzero if an error happens.\n\n--version {ver}\n    Install the version {ver} instead of the "
        "default one.\n    Only has effect when combined with --unattended.\n\n--limit-rate {rate}\n    "
        "Download at most {rate} bytes per second in all,\n    with k, M or G for KiB, MiB or GiB: 500k, "
        "2M.\n\n--transfers {n}\n    Keep at most {n} HTTP requests in flight at once.\n\n--allow-admin\n    "
        "Go on although run as admin (root on Linux),\n    without the warning, also with --unattended.\n");
    EXPECT_TRUE(TextFits(helpText));
    EXPECT_EQ(std::string(kHelpText).find("--skip-config-download"), std::string::npos);
    helpWindow->show();
    for (int i = 0; i < 20; i++) Fl::wait(0.02); // sends the window's requests to the server
    EXPECT_TRUE(VirtualDisplay::Shared().WaitForWindow("Quillmere installer: help", 30));
    // Every option shows without scrolling.
    EXPECT_TRUE(TextFits(helpText));
    for (int k = 0; k < helpText->children(); k++) EXPECT_FALSE(helpText->child(k)->visible()) << k;
    helpWindow->hide();
}

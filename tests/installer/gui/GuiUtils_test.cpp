// Message boxes (flag combinations, answers, unattended exit codes), the directory chooser
// and the style, with real dialogs under Xvfb.
#include "GuiUtils.h"
#include "InstallerState.h"
#include "TempDir.h"
#include "VirtualDisplay.h"
#include "base/Logging.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_File_Input.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Window.H>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string.h>
#include <vector>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

void Walk(Fl_Widget* w, const std::function<void(Fl_Widget*)>& visit) {
    visit(w);
    if (Fl_Group* g = w->as_group())
        for (int i = 0; i < g->children(); i++) Walk(g->child(i), visit);
}

// Acts on the first shown window that `act` accepts, from a timer inside the dialog's own
// event loop; retries until such a window is up (bounded).
struct DialogDriver {
    std::function<bool(Fl_Window*)> act;
    int attempts = 0;
    bool done = false;

    static void Tick(void* self) {
        DialogDriver* d = static_cast<DialogDriver*>(self);
        // Acting may hide a window, which unlinks it from the toolkit's list.
        std::vector<Fl_Window*> windows;
        for (Fl_Window* w = Fl::first_window(); w; w = Fl::next_window(w)) windows.push_back(w);
        for (Fl_Window* w : windows)
            if (!d->done && w->shown() && d->act(w)) d->done = true;
        if (!d->done && ++d->attempts < 400) Fl::repeat_timeout(0.05, Tick, self);
    }
    void Arm() { Fl::add_timeout(0.05, Tick, this); }
};

// Labels of the visible buttons, left to right.
std::vector<std::string> ButtonLabels(Fl_Window* w) {
    std::vector<std::pair<int, std::string>> buttons;
    Walk(w, [&](Fl_Widget* x) {
        if (dynamic_cast<Fl_Button*>(x) && x->visible() && x->label())
            buttons.push_back({x->x(), x->label()});
    });
    std::sort(buttons.begin(), buttons.end());
    std::vector<std::string> labels;
    for (auto& b : buttons) labels.push_back(b.second);
    return labels;
}

bool ClickButton(Fl_Window* w, const std::string& label) {
    Fl_Button* target = nullptr;
    Walk(w, [&](Fl_Widget* x) {
        if (dynamic_cast<Fl_Button*>(x) && x->visible() && x->label() && label == x->label())
            target = static_cast<Fl_Button*>(x);
    });
    if (!target) return false;
    target->do_callback();
    return true;
}

bool HasText(Fl_Window* w, const std::string& text) {
    bool found = false;
    Walk(w, [&](Fl_Widget* x) {
        if (!dynamic_cast<Fl_Button*>(x) && x->label() && text == x->label()) found = true;
    });
    return found;
}

struct ShownDialog {
    std::vector<std::string> buttons;
    bool messageShown = false;
    int result = -1;
};

// Shows GuiMessageBox on the virtual display and presses the button labelled `press`.
ShownDialog AnswerMessageBox(int flags, const char* message, const char* first, const char* second,
                             const std::string& expectedText, const std::string& press) {
    VirtualDisplay::Shared();
    ShownDialog shown;
    DialogDriver driver;
    driver.act = [&](Fl_Window* w) {
        if (!HasText(w, expectedText)) return false;
        shown.messageShown = true;
        shown.buttons = ButtonLabels(w);
        return ClickButton(w, press);
    };
    driver.Arm();
    shown.result = GuiMessageBox(flags, message, first, second);
    Fl::remove_timeout(DialogDriver::Tick, &driver);
    EXPECT_TRUE(driver.done) << "dialog for \"" << message << "\" not answered";
    return shown;
}

} // namespace

TEST(GuiMessageBoxDeathTest, UnattendedErrorExitsWith3) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto run = [] {
        g_unattended = true;
        GuiMessageBox(0x8011, "disk exploded");
    };
    EXPECT_EXIT(run(), testing::ExitedWithCode(3), "");
}

TEST(GuiMessageBoxDeathTest, UnattendedWarningQuestionWithOrderBitExitsWith2) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto run = [] {
        g_unattended = true;
        GuiMessageBox(0x8032, "only 1 GB free", "I know what I'm doing", "Stop");
    };
    EXPECT_EXIT(run(), testing::ExitedWithCode(2), "");
}

TEST(RunShowingErrorsDeathTest, AnyExceptionEndsAnUnattendedRunWith3AfterTheCleanUp) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The clean-up's own failure is only logged; the original error is what ends the run.
    auto run = [](std::function<void()> body) {
        g_unattended = true;
        RunShowingErrors(body, [] {
            fputs("cleaned up\n", stderr);
            throw 7;
        });
    };
    EXPECT_EXIT(run([] { throw std::logic_error("broken"); }), testing::ExitedWithCode(3), "cleaned up");
    EXPECT_EXIT(run([] { throw 42; }), testing::ExitedWithCode(3), "cleaned up");
    EXPECT_EXIT(run([] { g_logger->errorf("failed"); }), testing::ExitedWithCode(3), "cleaned up");
}

TEST(GuiMessageBox, OtherCombinationsFailTheAssertion) {
    const int flags[] = {0x8012, 0x31, 0x22, 0x11 | 0x2, 0x8000, 0x41, 0x8033, 0};
    for (int f : flags) {
        try {
            GuiMessageBox(f, "x", "a", "b");
            ADD_FAILURE() << std::hex << f;
        } catch (const ErrorException& e) {
            EXPECT_EQ(std::string(e.what()).rfind("Assertion false failed in ", 0), 0u) << e.what();
            EXPECT_EQ(e.code, lcGeneral);
        }
    }
}

TEST(GuiMessageBox, ErrorAndInformationAreShown) {
    testing::internal::CaptureStdout();
    ShownDialog error = AnswerMessageBox(0x8011, "boom 100%", nullptr, nullptr, "ERROR: boom 100%", "Close");
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(error.messageShown);
    EXPECT_EQ(error.result, 0);
    EXPECT_NE(log.find("Warning: Showing error message: boom 100%\n"), std::string::npos) << log;

    ShownDialog info = AnswerMessageBox(0x21, "New version %s", nullptr, nullptr, "New version %s", "Close");
    EXPECT_TRUE(info.messageShown);
    EXPECT_EQ(info.result, 0);
}

TEST(GuiMessageBox, WarningQuestionAnswersByLabelInBothOrders) {
    struct Case {
        int flags;
        bool unattended;
        const char* press;
        int result;
    } cases[] = {
        {0x8032, false, "Stop", 1},
        {0x8032, false, "I know", 0},
        {0x32, false, "Stop", 1},
        {0x32, false, "I know", 0},
        // Without the order bit the question is asked even in unattended mode.
        {0x32, true, "Stop", 1},
        {0x32, true, "I know", 0},
    };
    std::vector<std::string> orderWithBit, orderWithout;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.flags << " " << c.press << " " << c.unattended);
        g_unattended = c.unattended;
        testing::internal::CaptureStdout();
        ShownDialog d = AnswerMessageBox(c.flags, "Really?", "I know", "Stop", "Really?", c.press);
        std::string log = testing::internal::GetCapturedStdout();
        g_unattended = false;
        EXPECT_EQ(d.result, c.result);
        ASSERT_EQ(d.buttons.size(), 2u);
        (c.flags & 0x8000 ? orderWithBit : orderWithout) = d.buttons;
        EXPECT_NE(log.find("Warning: Showing warning message: Really?\n"), std::string::npos) << log;
    }
    // The order bit swaps the buttons.
    std::reverse(orderWithout.begin(), orderWithout.end());
    EXPECT_EQ(orderWithBit, orderWithout);
}

TEST(ChooseDirectory, ReturnsChosenDirectoryOrNothing) {
    VirtualDisplay::Shared();
    TempDir dir;
    fs::create_directory(dir / "games");
    fs::path saved = fs::current_path();
    fs::current_path(dir.path());

    struct Seen {
        bool styled = false;
        bool previewHidden = false;
    } seen;
    auto chooser = [&](Fl_Window* w, const std::string& value, bool accept) {
        if (!w->label() || std::string(w->label()) != "Pick a place") return false;
        Fl_File_Input* input = nullptr;
        Fl_Return_Button* ok = nullptr;
        Walk(w, [&](Fl_Widget* x) {
            if (!input) input = dynamic_cast<Fl_File_Input*>(x);
            if (!ok) ok = dynamic_cast<Fl_Return_Button*>(x);
            if (dynamic_cast<Fl_Check_Button*>(x) && x->label() && strstr(x->label(), "Preview"))
                seen.previewHidden = !x->visible();
        });
        if (!input || !ok) return false;
        seen.styled = ok->box() == FL_BORDER_BOX && input->box() == FL_BORDER_BOX;
        input->value(value.c_str());
        if (!accept) return ClickButton(w, "Cancel");
        ok->do_callback();
        return true;
    };

    DialogDriver pick;
    pick.act = [&](Fl_Window* w) { return chooser(w, dir / "games", true); };
    pick.Arm();
    std::optional<std::string> chosen = ChooseDirectory("Pick a place");
    Fl::remove_timeout(DialogDriver::Tick, &pick);
    ASSERT_TRUE(pick.done);
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(fs::canonical(*chosen), fs::canonical(dir / "games"));
    EXPECT_TRUE(seen.styled);
    EXPECT_TRUE(seen.previewHidden);

    DialogDriver cancel;
    cancel.act = [&](Fl_Window* w) { return chooser(w, dir / "games", false); };
    cancel.Arm();
    chosen = ChooseDirectory("Pick a place");
    Fl::remove_timeout(DialogDriver::Tick, &cancel);
    ASSERT_TRUE(cancel.done);
    EXPECT_FALSE(chosen.has_value());

    fs::current_path(saved);
}

TEST(ApplyStyle, RestylesByMostSpecificKind) {
    Fl_Group root(0, 0, 400, 400);
    Fl_Button button(0, 0, 10, 10, "b");
    Fl_Check_Button check(0, 20, 10, 10, "c");
    Fl_Progress progress(0, 40, 10, 10);
    Fl_Output output(0, 60, 10, 10);
    Fl_File_Input fileInput(0, 80, 10, 10);
    Fl_Input input(0, 100, 10, 10);
    Fl_Group inner(0, 120, 100, 100);
    Fl_Button nested(0, 120, 10, 10, "n");
    inner.end();
    root.end();
    Fl_Boxtype checkBox = check.box(), checkDown = check.down_box(), inputBox = input.box();
    Fl_Color checkColour = check.color(), checkSelection = check.selection_color();

    Fl::set_color(FL_BACKGROUND_COLOR, 1, 2, 3);
    ApplyStyle(&root);

    unsigned char r, g, b;
    Fl::get_color(FL_BACKGROUND_COLOR, r, g, b);
    EXPECT_EQ((int)r * 65536 + g * 256 + b, 240 * 65536 + 240 * 256 + 240);
    for (Fl_Button* x : {&button, &nested}) {
        EXPECT_EQ(x->color(), fl_rgb_color(225, 225, 225));
        EXPECT_EQ(x->selection_color(), fl_rgb_color(204, 228, 247));
        EXPECT_EQ(x->box(), FL_BORDER_BOX);
        EXPECT_EQ(x->down_box(), FL_BORDER_BOX);
    }
    EXPECT_EQ(check.box(), checkBox);
    EXPECT_EQ(check.down_box(), checkDown);
    EXPECT_EQ(check.color(), checkColour);
    EXPECT_EQ(check.selection_color(), checkSelection);
    EXPECT_EQ(progress.selection_color(), fl_rgb_color(0, 255, 0));
    EXPECT_EQ(output.box(), FL_BORDER_BOX);
    EXPECT_EQ(output.color(), FL_BACKGROUND_COLOR);
    EXPECT_EQ(fileInput.box(), FL_BORDER_BOX);
    EXPECT_EQ(fileInput.down_box(), FL_BORDER_BOX);
    EXPECT_EQ(input.box(), inputBox);
}

// The progress display and page locking on real widgets under Xvfb: bar and label, the
// remaining-time label on a stepped clock, comments logged once, and GuiDeactivizer's restore.
// (Cancel during an update is part of the whole installation in Wizard_test.)
#include <gtest/gtest.h>

#include "CatchError.h"
#include "ProgressIndicatorGui.h"
#include "RecordingLogger.h"
#include "VirtualDisplay.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Text_Display.H>

namespace {

struct Widgets {
    Fl_Double_Window* window;
    Fl_Group* page;
    Fl_Progress* bar;
    Fl_Box* remaining;
    Fl_Button* button;
    Fl_Button* inactiveButton;
    Fl_Check_Button* check;
    Fl_Button* excluded;
    Fl_Text_Display* text;

    Widgets() {
        VirtualDisplay::Shared();
        window = new Fl_Double_Window(400, 300, "progress test");
        page = new Fl_Group(0, 0, 400, 300);
        bar = new Fl_Progress(10, 10, 380, 20, "bar");
        remaining = new Fl_Box(10, 40, 380, 20, "Remaining ~ ?:??:??");
        button = new Fl_Button(10, 70, 80, 30, "button");
        inactiveButton = new Fl_Button(100, 70, 80, 30, "inactive");
        inactiveButton->deactivate();
        check = new Fl_Check_Button(10, 110, 80, 20, "check");
        excluded = new Fl_Button(200, 70, 80, 30, "cancel");
        text = new Fl_Text_Display(10, 140, 380, 100);
        page->end();
        window->end();
        window->show();
    }
    ~Widgets() { delete window; }
};

} // namespace

TEST(ProgressIndicatorGui, DrivesBarAndRemainingTimeAndLogsEachCommentOnce) {
    Widgets w;
    RecordingLogger log;
    double now = 1000;
    ProgressIndicatorGui::SetClock([&] { return now; });
    {
        ProgressIndicatorGui progress(w.bar);
        EXPECT_STREQ(w.bar->label(), "starting...");
        progress.SetRemainingTimeLabel(w.remaining);
        progress.SetMainWindow(w.window);

        // (seconds since start, ratio, comment) -> remaining label afterwards
        struct Step {
            double t, ratio;
            const char* comment;
            const char* label;
        } steps[] = {
            {0, 0.0, "Downloading", "Remaining ~ ?:??:??"},     // records the start only
            {5, 0.2, "Downloading", "Remaining ~ ?:??:??"},     // refresh, but under 10 s elapsed
            {12, 0.0005, "Downloading", "Remaining ~ ?:??:??"}, // ratio too small
            {14, 0.5, "Downloading", "Remaining ~ ?:??:??"},    // under 3 s since the last refresh
            {15, 0.5, "Verifying", "Remaining ~ 15 s"},
            {17, 0.125, "Verifying", "Remaining ~ 15 s"}, // 2 s after the refresh: unchanged
            {30, 0.125, "Verifying", "Remaining ~ 3:30"},
            {3000, 0.25, "Verifying", "Remaining ~ 2:30:00"},
        };
        for (const Step& s : steps) {
            SCOPED_TRACE(s.t);
            now = 1000 + s.t;
            EXPECT_EQ(progress.Update(s.ratio, s.comment), 0);
            EXPECT_STREQ(w.remaining->label(), s.label);
            EXPECT_STREQ(w.bar->label(), s.comment);
            EXPECT_FLOAT_EQ(w.bar->value(), float(s.ratio * 100));
        }
        EXPECT_TRUE(w.remaining->visible());
        now += 100;
        progress.Update(1.0, "Verifying");
        EXPECT_FALSE(w.remaining->visible());
    }
    ProgressIndicatorGui::SetClock(nullptr);
    EXPECT_STREQ(w.bar->label(), "done");
    EXPECT_STREQ(w.remaining->label(), "");
    EXPECT_EQ(log.WithPrefix("PROGRESS"),
              (std::vector<std::string>{"PROGRESS 0.00% : Downloading", "PROGRESS 50.00% : Verifying"}));
}

TEST(GuiDeactivizer, LocksControlsAndRestoresTheirFormerState) {
    Widgets w;
    int busyBefore = g_busyCounter;
    {
        GuiDeactivizer deactivizer(w.page, {w.excluded});
        EXPECT_EQ(g_busyCounter, busyBefore + 1);
        EXPECT_FALSE(w.button->active() || w.check->active() || w.inactiveButton->active());
        // Excluded, and the widgets that only show things, stay as they were.
        EXPECT_TRUE(w.excluded->active() && w.text->active() && w.bar->active() && w.remaining->active());
    }
    EXPECT_EQ(g_busyCounter, busyBefore);
    EXPECT_TRUE(w.button->active() && w.check->active());
    EXPECT_FALSE(w.inactiveButton->active());
    ExpectAssertion([&] { GuiDeactivizer wrong(w.button); }, "group");
    EXPECT_EQ(g_busyCounter, busyBefore);
}

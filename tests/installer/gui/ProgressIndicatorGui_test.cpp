// The progress display and page locking on real widgets under Xvfb: bar and label, the
// remaining-time label on a stepped clock, comments logged once, a download's bytes, speed and
// time left, the label that says how the action ended, and GuiDeactivizer's restore.
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
        ProgressIndicatorGui progress(w.bar, "Checking");
        EXPECT_STREQ(w.bar->label(), "Checking: starting...");
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
    EXPECT_STREQ(w.bar->label(), "Checking finished");
    EXPECT_STREQ(w.remaining->label(), "");
    EXPECT_EQ(log.WithPrefix("PROGRESS"),
              (std::vector<std::string>{"PROGRESS 0.00% : Downloading", "PROGRESS 50.00% : Verifying"}));
}

// A download: the bar shows bytes and speed (refreshed once a second), the remaining-time label
// the engine's estimate (every 3 seconds, as soon as it is known), the log the engine's comments;
// at the end the bar says what was downloaded. An action that fails says it stopped.
TEST(ProgressIndicatorGui, ShowsBytesSpeedAndTimeLeftOfADownload) {
    Widgets w;
    RecordingLogger log;
    double now = 1000;
    ProgressIndicatorGui::SetClock([&] { return now; });
    {
        ProgressIndicatorGui progress(w.bar, "Download");
        progress.SetRemainingTimeLabel(w.remaining);
        struct Step {
            double t, ratio;
            uint64_t done;
            double speed, left;
            const char *bar, *remaining;
        } steps[] = {
            {0, 0.0, 0, 0, -1, "Downloading: 0 B of 45.6 MB", "Remaining ~ ?:??:??"},
            {0, 0.1, 4560000, 0, -1, "Downloading: 0 B of 45.6 MB", "Remaining ~ ?:??:??"}, // same second
            {1, 0.2, 9120000, 2100000, 17.4, "Downloading: 9.12 MB of 45.6 MB, 2.10 MB/s",
             "Remaining ~ ?:??:??"}, // the label waits 3 s
            {3, 0.27, 12300000, 2100000, 15.8, "Downloading: 12.3 MB of 45.6 MB, 2.10 MB/s",
             "Remaining ~ 16 s"},
            {4, 0.5, 22800000, 100000, 228, "Downloading: 22.8 MB of 45.6 MB, 100 kB/s", "Remaining ~ 16 s"},
            {6, 0.6, 27360000, 100000, 182, "Downloading: 27.4 MB of 45.6 MB, 100 kB/s", "Remaining ~ 3:02"},
        };
        for (const Step& s : steps) {
            SCOPED_TRACE(s.t);
            now = 1000 + s.t;
            ZipSync::TransferProgress p;
            p.ratio = s.ratio;
            p.comment = "Downloading \"http://mirror/base.pk4\"...";
            p.bytesDone = s.done;
            p.bytesTotal = 45600000;
            p.bytesPerSecond = s.speed;
            p.secondsLeft = s.left;
            EXPECT_EQ(progress.UpdateTransfer(p), 0);
            EXPECT_STREQ(w.bar->label(), s.bar);
            EXPECT_STREQ(w.remaining->label(), s.remaining);
            EXPECT_FLOAT_EQ(w.bar->value(), float(s.ratio * 100));
        }
        ZipSync::TransferProgress done;
        done.ratio = 1.0;
        done.comment = "Downloading finished";
        done.bytesDone = done.bytesTotal = 45600000;
        progress.UpdateTransfer(done);
        EXPECT_STREQ(w.bar->label(), "Downloading: 45.6 MB of 45.6 MB");
        EXPECT_FALSE(w.remaining->visible());
    }
    EXPECT_STREQ(w.bar->label(), "Download finished: 45.6 MB");
    EXPECT_EQ(log.WithPrefix("PROGRESS"),
              (std::vector<std::string>{"PROGRESS 0.00% : Downloading \"http://mirror/base.pk4\"...",
                                        "PROGRESS 100.00% : Downloading finished"}));

    try {
        ProgressIndicatorGui progress(w.bar, "Repacking");
        progress.Update(0.5, "Repacking \"base.pk4\"...");
        throw std::runtime_error("disk full");
    } catch (const std::runtime_error&) {
    }
    EXPECT_STREQ(w.bar->label(), "Repacking stopped");
    ProgressIndicatorGui::SetClock(nullptr);
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

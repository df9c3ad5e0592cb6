// The wizard's progress display for long actions, and the scope object that locks a page while
// one runs.
//
// Every action runs on the GUI thread inside a button callback. ProgressIndicatorGui drives one
// progress bar (optionally a remaining-time label and the taskbar button) and processes pending
// GUI events on each update: that keeps the window responsive and is where a click on Cancel
// runs, which sets g_interruptFlag; the next update answers it. A download shows the bytes done
// of the total and the speed on its bar and the time left on the remaining-time label. Each bar
// names what it stands for when its action ends ("Download finished: 10.4 MB", "Repacking
// stopped"). The widgets are not owned.
// GuiDeactivizer greys out a page's controls for the length of an action and keeps the main
// window from closing (g_busyCounter).
#pragma once

#include "base/ProgressIndicator.h"

#include <FL/Fl_Group.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Window.H>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <stdint.h>
#include <string>

// Set to 1 by the Cancel button; cleared by every ProgressIndicatorGui constructor.
extern int g_interruptFlag;
// Number of live GuiDeactivizer objects; the main window refuses to close while above 0.
extern int g_busyCounter;

class ProgressIndicatorGui : public ZipSync::ProgressIndicator {
public:
    // what names the action for the player ("Download", "Repacking"). Labels the bar
    // "<what>: starting..." and clears the interrupt flag.
    ProgressIndicatorGui(Fl_Progress* progressBar, std::string what);
    // Labels the bar "<what> finished" (a download adds its bytes: "Download finished: 10.4 MB"),
    // or "<what> stopped" when an exception ends the action before it reported its end (ratio
    // 1.0), and empties the remaining-time label.
    ~ProgressIndicatorGui() override;
    ProgressIndicatorGui(const ProgressIndicatorGui&) = delete;
    ProgressIndicatorGui& operator=(const ProgressIndicatorGui&) = delete;

    // The label shows "Remaining ~ ...", refreshed every 3 seconds: for Update once 10 seconds
    // have passed (estimated from the ratio), for UpdateTransfer once the engine knows the speed.
    void SetRemainingTimeLabel(Fl_Widget* label) { _remainingLabel = label; }
    // With a main window, the taskbar button shows the progress too.
    void SetMainWindow(Fl_Window* window) { _mainWindow = window; }

    // Shows globalRatio on the bar, logs a changed globalComment once ("PROGRESS %0.2lf%% : %s")
    // and makes it the bar's label, processes pending GUI events once, and returns the interrupt
    // flag. The local pair is ignored.
    int Update(double globalRatio, std::string globalComment, double localRatio = -1.0,
               std::string localComment = "") override;
    // A download: the bar as Update does, but labelled "Downloading: 12.3 MB of 45.6 MB, 2.10 MB/s"
    // (refreshed once a second; the engine's comment is logged as by Update); the remaining-time
    // label shows the engine's estimate of the time left, refreshed every 3 seconds.
    int UpdateTransfer(const ZipSync::TransferProgress& progress) override;

    // The calendar clock in whole seconds; tests replace it (an empty function restores it).
    static void SetClock(std::function<double()> clock);

private:
    void ShowRatio(double globalRatio);
    // Logs a comment that differs from the last one; returns whether it did.
    bool LogComment(double globalRatio, const std::string& globalComment);
    // Taskbar, console line and pending events; returns the interrupt flag.
    int Answer(double globalRatio, const std::string& consoleText);
    void UpdateRemainingTime(double globalRatio);
    void ShowTimeLeft(double secondsLeft, double globalRatio);
    void ShowRemainingText(const std::string& text);
    void PrintConsoleProgress(double globalRatio, const std::string& text);

    Fl_Progress* _progressBar;
    std::string _what;
    // Exceptions in flight when the action began: more at the end means it failed.
    int _uncaughtAtStart;
    std::string _lastGlobalComment;
    double _lastRatio = 0.0;
    // When a download's bar label was last refreshed, and the bytes it reached.
    double _transferLabelTime;
    std::optional<uint64_t> _bytesDone;
    Fl_Widget* _remainingLabel = nullptr;
    Fl_Window* _mainWindow = nullptr;
    std::string _remainingText;
    double _startTime;
    double _lastRefreshTime;
    // Without a display: the last twentieth of the bar printed on the console, and its label.
    int _lastConsoleStep = -1;
    std::string _lastConsoleLabel;
};

// Deactivates the direct children of a group (a wizard page) except the excluded widgets and
// every text display, plain box and progress bar; End (or the destructor) reactivates exactly
// those that were active before.
class GuiDeactivizer {
public:
    // Fails the assertion "group" when `group` is not a group.
    GuiDeactivizer(Fl_Widget* group, std::initializer_list<Fl_Widget*> excluded = {});
    ~GuiDeactivizer();
    GuiDeactivizer(const GuiDeactivizer&) = delete;
    GuiDeactivizer& operator=(const GuiDeactivizer&) = delete;

    void End();

private:
    std::map<Fl_Widget*, bool> _wasActive;
    bool _ended = false;
};

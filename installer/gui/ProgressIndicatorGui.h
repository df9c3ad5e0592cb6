// The wizard's progress display for long actions, and the scope object that locks a page while
// one runs.
//
// Every action runs on the GUI thread inside a button callback. ProgressIndicatorGui drives one
// progress bar (optionally a remaining-time label and the taskbar button) and processes pending
// GUI events on each update: that keeps the window responsive and is where a click on Cancel
// runs, which sets g_interruptFlag; the next update answers it. The widgets are not owned.
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
#include <string>

// Set to 1 by the Cancel button; cleared by every ProgressIndicatorGui constructor.
extern int g_interruptFlag;
// Number of live GuiDeactivizer objects; the main window refuses to close while above 0.
extern int g_busyCounter;

class ProgressIndicatorGui : public ZipSync::ProgressIndicator {
public:
    // Labels the bar "starting..." and clears the interrupt flag.
    explicit ProgressIndicatorGui(Fl_Progress* progressBar);
    // Labels the bar "done" and empties the remaining-time label.
    ~ProgressIndicatorGui() override;
    ProgressIndicatorGui(const ProgressIndicatorGui&) = delete;
    ProgressIndicatorGui& operator=(const ProgressIndicatorGui&) = delete;

    // The label shows "Remaining ~ ..." once 10 seconds have passed, refreshed every 3 seconds.
    void SetRemainingTimeLabel(Fl_Widget* label) { _remainingLabel = label; }
    // With a main window, the taskbar button shows the progress too.
    void SetMainWindow(Fl_Window* window) { _mainWindow = window; }

    // Shows globalRatio on the bar, logs a changed globalComment once ("PROGRESS %0.2lf%% : %s")
    // and makes it the bar's label, processes pending GUI events once, and returns the interrupt
    // flag. The local pair is ignored.
    int Update(double globalRatio, std::string globalComment, double localRatio = -1.0,
               std::string localComment = "") override;

    // The calendar clock in whole seconds; tests replace it (an empty function restores it).
    static void SetClock(std::function<double()> clock);

private:
    void UpdateRemainingTime(double globalRatio);
    void PrintConsoleProgress(double globalRatio);

    Fl_Progress* _progressBar;
    std::string _lastGlobalComment;
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

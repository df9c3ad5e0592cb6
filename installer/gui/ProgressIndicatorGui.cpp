#include "ProgressIndicatorGui.h"

#include "GuiUtils.h"
#include "OsUtils.h"
#include "base/Logging.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Text_Display.H>
#include <FL/x.H>
#include <float.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

using namespace ZipSync;

int g_interruptFlag = 0;
int g_busyCounter = 0;

namespace {

std::function<double()> g_clock;

double Now() {
    if (g_clock) return g_clock();
    return (double)time(nullptr);
}

std::string FormatRemaining(unsigned remaining) {
    if (remaining < 60) return FormatString("Remaining ~ %u s", remaining);
    if (remaining < 3600) return FormatString("Remaining ~ %u:%02u", remaining / 60, remaining % 60);
    return FormatString("Remaining ~ %u:%02u:%02u", remaining / 3600, remaining / 60 % 60, remaining % 60);
}

void ShowTaskbarProgress(Fl_Window* window, double ratio) {
    void* handle = window->shown() ? (void*)(uintptr_t)fl_xid(window) : nullptr;
    SetTaskbarProgress(handle, ratio);
}

} // namespace

void ProgressIndicatorGui::SetClock(std::function<double()> clock) {
    g_clock = std::move(clock);
}

ProgressIndicatorGui::ProgressIndicatorGui(Fl_Progress* progressBar)
    : _progressBar(progressBar), _startTime(DBL_MAX), _lastRefreshTime(DBL_MAX) {
    _progressBar->copy_label("");
    _progressBar->redraw();
    _progressBar->copy_label("starting...");
    g_interruptFlag = 0;
}

ProgressIndicatorGui::~ProgressIndicatorGui() {
    _progressBar->copy_label("done");
    if (_remainingLabel) _remainingLabel->copy_label("");
}

int ProgressIndicatorGui::Update(double globalRatio, std::string globalComment, double localRatio,
                                 std::string localComment) {
    _progressBar->show();
    _progressBar->value(float(globalRatio * 100.0));
    _progressBar->redraw();
    if (globalComment != _lastGlobalComment) {
        g_logger->infof("PROGRESS %0.2lf%% : %s", globalRatio * 100.0, globalComment.c_str());
        _lastGlobalComment = globalComment;
        _progressBar->copy_label(globalComment.c_str());
    }
    if (_remainingLabel) UpdateRemainingTime(globalRatio);
    if (_mainWindow) ShowTaskbarProgress(_mainWindow, globalRatio);
    if (g_headless) PrintConsoleProgress(globalRatio);

    Fl::check();

    if (g_interruptFlag && _mainWindow) ShowTaskbarProgress(_mainWindow, -1.0);
    return g_interruptFlag;
}

void ProgressIndicatorGui::UpdateRemainingTime(double globalRatio) {
    double now = Now();
    if (_startTime == DBL_MAX) _startTime = _lastRefreshTime = now;
    if (now - _lastRefreshTime >= 3.0) {
        _lastRefreshTime = now;
        double elapsed = now - _startTime;
        if (globalRatio > 0.001 && elapsed >= 10.0) {
            _remainingLabel->show();
            unsigned remaining = (unsigned)(elapsed * (1.0 - globalRatio) / globalRatio);
            _remainingText = FormatRemaining(remaining);
            _remainingLabel->copy_label(_remainingText.c_str());
            _remainingLabel->redraw();
        }
    }
    if (globalRatio == 1.0) _remainingLabel->hide();
}

// Nobody sees the bar without a display: a line for every twentieth, and the final one, keep a
// console (or a CI log) informed without flooding it. Only the console gets these lines, not
// the log file.
void ProgressIndicatorGui::PrintConsoleProgress(double globalRatio) {
    int step = (int)(globalRatio * 20.0);
    std::string label = _progressBar->label() ? _progressBar->label() : "";
    if (step == _lastConsoleStep && (globalRatio < 1.0 || label == _lastConsoleLabel)) return;
    _lastConsoleStep = step;
    _lastConsoleLabel = label;
    printf("[%3d%%] %s\n", step * 5, label.c_str());
    fflush(stdout);
}

GuiDeactivizer::GuiDeactivizer(Fl_Widget* widget, std::initializer_list<Fl_Widget*> excluded) {
    Fl_Group* group = widget->as_group();
    ZipSyncAssert(group);
    for (int i = 0; i < group->children(); i++) {
        Fl_Widget* child = group->child(i);
        bool skipped = false;
        for (Fl_Widget* e : excluded) skipped = skipped || e == child;
        // Text displays, boxes and bars only show things; greying them out would hide the
        // progress the action is about to report.
        if (skipped || dynamic_cast<Fl_Text_Display*>(child) || dynamic_cast<Fl_Progress*>(child) ||
            typeid(*child) == typeid(Fl_Box))
            continue;
        _wasActive[child] = child->active() != 0;
        child->deactivate();
    }
    g_busyCounter++;
}

GuiDeactivizer::~GuiDeactivizer() {
    End();
}

void GuiDeactivizer::End() {
    if (_ended) return;
    _ended = true;
    for (const auto& entry : _wasActive)
        if (entry.second) entry.first->activate();
    _wasActive.clear();
    g_busyCounter--;
}

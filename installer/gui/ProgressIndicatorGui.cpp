#include "ProgressIndicatorGui.h"

#include "GuiUtils.h"
#include "OsUtils.h"
#include "base/Logging.h"
#include "base/SizeText.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Text_Display.H>
#include <FL/x.H>
#include <exception>
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

ProgressIndicatorGui::ProgressIndicatorGui(Fl_Progress* progressBar, std::string what)
    : _progressBar(progressBar), _what(std::move(what)), _uncaughtAtStart(std::uncaught_exceptions()),
      _transferLabelTime(-DBL_MAX), _startTime(DBL_MAX), _lastRefreshTime(DBL_MAX) {
    _progressBar->copy_label("");
    _progressBar->redraw();
    _progressBar->copy_label((_what + ": starting...").c_str());
    g_interruptFlag = 0;
}

ProgressIndicatorGui::~ProgressIndicatorGui() {
    // An action that reported its end finished, even when a later step fails (the download when
    // the verification after it does).
    bool finished = _lastRatio == 1.0 || std::uncaught_exceptions() <= _uncaughtAtStart;
    std::string label = _what + (finished ? " finished" : " stopped");
    if (finished && _bytesDone) label += ": " + FormatSize(*_bytesDone);
    _progressBar->copy_label(label.c_str());
    if (_remainingLabel) _remainingLabel->copy_label("");
}

int ProgressIndicatorGui::Update(double globalRatio, std::string globalComment, double localRatio,
                                 std::string localComment) {
    ShowRatio(globalRatio);
    if (LogComment(globalRatio, globalComment)) _progressBar->copy_label(globalComment.c_str());
    if (_remainingLabel) UpdateRemainingTime(globalRatio);
    return Answer(globalRatio, _progressBar->label() ? _progressBar->label() : "");
}

int ProgressIndicatorGui::UpdateTransfer(const TransferProgress& progress) {
    ShowRatio(progress.ratio);
    LogComment(progress.ratio, progress.comment);
    _bytesDone = progress.bytesDone;
    // At the end only the bytes still mean something.
    TransferProgress shown = progress;
    if (progress.ratio == 1.0) {
        shown.bytesPerSecond = 0.0;
        shown.secondsLeft = -1.0;
    }
    std::string text = "Downloading: " + FormatTransferProgress(shown);
    // Numbers that change with every update would be unreadable.
    double now = Now();
    if (now - _transferLabelTime >= 1.0 || progress.ratio == 1.0) {
        _transferLabelTime = now;
        shown.secondsLeft = -1.0; // the remaining-time label's
        _progressBar->copy_label(("Downloading: " + FormatTransferProgress(shown)).c_str());
    }
    if (_remainingLabel) ShowTimeLeft(progress.secondsLeft, progress.ratio);
    return Answer(progress.ratio, text);
}

void ProgressIndicatorGui::ShowRatio(double globalRatio) {
    _progressBar->show();
    _progressBar->value(float(globalRatio * 100.0));
    _progressBar->redraw();
    _lastRatio = globalRatio;
}

bool ProgressIndicatorGui::LogComment(double globalRatio, const std::string& globalComment) {
    if (globalComment == _lastGlobalComment) return false;
    g_logger->infof("PROGRESS %0.2lf%% : %s", globalRatio * 100.0, globalComment.c_str());
    _lastGlobalComment = globalComment;
    return true;
}

int ProgressIndicatorGui::Answer(double globalRatio, const std::string& consoleText) {
    if (_mainWindow) ShowTaskbarProgress(_mainWindow, globalRatio);
    if (g_headless) PrintConsoleProgress(globalRatio, consoleText);

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
        if (globalRatio > 0.001 && elapsed >= 10.0)
            ShowRemainingText(FormatRemaining((unsigned)(elapsed * (1.0 - globalRatio) / globalRatio)));
    }
    if (globalRatio == 1.0) _remainingLabel->hide();
}

void ProgressIndicatorGui::ShowTimeLeft(double secondsLeft, double globalRatio) {
    // The engine measures the speed itself: its estimate needs no warming up, only calm.
    double now = Now();
    if (_startTime == DBL_MAX) _startTime = _lastRefreshTime = now;
    if (secondsLeft >= 0 && now - _lastRefreshTime >= 3.0) {
        _lastRefreshTime = now;
        ShowRemainingText(FormatRemaining((unsigned)(secondsLeft + 0.5)));
    }
    if (globalRatio == 1.0) _remainingLabel->hide();
}

void ProgressIndicatorGui::ShowRemainingText(const std::string& text) {
    _remainingLabel->show();
    _remainingText = text;
    _remainingLabel->copy_label(_remainingText.c_str());
    _remainingLabel->redraw();
}

// Nobody sees the bar without a display: a line for every twentieth, and the final one, keep a
// console (or a CI log) informed without flooding it. Only the console gets these lines, not
// the log file.
void ProgressIndicatorGui::PrintConsoleProgress(double globalRatio, const std::string& text) {
    int step = (int)(globalRatio * 20.0);
    if (step == _lastConsoleStep && (globalRatio < 1.0 || text == _lastConsoleLabel)) return;
    _lastConsoleStep = step;
    _lastConsoleLabel = text;
    printf("[%3d%%] %s\n", step * 5, text.c_str());
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

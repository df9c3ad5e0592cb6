#include "Console.h"

#include "ToolPlatform.h"

#include <algorithm>
#include <stdarg.h>
#include <stdio.h>

namespace ZipSyncCli {

using namespace ZipSync;

// Redraws of the bar closer together than this are skipped, unless the step changes.
static const std::chrono::milliseconds kRedrawInterval(100);

// Text of several lines keeps its line breaks; other control characters are escaped.
static std::string EscapeText(const std::string& text) {
    std::string result;
    size_t start = 0;
    while (true) {
        size_t end = text.find('\n', start);
        result += EscapeControlChars(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) return result;
        result += '\n';
        start = end + 1;
    }
}

Console::Console() {
    _terminal = StreamIsTerminal(stderr);
}

void Console::Message(LogCode code, LogSeverity severity, const char* message) {
    if (severity == sevDebug && _verbosity != Verbosity::Verbose) return;
    if (severity == sevInfo && _verbosity == Verbosity::Quiet) return;
    FILE* stream = severity >= sevWarning ? stderr : stdout;
    std::lock_guard<std::mutex> lock(_mutex);
    WriteLine(stream, std::string(SeverityPrefix(severity)) + message);
}

void Console::Result(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatStringV(format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(_mutex);
    WriteLine(stdout, EscapeText(text));
}

void Console::Diagnostic(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatStringV(format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(_mutex);
    WriteLine(stderr, EscapeText(text));
}

void Console::WriteLine(FILE* stream, const std::string& line) {
    bool redraw = _barShown;
    WipeBar();
    fputs((line + "\n").c_str(), stream);
    fflush(stream);
    if (redraw) DrawBar();
}

int Console::Update(double ratio, std::string comment, double subRatio, std::string subComment) {
    if (_verbosity == Verbosity::Quiet) return 0;
    ratio = std::min(1.0, std::max(0.0, ratio));
    // A carriage return in a name would break the bar drawn in place.
    comment = EscapeControlChars(comment);
    subComment = EscapeControlChars(subComment);
    std::lock_guard<std::mutex> lock(_mutex);
    bool newStep = comment != _comment;
    _ratio = ratio;
    _comment = comment;
    _detail = subComment;
    if (_terminal) {
        auto now = std::chrono::steady_clock::now();
        if (newStep || ratio >= 1.0 || !_barShown || now - _lastDraw >= kRedrawInterval) DrawBar();
        return 0;
    }
    int tenth = (int)(ratio * 10.0);
    if (comment != _lastPlainComment || tenth > _lastPlainTenth) {
        std::string detail = _detail.empty() ? "" : " (" + _detail + ")";
        fprintf(stderr, "[%3d%%] %s%s\n", (int)(ratio * 100.0), comment.c_str(), detail.c_str());
        fflush(stderr);
        _lastPlainComment = comment;
        _lastPlainTenth = tenth;
    }
    return 0;
}

int Console::UpdateTransfer(const TransferProgress& progress) {
    return Update(progress.ratio, progress.comment, -1.0, FormatTransferProgress(progress));
}

ProgressCallback Console::Callback() {
    return MakeProgressCallback(this);
}

void Console::EndProgress() {
    std::lock_guard<std::mutex> lock(_mutex);
    WipeBar();
    _comment.clear();
    _detail.clear();
    _lastPlainComment.clear();
    _lastPlainTenth = -1;
}

int Console::BarWidth() const {
    int columns = TerminalColumns(stderr);
    return columns >= 40 ? columns : 80;
}

void Console::DrawBar() {
    int width = BarWidth();
    const int cells = 30;
    int filled = (int)(_ratio * cells);
    std::string line = "[" + std::string(filled, '#') + std::string(cells - filled, '.') + "] ";
    line += FormatString("%3d%% ", (int)(_ratio * 100.0));
    if (!_detail.empty()) line += _detail + "  ";
    // The comment is cut so that the line never wraps, which would break the redraw in place.
    size_t room = (size_t)std::max(0, width - 1 - (int)line.size());
    line += _comment.substr(0, room);
    fprintf(stderr, "\r%s\x1b[K", line.c_str());
    fflush(stderr);
    _barShown = true;
    _lastDraw = std::chrono::steady_clock::now();
}

void Console::WipeBar() {
    if (!_barShown) return;
    fputs("\r\x1b[K", stderr);
    fflush(stderr);
    _barShown = false;
}

} // namespace ZipSyncCli

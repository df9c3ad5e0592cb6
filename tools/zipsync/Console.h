// The terminal side of the zipsync tool: where messages and progress go.
//
// Console is the one owner of the tool's output streams. It serves as the process-wide logger
// (installed into g_logger by main) and as the progress indicator of every engine operation.
// Messages keep the engine's own text and prefixes: info and debug lines go to stdout, warnings
// and errors to stderr. Quiet mode drops info and debug lines and all progress; verbose mode adds
// the debug lines. Progress goes to stderr: a bar redrawn in place when stderr is a terminal,
// plain lines otherwise (one per new step, and one per tenth of the way within a step). A
// download also shows its bytes, speed and time left (the subComment of Update).
//
// Engine work may log and report progress from several threads at once (the parallel analysis),
// so every output goes through one mutex. A bar on screen is wiped before any other line is
// written and drawn again after it, so lines never mix with the bar.
#pragma once

#include "base/Logging.h"
#include "base/ProgressIndicator.h"

#include <chrono>
#include <mutex>
#include <string>

namespace ZipSyncCli {

enum class Verbosity { Quiet, Normal, Verbose };

class Console : public ZipSync::Logger, public ZipSync::ProgressIndicator {
public:
    Console();

    void SetVerbosity(Verbosity verbosity) { _verbosity = verbosity; }
    Verbosity GetVerbosity() const { return _verbosity; }
    // Whether progress is drawn as a bar (stderr is a terminal).
    bool IsTerminal() const { return _terminal; }

    void Message(ZipSync::LogCode code, ZipSync::LogSeverity severity, const char* message) override;
    // Never asks to stop: the tool is interrupted by a signal instead. subComment, when given,
    // is shown beside the comment ("12.3 MB of 45.6 MB, 2.10 MB/s, 17 s left").
    int Update(double ratio, std::string comment, double subRatio = -1.0,
               std::string subComment = "") override;
    int UpdateTransfer(const ZipSync::TransferProgress& progress) override;
    // A callback for engine operations that take one; it forwards to Update.
    ZipSync::ProgressCallback Callback();

    // A result of the command itself (digest, statistics, report lines): always printed to
    // stdout, whatever the verbosity, as one line. Like messages and progress texts, results
    // are printed with their control characters escaped (EscapeControlChars).
    void Result(const char* format, ...);
    // A line for the user on stderr without a severity prefix (hints after an error).
    void Diagnostic(const char* format, ...);
    // Removes the bar, if one is shown, so that the terminal is left clean.
    void EndProgress();

private:
    void WipeBar();
    void DrawBar();
    void WriteLine(FILE* stream, const std::string& line);
    int BarWidth() const;

    std::mutex _mutex;
    Verbosity _verbosity = Verbosity::Normal;
    bool _terminal = false;
    // The last progress state reported, and whether the bar is on screen now.
    double _ratio = 0.0;
    std::string _comment;
    std::string _detail;
    bool _barShown = false;
    std::chrono::steady_clock::time_point _lastDraw;
    // Plain-line mode: the last comment printed and the tenth of the way printed with it.
    std::string _lastPlainComment;
    int _lastPlainTenth = -1;
};

} // namespace ZipSyncCli

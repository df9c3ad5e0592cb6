// The process-wide logger and the one exception type of the program.
//
// Every message goes through g_logger. A message at sevError is written and then thrown as
// ErrorException; sevFatal is written and then ends the process. There is no filtering by
// severity. g_logger starts as a LoggerConsole created by static initialisation; the
// application may replace it (deleting the old one) while no other thread logs. The logger
// takes no lock: each destination receives a whole line in one stdio call.
#pragma once

#include <stdarg.h>
#include <stdexcept>
#include <string>

namespace ZipSync {

enum LogSeverity {
    sevDebug = 2,
    sevInfo = 3,
    sevWarning = 4,
    sevError = 5,
    sevFatal = 6,
};

// Lets a catcher tell kinds of errors apart; the loggers themselves ignore it.
enum LogCode {
    lcNone = 0,
    lcGeneral = 1,
    lcCantOpenFile = 2,
    lcMinizipError = 3,
    lcUserInterrupt = 4,
    lcDownloadTimeout = 5,
    lcRenameZipWithoutRepack = 6,
    lcRepackZip = 7,
};

// what() is the formatted message without severity prefix or newline.
class ErrorException : public std::runtime_error {
public:
    ErrorException(const char* message, LogCode code = lcNone) : std::runtime_error(message), code(code) {}
    LogCode code;
};

// Prefix written before a message of the given severity ("ERROR: " etc., or "").
const char* SeverityPrefix(int severity);

class Logger {
public:
    virtual ~Logger() = default;
    // Writes one finished message (no trailing newline).
    virtual void Message(LogCode code, LogSeverity severity, const char* message) = 0;

    // The single path of every message: formats into a 16384-byte buffer (longer output is
    // cut to 16383 characters), escapes control characters other than line breaks (see
    // EscapeControlChars), calls Message, then throws at sevError (the exception carries the
    // escaped text) and terminates at sevFatal.
    void logv(LogSeverity severity, LogCode code, const char* format, va_list args);

    void debugf(const char* format, ...);
    void infof(const char* format, ...);
    void infof(LogCode code, const char* format, ...);
    void warningf(const char* format, ...);
    void warningf(LogCode code, const char* format, ...);
    [[noreturn]] void errorf(const char* format, ...);
    [[noreturn]] void errorf(LogCode code, const char* format, ...);
};

// Prints prefix and message as one line to stdout, without flushing.
class LoggerConsole : public Logger {
public:
    void Message(LogCode code, LogSeverity severity, const char* message) override;
};

extern Logger* g_logger;

// While an object of this type lives, errors raised on its thread are thrown without being
// written: the caller catches them and reports or handles them itself, so that one failure
// does not show up twice. RunParallel carries the scope over to its worker threads. Other
// severities are written as usual.
class ErrorsReportedByCaller {
public:
    ErrorsReportedByCaller();
    ~ErrorsReportedByCaller();
    ErrorsReportedByCaller(const ErrorsReportedByCaller&) = delete;
    ErrorsReportedByCaller& operator=(const ErrorsReportedByCaller&) = delete;
    // Whether such a scope is alive on the calling thread.
    static bool Active();
};

// printf into a std::string through a 16384-byte buffer; longer results are cut to 16383.
std::string FormatString(const char* format, ...);
std::string FormatStringV(const char* format, va_list args);

// text with every control character (below 0x20, and 0x7f) written as an escape: "\\r", "\\n",
// "\\t" or "\\xNN". Names from archives and servers pass through it before they are shown, so
// that a carriage return or line break in a name cannot overwrite or forge a line of output.
std::string EscapeControlChars(const std::string& text);
// The first maxChars characters of text as they can be shown in a message about bad input:
// control characters escaped as by EscapeControlChars, and so is every byte that is not part of
// well-formed UTF-8; a longer text is cut and ends in "...". An escape counts as one character.
std::string ExcerptForMessage(const std::string& text, size_t maxChars);

// The system's text for an error number (strerror), for messages: "No space left on device".
std::string ErrnoText(int error);

[[noreturn]] void AssertFailed(const char* condition, const char* file, int line);

} // namespace ZipSync

// Raises "Assertion %s failed in %s on line %d" (lcGeneral) when the condition is false, naming
// the source file without its directories. The condition is written as text, so any character
// may appear in it.
#define ZipSyncAssert(condition)                                                                             \
    do {                                                                                                     \
        if (!(condition)) ZipSync::AssertFailed(#condition, __FILE__, __LINE__);                             \
    } while (0)

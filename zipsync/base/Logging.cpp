#include "base/Logging.h"

#include <exception>
#include <stdio.h>
#include <system_error>

namespace ZipSync {

static const size_t kMessageBufferSize = 16384;

static LoggerConsole* CreateConsoleLogger() {
    return new LoggerConsole();
}
Logger* g_logger = CreateConsoleLogger();

const char* SeverityPrefix(int severity) {
    switch (severity) {
    case sevFatal:
        return "FATAL: ";
    case sevError:
        return "ERROR: ";
    case sevWarning:
        return "Warning: ";
    default:
        return "";
    }
}

std::string FormatStringV(const char* format, va_list args) {
    char buffer[kMessageBufferSize];
    vsnprintf(buffer, sizeof(buffer), format, args);
    buffer[sizeof(buffer) - 1] = 0;
    return buffer;
}

std::string FormatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string result = FormatStringV(format, args);
    va_end(args);
    return result;
}

static const char* EscapeOf(unsigned char ch) {
    switch (ch) {
    case '\r':
        return "\\r";
    case '\n':
        return "\\n";
    case '\t':
        return "\\t";
    default:
        return nullptr;
    }
}

static std::string Escape(const std::string& text, bool keepLineBreaks) {
    std::string result;
    result.reserve(text.size());
    for (unsigned char ch : text) {
        if ((ch >= 0x20 && ch != 0x7f) || (keepLineBreaks && ch == '\n')) {
            result += char(ch);
        } else if (const char* escape = EscapeOf(ch)) {
            result += escape;
        } else {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02x", ch);
            result += hex;
        }
    }
    return result;
}

std::string EscapeControlChars(const std::string& text) {
    return Escape(text, false);
}

std::string ErrnoText(int error) {
    return std::generic_category().message(error);
}

// Length of the well-formed UTF-8 sequence of two to four bytes that begins at text[pos]; 0 when
// none begins there (a stray continuation byte, an overlong form, a surrogate, a cut sequence).
static size_t Utf8SequenceLength(const std::string& text, size_t pos) {
    unsigned char lead = text[pos];
    // Allowed range of the second byte; the later ones are always 0x80..0xBF.
    unsigned char low = 0x80, high = 0xBF;
    size_t length;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (pos + length > text.size()) return 0;
    for (size_t i = 1; i < length; i++) {
        unsigned char ch = text[pos + i];
        if (ch < (i == 1 ? low : 0x80) || ch > (i == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

std::string ExcerptForMessage(const std::string& text, size_t maxChars) {
    std::string result;
    size_t chars = 0;
    for (size_t pos = 0; pos < text.size(); chars++) {
        if (chars == maxChars) return result + "...";
        unsigned char ch = text[pos];
        size_t length = ch < 0x80 ? 1 : Utf8SequenceLength(text, pos);
        if (length > 1 || (length == 1 && ch >= 0x20 && ch != 0x7f)) {
            result.append(text, pos, length);
            pos += length;
            continue;
        }
        const char* escape = EscapeOf(ch);
        char hex[8];
        snprintf(hex, sizeof(hex), "\\x%02x", ch);
        result += escape ? escape : hex;
        pos++;
    }
    return result;
}

// Depth of ErrorsReportedByCaller scopes on this thread.
static thread_local int t_errorsReportedByCaller = 0;

ErrorsReportedByCaller::ErrorsReportedByCaller() {
    t_errorsReportedByCaller++;
}

ErrorsReportedByCaller::~ErrorsReportedByCaller() {
    t_errorsReportedByCaller--;
}

bool ErrorsReportedByCaller::Active() {
    return t_errorsReportedByCaller > 0;
}

void Logger::logv(LogSeverity severity, LogCode code, const char* format, va_list args) {
    // Messages of several lines keep their line breaks; every other control character would
    // move the cursor or hide text on a terminal.
    std::string message = Escape(FormatStringV(format, args), true);
    if (message.size() >= kMessageBufferSize) message.resize(kMessageBufferSize - 1);
    if (severity != sevError || !ErrorsReportedByCaller::Active()) Message(code, severity, message.c_str());
    if (severity == sevFatal) std::terminate();
    if (severity == sevError) throw ErrorException(message.c_str(), code);
}

#define ZS_FORWARD(severity, code)                                                                           \
    va_list args;                                                                                            \
    va_start(args, format);                                                                                  \
    logv(severity, code, format, args);                                                                      \
    va_end(args);

void Logger::debugf(const char* format, ...) {
    ZS_FORWARD(sevDebug, lcNone)
}
void Logger::infof(const char* format, ...) {
    ZS_FORWARD(sevInfo, lcNone)
}
void Logger::infof(LogCode code, const char* format, ...) {
    ZS_FORWARD(sevInfo, code)
}
void Logger::warningf(const char* format, ...) {
    ZS_FORWARD(sevWarning, lcNone)
}
void Logger::warningf(LogCode code, const char* format, ...) {
    ZS_FORWARD(sevWarning, code)
}
void Logger::errorf(const char* format, ...) {
    ZS_FORWARD(sevError, lcNone)
    std::terminate(); // unreachable: logv throws at sevError
}
void Logger::errorf(LogCode code, const char* format, ...) {
    ZS_FORWARD(sevError, code)
    std::terminate();
}

#undef ZS_FORWARD

void LoggerConsole::Message(LogCode code, LogSeverity severity, const char* message) {
    printf("%s%s\n", SeverityPrefix(severity), message);
}

void AssertFailed(const char* condition, const char* file, int line) {
    // __FILE__ is the path on the machine that built the program; users need only the name.
    const char* name = file;
    for (const char* p = file; *p; p++)
        if (*p == '/' || *p == '\\') name = p + 1;
    // The file name may hold a '%', so the finished text must not become a format string.
    g_logger->errorf(lcGeneral, "Assertion %s failed in %s on line %d", condition, name, line);
}

} // namespace ZipSync

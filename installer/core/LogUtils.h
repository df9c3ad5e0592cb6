// The installer's logger and its time-stamped file names.
//
// LoggerQmh writes every message to standard output (flushed), to the platform's debugger
// output when a debugger is attached (there is none on POSIX), and to the installer's log file
// once OpenLogFile has opened it. The log file and the debugger flag are process-wide: every
// LoggerQmh object shares them, so replacing g_logger by a new LoggerQmh continues the same
// file. The file is never closed explicitly; each line is flushed at once and the C runtime
// releases the stream at exit.
#pragma once

#include "base/Logging.h"

#include <string>

class LoggerQmh : public ZipSync::Logger {
public:
    void Message(ZipSync::LogCode code, ZipSync::LogSeverity severity, const char* message) override;

    // Creates "qmh_installer_<seconds since 1970>.log" in the working directory, writes its
    // header and deletes the log files there that are more than 30 days older than the new one.
    // Does nothing when a log file is already open. Throws ErrorException("cannot open log
    // file", lcCantOpenFile) when the file cannot be created; a stale log that cannot be
    // deleted raises std::filesystem::filesystem_error after its "Removing old logfile" line.
    void OpenLogFile();
    // OpenLogFile with `now` (seconds since 1970) standing for the current time.
    void OpenLogFileAt(long long now);
};

// Whether name (relative to the working directory) is one of the installer's log files:
// "qmh_installer_", decimal digits, ".log", as OpenLogFile makes them and prunes them.
bool IsLogFileName(const std::string& name);

// Expands a strftime pattern with the UTC time of this function's first call in the process,
// so that every name made in one run carries the same stamp. `description` only names the
// file in the error raised when the expansion is empty or 1023 characters or longer.
std::string FormatFilenameWithDatetime(const char* pattern, const char* description);

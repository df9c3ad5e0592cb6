// Process utilities: the saved command name and the executable's location, the working
// directory, and the test for an elevated process.
//
// The command name is process-wide, saved once by the entry point with SetArgv0; the
// functions that derive the executable's location fail the assertion "!_argv0.empty()" before
// that. Path failures raise the file-system layer's own std::filesystem::filesystem_error.
// Paths are returned with '/' separators.
#pragma once

#include <string>

// Logs "Save command line of current process" and stores the program's own name (argv[0]).
void SetArgv0(const char* argv0);
// The saved command name made absolute and canonical. A name without '/' was found through
// PATH (or is otherwise not a path), so the running executable's own path is used instead.
std::string GetExecutablePath();
// Parent directory of GetExecutablePath().
std::string GetExecutableDir();
// File-name component of the saved command name.
std::string GetExecutableName();

std::string GetCwd();
// Makes `dir` the working directory. Returns false, after logging a warning, when it is not
// an existing directory or the working directory read back differs from `dir`.
bool SetCwd(const std::string& dir);

// True exactly for an elevated process (on POSIX: effective user id 0).
bool IsRunningAsAdmin();

// What the test fixtures need from the operating system: scratch directories, a shell, Linux
// programs started, waited for and signalled by process id, programs run to their end with their
// output captured, and loopback ports.
//
// On Linux the fixtures call the system. The Windows test binaries run under Wine
// (scripts/wine.sh) and keep every file under Z:/tmp, which is /tmp for Linux programs (Wine's
// drive Z: is the Linux root); the Linux programs they need (web servers, the Python fixtures,
// zip, a shell) are started by tests/support/unix_bridge.py on their behalf, which
// scripts/wine.sh runs beside each test binary, and which reads "Z:/" in their arguments as "/".
#pragma once

#include <string>
#include <vector>

// The id of this process (to tell a forked copy of a test from its parent).
int CurrentProcessId();
// A new directory "/tmp/<tag>_XXXXXX" ("Z:/tmp/<tag>_XXXXXX" under Wine, where Z: is the Linux
// root); throws std::runtime_error when it cannot be made.
std::string MakeScratchDirectory(const std::string& tag);
// The path as a Linux program names it: "Z:/tmp/x" is "/tmp/x" (paths given to the bridge are
// translated by it; this is for paths written into files, such as a server's configuration).
std::string LinuxPath(const std::string& path);
// Removes a scratch directory with everything in it, never what a link in it points at; quiet.
void RemoveScratchDirectory(const std::string& path);

// Whether the Linux programs run as root.
bool LinuxUserIsRoot();

// Runs a command of the POSIX shell; returns its exit status, -1 if it did not exit normally.
int RunShellCommand(const std::string& command);

// A Linux program (argv[0] looked up in PATH), its stdout and stderr appended to outputFile (or
// discarded when empty), cwd empty for ours, env "NAME=value" entries added. Returns its
// process id; throws std::runtime_error when it cannot be started.
long StartLinuxProgram(const std::vector<std::string>& argv, const std::string& outputFile,
                       const std::string& cwd = "", const std::vector<std::string>& env = {});
// Waits at most `seconds` for it: its exit code, 128 + signal, or -1 while it runs.
int WaitLinuxProgram(long pid, double seconds);
void SignalLinuxProgram(long pid, int signal);

// Runs a program of the platform under test (a Windows program in the Windows build) with
// stdin empty and stdout and stderr written to the two files, env entries added and cwd (when
// not empty) as its working directory; waits for it, ending it after timeoutSeconds. Returns
// its exit status, 128 + signal on Linux when a signal ended it.
int RunProgramCapturing(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                        const std::string& cwd, const std::string& outPath, const std::string& errPath,
                        unsigned timeoutSeconds);

#ifdef _WIN32
// Starts a Windows program as RunProgramCapturing does (outPath empty: the output is dropped;
// errPath equal to outPath: both go to that file) without waiting for it. Returns its process
// handle, which the caller closes, or null when it did not start.
void* StartWindowsProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          const std::string& cwd, const std::string& outPath, const std::string& errPath);
#endif

// Whether the Linux program at this absolute path exists and may be run.
bool LinuxProgramExists(const std::string& path);

// A TCP port on 127.0.0.1 that was free a moment ago (the kernel's choice for port 0).
int FindFreePort();
// True when a TCP connection to 127.0.0.1:port succeeds.
bool PortAcceptsConnections(int port);
// Sleeps the given number of milliseconds.
void SleepMs(int milliseconds);

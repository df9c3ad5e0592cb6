// A program started by a test, optionally as the unprivileged user "nobody", watched and
// ended by its process id (Windows: by its process handle).
//
// The installer treats root as elevated, so tests that run it as a user would start it with
// unprivileged = true: when the test runs as root the program is started through
// `setpriv --reuid=nobody --regid=nogroup --clear-groups` (which keeps the process id). The
// Windows tests run under Wine, which reports every process as elevated whatever the user:
// there unprivileged changes nothing, and the installer is told "--allow-admin" instead.
#pragma once

#include <string>
#include <vector>
#ifndef _WIN32
#include <sys/types.h>
#endif

struct ChildOptions {
    std::vector<std::string> argv; // argv[0] is the program; searched in PATH when it has no '/'
    std::string cwd;               // working directory of the child (empty: inherit)
    std::vector<std::string> env;  // "NAME=value" entries added to (or replacing in) the environment
    std::string outputPath;        // stdout and stderr go to this file (empty: discarded)
    bool unprivileged = false;
};

class ChildProcess {
public:
    explicit ChildProcess(const ChildOptions& options);
    ~ChildProcess(); // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits at most `seconds` for the child to end. Returns its exit code, 128 + signal when
    // a signal ended it, or -1 when it still runs.
    int Wait(double seconds);
    bool Running();
    // SIGKILL (Windows: TerminateProcess) and reap.
    void Kill();
#ifndef _WIN32
    pid_t pid() const {
        return _pid;
    }
    // The child's current working directory as the kernel reports it (empty if unknown).
    std::string Cwd() const;
#endif

private:
#ifdef _WIN32
    void* _process = nullptr; // its handle
#else
    pid_t _pid = -1;
#endif
    int _status = -1;
    bool _reaped = false;
};

// Gives an existing directory to the user "nobody" (when running as root; Windows: when the
// Linux programs run as root), so that an unprivileged child can write there.
void GiveToUnprivilegedUser(const std::string& dir);
// True when ChildOptions::unprivileged really changes the user (the tests run as root).
bool CanDropPrivileges();

// A program started by a test, optionally as the unprivileged user "nobody", watched and
// ended by its process id.
//
// The installer treats root as elevated, so tests that run it as a user would start it with
// unprivileged = true: when the test runs as root the program is started through
// `setpriv --reuid=nobody --regid=nogroup --clear-groups` (which keeps the process id).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct ChildOptions {
    std::vector<std::string> argv; // argv[0] is the program; searched in PATH when it has no '/'
    std::string cwd;               // working directory of the child (empty: inherit)
    std::vector<std::string> env;  // "NAME=value" entries added to (or replacing in) the environment
    std::string outputPath;        // stdout and stderr go to this file (empty: /dev/null)
    bool unprivileged = false;
};

class ChildProcess {
public:
    explicit ChildProcess(const ChildOptions& options);
    ~ChildProcess(); // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return _pid; }
    // Waits at most `seconds` for the child to end. Returns its exit code, 128 + signal when
    // a signal ended it, or -1 when it still runs.
    int Wait(double seconds);
    bool Running();
    // SIGKILL and reap.
    void Kill();
    // The child's current working directory as the kernel reports it (empty if unknown).
    std::string Cwd() const;

private:
    pid_t _pid = -1;
    int _status = -1;
    bool _reaped = false;
};

// Gives an existing directory to the user "nobody" (when running as root), so that an
// unprivileged child can write there.
void GiveToUnprivilegedUser(const std::string& dir);
// True when ChildOptions::unprivileged really changes the user (the tests run as root).
bool CanDropPrivileges();

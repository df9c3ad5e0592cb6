// A child process that a test starts and stops by its process id.
//
// Start runs the program with the given arguments, its stdout and stderr appended to a file;
// the destructor (or Stop) sends SIGTERM, waits, and kills it if it does not end. Nothing is
// ever signalled by name, only the child started here.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

class Subprocess {
public:
    Subprocess() = default;
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    // argv[0] is looked up in PATH. Throws std::runtime_error when fork fails.
    void Start(const std::vector<std::string>& argv, const std::string& outputFile);
    // True while the child has not exited (reaps it when it has).
    bool Running();
    // Terminates the child (no-op when none) and waits for it.
    void Stop();
    pid_t pid() const { return _pid; }

private:
    pid_t _pid = -1;
    // Only the process that started the child stops it: a forked copy of the test that ends
    // through exit() leaves it alone.
    pid_t _owner = -1;
};

// A TCP port on 127.0.0.1 that was free a moment ago (the kernel's choice for port 0).
int FindFreePort();
// True when a TCP connection to 127.0.0.1:port succeeds.
bool PortAcceptsConnections(int port);
// Sleeps the given number of milliseconds.
void SleepMs(int milliseconds);

// A Linux program that a test starts and stops by its process id (a web server, the fault
// server; under Wine through the bridge, see TestOs.h).
//
// Start runs the program with the given arguments, its stdout and stderr appended to a file;
// the destructor (or Stop) sends SIGTERM, waits, and kills it if it does not end. Nothing is
// ever signalled by name, only the child started here.
#pragma once

#include "TestOs.h"

#include <string>
#include <vector>

class Subprocess {
public:
    Subprocess() = default;
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    // argv[0] is looked up in PATH. Throws std::runtime_error when it cannot be started.
    void Start(const std::vector<std::string>& argv, const std::string& outputFile);
    // True while the child has not exited (reaps it when it has).
    bool Running();
    // Terminates the child (no-op when none) and waits for it.
    void Stop();
    long pid() const { return _pid; }

private:
    long _pid = -1;
    // Only the process that started the child stops it: a forked copy of the test that ends
    // through exit() leaves it alone.
    int _owner = -1;
};

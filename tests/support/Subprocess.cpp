#include "Subprocess.h"

#include "TestOs.h"

#include <signal.h>

#ifndef SIGKILL
#define SIGKILL 9 // a Linux signal, sent through the bridge by the Windows tests
#endif

Subprocess::~Subprocess() {
    Stop();
}

void Subprocess::Start(const std::vector<std::string>& argv, const std::string& outputFile) {
    Stop();
    _pid = StartLinuxProgram(argv, outputFile);
    _owner = CurrentProcessId();
}

bool Subprocess::Running() {
    if (_pid <= 0) return false;
    if (WaitLinuxProgram(_pid, 0) >= 0) {
        _pid = -1;
        return false;
    }
    return true;
}

void Subprocess::Stop() {
    if (_pid <= 0 || CurrentProcessId() != _owner) return;
    SignalLinuxProgram(_pid, SIGTERM);
    if (WaitLinuxProgram(_pid, 5) < 0) {
        SignalLinuxProgram(_pid, SIGKILL);
        WaitLinuxProgram(_pid, 3600);
    }
    _pid = -1;
}

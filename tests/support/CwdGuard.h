// Restores the working directory of the test process when a test changed it.
#pragma once

#include <filesystem>

class CwdGuard {
public:
    CwdGuard() : _saved(std::filesystem::current_path()) {}
    ~CwdGuard() { std::filesystem::current_path(_saved); }
    CwdGuard(const CwdGuard&) = delete;
    CwdGuard& operator=(const CwdGuard&) = delete;

private:
    std::filesystem::path _saved;
};

// A scratch directory owned by a test server fixture, removed with its contents on destruction.
// (TempDir needs GoogleTest; the server fixtures are also used by benchmarks without it.)
#pragma once

#include "TestOs.h"

#include <string>

class ServerDir {
public:
    explicit ServerDir(const char* tag);
    ~ServerDir();
    ServerDir(const ServerDir&) = delete;
    ServerDir& operator=(const ServerDir&) = delete;
    const std::string& path() const { return _path; }

private:
    std::string _path;
    // A forked copy of the test that ends through exit() leaves the directory to its owner.
    int _owner;
};

// Whole contents of a file, empty when it cannot be read.
std::string ReadWholeFileOrEmpty(const std::string& path);
// Replaces the file's contents; throws std::runtime_error on failure.
void WriteWholeFile(const std::string& path, const std::string& bytes);

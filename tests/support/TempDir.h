// A fresh directory under /tmp for one test, removed with everything in it on destruction.
#pragma once

#include "TestOs.h"

#include <string>

class TempDir {
public:
    explicit TempDir(const char* tag = "qmhtest");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return _path; }
    // path() + "/" + relative
    std::string operator/(const std::string& relative) const { return _path + "/" + relative; }

private:
    std::string _path;
    // A forked copy of the test that ends through exit() leaves the directory to its owner.
    int _owner;
};

// Writes bytes to a file, creating missing parent directories.
void WriteTestFile(const std::string& path, const std::string& bytes);
// Whole contents of a file; fails the current test if it cannot be read.
std::string ReadTestFile(const std::string& path);

#include "TempDir.h"

#include "TestOs.h"
#include "base/Utils.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

TempDir::TempDir(const char* tag) : _path(MakeScratchDirectory(tag)), _owner(CurrentProcessId()) {}

TempDir::~TempDir() {
    if (CurrentProcessId() == _owner) RemoveScratchDirectory(_path);
}

void WriteTestFile(const std::string& path, const std::string& bytes) {
    // Through the engine's platform file: UTF-8 names, also on Windows.
    fs::path p = ZipSync::FsPath(path);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    ZipSync::StdioFileHolder out(ZipSync::OpenStdioFile(path, "wb"));
    ASSERT_TRUE(out && fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size() && out.reset() == 0)
        << "cannot write " << path;
}

std::string ReadTestFile(const std::string& path) {
    ZipSync::StdioFileHolder in(ZipSync::OpenStdioFile(path, "rb"));
    EXPECT_TRUE(in) << "cannot read " << path;
    std::string bytes;
    char buffer[65536];
    for (size_t got; in && (got = fread(buffer, 1, sizeof(buffer), in)) > 0;) bytes.append(buffer, got);
    return bytes;
}

// Running the zipsync binary from the tool tests, and archives in the engine's normal form.
//
// RunZipsync starts build/bin/zipsync (zipsync.exe in a Windows build) with the given arguments
// in a child process (no shell), waits for it and returns its exit status and what it wrote to
// stdout and stderr separately. A run that has not ended after kToolPatience seconds (a tool
// that hangs) is ended (by SIGALRM on Linux).
#pragma once

#include "TempDir.h"
#include "zip/ZipHolders.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

struct ToolResult {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

// Seconds; only a bound for a tool that hangs, far beyond any run's time.
const unsigned kToolPatience = 300;

inline std::string ZipsyncBinary() {
    return std::string(TESTS_BIN_DIR) + "/zipsync" + TESTS_EXECUTABLE_SUFFIX;
}

// env: "NAME=value" entries set in the child only.
inline ToolResult RunZipsync(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                             const std::string& cwd = "") {
    TempDir capture("zstool");
    std::string outPath = capture / "out", errPath = capture / "err";
    std::vector<std::string> argv = {ZipsyncBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    ToolResult result;
    result.status = RunProgramCapturing(argv, env, cwd, outPath, errPath, kToolPatience);
    result.out = ReadTestFile(outPath);
    result.err = ReadTestFile(errPath);
    return result;
}

// For failure messages: everything the tool wrote.
inline std::string Dump(const ToolResult& result) {
    return "status " + std::to_string(result.status) + "\n--- stdout:\n" + result.out + "--- stderr:\n" +
           result.err;
}

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct TestEntry {
    std::string name;
    std::string data;
    bool deflate = true;
};

// Writes an archive of the accepted subset through the engine's own zip writer.
inline void WriteNormalZip(const std::string& path, const std::vector<TestEntry>& entries) {
    std::string dir = path.substr(0, path.rfind('/'));
    RunShellCommand("mkdir -p '" + dir + "'");
    ZipSync::ZipFileHolder zf(path);
    for (const TestEntry& entry : entries) {
        zip_fileinfo info = {};
        info.dosDate = 0x52345678;
        zf.OpenNewFile(entry.name.c_str(), info, entry.deflate ? Z_DEFLATED : 0, entry.deflate ? 6 : 0,
                       false);
        zf.WriteInFile(entry.data.data(), entry.data.size());
        zf.CloseFile();
    }
    zf.Close();
}

// Deterministic text that deflates well, distinct for every seed.
inline std::string TestText(int seed, size_t size) {
    std::string text;
    unsigned x = 2166136261u ^ (unsigned)seed;
    while (text.size() < size) {
        x = x * 1103515245u + 12345u;
        text += "word" + std::to_string((x >> 16) % 97) + ((x & 7) == 0 ? "\n" : " ");
    }
    text.resize(size);
    return text;
}

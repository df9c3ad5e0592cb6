#include "ServerDir.h"

#include "TestOs.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

ServerDir::ServerDir(const char* tag) : _path(MakeScratchDirectory(tag)), _owner(CurrentProcessId()) {}

ServerDir::~ServerDir() {
    if (CurrentProcessId() == _owner) RemoveScratchDirectory(_path);
}

std::string ReadWholeFileOrEmpty(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), bytes.size());
    if (!out.good()) throw std::runtime_error("cannot write " + path);
}

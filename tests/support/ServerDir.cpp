#include "ServerDir.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

ServerDir::ServerDir(const char* tag) : _owner(getpid()) {
    std::string pattern = std::string("/tmp/") + tag + "_XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    _path = pattern;
}

ServerDir::~ServerDir() {
    if (getpid() != _owner) return;
    std::error_code ec;
    std::filesystem::remove_all(_path, ec);
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

int RunShellCommand(const std::string& command) {
    int status = system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

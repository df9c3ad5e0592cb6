#include "FaultServer.h"

#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

#ifndef TESTS_SOURCE_DIR
#error TESTS_SOURCE_DIR must name the tests directory
#endif

FaultServer::FaultServer() : _dir("qmhfault") {
    std::filesystem::create_directory(Root());
    std::string portFile = _dir.path() + "/port";
    // Debian's interpreter when present: wrappers in PATH (version managers) cost a second each.
    std::string python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    _process.Start({python, std::string(TESTS_SOURCE_DIR) + "/support/fault_server.py", "--root", Root(),
                    "--log", _dir.path() + "/requests.log", "--port-file", portFile},
                   _dir.path() + "/server.out");
    for (int i = 0; i < 1000; i++) {
        std::string text = ReadWholeFileOrEmpty(portFile);
        if (!text.empty()) {
            _port = std::stoi(text);
            return;
        }
        if (!_process.Running()) break;
        SleepMs(10);
    }
    std::string output = ReadWholeFileOrEmpty(_dir.path() + "/server.out");
    _process.Stop();
    throw std::runtime_error("fault server did not start: " + output);
}

FaultServer::~FaultServer() {
    _process.Stop();
}

void FaultServer::AddFile(const std::string& name, const std::string& bytes) const {
    std::filesystem::path path = Root() + "/" + name;
    std::filesystem::create_directories(path.parent_path());
    WriteWholeFile(path.string(), bytes);
}

std::string FaultServer::Url(const std::string& mode, const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(_port) + "/" + mode + "/" + name;
}

std::vector<FaultServer::Request> FaultServer::Requests() const {
    std::vector<Request> requests;
    std::istringstream lines(ReadWholeFileOrEmpty(_dir.path() + "/requests.log"));
    std::string line;
    while (std::getline(lines, line)) {
        size_t tab = line.find('\t'), second = line.find('\t', tab + 1);
        if (second == std::string::npos) continue;
        requests.push_back(
            {line.substr(0, tab), line.substr(tab + 1, second - tab - 1), line.substr(second + 1)});
    }
    return requests;
}

std::vector<std::string> FaultServer::RangeHeaders(const std::string& path) const {
    std::vector<std::string> ranges;
    for (const Request& request : Requests())
        if (path.empty() || request.path == path) ranges.push_back(request.range);
    return ranges;
}

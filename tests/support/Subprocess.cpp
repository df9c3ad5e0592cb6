#include "Subprocess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

Subprocess::~Subprocess() {
    Stop();
}

void Subprocess::Start(const std::vector<std::string>& argv, const std::string& outputFile) {
    Stop();
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int fd = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    _pid = pid;
    _owner = getpid();
}

bool Subprocess::Running() {
    if (_pid <= 0) return false;
    int status;
    if (waitpid(_pid, &status, WNOHANG) == _pid) {
        _pid = -1;
        return false;
    }
    return true;
}

void Subprocess::Stop() {
    if (_pid <= 0 || getpid() != _owner) return;
    kill(_pid, SIGTERM);
    int status;
    for (int i = 0; i < 500; i++) {
        if (waitpid(_pid, &status, WNOHANG) == _pid) {
            _pid = -1;
            return;
        }
        SleepMs(10);
    }
    kill(_pid, SIGKILL);
    waitpid(_pid, &status, 0);
    _pid = -1;
}

int FindFreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t length = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        close(fd);
        throw std::runtime_error("bind failed");
    }
    close(fd);
    return ntohs(addr.sin_port);
}

bool PortAcceptsConnections(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

void SleepMs(int milliseconds) {
    timespec ts = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

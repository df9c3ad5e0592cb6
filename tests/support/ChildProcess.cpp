#include "ChildProcess.h"

#include "TestOs.h"

#ifdef _WIN32

#include <windows.h>

bool CanDropPrivileges() {
    return false;
}

void GiveToUnprivilegedUser(const std::string& dir) {
    if (LinuxUserIsRoot()) RunShellCommand("chown nobody:nogroup '" + LinuxPath(dir) + "'");
}

ChildProcess::ChildProcess(const ChildOptions& options)
    : _process(StartWindowsProgram(options.argv, options.env, options.cwd, options.outputPath,
                                   options.outputPath)) {}

ChildProcess::~ChildProcess() {
    Kill();
    if (_process) CloseHandle(_process);
}

int ChildProcess::Wait(double seconds) {
    if (!_process) return -1;
    if (!_reaped) {
        if (WaitForSingleObject(_process, DWORD(seconds * 1000)) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(_process, &code);
        _status = int(code);
        _reaped = true;
    }
    return _status;
}

bool ChildProcess::Running() {
    return _process && Wait(0) == -1;
}

void ChildProcess::Kill() {
    if (!_process || _reaped) return;
    TerminateProcess(_process, 128 + 9);
    Wait(3600);
}

#else

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; e++) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& x : extra)
            if (x.substr(0, x.find('=')) == name) replaced = true;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

} // namespace

bool CanDropPrivileges() {
    return geteuid() == 0;
}

void GiveToUnprivilegedUser(const std::string& dir) {
    if (!CanDropPrivileges()) return;
    struct passwd* user = getpwnam("nobody");
    struct group* group = getgrnam("nogroup");
    if (!user || !group) return;
    if (chown(dir.c_str(), user->pw_uid, group->gr_gid) != 0) perror("chown");
}

ChildProcess::ChildProcess(const ChildOptions& options) {
    std::vector<std::string> argv;
    if (options.unprivileged && CanDropPrivileges())
        argv = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
    argv.insert(argv.end(), options.argv.begin(), options.argv.end());
    std::vector<std::string> env = MergedEnvironment(options.env);
    std::vector<char*> argvPtrs = Pointers(argv);
    std::vector<char*> envPtrs = Pointers(env);

    fflush(stdout);
    fflush(stderr);
    _pid = fork();
    if (_pid == 0) {
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
        const char* out = options.outputPath.empty() ? "/dev/null" : options.outputPath.c_str();
        int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        // The caller's PATH decides where setpriv and the program are found.
        environ = envPtrs.data();
        execvp(argvPtrs[0], argvPtrs.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess() {
    if (_pid > 0 && !_reaped) Kill();
}

int ChildProcess::Wait(double seconds) {
    if (_pid <= 0) return -1;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (!_reaped) {
        int status = 0;
        pid_t r = waitpid(_pid, &status, WNOHANG);
        if (r == _pid) {
            _reaped = true;
            _status = status;
            break;
        }
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) * 1e-9 >= seconds) return -1;
        usleep(20000);
    }
    if (WIFEXITED(_status)) return WEXITSTATUS(_status);
    if (WIFSIGNALED(_status)) return 128 + WTERMSIG(_status);
    return -1;
}

bool ChildProcess::Running() {
    return Wait(0) == -1 && !_reaped;
}

void ChildProcess::Kill() {
    if (_pid <= 0 || _reaped) return;
    kill(_pid, SIGKILL);
    int status = 0;
    if (waitpid(_pid, &status, 0) == _pid) {
        _reaped = true;
        _status = status;
    }
}

std::string ChildProcess::Cwd() const {
    char buffer[4096];
    std::string link = "/proc/" + std::to_string(_pid) + "/cwd";
    ssize_t n = readlink(link.c_str(), buffer, sizeof(buffer) - 1);
    if (n < 0) return "";
    return std::string(buffer, n);
}

#endif

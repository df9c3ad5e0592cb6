#include "TestOs.h"

#include <filesystem>
#include <stdexcept>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

void RemoveScratchDirectory(const std::string& path) {
#ifdef _WIN32
    // Wine shows a Unix link to a directory as that directory, and removing its contents would
    // reach into the directory linked to: Linux's rm removes the link alone.
    try {
        if (WaitLinuxProgram(StartLinuxProgram({"rm", "-rf", "--", path}, ""), 600) == 0) return;
    } catch (const std::exception&) {
        // No bridge (the binary runs without scripts/wine.sh): what Windows can do.
    }
#endif
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

bool LinuxUserIsRoot() {
#ifdef _WIN32
    static bool root = RunShellCommand("test \"$(id -u)\" = 0") == 0;
    return root;
#else
    return geteuid() == 0;
#endif
}

#ifdef _WIN32

namespace {

// Winsock for the whole process, started on first use.
void StartWinsock() {
    static bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) throw std::runtime_error("WSAStartup failed");
}

// Sole owner of a socket.
struct SocketHolder {
    SOCKET s;
    ~SocketHolder() {
        if (s != INVALID_SOCKET) closesocket(s);
    }
};

sockaddr_in Loopback(int port) {
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(u_short(port));
    return addr;
}

std::string JsonString(const std::string& text) {
    std::string result = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            result += '\\';
            result += char(c);
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            result += escaped;
        } else {
            result += char(c);
        }
    }
    return result + "\"";
}

std::string JsonList(const std::vector<std::string>& items) {
    std::string result = "[";
    for (const std::string& item : items) result += (result.size() > 1 ? "," : "") + JsonString(item);
    return result + "]";
}

// One request to the bridge (see unix_bridge.py): the number of its "ok N" answer.
long AskBridge(const std::string& fields) {
    const char* address = getenv("QMH_UNIX_BRIDGE");
    const char* token = getenv("QMH_UNIX_BRIDGE_TOKEN");
    if (!address || !token)
        throw std::runtime_error("no QMH_UNIX_BRIDGE: run the test through scripts/wine.sh");
    StartWinsock();
    std::string where = address;
    int port = atoi(where.substr(where.rfind(':') + 1).c_str());
    SocketHolder sock{socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)};
    sockaddr_in addr = Loopback(port);
    if (sock.s == INVALID_SOCKET || connect(sock.s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        throw std::runtime_error("cannot reach the bridge at " + where);
    std::string request = "{\"token\":" + JsonString(token) + "," + fields + "}\n";
    if (send(sock.s, request.data(), int(request.size()), 0) != int(request.size()))
        throw std::runtime_error("cannot send to the bridge");
    std::string answer;
    char c;
    while (recv(sock.s, &c, 1, 0) == 1 && c != '\n') answer += c;
    if (answer.compare(0, 3, "ok ") != 0) throw std::runtime_error("bridge: " + answer);
    return atol(answer.c_str() + 3);
}

std::wstring Wide(const std::string& text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(size_t(n), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &wide[0], n);
    return wide;
}

// One argument as the C runtime of the started program splits its command line.
std::wstring QuoteArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring result = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        result.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        result += c;
    }
    return result.append(2 * backslashes, L'\\') + L"\"";
}

HANDLE InheritableFile(const std::string& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    return CreateFileW(Wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The environment block of this process with the entries added (or replaced).
std::wstring EnvironmentBlock(const std::vector<std::string>& extra) {
    std::vector<std::wstring> entries;
    wchar_t* own = GetEnvironmentStringsW();
    for (wchar_t* e = own; *e; e += wcslen(e) + 1) entries.push_back(e);
    FreeEnvironmentStringsW(own);
    for (const std::string& x : extra) {
        std::wstring entry = Wide(x), name = entry.substr(0, entry.find(L'=') + 1);
        for (auto it = entries.begin(); it != entries.end();)
            it = _wcsnicmp(it->c_str(), name.c_str(), name.size()) == 0 ? entries.erase(it) : it + 1;
        entries.push_back(entry);
    }
    std::wstring block;
    for (const std::wstring& entry : entries) block += entry + L'\0';
    return block + L'\0';
}

} // namespace

int CurrentProcessId() {
    return int(GetCurrentProcessId());
}

std::string MakeScratchDirectory(const std::string& tag) {
    // Z:/tmp is /tmp for the Linux programs.
    static unsigned counter = GetTickCount();
    for (int attempt = 0; attempt < 100; attempt++) {
        char suffix[16];
        snprintf(suffix, sizeof(suffix), "%06x", (GetCurrentProcessId() * 7919u + counter++) & 0xFFFFFF);
        std::string path = "Z:/tmp/" + tag + "_" + suffix;
        if (CreateDirectoryW(Wide(path).c_str(), nullptr)) return path;
    }
    throw std::runtime_error("cannot make a scratch directory for " + tag);
}

std::string LinuxPath(const std::string& path) {
    bool onZ = path.size() >= 3 && (path[0] == 'Z' || path[0] == 'z') && path[1] == ':' && path[2] == '/';
    return onZ ? path.substr(2) : path;
}

int RunShellCommand(const std::string& command) {
    long pid = StartLinuxProgram({"/bin/sh", "-c", command}, "");
    int status = WaitLinuxProgram(pid, 3600);
    return status >= 128 ? -1 : status;
}

long StartLinuxProgram(const std::vector<std::string>& argv, const std::string& outputFile,
                       const std::string& cwd, const std::vector<std::string>& env) {
    std::string envObject = "{";
    for (const std::string& entry : env) {
        size_t eq = entry.find('=');
        envObject += (envObject.size() > 1 ? "," : "") + JsonString(entry.substr(0, eq)) + ":" +
                     JsonString(entry.substr(eq + 1));
    }
    return AskBridge("\"op\":\"run\",\"argv\":" + JsonList(argv) + ",\"output\":" + JsonString(outputFile) +
                     ",\"cwd\":" + JsonString(cwd) + ",\"env\":" + envObject + "}");
}

int WaitLinuxProgram(long pid, double seconds) {
    return int(AskBridge("\"op\":\"wait\",\"pid\":" + std::to_string(pid) +
                         ",\"seconds\":" + std::to_string(seconds)));
}

void SignalLinuxProgram(long pid, int signal) {
    AskBridge("\"op\":\"signal\",\"pid\":" + std::to_string(pid) + ",\"signal\":" + std::to_string(signal));
}

void* StartWindowsProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          const std::string& cwd, const std::string& outPath, const std::string& errPath) {
    std::wstring commandLine;
    for (const std::string& arg : argv)
        commandLine += (commandLine.empty() ? L"" : L" ") + QuoteArgument(Wide(arg));
    HANDLE in = InheritableFile("NUL", GENERIC_READ, OPEN_EXISTING);
    HANDLE out = InheritableFile(outPath.empty() ? "NUL" : outPath, GENERIC_WRITE, CREATE_ALWAYS);
    // One handle for both when they share a file, so that neither overwrites the other.
    HANDLE err = errPath == outPath ? out : InheritableFile(errPath, GENERIC_WRITE, CREATE_ALWAYS);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process = {};
    std::wstring block = EnvironmentBlock(env), dir = Wide(cwd);
    bool started =
        CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                       &block[0], cwd.empty() ? nullptr : dir.c_str(), &startup, &process);
    for (HANDLE h : {in, out, err == out ? INVALID_HANDLE_VALUE : err})
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (!started) return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

int RunProgramCapturing(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                        const std::string& cwd, const std::string& outPath, const std::string& errPath,
                        unsigned timeoutSeconds) {
    HANDLE process = StartWindowsProgram(argv, env, cwd, outPath, errPath);
    if (!process) return -1;
    if (WaitForSingleObject(process, timeoutSeconds * 1000) != WAIT_OBJECT_0)
        TerminateProcess(process, 128 + 14); // as SIGALRM ends it on Linux
    WaitForSingleObject(process, INFINITE);
    DWORD code = DWORD(-1);
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return int(code);
}

bool LinuxProgramExists(const std::string& path) {
    return RunShellCommand("test -x '" + path + "'") == 0;
}

int FindFreePort() {
    StartWinsock();
    SocketHolder sock{socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)};
    sockaddr_in addr = Loopback(0);
    int length = sizeof(addr);
    if (sock.s == INVALID_SOCKET || bind(sock.s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        getsockname(sock.s, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        throw std::runtime_error("bind failed");
    return ntohs(addr.sin_port);
}

bool PortAcceptsConnections(int port) {
    StartWinsock();
    SocketHolder sock{socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)};
    sockaddr_in addr = Loopback(port);
    return sock.s != INVALID_SOCKET && connect(sock.s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
}

void SleepMs(int milliseconds) {
    Sleep(DWORD(milliseconds));
}

#else

extern char** environ;

int CurrentProcessId() {
    return int(getpid());
}

std::string MakeScratchDirectory(const std::string& tag) {
    std::string pattern = "/tmp/" + tag + "_XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

std::string LinuxPath(const std::string& path) {
    return path;
}

int RunShellCommand(const std::string& command) {
    int status = system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

namespace {

// In a forked child: stdin from /dev/null, stdout and stderr to the files (appended or
// truncated), the environment entries, the working directory; then exec.
[[noreturn]] void ExecChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                            const std::string& cwd, const std::string& outPath, const std::string& errPath,
                            int outFlags) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(outPath.empty() ? "/dev/null" : outPath.c_str(), O_WRONLY | O_CREAT | outFlags, 0644);
    int err = errPath == outPath ? out : open(errPath.c_str(), O_WRONLY | O_CREAT | outFlags, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const std::string& entry : env) putenv(strdup(entry.c_str()));
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> raw;
    for (const std::string& arg : argv) raw.push_back(const_cast<char*>(arg.c_str()));
    raw.push_back(nullptr);
    execvp(raw[0], raw.data());
    _exit(127);
}

int StatusCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

long StartLinuxProgram(const std::vector<std::string>& argv, const std::string& outputFile,
                       const std::string& cwd, const std::vector<std::string>& env) {
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) ExecChild(argv, env, cwd, outputFile, outputFile, O_APPEND);
    return long(pid);
}

int WaitLinuxProgram(long pid, double seconds) {
    int status;
    for (double waited = 0;; waited += 0.01) {
        if (waitpid(pid_t(pid), &status, WNOHANG) == pid_t(pid)) return StatusCode(status);
        if (waited >= seconds) return -1;
        SleepMs(10);
    }
}

void SignalLinuxProgram(long pid, int signal) {
    kill(pid_t(pid), signal);
}

int RunProgramCapturing(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                        const std::string& cwd, const std::string& outPath, const std::string& errPath,
                        unsigned timeoutSeconds) {
    pid_t pid = fork();
    if (pid == 0) {
        // The alarm stays set across exec: a program that hangs ends with SIGALRM.
        alarm(timeoutSeconds);
        ExecChild(argv, env, cwd, outPath, errPath, O_TRUNC);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return StatusCode(status);
}

bool LinuxProgramExists(const std::string& path) {
    return access(path.c_str(), X_OK) == 0;
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

#endif

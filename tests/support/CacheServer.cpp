#include "CacheServer.h"

#include "ChildProcess.h"

#include <chrono>
#include <stdexcept>
#include <thread>

std::string CacheServer::Program(Kind kind) {
    const char* path = kind == Varnish ? "/usr/sbin/varnishd" : "/usr/sbin/squid";
    return LinuxProgramExists(path) ? path : "";
}

const char* CacheServer::Package(Kind kind) {
    return kind == Varnish ? "varnish" : "squid";
}

const char* CacheServer::Name(Kind kind) {
    return kind == Varnish ? "Varnish" : kind == Squid ? "Squid" : "Squid (forward proxy)";
}

void CacheServer::WriteSquidConfig(Kind kind, int originPort) const {
    // Squid is a Linux program: it reads the directory by its Linux name.
    std::string d = LinuxPath(_dir.path());
    std::string port = std::to_string(_port);
    std::string config;
    if (kind == Squid)
        config = "http_port 127.0.0.1:" + port +
                 " accel defaultsite=127.0.0.1:" + std::to_string(originPort) +
                 " no-vhost\ncache_peer 127.0.0.1 parent " + std::to_string(originPort) +
                 " 0 no-query originserver name=origin\n";
    else
        config = "http_port 127.0.0.1:" + port + "\n";
    // Loopback only: every client and every port (the tests' servers use free high ports).
    config += "http_access allow all\n"
              "pid_filename " +
              d +
              "/squid.pid\n"
              "cache_log " +
              d +
              "/cache.log\n"
              "access_log stdio:" +
              d +
              "/access.log\n"
              "coredump_dir " +
              d +
              "\n"
              "cache_mem 64 MB\n"
              "maximum_object_size_in_memory 64 MB\n"
              "pinger_enable off\n"
              "shutdown_lifetime 0 seconds\n";
    // As root Squid becomes this user, which must write the logs.
    if (LinuxUserIsRoot()) config += "cache_effective_user nobody\n";
    WriteWholeFile(_dir.path() + "/squid.conf", config);
}

CacheServer::CacheServer(Kind kind, int originPort) : _kind(kind), _dir("qmhcache") {
    const std::string& d = _dir.path();
    std::string program = Program(kind);
    if (program.empty()) throw std::runtime_error(std::string(Name(kind)) + " is not installed");
    for (int attempt = 0; attempt < 5; attempt++) {
        _port = FindFreePort();
        if (kind == Varnish) {
            _process.Start({program, "-F", "-a", "127.0.0.1:" + std::to_string(_port), "-b",
                            "127.0.0.1:" + std::to_string(originPort), "-n", d + "/varnish", "-s",
                            "malloc,64m"},
                           d + "/output.log");
        } else {
            WriteSquidConfig(kind, originPort);
            GiveToUnprivilegedUser(d);
            _process.Start({program, "-N", "-f", d + "/squid.conf"}, d + "/output.log");
        }
        // Varnish compiles its configuration before it listens: that takes a second or two.
        for (int i = 0; i < 3000 && _process.Running(); i++) {
            if (PortAcceptsConnections(_port)) return;
            SleepMs(10);
        }
        _process.Stop();
    }
    throw std::runtime_error(std::string(Name(kind)) +
                             " did not start: " + ReadWholeFileOrEmpty(d + "/output.log") +
                             ReadWholeFileOrEmpty(d + "/cache.log"));
}

CacheServer::~CacheServer() {
    _process.Stop();
}

std::string CacheServer::Url() const {
    return "http://127.0.0.1:" + std::to_string(_port) + "/";
}

std::string CacheServer::AccessLog() const {
    return ReadWholeFileOrEmpty(_dir.path() + "/access.log");
}

std::string CacheServer::AccessLogWith(const std::string& text, double timeoutSeconds) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    std::string log = AccessLog();
    while (log.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        log = AccessLog();
    }
    return log;
}

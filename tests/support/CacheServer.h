// Debian's HTTP caches and proxies as test fixtures on 127.0.0.1: Varnish or Squid as a cache
// in front of an origin server (as a CDN edge or a company cache stands before a mirror), and
// Squid as a forward proxy that clients reach through http_proxy and https_proxy (https through
// CONNECT).
//
// Varnish answers every request for several ranges with 416; Squid passes them to the origin
// while it has not cached the file, and answers them itself with its own multipart text once
// it has. The fixture writes the configuration and logs into a scratch directory it owns,
// starts the program in the foreground as its child and stops it by process id.
#pragma once

#include "ServerDir.h"
#include "Subprocess.h"

#include <string>

class CacheServer {
public:
    enum Kind { Varnish, Squid, SquidForwardProxy };

    // The program, or "" when its Debian package is not installed.
    static std::string Program(Kind kind);
    // The Debian package that brings it, and a name for messages.
    static const char* Package(Kind kind);
    static const char* Name(Kind kind);

    // Starts the cache in front of http://127.0.0.1:originPort/ (ignored for the forward
    // proxy); throws std::runtime_error when it does not come up, with its output.
    CacheServer(Kind kind, int originPort);
    ~CacheServer();
    CacheServer(const CacheServer&) = delete;
    CacheServer& operator=(const CacheServer&) = delete;

    // "http://127.0.0.1:<port>/": the root of the cached site, or the proxy's URL.
    std::string Url() const;
    // Squid's access log so far (one line per request, with the URL or the CONNECT target).
    std::string AccessLog() const;
    // The access log once it holds text, or as it is after timeoutSeconds: Squid writes the line
    // of a tunnel (CONNECT) only when the tunnel has closed, a moment after its client closed it.
    std::string AccessLogWith(const std::string& text, double timeoutSeconds = 10) const;

private:
    void WriteSquidConfig(Kind kind, int originPort) const;

    Kind _kind;
    ServerDir _dir;
    Subprocess _process;
    int _port = 0;
};

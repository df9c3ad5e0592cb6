// Web servers from Debian serving a directory as the game's mirror over HTTP on 127.0.0.1:
// Apache httpd, lighttpd and Caddy, each with a minimal configuration of its own (nginx has its
// fixture in NginxServer). Started on a free port, stopped by process id with the object.
#pragma once

#include "ChildProcess.h"
#include "TempDir.h"

#include <memory>
#include <string>

class WebServer {
public:
    enum Kind { Apache, Lighttpd, Caddy };

    // The server's program, or "" when its Debian package is not installed.
    static std::string Program(Kind kind);
    // The Debian package that brings it.
    static const char* Package(Kind kind);
    static const char* Name(Kind kind);

    // Starts the server on root (readable by everyone); throws std::runtime_error when it does
    // not come up, with its error output.
    WebServer(Kind kind, const std::string& root);

    // "http://127.0.0.1:<port>/"
    std::string RootUrl() const;

private:
    void WriteConfig(Kind kind, const std::string& root) const;

    TempDir _dir{"qmhweb"};
    int _port;
    std::unique_ptr<ChildProcess> _process;
};

// Debian's nginx as a test fixture: serves a directory over HTTP, and optionally HTTPS with a
// throw-away certificate authority, on free ports of 127.0.0.1.
//
// The fixture writes the configuration, the certificates (made by openssl) and nginx's logs
// into a scratch directory it owns, starts nginx in the foreground as its child, and stops it
// by process id on destruction. Every request is written to an access log with the "Range"
// header and the bytes sent, which tests and benchmarks read through AccessLog.
#pragma once

#include "ServerDir.h"
#include "Subprocess.h"

#include <stdint.h>
#include <string>
#include <vector>

class NginxServer {
public:
    struct Options {
        bool https = false;
        // Bytes per second each answer is sent at (nginx's limit_rate); 0 for no limit.
        uint64_t limitRate = 0;
    };
    struct LogEntry {
        std::string uri;            // request URI, "/a/b.zip"
        std::string range;          // "Range" header, "-" when there was none
        int status = 0;             // HTTP status sent
        uint64_t bytesSent = 0;     // all bytes of the answer, headers included
        uint64_t bodyBytesSent = 0; // bytes of the body
        uint64_t connection = 0;    // serial number of the connection that carried it
        std::string scheme;         // "http" or "https"
    };

    // Serves docRoot (which must exist); throws std::runtime_error if nginx does not start.
    explicit NginxServer(const std::string& docRoot);
    NginxServer(const std::string& docRoot, const Options& options);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    int httpPort() const { return _httpPort; }
    int httpsPort() const { return _httpsPort; }
    // "http://127.0.0.1:<port>/" + relative, and the same over HTTPS (https option only).
    std::string HttpUrl(const std::string& relative) const;
    std::string HttpsUrl(const std::string& relative) const;
    // PEM file of the throw-away CA that signed the HTTPS certificate (https option only).
    std::string CaFile() const { return _dir.path() + "/ca.pem"; }

    // The access log so far. nginx writes an entry just after the answer went out, so this waits
    // (up to a few seconds) until at least minEntries entries are there.
    std::vector<LogEntry> AccessLog(size_t minEntries = 0) const;
    // Forgets the entries logged so far (AccessLog starts empty again).
    void ClearAccessLog() const;

private:
    void MakeCertificates() const;
    void WriteConfig(const std::string& docRoot) const;
    bool TryStart();

    ServerDir _dir;
    Options _options;
    Subprocess _process;
    int _httpPort = 0;
    int _httpsPort = 0;
};

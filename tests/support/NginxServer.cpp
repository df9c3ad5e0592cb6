#include "NginxServer.h"

#include <filesystem>
#include <sstream>
#include <stdexcept>

NginxServer::NginxServer(const std::string& docRoot) : NginxServer(docRoot, Options()) {}

NginxServer::NginxServer(const std::string& docRoot, const Options& options)
    : _dir("qmhnginx"), _options(options) {
    std::filesystem::create_directory(_dir.path() + "/tmp");
    if (_options.https) MakeCertificates();
    // Ports are only free at the moment they are looked up; another test may take one first.
    for (int attempt = 0; attempt < 5; attempt++) {
        _httpPort = FindFreePort();
        _httpsPort = _options.https ? FindFreePort() : 0;
        if (_httpsPort == _httpPort) continue;
        WriteConfig(docRoot);
        if (TryStart()) return;
    }
    std::string errors =
        ReadWholeFileOrEmpty(_dir.path() + "/error.log") + ReadWholeFileOrEmpty(_dir.path() + "/nginx.out");
    throw std::runtime_error("nginx did not start: " + errors);
}

NginxServer::~NginxServer() {
    _process.Stop();
}

void NginxServer::MakeCertificates() const {
    const std::string& d = _dir.path();
    std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    // "DNS:127.0.0.1" for curl's Schannel back end (Windows), which matches a host name against
    // the DNS names of a certificate only, an IP address too.
    WriteWholeFile(d + "/server.ext", "subjectAltName=IP:127.0.0.1,DNS:localhost,DNS:127.0.0.1\n"
                                      "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
    std::string script = "cd '" + d + "' && openssl req -x509" + ec +
                         "-keyout ca.key -out ca.pem -days 2 -subj '/CN=QMH Throw-away Test CA' && "
                         "openssl req" +
                         ec +
                         "-keyout server.key -out server.csr -subj '/CN=127.0.0.1' && "
                         "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
                         "-out server.pem -days 2 -extfile server.ext";
    if (RunShellCommand("(" + script + ") >'" + d + "/openssl.out' 2>&1") != 0)
        throw std::runtime_error("openssl failed: " + ReadWholeFileOrEmpty(d + "/openssl.out"));
}

void NginxServer::WriteConfig(const std::string& docRootPath) const {
    // nginx reads the paths as a Linux program.
    const std::string d = LinuxPath(_dir.path()), docRoot = LinuxPath(docRootPath);
    std::ostringstream c;
    c << "worker_processes 1;\n"
      << "daemon off;\n"
      << "master_process on;\n"
      << "pid " << d << "/nginx.pid;\n"
      << "error_log " << d << "/error.log warn;\n";
    // Workers keep root's rights so that they can read a test's private directory.
    if (LinuxUserIsRoot()) c << "user root;\n";
    c << "events { worker_connections 64; }\n"
      << "http {\n"
      << "  log_format qmh "
         "'$request_uri\\t$http_range\\t$status\\t$bytes_sent\\t$body_bytes_sent\\t$connection\\t$scheme';\n"
      << "  access_log " << d << "/access.log qmh;\n"
      << "  client_body_temp_path " << d << "/tmp/body;\n"
      << "  proxy_temp_path " << d << "/tmp/proxy;\n"
      << "  fastcgi_temp_path " << d << "/tmp/fastcgi;\n"
      << "  uwsgi_temp_path " << d << "/tmp/uwsgi;\n"
      << "  scgi_temp_path " << d << "/tmp/scgi;\n"
      << "  default_type application/octet-stream;\n"
      << "  sendfile on;\n"
      << "  keepalive_timeout 60;\n"
      << "  keepalive_requests 100000;\n"
      << "  limit_rate " << _options.limitRate << ";\n"
      << "  server {\n"
      << "    listen 127.0.0.1:" << _httpPort << ";\n"
      << "    root " << docRoot << ";\n"
      << "  }\n";
    if (_options.https) {
        c << "  server {\n"
          << "    listen 127.0.0.1:" << _httpsPort << " ssl;\n"
          << "    ssl_certificate " << d << "/server.pem;\n"
          << "    ssl_certificate_key " << d << "/server.key;\n"
          << "    root " << docRoot << ";\n"
          << "  }\n";
    }
    c << "}\n";
    WriteWholeFile(d + "/nginx.conf", c.str());
}

bool NginxServer::TryStart() {
    const std::string& d = _dir.path();
    _process.Start({"nginx", "-p", d, "-e", d + "/error.log", "-c", d + "/nginx.conf"}, d + "/nginx.out");
    for (int i = 0; i < 1000; i++) {
        if (!_process.Running()) return false; // usually a port taken meanwhile
        if (PortAcceptsConnections(_httpPort) && (!_options.https || PortAcceptsConnections(_httpsPort)))
            return true;
        SleepMs(10);
    }
    _process.Stop();
    return false;
}

std::string NginxServer::HttpUrl(const std::string& relative) const {
    return "http://127.0.0.1:" + std::to_string(_httpPort) + "/" + relative;
}

std::string NginxServer::HttpsUrl(const std::string& relative) const {
    return "https://127.0.0.1:" + std::to_string(_httpsPort) + "/" + relative;
}

static std::vector<NginxServer::LogEntry> ParseAccessLog(const std::string& text) {
    std::vector<NginxServer::LogEntry> entries;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        std::string field;
        while (std::getline(parts, field, '\t')) fields.push_back(field);
        if (fields.size() != 7) continue;
        NginxServer::LogEntry entry;
        entry.uri = fields[0];
        entry.range = fields[1];
        entry.status = std::stoi(fields[2]);
        entry.bytesSent = std::stoull(fields[3]);
        entry.bodyBytesSent = std::stoull(fields[4]);
        entry.connection = std::stoull(fields[5]);
        entry.scheme = fields[6];
        entries.push_back(entry);
    }
    return entries;
}

std::vector<NginxServer::LogEntry> NginxServer::AccessLog(size_t minEntries) const {
    std::vector<LogEntry> entries;
    for (int i = 0; i < 500; i++) {
        entries = ParseAccessLog(ReadWholeFileOrEmpty(_dir.path() + "/access.log"));
        if (entries.size() >= minEntries) break;
        SleepMs(10);
    }
    return entries;
}

void NginxServer::ClearAccessLog() const {
    // nginx keeps the file open for appending, so truncating it in place is enough.
    std::error_code ec;
    std::filesystem::resize_file(_dir.path() + "/access.log", 0, ec);
    if (ec) throw std::runtime_error("cannot clear access log");
}

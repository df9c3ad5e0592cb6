#include "WebServer.h"

#include "ServerDir.h"
#include "Subprocess.h"

#include <stdexcept>
#include <unistd.h>

std::string WebServer::Program(Kind kind) {
    const char* path = kind == Apache     ? "/usr/sbin/apache2"
                       : kind == Lighttpd ? "/usr/sbin/lighttpd"
                                          : "/usr/bin/caddy";
    return access(path, X_OK) == 0 ? path : "";
}

const char* WebServer::Package(Kind kind) {
    return kind == Apache ? "apache2" : kind == Lighttpd ? "lighttpd" : "caddy";
}

const char* WebServer::Name(Kind kind) {
    return kind == Apache ? "Apache" : kind == Lighttpd ? "lighttpd" : "Caddy";
}

void WebServer::WriteConfig(Kind kind, const std::string& root) const {
    const std::string& d = _dir.path();
    std::string port = std::to_string(_port);
    if (kind == Apache) {
        std::string modules = "/usr/lib/apache2/modules/";
        WriteTestFile(d + "/apache2.conf",
                      "ServerName 127.0.0.1\nListen 127.0.0.1:" + port + "\nPidFile " + d +
                          "/apache2.pid\nDefaultRuntimeDir " + d + "\nErrorLog " + d +
                          "/error.log\nUser nobody\nGroup nogroup\n"
                          "LoadModule mpm_event_module " +
                          modules +
                          "mod_mpm_event.so\n"
                          "LoadModule authz_core_module " +
                          modules +
                          "mod_authz_core.so\n"
                          "LoadModule mime_module " +
                          modules +
                          "mod_mime.so\n"
                          "TypesConfig /etc/mime.types\nDocumentRoot \"" +
                          root + "\"\n<Directory \"" + root + "\">\n  Require all granted\n</Directory>\n");
    } else if (kind == Lighttpd) {
        WriteTestFile(d + "/lighttpd.conf", "server.document-root = \"" + root +
                                                "\"\nserver.bind = \"127.0.0.1\"\n"
                                                "server.port = " +
                                                port + "\nserver.errorlog = \"" + d +
                                                "/error.log\"\nserver.username = \"nobody\"\n"
                                                "server.groupname = \"nogroup\"\n");
    } else {
        WriteTestFile(d + "/Caddyfile", "{\n  admin off\n  auto_https off\n}\n"
                                        "http://127.0.0.1:" +
                                            port + " {\n  root * " + root + "\n  file_server\n}\n");
    }
}

WebServer::WebServer(Kind kind, const std::string& root) : _port(FindFreePort()) {
    WriteConfig(kind, root);
    const std::string& d = _dir.path();
    // lighttpd opens its error log after becoming "nobody".
    GiveToUnprivilegedUser(d);
    ChildOptions options;
    if (kind == Apache)
        options.argv = {Program(kind), "-X", "-f", d + "/apache2.conf"};
    else if (kind == Lighttpd)
        options.argv = {Program(kind), "-D", "-f", d + "/lighttpd.conf"};
    else
        options.argv = {Program(kind), "run", "--adapter", "caddyfile", "--config", d + "/Caddyfile"};
    // Caddy keeps its state under the home and configuration directories.
    options.env = {"HOME=" + d, "XDG_DATA_HOME=" + d, "XDG_CONFIG_HOME=" + d};
    options.cwd = d;
    options.outputPath = d + "/output.log";
    _process = std::make_unique<ChildProcess>(options);
    for (int i = 0; i < 1000 && _process->Running(); i++) {
        if (PortAcceptsConnections(_port)) return;
        SleepMs(10);
    }
    std::string log = ReadWholeFileOrEmpty(d + "/output.log") + ReadWholeFileOrEmpty(d + "/error.log");
    throw std::runtime_error(std::string(Name(kind)) + " did not start: " + log);
}

std::string WebServer::RootUrl() const {
    return "http://127.0.0.1:" + std::to_string(_port) + "/";
}

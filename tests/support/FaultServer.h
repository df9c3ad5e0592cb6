// The fault server (fault_server.py) as a test fixture: serves the files of a directory on
// 127.0.0.1 with correct or deliberately broken byte-range answers, and records the "Range" and
// "Accept-Encoding" headers of every request it receives.
//
// A URL names the behaviour: Url("reorder", "data.bin") answers multi-range requests for
// file data.bin of Root() with the parts in reverse order. The modes are listed at the top of
// fault_server.py. The fixture owns the server process and its directory.
#pragma once

#include "ServerDir.h"
#include "Subprocess.h"

#include <string>
#include <vector>

class FaultServer {
public:
    struct Request {
        std::string path;           // "/ok/data.bin"
        std::string range;          // the "Range" header, "-" when there was none
        std::string acceptEncoding; // the "Accept-Encoding" header, "-" when there was none
    };

    // Starts the server; throws std::runtime_error if it does not come up.
    FaultServer();
    ~FaultServer();

    // Directory whose files are served.
    std::string Root() const { return _dir.path() + "/root"; }
    // Writes a file to serve; name may contain directories, which are created.
    void AddFile(const std::string& name, const std::string& bytes) const;
    int port() const { return _port; }
    std::string Url(const std::string& mode, const std::string& name) const;

    // Every request received so far, in order (recorded before it was answered).
    std::vector<Request> Requests() const;
    // The "Range" headers of Requests(); those for other paths left out when path is given.
    std::vector<std::string> RangeHeaders(const std::string& path = "") const;

private:
    ServerDir _dir;
    Subprocess _process;
    int _port = 0;
};

#include "FuzzSupport.h"

#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace ZipSync;

namespace {

class QuietLogger : public Logger {
public:
    void Message(LogCode, LogSeverity severity, const char* message) override {
        if (severity >= sevFatal) fprintf(stderr, "FATAL: %s\n", message);
    }
};

// The directory of this process's scratch files; removed with them at exit.
class ScratchDir {
public:
    ScratchDir() {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qmhfuzz.XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!mkdtemp(buffer.data())) {
            perror("mkdtemp");
            abort();
        }
        path = buffer.data();
    }
    ~ScratchDir() {
        std::string command = "rm -rf '" + path + "'";
        if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path.c_str());
    }
    std::string path;
};

ScratchDir& Scratch() {
    static ScratchDir dir;
    return dir;
}

} // namespace

void SilenceLogging() {
    static QuietLogger quiet;
    if (g_logger == &quiet) return;
    delete g_logger; // the console logger of static initialisation
    g_logger = &quiet;
}

std::string ScratchPath(const std::string& name) {
    return Scratch().path + "/" + name;
}

std::string WriteScratchFile(const std::string& name, const uint8_t* data, size_t size) {
    std::string path = ScratchPath(name);
    FILE* file = fopen(path.c_str(), "wb");
    if (!file || (size && fwrite(data, 1, size, file) != size) || fclose(file) != 0) {
        perror(path.c_str());
        abort();
    }
    return path;
}

void FuzzCheckFailed(bool ok, const char* condition, const char* file, int line) {
    if (ok) return;
    fprintf(stderr, "Property %s broken at %s:%d\n", condition, file, line);
    abort();
}

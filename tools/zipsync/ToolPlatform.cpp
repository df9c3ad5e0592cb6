#include "ToolPlatform.h"

#include "base/Logging.h"
#include "base/Platform.h"

#include <algorithm>
#include <stdlib.h>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace ZipSyncCli {

using namespace ZipSync;

#ifdef _WIN32

static bool g_virtualTerminal = false;

void PrepareConsole() {
    // The same bytes as on Linux, line ends included, whether the streams go to a file or not.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    SetConsoleOutputCP(CP_UTF8);
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    g_virtualTerminal =
        GetConsoleMode(console, &mode) && SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

bool StreamIsTerminal(FILE* stream) {
    return g_virtualTerminal && _isatty(_fileno(stream));
}

int TerminalColumns(FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    HANDLE console = HANDLE(_get_osfhandle(_fileno(stream)));
    if (!GetConsoleScreenBufferInfo(console, &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

std::string CreateTemporaryFile(const std::string& tag) {
    // GetTempFileNameW creates the file under a name no one else has; it takes the first three
    // characters of the prefix.
    wchar_t dir[MAX_PATH + 1], name[MAX_PATH + 1];
    std::wstring prefix(tag.begin(), tag.begin() + std::min<size_t>(tag.size(), 3));
    DWORD n = GetTempPathW(MAX_PATH + 1, dir);
    if (n == 0 || n > MAX_PATH || GetTempFileNameW(dir, prefix.c_str(), 0, name) == 0)
        g_logger->errorf(lcCantOpenFile, "Failed to open file \"%s\"", (tag + "-*").c_str());
    return FsPathText(std::filesystem::path(name));
}

#else

void PrepareConsole() {}

bool StreamIsTerminal(FILE* stream) {
    return isatty(fileno(stream)) == 1;
}

int TerminalColumns(FILE* stream) {
    struct winsize size = {};
    return ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

std::string CreateTemporaryFile(const std::string& tag) {
    const char* dir = getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/" + tag + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    int fd = mkstemp(name.data());
    if (fd < 0) g_logger->errorf(lcCantOpenFile, "Failed to open file \"%s\"", pattern.c_str());
    close(fd);
    return name.data();
}

#endif

} // namespace ZipSyncCli

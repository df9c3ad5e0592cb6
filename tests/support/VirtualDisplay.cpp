#include "VirtualDisplay.h"

#include "TempDir.h"
#include "TestOs.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <stdlib.h>
#include <string.h>
#include <unordered_set>
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

VirtualDisplay& VirtualDisplay::Shared() {
    static VirtualDisplay display;
    return display;
}

#ifdef _WIN32

VirtualDisplay::VirtualDisplay() {
    // Wine opens the display named when it starts: scripts/wine.sh starts Xvfb before the test.
    const char* display = getenv("DISPLAY");
    if (!display || !*display)
        throw std::runtime_error("no DISPLAY: run the test through scripts/wine.sh with QMH_WINE_DISPLAY=1");
    _name = display;
}

VirtualDisplay::~VirtualDisplay() = default;

#else

VirtualDisplay::VirtualDisplay() {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(fds[0]);
        std::string fd = std::to_string(fds[1]);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, 1);
            dup2(devnull, 2);
        }
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
               "-noreset", (char*)nullptr);
        _exit(127);
    }
    _pid = pid;
    _owner = getpid();
    close(fds[1]);
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) {
        kill(_pid, SIGKILL);
        waitpid(_pid, nullptr, 0);
        throw std::runtime_error("Xvfb did not start (is the xvfb package installed?)");
    }
    _name = ":" + number;
    setenv("DISPLAY", _name.c_str(), 1);
}

VirtualDisplay::~VirtualDisplay() {
    if (_pid > 0 && getpid() == _owner) {
        kill(_pid, SIGTERM);
        waitpid(_pid, nullptr, 0);
    }
}

#endif

std::vector<std::string> VirtualDisplay::TopLevelWindowLines() const {
    std::vector<std::string> lines;
    TempDir scratch("qmhxwininfo");
    std::string listing = scratch / "windows";
    long pid = StartLinuxProgram({"xwininfo", "-root", "-children", "-display", _name}, listing);
    if (WaitLinuxProgram(pid, 60) != 0) return lines;
    std::ifstream in(listing);
    std::string line;
    while (std::getline(in, line)) {
        size_t first = line.find_first_not_of(' ');
        if (first != std::string::npos && line.compare(first, 2, "0x") == 0)
            lines.push_back(line.substr(first));
    }
    return lines;
}

std::vector<std::string> VirtualDisplay::TopLevelWindowNames() const {
    std::vector<std::string> names;
    for (const std::string& line : TopLevelWindowLines()) {
        size_t open = line.find('"');
        size_t close = open == std::string::npos ? open : line.find("\": (", open + 1);
        if (open != std::string::npos && close == std::string::npos) close = line.rfind('"');
        names.push_back(close != std::string::npos && close > open ? line.substr(open + 1, close - open - 1)
                                                                   : "");
    }
    return names;
}

bool WaitUntil(const std::function<bool()>& condition, double seconds) {
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (condition()) return true;
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= seconds)
            return false;
        SleepMs(50);
    }
}

namespace {

bool AnyNameContains(const std::vector<std::string>& names, const std::string& text) {
    for (const std::string& name : names)
        if (name.find(text) != std::string::npos) return true;
    return false;
}

} // namespace

bool VirtualDisplay::WaitForWindow(const std::string& text, double seconds) const {
    return WaitUntil([&] { return AnyNameContains(TopLevelWindowNames(), text); }, seconds);
}

bool VirtualDisplay::WaitForWindowGone(const std::string& text, double seconds) const {
    return WaitUntil([&] { return !AnyNameContains(TopLevelWindowNames(), text); }, seconds);
}

bool VirtualDisplay::Screenshot(const std::string& path) const {
    return RunShellCommand("xwd -root -silent -display " + _name + " -out '" + path + "'") == 0;
}

namespace {

uint32_t BigEndian32(const unsigned char* p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

int ShiftOf(uint32_t mask) {
    int shift = 0;
    while (mask && !(mask & 1)) {
        mask >>= 1;
        shift++;
    }
    return shift;
}

} // namespace

bool ReadXwd(const std::string& path, RgbImage& image) {
    std::ifstream in(path, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() < 100) return false;
    const unsigned char* d = (const unsigned char*)data.data();
    uint32_t field[25];
    for (int i = 0; i < 25; i++) field[i] = BigEndian32(d + 4 * i);
    uint32_t headerSize = field[0], version = field[1], format = field[2], width = field[4],
             height = field[5];
    uint32_t byteOrder = field[7], bitsPerPixel = field[11], bytesPerLine = field[12];
    uint32_t redMask = field[14], greenMask = field[15], blueMask = field[16], ncolors = field[19];
    // 24 bits per pixel are packed in three bytes: xwd writes them so when windows of several
    // visuals are on screen (Wine's).
    if (version != 7 || format != 2 || (bitsPerPixel != 32 && bitsPerPixel != 24)) return false;
    size_t pixelBytes = bitsPerPixel / 8;
    size_t offset = (size_t)headerSize + (size_t)ncolors * 12;
    if (bytesPerLine < pixelBytes * width || offset + (size_t)bytesPerLine * height > data.size())
        return false;
    image.width = (int)width;
    image.height = (int)height;
    image.pixels.resize((size_t)width * height);
    for (uint32_t y = 0; y < height; y++) {
        const unsigned char* row = d + offset + (size_t)y * bytesPerLine;
        for (uint32_t x = 0; x < width; x++) {
            const unsigned char* p = row + pixelBytes * x;
            uint32_t v = 0;
            for (size_t k = 0; k < pixelBytes; k++)
                v |= (uint32_t)p[byteOrder == 0 ? k : pixelBytes - 1 - k] << (8 * k);
            uint32_t r = (v & redMask) >> ShiftOf(redMask), g = (v & greenMask) >> ShiftOf(greenMask),
                     b = (v & blueMask) >> ShiftOf(blueMask);
            image.pixels[(size_t)y * width + x] = r << 16 | g << 8 | b;
        }
    }
    return true;
}

size_t CountColours(const RgbImage& image, int x, int y, int w, int h) {
    std::unordered_set<uint32_t> colours;
    for (int j = std::max(0, y); j < std::min(image.height, y + h); j++)
        for (int i = std::max(0, x); i < std::min(image.width, x + w); i++) colours.insert(image.at(i, j));
    return colours.size();
}

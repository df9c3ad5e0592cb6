// An Xvfb server for GUI tests, with window lookup and screenshots.
//
// Xvfb picks a free display number itself (-displayfd), so parallel test binaries never
// collide. The server is started on first use by the test binary, listens on local sockets
// only, and is killed by its process id when the binary ends (or dies: the server gets
// SIGKILL when its parent goes away). Wine opens the display named when a Windows program
// starts: for the Windows test binaries scripts/wine.sh starts and stops the server, and the
// test takes the display from DISPLAY. xwininfo and xwd run as Linux programs either way.
#pragma once

#include <functional>
#include <stdint.h>
#include <string>
#include <vector>

class VirtualDisplay {
public:
    // The binary's display, started on the first call; also sets DISPLAY in this process.
    // Windows: the display scripts/wine.sh started (throws std::runtime_error without one).
    static VirtualDisplay& Shared();
    ~VirtualDisplay();

    const std::string& name() const { return _name; } // e.g. ":3"
    std::string DisplayEnv() const { return "DISPLAY=" + _name; }

    // xwininfo's line for each top-level window (child of the root window), e.g.
    //   0x200003 "Title": ("FLTK" "FLTK")  1025x550+127+237  +127+237
    std::vector<std::string> TopLevelWindowLines() const;
    // Names of the top-level windows, unnamed ones included as "".
    std::vector<std::string> TopLevelWindowNames() const;
    // Waits (polling, at most `seconds`) for a top-level window whose name contains `text`.
    bool WaitForWindow(const std::string& text, double seconds) const;
    // Waits until no top-level window's name contains `text`.
    bool WaitForWindowGone(const std::string& text, double seconds) const;
    // Writes the root window as an XWD file; false on failure.
    bool Screenshot(const std::string& path) const;

private:
    VirtualDisplay();
    // Linux: the Xvfb started here.
    int _pid = -1;
    // The process that started Xvfb; a forked copy of the test leaves it running.
    int _owner = -1;
    std::string _name;
};

// Polls `condition` every 50 ms until it holds (true) or `seconds` have passed (false).
bool WaitUntil(const std::function<bool()>& condition, double seconds);

// An image as 0xRRGGBB pixels, row by row.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
    uint32_t at(int x, int y) const { return pixels[(size_t)y * width + x]; }
};

// Reads a TrueColor XWD file of 32 or 24 bits per pixel as written by xwd; false when it is
// not one.
bool ReadXwd(const std::string& path, RgbImage& image);
// Number of distinct colours in the rectangle (clipped to the image).
size_t CountColours(const RgbImage& image, int x, int y, int w, int h);

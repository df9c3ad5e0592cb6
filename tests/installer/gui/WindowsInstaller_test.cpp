// The Windows program end to end under Wine, against the test game's servers (the official one
// over HTTPS with a throw-away CA, the mirror over HTTP), each run in an install directory of its
// own: unattended installs and updates, what Wine's elevation means, a mirror that dies
// mid-transfer, the proxy of the Internet Options, and an interactive run on the virtual display,
// clicked through with xdotool, that replaces the installer by a newer build through the restart
// batch script, starts again, installs and puts a shortcut on the Desktop. The Linux zipsync tool
// verifies every installation.
#include "CacheServer.h"
#include "ChildProcess.h"
#include "FaultServer.h"
#include "InstallerRun.h"
#include "InstallerWorld.h"
#include "ShellLink.h"
#include "TempDir.h"
#include "TemporaryFileNames.h"
#include "VirtualDisplay.h"

#include "OsUtils.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <stdint.h>
#include <tlhelp32.h>
#include <windows.h>

namespace fs = std::filesystem;

namespace {

const double kPatience = 300; // seconds; only a bound for slow machines
const char* const kMainTitle = "Quillmere installer v";

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The installer's log files in dir, all of them in one text.
std::string LogFiles(const std::string& dir) {
    std::string text;
    for (const auto& entry : fs::directory_iterator(fs::path(dir)))
        if (entry.path().filename().string().rfind("qmh_installer_", 0) == 0)
            text += ReadTestFile(entry.path().generic_string());
    return text;
}

// The proxy of the Internet Options as Windows keeps it for the current user, set for one
// scope: the binary value that WinHttpGetIEProxyConfigForCurrentUser reads (flags: direct
// connections, and the proxy), put back as it was afterwards.
class ScopedSystemProxy {
public:
    ScopedSystemProxy(const std::string& servers, const std::string& bypass) {
        RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &_key, nullptr);
        DWORD size = 0;
        if (RegQueryValueExW(_key, kValue, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
            _old.resize(size);
            RegQueryValueExW(_key, kValue, nullptr, nullptr, _old.data(), &size);
            _hadOld = true;
        }
        std::vector<BYTE> value;
        auto put32 = [&](uint32_t n) {
            for (int i = 0; i < 4; i++) value.push_back(BYTE(n >> (8 * i)));
        };
        auto putText = [&](const std::string& text) {
            put32(uint32_t(text.size()));
            value.insert(value.end(), text.begin(), text.end());
        };
        put32(0x46); // the format's version
        put32(1);    // a change counter
        put32(0x3);  // direct connections and a proxy server
        putText(servers);
        putText(bypass);
        putText(""); // no configuration script
        value.resize(value.size() + 32);
        RegSetValueExW(_key, kValue, 0, REG_BINARY, value.data(), DWORD(value.size()));
    }
    ~ScopedSystemProxy() {
        if (_hadOld)
            RegSetValueExW(_key, kValue, 0, REG_BINARY, _old.data(), DWORD(_old.size()));
        else
            RegDeleteValueW(_key, kValue);
        RegCloseKey(_key);
    }
    ScopedSystemProxy(const ScopedSystemProxy&) = delete;
    ScopedSystemProxy& operator=(const ScopedSystemProxy&) = delete;

private:
    static constexpr const wchar_t* kKey =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
    static constexpr const wchar_t* kValue = L"DefaultConnectionSettings";
    HKEY _key = nullptr;
    std::vector<BYTE> _old;
    bool _hadOld = false;
};

class WindowsInstaller : public testing::Test {
protected:
    void TearDown() override { EndProgramsIn(dir.path()); }

    std::string Output() const { return installer.Output(); }
    static const InstallerWorld& World() { return GetInstallerWorld(); }

    // Ends every process whose executable lies in dir: a restarted installer is no child of ours.
    static void EndProgramsIn(const std::string& dir) {
        std::wstring prefix = fs::path(dir).make_preferred().wstring() + L"\\";
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        for (bool more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
            HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE,
                                         entry.th32ProcessID);
            if (!process) continue;
            wchar_t path[MAX_PATH];
            DWORD size = MAX_PATH;
            if (QueryFullProcessImageNameW(process, 0, path, &size) &&
                _wcsnicmp(path, prefix.c_str(), prefix.size()) == 0)
                TerminateProcess(process, 1);
            CloseHandle(process);
        }
        CloseHandle(snapshot);
    }

    TempDir dir{"qmhwin"};
    InstallerRun installer{dir.path(), std::string("windows_") +
                                           testing::UnitTest::GetInstance()->current_test_info()->name()};
};

} // namespace

// Installs 1.0 and updates it to 2.0 without a question, writing its progress to the console it
// was given and to its log, with the Windows binaries of the shared archive unpacked.
TEST_F(WindowsInstaller, InstallsAndUpdatesUnattended) {
    installer.CopyProgram();
    ASSERT_EQ(installer.Run({"--version", "1.0"}), 0) << Output();
    EXPECT_TRUE(installer.Holds("1.0"));
    EXPECT_TRUE(Contains(Output(), "Running as admin, as --allow-admin asks\n")) << Output();
    ASSERT_EQ(installer.Run({"--version", "2.0"}), 0) << Output();
    EXPECT_TRUE(installer.Holds("2.0"));
    for (const char* progress :
         {"PROGRESS 100.00% : Downloading finished", "Closing installer after successful install"}) {
        EXPECT_TRUE(Contains(Output(), progress)) << Output();
        EXPECT_TRUE(Contains(LogFiles(dir.path()), progress)) << progress;
    }
    for (const char* binary : {"Quillmere.exe", "Quillmerex64.exe", "logicx86.dll"})
        EXPECT_TRUE(fs::is_regular_file(dir / binary)) << binary;
    EXPECT_EQ(TemporaryFileNames(dir.path()), std::vector<std::string>{});
}

// Wine reports every process as elevated: without "--allow-admin" the unattended run stops at
// once with exit code 2 and changes nothing.
TEST_F(WindowsInstaller, ElevatedWithoutAllowAdminEndsWith2) {
    installer.CopyProgram();
    installer.allowAdmin = false;
    EXPECT_TRUE(IsRunningAsAdmin());
    EXPECT_EQ(installer.Run({}), 2) << Output();
    EXPECT_TRUE(Contains(Output(),
                         "Warning: Showing warning message: The installer was run \"as admin\". This is "
                         "strongly discouraged!\n"))
        << Output();
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(fs::path(dir.path())))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"qmh_installer.exe"});
}

// A mirror that closes the connection in the middle of an archive ends the update with exit code
// 3 and leaves 1.0 as it was; the next run reaches 2.0.
TEST_F(WindowsInstaller, DyingMirrorEndsWith3AndKeepsTheOldVersion) {
    FaultServer faults;
    ASSERT_EQ(RunShellCommand("ln -s '" + World().www + "/zipsync' '" + faults.Root() + "/zipsync'"), 0);
    installer.CopyProgram();
    ASSERT_EQ(installer.Run({"--version", "1.0"}), 0) << Output();

    installer.WriteConfig(faults.Url("drop.pk4", ""));
    EXPECT_EQ(installer.Run({"--skip-config-download", "--version", "2.0"}), 3) << Output();
    EXPECT_TRUE(Contains(Output(), "Warning: Showing error message: Unexpected CURL error 18 on URL " +
                                       faults.Url("drop.pk4", "zipsync/2.0/")))
        << Output();
    EXPECT_TRUE(installer.Holds("1.0"));
    EXPECT_EQ(TemporaryFileNames(dir.path()), std::vector<std::string>{});

    installer.WriteConfig(World().MirrorRoot());
    EXPECT_EQ(installer.Run({"--skip-config-download", "--version", "2.0"}), 0) << Output();
    EXPECT_TRUE(installer.Holds("2.0"));
}

// With no proxy variable set, the installer goes through the proxy of the Internet Options:
// the official server through a CONNECT tunnel, the mirror with plain requests.
TEST_F(WindowsInstaller, InstallsThroughTheProxyOfTheSystem) {
    if (CacheServer::Program(CacheServer::SquidForwardProxy).empty())
        GTEST_SKIP() << "Squid is not installed (Debian package squid)";
    CacheServer proxy(CacheServer::SquidForwardProxy, 0);
    std::string server = proxy.Url().substr(7, proxy.Url().size() - 8); // "127.0.0.1:<port>"
    // The test's servers are on loopback, which Windows reaches directly unless told otherwise.
    ScopedSystemProxy system(server, "<-loopback>");
    installer.CopyProgram();
    ASSERT_EQ(installer.Run({"--version", "1.0"}), 0) << Output();
    EXPECT_TRUE(installer.Holds("1.0"));
    EXPECT_TRUE(Contains(Output(), "Proxy of the system: " + server + " (direct: <-loopback>)\n"))
        << Output();
    std::string tunnel = "CONNECT 127.0.0.1:" + std::to_string(World().nginx->httpsPort());
    std::string log = proxy.AccessLogWith(tunnel);
    EXPECT_TRUE(Contains(log, tunnel)) << log;
    EXPECT_TRUE(Contains(log, World().MirrorRoot() + "zipsync/1.0/qmh_base.pk4")) << log;
}

namespace {

// A top-level window on the virtual display: its place and size.
struct WindowBox {
    int x = 0, y = 0, w = 0, h = 0;
};

// The first window whose xwininfo line contains text; false when there is none.
bool FindWindowBox(const VirtualDisplay& display, const std::string& text, WindowBox& box) {
    for (const std::string& line : display.TopLevelWindowLines()) {
        if (!Contains(line, text)) continue;
        size_t geometry = line.find("  ", line.find(")"));
        return sscanf(line.c_str() + geometry, " %dx%d+%d+%d", &box.w, &box.h, &box.x, &box.y) == 4;
    }
    return false;
}

// The installer's dialogs: its unnamed windows larger than Wine's 1x1 helper windows.
int DialogCount(const VirtualDisplay& display) {
    int count = 0;
    for (const std::string& line : display.TopLevelWindowLines())
        if (Contains(line, "(has no name): (\"qmh_installer.exe\"") && !Contains(line, " 1x1+")) count++;
    return count;
}

// A player's click at a place of the screen, or a key: through the X server's test extension.
void Click(const VirtualDisplay& display, int x, int y) {
    RunShellCommand("DISPLAY=" + display.name() + " xdotool mousemove " + std::to_string(x) + " " +
                    std::to_string(y) + " click 1");
}
void PressEscape(const VirtualDisplay& display) {
    RunShellCommand("DISPLAY=" + display.name() + " xdotool key Escape");
}

// Clicks at (x, y) of the window until done() holds: a click that comes before the page is
// ready does nothing. False when it never does.
bool ClickUntil(const VirtualDisplay& display, const WindowBox& window, int x, int y,
                const std::function<bool()>& done) {
    for (int attempt = 0; attempt < kPatience / 10; attempt++) {
        Click(display, window.x + x, window.y + y);
        if (WaitUntil(done, 10)) return true;
    }
    return false;
}

// Keeps a screenshot as tests/screenshots/windows_<name>.xwd and checks that the page beside the
// picture panel was drawn (more than a blank background and its frame).
void KeepScreenshot(const VirtualDisplay& display, const WindowBox& window, const std::string& name) {
    fs::create_directories(std::string(TESTS_BINARY_DIR) + "/tests/screenshots");
    std::string path = std::string(TESTS_BINARY_DIR) + "/tests/screenshots/windows_" + name + ".xwd";
    RgbImage shot;
    ASSERT_TRUE(display.Screenshot(path) && ReadXwd(path, shot)) << path;
    EXPECT_GE(CountColours(shot, window.x + 325, window.y, window.w - 325, window.h), 3u) << path;
}

} // namespace

// A player starts the installer while a newer build is published: Next downloads the build, the
// news comes in a dialog, and the restart batch script replaces the executable and starts the
// new build, which checks itself against the server, installs the default version and puts its
// shortcut on the Desktop of Wine's user. Screenshots of the pages are kept as
// tests/screenshots/windows_<page>.xwd.
TEST_F(WindowsInstaller, NewerBuildReplacesTheRunningOneThenInstalls) {
    const VirtualDisplay& display = VirtualDisplay::Shared();
    installer.CopyProgram();
    // Still a program: bytes appended to an executable are not loaded.
    std::string newer = ReadTestFile(installer.ProgramPath()) + "a newer build";
    World().PublishInstaller(newer);
    std::string shortcut = GetDesktopDir() + "/Quillmere.lnk";
    fs::remove(fs::path(shortcut));

    ChildOptions options;
    options.argv = {installer.ProgramPath(), "--allow-admin"};
    options.cwd = dir.path();
    options.env = World().Environment();
    options.outputPath = installer.outputPath;
    ChildProcess first(options);
    ASSERT_TRUE(display.WaitForWindow(kMainTitle, kPatience)) << Output();
    WindowBox window;
    ASSERT_TRUE(FindWindowBox(display, kMainTitle, window));
    KeepScreenshot(display, window, "1_settings");
    auto logged = [&](const char* text) {
        return [this, text] { return Contains(LogFiles(dir.path()), text); };
    };
    const int nextX = 935 + 40, nextY = 510 + 15;
    ASSERT_TRUE(ClickUntil(display, window, nextX, nextY, logged("Downloading installer executable from")))
        << Output();
    ASSERT_TRUE(WaitUntil([&] { return DialogCount(display) > 0; }, kPatience)) << Output();
    EXPECT_EQ(ReadTestFile(installer.ProgramPath() + ".__temp__"), newer);
    KeepScreenshot(display, window, "2_new_build");
    PressEscape(display);
    EXPECT_EQ(first.Wait(kPatience), 0) << Output();
    EXPECT_TRUE(Contains(Output(), "Updating script started successfully")) << Output();

    // The script waits for this process to end, copies the new build over it and starts it.
    ASSERT_TRUE(WaitUntil([&] { return ReadWholeFileOrEmpty(installer.ProgramPath()) == newer; }, kPatience));
    ASSERT_TRUE(display.WaitForWindow(kMainTitle, kPatience));
    ASSERT_TRUE(FindWindowBox(display, kMainTitle, window));
    // Started without a command line, it warns of the elevation again: Escape is "I know what
    // I'm doing".
    ASSERT_TRUE(WaitUntil([&] { return DialogCount(display) > 0; }, kPatience));
    PressEscape(display);
    ASSERT_TRUE(WaitUntil([&] { return DialogCount(display) == 0; }, kPatience));

    ASSERT_TRUE(ClickUntil(display, window, nextX, nextY, logged("Hashes match, update not needed")));
    ASSERT_TRUE(WaitUntil(logged("  missing: "), kPatience)) << LogFiles(dir.path());
    SleepMs(500);
    KeepScreenshot(display, window, "3_confirm");
    ASSERT_TRUE(ClickUntil(display, window, nextX, nextY, logged("Starting installation: download")));
    ASSERT_TRUE(WaitUntil(logged("Finalization complete"), kPatience)) << LogFiles(dir.path());
    SleepMs(500);
    KeepScreenshot(display, window, "4_finished");
    ASSERT_TRUE(
        ClickUntil(display, window, 790 + 72, 390 + 15, [&] { return IfShortcutExists("Quillmere"); }));
    ASSERT_TRUE(
        ClickUntil(display, window, nextX, nextY, logged("Closing installer after successful install")));
    EXPECT_TRUE(display.WaitForWindowGone(kMainTitle, kPatience));

    EXPECT_TRUE(installer.Holds("2.0"));
    EXPECT_EQ(ReadTestFile(installer.ProgramPath()), newer);
    EXPECT_FALSE(fs::exists(fs::path(installer.ProgramPath() + ".__temp__")));
    EXPECT_TRUE(fs::exists(fs::path(installer.ProgramPath() + "__temp__.cmd")));
    std::string target = dir.path() + "/Quillmerex64.exe";
    for (char& c : target)
        if (c == '/') c = '\\';
    EXPECT_EQ(ShellLinkTarget(shortcut), target);
    fs::remove(fs::path(shortcut));
}

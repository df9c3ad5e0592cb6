// The Windows half of the operating-system layer (see OsUtils.h): the process token, exclusive
// opens, the shell's known folders and links, the taskbar and the restart batch script.
#ifdef _WIN32
#include "OsUtils.h"

#include "base/Logging.h"
#include "base/Path.h"
#include "base/Platform.h"
#include "base/Utils.h"

#include <filesystem>
#include <io.h>
#include <stdlib.h>
// After the engine's headers: windows.h defines macros such as ReplaceFile.
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <windows.h>
#include <winhttp.h>

using namespace ZipSync;

std::string GetExecutablePath() {
    SavedArgv0(); // asserts that it was saved
    std::wstring path(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, &path[0], DWORD(path.size()));
    path.resize(n);
    return FsPathText(std::filesystem::canonical(std::filesystem::path(path)));
}

bool IsRunningAsAdmin() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenIntegrityLevel, nullptr, 0, &size);
    std::vector<char> buffer(size ? size : 1);
    bool high = false;
    if (size && GetTokenInformation(token, TokenIntegrityLevel, buffer.data(), size, &size)) {
        PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer.data())->Label.Sid;
        DWORD rid = *GetSidSubAuthority(sid, DWORD(*GetSidSubAuthorityCount(sid) - 1));
        high = rid > 0x2FFF; // SECURITY_MANDATORY_HIGH_RID and above
    }
    CloseHandle(token);
    return high;
}

struct tm UtcTime(time_t instant) {
    struct tm utc;
    gmtime_s(&utc, &instant);
    return utc;
}

bool IsDebuggerAttached() {
    return IsDebuggerPresent();
}

void WriteToDebugger(const char* line) {
    OutputDebugStringW(WideText(line).c_str());
}

void UseParentConsole() {
    // Output redirected to a file or pipe keeps going there.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE) return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
    if (freopen("CONOUT$", "w", stdout)) setvbuf(stdout, nullptr, _IONBF, 0);
    if (freopen("CONOUT$", "w", stderr)) setvbuf(stderr, nullptr, _IONBF, 0);
    SetConsoleOutputCP(CP_UTF8);
}

namespace {

// Sole owner of a Windows handle.
class HandleHolder {
public:
    explicit HandleHolder(HANDLE handle) : _handle(handle) {}
    ~HandleHolder() {
        if (valid()) CloseHandle(_handle);
    }
    HandleHolder(const HandleHolder&) = delete;
    HandleHolder& operator=(const HandleHolder&) = delete;
    bool valid() const { return _handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE _handle;
};

HANDLE OpenExisting(const std::string& path, DWORD access, DWORD share) {
    return CreateFileW(WindowsPath(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

std::string CheckFilesWritable(const std::vector<std::string>& filePaths, bool allowMissing) {
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    for (const std::string& path : filePaths) {
        std::string kind = NonRegularFileKind(path);
        if (!kind.empty())
            return FormatString("File %s is not a regular file (a %s)", path.c_str(), kind.c_str());
        if (!HandleHolder(OpenExisting(path, GENERIC_READ, shareAll)).valid()) {
            // A process that shares nothing keeps even readers out: the file is there, held.
            if (GetFileKind(path, true) != FileKind::Missing)
                return FormatString("File %s cannot be modified", path.c_str());
            if (!allowMissing) return FormatString("File %s does not exist", path.c_str());
            continue;
        }
        // Appending with no sharing fails while any other process (the running game) has the
        // file open.
        if (!HandleHolder(OpenExisting(path, FILE_APPEND_DATA, 0)).valid())
            return FormatString("File %s cannot be modified", path.c_str());
    }
    return "";
}

uint64_t GetAvailableSpace(const std::string& path) {
    ULARGE_INTEGER available;
    std::string dir = GetFileKind(path, true) == FileKind::Directory || path.find('/') == std::string::npos
                          ? path
                          : GetDirPath(path);
    if (!GetDiskFreeSpaceExW(WindowsPath(dir).c_str(), &available, nullptr, nullptr)) return 0;
    return available.QuadPart;
}

void MarkAsExecutable(const std::string&) {
    // Windows has no execute permission bit.
}

std::string GetDesktopDir() {
    PWSTR folder = nullptr;
    HRESULT result = SHGetKnownFolderPath(FOLDERID_Desktop, 0, nullptr, &folder);
    std::wstring text = SUCCEEDED(result) ? folder : L"";
    CoTaskMemFree(folder);
    if (FAILED(result)) g_logger->errorf(lcGeneral, "WinAPI error %d", int(result));
    return FsPathText(std::filesystem::path(text));
}

namespace {

std::string ShortcutPath(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos)
        g_logger->errorf(lcGeneral, "Invalid shortcut name %s", name.c_str());
    return GetDesktopDir() + "/" + name + ".lnk";
}

// Sole owner of one reference to a COM interface.
template <class T> class ComRef {
public:
    ComRef() = default;
    ~ComRef() {
        if (_p) _p->Release();
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    T* operator->() const { return _p; }
    T** out() { return &_p; }

private:
    T* _p = nullptr;
};

// COM for this thread while it lives: both "initialised now" and "already initialised" count as
// success (and are balanced by the destructor).
class ComScope {
public:
    ComScope() {
        HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (FAILED(result)) g_logger->errorf(lcGeneral, "Failed to initialize COM");
    }
    ~ComScope() { CoUninitialize(); }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
};

void Check(HRESULT result) {
    if (FAILED(result)) g_logger->errorf(lcGeneral, "WinAPI error %d", int(result));
}

// The shell-link object and its file interface, for one call.
struct ShellLinkObjects {
    ComRef<IShellLinkW> link;
    ComRef<IPersistFile> file;

    ShellLinkObjects() {
        g_logger->infof("Opening COM interfaces");
        Check(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                               reinterpret_cast<void**>(link.out())));
        Check(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.out())));
    }
};

// Absolute against the working directory, with backslashes.
std::wstring ShellPath(const std::string& path) {
    return std::filesystem::absolute(FsPath(path)).lexically_normal().make_preferred().wstring();
}

} // namespace

void CreateShortcut(ShortcutInfo info) {
    g_logger->infof("Shortcut to %s is going to be created", info.executablePath.c_str());
    std::wstring workingDirectory = ShellPath(info.workingDirectory);
    std::wstring executable = ShellPath(info.executablePath);
    std::wstring icon = info.iconPath.empty() ? L"" : ShellPath(info.iconPath);
    ComScope com;
    ShellLinkObjects shell;
    std::string path = ShortcutPath(info.name);

    g_logger->infof("Setting shortcut properties");
    Check(shell.link->SetWorkingDirectory(workingDirectory.c_str()));
    Check(shell.link->SetPath(executable.c_str()));
    if (!info.arguments.empty()) Check(shell.link->SetArguments(WideText(info.arguments).c_str()));
    if (!icon.empty()) Check(shell.link->SetIconLocation(icon.c_str(), 0));
    if (!info.comment.empty()) Check(shell.link->SetDescription(WideText(info.comment).c_str()));

    g_logger->infof("Saving shortcut to %s", path.c_str());
    Check(shell.file->Save(WindowsPath(path).c_str(), FALSE));
}

bool IfShortcutExists(const std::string& name) {
    std::string path = ShortcutPath(name);
    ComScope com;
    ShellLinkObjects shell;
    return SUCCEEDED(shell.file->Load(WindowsPath(path).c_str(), STGM_READ));
}

SystemProxySettings ReadSystemProxySettings() {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return {};
    // Every string set is the caller's to free.
    auto take = [](LPWSTR text) {
        std::string result = text ? Utf8Text(text) : "";
        if (text) GlobalFree(text);
        return result;
    };
    SystemProxySettings settings;
    settings.servers = take(config.lpszProxy);
    settings.bypass = take(config.lpszProxyBypass);
    take(config.lpszAutoConfigUrl);
    return settings;
}

void SetTaskbarProgress(void* nativeWindow, double ratio) {
    // Created on first use and kept for the life of the process, as COM for this thread.
    static ITaskbarList3* taskbar = [] {
        if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
            g_logger->errorf(lcGeneral, "Failed to initialize COM");
        ITaskbarList3* list = nullptr;
        if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                    reinterpret_cast<void**>(&list))))
            return static_cast<ITaskbarList3*>(nullptr);
        list->HrInit();
        return list;
    }();
    HWND window = static_cast<HWND>(nativeWindow);
    if (!taskbar || !window) return;
    if (ratio >= 0 && ratio < 1) {
        taskbar->SetProgressState(window, TBPF_NORMAL);
        taskbar->SetProgressValue(window, ULONGLONG(ratio * 100), 100);
    } else {
        taskbar->SetProgressState(window, TBPF_NOPROGRESS);
    }
}

namespace {

// One argument as the restarted program's C runtime splits its command line, inside a batch
// file: quoted when it holds a blank or a character the command interpreter treats specially,
// '%' doubled (the interpreter expands "%...%" even inside quotes). A double quote or a line
// break cannot travel through a batch line safely: such an argument is refused.
std::string BatchArgument(const std::string& arg) {
    if (arg.find_first_of("\"\r\n") != std::string::npos)
        g_logger->errorf(lcGeneral, "Cannot pass argument %s to the restarted installer", arg.c_str());
    bool quote = arg.empty() || arg.find_first_of(" \t&|<>^(),;=") != std::string::npos;
    std::string result;
    size_t backslashes = 0;
    for (char c : arg) {
        backslashes = c == '\\' ? backslashes + 1 : 0;
        result += c == '%' ? std::string("%%") : std::string(1, c);
    }
    // Backslashes before the closing quote would escape it.
    if (quote) result = "\"" + result + std::string(backslashes, '\\') + "\"";
    return result;
}

std::string LastErrorText() {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, GetLastError(), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string result = text ? Utf8Text(text) : "unknown error";
    LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
    return result;
}

bool IsAscii(const std::string& text) {
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
}

} // namespace

void ReplaceAndRestartExecutable(const std::string& targetPath, const std::string& sourcePath,
                                 const std::vector<std::string>& arguments, int pauseSeconds) {
    std::string joined, batchArgs;
    for (const std::string& arg : arguments) {
        joined += (joined.empty() ? "" : " ") + arg;
        batchArgs += (batchArgs.empty() ? "" : " ") + BatchArgument(arg);
    }
    std::string scriptPath = targetPath + "__temp__.cmd";
    g_logger->infof("Restarting executable \"%s\" from \"%s\" (arguments: %s)", targetPath.c_str(),
                    sourcePath.c_str(), joined.c_str());
    std::string target = targetPath, source = sourcePath, script = scriptPath;
    for (std::string* path : {&target, &source, &script})
        for (char& c : *path)
            if (c == '/') c = '\\';
    g_logger->infof("Creating updating batch/shell file \"%s\"", scriptPath.c_str());

    std::string text;
    // The programs by their path in the system's folder: the working directory is the install
    // directory, which the interpreter searches first, and anyone may have put a "ping.exe" there.
    // The interpreter reads a batch file in the console's code page; names beyond ASCII need
    // UTF-8 (65001) from the first line on.
    if (!IsAscii(target + source + batchArgs)) text += "@\"%SystemRoot%\\System32\\chcp.com\" 65001 > nul\n";
    // About pauseSeconds of waiting, so that this process can exit and release its executable.
    text += FormatString("@\"%%SystemRoot%%\\System32\\ping.exe\" 127.0.0.1 -n %d -w 1000 > nul\n",
                         pauseSeconds + 1);
    if (!source.empty()) {
        // The source stays when the copy fails, so that the new build is not lost; the old one
        // then starts knowing that, and does not fetch and restart again and again.
        text += FormatString("@copy \"%s\" \"%s\" >nul\n", source.c_str(), target.c_str());
        text += "@if errorlevel 1 goto failed\n";
        text += FormatString("@del \"%s\"\n", source.c_str());
        text += "@echo Executable has been replaced.\n";
        text += "@goto launch\n";
        text += std::string(":failed\n@set ") + SELF_UPDATE_FAILED_VARIABLE + "=1\n";
        text += ":launch\n";
    }
    text += "@echo Re-launching executable.\n\n";
    text += FormatString("@start \"\" \"%s\" %s\n", target.c_str(), batchArgs.c_str());
    {
        StdioFileHolder file(OpenStdioFile(scriptPath, "w"));
        if (!file || fwrite(text.data(), 1, text.size(), file) != text.size() || file.reset() != 0)
            g_logger->errorf(lcGeneral, "Cannot write script %s", scriptPath.c_str());
    }

    g_logger->infof("Running updating script");
    // The interpreter takes no "\\?\" path: the script's name as it is, in backslashes.
    std::wstring commandLine = L"\"" + WideText(script) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // No window of its own: the script only waits, copies and starts the installer again.
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process))
        g_logger->errorf(lcGeneral, "(WinAPI error) %s", LastErrorText().c_str());
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    g_logger->infof("Updating script started successfully");
    exit(0);
}

#endif

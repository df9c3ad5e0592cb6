// The Windows half of the operating-system layer (OsUtils.cpp, OsUtilsWindows.cpp), under Wine:
// the executable's location, the working directory with a name beyond ASCII, files another
// handle holds open, free space, desktop shortcuts through COM and the restart batch script.
#include "CatchError.h"
#include "CwdGuard.h"
#include "OsUtils.h"
#include "ScopedEnv.h"
#include "ShellLink.h"
#include "TempDir.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "base/Platform.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <windows.h>

using namespace ZipSync;
namespace fs = std::filesystem;

TEST(OsUtilsWindows, ExecutableLocationAndWorkingDirectoryBeyondAscii) {
    SetArgv0("installer_core_OsUtilsWindows_test");
    std::string exe = GetExecutablePath();
    EXPECT_TRUE(fs::path(WideText(exe)).is_absolute()) << exe;
    EXPECT_EQ(GetFilename(exe), "installer_core_OsUtilsWindows_test.exe");
    EXPECT_EQ(GetExecutableDir() + "/" + GetFilename(exe), exe);
    EXPECT_EQ(GetExecutableName(), "installer_core_OsUtilsWindows_test");

    TempDir dir;
    std::string named = dir / "Spiele \xc3\xa4\xc3\xb6\xc3\xbc \xe6\x97\xa5\xe6\x9c\xac";
    ASSERT_EQ(MakeDirectory(named), 0);
    CwdGuard guard;
    EXPECT_TRUE(SetCwd(named));
    EXPECT_EQ(GetCwd(), named);
    EXPECT_FALSE(SetCwd(dir / "missing"));
    EXPECT_EQ(GetCwd(), named);
}

TEST(OsUtilsWindows, FilesHeldOpenCannotBeModified) {
    TempDir dir;
    std::string free = dir / "free.pk4", held = dir / "held \xc3\xa4.pk4", missing = dir / "missing.pk4";
    WriteTestFile(free, "x");
    WriteTestFile(held, "y");
    EXPECT_EQ(CheckFilesWritable({free, held}, false), "");
    // Another handle, as the running game holds its archives: sharing reading only, or nothing
    // (then even a reader is kept out, and the file is still no missing one).
    for (DWORD share : {DWORD(FILE_SHARE_READ), DWORD(0)}) {
        HANDLE game =
            CreateFileW(WindowsPath(held).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(game, INVALID_HANDLE_VALUE);
        EXPECT_EQ(CheckFilesWritable({free, held}, false), "File " + held + " cannot be modified");
        EXPECT_EQ(CheckFilesWritable({held}, true), "File " + held + " cannot be modified");
        CloseHandle(game);
    }
    EXPECT_EQ(CheckFilesWritable({free, held}, false), "");
    EXPECT_EQ(CheckFilesWritable({missing, free}, true), "");
    EXPECT_EQ(CheckFilesWritable({missing, free}, false), "File " + missing + " does not exist");
    EXPECT_EQ(CheckFilesWritable({dir.path()}, true),
              "File " + dir.path() + " is not a regular file (a directory)");

    EXPECT_GT(GetAvailableSpace(dir.path()), 0u);
    EXPECT_EQ(GetAvailableSpace(free), GetAvailableSpace(dir.path()));
    MarkAsExecutable(free); // nothing to do on Windows, and no failure
}

TEST(OsUtilsWindows, ShortcutOnTheDesktopThroughCom) {
    TempDir dir;
    CwdGuard guard;
    fs::current_path(WideText(dir.path()));
    WriteTestFile(dir / "Quillmerex64.exe", "not really a program");
    std::string name = "qmh test shortcut \xc3\xa4";
    std::string link = GetDesktopDir() + "/" + name + ".lnk";
    RemovePath(link);
    EXPECT_FALSE(IfShortcutExists(name));

    ShortcutInfo info;
    info.workingDirectory = ".";
    info.executablePath = "Quillmerex64.exe";
    info.arguments = "+set fs_game harborjob";
    info.name = name;
    info.comment = "Quillmere";
    CreateShortcut(info);
    EXPECT_TRUE(IfShortcutExists(name));
    std::string expected = dir.path() + "/Quillmerex64.exe";
    for (char& c : expected)
        if (c == '/') c = '\\';
    EXPECT_EQ(ShellLinkTarget(link), expected);
    RemovePath(link);

    CaughtError error = CatchError([] { CreateShortcut(ShortcutInfo{".", "a.exe", "", "a/b", "", ""}); });
    EXPECT_EQ(error.message, "Invalid shortcut name a/b");
}

TEST(OsUtilsWindows, TaskbarProgressWithoutAWindowDoesNothing) {
    SetTaskbarProgress(nullptr, 0.5);
    SetTaskbarProgress(nullptr, 1.0);
    SetTaskbarProgress(nullptr, -1);
}

// The restart writes "<target>__temp__.cmd", starts it and ends the process with exit code 0;
// the script calls the system's programs by their path, copies the new build over the target and
// deletes it.
TEST(OsUtilsWindows, RestartScriptReplacesTheExecutable) {
    // The death test's child runs this test again from its start: it takes the parent's directory.
    TempDir own;
    const char* inherited = getenv("QMH_TEST_RESTART_DIR");
    std::string dir = inherited ? inherited : own.path();
    ScopedEnv shared("QMH_TEST_RESTART_DIR", dir.c_str());
    std::string target = dir + "/qmh_installer.exe", source = dir + "/.__temp__";
    WriteTestFile(target, "old build");
    WriteTestFile(source, "new build");
    EXPECT_EXIT(
        ReplaceAndRestartExecutable(target, source, {"--unattended", "--version", "2.0 beta", "50%"}, 0),
        testing::ExitedWithCode(0), "");
    std::string script = ReadTestFile(target + "__temp__.cmd");
    auto backslashed = [](std::string path) {
        for (char& c : path)
            if (c == '/') c = '\\';
        return path;
    };
    std::string windowsTarget = backslashed(target), windowsSource = backslashed(source);
    EXPECT_EQ(script, "@\"%SystemRoot%\\System32\\ping.exe\" 127.0.0.1 -n 1 -w 1000 > nul\r\n"
                      "@copy \"" +
                          windowsSource + "\" \"" + windowsTarget +
                          "\" >nul\r\n"
                          "@if errorlevel 1 goto failed\r\n"
                          "@del \"" +
                          windowsSource +
                          "\"\r\n"
                          "@echo Executable has been replaced.\r\n"
                          "@goto launch\r\n"
                          ":failed\r\n"
                          "@set QMH_SELF_UPDATE_FAILED=1\r\n"
                          ":launch\r\n"
                          "@echo Re-launching executable.\r\n\r\n"
                          "@start \"\" \"" +
                          windowsTarget + "\" --unattended --version \"2.0 beta\" 50%%\r\n");
    // Polled by its attributes: opening the file to look would make the script's del fail.
    for (int i = 0; i < 200 && fs::exists(source); i++) Sleep(50);
    EXPECT_EQ(ReadTestFile(target), "new build");
    EXPECT_FALSE(fs::exists(source));
}

// A copy that fails (here: the new build is missing) starts the old build (a script that records
// the variable) with QMH_SELF_UPDATE_FAILED set, so that it does not fetch and restart again.
TEST(OsUtilsWindows, RestartScriptTellsTheOldBuildThatTheCopyFailed) {
    TempDir own;
    const char* inherited = getenv("QMH_TEST_RESTART_DIR");
    std::string dir = inherited ? inherited : own.path();
    ScopedEnv shared("QMH_TEST_RESTART_DIR", dir.c_str());
    auto backslashed = [](std::string path) {
        for (char& c : path)
            if (c == '/') c = '\\';
        return path;
    };
    std::string recorder = dir + "/record.cmd", record = dir + "/record.txt";
    WriteTestFile(recorder, "@echo failed=%QMH_SELF_UPDATE_FAILED%>\"" + backslashed(record) + "\"\r\n");
    EXPECT_EXIT(ReplaceAndRestartExecutable(recorder, dir + "/missing", {}, 0), testing::ExitedWithCode(0),
                "");
    for (int i = 0; i < 200 && !fs::exists(record); i++) Sleep(50);
    Sleep(200);
    EXPECT_EQ(ReadTestFile(record), "failed=1\r\n");
}

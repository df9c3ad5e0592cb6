// The operating-system layer: the executable's location from the saved command name, the
// working directory, the elevation test, locked and missing files, free space, execute bits,
// desktop shortcuts and the restart script.
#include "CatchError.h"
#include "OsUtils.h"
#include "TempDir.h"

#include "Logging.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

// Restores the working directory when a test changed it.
class CwdGuard {
public:
    CwdGuard() : _saved(fs::current_path()) {}
    ~CwdGuard() { fs::current_path(_saved); }

private:
    fs::path _saved;
};

std::string SelfExe() {
    return fs::read_symlink("/proc/self/exe").generic_string();
}

// Sets an environment variable for the life of the object, then restores the old value.
class EnvGuard {
public:
    EnvGuard(const char* name, const std::string& value) : _name(name) {
        const char* old = getenv(name);
        _had = old != nullptr;
        if (_had) _old = old;
        setenv(name, value.c_str(), 1);
    }
    ~EnvGuard() {
        if (_had)
            setenv(_name, _old.c_str(), 1);
        else
            unsetenv(_name);
    }

private:
    const char* _name;
    bool _had;
    std::string _old;
};

// Runs fn in a forked child and returns its exit code (-1 when it did not exit normally).
template <class Func> int RunForked(Func&& fn) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        int code = 99;
        try {
            code = fn();
        } catch (...) {
        }
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Another process holding a lock on a file until destroyed.
class LockHolder {
public:
    LockHolder(const std::string& path, bool recordLock) {
        int ready[2], release[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(release), 0);
        fflush(stdout);
        _pid = fork();
        if (_pid == 0) {
            int fd = open(path.c_str(), O_RDWR);
            struct flock lock = {};
            lock.l_type = F_WRLCK;
            bool locked = recordLock ? fcntl(fd, F_SETLK, &lock) == 0 : flock(fd, LOCK_EX) == 0;
            char c = locked ? 'y' : 'n';
            if (write(ready[1], &c, 1) != 1) _exit(1);
            close(release[1]);
            read(release[0], &c, 1);
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        _release = release[1];
        char c = 0;
        EXPECT_EQ(read(ready[0], &c, 1), 1);
        EXPECT_EQ(c, 'y');
        close(ready[0]);
    }
    ~LockHolder() {
        close(_release);
        waitpid(_pid, nullptr, 0);
    }

private:
    pid_t _pid;
    int _release;
};

} // namespace

// Runs first in its own process so that no command name has been saved yet.
TEST(OsUtilsDeathTest, ExecutableLocationNeedsSavedCommandName) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto call = [] {
        try {
            GetExecutablePath();
        } catch (const ErrorException& e) {
            std::string what = e.what();
            exit(what.find("Assertion !_argv0.empty() failed in ") == 0 && e.code == lcGeneral ? 7 : 8);
        }
        exit(9);
    };
    EXPECT_EXIT(call(), testing::ExitedWithCode(7), "");
}

TEST(OsUtils, ExecutablePathFromCommandName) {
    CwdGuard guard;
    TempDir dir;
    fs::create_directories(dir / "bin/sub");
    WriteTestFile(dir / "bin/qmh_installer", "#!/bin/sh\n");
    fs::create_symlink(dir / "bin/qmh_installer", dir / "bin/link_to_installer");
    fs::current_path(dir / "bin/sub");
    std::string bin = fs::canonical(dir / "bin").generic_string();

    struct Case {
        const char* argv0;
        std::string path;
        std::string name;
    } cases[] = {
        {"../qmh_installer", bin + "/qmh_installer", "qmh_installer"},
        {"./../../bin/./qmh_installer", bin + "/qmh_installer", "qmh_installer"},
        {"../link_to_installer", bin + "/qmh_installer", "link_to_installer"},
        // Found through PATH: the name says nothing about the location.
        {"qmh_installer", SelfExe(), "qmh_installer"},
    };
    for (const Case& c : cases) {
        SetArgv0(c.argv0);
        EXPECT_EQ(GetExecutablePath(), c.path) << c.argv0;
        EXPECT_EQ(GetExecutableDir(), fs::path(c.path).parent_path().generic_string()) << c.argv0;
        EXPECT_EQ(GetExecutableName(), c.name) << c.argv0;
    }

    SetArgv0((dir.path() + "/bin/missing").c_str());
    EXPECT_THROW(GetExecutablePath(), fs::filesystem_error);
}

TEST(OsUtils, SetCwdChangesOnlyToExistingDirectories) {
    CwdGuard guard;
    TempDir dir;
    std::string target = fs::canonical(dir.path()).generic_string();
    WriteTestFile(dir / "file", "x");
    std::string before = GetCwd();

    EXPECT_FALSE(SetCwd(target + "/missing"));
    EXPECT_EQ(GetCwd(), before);
    EXPECT_FALSE(SetCwd(target + "/file"));
    EXPECT_EQ(GetCwd(), before);

    EXPECT_TRUE(SetCwd(target));
    EXPECT_EQ(GetCwd(), target);
    // The read-back must equal the requested text exactly.
    EXPECT_FALSE(SetCwd(target + "/."));
}

TEST(OsUtils, AdminExactlyForEffectiveRoot) {
    EXPECT_EQ(IsRunningAsAdmin(), geteuid() == 0);
    if (geteuid() != 0) return;
    struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        // Real user stays root; only the effective one changes.
        if (setresuid(0, nobody->pw_uid, 0) != 0) _exit(10);
        _exit(IsRunningAsAdmin() ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(OsUtils, CheckFilesWritableReportsFirstFailure) {
    TempDir dir;
    std::string ok = dir / "ok.pk4", locked = dir / "locked.pk4", missing = dir / "missing.pk4";
    WriteTestFile(ok, "a");
    WriteTestFile(locked, "b");
    EXPECT_EQ(CheckFilesWritable({ok, missing}, true), "");
    EXPECT_EQ(CheckFilesWritable({ok, missing, locked}, false), "File " + missing + " does not exist");
    for (bool recordLock : {false, true}) {
        SCOPED_TRACE(recordLock ? "record lock" : "flock");
        {
            LockHolder holder(locked, recordLock);
            EXPECT_EQ(CheckFilesWritable({ok, missing, locked}, true),
                      "File " + locked + " cannot be modified");
            EXPECT_EQ(CheckFilesWritable({missing, locked}, false), "File " + missing + " does not exist");
        }
        EXPECT_EQ(CheckFilesWritable({ok, locked}, false), "");
    }
    EXPECT_EQ(ReadTestFile(locked), "b");

    // A read-only file, checked by a user that the permissions bind.
    std::string readOnly = dir / "ro.pk4";
    WriteTestFile(readOnly, "c");
    chmod(readOnly.c_str(), 0444);
    chmod(dir.path().c_str(), 0755);
    std::string expected = "File " + readOnly + " cannot be modified";
    int code = RunForked([&] {
        struct passwd* nobody = getpwnam("nobody");
        if (geteuid() == 0 && (!nobody || setresuid(nobody->pw_uid, nobody->pw_uid, nobody->pw_uid) != 0))
            return 2;
        return CheckFilesWritable({readOnly}, false) == expected ? 0 : 1;
    });
    EXPECT_EQ(code, 0);
}

TEST(OsUtils, MarkAsExecutableWhereReadable) {
    TempDir dir;
    std::string file = dir / "Quillmere";
    WriteTestFile(file, "x");
    struct Case {
        mode_t before, after;
    } cases[] = {{0644, 0755}, {0600, 0700}, {0640, 0750},  {0404, 0505},
                 {0200, 0200}, {0755, 0755}, {04640, 04750}};
    for (const Case& c : cases) {
        chmod(file.c_str(), c.before);
        MarkAsExecutable(file);
        struct stat info;
        ASSERT_EQ(stat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.after) << std::oct << c.before;
    }
    ExpectError([&] { MarkAsExecutable(dir / "none"); }, lcGeneral,
                "Cannot mark " + dir / "none" + " as executable");
}

TEST(OsUtils, AvailableSpaceOfSmallTmpfs) {
    EXPECT_EQ(GetAvailableSpace("/nonexistent/dir"), 0u);
    TempDir dir;
    std::string mountPoint = dir / "mnt";
    fs::create_directories(mountPoint);
    if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=8m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs (needs root): " << strerror(errno);
    EXPECT_EQ(GetAvailableSpace(mountPoint), 8u << 20);
    WriteTestFile(mountPoint + "/big", std::string(1 << 20, 'x'));
    EXPECT_EQ(GetAvailableSpace(mountPoint + "/big"), 7u << 20);
    EXPECT_EQ(umount(mountPoint.c_str()), 0);
}

TEST(OsUtils, ShortcutWrittenAndDetected) {
    CwdGuard cwd;
    TempDir home;
    EnvGuard homeEnv("HOME", home.path());
    EnvGuard configEnv("XDG_CONFIG_HOME", home / "conf");
    fs::create_directories(home / "game dir");
    fs::current_path(home / "game dir");
    std::string cwdText = GetCwd();

    // No user directories file: ~/Desktop, created on demand.
    EXPECT_EQ(GetDesktopDir(), home / "Desktop");
    EXPECT_FALSE(IfShortcutExists("Quillmere"));
    CreateShortcut({"", "Quillmere.exe", "", "Quillmere", "", ""});
    EXPECT_EQ(ReadTestFile(home / "Desktop/Quillmere.desktop"),
              "[Desktop Entry]\nType=Application\nName=Quillmere\nPath=" + cwdText + "\nExec=\"" + cwdText +
                  "/Quillmere.exe\"\nTerminal=false\n");
    EXPECT_TRUE(IfShortcutExists("Quillmere"));

    WriteTestFile(home / "conf/user-dirs.dirs",
                  "# written by xdg-user-dirs-update\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
                  "XDG_DESKTOP_DIR=\"$HOME/Bureau \\\"perso\\\"\"\n");
    std::string desktop = home / "Bureau \"perso\"";
    EXPECT_EQ(GetDesktopDir(), desktop);
    EXPECT_FALSE(IfShortcutExists("Quillmere"));
    CreateShortcut({"run", "bin/Quill $mere 100%.exe", "--fullscreen +set x", "Quillmere",
                    "/abs/QMH_icon.ico", "Quillmere: a game\\test"});
    EXPECT_EQ(
        ReadTestFile(desktop + "/Quillmere.desktop"),
        "[Desktop Entry]\nType=Application\nName=Quillmere\nComment=Quillmere: a game\\\\test\nPath=" +
            cwdText + "/run\nExec=\"" + cwdText +
            "/bin/Quill \\\\$mere 100%%.exe\" --fullscreen +set x\nIcon=/abs/QMH_icon.ico\nTerminal=false\n");
    EXPECT_TRUE(IfShortcutExists("Quillmere"));
    struct stat info;
    ASSERT_EQ(stat((desktop + "/Quillmere.desktop").c_str(), &info), 0);
    EXPECT_TRUE(info.st_mode & S_IXUSR);

    WriteTestFile(desktop + "/Notes.desktop", "just text\n[Desktop Entry]\nType=Link\nName=x\n");
    WriteTestFile(desktop + "/Half.desktop", "[Desktop Entry]\nName=x\n[Other]\nType=Application\n");
    EXPECT_FALSE(IfShortcutExists("Notes"));
    EXPECT_FALSE(IfShortcutExists("Half"));
    ExpectError(
        [] {
            CreateShortcut({"", "a", "", "../evil", "", ""});
        },
        lcGeneral, "Invalid shortcut name ../evil");
}

namespace {

// A target program that appends its working directory and arguments, one per line, to
// record.txt beside itself; `tag` tells builds apart.
std::string RecorderScript(const std::string& tag) {
    return "#!/usr/bin/env python3\nimport os, sys, json\n"
           "with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), 'record.txt'), 'a') as f:\n"
           "    f.write(json.dumps(['" +
           tag + "', os.getcwd()] + sys.argv[1:]) + '\\n')\n";
}

// The text as Python's json module writes a string of printable ASCII.
std::string JsonText(const std::string& text) {
    std::string json = "\"";
    for (char c : text) json += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return json + "\"";
}

// Waits until the file has the given number of lines; a failed restart leaves it short.
std::string WaitForLines(const std::string& path, size_t lines) {
    for (int i = 0; i < 600; i++) {
        std::error_code ec;
        if (fs::exists(path, ec)) {
            std::string text = ReadTestFile(path);
            if (size_t(std::count(text.begin(), text.end(), '\n')) >= lines) return text;
        }
        usleep(50 * 1000);
    }
    return fs::exists(path) ? ReadTestFile(path) : "";
}

} // namespace

TEST(OsUtils, RestartScriptReplacesAndRelaunches) {
    CwdGuard cwd;
    TempDir dir;
    std::string bin = dir / "in 'quoted' $dir";
    std::string work = dir / "work \"dir\"";
    fs::create_directories(bin);
    fs::create_directories(work);
    std::string target = bin + "/qmh installer";
    std::string source = target + ".__temp__";
    WriteTestFile(target, RecorderScript("old"));
    WriteTestFile(source, RecorderScript("new"));
    chmod(target.c_str(), 0755);
    chmod(source.c_str(), 0644);
    std::vector<std::string> args = {"plain", "two words",   "it's", "\"dq\"", "$HOME",
                                     "",      "back\\slash", "*",    "-x"};
    std::string expected = "[\"new\", " + JsonText(fs::canonical(work).generic_string());
    for (const std::string& arg : args) expected += ", " + JsonText(arg);

    fs::current_path(work);
    EXPECT_EQ(RunForked([&]() -> int { ReplaceAndRestartExecutable(target, source, args, 0); }), 0);
    std::string record = WaitForLines(bin + "/record.txt", 1);
    EXPECT_EQ(record, expected + "]\n");
    EXPECT_FALSE(fs::exists(source));
    EXPECT_EQ(ReadTestFile(target), RecorderScript("new"));
    std::string script = ReadTestFile(target + "__temp__.sh");
    EXPECT_NE(script.find("Executable has been replaced."), std::string::npos);

    // Without a source the target is only started again, here from a relative path.
    fs::current_path(bin);
    EXPECT_EQ(RunForked([&]() -> int { ReplaceAndRestartExecutable("qmh installer", "", {"again"}, 0); }), 0);
    record = WaitForLines(bin + "/record.txt", 2);
    EXPECT_EQ(record.substr(record.find('\n') + 1),
              "[\"new\", " + JsonText(fs::canonical(bin).generic_string()) + ", \"again\"]\n");
    script = ReadTestFile(bin + "/qmh installer__temp__.sh");
    EXPECT_EQ(script.find("Executable has been replaced."), std::string::npos);
    EXPECT_NE(script.find("Re-launching executable."), std::string::npos);

    // A copy that fails keeps the source and restarts the old target.
    fs::create_directories(bin + "/dir.__temp__");
    EXPECT_EQ(RunForked([&]() -> int { ReplaceAndRestartExecutable(target, bin + "/dir.__temp__", {}, 0); }),
              0);
    record = WaitForLines(bin + "/record.txt", 3);
    EXPECT_EQ(record.substr(record.rfind('\n', record.size() - 2) + 1),
              "[\"new\", " + JsonText(fs::canonical(bin).generic_string()) + "]\n");
    EXPECT_TRUE(fs::is_directory(bin + "/dir.__temp__"));
    EXPECT_EQ(ReadTestFile(target), RecorderScript("new"));
}

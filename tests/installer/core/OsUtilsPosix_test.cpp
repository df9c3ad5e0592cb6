// The POSIX half of the operating-system layer (OsUtils.cpp, OsUtilsPosix.cpp): the executable's location
// from the saved command name, the working directory, the elevation test, locked and missing files, free
// space, execute bits, desktop shortcuts and the restart script.
#include "CatchError.h"
#include "CwdGuard.h"
#include "GameFixture.h"
#include "HangGuard.h"
#include "OsUtils.h"
#include "ScopedEnv.h"
#include "TempDir.h"

#include "base/Logging.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

std::string SelfExe() {
    return fs::read_symlink("/proc/self/exe").generic_string();
}

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

namespace {

// Another process holding a lock on the file (flock, or a POSIX record lock) while it lives.
class LockHolder {
public:
    LockHolder(const std::string& path, bool recordLock) {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        if ((_pid = fork()) == 0) {
            int fd = open(path.c_str(), O_RDWR);
            struct flock lock = {F_WRLCK, SEEK_SET, 0, 0, 0};
            char c = (recordLock ? fcntl(fd, F_SETLK, &lock) : flock(fd, LOCK_EX)) == 0 ? 'y' : 'n';
            if (write(ready[1], &c, 1) == 1) pause();
            _exit(0);
        }
        char c = 0;
        EXPECT_EQ(read(ready[0], &c, 1), 1);
        EXPECT_EQ(c, 'y');
        close(ready[0]);
        close(ready[1]);
    }
    ~LockHolder() {
        kill(_pid, SIGKILL);
        waitpid(_pid, nullptr, 0);
    }

private:
    pid_t _pid;
};

} // namespace

TEST(OsUtils, CheckFilesWritableReportsFirstFailure) {
    TempDir dir;
    std::string ok = dir / "ok.pk4", locked = dir / "locked.pk4", missing = dir / "no.pk4",
                ro = dir / "ro.pk4";
    for (const std::string& file : {ok, locked, ro}) WriteTestFile(file, "a");
    EXPECT_EQ(CheckFilesWritable({ok, missing}, true), "");
    EXPECT_EQ(CheckFilesWritable({ok, missing, locked}, false), "File " + missing + " does not exist");
    // A FIFO is never opened (that would wait for a writer), even when missing files are allowed.
    std::string fifo = dir / "fifo.pk4";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    {
        HangGuard guard;
        EXPECT_EQ(CheckFilesWritable({ok, fifo}, true), "File " + fifo + " is not a regular file (a FIFO)");
    }
    for (bool recordLock : {false, true}) {
        {
            LockHolder holder(locked, recordLock);
            EXPECT_EQ(CheckFilesWritable({ok, missing, locked}, true),
                      "File " + locked + " cannot be modified");
        }
        EXPECT_EQ(CheckFilesWritable({ok, locked}, false), "");
    }
    // A read-only file, checked by a user whom the permissions bind.
    chmod(ro.c_str(), 0444);
    chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(RunInChild([&] {
                  struct passwd* nobody = getpwnam("nobody");
                  if (geteuid() == 0 && setresuid(nobody->pw_uid, nobody->pw_uid, nobody->pw_uid) != 0)
                      _exit(2);
                  _exit(CheckFilesWritable({ro}, false) == "File " + ro + " cannot be modified" ? 0 : 1);
              }),
              0);
}

TEST(OsUtils, MarkAsExecutableWhereReadable) {
    TempDir dir;
    std::string file = dir / "Quillmere";
    WriteTestFile(file, "x");
    std::pair<mode_t, mode_t> cases[] = {
        {0644, 0755}, {0640, 0750}, {0404, 0505}, {0200, 0200}, {04600, 04700}};
    for (auto [before, after] : cases) {
        chmod(file.c_str(), before);
        MarkAsExecutable(file);
        EXPECT_EQ(fs::status(file).permissions(), fs::perms(after)) << std::oct << before;
    }
    ExpectError([&] { MarkAsExecutable(dir / "no"); }, lcGeneral,
                "Cannot mark " + dir / "no" + " as executable");
}

TEST(OsUtils, AvailableSpaceOfSmallTmpfs) {
    EXPECT_EQ(GetAvailableSpace("/nonexistent/dir"), 0u);
    TempDir dir;
    fs::create_directories(dir / "mnt");
    if (mount("tmpfs", (dir / "mnt").c_str(), "tmpfs", 0, "size=8m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs (needs root): " << strerror(errno);
    EXPECT_EQ(GetAvailableSpace(dir / "mnt"), 8u << 20);
    WriteTestFile(dir / "mnt/big", std::string(1 << 20, 'x'));
    EXPECT_EQ(GetAvailableSpace(dir / "mnt/big"), 7u << 20);
    EXPECT_EQ(umount((dir / "mnt").c_str()), 0);
}

TEST(OsUtils, ShortcutWrittenAndDetected) {
    CwdGuard cwd;
    TempDir home;
    ScopedEnv homeEnv("HOME", home.path().c_str());
    ScopedEnv configEnv("XDG_CONFIG_HOME", (home / "conf").c_str());
    fs::create_directories(home / "game dir");
    fs::current_path(home / "game dir");
    std::string here = GetCwd();

    // Without a user directories file: ~/Desktop, created on demand.
    EXPECT_FALSE(IfShortcutExists("Quillmere"));
    CreateShortcut({"", "Quillmere.exe", "", "Quillmere", "", ""});
    EXPECT_EQ(ReadTestFile(home / "Desktop/Quillmere.desktop"),
              "[Desktop Entry]\nType=Application\nName=Quillmere\nPath=" + here + "\nExec=\"" + here +
                  "/Quillmere.exe\"\nTerminal=false\n");
    EXPECT_TRUE(IfShortcutExists("Quillmere"));

    WriteTestFile(home / "conf/user-dirs.dirs",
                  "# xdg-user-dirs\nXDG_DESKTOP_DIR=\"$HOME/Bureau \\\"perso\\\"\"\n");
    std::string desktop = home / "Bureau \"perso\"";
    EXPECT_EQ(GetDesktopDir(), desktop);
    EXPECT_FALSE(IfShortcutExists("Quillmere"));
    CreateShortcut(
        {"run", "bin/Quill $mere 100%", "--fullscreen +set x", "Quillmere", "/i.ico", "A game\\test"});
    EXPECT_EQ(ReadTestFile(desktop + "/Quillmere.desktop"),
              "[Desktop Entry]\nType=Application\nName=Quillmere\nComment=A game\\\\test\nPath=" + here +
                  "/run\nExec=\"" + here +
                  "/bin/Quill \\\\$mere 100%%\" --fullscreen +set x\nIcon=/i.ico\nTerminal=false\n");
    EXPECT_TRUE(IfShortcutExists("Quillmere"));
    EXPECT_TRUE((fs::status(desktop + "/Quillmere.desktop").permissions() & fs::perms::owner_exec) !=
                fs::perms::none);

    WriteTestFile(desktop + "/Notes.desktop", "text\n[Desktop Entry]\nType=Link\nName=x\n");
    WriteTestFile(desktop + "/Half.desktop", "[Desktop Entry]\nName=x\n[Other]\nType=Application\n");
    EXPECT_FALSE(IfShortcutExists("Notes"));
    EXPECT_FALSE(IfShortcutExists("Half"));
    ExpectError(
        [] {
            CreateShortcut({"", "a", "", "../evil", "", ""});
        },
        lcGeneral, "Invalid shortcut name ../evil");
}

// The target program appends its build tag, working directory and arguments as a JSON line
// to record.txt beside itself.
static std::string Recorder(const std::string& tag) {
    return "#!/usr/bin/env python3\nimport os, sys, json\n"
           "with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), 'record.txt'), 'a') as f:\n"
           "    failed = ['update failed'] if 'QMH_SELF_UPDATE_FAILED' in os.environ else []\n"
           "    f.write(json.dumps(['" +
           tag + "', os.getcwd()] + sys.argv[1:] + failed) + '\\n')\n";
}

TEST(OsUtils, RestartScriptReplacesAndRelaunches) {
    CwdGuard cwd;
    TempDir dir;
    std::string bin = fs::canonical(dir.path()).generic_string() + "/in 'q' $dir", work = bin + "/w \"d\"";
    std::string target = bin + "/qmh installer", record = bin + "/record.txt";
    fs::create_directories(work);
    WriteTestFile(target, Recorder("old"));
    WriteTestFile(target + ".__temp__", Recorder("new"));
    chmod(target.c_str(), 0755);
    std::string expected;
    // Waits for the restarted target's line; a failed restart leaves the record short.
    auto nextRecord = [&](std::string line) {
        expected += line + "\n";
        for (int i = 0; i < 600 && !(fs::exists(record) && ReadTestFile(record).size() >= expected.size());
             i++)
            usleep(50 * 1000);
        return fs::exists(record) ? ReadTestFile(record) : "";
    };
    auto json = [](const std::string& text) {
        std::string quoted = "\"";
        for (char c : text) quoted += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
        return quoted + "\"";
    };

    fs::current_path(work);
    // The script runs in the install directory: commands planted there are never run, not even
    // with an empty entry (the working directory) in the caller's PATH.
    for (const char* command : {"sleep", "cp", "chmod", "rm"}) {
        WriteTestFile(work + "/" + command, "#!/bin/sh\ntouch planted\n");
        chmod((work + "/" + command).c_str(), 0755);
    }
    std::vector<std::string> args = {"two words", "it's", "\"dq\"", "$HOME", "", "back\\slash", "*", "-x"};
    EXPECT_EQ(RunInChild([&] {
                  setenv("PATH", (":" + std::string(getenv("PATH"))).c_str(), 1);
                  ReplaceAndRestartExecutable(target, target + ".__temp__", args, 0);
              }),
              0);
    std::string line = "[\"new\", " + json(work);
    for (const std::string& arg : args) line += ", " + json(arg);
    EXPECT_EQ(nextRecord(line + "]"), expected);
    EXPECT_FALSE(fs::exists(work + "/planted"));
    EXPECT_FALSE(fs::exists(target + ".__temp__"));
    EXPECT_EQ(ReadTestFile(target), Recorder("new"));
    EXPECT_NE(ReadTestFile(target + "__temp__.sh").find("Executable has been replaced."), std::string::npos);

    // Without a source, from a relative path: only waits and relaunches.
    fs::current_path(bin);
    EXPECT_EQ(RunInChild([&] { ReplaceAndRestartExecutable("qmh installer", "", {"again"}, 0); }), 0);
    EXPECT_EQ(nextRecord("[\"new\", " + json(bin) + ", \"again\"]"), expected);
    EXPECT_EQ(ReadTestFile(target + "__temp__.sh").find("replaced"), std::string::npos);

    // A copy that fails keeps the source and restarts the old target, telling it so: it then
    // goes on as it is instead of fetching the new build and restarting again.
    fs::create_directories(bin + "/dir.__temp__");
    EXPECT_EQ(RunInChild([&] { ReplaceAndRestartExecutable(target, bin + "/dir.__temp__", {}, 0); }), 0);
    EXPECT_EQ(nextRecord("[\"new\", " + json(bin) + ", \"update failed\"]"), expected);
    EXPECT_TRUE(fs::is_directory(bin + "/dir.__temp__"));
    setenv("QMH_SELF_UPDATE_FAILED", "1", 1);
    EXPECT_TRUE(SelfUpdateFailed());
    EXPECT_FALSE(SelfUpdateFailed());
    EXPECT_EQ(getenv("QMH_SELF_UPDATE_FAILED"), nullptr);
}

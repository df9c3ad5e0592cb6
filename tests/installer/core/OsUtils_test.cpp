// Process utilities: the executable's location from the saved command name, the working
// directory, and the elevation test.
#include "OsUtils.h"
#include "TempDir.h"

#include "Logging.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <pwd.h>
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

// The qmh_installer program as a whole: help mode, the working directory it settles on,
// and the administrator warning, run on Xvfb as a separate process. Except where root is
// the point, it runs as the unprivileged user "nobody", since root counts as elevated.
#include "ChildProcess.h"
#include "TempDir.h"
#include "VirtualDisplay.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const kMainTitle = "Quillmere installer v1.16";
const char* const kHelpTitle = "Quillmere installer: help";
const double kPatience = 60; // seconds; only a bound for slow machines

std::vector<std::string> Listing(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        names.push_back(fs::relative(e.path(), dir).string());
    std::sort(names.begin(), names.end());
    return names;
}

// A copy of the installer in a directory of its own, and a separate working directory to
// start it from; both writable by the unprivileged user.
class InstallerRun : public testing::Test {
protected:
    void SetUp() override {
        display = &VirtualDisplay::Shared();
        GiveToUnprivilegedUser(exeDir.path());
        GiveToUnprivilegedUser(workDir.path());
        fs::copy_file(std::string(TESTS_BIN_DIR) + "/qmh_installer", exePath());
        fs::permissions(exePath(), fs::perms(0755));
        outputPath = std::string(TESTS_BINARY_DIR) + "/tests/" +
                     testing::UnitTest::GetInstance()->current_test_info()->name() + ".out";
    }
    void TearDown() override {
        // The next test must not find this run's windows.
        if (child) {
            child->Kill();
            display->WaitForWindowGone("Quillmere installer", kPatience);
        }
    }

    std::string exePath() const { return exeDir / "qmh_installer"; }
    std::string Canonical(const TempDir& dir) const { return fs::canonical(dir.path()).string(); }

    void Start(std::vector<std::string> argv, bool unprivileged = true, std::vector<std::string> env = {}) {
        ChildOptions options;
        options.argv = std::move(argv);
        options.cwd = workDir.path();
        options.env = std::move(env);
        options.env.push_back(display->DisplayEnv());
        options.outputPath = outputPath;
        options.unprivileged = unprivileged;
        child = std::make_unique<ChildProcess>(options);
    }
    std::string Output() const { return ReadTestFile(outputPath); }

    VirtualDisplay* display = nullptr;
    TempDir exeDir{"qmhexe"};
    TempDir workDir{"qmhwork"};
    std::string outputPath;
    std::unique_ptr<ChildProcess> child;
};

} // namespace

TEST_F(InstallerRun, HelpShowsParametersAndTouchesNothing) {
    const std::vector<std::vector<std::string>> argLists = {
        {"--help"}, {"--help", "--unattended"}, {"--unattended", "--help", "--version", "2.12"}};
    for (const auto& args : argLists) {
        SCOPED_TRACE(args.size());
        std::vector<std::string> argv = {exePath()};
        argv.insert(argv.end(), args.begin(), args.end());
        Start(argv);
        ASSERT_TRUE(display->WaitForWindow(kHelpTitle, kPatience)) << Output();
        // Still showing help: no unattended run ended the process, no wizard was built.
        EXPECT_TRUE(child->Running());
        std::vector<std::string> names = display->TopLevelWindowNames();
        EXPECT_EQ(std::count_if(names.begin(), names.end(),
                                [](const std::string& n) { return n.find(kMainTitle) != std::string::npos; }),
                  0);
        EXPECT_EQ(child->Cwd(), Canonical(workDir));
        child->Kill();
        ASSERT_TRUE(display->WaitForWindowGone(kHelpTitle, kPatience));

        EXPECT_EQ(Listing(exeDir.path()), std::vector<std::string>{"qmh_installer"});
        EXPECT_EQ(Listing(workDir.path()), std::vector<std::string>{});
    }
    child.reset();
}

TEST_F(InstallerRun, WorksInTheDirectoryHoldingItsExecutable) {
    struct Case {
        std::string argv0;
        std::vector<std::string> env;
    } cases[] = {
        {exePath(), {}},
        // Found through PATH: the name alone tells nothing, the running executable does.
        {"qmh_installer", {"PATH=" + exeDir.path() + ":/usr/sbin:/usr/bin:/sbin:/bin"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argv0);
        Start({c.argv0}, true, c.env);
        ASSERT_TRUE(display->WaitForWindow(kMainTitle, kPatience)) << Output();
        EXPECT_TRUE(WaitUntil([&] { return child->Cwd() == Canonical(exeDir); }, kPatience)) << child->Cwd();
        child->Kill();
        ASSERT_TRUE(display->WaitForWindowGone(kMainTitle, kPatience));
        // No log file before the settings page is confirmed.
        EXPECT_EQ(Listing(exeDir.path()), std::vector<std::string>{"qmh_installer"});
        EXPECT_EQ(Listing(workDir.path()), std::vector<std::string>{});
    }
    child.reset();
}

TEST_F(InstallerRun, ElevatedInteractiveRunAsksAfterTheWindowAppears) {
    if (!CanDropPrivileges()) GTEST_SKIP() << "needs root to run elevated";
    Start({exePath()}, false);
    ASSERT_TRUE(display->WaitForWindow(kMainTitle, kPatience)) << Output();
    // The warning is a second window of the toolkit.
    auto fltkWindows = [&] {
        int n = 0;
        for (const std::string& line : display->TopLevelWindowLines())
            if (line.find("(\"FLTK\" \"FLTK\")") != std::string::npos) n++;
        return n;
    };
    EXPECT_TRUE(WaitUntil([&] { return fltkWindows() >= 2; }, kPatience));
    EXPECT_TRUE(child->Running());
}

TEST_F(InstallerRun, ElevatedUnattendedRunEndsWithCode2) {
    if (!CanDropPrivileges()) GTEST_SKIP() << "needs root to run elevated";
    Start({exePath(), "--unattended"}, false);
    EXPECT_EQ(child->Wait(kPatience), 2) << Output();
    EXPECT_NE(Output().find(
                  "Warning: Showing warning message: The installer was run \"as admin\". This is strongly "
                  "discouraged!\nIf you continue, admin rights will most likely be necessary to play the "
                  "game.\n"),
              std::string::npos)
        << Output();
}

// An administrator who means it: --allow-admin goes on without the warning (here to the
// download of the configuration, which finds no server).
TEST_F(InstallerRun, ElevatedRunGoesOnWithAllowAdmin) {
    if (!CanDropPrivileges()) GTEST_SKIP() << "needs root to run elevated";
    Start({exePath(), "--unattended", "--allow-admin"}, false, {"QMH_UPDATE_SERVER=https://127.0.0.1:1"});
    EXPECT_EQ(child->Wait(kPatience), 3) << Output();
    EXPECT_NE(Output().find("Running as admin, as --allow-admin asks\n"), std::string::npos) << Output();
    EXPECT_EQ(Output().find("Showing warning message"), std::string::npos) << Output();
    EXPECT_NE(Output().find("Downloading config file from https://127.0.0.1:1/zipsync/qmh_installer.ini"),
              std::string::npos)
        << Output();
}

TEST_F(InstallerRun, UnattendedRunNeverClaimsSuccessWithoutInstalling) {
    Start({exePath(), "--unattended"});
    int code = child->Wait(kPatience);
    EXPECT_EQ(code, 3) << Output();
    EXPECT_NE(Output().find("Warning: Showing error message: "), std::string::npos) << Output();
}

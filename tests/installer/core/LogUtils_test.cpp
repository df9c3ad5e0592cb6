// The installer's file logger (header, line format, pruning of old logs, open failure) and
// the time-stamped file names.
#include "LogUtils.h"
#include "TempDir.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sstream>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

// The log file and debugger flag are process-wide and opened once, so each case runs in a
// forked child working in `dir`. The child's exit code is what `body` returns (100 for an
// unexpected exception).
int RunInChild(const std::string& dir, const std::function<int()>& body) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        int code = 100;
        if (chdir(dir.c_str()) == 0) {
            try {
                code = body();
            } catch (...) {
                code = 100;
            }
        }
        fflush(stdout);
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::vector<std::string> FileNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Opens the log in a child with the given current time.
int OpenLogAt(const std::string& dir, long long now) {
    return RunInChild(dir, [now] {
        g_logger = new LoggerQmh();
        static_cast<LoggerQmh*>(g_logger)->OpenLogFileAt(now);
        return 0;
    });
}

const long long kThirtyDays = 2592000;

} // namespace

TEST(LoggerQmh, HeaderAndLinesGoToFileInWorkingDirectory) {
    TempDir dir;
    const long long now = 1700000000;
    int code = RunInChild(dir.path(), [now] {
        LoggerQmh* logger = new LoggerQmh();
        g_logger = logger;
        logger->OpenLogFileAt(now);
        g_logger->infof("Install directory: %s", "/games/qmh");
        g_logger->warningf("low %s", "space");
        try {
            g_logger->errorf(lcCantOpenFile, "Failed to open file \"%s\"", "x");
        } catch (const ErrorException& e) {
            if (e.code != lcCantOpenFile || std::string(e.what()) != "Failed to open file \"x\"") return 1;
        }
        return 0;
    });
    ASSERT_EQ(code, 0);

    std::string name = "qmh_installer_1700000000.log";
    ASSERT_EQ(FileNames(dir.path()), std::vector<std::string>{name});
    time_t t = (time_t)now;
    std::string expected =
        std::string("This is log file of qmh_installer application.\nCreated at ") + ctime(&t) +
        "\nInstall directory: /games/qmh\nWarning: low space\nERROR: Failed to open file \"x\"\n";
    EXPECT_EQ(ReadTestFile(dir / name), expected);
    // ctime's text is 24 characters and its own newline, so the header ends in an empty line.
    std::vector<std::string> lines = Lines(ReadTestFile(dir / name));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1].size(), strlen("Created at ") + 24);
    EXPECT_EQ(lines[2], "");
}

TEST(LoggerQmh, SecondOpenAndNewLoggerContinueTheSameFile) {
    TempDir dir;
    int code = RunInChild(dir.path(), [] {
        LoggerQmh* first = new LoggerQmh();
        g_logger = first;
        first->OpenLogFileAt(1000);
        g_logger->infof("one");
        delete g_logger;
        LoggerQmh* second = new LoggerQmh();
        g_logger = second;
        second->OpenLogFileAt(2000);
        g_logger->infof("two");
        return 0;
    });
    ASSERT_EQ(code, 0);
    ASSERT_EQ(FileNames(dir.path()), std::vector<std::string>{"qmh_installer_1000.log"});
    std::vector<std::string> lines = Lines(ReadTestFile(dir / "qmh_installer_1000.log"));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[3], "one");
    EXPECT_EQ(lines[4], "two");
}

TEST(LoggerQmh, RunStartingInTheSameSecondKeepsTheEarlierLog) {
    TempDir dir;
    for (const char* text : {"first run", "second run"}) {
        ASSERT_EQ(RunInChild(dir.path(),
                             [text] {
                                 g_logger = new LoggerQmh();
                                 static_cast<LoggerQmh*>(g_logger)->OpenLogFileAt(1000);
                                 g_logger->infof("%s", text);
                                 return 0;
                             }),
                  0);
    }
    std::vector<std::string> lines = Lines(ReadTestFile(dir / "qmh_installer_1000.log"));
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[3], "first run");
    EXPECT_EQ(lines[4], "This is log file of qmh_installer application.");
    EXPECT_EQ(lines[7], "second run");
}

TEST(LoggerQmh, LongMessageIsCutTo16383Characters) {
    TempDir dir;
    ASSERT_EQ(RunInChild(dir.path(),
                         [] {
                             g_logger = new LoggerQmh();
                             static_cast<LoggerQmh*>(g_logger)->OpenLogFileAt(5);
                             g_logger->infof("%s", std::string(20000, 'q').c_str());
                             return 0;
                         }),
              0);
    std::string text = ReadTestFile(dir / "qmh_installer_5.log");
    // The cut takes the line's newline with it.
    std::string tail = text.substr(text.find("\n\n") + 2);
    EXPECT_EQ(tail, std::string(16383, 'q'));
}

TEST(LoggerQmh, PrunesLogsOlderThanThirtyDays) {
    struct Case {
        long long now;
        bool hundredRemoved;
    } cases[] = {{100 + kThirtyDays, false}, {100 + kThirtyDays + 1, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.now);
        TempDir dir;
        WriteTestFile(dir / "qmh_installer_100.log", "old\n");
        WriteTestFile(dir / "qmh_installer_-5.log", "negative\n");
        WriteTestFile(dir / "qmh_installer_99999999999.log", "future\n");
        ASSERT_EQ(OpenLogAt(dir.path(), c.now), 0);

        EXPECT_EQ(fs::exists(dir / "qmh_installer_100.log"), !c.hundredRemoved);
        EXPECT_TRUE(fs::exists(dir / "qmh_installer_-5.log"));
        EXPECT_TRUE(fs::exists(dir / "qmh_installer_99999999999.log"));
        std::string own = "qmh_installer_" + std::to_string(c.now) + ".log";
        std::vector<std::string> lines = Lines(ReadTestFile(dir / own));
        if (c.hundredRemoved) {
            ASSERT_EQ(lines.size(), 4u);
            EXPECT_EQ(lines[3], "Removing old logfile: qmh_installer_100.log");
        } else {
            EXPECT_EQ(lines.size(), 3u);
        }
    }
}

TEST(LoggerQmh, PruningMatchesTheExactLogNameOnly) {
    TempDir dir;
    const long long now = 10 * kThirtyDays;
    const char* removed[] = {"qmh_installer_7.log", "qmh_installer_0008.log"};
    // The user's own files that merely start like a log, among them an old installer build.
    const char* kept[] = {"qmh_installer_116.exe", "qmh_installer_7.log.bak", "qmh_installer_8.txt",
                          "qmh_installer_+9.log",  "qmh_installer_ 9.log",    "old_qmh_installer_7.log",
                          "qmh_installer_.log",    "qmh_installer_x7.log",    "notes.txt"};
    for (const char* name : removed) WriteTestFile(dir / name, "x");
    for (const char* name : kept) WriteTestFile(dir / name, "x");
    // Names inside subdirectories never match, nor does a directory with a log name.
    WriteTestFile(dir / "sub/qmh_installer_7.log", "x");
    fs::create_directory(dir / "qmh_installer_6.log");

    ASSERT_EQ(OpenLogAt(dir.path(), now), 0);
    for (const char* name : removed) EXPECT_FALSE(fs::exists(dir / name)) << name;
    for (const char* name : kept) EXPECT_TRUE(fs::exists(dir / name)) << name;
    EXPECT_TRUE(fs::exists(dir / "sub/qmh_installer_7.log"));
    EXPECT_TRUE(fs::is_directory(dir / "qmh_installer_6.log"));

    std::string log = ReadTestFile(dir / ("qmh_installer_" + std::to_string(now) + ".log"));
    for (const char* name : removed)
        EXPECT_NE(log.find(std::string("Removing old logfile: ") + name + "\n"), std::string::npos) << name;
    EXPECT_EQ(Lines(log).size(), 3u + 2u);
}

TEST(LoggerQmh, UnwritableDirectoryRaisesCannotOpenLogFile) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    TempDir dir; // owned by root, mode 0700: "nobody" cannot create files there
    struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    int code = RunInChild(dir.path(), [nobody] {
        if (setresgid(nobody->pw_gid, nobody->pw_gid, nobody->pw_gid) != 0) return 10;
        if (setresuid(nobody->pw_uid, nobody->pw_uid, nobody->pw_uid) != 0) return 11;
        g_logger = new LoggerQmh();
        try {
            static_cast<LoggerQmh*>(g_logger)->OpenLogFileAt(1234);
            return 1;
        } catch (const ErrorException& e) {
            if (std::string(e.what()) != "cannot open log file qmh_installer_1234.log: Permission denied" ||
                e.code != lcCantOpenFile)
                return 2;
        }
        return 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(FileNames(dir.path()).empty());
}

// The log is opened like the installer's other files: a FIFO in its place is refused at once
// (opening it would wait for a reader for ever), and so is a link, whose target stays as it was.
TEST(LoggerQmh, LogNameTakenByAFifoOrALinkIsRefused) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "qmh_installer_1234.log").c_str(), 0666), 0);
    WriteTestFile(dir / "elsewhere.txt", "the player's");
    fs::create_symlink(dir / "elsewhere.txt", dir / "qmh_installer_1235.log");
    const std::pair<long long, std::string> cases[] = {
        {1234, "cannot open log file qmh_installer_1234.log: it is not a regular file (a FIFO)"},
        {1235, "cannot open log file qmh_installer_1235.log: it is a symbolic link"},
    };
    for (const auto& [stamp, message] : cases) {
        long long now = stamp;
        int code = RunInChild(dir.path(), [now, message] {
            g_logger = new LoggerQmh();
            try {
                static_cast<LoggerQmh*>(g_logger)->OpenLogFileAt(now);
                return 1;
            } catch (const ErrorException& e) {
                return std::string(e.what()) == message && e.code == lcCantOpenFile ? 0 : 2;
            }
        });
        EXPECT_EQ(code, 0) << message;
    }
    EXPECT_EQ(ReadTestFile(dir / "elsewhere.txt"), "the player's");
}

TEST(FormatFilenameWithDatetime, ExpandsUtcTimeOfFirstCall) {
    // Local time far from UTC shows whether the expansion uses UTC.
    setenv("TZ", "XYZ-7", 1);
    tzset();
    std::string stamp = FormatFilenameWithDatetime("%Y-%m-%d %H:%M:%S", "test");
    struct tm parsed = {};
    ASSERT_NE(strptime(stamp.c_str(), "%Y-%m-%d %H:%M:%S", &parsed), nullptr) << stamp;
    long long diff = (long long)timegm(&parsed) - (long long)time(nullptr);
    EXPECT_LT(std::llabs(diff), 3600) << stamp;

    std::string name = FormatFilenameWithDatetime("quillmere_%Y%m%d_%H%M%S.cfg", "config");
    EXPECT_EQ(name.size(), strlen("quillmere_YYYYmmdd_HHMMSS.cfg"));
    sleep(1);
    EXPECT_EQ(FormatFilenameWithDatetime("%Y-%m-%d %H:%M:%S", "test"), stamp);
}

TEST(FormatFilenameWithDatetime, FailsOnEmptyOrOverlongExpansion) {
    struct Case {
        std::string pattern;
        const char* message;
    } cases[] = {
        {"", "Failed to format empty filename with datetime (0)"},
        {std::string(1023, 'a'), "Failed to format empty filename with datetime (1023)"},
        {std::string(1024, 'a'), "Failed to format empty filename with datetime (0)"},
        {std::string(1010, 'a') + "%Y%m%d%H%M%S", "Failed to format empty filename with datetime (0)"},
    };
    for (const Case& c : cases) {
        try {
            FormatFilenameWithDatetime(c.pattern.c_str(), "empty");
            ADD_FAILURE() << "no error for length " << c.pattern.size();
        } catch (const ErrorException& e) {
            EXPECT_STREQ(e.what(), c.message);
            EXPECT_EQ(e.code, lcGeneral);
        }
    }
    EXPECT_EQ(FormatFilenameWithDatetime(std::string(1022, 'a').c_str(), "long").size(), 1022u);
}

// The logger: prefixes, the message length cut, the exception, assertions, progress callbacks.
#include "RecordingLogger.h"
#include "base/Logging.h"
#include "base/ProgressIndicator.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <string>
#include <vector>

using namespace ZipSync;

TEST(Logging, PrefixBySeverity) {
    struct Case {
        int severity;
        const char* prefix;
    } cases[] = {{sevDebug, ""},
                 {sevInfo, ""},
                 {sevWarning, "Warning: "},
                 {sevError, "ERROR: "},
                 {sevFatal, "FATAL: "},
                 {1, ""},
                 {7, ""}};
    for (const Case& c : cases) EXPECT_STREQ(SeverityPrefix(c.severity), c.prefix) << c.severity;
}

TEST(Logging, ConsoleWritesPrefixedLine) {
    LoggerConsole console;
    testing::internal::CaptureStdout();
    console.warningf("disk %d%% full", 93);
    EXPECT_THROW(console.errorf(lcCantOpenFile, "Failed to open file \"%s\"", "x"), ErrorException);
    console.infof(lcRepackZip, "Repacking %s...", "a.pk4");
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: disk 93% full\nERROR: Failed to open file \"x\"\nRepacking a.pk4...\n");
}

TEST(Logging, ErrorThrowsWithTextAndCode) {
    RecordingLogger logger;
    try {
        g_logger->errorf(lcCantOpenFile, "Failed to open file \"%s\"", "x");
        FAIL() << "errorf returned";
    } catch (const ErrorException& e) {
        EXPECT_STREQ(e.what(), "Failed to open file \"x\"");
        EXPECT_EQ(e.code, lcCantOpenFile);
        ErrorException copy = e;
        EXPECT_STREQ(copy.what(), e.what());
        EXPECT_EQ(copy.code, 2);
    }
    ASSERT_EQ(logger.entries.size(), 1u);
    EXPECT_EQ(logger.entries[0].severity, sevError);
    EXPECT_EQ(logger.entries[0].code, lcCantOpenFile);

    try {
        g_logger->errorf("plain %d", 1);
    } catch (const ErrorException& e) {
        EXPECT_EQ(e.code, lcNone);
    }
}

TEST(Logging, NonErrorSeveritiesReturnAndCarryCodes) {
    RecordingLogger logger;
    g_logger->debugf("d");
    g_logger->infof("i");
    g_logger->infof(lcRenameZipWithoutRepack, "r");
    g_logger->warningf("w");
    g_logger->warningf(lcDownloadTimeout, "t");
    ASSERT_EQ(logger.entries.size(), 5u);
    const LogCode codes[] = {lcNone, lcNone, lcRenameZipWithoutRepack, lcNone, lcDownloadTimeout};
    const LogSeverity severities[] = {sevDebug, sevInfo, sevInfo, sevWarning, sevWarning};
    for (size_t i = 0; i < 5; i++) {
        EXPECT_EQ(logger.entries[i].code, codes[i]);
        EXPECT_EQ(logger.entries[i].severity, severities[i]);
    }
}

TEST(Logging, LongMessagesAreCutTo16383Characters) {
    RecordingLogger logger;
    std::string big(20000, 'a');
    g_logger->infof("%s", big.c_str());
    ASSERT_EQ(logger.entries.size(), 1u);
    EXPECT_EQ(logger.entries[0].text.size(), 16383u);
    EXPECT_EQ(FormatString("%s", big.c_str()).size(), 16383u);
    EXPECT_EQ(FormatString("%s-%d", "ab", 7), "ab-7");

    try {
        g_logger->errorf("%s", big.c_str());
    } catch (const ErrorException& e) {
        EXPECT_EQ(strlen(e.what()), 16383u);
    }
}

// Names from archives and servers must not move the cursor or forge lines: every message is
// written and thrown with its control characters escaped, line breaks of the message kept;
// EscapeControlChars escapes those too. Errors raised under ErrorsReportedByCaller are thrown
// without being written.
TEST(Logging, ControlCharactersEscapedAndErrorsReportedByCaller) {
    RecordingLogger logger;
    g_logger->infof("name %s", "a\rb\x1b[K\tc\x7f");
    g_logger->infof("two\nlines");
    try {
        g_logger->errorf("bad %s", "x\ry");
    } catch (const ErrorException& e) {
        EXPECT_STREQ(e.what(), "bad x\\ry");
    }
    {
        ErrorsReportedByCaller reportedHere;
        EXPECT_THROW(g_logger->errorf("quiet"), ErrorException);
        g_logger->warningf("still written");
    }
    std::vector<std::string> texts;
    for (const RecordingLogger::Entry& m : logger.entries) texts.push_back(m.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"name a\\rb\\x1b[K\\tc\\x7f", "two\nlines", "bad x\\ry",
                                               "still written"}));
    EXPECT_EQ(EscapeControlChars("x\ny\x01"), "x\\ny\\x01");
}

TEST(Logging, AssertionNamesConditionFileAndLine) {
    RecordingLogger logger;
    int value = 3;
    ZipSyncAssert(value == 3);
    EXPECT_TRUE(logger.entries.empty());
    int line = __LINE__ + 2;
    try {
        ZipSyncAssert(value == 4);
        FAIL() << "assertion passed";
    } catch (const ErrorException& e) {
        EXPECT_EQ(e.code, lcGeneral);
        // The source file's name only: no path of the machine that built the program.
        EXPECT_EQ(std::string(e.what()),
                  FormatString("Assertion value == 4 failed in Logging_test.cpp on line %d", line));
    }
}

namespace {
// There is no printf-style member for sevFatal; reach it through logv.
void LogFatal(Logger& logger, const char* format, ...) {
    va_list args;
    va_start(args, format);
    logger.logv(sevFatal, lcNone, format, args);
    va_end(args);
}
} // namespace

TEST(Logging, FatalTerminatesWithoutThrowing) {
    EXPECT_EXIT(
        {
            LoggerConsole console;
            try {
                LogFatal(console, "going down %d", 1);
            } catch (...) {
                exit(1);
            }
            exit(0);
        },
#ifdef _WIN32
        testing::ExitedWithCode(3), ""); // abort() on Windows
#else
        testing::KilledBySignal(SIGABRT), "");
#endif
}

namespace {
class CountingIndicator : public ProgressIndicator {
public:
    int Update(double ratio, std::string comment, double subRatio, std::string subComment) override {
        calls++;
        lastRatio = ratio;
        lastComment = comment;
        lastSubRatio = subRatio;
        lastSubComment = subComment;
        return calls >= stopAfter ? 1 : 0;
    }
    int calls = 0, stopAfter = 1000;
    double lastRatio = 0, lastSubRatio = 0;
    std::string lastComment, lastSubComment = "unset";
};
} // namespace

TEST(Logging, ProgressCallbackForwardsToIndicator) {
    CountingIndicator indicator;
    indicator.stopAfter = 2;
    ProgressCallback callback = MakeProgressCallback(&indicator);
    EXPECT_EQ(callback(0.25, "Downloading"), 0);
    EXPECT_EQ(indicator.lastRatio, 0.25);
    EXPECT_EQ(indicator.lastComment, "Downloading");
    EXPECT_EQ(indicator.lastSubRatio, -1.0);
    EXPECT_EQ(indicator.lastSubComment, "");
    EXPECT_EQ(callback(0.5, "more"), 1);
    EXPECT_FALSE(MakeProgressCallback(nullptr));
}

TEST(Logging, AssertionWithPercentSignIsNotReformatted) {
    RecordingLogger logger;
    int percent = 7;
    try {
        ZipSyncAssert(percent % 5 == 0);
        FAIL() << "assertion passed";
    } catch (const ErrorException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Assertion percent % 5 == 0 failed in ", 0), 0u) << e.what();
    }
}

// The conventions of the zipsync tool: help, exit statuses, where messages go, -q and -v,
// progress as plain lines or as a bar on a terminal.
#include "ToolRunner.h"

#include <filesystem>
#include <gtest/gtest.h>

static const char* const kCommands[] = {"analyze",   "verify", "diff", "update",
                                        "normalize", "hash",   "pack", "unpack"};

TEST(CliHelp, GeneralHelpListsEveryCommand) {
    for (const char* option : {"--help", "-h"}) {
        ToolResult result = RunZipsync({option});
        EXPECT_EQ(result.status, 0) << Dump(result);
        EXPECT_TRUE(result.err.empty()) << Dump(result);
        for (const char* command : kCommands)
            EXPECT_TRUE(Contains(result.out, std::string("  ") + command + " ")) << command;
    }
}

TEST(CliHelp, EveryCommandHasItsHelp) {
    for (const char* command : kCommands) {
        for (std::vector<std::string> args :
             {std::vector<std::string>{command, "--help"}, std::vector<std::string>{"--help", command},
              // Help wins over missing or extra arguments.
              std::vector<std::string>{command, "-h", "a", "b", "c", "d"}}) {
            ToolResult result = RunZipsync(args);
            EXPECT_EQ(result.status, 0) << Dump(result);
            EXPECT_TRUE(Contains(result.out, std::string("Usage: zipsync ") + command)) << Dump(result);
            EXPECT_TRUE(Contains(result.out, "--quiet")) << Dump(result);
        }
    }
}

TEST(CliUsage, MistakesExitWithStatus2AndAHint) {
    TempDir dir;
    struct Case {
        std::vector<std::string> args;
        std::string message;
        std::string hint;
    };
    const std::vector<Case> cases = {
        {{}, "no command given", "zipsync --help"},
        {{"frobnicate"}, "unknown command 'frobnicate'", "zipsync --help"},
        {{"--bogus", "hash", "x"}, "unknown option '--bogus'", "zipsync --help"},
        {{"hash"}, "missing arguments", "zipsync hash --help"},
        {{"hash", "a", "b"}, "too many arguments ('b')", "zipsync hash --help"},
        {{"analyze", "--frob", dir.path()}, "unknown option '--frob'", "zipsync analyze --help"},
        {{"analyze", "-j", "x", dir.path()},
         "option --jobs needs a whole number of at least 0, not 'x'",
         "analyze --help"},
        {{"analyze", "-j", "-1", dir.path()},
         "option --jobs needs a whole number of at least 0, not '-1'",
         "analyze --help"},
        {{"analyze", dir.path(), "-o"}, "option '-o' needs a value", "analyze --help"},
        {{"analyze", "-o", "a", "-o", "b", dir.path()}, "option --output given twice", "analyze --help"},
        {{"diff", "--files=yes", "a", "b"}, "option '--files=yes' takes no value", "diff --help"},
        {{"update", dir.path()}, "--target MANIFEST is required", "update --help"},
        {{"update", "--target", "t.iniz", "--provide", "local.iniz", dir.path()},
         "--provide local.iniz: give MANIFEST=BASEURL",
         "update --help"},
        {{"hash", "-q", "-v", "x"}, "-q and -v exclude each other", "hash --help"},
        {{"normalize", "-o", "out.zip", dir.path()}, "-o needs a single archive", "normalize --help"},
    };
    for (const Case& c : cases) {
        ToolResult result = RunZipsync(c.args);
        EXPECT_EQ(result.status, 2) << Dump(result);
        EXPECT_TRUE(Contains(result.err, "zipsync: " + c.message)) << Dump(result);
        EXPECT_TRUE(Contains(result.err, c.hint)) << Dump(result);
        EXPECT_TRUE(result.out.empty()) << Dump(result);
    }
}

TEST(CliErrors, FailuresExitWithStatus1AndTheEngineMessageOnStderr) {
    TempDir dir;
    ToolResult missing = RunZipsync({"hash", dir / "nothing.iniz"});
    EXPECT_EQ(missing.status, 1) << Dump(missing);
    EXPECT_TRUE(Contains(missing.err, "ERROR: Failed to open zip file \"" + dir / "nothing.iniz" + "\""))
        << Dump(missing);
    EXPECT_TRUE(missing.out.empty()) << Dump(missing);

    // A non-engine failure (the manifest's numbers do not convert) is reported the same way.
    WriteTestFile(dir / "bad.ini", "[File a.pk4||x]\ncontentsHash=" + std::string(64, '0') +
                                       "\ncompressedHash=" + std::string(64, '0') + "\nbyterange=x-5\n");
    ToolResult bad = RunZipsync({"verify", dir.path(), dir / "bad.ini"});
    EXPECT_EQ(bad.status, 1) << Dump(bad);
    EXPECT_TRUE(Contains(bad.err, "ERROR: ")) << Dump(bad);
    // Errors are written even in quiet mode.
    ToolResult quiet = RunZipsync({"-q", "hash", dir / "nothing.iniz"});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_TRUE(Contains(quiet.err, "ERROR: Failed to open zip file")) << Dump(quiet);
}

namespace {
struct SmallTree {
    TempDir dir;
    SmallTree() {
        WriteNormalZip(dir / "tree/qmh_a.pk4",
                       {{"one.txt", TestText(1, 5000)}, {"two.txt", TestText(2, 300), false}});
        WriteNormalZip(dir / "tree/sub/qmh_b.pk4", {{"three.txt", TestText(3, 8000)}});
    }
    std::string Root() const { return dir / "tree"; }
};
} // namespace

TEST(CliVerbosity, QuietAndVerbose) {
    SmallTree tree;
    ToolResult normal = RunZipsync({"analyze", "-j", "1", tree.Root(), "-o", tree.dir / "m.iniz"});
    ASSERT_EQ(normal.status, 0) << Dump(normal);
    // The engine's own info line, as the engine writes it.
    EXPECT_TRUE(Contains(normal.out, "Going to analyze 2 zips in " + tree.Root())) << Dump(normal);
    EXPECT_TRUE(Contains(normal.err, "Analysing \"qmh_a.pk4\"...")) << Dump(normal);

    ToolResult quiet = RunZipsync({"analyze", "-q", "-j", "1", tree.Root(), "-o", tree.dir / "q.iniz"});
    ASSERT_EQ(quiet.status, 0) << Dump(quiet);
    EXPECT_TRUE(quiet.out.empty()) << Dump(quiet);
    EXPECT_TRUE(quiet.err.empty()) << Dump(quiet);
    EXPECT_EQ(ReadTestFile(tree.dir / "q.iniz"), ReadTestFile(tree.dir / "m.iniz"));

    // Quiet keeps the results of a command: the digest that hash prints.
    ToolResult digest = RunZipsync({"-q", "hash", tree.dir / "m.iniz"});
    EXPECT_EQ(digest.status, 0);
    EXPECT_EQ(digest.out.size(), 65u) << Dump(digest);

    // The cleanup that update starts with logs each deletion at info level, but a dry run cleans
    // nothing; the list of owned archives is a debug list that only verbose mode shows.
    WriteTestFile(tree.Root() + "/__download0__qmh_a.pk4", "junk");
    ToolResult dry = RunZipsync({"update", "-n", "--target", tree.dir / "m.iniz", tree.Root()});
    EXPECT_EQ(dry.status, 0) << Dump(dry);
    EXPECT_EQ(ReadTestFile(tree.Root() + "/__download0__qmh_a.pk4"), "junk");
    ToolResult plain = RunZipsync({"update", "--target", tree.dir / "m.iniz", tree.Root()});
    EXPECT_EQ(plain.status, 0) << Dump(plain);
    EXPECT_TRUE(Contains(plain.out, "Deleting " + tree.Root() + "/__download0__qmh_a.pk4...")) << Dump(plain);
    EXPECT_FALSE(Contains(plain.out, "  owned: ")) << Dump(plain);
    ToolResult verbose = RunZipsync({"update", "-v", "-n", "--target", tree.dir / "m.iniz", tree.Root()});
    EXPECT_EQ(verbose.status, 0) << Dump(verbose);
    EXPECT_TRUE(Contains(verbose.out, "  owned: sub/qmh_b.pk4\n")) << Dump(verbose);
}

TEST(CliProgress, PlainLinesWhenStderrIsNoTerminal) {
    SmallTree tree;
    ASSERT_EQ(RunZipsync({"analyze", tree.Root(), "-j", "1"}).status, 0);
    ToolResult result = RunZipsync({"verify", "-j", "1", tree.Root(), tree.Root() + "/manifest.iniz"});
    ASSERT_EQ(result.status, 0) << Dump(result);
    EXPECT_TRUE(Contains(result.err, "[  0%] Verifying \"qmh_a.pk4\"...\n")) << Dump(result);
    EXPECT_TRUE(Contains(result.err, "[100%] Verified  \"sub/qmh_b.pk4\"\n")) << Dump(result);
    EXPECT_FALSE(Contains(result.err, "\r")) << Dump(result);
}

TEST(CliProgress, BarOnATerminal) {
#ifdef _WIN32
    GTEST_SKIP() << "script(1) gives a Linux program a terminal; Wine's console needs a display";
#endif
    SmallTree tree;
    // script(1) runs the tool on a pseudo-terminal and records what it wrote there.
    std::string typescript = tree.dir / "typescript";
    std::string command = ZipsyncBinary() + " analyze -j 1 " + tree.Root();
    int status = RunShellCommand("script -qec '" + command + "' " + typescript + " > /dev/null 2>&1");
    ASSERT_EQ(status, 0);
    std::string screen = ReadTestFile(typescript);
    EXPECT_TRUE(Contains(screen, "\r[")) << screen;
    EXPECT_TRUE(Contains(screen, "Analysing \"qmh_a.pk4\"...")) << screen;
    EXPECT_TRUE(Contains(screen, "[##############################] 100% ")) << screen;
    // The bar is wiped before an ordinary line and at the end.
    EXPECT_TRUE(Contains(screen, "\r\x1b[K")) << screen;
    EXPECT_FALSE(Contains(screen, "[100%] ")) << screen;
    EXPECT_TRUE(std::filesystem::exists(tree.Root() + "/manifest.iniz"));
}

// INI text: parsing rules, failures, formatting and file round trips.
#include "CatchError.h"
#include "TempDir.h"
#include "zip/IniFile.h"

#include <gtest/gtest.h>
#include <string>

using namespace ZipSync;

TEST(Ini, SectionsWithAndWithoutPairs) {
    IniData data = ParseIniText("[A]\nk=v\n[B]\n");
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0].first, "A");
    ASSERT_EQ(data[0].second.size(), 1u);
    EXPECT_EQ(data[0].second[0], IniPair("k", "v"));
    EXPECT_EQ(data[1].first, "B");
    EXPECT_TRUE(data[1].second.empty());
}

TEST(Ini, PairsOutsideNamedSectionsAreDropped) {
    IniData data = ParseIniText("x=1\n[A]\n");
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0].first, "A");
    EXPECT_TRUE(data[0].second.empty());

    data = ParseIniText("[A]\na=1\n[]\nlost=2\n[B]\nb=3");
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0].second, IniSect({{"a", "1"}}));
    EXPECT_EQ(data[1].first, "B");
    EXPECT_EQ(data[1].second, IniSect({{"b", "3"}}));

    EXPECT_TRUE(ParseIniText("only=pairs\nbefore=header\n").empty());
    EXPECT_TRUE(ParseIniText("").empty());
    EXPECT_TRUE(ParseIniText("\n\n  \n# c\n").empty());
}

TEST(Ini, TrimmingCommentsAndSplitting) {
    const std::string text = "  \t[Mirror main]\t \r\n"
                             "# comment line\n"
                             "   # indented comment\n"
                             "\f\v\n"
                             "a = b\n"
                             "\turl=http://x/y?a=b&c=d  \n"
                             "=empty key\n"
                             "empty value=\n"
                             ";semicolon=plain\n"
                             "key#hash=v#alue\n"
                             "[ spaced name ]\n"
                             "last=no newline";
    IniData data = ParseIniText(text);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0].first, "Mirror main");
    EXPECT_EQ(data[0].second, IniSect({{"a ", " b"},
                                       {"url", "http://x/y?a=b&c=d"},
                                       {"", "empty key"},
                                       {"empty value", ""},
                                       {";semicolon", "plain"},
                                       {"key#hash", "v#alue"}}));
    EXPECT_EQ(data[1].first, " spaced name ");
    EXPECT_EQ(data[1].second, IniSect({{"last", "no newline"}}));
}

TEST(Ini, CrLfParsesLikeLf) {
    const std::string lf = "[File a.pk4||x]\nsize=12\nhash=00\n\n[B]\nk=v\n";
    std::string crlf;
    for (char ch : lf) {
        if (ch == '\n') crlf += '\r';
        crlf += ch;
    }
    EXPECT_EQ(ParseIniText(crlf), ParseIniText(lf));
    EXPECT_EQ(ParseIniText(crlf).size(), 2u);
    // A lone CR does not end a line.
    IniData data = ParseIniText("[A]\na=1\rb=2\n");
    EXPECT_EQ(data[0].second, IniSect({{"a", "1\rb=2"}}));
}

TEST(Ini, DuplicatesKeptInOrder) {
    IniData data = ParseIniText("[S]\nk=1\nk=2\n[S]\nk=3\n[T]\n[S]\n");
    ASSERT_EQ(data.size(), 4u);
    EXPECT_EQ(data[0].second, IniSect({{"k", "1"}, {"k", "2"}}));
    EXPECT_EQ(data[1].second, IniSect({{"k", "3"}}));
    EXPECT_EQ(data[2].first, "T");
    EXPECT_EQ(data[3].first, "S");
    EXPECT_TRUE(data[3].second.empty());
}

TEST(Ini, HeaderNeedsBothBrackets) {
    // "[" alone and "[x" are no headers, so they must hold '='.
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"[A]\nnot a pair\n", "Cannot parse ini line: not a pair (line 2)"},
        {"[A]\n  padded line \t\r\n", "Cannot parse ini line: padded line (line 2)"},
        {"[\n", "Cannot parse ini line: [ (line 1)"},
        {"[A\n", "Cannot parse ini line: [A (line 1)"},
        {"A]\n", "Cannot parse ini line: A] (line 1)"},
        {"before header\n[A]\n", "Cannot parse ini line: before header (line 1)"},
        {"]\n", "Cannot parse ini line: ] (line 1)"},
    };
    for (const Case& c : cases) {
        CaughtError error = CatchError([&] { ParseIniText(c.text); });
        EXPECT_EQ(error.message, c.message) << c.text;
        EXPECT_EQ(error.code, lcGeneral);
    }
    // With '=' such lines are pairs.
    EXPECT_EQ(ParseIniText("[A]\n[x=1]y\n")[0].second, IniSect({{"[x", "1]y"}}));
}

// A binary file read as INI: the message shows a short, printable excerpt of the offending line
// (UTF-8 kept, other bytes and control characters escaped) and where it is.
TEST(Ini, BinaryLineIsShownEscapedAndCut) {
    std::string binary = std::string("PK\x03\x04\x14\x00\x08", 7) + "caf\xc3\xa9 \xff\xc3(\x1b[2J\x7f" +
                         std::string(500, 'z') + "\xe2\x82";
    CaughtError error = CatchError([&] { ParseIniText("# header\r\n[A]\nk=v\n\n" + binary + "\nlast"); });
    EXPECT_EQ(error.message,
              "Cannot parse ini line: PK\\x03\\x04\\x14\\x00\\x08caf\xc3\xa9 \\xff\\xc3(\\x1b[2J\\x7f" +
                  std::string(80 - 20, 'z') + "... (line 5)");
    EXPECT_EQ(error.code, lcGeneral);
}

TEST(Ini, FormatText) {
    IniData data = {{"A", {{"k", "v"}}}, {"B", {}}};
    EXPECT_EQ(FormatIniText(data), "[A]\nk=v\n\n[B]\n\n");
    EXPECT_EQ(FormatIniText(IniData()), "");
    // No escaping.
    EXPECT_EQ(FormatIniText({{"a=b", {{"k=1", "v=2"}}}}), "[a=b]\nk=1=v=2\n\n");
    std::string longValue(100000, 'x');
    EXPECT_EQ(FormatIniText({{"L", {{"k", longValue}}}}), "[L]\nk=" + longValue + "\n\n");
    // A line break would let the rest of a name, key or value read as lines of their own.
    const std::string forged = "x]\n[File victim.pk4||y";
    ExpectAssertion([&] { FormatIniText({{forged, {}}}); }, "!HasLineBreak(section.first)");
    ExpectAssertion(
        [&] {
            FormatIniText({{"A", {{"k\r", "v"}}}});
        },
        "!HasLineBreak(pair.first) && !HasLineBreak(pair.second)");
    ExpectAssertion(
        [&] {
            WriteIniFile("/nonexistent/x.ini", {{"A", {{"k", "v\nk2=w"}}}});
        },
        "!HasLineBreak(pair.first) && !HasLineBreak(pair.second)");
}

TEST(Ini, PlainFileRoundTrip) {
    TempDir dir;
    IniData data = {
        {"Mirror main", {{"url", "http://127.0.0.1:8080/zipsync/"}, {"weight", "1"}}},
        {"Version 2.12", {}},
        {"File a.pk4||maps/m.map", {{"contentsHash", std::string(64, 'a')}, {"size", "4294967295"}}},
        {"Mirror main", {{"url", "second"}, {"url", "third"}, {"", "=="}}},
    };
    const std::string path = dir / "state.ini";
    WriteIniFile(path, data);
    EXPECT_EQ(ReadTestFile(path), FormatIniText(data));
    EXPECT_EQ(ReadIniFile(path), data);
    EXPECT_EQ(ReadIniFile(path, INI_FORMAT_PLAIN), data);

    // Rewriting replaces the old contents.
    WriteIniFile(path, {{"Only", {}}});
    EXPECT_EQ(ReadTestFile(path), "[Only]\n\n");

    // A file bigger than one read chunk.
    IniData big(1, {"Big", {}});
    for (int i = 0; i < 20000; i++)
        big[0].second.push_back({"key" + std::to_string(i), std::string(i % 50, 'v')});
    WriteIniFile(path, big);
    EXPECT_EQ(ReadIniFile(path), big);
}

TEST(Ini, ReadsFilesWrittenElsewhere) {
    TempDir dir;
    WriteTestFile(dir / "c.ini", "\xef\xbb\xbfignored=pair\r\n[Version 1.0]\r\n  url = x \r\n# end\r\n");
    IniData data = ReadIniFile(dir / "c.ini");
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0].first, "Version 1.0");
    EXPECT_EQ(data[0].second, IniSect({{"url ", " x"}}));
}

TEST(Ini, FileFailures) {
    TempDir dir;
    CaughtError error = CatchError([&] { ReadIniFile(dir / "missing.ini"); });
    EXPECT_EQ(error.message, "Failed to open file \"" + (dir / "missing.ini") + "\"");
    EXPECT_EQ(error.code, lcCantOpenFile);

    error = CatchError([&] { WriteIniFile("", {{"A", {}}}); });
    EXPECT_EQ(error.message, "Path to write INI file is empty");
    EXPECT_EQ(error.code, lcGeneral);

    error = CatchError([&] { WriteIniFile(dir / "no/such/dir.ini", {{"A", {}}}); });
    EXPECT_EQ(error.message, "Failed to open file \"" + (dir / "no/such/dir.ini") + "\"");
    EXPECT_EQ(error.code, lcCantOpenFile);

    WriteTestFile(dir / "bad.ini", "[A]\nk=v\nbroken\n");
    error = CatchError([&] { ReadIniFile(dir / "bad.ini"); });
    EXPECT_EQ(error.message, "Cannot parse ini line: broken (line 3)");

#ifndef _WIN32 // a device of Linux
    // A full device must not pass for a written file.
    error = CatchError([&] { WriteIniFile("/dev/full", {{"A", {{"k", "v"}}}}); });
    EXPECT_EQ(error.message, "Failed to write file \"/dev/full\"");
#endif
}

TEST(Ini, FormatSelectorOverridesName) {
    TempDir dir;
    IniData data = {{"A", {{"k", "v"}}}};
    WriteIniFile(dir / "forced.iniz", data, INI_FORMAT_PLAIN);
    EXPECT_EQ(ReadTestFile(dir / "forced.iniz"), "[A]\nk=v\n\n");
    EXPECT_EQ(ReadIniFile(dir / "forced.iniz", INI_FORMAT_PLAIN), data);
    EXPECT_TRUE(CatchError([&] { WriteIniFile(dir / "bad.ini", data, 3); }).thrown);
}

TEST(Ini, NamesEndingInZAreChecksummedZips) {
    TempDir dir;
    IniData data = {{"File a.pk4||x", {{"size", "1"}}}, {"B", {}}};
    CaughtError error = CatchError([&] { WriteIniFile(dir / "manifest.iniz", data); });
    if (error.thrown && error.message.find("not available yet") != std::string::npos)
        GTEST_SKIP() << "checksummed zips are not built in yet";
    ASSERT_FALSE(error.thrown) << error.message;
    std::string bytes = ReadTestFile(dir / "manifest.iniz");
    EXPECT_EQ(bytes.substr(0, 4), "PK\x03\x04");
    EXPECT_EQ(ReadIniFile(dir / "manifest.iniz"), data);
    EXPECT_EQ(ReadIniFile(dir / "manifest.iniz", INI_FORMAT_CHECKSUMMED_ZIP), data);
    // The same text under a plain name is not taken for a zip.
    WriteIniFile(dir / "manifest.ini", data, INI_FORMAT_CHECKSUMMED_ZIP);
    EXPECT_EQ(ReadTestFile(dir / "manifest.ini"), bytes);
    EXPECT_TRUE(CatchError([&] { ReadIniFile(dir / "manifest.ini"); }).thrown);
}

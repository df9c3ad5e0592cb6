// Path syntax, the absolute/relative pair, name helpers and the file-system operations.
#include "CatchError.h"
#include "HangGuard.h"
#include "TempDir.h"
#include "base/Path.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

struct ValidationCase {
    std::string path;
    bool isRelative;
    const char* expectedError; // nullptr: the path passes
};

} // namespace

TEST(Path, ValidationTable) {
    const ValidationCase cases[] = {
        {"a/b.pk4", true, nullptr},
        {"/a", true, "Relative path starts with slash: /a"},
        {"/a", false, nullptr},
        {"C:/games/x", false, nullptr},
        {"C:/games/x", true, "Colon in relative path C:/games/x"},
        {".hidden/x", true, "Path must not start with dot: .hidden/x"},
        {".hidden/x", false, "Path must not start with dot: .hidden/x"},
        {"a/.hidden", true, nullptr},
        {"a/../b", true, nullptr},
        {"a/..", true, nullptr},
        {"a/b/../../c", true, nullptr},
        {"a/./../b", true, nullptr},
        {"a//../b", true, nullptr},
        {"a/../../x.pk4", true, "Path a/../../x.pk4 goes outside of root directory"},
        {"a/b/../../../x", true, "Path a/b/../../../x goes outside of root directory"},
        {"a/../../", true, "Path a/../../ goes outside of root directory"},
        {"a/...", true, nullptr},
        {"a/..b/c", true, nullptr},
        {"C:/x/../../y", false, nullptr},
        {"a\\b", true, "Forbidden symbol in path a\\b"},
        {"C:\\games", false, "Forbidden symbol in path C:\\games"},
        {"a|b", false, "Forbidden symbol in path a|b"},
        {"a[1]", true, "Forbidden symbol in path a[1]"},
        {"k=v", true, "Forbidden symbol in path k=v"},
        {"http://host/x?y", false, "Forbidden symbol in path http://host/x?y"},
        {"http://host/x&y", false, "Forbidden symbol in path http://host/x&y"},
        {"a\tb", true, "Non-printable character 9 in path"},
        {std::string("a\x1f", 2), false, "Non-printable character 31 in path"},
        {"a\x7f", true, nullptr},
        {"maps/\xc3\xa9t\xc3\xa9.map", true, nullptr},
        {"/", false, "Empty path [/]"},
        {"/", true, "Empty path [/]"},
        {"", true, "Empty path []"},
        {"", false, "Empty path []"},
        {"a//b/", true, nullptr},
        {"with space/x y.pk4", true, nullptr},
        {"http://mirror.example.org/zipsync", false, nullptr},
        {"http://mirror.example.org/zipsync", true,
         "Colon in relative path http://mirror.example.org/zipsync"},
        // Order of the checks: a control byte is reported before a forbidden symbol.
        {"\t|", true, "Non-printable character 9 in path"},
        {".a|b", true, "Forbidden symbol in path .a|b"},
    };
    for (const ValidationCase& c : cases) {
        CaughtError error = CatchError([&] { ValidatePath(c.path, c.isRelative); });
        if (!c.expectedError) {
            EXPECT_FALSE(error.thrown) << c.path << " (relative " << c.isRelative << "): " << error.message;
        } else {
            EXPECT_TRUE(error.thrown) << c.path << " (relative " << c.isRelative << ")";
            EXPECT_EQ(error.message, c.expectedError);
            EXPECT_EQ(error.code, lcGeneral) << c.path;
        }
    }
}

TEST(Path, FromAbsComputesRel) {
    EXPECT_EQ(PathAR::FromAbs("C:/x/y/z.pk4", "C:/x/").rel, "y/z.pk4");
    PathAR p = PathAR::FromAbs("C:/x/y/z.pk4", "C:/x");
    EXPECT_EQ(p.rel, "y/z.pk4");
    EXPECT_EQ(p.abs, "C:/x/y/z.pk4");
    EXPECT_EQ(PathAR::FromAbs("/home/u/game/a.pk4", "/home/u/game").rel, "a.pk4");
    // The root plus a slash gives an empty rel.
    p = PathAR::FromAbs("C:/x/", "C:/x");
    EXPECT_EQ(p.rel, "");
    EXPECT_EQ(p.abs, "C:/x/");
    EXPECT_EQ(PathAR::FromAbs("http://m.org/base/a/b.pk4", "http://m.org/base").rel, "a/b.pk4");
}

TEST(Path, FromAbsOutsideRootFails) {
    struct Case {
        const char* abs;
        const char* root;
        const char* message;
    } cases[] = {
        {"C:/xy/z.pk4", "C:/x", "Abs path C:/xy/z.pk4 is not within root dir C:/x"},
        {"C:/x/y/z.pk4", "C:/xy", "Abs path C:/x/y/z.pk4 is not within root dir C:/xy"},
        {"C:/x", "C:/x", "Abs path C:/x is not within root dir C:/x"},
        {"C:/x", "C:/x/", "Abs path C:/x is not within root dir C:/x/"},
        {"c:/x/a", "C:/x", "Abs path c:/x/a is not within root dir C:/x"},
        {"C:/", "C:/x", "Abs path C:/ is not within root dir C:/x"},
        {"C:/x/../y/a.pk4", "C:/x", "Path C:/x/../y/a.pk4 goes outside of root directory"},
        {"C:/x/a|b", "C:/x", "Forbidden symbol in path C:/x/a|b"},
        {"C:/x/a", ".root", "Path must not start with dot: .root"},
    };
    for (const Case& c : cases) {
        CaughtError error = CatchError([&] { PathAR::FromAbs(c.abs, c.root); });
        EXPECT_TRUE(error.thrown) << c.abs << " in " << c.root;
        EXPECT_EQ(error.message, c.message);
        EXPECT_EQ(error.code, lcGeneral);
    }
}

TEST(Path, FromRelJoins) {
    PathAR p = PathAR::FromRel("a.pk4", "C:/x");
    EXPECT_EQ(p.abs, "C:/x/a.pk4");
    EXPECT_EQ(p.rel, "a.pk4");
    EXPECT_EQ(PathAR::FromRel("a.pk4", "C:/x/").abs, "C:/x/a.pk4");
    EXPECT_EQ(PathAR::FromRel("d/e/f.pk4", "http://m.org/zipsync").abs, "http://m.org/zipsync/d/e/f.pk4");
    // Round trip through the other constructor.
    EXPECT_EQ(PathAR::FromAbs(PathAR::FromRel("d/e/f.pk4", "/r/").abs, "/r/").rel, "d/e/f.pk4");

    EXPECT_EQ(CatchError([] { PathAR::FromRel("/a.pk4", "C:/x"); }).message,
              "Relative path starts with slash: /a.pk4");
    EXPECT_EQ(CatchError([] { PathAR::FromRel("a/../../b", "C:/x"); }).message,
              "Path a/../../b goes outside of root directory");
    EXPECT_EQ(CatchError([] { PathAR::FromRel("a.pk4", "http://m.org/?v=1"); }).message,
              "Forbidden symbol in path http://m.org/?v=1");
    EXPECT_EQ(CatchError([] { PathAR::FromRel("a.pk4", ""); }).message, "Empty path []");
}

TEST(Path, IsHttp) {
    EXPECT_TRUE(PathAR::IsHttp("http://m.org/x"));
    EXPECT_TRUE(PathAR::IsHttp("http://"));
    EXPECT_FALSE(PathAR::IsHttp("https://m.org/x"));
    EXPECT_FALSE(PathAR::IsHttp("HTTP://m.org/x"));
    EXPECT_FALSE(PathAR::IsHttp("http:/"));
    EXPECT_FALSE(PathAR::IsHttp("C:/http://"));
    EXPECT_FALSE(PathAR::IsHttp(""));
}

TEST(Path, DirPathAndFilename) {
    EXPECT_EQ(GetDirPath("C:/x/a.pk4"), "C:/x");
    EXPECT_EQ(GetDirPath("d/"), "d");
    EXPECT_EQ(GetDirPath("/a"), "");
    EXPECT_TRUE(IsAssertionOf(CatchError([] { GetDirPath("a.pk4"); }), "pos != std::string::npos"));

    EXPECT_EQ(GetFilename("x.pk4"), "x.pk4");
    EXPECT_EQ(GetFilename("C:/x/a.pk4"), "a.pk4");
    EXPECT_EQ(GetFilename("a//b"), "b");
    EXPECT_TRUE(IsAssertionOf(CatchError([] { GetFilename("d/"); }), "pos + 1 < somePath.size()"));
}

TEST(Path, FullPathSplitsAtFirstSeparator) {
    EXPECT_EQ(GetFullPath("C:/x/a.pk4", "maps/m.map"), "C:/x/a.pk4||maps/m.map");
    struct Case {
        const char* full;
        const char* zip;
        const char* file;
    } cases[] = {
        {"C:/x/a.pk4||maps/m.map", "C:/x/a.pk4", "maps/m.map"},
        {"a||b||c", "a", "b||c"},
        {"||", "", ""},
        {"a||", "a", ""},
        {"|||b", "", "|b"},
    };
    for (const Case& c : cases) {
        std::string zip = "old", file = "old";
        ParseFullPath(c.full, zip, file);
        EXPECT_EQ(zip, c.zip) << c.full;
        EXPECT_EQ(file, c.file) << c.full;
        EXPECT_EQ(GetFullPath(zip, file), c.full);
    }
    for (const char* bad : {"abc", "", "|", "a|b"}) {
        CaughtError error = CatchError([&] {
            std::string zip, file;
            ParseFullPath(bad, zip, file);
        });
        EXPECT_EQ(error.message, std::string("Cannot split fullname into zip path and filename: ") + bad);
        EXPECT_EQ(error.code, lcGeneral);
    }
}

TEST(Path, PrefixAndUnprefix) {
    EXPECT_EQ(PrefixFile("dir/x.pk4", "__repacked__"), "dir/__repacked__x.pk4");
    EXPECT_EQ(PrefixFile("x.pk4", "__repacked__"), "__repacked__x.pk4");
    EXPECT_EQ(PrefixFile("C:/g/d/x.pk4", "__download1__"), "C:/g/d/__download1__x.pk4");

    EXPECT_EQ(UnprefixFile("d/__download1__x.pk4", "__download1__"), "d/x.pk4");
    EXPECT_EQ(UnprefixFile("__download1__x.pk4", "__download1__"), "x.pk4");
    EXPECT_EQ(UnprefixFile("d/x.pk4", "__download1__"), "d/x.pk4");
    // The last occurrence counts.
    EXPECT_EQ(UnprefixFile("a/__p__b/__p__c", "__p__"), "a/__p__b/c");
    // A prefix that only lies inside a name is not removed.
    EXPECT_EQ(UnprefixFile("d/x__p__y", "__p__"), "d/x__p__y");
    // A directory carrying the prefix is found when the file does not carry it.
    EXPECT_EQ(UnprefixFile("d/__p__e/x", "__p__"), "d/e/x");

    for (const char* path : {"dir/x.pk4", "x.pk4", "C:/g/d/x.pk4", "a/b/"})
        EXPECT_EQ(UnprefixFile(PrefixFile(path, "__reduced__"), "__reduced__"), path);
}

// Only a readable regular file exists; nothing else is ever opened (a FIFO would block), and
// what stands there is named for messages.
TEST(Path, IfFileExists) {
    TempDir dir;
    WriteTestFile(dir / "f.bin", "x");
    WriteTestFile(dir / "empty", "");
    fs::create_directories(dir / "sub");
    struct Case {
        std::string path;
        bool exists;
        const char* kind;
    };
    std::vector<Case> cases = {
        {dir / "f.bin", true, ""},    {dir / "empty", true, ""},         {dir / "missing", false, ""},
        {dir / "f.bin/x", false, ""}, {dir / "sub", false, "directory"},
    };
#ifdef _WIN32
    // No FIFOs on Windows; a device name opens a device wherever it stands.
    cases.push_back({dir / "nul", false, "character device"});
#else
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    cases.push_back({dir / "fifo", false, "FIFO"});
    cases.push_back({"/dev/null", false, "character device"});
#endif
    HangGuard guard;
    for (const Case& c : cases) {
        EXPECT_EQ(IfFileExists(c.path), c.exists) << c.path;
        EXPECT_EQ(NonRegularFileKind(c.path), c.kind) << c.path;
        CaughtError error = CatchError([&] { RefuseNonRegularFile(c.path, lcCantOpenFile); });
        EXPECT_EQ(error.message, *c.kind ? c.path + " is not a regular file (a " + c.kind + ")" : "");
        EXPECT_EQ(error.code, *c.kind ? lcCantOpenFile : lcNone);
    }
}

TEST(Path, CreateDirectoriesForFile) {
    TempDir dir;
    const std::string root = dir.path();
    CreateDirectoriesForFile(root + "/a/b/c.txt", root);
    EXPECT_TRUE(fs::is_directory(root + "/a/b"));
    EXPECT_FALSE(fs::exists(root + "/a/b/c.txt"));
    // Existing directories are fine, and a root ending with '/' works the same.
    CreateDirectoriesForFile(root + "/a/b/c.txt", root);
    CreateDirectoriesForFile(root + "/a/b/d/e.txt", root + "/");
    EXPECT_TRUE(fs::is_directory(root + "/a/b/d"));
    // Empty components are skipped; a file directly in the root creates nothing.
    CreateDirectoriesForFile(root + "/p//q/r.txt", root);
    EXPECT_TRUE(fs::is_directory(root + "/p/q"));
    CreateDirectoriesForFile(root + "/top.txt", root);
    EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), 2);

    // A file standing where a directory should be (Windows reports no ENOTDIR, only ENOENT).
#ifdef _WIN32
    const int notDirectory = ENOENT;
#else
    const int notDirectory = ENOTDIR;
#endif
    WriteTestFile(root + "/file", "x");
    CaughtError error = CatchError([&] { CreateDirectoriesForFile(root + "/file/x/y.txt", root); });
    EXPECT_EQ(error.message, "Failed to create directory " + root + "/file/x: " + ErrnoText(notDirectory));
    EXPECT_EQ(error.code, lcGeneral);

    // The root is never created.
    error = CatchError([&] { CreateDirectoriesForFile(root + "/nope/a/b.txt", root + "/nope"); });
    EXPECT_EQ(error.message, "Failed to create directory " + root + "/nope/a: No such file or directory");
    EXPECT_FALSE(fs::exists(root + "/nope"));

    EXPECT_EQ(CatchError([&] { CreateDirectoriesForFile("/elsewhere/a/b.txt", root); }).message,
              "Abs path /elsewhere/a/b.txt is not within root dir " + root);
    EXPECT_EQ(CatchError([&] { CreateDirectoriesForFile(root + "/../a/b.txt", root); }).message,
              "Path " + root + "/../a/b.txt goes outside of root directory");
    EXPECT_FALSE(fs::exists(root + "/../a"));
}

TEST(Path, DeleteEmptyParentDirs) {
    TempDir dir;
    const std::string root = dir.path();
    WriteTestFile(root + "/a/keep.txt", "x");
    WriteTestFile(root + "/a/b/c/d.txt", "x");
    RemoveFile(root + "/a/b/c/d.txt");
    DeleteEmptyParentDirs(root + "/a/b/c/d.txt", root);
    EXPECT_FALSE(fs::exists(root + "/a/b"));
    EXPECT_TRUE(fs::exists(root + "/a/keep.txt"));

    RemoveFile(root + "/a/keep.txt");
    DeleteEmptyParentDirs(root + "/a/keep.txt", root);
    EXPECT_FALSE(fs::exists(root + "/a"));
    EXPECT_TRUE(fs::is_directory(root));

    // Never the root, even when a path with empty components is given.
    WriteTestFile(root + "/x/y.txt", "x");
    RemoveFile(root + "/x/y.txt");
    DeleteEmptyParentDirs(root + "//x//y.txt", root);
    EXPECT_FALSE(fs::exists(root + "/x"));
    EXPECT_TRUE(fs::is_directory(root));
    DeleteEmptyParentDirs(root + "//z.txt", root + "/");
    EXPECT_TRUE(fs::is_directory(root));

    // A file directly in the root removes nothing.
    DeleteEmptyParentDirs(root + "/z.txt", root);
    EXPECT_TRUE(fs::is_directory(root));

    // A missing directory is an error.
    CaughtError error = CatchError([&] { DeleteEmptyParentDirs(root + "/gone/f.txt", root); });
    EXPECT_EQ(error.message, "Failed to delete directory " + root + "/gone: No such file or directory");
    EXPECT_EQ(error.code, lcGeneral);
}

TEST(Path, RemoveAndRename) {
    TempDir dir;
    WriteTestFile(dir / "a", "contents");
    RenameFile(dir / "a", dir / "b");
    EXPECT_FALSE(fs::exists(dir / "a"));
    EXPECT_EQ(ReadTestFile(dir / "b"), "contents");
    // Renaming onto an existing file replaces it.
    WriteTestFile(dir / "c", "other");
    RenameFile(dir / "b", dir / "c");
    EXPECT_EQ(ReadTestFile(dir / "c"), "contents");
    RemoveFile(dir / "c");
    EXPECT_FALSE(fs::exists(dir / "c"));

    CaughtError error = CatchError([&] { RemoveFile(dir / "c"); });
    EXPECT_EQ(error.message, "Failed to remove file " + (dir / "c") + ": No such file or directory");
    EXPECT_EQ(error.code, lcGeneral);
    error = CatchError([&] { RenameFile(dir / "c", dir / "d"); });
    EXPECT_EQ(error.message,
              "Failed to rename file " + (dir / "c") + " to " + (dir / "d") + ": No such file or directory");
    EXPECT_EQ(error.code, lcGeneral);
}

// Listing a directory tree: the regular files below a root, relative and sorted, without
// entering linked directories or failing on unreadable ones.
#include "CatchError.h"
#include "ChildProcess.h"
#include "GameFixture.h"
#include "TempDir.h"
#include "base/FileTree.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

using namespace ZipSync;
namespace fs = std::filesystem;

TEST(FileTree, RegularFilesRelativeAndSorted) {
    TempDir dir, outside;
    for (const char* rel : {"b/z.txt", "a.txt", "b/a/y.txt", "B.txt", "locked/secret.txt"})
        WriteTestFile(dir / rel, "x");
    WriteTestFile(outside / "elsewhere.txt", "x");
    fs::create_directory(dir / "empty");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    // A link to a file counts as that file; a linked directory is not entered.
    fs::create_symlink(dir / "a.txt", dir / "link.txt");
    fs::create_directory_symlink(outside.path(), dir / "linked");
    std::vector<std::string> all = {"B.txt",   "a.txt",    "b/a/y.txt",
                                    "b/z.txt", "link.txt", "locked/secret.txt"};
    EXPECT_EQ(ListFilesRecursively(dir.path()), all);
    // Without links: what the update and the tool may write to.
    std::vector<std::string> noLinks = all;
    noLinks.erase(std::find(noLinks.begin(), noLinks.end(), "link.txt"));
    EXPECT_EQ(ListFilesRecursively(dir.path(), false), noLinks);

    // Root reads every directory: the unreadable one is tried by an ordinary user.
    ASSERT_TRUE(CanDropPrivileges()) << "the tests run as root";
    fs::permissions(dir.path(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    fs::permissions(dir / "locked", fs::perms::none);
    all.erase(all.end() - 1);
    int status = RunInChild([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) throw std::runtime_error("cannot drop privileges");
        if (ListFilesRecursively(dir.path()) != all) throw std::runtime_error("unexpected listing");
    });
    EXPECT_EQ(status, 0);
    fs::permissions(dir / "locked", fs::perms::owner_all);

    ExpectError([&] { ListFilesRecursively(dir / "missing"); }, lcCantOpenFile,
                "Failed to list directory " + dir / "missing");
}

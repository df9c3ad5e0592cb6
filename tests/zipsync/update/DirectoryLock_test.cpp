// The lock of an install directory: one holder at a time, kept inside the directory.
#include "CatchError.h"
#include "TempDir.h"
#include "update/DirectoryLock.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace ZipSync;
namespace fs = std::filesystem;

TEST(DirectoryLock, OneHolderAndNeverThroughALink) {
    TempDir dir;
    std::string root = dir / "install";
    fs::create_directories(root);
    {
        DirectoryLock lock(root);
        EXPECT_TRUE(lock.IsLocked());
        EXPECT_TRUE(fs::is_regular_file(root + "/.zipsync/lock"));
        ExpectError([&] { DirectoryLock second(root); }, lcGeneral,
                    "Another installation or update is running in " + root +
                        "; try again once it has finished");
    }
    // Released with its holder; a holder that leaves no trace removes the file and the folder.
    EXPECT_TRUE(fs::is_regular_file(root + "/.zipsync/lock"));
    {
        DirectoryLock lock(root, true);
        EXPECT_TRUE(lock.IsLocked());
    }
    EXPECT_FALSE(fs::exists(root + "/.zipsync"));
    WriteTestFile(root + "/.zipsync/lastscan.ini", "kept");
    DirectoryLock(root, true).Release();
    EXPECT_EQ(ReadTestFile(root + "/.zipsync/lastscan.ini"), "kept");
    EXPECT_FALSE(fs::exists(root + "/.zipsync/lock"));

#ifndef _WIN32 // Wine shows a Unix link as what it points at and makes no Windows links
    // A ".zipsync" that leads elsewhere gets nothing written through it.
    std::string linked = dir / "linked";
    fs::create_directories(linked);
    fs::create_directories(dir / "elsewhere");
    fs::create_directory_symlink(dir / "elsewhere", linked + "/.zipsync");
    ExpectError([&] { DirectoryLock lock(linked); }, lcGeneral,
                "Path " + linked + "/.zipsync is a symbolic link");
    EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
    fs::remove(linked + "/.zipsync");
    fs::create_directories(linked + "/.zipsync");
    fs::create_symlink(dir / "elsewhere/lock", linked + "/.zipsync/lock");
    ExpectError([&] { DirectoryLock lock(linked); }, lcGeneral,
                "Path " + linked + "/.zipsync/lock is a symbolic link");
    EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
#endif
}

// Unpacking the shared archive's files: names that would reach outside the install directory,
// or that cannot be written, leave every existing file as it was.
#include "CatchError.h"
#include "GameFixture.h"
#include "InstallSession.h"
#include "ZipFixture.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace ZipSync;
namespace fs = std::filesystem;

// Entry names of a downloaded archive never reach outside the install directory, and an archive
// with one entry that cannot be unpacked writes none: the file already there (here a link to
// outside) stays until a whole archive is unpacked, which replaces the link without writing
// through it.
TEST(UnpackZip, RefusesUnsafeNames) {
    InstallDir dir;
    fs::create_directories(dir / "game/taken");
    fs::current_path(dir / "game");
    auto makeZip = [&](const std::vector<std::string>& names) {
        ZipFileHolder zf(dir / "crafted.zip");
        for (const std::string& name : names) {
            zip_fileinfo info = {};
            zf.OpenNewFile(name.c_str(), info, Z_DEFLATED, 6, false);
            zf.WriteInFile("data", 4);
            zf.CloseFile();
        }
        zf.Close();
    };
    struct Case {
        std::string name, error;
    } cases[] = {
        {"../evil.txt", "Refusing to unpack entry \"../evil.txt\": path goes up with \"..\""},
        {"sub/../../evil.txt", "Refusing to unpack entry \"sub/../../evil.txt\": path goes up with \"..\""},
        {dir / "evil.txt", "Refusing to unpack entry \"" + dir / "evil.txt" + "\": absolute path"},
        {"..\\evil.txt", "Refusing to unpack entry \"..\\evil.txt\": name contains a backslash"},
        {"evil\x1b.txt", "Refusing to unpack entry \"evil\\x1B.txt\": name contains a control character"},
        {"somedir/", "Refusing to unpack entry \"somedir/\": directory entry"},
        {"./good.txt", "Refusing to unpack entry \"./good.txt\": path has an empty or \".\" component"},
        {"taken//x.txt", "Refusing to unpack entry \"taken//x.txt\": path has an empty or \".\" component"},
        {"__unpacking__good.txt",
         "Refusing to unpack entry \"__unpacking__good.txt\": name of a temporary file"},
        {"nodir/file.txt",
         "Refusing to unpack entry \"nodir/file.txt\": no plain file name (no folders are made)"},
        {"taken/inside.txt",
         "Refusing to unpack entry \"taken/inside.txt\": no plain file name (no folders are made)"},
        {"taken", "Cannot unpack entry \"taken\": a directory is in its place"},
    };
    fs::create_symlink(dir / "outside.txt", dir / "game/good.txt");
    for (const Case& c : cases) {
        makeZip({"good.txt", c.name});
        UnzFileHolder zf(dir / "crafted.zip");
        ExpectError([&] { UnpackZip(zf); }, c.error.rfind("Cannot open", 0) == 0 ? lcCantOpenFile : lcGeneral,
                    c.error);
        EXPECT_TRUE(fs::is_symlink(dir / "game/good.txt")) << c.name;
        EXPECT_EQ(SnapshotFiles(dir / "game"), (std::map<std::string, std::string>{})) << c.name;
        EXPECT_FALSE(fs::exists(dir / "evil.txt"));
        EXPECT_FALSE(fs::exists(dir / "outside.txt"));
    }
    makeZip({"good.txt", "other.txt"});
    UnzFileHolder zf(dir / "crafted.zip");
    EXPECT_EQ(UnpackZip(zf), (std::vector<std::string>{"good.txt", "other.txt"}));
    EXPECT_EQ(SnapshotFiles(dir / "game"),
              (std::map<std::string, std::string>{{"good.txt", "data"}, {"other.txt", "data"}}));
    EXPECT_FALSE(fs::is_symlink(dir / "game/good.txt"));
    EXPECT_FALSE(fs::exists(dir / "outside.txt"));
}

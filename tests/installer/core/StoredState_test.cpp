// The scan and install state files: round trips through real files, the comparison of scan
// states and the readers' assertions.
#include "CatchError.h"
#include "StoredState.h"
#include "TempDir.h"

#include "base/Utils.h"
#include "zip/IniFile.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace ZipSync;
namespace fs = std::filesystem;

static void SetModTime(const std::string& path, int seconds) {
    fs::last_write_time(path, fs::file_time_type::clock::now() + std::chrono::seconds(seconds));
}

TEST(StoredState, ScanStateRoundTripAndChanges) {
    TempDir root;
    std::vector<std::string> zips = {root / "b.pk4", root / "a.pk4", root / "base dir/z 1.pk4"};
    for (size_t i = 0; i < zips.size(); i++) WriteTestFile(zips[i], std::string(i, 'x'));
    SetModTime(zips[1], -100);
    ScanState fresh = BuildScanState(zips, root.path());
    EXPECT_EQ(fresh[1].modTime - fresh[0].modTime, 100u);

    fs::create_directories(root / ".zipsync");
    WriteIniFile(root / LAST_SCAN_PATH, ScanStateToIni(fresh));
    EXPECT_EQ(ReadTestFile(root / LAST_SCAN_PATH),
              "[Zip a.pk4]\nmodTime=" + std::to_string(fresh[0].modTime) +
                  "\nsize=1\n\n[Zip b.pk4]\nmodTime=" + std::to_string(fresh[1].modTime) +
                  "\nsize=0\n\n[Zip base dir/z 1.pk4]\nmodTime=" + std::to_string(fresh[2].modTime) +
                  "\nsize=2\n\n");
    ScanState stored = ScanStateFromIni(ReadIniFile(root / LAST_SCAN_PATH));
    EXPECT_EQ(stored, BuildScanState(zips, root.path()));
    std::swap(stored[0], stored[1]);
    EXPECT_NE(stored, fresh) << "stored unsorted";

    SetModTime(zips[1], -50);
    EXPECT_NE(BuildScanState(zips, root.path()), fresh);
    SetModTime(zips[1], -100);
    EXPECT_EQ(BuildScanState(zips, root.path()), fresh);
    WriteTestFile(zips[2], "zzz");
    fs::last_write_time(zips[2], fs::last_write_time(zips[0]));
    EXPECT_NE(BuildScanState(zips, root.path()), fresh);
    EXPECT_NE(BuildScanState({zips[0], zips[1]}, root.path()), fresh);
#ifndef _WIN32 // the library sets times on Windows in whole seconds only
    // A write within the same second: the saved state cannot tell, the one in memory can.
    fs::file_time_type second = std::chrono::floor<std::chrono::seconds>(fs::last_write_time(zips[0]));
    fs::last_write_time(zips[0], second + std::chrono::milliseconds(100));
    ScanState before = BuildScanState({zips[0]}, root.path());
    fs::last_write_time(zips[0], second + std::chrono::milliseconds(700));
    ScanState after = BuildScanState({zips[0]}, root.path());
    EXPECT_EQ(after, before);
    EXPECT_EQ(after[0].modTimeNs - before[0].modTimeNs, 600000000);
#endif

    ExpectError([&] { BuildScanState({root / "x.pk4"}, root.path()); }, lcCantOpenFile,
                "Failed to open file \"" + root / "x.pk4" + "\"");
    EXPECT_TRUE(CatchError([&] { BuildScanState({"/etc/hostname"}, root.path()); }).thrown);
}

TEST(StoredState, ReaderAssertions) {
    std::pair<const char*, const char*> cases[] = {
        {"[Zip a.pk4]\nmodTime=1\nsize=2\n[Version]\nversion=1\n", "false"},
        {"[Zip a.pk4]\nsize=2\nmodTime=1\n", "sec[0].first == \"modTime\""},
        {"[Zip a.pk4]\n", "sec[0].first == \"modTime\""},
        {"[Zip a.pk4]\nmodTime=1\n", "sec[1].first == \"size\""},
        {"[Zip a.pk4]\nmodTime=yesterday\nsize=2\n", "k == 1"},
        {"[Zip a.pk4]\nmodTime=1\nsize=\n", "k == 1"},
    };
    for (const auto& [ini, condition] : cases)
        ExpectAssertion([ini = ini] { ScanStateFromIni(ParseIniText(ini)); }, condition);
    ExpectAssertion([] { InstallStateFromIni(ParseIniText("[Version]\n")); }, "sec[0].first == \"version\"");
    ExpectAssertion([] { InstallStateFromIni(ParseIniText("[Version]\nname=2\n")); },
                    "sec[0].first == \"version\"");

    // Extra keys are ignored, file order is kept, inner blanks belong to the path.
    EXPECT_EQ(ScanStateFromIni(ParseIniText("[Zip z]\nmodTime=5\nsize=6\nx=1\n[Zip  a b]\nmodTime="
                                            "18446744073709551615\nsize=4294967295\n")),
              (ScanState{{"z", 5, 6}, {" a b", 18446744073709551615ull, 4294967295u}}));
    EXPECT_EQ(InstallStateFromIni(ParseIniText("[Zip a.pk4]\nsize=1\n[Version]\nversion=1\n[Other x]\n"
                                               "[UnpackedFile f]\n[Version]\nversion=2\nextra=3\n")),
              (InstallState{"2", {"a.pk4"}, {"f"}, {}}));
}

TEST(StoredState, InstallStateRoundTrip) {
    TempDir root;
    fs::create_directories(root / ".zipsync");
    std::string path = root / LAST_INSTALL_PATH;
    std::pair<InstallState, std::string> cases[] = {
        {{"2.10", {}, {}, {}}, "[Version]\nversion=2.10\n\n"},
        {{}, "[Version]\nversion=\n\n"},
        {{"2.12 beta", {"base.pk4", "dir x/a  b.pk4"}, {"Quillmere.exe", "bin/x y.so"}, {}},
         "[Version]\nversion=2.12 beta\n\n[Zip base.pk4]\n\n[Zip dir x/a  b.pk4]\n\n"
         "[UnpackedFile Quillmere.exe]\n\n[UnpackedFile bin/x y.so]\n\n"},
    };
    for (const auto& [state, text] : cases) {
        WriteIniFile(path, InstallStateToIni(state));
        EXPECT_EQ(ReadTestFile(path), text);
        EXPECT_EQ(InstallStateFromIni(ReadIniFile(path)), state);
    }
    InstallState reordered = cases[2].first;
    std::swap(reordered.zips[0], reordered.zips[1]);
    EXPECT_NE(reordered, cases[2].first);

    // The digest of an unpacked file is a key of its section, which older installers ignore;
    // a section without one (written by them), or with a value that is no digest, has none.
    HashDigest digest;
    digest.data[0] = 0xab;
    InstallState hashed{"3", {}, {"Quillmere.exe", "readme.txt"}, {{"Quillmere.exe", digest}}};
    WriteStateFile(root.path(), LAST_INSTALL_PATH, InstallStateToIni(hashed));
    EXPECT_EQ(ReadTestFile(path), "[Version]\nversion=3\n\n[UnpackedFile Quillmere.exe]\ncontentsHash=" +
                                      digest.Hex() + "\n\n[UnpackedFile readme.txt]\n\n");
    EXPECT_EQ(InstallStateFromIni(ReadStateFile(root.path(), LAST_INSTALL_PATH)), hashed);
    WriteTestFile(path, "[Version]\nversion=3\n[UnpackedFile Quillmere.exe]\ncontentsHash=" + digest.Hex() +
                            "\n[UnpackedFile readme.txt]\ncontentsHash=XYZ\n");
    EXPECT_EQ(InstallStateFromIni(ReadStateFile(root.path(), LAST_INSTALL_PATH)), hashed);
    // No state file is written through a link, nor read beyond its bound.
    fs::remove(path);
#ifdef _WIN32 // Wine makes no Windows links: a file one byte too long
    WriteTestFile(path, std::string(MAX_STATE_FILE_SIZE + 1, '#'));
#else
    fs::create_symlink(root / "elsewhere.ini", path);
    ExpectError([&] { WriteStateFile(root.path(), LAST_INSTALL_PATH, InstallStateToIni(hashed)); }, lcGeneral,
                "Path " + path + " is a symbolic link");
    EXPECT_FALSE(fs::exists(root / "elsewhere.ini"));
    fs::remove(path);
    fs::create_symlink("/dev/zero", path);
#endif
    ExpectError([&] { ReadStateFile(root.path(), LAST_INSTALL_PATH); }, lcGeneral,
                "File \"" + path + "\" is larger than the limit of " + std::to_string(MAX_STATE_FILE_SIZE) +
                    " bytes");
}

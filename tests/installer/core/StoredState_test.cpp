// The scan and install state files: their INI forms, round trips through real files, the
// comparison of scan states and the readers' assertions.
#include "CatchError.h"
#include "StoredState.h"
#include "TempDir.h"

#include "Utils.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

void SetModTime(const std::string& path, long long seconds) {
    fs::last_write_time(path, fs::file_time_type::clock::now() + std::chrono::seconds(seconds));
}

} // namespace

TEST(StoredState, ScanStateRoundTripAndChanges) {
    TempDir root;
    std::vector<std::string> zips = {root / "b.pk4", root / "a.pk4", root / "base dir/z 1.pk4",
                                     root / "B.zip"};
    WriteTestFile(zips[0], "bb");
    WriteTestFile(zips[1], "a");
    WriteTestFile(zips[2], "zzz");
    WriteTestFile(zips[3], "");
    SetModTime(zips[1], -100);

    ScanState fresh = BuildScanState(zips, root.path());
    ASSERT_EQ(fresh.size(), 4u);
    EXPECT_EQ(fresh[0].path, "B.zip");
    EXPECT_EQ(fresh[1].path, "a.pk4");
    EXPECT_EQ(fresh[2].path, "b.pk4");
    EXPECT_EQ(fresh[3].path, "base dir/z 1.pk4");
    EXPECT_EQ(fresh[3].size, 3u);
    EXPECT_EQ(fresh[2].modTime - fresh[1].modTime, 100u);

    fs::create_directories(root / ".zipsync");
    WriteIniFile(root / LAST_SCAN_PATH, ScanStateToIni(fresh));
    EXPECT_EQ(ReadTestFile(root / LAST_SCAN_PATH),
              "[Zip B.zip]\nmodTime=" + std::to_string(fresh[0].modTime) +
                  "\nsize=0\n\n[Zip a.pk4]\nmodTime=" + std::to_string(fresh[1].modTime) +
                  "\nsize=1\n\n[Zip b.pk4]\nmodTime=" + std::to_string(fresh[2].modTime) +
                  "\nsize=2\n\n[Zip base dir/z 1.pk4]\nmodTime=" + std::to_string(fresh[3].modTime) +
                  "\nsize=3\n\n");
    ScanState stored = ScanStateFromIni(ReadIniFile(root / LAST_SCAN_PATH));
    EXPECT_EQ(stored, fresh);
    EXPECT_EQ(stored, BuildScanState(zips, root.path()));

    // Stored unsorted: same entries, never equal.
    std::swap(stored[0], stored[1]);
    EXPECT_NE(stored, fresh);

    SetModTime(zips[1], -50);
    EXPECT_NE(BuildScanState(zips, root.path()), fresh);
    SetModTime(zips[1], -100);
    EXPECT_EQ(BuildScanState(zips, root.path()), fresh);
    WriteTestFile(zips[2], "zz");
    SetModTime(zips[2], 0);
    ScanState resized = BuildScanState(zips, root.path());
    resized[3].modTime = fresh[3].modTime;
    EXPECT_NE(resized, fresh);
    EXPECT_NE(BuildScanState({zips[0], zips[1], zips[3]}, root.path()), fresh);

    ExpectError([&] { BuildScanState({root / "missing.pk4"}, root.path()); }, lcCantOpenFile,
                "Failed to open file \"" + root / "missing.pk4" + "\"");
    EXPECT_TRUE(CatchError([&] { BuildScanState({"/etc/hostname"}, root.path()); }).thrown);
}

TEST(StoredState, ScanStateReaderAssertions) {
    struct Case {
        const char* ini;
        const char* condition;
    } cases[] = {
        {"[Zip a.pk4]\nmodTime=1\nsize=2\n[Version]\nversion=1\n", "false"},
        {"[Zip a.pk4]\nsize=2\nmodTime=1\n", "sec[0].first == \"modTime\""},
        {"[Zip a.pk4]\n", "sec[0].first == \"modTime\""},
        {"[Zip a.pk4]\nmodTime=1\n", "sec[1].first == \"size\""},
        {"[Zip a.pk4]\nmodTime=1\nweight=2\n", "sec[1].first == \"size\""},
        {"[Zip a.pk4]\nmodTime=yesterday\nsize=2\n", "k == 1"},
        {"[Zip a.pk4]\nmodTime=\nsize=2\n", "k == 1"},
        {"[Zip a.pk4]\nmodTime=1\nsize=x\n", "k == 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini);
        ExpectAssertion([&] { ScanStateFromIni(ParseIniText(c.ini)); }, c.condition);
    }
    // Extra keys are ignored; file order is kept.
    ScanState state =
        ScanStateFromIni(ParseIniText("[Zip z]\nmodTime=5\nsize=6\nextra=1\n[Zip  a b]\nmodTime="
                                      "18446744073709551615\nsize=4294967295\n"));
    EXPECT_EQ(state, (ScanState{{"z", 5, 6}, {" a b", 18446744073709551615ull, 4294967295u}}));
}

TEST(StoredState, InstallStateRoundTrip) {
    TempDir root;
    fs::create_directories(root / ".zipsync");
    std::string path = root / LAST_INSTALL_PATH;

    InstallState onlyVersion{"2.10", {}, {}};
    WriteIniFile(path, InstallStateToIni(onlyVersion));
    EXPECT_EQ(ReadTestFile(path), "[Version]\nversion=2.10\n\n");
    EXPECT_EQ(InstallStateFromIni(ReadIniFile(path)), onlyVersion);

    WriteIniFile(path, InstallStateToIni(InstallState()));
    EXPECT_EQ(ReadTestFile(path), "[Version]\nversion=\n\n");
    EXPECT_EQ(InstallStateFromIni(ReadIniFile(path)), InstallState());

    InstallState full{"2.12 beta", {"base.pk4", "dir with blanks/a  b.pk4"}, {"Quillmere.exe", "bin/x y.so"}};
    WriteIniFile(path, InstallStateToIni(full));
    EXPECT_EQ(ReadTestFile(path),
              "[Version]\nversion=2.12 beta\n\n[Zip base.pk4]\n\n[Zip dir with blanks/a  b.pk4]\n\n"
              "[UnpackedFile Quillmere.exe]\n\n[UnpackedFile bin/x y.so]\n\n");
    EXPECT_EQ(InstallStateFromIni(ReadIniFile(path)), full);
    InstallState reordered = full;
    std::swap(reordered.zips[0], reordered.zips[1]);
    EXPECT_NE(reordered, full);

    // Unknown sections and keys are ignored; the last "Version" wins.
    InstallState read =
        InstallStateFromIni(ParseIniText("[Zip a.pk4]\nsize=1\n[Version]\nversion=1\n[Other x]\n"
                                         "[UnpackedFile f]\n[Version]\nversion=2\nextra=3\n"));
    EXPECT_EQ(read, (InstallState{"2", {"a.pk4"}, {"f"}}));

    ExpectAssertion([] { InstallStateFromIni(ParseIniText("[Version]\n")); }, "sec[0].first == \"version\"");
    ExpectAssertion([] { InstallStateFromIni(ParseIniText("[Version]\nname=2\n")); },
                    "sec[0].first == \"version\"");
}

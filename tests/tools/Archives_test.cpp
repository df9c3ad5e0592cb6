// normalize, pack, unpack and hash on real archives: Info-ZIP's, Python's and the engine's.
#include "ToolRunner.h"

#include "TestDigest.h"
#include "ZipFixture.h"
#include "base/Hash.h"
#include "zip/ChecksummedZip.h"
#include "zip/IniFile.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

// An archive written by Info-ZIP zip: made-by host Unix, extra fields, a directory entry.
static void WriteInfoZipArchive(const std::string& dir, const std::string& name) {
    WriteTestFile(dir + "/src/maps/b.map", TestText(7, 20000));
    WriteTestFile(dir + "/src/a.txt", TestText(8, 3000));
    ASSERT_EQ(RunShellCommand("mkdir -p \"$(dirname '" + dir + "/" + name + "')\" && cd '" + dir +
                              "/src' && zip -q -r -9 '" + dir + "/" + name + "' a.txt maps"),
              0);
}

TEST(Normalize, InfoZipArchiveIsRefusedThenAcceptedAfterNormalize) {
    TempDir dir;
    WriteInfoZipArchive(dir.path(), "root/qmh_base.pk4");
    std::string before = ReadTestFile(dir / "root/qmh_base.pk4");

    ToolResult refused = RunZipsync({"analyze", dir / "root"});
    EXPECT_EQ(refused.status, 1) << Dump(refused);
    // The engine's message, then the hint naming the archive.
    EXPECT_TRUE(Contains(refused.err, "ERROR: File a.txt has made-by version ")) << Dump(refused);
    EXPECT_TRUE(Contains(refused.err, "Archive \"qmh_base.pk4\" is outside the zip subset")) << Dump(refused);
    EXPECT_TRUE(Contains(refused.err, "zipsync normalize " + dir / "root/qmh_base.pk4")) << Dump(refused);
    EXPECT_FALSE(fs::exists(dir / "root/manifest.iniz"));
    EXPECT_EQ(ReadTestFile(dir / "root/qmh_base.pk4"), before);

    ToolResult normalized = RunZipsync({"normalize", dir / "root"});
    ASSERT_EQ(normalized.status, 0) << Dump(normalized);
    EXPECT_TRUE(Contains(normalized.out, "Normalized " + dir / "root/qmh_base.pk4")) << Dump(normalized);
    EXPECT_EQ(UnzipTest(dir / "root/qmh_base.pk4"), 0);
    PyZipInfo info = ReadPyZipInfo(dir / "root/qmh_base.pk4");
    ASSERT_EQ(info.entries.size(), 2u); // the directory entry "maps/" is gone
    EXPECT_EQ(info.entries[0].name, "a.txt");
    EXPECT_EQ(info.entries[1].name, "maps/b.map");

    ToolResult analyzed = RunZipsync({"analyze", dir / "root"});
    ASSERT_EQ(analyzed.status, 0) << Dump(analyzed);
    ZipSync::IniData ini = ZipSync::ReadIniFile(dir / "root/manifest.iniz");
    ASSERT_EQ(ini.size(), 2u);
    EXPECT_EQ(ini[0].first, "File qmh_base.pk4||a.txt");
    EXPECT_EQ(ini[1].first, "File qmh_base.pk4||maps/b.map");
    EXPECT_EQ(ini[0].second[0].second, Digest(TestText(8, 3000)).Hex());
    EXPECT_EQ(ini[1].second[0].second, Digest(TestText(7, 20000)).Hex());
}

TEST(Normalize, OutputOptionLeavesTheSourceAlone) {
    TempDir dir;
    WriteInfoZipArchive(dir.path(), "in.zip");
    std::string before = ReadTestFile(dir / "in.zip");
    ToolResult result = RunZipsync({"normalize", "-o", dir / "out/norm.zip", dir / "in.zip"});
    // The output's folder does not exist: that is a failure, not a crash, and leaves nothing.
    EXPECT_EQ(result.status, 1) << Dump(result);
    fs::create_directories(dir / "out");
    result = RunZipsync({"normalize", "-o", dir / "out/norm.zip", dir / "in.zip"});
    ASSERT_EQ(result.status, 0) << Dump(result);
    EXPECT_EQ(ReadTestFile(dir / "in.zip"), before);
    EXPECT_EQ(UnzipTest(dir / "out/norm.zip"), 0);
    EXPECT_EQ(RunZipsync({"analyze", dir / "out", "-o", dir / "m.ini"}).status, 0);
    // Normalizing an archive in normal form changes nothing.
    std::string once = ReadTestFile(dir / "out/norm.zip");
    ASSERT_EQ(RunZipsync({"normalize", dir / "out/norm.zip"}).status, 0);
    EXPECT_EQ(ReadTestFile(dir / "out/norm.zip"), once);
}

TEST(Normalize, UnsupportedEntryFailsAndKeepsTheArchive) {
    TempDir dir;
    MakePyZip(dir / "bz.zip", R"({"entries": [{"name": "x", "data": "hello hello", "method": 12}]})");
    std::string before = ReadTestFile(dir / "bz.zip");
    ToolResult result = RunZipsync({"normalize", dir / "bz.zip"});
    EXPECT_EQ(result.status, 1) << Dump(result);
    EXPECT_TRUE(Contains(result.err, "ERROR: File x has compression 12 (not supported)")) << Dump(result);
    EXPECT_EQ(ReadTestFile(dir / "bz.zip"), before);
    ToolResult missing = RunZipsync({"normalize", dir / "nothing.zip"});
    EXPECT_EQ(missing.status, 1) << Dump(missing);
}

TEST(ChecksummedZips, PackHashUnpackRoundTrip) {
    TempDir dir;
    std::string payload = TestText(11, 70000);
    WriteTestFile(dir / "qmh_installer.exe", payload);
    ToolResult packed = RunZipsync({"pack", dir / "qmh_installer.exe", dir / "qmh_installer.exe.zip"});
    ASSERT_EQ(packed.status, 0) << Dump(packed);
    // The engine reads it, under the payload's own name.
    auto data = ZipSync::ReadChecksummedZip(dir / "qmh_installer.exe.zip", "qmh_installer.exe");
    EXPECT_EQ(std::string(data.begin(), data.end()), payload);

    ToolResult hash = RunZipsync({"hash", dir / "qmh_installer.exe.zip"});
    ASSERT_EQ(hash.status, 0) << Dump(hash);
    EXPECT_EQ(hash.out, Digest(payload).Hex() + "\n");

    ToolResult unpacked = RunZipsync({"unpack", dir / "qmh_installer.exe.zip", dir / "copy.exe"});
    ASSERT_EQ(unpacked.status, 0) << Dump(unpacked);
    EXPECT_EQ(ReadTestFile(dir / "copy.exe"), payload);
    ToolResult toStdout = RunZipsync({"unpack", dir / "qmh_installer.exe.zip", "-"});
    EXPECT_EQ(toStdout.out, payload);

    // Packing is deterministic.
    ASSERT_EQ(RunZipsync({"pack", dir / "copy.exe", dir / "again.zip", "--name", "qmh_installer.exe"}).status,
              0);
    EXPECT_EQ(ReadTestFile(dir / "again.zip"), ReadTestFile(dir / "qmh_installer.exe.zip"));

    // An empty payload comes back empty, to a file and to standard output.
    WriteTestFile(dir / "empty.ini", "");
    ASSERT_EQ(RunZipsync({"pack", dir / "empty.ini", dir / "empty.iniz"}).status, 0);
    ToolResult empty = RunZipsync({"unpack", dir / "empty.iniz", dir / "empty.out"});
    EXPECT_EQ(empty.status, 0) << Dump(empty);
    EXPECT_EQ(ReadTestFile(dir / "empty.out"), "");
    empty = RunZipsync({"unpack", dir / "empty.iniz", "-"});
    EXPECT_EQ(empty.status, 0) << Dump(empty);
    EXPECT_EQ(empty.out, "");
}

TEST(ChecksummedZips, IniPayloadBecomesDataIniReadableAsManifest) {
    TempDir dir;
    std::string text = "[Section]\nkey=value\n\n";
    WriteTestFile(dir / "plain.ini", text);
    ASSERT_EQ(RunZipsync({"pack", dir / "plain.ini", dir / "wrapped.iniz"}).status, 0);
    ZipSync::IniData ini = ZipSync::ReadIniFile(dir / "wrapped.iniz");
    ASSERT_EQ(ini.size(), 1u);
    EXPECT_EQ(ini[0].second[0].second, "value");
}

TEST(ChecksummedZips, TamperedPayloadIsRefusedAndNothingWritten) {
    TempDir dir;
    WriteTestFile(dir / "p.bin", "original payload");
    ASSERT_EQ(RunZipsync({"pack", dir / "p.bin", dir / "p.zip"}).status, 0);
    // Re-zip with another payload but the old hash.txt: CRCs are right, the digest is not.
    ASSERT_EQ(RunShellCommand("cd '" + dir.path() +
                              "' && mkdir t && cd t && unzip -q ../p.zip && echo altered > p.bin && "
                              "rm ../p.zip && zip -q -0 ../p.zip hash.txt && zip -q ../p.zip p.bin"),
              0);
    ToolResult result = RunZipsync({"unpack", dir / "p.zip", dir / "out.bin"});
    EXPECT_EQ(result.status, 1) << Dump(result);
    // Named once, with what is wrong, and no trace of an assertion or of the build machine.
    std::string message =
        "ERROR: Checksummed zip \"" + dir / "p.zip" + "\" is damaged: the digest of p.bin is ";
    EXPECT_EQ(result.err.find(message), result.err.rfind(message)) << Dump(result);
    EXPECT_TRUE(Contains(result.err, message)) << Dump(result);
    EXPECT_FALSE(Contains(result.err, "Assertion")) << Dump(result);
    EXPECT_FALSE(fs::exists(dir / "out.bin"));
    // hash only reports what the file claims.
    EXPECT_EQ(RunZipsync({"hash", dir / "p.zip"}).out, Digest("original payload").Hex() + "\n");

    ToolResult notZip = RunZipsync({"hash", dir / "p.bin"});
    EXPECT_EQ(notZip.status, 1) << Dump(notZip);
}

TEST(ChecksummedZips, UnpackWithSeveralPayloadsNeedsAName) {
    TempDir dir;
    WriteTestFile(dir / "empty", "");
    ASSERT_EQ(RunZipsync({"pack", "--name", "a", dir / "empty", dir / "x.zip"}).status, 0);
    ASSERT_EQ(RunShellCommand("cd '" + dir.path() + "' && echo b > b && zip -q x.zip b"), 0);
    ToolResult result = RunZipsync({"unpack", dir / "x.zip", dir / "out"});
    EXPECT_EQ(result.status, 1) << Dump(result);
    EXPECT_TRUE(Contains(result.err, "holds 2 payload entries; choose one with --name")) << Dump(result);
    ToolResult named = RunZipsync({"unpack", "--name", "a", dir / "x.zip", dir / "out"});
    EXPECT_EQ(named.status, 0) << Dump(named);
    EXPECT_EQ(ReadTestFile(dir / "out"), "");
}

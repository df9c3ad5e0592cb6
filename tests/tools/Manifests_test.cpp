// analyze and verify: a tree of archives into a manifest and back.
#include "ToolRunner.h"

#include "ZipFixture.h"
#include "zip/IniFile.h"
#include "zip/Manifest.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;

namespace {
// Three archives in two folders, deflated and stored entries, one empty file, and files that
// analysis must not pick up.
struct PublishTree {
    TempDir dir;
    std::string root;
    PublishTree() : root(dir / "srv/2.12") {
        WriteNormalZip(root + "/qmh_base.pk4", {{"maps/harbor.map", TestText(1, 40000)},
                                                {"sound/bell.ogg", TestText(2, 9000), false},
                                                {"empty.txt", "", false}});
        WriteNormalZip(root + "/qmh_extra.zip", {{"readme.txt", TestText(3, 2000)}});
        WriteNormalZip(root + "/fms/harborjob/map.pk4", {{"fm/briefing.xd", TestText(4, 12000)}});
        WriteTestFile(root + "/notes.txt", "not an archive");
        WriteTestFile(root + "/__download0__qmh_base.pk4", "a leftover temporary file");
    }
    std::string Manifest() const { return root + "/manifest.iniz"; }
};

ZipSync::Manifest LoadManifest(const std::string& path, const std::string& root) {
    ZipSync::Manifest manifest;
    manifest.LoadFromIni(ZipSync::ReadIniFile(path), root);
    return manifest;
}

const PyZipEntry& EntryNamed(const PyZipInfo& info, const std::string& name) {
    for (const PyZipEntry& entry : info.entries)
        if (entry.name == name) return entry;
    throw std::runtime_error("no entry " + name);
}
} // namespace

TEST(Analyze, ManifestDescribesEveryArchiveUnderTheRoot) {
    PublishTree tree;
    ToolResult result = RunZipsync({"analyze", tree.root});
    ASSERT_EQ(result.status, 0) << Dump(result);
    EXPECT_TRUE(Contains(result.out, "Wrote " + tree.Manifest() + ": 5 files in 3 archives")) << Dump(result);

    ZipSync::Manifest manifest = LoadManifest(tree.Manifest(), tree.root);
    ASSERT_EQ(manifest.size(), 5);
    std::vector<std::string> names;
    for (const ZipSync::FileMetainfo& file : manifest)
        names.push_back(ZipSync::GetFullPath(file.zipPath.rel, file.filename));
    EXPECT_EQ(names, (std::vector<std::string>{"fms/harborjob/map.pk4||fm/briefing.xd",
                                               "qmh_base.pk4||empty.txt", "qmh_base.pk4||maps/harbor.map",
                                               "qmh_base.pk4||sound/bell.ogg", "qmh_extra.zip||readme.txt"}));
    // Byte ranges agree with what Python sees in the archive.
    PyZipInfo info = ReadPyZipInfo(tree.root + "/qmh_base.pk4");
    const PyZipEntry& map = EntryNamed(info, "maps/harbor.map");
    EXPECT_EQ(manifest[2].byterange[0], map.headerOffset);
    EXPECT_EQ(manifest[2].byterange[1], map.DataEnd());
    EXPECT_EQ(manifest[2].compressionMethod, 8);
    EXPECT_EQ(manifest[3].compressionMethod, 0);
    EXPECT_EQ(manifest[3].contentsHash, manifest[3].compressedHash);
}

TEST(Analyze, ThreadCountsGiveTheSameManifest) {
    PublishTree tree;
    for (const char* jobs : {"1", "2", "0"}) {
        std::string out = tree.dir / (std::string("m") + jobs + ".iniz");
        ToolResult result = RunZipsync({"analyze", "-j", jobs, "-o", out, tree.root});
        ASSERT_EQ(result.status, 0) << Dump(result);
        // The count used: 0 asks for one thread per core.
        std::string used = jobs == std::string("0")
                               ? std::to_string(std::max(1u, std::thread::hardware_concurrency()))
                               : jobs;
        EXPECT_TRUE(Contains(result.out, "in " + used + " threads")) << Dump(result);
    }
    EXPECT_EQ(ReadTestFile(tree.dir / "m1.iniz"), ReadTestFile(tree.dir / "m2.iniz"));
    EXPECT_EQ(ReadTestFile(tree.dir / "m1.iniz"), ReadTestFile(tree.dir / "m0.iniz"));
}

TEST(Analyze, PlainIniPackageAndChosenArchives) {
    PublishTree tree;
    std::string out = tree.dir / "subset.ini";
    ToolResult result = RunZipsync({"analyze", "--package", "harborjob", "-o", out, tree.root,
                                    "fms/harborjob/map.pk4", tree.root + "/qmh_extra.zip"});
    ASSERT_EQ(result.status, 0) << Dump(result);
    std::string text = ReadTestFile(out);
    // Plain INI text, not a zip.
    EXPECT_EQ(text.compare(0, 44, "[File fms/harborjob/map.pk4||fm/briefing.xd]"), 0) << text;
    ZipSync::Manifest manifest = LoadManifest(out, tree.root);
    ASSERT_EQ(manifest.size(), 2);
    for (const ZipSync::FileMetainfo& file : manifest) EXPECT_EQ(file.package, "harborjob");

    ToolResult missing = RunZipsync({"analyze", tree.root, "nope.pk4"});
    EXPECT_EQ(missing.status, 1) << Dump(missing);
    EXPECT_TRUE(Contains(missing.err, "ERROR: Archive " + tree.root + "/nope.pk4 does not exist"))
        << Dump(missing);
    TempDir empty;
    ToolResult none = RunZipsync({"analyze", empty.path()});
    EXPECT_EQ(none.status, 1) << Dump(none);
    EXPECT_TRUE(Contains(none.err, "No archives (.pk4, .zip) found")) << Dump(none);
}

TEST(Analyze, BrokenArchiveGetsNoNormalizeHint) {
    PublishTree tree;
    // A CRC that does not match: a reader error, which normalization would not repair.
    PyZipInfo info = ReadPyZipInfo(tree.root + "/qmh_extra.zip");
    std::string bytes = ReadTestFile(tree.root + "/qmh_extra.zip");
    FlipByte(tree.root + "/qmh_extra.zip", info.entries[0].headerOffset + 14);
    uint64_t eocd = bytes.rfind(std::string("PK\x05\x06", 4));
    uint64_t central = ReadLE(bytes, eocd + 16, 4);
    FlipByte(tree.root + "/qmh_extra.zip", central + 16);
    ToolResult result = RunZipsync({"analyze", "-j", "1", tree.root});
    EXPECT_EQ(result.status, 1) << Dump(result);
    // Named once, with the archive.
    std::string message =
        "ERROR: Minizip error -105 (CRC mismatch, the data is damaged) in archive qmh_extra.zip\n";
    EXPECT_TRUE(Contains(result.err, message)) << Dump(result);
    EXPECT_EQ(result.err.find("Minizip error"), result.err.rfind("Minizip error")) << Dump(result);
    EXPECT_FALSE(Contains(result.err, "Hint:")) << Dump(result);
}

TEST(Verify, AnalyzedTreePasses) {
    PublishTree tree;
    ASSERT_EQ(RunZipsync({"analyze", tree.root}).status, 0);
    for (const char* jobs : {"1", "3"}) {
        ToolResult result = RunZipsync({"verify", "-j", jobs, tree.root, tree.Manifest()});
        EXPECT_EQ(result.status, 0) << Dump(result);
        EXPECT_TRUE(Contains(result.out, "5 files checked: 5 good, 0 missing, 0 corrupt\n")) << Dump(result);
    }
    // The same manifest verifies a copy of the tree elsewhere: paths are relative.
    fs::copy(tree.root, tree.dir / "copy", fs::copy_options::recursive);
    EXPECT_EQ(RunZipsync({"verify", tree.dir / "copy", tree.Manifest()}).status, 0);
}

// Flipped bytes, a missing archive, and a FIFO where an archive should be (never opened: that
// would wait for a writer).
TEST(Verify, FindsFlippedBytesAndMissingFiles) {
    PublishTree tree;
    ASSERT_EQ(RunZipsync({"analyze", tree.root}).status, 0);
    PyZipInfo base = ReadPyZipInfo(tree.root + "/qmh_base.pk4");
    const PyZipEntry& map = EntryNamed(base, "maps/harbor.map");
    const PyZipEntry& bell = EntryNamed(base, "sound/bell.ogg");
    // One byte inside the deflated data, one inside the stored data.
    FlipByte(tree.root + "/qmh_base.pk4", map.DataStart() + map.compressSize / 2);
    FlipByte(tree.root + "/qmh_base.pk4", bell.DataStart() + 100);
    fs::remove(tree.root + "/fms/harborjob/map.pk4");
    fs::remove(tree.root + "/qmh_extra.zip");
#ifdef _WIN32 // no FIFOs: a directory stands where the archive belongs
    fs::create_directory(tree.root + "/qmh_extra.zip");
    const std::string kind = "directory";
#else
    ASSERT_EQ(mkfifo((tree.root + "/qmh_extra.zip").c_str(), 0644), 0);
    const std::string kind = "FIFO";
#endif

    ToolResult result = RunZipsync({"verify", tree.root, tree.Manifest()});
    EXPECT_EQ(result.status, 1) << Dump(result);
    EXPECT_TRUE(Contains(result.out, "missing: fms/harborjob/map.pk4 (the whole archive, 1 files)\n"))
        << Dump(result);
    EXPECT_TRUE(Contains(result.out, "corrupt: qmh_extra.zip (the whole archive, 1 files): " + tree.root +
                                         "/qmh_extra.zip is not a regular file (a " + kind + ")\n"))
        << Dump(result);
    EXPECT_TRUE(
        Contains(result.out, "corrupt: qmh_base.pk4||maps/harbor.map: compressed bytes differ (hash)\n"))
        << Dump(result);
    EXPECT_TRUE(
        Contains(result.out, "corrupt: qmh_base.pk4||sound/bell.ogg: compressed bytes differ (hash)\n"))
        << Dump(result);
    EXPECT_FALSE(Contains(result.out, "empty.txt")) << Dump(result);
    EXPECT_TRUE(Contains(result.out, "5 files checked: 1 good, 1 missing, 3 corrupt\n")) << Dump(result);
}

// A carriage return in a name listed by the manifest must not overwrite the report line.
TEST(Verify, ControlCharactersInNamesAreEscaped) {
    PublishTree tree;
    std::string manifest = tree.dir / "m.ini";
    ASSERT_EQ(RunZipsync({"analyze", "-o", manifest, tree.root}).status, 0);
    std::string text = ReadTestFile(manifest);
    size_t at = text.find("||maps/harbor.map]");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 18, "||maps/harbor\r.map]");
    WriteTestFile(manifest, text);
    ToolResult result = RunZipsync({"verify", tree.root, manifest});
    EXPECT_EQ(result.status, 1) << Dump(result);
    EXPECT_TRUE(Contains(result.out, "corrupt: qmh_base.pk4||maps/harbor\\r.map: entry at byte 0 is \""))
        << Dump(result);
    EXPECT_FALSE(Contains(result.out, "\r")) << Dump(result);
}

TEST(Verify, HeaderChangesAndMovedEntries) {
    PublishTree tree;
    ASSERT_EQ(RunZipsync({"analyze", tree.root}).status, 0);
    // The modification time of the central record of the first entry of qmh_extra.zip.
    std::string bytes = ReadTestFile(tree.root + "/qmh_extra.zip");
    uint64_t eocd = bytes.rfind(std::string("PK\x05\x06", 4));
    FlipByte(tree.root + "/qmh_extra.zip", ReadLE(bytes, eocd + 16, 4) + 12);
    // qmh_base.pk4 rewritten with its entries in another order: nothing is where it was.
    WriteNormalZip(tree.root + "/qmh_base.pk4", {{"sound/bell.ogg", TestText(2, 9000), false},
                                                 {"maps/harbor.map", TestText(1, 40000)},
                                                 {"empty.txt", "", false}});
    ToolResult result = RunZipsync({"verify", tree.root, tree.Manifest()});
    EXPECT_EQ(result.status, 1) << Dump(result);
    EXPECT_TRUE(Contains(result.out, "corrupt: qmh_extra.zip||readme.txt: modification time differs\n"))
        << Dump(result);
    EXPECT_TRUE(Contains(result.out,
                         "corrupt: qmh_base.pk4||maps/harbor.map: entry at byte 0 is \"sound/bell.ogg\"\n"))
        << Dump(result);
    EXPECT_TRUE(Contains(result.out, "missing: qmh_base.pk4||sound/bell.ogg: no entry begins at byte "))
        << Dump(result);
    // The two swapped entries take the same room, so the empty file stays where it was.
    EXPECT_FALSE(Contains(result.out, "empty.txt")) << Dump(result);
    EXPECT_TRUE(Contains(result.out, "5 files checked: 2 good, 1 missing, 2 corrupt\n")) << Dump(result);
    // The engine's refusals are part of the report, not separate error lines.
    EXPECT_FALSE(Contains(result.err, "ERROR:")) << Dump(result);

    // An archive that is no zip at all.
    WriteTestFile(tree.root + "/qmh_extra.zip", "garbage");
    result = RunZipsync({"verify", tree.root, tree.Manifest()});
    EXPECT_EQ(result.status, 1) << Dump(result);
    EXPECT_TRUE(
        Contains(result.out, "corrupt: qmh_extra.zip (the whole archive, 1 files): Failed to open zip file"))
        << Dump(result);
}

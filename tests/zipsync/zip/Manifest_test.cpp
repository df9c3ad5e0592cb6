// Manifests: the INI text they are saved to and loaded from, its strictness and failure
// messages, the save order, merging, selecting, re-rooting and entry references.
#include "zip/Manifest.h"

#include "TempDir.h"
#include "base/Logging.h"
#include "zip/IniFile.h"

#include <gtest/gtest.h>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

using namespace ZipSync;

namespace {

const char* const ROOT = "/inst/dir";
const char* const URL_ROOT = "http://mirror.example.org/base";

// 64 hex digits: the byte b repeated, with the last byte replaced by last.
std::string HexOf(int b, int last) {
    std::string hex;
    for (int i = 0; i < 31; i++) hex += FormatString("%02x", b);
    return hex + FormatString("%02x", last);
}

HashDigest Digest(int b, int last) {
    HashDigest digest;
    digest.Parse(HexOf(b, last).c_str());
    return digest;
}

// A present entry with every member distinct, so that a mixed-up member shows.
FileMetainfo SampleFile(const std::string& zipRel, const std::string& filename,
                        const std::string& root = ROOT) {
    FileMetainfo file;
    file.zipPath = PathAR::FromRel(zipRel, root);
    file.filename = filename;
    file.location = FileLocation::Local;
    file.byterange[0] = 100;
    file.byterange[1] = 250;
    file.package = "base";
    file.lastModTime = 0x52A1635B;
    file.compressionMethod = 8;
    file.gpbitFlag = 2;
    file.internalAttribs = 1;
    file.externalAttribs = 0x81A40000;
    file.compressedSize = 120;
    file.contentsSize = 300;
    file.crc32 = 0xCBF43926;
    file.contentsHash = Digest(0xab, 0x01);
    file.compressedHash = Digest(0xcd, 0x02);
    return file;
}

void ExpectSameFile(const FileMetainfo& a, const FileMetainfo& b) {
    EXPECT_EQ(a.zipPath.abs, b.zipPath.abs);
    EXPECT_EQ(a.zipPath.rel, b.zipPath.rel);
    EXPECT_EQ(a.filename, b.filename);
    EXPECT_EQ(a.location, b.location);
    EXPECT_EQ(a.byterange[0], b.byterange[0]);
    EXPECT_EQ(a.byterange[1], b.byterange[1]);
    EXPECT_EQ(a.package, b.package);
    EXPECT_EQ(a.lastModTime, b.lastModTime);
    EXPECT_EQ(a.compressionMethod, b.compressionMethod);
    EXPECT_EQ(a.gpbitFlag, b.gpbitFlag);
    EXPECT_EQ(a.internalAttribs, b.internalAttribs);
    EXPECT_EQ(a.externalAttribs, b.externalAttribs);
    EXPECT_EQ(a.compressedSize, b.compressedSize);
    EXPECT_EQ(a.contentsSize, b.contentsSize);
    EXPECT_EQ(a.crc32, b.crc32);
    EXPECT_EQ(a.contentsHash.Hex(), b.contentsHash.Hex());
    EXPECT_EQ(a.compressedHash.Hex(), b.compressedHash.Hex());
}

std::string IniText(const IniData& ini) {
    return FormatIniText(ini);
}

// Twelve property lines of a valid section; individual lines are replaced by the tests.
std::vector<std::string> ValidProperties() {
    return {"contentsHash=" + HexOf(0x11, 0x11),
            "compressedHash=" + HexOf(0x22, 0x22),
            "byterange=10-60",
            "package=extra",
            "crc32=305419896",
            "lastModTime=1",
            "compressionMethod=8",
            "gpbitFlag=4",
            "compressedSize=20",
            "contentsSize=40",
            "internalAttribs=0",
            "externalAttribs=32"};
}

std::string SectionText(const std::string& name, const std::vector<std::string>& props) {
    std::string text = "[" + name + "]\n";
    for (const std::string& line : props) text += line + "\n";
    return text + "\n";
}

// What a load from the given text throws, as "<kind>: <what>", or "ok".
std::string LoadFailure(const std::string& text, Manifest* into = nullptr) {
    Manifest local;
    Manifest& manifest = into ? *into : local;
    IniData ini = ParseIniText(text);
    try {
        manifest.LoadFromIni(ini, ROOT);
    } catch (const ErrorException& e) {
        return std::string("error: ") + e.what();
    } catch (const std::invalid_argument& e) {
        return std::string("invalid_argument: ") + e.what();
    } catch (const std::out_of_range& e) {
        return std::string("out_of_range: ") + e.what();
    }
    return "ok";
}

Manifest LoadText(const std::string& text, const std::string& root = ROOT) {
    Manifest manifest;
    manifest.LoadFromIni(ParseIniText(text), root);
    return manifest;
}

} // namespace

TEST(FileMetainfo, DefaultIsAbsentAndZero) {
    FileMetainfo file;
    EXPECT_EQ(file.location, FileLocation::Absent);
    EXPECT_EQ(file.byterange[0], 0u);
    EXPECT_EQ(file.byterange[1], 0u);
    EXPECT_EQ(file.crc32 | file.lastModTime | file.externalAttribs | file.compressedSize | file.contentsSize,
              0u);
    EXPECT_EQ(file.compressionMethod | file.gpbitFlag | file.internalAttribs, 0);
    EXPECT_EQ(file.contentsHash.Hex(), std::string(64, '0'));
    EXPECT_EQ(file.compressedHash.Hex(), std::string(64, '0'));
}

TEST(FileMetainfo, ClearKeepsPlaceAndPackage) {
    FileMetainfo file = SampleFile("data/a.pk4", "maps/m.map");
    file.location = FileLocation::Remote;
    file.Clear();
    FileMetainfo expected;
    expected.zipPath = PathAR::FromRel("data/a.pk4", ROOT);
    expected.filename = "maps/m.map";
    expected.package = "base";
    ExpectSameFile(file, expected);
}

TEST(FileLocation, NumericValues) {
    // The planner scores candidates by these values.
    EXPECT_EQ((int)FileLocation::InPlace, 0);
    EXPECT_EQ((int)FileLocation::Local, 1);
    EXPECT_EQ((int)FileLocation::Remote, 2);
    EXPECT_EQ((int)FileLocation::Absent, 3);
    EXPECT_EQ(sizeof(FileLocation), 4u);
}

TEST(ManifestIni, EmptyManifestSavesNoSections) {
    Manifest manifest;
    IniData ini = manifest.SaveToIni();
    EXPECT_TRUE(ini.empty());
    EXPECT_EQ(IniText(ini), "");
}

TEST(ManifestIni, ExactTextOfSavedEntries) {
    Manifest manifest;
    FileMetainfo absent = SampleFile("data/b.pk4", "dir/x y.txt");
    absent.Clear();
    absent.package = "";
    manifest.AppendFile(absent);
    manifest.AppendFile(SampleFile("data/a.pk4", "models/box.obj"));
    FileMetainfo wide = SampleFile("data/a.pk4", "a.txt");
    wide.crc32 = 4294967295u;
    wide.compressionMethod = 65535;
    wide.byterange[0] = 0;
    wide.byterange[1] = 4294967295u;
    manifest.AppendFile(wide);

    std::string expected;
    expected += "[File data/a.pk4||a.txt]\n"
                "contentsHash=" +
                HexOf(0xab, 0x01) +
                "\n"
                "compressedHash=" +
                HexOf(0xcd, 0x02) +
                "\n"
                "byterange=0-4294967295\n"
                "package=base\n"
                "crc32=4294967295\n"
                "lastModTime=1386308443\n"
                "compressionMethod=65535\n"
                "gpbitFlag=2\n"
                "compressedSize=120\n"
                "contentsSize=300\n"
                "internalAttribs=1\n"
                "externalAttribs=2175008768\n"
                "\n";
    expected += "[File data/a.pk4||models/box.obj]\n"
                "contentsHash=" +
                HexOf(0xab, 0x01) +
                "\n"
                "compressedHash=" +
                HexOf(0xcd, 0x02) +
                "\n"
                "byterange=100-250\n"
                "package=base\n"
                "crc32=3421780262\n"
                "lastModTime=1386308443\n"
                "compressionMethod=8\n"
                "gpbitFlag=2\n"
                "compressedSize=120\n"
                "contentsSize=300\n"
                "internalAttribs=1\n"
                "externalAttribs=2175008768\n"
                "\n";
    expected += "[File data/b.pk4||dir/x y.txt]\n"
                "contentsHash=" +
                std::string(64, '0') +
                "\n"
                "compressedHash=" +
                std::string(64, '0') +
                "\n"
                "byterange=0-0\n"
                "package=\n"
                "crc32=0\n"
                "lastModTime=0\n"
                "compressionMethod=0\n"
                "gpbitFlag=0\n"
                "compressedSize=0\n"
                "contentsSize=0\n"
                "internalAttribs=0\n"
                "externalAttribs=0\n"
                "\n";
    EXPECT_EQ(IniText(manifest.SaveToIni()), expected);
    // Saving sorts a view; the manifest keeps its own order.
    EXPECT_EQ(manifest[0].zipPath.rel, "data/b.pk4");
    EXPECT_EQ(manifest[2].filename, "a.txt");
}

// Writes the two entries in both insertion orders and expects `first` to be saved first.
void ExpectSavedFirst(const FileMetainfo& first, const FileMetainfo& second, const std::string& what) {
    for (bool inOrder : {false, true}) {
        Manifest manifest;
        manifest.AppendFile(inOrder ? first : second);
        manifest.AppendFile(inOrder ? second : first);
        Manifest reloaded = LoadText(IniText(manifest.SaveToIni()));
        ASSERT_EQ(reloaded.size(), 2) << what;
        SCOPED_TRACE(what);
        ExpectSameFile(reloaded[0], first);
        ExpectSameFile(reloaded[1], second);
    }
}

// The fifteen parts of the save key, in key order, each with a smaller and a larger setting.
struct KeyPart {
    const char* name;
    std::function<void(FileMetainfo&, bool large)> set;
};

std::vector<KeyPart> SaveKeyParts() {
    return {
        {"zipPath.rel",
         [](FileMetainfo& f, bool l) { f.zipPath = PathAR::FromRel(l ? "b.pk4" : "a.pk4", ROOT); }},
        {"filename", [](FileMetainfo& f, bool l) { f.filename = l ? "b" : "a"; }},
        {"contentsHash", [](FileMetainfo& f, bool l) { f.contentsHash = Digest(l ? 2 : 1, 0); }},
        {"compressedHash", [](FileMetainfo& f, bool l) { f.compressedHash = Digest(l ? 2 : 1, 0); }},
        {"package", [](FileMetainfo& f, bool l) { f.package = l ? "b" : "a"; }},
        {"lastModTime", [](FileMetainfo& f, bool l) { f.lastModTime = l ? 2 : 1; }},
        {"compressionMethod", [](FileMetainfo& f, bool l) { f.compressionMethod = l ? 8 : 0; }},
        {"gpbitFlag", [](FileMetainfo& f, bool l) { f.gpbitFlag = l ? 4 : 2; }},
        {"internalAttribs", [](FileMetainfo& f, bool l) { f.internalAttribs = l ? 1 : 0; }},
        {"externalAttribs", [](FileMetainfo& f, bool l) { f.externalAttribs = l ? 2 : 1; }},
        {"compressedSize", [](FileMetainfo& f, bool l) { f.compressedSize = l ? 2 : 1; }},
        {"contentsSize", [](FileMetainfo& f, bool l) { f.contentsSize = l ? 2 : 1; }},
        {"crc32", [](FileMetainfo& f, bool l) { f.crc32 = l ? 2 : 1; }},
        {"byterange begin", [](FileMetainfo& f, bool l) { f.byterange[0] = l ? 2 : 1; }},
        {"byterange end", [](FileMetainfo& f, bool l) { f.byterange[1] = l ? 400 : 300; }},
    };
}

// For every pair of key parts i < j: the entry smaller in part i comes first even though it is
// larger in part j. This fixes both each part's direction and the precedence of all parts.
TEST(ManifestIni, SaveOrderFollowsKeyPrecedence) {
    std::vector<KeyPart> parts = SaveKeyParts();
    ASSERT_EQ(parts.size(), 15u);
    for (size_t i = 0; i < parts.size(); i++) {
        FileMetainfo small = SampleFile("a.pk4", "a"), large = small;
        parts[i].set(small, false);
        parts[i].set(large, true);
        ExpectSavedFirst(small, large, parts[i].name);
        for (size_t j = i + 1; j < parts.size(); j++) {
            FileMetainfo first = SampleFile("a.pk4", "a"), second = first;
            parts[i].set(first, false);
            parts[j].set(first, true);
            parts[i].set(second, true);
            parts[j].set(second, false);
            ExpectSavedFirst(first, second, std::string(parts[i].name) + " before " + parts[j].name);
        }
    }
}

TEST(ManifestIni, SaveOrderComparesBytesAndDigestsUnsigned) {
    FileMetainfo a = SampleFile("data/Z.pk4", "x"), b = a;
    // 'Z' (0x5A) is below 0xC3, which a signed byte comparison would put first.
    b.zipPath = PathAR::FromRel("data/\xC3\xA9.pk4", ROOT);
    ExpectSavedFirst(a, b, "unsigned zip path bytes");
    b = a;
    b.zipPath = PathAR::FromRel("data/Z.pk4x", ROOT);
    ExpectSavedFirst(a, b, "shorter prefix first");
    b = a;
    a.filename = "n\x7f";
    b.filename = "n\x80";
    ExpectSavedFirst(a, b, "unsigned filename bytes");
    a = b;
    a.contentsHash = Digest(0x0b, 0xff);
    b.contentsHash = Digest(0xab, 0x00);
    ExpectSavedFirst(a, b, "first digest byte most significant");
    a.contentsHash = b.contentsHash;
    a.compressedHash = Digest(0x7f, 0x00);
    b.compressedHash = Digest(0x80, 0x00);
    ExpectSavedFirst(a, b, "unsigned digest bytes");
}

TEST(ManifestIni, SavedTextIndependentOfInsertionOrder) {
    // Many entries sharing zips, names and digests, so that every level of the key is used.
    std::vector<FileMetainfo> files;
    for (int i = 0; i < 400; i++) {
        FileMetainfo f = SampleFile("z" + std::to_string(i % 3) + ".pk4", "f" + std::to_string(i % 7));
        f.contentsHash = Digest(i % 5, i % 2);
        f.compressedHash = Digest(i % 4, 0);
        f.crc32 = i % 11;
        f.byterange[0] = i % 13;
        f.byterange[1] = 20 + i % 17;
        files.push_back(f);
    }
    std::string first;
    unsigned seed = 12345;
    for (int round = 0; round < 5; round++) {
        for (size_t i = files.size() - 1; i > 0; i--) {
            seed = seed * 1103515245u + 12345u;
            std::swap(files[i], files[(seed >> 8) % (i + 1)]);
        }
        Manifest manifest;
        for (const FileMetainfo& f : files) manifest.AppendFile(f);
        std::string text = IniText(manifest.SaveToIni());
        if (round == 0) first = text;
        EXPECT_EQ(text, first) << round;
    }
    Manifest loaded = LoadText(first);
    ASSERT_EQ(loaded.size(), 400);
    for (int i = 1; i < loaded.size(); i++) {
        const FileMetainfo& a = loaded[i - 1];
        const FileMetainfo& b = loaded[i];
        ASSERT_LE(a.zipPath.rel, b.zipPath.rel);
        if (a.zipPath.rel == b.zipPath.rel) {
            ASSERT_LE(a.filename, b.filename);
        }
    }
}

TEST(ManifestIni, EntriesDifferingOnlyInAbsAndLocationAreBothWritten) {
    Manifest manifest;
    FileMetainfo a = SampleFile("data/a.pk4", "x", "/one");
    FileMetainfo b = SampleFile("data/a.pk4", "x", URL_ROOT);
    b.location = FileLocation::Remote;
    manifest.AppendFile(a);
    manifest.AppendFile(b);
    IniData ini = manifest.SaveToIni();
    ASSERT_EQ(ini.size(), 2u);
    std::string text = IniText(ini);
    std::string half = text.substr(0, text.size() / 2);
    EXPECT_EQ(text, half + half);
}

TEST(ManifestIni, RoundTripRestoresSortedEntriesAgainstNewRoot) {
    Manifest manifest;
    FileMetainfo inPlace = SampleFile("z/last.pk4", "f");
    inPlace.location = FileLocation::InPlace;
    FileMetainfo remote = SampleFile("a/first.pk4", "f2", URL_ROOT);
    remote.location = FileLocation::Remote;
    FileMetainfo absent = SampleFile("m/mid.pk4", "gone");
    absent.Clear();
    manifest.AppendFile(inPlace);
    manifest.AppendFile(remote);
    manifest.AppendFile(absent);
    std::string text = IniText(manifest.SaveToIni());

    struct Case {
        std::string root;
        FileLocation present;
    } cases[] = {{"/other/root", FileLocation::Local},
                 {"/other/root/", FileLocation::Local},
                 {"C:/games/qm", FileLocation::Local},
                 {URL_ROOT, FileLocation::Remote},
                 {"https://secure.example.org/x", FileLocation::Remote}};
    for (const Case& c : cases) {
        Manifest loaded = LoadText(text, c.root);
        ASSERT_EQ(loaded.size(), 3) << c.root;
        const FileMetainfo* expected[] = {&remote, &absent, &inPlace};
        for (int i = 0; i < 3; i++) {
            FileMetainfo want = *expected[i];
            want.zipPath = PathAR::FromRel(want.zipPath.rel, c.root);
            if (want.location != FileLocation::Absent) want.location = c.present;
            ExpectSameFile(loaded[i], want);
        }
        // Saving what was loaded gives the same text again.
        EXPECT_EQ(IniText(loaded.SaveToIni()), text) << c.root;
    }
}

// Through real files: plain text, and the checksummed zip used for "manifest.iniz".
TEST(ManifestIni, FileRoundTrip) {
    Manifest manifest;
    manifest.AppendFile(SampleFile("data/a.pk4", "x"));
    manifest.AppendFile(SampleFile("data/a.pk4", "w"));
    for (const char* name : {"manifest.ini", "manifest.iniz"}) {
        TempDir dir;
        std::string path = dir / name;
        WriteIniFile(path, manifest.SaveToIni());
        Manifest loaded;
        loaded.LoadFromIni(ReadIniFile(path), ROOT);
        ASSERT_EQ(loaded.size(), 2) << name;
        ExpectSameFile(loaded[0], manifest[1]);
        ExpectSameFile(loaded[1], manifest[0]);
    }
}

TEST(ManifestIni, LoadSkipsOtherSectionsAndAppends) {
    std::string text = "[Version]\nname=2.12\n\n[file a.pk4||x]\nfoo=1\n\n[File]\n\n[Files a.pk4||y]\n\n" +
                       SectionText("File data/a.pk4||maps/m.map", ValidProperties());
    Manifest manifest;
    manifest.AppendFile(SampleFile("keep.pk4", "k"));
    manifest.LoadFromIni(ParseIniText(text), ROOT);
    ASSERT_EQ(manifest.size(), 2);
    EXPECT_EQ(manifest[0].zipPath.rel, "keep.pk4");
    const FileMetainfo& f = manifest[1];
    EXPECT_EQ(f.zipPath.rel, "data/a.pk4");
    EXPECT_EQ(f.zipPath.abs, "/inst/dir/data/a.pk4");
    EXPECT_EQ(f.filename, "maps/m.map");
    EXPECT_EQ(f.location, FileLocation::Local);
    EXPECT_EQ(f.contentsHash.Hex(), HexOf(0x11, 0x11));
    EXPECT_EQ(f.compressedHash.Hex(), HexOf(0x22, 0x22));
    EXPECT_EQ(f.byterange[0], 10u);
    EXPECT_EQ(f.byterange[1], 60u);
    EXPECT_EQ(f.package, "extra");
    EXPECT_EQ(f.crc32, 305419896u);
    EXPECT_EQ(f.lastModTime, 1u);
    EXPECT_EQ(f.compressionMethod, 8);
    EXPECT_EQ(f.gpbitFlag, 4);
    EXPECT_EQ(f.compressedSize, 20u);
    EXPECT_EQ(f.contentsSize, 40u);
    EXPECT_EQ(f.internalAttribs, 0);
    EXPECT_EQ(f.externalAttribs, 32u);

    EXPECT_EQ(LoadText("[Version]\nname=1\n\n").size(), 0);
    EXPECT_EQ(LoadText("").size(), 0);
}

TEST(ManifestIni, NameSplitsAtFirstDoubleBar) {
    Manifest manifest = LoadText(SectionText("File a.pk4||b||c", ValidProperties()));
    ASSERT_EQ(manifest.size(), 1);
    EXPECT_EQ(manifest[0].zipPath.rel, "a.pk4");
    EXPECT_EQ(manifest[0].filename, "b||c");
}

TEST(ManifestIni, PropertiesAfterTheTwelfthAreIgnored) {
    std::vector<std::string> props = ValidProperties();
    props.push_back("comment=anything");
    props.push_back("contentsHash=bad");
    Manifest manifest = LoadText(SectionText("File a.pk4||x", props));
    ASSERT_EQ(manifest.size(), 1);
    EXPECT_EQ(manifest[0].externalAttribs, 32u);
}

TEST(ManifestIni, ByterangeValues) {
    struct Case {
        const char* value;
        uint32_t begin, end;
        FileLocation location;
    } cases[] = {
        {"0-0", 0, 0, FileLocation::Absent},
        {"0-1", 0, 1, FileLocation::Local},
        {"1-2-3", 1, 2, FileLocation::Local},
        {" 7- 9", 7, 9, FileLocation::Local},
        {"+7-+9", 7, 9, FileLocation::Local},
        {"00-000", 0, 0, FileLocation::Absent},
        {"5-4294967295", 5, 4294967295u, FileLocation::Local},
    };
    for (const Case& c : cases) {
        std::vector<std::string> props = ValidProperties();
        props[2] = std::string("byterange=") + c.value;
        Manifest manifest = LoadText(SectionText("File a.pk4||x", props), URL_ROOT);
        ASSERT_EQ(manifest.size(), 1) << c.value;
        EXPECT_EQ(manifest[0].byterange[0], c.begin) << c.value;
        EXPECT_EQ(manifest[0].byterange[1], c.end) << c.value;
        FileLocation expected = c.location == FileLocation::Local ? FileLocation::Remote : c.location;
        EXPECT_EQ(manifest[0].location, expected) << c.value;
    }
}

TEST(ManifestIni, NumbersConvertLikeStoul) {
    struct Case {
        const char* value;
        const char* outcome; // "ok" or the failure
        uint32_t crc32;
    } cases[] = {
        {"0", "ok", 0},
        {"4294967295", "ok", 4294967295u},
        {"  \t12", "ok", 12},
        {"+12", "ok", 12},
        {"12abc", "ok", 12},
        {"0x1F", "ok", 0},
        {"007", "ok", 7},
        {"-1", "ok", 4294967295u},
        {"-4294967295", "ok", 1},
        {"4294967296", "out_of_range: stoul argument out of range", 0},
        {"-4294967296", "out_of_range: stoul argument out of range", 0},
        {"123456789012345678901234567890", "out_of_range: stoul argument out of range", 0},
        {"", "invalid_argument: invalid stoul argument", 0},
        {"abc", "invalid_argument: invalid stoul argument", 0},
        {"-", "invalid_argument: invalid stoul argument", 0},
        {"+-1", "invalid_argument: invalid stoul argument", 0},
    };
    for (const Case& c : cases) {
        std::vector<std::string> props = ValidProperties();
        props[4] = std::string("crc32=") + c.value;
        Manifest manifest;
        EXPECT_EQ(LoadFailure(SectionText("File a.pk4||x", props), &manifest), c.outcome) << c.value;
        if (std::string(c.outcome) == "ok") {
            ASSERT_EQ(manifest.size(), 1);
            EXPECT_EQ(manifest[0].crc32, c.crc32) << c.value;
        }
    }
}

TEST(ManifestIni, SixteenBitMembersKeepLowBits) {
    std::vector<std::string> props = ValidProperties();
    props[6] = "compressionMethod=65544"; // 0x10008
    props[7] = "gpbitFlag=4294967295";
    props[10] = "internalAttribs=65536";
    Manifest manifest = LoadText(SectionText("File a.pk4||x", props));
    ASSERT_EQ(manifest.size(), 1);
    EXPECT_EQ(manifest[0].compressionMethod, 8);
    EXPECT_EQ(manifest[0].gpbitFlag, 65535);
    EXPECT_EQ(manifest[0].internalAttribs, 0);
}

TEST(ManifestIni, LoadFailureMessages) {
    auto with = [](int index, const std::string& line) {
        std::vector<std::string> props = ValidProperties();
        props[index] = line;
        return props;
    };
    auto firstN = [](size_t n) {
        std::vector<std::string> props = ValidProperties();
        props.resize(n);
        return props;
    };
    const std::string assertByterange = "error: Assertion pf.byterange[0] < pf.byterange[1] failed";
    struct Case {
        std::string name;
        std::vector<std::string> props;
        std::string failure; // a prefix of the outcome
    } cases[] = {
        {"File a.pk4", ValidProperties(), "error: Cannot split fullname into zip path and filename: a.pk4"},
        {"File a.pk4|x", ValidProperties(),
         "error: Cannot split fullname into zip path and filename: a.pk4|x"},
        {"File a.pk4||x", {}, "error: No property while contentsHash expected"},
        {"File a.pk4||x", firstN(2), "error: No property while byterange expected"},
        {"File a.pk4||x", firstN(11), "error: No property while externalAttribs expected"},
        {"File a.pk4||x", with(4, "lastModTime=1"), "error: Expected property crc32, got lastModTime"},
        {"File a.pk4||x", with(0, "contentshash=" + HexOf(1, 1)),
         "error: Expected property contentsHash, got contentshash"},
        {"File a.pk4||x", with(3, "package =extra"), "error: Expected property package, got package "},
        {"File a.pk4||x", with(0, "contentsHash=" + HexOf(1, 1).substr(1)),
         "error: Hex digest has wrong length 63"},
        {"File a.pk4||x", with(1, "compressedHash=" + std::string(63, 'a') + "A"),
         "error: Cannot parse hex digest digit A"},
        {"File a.pk4||x", with(2, "byterange=1234"), "error: Byterange 1234 has no hyphen"},
        {"File a.pk4||x", with(2, "byterange=-7"), "invalid_argument: invalid stoul argument"},
        {"File a.pk4||x", with(2, "byterange=7-"), "invalid_argument: invalid stoul argument"},
        {"File a.pk4||x", with(2, "byterange=5-5"), assertByterange},
        {"File a.pk4||x", with(2, "byterange=9-3"), assertByterange},
        {"File a.pk4||x", with(2, "byterange=1-4294967296"), "out_of_range: stoul argument out of range"},
        {"File a.pk4||x", with(11, "externalAttribs=none"), "invalid_argument: invalid stoul argument"},
        {"File /a.pk4||x", ValidProperties(), "error: Relative path starts with slash: /a.pk4"},
        {"File .a.pk4||x", ValidProperties(), "error: Path must not start with dot: .a.pk4"},
        {"File ||x", ValidProperties(), "error: Empty path []"},
        {"File a/../../x.pk4||f", ValidProperties(),
         "error: Path a/../../x.pk4 goes outside of root directory"},
        {"File a\\b.pk4||f", ValidProperties(), "error: Forbidden symbol in path a\\b.pk4"},
        // Names that alias another archive path; the entry name is no path and is not checked.
        {"File x/../a.pk4||f", ValidProperties(),
         "error: Archive path x/../a.pk4 has an empty, \".\" or \"..\" component"},
        {"File x/./a.pk4||f", ValidProperties(),
         "error: Archive path x/./a.pk4 has an empty, \".\" or \"..\" component"},
        {"File x//a.pk4||f", ValidProperties(),
         "error: Archive path x//a.pk4 has an empty, \".\" or \"..\" component"},
        {"File a.pk4||x/../f", ValidProperties(), "ok"},
        // Errors come in property order: the bad digest is met before the bad byte range.
        {"File a.pk4||x", with(0, "contentsHash=zz"), "error: Hex digest has wrong length 2"},
    };
    for (const Case& c : cases) {
        std::string outcome = LoadFailure(SectionText(c.name, c.props));
        EXPECT_EQ(outcome.substr(0, c.failure.size()), c.failure) << c.name << " -> " << outcome;
    }
    // With two faults, the earlier property is reported.
    std::vector<std::string> twoFaults = with(2, "byterange=1234");
    twoFaults[11] = "externalAttribs=x";
    twoFaults[0] = "contentsHash=00";
    EXPECT_EQ(LoadFailure(SectionText("File a.pk4||x", twoFaults)), "error: Hex digest has wrong length 2");
}

TEST(ManifestIni, FailureKeepsEarlierEntriesAndStopsTheLoad) {
    std::vector<std::string> bad = ValidProperties();
    bad[2] = "byterange=1234";
    std::string text = SectionText("File a.pk4||first", ValidProperties()) +
                       SectionText("File a.pk4||bad", bad) +
                       SectionText("File a.pk4||after", ValidProperties());
    Manifest manifest;
    EXPECT_EQ(LoadFailure(text, &manifest), "error: Byterange 1234 has no hyphen");
    ASSERT_EQ(manifest.size(), 1);
    EXPECT_EQ(manifest[0].filename, "first");
}

TEST(Manifest, MergeAppendsInOrder) {
    Manifest a, b;
    a.AppendFile(SampleFile("a.pk4", "1"));
    b.AppendFile(SampleFile("b.pk4", "2"));
    b.AppendFile(SampleFile("b.pk4", "3"));
    a.Merge(b);
    ASSERT_EQ(a.size(), 3);
    EXPECT_EQ(a[0].filename, "1");
    EXPECT_EQ(a[1].filename, "2");
    EXPECT_EQ(a[2].filename, "3");
    EXPECT_EQ(b.size(), 2); // copied, not taken

    a.Merge(a);
    ASSERT_EQ(a.size(), 6);
    for (int i = 0; i < 3; i++) ExpectSameFile(a[i + 3], a[i]);

    Manifest c;
    c.AppendFile(SampleFile("c.pk4", "0"));
    c.Merge(std::move(b));
    ASSERT_EQ(c.size(), 3);
    EXPECT_EQ(c[0].filename, "0");
    EXPECT_EQ(c[2].filename, "3");
    Manifest empty;
    empty.Merge(Manifest());
    EXPECT_EQ(empty.size(), 0);
}

TEST(Manifest, CopyIsIndependent) {
    Manifest a;
    a.AppendFile(SampleFile("a.pk4", "1"));
    Manifest b = a;
    b[0].filename = "changed";
    b.AppendFile(SampleFile("a.pk4", "2"));
    EXPECT_EQ(a.size(), 1);
    EXPECT_EQ(a[0].filename, "1");
    a.clear();
    EXPECT_EQ(a.size(), 0);
    EXPECT_EQ(b.size(), 2);
}

TEST(Manifest, SelectKeepsMatchingEntriesInOrder) {
    Manifest manifest;
    FileLocation locations[] = {FileLocation::Absent, FileLocation::InPlace, FileLocation::Local,
                                FileLocation::Remote, FileLocation::InPlace};
    for (int i = 0; i < 5; i++) {
        FileMetainfo f = SampleFile("a.pk4", std::to_string(i));
        f.location = locations[i];
        manifest.AppendFile(f);
    }
    Manifest present =
        manifest.Select([](const FileMetainfo& f) { return f.location != FileLocation::Absent; });
    ASSERT_EQ(present.size(), 4);
    EXPECT_EQ(present[0].filename, "1");
    EXPECT_EQ(present[3].filename, "4");
    Manifest inPlace =
        manifest.Select([](const FileMetainfo& f) { return f.location == FileLocation::InPlace; });
    ASSERT_EQ(inPlace.size(), 2);
    EXPECT_EQ(inPlace[0].filename, "1");
    EXPECT_EQ(inPlace[1].filename, "4");
    EXPECT_EQ(manifest.Select([](const FileMetainfo&) { return false; }).size(), 0);
    EXPECT_EQ(manifest.size(), 5);
}

TEST(Manifest, ZipRelPathsAreDistinctAndSorted) {
    Manifest manifest;
    for (const char* zip : {"b.pk4", "b.pk4", "a/z.pk4", "b.pk4", "a.zip"})
        manifest.AppendFile(SampleFile(zip, "f"));
    EXPECT_EQ(manifest.ZipRelPaths(), (std::set<std::string>{"a.zip", "a/z.pk4", "b.pk4"}));
    EXPECT_TRUE(Manifest().ZipRelPaths().empty());
}

TEST(Manifest, RebaseSetsRootAndLocation) {
    struct Case {
        std::string root;
        std::string abs;
        FileLocation present;
    } cases[] = {
        {URL_ROOT, std::string(URL_ROOT) + "/d/a.pk4", FileLocation::Remote},
        {"http://m.example.org/", "http://m.example.org/d/a.pk4", FileLocation::Remote},
        {"https://m.example.org/v1", "https://m.example.org/v1/d/a.pk4", FileLocation::Remote},
        {"/local/inst", "/local/inst/d/a.pk4", FileLocation::Local},
        {"/local/inst/", "/local/inst/d/a.pk4", FileLocation::Local},
        {"HTTP://upper.example.org", "HTTP://upper.example.org/d/a.pk4", FileLocation::Local},
    };
    for (const Case& c : cases) {
        Manifest manifest;
        FileLocation start[] = {FileLocation::InPlace, FileLocation::Local, FileLocation::Remote,
                                FileLocation::Absent};
        for (FileLocation location : start) {
            FileMetainfo f = SampleFile("d/a.pk4", "x", URL_ROOT);
            f.location = location;
            manifest.AppendFile(f);
        }
        manifest.Rebase(c.root);
        for (int i = 0; i < 4; i++) {
            EXPECT_EQ(manifest[i].zipPath.rel, "d/a.pk4");
            EXPECT_EQ(manifest[i].zipPath.abs, c.abs);
            EXPECT_EQ(manifest[i].location, i == 3 ? FileLocation::Absent : c.present) << c.root << " " << i;
            EXPECT_EQ(manifest[i].byterange[0], 100u);
        }
    }
}

TEST(Manifest, RebaseRejectsInvalidRoot) {
    Manifest manifest;
    manifest.AppendFile(SampleFile("d/a.pk4", "x"));
    try {
        manifest.Rebase("http://m.example.org/get?x=1");
        FAIL() << "no error";
    } catch (const ErrorException& e) {
        EXPECT_STREQ(e.what(), "Forbidden symbol in path http://m.example.org/get?x=1");
    }
}

TEST(ManifestRef, NullAndBounds) {
    ManifestRef null;
    EXPECT_TRUE(null.IsNull());
    EXPECT_FALSE(null);
    EXPECT_EQ(null.GetIndex(), 0);
    EXPECT_EQ(null.GetManifest(), nullptr);

    Manifest manifest;
    manifest.AppendFile(SampleFile("a.pk4", "0"));
    manifest.AppendFile(SampleFile("a.pk4", "1"));
    for (int bad : {-1, 2, 1000}) {
        try {
            ManifestRef ref(manifest, bad);
            FAIL() << bad;
        } catch (const ErrorException& e) {
            EXPECT_EQ(
                std::string(e.what()).rfind("Assertion _index >= 0 && _index < manifest.size() failed", 0),
                0u)
                << e.what();
        }
    }
    Manifest empty;
    EXPECT_THROW({ ManifestRef ref(empty, 0); }, ErrorException);
}

TEST(ManifestRef, RefersToLiveEntryAcrossAppends) {
    Manifest manifest;
    manifest.AppendFile(SampleFile("a.pk4", "0"));
    manifest.AppendFile(SampleFile("a.pk4", "1"));
    ManifestRef ref(manifest, 1);
    EXPECT_FALSE(ref.IsNull());
    EXPECT_EQ(ref->filename, "1");
    // Growth moves the storage; the ref still finds the entry by position.
    for (int i = 0; i < 1000; i++) manifest.AppendFile(SampleFile("b.pk4", "n"));
    ref->location = FileLocation::InPlace;
    EXPECT_EQ(manifest[1].location, FileLocation::InPlace);
    EXPECT_EQ((*ref).filename, "1");
    EXPECT_EQ(&ref.Get(), &manifest[1]);
    EXPECT_EQ(ref, ManifestRef(manifest, 1));
    EXPECT_NE(ref, ManifestRef(manifest, 0));
    EXPECT_NE(ref, ManifestRef());
}

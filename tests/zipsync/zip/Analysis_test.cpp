// Zip analysis: the members and digests taken from each entry, the accepted subset of the zip
// format rule by rule, reader errors, the parallel analysis of many archives with its log line,
// progress texts, normalise-and-retry path, deterministic merge and error propagation.
#include "zip/ZipAnalysis.h"

#include "CatchError.h"
#include "RecordingLogger.h"
#include "TempDir.h"
#include "TestDigest.h"
#include "ZipFixture.h"
#include "base/Logging.h"
#include "base/Utils.h"
#include "zip/ZipUtils.h"

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace ZipSync;

namespace {

// ----- archive bytes -------------------------------------------------------------------------

uint32_t Get(const std::string& bytes, size_t pos, int size) {
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; i--) value = (value << 8) | uint8_t(bytes.at(pos + i));
    return value;
}

void Set(std::string& bytes, size_t pos, int size, uint32_t value) {
    for (int i = 0; i < size; i++) bytes.at(pos + i) = char(value >> (8 * i));
}

// An archive without data descriptors and without archive comment, split into its local
// entries (header, name, extra field and data) and central records, so that fields can be
// patched and bytes inserted; Bytes() lays it out again with all offsets and sizes fixed.
struct ZipImage {
    std::vector<std::string> locals;
    std::vector<std::string> centrals;

    static ZipImage Parse(const std::string& bytes) {
        ZipImage image;
        size_t eocd = bytes.size() - 22;
        EXPECT_EQ(Get(bytes, eocd, 4), 0x06054b50u);
        uint32_t count = Get(bytes, eocd + 10, 2), cdStart = Get(bytes, eocd + 16, 4);
        std::vector<uint32_t> offsets;
        for (uint32_t i = 0, pos = cdStart; i < count; i++) {
            uint32_t len = 46 + Get(bytes, pos + 28, 2) + Get(bytes, pos + 30, 2) + Get(bytes, pos + 32, 2);
            image.centrals.push_back(bytes.substr(pos, len));
            offsets.push_back(Get(bytes, pos + 42, 4));
            pos += len;
        }
        for (size_t i = 0; i < offsets.size(); i++) {
            uint32_t end = i + 1 < offsets.size() ? offsets[i + 1] : cdStart;
            image.locals.push_back(bytes.substr(offsets[i], end - offsets[i]));
        }
        return image;
    }

    std::string Bytes() const {
        std::string out;
        std::vector<std::string> records = centrals;
        for (size_t i = 0; i < locals.size(); i++) {
            Set(records[i], 42, 4, uint32_t(out.size()));
            out += locals[i];
        }
        uint32_t cdStart = uint32_t(out.size());
        for (const std::string& record : records) out += record;
        std::string eocd(22, '\0');
        Set(eocd, 0, 4, 0x06054b50);
        Set(eocd, 8, 2, uint32_t(records.size()));
        Set(eocd, 10, 2, uint32_t(records.size()));
        Set(eocd, 12, 4, uint32_t(out.size()) - cdStart);
        Set(eocd, 16, 4, cdStart);
        return out + eocd;
    }

    // Offset of entry i's local header in Bytes().
    uint32_t LocalOffset(size_t i) const {
        uint32_t offset = 0;
        for (size_t k = 0; k < i; k++) offset += uint32_t(locals[k].size());
        return offset;
    }
    // The compressed bytes of entry i, as its local header delimits them.
    std::string Data(size_t i) const {
        const std::string& local = locals[i];
        return local.substr(30 + Get(local, 26, 2) + Get(local, 28, 2), Get(local, 18, 4));
    }
    // Inserts bytes after the name of central record i and counts them as extra field or comment.
    void InsertIntoCentral(size_t i, const std::string& bytes, bool asComment) {
        std::string& record = centrals[i];
        size_t pos = 46 + Get(record, 28, 2) + Get(record, 30, 2) + (asComment ? Get(record, 32, 2) : 0);
        record.insert(pos, bytes);
        size_t field = asComment ? 32 : 30;
        Set(record, field, 2, Get(record, field, 2) + uint32_t(bytes.size()));
    }
};

std::string Load(const std::string& path) {
    return ReadTestFile(path);
}

// ----- test data and archives ----------------------------------------------------------------

// Deterministic bytes: words from a small vocabulary (deflates well) or noise (does not).
std::string Pattern(size_t size, uint32_t seed, bool compressible) {
    static const char* const words[] = {"stone ", "lantern ", "harbour ", "quill ", "mere ", "tower\n"};
    std::string out;
    out.reserve(size + 16);
    uint32_t x = seed * 2654435761u + 12345;
    while (out.size() < size) {
        x = x * 1664525u + 1013904223u;
        if (compressible)
            out += words[(x >> 16) % 6];
        else
            out += char(x >> 24);
    }
    out.resize(size);
    return out;
}

struct EntrySpec {
    std::string name;
    std::string contents;
    int method = 8;
    int level = -1;
};

const uint32_t DOS_DATE = 0x5A8C6B2F;

// Creates missing directories too.
void WriteZip(const std::string& path, const std::vector<EntrySpec>& entries) {
    WriteTestFile(path, "");
    ZipFileHolder zf(path);
    for (const EntrySpec& entry : entries) {
        zip_fileinfo info = {};
        info.dosDate = DOS_DATE;
        info.external_fa = 0x20;
        zf.OpenNewFile(entry.name.c_str(), info, entry.method, entry.level, false);
        zf.WriteInFile(entry.contents.data(), entry.contents.size());
        zf.CloseFile();
    }
    zf.Close();
}

// Runs AnalyzeCurrentEntry on entry index of the archive.
CaughtError AnalyzeEntry(const std::string& path, int index, FileMetainfo& out, bool contents = true,
                         bool compressed = true) {
    return CatchError([&] {
        UnzFileHolder zf(path);
        CheckMinizip(unzGoToFirstFile(zf));
        for (int i = 0; i < index; i++) CheckMinizip(unzGoToNextFile(zf));
        AnalyzeCurrentEntry(zf, out, contents, compressed);
    });
}

CaughtError AnalyzeArchive(const std::string& path, const std::string& root, Manifest* out = nullptr) {
    Manifest local;
    return CatchError([&] { (out ? *out : local).AddLocalZip(path, root, ""); });
}

void ExpectSameEntries(const Manifest& a, const Manifest& b) {
    ASSERT_EQ(a.size(), b.size());
    for (int i = 0; i < a.size(); i++) {
        SCOPED_TRACE(a[i].zipPath.rel + "||" + a[i].filename);
        EXPECT_EQ(a[i].zipPath.abs, b[i].zipPath.abs);
        EXPECT_EQ(a[i].zipPath.rel, b[i].zipPath.rel);
        EXPECT_EQ(a[i].filename, b[i].filename);
        EXPECT_EQ(a[i].location, b[i].location);
        EXPECT_EQ(a[i].byterange[0], b[i].byterange[0]);
        EXPECT_EQ(a[i].byterange[1], b[i].byterange[1]);
        EXPECT_EQ(a[i].package, b[i].package);
        EXPECT_EQ(a[i].lastModTime, b[i].lastModTime);
        EXPECT_EQ(a[i].compressionMethod, b[i].compressionMethod);
        EXPECT_EQ(a[i].gpbitFlag, b[i].gpbitFlag);
        EXPECT_EQ(a[i].internalAttribs, b[i].internalAttribs);
        EXPECT_EQ(a[i].externalAttribs, b[i].externalAttribs);
        EXPECT_EQ(a[i].compressedSize, b[i].compressedSize);
        EXPECT_EQ(a[i].contentsSize, b[i].contentsSize);
        EXPECT_EQ(a[i].crc32, b[i].crc32);
        EXPECT_EQ(a[i].contentsHash, b[i].contentsHash);
        EXPECT_EQ(a[i].compressedHash, b[i].compressedHash);
    }
}

// ----- observers -----------------------------------------------------------------------------

struct ProgressEvent {
    double ratio;
    std::string text;
};

// Records every report; answers "stop" to show that the analysis ignores the answer.
class RecordingProgress : public ProgressIndicator {
public:
    int Update(double ratio, std::string comment, double subRatio, std::string subComment) override {
        std::lock_guard<std::mutex> lock(_mutex);
        EXPECT_EQ(subRatio, -1.0);
        EXPECT_EQ(subComment, "");
        events.push_back({ratio, comment});
        return 1;
    }
    std::vector<ProgressEvent> events;

private:
    std::mutex _mutex;
};

} // namespace

// ----- single entries ------------------------------------------------------------------------

// Every member comes from the entry's own directory record and bytes, for stored and deflated
// entries with each deflate option, a zero-length stored one among them.
TEST(AnalyzeCurrentEntry, MembersAndDigestsMatchTheArchiveBytes) {
    TempDir dir;
    std::vector<EntrySpec> specs = {
        {"default.txt", Pattern(70000, 1, true), 8, -1},
        {"max.txt", Pattern(30000, 2, true), 8, 9},
        {"fast.txt", Pattern(30000, 3, true), 8, 2},
        {"fastest.txt", Pattern(30000, 4, true), 8, 1},
        {"noise.bin", Pattern(150000, 5, false), 8, -1},
        {"stored.bin", Pattern(100000, 6, false), 0, 0},
        {"sub/empty", "", 0, 0},
        {"sub/deflated-empty", "", 8, -1},
    };
    const uint16_t expectedFlags[] = {0, 2, 4, 6, 0, 0, 0, 0};
    WriteZip(dir / "data/a.pk4", specs);
    ZipImage image = ZipImage::Parse(Load(dir / "data/a.pk4"));

    Manifest manifest;
    manifest.AddZip(dir / "data/a.pk4", dir.path(), FileLocation::Remote, "pkg");
    ASSERT_EQ(manifest.size(), int(specs.size()));
    for (size_t i = 0; i < specs.size(); i++) {
        const FileMetainfo& f = manifest[int(i)];
        const std::string& cd = image.centrals[i];
        SCOPED_TRACE(specs[i].name);
        EXPECT_EQ(f.zipPath.abs, dir / "data/a.pk4");
        EXPECT_EQ(f.zipPath.rel, "data/a.pk4");
        EXPECT_EQ(f.location, FileLocation::Remote);
        EXPECT_EQ(f.package, "pkg");
        EXPECT_EQ(f.filename, specs[i].name);
        EXPECT_EQ(f.compressionMethod, specs[i].method);
        EXPECT_EQ(f.gpbitFlag, expectedFlags[i]);
        EXPECT_EQ(f.gpbitFlag, Get(cd, 8, 2));
        EXPECT_EQ(f.lastModTime, DOS_DATE);
        EXPECT_EQ(f.crc32, Get(cd, 16, 4));
        EXPECT_EQ(f.compressedSize, Get(cd, 20, 4));
        EXPECT_EQ(f.contentsSize, specs[i].contents.size());
        EXPECT_EQ(f.internalAttribs, Get(cd, 36, 2));
        EXPECT_EQ(f.externalAttribs, 0x20u);
        uint32_t begin = image.LocalOffset(i);
        EXPECT_EQ(f.byterange[0], begin);
        EXPECT_EQ(f.byterange[1], begin + 30 + specs[i].name.size() + f.compressedSize);
        EXPECT_EQ(f.contentsHash, Digest(specs[i].contents));
        EXPECT_EQ(f.compressedHash, Digest(image.Data(i)));
        if (specs[i].method == 0)
            EXPECT_EQ(f.compressedHash, f.contentsHash);
        else
            EXPECT_NE(f.compressedHash, f.contentsHash);
    }
    // The zero-length stored entry: both digests of empty input, the range spanning its header.
    const FileMetainfo& empty = manifest[6];
    EXPECT_EQ(empty.contentsHash, Digest(""));
    EXPECT_EQ(empty.compressedHash, Digest(""));
    EXPECT_EQ(empty.byterange[1] - empty.byterange[0], 30u + 9u);
}

// An archive written by Python's zipfile, made acceptable by setting the two version fields,
// gives what Python itself reads from it.
TEST(AnalyzeCurrentEntry, PythonArchiveMatchesPythonsOwnView) {
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> files = {
        {"maps/start.map", Pattern(50000, 11, true)},
        {"sound/noise.ogg", Pattern(40000, 12, false)},
        {"readme.txt", Pattern(3000, 13, true)},
        {"zero", ""},
    };
    std::string names;
    for (const auto& file : files) {
        WriteTestFile(dir / ("src/" + file.first), file.second);
        names += " " + file.first;
    }
    WriteTestFile(dir / "make.py", R"(import sys, zipfile
src, out, names = sys.argv[1], sys.argv[2], sys.argv[3:]
with zipfile.ZipFile(out, 'w') as z:
    for i, n in enumerate(names):
        z.write(src + '/' + n, n, compress_type=zipfile.ZIP_DEFLATED if i % 2 == 0 else zipfile.ZIP_STORED)
with zipfile.ZipFile(out) as z, open(out + '.txt', 'w') as f:
    for zi in z.infolist():
        d = zi.date_time
        dos = ((d[0] - 1980) << 25) | (d[1] << 21) | (d[2] << 16) | (d[3] << 11) | (d[4] << 5) | (d[5] // 2)
        f.write('%s %d %d %d %d %d %d %d %d %d\n' % (zi.filename, zi.CRC, zi.compress_size, zi.file_size,
                zi.header_offset, zi.compress_type, zi.flag_bits, dos, zi.internal_attr, zi.external_attr))
)");
    ASSERT_EQ(RunShellCommand("cd " + dir.path() + " && python3 make.py src py.zip" + names), 0);

    ZipImage image = ZipImage::Parse(Load(dir / "py.zip"));
    std::string original = image.Bytes();
    EXPECT_EQ(AnalyzeArchive(dir / "py.zip", dir.path()).message,
              "File maps/start.map has made-by version 788 (not supported)");
    for (std::string& record : image.centrals) {
        Set(record, 4, 2, 0);
        Set(record, 6, 2, 20);
    }
    WriteTestFile(dir / "py.zip", image.Bytes());
    Manifest manifest;
    ASSERT_FALSE(AnalyzeArchive(dir / "py.zip", dir.path(), &manifest).thrown);

    std::istringstream listing(Load(dir / "py.zip.txt"));
    ASSERT_EQ(manifest.size(), int(files.size()));
    for (int i = 0; i < manifest.size(); i++) {
        std::string name;
        uint32_t crc, compSize, size, offset, method, flag, dos, internal, external;
        listing >> name >> crc >> compSize >> size >> offset >> method >> flag >> dos >> internal >> external;
        const FileMetainfo& f = manifest[i];
        SCOPED_TRACE(name);
        EXPECT_EQ(f.filename, name);
        EXPECT_EQ(f.crc32, crc);
        EXPECT_EQ(f.compressedSize, compSize);
        EXPECT_EQ(f.contentsSize, size);
        EXPECT_EQ(f.byterange[0], offset);
        EXPECT_EQ(f.byterange[1], offset + 30 + name.size() + compSize);
        EXPECT_EQ(f.compressionMethod, method);
        EXPECT_EQ(f.gpbitFlag, flag);
        EXPECT_EQ(f.lastModTime, dos);
        EXPECT_EQ(f.internalAttribs, internal);
        EXPECT_EQ(f.externalAttribs, external);
        EXPECT_EQ(f.contentsHash, Digest(files[i].second));
        EXPECT_EQ(f.compressedHash, Digest(original.substr(offset + 30 + name.size(), compSize)));
    }
}

// Names beyond the 4095 bytes that fit the first reading of the directory record come whole.
TEST(AnalyzeCurrentEntry, LongNamesKeptWhole) {
    TempDir dir;
    std::string longName = std::string(4095, 'n'), longerName = "d/" + std::string(5000, 'x') + ".txt";
    WriteZip(dir / "a.zip", {{longName, "one", 0, 0}, {longerName, Pattern(7000, 3, true), 8, -1}});
    Manifest manifest;
    ASSERT_FALSE(AnalyzeArchive(dir / "a.zip", dir.path(), &manifest).thrown);
    ASSERT_EQ(manifest.size(), 2);
    EXPECT_EQ(manifest[0].filename, longName);
    EXPECT_EQ(manifest[1].filename, longerName);
    EXPECT_EQ(manifest[1].byterange[0], manifest[0].byterange[1]);
    EXPECT_EQ(manifest[1].byterange[1],
              manifest[1].byterange[0] + 30 + longerName.size() + manifest[1].compressedSize);
    EXPECT_EQ(manifest[1].contentsHash, Digest(Pattern(7000, 3, true)));
}

// Only the digests asked for are computed; every member the analysis does not own is kept.
TEST(AnalyzeCurrentEntry, FillsOnlyTheRequestedDigests) {
    TempDir dir;
    std::string contents = Pattern(20000, 21, true);
    WriteZip(dir / "a.zip", {{"f.txt", contents, 8, -1}});
    Manifest full;
    full.AddLocalZip(dir / "a.zip", dir.path(), "");
    HashDigest sentinel;
    sentinel.Parse(std::string(64, 'e').c_str());

    struct Case {
        bool contents, compressed;
    } cases[] = {{false, false}, {true, false}, {false, true}, {true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "contents " << c.contents << " compressed " << c.compressed);
        FileMetainfo f;
        f.zipPath = PathAR::FromRel("keep.zip", "/elsewhere");
        f.package = "kept";
        f.location = FileLocation::Remote;
        f.contentsHash = f.compressedHash = sentinel;
        ASSERT_FALSE(AnalyzeEntry(dir / "a.zip", 0, f, c.contents, c.compressed).thrown);
        EXPECT_EQ(f.zipPath.abs, "/elsewhere/keep.zip");
        EXPECT_EQ(f.package, "kept");
        EXPECT_EQ(f.location, FileLocation::Remote);
        EXPECT_EQ(f.filename, "f.txt");
        EXPECT_EQ(f.byterange[0], full[0].byterange[0]);
        EXPECT_EQ(f.byterange[1], full[0].byterange[1]);
        EXPECT_EQ(f.crc32, full[0].crc32);
        EXPECT_EQ(f.contentsHash, c.contents ? full[0].contentsHash : sentinel);
        EXPECT_EQ(f.compressedHash, c.compressed ? full[0].compressedHash : sentinel);
    }
}

// ----- the accepted subset -------------------------------------------------------------------

namespace {

// A good archive whose second entry, "b/c.txt" (stored), gets patched.
ZipImage GoodImage(const TempDir& dir) {
    WriteZip(dir / "good.zip",
             {{"a.txt", Pattern(5000, 31, true), 8, -1}, {"b/c.txt", Pattern(900, 32, true), 0, 0}});
    return ZipImage::Parse(Load(dir / "good.zip"));
}

// Every entry through AnalyzeCurrentEntry on a bare reader, which gets the compressed bytes
// from the reader itself, where AddZip reads them from a stream of its own.
CaughtError AnalyzeThroughReader(const std::string& path) {
    return CatchError([&] {
        UnzFileHolder zf(path);
        for (int status = unzGoToFirstFile(zf); status != UNZ_END_OF_LIST_OF_FILE;
             status = unzGoToNextFile(zf)) {
            CheckMinizip(status);
            FileMetainfo f;
            AnalyzeCurrentEntry(zf, f, true, true);
        }
    });
}

// Analyses the image with AddLocalZip and checks that the bare reader fails alike.
CaughtError AnalyzePatched(const TempDir& dir, const ZipImage& image) {
    WriteTestFile(dir / "patched.zip", image.Bytes());
    CaughtError error = AnalyzeArchive(dir / "patched.zip", dir.path());
    CaughtError readerError = AnalyzeThroughReader(dir / "patched.zip");
    EXPECT_EQ(readerError.code, error.code);
    EXPECT_EQ(readerError.message, error.message);
    return error;
}

// Compressed data of the stored entry b/c.txt running 1000000 bytes, past the archive's end
// (both headers agree, as the reader compares them).
void ClaimCompressedBeyondTheEnd(ZipImage& image) {
    for (int field : {20, 24}) Set(image.centrals[1], field, 4, 1000000);
    for (int field : {18, 22}) Set(image.locals[1], field, 4, 1000000);
}

// What follows the data start of b/c.txt in the archive.
uint32_t BytesAfterData(const ZipImage& image) {
    return uint32_t(image.Bytes().size()) - (image.LocalOffset(1) + 30 + 7);
}

CaughtError PatchedThroughAddZip(const TempDir& dir, const ZipImage& image) {
    WriteTestFile(dir / "patched.zip", image.Bytes());
    return AnalyzeArchive(dir / "patched.zip", dir.path());
}

} // namespace

// Row k breaks rules k to 10 at once; the message is always rule k's. (Rule 11 is only reached
// when rule 10 holds, see WrongUncompressedSize.)
TEST(AcceptedSubset, RulesAreTestedInOrder) {
    TempDir dir;
    ZipImage good = GoodImage(dir);
    using Patch = std::function<void(ZipImage&)>;
    auto central = [](ZipImage& image) -> std::string& { return image.centrals[1]; };
    std::vector<std::pair<Patch, std::string>> rules = {
        {[&](ZipImage& im) { Set(central(im), 4, 2, 20); },
         "File b/c.txt has made-by version 20 (not supported)"},
        {[&](ZipImage& im) { Set(central(im), 6, 2, 45); },
         "File b/c.txt needs zip version 45 (not supported)"},
        {[&](ZipImage& im) { Set(central(im), 8, 2, Get(central(im), 8, 2) | 8); },
         "File b/c.txt has data descriptor (not supported)"},
        {[&](ZipImage& im) { Set(central(im), 8, 2, Get(central(im), 8, 2) | 1); },
         "File b/c.txt is encrypted (not supported)"},
        {[&](ZipImage& im) { Set(central(im), 8, 2, Get(central(im), 8, 2) | 2048); },
         "File b/c.txt has flags 2048 (not supported)"},
        {[&](ZipImage& im) { Set(central(im), 10, 2, 12); },
         "File b/c.txt has compression 12 (not supported)"},
        {[&](ZipImage& im) { im.InsertIntoCentral(1, std::string("\xfe\xca\0\0", 4), false); },
         "File b/c.txt has extra field in header (not supported)"},
        {[&](ZipImage& im) { im.InsertIntoCentral(1, "note", true); },
         "File b/c.txt has comment in header (not supported)"},
        {[&](ZipImage& im) { Set(central(im), 34, 2, 1); },
         "File b/c.txt has disk nonzero number (not supported)"},
        {[&](ZipImage& im) { ClaimCompressedBeyondTheEnd(im); },
         FormatString("File b/c.txt has wrong compressed size: 1000000 instead of %u", BytesAfterData(good))},
    };
    ASSERT_FALSE(AnalyzePatched(dir, good).thrown);
    for (size_t k = 0; k < rules.size(); k++) {
        SCOPED_TRACE(testing::Message() << "rule " << k + 1);
        ZipImage image = good;
        for (size_t r = k; r < rules.size(); r++) rules[r].first(image);
        CaughtError error = k < 9 ? AnalyzePatched(dir, image) : PatchedThroughAddZip(dir, image);
        EXPECT_TRUE(error.thrown);
        EXPECT_EQ(error.code, lcGeneral);
        EXPECT_EQ(error.message, rules[k].second);
    }
}

TEST(AcceptedSubset, FlagValues) {
    struct Case {
        uint32_t flag;
        const char* message; // null: accepted
    } cases[] = {
        {2, nullptr},
        {4, nullptr},
        {6, nullptr},
        {8, "File b/c.txt has data descriptor (not supported)"},
        {1, "File b/c.txt is encrypted (not supported)"},
        {2048, "File b/c.txt has flags 2048 (not supported)"},
        {16 | 2, "File b/c.txt has flags 18 (not supported)"},
    };
    TempDir dir;
    ZipImage good = GoodImage(dir);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flag);
        ZipImage image = good;
        Set(image.centrals[1], 8, 2, c.flag);
        CaughtError error = AnalyzePatched(dir, image);
        EXPECT_EQ(error.thrown, c.message != nullptr);
        if (c.message) {
            EXPECT_EQ(error.message, c.message);
        }
    }
}

// The byte range is computed from the central record's lengths, so an extra field that only
// the local header carries is refused too (it would shift the range).
TEST(AcceptedSubset, ExtraFieldInLocalHeaderOnly) {
    TempDir dir;
    ZipImage image = GoodImage(dir);
    std::string& local = image.locals[1];
    local.insert(30 + Get(local, 26, 2), std::string("\xfe\xca\0\0", 4));
    Set(local, 28, 2, 4);
    CaughtError error = AnalyzePatched(dir, image);
    EXPECT_EQ(error.code, lcGeneral);
    EXPECT_EQ(error.message, "File b/c.txt has extra field in header (not supported)");

    FileMetainfo f;
    UnzFileHolder zf(dir / "patched.zip");
    CheckMinizip(unzGoToFirstFile(zf));
    CheckMinizip(unzGoToNextFile(zf));
    EXPECT_EQ(CatchError([&] { AnalyzeCurrentEntry(zf, f, false, false); }).message,
              "File b/c.txt has extra field in header (not supported)");
}

// Rule 11: contents shorter than the directory says, for a stored and a deflated entry (both
// headers patched alike, as the reader compares them).
TEST(AcceptedSubset, WrongUncompressedSize) {
    TempDir dir;
    WriteZip(dir / "good.zip",
             {{"a.txt", Pattern(5000, 41, true), 8, -1}, {"b/c.txt", Pattern(900, 42, true), 0, 0}});
    ZipImage good = ZipImage::Parse(Load(dir / "good.zip"));
    for (size_t i = 0; i < 2; i++) {
        uint32_t size = Get(good.centrals[i], 24, 4);
        // Sizes are unsigned in the message too, up to the largest.
        for (uint32_t claimed : {size + 5, 0xFFFFFFFFu}) {
            ZipImage image = good;
            Set(image.centrals[i], 24, 4, claimed);
            Set(image.locals[i], 22, 4, claimed);
            CaughtError error = AnalyzePatched(dir, image);
            EXPECT_EQ(error.code, lcGeneral);
            EXPECT_EQ(error.message, FormatString("File %s has wrong uncompressed size: %u instead of %u",
                                                  i == 0 ? "a.txt" : "b/c.txt", claimed, size));
        }
    }
}

// Rule 10 with the reader alone: minizip hands out exactly the directory's compressed size or
// fails, so compressed data claimed beyond the end of the archive ends as a reader error.
TEST(AcceptedSubset, CompressedDataBeyondTheArchiveThroughTheReader) {
    TempDir dir;
    ZipImage image = GoodImage(dir);
    ClaimCompressedBeyondTheEnd(image);
    WriteTestFile(dir / "patched.zip", image.Bytes());
    CaughtError error = AnalyzeThroughReader(dir / "patched.zip");
    EXPECT_EQ(error.code, lcMinizipError);
    EXPECT_EQ(error.message, "Minizip error -1 (the file cannot be read or written, or ends early)");
}

// A CRC-32 mismatch shows when the fully read entry is closed: a flipped byte in a stored
// entry, a changed CRC in both headers of a deflated one.
TEST(AcceptedSubset, CrcMismatchFoundAtClose) {
    TempDir dir;
    ZipImage good = GoodImage(dir);
    ZipImage flipped = good;
    std::string& local = flipped.locals[1];
    local[local.size() - 10] ^= 0x20;
    CaughtError error = AnalyzePatched(dir, flipped);
    EXPECT_EQ(error.code, lcMinizipError);
    EXPECT_EQ(error.message, "Minizip error -105 (CRC mismatch, the data is damaged)");

    ZipImage recrc = good;
    Set(recrc.centrals[0], 16, 4, Get(recrc.centrals[0], 16, 4) ^ 1);
    Set(recrc.locals[0], 14, 4, Get(recrc.locals[0], 14, 4) ^ 1);
    error = AnalyzePatched(dir, recrc);
    EXPECT_EQ(error.code, lcMinizipError);
    EXPECT_EQ(error.message, "Minizip error -105 (CRC mismatch, the data is damaged)");

    // Without the contents digest the inflated bytes are never checked.
    FileMetainfo f;
    EXPECT_FALSE(AnalyzeEntry(dir / "patched.zip", 0, f, false, true).thrown);
}

TEST(AcceptedSubset, Zip64Refused) {
    TempDir dir;
    WriteTestFile(dir / "src/a.txt", Pattern(3000, 51, true));
    ASSERT_EQ(RunShellCommand("cd " + dir.path() + "/src && zip -q -fz ../z64.zip a.txt"), 0);
    CaughtError error = AnalyzeArchive(dir / "z64.zip", dir.path());
    EXPECT_EQ(error.code, lcGeneral);
    EXPECT_EQ(error.message, "Zip64 is not supported!");
    error = CatchError([&] { AnalyzeZips(dir.path(), {dir / "z64.zip"}, false, 1); });
    EXPECT_EQ(error.message, "Zip64 is not supported! in archive z64.zip");
}

// Entry names become manifest section names and log lines: one with a line break could forge
// manifest entries, so names with control characters are refused, naming the archive, even after
// normalization.
TEST(AcceptedSubset, ControlCharactersInNames) {
    TempDir dir;
    struct Case {
        std::string name;
        int character;
    } cases[] = {
        {"x]\ncontentsHash=" + std::string(64, '0') + "\n[File victim.pk4||y", 10},
        {"a\tb.txt", 9},
        {"del\x7f", 127},
    };
    for (const Case& c : cases) {
        std::string path = dir / "names.pk4";
        {
            ZipFileHolder zf(path);
            zip_fileinfo info = {};
            zf.OpenNewFile(c.name.c_str(), info, 0, 0, false);
            zf.WriteInFile("data", 4);
            zf.CloseFile();
            zf.Close();
        }
        ExpectError([&] { AnalyzeZips(dir.path(), {path}, true, 1); }, lcGeneral,
                    FormatString("Zip %s has a file name with control character %d (not supported)",
                                 path.c_str(), c.character));
    }
}

// An archive without entries gives none (minizip only opens one whose end record does not
// start the file, hence the few bytes in front).
TEST(AddZip, ArchiveWithoutEntries) {
    TempDir dir;
    std::string eocd(22, '\0');
    Set(eocd, 0, 4, 0x06054b50);
    WriteTestFile(dir / "empty.zip", "PREAMBLE" + eocd);
    Manifest manifest;
    CaughtError error = AnalyzeArchive(dir / "empty.zip", dir.path(), &manifest);
    EXPECT_FALSE(error.thrown) << error.message;
    EXPECT_EQ(manifest.size(), 0);
}

TEST(AddZip, PathsAndRoots) {
    TempDir dir;
    WriteZip(dir / "a.zip", {{"f", "x", 0, 0}});
    Manifest manifest;
    EXPECT_TRUE(
        IsAssertionOf(CatchError([&] { manifest.AddLocalZip(dir / "a.zip", "http://host/base", ""); }),
                      "PathAR::IsHttp(rootDir) == false"));
    EXPECT_TRUE(CatchError([&] { manifest.AddLocalZip(dir / "a.zip", dir / "other", ""); }).thrown);
    EXPECT_EQ(AnalyzeArchive(dir / "missing.zip", dir.path()).code, lcCantOpenFile);
    // Entries appended before a failing member stay.
    WriteZip(dir / "two.zip", {{"ok", "fine", 0, 0}, {"bad", "x", 0, 0}});
    ZipImage image = ZipImage::Parse(Load(dir / "two.zip"));
    Set(image.centrals[1], 4, 2, 20);
    WriteTestFile(dir / "two.zip", image.Bytes());
    EXPECT_TRUE(AnalyzeArchive(dir / "two.zip", dir.path(), &manifest).thrown);
    ASSERT_EQ(manifest.size(), 1);
    EXPECT_EQ(manifest[0].filename, "ok");
}

// ----- many archives -------------------------------------------------------------------------

namespace {

// Archives of varied sizes under root, some in subdirectories; returns their absolute paths.
std::vector<std::string> MakeArchives(const TempDir& dir, int count) {
    std::vector<std::string> paths;
    for (int z = 0; z < count; z++) {
        std::vector<EntrySpec> entries;
        for (int e = 0; e < 1 + z % 4; e++) {
            bool noise = (z + e) % 3 == 0;
            entries.push_back({FormatString("dir%d/file%d.dat", e % 2, e),
                               Pattern(1000 + 40000 * ((z * 7 + e) % 5), z * 100 + e, !noise), e % 2 ? 0 : 8,
                               -1});
        }
        std::string path = dir / FormatString(z % 2 ? "sub/pak%02d.pk4" : "pak%02d.zip", z);
        WriteZip(path, entries);
        paths.push_back(path);
    }
    return paths;
}

} // namespace

TEST(AnalyzeZips, LogLineAndProgressTexts) {
    TempDir dir;
    WriteZip(dir / "a.pk4", {{"x", Pattern(10000, 61, true), 8, -1}});
    WriteZip(dir / "sub/b.zip", {{"y", Pattern(20000, 62, false), 0, 0}});
    double sizeA = double(SizeOfFile(dir / "a.pk4")), sizeB = double(SizeOfFile(dir / "sub/b.zip"));
    double total = 1.0 + sizeA + sizeB;

    RecordingLogger logger;
    RecordingProgress progress;
    Manifest manifest = AnalyzeZips(dir.path(), {dir / "a.pk4", dir / "sub/b.zip"}, true, 1, &progress);
    EXPECT_EQ(manifest.size(), 2);
    ASSERT_EQ(logger.Texts(sevInfo).size(), 1u);
    EXPECT_EQ(logger.Texts(sevInfo)[0],
              FormatString("Going to analyze 2 zips in %s of total size %0.3lf MB in 1 threads",
                           dir.path().c_str(), total * 1e-6));
    std::vector<std::pair<double, std::string>> expected = {
        {0.0, "Analysing \"a.pk4\"..."},
        {sizeA / total, "Analysed  \"a.pk4\""},
        {sizeA / total, "Analysing \"sub/b.zip\"..."},
        {(sizeA + sizeB) / total, "Analysed  \"sub/b.zip\""},
        {1.0, "Analysing done"},
    };
    ASSERT_EQ(progress.events.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        EXPECT_DOUBLE_EQ(progress.events[i].ratio, expected[i].first) << i;
        EXPECT_EQ(progress.events[i].text, expected[i].second);
    }
}

TEST(AnalyzeZips, EmptyList) {
    TempDir dir;
    RecordingLogger logger;
    RecordingProgress progress;
    Manifest manifest = AnalyzeZips(dir.path(), {}, true, 0, &progress);
    EXPECT_EQ(manifest.size(), 0);
    ASSERT_EQ(logger.Texts(sevInfo).size(), 1u);
    // The count used, not the 0 that asks for one thread per core.
    EXPECT_EQ(logger.Texts(sevInfo)[0],
              "Going to analyze 0 zips in " + dir.path() + " of total size 0.000 MB in " +
                  std::to_string(std::max(1u, std::thread::hardware_concurrency())) + " threads");
    ASSERT_EQ(progress.events.size(), 1u);
    EXPECT_EQ(progress.events[0].ratio, 1.0);
    EXPECT_EQ(progress.events[0].text, "Analysing done");
}

// An Info-ZIP archive (made-by version 3.0 on Unix, extra fields, directory entries) fails
// once, is normalised in place and is in the result exactly once, with the normalised
// archive's entries, followed by the next archive's.
TEST(AnalyzeZips, NormaliseAndRetryInfoZipArchive) {
    TempDir dir;
    std::map<std::string, std::string> files = {
        {"d/a.txt", Pattern(30000, 71, true)},
        {"d/sub/b.bin", Pattern(50000, 72, false)},
        {"z.txt", Pattern(500, 73, true)},
    };
    for (const auto& file : files) WriteTestFile(dir / ("src/" + file.first), file.second);
    ASSERT_EQ(RunShellCommand("mkdir -p " + dir.path() + "/src/d/empty " + dir.path() + "/root && cd " +
                              dir.path() + "/src && zip -q -r ../root/info.zip z.txt d"),
              0);
    WriteZip(dir / "root/next.pk4", {{"n", Pattern(4000, 74, true), 8, -1}});
    std::string infoPath = dir / "root/info.zip", nextPath = dir / "root/next.pk4";
    std::string original = Load(infoPath);
    double total = 1.0 + double(original.size()) + double(SizeOfFile(nextPath));

    CaughtError error = CatchError([&] { AnalyzeZips(dir / "root", {infoPath, nextPath}, false, 1); });
    EXPECT_EQ(error.code, lcGeneral);
    EXPECT_EQ(error.message.rfind("File ", 0), 0u);
    EXPECT_NE(error.message.find(" has made-by version 798 (not supported)"), std::string::npos)
        << error.message;
    EXPECT_EQ(Load(infoPath), original);

    RecordingProgress progress;
    Manifest manifest = AnalyzeZips(dir / "root", {infoPath, nextPath}, true, 1, &progress);
    EXPECT_NE(Load(infoPath), original);
    Manifest expected;
    expected.AddLocalZip(infoPath, dir / "root", "");
    expected.AddLocalZip(nextPath, dir / "root", "");
    ExpectSameEntries(manifest, expected);
    ASSERT_EQ(manifest.size(), 4);
    int i = 0;
    for (const auto& file : files) {
        EXPECT_EQ(manifest[i].zipPath.rel, "info.zip");
        EXPECT_EQ(manifest[i].filename, file.first);
        EXPECT_EQ(manifest[i].contentsHash, Digest(file.second));
        i++;
    }
    EXPECT_EQ(manifest[3].filename, "n");
    // Progress counts the archive at its size after normalisation.
    ASSERT_GE(progress.events.size(), 2u);
    EXPECT_EQ(progress.events[1].text, "Analysed  \"info.zip\"");
    EXPECT_DOUBLE_EQ(progress.events[1].ratio, double(SizeOfFile(infoPath)) / total);
}

// When normalisation itself fails, that error propagates and the archive is left as it was.
TEST(AnalyzeZips, FailedNormalisationPropagates) {
    TempDir dir;
    WriteZip(dir / "a.zip", {{"m", Pattern(3000, 81, true), 8, -1}});
    ZipImage image = ZipImage::Parse(Load(dir / "a.zip"));
    Set(image.centrals[0], 10, 2, 12);
    Set(image.locals[0], 8, 2, 12);
    WriteTestFile(dir / "a.zip", image.Bytes());
    std::string before = Load(dir / "a.zip");
    RecordingLogger logger;
    CaughtError error = CatchError([&] { AnalyzeZips(dir.path(), {dir / "a.zip"}, true, 1); });
    // Written once, naming the archive, though both attempts failed.
    std::string message = "File m has compression 12 (not supported) in archive a.zip";
    EXPECT_EQ(error.message, message);
    EXPECT_EQ(logger.Texts(sevError), std::vector<std::string>{message});
    EXPECT_EQ(Load(dir / "a.zip"), before);
}

TEST(AnalyzeZips, SameManifestForOneTwoAndZeroThreads) {
    TempDir dir;
    std::vector<std::string> paths = MakeArchives(dir, 12);
    Manifest expected;
    for (const std::string& path : paths) expected.AddLocalZip(path, dir.path(), "");
    for (int threads : {1, 2, 0, 5}) {
        SCOPED_TRACE(threads);
        ExpectSameEntries(AnalyzeZips(dir.path(), paths, false, threads), expected);
    }
    // The order is the order of the list, not of the file system.
    std::reverse(paths.begin(), paths.end());
    Manifest reversed = AnalyzeZips(dir.path(), paths, false, 2);
    ASSERT_EQ(reversed.size(), expected.size());
    EXPECT_EQ(reversed[0].zipPath.abs, paths[0]);
}

// A bad archive among good ones: its error reaches the caller, and only after every archive
// that had been started was finished.
TEST(AnalyzeZips, ErrorInOneArchiveReachesCallerAfterAllWorkersFinished) {
    TempDir dir;
    std::vector<std::string> paths;
    for (int z = 0; z < 6; z++) {
        std::string path = dir / FormatString("big%d.zip", z);
        WriteZip(path, {{"noise", Pattern(3000000, 90 + z, false), 8, -1},
                        {"text", Pattern(2000000, z, true), 0, 0}});
        paths.push_back(path);
    }
    WriteZip(dir / "bad.zip", {{"broken", "x", 0, 0}});
    ZipImage image = ZipImage::Parse(Load(dir / "bad.zip"));
    Set(image.centrals[0], 6, 2, 10);
    WriteTestFile(dir / "bad.zip", image.Bytes());
    paths.insert(paths.begin() + 1, dir / "bad.zip");

    for (int threads : {2, 3}) {
        SCOPED_TRACE(threads);
        RecordingProgress progress;
        CaughtError error = CatchError([&] { AnalyzeZips(dir.path(), paths, false, threads, &progress); });
        const std::vector<ProgressEvent>& events = progress.events;
        EXPECT_EQ(error.message, "File broken needs zip version 10 (not supported) in archive bad.zip");
        int started = 0, finished = 0;
        for (const ProgressEvent& event : events) {
            EXPECT_NE(event.text, "Analysing done");
            if (event.text.rfind("Analysing \"big", 0) == 0) started++;
            if (event.text.rfind("Analysed  \"big", 0) == 0) finished++;
        }
        // The first archive is always claimed before the bad one.
        EXPECT_GE(started, 1);
        EXPECT_EQ(started, finished);
    }
}

// Given a list for them, archives that fail even after normalisation are left out, listed with
// their failure and logged in input order, whatever the thread count; the others are analysed as
// usual. Without the list the first one fails the analysis, and a file that cannot be read at
// all is no damaged archive.
TEST(AnalyzeZips, DamagedArchivesAreListedAndLeftOut) {
    TempDir dir;
    std::vector<std::string> paths = MakeArchives(dir, 8);
    Manifest expected;
    for (size_t i = 0; i < paths.size(); i += 2) expected.AddLocalZip(paths[i], dir.path(), "");
    for (size_t i = 1; i < paths.size(); i += 2) DamageArchive(paths[i], ALL_DAMAGES[i / 2]);

    for (int threads : {1, 3}) {
        SCOPED_TRACE(threads);
        RecordingLogger logger;
        std::vector<DamagedZip> damaged;
        ExpectSameEntries(AnalyzeZips(dir.path(), paths, true, threads, nullptr, &damaged), expected);
        ASSERT_EQ(damaged.size(), 4u);
        ASSERT_EQ(logger.Texts(sevWarning).size(), 4u);
        for (size_t d = 0; d < damaged.size(); d++) {
            EXPECT_EQ(damaged[d].path, paths[2 * d + 1]);
            EXPECT_EQ(logger.Texts(sevWarning)[d],
                      "Archive " + PathAR::FromAbs(paths[2 * d + 1], dir.path()).rel +
                          " is damaged, left out of the analysis: " + damaged[d].reason);
        }
        EXPECT_EQ(damaged[3].reason, "Failed to open zip file \"" + paths[7] + "\"");
    }
    EXPECT_TRUE(CatchError([&] { AnalyzeZips(dir.path(), paths, true, 1); }).thrown);
    std::vector<DamagedZip> damaged;
    paths.push_back(dir / "missing.pk4");
    EXPECT_TRUE(CatchError([&] { AnalyzeZips(dir.path(), paths, true, 1, nullptr, &damaged); }).thrown);
}

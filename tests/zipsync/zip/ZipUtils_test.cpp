// Zip utilities on archives written by Python's zipfile, Info-ZIP zip, minizip and ourselves:
// holders and the extension operations, byte ranges and the index, entry copies, the central
// directory builder and normalization.
#include "CatchError.h"
#include "HangGuard.h"
#include "TempDir.h"
#include "ZipFixture.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "base/Utils.h"
#include "zip/ZipAnalysis.h"
#include "zip/ZipUtils.h"

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <signal.h>
#include <string.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif
#include <sys/stat.h>
#include <zlib.h>

using namespace ZipSync;

namespace {

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string res(size, '\0');
    for (char& c : res) c = char(gen() & 0xff);
    return res;
}

std::string TextBytes(size_t size) {
    std::string res;
    for (int i = 0; res.size() < size; i++)
        res += "line " + std::to_string(i * 7919 % 1000) + " of some text\n";
    res.resize(size);
    return res;
}

std::string ToHex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string res;
    for (unsigned char c : bytes) {
        res += digits[c >> 4];
        res += digits[c & 15];
    }
    return res;
}

zip_fileinfo FileInfo(uint32_t dosDate, uint32_t internal, uint32_t external) {
    zip_fileinfo info;
    memset(&info, 0, sizeof(info));
    info.dosDate = dosDate;
    info.internal_fa = internal;
    info.external_fa = external;
    return info;
}

struct Entry {
    std::string name;
    std::string data;
};

// All entries in central directory order, read (inflated, CRC-checked) through minizip.
std::vector<Entry> ReadEntries(const std::string& path) {
    std::vector<Entry> res;
    UnzFileHolder zf(path);
    unz_global_info64 global;
    CheckMinizip(unzGetGlobalInfo64(zf, &global));
    for (int status = global.number_entry ? unzGoToFirstFile(zf) : UNZ_END_OF_LIST_OF_FILE;
         status != UNZ_END_OF_LIST_OF_FILE; status = unzGoToNextFile(zf)) {
        CheckMinizip(status);
        unz_file_info64 info;
        Entry e;
        GetCurrentFileInfo(zf, &info, &e.name);
        zf.OpenCurrentFile(false);
        char buffer[65536];
        for (int got; (got = unzReadCurrentFile(zf, buffer, sizeof(buffer))) != 0;) {
            CheckMinizip(got < 0 ? got : 0);
            e.data.append(buffer, size_t(got));
        }
        zf.CloseCurrentFile();
        res.push_back(e);
    }
    return res;
}

std::vector<std::string> Names(const PyZipInfo& info) {
    std::vector<std::string> res;
    for (const PyZipEntry& e : info.entries) res.push_back(e.name);
    return res;
}

// The compressed bytes of an entry as they lie in the archive file.
std::string CompressedBytes(const std::string& archive, const PyZipEntry& e) {
    return archive.substr(size_t(e.DataStart()), size_t(e.compressSize));
}

// Offset of the central directory, from the end record (archives without comment).
uint32_t CentralDirStart(const std::string& archive) {
    return ReadLE(archive, archive.size() - 22 + 16, 4);
}

void PutLE(std::string& bytes, size_t offset, uint32_t value, int width) {
    for (int i = 0; i < width; i++) bytes[offset + i] = char(value >> (8 * i));
}

} // namespace

// ------------------------------------------------------------------------------------------
// Holders

TEST(ZipHolders, OpenFailures) {
    TempDir dir;
    WriteTestFile(dir / "random.zip", RandomBytes(5000, 1));
    WriteTestFile(dir / "empty.zip", "");
    for (std::string name : {"missing.zip", "random.zip", "empty.zip"}) {
        std::string path = dir / name;
        ExpectError([&] { UnzFileHolder zf(path); }, lcCantOpenFile,
                    "Failed to open zip file \"" + path + "\"");
    }
    std::string bad = dir / "no/such/dir/x.zip";
    ExpectError([&] { ZipFileHolder zf(bad); }, lcCantOpenFile,
                "Failed to open zip file \"" + bad + "\": No such file or directory");

#ifndef _WIN32 // no FIFOs there
    // A FIFO where an archive should be is refused at once by every holder, and left alone.
    std::string fifo = dir / "fifo.zip";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::string refusal = fifo + " is not a regular file (a FIFO)";
    HangGuard guard;
    ExpectError([&] { UnzFileHolder zf(fifo); }, lcCantOpenFile, refusal);
    ExpectError([&] { ZipFileHolder zf(fifo); }, lcCantOpenFile, refusal);
    for (const char* mode : {"rb", "wb", "r+b"})
        ExpectError([&] { StdioFileHolder file(fifo, mode); }, lcCantOpenFile, refusal);
    struct stat st;
    EXPECT_TRUE(stat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
#endif
}

#ifndef _WIN32 // a file size limit of the process: Linux
// A write that the file system refuses names the archive and the reason: the holder's file
// functions keep the errno that minizip's status (-1) drops.
TEST(ZipHolders, WriteFailureNamesTheFileAndTheCause) {
    TempDir dir;
    std::string path = dir / "big.zip";
    std::string data = RandomBytes(300000, 3);
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = {100000, saved.rlim_max};
    // Beyond the limit a write fails with EFBIG instead of raising SIGXFSZ.
    auto handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    CaughtError error = CatchError([&] {
        ZipFileHolder zf(path);
        zf.OpenNewFile("x.bin", FileInfo(0x28210000, 0, 0), 0, 0, false);
        zf.WriteInFile(data.data(), data.size());
        zf.CloseFile();
        zf.Close();
    });
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, handler);
    EXPECT_EQ(error.code, lcMinizipError);
    EXPECT_EQ(error.message, "Minizip error -1 writing \"" + path + "\": File too large");
}
#endif

TEST(ZipHolders, WriterReplacesExistingFileAndMoves) {
    TempDir dir;
    std::string path = dir / "a.zip";
    WriteTestFile(path, RandomBytes(100000, 2));
    ZipFileHolder first(path);
    ZipFileHolder zf(std::move(first));
    EXPECT_EQ(first.get(), nullptr);
    zf.OpenNewFile("x.txt", FileInfo(0x28210000, 0, 0), 8, -1, false);
    zf.WriteInFile("hello", 5);
    ExpectError([&] { zf.OpenNewFile("y.txt", FileInfo(0x28210000, 0, 0), 8, -1, false); }, lcMinizipError,
                "Minizip error -102 (invalid request)");
    ExpectError([&] { zf.CloseFileRaw(5, 0); }, lcMinizipError, "Minizip error -102 (invalid request)");
    zf.CloseFile();
    ExpectError([&] { zf.WriteInFile("x", 1); }, lcMinizipError, "Minizip error -102 (invalid request)");
    zf.Close();
    EXPECT_EQ(zf.get(), nullptr);
    std::vector<Entry> entries = ReadEntries(path);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].data, "hello");
    EXPECT_LT(ReadTestFile(path).size(), 200u);
}

// Our writer deflates itself; its bytes must equal what minizip's own deflate writes, for any
// way of splitting the input, while the given internal attributes stand (minizip writes 1 for
// text whatever it was given).
TEST(ZipHolders, OwnDeflateEqualsMinizipAndKeepsInternalAttribs) {
    TempDir dir;
    struct Case {
        const char* kind;
        std::string data;
        bool text;
    };
    std::vector<Case> cases = {
        {"text", TextBytes(300000), true}, {"random", RandomBytes(150000, 3), false}, {"empty", "", false}};
    for (int level : {-1, 1, 2, 6, 9}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.kind) + " level " + std::to_string(level));
            std::string ours = dir / "ours.zip", theirs = dir / "theirs.zip";
            {
                ZipFileHolder zf(ours);
                zf.OpenNewFile("f", FileInfo(0x28210000, 0, 0), 8, level, false);
                for (size_t pos = 0; pos < c.data.size(); pos += 777)
                    zf.WriteInFile(c.data.data() + pos, std::min<size_t>(777, c.data.size() - pos));
                zf.CloseFile();
                zf.Close();
            }
            {
                zipFile zf = zipOpen64(theirs.c_str(), APPEND_STATUS_CREATE);
                zip_fileinfo info = FileInfo(0x28210000, 0, 0);
                ASSERT_EQ(zipOpenNewFileInZip2(zf, "f", &info, nullptr, 0, nullptr, 0, nullptr, 8, level, 0),
                          0);
                ASSERT_EQ(zipWriteInFileInZip(zf, c.data.data(), unsigned(c.data.size())), 0);
                ASSERT_EQ(zipCloseFileInZip(zf), 0);
                ASSERT_EQ(zipClose(zf, nullptr), 0);
            }
            // Byte for byte the same archive, except for the internal attributes.
            std::string a = ReadTestFile(ours), b = ReadTestFile(theirs);
            ASSERT_EQ(a.size(), b.size());
            size_t internalAt = CentralDirStart(a) + 36;
            EXPECT_EQ(ReadLE(a, internalAt, 2), 0u);
            EXPECT_EQ(ReadLE(b, internalAt, 2), c.text ? 1u : 0u);
            PutLE(b, internalAt, 0, 2);
            EXPECT_TRUE(a == b);
            EXPECT_EQ(UnzipTest(ours), 0);
        }
    }
}

TEST(ZipHolders, IsZip64) {
    TempDir dir;
    UnzFileHolder none;
    EXPECT_EQ(IsZip64(none), 0);

    std::string entries =
        R"("entries": [{"name": "a.txt", "data": "alpha"}, {"name": "b.txt", "data": "beta"}])";
    MakePyZip(dir / "plain.zip", "{" + entries + "}");
    MakePyZip(dir / "zip64.zip", "{" + entries + R"(, "zip64_end": true})");
    // A stored last entry holding a locator signature with garbage after it: minizip finds the
    // signature near the end, rejects the locator and opens the archive normally.
    MakePyZip(
        dir / "fake.zip",
        R"({"entries": [{"name": "f.bin", "method": 0, "hex": "504b0607ffffffff1234567890abcdef05000000"}]})");
    WriteTestFile(dir / "tree/d/a.txt", "hello\n");
    ASSERT_EQ(RunShellCommand("cd " + dir.path() + "/tree && zip -qr -fz ../infozip64.zip d"), 0);
    ASSERT_EQ(RunShellCommand("cd " + dir.path() + "/tree && zip -qr ../infozip.zip d"), 0);

    struct Case {
        const char* name;
        int zip64;
    } cases[] = {
        {"plain.zip", 0}, {"zip64.zip", 1}, {"fake.zip", 0}, {"infozip64.zip", 1}, {"infozip.zip", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UnzFileHolder zf(dir / c.name);
        EXPECT_EQ(IsZip64(zf), c.zip64);
        EXPECT_FALSE(ReadEntries(dir / c.name).empty());
        zf.Reset();
        EXPECT_EQ(IsZip64(zf), 0);
    }
}

TEST(ZipHolders, SetCurrentFileTextFlag) {
    TempDir dir;
    std::string path = dir / "t.zip";
    ZipFileHolder zf;
    EXPECT_EQ(SetCurrentFileTextFlag(zf, 1), ZIP_PARAMERROR);
    zf.Open(path);
    EXPECT_EQ(SetCurrentFileTextFlag(zf, 1), ZIP_PARAMERROR);
    struct Case {
        uint32_t given;
        std::vector<int> flags;
        bool raw;
        uint32_t written;
    } cases[] = {
        {0, {1}, false, 1}, {3, {1}, false, 1}, {3, {0}, false, 3}, {0, {1, 0}, false, 0},
        {2, {}, false, 2},  {0, {3}, true, 1},  {1, {1}, false, 1}, {5, {2}, true, 5},
    };
    int index = 0;
    for (const Case& c : cases) {
        std::string name = "e" + std::to_string(index++);
        zf.OpenNewFile(name.c_str(), FileInfo(0x28210000, c.given, 0), c.raw ? 0 : 8, -1, c.raw);
        zf.WriteInFile("binary\0data", 11);
        for (int flag : c.flags) EXPECT_EQ(SetCurrentFileTextFlag(zf, flag), 0);
        if (c.raw)
            zf.CloseFileRaw(11, uint32_t(crc32(0, reinterpret_cast<const Bytef*>("binary\0data"), 11)));
        else
            zf.CloseFile();
    }
    EXPECT_EQ(SetCurrentFileTextFlag(zf, 1), ZIP_PARAMERROR);
    zf.Close();
    PyZipInfo info = ReadPyZipInfo(path);
    ASSERT_EQ(info.entries.size(), std::size(cases));
    for (size_t i = 0; i < info.entries.size(); i++)
        EXPECT_EQ(info.entries[i].internalAttr, cases[i].written) << i;
    EXPECT_EQ(UnzipTest(path), 0);
}

TEST(ZipHolders, CopyCurrentFileRawRequirements) {
    TempDir dir;
    std::string src = dir / "src.zip", data = TextBytes(200000);
    MakePyZip(src, R"({"entries": [{"name": "t.txt", "data": )" + JsonString(data) + "}]}");
    PyZipEntry source = ReadPyZipInfo(src).entries.at(0);
    std::vector<char> buffer(1000);
    UnzFileHolder from(src);
    ZipFileHolder to(dir / "out.zip");
    zip_fileinfo info = FileInfo(0x28210000, 0, 0);

    EXPECT_EQ(CopyCurrentFileRaw(from, to, buffer.data(), 1000), ZIP_PARAMERROR); // nothing open
    from.OpenCurrentFile(false);
    to.OpenNewFile("a", info, 8, -1, true);
    EXPECT_EQ(CopyCurrentFileRaw(from, to, buffer.data(), 1000), ZIP_PARAMERROR); // reader inflates
    from.CloseCurrentFile();
    from.OpenCurrentFile(true);
    EXPECT_EQ(CopyCurrentFileRaw(from, to, buffer.data(), 0), ZIP_PARAMERROR); // no buffer
    to.WriteInFile("x", 1);
    EXPECT_EQ(CopyCurrentFileRaw(from, to, buffer.data(), 1000), ZIP_PARAMERROR); // target written to
    to.CloseFileRaw(1, 0);
    to.OpenNewFile("b", info, 8, -1, false);
    EXPECT_EQ(CopyCurrentFileRaw(from, to, buffer.data(), 1000), ZIP_PARAMERROR); // target deflates
    to.CloseFile();

    // A fresh raw entry moves whole; a partly read one moves the rest.
    to.OpenNewFile("c", info, 8, -1, true);
    EXPECT_EQ(CopyCurrentFileRaw(from, to, buffer.data(), 1000), 0);
    to.CloseFileRaw(uint32_t(data.size()), source.crc);
    from.CloseCurrentFile();
    from.OpenCurrentFile(true);
    ASSERT_EQ(unzReadCurrentFile(from, buffer.data(), 10), 10);
    to.OpenNewFile("d", info, 8, -1, true);
    EXPECT_EQ(CopyCurrentFileRaw(from, to, buffer.data(), 1000), 0);
    to.CloseFileRaw(0, 0);
    from.CloseCurrentFile();
    to.Close();

    PyZipInfo out = ReadPyZipInfo(dir / "out.zip");
    ASSERT_EQ(out.entries.size(), 4u);
    std::string outBytes = ReadTestFile(dir / "out.zip"), srcBytes = ReadTestFile(src);
    EXPECT_EQ(CompressedBytes(outBytes, out.entries[2]), CompressedBytes(srcBytes, source));
    EXPECT_EQ(CompressedBytes(outBytes, out.entries[3]), CompressedBytes(srcBytes, source).substr(10));
    UnzFileHolder check(dir / "out.zip");
    CheckMinizip(unzLocateFile(check, "c", 1));
    check.OpenCurrentFile(false);
    std::vector<char> copied(data.size() + 1);
    EXPECT_EQ(unzReadCurrentFile(check, copied.data(), unsigned(copied.size())), int(data.size()));
    EXPECT_EQ(std::string(copied.data(), data.size()), data);
    check.CloseCurrentFile();
}

TEST(ZipHolders, CopyCurrentFileRawFailsOnShortSource) {
    TempDir dir;
    std::string path = dir / "short.zip";
    {
        ZipFileHolder zf(path);
        zf.OpenNewFile("s", FileInfo(0x28210000, 0, 0), 0, -1, false);
        zf.WriteInFile("0123456789", 10);
        zf.CloseFile();
        zf.Close();
    }
    // Claim far more compressed bytes than the file holds, in both headers.
    std::string bytes = ReadTestFile(path);
    uint32_t central = CentralDirStart(bytes);
    PutLE(bytes, 18, 100000, 4);
    PutLE(bytes, central + 20, 100000, 4);
    WriteTestFile(path, bytes);

    UnzFileHolder from(path);
    ZipFileHolder to(dir / "out.zip");
    std::vector<char> buffer(65536);
    from.OpenCurrentFile(true);
    to.OpenNewFile("s", FileInfo(0x28210000, 0, 0), 0, -1, true);
    EXPECT_EQ(CopyCurrentFileRaw(from, to, buffer.data(), unsigned(buffer.size())), -1);
}

// ------------------------------------------------------------------------------------------
// Byte ranges and the index

TEST(ZipIndex, ByterangesMatchHeaderOffsets) {
    TempDir dir;
    MakePyZip(dir / "py.zip",
              R"({"entries": [{"name": "one", "data": "1111"}, {"name": "dir/two", "method": 0,
        "data": "22"}, {"name": "three", "hex": ""}, {"name": "four", "data": )" +
                  JsonString(TextBytes(70000)) + "}]}");
    {
        ZipFileHolder zf(dir / "ours.zip");
        for (const char* name : {"x", "yy", "zzz"}) {
            zf.OpenNewFile(name, FileInfo(0x28210000, 0, 0), 8, 9, false);
            zf.WriteInFile(name, strlen(name));
            zf.CloseFile();
        }
        zf.Close();
    }
    for (const char* name : {"py.zip", "ours.zip"}) {
        SCOPED_TRACE(name);
        PyZipInfo info = ReadPyZipInfo(dir / name);
        UnzFileIndexed zf(dir / name);
        CheckMinizip(unzGoToFirstFile(zf));
        for (const PyZipEntry& e : info.entries) {
            uint32_t header = 1, data = 1, end = 1;
            GetCurrentFileByterange(zf, &header, &data, &end);
            EXPECT_EQ(header, e.headerOffset);
            EXPECT_EQ(data, e.DataStart());
            EXPECT_EQ(end, e.DataEnd());
            GetCurrentFileByterange(zf, nullptr, nullptr, nullptr);
            int status = unzGoToNextFile(zf);
            if (status != UNZ_END_OF_LIST_OF_FILE) CheckMinizip(status);
        }
    }
}

TEST(ZipIndex, LocateByByterangeWithCentralDirectoryOutOfOrder) {
    TempDir dir;
    std::string path = dir / "rev.zip";
    MakePyZip(path, R"({"reverse_cd": true, "entries": [{"name": "a", "data": "aaaaaaaaaaaa"},
        {"name": "b", "data": "bbbbbbbbbbbbbbbbbbbb"}, {"name": "c", "method": 0, "data": "cc"}]})");
    PyZipInfo info = ReadPyZipInfo(path);
    ASSERT_EQ(Names(info), (std::vector<std::string>{"c", "b", "a"}));
    UnzFileIndexed zf(path);
    for (const PyZipEntry& e : info.entries) {
        zf.LocateByByterange(uint32_t(e.headerOffset), uint32_t(e.DataEnd()));
        unz_file_info64 fi;
        std::string name;
        GetCurrentFileInfo(zf, &fi, &name);
        EXPECT_EQ(name, e.name);
    }
    const PyZipEntry& b = info.entries[1];
    for (uint64_t begin : {b.headerOffset + 1, b.DataStart(), b.DataEnd() - 1, uint64_t(100000)}) {
        uint32_t end = uint32_t(begin + 5);
        ExpectError([&] { zf.LocateByByterange(uint32_t(begin), end); }, lcGeneral,
                    "Failed to find file at byterange [" + std::to_string(begin) + ".." +
                        std::to_string(end) + "]");
    }
    // Reopening replaces the index.
    MakePyZip(dir / "other.zip", R"({"entries": [{"name": "solo", "data": "s"}]})");
    zf.Open(dir / "other.zip");
    ExpectError([&] { zf.LocateByByterange(uint32_t(info.entries[0].headerOffset), 1); }, lcGeneral,
                "Failed to find file at byterange [" + std::to_string(info.entries[0].headerOffset) + "..1]");
    zf.LocateByByterange(0, 1);
}

// ------------------------------------------------------------------------------------------
// MinizipCopyFile

TEST(MinizipCopyFile, RawKeepsBytesAndMetadataExactly) {
    TempDir dir;
    std::string src = dir / "src.zip", out = dir / "out.zip";
    std::string text = TextBytes(100000), binary = RandomBytes(30000, 4);
    MakePyZip(src, R"({"entries": [
        {"name": "t0", "flag": 0, "internal": 0, "external": 2175008800, "data": )" +
                       JsonString(text) + R"(},
        {"name": "t2", "flag": 2, "level": 9, "internal": 1, "external": 32, "date": [1999, 12, 31, 23, 59, 58], "data": )" +
                       JsonString(text) + R"(},
        {"name": "b4", "flag": 4, "level": 2, "internal": 1, "hex": ")" +
                       ToHex(binary) + R"("},
        {"name": "b6", "flag": 6, "level": 1, "internal": 3, "hex": ")" +
                       ToHex(binary) + R"("},
        {"name": "s", "method": 0, "internal": 0, "external": 16, "data": "stored"}]})");
    PyZipInfo srcInfo = ReadPyZipInfo(src);
    {
        UnzFileHolder from(src);
        ZipFileHolder to(out);
        CheckMinizip(unzGoToFirstFile(from));
        for (size_t i = 0; i < srcInfo.entries.size(); i++) {
            unz_file_info64 fi;
            std::string name;
            GetCurrentFileInfo(from, &fi, &name);
            MinizipCopyFile(from, to, ("copy/" + name).c_str(), int(fi.compression_method), int(fi.flag),
                            uint16_t(fi.internal_fa), uint32_t(fi.external_fa), uint32_t(fi.dosDate), true,
                            uint32_t(fi.crc), uint32_t(fi.uncompressed_size));
            int status = unzGoToNextFile(from);
            if (status != UNZ_END_OF_LIST_OF_FILE) CheckMinizip(status);
        }
        to.Close();
    }
    PyZipInfo outInfo = ReadPyZipInfo(out);
    ASSERT_EQ(outInfo.entries.size(), srcInfo.entries.size());
    std::string srcBytes = ReadTestFile(src), outBytes = ReadTestFile(out);
    for (size_t i = 0; i < srcInfo.entries.size(); i++) {
        const PyZipEntry &s = srcInfo.entries[i], &o = outInfo.entries[i];
        SCOPED_TRACE(s.name);
        EXPECT_EQ(o.name, "copy/" + s.name);
        EXPECT_EQ(o.flag, s.flag);
        EXPECT_EQ(o.method, s.method);
        EXPECT_EQ(o.internalAttr, s.internalAttr);
        EXPECT_EQ(o.externalAttr, s.externalAttr);
        EXPECT_EQ(o.dateTime, s.dateTime);
        EXPECT_EQ(o.crc, s.crc);
        EXPECT_EQ(o.fileSize, s.fileSize);
        EXPECT_EQ(CompressedBytes(outBytes, o), CompressedBytes(srcBytes, s));
        EXPECT_EQ(o.createSystem, 0);
        EXPECT_EQ(o.createVersion, 0);
        EXPECT_EQ(o.centralExtraLen + o.localExtraLen, 0);
    }
    EXPECT_EQ(UnzipTest(out), 0);
}

TEST(MinizipCopyFile, RecompressReproducesFlagsAndInternalAttribs) {
    TempDir dir;
    std::string src = dir / "src.zip", out = dir / "out.zip";
    std::string text = TextBytes(150000);
    MakePyZip(src, R"({"entries": [{"name": "t", "method": 0, "data": )" + JsonString(text) + "}]}");
    struct Case {
        int method, flag;
        uint16_t internal;
    } cases[] = {{8, 0, 0}, {8, 2, 0}, {8, 4, 3}, {8, 6, 1}, {0, 0, 0}, {8, 2, 2}};
    {
        UnzFileHolder from(src);
        ZipFileHolder to(out);
        CheckMinizip(unzGoToFirstFile(from));
        for (const Case& c : cases)
            MinizipCopyFile(from, to, "t", c.method, c.flag, c.internal, 0x81a40000, 0x28210000, false, 0, 0);
        to.Close();
    }
    PyZipInfo info = ReadPyZipInfo(out);
    ASSERT_EQ(info.entries.size(), std::size(cases));
    for (size_t i = 0; i < info.entries.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(info.entries[i].method, cases[i].method);
        EXPECT_EQ(info.entries[i].flag, cases[i].flag);
        EXPECT_EQ(info.entries[i].internalAttr, cases[i].internal);
        EXPECT_EQ(info.entries[i].externalAttr, 0x81a40000u);
        EXPECT_EQ(info.entries[i].crc,
                  uint32_t(crc32(0, reinterpret_cast<const Bytef*>(text.data()), uInt(text.size()))));
    }
    // Levels 9, 2 and 1 really differ in what they produce.
    EXPECT_LT(info.entries[1].compressSize, info.entries[3].compressSize);
    for (const Entry& e : ReadEntries(out)) EXPECT_EQ(e.data, text);
    EXPECT_EQ(UnzipTest(out), 0);
}

TEST(MinizipCopyFile, RecompressRefusesCrcMismatch) {
    TempDir dir;
    std::string src = dir / "src.zip";
    MakePyZip(src, R"({"entries": [{"name": "t", "method": 0, "data": "some stored text"}]})");
    PyZipEntry e = ReadPyZipInfo(src).entries.at(0);
    std::string bytes = ReadTestFile(src);
    bytes[size_t(e.DataStart()) + 3] ^= 1;
    WriteTestFile(src, bytes);
    UnzFileHolder from(src);
    ZipFileHolder to(dir / "out.zip");
    CheckMinizip(unzGoToFirstFile(from));
    ExpectError([&] { MinizipCopyFile(from, to, "t", 8, 2, 0, 0, 0x28210000, false, 0, 0); }, lcMinizipError,
                "Minizip error -105 (CRC mismatch, the data is damaged)");
}

// ------------------------------------------------------------------------------------------
// AppendCentralDirectory

TEST(AppendCentralDirectory, CompletesRunOfLocalEntries) {
    TempDir dir;
    std::string full = dir / "full.zip", path = dir / "local.bin";
    std::string binary = RandomBytes(20000, 5);
    {
        ZipFileHolder zf(full);
        zf.OpenNewFile("stored.txt", FileInfo(0x28210000, 0, 0), 0, -1, false);
        zf.WriteInFile("plain", 5);
        zf.CloseFile();
        zf.OpenNewFile("dir/deflated.bin", FileInfo(0x28210000, 0, 0), 8, 9, false);
        zf.WriteInFile(binary.data(), binary.size());
        zf.CloseFile();
        zf.OpenNewFile("empty", FileInfo(0x28210000, 0, 0), 8, 1, false);
        zf.CloseFile();
        zf.Close();
    }
    std::string bytes = ReadTestFile(full);
    PyZipInfo fullInfo = ReadPyZipInfo(full);
    WriteTestFile(path, bytes.substr(0, CentralDirStart(bytes)));

    uint32_t second = uint32_t(fullInfo.entries[1].headerOffset),
             third = uint32_t(fullInfo.entries[2].headerOffset);
    AppendCentralDirectory(path, {{third, 0x81ed0000, 1}, {0, 0x20, 1}, {12345, 7, 7}});
    PyZipInfo info = ReadPyZipInfo(path);
    ASSERT_EQ(Names(info), (std::vector<std::string>{"stored.txt", "dir/deflated.bin", "empty"}));
    uint32_t external[] = {0x20, 0, 0x81ed0000}, internal[] = {1, 0, 1};
    uint32_t offsets[] = {0, second, third};
    for (size_t i = 0; i < 3; i++) {
        const PyZipEntry &e = info.entries[i], &f = fullInfo.entries[i];
        EXPECT_EQ(e.externalAttr, external[i]);
        EXPECT_EQ(e.internalAttr, internal[i]);
        EXPECT_EQ(e.headerOffset, offsets[i]);
        EXPECT_EQ(e.createSystem, 0);
        EXPECT_EQ(e.createVersion, 0);
        EXPECT_EQ(e.flag, f.flag);
        EXPECT_EQ(e.crc, f.crc);
        EXPECT_EQ(e.dateTime, f.dateTime);
    }
    std::vector<Entry> entries = ReadEntries(path);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].data, "plain");
    EXPECT_EQ(entries[1].data, binary);
    EXPECT_EQ(entries[2].data, "");
    EXPECT_EQ(UnzipTest(path), 0);
    // The appended directory is what a writer without comments and extras would produce.
    EXPECT_EQ(ReadTestFile(path).size(), bytes.size());
}

// An empty file gets just the end record. (minizip itself cannot open such an archive: it
// never accepts an end record at offset 0.)
TEST(AppendCentralDirectory, EmptyFileBecomesEmptyArchive) {
    TempDir dir;
    WriteTestFile(dir / "e.zip", "");
    AppendCentralDirectory(dir / "e.zip", {});
    EXPECT_EQ(ReadTestFile(dir / "e.zip"), std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    PyZipInfo info = ReadPyZipInfo(dir / "e.zip");
    EXPECT_TRUE(info.entries.empty());
}

// What the installer takes for an archive of the game when only its state file names it: zips,
// also damaged ones and empty ones, but no other file; a FIFO is never opened.
TEST(LooksLikeZip, ZipsDamagedOrNotButNoOtherFile) {
    TempDir dir;
    std::string payload = std::string(70000, 'x');
    MakePyZip(dir / "a.zip",
              R"({"entries": [{"name": "big.bin", "method": 0, "data": ")" + payload + R"("}]})");
    std::string bytes = ReadTestFile(dir / "a.zip");
    WriteTestFile(dir / "empty.zip", std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    // The head overwritten: only the end record, within its reach, tells.
    WriteTestFile(dir / "headless.zip", "#" + bytes.substr(1));
    // Cut short: the end record is gone, the first local header stays.
    WriteTestFile(dir / "truncated.zip", bytes.substr(0, bytes.size() / 2));
    // An end record farther from the end than a comment can reach.
    WriteTestFile(dir / "far.bin", "#" + bytes.substr(1) + std::string(65536, ' '));
    WriteTestFile(dir / "save.sav", "savegame");
    WriteTestFile(dir / "nothing", "");
#ifdef _WIN32 // no FIFOs: a device name stands there
    const char* special = "nul.zip";
#else
    const char* special = "fifo.zip";
    ASSERT_EQ(mkfifo((dir / special).c_str(), 0600), 0);
#endif
    HangGuard guard;
    for (const char* name : {"a.zip", "empty.zip", "headless.zip", "truncated.zip"})
        EXPECT_TRUE(LooksLikeZip(dir / name)) << name;
    for (const char* name : {"far.bin", "save.sav", "nothing", special, "missing.zip"})
        EXPECT_FALSE(LooksLikeZip(dir / name)) << name;
}

TEST(AppendCentralDirectory, RefusesDamagedRunsNamingFileOffsetAndEntry) {
    TempDir dir;
    WriteTestFile(dir / "tree/d/a.txt", "hello\n");
    ASSERT_EQ(RunShellCommand("cd " + dir.path() + "/tree && zip -qr ../infozip.zip d"), 0);
    std::string infozip = ReadTestFile(dir / "infozip.zip");
    WriteTestFile(dir / "extra.bin", infozip.substr(0, CentralDirStart(infozip)));
    {
        ZipFileHolder zf(dir / "complete.zip");
        zf.OpenNewFile("x\ry", FileInfo(0x28210000, 0, 0), 0, -1, false);
        zf.WriteInFile("0123456789", 10);
        zf.CloseFile();
        zf.Close();
    }
    std::string complete = ReadTestFile(dir / "complete.zip");
    size_t dirStart = CentralDirStart(complete);
    WriteTestFile(dir / "truncated.bin", complete.substr(0, dirStart - 3));
    WriteTestFile(dir / "noname.bin", complete.substr(0, 31));

    struct Case {
        const char* file;
        std::string message;
    } cases[] = {{"extra.bin", "damaged at offset 0: entry d/ has an extra field (not supported)"},
                 {"complete.zip", "damaged at offset " + std::to_string(dirStart) + ": no local file header"},
                 {"truncated.bin", "damaged at offset 0: the file ends inside the data of entry x\\ry"},
                 {"noname.bin", "damaged at offset 0: the file ends inside a local file header"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ExpectError([&] { AppendCentralDirectory(dir / c.file, {}); }, lcGeneral,
                    "Zip file \"" + dir / c.file + "\" is " + c.message);
    }
    ExpectError([&] { AppendCentralDirectory(dir / "missing.bin", {}); }, lcCantOpenFile,
                "Failed to open file \"" + dir / "missing.bin" + "\"");

    // An entry with an empty name is no damage.
    {
        ZipFileHolder zf(dir / "noname.zip");
        zf.OpenNewFile("", FileInfo(0x28210000, 0, 0), 0, -1, false);
        zf.WriteInFile("data", 4);
        zf.CloseFile();
        zf.Close();
    }
    std::string noname = ReadTestFile(dir / "noname.zip");
    WriteTestFile(dir / "noname.zip", noname.substr(0, CentralDirStart(noname)));
    AppendCentralDirectory(dir / "noname.zip", {});
    EXPECT_EQ(ReadTestFile(dir / "noname.zip"), noname);
}

// ------------------------------------------------------------------------------------------
// NormalizeZip

namespace {

// Checks the properties of the normal form against the source archive's description.
void ExpectNormalForm(const std::string& normalized, const PyZipInfo& source,
                      const std::string& sourceBytes) {
    PyZipInfo info = ReadPyZipInfo(normalized);
    std::string bytes = ReadTestFile(normalized);
    std::vector<std::string> names = Names(info);
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_EQ(info.commentLen, 0);
    for (const PyZipEntry& e : info.entries) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(e.createSystem, 0);
        EXPECT_EQ(e.createVersion, 0);
        EXPECT_EQ(e.centralExtraLen, 0);
        EXPECT_EQ(e.localExtraLen, 0);
        EXPECT_EQ(e.commentLen, 0);
        EXPECT_EQ(e.flag & ~6, 0);
        EXPECT_LT(e.externalAttr, 0x100u);
        auto it = std::find_if(source.entries.begin(), source.entries.end(), [&](const PyZipEntry& s) {
            return s.name == e.name && CompressedBytes(sourceBytes, s) == CompressedBytes(bytes, e);
        });
        ASSERT_TRUE(it != source.entries.end()) << "compressed bytes changed";
        EXPECT_EQ(e.crc, it->crc);
        EXPECT_EQ(e.fileSize, it->fileSize);
        EXPECT_EQ(e.method, it->method);
        EXPECT_EQ(e.flag, it->flag);
        EXPECT_EQ(e.internalAttr, it->internalAttr);
        EXPECT_EQ(e.externalAttr, it->externalAttr & 0xff);
        EXPECT_EQ(e.dateTime, it->dateTime);
    }
    EXPECT_EQ(UnzipTest(normalized), 0);
}

} // namespace

TEST(NormalizeZip, InfoZipTreeReadBackUnchanged) {
    TempDir dir;
    std::vector<Entry> files = {{"game/readme.txt", TextBytes(5000)},
                                {"game/maps/level1.map", TextBytes(120000)},
                                {"game/maps/empty.map", ""},
                                {"game/textures/noise.dat", RandomBytes(90000, 6)},
                                {"game/bin/run.sh", "#!/bin/sh\necho run\n"}};
    for (const Entry& f : files) WriteTestFile(dir / ("tree/" + f.name), f.data);
    ASSERT_EQ(RunShellCommand("chmod 755 " + dir / "tree/game/bin/run.sh"), 0);
    ASSERT_EQ(RunShellCommand("mkdir -p " + dir / "tree/game/emptydir"), 0);
    std::string path = dir / "game.pk4";
    ASSERT_EQ(RunShellCommand("cd " + dir.path() + "/tree && zip -qr ../game.pk4 game"), 0);
    PyZipInfo source = ReadPyZipInfo(path);
    std::string sourceBytes = ReadTestFile(path);
    ASSERT_GT(source.entries[0].centralExtraLen, 0);
    ASSERT_EQ(source.entries[0].createSystem, 3);

    NormalizeZip(path);
    EXPECT_FALSE(IfFileExists(dir / "__normalized__game.pk4"));
    ExpectNormalForm(path, source, sourceBytes);
    std::vector<Entry> entries = ReadEntries(path);
    std::vector<Entry> expected = files;
    std::sort(expected.begin(), expected.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    ASSERT_EQ(entries.size(), expected.size());
    for (size_t i = 0; i < entries.size(); i++) {
        EXPECT_EQ(entries[i].name, expected[i].name);
        EXPECT_EQ(entries[i].data, expected[i].data) << entries[i].name;
    }

    // The normal form is a fixed point.
    std::string once = ReadTestFile(path);
    NormalizeZip(path);
    EXPECT_EQ(ReadTestFile(path), once);
}

TEST(NormalizeZip, SortsDropsDirectoriesMasksAttributes) {
    TempDir dir;
    std::string path = dir / "in.zip", out = dir / "out/normal.zip";
    ASSERT_EQ(RunShellCommand("mkdir -p " + dir / "out"), 0);
    MakePyZip(path, R"({"entries": [
        {"name": "b", "data": "bee", "external": 2175008800, "internal": 1},
        {"name": "a/", "method": 0, "external": 1106051088},
        {"name": "a/x", "data": "ex", "flag": 2, "external": 32},
        {"name": "d", "method": 0, "external": 16},
        {"name": "e", "method": 0, "external": 0},
        {"name": "f/", "method": 8, "external": 16},
        {"name": "g/", "method": 0, "data": "not empty"}]})");
    PyZipInfo source = ReadPyZipInfo(path);
    std::string sourceBytes = ReadTestFile(path);
    NormalizeZip(path, out);
    EXPECT_EQ(ReadTestFile(path), sourceBytes);
    EXPECT_FALSE(IfFileExists(dir / "out/__normalized__normal.zip"));
    PyZipInfo info = ReadPyZipInfo(out);
    EXPECT_EQ(Names(info), (std::vector<std::string>{"a/x", "b", "e", "f/", "g/"}));
    EXPECT_EQ(info.entries[1].externalAttr, 0x20u);
    EXPECT_EQ(info.entries[1].internalAttr, 1u);
    EXPECT_EQ(info.entries[3].externalAttr, 0x10u);
    ExpectNormalForm(out, source, sourceBytes);
}

// Python marks non-ASCII names as UTF-8 (flag bit 11); the normal form keeps the name's bytes
// without the mark, and the analysis takes the result.
TEST(NormalizeZip, Utf8NamesKeepTheirBytes) {
    TempDir dir;
    std::string path = dir / "fm.pk4";
    MakePyZip(path, R"({"entries": [{"name": "maps/h\u00e4fen.map", "data": "quay", "flag": 2},
        {"name": "readme.txt", "data": "plain"}]})");
    ASSERT_EQ(ReadPyZipInfo(path).entries.at(0).flag, 0x802u);
    NormalizeZip(path);
    PyZipInfo info = ReadPyZipInfo(path);
    EXPECT_EQ(Names(info), (std::vector<std::string>{"maps/h\xC3\xA4"
                                                     "fen.map",
                                                     "readme.txt"}));
    EXPECT_EQ(info.entries.at(0).flag, 2u);
    EXPECT_FALSE(IfFileExists(dir / "__normalized__fm.pk4"));
    Manifest manifest = AnalyzeZips(dir.path(), {path}, false, 1);
    ASSERT_EQ(manifest.size(), 2);
    EXPECT_EQ(manifest[0].filename, "maps/h\xC3\xA4"
                                    "fen.map");
}

TEST(NormalizeZip, EqualNamesKeepSourcePosition) {
    TempDir dir;
    std::string path = dir / "dup.zip";
    // The central directory lists the entries in reverse; the order of equal names still
    // follows their position in the file.
    MakePyZip(path, R"({"reverse_cd": true, "entries": [{"name": "same", "data": "first"},
        {"name": "other", "data": "o"}, {"name": "same", "data": "second"}, {"name": "same", "data": "third"}]})");
    NormalizeZip(path);
    std::vector<Entry> entries = ReadEntries(path);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].name, "other");
    EXPECT_EQ(entries[1].data, "first");
    EXPECT_EQ(entries[2].data, "second");
    EXPECT_EQ(entries[3].data, "third");
}

TEST(NormalizeZip, RefusesUnsupportedEntriesAndLeavesSourceAlone) {
    TempDir dir;
    struct Case {
        const char* entry;
        bool stream;
        std::string message;
    } cases[] = {
        {R"({"name": "z.bin", "method": 12, "data": "bzip2 data bzip2 data"})", false,
         "File z.bin has compression 12 (not supported)"},
        {R"({"name": "dd.txt", "data": "streamed"})", true, "File dd.txt has flags 8 (not supported)"},
        {R"({"name": "enc.txt", "flag": 1, "method": 0, "data": "x"})", false,
         "File enc.txt has flags 1 (not supported)"},
        {R"({"name": "i.txt", "internal": 2, "data": "x"})", false,
         "File i.txt has internal attribs 2 (not supported)"},
    };
    std::string out = dir / "out.zip", temp = dir / "__normalized__out.zip";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        std::string path = dir / "bad.zip";
        MakePyZip(path, std::string(R"({"entries": [{"name": "zz_fine.txt", "data": "fine"}, )") + c.entry +
                            R"(], "stream": )" + (c.stream ? "true" : "false") + "}");
        std::string before = ReadTestFile(path);
        ExpectError([&] { NormalizeZip(path); }, lcGeneral, c.message);
        EXPECT_EQ(ReadTestFile(path), before);
        EXPECT_FALSE(IfFileExists(dir / "__normalized__bad.zip"));
        ExpectError([&] { NormalizeZip(path, out); }, lcGeneral, c.message);
        EXPECT_FALSE(IfFileExists(out));
        EXPECT_FALSE(IfFileExists(temp));
    }
    // The leftover temporary of a run that was killed is replaced by the next one.
    WriteTestFile(temp, "garbage left behind");
    MakePyZip(dir / "good.zip", R"({"entries": [{"name": "k", "data": "kept"}]})");
    NormalizeZip(dir / "good.zip", out);
    EXPECT_FALSE(IfFileExists(temp));
    std::vector<Entry> entries = ReadEntries(out);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].data, "kept");
}

TEST(NormalizeZip, CorruptArchives) {
    TempDir dir;
    MakePyZip(dir / "good.zip",
              R"({"entries": [{"name": "a", "data": "aaaa"}, {"name": "b", "data": "bbbb"}]})");
    std::string good = ReadTestFile(dir / "good.zip");
    WriteTestFile(dir / "random.zip", RandomBytes(3000, 7));
    WriteTestFile(dir / "cut.zip", good.substr(0, good.size() - 30));
    WriteTestFile(dir / "cutend.zip", good.substr(0, good.size() - 10));
    MakePyZip(dir / "empty.zip", R"({"entries": []})");
    std::string badLocal = good;
    badLocal[0] = 'X';
    WriteTestFile(dir / "badlocal.zip", badLocal);

    for (const char* name : {"random.zip", "cut.zip", "missing.zip", "empty.zip"})
        ExpectError([&] { NormalizeZip(dir / name); }, lcCantOpenFile,
                    "Failed to open zip file \"" + dir / name + "\"");
    ExpectError([&] { NormalizeZip(dir / "badlocal.zip"); }, lcMinizipError,
                "Minizip error -103 (the archive is damaged or no zip file)");
    ExpectError([&] { NormalizeZip(dir / "cutend.zip"); }, lcMinizipError,
                "Minizip error -103 (the archive is damaged or no zip file)");
    EXPECT_EQ(ReadTestFile(dir / "badlocal.zip"), badLocal);

    // The central record's extra field is missing from the local header (its length zeroed).
    MakePyZip(dir / "extra.zip", R"({"entries": [{"name": "a", "data": "aaaa", "extra_hex": "feca0000"}]})");
    std::string extra = ReadTestFile(dir / "extra.zip");
    extra[28] = extra[29] = 0;
    WriteTestFile(dir / "extra.zip", extra);
    ExpectError([&] { NormalizeZip(dir / "extra.zip"); }, lcGeneral,
                "Zip file \"" + dir / "extra.zip" +
                    "\" is damaged: the local header of entry a is shorter than its central record says");
}

// Offsets beyond 2 GiB (an archive of 3 GiB without Zip64, kept sparse on disk): the central
// directory, the index and the byte ranges work with them without wrapping.
TEST(LargeArchive, OffsetsBeyondTwoGigabytes) {
    TempDir dir;
    std::string path = dir / "big.zip";
    const uint32_t bigSize = 3u << 30;
    auto header = [](const std::string& name, uint32_t size, uint32_t crc) {
        std::string h(30, '\0');
        PutLE(h, 0, 0x04034b50, 4);
        PutLE(h, 4, 20, 2);
        PutLE(h, 10, 0, 2);
        PutLE(h, 12, 0x2821, 2);
        PutLE(h, 14, crc, 4);
        PutLE(h, 18, size, 4);
        PutLE(h, 22, size, 4);
        PutLE(h, 26, uint32_t(name.size()), 2);
        return h + name;
    };
    const uint64_t second = 30 + 7 + uint64_t(bigSize);
    {
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_TRUE(f != nullptr);
        std::string first = header("big.bin", bigSize, 0);
        std::string small =
            header("small.txt", 5, uint32_t(crc32(0, reinterpret_cast<const Bytef*>("hello"), 5))) + "hello";
        fwrite(first.data(), 1, first.size(), f);
        ASSERT_EQ(FileSeek64(f, int64_t(second), SEEK_SET), 0);
        fwrite(small.data(), 1, small.size(), f);
        ASSERT_EQ(fclose(f), 0);
    }
    AppendCentralDirectory(path, {{uint32_t(second), 0x20, 1}});

    UnzFileIndexed zf(path);
    EXPECT_EQ(IsZip64(zf), 0);
    zf.LocateByByterange(uint32_t(second), uint32_t(second + 30 + 9 + 5));
    unz_file_info64 info;
    std::string name;
    GetCurrentFileInfo(zf, &info, &name);
    EXPECT_EQ(name, "small.txt");
    EXPECT_EQ(info.external_fa, 0x20u);
    uint32_t begin = 0, data = 0, end = 0;
    GetCurrentFileByterange(zf, &begin, &data, &end);
    EXPECT_EQ(begin, second);
    EXPECT_EQ(data, second + 39);
    EXPECT_EQ(end, second + 44);
    zf.OpenCurrentFile(false);
    char buffer[16];
    EXPECT_EQ(unzReadCurrentFile(zf, buffer, sizeof(buffer)), 5);
    zf.CloseCurrentFile();
    EXPECT_EQ(std::string(buffer, 5), "hello");
    zf.LocateByByterange(0, 1);
    GetCurrentFileByterange(zf, &begin, &data, &end);
    EXPECT_EQ(end, 37 + uint64_t(bigSize));
}

// Archives with more entries than the 16-bit count of a plain end record holds: writers without
// Zip64 leave the count wrapped (65,536 entries read as 0, 70,000 as 4,464), and reading only
// that many would lose entries silently, also when normalization rewrites the archive in place.
TEST(LargeArchive, EntryCountsAroundSixteenBits) {
    TempDir dir;
    // count stored one-byte entries "e00000", ... in the accepted subset, the count in the end
    // record cut to 16 bits.
    const char* script = R"(
import struct, sys, zlib
path, count = sys.argv[1], int(sys.argv[2])
local, central = bytearray(), bytearray()
crc = zlib.crc32(b"x")
for i in range(count):
    name = b"e%05d" % i
    central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014b50, 0, 20, 0, 0, 0, 0x2821, crc, 1, 1,
                           len(name), 0, 0, 0, 0, 0, len(local)) + name
    local += struct.pack("<IHHHHHIIIHH", 0x04034b50, 20, 0, 0, 0, 0x2821, crc, 1, 1, len(name), 0)
    local += name + b"x"
end = struct.pack("<IHHHHIIH", 0x06054b50, 0, 0, count & 0xffff, count & 0xffff, len(central),
                  len(local), 0)
open(path, "wb").write(local + central + end)
)";
    WriteTestFile(dir / "many.py", script);
    for (int count : {65535, 65536, 70000}) {
        SCOPED_TRACE(count);
        std::string path = dir / ("many" + std::to_string(count) + ".zip");
        ASSERT_EQ(RunShellCommand("python3 " + dir / "many.py" + " " + path + " " + std::to_string(count)),
                  0);
        std::string before = ReadTestFile(path);
        if (count == 65535) {
            Manifest manifest = AnalyzeZips(dir.path(), {path}, false, 1);
            ASSERT_EQ(manifest.size(), count);
            EXPECT_EQ(manifest[count - 1].filename, "e65534");
            NormalizeZip(path, dir / "normal.zip");
            EXPECT_EQ(AnalyzeZips(dir.path(), {dir / "normal.zip"}, false, 1).size(), count);
            continue;
        }
        std::string message = "Zip file \"" + path + "\" has " + std::to_string(count) +
                              " entries, more than 65535 (Zip64 is not supported)";
        ExpectError([&] { AnalyzeZips(dir.path(), {path}, true, 1); }, lcGeneral, message);
        ExpectError([&] { NormalizeZip(path); }, lcGeneral, message);
        EXPECT_EQ(ReadTestFile(path), before);
    }
    // An end record that counts fewer entries than its directory holds, without any wrap.
    std::string two = dir / "two.zip";
    ASSERT_EQ(RunShellCommand("python3 " + dir / "many.py" + " " + two + " 2"), 0);
    std::string bytes = ReadTestFile(two);
    PutLE(bytes, bytes.size() - 12, 1, 2);
    PutLE(bytes, bytes.size() - 14, 1, 2);
    WriteTestFile(two, bytes);
    ExpectError([&] { UnzFileIndexed index(two); }, lcGeneral,
                "Zip file \"" + two +
                    "\" is damaged: its central directory does not end where its count of 1 entries says");
}

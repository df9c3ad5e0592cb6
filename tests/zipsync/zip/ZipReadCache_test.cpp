// The cached reading stream under minizip: every read at every position returns the file's
// bytes, whether inside a window, across two, larger than a window or past the end, and
// minizip reads whole archives through it.
#include "zip/internal/ZipReadCache.h"

#include "TempDir.h"
#include "zip/ZipAnalysis.h"
#include "zip/ZipHolders.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <string>

using namespace ZipSync;

namespace {

std::string Noise(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; i++) {
        seed = seed * 1664525u + 1013904223u;
        out[i] = char(seed >> 24);
    }
    return out;
}

// The cached stream on one file, opened and closed through the function table.
class Stream {
public:
    explicit Stream(const std::string& path) {
        FillCachedReadFileFuncs(&_funcs);
        _stream = _funcs.zopen64_file(_funcs.opaque, path.c_str(),
                                      ZLIB_FILEFUNC_MODE_READ | ZLIB_FILEFUNC_MODE_EXISTING);
    }
    ~Stream() {
        if (_stream) _funcs.zclose_file(_funcs.opaque, _stream);
    }
    bool ok() const { return _stream != nullptr; }
    std::string ReadAt(uint64_t pos, size_t size) {
        EXPECT_EQ(_funcs.zseek64_file(_funcs.opaque, _stream, pos, ZLIB_FILEFUNC_SEEK_SET), 0);
        std::string out(size, '\0');
        uLong got = _funcs.zread_file(_funcs.opaque, _stream, &out[0], uLong(size));
        out.resize(got);
        EXPECT_EQ(_funcs.ztell64_file(_funcs.opaque, _stream), pos + got);
        return out;
    }
    const zlib_filefunc64_def& funcs() const { return _funcs; }
    voidpf stream() const { return _stream; }

private:
    zlib_filefunc64_def _funcs;
    voidpf _stream = nullptr;
};

} // namespace

TEST(ZipReadCache, ReadsGiveTheFileBytesEverywhere) {
    TempDir dir;
    const size_t size = 300000;
    std::string bytes = Noise(size, 7);
    WriteTestFile(dir / "f.bin", bytes);
    Stream stream(dir / "f.bin");
    ASSERT_TRUE(stream.ok());
    struct Case {
        uint64_t pos;
        size_t size;
    } cases[] = {
        {0, 30},       {100, 46},       {250000, 22},      {40, 4000}, // fills and hits
        {65530, 100},  {131000, 70000}, {65536, 65535},    {0, 65536}, // across, large
        {299990, 100}, {size, 10},      {size + 5000, 10}, {10, 0},    // end and beyond
        {200000, 1},   {20, 30},        {199999, 3},       {299999, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.pos << " +" << c.size);
        std::string expected = c.pos < size ? bytes.substr(size_t(c.pos), c.size) : "";
        EXPECT_EQ(stream.ReadAt(c.pos, c.size), expected);
    }
    // Relative and end-based seeks.
    const zlib_filefunc64_def& f = stream.funcs();
    EXPECT_EQ(f.zseek64_file(f.opaque, stream.stream(), 0, ZLIB_FILEFUNC_SEEK_END), 0);
    EXPECT_EQ(f.ztell64_file(f.opaque, stream.stream()), size);
    EXPECT_EQ(f.zseek64_file(f.opaque, stream.stream(), 1000, ZLIB_FILEFUNC_SEEK_SET), 0);
    EXPECT_EQ(f.zseek64_file(f.opaque, stream.stream(), 24, ZLIB_FILEFUNC_SEEK_CUR), 0);
    char two[2];
    EXPECT_EQ(f.zread_file(f.opaque, stream.stream(), two, 2), 2u);
    EXPECT_EQ(std::string(two, 2), bytes.substr(1024, 2));
    EXPECT_EQ(f.zerror_file(f.opaque, stream.stream()), 0);
}

TEST(ZipReadCache, OpensOnlyExistingFilesForReading) {
    TempDir dir;
    WriteTestFile(dir / "f.bin", "x");
    zlib_filefunc64_def funcs;
    FillCachedReadFileFuncs(&funcs);
    EXPECT_EQ(funcs.zopen64_file(funcs.opaque, (dir / "missing").c_str(), ZLIB_FILEFUNC_MODE_READ), nullptr);
    EXPECT_EQ(funcs.zopen64_file(funcs.opaque, (dir / "f.bin").c_str(), ZLIB_FILEFUNC_MODE_CREATE), nullptr);
    EXPECT_EQ(ReadTestFile(dir / "f.bin"), "x");
}

// An archive of many entries whose directory and data lie far apart: reading every entry
// through minizip on the cached stream gives back every byte.
TEST(ZipReadCache, MinizipReadsAWholeArchive) {
    TempDir dir;
    std::vector<std::string> contents;
    {
        ZipFileHolder zf(dir / "a.zip");
        for (int i = 0; i < 300; i++) {
            contents.push_back(Noise(size_t(i % 7 == 0 ? 90000 : 50 + i * 37), uint32_t(i)));
            zip_fileinfo info = {};
            info.dosDate = 0x5A8C6B2F;
            std::string name = "e" + std::to_string(i);
            zf.OpenNewFile(name.c_str(), info, i % 2 ? 8 : 0, -1, false);
            zf.WriteInFile(contents.back().data(), contents.back().size());
            zf.CloseFile();
        }
        zf.Close();
    }
    UnzFileHolder zf(dir / "a.zip");
    int index = 0;
    for (int status = unzGoToFirstFile(zf); status != UNZ_END_OF_LIST_OF_FILE; status = unzGoToNextFile(zf)) {
        ASSERT_EQ(status, UNZ_OK);
        zf.OpenCurrentFile(false);
        std::string got(contents[index].size() + 10, '\0');
        int read = unzReadCurrentFile(zf, &got[0], unsigned(got.size()));
        ASSERT_GE(read, 0);
        got.resize(size_t(read));
        zf.CloseCurrentFile(); // checks the CRC
        EXPECT_EQ(got, contents[index]) << index;
        index++;
    }
    EXPECT_EQ(index, 300);
}

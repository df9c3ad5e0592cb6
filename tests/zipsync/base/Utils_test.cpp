// File helpers: the stdio owner, 64-bit sizes, whole-file reads.
#include "CatchError.h"
#include "TempDir.h"
#include "base/Hash.h"
#include "base/Utils.h"

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#endif
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

// Whether the stream behind a file descriptor is still open.
bool IsOpenDescriptor(int fd) {
#ifdef _WIN32
    return _get_osfhandle(fd) != -1;
#else
    return fcntl(fd, F_GETFD) != -1;
#endif
}

} // namespace

TEST(Utils, StdioFileHolderOpensAndCloses) {
    TempDir dir;
    WriteTestFile(dir / "f", "abc");
    int fd = -1;
    {
        StdioFileHolder file(dir / "f", "rb");
        ASSERT_NE(file.get(), nullptr);
        fd = fileno(file);
        char buf[4] = {};
        EXPECT_EQ(fread(buf, 1, 4, file), 3u);
        EXPECT_STREQ(buf, "abc");
        EXPECT_TRUE(IsOpenDescriptor(fd));
    }
    EXPECT_FALSE(IsOpenDescriptor(fd));

    CaughtError error = CatchError([&] { StdioFileHolder file(dir / "missing", "rb"); });
    EXPECT_EQ(error.message, "Failed to open file \"" + (dir / "missing") + "\"");
    EXPECT_EQ(error.code, lcCantOpenFile);
    error = CatchError([&] { StdioFileHolder file(dir / "no/dir/f", "wb"); });
    EXPECT_EQ(error.code, lcCantOpenFile);
}

TEST(Utils, StdioFileHolderMovesOwnership) {
    TempDir dir;
    WriteTestFile(dir / "f", "abc");
    StdioFileHolder outer;
    EXPECT_EQ(outer.get(), nullptr);
    int fd = -1;
    {
        StdioFileHolder inner(dir / "f", "rb");
        fd = fileno(inner);
        StdioFileHolder moved(std::move(inner));
        EXPECT_EQ(inner.get(), nullptr);
        outer = std::move(moved);
        EXPECT_EQ(moved.get(), nullptr);
    }
    EXPECT_TRUE(IsOpenDescriptor(fd));
    EXPECT_EQ(fgetc(outer), 'a');

    // Move-assigning over an open holder closes what it held.
    StdioFileHolder other(dir / "f", "rb");
    int otherFd = fileno(other);
    other = std::move(outer);
    EXPECT_FALSE(IsOpenDescriptor(otherFd));
    EXPECT_EQ(fileno(other), fd);

    FILE* raw = other.release();
    EXPECT_EQ(other.get(), nullptr);
    StdioFileHolder adopted(raw);
    EXPECT_EQ(adopted.reset(), 0);
    EXPECT_FALSE(IsOpenDescriptor(fd));
    EXPECT_EQ(adopted.get(), nullptr);
    EXPECT_EQ(adopted.reset(), 0);
}

TEST(Utils, SizeOfFile) {
    TempDir dir;
    WriteTestFile(dir / "empty", "");
    WriteTestFile(dir / "small", std::string(70000, 'x'));
    EXPECT_EQ(SizeOfFile(dir / "empty"), 0u);
    EXPECT_EQ(SizeOfFile(dir / "small"), 70000u);
    CaughtError error = CatchError([&] { SizeOfFile(dir / "missing"); });
    EXPECT_EQ(error.message, "Failed to open file \"" + (dir / "missing") + "\"");
    EXPECT_EQ(error.code, lcCantOpenFile);
}

TEST(Utils, SizeOfFileBeyond32Bits) {
    // Sparse files: no disk space is used, but the sizes do not fit 31 or 32 bits.
    TempDir dir;
    const uint64_t sizes[] = {3ull << 30, (4ull << 30) - 1, 4ull << 30, (5ull << 30) + 7};
    for (uint64_t size : sizes) {
        const std::string path = dir / "sparse";
        WriteTestFile(path, "");
        std::error_code ec;
        fs::resize_file(path, size, ec);
        if (ec) GTEST_SKIP() << "cannot make sparse files here: " << ec.message();
        EXPECT_EQ(SizeOfFile(path), size);
    }
}

TEST(Utils, ReadWholeFile) {
    TempDir dir;
    std::string bytes;
    for (int i = 0; i < 200000; i++) bytes += char(i * 31 + i / 256);
    WriteTestFile(dir / "bin", bytes);
    std::vector<uint8_t> read = ReadWholeFile(dir / "bin");
    EXPECT_EQ(std::string(read.begin(), read.end()), bytes);

    WriteTestFile(dir / "empty", "");
    EXPECT_TRUE(ReadWholeFile(dir / "empty").empty());

    CaughtError error = CatchError([&] { ReadWholeFile(dir / "missing"); });
    EXPECT_EQ(error.message, "Failed to open file \"" + (dir / "missing") + "\"");
    EXPECT_EQ(error.code, lcCantOpenFile);

    // POSIX would open a directory for reading; it counts as no file.
    fs::create_directories(dir / "sub");
    error = CatchError([&] { ReadWholeFile(dir / "sub"); });
    EXPECT_EQ(error.message, "Failed to open file \"" + (dir / "sub") + "\"");
    EXPECT_EQ(error.code, lcCantOpenFile);
    EXPECT_EQ(CatchError([&] { SizeOfFile(dir / "sub"); }).code, lcCantOpenFile);
    EXPECT_EQ(CatchError([&] { StdioFileHolder file(dir / "sub", "rb"); }).code, lcCantOpenFile);
}

// A file read whole may hold the bound exactly; one byte more, or an endless file behind a
// link, fails naming the file and the bound, without reading on.
TEST(Utils, ReadWholeFileStopsAtItsBound) {
    TempDir dir;
    WriteTestFile(dir / "ten", "0123456789");
    EXPECT_EQ(ReadWholeTextFile(dir / "ten", 10), "0123456789");
    ExpectError([&] { ReadWholeFile(dir / "ten", 9); }, lcGeneral,
                "File \"" + (dir / "ten") + "\" is larger than the limit of 9 bytes");
#ifndef _WIN32 // a file that never ends, through a link
    fs::create_symlink("/dev/zero", dir / "zero.ini");
    ExpectError([&] { ReadWholeTextFile(dir / "zero.ini", 1 << 20); }, lcGeneral,
                "File \"" + (dir / "zero.ini") + "\" is larger than the limit of 1048576 bytes");
#endif
}

TEST(Utils, DigestOfFileMatchesPython) {
    // An independent BLAKE2s implementation (Python's hashlib) over the same file.
    TempDir dir;
    std::string bytes;
    for (int i = 0; i < 100003; i++) bytes += char((i * 2654435761u) >> 13);
    WriteTestFile(dir / "data", bytes);
    std::string command = "python3 -c \"import hashlib,sys; "
                          "print(hashlib.blake2s(open(sys.argv[1],'rb').read()).hexdigest(), end='')\" " +
                          (dir / "data") + " > " + (dir / "digest");
    ASSERT_EQ(RunShellCommand(command), 0);
    std::vector<uint8_t> read = ReadWholeFile(dir / "data");
    Hasher hasher;
    hasher.Update(read.data(), read.size());
    EXPECT_EQ(hasher.Finalize().Hex(), ReadTestFile(dir / "digest"));
    // Read in chunks, of which the last is short.
    EXPECT_EQ(DigestOfFile(dir / "data").Hex(), ReadTestFile(dir / "digest"));
}

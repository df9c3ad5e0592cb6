// Checksummed zips: the exact layout written, reading with verification, the refusals, and the
// INI files stored through them.
#include "CatchError.h"
#include "TempDir.h"
#include "TestDigest.h"
#include "ZipFixture.h"
#include "base/Logging.h"
#include "base/Utils.h"
#include "net/Downloader.h"
#include "zip/ChecksummedZip.h"
#include "zip/IniFile.h"
#include "zip/ZipUtils.h"

#include <functional>
#include <gtest/gtest.h>

using namespace ZipSync;

namespace {

std::string AsString(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// A checksummed zip written by Python: "hash.txt" with the given text, then the payload.
void MakeForeign(const std::string& path, const std::string& hashText, const std::string& payload,
                 const std::string& payloadName = "data.ini") {
    MakePyZip(path, R"({"entries": [{"name": "hash.txt", "method": 0, "data": )" + JsonString(hashText) +
                        R"(}, {"name": )" + JsonString(payloadName) + R"(, "data": )" + JsonString(payload) +
                        "}]}");
}

const std::string kPayload = "[version]\nname=1.2\n\n[file]\nzip=a.pk4\nname=maps/x.map\n\n";

} // namespace

TEST(ChecksummedZip, LayoutIsFixed) {
    TempDir dir;
    std::string path = dir / "m.iniz";
    WriteChecksummedZip(path, kPayload.data(), kPayload.size(), "data.ini");
    std::string bytes = ReadTestFile(path);
    std::string text = CHECKSUMMED_HASH_PREFIX + Digest(kPayload).Hex();
    ASSERT_EQ(text.size(), 69u);
    EXPECT_EQ(bytes.substr(30, 8), "hash.txt");
    EXPECT_EQ(bytes.substr(38, 69), text);

    PyZipInfo info = ReadPyZipInfo(path);
    ASSERT_EQ(info.entries.size(), 2u);
    EXPECT_EQ(info.commentLen, 0);
    const PyZipEntry &hash = info.entries[0], &data = info.entries[1];
    EXPECT_EQ(hash.name, "hash.txt");
    EXPECT_EQ(hash.method, 0);
    EXPECT_EQ(hash.flag, 0);
    EXPECT_EQ(hash.fileSize, 69u);
    EXPECT_EQ(data.name, "data.ini");
    EXPECT_EQ(data.method, 8);
    EXPECT_EQ(data.flag, 2); // level 9
    EXPECT_EQ(data.fileSize, kPayload.size());
    for (const PyZipEntry& e : info.entries) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(e.dateTime, "2000-01-01 00:00:00");
        EXPECT_EQ(e.internalAttr, 0u); // even for the text payload
        EXPECT_EQ(e.externalAttr, 0u);
        EXPECT_EQ(e.centralExtraLen + e.localExtraLen + e.commentLen, 0);
    }
    EXPECT_EQ(UnzipTest(path), 0);
}

TEST(ChecksummedZip, SamePayloadGivesSameBytes) {
    TempDir dir;
    std::string big;
    for (int i = 0; i < 20000; i++)
        big += "key" + std::to_string(i) + "=value " + std::to_string(i * 31) + "\n";
    for (const std::string& payload : {kPayload, big, std::string()}) {
        WriteChecksummedZip(dir / "a.iniz", payload.data(), payload.size(), "data.ini");
        WriteTestFile(dir / "b.iniz", "an older file in the way");
        WriteChecksummedZip(dir / "b.iniz", payload.data(), payload.size(), "data.ini");
        EXPECT_EQ(ReadTestFile(dir / "a.iniz"), ReadTestFile(dir / "b.iniz"));
        EXPECT_EQ(ReadChecksummedZipHash(dir / "a.iniz"), Digest(payload));
        EXPECT_EQ(AsString(ReadChecksummedZip(dir / "a.iniz", "data.ini")), payload);
    }
    std::string other = kPayload + "#";
    WriteChecksummedZip(dir / "b.iniz", other.data(), other.size(), "data.ini");
    EXPECT_NE(ReadTestFile(dir / "a.iniz"), ReadTestFile(dir / "b.iniz"));
}

TEST(ChecksummedZip, BinaryPayloadUnderOtherName) {
    TempDir dir;
    std::string exe;
    for (int i = 0; i < 300000; i++) exe += char((i * 2654435761u) >> 13);
    WriteChecksummedZip(dir / "setup.zip", exe.data(), exe.size(), "qmh_installer");
    EXPECT_EQ(AsString(ReadChecksummedZip(dir / "setup.zip", "qmh_installer")), exe);
    ExpectError([&] { ReadChecksummedZip(dir / "setup.zip", "data.ini"); }, lcGeneral,
                "Checksummed zip \"" + dir / "setup.zip" + "\" holds no \"data.ini\"");
    ExpectError([&] { ReadChecksummedZip(dir / "setup.zip", "QMH_INSTALLER"); }, lcGeneral,
                "Checksummed zip \"" + dir / "setup.zip" + "\" holds no \"QMH_INSTALLER\"");
}

TEST(ChecksummedZip, ReadsForeignWriterAndRefusesTampering) {
    TempDir dir;
    std::string text = CHECKSUMMED_HASH_PREFIX + Digest(kPayload).Hex();
    MakeForeign(dir / "good.iniz", text, kPayload);
    EXPECT_EQ(AsString(ReadChecksummedZip(dir / "good.iniz", "data.ini")), kPayload);

    // Re-zipped with a consistent CRC, but the payload no longer matches the digest.
    std::string altered = kPayload;
    altered[12] = '3';
    MakeForeign(dir / "tampered.iniz", text, altered);
    EXPECT_EQ(ReadChecksummedZipHash(dir / "tampered.iniz"), Digest(kPayload));
    ExpectError([&] { ReadChecksummedZip(dir / "tampered.iniz", "data.ini"); }, lcGeneral,
                "Checksummed zip \"" + dir / "tampered.iniz" + "\" is damaged: the digest of data.ini is " +
                    Digest(altered).Hex() + " instead of " + Digest(kPayload).Hex());

    // Bytes flipped inside the compressed payload: the CRC check refuses them.
    WriteChecksummedZip(dir / "flipped.iniz", kPayload.data(), kPayload.size(), "data.ini");
    std::string bytes = ReadTestFile(dir / "flipped.iniz");
    PyZipEntry data = ReadPyZipInfo(dir / "flipped.iniz").entries.at(1);
    bytes[size_t(data.DataStart() + data.compressSize / 2)] ^= 0x10;
    WriteTestFile(dir / "flipped.iniz", bytes);
    try {
        ReadChecksummedZip(dir / "flipped.iniz", "data.ini");
        ADD_FAILURE() << "corrupt payload accepted";
    } catch (const ErrorException& e) {
        EXPECT_EQ(e.code, lcMinizipError) << e.what();
    }
}

TEST(ChecksummedZip, HashEntryRefusals) {
    TempDir dir;
    std::string hex = Digest(kPayload).Hex();
    std::string upper = hex;
    for (char& c : upper) c = char(toupper(c));
    size_t firstLetter = upper.find_first_of("ABCDEF");
    ASSERT_NE(firstLetter, std::string::npos);

    MakeForeign(dir / "newline.iniz", "zsMH:" + hex + "\n", kPayload);
    MakeForeign(dir / "short.iniz", "zsMH:" + hex.substr(1), kPayload);
    MakeForeign(dir / "marker.iniz", "zsmh:" + hex, kPayload);
    MakeForeign(dir / "upper.iniz", "zsMH:" + upper, kPayload);
    MakePyZip(dir / "nohash.iniz", R"({"entries": [{"name": "data.ini", "data": "[a]\n"}]})");
    MakeForeign(dir / "case.iniz", "zsMH:" + hex, kPayload);
    {
        // The entry name is matched case-sensitively.
        std::string bytes = ReadTestFile(dir / "case.iniz");
        for (size_t pos = 0; (pos = bytes.find("hash.txt", pos)) != std::string::npos;)
            bytes.replace(pos, 8, "HASH.txt");
        WriteTestFile(dir / "case.iniz", bytes);
    }

    struct Case {
        const char* name;
        const char* problem;
    } cases[] = {{"newline.iniz", "hash.txt holds 70 bytes instead of 69"},
                 {"short.iniz", "hash.txt holds 68 bytes instead of 69"},
                 {"marker.iniz", "hash.txt holds no digest after \"zsMH:\""},
                 {"upper.iniz", "hash.txt holds no digest after \"zsMH:\""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string message = "Checksummed zip \"" + dir / c.name + "\" is damaged: " + c.problem;
        ExpectError([&] { ReadChecksummedZipHash(dir / c.name); }, lcGeneral, message);
        ExpectError([&] { ReadChecksummedZip(dir / c.name, "data.ini"); }, lcGeneral, message);
    }
    for (const char* name : {"nohash.iniz", "case.iniz"})
        ExpectError([&] { ReadChecksummedZip(dir / name, "data.ini"); }, lcGeneral,
                    "Checksummed zip \"" + dir / name + "\" holds no \"hash.txt\"");
    ExpectError([&] { ReadChecksummedZipHash(dir / "missing.iniz"); }, lcCantOpenFile,
                "Failed to open zip file \"" + dir / "missing.iniz" + "\"");
}

TEST(ChecksummedZip, IniFilesByName) {
    TempDir dir;
    IniData data = {{"A", {{"k", "v"}, {"x", "a=b"}}}, {"B", {}}};
    WriteIniFile(dir / "manifest.iniz", data);
    WriteIniFile(dir / "state.ini", data);
    std::string text = "[A]\nk=v\nx=a=b\n\n[B]\n\n";
    EXPECT_EQ(ReadTestFile(dir / "state.ini"), text);
    EXPECT_EQ(AsString(ReadChecksummedZip(dir / "manifest.iniz", "data.ini")), text);
    EXPECT_EQ(ReadIniFile(dir / "manifest.iniz"), data);
    EXPECT_EQ(ReadIniFile(dir / "state.ini"), data);
    // The selector overrides the name.
    WriteIniFile(dir / "zipped.ini", data, INI_FORMAT_CHECKSUMMED_ZIP);
    EXPECT_EQ(ReadChecksummedZipHash(dir / "zipped.ini"), Digest(text));
    EXPECT_EQ(ReadIniFile(dir / "zipped.ini", INI_FORMAT_CHECKSUMMED_ZIP), data);

    std::string altered = "[A]\nk=w\n\n";
    MakeForeign(dir / "tampered.iniz", CHECKSUMMED_HASH_PREFIX + Digest(text).Hex(), altered);
    EXPECT_EQ(CatchError([&] { ReadIniFile(dir / "tampered.iniz"); }).message,
              "Checksummed zip \"" + dir / "tampered.iniz" + "\" is damaged: the digest of data.ini is " +
                  Digest(altered).Hex() + " instead of " + Digest(text).Hex());
}

// A small checksummed zip whose payload claims 4 GiB (a zip bomb) is refused before anything is
// inflated, by every reader of checksummed INI files.
TEST(ChecksummedZip, PayloadDeclaringMoreThanTheBoundIsRefused) {
    TempDir dir;
    std::string path = dir / "bomb.iniz";
    std::string zeros(4 << 20, '\0');
    WriteChecksummedZip(path, zeros.data(), zeros.size(), "data.ini");
    std::string bytes = ReadTestFile(path);
    auto declare = [&bytes](size_t offset) {
        for (int i = 0; i < 4; i++) bytes[offset + i] = char(0xFF);
    };
    declare(size_t(ReadPyZipInfo(path).entries.at(1).headerOffset) + 22);
    declare(bytes.rfind(std::string("PK\x01\x02", 4)) + 24);
    WriteTestFile(path, bytes);
    std::string message = "Payload \"data.ini\" of " + path + " declares 4294967295 bytes, more than " +
                          std::to_string(MAX_MANIFEST_SIZE);
    ExpectError([&] { ReadChecksummedZip(path, "data.ini"); }, lcGeneral, message);
    ExpectError([&] { ReadIniFile(path); }, lcGeneral, message);
    EXPECT_EQ(MAX_MANIFEST_SIZE, 512u << 20);

    // A reader may set a tighter bound, for both forms of INI files.
    WriteIniFile(dir / "state.iniz", {{"A", {{"k", "v"}}}});
    WriteIniFile(dir / "state.ini", {{"A", {{"k", "v"}}}});
    EXPECT_EQ(ReadIniFile(dir / "state.iniz", INI_FORMAT_BY_NAME, 9).size(), 1u);
    ExpectError([&] { ReadIniFile(dir / "state.iniz", INI_FORMAT_BY_NAME, 8); }, lcGeneral,
                "Payload \"data.ini\" of " + dir / "state.iniz" + " declares 9 bytes, more than 8");
    ExpectError([&] { ReadIniFile(dir / "state.ini", INI_FORMAT_BY_NAME, 8); }, lcGeneral,
                "File \"" + dir / "state.ini" + "\" is larger than the limit of 8 bytes");
}

// Zip archives for tests, written and described by Python's zipfile (tests/support/zipfixture.py)
// as an implementation independent of minizip, plus a few byte-level helpers.
#pragma once

#include <stdint.h>
#include <string>
#include <vector>

// One entry as Python's zipfile sees it, in central directory order.
struct PyZipEntry {
    std::string name;
    int flag = 0, method = 0;
    uint32_t internalAttr = 0, externalAttr = 0;
    int createSystem = 0, createVersion = 0, extractVersion = 0;
    uint64_t headerOffset = 0;
    uint32_t crc = 0;
    uint64_t compressSize = 0, fileSize = 0;
    int centralExtraLen = 0, localExtraLen = 0, commentLen = 0;
    std::string dateTime; // "YYYY-MM-DD hh:mm:ss"

    // Offset of the compressed data and the end of it.
    uint64_t DataStart() const { return headerOffset + 30 + name.size() + localExtraLen; }
    uint64_t DataEnd() const { return DataStart() + compressSize; }
};

struct PyZipInfo {
    std::vector<PyZipEntry> entries;
    int commentLen = 0;
};

// Writes the archive described by the JSON text (see zipfixture.py); fails the test on error.
void MakePyZip(const std::string& path, const std::string& json);
// Describes an archive; fails the test when Python cannot read it.
PyZipInfo ReadPyZipInfo(const std::string& path);
// Exit status of Info-ZIP's "unzip -tqq" on the archive (0 when every entry tests fine).
int UnzipTest(const std::string& path);
// Escapes a byte string for a JSON string literal.
std::string JsonString(const std::string& text);
// Little-endian value of the given width at offset in bytes.
uint32_t ReadLE(const std::string& bytes, size_t offset, int width);
// Flips one bit (0x20) of the byte at offset of the file; fails the test when it is shorter.
void FlipByte(const std::string& path, uint64_t offset);

// The ways an archive gets damaged on a player's disk.
enum class Damage {
    // Cut to half its size (an interrupted copy).
    Truncated,
    // One byte flipped in the middle of the compressed data of its largest entry (a bit rotting
    // in storage): every header still parses.
    FlippedDataByte,
    // The central directory overwritten with garbage, the end record left intact.
    GarbageDirectory,
    // Replaced by a text file.
    TextFile,
};
const Damage ALL_DAMAGES[] = {Damage::Truncated, Damage::FlippedDataByte, Damage::GarbageDirectory,
                              Damage::TextFile};
const char* DamageName(Damage damage);
// Damages the archive at path in place.
void DamageArchive(const std::string& path, Damage damage);

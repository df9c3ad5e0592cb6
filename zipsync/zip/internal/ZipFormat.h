// The byte layout of the zip records the engine reads and writes itself, beside minizip: the
// local file header, the central directory record, the end-of-central-directory record and the
// Zip64 end locator. All fields are little-endian. Parsing takes a buffer of at least the
// record's fixed size and checks nothing (the caller looks at the signature); writing appends
// the fixed part to a byte vector, and the caller appends the name that follows.
//
// Engine-internal: used by the zip utilities, the holders, the analysis and the repacker.
#pragma once

#include <stdint.h>
#include <vector>

namespace ZipSync {

const uint32_t kLocalHeaderSignature = 0x04034b50;
const uint32_t kCentralRecordSignature = 0x02014b50;
const uint32_t kEndRecordSignature = 0x06054b50;
const uint32_t kZip64EndLocatorSignature = 0x07064b50;
const uint32_t kZip64EndRecordSignature = 0x06064b50;

// Fixed sizes of the records, without the variable parts (name, extra field, comment).
const uint32_t kLocalHeaderSize = 30;
const uint32_t kCentralRecordSize = 46;
const uint32_t kEndRecordSize = 22;
const uint32_t kZip64EndLocatorSize = 20;
const uint32_t kZip64EndRecordSize = 56;
// Where the internal attributes lie within a central directory record.
const uint32_t kCentralInternalAttribsOffset = 36;

uint32_t ReadLE16(const uint8_t* p);
uint32_t ReadLE32(const uint8_t* p);
uint64_t ReadLE64(const uint8_t* p);
void AppendLE(std::vector<uint8_t>& out, uint32_t value, int bytes);

// The fields that a local header and a central record share, in the same order: from the
// version needed to extract up to the extra field length.
struct EntryFields {
    uint16_t versionNeeded = 20;
    uint16_t flag = 0;
    uint16_t method = 0;
    // DOS time in the lower 16 bits, DOS date in the upper 16, as in the records.
    uint32_t dosDateTime = 0;
    uint32_t crc = 0;
    uint32_t compressedSize = 0;
    uint32_t contentsSize = 0;
    uint16_t filenameLen = 0;
    uint16_t extraLen = 0;
};

struct LocalHeader : EntryFields {
    uint32_t signature = kLocalHeaderSignature;
};

struct CentralRecord : EntryFields {
    uint32_t signature = kCentralRecordSignature;
    uint16_t versionMadeBy = 0;
    uint16_t commentLen = 0;
    uint16_t diskStart = 0;
    uint16_t internalAttribs = 0;
    uint32_t externalAttribs = 0;
    uint32_t localHeaderOffset = 0;

    // The whole record: the fixed part, name, extra field and comment.
    uint64_t Length() const { return kCentralRecordSize + uint64_t(filenameLen) + extraLen + commentLen; }
};

struct EndRecord {
    uint32_t signature = kEndRecordSignature;
    uint16_t diskNumber = 0;
    uint16_t directoryDisk = 0;
    uint16_t diskEntries = 0;
    uint16_t totalEntries = 0;
    uint32_t directorySize = 0;
    uint32_t directoryOffset = 0;
    uint16_t commentLen = 0;
};

struct Zip64EndLocator {
    uint32_t signature = kZip64EndLocatorSignature;
    uint32_t endRecordDisk = 0;
    uint64_t endRecordOffset = 0;
    uint32_t totalDisks = 1;
};

LocalHeader ParseLocalHeader(const uint8_t* p);
CentralRecord ParseCentralRecord(const uint8_t* p);
EndRecord ParseEndRecord(const uint8_t* p);
Zip64EndLocator ParseZip64EndLocator(const uint8_t* p);
// The central directory offset of a Zip64 end record.
uint64_t Zip64DirectoryOffset(const uint8_t* zip64EndRecord);

void AppendLocalHeader(std::vector<uint8_t>& out, const LocalHeader& header);
void AppendCentralRecord(std::vector<uint8_t>& out, const CentralRecord& record);
void AppendEndRecord(std::vector<uint8_t>& out, const EndRecord& record);

} // namespace ZipSync

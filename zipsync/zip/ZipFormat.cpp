#include "zip/internal/ZipFormat.h"

namespace ZipSync {

uint32_t ReadLE16(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8);
}

uint32_t ReadLE32(const uint8_t* p) {
    return ReadLE16(p) | (ReadLE16(p + 2) << 16);
}

uint64_t ReadLE64(const uint8_t* p) {
    return uint64_t(ReadLE32(p)) | (uint64_t(ReadLE32(p + 4)) << 32);
}

void AppendLE(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; i++) out.push_back(uint8_t(value >> (8 * i)));
}

// The shared fields start right after the signature in a local header, and after the
// signature and the version made by in a central record.
static void ParseEntryFields(const uint8_t* p, EntryFields& f) {
    f.versionNeeded = uint16_t(ReadLE16(p));
    f.flag = uint16_t(ReadLE16(p + 2));
    f.method = uint16_t(ReadLE16(p + 4));
    f.dosDateTime = ReadLE32(p + 6);
    f.crc = ReadLE32(p + 10);
    f.compressedSize = ReadLE32(p + 14);
    f.contentsSize = ReadLE32(p + 18);
    f.filenameLen = uint16_t(ReadLE16(p + 22));
    f.extraLen = uint16_t(ReadLE16(p + 24));
}

static void AppendEntryFields(std::vector<uint8_t>& out, const EntryFields& f) {
    AppendLE(out, f.versionNeeded, 2);
    AppendLE(out, f.flag, 2);
    AppendLE(out, f.method, 2);
    AppendLE(out, f.dosDateTime, 4);
    AppendLE(out, f.crc, 4);
    AppendLE(out, f.compressedSize, 4);
    AppendLE(out, f.contentsSize, 4);
    AppendLE(out, f.filenameLen, 2);
    AppendLE(out, f.extraLen, 2);
}

LocalHeader ParseLocalHeader(const uint8_t* p) {
    LocalHeader h;
    h.signature = ReadLE32(p);
    ParseEntryFields(p + 4, h);
    return h;
}

CentralRecord ParseCentralRecord(const uint8_t* p) {
    CentralRecord r;
    r.signature = ReadLE32(p);
    r.versionMadeBy = uint16_t(ReadLE16(p + 4));
    ParseEntryFields(p + 6, r);
    r.commentLen = uint16_t(ReadLE16(p + 32));
    r.diskStart = uint16_t(ReadLE16(p + 34));
    r.internalAttribs = uint16_t(ReadLE16(p + 36));
    r.externalAttribs = ReadLE32(p + 38);
    r.localHeaderOffset = ReadLE32(p + 42);
    return r;
}

EndRecord ParseEndRecord(const uint8_t* p) {
    EndRecord e;
    e.signature = ReadLE32(p);
    e.diskNumber = uint16_t(ReadLE16(p + 4));
    e.directoryDisk = uint16_t(ReadLE16(p + 6));
    e.diskEntries = uint16_t(ReadLE16(p + 8));
    e.totalEntries = uint16_t(ReadLE16(p + 10));
    e.directorySize = ReadLE32(p + 12);
    e.directoryOffset = ReadLE32(p + 16);
    e.commentLen = uint16_t(ReadLE16(p + 20));
    return e;
}

Zip64EndLocator ParseZip64EndLocator(const uint8_t* p) {
    Zip64EndLocator l;
    l.signature = ReadLE32(p);
    l.endRecordDisk = ReadLE32(p + 4);
    l.endRecordOffset = ReadLE64(p + 8);
    l.totalDisks = ReadLE32(p + 16);
    return l;
}

uint64_t Zip64DirectoryOffset(const uint8_t* zip64EndRecord) {
    return ReadLE64(zip64EndRecord + 48);
}

void AppendLocalHeader(std::vector<uint8_t>& out, const LocalHeader& h) {
    AppendLE(out, h.signature, 4);
    AppendEntryFields(out, h);
}

void AppendCentralRecord(std::vector<uint8_t>& out, const CentralRecord& r) {
    AppendLE(out, r.signature, 4);
    AppendLE(out, r.versionMadeBy, 2);
    AppendEntryFields(out, r);
    AppendLE(out, r.commentLen, 2);
    AppendLE(out, r.diskStart, 2);
    AppendLE(out, r.internalAttribs, 2);
    AppendLE(out, r.externalAttribs, 4);
    AppendLE(out, r.localHeaderOffset, 4);
}

void AppendEndRecord(std::vector<uint8_t>& out, const EndRecord& e) {
    AppendLE(out, e.signature, 4);
    AppendLE(out, e.diskNumber, 2);
    AppendLE(out, e.directoryDisk, 2);
    AppendLE(out, e.diskEntries, 2);
    AppendLE(out, e.totalEntries, 2);
    AppendLE(out, e.directorySize, 4);
    AppendLE(out, e.directoryOffset, 4);
    AppendLE(out, e.commentLen, 2);
}

} // namespace ZipSync

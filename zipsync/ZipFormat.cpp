#include "ZipFormat.h"

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

LocalHeader ParseLocalHeader(const uint8_t* p) {
    LocalHeader h;
    h.signature = ReadLE32(p);
    h.versionNeeded = uint16_t(ReadLE16(p + 4));
    h.flag = uint16_t(ReadLE16(p + 6));
    h.method = uint16_t(ReadLE16(p + 8));
    h.dosDateTime = ReadLE32(p + 10);
    h.crc = ReadLE32(p + 14);
    h.compressedSize = ReadLE32(p + 18);
    h.contentsSize = ReadLE32(p + 22);
    h.filenameLen = uint16_t(ReadLE16(p + 26));
    h.extraLen = uint16_t(ReadLE16(p + 28));
    return h;
}

CentralRecord ParseCentralRecord(const uint8_t* p) {
    CentralRecord r;
    r.signature = ReadLE32(p);
    r.versionMadeBy = uint16_t(ReadLE16(p + 4));
    r.versionNeeded = uint16_t(ReadLE16(p + 6));
    r.flag = uint16_t(ReadLE16(p + 8));
    r.method = uint16_t(ReadLE16(p + 10));
    r.dosDateTime = ReadLE32(p + 12);
    r.crc = ReadLE32(p + 16);
    r.compressedSize = ReadLE32(p + 20);
    r.contentsSize = ReadLE32(p + 24);
    r.filenameLen = uint16_t(ReadLE16(p + 28));
    r.extraLen = uint16_t(ReadLE16(p + 30));
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
    AppendLE(out, h.versionNeeded, 2);
    AppendLE(out, h.flag, 2);
    AppendLE(out, h.method, 2);
    AppendLE(out, h.dosDateTime, 4);
    AppendLE(out, h.crc, 4);
    AppendLE(out, h.compressedSize, 4);
    AppendLE(out, h.contentsSize, 4);
    AppendLE(out, h.filenameLen, 2);
    AppendLE(out, h.extraLen, 2);
}

void AppendCentralRecord(std::vector<uint8_t>& out, const CentralRecord& r) {
    AppendLE(out, r.signature, 4);
    AppendLE(out, r.versionMadeBy, 2);
    AppendLE(out, r.versionNeeded, 2);
    AppendLE(out, r.flag, 2);
    AppendLE(out, r.method, 2);
    AppendLE(out, r.dosDateTime, 4);
    AppendLE(out, r.crc, 4);
    AppendLE(out, r.compressedSize, 4);
    AppendLE(out, r.contentsSize, 4);
    AppendLE(out, r.filenameLen, 2);
    AppendLE(out, r.extraLen, 2);
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

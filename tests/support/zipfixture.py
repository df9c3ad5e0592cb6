#!/usr/bin/env python3
"""Writes and describes zip archives for the zip tests, with Python's own zipfile module.

  zipfixture.py make OUT      reads a JSON description from stdin and writes the archive OUT
  zipfixture.py info ZIP      prints one tab-separated line per entry, in central directory order

JSON description: {"entries": [...], "reverse_cd": bool, "stream": bool, "zip64_end": bool,
"comment": str}. Each entry: "name"; "data" (text) or "hex" (bytes); optional "method"
(0, 8, 12), "level", "flag" (bits or-ed into the general purpose flag), "internal", "external",
"system" (made-by host), "date" ([y, m, d, h, mi, s]), "extra_hex" (extra field in both headers),
"comment". "stream" writes through a non-seekable stream, so entries get data descriptors;
"reverse_cd" lists the central directory in reverse file order; "zip64_end" forces the Zip64
end-of-central-directory record.
"""
import json
import struct
import sys
import zipfile


class _WriteOnly:
    def __init__(self, f):
        self._f = f

    def write(self, b):
        return self._f.write(b)

    def flush(self):
        self._f.flush()


def _reverse_central_directory(path):
    data = bytearray(open(path, "rb").read())
    eocd = data.rfind(b"PK\x05\x06")
    count, size, start = struct.unpack("<HII", data[eocd + 10:eocd + 20])
    records, pos = [], start
    for _ in range(count):
        n, m, k = struct.unpack("<HHH", data[pos + 28:pos + 34])
        length = 46 + n + m + k
        records.append(bytes(data[pos:pos + length]))
        pos += length
    data[start:start + size] = b"".join(reversed(records))
    open(path, "wb").write(bytes(data))


def _or_flags(path, flags):
    # zipfile resets the general purpose flag when it writes an entry, so extra bits are set
    # afterwards in both headers.
    data = bytearray(open(path, "rb").read())
    eocd = data.rfind(b"PK\x05\x06")
    count, size, pos = struct.unpack("<HII", data[eocd + 10:eocd + 20])
    for i in range(count):
        n, m, k = struct.unpack("<HHH", data[pos + 28:pos + 34])
        local = struct.unpack("<I", data[pos + 42:pos + 46])[0]
        for at in (pos + 8, local + 6):
            data[at:at + 2] = struct.pack("<H", struct.unpack("<H", data[at:at + 2])[0] | flags[i])
        pos += 46 + n + m + k
    open(path, "wb").write(bytes(data))


def make(out):
    layout = json.load(sys.stdin)
    if layout.get("zip64_end"):
        zipfile.ZIP_FILECOUNT_LIMIT = 0
    raw = open(out, "wb")
    target = _WriteOnly(raw) if layout.get("stream") else raw
    with zipfile.ZipFile(target, "w") as zf:
        for e in layout["entries"]:
            zi = zipfile.ZipInfo(e["name"], tuple(e.get("date", [2020, 5, 17, 12, 30, 10])))
            zi.compress_type = e.get("method", zipfile.ZIP_DEFLATED)
            if "level" in e:
                zi._compresslevel = e["level"]
            zi.internal_attr = e.get("internal", 0)
            zi.external_attr = e.get("external", 0)
            zi.create_system = e.get("system", 3)
            zi.extra = bytes.fromhex(e.get("extra_hex", ""))
            zi.comment = e.get("comment", "").encode()
            payload = bytes.fromhex(e["hex"]) if "hex" in e else e.get("data", "").encode()
            zf.writestr(zi, payload)
        zf.comment = layout.get("comment", "").encode()
    raw.close()
    flags = [e.get("flag", 0) for e in layout["entries"]]
    if any(flags):
        _or_flags(out, flags)
    if layout.get("reverse_cd"):
        _reverse_central_directory(out)


def info(path):
    raw = open(path, "rb").read()
    with zipfile.ZipFile(path) as zf:
        for i in zf.infolist():
            local_extra = struct.unpack("<H", raw[i.header_offset + 28:i.header_offset + 30])[0]
            # The stored bytes of the name: zipfile decodes them as UTF-8 when flag bit 11 says
            # so, else as code page 437, which maps every byte to a character of its own.
            stored = i.filename.encode("utf-8" if i.flag_bits & 0x800 else "cp437", "surrogateescape")
            fields = [stored.hex(), i.flag_bits, i.compress_type,
                      i.internal_attr, i.external_attr, i.create_system, i.create_version,
                      i.extract_version, i.header_offset, i.CRC, i.compress_size, i.file_size,
                      len(i.extra), local_extra, len(i.comment), "%04d-%02d-%02d %02d:%02d:%02d" % i.date_time]
            print("\t".join(str(f) for f in fields))
        print("comment\t%d" % len(zf.comment))


if __name__ == "__main__":
    {"make": make, "info": info}[sys.argv[1]](sys.argv[2])

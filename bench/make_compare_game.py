#!/usr/bin/env python3
"""Writes two versions, A and B, of a large generated game for bench/compare.sh.

  make_compare_game.py OUTDIR TOTAL_MB

OUTDIR/A and OUTDIR/B each hold 8 archives qmh_data0.pk4 .. qmh_data7.pk4 of 12 entries
(96 entries, TOTAL_MB in all, half of each entry random bytes and half text, so that deflate
has work to do). From A to B: 14 entries get new contents (about 15 %), 4 entries move to
another archive, and 3 entries stored in A are deflated in B. Everything is deterministic.
"""
import os
import random
import sys
import zipfile

ARCHIVES, PER_ARCHIVE = 8, 12
WORDS = "stone moss river lantern quill mere fog tower gate ember hollow ash wind salt".split()
DATE = (2024, 1, 2, 3, 4, 6)


def contents(key, size):
    rng = random.Random(key)
    half = size // 2
    words = " ".join(rng.choices(WORDS, k=half // 5 + 1)).encode()[: size - half]
    return rng.randbytes(half) + words


def layout(total_mb, version):
    """{archive: [(name, key, method)]} of a version."""
    size = total_mb * 1048576 // (ARCHIVES * PER_ARCHIVE)
    entries = {}
    for a in range(ARCHIVES):
        for e in range(PER_ARCHIVE):
            n = a * PER_ARCHIVE + e
            method = zipfile.ZIP_STORED if n % 5 == 0 else zipfile.ZIP_DEFLATED
            entries[n] = ["qmh_data%d.pk4" % a, "data/e%02d.bin" % n, "e%02d" % n, method]
    if version == "B":
        for n in range(3, 96, 7):  # 14 entries with new contents
            entries[n][2] += "b"
        for n in (1, 26, 50, 73):  # moved to the next archive
            a = int(entries[n][0][8])
            entries[n][0] = "qmh_data%d.pk4" % ((a + 1) % ARCHIVES)
        for n in (5, 40, 85):  # stored in A, deflated in B
            entries[n][3] = zipfile.ZIP_DEFLATED
    archives = {}
    for archive, name, key, method in entries.values():
        archives.setdefault(archive, []).append((name, key, method))
    return archives, size


def write(outdir, total_mb, version):
    archives, size = layout(total_mb, version)
    os.makedirs(os.path.join(outdir, version), exist_ok=True)
    for archive, files in sorted(archives.items()):
        path = os.path.join(outdir, version, archive)
        with zipfile.ZipFile(path, "w") as z:
            for name, key, method in sorted(files):
                info = zipfile.ZipInfo(name, DATE)
                info.compress_type = method
                z.writestr(info, contents(key, size), compresslevel=6)


def main():
    outdir, total_mb = sys.argv[1], int(sys.argv[2])
    for version in ("A", "B"):
        write(outdir, total_mb, version)


if __name__ == "__main__":
    main()

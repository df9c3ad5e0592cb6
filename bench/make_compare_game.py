#!/usr/bin/env python3
"""Writes two versions, A and B, of a large generated game for bench/compare.sh.

  make_compare_game.py OUTDIR TOTAL_MB [ENTRIES (default 20000)]

OUTDIR/A and OUTDIR/B each hold 5 archives qmh_data0.pk4 .. qmh_data4.pk4 with ENTRIES
entries in all, TOTAL_MB in all, shaped like a real game: a long tail of sizes (most entries
a few KiB, a few of several MiB, from a Pareto distribution) spread unevenly over the
archives, each entry half random bytes and half text, so that deflate has work to do; every
fifth entry stored. From A to B a scattered patch: 4 % of the entries, picked at random over
every archive, get new contents; 10 entries move to another archive and 5 entries stored in A
are deflated in B. Everything is deterministic.
"""
import os
import random
import sys
import zipfile

ARCHIVES = 5
# Shares of the entries per archive: one big archive, some middle ones, a small one.
ARCHIVE_SHARES = [0.40, 0.25, 0.15, 0.12, 0.08]
WORDS = "stone moss river lantern quill mere fog tower gate ember hollow ash wind salt".split()
DATE = (2024, 1, 2, 3, 4, 6)
PATCH_SHARE = 0.04


def contents(key, size):
    rng = random.Random(key)
    half = size // 2
    words = " ".join(rng.choices(WORDS, k=half // 5 + 1)).encode()[: size - half]
    return rng.randbytes(half) + words


def sizes(total_mb, count):
    """Entry sizes with a long tail (Pareto, shape 1.2, at least 512 bytes, at most 1/40 of the
    whole), scaled so that they add up to TOTAL_MB."""
    rng = random.Random("sizes")
    total = total_mb * 1048576
    raw = [min(512 * rng.paretovariate(1.2), total / 40) for _ in range(count)]
    scale = total / sum(raw)
    return [max(64, int(r * scale)) for r in raw]


def layout(total_mb, count, version):
    """{archive: [(name, key, size, method)]} of a version."""
    rng = random.Random("layout")
    entry_sizes = sizes(total_mb, count)
    entries = []
    for n in range(count):
        archive = rng.choices(range(ARCHIVES), weights=ARCHIVE_SHARES)[0]
        method = zipfile.ZIP_STORED if n % 5 == 0 else zipfile.ZIP_DEFLATED
        name = "data/%s/e%05d.bin" % ("abcdefghij"[n % 10], n)
        entries.append(["qmh_data%d.pk4" % archive, name, "e%d" % n, entry_sizes[n], method])
    if version == "B":
        patch = random.Random("patch")
        for n in patch.sample(range(count), int(count * PATCH_SHARE)):
            entries[n][2] += "b"
        for n in patch.sample(range(count), 10):
            entries[n][0] = "qmh_data%d.pk4" % ((int(entries[n][0][8]) + 1) % ARCHIVES)
        stored = [n for n in range(count) if entries[n][4] == zipfile.ZIP_STORED]
        for n in patch.sample(stored, 5):
            entries[n][4] = zipfile.ZIP_DEFLATED
    archives = {}
    for archive, name, key, size, method in entries:
        archives.setdefault(archive, []).append((name, key, size, method))
    return archives


def write(outdir, total_mb, count, version):
    archives = layout(total_mb, count, version)
    os.makedirs(os.path.join(outdir, version), exist_ok=True)
    for archive, files in sorted(archives.items()):
        path = os.path.join(outdir, version, archive)
        with zipfile.ZipFile(path, "w") as z:
            for name, key, size, method in sorted(files):
                info = zipfile.ZipInfo(name, DATE)
                info.compress_type = method
                z.writestr(info, contents(key, size), compresslevel=6)


def main():
    outdir, total_mb = sys.argv[1], int(sys.argv[2])
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 20000
    for version in ("A", "B"):
        write(outdir, total_mb, count, version)


if __name__ == "__main__":
    main()

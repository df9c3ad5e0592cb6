#!/usr/bin/env python3
"""Writes a version of about MEGABYTES MB into OUT: four archives of 1 MB entries, random (so
stored) bytes and deflated text, each archive in the engine's normal form (entries in name order,
version made by 0, no extra fields)."""
import os
import random
import sys
import zipfile


def main():
    out, megabytes = sys.argv[1], int(sys.argv[2])
    rng = random.Random(19)
    entries = max(4, megabytes)
    for a in range(4):
        path = os.path.join(out, "data" if a % 2 else "", "pak%02d.pk4" % a)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with zipfile.ZipFile(path, "w") as zf:
            for e in range(a, entries, 4):
                text = e % 5 == 0
                zi = zipfile.ZipInfo("files/f%03d.%s" % (e, "txt" if text else "bin"), (2024, 5, 1, 12, 0, 0))
                zi.create_system = 0
                zi.create_version = 0
                zi.external_attr = 0x20
                if text:
                    zi.compress_type = zipfile.ZIP_DEFLATED
                    words = [b"lantern", b"fog", b"mere", b"street", b"quiet", b"harbor"]
                    data = b" ".join(rng.choice(words) for _ in range(400000))[: 3 << 20]
                else:
                    data = rng.randbytes(1 << 20)
                zf.writestr(zi, data)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes two versions, A and B, of a small game installation for the engine's update tests.

  make_game.py OUTDIR

creates OUTDIR/A and OUTDIR/B and the list OUTDIR/layout.txt, one "<kind> <relative path>"
line per file: kind A and B for the archives of each version, U for the user's own files that
lie in A's directory without belonging to the game.

From A to B, entries stay unchanged, change, appear, disappear and move between archives; the
archive base/old_dlc.pk4 is dropped and base/new/dlc2.pk4 appears (in a new folder). Entries
are deflated or stored. Most archives are written by Python's zipfile directly in the form the
engine accepts (version made by 0, no extra fields); base/pak001.pk4 is written by Info-ZIP
zip -9 (deflate flag 2, Unix attributes and a made-by host that the engine must normalise
first). Some contents of B exist in A under another name or method only: a map stored in A and
deflated in B, a sound moved between archives, a texture that the user's own archive
base/zz_usermod.pk4 holds, and two new textures with the same contents. Everything is
deterministic: the same run gives the same bytes.
"""
import os
import random
import subprocess
import sys
import zipfile

WORDS = ("stone moss river lantern quill mere fog tower gate ember hollow ash wind salt iron "
         "glass wolf reed marsh candle thorn silver raven oak dusk gleam rune vale brook").split()

DATE_A = (2021, 3, 4, 5, 6, 8)
DATE_B = (2022, 7, 9, 10, 11, 12)


def text(key, size):
    rng = random.Random("text:" + key)
    out, length = [], 0
    while length < size:
        line = " ".join(rng.choices(WORDS, k=rng.randint(4, 14))) + "\n"
        out.append(line)
        length += len(line)
    return "".join(out).encode()[:size]


def binary(key, size):
    return random.Random("bin:" + key).randbytes(size)


# Contents by key: (kind, size).
CONTENTS = {}
for i in range(17):
    CONTENTS["t%02d" % i] = ("text", 20000 + 6000 * i)
for key in ("t12b", "t13b", "t14b", "t20", "t21", "twin"):
    CONTENTS[key] = ("text", 45000)
for i in range(6):
    CONTENTS["s%02d" % i] = ("bin", 40000 + 12000 * i)
CONTENTS.update({
    "loop": ("bin", 150000), "m1": ("text", 60000),
    "main": ("text", 30000), "ai1": ("text", 25000), "ai2": ("text", 26000),
    "g0": ("text", 10000), "g1": ("text", 18000), "g2": ("text", 25000), "g3": ("text", 30000),
    "logo": ("bin", 50000),
    "d0": ("text", 40000), "d1": ("text", 35000), "d2": ("bin", 20000), "d3": ("text", 30000),
    "d4": ("text", 28000),
})


def data(key):
    kind, size = CONTENTS[key]
    return text(key, size) if kind == "text" else binary(key, size)


S, D = zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED

# Archive -> (writer, [(name, contents key, method, date)]).
VERSION_A = {
    "base/pak000.pk4": ("python", [("textures/t%02d.tga" % i, "t%02d" % i, D, DATE_A) for i in range(17)] + [
        ("sound/loop.ogg", "loop", S, DATE_A),
        ("maps/m1.map", "m1", S, DATE_A),
    ]),
    "base/pak001.pk4": ("infozip", [("sound/s%02d.ogg" % i, "s%02d" % i, None, DATE_A) for i in range(6)] + [
        ("scripts/main.script", "main", None, DATE_A),
        ("scripts/ai.script", "ai1", None, DATE_A),
    ]),
    "base/pak_same.pk4": ("python", [
        ("gui/g0.gui", "g0", D, DATE_A), ("gui/g1.gui", "g1", D, DATE_A), ("gui/g2.gui", "g2", D, DATE_A),
        ("gui/g3.gui", "g3", D, DATE_A), ("gui/logo.tga", "logo", S, DATE_A),
    ]),
    "base/old_dlc.pk4": ("python", [
        ("dlc/d0.tga", "d0", D, DATE_A), ("dlc/d1.tga", "d1", D, DATE_A), ("dlc/d2.tga", "d2", S, DATE_A),
    ]),
}

VERSION_B = {
    "base/pak000.pk4": ("python", [("textures/t%02d.tga" % i, "t%02d" % i, D, DATE_A) for i in range(12)] + [
        ("textures/t12.tga", "t12b", D, DATE_B), ("textures/t13.tga", "t13b", D, DATE_B),
        ("textures/t14.tga", "t14b", D, DATE_B),
        ("textures/t20.tga", "t20", D, DATE_B), ("textures/t21.tga", "t21", D, DATE_B),
        ("textures/twin_a.tga", "twin", D, DATE_B), ("textures/twin_b.tga", "twin", D, DATE_B),
        ("sound/loop.ogg", "loop", S, DATE_A),
        ("sound/s03.ogg", "s03", S, DATE_A),
        ("maps/m1.map", "m1", D, DATE_A),
    ]),
    "base/pak001.pk4": ("infozip", [("sound/s%02d.ogg" % i, "s%02d" % i, None, DATE_A) for i in (0, 1, 2, 4, 5)] + [
        ("scripts/main.script", "main", None, DATE_A),
        ("scripts/ai.script", "ai2", None, DATE_B),
    ]),
    "base/pak_same.pk4": VERSION_A["base/pak_same.pk4"],
    "base/new/dlc2.pk4": ("python", [
        ("dlc/d0.tga", "d0", D, DATE_A), ("dlc/d2.tga", "d2", S, DATE_A), ("dlc/d3.tga", "d3", D, DATE_B),
        ("dlc/d4.tga", "d4", D, DATE_B),
    ]),
}

USER_ZIP = ("base/zz_usermod.pk4", [("mods/x.tga", "d3", D, DATE_A)])
USER_FILES = {
    "Quillmere.cfg": b"seta r_mode 5\nseta s_volume 0.8\n",
    "base/notes.txt": b"my own notes, not part of the game\n",
}


def write_python_zip(path, entries):
    with zipfile.ZipFile(path, "w") as zf:
        for name, key, method, date in entries:
            zi = zipfile.ZipInfo(name, date)
            zi.compress_type = method
            zi.create_system = 0
            zi.create_version = 0
            zi.external_attr = 0x20
            zf.writestr(zi, data(key))


def write_infozip(path, entries, stage):
    env = dict(os.environ, TZ="UTC")
    names = []
    for name, key, _, date in entries:
        file_path = os.path.join(stage, name)
        os.makedirs(os.path.dirname(file_path), exist_ok=True)
        with open(file_path, "wb") as f:
            f.write(data(key))
        stamp = int(subprocess.check_output(
            ["date", "-u", "-d", "%04d-%02d-%02d %02d:%02d:%02d" % date, "+%s"], env=env))
        os.utime(file_path, (stamp, stamp))
        names.append(name)
    subprocess.check_call(["zip", "-q", "-X", "-9", os.path.abspath(path)] + names, cwd=stage, env=env)


def write_version(root, archives, stage):
    for rel, (writer, entries) in archives.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if writer == "python":
            write_python_zip(path, entries)
        else:
            write_infozip(path, entries, os.path.join(stage, rel))


def main():
    out = sys.argv[1]
    dir_a, dir_b = os.path.join(out, "A"), os.path.join(out, "B")
    stage = os.path.join(out, "stage")
    write_version(dir_a, VERSION_A, stage)
    write_version(dir_b, VERSION_B, stage)
    write_python_zip(os.path.join(dir_a, USER_ZIP[0]), USER_ZIP[1])
    for rel, payload in USER_FILES.items():
        with open(os.path.join(dir_a, rel), "wb") as f:
            f.write(payload)
    subprocess.check_call(["rm", "-rf", stage])
    with open(os.path.join(out, "layout.txt"), "w") as f:
        for rel in VERSION_A:
            f.write("A %s\n" % rel)
        for rel in VERSION_B:
            f.write("B %s\n" % rel)
        for rel in [USER_ZIP[0]] + list(USER_FILES):
            f.write("U %s\n" % rel)


if __name__ == "__main__":
    main()

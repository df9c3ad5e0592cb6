#!/usr/bin/env python3
"""Writes three versions of a small game as the installer's tests publish them.

  make_installer_game.py OUTDIR [--windows]

creates OUTDIR/versions/<version>/ with the archives of each version named as the installer
recognises the game's own archives ("qmh_*.pk4", "fms/harborjob/*.pk4", "qmh_shared_stuff.zip"
holding the Linux game binaries, or with --windows the Windows ones), OUTDIR/infozip/1.0/ with the archives of 1.0 written by
Info-ZIP "zip -r" (directory entries, extra fields, Unix attributes: an installation made by
another program), and OUTDIR/user/ with files a player adds (a savegame, a foreign archive, an
archive outside the owned names, the game's configuration file).

From 1.0 to 2.0 entries stay, change, appear and disappear, fms/harborjob/map.pk4 is dropped
and fms/qmh_lighthouse.pk4 appears. 2.1 is 2.0 plus qmh_patch.pk4 and is published as a
differential version on top of 2.0. Python's archives hold their entries in name order, the
order the installer writes them in. Everything is deterministic.
"""
import os
import shutil
import subprocess
import sys
import zipfile

from make_game import binary, text

DATE = (2023, 5, 6, 7, 8, 10)


def base(version):
    keys = ["t%02d" % i for i in range(8)]
    if version != "1.0":
        keys[5] = "t05b"
        keys[6] = "t06b"
        keys.append("t08")
    files = {"textures/%s.tga" % k[:3]: text(k, 12000 + 1500 * i) for i, k in enumerate(keys)}
    files["maps/start.map"] = text("start", 30000)
    return files


def shared_stuff(version, windows):
    names = (("Quillmerex64.exe", "Quillmere.exe", "logicx86.dll") if windows
             else ("quillmere.x64", "quillmere.x86", "logicx86.so"))
    return {
        names[0]: binary("x64-" + version[0], 40000),
        names[1]: binary("x86-" + version[0], 36000),
        names[2]: binary("logic-" + version[0], 20000),
    }


def archives(version, windows=False):
    result = {
        "qmh_base.pk4": base(version),
        "qmh_sounds.pk4": {"sound/s%02d.ogg" % i: binary("s%02d" % i, 9000 + 2000 * i) for i in range(4)},
        "qmh_shared_stuff.zip": shared_stuff(version, windows),
    }
    if version == "1.0":
        result["fms/harborjob/map.pk4"] = {"maps/harbor.map": text("harbor", 25000)}
    else:
        result["fms/qmh_lighthouse.pk4"] = {"maps/lighthouse.map": text("lighthouse", 27000),
                                            "textures/beam.tga": text("beam", 8000)}
    if version == "2.1":
        result["qmh_patch.pk4"] = {"scripts/fix.script": text("fix", 15000)}
    return result


def write_python_zip(path, files):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with zipfile.ZipFile(path, "w") as zf:
        for name in sorted(files):
            zi = zipfile.ZipInfo(name, DATE)
            zi.compress_type = zipfile.ZIP_STORED if name.endswith(".ogg") else zipfile.ZIP_DEFLATED
            zi.create_system = 0
            zi.create_version = 0
            zi.external_attr = 0x20
            zf.writestr(zi, files[name])


def write_infozip(path, files, stage):
    shutil.rmtree(stage, ignore_errors=True)
    for name, payload in files.items():
        file_path = os.path.join(stage, name)
        os.makedirs(os.path.dirname(file_path), exist_ok=True)
        with open(file_path, "wb") as f:
            f.write(payload)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    subprocess.check_call(["zip", "-q", "-r", "-9", os.path.abspath(path), "."], cwd=stage)
    shutil.rmtree(stage)


def main():
    out = sys.argv[1]
    windows = sys.argv[2:] == ["--windows"]
    for version in ("1.0", "2.0", "2.1"):
        for rel, files in archives(version, windows).items():
            write_python_zip(os.path.join(out, "versions", version, rel), files)
    for rel, files in archives("1.0").items():
        write_infozip(os.path.join(out, "infozip", "1.0", rel), files, os.path.join(out, "stage"))
    user = os.path.join(out, "user")
    write_python_zip(os.path.join(user, "zz_mymod.pk4"), {"mods/boat.tga": text("boat", 5000)})
    write_python_zip(os.path.join(user, "fms/other/qmh_fanmission.pk4"), {"maps/fan.map": text("fan", 7000)})
    os.makedirs(os.path.join(user, "savegames"))
    with open(os.path.join(user, "savegames", "quick.save"), "wb") as f:
        f.write(binary("save", 3000))
    with open(os.path.join(user, "Quillmere.cfg"), "wb") as f:
        f.write(b"seta r_mode 5\nseta s_volume 0.8\n")


if __name__ == "__main__":
    main()

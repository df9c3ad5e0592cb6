#!/usr/bin/env python3
"""Prints deb-src entries (deb822 format) derived from this machine's own apt sources.

For every enabled "deb" entry whose suites belong to this machine's release (the codename and
its -updates/-security suites) the same archive is written as "deb-src". Each suite named on
the command line (such as "trixie") is added for the archives that serve the release itself.
No host is named here: the archives are whatever this machine uses.

Usage: windows-sources.py [EXTRA_SUITE...]
"""
import glob
import os
import sys


def codename():
    with open("/etc/os-release", encoding="utf-8") as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            if key == "VERSION_CODENAME":
                return value.strip('"')
    sys.exit("windows-sources.py: no VERSION_CODENAME in /etc/os-release")


def one_line_entries(path):
    """Entries of a sources.list file: 'deb [options] uri suite component...'."""
    with open(path, encoding="utf-8") as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if len(words) < 3 or words[0] != "deb":
                continue
            options = {}
            if words[1].startswith("["):
                end = next(i for i, w in enumerate(words) if w.endswith("]"))
                for option in " ".join(words[1:end + 1]).strip("[]").split():
                    key, _, value = option.partition("=")
                    options[key] = value
                words = [words[0]] + words[end + 1:]
            yield {"uris": [words[1]], "suites": [words[2]], "components": words[3:],
                   "signed-by": options.get("signed-by")}


def deb822_entries(path):
    """Entries of a .sources file: paragraphs of 'Field: value' lines."""
    with open(path, encoding="utf-8") as f:
        paragraphs = f.read().split("\n\n")
    for paragraph in paragraphs:
        fields = {}
        last = None
        for line in paragraph.splitlines():
            if line.startswith("#") or not line.strip():
                continue
            if line[0].isspace() and last:
                fields[last] += "\n" + line.strip()
                continue
            key, _, value = line.partition(":")
            last = key.strip().lower()
            fields[last] = value.strip()
        if "deb" not in fields.get("types", "").split():
            continue
        if fields.get("enabled", "yes").lower() == "no":
            continue
        yield {"uris": fields.get("uris", "").split(), "suites": fields.get("suites", "").split(),
               "components": fields.get("components", "").split(),
               "signed-by": fields.get("signed-by")}


def main():
    release = codename()
    entries = []
    if os.path.exists("/etc/apt/sources.list"):
        entries += one_line_entries("/etc/apt/sources.list")
    for path in sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
        entries += one_line_entries(path)
    for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
        entries += deb822_entries(path)
    written = 0
    for entry in entries:
        suites = [s for s in entry["suites"] if s == release or s.startswith(release + "-")]
        if not suites or "main" not in entry["components"]:
            continue
        if release in suites:
            suites += sys.argv[1:]
        print("Types: deb-src")
        print("URIs: " + " ".join(entry["uris"]))
        print("Suites: " + " ".join(suites))
        print("Components: main")
        if entry["signed-by"] and "\n" not in entry["signed-by"]:
            print("Signed-By: " + entry["signed-by"])
        print()
        written += 1
    if not written:
        sys.exit(f"windows-sources.py: no apt source of {release} with the main component found")


if __name__ == "__main__":
    main()

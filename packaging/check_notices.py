#!/usr/bin/env python3
"""Checks that every license text quoted in THIRD_PARTY_NOTICES stands in the file it names.

A quote is a line `Quoted from <folder>:<path>:` and the indented lines after it; <path> may name a
member of a .whl or .deb as <archive>!<member>. Texts are compared with white space collapsed and
the copyright format's "." paragraph lines dropped, so re-indenting a quote is no change.
Usage: check_notices.py NOTICES FOLDER=DIR... (the folders of prepare_toolchains.sh, downloads too)
"""

import re
import subprocess
import sys
import zipfile
from pathlib import Path


def normalized(text: str) -> str:
    lines = (line.strip() for line in text.splitlines())
    return " ".join(" ".join(line for line in lines if line != ".").split())


def read_source(folders: dict[str, Path], source: str) -> str:
    folder, _, path = source.partition(":")
    archive, _, member = path.partition("!")
    file = folders[folder] / archive
    if not member:
        return file.read_text(encoding="utf-8")
    if file.suffix == ".whl":
        with zipfile.ZipFile(file) as wheel:
            return wheel.read(member).decode("utf-8")
    contents = subprocess.run(["dpkg-deb", "--fsys-tarfile", str(file)], check=True, capture_output=True).stdout
    return subprocess.run(["tar", "-xO", member], input=contents, check=True, capture_output=True).stdout.decode()


def quotes(notices: str) -> list[tuple[str, str]]:
    found = []
    for match in re.finditer(r"^Quoted from (\S+):\n((?:(?: {4}.*)?\n)+)", notices, re.MULTILINE):
        found.append((match.group(1), match.group(2)))
    return found


def main() -> int:
    notices = Path(sys.argv[1]).read_text(encoding="utf-8")
    folders = {name: Path(folder) for name, folder in (arg.split("=", 1) for arg in sys.argv[2:])}
    failures = 0
    found = quotes(notices)
    for source, text in found:
        if normalized(text) not in normalized(read_source(folders, source)):
            print(f"FAIL notices: the text quoted from {source} is not in it: {text.strip()[:60]}...")
            failures += 1
    print(f"notices: {len(found) - failures} of {len(found)} quotes found in their sources")
    return 1 if failures or not found else 0


if __name__ == "__main__":
    sys.exit(main())

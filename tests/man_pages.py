#!/usr/bin/env python3
"""Checks the man pages: mandoc finds nothing to warn about, and every quoted text (in
backticks) and every command line of the README's sections on a program appears in its page, so
that the pages say what the README says.

usage: man_pages.py MANDOC README MAN_DIR   (exit status 0 when they agree, 77 (skipped) when
MANDOC is not a program, e.g. MAVO_MANDOC-NOTFOUND)
"""
import re
import shutil
import subprocess
import sys
from pathlib import Path

SECTIONS = {
    "mavo-edge-gpu-helper.1": ["Run", "The report", "Exit statuses and messages"],
    "mavo-edge-verify.1": ["Verifying a report"],
    "mavo-edge-healthcheck.1": [],
}


def collapsed(text):
    return " ".join(text.split())


def readme_texts(readme, heading):
    """The backticked texts and the fenced command lines of one `## heading` section."""
    section = re.search(rf"^## {re.escape(heading)}\n(.*?)(?=^## |\Z)", readme, re.M | re.S).group(1)
    fenced = re.findall(r"^```[a-z]*\n(.*?)^```", section, re.M | re.S)
    commands = [line.strip().rstrip("|").strip() for block in fenced for line in block.splitlines()
                if re.match(r"\s*(mavo-edge-|seed=)", line)]
    prose = re.sub(r"^```.*?^```", "", section, flags=re.M | re.S)
    return commands + [collapsed(text) for text in re.findall(r"`([^`]+)`", collapsed(prose))]


def main(mandoc, readme_path, man_dir):
    if not shutil.which(mandoc):
        print(f"skipped: no mandoc ({mandoc})")
        return 77
    readme = Path(readme_path).read_text(encoding="utf-8")
    failures = 0
    for page, headings in SECTIONS.items():
        path = Path(man_dir) / page
        lint = subprocess.run([mandoc, "-T", "lint", "-W", "warning", str(path)],
                              capture_output=True, text=True)
        if lint.returncode != 0 or lint.stdout or lint.stderr:
            print(f"FAIL {page}: mandoc -T lint: {lint.stdout}{lint.stderr}")
            failures += 1
        rendered = subprocess.run([mandoc, "-T", "ascii", "-O", "width=1000", str(path)],
                                  capture_output=True, text=True, check=True).stdout
        text = collapsed(re.sub(r".\x08", "", rendered))
        for heading in headings:
            for quoted in readme_texts(readme, heading):
                if collapsed(quoted) not in text:
                    print(f"FAIL {page} lacks the README's ({heading}) text: {quoted}")
                    failures += 1
    print(f"man pages: {failures} disagreements with the README")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

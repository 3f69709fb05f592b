#!/usr/bin/env python3
"""Checks the README's package tables against packaging/variants.tsv: the "Which package" table
names every variant and no other, each with its driver range (its floor, up to the next floor of
its CPU and system) and its glibc floor; the driver table says "refused" below a variant's floor
and "accepted" from it on.

usage: readme_variants.py README VARIANTS_TSV   (exit status 0 when they agree)
"""
import re
import sys
from pathlib import Path


def readme_table(readme, first_column):
    """The header and rows of the README's table whose first column is named so, cell by cell."""
    lines = readme.splitlines()
    start = next(k for k, line in enumerate(lines) if line.startswith(f"| {first_column} |"))
    cells = []
    for line in lines[start:]:
        if not line.startswith("|"):
            break
        cells.append([cell.strip() for cell in line.strip().strip("|").split("|")])
    return cells[0], cells[2:]


def main(readme_path, table_path):
    readme = Path(readme_path).read_text()
    rows = [line.split("\t") for line in Path(table_path).read_text().splitlines()
            if line and not line.startswith("#")]
    floors = {row[0]: int(row[6]) for row in rows}
    failures = []

    def platform(name):  # the system and CPU part of a name: linux-x86_64 of linux-x86_64-cuda13
        return name.rsplit("-", 1)[0]

    _, packages = readme_table(readme, "variant")
    listed = {re.match(r"`([^`]+)`", cells[0]).group(1): cells for cells in packages}
    if set(listed) != set(floors):
        failures.append(f"the README lists {sorted(listed)}, the table {sorted(floors)}")
    for name, glibc in ((row[0], row[8]) for row in rows if row[0] in listed):
        newer = [floors[other] for other in floors
                 if platform(other) == platform(name) and floors[other] > floors[name]]
        expected = f"{floors[name]} to {min(newer) - 1}" if newer else f"{floors[name]} or newer"
        if not listed[name][2].startswith(expected):
            failures.append(f"{name}: driver {listed[name][2]!r}, expected {expected!r}...")
        if glibc != "-" and listed[name][4] != f"glibc {glibc}+":
            failures.append(f"{name}: system {listed[name][4]!r}, expected 'glibc {glibc}+'")

    header, matrix = readme_table(readme, "package")
    drivers = [int(cell.split(".")[0]) for cell in header[1:]]
    for cells in matrix:
        name = re.match(r"`([^`]+)`", cells[0]).group(1)
        for driver, seen in zip(drivers, cells[1:]):
            expected = "refused" if driver < floors[name] else "accepted"
            if seen and seen != expected:
                failures.append(f"{name} with driver {driver}: {seen!r}, expected {expected!r}")
    for failure in failures:
        print(f"FAIL {failure}")
    print(f"README against {len(rows)} variants: {len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

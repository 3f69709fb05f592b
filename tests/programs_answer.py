#!/usr/bin/env python3
"""Checks that installed programs answer as they must where no NVIDIA driver is in sight: the
helper's usage line and its no-driver line, and the verifier on every digest vector.

usage: programs_answer.py LABEL DIR [PREFIX...]
Runs PREFIX... DIR/mavo-edge-gpu-helper and DIR/mavo-edge-verify (PREFIX: a chroot or qemu-user
command line, say); prints a FAIL line for each failure and exits 1 after any.
"""
import subprocess
import sys
from pathlib import Path

VECTORS = Path(__file__).resolve().parent / "vectors" / "digest_vectors.tsv"
ZEROS = "0" * 64
USAGE = "mavo-edge-gpu-helper --seed <64-hex> --units <count> --json\n"
NO_DRIVER = ("mavo-edge-gpu-helper: cudaGetDeviceCount: CUDA driver version is insufficient for "
             "CUDA runtime version\n")


def main(label, folder, *prefix):
    failures = 0

    def check(condition, what):
        nonlocal failures
        if not condition:
            failures += 1
            print(f"FAIL {label}: {what}"[:400])

    def run(program, *arguments):
        return subprocess.run([*prefix, f"{folder}/{program}", *arguments], capture_output=True,
                              text=True, errors="replace")

    usage = run("mavo-edge-gpu-helper", "--help")
    check((usage.returncode, usage.stdout, usage.stderr) == (0, "", USAGE), f"--help: {usage}")
    no_driver = run("mavo-edge-gpu-helper", "--seed", ZEROS, "--units", "1", "--json")
    check((no_driver.returncode, no_driver.stdout, no_driver.stderr) == (1, "", NO_DRIVER),
          f"a run without a driver: {no_driver}")
    rows = [line.split("\t") for line in VECTORS.read_text().splitlines()[1:]]
    for seed, units, xor_value, sum_value in rows:
        verified = run("mavo-edge-verify", "--seed", seed, "--units", units)
        check(verified.stdout == f'{{"xor_value":"{xor_value}","sum_value":"{sum_value}",'
                                 f'"units":{units}}}\n', f"verifier {seed} {units}: {verified}")
    print(f"{label}: the usage line, the no-driver line, the verifier on {len(rows)} vectors: "
          f"{failures} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

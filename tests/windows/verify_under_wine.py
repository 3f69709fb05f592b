#!/usr/bin/env python3
"""mavo-edge-verify.exe under wine: every digest vector, a seed measured in UTF-8 bytes, and a
report on standard input read as raw bytes. Windows writes its lines with CR LF.

usage: verify_under_wine.py <mavo-edge-verify.exe> <digest_vectors.tsv>
"""
import os
import subprocess
import sys

failures = []


def verify(exe, *arguments, stdin=b""):
    # A UTF-8 locale, so that wine hands the program "\u00e9" as one character, as Windows would.
    environment = {**os.environ, "WINEDEBUG": "-all", "LANG": "C.UTF-8"}
    result = subprocess.run(["wine", exe, *arguments], input=stdin, capture_output=True,
                            env=environment, check=False)
    return result.returncode, result.stdout, result.stderr


def expect(what, found, wanted):
    if found != wanted:
        failures.append(what)
        print(f"FAIL {what}: {found!r}, expected {wanted!r}")


def main(exe, vectors):
    rows = [line.split("\t") for line in open(vectors, encoding="ascii").read().splitlines()[1:]]
    for seed, units, xor_value, sum_value in rows:
        line = f'{{"xor_value":"{xor_value}","sum_value":"{sum_value}","units":{units}}}\r\n'
        expect(f"digests {seed} {units}", verify(exe, "--seed", seed, "--units", units),
               (0, line.encode(), b""))

    # 64 characters, 65 bytes: refused for its length, as on Linux.
    expect("seed with a two-byte character", verify(exe, "--seed", "\u00e9" + "0" * 63, "--units", "1"),
           (1, b"", b"mavo-edge-verify: seed must contain exactly 64 hexadecimal characters\r\n"))

    zeros = "0" * 64
    report = (b'{"xor_value":"e472b00bee88c7a0","sum_value":"0a830c0420b7813e","gpu_name":"GPU",'
              b'"gpu_uuid":"0000:01:00.0","duration_ms":1,"units":3}')
    check = ("--seed", zeros, "--units", "3", "--report", "-")
    expect("report on standard input", verify(exe, *check, stdin=report + b"\r\n"), (0, b"", b""))
    # Text mode would stop reading at byte 0x1A and pass the report.
    expect("bytes after 0x1A", verify(exe, *check, stdin=report + b"\x1agarbage"),
           (1, b"", b"mavo-edge-verify: malformed report: unexpected text after the object at "
                    b"byte %d\r\n" % len(report)))
    print(f"{len(rows)} vectors and 3 input cases under wine: {len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

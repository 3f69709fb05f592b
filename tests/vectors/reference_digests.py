#!/usr/bin/env python3
"""Independent reference for the helper's digests, in numpy's wrapping 64-bit integers.

  reference_digests.py --write FILE   writes the published vectors
  reference_digests.py --check FILE   recomputes every row of FILE; exit 1 on any difference
"""
import multiprocessing
import sys

import numpy

MASK = (1 << 64) - 1
CHUNK = 1 << 22

ROWS = [
    ("0" * 64, 1),
    ("0" * 64, 2),
    ("0" * 64, 3),
    ("0123456789abcdef" + "0" * 48, 1),
    ("f" * 64, 1),
    ("0" * 64, 256),
    ("0" * 64, 257),
    ("0" * 64, 1048321),
    ("0" * 64, 1048576),
    ("0" * 64, 1048577),
    ("0" * 64, 100000000),
    ("0123456789ABCDEF" + "0" * 48, 1000),
    ("0" * 16 + "z" * 48, 1000),
    ("f" * 64, 4096),
    ("fffffffffffffff0" + "0" * 48, 65536),
    ("9b1e5c03a7d24f68" + "c" * 48, 12345),
    ("5A0F3C96E1B7D248" + "1" * 48, 999999),
    ("d00df00dcafebabe" + "e" * 48, 5000000),
    ("13579bdf02468ace" + "a" * 48, 50000000),
    ("0123456789abcdef" + "0" * 48, 100000000),
]


def kernel_seed(seed_text):
    return int.from_bytes(bytes.fromhex(seed_text[:16]), "little")


def fold(task):
    """XOR and sum of the unit values of units start to stop - 1; numpy's uint64 arrays wrap
    modulo 2^64 in every operation, sums included."""
    base, start, stop = task
    z = numpy.arange(start, stop, dtype=numpy.uint64) + numpy.uint64(base & MASK)
    z ^= z >> numpy.uint64(30)
    z *= numpy.uint64(0xBF58476D1CE4E5B9)
    z ^= z >> numpy.uint64(27)
    z *= numpy.uint64(0x94D049BB133111EB)
    z ^= z >> numpy.uint64(31)
    return int(numpy.bitwise_xor.reduce(z)), int(z.sum(dtype=numpy.uint64))


def digests(pool, seed_text, units):
    base = kernel_seed(seed_text) + 0x9E3779B97F4A7C15
    tasks = [(base, start, min(units, start + CHUNK)) for start in range(0, units, CHUNK)]
    x = s = 0
    for part_x, part_s in pool.map(fold, tasks):
        x ^= part_x
        s += part_s
    return f"{x:016x}", f"{s & MASK:016x}"


def main(mode, path):
    with multiprocessing.Pool() as pool:
        if mode == "--write":
            with open(path, "w", encoding="ascii") as out:
                out.write("seed_text\tunits\txor_value\tsum_value\n")
                for seed_text, units in ROWS:
                    out.write("\t".join([seed_text, str(units), *digests(pool, seed_text, units)]) + "\n")
            return 0
        failures = 0
        with open(path, encoding="ascii") as vectors:
            rows = [line.rstrip("\n").split("\t") for line in vectors][1:]
        for seed_text, units, xor_value, sum_value in rows:
            expected = digests(pool, seed_text, int(units))
            if expected != (xor_value, sum_value):
                print(f"{seed_text} {units}: file has {xor_value} {sum_value}, reference {expected}")
                failures += 1
        print(f"{len(rows) - failures} passed, {failures} failed")
        return 1 if failures or not rows else 0


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("--write", "--check"):
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))

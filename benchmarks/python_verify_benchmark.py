#!/usr/bin/env python3
"""Figures for the Python package, side by side in one run (medians of repeated runs):
expected_digests at 1e8 units against the verifier program's own compute time on the same thread
count, the cost of a call at 1 unit, two Python threads against one, and a coordinator's naive
choices: one verifier process per report, and the numpy reference.

usage: python_verify_benchmark.py MAVO_EDGE_VERIFY [THREADS]   (mavo_edge and numpy importable)
"""
import multiprocessing
import os
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import mavo_edge

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "vectors"))
import reference_digests  # noqa: E402  (the numpy reference, beside the vectors it writes)

SEED = "0123456789abcdef" + "0" * 48
UNITS = 100000000


def median_seconds(action, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main(verify, threads):
    def program(units, count=threads):
        subprocess.run([verify, "--seed", SEED, "--units", str(units), "--threads", str(count)],
                       check=True, stdout=subprocess.DEVNULL)

    # The program's compute time: its run at 1e8 units less its run at 1 unit (start-up, output).
    start_up = median_seconds(lambda: program(1), 15)
    program_run = median_seconds(lambda: program(UNITS), 15)
    program_compute = program_run - start_up
    library = median_seconds(lambda: mavo_edge.expected_digests(SEED, UNITS, threads=threads), 15)
    print(f"1e8 units, {threads} threads: expected_digests {library * 1e3:.1f} ms; the program "
          f"{program_run * 1e3:.1f} ms, of which computing {program_compute * 1e3:.1f} ms; "
          f"ratio {library / program_compute:.2f} (goal: at most 1.1)")

    report = mavo_edge.expected_digests(SEED, 1)
    line = (f'{{"xor_value":"{report.xor_value}","sum_value":"{report.sum_value}","gpu_name":"GPU",'
            f'"gpu_uuid":"0000:01:00.0","duration_ms":1,"units":1}}\n')
    calls = 20000
    per_check = median_seconds(lambda: [mavo_edge.check_report(line, SEED, 1) for _ in range(calls)], 5) / calls
    per_digest = median_seconds(lambda: [mavo_edge.expected_digests(SEED, 1) for _ in range(calls)], 5) / calls
    print(f"1 unit: check_report {per_check * 1e6:.1f} µs a call, expected_digests "
          f"{per_digest * 1e6:.1f} µs a call (goal: under 20 µs)")

    # The same four one-thread computations on one Python thread, then on two.
    def work(count):
        for _ in range(count):
            mavo_edge.expected_digests(SEED, UNITS // 4, threads=1)

    def on_threads(count):
        workers = [threading.Thread(target=work, args=(4 // count,)) for _ in range(count)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()

    one, two = median_seconds(lambda: on_threads(1), 7), median_seconds(lambda: on_threads(2), 7)
    print(f"4 x 2.5e7 units on 1 Python thread {one * 1e3:.0f} ms, on 2 {two * 1e3:.0f} ms: "
          f"{one / two:.2f}x (goal: at least 1.8x on 2 cores)")
    # What two threads of native code gain on this machine: the ceiling for the figure above.
    alone = median_seconds(lambda: program(UNITS, 1), 15) - start_up
    paired = median_seconds(lambda: program(UNITS, 2), 15) - start_up
    print(f"the program itself at 1e8 units: 1 thread {alone * 1e3:.1f} ms, 2 threads "
          f"{paired * 1e3:.1f} ms computing: {alone / paired:.2f}x")

    def spawn(units):
        subprocess.run([verify, "--seed", SEED, "--units", str(units), "--report", "-"],
                       input=line.replace('"units":1', f'"units":{units}').encode(),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    per_spawn = median_seconds(lambda: [spawn(1) for _ in range(200)], 3) / 200
    print(f"naive: a verifier process per report, 1 unit: {per_spawn * 1e6:.0f} µs a report "
          f"({per_spawn / per_check:.0f}x check_report)")
    with multiprocessing.Pool(os.cpu_count()) as pool:
        numpy_time = median_seconds(lambda: reference_digests.digests(pool, SEED, UNITS), 3)
    print(f"naive: the numpy reference on {os.cpu_count()} processes, 1e8 units: "
          f"{numpy_time * 1e3:.0f} ms ({numpy_time / library:.0f}x expected_digests)")


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else os.cpu_count() or 1)

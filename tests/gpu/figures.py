#!/usr/bin/env python3
"""GPU figures of mavo-edge-gpu-helper, printed, not judged:

    python3 tests/gpu/figures.py [--helper PATH] [--gpu-programs DIR]

The same arguments as acceptance.py. On CUDA device 0 it prints duration_ms at 1e8 units of this
script's first run, of a first run with an empty compute cache and of warm runs; the helper's
median wall time against a bare context; and the kernel's own speed at 1e8 and 1e11 units at the
SM clock it ran at. A figure whose runs fail is a "FAIL <figure>: ..." line and exit status 1.
"""
import json
import os
import re
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

from gpu_tools import (FULL, RUN_LIMIT_S, ZEROS, Gpu, Run, device_0, helper_run, kill_group,
                       main_of, nvidia_smi, run)

CYCLES_PER_UNIT_PER_SM_BOUND = 0.31
# Kernel timing: 1e8 units as the helper runs them, and 1e11, whose launches (about 0.1 s each on a
# Hopper GPU) are long enough that launch overheads vanish.
TIMING_UNITS = [FULL, 100000000000]
TIMING_SECONDS = 3


def median_wall_ms(state: Run, command, runs=10):
    """Median wall time of the runs that succeeded, and their number."""
    times, failed = [], []
    for _ in range(runs):
        start = time.perf_counter()
        result = run(command)
        if result.returncode == 0:
            times.append((time.perf_counter() - start) * 1000)
        else:
            failed.append(result)
    if failed:
        state.fail("wall time", f"{Path(command[0]).name}: {len(failed)} of {runs} timed runs "
                                f"failed, the last with status {failed[-1].returncode}: "
                                f"{failed[-1].stderr.strip()}")
    return (statistics.median(times) if times else None), len(times)


def print_durations(state: Run) -> None:
    first = helper_run(state, "duration", "first run", ZEROS, FULL)
    empty_cache = state.scratch / "empty-cache"
    empty_cache.mkdir()
    first_empty = helper_run(state, "duration", "first run with an empty CUDA_CACHE_PATH", ZEROS,
                             FULL, env={"CUDA_CACHE_PATH": str(empty_cache)})
    warm = [report["duration_ms"] for report in
            (helper_run(state, "duration", f"warm run {k + 1}", ZEROS, FULL) for k in range(5))
            if report]
    def duration(report):
        return report["duration_ms"] if report else "failed"
    print(f"duration_ms at {FULL} units: first run {duration(first)}, first with an empty "
          f"CUDA_CACHE_PATH {duration(first_empty)}, warm "
          f"{statistics.median(warm) if warm else 'failed'} (median of the {len(warm)} of 5 "
          f"that succeeded)")

    helper_ms, helper_runs = median_wall_ms(
        state, [state.under_test.helper, "--seed", ZEROS, "--units", FULL, "--json"])
    context_ms, context_runs = median_wall_ms(state, [state.under_test.programs / "bare_context"])
    if helper_ms is not None and context_ms is not None:
        print(f"median wall time: helper {helper_ms:.1f} ms ({helper_runs} of 10 runs succeeded), "
              f"bare context {context_ms:.1f} ms ({context_runs} of 10), "
              f"ratio {helper_ms / context_ms:.2f}")


def kernel_entry_name(state: Run, fatbin: Path):
    """The kernel's entry name, read from the device code's own symbols in the fatbinary."""
    names = set(re.findall(rb"_Z\w*15edge_mix_kernel\w*", fatbin.read_bytes()))
    if len(names) != 1:
        state.fail("kernel timing", f"the fatbinary names edge_mix_kernel {len(names)} ways: "
                                    f"{sorted(names)}")
        return None
    return names.pop().decode()


def sm_clock_mhz(gpu: Gpu):
    result = nvidia_smi("--query-gpu=clocks.sm", "--format=csv,noheader,nounits", "-i", gpu.index)
    reading = result.stdout.strip()
    return int(reading) if result.returncode == 0 and reading.isdigit() else None


def time_kernel(state: Run, fatbin: Path, entry: str, units: int, gpu: Gpu) -> None:
    """Runs the timing program on the GPU whose clock is read, PCI order numbering both alike,
    reading the SM clock while its timed batches run."""
    try:
        process = subprocess.Popen(
            [str(state.under_test.programs / "edge_mix_kernel_timing"), str(fatbin), entry,
             str(units), str(TIMING_SECONDS)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, errors="replace",
            env={**os.environ, "CUDA_DEVICE_ORDER": "PCI_BUS_ID"}, start_new_session=True)
    except OSError as error:
        state.fail("kernel timing", f"x{units}: {error}")
        return
    watchdog = threading.Timer(RUN_LIMIT_S, kill_group, [process])
    watchdog.start()
    clocks = []
    try:
        if process.stdout.readline().strip() == "timing":
            while process.poll() is None:
                clock = sm_clock_mhz(gpu)
                if clock and process.poll() is None:
                    clocks.append(clock)
                time.sleep(0.2)
        output, errors = process.communicate()
    finally:
        watchdog.cancel()
    try:
        figures = json.loads(output) if process.returncode == 0 else None
    except json.JSONDecodeError:
        figures = None
    if figures is None:
        state.fail("kernel timing", f"x{units}: status {process.returncode}: {output!r} "
                                    f"{errors.strip()}")
        return
    ms = figures["ms_per_launch_median"]
    line = (f"kernel x{units}: {ms:.4f} ms a launch (median of 5 batches, fastest "
            f"{figures['ms_per_launch_min']:.4f}; {figures['launches']} launches), "
            f"{units / (ms / 1000):.3e} units/s; library counted {figures['kernels_counted']} "
            f"kernel(s)")
    if not clocks:
        print(f"{line}; SM clock not read, so no cycles per unit")
        return
    clock = statistics.median(clocks)
    cycles = ms / 1000 * clock * 1e6 * figures["multiprocessors"] / units
    print(f"{line}; SM clock while timed {clock:.0f} MHz (median of {len(clocks)} readings, "
          f"{min(clocks)} to {max(clocks)}): {cycles:.3f} cycles per unit per SM on "
          f"{figures['multiprocessors']} SMs, bound about {CYCLES_PER_UNIT_PER_SM_BOUND}")


def print_kernel_figures(state: Run) -> None:
    fatbin = state.scratch / "helper.fatbin"
    cut = run(["objcopy", "-O", "binary", "--only-section=.nv_fatbin", state.under_test.helper,
               fatbin])
    if cut.returncode != 0:
        state.fail("kernel timing", f"cutting the fatbinary out of the helper: "
                                    f"{cut.stderr.strip()}")
        return
    entry = kernel_entry_name(state, fatbin)
    if entry is not None:
        for units in TIMING_UNITS:
            time_kernel(state, fatbin, entry, units, device_0(state.gpus) or state.gpus[0])


def figures(state: Run) -> None:
    print_durations(state)
    print_kernel_figures(state)


if __name__ == "__main__":
    sys.exit(main_of("GPU figures of mavo-edge-gpu-helper", figures))

#!/usr/bin/env python3
"""Runs the helper under GPGPU-Sim, in functional mode, and checks every report whole:

    check_reports.py BUILD_DIR SIMULATOR_DIR TOOLKIT_DIR

BUILD_DIR holds the simulator build of the helper and mavo-edge-verify, SIMULATOR_DIR the
simulator's lib/ and configs/, TOOLKIT_DIR the bin/ with the cuobjdump and ptxas it calls. Each row
of the table runs in a folder of its own holding its configuration; the rows run two at a time.
"""
import os
import re
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

SIMULATED_NAME = "GPGPU-Sim_vGPGPU-Sim Simulator Version 4.2.0 "
# Turing and Ampere run the kernel; Volta (compute capability 7.0) is refused.
RUNNING_CONFIGS = ["SM75_RTX2060", "SM86_RTX3070"]
REFUSED_CONFIG = "SM7_QV100"
SEEDS = ["0123456789abcdef" + "0" * 48, "F00DFACECAFEBEEF" + "x" * 48]
# One and several units, one block and just past it, the whole grid of 4096 x 256 threads and just
# past it, and about three times it, where every thread's grid-stride loop runs again.
UNITS = [1, 3, 256, 257, 1048576, 1048577, 3000017]


def run_helper(paths, config, seed, units):
    build, simulator, toolkit = paths
    with tempfile.TemporaryDirectory(prefix=f"sim-{config}-") as folder:
        for source in (simulator / "configs" / config).iterdir():
            text = source.read_text()
            if source.name == "gpgpusim.config":  # functional mode: digests, not timing
                text = re.sub(r"(?m)^-gpgpu_ptx_sim_mode \d+", "-gpgpu_ptx_sim_mode 1", text)
            (Path(folder) / source.name).write_text(text)
        env = {**os.environ, "LD_LIBRARY_PATH": str(simulator / "lib"),
               "CUDA_INSTALL_PATH": str(toolkit.resolve()), "PTX_SIM_USE_PTX_FILE": "1.ptx",
               "PTX_SIM_KERNELFILE": "_1.ptx", "CUOBJDUMP_SIM_FILE": "jj"}
        return subprocess.run([str((build / "mavo-edge-gpu-helper").resolve()), "--seed", seed,
                               "--units", str(units), "--json"], cwd=folder, env=env,
                              capture_output=True, text=True, errors="replace", timeout=600)


def expected_report(build, seed, units):
    """The whole report line, from the verifier's digests, any duration_ms of 1 or more."""
    digests = subprocess.run([str(build / "mavo-edge-verify"), "--seed", seed, "--units",
                              str(units)], capture_output=True, text=True, check=True).stdout
    found = re.fullmatch(r'\{"xor_value":"([0-9a-f]{16})","sum_value":"([0-9a-f]{16})",'
                         r'"units":(\d+)\}\n', digests)
    xor_value, sum_value, _ = found.groups()
    return re.compile(
        re.escape(f'{{"xor_value":"{xor_value}","sum_value":"{sum_value}","gpu_name":'
                  f'"{SIMULATED_NAME}","gpu_uuid":"","duration_ms":')
        + r"[1-9]\d*" + re.escape(f',"units":{units}}}'))


def check_row(paths, row):
    config, seed, units = row
    started = time.monotonic()
    result = run_helper(paths, config, seed, units)
    label = f"{config} {seed[:16]} x{units} ({time.monotonic() - started:.1f} s)"
    reports = [line for line in result.stdout.splitlines() if line.startswith("{")]
    if config == REFUSED_CONFIG:
        passed = (result.returncode == 1 and not reports and result.stderr ==
                  "mavo-edge-gpu-helper: GPU requires CUDA compute capability 7.5 or newer\n")
    else:
        passed = (result.returncode == 0 and result.stderr == "" and len(reports) == 1 and
                  expected_report(paths[0], seed, units).fullmatch(reports[0]) is not None)
    details = "" if passed else (f"\n    status {result.returncode}, reports {reports}, "
                                 f"stderr {result.stderr[-2000:]!r}")
    return passed, label + details


def main():
    paths = tuple(Path(argument) for argument in sys.argv[1:])
    rows = [(config, seed, units) for units in sorted(UNITS, reverse=True)
            for config in RUNNING_CONFIGS for seed in SEEDS]
    rows.append((REFUSED_CONFIG, SEEDS[0], 1))
    outcomes = []
    with ThreadPoolExecutor(max_workers=os.cpu_count()) as pool:
        for passed, label in pool.map(lambda row: check_row(paths, row), rows):
            print(f"{'ok  ' if passed else 'FAILED'} {label}", flush=True)
            outcomes.append(passed)
    failed = outcomes.count(False)
    print(f"{len(outcomes) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

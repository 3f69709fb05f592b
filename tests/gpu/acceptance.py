#!/usr/bin/env python3
"""GPU acceptance run of mavo-edge-gpu-helper, in one command:

    python3 tests/gpu/acceptance.py [--helper PATH]

Asks nvidia-smi for a GPU, builds the release with the GPU check programs, then on device 0: compares every report with the
CPU verifier, checks the report's shape and its name and bus id against nvidia-smi, runs
compute-sanitizer's memcheck and racecheck and the PTX path, and prints timing figures.
With --helper, the checks run a prebuilt helper and the mavo-edge-verify beside it instead of the
ones built here; PATH is the helper, or a folder of release packages (build/packages), from which
the .tar.gz for this CPU and the newest CUDA that the installed driver runs is unpacked and used.
Exit status: 0 all checks passed, 1 a check failed, 77 skipped (no NVIDIA GPU here).
"""
import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / "build" / "gpu-acceptance"
HELPER = BUILD / "mavo-edge-gpu-helper"
VERIFY = BUILD / "mavo-edge-verify"
# The oldest driver branch that runs each CUDA major version's runtime, newest first.
DRIVER_FLOORS = [("cuda13", 580), ("cuda12", 525)]
KEYS = ["xor_value", "sum_value", "gpu_name", "gpu_uuid", "duration_ms", "units"]
SKIPPED = 77
ZEROS = "0" * 64
PUBLISHED_ROWS = [(ZEROS, 1), (ZEROS, 2), (ZEROS, 3), ("0123456789abcdef" + "0" * 48, 1),
                  ("f" * 64, 1)]
BOUNDARY_UNITS = [1, 256, 257, 1048321, 100000000]
CYCLES_PER_UNIT_PER_SM_BOUND = 0.31

failures = []


def fail(what):
    failures.append(what)
    print(f"FAIL {what}", flush=True)


def run(command, **kwargs):
    return subprocess.run([str(part) for part in command], capture_output=True, text=True,
                          check=False, **kwargs)


def build():
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    for command in (["cmake", "-S", ROOT, "-B", BUILD, *generator, "-DCMAKE_BUILD_TYPE=Release",
                     "-DMAVO_ENABLE_GPU_CHECKS=ON"],
                    ["cmake", "--build", BUILD, "--parallel"]):
        result = run(command)
        if result.returncode != 0:
            sys.exit(f"build failed: {' '.join(map(str, command))}\n{result.stdout}{result.stderr}")


def packaged_helper(packages, driver_version):
    """Unpacks the release .tar.gz for this CPU and driver; returns its helper's path."""
    driver_major = int(driver_version.split(".")[0])
    flavor = next((name for name, floor in DRIVER_FLOORS if driver_major >= floor), None)
    if flavor is None:
        sys.exit(f"driver {driver_version} is older than every package's floor")
    matches = sorted(Path(packages).glob(f"mavo-edge-gpu-helper-*-linux-{os.uname().machine}-"
                                         f"{flavor}.tar.gz"))
    if not matches:
        sys.exit(f"no {os.uname().machine} {flavor} package in {packages}")
    unpacked = Path(tempfile.mkdtemp(prefix="mavo-acceptance-"))
    with tarfile.open(matches[-1]) as archive:
        archive.extractall(unpacked)
    print(f"package: {matches[-1].name} (driver {driver_version})")
    return next(unpacked.glob("*/bin/mavo-edge-gpu-helper"))


def nvidia_smi_gpus():
    if not shutil.which("nvidia-smi"):
        return []
    result = run(["nvidia-smi", "--query-gpu=index,name,pci.bus_id,driver_version",
                  "--format=csv,noheader"])
    if result.returncode != 0:
        return []
    return [[field.strip() for field in line.split(",")] for line in result.stdout.splitlines()]


def report_line(stdout):
    """The helper's report among whatever else a wrapper such as compute-sanitizer printed."""
    lines = [line for line in stdout.splitlines() if line.startswith("{")]
    return lines[0] if len(lines) == 1 else None


def helper_run(label, seed, units, wrapper=(), env=None):
    """Runs the helper, checks the report's shape and digests; returns the report or None."""
    result = run([*wrapper, HELPER, "--seed", seed, "--units", units, "--json"],
                 env={**os.environ, **(env or {})})
    line = report_line(result.stdout)
    if result.returncode != 0 or line is None or (not wrapper and result.stderr):
        fail(f"{label}: status {result.returncode}, stdout {result.stdout!r}, "
             f"stderr {result.stderr!r}")
        return None
    if not wrapper and result.stdout != line + "\n":
        fail(f"{label}: standard output is not exactly one line: {result.stdout!r}")
    report = json.loads(line)
    if list(report) != KEYS:
        fail(f"{label}: keys {list(report)}")
        return None
    verified = run([VERIFY, "--seed", seed, "--units", units, "--report", "-"], input=line + "\n")
    if verified.returncode != 0:
        fail(f"{label}: {verified.stderr.strip()}")
    return report


def same_bus_id(cuda_bus_id, smi_bus_id):
    """nvidia-smi writes an 8-digit PCI domain, the CUDA runtime 4 digits."""
    def parts(bus_id):
        domain, rest = bus_id.split(":", 1)
        return int(domain, 16), rest.lower()
    return parts(cuda_bus_id) == parts(smi_bus_id)


def check_digests(rng):
    cases = [(f"published row {seed[:16]} x{units}", seed, units) for seed, units in PUBLISHED_ROWS]
    for _ in range(20):
        seed = "".join(rng.choice("0123456789abcdefABCDEF") for _ in range(64))
        units = int(10 ** rng.uniform(0, 8))
        cases.append((f"random {seed[:16]} x{units}", seed, units))
    for units in BOUNDARY_UNITS:
        seed = "".join(rng.choice("0123456789abcdef") for _ in range(64))
        cases.append((f"boundary {seed[:16]} x{units}", seed, units))
    matched = sum(helper_run(*case) is not None for case in cases)
    print(f"digests: {matched} of {len(cases)} reports well-formed (mismatches are listed above)")


def check_identity(gpus):
    report = helper_run("identity", ZEROS, 1, env={"CUDA_DEVICE_ORDER": "PCI_BUS_ID"})
    if report is None:
        return
    index, name, bus_id, _ = gpus[0]
    if report["gpu_name"] != name:
        fail(f"gpu_name {report['gpu_name']!r}, nvidia-smi GPU {index} says {name!r}")
    if not same_bus_id(report["gpu_uuid"], bus_id):
        fail(f"gpu_uuid {report['gpu_uuid']!r}, nvidia-smi GPU {index} says {bus_id!r}")
    print(f"identity: {report['gpu_name']} at {report['gpu_uuid']} (nvidia-smi: {name}, {bus_id})")


def check_sanitizers():
    sanitizer = shutil.which("compute-sanitizer") or shutil.which(
        "compute-sanitizer", path=str(Path(shutil.which("nvcc") or "/usr/local/cuda/bin/nvcc").parent))
    if sanitizer is None:
        fail("compute-sanitizer not found")
        return
    for tool in ("memcheck", "racecheck"):
        if helper_run(f"compute-sanitizer {tool}", ZEROS, 1048577,
                      wrapper=(sanitizer, "--tool", tool, "--error-exitcode", "99")):
            print(f"compute-sanitizer {tool}: no errors")


def check_ptx_path():
    for units in (3, 100000000):
        if helper_run(f"PTX JIT x{units}", ZEROS, units,
                      env={"CUDA_FORCE_PTX_JIT": "1", "CUDA_CACHE_DISABLE": "1"}):
            print(f"PTX JIT x{units}: digests match")


def median_wall_ms(command, runs=10):
    times, statuses = [], set()
    for _ in range(runs):
        start = time.perf_counter()
        statuses.add(run(command).returncode)
        times.append((time.perf_counter() - start) * 1000)
    if statuses != {0}:
        fail(f"{command[0]}: exit statuses {sorted(statuses)}")
    return statistics.median(times)


def print_figures():
    cold = helper_run("cold JIT cache", ZEROS, 100000000, env={"CUDA_CACHE_DISABLE": "1"})
    helper_run("warm-up", ZEROS, 100000000)
    warm = helper_run("warm", ZEROS, 100000000)
    if cold and warm:
        print(f"duration_ms at 100000000 units: cold JIT cache {cold['duration_ms']}, "
              f"warm {warm['duration_ms']}")
    helper_ms = median_wall_ms([HELPER, "--seed", ZEROS, "--units", 100000000, "--json"])
    context_ms = median_wall_ms([BUILD / "tests" / "gpu" / "bare_context"])
    print(f"median wall time of 10 runs: helper {helper_ms:.1f} ms, bare context "
          f"{context_ms:.1f} ms, ratio {helper_ms / context_ms:.2f}")

    fatbin = BUILD / "mavo-edge-gpu-helper.fatbin"
    cut = run(["objcopy", "-O", "binary", "--only-section=.nv_fatbin", HELPER, fatbin])
    timing = run([BUILD / "tests" / "gpu" / "edge_mix_kernel_timing", fatbin, 100000000])
    if cut.returncode != 0 or timing.returncode != 0:
        fail(f"kernel timing: {cut.stderr.strip()} {timing.stderr.strip()}")
        return
    figures = json.loads(timing.stdout)
    bound_ms = (CYCLES_PER_UNIT_PER_SM_BOUND * figures["units"] /
                (figures["multiprocessors"] * figures["clock_khz"]))
    print(f"kernel at 100000000 units: median {figures['kernel_ms_median']:.3f} ms "
          f"(min {figures['kernel_ms_min']:.3f}), {figures['cycles_per_unit_per_sm']:.3f} cycles "
          f"per unit per SM on {figures['multiprocessors']} SMs at {figures['clock_khz']} kHz; "
          f"bound {CYCLES_PER_UNIT_PER_SM_BOUND} cycles = {bound_ms:.3f} ms")


def main():
    global HELPER, VERIFY
    parser = argparse.ArgumentParser(description="GPU acceptance run of mavo-edge-gpu-helper")
    parser.add_argument("--helper", help="a prebuilt helper, or a folder of release packages")
    arguments = parser.parse_args()
    started = time.monotonic()
    gpus = nvidia_smi_gpus()
    if not gpus:
        print("skipped: no NVIDIA GPU (nvidia-smi lists none)")
        return SKIPPED
    build()
    if arguments.helper:
        helper = Path(arguments.helper).resolve()
        HELPER = packaged_helper(helper, gpus[0][3]) if helper.is_dir() else helper
        VERIFY = HELPER.with_name("mavo-edge-verify")
        print(f"helper under test: {HELPER}")
    print(f"GPU 0: {gpus[0][1]}, driver {gpus[0][3]}; {len(gpus)} GPU(s)", flush=True)
    check_digests(random.Random(20261209))
    check_identity(gpus)
    check_sanitizers()
    check_ptx_path()
    print_figures()
    print(f"{len(failures)} failure(s) in {time.monotonic() - started:.0f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

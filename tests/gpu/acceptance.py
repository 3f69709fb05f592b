#!/usr/bin/env python3
"""GPU acceptance run of mavo-edge-gpu-helper, in one command:

    python3 tests/gpu/acceptance.py [--helper PATH] [--gpu-programs DIR]

Asks nvidia-smi for a GPU, builds the release with the GPU check programs, then on CUDA device 0:
compares every report with the CPU verifier, checks the report's shape and its name and bus id
against nvidia-smi, runs compute-sanitizer's memcheck and initcheck, shows that the PTX path is
compiled and computes right, and prints figures: duration_ms of cold and warm runs, the helper's
wall time against a bare context, and the kernel's own speed at the SM clock it ran at.

--helper PATH tests a prebuilt helper and the mavo-edge-verify beside it (PATH is the helper), or,
given a folder of release packages, the .tar.gz for this CPU and the newest CUDA that the driver
runs; then only the GPU check programs are built. --gpu-programs DIR takes those programs
(edge_mix_kernel_timing, bare_context) from DIR instead, and nothing is built.

Every line is flushed as it is printed, and every command runs under a time limit. Exit status:
0 all checks passed, 1 a check failed, 77 skipped (no nvidia-smi, or it lists no GPU).
"""
import argparse
import csv
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import threading
import time
from pathlib import Path
from typing import NamedTuple

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / "build" / "gpu-acceptance"
# The oldest driver branch that runs each CUDA major version's runtime, newest first, and the oldest
# whose JIT compiler takes that toolkit's PTX (CUDA 12.4's PTX needs a driver of the 12.4 level,
# 11.8's one of the 11.8 level).
DRIVER_FLOORS = [("cuda13", 580), ("cuda12", 525), ("cuda11", 450)]
PTX_DRIVER_FLOORS = {"cuda13": 580, "cuda12": 550, "cuda11": 520}
KEYS = ["xor_value", "sum_value", "gpu_name", "gpu_uuid", "duration_ms", "units"]
SKIPPED = 77
ZEROS = "0" * 64
FULL = 100000000
PUBLISHED_ROWS = [(ZEROS, 1), (ZEROS, 2), (ZEROS, 3), ("0123456789abcdef" + "0" * 48, 1),
                  ("f" * 64, 1)]
BOUNDARY_UNITS = [1, 256, 257, 1048321, FULL]
CYCLES_PER_UNIT_PER_SM_BOUND = 0.31
RUN_LIMIT_S = 120  # any one run of a program under test or a tool
BUILD_LIMIT_S = 240
# Kernel timing: 1e8 units as the helper runs them, and 1e11, whose launches (about 0.1 s each on a
# Hopper GPU) are long enough that launch overheads vanish.
TIMING_UNITS = [FULL, 100000000000]
TIMING_SECONDS = 3


class Gpu(NamedTuple):
    index: str
    name: str
    bus_id: str
    driver: str
    uuid: str


class UnderTest(NamedTuple):
    helper: Path
    verify: Path
    flavor: str | None  # cuda11, cuda12 or cuda13, where known
    programs: Path  # edge_mix_kernel_timing and bare_context


failures = []


def fail(what):
    failures.append(what)
    print(f"FAIL {what}")


def text_of(output):
    return output.decode(errors="replace") if isinstance(output, bytes) else output or ""


def run(command, timeout=RUN_LIMIT_S, **kwargs):
    """Runs a command to its end; one that outlives the limit is killed and has status None."""
    command = [str(part) for part in command]
    try:
        return subprocess.run(command, capture_output=True, text=True, check=False,
                              timeout=timeout, **kwargs)
    except subprocess.TimeoutExpired as expired:
        return subprocess.CompletedProcess(command, None, text_of(expired.stdout),
                                           text_of(expired.stderr) + f"[killed after {timeout} s]")
    except OSError as error:
        return subprocess.CompletedProcess(command, None, "", str(error))


def build(targets):
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    target_options = ["--target", *targets] if targets else []
    for command in (["cmake", "-S", ROOT, "-B", BUILD, *generator, "-DCMAKE_BUILD_TYPE=Release",
                     "-DMAVO_ENABLE_GPU_CHECKS=ON"],
                    ["cmake", "--build", BUILD, "--parallel", *target_options]):
        result = run(command, timeout=BUILD_LIMIT_S)
        if result.returncode != 0:
            fail(f"build: {' '.join(map(str, command))}: status {result.returncode}\n"
                 f"{(result.stdout + result.stderr)[-4000:]}")
            return False
    return True


def built_flavor():
    """cuda12 or cuda13: the toolkit that built the helper here, as CMake found it."""
    for compiler in BUILD.glob("CMakeFiles/*/CMakeCUDACompiler.cmake"):
        found = re.search(r'CMAKE_CUDA_COMPILER_VERSION "(\d+)\.', compiler.read_text())
        if found:
            return f"cuda{found.group(1)}"
    return None


def nvidia_smi(*arguments):
    return run(["nvidia-smi", *arguments], timeout=60)


def nvidia_smi_gpus():
    """The GPUs nvidia-smi lists; [] where there is none; None where nvidia-smi fails."""
    if not shutil.which("nvidia-smi"):
        return []
    result = nvidia_smi("--query-gpu=index,name,pci.bus_id,driver_version,uuid",
                        "--format=csv,noheader")
    if result.returncode != 0:
        if "No devices were found" in result.stdout + result.stderr:
            return []
        fail(f"nvidia-smi: status {result.returncode}: {(result.stdout + result.stderr).strip()}")
        return None
    rows = csv.reader(result.stdout.splitlines(), skipinitialspace=True)
    return [Gpu(*row) for row in rows if len(row) == 5]


def device_0(gpus):
    """The GPU that CUDA device 0 is in PCI bus order: the first of CUDA_VISIBLE_DEVICES (an index
    or a UUID, maybe shortened) where that is set, else nvidia-smi's GPU 0; None if unknown."""
    visible = os.environ.get("CUDA_VISIBLE_DEVICES")
    if visible is None:
        return gpus[0]
    first = visible.split(",")[0].strip()
    def named(gpu):
        return first == gpu.index or (first.startswith("GPU-") and gpu.uuid.startswith(first))
    return next(filter(named, gpus), None)


def packaged_helper(packages, scratch, driver_major):
    """Unpacks the newest release .tar.gz for this CPU and driver; returns (helper, flavor)."""
    machine = os.uname().machine
    flavor = next((name for name, floor in DRIVER_FLOORS if driver_major >= floor), None)
    if flavor is None:
        fail(f"driver {driver_major} is older than every package's floor")
        return None
    pattern = re.compile(rf"mavo-edge-gpu-helper-(\d+(?:\.\d+)*)-linux-{machine}-{flavor}\.tar\.gz")
    versions = [(tuple(int(part) for part in found.group(1).split(".")), path)
                for path in Path(packages).iterdir() if (found := pattern.fullmatch(path.name))]
    if not versions:
        fail(f"no {machine} {flavor} package in {packages}")
        return None
    tarball = max(versions)[1]
    with tarfile.open(tarball) as archive:
        # The "data" filter where this Python has it: no links or paths out of the folder.
        safe = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
        archive.extractall(scratch / "package", **safe)
    helpers = sorted((scratch / "package").glob("*/bin/mavo-edge-gpu-helper"))
    if len(helpers) != 1:
        fail(f"{tarball.name} holds {len(helpers)} files */bin/mavo-edge-gpu-helper, not one")
        return None
    print(f"package: {tarball.name} (driver {driver_major})")
    return helpers[0], flavor


def report_line(stdout):
    """The helper's report among whatever else a wrapper such as compute-sanitizer printed."""
    lines = [line for line in stdout.splitlines() if line.startswith("{")]
    return lines[0] if len(lines) == 1 else None


def check_report(label, seed, units, result, wrapped=False):
    """Checks one finished helper run: status, output, report shape and digests. Returns the
    report, or None after a FAIL line."""
    line = report_line(result.stdout)
    if result.returncode != 0 or line is None or (not wrapped and result.stderr):
        fail(f"{label}: status {result.returncode}, stdout {result.stdout[-2000:]!r}, "
             f"stderr {result.stderr[-2000:]!r}")
        return None
    if not wrapped and result.stdout != line + "\n":
        fail(f"{label}: standard output is not exactly one line: {result.stdout!r}")
    try:
        report = json.loads(line)
    except json.JSONDecodeError as error:
        fail(f"{label}: the report is not JSON ({error}): {line!r}")
        return None
    if list(report) != KEYS:
        fail(f"{label}: keys {list(report)}")
        return None
    verified = run([UNDER_TEST.verify, "--seed", seed, "--units", units, "--report", "-"],
                   input=line + "\n")
    if verified.returncode != 0:
        fail(f"{label}: verifier status {verified.returncode}: {verified.stderr.strip()}")
        return None
    return report


def helper_run(label, seed, units, env=None, wrapper=()):
    result = run([*wrapper, UNDER_TEST.helper, "--seed", seed, "--units", units, "--json"],
                 env={**os.environ, **(env or {})})
    return check_report(label, seed, units, result, wrapped=bool(wrapper))


def same_bus_id(cuda_bus_id, smi_bus_id):
    """nvidia-smi writes an 8-digit PCI domain, the CUDA runtime 4 digits."""
    def parts(bus_id):
        domain, _, rest = bus_id.partition(":")
        try:
            return int(domain, 16), rest.lower()
        except ValueError:
            return None
    return parts(cuda_bus_id) is not None and parts(cuda_bus_id) == parts(smi_bus_id)


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
    print(f"digests: {matched} of {len(cases)} reports match the verifier")


def check_identity(gpus):
    # In PCI bus order CUDA numbers the GPUs as nvidia-smi does.
    report = helper_run("identity", ZEROS, 1, env={"CUDA_DEVICE_ORDER": "PCI_BUS_ID"})
    expected = device_0(gpus)
    if report is None:
        return
    if expected is None:
        print(f"identity: not compared: CUDA_VISIBLE_DEVICES="
              f"{os.environ['CUDA_VISIBLE_DEVICES']!r} names none of nvidia-smi's GPUs by index or "
              f"UUID")
        return
    if report["gpu_name"] != expected.name:
        fail(f"gpu_name {report['gpu_name']!r}, nvidia-smi GPU {expected.index} says "
             f"{expected.name!r}")
    if not same_bus_id(report["gpu_uuid"], expected.bus_id):
        fail(f"gpu_uuid {report['gpu_uuid']!r}, nvidia-smi GPU {expected.index} says "
             f"{expected.bus_id!r}")
    print(f"identity: {report['gpu_name']} at {report['gpu_uuid']} (nvidia-smi GPU "
          f"{expected.index}: {expected.name}, {expected.bus_id})")


def find_compute_sanitizer():
    """On PATH, beside nvcc, or in the toolkit's own compute-sanitizer folder."""
    toolkit = Path(shutil.which("nvcc") or "/usr/local/cuda/bin/nvcc").resolve().parent.parent
    candidates = [shutil.which("compute-sanitizer"), toolkit / "bin" / "compute-sanitizer",
                  toolkit / "compute-sanitizer" / "compute-sanitizer",
                  "/usr/local/cuda/compute-sanitizer/compute-sanitizer"]
    return next((Path(path) for path in candidates if path and os.access(path, os.X_OK)), None)


def check_sanitizers():
    sanitizer = find_compute_sanitizer()
    if sanitizer is None:
        fail("compute-sanitizer: not found on PATH, beside nvcc or in the toolkit")
        return
    # memcheck: out-of-bounds or misaligned accesses, and failed runtime calls; initcheck: the
    # atomics read only device memory that was written first (the cells cudaMemset zeroed). The
    # kernel has no shared memory and no barriers, so racecheck and synccheck would check nothing.
    for tool in ("memcheck", "initcheck"):
        command = [sanitizer, "--tool", tool, "--error-exitcode", "99", UNDER_TEST.helper, "--seed",
                   ZEROS, "--units", 1048577, "--json"]
        result = run(command)
        unsupported = re.search(r".*device not supported.*", result.stdout + result.stderr, re.I)
        if unsupported:
            print(f"compute-sanitizer {tool}: sanitizer unavailable on this machine "
                  f"({unsupported.group(0).strip()})")
        elif check_report(f"compute-sanitizer {tool}", ZEROS, 1048577, result, wrapped=True):
            print(f"compute-sanitizer {tool}: no errors")


def check_ptx_path(scratch, driver_major):
    """CUDA_FORCE_PTX_JIT has the driver compile the PTX for 7.5 instead of loading machine code.
    The digests are the same either way; what shows that the JIT ran is the compute cache, empty
    before, holding the compiled code after, and the first run's longer duration_ms."""
    cache = scratch / "ptx-cache"
    cache.mkdir()
    env = {"CUDA_FORCE_PTX_JIT": "1", "CUDA_CACHE_PATH": str(cache)}
    floor = PTX_DRIVER_FLOORS.get(UNDER_TEST.flavor)
    if floor is not None and driver_major < floor:
        result = run([UNDER_TEST.helper, "--seed", ZEROS, "--units", 3, "--json"],
                     env={**os.environ, **env})
        outcome = ("fails, as expected" if result.returncode != 0
                   else "passed, although it was expected to fail")
        print(f"PTX JIT: {outcome}: {UNDER_TEST.flavor}'s PTX needs driver {floor} or newer, this "
              f"one is {driver_major} ({result.stderr.strip() or 'no message'})")
        return
    first = helper_run("PTX JIT x3, empty cache", ZEROS, 3, env=env)
    cached = [path for path in cache.rglob("*") if path.is_file()]
    again = helper_run("PTX JIT x3, cache filled", ZEROS, 3, env=env)
    if helper_run(f"PTX JIT x{FULL}", ZEROS, FULL, env=env):
        print(f"PTX JIT x{FULL}: digests match")
    if first and again:
        print(f"PTX JIT: duration_ms at 3 units {first['duration_ms']} with an empty cache, "
              f"{again['duration_ms']} with it filled; the cache then held {len(cached)} file(s) "
              f"of {sum(path.stat().st_size for path in cached)} bytes: "
              + ("the driver compiled the PTX" if cached else "nothing shows that the JIT ran"))


def median_wall_ms(command, runs=10):
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
        fail(f"{Path(command[0]).name}: {len(failed)} of {runs} timed runs failed, the last with "
             f"status {failed[-1].returncode}: {failed[-1].stderr.strip()}")
    return (statistics.median(times) if times else None), len(times)


def print_duration_figures(first_of_session, scratch):
    empty_cache = scratch / "empty-cache"
    empty_cache.mkdir()
    first_empty = helper_run("first run with an empty CUDA_CACHE_PATH", ZEROS, FULL,
                             env={"CUDA_CACHE_PATH": str(empty_cache)})
    warm = [report["duration_ms"] for report in
            (helper_run(f"warm run {k + 1}", ZEROS, FULL) for k in range(5)) if report]
    def duration(report):
        return report["duration_ms"] if report else "failed"
    print(f"duration_ms at {FULL} units: first run of this session {duration(first_of_session)}, "
          f"first with an empty CUDA_CACHE_PATH {duration(first_empty)}, warm "
          f"{statistics.median(warm) if warm else 'failed'} (median of the {len(warm)} of 5 "
          f"that succeeded)")

    helper_ms, helper_runs = median_wall_ms(
        [UNDER_TEST.helper, "--seed", ZEROS, "--units", FULL, "--json"])
    context_ms, context_runs = median_wall_ms([UNDER_TEST.programs / "bare_context"])
    if helper_ms is not None and context_ms is not None:
        print(f"median wall time: helper {helper_ms:.1f} ms ({helper_runs} of 10 runs succeeded), "
              f"bare context {context_ms:.1f} ms ({context_runs} of 10), "
              f"ratio {helper_ms / context_ms:.2f}")


def kernel_entry_name(fatbin):
    """The kernel's entry name, read from the device code's own symbols in the fatbinary."""
    names = set(re.findall(rb"_Z\w*15edge_mix_kernel\w*", fatbin.read_bytes()))
    if len(names) != 1:
        fail(f"kernel timing: the fatbinary names edge_mix_kernel {len(names)} ways: "
             f"{sorted(names)}")
        return None
    return names.pop().decode()


def sm_clock_mhz(gpu):
    result = nvidia_smi("--query-gpu=clocks.sm", "--format=csv,noheader,nounits", "-i", gpu.index)
    reading = result.stdout.strip()
    return int(reading) if result.returncode == 0 and reading.isdigit() else None


def time_kernel(fatbin, entry, units, gpu):
    """Runs the timing program, reading the SM clock while its timed batches run."""
    try:
        process = subprocess.Popen([str(UNDER_TEST.programs / "edge_mix_kernel_timing"),
                                    str(fatbin), entry, str(units), str(TIMING_SECONDS)],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    except OSError as error:
        fail(f"kernel timing x{units}: {error}")
        return
    watchdog = threading.Timer(RUN_LIMIT_S, process.kill)
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
        fail(f"kernel timing x{units}: status {process.returncode}: {output!r} {errors.strip()}")
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


def print_kernel_figures(scratch, gpu):
    fatbin = scratch / "helper.fatbin"
    cut = run(["objcopy", "-O", "binary", "--only-section=.nv_fatbin", UNDER_TEST.helper, fatbin])
    if cut.returncode != 0:
        fail(f"kernel timing: cutting the fatbinary out of the helper: {cut.stderr.strip()}")
        return
    entry = kernel_entry_name(fatbin)
    if entry is not None:
        for units in TIMING_UNITS:
            time_kernel(fatbin, entry, units, gpu)


UNDER_TEST = None


def main():
    global UNDER_TEST
    sys.stdout.reconfigure(line_buffering=True)
    parser = argparse.ArgumentParser(description="GPU acceptance run of mavo-edge-gpu-helper")
    parser.add_argument("--helper", help="a prebuilt helper, or a folder of release packages")
    parser.add_argument("--gpu-programs", help="the folder of the GPU check programs")
    arguments = parser.parse_args()
    started = time.monotonic()
    gpus = nvidia_smi_gpus()
    if gpus is None:
        return 1
    if not gpus:
        print("skipped: no NVIDIA GPU (no nvidia-smi, or it lists none)")
        return SKIPPED
    driver_major = int(re.match(r"\d+", gpus[0].driver).group(0))
    print(f"GPU 0: {gpus[0].name}, driver {gpus[0].driver}; {len(gpus)} GPU(s)")
    programs = Path(arguments.gpu_programs) if arguments.gpu_programs else BUILD / "tests" / "gpu"
    if not arguments.gpu_programs and not build(["edge_mix_kernel_timing", "bare_context"]
                                                if arguments.helper else []):
        return 1
    with tempfile.TemporaryDirectory(prefix="mavo-acceptance-") as scratch:
        scratch = Path(scratch)
        if not arguments.helper:
            helper, flavor = BUILD / "mavo-edge-gpu-helper", built_flavor()
        elif Path(arguments.helper).is_dir():
            packaged = packaged_helper(Path(arguments.helper), scratch, driver_major)
            if packaged is None:
                return 1
            helper, flavor = packaged
        else:
            helper, flavor = Path(arguments.helper).resolve(), None
        UNDER_TEST = UnderTest(helper, helper.with_name("mavo-edge-verify"), flavor, programs)
        print(f"helper under test: {helper} ({flavor or 'toolkit not known'})")
        first_of_session = helper_run("first run of this session", ZEROS, FULL)
        check_digests(random.Random(20261209))
        check_identity(gpus)
        check_sanitizers()
        check_ptx_path(scratch, driver_major)
        print_duration_figures(first_of_session, scratch)
        print_kernel_figures(scratch, device_0(gpus) or gpus[0])
    print(f"{len(failures)} failure(s) in {time.monotonic() - started:.0f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

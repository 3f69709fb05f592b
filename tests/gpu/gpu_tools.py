"""What the GPU acceptance checks and the GPU figures share: the command line, nvidia-smi, finding
or building what is under test, running commands under time limits, and the run's state.

Runs on Python 3.8 and newer: a GPU machine has whatever Python its distribution ships.
"""
import argparse
import csv
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import time
from pathlib import Path
from typing import Callable, Dict, List, NamedTuple, Optional

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / "build" / "gpu-acceptance"
KEYS = ["xor_value", "sum_value", "gpu_name", "gpu_uuid", "duration_ms", "units"]
SKIPPED = 77
ZEROS = "0" * 64
FULL = 100000000
RUN_LIMIT_S = 120  # any one run of a program under test or a tool
BUILD_LIMIT_S = 240


class Variant(NamedTuple):
    name: str
    cpu: str
    toolkit: str  # the flavour: cuda11, cuda12 or cuda13
    driver_floor: int  # the oldest driver branch that runs its runtime
    ptx_driver_floor: int  # the oldest whose JIT compiler takes its PTX


def linux_variants() -> List[Variant]:
    """The Linux rows of the table of release variants."""
    table = (ROOT / "packaging" / "variants.tsv").read_text()
    rows = (line.split("\t") for line in table.splitlines() if line.startswith("linux-"))
    return [Variant(row[0], row[1], row[2], int(row[6]), int(row[7])) for row in rows]


class Gpu(NamedTuple):
    index: str
    name: str
    bus_id: str
    driver: str
    uuid: str


class UnderTest(NamedTuple):
    helper: Path
    verify: Path
    flavor: Optional[str]  # cuda11, cuda12 or cuda13, where known
    programs: Path  # edge_mix_kernel_timing and bare_context


class Run:
    """One run's state: the GPUs, what is under test, a scratch folder and the failures so far."""

    def __init__(self, gpus: List[Gpu], scratch: Path):
        self.gpus = gpus
        self.driver_major = int(re.match(r"\d+", gpus[0].driver).group(0))
        self.scratch = scratch
        self.under_test: Optional[UnderTest] = None
        self.failures: List[str] = []

    def fail(self, check: str, what: str) -> None:
        self.failures.append(check)
        print(f"FAIL {check}: {what}")


def run(command, timeout=RUN_LIMIT_S, env=None, input=None) -> subprocess.CompletedProcess:
    """Runs a command to its end in a session of its own; one that outlives the limit is killed
    with everything it started, and has status None."""
    command = [str(part) for part in command]
    try:
        process = subprocess.Popen(
            command, stdin=subprocess.DEVNULL if input is None else subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, errors="replace",
            env=None if env is None else {**os.environ, **env}, start_new_session=True)
    except OSError as error:
        return subprocess.CompletedProcess(command, None, "", str(error))
    try:
        stdout, stderr = process.communicate(input, timeout=timeout)
        return subprocess.CompletedProcess(command, process.returncode, stdout, stderr)
    except subprocess.TimeoutExpired:
        kill_group(process)
        stdout, stderr = process.communicate()
        return subprocess.CompletedProcess(command, None, stdout,
                                           stderr + f"[killed after {timeout} s]")


def kill_group(process: subprocess.Popen) -> None:
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def nvidia_smi(*arguments):
    return run(["nvidia-smi", *arguments], timeout=60)


def nvidia_smi_gpus() -> Optional[List[Gpu]]:
    """The GPUs nvidia-smi lists; [] where there is none; None after a FAIL line."""
    if not shutil.which("nvidia-smi"):
        return []
    result = nvidia_smi("--query-gpu=index,name,pci.bus_id,driver_version,uuid",
                        "--format=csv,noheader")
    if result.returncode != 0:
        if "No devices were found" in result.stdout + result.stderr:
            return []
        print(f"FAIL nvidia-smi: status {result.returncode}: "
              f"{(result.stdout + result.stderr).strip()}")
        return None
    rows = csv.reader(result.stdout.splitlines(), skipinitialspace=True)
    return [Gpu(*row) for row in rows if len(row) == 5]


class Device0(NamedTuple):
    gpu: Gpu
    mig: bool  # CUDA device 0 is a MIG instance of that GPU: its name ends in " MIG <profile>"


def mig_instances() -> Dict[str, str]:
    """The MIG instances that nvidia-smi -L lists: UUID (MIG-...) -> the index of their GPU."""
    instances, gpu = {}, None
    for line in nvidia_smi("-L").stdout.splitlines():
        found = re.match(r"GPU (\d+):", line)
        gpu = found.group(1) if found else gpu
        instance = re.search(r"\bMIG .*\(UUID: (MIG-[^)]+)\)", line)
        if instance and gpu is not None:
            instances[instance.group(1)] = gpu
    return instances


def device_0(gpus: List[Gpu]) -> Optional[Device0]:
    """What CUDA device 0 is in PCI bus order: the first of CUDA_VISIBLE_DEVICES (an index, a GPU
    UUID or a MIG UUID, maybe shortened) where that is set, else nvidia-smi's GPU 0, or its first
    MIG instance when it has any; None if unknown."""
    instances = mig_instances()
    visible = os.environ.get("CUDA_VISIBLE_DEVICES")
    first = gpus[0].index if visible is None else visible.split(",")[0].strip()
    if first.startswith("MIG-"):
        parents = {index for uuid, index in instances.items() if uuid.startswith(first)}
        gpu = next((gpu for gpu in gpus if parents == {gpu.index}), None)
        return None if gpu is None else Device0(gpu, True)
    gpu = next((gpu for gpu in gpus if first == gpu.index or
                (first.startswith("GPU-") and gpu.uuid.startswith(first))), None)
    return None if gpu is None else Device0(gpu, gpu.index in instances.values())


def find_compute_sanitizer():
    """On PATH, beside nvcc, or in the toolkit's own compute-sanitizer folder."""
    toolkit = Path(shutil.which("nvcc") or "/usr/local/cuda/bin/nvcc").resolve().parent.parent
    candidates = [shutil.which("compute-sanitizer"), toolkit / "bin" / "compute-sanitizer",
                  toolkit / "compute-sanitizer" / "compute-sanitizer",
                  "/usr/local/cuda/compute-sanitizer/compute-sanitizer"]
    return next((Path(path) for path in candidates if path and os.access(path, os.X_OK)), None)


def build(state: Run, targets: List[str]) -> bool:
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    target_options = ["--target", *targets] if targets else []
    for command in (["cmake", "-S", ROOT, "-B", BUILD, *generator, "-DCMAKE_BUILD_TYPE=Release",
                     "-DMAVO_ENABLE_GPU_CHECKS=ON"],
                    ["cmake", "--build", BUILD, "--parallel", *target_options]):
        result = run(command, timeout=BUILD_LIMIT_S)
        if result.returncode != 0:
            state.fail("build", f"{' '.join(map(str, command))}: status {result.returncode}\n"
                                f"{(result.stdout + result.stderr)[-4000:]}")
            return False
    return True


def built_flavor() -> Optional[str]:
    """The toolkit that built the helper here, as CMake found it."""
    for compiler in BUILD.glob("CMakeFiles/*/CMakeCUDACompiler.cmake"):
        found = re.search(r'CMAKE_CUDA_COMPILER_VERSION "(\d+)\.', compiler.read_text())
        if found:
            return f"cuda{found.group(1)}"
    return None


def packaged_helper(state: Run, packages: Path):
    """Unpacks the newest release .tar.gz for this CPU and driver; returns (helper, flavor)."""
    machine = os.uname().machine
    runnable = [variant for variant in linux_variants()
                if variant.cpu == machine and state.driver_major >= variant.driver_floor]
    flavor = max(runnable, key=lambda variant: variant.driver_floor).toolkit if runnable else None
    if flavor is None:
        state.fail("package", f"driver {state.driver_major} is older than every package's floor")
        return None
    pattern = re.compile(rf"mavo-edge-gpu-helper-(\d+(?:\.\d+)*)-linux-{machine}-{flavor}\.tar\.gz")
    versions = [(tuple(int(part) for part in found.group(1).split(".")), path)
                for path in packages.iterdir() if (found := pattern.fullmatch(path.name))]
    if not versions:
        state.fail("package", f"no {machine} {flavor} package in {packages}")
        return None
    tarball = max(versions)[1]
    unpacked = state.scratch / "package"
    with tarfile.open(tarball) as archive:
        # The "data" filter where this Python has it: no links or paths out of the folder.
        safe = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
        archive.extractall(unpacked, **safe)
    helpers = sorted(unpacked.glob("*/bin/mavo-edge-gpu-helper"))
    if len(helpers) != 1:
        state.fail("package", f"{tarball.name} holds {len(helpers)} helpers, not one")
        return None
    print(f"package: {tarball.name} (driver {state.driver_major})")
    return helpers[0], flavor


def find_under_test(state: Run, arguments) -> Optional[UnderTest]:
    """Builds the release here, or takes the given helper or package; None after a FAIL line."""
    programs = Path(arguments.gpu_programs) if arguments.gpu_programs else BUILD / "tests" / "gpu"
    if not arguments.gpu_programs and not build(
            state, ["edge_mix_kernel_timing", "bare_context"] if arguments.helper else []):
        return None
    if not arguments.helper:
        helper, flavor = BUILD / "mavo-edge-gpu-helper", built_flavor()
    elif Path(arguments.helper).is_dir():
        packaged = packaged_helper(state, Path(arguments.helper))
        if packaged is None:
            return None
        helper, flavor = packaged
    else:
        helper, flavor = Path(arguments.helper).resolve(), None
    print(f"helper under test: {helper} ({flavor or 'toolkit not known'})")
    return UnderTest(helper, helper.with_name("mavo-edge-verify"), flavor, programs)


def report_line(stdout: str) -> Optional[str]:
    """The helper's report among whatever else a wrapper such as compute-sanitizer printed."""
    lines = [line for line in stdout.splitlines() if line.startswith("{")]
    return lines[0] if len(lines) == 1 else None


def check_report(state: Run, check: str, label: str, seed: str, units: int, result,
                 wrapped=False) -> Optional[dict]:
    """Checks one finished helper run: status, output, report shape and digests. Returns the
    report, or None after a FAIL line."""
    line = report_line(result.stdout)
    if result.returncode != 0 or line is None or (not wrapped and result.stderr):
        state.fail(check, f"{label}: status {result.returncode}, stdout "
                          f"{result.stdout[-2000:]!r}, stderr {result.stderr[-2000:]!r}")
        return None
    if not wrapped and result.stdout != line + "\n":
        state.fail(check, f"{label}: standard output is not exactly one line: {result.stdout!r}")
    try:
        report = json.loads(line)
    except json.JSONDecodeError as error:
        state.fail(check, f"{label}: the report is not JSON ({error}): {line!r}")
        return None
    if list(report) != KEYS:
        state.fail(check, f"{label}: keys {list(report)}")
        return None
    verified = run([state.under_test.verify, "--seed", seed, "--units", units, "--report", "-"],
                   input=line + "\n")
    if verified.returncode != 0:
        state.fail(check, f"{label}: verifier status {verified.returncode}: "
                          f"{verified.stderr.strip()}")
        return None
    return report


def helper_run(state: Run, check: str, label: str, seed: str, units: int, env=None,
               wrapper=()) -> Optional[dict]:
    result = run([*wrapper, state.under_test.helper, "--seed", seed, "--units", units, "--json"],
                 env=env)
    return check_report(state, check, label, seed, units, result, wrapped=bool(wrapper))


def main_of(description: str, body: Callable[[Run], None]) -> int:
    """The command line both scripts take; runs body on device 0 and returns the exit status:
    0 all passed, 1 a failure, 77 skipped (no nvidia-smi, or it lists no GPU)."""
    sys.stdout.reconfigure(line_buffering=True)
    parser = argparse.ArgumentParser(description=description)
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
    print(f"GPU 0: {gpus[0].name}, driver {gpus[0].driver}; {len(gpus)} GPU(s)")
    with tempfile.TemporaryDirectory(prefix="mavo-gpu-") as scratch:
        state = Run(gpus, Path(scratch))
        state.under_test = find_under_test(state, arguments)
        if state.under_test is not None:
            body(state)
    print(f"{len(state.failures)} failure(s) in {time.monotonic() - started:.0f} s")
    return 1 if state.failures else 0

#!/usr/bin/env python3
"""GPU acceptance checks of mavo-edge-gpu-helper, each passing or failing:

    python3 tests/gpu/acceptance.py [--helper PATH] [--gpu-programs DIR]

Asks nvidia-smi for a GPU, builds the release, then on CUDA device 0: compares every report with
the CPU verifier, checks the report's shape and its name and bus id against nvidia-smi, runs
compute-sanitizer's memcheck and initcheck, and has the driver compile the PTX (the compute cache
must fill) and checks what that code computes. tests/gpu/figures.py prints the figures.

--helper PATH tests a prebuilt helper and the mavo-edge-verify beside it (PATH is the helper), or,
given a folder of release packages, the .tar.gz for this CPU and the newest CUDA that the driver
runs. --gpu-programs DIR: nothing is built (the folder of the GPU check programs).

Every line is flushed as it is printed, every command runs under a time limit, and a failure is a
line "FAIL <check>: ...". Exit status: 0 all checks passed, 1 a check failed, 77 skipped (no
nvidia-smi, or it lists no GPU).
"""
import os
import random
import re
import sys
from pathlib import Path

from gpu_tools import (FULL, ZEROS, Run, check_report, device_0, find_compute_sanitizer, helper_run,
                       linux_variants, main_of, run)

VECTORS = Path(__file__).resolve().parents[1] / "vectors" / "digest_vectors.tsv"
BOUNDARY_UNITS = [1, 256, 257, 1048321, FULL]


def check_digests(state: Run, rng: random.Random) -> None:
    # The published vectors' digests too: the verifier alone would agree with a helper that
    # computes another workload just as it does.
    vectors = [line.split("\t") for line in VECTORS.read_text().splitlines()[1:]]
    cases = [(f"vector {seed[:16]} x{units}", seed, int(units), (xor, total))
             for seed, units, xor, total in vectors]
    for _ in range(20):
        seed = "".join(rng.choice("0123456789abcdefABCDEF") for _ in range(64))
        units = int(10 ** rng.uniform(0, 8))
        cases.append((f"random {seed[:16]} x{units}", seed, units, None))
    for units in BOUNDARY_UNITS:
        seed = "".join(rng.choice("0123456789abcdef") for _ in range(64))
        cases.append((f"boundary {seed[:16]} x{units}", seed, units, None))
    matched = 0
    for label, seed, units, published in cases:
        report = helper_run(state, "digests", label, seed, units)
        if report is not None and published and (report["xor_value"], report["sum_value"]) != published:
            state.fail("digests", f"{label}: {report['xor_value']} {report['sum_value']}, the vectors "
                                  f"publish {published[0]} {published[1]}")
        else:
            matched += report is not None
    print(f"digests: {matched} of {len(cases)} reports match the verifier (and the published "
          f"vectors, {len(vectors)} of them)")


def same_bus_id(cuda_bus_id: str, smi_bus_id: str) -> bool:
    """nvidia-smi writes an 8-digit PCI domain, the CUDA runtime 4 digits."""
    def parts(bus_id):
        domain, _, rest = bus_id.partition(":")
        try:
            return int(domain, 16), rest.lower()
        except ValueError:
            return None
    return parts(cuda_bus_id) is not None and parts(cuda_bus_id) == parts(smi_bus_id)


def check_identity(state: Run) -> None:
    # In PCI bus order CUDA numbers the GPUs as nvidia-smi does.
    report = helper_run(state, "identity", "x1 in PCI bus order", ZEROS, 1,
                        env={"CUDA_DEVICE_ORDER": "PCI_BUS_ID"})
    expected = device_0(state.gpus)
    if report is None:
        return
    if expected is None:
        state.fail("identity", f"not compared: CUDA_VISIBLE_DEVICES="
                               f"{os.environ['CUDA_VISIBLE_DEVICES']!r} names none of nvidia-smi's "
                               f"GPUs or MIG instances")
        return
    gpu, name = expected.gpu, report["gpu_name"]
    # A MIG instance is named after its GPU and profile, and has its GPU's bus id.
    if name != gpu.name and not (expected.mig and name.startswith(f"{gpu.name} MIG ")):
        state.fail("identity", f"gpu_name {name!r}, nvidia-smi GPU {gpu.index} says {gpu.name!r}"
                               f"{' (in MIG mode)' if expected.mig else ''}")
    if not same_bus_id(report["gpu_uuid"], gpu.bus_id):
        state.fail("identity", f"gpu_uuid {report['gpu_uuid']!r}, nvidia-smi GPU {gpu.index} "
                               f"says {gpu.bus_id!r}")
    print(f"identity: {name} at {report['gpu_uuid']} (nvidia-smi GPU {gpu.index}: {gpu.name}, "
          f"{gpu.bus_id}{', a MIG instance of it' if expected.mig else ''})")


def check_sanitizers(state: Run) -> None:
    sanitizer = find_compute_sanitizer()
    if sanitizer is None:
        state.fail("compute-sanitizer", "not found on PATH, beside nvcc or in the toolkit")
        return
    version = run([sanitizer, "--version"])
    print(f"compute-sanitizer: {sanitizer}: {version.stdout.strip().splitlines()[-1:]}")
    # memcheck: out-of-bounds or misaligned accesses, and failed runtime calls; initcheck: the
    # atomics read only device memory that was written first (the cells cudaMemset zeroed). The
    # kernel has no shared memory and no barriers, so racecheck and synccheck would check nothing.
    for tool in ("memcheck", "initcheck"):
        command = [sanitizer, "--tool", tool, "--error-exitcode", "99", state.under_test.helper,
                   "--seed", ZEROS, "--units", 1048577, "--json"]
        result = run(command)
        unsupported = re.search(r".*device not supported.*", result.stdout + result.stderr, re.I)
        if unsupported:
            print(f"compute-sanitizer {tool}: sanitizer unavailable on this machine "
                  f"({unsupported.group(0).strip()})")
        elif check_report(state, f"compute-sanitizer {tool}", "x1048577", ZEROS, 1048577, result,
                          wrapped=True):
            print(f"compute-sanitizer {tool}: no errors")


def check_ptx_path(state: Run) -> None:
    """CUDA_FORCE_PTX_JIT has the driver compile the PTX for 7.5 instead of loading machine code.
    The digests are the same either way; what shows that the JIT ran is the compute cache, empty
    before and holding the compiled code after."""
    cache = state.scratch / "ptx-cache"
    cache.mkdir()
    env = {"CUDA_FORCE_PTX_JIT": "1", "CUDA_CACHE_PATH": str(cache), "CUDA_CACHE_DISABLE": "0"}
    flavor = state.under_test.flavor
    floor = next((variant.ptx_driver_floor for variant in linux_variants()
                  if variant.toolkit == flavor), None)
    if floor is not None and state.driver_major < floor:
        result = run([state.under_test.helper, "--seed", ZEROS, "--units", 3, "--json"], env=env)
        why = (f"{flavor}'s PTX needs driver {floor} or newer, this one is {state.driver_major} "
               f"({result.stderr.strip() or 'no message'})")
        if result.returncode == 0:
            state.fail("PTX JIT", f"passed, although it must fail: {why}")
        else:
            print(f"PTX JIT: fails, as expected: {why}")
        return
    first = helper_run(state, "PTX JIT", "x3, empty cache", ZEROS, 3, env=env)
    cached = [path for path in cache.rglob("*") if path.is_file()]
    again = helper_run(state, "PTX JIT", "x3, cache filled", ZEROS, 3, env=env)
    if helper_run(state, "PTX JIT", f"x{FULL}", ZEROS, FULL, env=env):
        print(f"PTX JIT x{FULL}: digests match")
    if not cached:
        state.fail("PTX JIT", "the compute cache stayed empty, so nothing shows that the driver "
                              "compiled the PTX")
    elif first and again:
        print(f"PTX JIT: the driver compiled the PTX: the cache then held {len(cached)} file(s) "
              f"of {sum(path.stat().st_size for path in cached)} bytes; duration_ms at 3 units "
              f"{first['duration_ms']} with it empty, {again['duration_ms']} with it filled")


def checks(state: Run) -> None:
    check_digests(state, random.Random(20261209))
    check_identity(state)
    check_sanitizers(state)
    check_ptx_path(state)


if __name__ == "__main__":
    sys.exit(main_of("GPU acceptance checks of mavo-edge-gpu-helper", checks))

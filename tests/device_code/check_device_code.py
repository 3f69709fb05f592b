#!/usr/bin/env python3
"""Checks the device code inside the built helper with cuobjdump:

  - machine code for every real architecture built and PTX for every virtual one, nothing else;
  - edge_mix_kernel on every target uses no stack (so no spills), no local and no shared memory;
  - its PTX holds exactly one 64-bit atomic XOR and one 64-bit atomic add on global memory, and
    no other atomic, barrier, shuffle or shared memory.

usage: check_device_code.py <helper> <cuobjdump> <CMAKE_CUDA_ARCHITECTURES>
Exit status 0 when every check holds, 1 otherwise, 77 (skipped) when cuobjdump is not available.
"""
import re
import shutil
import subprocess
import sys

SKIPPED = 77


def cuobjdump(tool, *arguments):
    return subprocess.run([tool, *arguments], capture_output=True, text=True, check=True).stdout


def expected_targets(architectures):
    machine_code, ptx = set(), set()
    for entry in architectures.split(";"):
        number, _, kind = entry.partition("-")
        if kind in ("", "real"):
            machine_code.add(f"sm_{number}")
        if kind in ("", "virtual"):
            ptx.add(f"sm_{number}")
    return machine_code, ptx


def main(helper, tool, architectures):
    if not tool or not shutil.which(tool):
        print(f"skipped: cuobjdump not available ({tool or 'not found'})")
        return SKIPPED
    problems = []

    listing = cuobjdump(tool, "--list-elf", "--list-ptx", helper)
    machine_code = set(re.findall(r"^ELF file .*\.(sm_\d+)\.cubin$", listing, re.M))
    ptx = set(re.findall(r"^PTX file .*\.(sm_\d+)\.ptx$", listing, re.M))
    want_machine_code, want_ptx = expected_targets(architectures)
    if (machine_code, ptx) != (want_machine_code, want_ptx):
        problems.append(f"targets: machine code {sorted(machine_code)}, PTX {sorted(ptx)}; "
                        f"expected {sorted(want_machine_code)} and PTX {sorted(want_ptx)}")
    print(f"machine code: {' '.join(sorted(machine_code, key=lambda a: int(a[3:])))}; "
          f"PTX: {' '.join(sorted(ptx))}")

    usage = cuobjdump(tool, "--dump-resource-usage", helper)
    kernels = {}
    for block in usage.split("Fatbin elf code:")[1:]:
        arch = re.search(r"arch = (sm_\d+)", block).group(1)
        found = re.search(r"Function \S*edge_mix_kernel\S*:\s*\n\s*(REG:[^\n]*)", block)
        if found:
            kernels[arch] = found.group(1)
    if set(kernels) != want_machine_code:
        problems.append(f"edge_mix_kernel found for {sorted(kernels)} only")
    for arch, resources in kernels.items():
        fields = dict(re.findall(r"(\w+(?:\[\d+\])?):(\d+)", resources))
        print(f"{arch}: REG {fields['REG']} STACK {fields['STACK']} SHARED {fields['SHARED']} "
              f"LOCAL {fields['LOCAL']}")
        if any(fields[name] != "0" for name in ("STACK", "SHARED", "LOCAL")):
            problems.append(f"{arch}: {resources}")

    text = cuobjdump(tool, "--dump-ptx", helper)
    atomics = re.findall(r"\b(?:atom|red)\.[\w.]+", text)
    xors = [a for a in atomics if re.fullmatch(r"(atom|red)\.global\.xor\.b64", a)]
    adds = [a for a in atomics if re.fullmatch(r"(atom|red)\.global\.add\.u64", a)]
    if (len(atomics), len(xors), len(adds)) != (2, 1, 1):
        problems.append(f"PTX atomics: {atomics}")
    forbidden = sorted(set(re.findall(r"\b(?:bar|barrier|shfl|membar)\.[\w.]+|\.shared\b|\.local\b",
                                      text)))
    if forbidden:
        problems.append(f"PTX uses {forbidden}")
    print(f"PTX atomics: {', '.join(atomics)}; barriers, shuffles, shared or local memory: "
          f"{', '.join(forbidden) or 'none'}")

    for problem in problems:
        print(f"FAIL {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))

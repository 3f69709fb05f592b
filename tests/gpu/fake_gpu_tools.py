#!/usr/bin/env python3
"""Stand-ins for the GPU machine's tools, so that CI runs the acceptance run's own logic without a
GPU. A link to this file named after a tool plays that tool:
  nvidia-smi              one GPU, as the stand-in helper describes its device 0, driver 580;
                          with a MIG instance of profile P (nvidia-smi -L) for the word mig=P
  compute-sanitizer       runs its target and prints its summary: no errors, or as many as
                          the word sanitizer_errors=N in CUDA_STANDIN_SCENARIO says
  edge_mix_kernel_timing  checks that it was given the helper's fatbinary and kernel name, and
                          numbers the GPUs in PCI order as nvidia-smi does, then prints figures
                          as the timing program does
  bare_context            succeeds
"""
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

MIG_INSTANCE = "MIG-7c2e1d3a-0000-0000-0000-000000000000"
tool, arguments = Path(sys.argv[0]).name, sys.argv[1:]
scenario = os.environ.get("CUDA_STANDIN_SCENARIO", "").split()
if tool == "nvidia-smi" and arguments == ["-L"]:
    print("GPU 0: Stand-in GPU (UUID: GPU-5a4d1e2f-0000-0000-0000-000000000000)")
    for word in scenario:
        if word.startswith("mig="):
            print(f"  MIG {word[4:]:<12} Device  0: (UUID: {MIG_INSTANCE})")
elif tool == "nvidia-smi":
    clock = "--query-gpu=clocks.sm" in arguments
    print("1980" if clock else
          "0, Stand-in GPU, 00000000:01:00.0, 580.95.05, GPU-5a4d1e2f-0000-0000-0000-000000000000")
elif tool == "compute-sanitizer" and arguments == ["--version"]:
    print("NVIDIA (R) Compute Sanitizer (stand-in)")
elif tool == "compute-sanitizer":
    print("========= COMPUTE-SANITIZER", flush=True)
    error_status = int(arguments[arguments.index("--error-exitcode") + 1])
    status = subprocess.run(arguments[arguments.index("--error-exitcode") + 2:]).returncode
    errors = next((int(word.partition("=")[2]) for word in scenario
                   if word.startswith("sanitizer_errors=")), 0)
    for _ in range(errors):
        print("========= Invalid __global__ atomic of size 8 bytes")
    print(f"========= ERROR SUMMARY: {errors} error{'' if errors == 1 else 's'}")
    sys.exit(error_status if errors else status)
elif tool == "edge_mix_kernel_timing":
    fatbin, entry, units, _ = arguments
    if not re.fullmatch(r"_ZN\w+15edge_mix_kernel\w+", entry) or \
            entry.encode() not in Path(fatbin).read_bytes():
        sys.exit(f"edge_mix_kernel_timing: {entry} is not a kernel of {fatbin}")
    if os.environ.get("CUDA_DEVICE_ORDER") != "PCI_BUS_ID":
        sys.exit("edge_mix_kernel_timing: device 0 may not be the GPU whose clock is read")
    print("timing", flush=True)
    time.sleep(0.5)
    print(json.dumps({"units": int(units), "launches": 5000, "ms_per_launch_median": 0.12,
                      "ms_per_launch_min": 0.118, "multiprocessors": 132, "kernels_counted": 0}))

#!/usr/bin/env python3
"""The GPU scripts' own logic without a GPU, under the Python that runs this file:

    dry_runs.py STANDIN_HELPER FAKES_DIR

Each row runs acceptance.py or figures.py against the stand-in helper (its verifier beside it) and
the stand-in tools in FAKES_DIR (nvidia-smi, compute-sanitizer, the GPU check programs), with a
fault planted through CUDA_STANDIN_SCENARIO, and expects either a pass or a FAIL line of the check
that must catch it, with exit status 1. A last row checks that a time limit kills what the killed
command started.
"""
import os
import re
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from fake_gpu_tools import MIG_INSTANCE  # noqa: E402
from gpu_tools import run  # noqa: E402


def hex_of(text):
    return text.encode().hex()


# name, script, CUDA_STANDIN_SCENARIO, the FAIL line expected (None: the run passes), and
# environment variables of the row's own, if any (a PATH is put after the stand-ins')
ROWS = [
    ("checks pass", "acceptance.py", "", None),
    ("figures print", "figures.py", "", None),
    ("wrong digest", "acceptance.py", "flip=4",
     r"FAIL digests: vector 0000000000000000 x1: verifier status 1: .*xor_value"),
    ("failing CUDA step", "acceptance.py", "fail=cudaMalloc#2:2",
     r"FAIL digests: vector .* status 1, .*cudaMalloc sum: stand-in status 2"),
    ("name unlike nvidia-smi's", "acceptance.py", f"name={hex_of('Other GPU')}",
     r"FAIL identity: gpu_name 'Other GPU', nvidia-smi GPU 0 says 'Stand-in GPU'"),
    ("bus id unlike nvidia-smi's", "acceptance.py", f"bus_id={hex_of('00000000:02:00.0')}",
     r"FAIL identity: gpu_uuid '00000000:02:00.0', nvidia-smi GPU 0 says '00000000:01:00.0'"),
    ("PTX run leaves the cache empty", "acceptance.py", "ptx_jit=ignored",
     r"FAIL PTX JIT: the compute cache stayed empty"),
    ("sanitizer reports an error", "acceptance.py", "sanitizer_errors=1",
     r"FAIL compute-sanitizer memcheck: x1048577: status 99"),
    ("a figure's runs fail", "figures.py", "fail=cudaMalloc#1:2",
     r"FAIL duration: first run: status 1"),
    ("MIG instance named with its profile", "acceptance.py",
     f"mig=1g.10gb name={hex_of('Stand-in GPU MIG 1g.10gb')}", None),
    ("MIG instance by UUID on another bus", "acceptance.py",
     f"mig=1g.10gb bus_id={hex_of('00000000:02:00.0')}",
     r"FAIL identity: gpu_uuid '00000000:02:00.0', nvidia-smi GPU 0 says '00000000:01:00.0'",
     {"CUDA_VISIBLE_DEVICES": MIG_INSTANCE}),
    ("prerequisite missing", "prerequisites.py", "", r"FAIL prerequisites: missing: .*cuobjdump",
     {"PATH": ""}),
]


def dry_run(row, helper, fakes):
    name, script, scenario, expected, *row_env = row
    env = {**os.environ, "CUDA_STANDIN_SCENARIO": scenario}
    env.pop("CUDA_VISIBLE_DEVICES", None)
    env.update(*row_env)
    env["PATH"] = f"{fakes}{os.pathsep}{env['PATH']}"
    result = subprocess.run([sys.executable, str(HERE / script), "--helper", helper,
                             "--gpu-programs", fakes], capture_output=True, text=True, env=env,
                            timeout=300)
    output = result.stdout + result.stderr
    fail_lines = [line for line in output.splitlines() if line.startswith("FAIL ")]
    if expected is None:
        passed = result.returncode == 0 and not fail_lines
    else:
        passed = (result.returncode == 1 and "Traceback" not in output and
                  any(re.fullmatch(expected + ".*", line) for line in fail_lines))
    return passed, f"{name} ({script}, status {result.returncode})", output


def time_limit_kills_the_group():
    """A command killed at its limit leaves nothing it started running (a sleep left behind would
    also hold the output open for its whole minute)."""
    started = time.monotonic()
    result = run(["bash", "-c", "sleep 60 & echo $!; wait"], timeout=1)
    seconds = time.monotonic() - started
    child = int(result.stdout.split()[0])
    time.sleep(0.2)
    try:
        state = Path(f"/proc/{child}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        state = "gone"
    return (result.returncode is None and seconds < 10 and state in ("gone", "Z"),
            "time limit kills the group",
            f"status {result.returncode} after {seconds:.1f} s, the sleep's state {state}")


def main():
    helper, fakes = sys.argv[1:]
    print(f"Python {sys.version.split()[0]}", flush=True)
    with ThreadPoolExecutor(max_workers=2) as pool:
        outcomes = list(pool.map(lambda row: dry_run(row, helper, fakes), ROWS))
    outcomes.append(time_limit_kills_the_group())
    for passed, label, output in outcomes:
        print(f"{'ok  ' if passed else 'FAILED'} {label}")
        if not passed:
            print("    " + output.replace("\n", "\n    "))
    failed = sum(not passed for passed, _, _ in outcomes)
    print(f"{len(outcomes) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

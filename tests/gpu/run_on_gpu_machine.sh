#!/usr/bin/env bash
# The one command for a machine with an NVIDIA GPU: checks that its tools are there (nothing else
# runs when one is missing), prints the machine's facts, then the figures of a release built here
# (its first run is the first after the build), the acceptance checks of that helper, the
# device-code check, and the acceptance checks of the packaged build for this CPU where
# build/packages exists, each under a time limit. Everything goes to the terminal, and to
# $OUT/gpu-acceptance.log too when OUT names a folder. Meant to end within about 5 minutes on a
# 16-core machine; the limits add up to 8.
# Usage: tests/gpu/run_on_gpu_machine.sh; exit status 0 when every step passed.
set -Eeuo pipefail
cd "$(dirname "$0")/../.."
trap 'echo "run_on_gpu_machine.sh: failed (status $?) at line $LINENO: $BASH_COMMAND" >&2' ERR
command -v nvcc >/dev/null || export PATH="/usr/local/cuda/bin:$PATH"
export PYTHONUNBUFFERED=1
failed=0
# step LIMIT_SECONDS COMMAND...: runs it under the limit and says how it ended.
step() {
    local limit=$1 status=0
    shift
    echo "== $* (limit $limit s)"
    timeout --kill-after=10 "$limit" "$@" || status=$?
    echo "== status $status$([ "$status" -eq 124 ] && echo ', killed at the time limit')"
    [ "$status" -eq 0 ] || failed=1
}

steps() {
    echo "== machine: $(date -u +%FT%TZ), $(uname -srm), $(nproc) cores"
    # Seconds, not the minutes of device time that a run without them would waste.
    if ! python3 tests/gpu/prerequisites.py; then
        echo "== a step failed: install what is missing; nothing else was run"
        return 1
    fi
    step 15 nvidia-smi
    step 15 nvidia-smi --format=csv --query-gpu=index,name,pci.bus_id,driver_version,persistence_mode,clocks.sm,clocks.max.sm,clocks.mem,temperature.gpu,power.draw,power.limit
    step 15 nvcc --version
    echo "== CUDA and NVIDIA environment: $(env | grep -E '^(CUDA|NVIDIA)_' | sort | tr '\n' ' ')"

    local build=build/gpu-acceptance
    step 200 python3 tests/gpu/figures.py
    step 120 python3 tests/gpu/acceptance.py
    step 20 python3 tests/device_code/check_device_code.py "$build/mavo-edge-gpu-helper" \
        "$(command -v cuobjdump)" "$(sed -n 's/^CMAKE_CUDA_ARCHITECTURES:STRING=//p' "$build/CMakeCache.txt")"
    if [ -d build/packages ]; then
        step 80 python3 tests/gpu/acceptance.py --helper build/packages --gpu-programs "$build/tests/gpu"
    else
        echo "== no build/packages: the packaged build is not tested"
    fi
    echo "== $([ "$failed" -eq 0 ] && echo 'every step passed' || echo 'a step failed')"
    return "$failed"
}

# A pipeline, not a process substitution: the script ends only after tee has written the verdict.
if [ -n "${OUT:-}" ]; then
    steps 2>&1 | tee "$OUT/gpu-acceptance.log" || exit
else
    steps
fi

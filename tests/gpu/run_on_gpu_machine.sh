#!/usr/bin/env bash
# The one command for a machine with an NVIDIA GPU: prints the machine's facts, then the acceptance
# run (a release built here; its figures include the kernel timing at 1e8 and 1e11 units), the
# device-code check of that helper, and the acceptance run of the packaged build for this CPU where
# build/packages exists, each under a time limit. Everything goes to the terminal, and to
# $OUT/gpu-acceptance.log too when OUT names a folder. Meant to end within about 5 minutes on a
# 16-core machine; the limits add up to 8.
# Usage: tests/gpu/run_on_gpu_machine.sh; exit status 0 when every step passed.
set -uo pipefail
cd "$(dirname "$0")/../.."
if [ -n "${OUT:-}" ]; then
    exec > >(tee "$OUT/gpu-acceptance.log") 2>&1
fi
command -v nvcc >/dev/null || export PATH="/usr/local/cuda/bin:$PATH"
export PYTHONUNBUFFERED=1
failed=0
# step LIMIT_SECONDS COMMAND...: runs it under the limit and says how it ended.
step() {
    local limit=$1 status
    shift
    echo "== $* (limit $limit s)"
    timeout --kill-after=10 "$limit" "$@"
    status=$?
    echo "== status $status$([ "$status" -eq 124 ] && echo ', killed at the time limit')"
    [ "$status" -eq 0 ] || failed=1
}

echo "== machine: $(date -u +%FT%TZ), $(uname -srm), $(nproc) cores"
step 15 nvidia-smi
step 15 nvidia-smi --format=csv --query-gpu=index,name,pci.bus_id,driver_version,persistence_mode,clocks.sm,clocks.max.sm,clocks.mem,temperature.gpu,power.draw,power.limit
step 15 nvcc --version
for sanitizer in compute-sanitizer "$(dirname "$(command -v nvcc)")/../compute-sanitizer/compute-sanitizer"; do
    if command -v "$sanitizer" >/dev/null; then
        step 15 "$sanitizer" --version
        break
    fi
done
echo "== CUDA and NVIDIA environment: $(env | grep -E '^(CUDA|NVIDIA)_' | sort | tr '\n' ' ')"

step 270 python3 tests/gpu/acceptance.py
build=build/gpu-acceptance
architectures=$(sed -n 's/^CMAKE_CUDA_ARCHITECTURES:STRING=//p' "$build/CMakeCache.txt")
step 30 python3 tests/device_code/check_device_code.py "$build/mavo-edge-gpu-helper" \
    "$(command -v cuobjdump)" "$architectures"
if [ -d build/packages ]; then
    step 120 python3 tests/gpu/acceptance.py --helper build/packages --gpu-programs "$build/tests/gpu"
else
    echo "== no build/packages: the packaged build is not tested"
fi
echo "== $([ "$failed" -eq 0 ] && echo 'every step passed' || echo 'a step failed')"
exit "$failed"

#!/usr/bin/env bash
# Runs the helper's real device code without a GPU: builds what is missing (the pinned toolchains,
# GPGPU-Sim with the project's patch, and the helper from the same sources with CUDA 11.8 and the
# shared CUDA runtime, so that the simulator's runtime is the one loaded), then runs the table of
# check_reports.py under the simulator. Run as root, like the release build.
# Usage: tests/simulator/run.sh; exit status 0 when every row passed.
set -Eeuo pipefail
cd "$(dirname "$0")/../.."
trap 'echo "run.sh: failed (status $?) at line $LINENO: $BASH_COMMAND" >&2' ERR

needed=()
command -v bison >/dev/null || needed+=(bison)
command -v flex >/dev/null || needed+=(flex)
command -v makedepend >/dev/null || needed+=(xutils-dev)
command -v patch >/dev/null || needed+=(patch)
[ -f /usr/include/zlib.h ] || needed+=(zlib1g-dev)
[ -f /usr/lib/x86_64-linux-gnu/libGL.so ] || needed+=(libgl-dev)
if [ ${#needed[@]} -gt 0 ]; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${needed[@]}"
fi

toolchains=$(packaging/prepare_toolchains.sh)
eval "$toolchains"
simulator=$(tests/simulator/build_simulator.sh "$cuda11")

# nvcc 11.8 predates this machine's g++ 12, and is told to take it.
cmake -S . -B build/simulator -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CUDA_COMPILER="$cuda11/bin/nvcc" -DCMAKE_CUDA_FLAGS=-allow-unsupported-compiler \
    -DCMAKE_CUDA_ARCHITECTURES=75 -DCMAKE_CUDA_RUNTIME_LIBRARY=Shared \
    -DCMAKE_EXE_LINKER_FLAGS="-L$simulator/lib"
cmake --build build/simulator --target mavo-edge-gpu-helper mavo-edge-verify
# The simulator reads the program's PTX with cuobjdump and its resource use with ptxas, both from
# CUDA_INSTALL_PATH/bin: the pinned cuobjdump, and CUDA 11.8's ptxas.
toolkit=build/simulator/simulator-toolkit
mkdir -p "$toolkit/bin"
ln -sfn "$cuobjdump/bin/cuobjdump" "$toolkit/bin/cuobjdump"
ln -sfn "$cuda11/bin/ptxas" "$toolkit/bin/ptxas"
python3 tests/simulator/check_reports.py build/simulator "$simulator" "$toolkit"

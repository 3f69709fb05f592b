#!/usr/bin/env bash
# Builds GPGPU-Sim from the shared source tarball (its SHA-256 checked) with gpgpu-sim.patch,
# against the given CUDA 11.x toolkit (the simulator refuses 12 and newer), unless the cache holds
# that build already. Prints the folder: lib/ (the simulator's CUDA runtime) and configs/.
# The cache is $MAVO_RELEASE_CACHE (default /var/cache/mavo-edge-release), keyed on the tarball,
# the patch, this script, the toolkit's folder and the compiler.
# Usage: build_simulator.sh CUDA11_FOLDER
set -Eeuo pipefail
here=$(cd "$(dirname "$0")" && pwd)
trap 'echo "build_simulator.sh: failed (status $?) at line $LINENO: $BASH_COMMAND" >&2' ERR
cuda11=$1
tarball=$here/../../../shared/third_party/gpgpu-sim-667834cf.tar.gz
sha256=a2f5c20ce95205a2dd078ec3a2133abc252bab34314e9fa5d5545a073d9a486e
cache=${MAVO_RELEASE_CACHE:-/var/cache/mavo-edge-release}

echo "$sha256  $tarball" | sha256sum --check --quiet >&2
key=$({ echo "$sha256 $(basename "$cuda11") $(g++ -dumpfullversion)"
        cat "$here/gpgpu-sim.patch" "$0"; } | sha256sum | cut -c1-12)
folder=$cache/gpgpu-sim-$key
if [ ! -d "$folder" ]; then
    rm -rf --one-file-system "$cache"/gpgpu-sim-*
    work=$(mktemp -d)
    tar -xzf "$tarball" -C "$work" --strip-components=1
    patch -p1 -d "$work" --quiet <"$here/gpgpu-sim.patch"
    echo "build_simulator.sh: building GPGPU-Sim (a few minutes; log in $work/build.log)" >&2
    # setup_environment is written for an interactive shell: it reads unset variables and tests
    # with failing commands, so it runs without this script's strict mode.
    (
        set +Eeuo pipefail
        trap - ERR
        cd "$work"
        export CUDA_INSTALL_PATH=$cuda11
        source setup_environment
        make -j"$(nproc)"
    ) >"$work/build.log" 2>&1 || { tail -40 "$work/build.log" >&2; exit 1; }
    mkdir -p "$folder.tmp/lib"
    cp -a "$work"/lib/*/cuda-*/release/libcudart.so "$work"/lib/*/cuda-*/release/libcudart.so.11.0 \
        "$folder.tmp/lib/"
    cp -r "$work/configs/tested-cfgs" "$folder.tmp/configs"
    mv "$folder.tmp" "$folder"
    rm -rf --one-file-system "$work"
fi
echo "$folder"

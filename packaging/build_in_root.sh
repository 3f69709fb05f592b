#!/usr/bin/env bash
# Builds one release variant of packaging/variants.tsv inside its build root (the Debian 11 one for
# Linux, the mingw-w64 one for Windows): runs under `unshare --mount` (see build_release.sh), so the
# bind mounts below vanish with this process however it ends. The Windows variants are a project of
# their own, with their own presets.
# Usage: build_in_root.sh ROOT CMAKE CUDA13 CUDA12 CUDA11 VARIANT
set -Eeuo pipefail
trap 'echo "build_in_root.sh: failed (status $?) at line $LINENO: $BASH_COMMAND" >&2' ERR
cached_root=$1 cmake=$2 cuda13=$3 cuda12=$4 cuda11=$5 variant=$6
source_dir=$(cd "$(dirname "$0")/.." && pwd)
. "$source_dir/packaging/variants.sh"

# The cached root stays as it was made: what the build writes in it (rpm's database in /root, the
# mount points) lands in an overlay's upper layer, which goes with this build.
layers=$(mktemp -d)
trap 'umount -R "$layers/merged" 2>/dev/null || true; rm -rf --one-file-system "$layers"' EXIT
mkdir "$layers/upper" "$layers/work" "$layers/merged"
mount -t overlay overlay -o "lowerdir=$cached_root,upperdir=$layers/upper,workdir=$layers/work" \
    "$layers/merged"
root=$layers/merged

for mount_point in src opt/cmake opt/cuda13 opt/cuda12 opt/cuda11 proc; do
    mkdir -p "$root/$mount_point"
done
mount --bind "$source_dir" "$root/src"
mount --bind "$cmake" "$root/opt/cmake"
mount --bind "$cuda13" "$root/opt/cuda13"
mount --bind "$cuda12" "$root/opt/cuda12"
mount --bind "$cuda11" "$root/opt/cuda11"
mount -t proc proc "$root/proc"

# The Linux variants' build, from their row of the table; the Windows one's, from its presets.
load_variant "$variant"
if [[ $variant == windows-* ]]; then
    build="cd /src/packaging/windows && cmake --workflow --preset $variant"
else
    generators=$(tr , '\n' <<<"$packages" | sed -n 's/^tar.gz$/TGZ/p; s/^deb$/DEB/p; s/^rpm$/RPM/p' | paste -sd';')
    host_compiler=/usr/bin/g++ toolchain=
    if [ "$cpu" != x86_64 ]; then
        host_compiler=/usr/bin/$cpu-linux-gnu-g++
        toolchain=-DCMAKE_TOOLCHAIN_FILE=/src/cmake/toolchains/$cpu-linux-gnu.cmake
    fi
    build="cmake -S /src -B /src/build/$variant -G 'Unix Makefiles' $toolchain \
        -DCMAKE_BUILD_TYPE=Release -DMAVO_ENABLE_WERROR=ON \
        -DCMAKE_CUDA_COMPILER=/opt/$toolkit/bin/nvcc -DCMAKE_CUDA_HOST_COMPILER=$host_compiler \
        -DCMAKE_CUDA_FLAGS='$nvcc_flags' -DCMAKE_CUDA_ARCHITECTURES='${architectures//,/;}' &&
        cmake --build /src/build/$variant --parallel 2 &&
        cd /src/build/$variant && cpack -G '$generators'"
fi
# Archives and packages take their times from the commit, so that two builds give the same bytes.
chroot "$root" /usr/bin/env -i HOME=/root SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" \
    PATH="/opt/cmake/cmake/data/bin:/usr/bin:/bin" \
    /bin/sh -c "rm -rf /src/build/$variant && $build"

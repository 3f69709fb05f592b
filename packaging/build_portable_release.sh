#!/usr/bin/env bash
# Builds the release packages in a Debian 11 root, so that the programs need nothing newer than
# glibc 2.31 (Debian 11, Ubuntu 20.04 and later), then checks them. Run as root from anywhere;
# the packages land in build/portable/. The root is kept in build/debian11-root for the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
root=$source_dir/build/debian11-root
cuda_dir=$(dirname "$(dirname "$(readlink -f "$(command -v nvcc)")")")
# The source tree and the toolkit are bind-mounted into the root: unmount whatever an interrupted
# run left before anything there is removed.
unmount_all() { umount "$root/proc" "$root/src" "$root$cuda_dir" 2>/dev/null || true; }
unmount_all

if [ ! -e "$root/.complete" ]; then
    command -v debootstrap >/dev/null || {
        apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y debootstrap
    }
    rm -rf --one-file-system "$root"
    debootstrap --variant=minbase --include=g++,make,binutils bullseye "$root" \
        http://deb.debian.org/debian
    # Debian 11's own CMake is too old for the presets; the registry's wheel runs on glibc 2.17.
    python3 -m pip install --quiet --target "$root/opt/cmake" --only-binary=:all: \
        --platform manylinux_2_17_x86_64 --python-version 3.9 --implementation cp "cmake==3.31.10"
    touch "$root/.complete"
fi

mkdir -p "$root/src" "$root$cuda_dir" "$root/proc"
trap unmount_all EXIT
mount --bind "$source_dir" "$root/src"
mount --bind "$cuda_dir" "$root$cuda_dir"
mount -t proc proc "$root/proc"

chroot "$root" /usr/bin/env -i HOME=/root \
    PATH="$cuda_dir/bin:/opt/cmake/cmake/data/bin:/usr/bin:/bin" \
    /bin/sh -c 'cd /src && rm -rf build/portable && cmake --workflow --preset portable'

packaging/check_release.sh build/portable

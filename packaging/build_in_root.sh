#!/usr/bin/env bash
# Builds one release variant inside a build root (the Debian 11 one for Linux, the mingw-w64 one for
# Windows): runs under `unshare --mount` (see build_release.sh), so the bind mounts below vanish
# with this process however it ends. The Windows variants are a project of their own.
# Usage: build_in_root.sh ROOT CMAKE CUDA13 CUDA12 CUDA11 VARIANT
set -Eeuo pipefail
trap 'echo "build_in_root.sh: failed (status $?) at line $LINENO: $BASH_COMMAND" >&2' ERR
cached_root=$1 cmake=$2 cuda13=$3 cuda12=$4 cuda11=$5 variant=$6
source_dir=$(cd "$(dirname "$0")/.." && pwd)
project=.
[[ $variant != windows-* ]] || project=packaging/windows

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

# Archives and packages take their times from the commit, so that two builds give the same bytes.
chroot "$root" /usr/bin/env -i HOME=/root SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" \
    PATH="/opt/cmake/cmake/data/bin:/usr/bin:/bin" \
    /bin/sh -c "cd /src/$project && rm -rf /src/build/$variant && cmake --workflow --preset $variant"

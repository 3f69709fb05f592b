#!/usr/bin/env bash
# Checks the Python wheels of a packages folder: auditwheel finds each wheel's platform tag
# consistent with the library inside; the x86_64 wheel installs with pip into a venv of Debian 11,
# 12 and 13's own Python (3.9, 3.11, 3.13) and passes the package's tests there, from outside the
# source tree; the aarch64 wheel, installed by pip for Debian 12's arm64 Python, passes them on that
# Python under qemu-user. Each root is used through an overlay, so the cached roots stay clean.
# Usage: check_wheels.sh <packages folder> <auditwheel> <Debian 11, 12, 13 roots> <Debian 12 arm64
# root> (as root, under `unshare --mount`)
set -Eeuo pipefail
trap 'echo "check_wheels.sh: failed (status $?) at line $LINENO: $BASH_COMMAND" >&2' ERR
packages=$(realpath "$1") auditwheel=$2 arm_root=$6
roots=("$3" "$4" "$5")
cd "$(dirname "$0")/.."
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
work=$(mktemp -d)
trap 'umount -R "$work/merged" 2>/dev/null || true; rm -rf --one-file-system "$work"' EXIT

for wheel in "$packages"/*.whl; do
    tag=$(basename "$wheel" .whl)
    shown=$(PYTHONPATH=$auditwheel python3 -m auditwheel show "$wheel" 2>&1)
    if grep -q "consistent with the following platform tag: \"${tag##*-}\"" <<<"$shown"; then
        echo "$(basename "$wheel"): auditwheel finds the tag ${tag##*-} consistent"
    else
        fail "auditwheel show $(basename "$wheel"): $shown"
    fi
done

# The package's tests and the digest vectors, where a root sees them.
tests=(python/tests tests/vectors)
x86_wheel=$(ls "$packages"/*_x86_64.whl)
for root in "${roots[@]}"; do
    mkdir -p "$work/upper" "$work/scratch" "$work/merged"
    mount -t overlay overlay -o "lowerdir=$root,upperdir=$work/upper,workdir=$work/scratch" "$work/merged"
    for folder in "${tests[@]}" packages; do
        mkdir -p "$work/merged/checks/$folder"
    done
    for folder in "${tests[@]}"; do
        mount --bind "$folder" "$work/merged/checks/$folder"
    done
    mount --bind "$packages" "$work/merged/checks/packages"
    system=$(. "$root/etc/os-release" && echo "$PRETTY_NAME")
    if output=$(chroot "$work/merged" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/tmp /bin/sh -ec "
            python3 -m venv --system-site-packages /tmp/venv
            /tmp/venv/bin/python -m pip install --quiet --no-index /checks/packages/${x86_wheel##*/}
            cd /tmp && /tmp/venv/bin/python -m pytest -q -p no:cacheprovider /checks/python/tests" 2>&1); then
        echo "$system, $(chroot "$work/merged" python3 --version): ${output##*$'\n'}"
    else
        fail "the wheel's tests on $system: $output"
    fi
    umount -R "$work/merged"
    rm -rf "$work/upper" "$work/scratch"
done

arm_wheel=$(ls "$packages"/*_aarch64.whl 2>/dev/null) || { echo "no aarch64 wheel"; arm_wheel=; }
if [ -n "$arm_wheel" ]; then
    python_version=$(readlink "$arm_root/usr/bin/python3" | sed 's/^python//')
    platform=$(basename "$arm_wheel" .whl)
    python3 -m pip install --quiet --root-user-action=ignore --no-deps --no-index --only-binary=:all: --implementation cp \
        --python-version "$python_version" --platform "${platform##*-}" --target "$work/site-packages" \
        "$arm_wheel"
    if output=$(PYTHONPATH=$work/site-packages qemu-aarch64-static -L "$arm_root" \
            "$arm_root/usr/bin/python3" -m pytest -q -p no:cacheprovider python/tests 2>&1); then
        echo "Debian 12 arm64, Python $python_version under qemu-user: ${output##*$'\n'}"
    else
        fail "the aarch64 wheel's tests: $output"
    fi
fi
[ "$failures" -eq 0 ] && echo "wheel checks passed" || exit 1

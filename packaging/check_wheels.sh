#!/usr/bin/env bash
# Checks the Python wheels of a packages folder: auditwheel finds each wheel's platform tag
# consistent with the library inside, and the aarch64 wheel, installed by pip for Debian 12's arm64
# Python, passes the package's tests on that Python under qemu-user. (The x86_64 wheel's tests run
# in the Debian roots of check_installs.sh.)
# Usage: check_wheels.sh <packages folder> <auditwheel> <Debian 12 arm64 root>
set -Eeuo pipefail
trap 'echo "check_wheels.sh: failed (status $?) at line $LINENO: $BASH_COMMAND" >&2' ERR
packages=$(realpath "$1") auditwheel=$2 arm_root=$3
cd "$(dirname "$0")/.."
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for wheel in "$packages"/*.whl; do
    tag=$(basename "$wheel" .whl)
    shown=$(PYTHONPATH=$auditwheel python3 -m auditwheel show "$wheel" 2>&1)
    if grep -q "consistent with the following platform tag: \"${tag##*-}\"" <<<"$shown"; then
        echo "$(basename "$wheel"): auditwheel finds the tag ${tag##*-} consistent"
    else
        fail "auditwheel show $(basename "$wheel"): $shown"
    fi
done

arm_wheel=$(ls "$packages"/*_aarch64.whl 2>/dev/null) || { echo "no aarch64 wheel"; arm_wheel=; }
if [ -n "$arm_wheel" ]; then
    python_version=$(readlink "$arm_root/usr/bin/python3" | sed 's/^python//')
    platform=$(basename "$arm_wheel" .whl)
    python3 -m pip install --quiet --root-user-action=ignore --no-deps --no-index --only-binary=:all: \
        --implementation cp --python-version "$python_version" --platform "${platform##*-}" \
        --target "$work/site-packages" "$arm_wheel"
    if output=$(PYTHONPATH=$work/site-packages qemu-aarch64-static -L "$arm_root" \
            "$arm_root/usr/bin/python3" -m pytest -q -p no:cacheprovider python/tests 2>&1); then
        echo "Debian 12 arm64, Python $python_version under qemu-user: ${output##*$'\n'}"
    else
        fail "the aarch64 wheel's tests: $output"
    fi
fi
[ "$failures" -eq 0 ] && echo "wheel checks passed" || exit 1

#!/usr/bin/env bash
# Runs the helper's command-line table and the verifier's tests (every digest vector, reports,
# usage) against an aarch64 build under qemu-user: once on a CPU without SVE and once on one with
# it, so that both of the verifier's folds run. The test programs are this machine's build; the
# programs under test are the aarch64 ones, behind wrappers that start them in qemu.
# Usage: run_aarch64_tests.sh <aarch64 build folder> <arm64 glibc root, e.g. /usr/aarch64-linux-gnu>
set -euo pipefail
build=$(realpath "$1")
sysroot=$(realpath "$2")
cd "$(dirname "$0")/../.."
tests=build/test/tests
if [ ! -x $tests/mavo_cli_tests ] || [ ! -x $tests/mavo_verify_tests ]; then
    cmake --preset test >/dev/null
    cmake --build --preset test --target mavo_cli_tests mavo_verify_tests
fi
wrappers=$(mktemp -d)
trap 'rm -rf "$wrappers"' EXIT
for cpu in cortex-a72 max; do
    for program in mavo-edge-gpu-helper mavo-edge-verify; do
        printf '#!/bin/sh\nexec qemu-aarch64-static -cpu %s -L %q %q "$@"\n' \
            "$cpu" "$sysroot" "$build/$program" >"$wrappers/$program"
        chmod +x "$wrappers/$program"
    done
    echo "aarch64 programs under qemu -cpu $cpu:"
    MAVO_TEST_PROGRAM_DIR=$wrappers $tests/mavo_cli_tests --gtest_brief=1
    MAVO_TEST_PROGRAM_DIR=$wrappers $tests/mavo_verify_tests --gtest_brief=1
done

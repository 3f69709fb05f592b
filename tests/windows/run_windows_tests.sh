#!/usr/bin/env bash
# Runs the tests of the Windows build under wine: the host tests, the report's CR LF, the stack
# cookie pieces the helper supplies to the CUDA runtime, the verifier against the vectors, the
# helper's structure, its unwritable outputs, and the Linux test programs' tables of the helper
# (command line, the other stand-in scenarios) with the Windows programs in place of the Linux ones.
# Usage: run_windows_tests.sh <Windows build folder> (cuobjdump on PATH; the Linux test build,
# build/test, is made here if missing).
set -Eeuo pipefail
build=$(realpath "$1")
cd "$(dirname "$0")/../.."
trap 'echo "run_windows_tests.sh: failed (status $?) at line $LINENO: $BASH_COMMAND" >&2' ERR
scratch=$(mktemp -d)
wrappers=$scratch/wrappers
mkdir "$wrappers"
# A wine prefix made for this run and removed after it, so that no run depends on an earlier one.
# Wine's .NET and HTML engines are not needed, and would be looked for on first start; its menu
# builder would write desktop menus into HOME.
export WINEPREFIX=$scratch/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LANG=C.UTF-8
mkdir "$WINEPREFIX"
trap 'wineserver --kill 2>/dev/null; rm -rf "$scratch"' EXIT
# One wine server for every run: a server started for each program takes seconds each time. Its
# services start now, so that they hold none of the pipes a test reads to the end.
if ! { wineserver --persistent && wine wineboot --init; } </dev/null >"$scratch/wine.log" 2>&1; then
    cat "$scratch/wine.log" >&2
    echo "FAIL: wine could not make its prefix in $WINEPREFIX" >&2
    exit 1
fi
wine "$build/tests/windows_host_tests.exe" --gtest_brief=1
wine "$build/tests/windows_text_mode_test.exe" --gtest_brief=1
wine "$build/tests/windows_msvc_runtime_support_test.exe" --gtest_brief=1
tests/windows/verify_under_wine.py "$build/mavo-edge-verify.exe" tests/vectors/digest_vectors.tsv
tests/windows/check_windows_helper.py "$build/mavo-edge-gpu-helper.exe" "$(command -v cuobjdump)" \
    "$(cat "$build/cuda_architectures.txt")"

# The unwritable outputs, with the shell's redirections around wine itself.
standin=("$build/tests/mavo-edge-gpu-helper-standin.exe" --seed "$(printf '0%.0s' {1..64})" --units 1
         --json)
write_failure=$'mavo-edge-gpu-helper: failed to write the report to standard output\r'
status=0
error=$(wine "${standin[@]}" 2>&1 >/dev/full) || status=$?
[ "$status:$error" = "1:$write_failure" ] || { echo "FAIL full device: $status $error"; exit 1; }
status=0  # the reader is gone before the report is written
error=$({ CUDA_STANDIN_SCENARIO=delay=cudaGetDeviceCount#1:300 wine "${standin[@]}" 2>&3 | true; } 3>&1) ||
    status=$?
[ "$status:$error" = "1:$write_failure" ] || { echo "FAIL closed pipe: $status $error"; exit 1; }
echo "unwritable outputs: status 1 and the line"

tests=build/test/tests
if [ ! -x $tests/mavo_cli_tests ] || [ ! -x $tests/mavo_standin_tests ]; then
    cmake --preset test >/dev/null
    cmake --build --preset test --target mavo_cli_tests mavo_standin_tests
fi
for program in mavo-edge-gpu-helper tests/mavo-edge-gpu-helper-standin; do
    printf '#!/bin/sh\nexec %q %q "$@"\n' "$PWD/tests/windows/run_in_wine.py" "$build/$program.exe" \
        >"$wrappers/${program#tests/}"
    chmod +x "$wrappers/${program#tests/}"
done
echo "Windows helper under wine:"
MAVO_TEST_PROGRAM_DIR=$wrappers $tests/mavo_cli_tests --gtest_brief=1
MAVO_TEST_PROGRAM_DIR=$wrappers $tests/mavo_standin_tests --gtest_brief=1 \
    --gtest_filter='-table/unwritable_output.*'

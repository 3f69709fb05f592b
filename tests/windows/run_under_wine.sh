#!/usr/bin/env bash
# Cross-compiles the host code and its tests for Windows with mingw-w64 and runs them under wine.
set -euo pipefail
cd "$(dirname "$0")/../.."
export WINEDEBUG=-all
cmake -S tests/windows -B build/windows -G Ninja \
    --toolchain "$PWD/tests/windows/mingw-w64.cmake" -DMAVO_ENABLE_WERROR=ON
cmake --build build/windows
ctest --test-dir build/windows --output-on-failure --no-tests=error

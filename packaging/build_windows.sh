#!/usr/bin/env bash
# Cross-builds the Windows x64 programs from pinned toolchains in the Debian 13 mingw-w64 root,
# tests them under wine, and adds their zip to build/packages and its SHA256SUMS. Experimental:
# these programs have not yet run on Windows with an NVIDIA GPU.
# Run as root: packaging/build_windows.sh. The helper's tables run from this machine's test build
# (build/test, made here if missing).
set -Eeuo pipefail
cd "$(dirname "$0")/.."
. packaging/build_environment.sh unshare=util-linux wine=wine wineserver=wine
. packaging/variants.sh

mkdir -p build/packages
for name in $(variant_names '^windows-'); do
    load_variant "$name"
    unshare --mount --propagation private packaging/build_in_root.sh "${!build_root}" "$cmake" \
        "$cuda13" "$cuda12" "$cuda11" "$variant"
    tests/windows/run_windows_tests.sh "build/$variant"
    cp "build/$variant"/mavo-edge-gpu-helper-*.zip build/packages/
done
list_packages_in_sha256sums

#!/usr/bin/env bash
# Checks a release build folder: the programs need no symbol newer than GLIBC_2.31 and no shared
# library beyond glibc's, and the .tar.gz and .deb hold exactly what they should.
set -euo pipefail
build=${1:?usage: check_release.sh <build folder>}
glibc_floor=2.31
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

for program in mavo-edge-gpu-helper mavo-edge-verify; do
    binary=$build/$program
    newest=$(objdump -T "$binary" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -n 1)
    if [ "$(printf '%s\n%s\n' "$newest" "$glibc_floor" | sort -V | tail -n 1)" != "$glibc_floor" ]; then
        fail "$program needs GLIBC_$newest"
    fi
    libraries=$(objdump -p "$binary" | awk '/NEEDED/ {print $2}' | sort | tr '\n' ' ')
    for library in $libraries; do
        case $library in
            libc.so.6 | libm.so.6 | libdl.so.2 | libpthread.so.0 | librt.so.1 | ld-linux-x86-64.so.2) ;;
            *) fail "$program needs $library" ;;
        esac
    done
    echo "$program: newest glibc symbol version $newest; needs $libraries"
done

expected_files="bin/mavo-edge-gpu-helper
bin/mavo-edge-verify
share/doc/mavo_edge_gpu_helper/README.md
share/doc/mavo_edge_gpu_helper/digest_vectors.tsv"
tarball=$(ls "$build"/mavo-edge-gpu-helper-*-Linux.tar.gz)
tar_files=$(tar -tzf "$tarball" | grep -v '/$' | sed 's|^[^/]*/||' | sort)
[ "$tar_files" = "$expected_files" ] || fail "$tarball holds: $tar_files"
echo "$(basename "$tarball"): $(echo "$tar_files" | tr '\n' ' ')"

deb=$(ls "$build"/mavo-edge-gpu-helper_*_amd64.deb)
deb_files=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | sed 's|^\./usr/||' | sort)
[ "$deb_files" = "$expected_files" ] || fail "$deb holds: $deb_files"
depends=$(dpkg-deb -f "$deb" Depends)
[ "$depends" = "libc6 (>= $glibc_floor)" ] || fail "$deb depends on: $depends"
echo "$(basename "$deb"): Depends: $depends; $(echo "$deb_files" | tr '\n' ' ')"

[ "$failures" -eq 0 ] && echo "release checks passed" || exit 1

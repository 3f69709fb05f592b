#!/usr/bin/env bash
# Checks one variant's release build folder against its row of packaging/variants.tsv: the programs
# need no symbol newer than its glibc floor and no shared library beyond glibc's, the helper carries
# exactly the variant's device code and accepts exactly the drivers of its floor and newer, and the
# .tar.gz, .deb and .rpm hold exactly what they should, require nothing beyond glibc and give way
# to the other flavours of the table.
# Usage: check_release.sh <build folder> <variant> <driver libraries> <build root>, as root under
# `unshare --mount` (the driver libraries as prepare_toolchains.sh lays them out:
# <version>_<arch>/libcuda.so.1; the build root with its arm64 glibc in /usr/aarch64-linux-gnu)
set -Eeuo pipefail
trap 'echo "check_release.sh: failed (status $?) at line $LINENO: $BASH_COMMAND" >&2' ERR
usage="usage: check_release.sh <build folder> <variant> <driver libraries> <build root>"
build=${1:?$usage} libcuda=${3:?$usage} root=${4:?$usage}
. "$(dirname "$0")/variants.sh"
# The other flavours first, then this variant's row.
mapfile -t linux_variants < <(variant_names '^linux-')
flavors=$(for name in "${linux_variants[@]}"; do load_variant "$name"; echo "$toolkit"; done | sort -u)
load_variant "${2:?$usage}"
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
# Debian's rpm keeps its database in ~/.rpmdb; these queries need none, so it lives and goes here.
rpm_database=$(mktemp -d)
layers=$(mktemp -d)
busy=()  # the loops that keep the cores busy during the driver matrix
trap 'kill "${busy[@]}" 2>/dev/null || true; umount -R "$layers/merged" 2>/dev/null || true
      rm -rf --one-file-system "$rpm_database" "$layers"' EXIT
rpm() { command rpm --dbpath "$rpm_database" "$@"; }

# Comma-separated, as the packages list them.
joined() { paste -sd, | sed 's/,/, /g'; }
others=$(grep -vx -- "$toolkit" <<<"$flavors" | sed 's/^/mavo-edge-gpu-helper-/' | joined)
case $cpu in
    x86_64) loader=ld-linux-x86-64.so.2 deb_arch=amd64 run=() ;;
    aarch64) loader=ld-linux-aarch64.so.1 deb_arch=arm64
             run=(/usr/bin/qemu-aarch64-static -L /usr/aarch64-linux-gnu) ;;
esac

for program in mavo-edge-gpu-helper mavo-edge-verify libmavo_edge_verify.so.0; do
    binary=$build/$program
    newest=$(objdump -T "$binary" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -n 1)
    if [ "$(printf '%s\n%s\n' "$newest" "$glibc_floor" | sort -V | tail -n 1)" != "$glibc_floor" ]; then
        fail "$program needs GLIBC_$newest"
    fi
    libraries=$(objdump -p "$binary" | awk '/NEEDED/ {print $2}' | sort | tr '\n' ' ')
    for library in $libraries; do
        case $library in
            libc.so.6 | libm.so.6 | libdl.so.2 | libpthread.so.0 | librt.so.1 | "$loader") ;;
            *) fail "$program needs $library" ;;
        esac
    done
    echo "$program: newest glibc symbol version $newest; needs $libraries"
done
# The library lends out its C interface and nothing else (not the C++ runtime linked into it).
exported=$(objdump -T "$build/libmavo_edge_verify.so.0" | awk '$4 == ".text" {print $NF}' | sort | tr '\n' ' ')
[ "$exported" = "$(grep -o 'mavo_edge_[a-z_]*(' "$(dirname "$0")/../include/mavo_edge/verify.h" | tr -d '(' | sort -u | tr '\n' ' ')" ] ||
    fail "libmavo_edge_verify.so.0 exports: $exported"

cuobjdump=$(command -v cuobjdump) || fail "no cuobjdump on PATH"
python3 "$(dirname "$0")/../tests/device_code/check_device_code.py" "$build/mavo-edge-gpu-helper" \
    "$cuobjdump" "${architectures//,/;}" || fail "device code of $variant"

# With each driver branch's own CUDA library first on the library path and no GPU, the static
# runtime refuses a driver below the floor and accepts the others, which then find no device. The
# helper runs in the build root (through an overlay), where no NVIDIA driver of this machine
# (libraries, device nodes, /proc entries) is in sight. The loader's log shows that the library was
# loaded, not merely looked for. Each cell runs many times with every core kept busy, as during a
# build, where a driver thread racing the process shows: a fault in 3% of runs goes unseen in 100
# runs 5% of the time (0.97^100); a crash, or any other ending, fails the cell, named with its count.
runs=100
merged=$layers/merged
mkdir "$layers/upper" "$layers/work" "$merged"
mount -t overlay overlay -o "lowerdir=$root,upperdir=$layers/upper,workdir=$layers/work" "$merged"
mkdir -p "$merged/build" "$merged/libcuda" "$merged/proc"
mount --bind "$(realpath "$build")" "$merged/build"
mount --bind "$libcuda" "$merged/libcuda"
# The driver libraries read /proc; the kernel module's entries there stay hidden.
mount -t proc proc "$merged/proc"
[ ! -d "$merged/proc/driver/nvidia" ] || mount -t tmpfs tmpfs "$merged/proc/driver/nvidia"
if [ "$cpu" = aarch64 ]; then
    touch "$merged/usr/bin/qemu-aarch64-static"
    mount --bind "$(command -v qemu-aarch64-static)" "$merged/usr/bin/qemu-aarch64-static"
fi
# What one run showed: the runtime's word on the driver, the signal that ended it, or else all.
outcome_of() {
    [ "$1" -le 128 ] || { echo "SIG$(kill -l "$(($1 - 128))")"; return; }
    case $1:${2#mavo-edge-gpu-helper: cudaGetDeviceCount: } in
        "1:no CUDA-capable device is detected") echo accepted ;;
        "1:CUDA driver version is insufficient for CUDA runtime version") echo refused ;;
        *) echo "status $1, said: $2" ;;
    esac
}
for _ in $(seq "$(nproc)"); do
    (while :; do :; done) &
    busy+=($!)
done
matrix="driver matrix of $variant ($runs runs a cell):"
for library in "$libcuda"/*_"$deb_arch"; do
    library=/libcuda/$(basename "$library")
    driver=$(basename "$library")
    driver=${driver%_*}
    log=$(mktemp -d -p "$merged/tmp")
    declare -A outcomes=()
    for ((attempt = 1; attempt <= runs; attempt++)); do
        loader_log=()
        [ "$attempt" -gt 1 ] || loader_log=(LD_DEBUG=libs LD_DEBUG_OUTPUT="${log#"$merged"}/loader")
        status=0
        message=$(chroot "$merged" /usr/bin/env -i LD_LIBRARY_PATH="$library" "${loader_log[@]}" \
            "${run[@]}" /build/mavo-edge-gpu-helper --seed "$(printf '0%.0s' {1..64})" --units 1 \
            --json 2>&1 >/dev/null) || status=$?
        outcome=$(outcome_of "$status" "$message")
        outcomes[$outcome]=$((${outcomes[$outcome]:-0} + 1))
    done
    # The most frequent outcome, then each other one with its count.
    cell=$driver
    while IFS=$'\t' read -r count outcome; do
        [ "$cell" = "$driver" ] && cell+=" $outcome" || cell+=", $outcome in $count of $runs runs"
    done < <(for outcome in "${!outcomes[@]}"; do printf '%s\t%s\n' "${outcomes[$outcome]}" "$outcome"; done |
        sort -t$'\t' -k1,1nr -k2)
    unset outcomes
    expected=refused
    [ "${driver%%.*}" -lt "$driver_floor" ] || expected=accepted
    [ "$cell" = "$driver $expected" ] || fail "$variant with driver $cell: expected $expected"
    grep -qs "calling init: $library/libcuda.so.1" "$log"/loader.* ||
        { fail "$variant did not load the CUDA library of driver $driver"; cell+=" (not loaded)"; }
    matrix+=" $cell;"
    rm -rf "$log"
done
kill "${busy[@]}"
busy=()
echo "${matrix%;}"

name=mavo-edge-gpu-helper
docs=share/doc/$name-$toolkit
expected_files="bin/mavo-edge-gpu-helper
bin/mavo-edge-healthcheck
bin/mavo-edge-verify
$docs/LICENSE
$docs/README.md
$docs/THIRD_PARTY_NOTICES
$docs/changelog.gz
$docs/copyright
$docs/digest_vectors.tsv
share/man/man1/mavo-edge-gpu-helper.1.gz
share/man/man1/mavo-edge-healthcheck.1.gz
share/man/man1/mavo-edge-verify.1.gz"

tarball=$(ls "$build/$name-"*"-$variant.tar.gz")
tar_files=$(tar -tzf "$tarball" | grep -v '/$' | sed 's|^[^/]*/||' | sort)
release_version=$(basename "$tarball" | sed -n 's/^mavo-edge-gpu-helper-\([0-9.]*\)-linux-.*/\1/p')
library_files="include/mavo_edge/verify.h
lib/libmavo_edge_verify.so
lib/libmavo_edge_verify.so.0
lib/libmavo_edge_verify.so.$release_version"
[ "$tar_files" = "$(sort <<<"$expected_files"$'\n'"$library_files")" ] || fail "$tarball holds: $tar_files"
echo "$(basename "$tarball"): $(echo "$tar_files" | tr '\n' ' ')"

deb=$(ls "$build/$name-${toolkit}_"*"_$deb_arch.deb")
deb_files=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | sed 's|^\./usr/||' | sort)
[ "$deb_files" = "$expected_files" ] || fail "$deb holds: $deb_files"
for field in "Depends=libc6 (>= $glibc_floor)" "Conflicts=$others" "Replaces=$others"; do
    value=$(dpkg-deb -f "$deb" "${field%%=*}")
    [ "$value" = "${field#*=}" ] || fail "$deb: ${field%%=*}: $value"
done
echo "$(basename "$deb"): Depends: $(dpkg-deb -f "$deb" Depends); Conflicts and Replaces: $others"

rpm=$(ls "$build/$name-$toolkit-"*".$cpu.rpm")
rpm_files=$(rpm -qpl "$rpm" | grep -vx "/usr/$docs" | sed 's|^/usr/||' | sort)
[ "$rpm_files" = "$expected_files" ] || fail "$rpm holds: $rpm_files"
# Only glibc's libraries, /bin/sh and rpm's own features, at no symbol version above the floor.
while read -r requirement; do
    case $requirement in
        # /bin/sh: mavo-edge-healthcheck's interpreter.
        rpmlib\(*\)* | "rtld(GNU_HASH)" | /bin/sh) ;;
        libc.so.6* | libm.so.6* | libdl.so.2* | libpthread.so.0* | librt.so.1* | "$loader"*)
            version=$(sed -n 's/.*GLIBC_\([0-9.]*\).*/\1/p' <<<"$requirement")
            [ -z "$version" ] || [ "$(printf '%s\n%s\n' "$version" "$glibc_floor" | sort -V | tail -n 1)" = "$glibc_floor" ] ||
                fail "$rpm requires $requirement" ;;
        *) fail "$rpm requires $requirement" ;;
    esac
done < <(rpm -qpR "$rpm")
for relation in conflicts obsoletes; do
    listed=$(rpm -qp --"$relation" "$rpm" | joined)
    [ "$listed" = "$others" ] || fail "$rpm $relation: $listed"
done
echo "$(basename "$rpm"): requires glibc and /bin/sh only; Conflicts and Obsoletes: $others"

# What Debian's and rpm's own checkers find, but for what packaging/rpmlint.toml answers.
findings=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian on $deb: $findings"
findings=$(rpmlint --strict -c "$(dirname "$0")/rpmlint.toml" "$rpm" 2>&1) || fail "rpmlint on $rpm: $findings"
echo "lintian and rpmlint: nothing unanswered"

[ "$failures" -eq 0 ] && echo "release checks passed: $variant" || exit 1
